#include "http/page_fetch.h"

#include "http/body_decoder.h"
#include "http/cancel_wakeup.h"
#include "http/curl_global.h"
#include "http/curl_transfer.h"
#include "http/page_budget.h"
#include "http/transfer_share.h"
#include "http/trust_store.h"
#include "http/url_text.h"

#include <QUrl>

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace {

using Clock = CurlTransfer::Clock;

constexpr char kUserAgent[] = "User-Agent: Mozilla/5.0 (Windows NT 6.1) AppleWebKit/537.36 (KHTML, like Gecko) "
                              "Chrome/30.0.1599.101 Safari/537.36";
constexpr char kAccept[]
    = "Accept: image/gif, image/bmp, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-shockwave-flash, "
      "application/vnd.ms-excel, application/vnd.ms-powerpoint, application/msword, */*";
// Response headers beyond this are dropped; a hostile server must not fill memory with them.
constexpr qsizetype kMaxHeaderBytes = 256 * 1024;

// One libcurl transfer, resolved to bytes.
struct Transfer
{
    QByteArray url;
    int timeoutMs = 120000;
    qint64 maxBodyBytes = kDefaultMaxBodyBytes;
    std::shared_ptr<const std::atomic<bool>> cancel;
    std::shared_ptr<TransferShare> share;
    // Verifying in libcurl's terms, so that a verified request's session matches, while any certificate passes.
    bool resumeSessions = false;
};

struct Outcome
{
    bool failed = false;
    long status = 0;
    QByteArray body;
    QByteArray headers;
    bool truncated = false;
    bool timedOut = false;
    bool cancelled = false;
    bool responseStarted = false; // a status line arrived
    FailureReason failure = FailureReason::None;
    std::shared_ptr<PageBudgetHold> budget; // what the body holds of the process's page budget
};

// Unlike the request object's, one limit covers every gap once connected (libcurl times the connection), and the
// whole transfer ends by the overall limit.
struct Sink final : CurlTransfer::Limits
{
    Outcome* outcome;
    CURL* easy;
    qint64 maxBodyBytes;
    Clock::time_point deadline = Clock::time_point::max(); // the overall limit
    std::chrono::milliseconds gap {}; // the time-out on each pause of the server
    const std::atomic<bool>* cancel = nullptr;
    bool budgetCut = false; // the body waited for budget until the whole-page limit
    CurlTransfer::Times times;

    Sink(Outcome* out, CURL* handle, qint64 cap)
        : outcome(out)
        , easy(handle)
        , maxBodyBytes(cap)
    { }

    bool Cancelled() const override { return cancel && cancel->load(std::memory_order_relaxed); }

    std::optional<Clock::time_point> PhaseEnd(Clock::time_point now) override
    {
        times.Sample(easy, now);
        if (!times.Connected())
            return std::nullopt;
        return std::max({ times.connectedAt, times.lastUploadAt, times.lastByteAt }) + gap;
    }
};

size_t OnBody(char* data, size_t size, size_t count, void* user)
{
    auto* sink = static_cast<Sink*>(user);
    const size_t bytes = size * count;
    sink->times.lastByteAt = Clock::now();
    const qint64 room = sink->maxBodyBytes - sink->outcome->body.size();
    auto& budget = sink->outcome->budget;
    if (!budget)
        budget = std::make_shared<PageBudgetHold>();
    const qint64 held = sink->outcome->body.size() + std::min(qint64(bytes), std::max<qint64>(room, 0));
    // Our own wait for budget is not the server's silence: only the whole-page limit bounds it.
    if (!budget->Cover(held, sink->deadline, sink->cancel)) {
        sink->budgetCut = true;
        return 0;
    }
    sink->times.lastByteAt = Clock::now();
    if (qint64(bytes) > room) {
        // Stops the transfer, and with it any further inflation of a compressed body.
        sink->outcome->body.append(data, qsizetype(std::max<qint64>(room, 0)));
        sink->outcome->truncated = true;
        return 0;
    }
    sink->outcome->body.append(data, qsizetype(bytes));
    return bytes;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user)
{
    auto* sink = static_cast<Sink*>(user);
    const size_t bytes = size * count;
    sink->times.lastByteAt = Clock::now();
    // Keep only the last response's headers: redirects and interim 1xx answers come first.
    if (bytes >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
        sink->outcome->headers.clear();
        sink->outcome->responseStarted = true;
    }
    if (sink->outcome->headers.size() + qint64(bytes) <= kMaxHeaderBytes)
        sink->outcome->headers.append(data, qsizetype(bytes));
    return bytes;
}

int AcceptAnyChain(int, X509_STORE_CTX* store)
{
    X509_STORE_CTX_set_error(store, X509_V_OK);
    return 1;
}

CURLcode OnResumingSslContext(CURL*, void* sslContext, void*)
{
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    TrustStore::Install(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &AcceptAnyChain);
    // A session of a handshake that accepted any certificate must never serve a request that verifies.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    return CURLE_OK;
}

using ListPtr = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

bool Configure(CURL* easy, const Transfer& transfer, curl_slist*& headerList, Sink& sink)
{
    if (CurlTransfer::SetCommonOptions(easy) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_URL, transfer.url.constData()) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1)) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "") != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_HEADERDATA, &sink) != CURLE_OK)
        return false;

    // Gaps in sending and receiving are timed by the drive: libcurl's stall detection samples once a second and
    // cuts short time-outs of a second or two at random.
    if (curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(transfer.timeoutMs)) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(FetchOverallLimitMs(transfer.timeoutMs))) != CURLE_OK)
        return false;

    if (transfer.share && transfer.share->Attach(easy) != CURLE_OK)
        return false;
    // Without the shared store libcurl would load the bundle, and a missing one would fail the fetch.
    if (transfer.resumeSessions && TrustStore::Prepare(easy)) {
        // The name check is libcurl's own and cannot be waived here: a name that fails it is fetched again unverified.
        if (curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L) != CURLE_OK
            || curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L) != CURLE_OK
            || curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &OnResumingSslContext) != CURLE_OK)
            return false;
    } else if (curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr) != CURLE_OK)
        return false;
    if (curl_easy_setopt(easy, CURLOPT_PROXY_SSL_VERIFYPEER, 0L) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_PROXY_SSL_VERIFYHOST, 0L) != CURLE_OK)
        return false;

    // A direct connection, whatever the environment says.
    if (curl_easy_setopt(easy, CURLOPT_PROXY, "") != CURLE_OK)
        return false;

    if (curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != CURLE_OK)
        return false;

    for (const char* line : { kUserAgent, kAccept, "Accept-Language: zh-cn" }) {
        curl_slist* grown = curl_slist_append(headerList, line);
        if (!grown)
            return false;
        headerList = grown;
    }
    return curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList) == CURLE_OK;
}

