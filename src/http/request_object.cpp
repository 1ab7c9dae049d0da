#include "http/request_object.h"

#include "http/cancel_wakeup.h"
#include "http/curl_global.h"
#include "http/curl_transfer.h"
#include "http/transfer_share.h"
#include "http/trust_store.h"
#include "http/url_text.h"

#include <QHash>
#include <QList>
#include <QTextCodec>

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

using Clock = CurlTransfer::Clock;

const QByteArray kDefaultUserAgent = "Mozilla/4.0 (compatible; Win32; WinHttp.WinHttpRequest.5)";
// A synchronous Send or an unlimited wait has nothing else to bound it; a dripping server must not hold it forever.
constexpr auto kSyncTransferCap = std::chrono::seconds(120);

enum class State { Idle, Opened, Running, Done };

} // namespace

// Unlike the page fetch, each phase has its own limit and a transfer may outlive one wait: it is resumed by the next.
struct RequestObject::Private final : CurlTransfer::Limits
{
    CurlInUse inUse;
    std::mutex mutex;
    CURL* easy = nullptr;
    std::atomic<CURLM*> multi { nullptr };
    bool multiReusable = true; // see CurlTransfer::GiveMulti
    bool easyReusable = true; // see CurlTransfer::GiveEasy
    std::atomic<bool> abortRequested { false };
    std::shared_ptr<const std::atomic<bool>> cancel;
    std::shared_ptr<TransferShare> share;
    bool sharedTrust = false; // the handshake gets the process's parsed CA store

    QHash<int, QVariant> options;
    int resolveMs = 0;
    int connectMs = 60000;
    int sendMs = 30000;
    int receiveMs = 30000;
    int proxySetting = kProxyDefault;
    QString proxyServer;
    QString proxyBypass;
    QString user;
    QString password;
    QString proxyUser;
    QString proxyPassword;
    bool discardBody = false;
    bool keepConnection = true;
    bool freshConnection = false;
    bool used = false;
    bool easyConfigured = false; // a new easy handle needs no reset

    QString method;
    QString url;
    QByteArray curlUrl; // url as libcurl gets it
    bool async = false;
    QList<std::pair<QByteArray, QByteArray>> requestHeaders;
    curl_slist* headerList = nullptr;
    QByteArray requestBody;
    State state = State::Idle;
    CURLcode result = CURLE_OK;

    // The response whose header block is being read, and the last one whose block was complete.
    bool inHeaderBlock = false;
    int pendingStatus = 0;
    QByteArray pendingReason;
    QList<QByteArray> pendingHeaders;
    bool headersComplete = false;
    int status = 0;
    QByteArray reason;
    QList<QByteArray> headers;
    QByteArray body;
    qint64 certNotAfter = 0; // the server certificate's expiry, Unix seconds
    long verifyError = 0; // the first certificate error the handshake met
    char errorText[CURL_ERROR_SIZE] = {};

    // Each SetTimeouts limit bounds one phase.
    CurlTransfer::Times times;
    Clock::time_point resolvedAt, sentAt;

    bool Cancelled() const override { return abortRequested.load() || (cancel && cancel->load()); }

    void ClearResponse()
    {
        inHeaderBlock = false;
        pendingStatus = 0;
        pendingReason.clear();
        pendingHeaders.clear();
        headersComplete = false;
        status = 0;
        reason.clear();
        headers.clear();
        body.clear();
        certNotAfter = 0;
        verifyError = 0;
        errorText[0] = 0;
        result = CURLE_OK;
        times = {};
        times.startedAt = Clock::now();
        resolvedAt = sentAt = {};
    }

