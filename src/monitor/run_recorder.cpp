#include "monitor/run_recorder.h"

#include "monitor/monitoring_run.h"
#include "monitor/report_model.h"
#include "monitor/webhook_sender.h"
#include "store/history_store.h"

#include <QDateTime>
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
    for (const HistoryStore::KnownCertificate& cert :
        HistoryStore::ReadExpiringCertificates(path, CertificateWatch::kMaxDays))
        m_changes->SeedCertificate(cert.url, cert.expires, cert.seenMs);
    m_history->Start();
}

QString RunRecorder::HistoryPath() const
{
    return m_history ? m_history->Path() : QString();
}

void RunRecorder::SetNotifyUrl(const QString& url)
{
    SetNotifyTargets(url.isEmpty() ? QList<NotifyTarget>() : QList<NotifyTarget> { { NotifyKind::Webhook, url, {} } });
}

void RunRecorder::SetNotifyTargets(const QList<NotifyTarget>& targets)
{
    for (WebhookSender* sender : m_senders) {
        if (const int lost = sender->Finish(0)) {
            emit Undelivered(lost);
            emit DeliveryFailed(u"通知网址已更换，原网址还有 %1 个状态变化未送达。"_s.arg(lost));
        }
        delete sender;
    }
    m_senders.clear();
    m_senderTargets.clear();
    for (const NotifyTarget& target : targets) {
        auto* sender = new WebhookSender(target.url, this);
        if (target.kind != NotifyKind::Webhook) {
            sender->SetAttempt([target](const QByteArray& text, const std::shared_ptr<std::atomic<bool>>& cancel) {
                // Signed at each attempt: the services refuse a timestamp an hour old.
                const NotifyRequest request
                    = BuildNotifyRequest(target, QString::fromUtf8(text), {}, QDateTime::currentMSecsSinceEpoch());
                return DeliverNotifyRequest(target.kind, request, kNotifyTimeoutMs, cancel);
            });
        }
        connect(sender, &WebhookSender::Dropped, this, &RunRecorder::DeliveryFailed);
        connect(sender, &WebhookSender::Undelivered, this, &RunRecorder::Undelivered);
        m_senders.push_back(sender);
        m_senderTargets.push_back(target);
    }
}

void RunRecorder::SetAlertRules(int confirmPasses, int remindMinutes)
{
    m_changes->SetRules(confirmPasses, qint64(remindMinutes) * 60'000);
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
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const QByteArray json = AlertJson(batch);
        const QByteArray text = NotifyText(batch, now).toUtf8();
        QByteArray markdown;
        for (size_t i = 0; i < m_senders.size(); ++i) {
            const NotifyTarget& target = m_senderTargets[i];
            if (target.kind == NotifyKind::Webhook) {
                if (json != "[]") // a batch of certificate warnings only: nothing for the webhook's array
                    m_senders[i]->Post(json, int(batch.size()));
            } else if (target.markdown && (target.kind == NotifyKind::DingTalk || target.kind == NotifyKind::WeCom)) {
                if (markdown.isEmpty())
                    markdown = NotifyMarkdown(batch, now).toUtf8();
                m_senders[i]->Post(markdown, int(batch.size()));
            } else {
                m_senders[i]->Post(text, int(batch.size()));
            }
        }
    }
    emit Changes(batch);
}

bool RunRecorder::CollectsChanges() const
{
    static const QMetaMethod changesSignal = QMetaMethod::fromSignal(&RunRecorder::Changes);
    return !m_senders.empty() || isSignalConnected(changesSignal);
}
