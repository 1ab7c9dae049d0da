#include "monitor/check_workers.h"

#include "monitor/clock.h"
#include "monitor/site_check.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <pthread.h>

namespace {

// Tells the main thread that results wait in the pool's queue.
const QEvent::Type kResultsWaiting = QEvent::Type(QEvent::registerEventType());
// Results applied per event-loop turn, so a burst of finished checks never holds up the window.
constexpr int kResultsPerTurn = 256;
constexpr qint64 kTurnBudgetMs = 8;
// Creating threads with 8 MB stacks next to hundreds of running checks stalled the main thread for 100 ms and
// more per start.
constexpr size_t kWorkerStackBytes = 512 * 1024;
// How long a worker waits for another check before its thread ends: longer than the hand-over between passes,
// short enough that a long interval holds no idle threads.
constexpr auto kIdleLifetime = std::chrono::seconds(10);

} // namespace

// Shared with the threads, so it outlives a CheckWorkers destroyed while a check still ends.
//
// A worker that finishes its check waits a while for the next one instead of ending: a thread started per check
// cost a clone, a fresh malloc arena and stack pages each time, a tenth of the CPU of a loopback pass. Start()
// hands a check to the most recently idle worker (its caches are the warmest) and makes a thread only when none
// waits.
struct WorkerPool
{
    struct Job
    {
        int pass = 0;
        int row = 0;
        QString url;
        MonitorSettings settings;
    };
    // Lives on its worker's stack for the thread's whole life. Whoever takes it out of `idle` (under the pool's
    // mutex) sets `job` and then calls Wake() exactly once, so the worker never takes the pool's mutex to wake.
    // A mutex and condition variable of its own rather than a semaphore: libstdc++'s semaphore spins on
    // sched_yield before it sleeps, which showed in the pass's profile.
    struct IdleWorker
    {
        std::mutex mutex;
        std::condition_variable wakeUp;
        bool woken = false;
        std::optional<Job> job;

        void Wake()
        {
            // Notified under its mutex: the worker can't return from the wait, and end, while this still runs.
            std::lock_guard lock(mutex);
            woken = true;
            wakeUp.notify_one();
        }
        bool WaitFor(std::chrono::seconds limit)
        {
            std::unique_lock lock(mutex);
            if (!wakeUp.wait_for(lock, limit, [this] { return woken; }))
                return false;
            woken = false;
            return true;
        }
        void Wait()
        {
            std::unique_lock lock(mutex);
            wakeUp.wait(lock, [this] { return woken; });
            woken = false;
        }
    };

    std::mutex mutex;
    std::condition_variable allDone;
    int live = 0; // checks started and not yet finished
    QObject* receiver = nullptr; // null once shut down: late results go nowhere, idle workers leave
    std::deque<CheckRecord> results; // finished checks in the order they finished
    bool wakePosted = false;
    std::vector<IdleWorker*> idle; // the last to go idle is at the back
    ShutdownSignal shutdown;
    std::shared_ptr<Clock> clock;

    struct StartArgs
    {
        std::shared_ptr<WorkerPool> pool;
        Job job;
    };

    // Hands the outcome over and waits for this worker's next check; nothing comes back when the pool closed or
    // no check came within the idle time. 200 workers on two cores make every extra hold of the mutex a chance to
    // sleep on it, so there is one per check.
    std::optional<Job> FinishAndWait(IdleWorker& self, CheckRecord outcome)
    {
        {
            std::lock_guard lock(mutex);
            if (receiver && !outcome.cancelled) {
                results.push_back(std::move(outcome));
                if (!wakePosted) {
                    wakePosted = true;
                    QCoreApplication::postEvent(receiver, new QEvent(kResultsWaiting));
                }
            }
            if (--live == 0)
                allDone.notify_all();
            if (receiver == nullptr)
                return std::nullopt;
            idle.push_back(&self);
        }
        if (!self.WaitFor(kIdleLifetime)) {
            {
                std::lock_guard lock(mutex);
                if (std::erase(idle, &self) > 0)
                    return std::nullopt;
            }
            // Taken out of `idle` just now: its wake-up is on the way.
            self.Wait();
        }
        return std::exchange(self.job, std::nullopt);
    }