    // The time by which the current phase must end: the name lookup, the connection (with TLS and any proxy
    // tunnel), sending the request (between upload steps), the first response byte and every later gap.
    std::optional<Clock::time_point> PhaseEnd(Clock::time_point now) override
    {
        const auto limit = [](Clock::time_point from, int ms) -> std::optional<Clock::time_point> {
            if (ms <= 0)
                return std::nullopt;
            return from + std::chrono::milliseconds(ms);
        };
        if (times.lastByteAt != Clock::time_point {})
            return limit(times.lastByteAt, receiveMs);
        times.Sample(easy, now);
        if (times.Connected()) {
            if (times.uploaded < curl_off_t(requestBody.size()))
                return limit(std::max(times.connectedAt, times.lastUploadAt), sendMs);
            if (sentAt == Clock::time_point {})
                sentAt = now;
            return limit(sentAt, receiveMs);
        }
        curl_off_t at = 0;
        if (resolvedAt == Clock::time_point {} && curl_easy_getinfo(easy, CURLINFO_NAMELOOKUP_TIME_T, &at) == CURLE_OK
            && (at > 0 || HostIsAddress(curlUrl)))
            resolvedAt = now;
        if (resolvedAt == Clock::time_point {})
            return limit(times.startedAt, resolveMs);
        return limit(resolvedAt, connectMs);
    }

    void Finish(CURLcode code)
    {
        if (state == State::Running) {
            // A connection kept for reuse stays in the multi handle's cache, unless the share keeps connections;
            // a handle that holds one must not serve another object.
            curl_socket_t kept = CURL_SOCKET_BAD;
            if (code != CURLE_OK || curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &kept) != CURLE_OK
                || (kept != CURL_SOCKET_BAD && !(share && share->SharesConnections())))
                multiReusable = false;
            CancelWakeup::Unwatch(multi.load());
            curl_multi_remove_handle(multi.load(), easy);
        }
        state = State::Done;
        result = code;
        if (headerList) {
            curl_slist_free_all(headerList);
            headerList = nullptr;
        }
    }

    void CollectDone()
    {
        if (const auto code = CurlTransfer::TakeResult(multi.load(), easy))
            Finish(*code);
    }

    // Moves the transfer on until it ends or the deadline passes.
    void Drive(Clock::time_point deadline)
    {
        if (state != State::Running)
            return;
        if (const auto code = CurlTransfer::Drive(multi.load(), easy, deadline, *this))
            Finish(*code);
    }

    void Configure();
    void Start();

    static size_t OnHeader(char* data, size_t size, size_t count, void* self);
    static size_t OnBody(char* data, size_t size, size_t count, void* self);
    static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    static CURLcode OnSslContext(CURL*, void* sslContext, void* self);
    static int OnVerify(int preverified, X509_STORE_CTX* store);
};

namespace {

int SslContextIndex()
{
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

} // namespace

// The handshake's own verification walks the chain; its leaf gives the expiry at no extra cost, and the walk
// happens even when the certificate is then refused. The walk may stop above the leaf (an unknown issuer is
// found at the top), so the leaf is taken as the certificate being verified, at whatever depth the call comes.
CURLcode RequestObject::Private::OnSslContext(CURL*, void* sslContext, void* self)
{
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    if (static_cast<Private*>(self)->sharedTrust)
        TrustStore::Install(ctx);
    SSL_CTX_set_ex_data(ctx, SslContextIndex(), self);
    SSL_CTX_set_verify(ctx, SSL_CTX_get_verify_mode(ctx), &Private::OnVerify);
    return CURLE_OK;
}

int RequestObject::Private::OnVerify(int preverified, X509_STORE_CTX* store)
{
    const auto* ssl = static_cast<const SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* p = ssl ? static_cast<Private*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), SslContextIndex())) : nullptr;
    if (p && !preverified && p->verifyError == 0)
        p->verifyError = X509_STORE_CTX_get_error(store);
    // The leaf being verified, at whatever depth an untrusted chain stops.
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    std::tm tm {};
    if (p && leaf && ASN1_TIME_to_tm(X509_get0_notAfter(leaf), &tm) == 1)
        p->certNotAfter = qint64(timegm(&tm));
    return preverified;
}

