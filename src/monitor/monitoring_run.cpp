#include "monitor/monitoring_run.h"

#include "http/page_budget.h"
#include "monitor/check_workers.h"
#include "monitor/clock.h"
#include "monitor/report_model.h"
#include "monitor/site_check.h"
#include "monitor/site_list.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMetaMethod>
#include <QSet>

#include <cmath>
#include <limits>
#include <memory>
#include <utility>

namespace {

// Starting checks is cut into event-loop turns so thousands of rows never freeze the window.
constexpr int kStartsPerTurn = 64;
constexpr qint64 kTurnBudgetMs = 8;
// A pass that could start nothing and has no interval would spin; it waits this long instead.
constexpr int kIdlePassGapMs = 10;
constexpr qint64 kLongestTimerMs = std::numeric_limits<int>::max();
constexpr qint64 kShutdownWaitMs = 1000;

} // namespace

MonitoringRun::MonitoringRun(QObject* parent)
    : MonitoringRun(std::make_shared<SteadyClock>(), parent)
{ }

MonitoringRun::MonitoringRun(std::shared_ptr<Clock> clock, QObject* parent)
    : QObject(parent)
    , m_clock(clock ? std::move(clock) : std::make_shared<SteadyClock>())
    , m_workers(new CheckWorkers(
          m_clock, [this](CheckRecord& outcome) { ApplyOutcome(outcome); }, this))
    , m_siteModel(new ReportModel(u"全部网站"_s, this))
    , m_abnormalModel(new ReportModel(u"不正常网站"_s, this))
{
    qRegisterMetaType<CheckRecord>();
    qRegisterMetaType<PassSummary>();
    m_intervalTimer.setSingleShot(true);
    m_intervalTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_intervalTimer, &QTimer::timeout, this, &MonitoringRun::AfterInterval);
}

MonitoringRun::~MonitoringRun()
{
    Shutdown();
}

ReportModel* MonitoringRun::SiteModel()
{
    return m_siteModel;
}

ReportModel* MonitoringRun::AbnormalModel()
{
    return m_abnormalModel;
}

void MonitoringRun::SetSettings(const MonitorSettings& settings)
{
    m_settings = settings;
    // Page bodies held at once follow the thread count.
    PageBudget::Process().SetConcurrency(ThreadLimit());
    // A larger thread count frees a waiting throttle at once.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_phase == Phase::Rows && m_throttled)
                ScheduleRowStep();
        },
        Qt::QueuedConnection);
}

MonitorSettings MonitoringRun::Settings() const
{
    return m_settings;
}

void MonitoringRun::SetSiteListText(const QString& text)
{
    m_siteListText = text;
}

QString MonitoringRun::SiteListText() const
{
    return m_siteListText;
}

void MonitoringRun::ReplaceSiteList(const QString& text, const MonitorSettings& settings)
{
    m_pendingList = text;
    m_pendingSettings = settings;
}

void MonitoringRun::SetSaveFormHook(std::function<void()> hook)
{
    m_saveFormHook = std::move(hook);
}

void MonitoringRun::SetMaxPasses(int passes)
{
    m_maxPasses = std::max(passes, 0);
}

MonitoringRun::RunState MonitoringRun::State() const
{
    return m_state;
}

bool MonitoringRun::IsIdle() const
{
    return m_phase == Phase::Idle;
}

int MonitoringRun::RunningChecks() const
{
    return m_running;
}

int MonitoringRun::PassNumber() const
{
    return m_pass;
}

int MonitoringRun::FinishedInPass() const
{
    const auto it = m_passes.find(m_pass);
    return it != m_passes.end() ? it->second.finished : m_summarizedFinished;
}

void MonitoringRun::Click()
{
    if (m_shutDown)
        return;
    if (m_phase != Phase::Idle) {
        RequestStop();
        return;
    }
    StartRun();
}

void MonitoringRun::Shutdown()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    m_stop = true;
    m_intervalTimer.stop();
    m_workers->Shutdown(kShutdownWaitMs);
}

void MonitoringRun::StartRun()
{
    if (m_siteListText.isEmpty()) {
        emit MessageRequested(u"请先输入要监控的网站地址列表！"_s);
        return;
    }
    if (m_saveFormHook)
        m_saveFormHook();

    m_stop = false;
    SetState(RunState::Running);

    m_siteModel->FillViews(SiteEntries(m_siteListText));
    m_abnormalModel->Clear();
    m_previousState.assign(size_t(m_siteModel->rowCount()), ReportModel::StateUnchecked);
    emit ListsFilled(m_siteModel->rowCount());

    m_pass = 0;
    m_threadFailureWarnedPass = 0;
    m_passes.clear();
    StartPass();
}

