#include "support/scaled_clock.h"

#include <chrono>
#include <cmath>

namespace {

qint64 SteadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

ScaledClock::ScaledClock(double factor)
    : m_factor(factor > 0 ? factor : 1)
    , m_originNs(SteadyNs())
{ }

qint64 ScaledClock::NowMs() const
{
    return qint64(double(SteadyNs() - m_originNs) * m_factor / 1e6);
}

bool ScaledClock::Sleep(qint64 milliseconds, const ShutdownSignal& shutdown)
{
    {
        std::lock_guard lock(m_mutex);
        m_sleeps.append(milliseconds);
    }
    return shutdown.WaitFor(TimerMs(milliseconds));
}

qint64 ScaledClock::TimerMs(qint64 milliseconds) const
{
    if (milliseconds <= 0)
        return 0;
    return qint64(std::ceil(double(milliseconds) / m_factor));
}

QList<qint64> ScaledClock::Sleeps() const
{
    std::lock_guard lock(m_mutex);
    return m_sleeps;
}

void ScaledClock::ClearSleeps()
{
    std::lock_guard lock(m_mutex);
    m_sleeps.clear();
}