    static void* Entry(void* data)
    {
        std::unique_ptr<StartArgs> args(static_cast<StartArgs*>(data));
        WorkerPool& pool = *args->pool;
        std::optional<Job> job = std::move(args->job);
        IdleWorker self;
        while (job) {
            CheckRecord outcome = RunSiteCheck(job->url, job->settings, *pool.clock, pool.shutdown);
            outcome.pass = job->pass;
            outcome.row = job->row;
            job = pool.FinishAndWait(self, std::move(outcome));
        }
        return nullptr;
    }
};

CheckWorkers::CheckWorkers(std::shared_ptr<Clock> clock, ApplyFunction apply, QObject* parent)
    : QObject(parent)
    , m_pool(std::make_shared<WorkerPool>())
    , m_apply(std::move(apply))
{
    m_pool->receiver = this;
    m_pool->clock = std::move(clock);
}

CheckWorkers::~CheckWorkers()
{
    Shutdown(0);
}

bool CheckWorkers::Start(int pass, int row, const QString& url, const MonitorSettings& settings)
{
    WorkerPool::IdleWorker* worker = nullptr;
    {
        std::lock_guard lock(m_pool->mutex);
        ++m_pool->live;
        if (!m_pool->idle.empty()) {
            worker = m_pool->idle.back();
            m_pool->idle.pop_back();
            worker->job = WorkerPool::Job { pass, row, url, settings };
        }
    }
    if (worker) {
        worker->Wake();
        return true;
    }
    auto args = std::make_unique<WorkerPool::StartArgs>(
        WorkerPool::StartArgs { m_pool, WorkerPool::Job { pass, row, url, settings } });
    pthread_attr_t attributes;
    bool started = false;
    if (pthread_attr_init(&attributes) == 0) {
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
        pthread_t thread;
        started = pthread_create(&thread, &attributes, &WorkerPool::Entry, args.get()) == 0;
        pthread_attr_destroy(&attributes);
    }
    if (started) {
        args.release();
        return true;
    }
    {
        std::lock_guard lock(m_pool->mutex);
        --m_pool->live;
    }
    m_pool->allDone.notify_all();
    return false;
}

void CheckWorkers::Shutdown(qint64 waitMs)
{
    std::unique_lock lock(m_pool->mutex);
    if (m_pool->receiver == nullptr)
        return;
    m_pool->receiver = nullptr;
    m_pool->shutdown.Raise();
    for (WorkerPool::IdleWorker* worker : m_pool->idle)
        worker->Wake();
    m_pool->idle.clear();
    // Raising the flag wakes waiting transfers and retry waits at once; the bound only guards a stuck one.
    m_pool->allDone.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return m_pool->live == 0; });
}

void CheckWorkers::customEvent(QEvent* event)
{
    // One hold of the lock takes a slice of results; it also hands the workers' writes over to this thread, the
    // event's own included (Qt's queue orders them too, unseen by the race checker).
    std::vector<CheckRecord> slice;
    {
        std::lock_guard lock(m_pool->mutex);
        if (event->type() != kResultsWaiting)
            return;
        const size_t count = std::min(m_pool->results.size(), size_t(kResultsPerTurn));
        slice.reserve(count);
        std::move(m_pool->results.begin(), m_pool->results.begin() + qsizetype(count), std::back_inserter(slice));
        m_pool->results.erase(m_pool->results.begin(), m_pool->results.begin() + qsizetype(count));
    }
    QElapsedTimer turn;
    turn.start();
    size_t applied = 0;
    while (applied < slice.size() && turn.elapsed() < kTurnBudgetMs)
        m_apply(slice[applied++]);
    std::lock_guard lock(m_pool->mutex);
    // What the turn's time did not cover goes back to the front, in order.
    m_pool->results.insert(m_pool->results.begin(), std::make_move_iterator(slice.begin() + qsizetype(applied)),
        std::make_move_iterator(slice.end()));
    if (m_pool->results.empty())
        m_pool->wakePosted = false;
    else
        QCoreApplication::postEvent(this, new QEvent(kResultsWaiting));
}
