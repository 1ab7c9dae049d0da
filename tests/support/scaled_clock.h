#pragma once

#include "monitor/clock.h"

#include <QList>

#include <mutex>

// Clock time runs `factor` times faster than real time, so retry waits and intervals take milliseconds in tests;
// every Sleep request is recorded.
class ScaledClock final : public Clock
{
public:
    explicit ScaledClock(double factor);

    qint64 NowMs() const override;
    bool Sleep(qint64 milliseconds, const ShutdownSignal& shutdown) override;
    qint64 TimerMs(qint64 milliseconds) const override;

    QList<qint64> Sleeps() const;
    void ClearSleeps();

private:
    double m_factor;
    qint64 m_originNs;
    mutable std::mutex m_mutex;
    QList<qint64> m_sleeps;
};
