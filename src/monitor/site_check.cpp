#include "monitor/site_check.h"

#include "http/http_client.h"
#include "http/request_object.h"
#include "monitor/clock.h"
#include "monitor/keyword_search.h"
#include "monitor/site_list.h"

#include <algorithm>

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

CheckRecord RunSiteCheck(
    const QString& url, const MonitorSettings& settings, Clock& clock, const ShutdownSignal& shutdown)
{
    CheckRecord outcome;
    outcome.url = url;
    // The page fetch goes over the status request's connection where the server keeps it open: one handshake.
    HttpClient client(settings.byStatus && settings.byContent);
    client.SetCancelFlag(shutdown.Flag());
    const qint64 startTick = clock.NowMs();
    // A negative wait would mean "forever" to a request object; treat it like 0, which is the 25 s default.
    const int timeoutSeconds = LeadingInt(settings.timeoutText);
    // Sent as they are, these would go out as http to a host named after their scheme.
    const bool webUrl = !IsNonWebEntry(url);

    bool normal = true;
    FailureReason reason = webUrl ? FailureReason::None : FailureReason::UnsupportedUrl;
    if (settings.byStatus) {
        for (int attempt = 1; webUrl && attempt <= kStatusAttempts; ++attempt) {
            client.Recreate();
            // Each attempt has a connection of its own. Without a page to fetch after it, it sends once: a server
            // that keeps connections open must not keep the client's either.
            if (const auto request = client.GetRequestObject()) {
                request->SetKeepConnection(settings.byContent);
                request->SetFreshConnection(attempt > 1);
            }
            outcome.status = client.QueryStatus(url, false, std::max(timeoutSeconds, 0));
            outcome.certExpires = qMax(outcome.certExpires, client.CertificateExpiry());
            ++outcome.attempts;
            if (outcome.status != 0 && outcome.status != 100)
                break;
            if (attempt == kStatusAttempts) {
                const TransferFailure failure = client.StatusFailure();
                reason = failure.reason;
                outcome.reasonDetail = failure.detail;
            }
            // The wait after the last attempt is kept: an unreachable site always costs 10 s of waiting.
            if (!clock.Sleep(qint64(attempt) * 1000, shutdown)) {
                outcome.cancelled = true;
                return outcome;
            }
        }
        normal = StatusMatches(outcome.status, settings.statusCodes) != settings.invertStatus;
        if (outcome.status != 0)
            reason = FailureReason::StatusRejected;
        else if (reason == FailureReason::None)
            reason = FailureReason::NoResponse;
    }
    if (normal && settings.byContent && !shutdown.IsRaised()) {
        FetchOptions options;
        options.timeoutSeconds = double(timeoutSeconds);
        FetchResult fetched;
        const QString page = webUrl ? client.FetchPage(url, options, &fetched) : QString();
        outcome.pageFetched = webUrl;
        outcome.pageIncomplete = fetched.truncated || fetched.timedOut;
        outcome.found = FindKeyword(page, settings.contentKeywords);
        // The keyword may sit in the part never read: neither its absence nor an inversion of it can pass.
        if (outcome.found == -1 && outcome.pageIncomplete)
            normal = false;
        else
            normal = (outcome.found != -1) != settings.invertContent;
        outcome.reasonDetail.clear();
        if (!webUrl)
            reason = FailureReason::UnsupportedUrl;
        else if (fetched.failure != FailureReason::None && outcome.found == -1)
            reason = fetched.failure;
        else if (outcome.found == -1)
            reason = outcome.pageIncomplete ? FailureReason::PageIncomplete : FailureReason::KeywordMissing;
        else
            reason = FailureReason::KeywordPresent;
    }
    if (shutdown.IsRaised()) {
        outcome.cancelled = true;
        return outcome;
    }

    outcome.normal = normal;
    if (normal) {
        reason = FailureReason::None;
        outcome.reasonDetail.clear();
    }
    outcome.reason = reason;
    outcome.byStatus = settings.byStatus;
    outcome.byContent = settings.byContent;
    outcome.elapsedMs = clock.NowMs() - startTick;
    outcome.finishTick = clock.NowMs();
    return outcome;
}
