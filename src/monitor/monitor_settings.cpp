#include "monitor/monitor_settings.h"

#include "store/persistence.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

bool IsBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\u3000';
}

// Skips leading blanks and a sign; returns the index of the first digit candidate.
qsizetype SkipBlanksAndSign(const QString& text, bool* negative)
{
    qsizetype i = 0;
    while (i < text.size() && IsBlank(text.at(i)))
        ++i;
    *negative = false;
    if (i < text.size() && (text.at(i) == u'-' || text.at(i) == u'+')) {
        *negative = text.at(i) == u'-';
        ++i;
    }
    return i;
}

bool IsDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

} // namespace

int LeadingInt(const QString& text)
{
    bool negative = false;
    qsizetype i = SkipBlanksAndSign(text, &negative);
    qint64 value = 0;
    constexpr qint64 kLimit = qint64(std::numeric_limits<int>::max()) + 1;
    for (; i < text.size() && IsDigit(text.at(i)); ++i) {
        value = value * 10 + (text.at(i).unicode() - u'0');
        if (value > kLimit)
            value = kLimit;
    }
    if (negative)
        return int(-value);
    return int(std::min<qint64>(value, std::numeric_limits<int>::max()));
}

double LeadingDouble(const QString& text)
{
    bool negative = false;
    qsizetype i = SkipBlanksAndSign(text, &negative);
    double value = 0;
    for (; i < text.size() && IsDigit(text.at(i)); ++i)
        value = value * 10 + (text.at(i).unicode() - u'0');
    if (i < text.size() && text.at(i) == u'.') {
        double scale = 0.1;
        for (++i; i < text.size() && IsDigit(text.at(i)); ++i) {
            value += (text.at(i).unicode() - u'0') * scale;
            scale /= 10;
        }
    }
    if (!std::isfinite(value))
        value = std::numeric_limits<double>::max();
    return negative ? -value : value;
}

std::span<const SettingsField> SettingsFields()
{
    static const SettingsField fields[] = {
        { Persist::kStatusCodesCheck, nullptr, &MonitorSettings::byStatus },
        { Persist::kStatusCodesEdit, &MonitorSettings::statusCodes },
        { Persist::kInvertStatusCheck, nullptr, &MonitorSettings::invertStatus },
        { Persist::kContentCheck, nullptr, &MonitorSettings::byContent },
        { Persist::kContentEdit, &MonitorSettings::contentKeywords },
        { Persist::kInvertContentCheck, nullptr, &MonitorSettings::invertContent },
        { Persist::kTimeoutEdit, &MonitorSettings::timeoutText },
        { Persist::kThreadsEdit, &MonitorSettings::threadsText },
        { Persist::kIntervalEdit, &MonitorSettings::intervalText },
    };
    return fields;
}