void MonitoringRun::RequestStop()
{
    m_stop = true;
    SetState(RunState::Stopping);
    switch (m_phase) {
    case Phase::Rows:
        // A throttle that waits for a free slot must not outlast a stop request.
        if (m_throttled)
            ScheduleRowStep();
        break;
    case Phase::Interval:
        m_intervalTimer.stop();
        m_passAfterFinish = false;
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_phase == Phase::Interval)
                    EndPasses();
            },
            Qt::QueuedConnection);
        break;
    case Phase::WaitingThreads:
    case Phase::Idle:
        break;
    }
}

void MonitoringRun::StartPass()
{
    if (m_pendingList) {
        // Rows are renumbered: wait for the checks a pass skipped to come back first.
        if (m_running > 0) {
            m_phase = Phase::Interval;
            m_passAfterFinish = true;
            return;
        }
        ApplyPendingList();
    }
    ++m_pass;
    m_passStart = m_clock->NowMs();
    m_passRows = m_siteModel->rowCount();
    m_nextRow = 0;
    m_throttled = false;
    m_startedThisPass = 0;
    m_passes[m_pass] = PassProgress { 0, 0, false, m_passStart };
    m_phase = Phase::Rows;
    ScheduleRowStep();
}

void MonitoringRun::ApplyPendingList()
{
    const QString text = *std::exchange(m_pendingList, std::nullopt);
    SetSettings(m_pendingSettings);
    const std::vector<QStringView> entries = SiteEntries(text);
    const QSet<QStringView> listed(entries.cbegin(), entries.cend());
    m_siteModel->ReplaceUrls(entries);
    const int abnormal = m_abnormalModel->rowCount();
    for (int i = abnormal - 1; i >= 0; --i) {
        if (!listed.contains(m_abnormalModel->Url(i)))
            m_abnormalModel->RemoveRow(i);
    }
    if (m_abnormalModel->rowCount() != abnormal)
        emit AbnormalCountChanged(m_abnormalModel->rowCount());
    m_previousState.assign(size_t(m_siteModel->rowCount()), ReportModel::StateUnchecked);
    emit SiteListReplaced(m_siteModel->rowCount());
}

void MonitoringRun::ScheduleRowStep()
{
    if (m_rowStepQueued)
        return;
    m_rowStepQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_rowStepQueued = false;
            RowStep();
        },
        Qt::QueuedConnection);
}

int MonitoringRun::ThreadLimit() const
{
    return std::min(LeadingInt(m_settings.threadsText), kMaxConcurrentChecks);
}

// The row loop of a pass, run in slices from the event loop instead of inside one long click handler: it
// returns to the event loop after a slice, and while all slots are taken it simply returns (m_throttled) until
// a finished check, a larger thread count or a stop request calls it again.
void MonitoringRun::RowStep()
{
    if (m_phase != Phase::Rows || m_shutDown)
        return;
    QElapsedTimer turn;
    turn.start();
    int started = 0;
    for (;;) {
        if (m_throttled) {
            // Resumed by a finished check, a changed thread count or a stop request.
            if (!m_stop && m_running >= ThreadLimit())
                return;
            m_throttled = false;
            ++m_nextRow;
        }
        if (m_stop || m_nextRow >= m_passRows) {
            EndRowLoop();
            return;
        }
        if (started >= kStartsPerTurn || turn.elapsed() >= kTurnBudgetMs) {
            ScheduleRowStep();
            return;
        }
        const int row = m_nextRow;
        if (m_siteModel->State(row) == ReportModel::StateInProgress) {
            ++m_nextRow;
            continue;
        }
        const int running = ++m_running;
        if (running >= ThreadLimit())
            emit CurrentRowRequested(row);
        if (StartCheck(row)) {
            ++started;
        } else {
            --m_running;
            // One box per pass: a system out of threads would otherwise raise one per row.
            if (std::exchange(m_threadFailureWarnedPass, m_pass) != m_pass)
                emit WarningRequested(u"启动线程失败，可能系统出现故障，请重装系统！"_s);
        }
        m_throttled = true;
    }
}

bool MonitoringRun::StartCheck(int row)
{
    const QString url = m_siteModel->Url(row);
    const int previousState = m_siteModel->State(row);
    if (!m_workers->Start(m_pass, row, url, Settings()))
        return false;
    // The check's first steps happen here, before its result can arrive: same order as on the worker.
    m_previousState[size_t(row)] = qint8(previousState);
    m_siteModel->SetState(row, ReportModel::StateInProgress);
    emit CurrentRowRequested(row);
    EmitCheckCounts(row);
    ++m_startedThisPass;
    ++m_passes[m_pass].outstanding;
    return true;
}

