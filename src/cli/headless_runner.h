#pragma once

#include "cli/headless_options.h"
#include "monitor/monitor_settings.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdio>

class HistoryStore;
class MonitoringRun;
class SiteMetrics;
class StateChangeCollector;
class WebhookSender;
struct CheckRecord;
struct PassSummary;

// Drives one monitoring run without a window: check lines on stdout, messages, progress and pass
// summaries on stderr, and the exit status when the run has ended.
class HeadlessRunner final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HeadlessRunner)

public:
    HeadlessRunner(const MonitorSettings& settings, const QString& siteListText, int passes,
        HeadlessOptions::Format format, QObject* parent = nullptr);
    ~HeadlessRunner() override;

    // Verdicts for the metrics server; set before Start.
    void SetMetrics(SiteMetrics* metrics);
    // Both before Start(): the history file to keep, and the webhook for batches of state changes.
    void SetHistoryPath(const QString& path);
    void SetNotifyUrl(const QString& url);

    void Start();
    // SIGINT / SIGTERM: no new checks; running ones finish, then the run ends.
    void RequestStop();

signals:
    void Finished(int exitStatus);

private:
    void OnCheckFinished(const CheckRecord& record);
    void OnPassFinished(const PassSummary& summary);
    void OnMessage(const QString& text);
    void OnRunFinished();
    void FlushOutput();
    void WriteStderrLine(const QString& text);
    void ShowProgress();
    void ClearProgress();

    MonitoringRun* m_run;
    SiteMetrics* m_metrics = nullptr;
    HistoryStore* m_history = nullptr;
    StateChangeCollector* m_changes = nullptr;
    WebhookSender* m_webhook = nullptr;
    HeadlessOptions::Format m_format;
    bool m_stdoutIsTerminal;
    bool m_stderrIsTerminal;
    bool m_stdoutBroken = false;
    bool m_stopRequested = false;
    bool m_progressShown = false;
    QByteArray m_outBuffer;
    QTimer m_flushTimer;
    QTimer m_progressTimer;
    int m_progressPass = 0;
    int m_doneInPass = 0;
};
