#include "monitor/site_check.h"

#include "http/http_client.h"
#include "monitor/clock.h"
#include "monitor/duration_text.h"
#include "monitor/keyword_search.h"
#include "monitor/status_codes.h"

#include <algorithm>
#include <array>
#include <mutex>

bool StatusMatches(int status, const QString& codes)
{
    // Walks the parts in place: every check asks, and splitting made a list of strings each time.
    const QString statusText = QString::number(status);
    const QStringView all(codes);
    qsizetype start = 0;
    for (;;) {
        const qsizetype bar = all.indexOf(u'|', start);
        const qsizetype end = bar < 0 ? all.size() : bar;
        if (all.sliced(start, end - start) == statusText)
            return true;
        if (bar < 0)
            return false;
        start = bar + 1;
    }
}

int FindKeyword(const QString& page, const QString& keywords)
{
    KeywordSearchOptions options;
    options.separator = u"|"_s;
    options.caseInsensitive = true;
    KeywordSearchOutput output;
    if (!KeywordSearch(page, keywords, options, &output))
        return -1;
    return output.foundPosition;
}

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

QString StatusColumnText(const MonitorSettings& settings, int status)
{
    return settings.byStatus ? CachedStatusDescription(status) : u"无查询"_s;
}

QString FoundColumnText(const MonitorSettings& settings, int found)
{
    if (!settings.byContent)
        return u"无查询"_s;
    return found == -1 ? u"找不到"_s : QString::number(found);
}

CheckOutcome RunSiteCheck(
    const QString& url, const MonitorSettings& settings, Clock& clock, const ShutdownSignal& shutdown)
{
    CheckOutcome outcome;
    outcome.url = url;
    HttpClient client;
    client.SetCancelFlag(shutdown.Flag());
    const qint64 startTick = clock.NowMs();
    // A negative wait would mean "forever" to a request object; treat it like 0, which is the 25 s default.
    const int timeoutSeconds = LeadingInt(settings.timeoutText);

    bool normal = true;
    if (settings.byStatus) {
        for (int attempt = 1; attempt <= kStatusAttempts; ++attempt) {
            client.Recreate();
            outcome.status = client.QueryStatus(url, false, std::max(timeoutSeconds, 0));
            outcome.certExpires = qMax(outcome.certExpires, client.CertificateExpiry());
            ++outcome.attempts;
            if (outcome.status != 0 && outcome.status != 100)
                break;
            // The wait after the last attempt is kept: an unreachable site always costs 10 s of waiting.
            if (!clock.Sleep(qint64(attempt) * 1000, shutdown)) {
                outcome.cancelled = true;
                return outcome;
            }
        }
        normal = StatusMatches(outcome.status, settings.statusCodes) != settings.invertStatus;
    }
    if (normal && settings.byContent && !shutdown.IsRaised()) {
        FetchOptions options;
        options.timeoutSeconds = double(timeoutSeconds);
        const QString page = client.FetchPage(url, options);
        outcome.pageFetched = true;
        outcome.found = FindKeyword(page, settings.contentKeywords);
        normal = (outcome.found != -1) != settings.invertContent;
    }
    if (shutdown.IsRaised()) {
        outcome.cancelled = true;
        return outcome;
    }

    outcome.normal = normal;
    outcome.statusText = StatusColumnText(settings, outcome.status);
    outcome.foundText = FoundColumnText(settings, outcome.found);
    outcome.elapsedMs = clock.NowMs() - startTick;
    outcome.responseTime = DurationText(outcome.elapsedMs);
    outcome.finishTick = clock.NowMs();
    return outcome;
}