void MonitoringRun::EndRowLoop()
{
    m_passes[m_pass].rowsDone = true;
    FlushFinishedPasses();
    if (m_stop || (m_maxPasses > 0 && m_pass >= m_maxPasses)) {
        m_stop = true;
        EndPasses();
        return;
    }
    const double interval = LeadingDouble(Settings().intervalText);
    const double remaining = interval * 1000.0 - double(m_clock->NowMs() - m_passStart);
    m_phase = Phase::Interval;
    if (remaining >= 1) {
        const qint64 clockMs = qint64(std::min(std::trunc(remaining), double(kLongestTimerMs)));
        m_intervalTimer.start(int(std::clamp<qint64>(m_clock->TimerMs(clockMs), 0, kLongestTimerMs)));
        return;
    }
    if (m_startedThisPass > 0) {
        AfterInterval();
    } else if (m_running > 0) {
        m_passAfterFinish = true;
    } else {
        m_intervalTimer.start(kIdlePassGapMs);
    }
}

void MonitoringRun::AfterInterval()
{
    if (m_phase != Phase::Interval)
        return;
    m_passAfterFinish = false;
    if (m_stop)
        EndPasses();
    else
        StartPass();
}

void MonitoringRun::EndPasses()
{
    m_intervalTimer.stop();
    m_passAfterFinish = false;
    m_throttled = false;
    m_phase = Phase::WaitingThreads;
    SetState(RunState::WaitingThreads);
    if (m_running == 0)
        FinishRun();
}

void MonitoringRun::FinishRun()
{
    m_phase = Phase::Idle;
    SetState(RunState::Idle);
    emit MessageRequested(u"监控停止！"_s);
    emit RunFinished();
}

void MonitoringRun::ApplyOutcome(CheckRecord& outcome)
{
    if (m_shutDown)
        return;
    const int row = outcome.row;
    const int previousState = m_previousState[size_t(row)];
    const int state = outcome.normal ? ReportModel::StateNormal : ReportModel::StateAbnormal;
    m_siteModel->SetResult(row, outcome, state, outcome.finishTick);

    // Several rows may carry the same URL: they share one abnormal row, the last one with that URL.
    int index = -1;
    if (!(previousState == ReportModel::StateNormal && outcome.normal)) {
        index = m_abnormalModel->FindLastRow(outcome.url);
        if (!outcome.normal && index == -1) {
            index = m_abnormalModel->AppendRow(outcome.url, ReportModel::StateAbnormal, row);
            emit AbnormalCountChanged(m_abnormalModel->rowCount());
            emit AbnormalRowAdded(index);
        } else if (outcome.normal && index != -1) {
            m_abnormalModel->RemoveRow(index);
            emit AbnormalCountChanged(m_abnormalModel->rowCount());
        }
    }
    if (!outcome.normal && index != -1) {
        m_abnormalModel->SetResult(index, outcome, ReportModel::StateAbnormal, m_abnormalModel->ItemData(index));
    }

    --m_running;
    EmitCheckCounts(row);
    outcome.finishedAtMs = QDateTime::currentMSecsSinceEpoch();
    emit CheckFinished(outcome);
    auto progress = m_passes.find(outcome.pass);
    if (progress != m_passes.end()) {
        --progress->second.outstanding;
        ++progress->second.finished;
        FlushFinishedPasses();
    }

    switch (m_phase) {
    case Phase::Rows:
        if (m_throttled)
            ScheduleRowStep();
        break;
    case Phase::Interval:
        if (m_passAfterFinish)
            AfterInterval();
        break;
    case Phase::WaitingThreads:
        if (m_running == 0)
            FinishRun();
        break;
    case Phase::Idle:
        break;
    }
}

// Summaries go out in pass order: a later pass that skipped a still-running row may be done before the pass
// that started that row.
void MonitoringRun::FlushFinishedPasses()
{
    while (!m_passes.empty()) {
        const auto it = m_passes.begin();
        if (!it->second.rowsDone || it->second.outstanding > 0)
            return;
        const PassSummary summary { it->first, it->second.finished, m_abnormalModel->rowCount(),
            m_clock->NowMs() - it->second.start };
        if (it->first == m_pass)
            m_summarizedFinished = it->second.finished;
        m_passes.erase(it);
        emit PassFinished(summary);
    }
}

void MonitoringRun::SetState(RunState state)
{
    m_state = state;
    emit StateChanged(state);
}

void MonitoringRun::EmitCheckCounts(int row)
{
    // Two signals per check add up over a large pass; without a window nobody reads them.
    static const QMetaMethod countsSignal = QMetaMethod::fromSignal(&MonitoringRun::CheckCountsChanged);
    if (!isSignalConnected(countsSignal))
        return;
    emit CheckCountsChanged(m_running, row);
}
