#include "http/fetch_engines.h"

#include "http/cancel_wakeup.h"
#include "http/curl_global.h"
#include "http/http_client.h"
#include "http/page_budget.h"
#include "http/url_text.h"

#include <QTextCodec>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

constexpr char kUserAgent[]
    = "Mozilla/5.0 (Windows NT 6.1) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/30.0.1599.101 Safari/537.36";
constexpr char kEngineCAccept[]
    = "image/gif, image/bmp, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-shockwave-flash, "
      "application/vnd.ms-excel, application/vnd.ms-powerpoint, application/msword, */*";
// Response headers beyond this are dropped; a hostile server must not fill memory with them.
constexpr qsizetype kMaxHeaderBytes = 256 * 1024;

enum class Engine { A, B, C };

// Engine A's steps that can fail; the values are the numbers of their texts.
enum class Failure {
    None = 0,
    Platform = 700,
    Url = 701,
    Session = 702,
    Connection = 703,
    Request = 704,
    Timeouts = 705,
    Certificates = 706,
    ProxyCredentials = 707,
    Cookies = 708,
    Redirects = 709,
    Headers = 710,
    Send = 711,
    NoResponse = 712,
    Read = 713,
};

// One libcurl transfer, resolved to bytes.
struct Transfer
{
    QByteArray url;
    QByteArray method;
    QByteArray body;
    bool sendBody = false;
    QList<QByteArray> headers;
    QByteArray cookieOption; // engine B: merged by libcurl with the stored cookies
    QByteArray proxy;
    QByteArray proxyUser;
    QByteArray proxyPassword;
    bool cookieStore = false;
    int timeoutMs = 120000;
    qint64 maxBodyBytes = kDefaultMaxBodyBytes;
    std::shared_ptr<const std::atomic<bool>> cancel;
};

struct Outcome
{
    Failure failure = Failure::None;
    long status = 0;
    QByteArray body;
    QByteArray headers;
    bool truncated = false;
    bool timedOut = false;
    bool cancelled = false;
    bool responseStarted = false; // a status line arrived
    std::shared_ptr<PageBudgetHold> budget; // what the body holds of the process's page budget
};

using Clock = std::chrono::steady_clock;

struct Sink
{
    Outcome* outcome;
    qint64 maxBodyBytes;
    Clock::time_point deadline = Clock::time_point::max(); // the overall limit
    std::chrono::milliseconds gap {}; // the time-out on each pause, waiting for page budget included
    const std::atomic<bool>* cancel = nullptr;
    bool budgetCut = false; // the body waited for budget longer than a pause may last
    Clock::time_point lastByteAt {}; // the epoch until the first response byte
};

size_t OnBody(char* data, size_t size, size_t count, void* user)
{
    auto* sink = static_cast<Sink*>(user);
    const size_t bytes = size * count;
    sink->lastByteAt = Clock::now();
    const qint64 room = sink->maxBodyBytes - sink->outcome->body.size();
    auto& budget = sink->outcome->budget;
    if (!budget)
        budget = std::make_shared<PageBudgetHold>();
    const qint64 held = sink->outcome->body.size() + std::min(qint64(bytes), std::max<qint64>(room, 0));
    // Waiting for budget is a pause like any other: it may last as long as the time-out allows.
    if (!budget->Cover(held, std::min(sink->deadline, sink->lastByteAt + sink->gap), sink->cancel)) {
        sink->budgetCut = true;
        return 0;
    }
    sink->lastByteAt = Clock::now();
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
    sink->lastByteAt = Clock::now();
    // Keep only the last response's headers: redirects and interim 1xx answers come first.
    if (bytes >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
        sink->outcome->headers.clear();
        sink->outcome->responseStarted = true;
    }
    if (sink->outcome->headers.size() + qint64(bytes) <= kMaxHeaderBytes)
        sink->outcome->headers.append(data, qsizetype(bytes));
    return bytes;
}

void LockShare(CURL*, curl_lock_data data, curl_lock_access, void* user)
{
    static_cast<std::mutex*>(user)[data].lock();
}

void UnlockShare(CURL*, curl_lock_data data, void* user)
{
    static_cast<std::mutex*>(user)[data].unlock();
}

