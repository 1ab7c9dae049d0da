#pragma once

#include "http/transfer_failure.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>

class TransferShare;

// The optional arguments of FetchPage; a field left empty is "not given" and takes the default.
struct FetchOptions
{
    std::optional<double> timeoutSeconds; // 0 or not given: 120 s
    std::optional<int> charsetCode; // 2 = UTF-8, 0 = detect
    std::optional<qint64> maxBodyBytes; // body cap; not given: kDefaultMaxBodyBytes
    // Set from another thread to end the request early (program shutdown); checked while transferring.
    std::shared_ptr<const std::atomic<bool>> cancel;
    // Name lookups and TLS sessions of the caller's other transfers: a session a verified request made is resumed.
    std::shared_ptr<TransferShare> share;
};

// What a fetch hands back besides the text.
struct FetchResult
{
    int status = 0;
    QByteArray body; // decompressed, capped
    QString headers; // raw response headers, CR LF separated
    int charsetCode = 0; // written back as the caller's charset code
    bool truncated = false; // the body reached the cap
    bool timedOut = false; // a time-out or the overall limit ended the request
    bool cancelled = false; // ended by FetchOptions::cancel; every other field is empty
    FailureReason failure = FailureReason::None; // why no response came, when none did
    std::shared_ptr<const void> bodyBudget; // the page budget the body holds, given back with the last copy
};

// Bodies beyond this are dropped (decompressed bytes), so huge pages and compression bombs cannot exhaust memory.
inline constexpr qint64 kDefaultMaxBodyBytes = 16 * 1024 * 1024;
// The whole fetch ends by this, however steadily the server keeps sending: far beyond any honest page, it only
// stops endless drips. The time-out itself bounds the connection and each gap in the transfer.
constexpr int FetchOverallLimitMs(int timeoutMs)
{
    return std::max(60000, timeoutMs > 214748364 ? 2147483647 : timeoutMs * 10);
}

// The fetch's time-out in milliseconds: whole seconds of the given value; not given or about 0 means 120 s,
// and less than a second means 60 s.
int FetchTimeoutMs(const std::optional<double>& seconds);

// A GET as one libcurl transfer on the calling thread (no connection survives it, and it leaves no TLS session
// behind, though it resumes one of FetchOptions::share), direct, with the
// browser's User-Agent, Accept and Accept-Language; returns the body as text, empty on any failure. Ignores
// certificate errors, follows up to 10 redirects between http and https, times the connection and every gap by the
// time-out, ends by FetchOverallLimitMs and at once when the cancel flag is raised through CancelWakeup::Raise (within
// a second when it is only set). Safe to call from any thread; blocks until the fetch ends.
QString FetchPage(const QString& url, const FetchOptions& options = {}, FetchResult* result = nullptr);