size_t RequestObject::Private::OnHeader(char* data, size_t size, size_t count, void* self)
{
    auto* p = static_cast<Private*>(self);
    const size_t length = size * count;
    // Views, not copies: every response passes here once per header line.
    p->times.lastByteAt = Clock::now();
    const QByteArrayView line = QByteArrayView(data, qsizetype(length)).trimmed();
    if (line.startsWith("HTTP/")) {
        // A new response: an interim 100, a redirect being followed, or the final one.
        p->inHeaderBlock = true;
        p->pendingHeaders.clear();
        // The status is the second space-separated field, the reason all after the second space.
        const qsizetype firstSpace = line.indexOf(' ');
        const qsizetype reasonStart = firstSpace < 0 ? -1 : line.indexOf(' ', firstSpace + 1);
        const QByteArrayView status = firstSpace < 0
            ? QByteArrayView()
            : line.sliced(firstSpace + 1, (reasonStart < 0 ? line.size() : reasonStart) - firstSpace - 1);
        p->pendingStatus = status.toInt();
        p->pendingReason = reasonStart < 0 ? QByteArray() : line.sliced(reasonStart + 1).toByteArray();
        p->body.clear();
    } else if (!p->inHeaderBlock) {
        // Trailers after a chunked body.
    } else if (line.isEmpty()) {
        p->inHeaderBlock = false;
        p->headersComplete = true;
        p->status = p->pendingStatus;
        p->reason = p->pendingReason;
        p->headers = p->pendingHeaders;
    } else {
        p->pendingHeaders.append(line.toByteArray());
    }
    return length;
}

// Unlike the page fetch, which keeps a capped prefix for the keyword search, a body beyond the cap fails the
// transfer: a caller of the request object has no use for part of one.
size_t RequestObject::Private::OnBody(char* data, size_t size, size_t count, void* self)
{
    auto* p = static_cast<Private*>(self);
    const size_t length = size * count;
    p->times.lastByteAt = Clock::now();
    if (p->Cancelled())
        return 0;
    if (p->discardBody)
        return length;
    if (p->body.size() + qsizetype(length) > kMaxBodyBytes)
        return 0;
    p->body.append(data, qsizetype(length));
    return length;
}

int RequestObject::Private::OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<Private*>(self)->Cancelled() ? 1 : 0;
}

void RequestObject::Private::Configure()
{
    if (std::exchange(easyConfigured, true))
        curl_easy_reset(easy);
    CurlTransfer::SetCommonOptions(easy);
    curl_easy_setopt(easy, CURLOPT_URL, curlUrl.constData());
    const bool fromHttps = UrlScheme(url) == u"https"_s;
    const bool downgrade = options.value(EnableHttpsToHttpRedirects, false).toBool();
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, fromHttps && !downgrade ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, options.value(EnableRedirects, true).toBool() ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, long(options.value(MaxAutomaticRedirects, 10).toInt()));
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION,
        options.value(EnableHttp1_1, true).toBool() ? long(CURL_HTTP_VERSION_1_1) : long(CURL_HTTP_VERSION_1_0));
    if (!keepConnection)
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    if (freshConnection)
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);

    const int ignore = options.value(SslErrorIgnoreFlags, 0).toInt();
    const bool trustAnyIssuer = ignore & (kIgnoreUnknownCa | kIgnoreWrongUsage | kIgnoreCertDateInvalid);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, trustAnyIssuer ? 0L : 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, (ignore & kIgnoreCertCnInvalid) ? 0L : 2L);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &Private::OnSslContext);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, this);
    sharedTrust = TrustStore::Prepare(easy);
    if (share)
        share->Attach(easy);
    else
        curl_easy_setopt(easy, CURLOPT_SHARE, nullptr);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);

    const QVariant agent = options.value(UserAgentString);
    curl_easy_setopt(easy, CURLOPT_USERAGENT,
        agent.isValid() ? agent.toString().toUtf8().constData() : kDefaultUserAgent.constData());

    // Drive holds each phase to its own limit; this is libcurl's backstop. A zero means "no limit" to the caller;
    // libcurl's own connect default (300 s) still applies then.
    const long connectLimit = std::max(resolveMs, 0) + std::max(connectMs, 0);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, connectLimit);

    // Direct unless a proxy was named; libcurl must not pick one up from the environment by itself.
    const QByteArray proxy = proxySetting == kProxyNamed ? ProxyForUrl(proxyServer, url).toUtf8() : QByteArray();
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy.constData());
    if (!proxy.isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_NOPROXY, NoProxyList(proxyBypass).constData());
        if (!proxyUser.isEmpty()) {
            curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, proxyUser.toUtf8().constData());
            curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, proxyPassword.toUtf8().constData());
            curl_easy_setopt(easy, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
        }
    }
    if (!user.isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_USERNAME, user.toUtf8().constData());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, password.toUtf8().constData());
        curl_easy_setopt(easy, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
    }

    const QByteArray verb = method.isEmpty() ? QByteArray("GET") : method.toUtf8();
    if (verb.compare("HEAD", Qt::CaseInsensitive) == 0) {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (!requestBody.isEmpty() || verb.compare("POST", Qt::CaseInsensitive) == 0) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(requestBody.size()));
        curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, requestBody.constData());
        if (verb != "POST")
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, verb.constData());
    } else {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        if (verb != "GET")
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, verb.constData());
    }

    bool hasContentType = false;
    for (const auto& [name, value] : requestHeaders) {
        hasContentType = hasContentType || name.compare("Content-Type", Qt::CaseInsensitive) == 0;
        headerList = curl_slist_append(headerList, (name + ": " + value).constData());
    }
    // libcurl would add these on its own; our requests carry only the headers the caller set.
    headerList = curl_slist_append(headerList, "Expect:");
    if (!hasContentType)
        headerList = curl_slist_append(headerList, "Content-Type:");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);

    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Private::OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Private::OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Private::OnProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
}