// Engine B's cookie store, shared by all its requests for the life of the process.
CURLSH* CookieShare()
{
    static std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
    static CURLSH* const share = [] {
        CURLSH* created = curl_share_init();
        if (created) {
            curl_share_setopt(created, CURLSHOPT_LOCKFUNC, LockShare);
            curl_share_setopt(created, CURLSHOPT_UNLOCKFUNC, UnlockShare);
            curl_share_setopt(created, CURLSHOPT_USERDATA, locks.data());
            curl_share_setopt(created, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
        }
        return created;
    }();
    return share;
}

bool PlatformHasHttp()
{
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (!info || !info->protocols)
        return false;
    for (const char* const* protocol = info->protocols; *protocol; ++protocol) {
        if (std::strcmp(*protocol, "http") == 0)
            return true;
    }
    return false;
}

using EasyPtr = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using MultiPtr = std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)>;
using ListPtr = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

Failure Configure(CURL* easy, const Transfer& transfer, curl_slist*& headerList, Sink& sink)
{
    if (curl_easy_setopt(easy, CURLOPT_URL, transfer.url.constData()) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) != CURLE_OK
        // A resolver stuck in the system must not hold up the end of the fetch.
        || curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1)) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "") != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_HEADERDATA, &sink) != CURLE_OK)
        return Failure::Connection;

    CURLcode methodSet = CURLE_OK;
    if (transfer.method == "HEAD") {
        methodSet = curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (transfer.method == "POST") {
        methodSet = curl_easy_setopt(easy, CURLOPT_POST, 1L);
    } else if (transfer.method != "GET") {
        methodSet = curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, transfer.method.constData());
    }
    if (methodSet == CURLE_OK && transfer.sendBody) {
        methodSet = curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(transfer.body.size()));
        if (methodSet == CURLE_OK)
            methodSet = curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer.body.constData());
    }
    if (methodSet != CURLE_OK)
        return Failure::Request;

    // Gaps in sending and receiving are timed by Perform's loop: libcurl's stall detection samples once a second
    // and cuts short time-outs of a second or two at random.
    if (curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(transfer.timeoutMs)) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(FetchOverallLimitMs(transfer.timeoutMs))) != CURLE_OK)
        return Failure::Timeouts;
    if (OpenSocketsCloseOnExec(easy) != CURLE_OK)
        return Failure::Connection;

    if (curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_PROXY_SSL_VERIFYPEER, 0L) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_PROXY_SSL_VERIFYHOST, 0L) != CURLE_OK)
        return Failure::Certificates;

    // No proxy given means a direct connection, whatever the environment says.
    if (curl_easy_setopt(easy, CURLOPT_PROXY, transfer.proxy.constData()) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) != CURLE_OK)
        return Failure::ProxyCredentials;
    if (!transfer.proxyUser.isEmpty()
        && (curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, transfer.proxyUser.constData()) != CURLE_OK
            || curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, transfer.proxyPassword.constData()) != CURLE_OK))
        return Failure::ProxyCredentials;

    if (transfer.cookieStore) {
        CURLSH* share = CookieShare();
        if (!share || curl_easy_setopt(easy, CURLOPT_SHARE, share) != CURLE_OK
            || curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "") != CURLE_OK)
            return Failure::Cookies;
    }
    if (!transfer.cookieOption.isEmpty()
        && curl_easy_setopt(easy, CURLOPT_COOKIE, transfer.cookieOption.constData()) != CURLE_OK)
        return Failure::Cookies;

    if (curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L) != CURLE_OK
        || curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != CURLE_OK)
        return Failure::Redirects;

    for (const QByteArray& line : transfer.headers) {
        curl_slist* grown = curl_slist_append(headerList, line.constData());
        if (!grown)
            return Failure::Headers;
        headerList = grown;
    }
    // Send the body at once rather than asking the server first, as browsers do.
    if (curl_slist* grown = curl_slist_append(headerList, "Expect:"))
        headerList = grown;
    else
        return Failure::Headers;
    if (curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList) != CURLE_OK)
        return Failure::Headers;
    return Failure::None;
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
    if (!PlatformHasHttp()) {
        outcome.failure = Failure::Platform;
        return outcome;
    }
    EasyPtr easy(curl_easy_init(), &curl_easy_cleanup);
    MultiPtr multi(curl_multi_init(), &curl_multi_cleanup);
    if (!easy || !multi) {
        outcome.failure = Failure::Session;
        return outcome;
    }
    Sink sink { &outcome, std::min(transfer.maxBodyBytes, PageBudget::Process().LargestHold()) };
    curl_slist* rawList = nullptr;
    outcome.failure = Configure(easy.get(), transfer, rawList, sink);
    ListPtr headerList(rawList, &curl_slist_free_all);
    if (outcome.failure != Failure::None)
        return outcome;
    if (curl_multi_add_handle(multi.get(), easy.get()) != CURLM_OK) {
        outcome.failure = Failure::Session;
        return outcome;
    }
    CancelWakeup::Watch(transfer.cancel.get(), multi.get());
    const std::unique_ptr<CURLM, void (*)(CURLM*)> unwatch(multi.get(), &CancelWakeup::Unwatch);

    // libcurl times the connection and the whole transfer; this loop adds the cancel flag and the time-out on
    // each gap once connected: before the first response byte, between bytes, between upload steps.
    const auto gap = std::chrono::milliseconds(transfer.timeoutMs);
    const auto deadline = Clock::now() + std::chrono::milliseconds(FetchOverallLimitMs(transfer.timeoutMs));
    sink.deadline = deadline;
    sink.gap = gap;
    sink.cancel = transfer.cancel.get();
    Clock::time_point connectedAt {};
    Clock::time_point lastUploadAt {};
    curl_off_t uploaded = 0;
    CURLcode code = CURLE_OK;
    bool finished = false;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
            code = CURLE_SEND_ERROR;
            break;
        }
        if (running == 0) {
            finished = true;
            break;
        }
        if (Cancelled(transfer)) {
            outcome.cancelled = true;
            break;
        }
        const auto now = Clock::now();
        curl_off_t at = 0;
        if (connectedAt == Clock::time_point {}
            && curl_easy_getinfo(easy.get(), CURLINFO_PRETRANSFER_TIME_T, &at) == CURLE_OK && at > 0)
            connectedAt = now;
        if (curl_easy_getinfo(easy.get(), CURLINFO_SIZE_UPLOAD_T, &at) == CURLE_OK && at != uploaded) {
            uploaded = at;
            lastUploadAt = now;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        if (connectedAt != Clock::time_point {}) {
            const auto gapEnd = std::max({ connectedAt, lastUploadAt, sink.lastByteAt }) + gap;
            left = std::min<qint64>(left, std::chrono::duration_cast<std::chrono::milliseconds>(gapEnd - now).count());
        }
        if (left <= 0) {
            code = CURLE_OPERATION_TIMEDOUT;
            break;
        }
        // A raised cancel flag wakes the poll; the second is only the fallback.
        const int wait = int(std::min<qint64>(left + 1, 1000));
        if (curl_multi_poll(multi.get(), nullptr, 0, wait, nullptr) != CURLM_OK) {
            code = CURLE_RECV_ERROR;
            break;
        }
    }
    if (finished) {
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy.get())
                code = message->data.result;
        }
    }
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &outcome.status);
    long requestBytes = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_REQUEST_SIZE, &requestBytes);
    curl_multi_remove_handle(multi.get(), easy.get());

    if (sink.budgetCut && Cancelled(transfer))
        outcome.cancelled = true;
    if (outcome.cancelled) {
        outcome = {};
        outcome.cancelled = true;
        return outcome;
    }
    if (sink.budgetCut && !outcome.cancelled)
        code = CURLE_OPERATION_TIMEDOUT;
    outcome.timedOut = code == CURLE_OPERATION_TIMEDOUT;
    if (code == CURLE_OK || (code == CURLE_WRITE_ERROR && outcome.truncated))
        outcome.failure = Failure::None;
    else if (code == CURLE_URL_MALFORMAT || code == CURLE_UNSUPPORTED_PROTOCOL)
        outcome.failure = Failure::Url;
    else if (code == CURLE_TOO_MANY_REDIRECTS)
        outcome.failure = Failure::NoResponse;
    else if (outcome.responseStarted)
        outcome.failure = Failure::Read;
    else if (requestBytes > 0)
        outcome.failure = Failure::NoResponse;
    else
        outcome.failure = Failure::Send;
    return outcome;
}

