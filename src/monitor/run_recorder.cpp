#include "monitor/run_recorder.h"

#include "monitor/monitoring_run.h"
#include "monitor/report_model.h"
#include "monitor/webhook_sender.h"
#include "store/history_store.h"

#include <QMetaMethod>
#include <QSignalBlocker>

using namespace Qt::StringLiterals;

RunRecorder::RunRecorder(MonitoringRun* run, int collectMs, QObject* parent)
    : QObject(parent)
    , m_run(run)
    , m_changes(new StateChangeCollector(collectMs, this))
{
    connect(run, &MonitoringRun::CheckFinished, this, &RunRecorder::OnCheckFinished);
    connect(run, &MonitoringRun::RunFinished, m_changes, &StateChangeCollector::FlushNow);
    connect(m_changes, &StateChangeCollector::Batch, this, &RunRecorder::OnBatch);
}

// The senders are children: each gives its queued bodies the bounded drain time as it goes.
RunRecorder::~RunRecorder() = default;

void RunRecorder::DrainDelivery(int ms)
{
    m_changes->FlushNow();
    m_draining = int(m_senders.size());
    if (m_draining == 0) {
        emit DeliveryDrained();
        return;
    }
    for (WebhookSender* sender : m_senders) {
        connect(sender, &WebhookSender::Drained, this, [this] {
            if (--m_draining == 0)
                emit DeliveryDrained();
        });
        sender->Drain(ms);
    }
}

int RunRecorder::FinishDelivery(int ms)
{
    const QSignalBlocker quiet(this);
    m_changes->FlushNow();
    for (WebhookSender* sender : m_senders)
        sender->Drain(ms);
    int lost = 0;
    for (WebhookSender* sender : m_senders)
        lost += sender->Finish(ms);
    return lost;
}

void RunRecorder::SetHistoryPath(const QString& path)
{
    if (path == HistoryPath())
        return;
    delete m_history;
    m_history = nullptr;
    if (path.isEmpty())
        return;
    m_history = new HistoryStore(path, this);
    connect(m_history, &HistoryStore::Failed, this, &RunRecorder::HistoryFailed);
    connect(m_history, &HistoryStore::Dropped, this, &RunRecorder::HistoryFailed);
    // Only the abnormal are kept: a site the history knows as normal alerts on an abnormal check either way.
    m_changes->SeedAbnormal(HistoryStore::ReadAbnormalUrls(path));
    m_history->Start();
}

QString RunRecorder::HistoryPath() const
{
    return m_history ? m_history->Path() : QString();
}

void RunRecorder::SetNotifyUrl(const QString& url)
{
    for (WebhookSender* sender : m_senders) {
        if (const int lost = sender->Finish(0)) {
            emit Undelivered(lost);
            emit DeliveryFailed(u"通知网址已更换，原网址还有 %1 个状态变化未送达。"_s.arg(lost));
        }
        delete sender;
    }
    m_senders.clear();
    if (url.isEmpty())
        return;
    auto* sender = new WebhookSender(url, this);
    connect(sender, &WebhookSender::Dropped, this, &RunRecorder::DeliveryFailed);
    connect(sender, &WebhookSender::Undelivered, this, &RunRecorder::Undelivered);
    m_senders.push_back(sender);
}

RunRecorder::Progress RunRecorder::PassProgress() const
{
    return { m_run->PassNumber(), m_run->FinishedInPass(), m_run->SiteModel()->rowCount(),
        m_run->AbnormalModel()->rowCount(), m_run->RunningChecks() };
}

void RunRecorder::OnCheckFinished(const CheckRecord& record)
{
    if (m_history) {
        m_history->Record(HistorySample {
            record.url, record.finishedAtMs, record.normal, record.status, record.elapsedMs, record.certExpires });
    }
    if (CollectsChanges())
        m_changes->Feed(record);
}

void RunRecorder::OnBatch(const QVector<StateChange>& batch)
{
    if (!m_senders.empty()) {
        const QByteArray json = AlertJson(batch);
        for (WebhookSender* sender : m_senders)
            sender->Post(json, int(batch.size()));
    }
    emit Changes(batch);
}

bool RunRecorder::CollectsChanges() const
{
    static const QMetaMethod changesSignal = QMetaMethod::fromSignal(&RunRecorder::Changes);
    return !m_senders.empty() || isSignalConnected(changesSignal);
}
