#pragma once

#include "monitor/monitor_settings.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class Clock;
struct CheckRecord;
struct WorkerPool;

// Where the checks cross from their worker threads to the main thread. The program's other crossings have the
// same shape, a queue under a mutex with one wake-up, and are documented where they live:
// - the history writer (store/history_store.h): main thread -> writer thread, back only by a queued Failed();
// - the webhook sender (monitor/webhook_sender.h): main thread -> sender thread, back only by a queued Dropped();
// - POSIX signals (monitor/signal_bridge.h): the handler writes to a self-pipe read on the main thread.
// Nothing that runs off the main thread touches a model, a widget or a timer.
//
// How: every check runs on a detached pthread with a small stack (512 KiB stacks stay in the C library's stack
// cache, so starting hundreds of threads never stalls the main thread); a worker that finished waits up to 10 s
// for the next check before its thread ends. A finished worker pushes its outcome onto
// a queue under the pool's mutex and posts a wake-up event only if none is pending, so a burst of results costs
// one event. On the main thread this object drains the queue in slices of at most 256 results or 8 ms, posting
// itself another wake-up when it stops early, and hands each outcome to the apply function.
//
// After the crossing everything is on the main thread: the run applies outcomes to its models and emits signals;
// the window merges the caption, current-row and scroll requests those signals carry on a 25 ms single-shot timer
// (MainWindow::WireRun), so thousands of results a second cost at most forty view updates.
//
// Every member function is for the main thread. The pool is shared with the workers, so a worker that ends after
// this object is gone still finds it; after Shutdown() its result goes nowhere.
class CheckWorkers final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CheckWorkers)

public:
    using ApplyFunction = std::function<void(CheckRecord&)>;

    CheckWorkers(std::shared_ptr<Clock> clock, ApplyFunction apply, QObject* parent = nullptr);
    ~CheckWorkers() override;

    // Checks `url` on an idle worker, or on a new detached thread; false when the system refuses a thread.
    bool Start(int pass, int row, const QString& url, const MonitorSettings& settings);
    // Cancels running transfers and waits up to `waitMs` for the workers; later results are dropped.
    void Shutdown(qint64 waitMs);

protected:
    void customEvent(QEvent* event) override;

private:
    std::shared_ptr<WorkerPool> m_pool;
    ApplyFunction m_apply;
};
