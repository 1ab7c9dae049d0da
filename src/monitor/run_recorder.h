#pragma once

#include "monitor/notify_target.h"
#include "monitor/state_changes.h"

#include <QObject>
#include <QString>
#include <QVector>

#include <vector>

class HistoryStore;
class MonitoringRun;
class WebhookSender;
struct CheckRecord;

// What a run leaves behind beyond its lists: every finished check goes into the history, state changes are
// collected into batches and posted to the webhooks. The window and the headless command each attach one to
// their run and listen to it; they keep only what is theirs (notifications and tray, metrics and output lines).
//
// Main thread only. Changes are collected only while someone takes them (a webhook or a Changes listener), so a
// run of a million sites without alerts keeps no per-site state here beyond the sites the history holds as
// abnormal. A failing history or webhook costs the run nothing: it is reported through HistoryFailed /
// DeliveryFailed and the run goes on. Every state change a webhook gave up on is counted once in Undelivered.
class RunRecorder final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RunRecorder)

public:
    struct Progress
    {
        int pass = 0; // 0 before the first pass
        int done = 0; // checks of that pass finished so far; a CheckFinished listener does not see its own yet
        int sites = 0;
        int abnormal = 0;
        int running = 0;
    };

    RunRecorder(MonitoringRun* run, int collectMs, QObject* parent = nullptr);
    ~RunRecorder() override;

    // Empty: no history. A new path closes the old file (what was queued is written) and opens the new one.
    void SetHistoryPath(const QString& path);
    QString HistoryPath() const;
    // Empty: no webhook. Bodies queued for a replaced URL are given up at once (and counted).
    void SetNotifyUrl(const QString& url);
    // Every target with a sender (queue, retries) of its own; replaces the webhook and any earlier targets.
    void SetNotifyTargets(const QList<NotifyTarget>& targets);

    // Alert only after confirmPasses checks in a row agree; remind every remindMinutes while abnormal (0: never).
    void SetAlertRules(int confirmPasses, int remindMinutes);

    // The end of a run: what is collected goes out, and the webhooks get ms to deliver what is queued.
    // DrainDelivery keeps the event loop running and ends with DeliveryDrained; FinishDelivery waits here and
    // returns the changes left undelivered (the recorder's signals are not emitted then).
    void DrainDelivery(int ms);
    int FinishDelivery(int ms);

    Progress PassProgress() const;

signals:
    void Changes(const QVector<StateChange>& batch);
    void HistoryFailed(const QString& message);
    void DeliveryFailed(const QString& message);
    void Undelivered(int changes);
    void DeliveryDrained();

private:
    void OnCheckFinished(const CheckRecord& record);
    void OnBatch(const QVector<StateChange>& batch);
    bool CollectsChanges() const;

    MonitoringRun* m_run;
    HistoryStore* m_history = nullptr;
    StateChangeCollector* m_changes;
    std::vector<WebhookSender*> m_senders;
    std::vector<NotifyTarget> m_senderTargets; // beside m_senders
    int m_draining = 0;
};