bool Cancelled(const Transfer& transfer)
{
    return transfer.cancel && transfer.cancel->load(std::memory_order_relaxed);
}

Outcome Perform(const Transfer& transfer)
{
    Outcome outcome;
    if (Cancelled(transfer)) {
        outcome.cancelled = true;
        return outcome;
    }
    const CurlInUse inUse;
    const auto giveEasy = [&transfer](CURL* handle) { CurlTransfer::GiveEasy(handle, transfer.share != nullptr); };
    std::unique_ptr<CURL, decltype(giveEasy)> easy(CurlTransfer::TakeEasy(), giveEasy);
    // No connection survives the fetch in the multi handle (only in a share that keeps them), so it can go round.
    bool multiReusable = false;
    const auto give = [&multiReusable](CURLM* handle) { CurlTransfer::GiveMulti(handle, multiReusable); };
    std::unique_ptr<CURLM, decltype(give)> multi(CurlTransfer::TakeMulti(), give);
    if (!easy || !multi) {
        outcome.failed = true;
        return outcome;
    }
    Sink sink(&outcome, easy.get(), std::min(transfer.maxBodyBytes, PageBudget::Process().LargestHold()));
    curl_slist* rawList = nullptr;
    const bool configured = Configure(easy.get(), transfer, rawList, sink);
    ListPtr headerList(rawList, &curl_slist_free_all);
    if (!configured || curl_multi_add_handle(multi.get(), easy.get()) != CURLM_OK) {
        outcome.failed = true;
        return outcome;
    }
    CancelWakeup::Watch(transfer.cancel.get(), multi.get());
    const std::unique_ptr<CURLM, void (*)(CURLM*)> unwatch(multi.get(), &CancelWakeup::Unwatch);

    sink.times.startedAt = Clock::now();
    sink.gap = std::chrono::milliseconds(transfer.timeoutMs);
    sink.deadline = sink.times.startedAt + std::chrono::milliseconds(FetchOverallLimitMs(transfer.timeoutMs));
    sink.cancel = transfer.cancel.get();
    const CURLcode code
        = CurlTransfer::Drive(multi.get(), easy.get(), sink.deadline, sink).value_or(CURLE_OPERATION_TIMEDOUT);
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &outcome.status);
    curl_socket_t kept = CURL_SOCKET_BAD;
    multiReusable = code == CURLE_OK && curl_easy_getinfo(easy.get(), CURLINFO_ACTIVESOCKET, &kept) == CURLE_OK
        && (transfer.share ? kept == CURL_SOCKET_BAD || transfer.share->SharesConnections()
                           : kept == CURL_SOCKET_BAD && HostIsAddress(transfer.url));
    curl_multi_remove_handle(multi.get(), easy.get());

    if (code == CURLE_ABORTED_BY_CALLBACK || (sink.budgetCut && Cancelled(transfer))) {
        outcome = {};
        outcome.cancelled = true;
        return outcome;
    }
    if (code == CURLE_PEER_FAILED_VERIFICATION && transfer.resumeSessions && !outcome.responseStarted) {
        Transfer unverified = transfer;
        unverified.resumeSessions = false;
        return Perform(unverified);
    }
    outcome.timedOut = code == CURLE_OPERATION_TIMEDOUT || sink.budgetCut;
    outcome.failed = code != CURLE_OK && !(code == CURLE_WRITE_ERROR && outcome.truncated);
    if (outcome.failed) {
        long osErrno = 0;
        curl_easy_getinfo(easy.get(), CURLINFO_OS_ERRNO, &osErrno);
        outcome.failure = ClassifyTransfer(code, osErrno, 0, sink.times.Connected());
    }
    return outcome;
}