void RequestObject::Private::Start()
{
    if (!easy || (state != State::Opened && state != State::Done) || url.isEmpty())
        return;
    ClearResponse();
    abortRequested = false;
    if (Cancelled()) {
        state = State::Done;
        result = CURLE_ABORTED_BY_CALLBACK;
        return;
    }
    if (!multi.load())
        multi = CurlTransfer::TakeMulti();
    CURLM* m = multi.load();
    if (!m) {
        state = State::Done;
        result = CURLE_FAILED_INIT;
        return;
    }
    curlUrl = UrlForCurl(url);
    Configure();
    // A shared lookup lands in the share, not in the multi handle.
    if (proxySetting == kProxyNamed || (!share && !HostIsAddress(curlUrl)))
        multiReusable = false;
    if (!share)
        easyReusable = false;
    CancelWakeup::Watch(cancel.get(), m);
    if (curl_multi_add_handle(m, easy) != CURLM_OK) {
        state = State::Running;
        Finish(CURLE_FAILED_INIT);
        return;
    }
    state = State::Running;
    if (async) {
        // Gets the lookup or connect going; WaitForResponse carries it on.
        int running = 0;
        curl_multi_perform(m, &running);
        CollectDone();
    } else {
        Drive(Clock::now() + kSyncTransferCap);
        if (state == State::Running)
            Finish(CURLE_OPERATION_TIMEDOUT);
    }
}

RequestObject::RequestObject()
    : d(std::make_unique<Private>())
{
    EnsureCurlGlobalInit();
    d->easy = CurlTransfer::TakeEasy();
}

RequestObject::~RequestObject()
{
    d->abortRequested = true;
    std::lock_guard lock(d->mutex);
    if (d->state == State::Running)
        d->Finish(CURLE_ABORTED_BY_CALLBACK);
    if (d->headerList)
        curl_slist_free_all(d->headerList);
    CurlTransfer::GiveEasy(d->easy, d->easyReusable);
    if (CURLM* m = d->multi.load())
        CurlTransfer::GiveMulti(m, d->multiReusable);
}

bool RequestObject::IsValid() const
{
    return d->easy != nullptr;
}

bool RequestObject::IsUnused() const
{
    std::lock_guard lock(d->mutex);
    return !d->used;
}

void RequestObject::Open(const QString& method, const QString& url, bool async)
{
    std::lock_guard lock(d->mutex);
    d->used = true;
    if (d->state == State::Running)
        d->Finish(CURLE_ABORTED_BY_CALLBACK);
    d->method = method;
    d->url = url;
    d->async = async;
    d->requestHeaders.clear();
    d->requestBody.clear();
    d->ClearResponse();
    d->state = State::Opened;
}

