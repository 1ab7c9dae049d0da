#include "monitor/check_result.h"

#include "monitor/duration_text.h"
#include "monitor/status_codes.h"

#include <array>
#include <mutex>

using namespace Qt::StringLiterals;

namespace {

// The table lookup builds a string per table line, and a pass asks for the same few codes thousands of times.
QString CachedStatusDescription(int status)
{
    constexpr int kCachedCodes = 1000;
    // Before the table is loaded every code reads as unknown; that answer must not stick.
    if (status < 0 || status >= kCachedCodes || StatusCodeList().isEmpty())
        return StatusDescription(status);
    static std::mutex mutex;
    static std::array<QString, kCachedCodes> cache;
    std::lock_guard lock(mutex);
    QString& text = cache[size_t(status)];
    if (text.isNull())
        text = StatusDescription(status);
    return text;
}

} // namespace

QString StatusColumnText(bool byStatus, int status)
{
    return byStatus ? CachedStatusDescription(status) : u"无查询"_s;
}

QString FoundColumnText(bool byContent, int found, bool pageIncomplete)
{
    if (!byContent)
        return u"无查询"_s;
    if (found == -1)
        return pageIncomplete ? QString::fromUtf16(kPageIncompleteText) : u"找不到"_s;
    return QString::number(found);
}

QString CheckResult::StatusText() const
{
    return StatusColumnText(byStatus, status);
}

QString CheckResult::FoundText() const
{
    return FoundColumnText(byContent, found, pageIncomplete);
}

QString CheckResult::ResponseTime() const
{
    return DurationText(elapsedMs);
}