QByteArray EncodeText(const QString& text, int charsetCode)
{
    if (charsetCode == 2)
        return text.toUtf8();
    static QTextCodec* const codec = QTextCodec::codecForName("GB18030");
    return codec ? codec->fromUnicode(text) : text.toUtf8();
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

// "server,user,password"; the server may be a per-scheme list (see ProxyForUrl). "IE" and "-1" mean what they
// mean to HttpClient::QueryStatus: the environment's proxy, and direct.
void ApplyProxy(const QString& text, const QString& url, Transfer& transfer)
{
    if (text == u"-1"_s)
        return;
    const QStringList parts = text == u"IE"_s ? QStringList { HttpClient::SystemProxy(url) } : text.split(u',');
    transfer.proxy = ProxyForUrl(parts.value(0), url).toUtf8();
    const QString user = parts.value(1);
    const QString password = parts.value(2);
    if (!transfer.proxy.isEmpty() && !user.isEmpty() && !password.isEmpty()) {
        transfer.proxyUser = user.toUtf8();
        transfer.proxyPassword = password.toUtf8();
    }
}

QList<QByteArray> CallerHeaderLines(const QString& headers, int charsetCode)
{
    QList<QByteArray> lines;
    // A bare CR ends a line too: nothing of the caller's text may smuggle in a line of its own.
    for (const QString& line : QString(headers).replace(u'\r', u'\n').split(u'\n')) {
        const QString trimmed = line.trimmed();
        // A line without a colon is no header; sending it would break the request. The body's length is
        // libcurl's to write (see Prepare).
        if (trimmed.isEmpty() || !trimmed.contains(u':')
            || trimmed.section(u':', 0, 0).trimmed().compare(u"Content-Length"_s, Qt::CaseInsensitive) == 0)
            continue;
        lines.append(EncodeText(trimmed, charsetCode));
    }
    return lines;
}

Failure Prepare(Engine engine, const EngineRequest& request, Transfer& transfer)
{
    const QString url = request.url.trimmed();
    if (url.isEmpty())
        return Failure::Url;
    const QString full = WithWebScheme(url);
    transfer.url = EncodeUrl(full);
    if (transfer.url.isEmpty())
        return Failure::Url;

    if (engine == Engine::A && !request.method.trimmed().isEmpty()) {
        static const QList<QByteArray> kMethods
            = { "GET", "POST", "HEAD", "PUT", "OPTIONS", "DELETE", "TRACE", "CONNECT" };
        transfer.method = request.method.trimmed().toUpper().toLatin1();
        if (!kMethods.contains(transfer.method))
            return Failure::Request;
    } else {
        transfer.method = request.mode == 1 ? "POST" : "GET";
    }
    const bool post = transfer.method == "POST";
    transfer.body = EncodeText(request.body.value_or(QString()), request.charsetCode);
    transfer.sendBody = post
        || (!transfer.body.isEmpty() && transfer.method != "GET" && transfer.method != "HEAD"
            && transfer.method != "TRACE" && transfer.method != "CONNECT");

    // The caller's lines first, then each default whose name the caller's text does not mention.
    const QString callerHeaders = request.headers.value_or(QString());
    transfer.headers = CallerHeaderLines(callerHeaders, request.charsetCode);
    auto addDefault = [&](const QString& name, QString value) {
        if (!callerHeaders.contains(name, Qt::CaseInsensitive))
            transfer.headers.append(
                EncodeText(name + u": "_s + value.replace(u'\r', u' ').replace(u'\n', u' '), request.charsetCode));
    };
    addDefault(u"User-Agent"_s, QString::fromLatin1(kUserAgent));
    addDefault(u"Accept"_s, engine == Engine::C ? QString::fromLatin1(kEngineCAccept) : u"*/*"_s);
    // No referrer given: none is sent, as with no referrer at all.
    if (request.referrer && *request.referrer != u"RefererNo"_s && !request.referrer->isEmpty())
        addDefault(u"Referer"_s, *request.referrer);
    addDefault(u"Accept-Language"_s, u"zh-cn"_s);
    if (post) {
        // libcurl writes Content-Length itself and drops it when a redirect turns the POST into a GET; one of
        // ours would be sent on that GET too, and the server would wait for a body that never comes.
        addDefault(u"Content-Type"_s, u"application/x-www-form-urlencoded"_s);
    }
    if (request.cookies && !request.cookies->isEmpty()) {
        if (engine == Engine::B)
            transfer.cookieOption = EncodeText(QString(*request.cookies).replace(u'\r', u' ').replace(u'\n', u' '),
                request.charsetCode); // joins the stored ones
        else
            addDefault(u"Cookie"_s, *request.cookies);
    }

    if (request.proxy && !request.proxy->trimmed().isEmpty())
        ApplyProxy(*request.proxy, full, transfer);
    transfer.cookieStore = engine == Engine::B;
    transfer.timeoutMs = request.timeoutMs;
    transfer.maxBodyBytes = request.maxBodyBytes > 0 ? request.maxBodyBytes : kDefaultMaxBodyBytes;
    transfer.cancel = request.cancel;
    return Failure::None;
}

void Fill(FetchResult& result, Outcome& outcome)
{
    result.status = int(outcome.status);
    result.body = std::move(outcome.body);
    result.headers = QString::fromLatin1(outcome.headers);
    result.truncated = outcome.truncated;
    result.timedOut = outcome.timedOut;
    result.cancelled = outcome.cancelled;
    result.bodyBudget = std::move(outcome.budget);
}

// Engines B and C: a failure before any response gives empty results; one after it keeps what arrived, as a
// read loop that stops at the first failed read would.
void RunLenient(Engine engine, const EngineRequest& request, FetchResult& result)
{
    result = {};
    Transfer transfer;
    if (Prepare(engine, request, transfer) != Failure::None)
        return;
    Outcome outcome = Perform(transfer);
    if (outcome.failure != Failure::None && !outcome.responseStarted) {
        result.timedOut = outcome.timedOut;
        return;
    }
    Fill(result, outcome);
}

} // namespace