void RequestObject::SetRequestHeader(const QString& name, const QString& value)
{
    const QByteArray key = name.trimmed().toUtf8();
    if (key.isEmpty() || key.contains('\r') || key.contains('\n') || value.contains(u'\r') || value.contains(u'\n'))
        return; // a line break would let the value smuggle extra header lines
    std::lock_guard lock(d->mutex);
    d->used = true;
    auto& headers = d->requestHeaders;
    headers.removeIf([&](const auto& h) { return h.first.compare(key, Qt::CaseInsensitive) == 0; });
    if (!value.isEmpty())
        headers.append(std::pair(key, value.toUtf8()));
}

void RequestObject::Send()
{
    Send(QByteArray());
}

void RequestObject::Send(const QString& body)
{
    if (!body.isEmpty()) {
        std::lock_guard lock(d->mutex);
        const bool typed = std::any_of(d->requestHeaders.cbegin(), d->requestHeaders.cend(),
            [](const auto& h) { return h.first.compare("Content-Type", Qt::CaseInsensitive) == 0; });
        if (!typed)
            d->requestHeaders.append({ QByteArray("Content-Type"), QByteArray("text/plain; Charset=UTF-8") });
    }
    Send(body.toUtf8());
}

void RequestObject::Send(const QByteArray& body)
{
    std::lock_guard lock(d->mutex);
    d->used = true;
    if (d->state == State::Running)
        return;
    d->requestBody = body;
    d->Start();
}

bool RequestObject::WaitForResponse(int seconds)
{
    std::lock_guard lock(d->mutex);
    if (d->state == State::Running) {
        // "Forever" gets the same cap as a synchronous Send: a dripping server must not hold its owner.
        const auto wait = seconds >= 0 ? std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(seconds))
                                       : std::chrono::duration_cast<Clock::duration>(kSyncTransferCap);
        d->Drive(Clock::now() + wait);
    }
    return d->state == State::Done && d->result == CURLE_OK;
}

void RequestObject::Abort()
{
    d->abortRequested = true;
    if (CURLM* m = d->multi.load())
        curl_multi_wakeup(m);
    std::lock_guard lock(d->mutex);
    d->used = true;
    if (d->state == State::Running)
        d->Finish(CURLE_ABORTED_BY_CALLBACK);
    if (d->state == State::Done) {
        d->ClearResponse();
        d->result = CURLE_ABORTED_BY_CALLBACK;
    }
}

qint64 RequestObject::CertificateExpiry() const
{
    std::lock_guard lock(d->mutex);
    return d->certNotAfter;
}

TransferFailure RequestObject::Failure() const
{
    std::lock_guard lock(d->mutex);
    if (d->state == State::Running)
        return { d->times.Connected() ? FailureReason::ResponseTimedOut : FailureReason::ConnectTimedOut, {} };
    if (d->state != State::Done || d->result == CURLE_OK || !d->easy)
        return {};
    long osErrno = 0;
    curl_easy_getinfo(d->easy, CURLINFO_OS_ERRNO, &osErrno);
    TransferFailure failure { ClassifyTransfer(d->result, osErrno, d->verifyError, d->times.Connected()), {} };
    if (IsTlsFailure(failure.reason)) {
        failure.detail = QString::fromUtf8(d->errorText).trimmed();
        if (failure.detail.isEmpty() && d->verifyError != 0)
            failure.detail = QString::fromUtf8(X509_verify_cert_error_string(d->verifyError));
    }
    return failure;
}

int RequestObject::Status() const
{
    std::lock_guard lock(d->mutex);
    return d->headersComplete ? d->status : 0;
}

QString RequestObject::StatusText() const
{
    std::lock_guard lock(d->mutex);
    return d->headersComplete ? QString::fromUtf8(d->reason) : QString();
}

QByteArray RequestObject::ResponseBody() const
{
    std::lock_guard lock(d->mutex);
    return d->state == State::Done && d->result == CURLE_OK ? d->body : QByteArray();
}

