#pragma once

#include <QtGlobal>

// Sanitizer builds run several times slower and use several times the memory: tools/sanitize.sh sets this
// factor, which widens the slack of time bounds and the memory bounds.
inline qint64 Instrumented(qint64 amount)
{
    bool ok = false;
    const double factor = qEnvironmentVariable("PATROL_TEST_SLOWDOWN").toDouble(&ok);
    return ok && factor > 1 ? qint64(double(amount) * factor) : amount;
}
