#include "monitor/check_workers.h"

#include "monitor/clock.h"
#include "monitor/site_check.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>

#include <condition_variable>
#include <deque>
#include <mutex>

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

} // namespace

// Shared with the threads, so it outlives a CheckWorkers destroyed while a check still ends.
struct WorkerPool
{
    std::mutex mutex;
    std::condition_variable allDone;
    int live = 0;
    QObject* receiver = nullptr; // null once shut down: late results go nowhere
    std::deque<CheckOutcome> results; // finished checks in the order they finished
    bool wakePosted = false;
    ShutdownSignal shutdown;
    std::shared_ptr<Clock> clock;

    struct StartArgs
    {
        std::shared_ptr<WorkerPool> pool;
        int pass;
        int row;
        QString url;
        MonitorSettings settings;
    };

    static void Work(StartArgs& args)
    {
        WorkerPool& pool = *args.pool;
        CheckOutcome outcome = RunSiteCheck(args.url, args.settings, *pool.clock, pool.shutdown);
        outcome.pass = args.pass;
        outcome.row = args.row;
        {
            std::lock_guard lock(pool.mutex);
            if (pool.receiver && !outcome.cancelled) {
                pool.results.push_back(std::move(outcome));
                if (!pool.wakePosted) {
                    pool.wakePosted = true;
                    QCoreApplication::postEvent(pool.receiver, new QEvent(kResultsWaiting));
                }
            }
            --pool.live;
        }
        pool.allDone.notify_all();
    }

    static void* Entry(void* data)
    {
        std::unique_ptr<StartArgs> args(static_cast<StartArgs*>(data));
        Work(*args);
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
    {
        std::lock_guard lock(m_pool->mutex);
        ++m_pool->live;
    }
    auto args = std::make_unique<WorkerPool::StartArgs>(WorkerPool::StartArgs { m_pool, pass, row, url, settings });
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
    // Transfers end within ~100 ms of the flag and retry waits wake at once; the bound only guards a stuck one.
    m_pool->allDone.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return m_pool->live == 0; });
}

void CheckWorkers::customEvent(QEvent* event)
{
    // The lock comes first: it is what hands the worker's writes (the event included) over to this thread.
    std::unique_lock lock(m_pool->mutex);
    if (event->type() != kResultsWaiting)
        return;
    QElapsedTimer turn;
    turn.start();
    for (int applied = 0; !m_pool->results.empty(); ++applied) {
        if (applied == kResultsPerTurn || turn.elapsed() >= kTurnBudgetMs) {
            QCoreApplication::postEvent(this, new QEvent(kResultsWaiting));
            return;
        }
        const CheckOutcome outcome = std::move(m_pool->results.front());
        m_pool->results.pop_front();
        lock.unlock();
        m_apply(outcome);
        lock.lock();
    }
    m_pool->wakePosted = false;
}