QString EngineAErrorText(int code)
{
    switch (Failure(code)) {
    case Failure::None:
        return {};
    case Failure::Platform:
        return u"700 当前系统不支持WinHttp服务!"_s;
    case Failure::Url:
        return u"701 解析URL地址失败!"_s;
    case Failure::Session:
        return u"702 创建WinHttp会话失败!"_s;
    case Failure::Connection:
        return u"703 创建WinHttp连接失败!"_s;
    case Failure::Request:
        return u"704 创建WinHttp请求失败!"_s;
    case Failure::Timeouts:
        return u"705 设置超时时间失败!"_s;
    case Failure::Certificates:
        return u"忽略错误/证书错误  失败！"_s;
    case Failure::ProxyCredentials:
        return u"707 设置代理凭证失败!"_s;
    case Failure::Cookies:
        return u"708 禁止自动设置Cookies失败!"_s;
    case Failure::Redirects:
        return u"709 重定向设置失败!"_s;
    case Failure::Headers:
        return u"710 设置协议头失败!"_s;
    case Failure::Send:
        return u"711 发送请求失败!"_s;
    case Failure::NoResponse:
        return u"712 服务器未响应!"_s;
    case Failure::Read:
        return u"713 读取数据失败!"_s;
    }
    return {};
}

void RunEngineA(const EngineRequest& request, FetchResult& result)
{
    result = {};
    Transfer transfer;
    Failure failure = Prepare(Engine::A, request, transfer);
    if (failure == Failure::None) {
        Outcome outcome = Perform(transfer);
        if (outcome.cancelled) {
            result.cancelled = true;
            return;
        }
        failure = outcome.failure;
        result.timedOut = outcome.timedOut;
        if (failure == Failure::None)
            Fill(result, outcome);
    }
    result.error = EngineAErrorText(int(failure));
}

void RunEngineB(const EngineRequest& request, FetchResult& result)
{
    RunLenient(Engine::B, request, result);
}

void RunEngineC(const EngineRequest& request, FetchResult& result)
{
    result = {};
    if (request.url.trimmed().isEmpty())
        return;
    // The worker only waits; the transfer itself bounds its time (deadline, cancel flag), so join cannot hang.
    FetchResult fetched;
    auto work = [&request, &fetched] { RunLenient(Engine::C, request, fetched); };
    try {
        std::thread thread(work);
        thread.join();
    } catch (const std::system_error&) {
        work(); // out of threads: fetch on this one rather than not at all
    }
    result = std::move(fetched);
}
