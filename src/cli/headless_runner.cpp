#include "cli/headless_runner.h"

#include "cli/check_line_format.h"
#include "cli/pipe_writer.h"
#include "cli/site_board.h"
#include "cli/site_metrics.h"
#include "monitor/duration_text.h"
#include "monitor/monitoring_run.h"
#include "monitor/report_model.h"
#include "monitor/run_recorder.h"
#include "monitor/site_check.h"
#include "monitor/site_list.h"
#include "monitor/webhook_sender.h"

#include <QDateTime>
#include <QSet>

#include <cerrno>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Large passes write tens of thousands of lines: batch them, but never hold a line for long.
constexpr qsizetype kFlushBytes = 64 * 1024;
constexpr int kFlushDelayMs = 200;
constexpr int kProgressPeriodMs = 250;
constexpr int kAlertCollectMs = 2000;
constexpr int kIdleWatchMs = 1000;

// Every status attempt waiting out its time-out and the pause after it, then the page fetch.
qint64 LongestCheckMs(const MonitorSettings& settings)
{
    const qint64 timeoutMs = qint64(qMax(LeadingInt(settings.timeoutText), 1)) * 1000;
    return (kStatusAttempts + 1) * timeoutMs + qint64(kStatusAttempts) * (kStatusAttempts + 1) / 2 * 1000;
}

QSet<QString> DistinctUrls(const std::vector<QStringView>& entries)
{
    QSet<QString> urls;
    urls.reserve(qsizetype(entries.size()));
    for (const QStringView url : entries)
        urls.insert(url.toString());
    return urls;
}