QString RequestObject::ResponseText() const
{
    const QByteArray body = ResponseBody();
    if (body.isEmpty())
        return {};
    const QString type = GetResponseHeader(u"Content-Type"_s);
    QTextCodec* codec = nullptr;
    const qsizetype at = type.indexOf(u"charset="_s, 0, Qt::CaseInsensitive);
    if (at >= 0) {
        QString name = type.mid(at + 8).section(u';', 0, 0).trimmed();
        name.remove(u'"').remove(u'\'');
        codec = QTextCodec::codecForName(name.toLatin1());
    }
    if (!codec)
        codec = QTextCodec::codecForName("UTF-8");
    // A byte order mark outranks the header, as in browsers.
    codec = QTextCodec::codecForUtfText(body, codec);
    return codec->toUnicode(body);
}

QString RequestObject::GetResponseHeader(const QString& name) const
{
    const QByteArray key = name.toUtf8();
    std::lock_guard lock(d->mutex);
    if (!d->headersComplete)
        return {};
    for (const QByteArray& line : d->headers) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(key, Qt::CaseInsensitive) == 0)
            return QString::fromUtf8(line.mid(colon + 1).trimmed());
    }
    return {};
}

QString RequestObject::GetAllResponseHeaders() const
{
    std::lock_guard lock(d->mutex);
    if (!d->headersComplete)
        return {};
    QByteArray all;
    for (const QByteArray& line : d->headers)
        all += line + "\r\n";
    return QString::fromUtf8(all);
}

QVariant RequestObject::Option(int number) const
{
    std::lock_guard lock(d->mutex);
    if (d->options.contains(number))
        return d->options.value(number);
    switch (number) {
    case UserAgentString:
        return QString::fromLatin1(kDefaultUserAgent);
    case Url:
        return d->url;
    case SslErrorIgnoreFlags:
        return 0;
    case EnableRedirects:
        return true;
    case EnableHttpsToHttpRedirects:
        return false;
    case MaxAutomaticRedirects:
        return 10;
    case EnableHttp1_1:
        return true;
    default:
        return {};
    }
}

void RequestObject::SetOption(int number, const QVariant& value)
{
    std::lock_guard lock(d->mutex);
    d->used = true;
    if (number != Url)
        d->options.insert(number, value);
}

void RequestObject::SetTimeouts(int resolveMs, int connectMs, int sendMs, int receiveMs)
{
    std::lock_guard lock(d->mutex);
    d->used = true;
    d->resolveMs = resolveMs;
    d->connectMs = connectMs;
    d->sendMs = sendMs;
    d->receiveMs = receiveMs;
}

std::array<int, 4> RequestObject::Timeouts() const
{
    std::lock_guard lock(d->mutex);
    return { d->resolveMs, d->connectMs, d->sendMs, d->receiveMs };
}

void RequestObject::SetProxy(int setting, const QString& server, const QString& bypassList)
{
    std::lock_guard lock(d->mutex);
    d->used = true;
    d->proxySetting = setting;
    d->proxyServer = server;
    d->proxyBypass = bypassList;
}

void RequestObject::SetCredentials(const QString& user, const QString& password, int flags)
{
    std::lock_guard lock(d->mutex);
    d->used = true;
    if (flags == kCredentialsForProxy) {
        d->proxyUser = user;
        d->proxyPassword = password;
    } else {
        d->user = user;
        d->password = password;
    }
}

void RequestObject::SetDiscardBody(bool discard)
{
    std::lock_guard lock(d->mutex);
    d->used = true;
    d->discardBody = discard;
}

void RequestObject::SetKeepConnection(bool keep)
{
    std::lock_guard lock(d->mutex);
    d->used = true;
    d->keepConnection = keep;
}

void RequestObject::SetFreshConnection(bool fresh)
{
    std::lock_guard lock(d->mutex);
    d->used = true;
    d->freshConnection = fresh;
}

void RequestObject::SetCancelFlag(std::shared_ptr<const std::atomic<bool>> flag)
{
    std::lock_guard lock(d->mutex);
    d->cancel = std::move(flag);
}

void RequestObject::SetShare(std::shared_ptr<TransferShare> share)
{
    std::lock_guard lock(d->mutex);
    if (d->state != State::Running)
        d->share = std::move(share);
}
