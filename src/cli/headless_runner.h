#pragma once

#include "cli/headless_options.h"
#include "monitor/monitor_settings.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdio>

class MonitoringRun;
class PipeWriter;
class RunRecorder;
class SiteBoard;
class SiteMetrics;
struct CheckRecord;
struct PassSummary;

// Drives one monitoring run without a window: check lines on stdout, messages, progress and pass
// summaries on stderr, and the exit status when the run has ended.
//
// Stdout never holds up the run, the metrics server, the signals or the webhook: lines wait in a bounded buffer
// for a slow reader; past it the run goes on and drops check lines, saying how many on stderr. A monitor is
// read mostly through its metrics and alerts, which must stay live; a reader that keeps up on average loses
// nothing. At the end the rest of the buffer waits for the reader as long as it takes bytes (and the webhooks
// get their drain time); a reader that takes nothing for kOutputStallMs, or a stop signal, ends the wait.
class HeadlessRunner final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HeadlessRunner)

public:
    static constexpr qint64 kMaxPendingOutput = 16 * 1024 * 1024;
    static constexpr int kOutputStallMs = 10'000;

    HeadlessRunner(const MonitorSettings& settings, const QString& siteListText, int passes,
        HeadlessOptions::Format format, QObject* parent = nullptr);
    ~HeadlessRunner() override;

    // Verdicts for the metrics server; set before Start.
    void SetMetrics(SiteMetrics* metrics);
    // The status page's table; set before Start.
    void SetBoard(SiteBoard* board) { m_board = board; }
    // The history file and the webhook are set there before Start; its failures become stderr lines.
    RunRecorder* Recorder() const { return m_recorder; }

    void Start();
    // SIGINT / SIGTERM: no new checks; running ones finish, then the run ends.
    void RequestStop();
    // The same, asked for by a service manager: a run without --passes then exits 0 even with abnormal sites,
    // so a stop is not a failure (the count is in the log and the metrics).
    void StopOnSignal();
    // SIGHUP: a re-read list and settings, used from the next pass on; says on stderr what changed.
    void Reload(const QString& siteListText, const MonitorSettings& settings);

    // For /-/ready: true once the first pass has started, unless checks are running and none has finished for
    // kStuckTimeouts times the longest a check may take. why says which.
    static constexpr int kStuckTimeouts = 3;
    bool Ready(QString* why) const;

signals:
    void Finished(int exitStatus);

private:
    void OnCheckFinished(const CheckRecord& record);
    void OnPassFinished(const PassSummary& summary);
    void OnMessage(const QString& text);
    void OnRunFinished();
    void OnSiteListReplaced(int sites);
    void FlushOutput();
    void OnOutputBroken();
    void CheckOutputStall();
    void GiveUpOutput(const QString& why);
    void TryFinish();
    void WriteStderrLine(const QString& text);
    void ShowProgress();
    void ClearProgress();

    MonitoringRun* m_run;
    SiteMetrics* m_metrics = nullptr;
    SiteBoard* m_board = nullptr;
    RunRecorder* m_recorder;
    HeadlessOptions::Format m_format;
    bool m_stdoutIsTerminal;
    bool m_stderrIsTerminal;
    bool m_stdoutBroken = false;
    bool m_stopRequested = false;
    bool m_stoppedBySignal = false;
    bool m_untilStopped;
    bool m_progressShown = false;
    bool m_finishing = false;
    bool m_deliveryDone = false;
    bool m_finished = false;
    int m_exitStatus = 0;
    qint64 m_droppedLines = 0;
    qint64 m_lastWritten = 0;
    QByteArray m_outBuffer;
    PipeWriter* m_out;
    QTimer m_flushTimer;
    QTimer m_stallTimer;
    QTimer m_progressTimer;
    QTimer m_idleWatch;
    QElapsedTimer m_lastProgress; // a check finished, or none was running
};
