#include "monitor/clock.h"

#include "http/cancel_wakeup.h"

#include <chrono>

namespace {

qint64 SteadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

ShutdownSignal::ShutdownSignal()
    : m_flag(std::make_shared<std::atomic<bool>>(false))
{ }

void ShutdownSignal::Raise()
{
    {
        std::lock_guard lock(m_mutex);
        CancelWakeup::Raise(*m_flag);
    }
    m_wake.notify_all();
}

bool ShutdownSignal::IsRaised() const
{
    return m_flag->load();
}

std::shared_ptr<const std::atomic<bool>> ShutdownSignal::Flag() const
{
    return m_flag;
}

bool ShutdownSignal::WaitFor(qint64 milliseconds) const
{
    std::unique_lock lock(m_mutex);
    if (milliseconds <= 0)
        return !m_flag->load();
    return !m_wake.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_flag->load(); });
}

qint64 SteadyClock::NowMs() const
{
    return SteadyNs() / 1'000'000;
}

bool SteadyClock::Sleep(qint64 milliseconds, const ShutdownSignal& shutdown)
{
    return shutdown.WaitFor(milliseconds);
}

qint64 SteadyClock::TimerMs(qint64 milliseconds) const
{
    return milliseconds;
}
