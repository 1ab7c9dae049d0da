#pragma once

#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

// Program shutdown as seen by worker threads: a flag the HTTP transfers watch and a wake-up for their waits.
class ShutdownSignal final
{
public:
    ShutdownSignal();

    void Raise();
    bool IsRaised() const;
    // The flag handed to HttpClient::SetCancelFlag.
    std::shared_ptr<const std::atomic<bool>> Flag() const;
    // Blocks up to the given real milliseconds; returns false when woken by Raise().
    bool WaitFor(qint64 milliseconds) const;

private:
    std::shared_ptr<std::atomic<bool>> m_flag;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_wake;
};

// The time base of the run and the site check; tests inject a faster one.
class Clock
{
public:
    virtual ~Clock() = default;
    // Monotonic milliseconds.
    virtual qint64 NowMs() const = 0;
    // Worker-thread wait that only program shutdown cuts short; false when cut short.
    virtual bool Sleep(qint64 milliseconds, const ShutdownSignal& shutdown) = 0;
    // Real milliseconds a main-thread timer must run to let the given clock time pass.
    virtual qint64 TimerMs(qint64 milliseconds) const = 0;
};

// The real steady clock.
class SteadyClock final : public Clock
{
public:
    qint64 NowMs() const override;
    bool Sleep(qint64 milliseconds, const ShutdownSignal& shutdown) override;
    qint64 TimerMs(qint64 milliseconds) const override;
};