// Host names and paths with spaces or non-ASCII characters are encoded; anything else goes out as given.
QByteArray EncodeUrl(const QString& url)
{
    const bool plain
        = std::all_of(url.cbegin(), url.cend(), [](QChar c) { return c.unicode() > 0x20 && c.unicode() < 0x7F; });
    if (plain)
        return url.toLatin1();
    const QUrl parsed(url, QUrl::TolerantMode);
    if (!parsed.isValid() || parsed.host().isEmpty())
        return {};
    return parsed.toEncoded();
}

bool Prepare(const QString& rawUrl, const FetchOptions& options, Transfer& transfer)
{
    const QString url = rawUrl.section(u'#', 0, 0).trimmed();
    if (url.isEmpty())
        return false;
    transfer.url = EncodeUrl(WithWebScheme(url));
    if (transfer.url.isEmpty())
        return false;
    transfer.timeoutMs = FetchTimeoutMs(options.timeoutSeconds);
    const qint64 cap = options.maxBodyBytes.value_or(kDefaultMaxBodyBytes);
    transfer.maxBodyBytes = cap > 0 ? cap : kDefaultMaxBodyBytes;
    transfer.cancel = options.cancel;
    transfer.share = options.share;
    transfer.resumeSessions = options.share != nullptr;
    return true;
}

} // namespace

int FetchTimeoutMs(const std::optional<double>& seconds)
{
    double value = seconds.value_or(0.0);
    if (!(std::fabs(value) > 1e-7))
        value = 120.0;
    // A day is far beyond any sensible page fetch and keeps the milliseconds in range.
    const double whole = std::trunc(std::clamp(value, -86400.0, 86400.0));
    if (whole < 1.0)
        return 60000;
    return int(whole) * 1000;
}

QString FetchPage(const QString& url, const FetchOptions& options, FetchResult* result)
{
    FetchResult local;
    FetchResult& out = result ? *result : local;
    out = {};
    Transfer transfer;
    if (Prepare(url, options, transfer)) {
        // Runs on the calling thread: nothing on it needs serving while it waits.
        Outcome outcome = Perform(transfer);
        // A failure before any response gives empty results; one after it keeps what arrived, as a read loop that
        // stops at the first failed read would.
        if (outcome.failed && !outcome.responseStarted) {
            out.timedOut = outcome.timedOut;
            out.failure = outcome.failure;
        } else {
            out.status = int(outcome.status);
            out.body = std::move(outcome.body);
            out.headers = QString::fromLatin1(outcome.headers);
            out.truncated = outcome.truncated;
            out.timedOut = outcome.timedOut;
            out.cancelled = outcome.cancelled;
            out.bodyBudget = std::move(outcome.budget);
        }
    } else {
        out.failure = FailureReason::UnsupportedUrl;
    }

    int charsetCode = options.charsetCode.value_or(kCharsetDetect);
    if (charsetCode == kCharsetDetect && HeadersAnnounceUtf8(out.headers))
        charsetCode = kCharsetUtf8;
    out.charsetCode = charsetCode;
    return DecodeBody(out.body, charsetCode, out.headers);
}