bool WriteAll(int fd, const char* data, qsizetype size)
{
    while (size > 0) {
        const ssize_t written = write(fd, data, static_cast<size_t>(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

} // namespace

HeadlessRunner::HeadlessRunner(const MonitorSettings& settings, const QString& siteListText, int passes,
    HeadlessOptions::Format format, QObject* parent)
    : QObject(parent)
    , m_run(new MonitoringRun(this))
    , m_recorder(new RunRecorder(m_run, kAlertCollectMs, this))
    , m_format(format)
    , m_stdoutIsTerminal(isatty(STDOUT_FILENO) == 1)
    , m_stderrIsTerminal(isatty(STDERR_FILENO) == 1)
    , m_untilStopped(passes <= 0)
    , m_out(new PipeWriter(STDOUT_FILENO, kMaxPendingOutput, this))
{
    m_run->SetSettings(settings);
    m_run->SetSiteListText(siteListText);
    m_run->SetMaxPasses(passes);

    connect(m_recorder, &RunRecorder::HistoryFailed, this, &HeadlessRunner::OnMessage);
    connect(m_recorder, &RunRecorder::DeliveryFailed, this, &HeadlessRunner::OnMessage);
    connect(m_recorder, &RunRecorder::Undelivered, this, [this](int changes) {
        if (m_metrics)
            m_metrics->AddNotifyFailed(changes);
    });
    connect(m_recorder, &RunRecorder::DeliveryDrained, this, [this] {
        m_deliveryDone = true;
        TryFinish();
    });
    connect(m_out, &PipeWriter::Broken, this, &HeadlessRunner::OnOutputBroken);
    connect(m_out, &PipeWriter::Emptied, this, &HeadlessRunner::TryFinish);
    connect(m_run, &MonitoringRun::CheckFinished, this, &HeadlessRunner::OnCheckFinished);
    connect(m_run, &MonitoringRun::PassFinished, this, &HeadlessRunner::OnPassFinished);
    connect(m_run, &MonitoringRun::MessageRequested, this, &HeadlessRunner::OnMessage);
    connect(m_run, &MonitoringRun::WarningRequested, this, &HeadlessRunner::OnMessage);
    connect(m_run, &MonitoringRun::RunFinished, this, &HeadlessRunner::OnRunFinished);
    connect(m_run, &MonitoringRun::SiteListReplaced, this, &HeadlessRunner::OnSiteListReplaced);

    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(kFlushDelayMs);
    connect(&m_flushTimer, &QTimer::timeout, this, &HeadlessRunner::FlushOutput);
    m_progressTimer.setInterval(kProgressPeriodMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &HeadlessRunner::ShowProgress);
    m_stallTimer.setInterval(kOutputStallMs);
    connect(&m_stallTimer, &QTimer::timeout, this, &HeadlessRunner::CheckOutputStall);
    // Checks that start after an interval must not look stuck since the last pass's end.
    m_lastProgress.start();
    m_idleWatch.setInterval(kIdleWatchMs);
    connect(&m_idleWatch, &QTimer::timeout, this, [this] {
        if (m_run->RunningChecks() == 0)
            m_lastProgress.restart();
    });
    m_idleWatch.start();
}

HeadlessRunner::~HeadlessRunner()
{
    FlushOutput();
    if (!m_run->IsIdle())
        m_run->Shutdown();
}

void HeadlessRunner::SetMetrics(SiteMetrics* metrics)
{
    m_metrics = metrics;
}

void HeadlessRunner::Start()
{
    if (m_format == HeadlessOptions::Format::Csv)
        m_outBuffer += CsvHeaderLine();
    m_run->Click();
    if (m_metrics) {
        m_metrics->SetSiteCount(m_run->SiteModel()->rowCount());
        m_metrics->SetContentConditionOn(m_run->Settings().byContent);
    }
    if (m_board) {
        QStringList urls;
        for (int row = 0; row < m_run->SiteModel()->rowCount(); ++row)
            urls << m_run->SiteModel()->Url(row);
        m_board->SetSites(urls);
    }
    if (m_run->IsIdle()) {
        // The run refused to start (its message is out already); nothing would ever end the event loop.
        emit Finished(3);
        return;
    }
    // The rows hold the URLs now; a run without a window never starts again from the text.
    m_run->SetSiteListText({});
    if (m_stderrIsTerminal)
        m_progressTimer.start();
}

void HeadlessRunner::RequestStop()
{
    if (m_finishing) {
        GiveUpOutput(u"已要求停止"_s);
        return;
    }
    if (m_stopRequested || m_run->IsIdle())
        return;
    m_stopRequested = true;
    ClearProgress();
    WriteStderrLine(u"正在停止：不再开始新的检查，等待正在进行的检查结束（再按 Ctrl+C 立即退出）……"_s);
    m_run->Click();
}

void HeadlessRunner::StopOnSignal()
{
    m_stoppedBySignal = true;
    RequestStop();
}

void HeadlessRunner::Reload(const QString& siteListText, const MonitorSettings& settings)
{
    if (m_stopRequested || m_finishing || m_run->IsIdle()) {
        WriteStderrLine(u"正在停止，不再重新读取。"_s);
        return;
    }
    QSet<QString> running;
    const ReportModel* rows = m_run->SiteModel();
    for (int row = 0; row < rows->rowCount(); ++row)
        running.insert(rows->Url(row));
    const QSet<QString> wanted = DistinctUrls(SiteEntries(siteListText));
    const qsizetype added = (wanted - running).size();
    const qsizetype removed = (running - wanted).size();
    QStringList changes;
    const MonitorSettings before = m_run->Settings();
    for (const SettingsField& field : SettingsFields()) {
        if (field.text && before.*field.text != settings.*field.text)
            changes << u"%1 “%2”→“%3”"_s.arg(field.key, before.*field.text, settings.*field.text);
        else if (field.flag && before.*field.flag != settings.*field.flag)
            changes << u"%1 %2→%3"_s.arg(
                field.key, before.*field.flag ? u"开"_s : u"关"_s, settings.*field.flag ? u"开"_s : u"关"_s);
    }
    OnMessage(u"重新读取：新增 %1 个，移除 %2 个，设置变化：%3（从下一遍起生效）"_s.arg(added).arg(removed).arg(
        changes.isEmpty() ? u"无"_s : changes.join(u"，"_s)));
    m_run->ReplaceSiteList(siteListText, settings);
}

void HeadlessRunner::OnSiteListReplaced(int sites)
{
    QSet<QString> urls;
    QStringList inOrder;
    const ReportModel* rows = m_run->SiteModel();
    for (int row = 0; row < rows->rowCount(); ++row) {
        urls.insert(rows->Url(row));
        inOrder << rows->Url(row);
    }
    if (m_board)
        m_board->ReplaceSites(inOrder);
    if (!m_metrics)
        return;
    m_metrics->KeepOnly(urls);
    m_metrics->SetSiteCount(sites);
    m_metrics->SetContentConditionOn(m_run->Settings().byContent);
}

bool HeadlessRunner::Ready(QString* why) const
{
    if (m_run->PassNumber() == 0) {
        *why = u"第一遍检查尚未开始"_s;
        return false;
    }
    const qint64 limitMs = kStuckTimeouts * LongestCheckMs(m_run->Settings());
    if (m_run->RunningChecks() > 0 && m_lastProgress.elapsed() > limitMs) {
        *why = u"%1 个检查进行中，但 %2 秒内没有检查完成"_s.arg(m_run->RunningChecks()).arg(limitMs / 1000);
        return false;
    }
    *why = u"正常"_s;
    return true;
}

void HeadlessRunner::OnCheckFinished(const CheckRecord& record)
{
    m_lastProgress.restart();
    if (m_metrics) {
        m_metrics->RecordCheck(record, record.finishedAtMs);
        // A failed handshake tells nothing new about the certificate: the last known date stays.
        if (record.certExpires > 0)
            m_metrics->SetCertExpiry(record.url, record.certExpires);
    }
    // The metrics hold the history's since-times: the page says the same as the alerts.
    if (m_board)
        m_board->RecordCheck(record, m_metrics && !record.cancelled ? m_metrics->AbnormalSinceMs(record.url) : 0);
    if (m_stdoutBroken)
        return;
    m_outBuffer += FormatCheckLine(record, m_format);
    if (m_stdoutIsTerminal || m_outBuffer.size() >= kFlushBytes)
        FlushOutput();
    else if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

void HeadlessRunner::OnPassFinished(const PassSummary& summary)
{
    if (m_metrics)
        m_metrics->RecordPass(summary);
    if (m_board)
        m_board->RecordPass(summary, QDateTime::currentMSecsSinceEpoch());
    FlushOutput();
    ClearProgress();
    WriteStderrLine(u"第 %1 遍完成：网站 %2 个，不正常 %3 个，用时 %4"_s.arg(summary.pass)
                        .arg(summary.sites)
                        .arg(summary.abnormal)
                        .arg(DurationText(summary.elapsedMs)));
}

void HeadlessRunner::OnMessage(const QString& text)
{
    FlushOutput();
    ClearProgress();
    WriteStderrLine(text);
}

void HeadlessRunner::OnRunFinished()
{
    m_progressTimer.stop();
    FlushOutput();
    ClearProgress();
    // A service stopped by a signal ended as asked; --passes keeps its 0/2 answer.
    const bool serviceStop = m_stoppedBySignal && m_untilStopped;
    m_exitStatus = !serviceStop && m_run->AbnormalModel()->rowCount() > 0 ? 2 : 0;
    m_finishing = true;
    if (m_droppedLines > 0)
        WriteStderrLine(u"标准输出读取太慢，共丢弃了 %1 行检查结果。"_s.arg(m_droppedLines));
    m_lastWritten = m_out->Written();
    m_stallTimer.start();
    m_recorder->DrainDelivery(WebhookSender::kDrainMs);
}

void HeadlessRunner::TryFinish()
{
    if (!m_finishing || m_finished || !m_deliveryDone || m_out->Pending() > 0)
        return;
    m_finished = true;
    m_stallTimer.stop();
    emit Finished(m_exitStatus);
}

void HeadlessRunner::CheckOutputStall()
{
    if (m_out->Written() == m_lastWritten && m_out->Pending() > 0)
        GiveUpOutput(u"%1 秒内没有被读取"_s.arg(kOutputStallMs / 1000));
    m_lastWritten = m_out->Written();
}

void HeadlessRunner::GiveUpOutput(const QString& why)
{
    if (m_out->Pending() > 0) {
        const qsizetype lines = m_out->Discard();
        WriteStderrLine(u"标准输出%1，%2 行检查结果未写出。"_s.arg(why).arg(lines));
    }
    TryFinish();
}

void HeadlessRunner::FlushOutput()
{
    m_flushTimer.stop();
    if (m_outBuffer.isEmpty() || m_stdoutBroken)
        return;
    // After a loss, lines resume only once the reader has taken half the backlog: no flapping at the bound.
    const bool room = m_droppedLines == 0 || m_out->Pending() < kMaxPendingOutput / 2;
    if (room && m_out->Append(m_outBuffer)) {
        if (m_droppedLines > 0 && !m_finishing) {
            WriteStderrLine(u"标准输出恢复，此前丢弃了 %1 行检查结果。"_s.arg(m_droppedLines));
            m_droppedLines = 0;
        }
    } else {
        if (m_droppedLines == 0) {
            WriteStderrLine(u"标准输出读取太慢（积压超过 %1 MB），检查结果行将被丢弃，直到读取跟上。"_s.arg(
                kMaxPendingOutput / (1024 * 1024)));
        }
        m_droppedLines += m_outBuffer.count('\n');
    }
    m_outBuffer.clear();
}

void HeadlessRunner::OnOutputBroken()
{
    // The reader went away (a closed pipe): the remaining lines have nowhere to go.
    m_stdoutBroken = true;
    WriteStderrLine(u"标准输出已关闭，停止监控。"_s);
    RequestStop();
    TryFinish();
}

void HeadlessRunner::WriteStderrLine(const QString& text)
{
    const QByteArray bytes = (text + u'\n').toUtf8();
    WriteAll(STDERR_FILENO, bytes.constData(), bytes.size());
}

void HeadlessRunner::ShowProgress()
{
    if (m_run->IsIdle())
        return;
    const RunRecorder::Progress progress = m_recorder->PassProgress();
    const QString line = u"\r第 %1 遍：已检查 %2/%3，不正常 %4，进行中 %5\x1b[K"_s.arg(progress.pass)
                             .arg(progress.done)
                             .arg(progress.sites)
                             .arg(progress.abnormal)
                             .arg(progress.running);
    const QByteArray bytes = line.toUtf8();
    WriteAll(STDERR_FILENO, bytes.constData(), bytes.size());
    m_progressShown = true;
}

void HeadlessRunner::ClearProgress()
{
    if (!m_progressShown)
        return;
    WriteAll(STDERR_FILENO, "\r\x1b[K", 4);
    m_progressShown = false;
}
