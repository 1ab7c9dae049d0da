#pragma once

#include "monitor/check_result.h"
#include "monitor/monitor_settings.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class Clock;
class ReportModel;
class CheckWorkers;

// Sent when every check a pass started has finished.
struct PassSummary
{
    int pass = 0;
    int sites = 0; // checks finished in this pass (rows skipped because still running are not counted)
    int abnormal = 0;
    qint64 elapsedMs = 0;
};

// The start/stop button's monitoring run, driven from the main thread's event loop: passes over the
// site rows, one worker thread per check in flight, at most the thread count at once, and the interval between
// passes.
// Main thread only; its checks' results come back through CheckWorkers. It says states and counts; the window
// makes the captions and header texts from them.
class MonitoringRun final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MonitoringRun)

public:
    // More simultaneous checks than this would exhaust the process's threads.
    static constexpr int kMaxConcurrentChecks = 1000;

    // What the start/stop button shows.
    enum class RunState { Idle, Running, Stopping, WaitingThreads };
    Q_ENUM(RunState)

    explicit MonitoringRun(QObject* parent = nullptr);
    explicit MonitoringRun(std::shared_ptr<Clock> clock, QObject* parent = nullptr);
    ~MonitoringRun() override;

    ReportModel* SiteModel();
    ReportModel* AbnormalModel();

    // The window calls it whenever an input changes; each check gets a copy when it starts.
    void SetSettings(const MonitorSettings& settings);
    MonitorSettings Settings() const;
    // The site list (CR LF separated), read when a run starts.
    void SetSiteListText(const QString& text);
    QString SiteListText() const;
    // A reloaded list and settings for a running run, applied when the next pass is due and no check is running:
    // the rows of URLs that stay keep their state, the abnormal rows of URLs that left go. Then SiteListReplaced.
    void ReplaceSiteList(const QString& text, const MonitorSettings& settings);
    // Called at the start of a run to save the window's state.
    void SetSaveFormHook(std::function<void()> hook);
    // 0 = until stopped; otherwise the run ends by itself after that pass, without an interval wait.
    void SetMaxPasses(int passes);

    RunState State() const;
    bool IsIdle() const;
    int RunningChecks() const;
    int PassNumber() const;
    // Checks of the current pass that have finished; kept after its summary until the next pass starts.
    int FinishedInPass() const;

    // The start/stop button: starts a run when idle, otherwise a stop request.
    void Click();
    // Program exit: stop, cancel running transfers, wait a bounded time (~1 s) for the workers. Emits nothing;
    // results still in flight are dropped and the run takes no more clicks. A graceful stop is Click().
    void Shutdown();

signals:
    void StateChanged(MonitoringRun::RunState state);
    // At a run's start, after both lists were emptied and the site rows filled.
    void ListsFilled(int sites);
    void AbnormalCountChanged(int abnormal);
    // When a check starts or ends: the checks running and the row. Only computed while connected.
    void CheckCountsChanged(int running, int row);
    void MessageRequested(const QString& text);
    void WarningRequested(const QString& text); // the same, with the warning icon
    void CurrentRowRequested(int row);
    void AbnormalRowAdded(int row);
    void CheckFinished(const CheckRecord& record);
    void PassFinished(const PassSummary& summary);
    void RunFinished();
    void SiteListReplaced(int sites);

private:
    enum class Phase { Idle, Rows, Interval, WaitingThreads };

    void StartRun();
    void RequestStop();
    void StartPass();
    void ApplyPendingList();
    void ScheduleRowStep();
    void RowStep();
    int ThreadLimit() const;
    bool StartCheck(int row);
    void EndRowLoop();
    void AfterInterval();
    void EndPasses();
    void FinishRun();
    void ApplyOutcome(CheckRecord& outcome);
    void FlushFinishedPasses();
    void SetState(RunState state);
    void EmitCheckCounts(int row);

    std::shared_ptr<Clock> m_clock;
    CheckWorkers* m_workers;
    ReportModel* m_siteModel;
    ReportModel* m_abnormalModel;

    MonitorSettings m_settings;
    QString m_siteListText;
    std::optional<QString> m_pendingList;
    MonitorSettings m_pendingSettings;
    std::function<void()> m_saveFormHook;
    int m_maxPasses = 0;

    RunState m_state = RunState::Idle;
    Phase m_phase = Phase::Idle;
    bool m_stop = false;
    bool m_shutDown = false;
    int m_running = 0; // started and not yet applied, queued results included

    int m_pass = 0;
    qint64 m_passStart = 0;
    int m_passRows = 0;
    int m_nextRow = 0;
    bool m_throttled = false;
    bool m_rowStepQueued = false;
    int m_startedThisPass = 0;
    int m_threadFailureWarnedPass = 0;
    bool m_passAfterFinish = false; // a pass that started nothing resumes when a check ends
    QTimer m_intervalTimer;
    std::vector<qint8> m_previousState; // per site row, the state before its running check

    struct PassProgress
    {
        int outstanding = 0;
        int finished = 0;
        bool rowsDone = false;
        qint64 start = 0;
    };
    std::map<int, PassProgress> m_passes;
    int m_summarizedFinished = 0; // the current pass's count once it has left m_passes
};

Q_DECLARE_METATYPE(CheckRecord)
Q_DECLARE_METATYPE(PassSummary)
