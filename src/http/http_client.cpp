#include "http/http_client.h"

#include "http/url_text.h"

#include <QRandomGenerator>
#include <QStringList>

using namespace Qt::StringLiterals;

namespace {

const QString kRedirectProbeAgent = u"Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)"_s;
const QString kPageTextAgent = u"Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; Trident/5.0)"_s;
constexpr int kDefaultWaitSeconds = 25;

void SetStatusTimeouts(HttpClient& client)
{
    client.SetTimeouts(5000, 5000, 10000, 5000);
}

} // namespace

HttpClient::HttpClient()
{
    CreateRequestObject();
}

HttpClient::HttpClient(CloneTag, const HttpClient& other)
    : m_request(other.m_request)
    , m_cookieStore(other.m_cookieStore)
    , m_lastCookies(other.m_lastCookies)
    , m_cancel(other.m_cancel)
{ }

HttpClient::~HttpClient() = default;
HttpClient::HttpClient(HttpClient&&) noexcept = default;
HttpClient& HttpClient::operator=(HttpClient&&) noexcept = default;

HttpClient HttpClient::Clone() const
{
    return HttpClient(CloneTag {}, *this);
}

void HttpClient::ResetRequestObject()
{
    m_request.reset();
    CreateRequestObject();
}

void HttpClient::CreateRequestObject()
{
    auto request = std::make_shared<RequestObject>();
    if (!request->IsValid()) {
        m_request.reset();
        return;
    }
    request->SetCancelFlag(m_cancel);
    m_request = std::move(request);
}

std::shared_ptr<RequestObject> HttpClient::GetRequestObject() const
{
    return m_request;
}

void HttpClient::Recreate()
{
    // A request object nobody else holds and nothing has touched is as fresh as a new one, and a new one
    // costs a libcurl handle: the constructor's object serves the first attempt.
    if (!m_request || m_request.use_count() > 1 || !m_request->IsUnused())
        ResetRequestObject();
    ClearCookies();
}

void HttpClient::SetCancelFlag(std::shared_ptr<const std::atomic<bool>> flag)
{
    m_cancel = std::move(flag);
    if (m_request)
        m_request->SetCancelFlag(m_cancel);
}

QString HttpClient::NormalizeUrl(const QString& url)
{
    if (url.isEmpty())
        return url;
    QString normalized = WithWebScheme(url);
    const qsizetype hash = normalized.indexOf(u'#');
    if (hash >= 0)
        normalized.truncate(hash);
    return normalized;
}

QString HttpClient::SystemProxy(const QString& url)
{
    const bool https = IsHttpsUrl(url);
    // Upper-case HTTP_PROXY is skipped on purpose: CGI environments let clients set it.
    const char* const names[]
        = { https ? "https_proxy" : "http_proxy", https ? "HTTPS_PROXY" : nullptr, "all_proxy", "ALL_PROXY" };
    for (const char* name : names) {
        if (!name)
            continue;
        const QString value = qEnvironmentVariable(name).trimmed();
        if (!value.isEmpty())
            return value;
    }
    return {};
}

void HttpClient::Open(const std::optional<QString>& method, const QString& url, std::optional<bool> async)
{
    if (m_request)
        m_request->Open(method.value_or(u"GET"_s), NormalizeUrl(url), async.value_or(false));
}

int HttpClient::Status() const
{
    return m_request ? m_request->Status() : 0;
}

QString HttpClient::StatusText() const
{
    return m_request ? m_request->StatusText() : QString();
}

QString HttpClient::ResponseText() const
{
    return m_request ? m_request->ResponseText() : QString();
}

QByteArray HttpClient::ResponseBody() const
{
    return m_request ? m_request->ResponseBody() : QByteArray();
}

QByteArray HttpClient::ResponseStream() const
{
    return m_request ? m_request->ResponseStream() : QByteArray();
}

QVariant HttpClient::Option(int number, std::optional<int> intValue, std::optional<QString> textValue,
    std::optional<QByteArray> bytesValue, std::optional<QVariant> anyValue)
{
    if (!m_request)
        return {};
    if (intValue)
        m_request->SetOption(number, *intValue);
    else if (textValue)
        m_request->SetOption(number, *textValue);
    else if (bytesValue)
        m_request->SetOption(number, *bytesValue);
    else if (anyValue)
        m_request->SetOption(number, *anyValue);
    return m_request->Option(number);
}

void HttpClient::SetProxy(std::optional<int> setting, const QString& proxy, std::optional<QString> bypassList)
{
    if (!m_request)
        return;
    const QStringList parts = proxy.split(u',');
    const QString server = parts.value(0);
    const QString user = parts.value(1);
    const QString password = parts.value(2);
    m_request->SetProxy(setting.value_or(RequestObject::kProxyNamed), server, bypassList.value_or(QString()));
    if (!user.isEmpty() && !password.isEmpty())
        SetCredentials(user, password, RequestObject::kCredentialsForProxy);
}

void HttpClient::SetCredentials(const QString& user, const QString& password, std::optional<int> flags)
{
    if (m_request)
        m_request->SetCredentials(user, password, flags.value_or(RequestObject::kCredentialsForServer));
}

void HttpClient::SetRequestHeader(const QString& name, const QString& value)
{
    if (!m_request)
        return;
    const bool referer = name.toLower() == u"referer"_s;
    m_request->SetRequestHeader(name, referer ? WithWebScheme(value) : value);
}

QString HttpClient::GetResponseHeader(const QString& name) const
{
    return m_request ? m_request->GetResponseHeader(name) : QString();
}

QString HttpClient::GetAllResponseHeaders() const
{
    return m_request ? m_request->GetAllResponseHeaders() : QString();
}

qint64 HttpClient::CertificateExpiry() const
{
    return m_request ? m_request->CertificateExpiry() : 0;
}

void HttpClient::Send(std::optional<QString> bodyText, std::optional<QByteArray> bodyBytes)
{
    if (!m_request)
        return;
    Option(RequestObject::SslErrorIgnoreFlags, 0);
    if (bodyBytes && !bodyBytes->isEmpty())
        m_request->Send(*bodyBytes);
    else if (bodyText && !bodyText->isEmpty())
        m_request->Send(*bodyText);
    else
        m_request->Send();
}

bool HttpClient::WaitForResponse(int seconds)
{
    return m_request ? m_request->WaitForResponse(seconds) : false;
}

void HttpClient::Abort()
{
    if (m_request)
        m_request->Abort();
}

void HttpClient::SetTimeouts(
    int resolveMs, std::optional<int> connectMs, std::optional<int> sendMs, std::optional<int> receiveMs)
{
    if (!m_request)
        return;
    const auto orResolve = [resolveMs](std::optional<int> value) { return value.value_or(0) < 1 ? resolveMs : *value; };
    m_request->SetTimeouts(resolveMs, orResolve(connectMs), orResolve(sendMs), orResolve(receiveMs));
}

void HttpClient::SetClientCertificate(const QString& certificate)
{
    if (m_request)
        m_request->SetClientCertificate(certificate);
}

void HttpClient::SetAutoLogonPolicy(int policy)
{
    if (m_request)
        m_request->SetAutoLogonPolicy(policy);
}

QString HttpClient::GetRedirectTarget(const QString& url)
{
    if (!m_request)
        return {};
    Option(RequestObject::EnableRedirects, 0);
    SetStatusTimeouts(*this);
    m_request->Open(u"GET"_s, url, false);
    m_request->SetRequestHeader(u"User-Agent"_s, kRedirectProbeAgent);
    m_request->SetRequestHeader(u"Accept-Language"_s, u"zh-cn"_s);
    m_request->SetRequestHeader(u"Connection"_s, u"Keep-Alive"_s);
    m_request->SetRequestHeader(u"Accept"_s,
        u"image/gif, image/x-xbitmap, image/jpeg, imagepeg, "
        u"application/x-shockwave-flash, application/x-silverlight, */*"_s);
    m_request->Send();
    return m_request->GetResponseHeader(u"Location"_s);
}

QString HttpClient::GetResponseCookie(const QString& name) const
{
    const QString headers = GetAllResponseHeaders();
    for (const QString& prefix : { u"Set-Cookie: "_s, u"Set-Cookie:"_s }) {
        const QString key = prefix + name + u'=';
        const qsizetype start = headers.indexOf(key);
        if (start < 0)
            continue;
        const qsizetype from = start + key.size();
        // The value ends at ";" or at the end of its line, never in the next header.
        qsizetype end = from;
        while (end < headers.size() && headers.at(end) != u';' && headers.at(end) != u'\r' && headers.at(end) != u'\n')
            ++end;
        const QString value = headers.mid(from, end - from);
        if (!value.isEmpty())
            return value;
    }
    return {};
}

QString HttpClient::GetSetCookieLines() const
{
    const QString headers = GetAllResponseHeaders();
    if (headers.isEmpty())
        return {};
    QString lines;
    for (const QString& line : headers.split(u"\r\n"_s)) {
        if (line.startsWith(u"Set-Cookie:"_s))
            lines += line + u"\r\n"_s;
    }
    return lines;
}

QString HttpClient::GetResponseCookies() const
{
    QString cookies = GetSetCookieLines();
    cookies.remove(u"Set-Cookie: "_s);
    cookies.replace(u"\r\n"_s, u"; "_s);
    return cookies;
}

void HttpClient::ApplyProxyArgument(const QString& proxy, const QString& url)
{
    if (proxy == u"-1"_s)
        return;
    const QString text = proxy == u"IE"_s ? SystemProxy(NormalizeUrl(url)) : proxy;
    SetProxy(text.isEmpty() ? RequestObject::kProxyDefault : RequestObject::kProxyNamed, text);
}

bool HttpClient::PerformComposite(const QString& url, const HttpRequestOptions& options, bool followRedirects)
{
    if (!m_request)
        return false;
    const bool hasBody
        = (options.bodyBytes && !options.bodyBytes->isEmpty()) || (options.body && !options.body->isEmpty());
    const int timeout = options.timeoutSeconds.value_or(0);
    if (timeout > 0)
        SetTimeouts(timeout * 1000);
    Option(RequestObject::EnableRedirects, followRedirects ? 1 : 0);
    Open(options.method.value_or(hasBody ? u"POST"_s : u"GET"_s), url, true);
    for (const QString& line : options.headers.value_or(QString()).split(u'\n', Qt::SkipEmptyParts)) {
        const qsizetype colon = line.indexOf(u':');
        if (colon > 0)
            SetRequestHeader(line.left(colon).trimmed(), line.mid(colon + 1).trimmed());
    }
    QStringList cookies;
    for (const QString& part : { m_cookieStore, options.cookies.value_or(QString()) }) {
        if (!part.trimmed().isEmpty())
            cookies.append(part.trimmed());
    }
    if (!cookies.isEmpty())
        SetRequestHeader(u"Cookie"_s, cookies.join(u"; "_s));
    if (options.proxy)
        ApplyProxyArgument(*options.proxy, url);
    Send(options.body, options.bodyBytes);
    const bool complete = WaitForResponse(timeout > 0 ? timeout : kDefaultWaitSeconds);
    m_lastCookies = GetResponseCookies();
    return complete;
}

QString HttpClient::RequestByMode(int mode, const QString& url, const HttpRequestOptions& options,
    const QString& contentType, const QString& userAgent)
{
    QString headers = options.headers.value_or(QString());
    if (!headers.isEmpty() && !headers.endsWith(u"\r\n"_s))
        headers += u"\r\n"_s;
    if (!contentType.isEmpty())
        headers += u"Content-Type: "_s + contentType + u"\r\n"_s;
    if (!userAgent.isEmpty())
        headers += u"User-Agent: "_s + userAgent + u"\r\n"_s;
    if (mode == 1) {
        HttpRequestOptions folded = options;
        folded.headers = headers;
        return RequestText(url, folded);
    }
    FetchOptions fetch;
    fetch.method = options.method;
    fetch.mode = options.method.value_or(QString()).compare(u"POST"_s, Qt::CaseInsensitive) == 0 ? 1 : 0;
    fetch.body = options.body;
    if (!headers.isEmpty())
        fetch.headers = headers;
    fetch.cookies = options.cookies;
    if (options.proxy)
        fetch.proxy = options.proxy;
    if (options.timeoutSeconds)
        fetch.timeoutSeconds = double(*options.timeoutSeconds);
    fetch.useWinHttp = mode == 2;
    return FetchPage(url, fetch);
}

QString HttpClient::RequestText(const QString& url, const HttpRequestOptions& options)
{
    return PerformComposite(url, options, options.followRedirects.value_or(true)) ? ResponseText() : QString();
}

QByteArray HttpClient::RequestBytes(const QString& url, const HttpRequestOptions& options)
{
    return PerformComposite(url, options, options.followRedirects.value_or(true)) ? ResponseBody() : QByteArray();
}

QString HttpClient::GetLastCookies() const
{
    return m_lastCookies;
}

QString HttpClient::SetCookies(const QString& cookies)
{
    m_cookieStore = cookies;
    return m_cookieStore;
}

QString HttpClient::ClearCookies()
{
    m_cookieStore.clear();
    return {};
}

QString HttpClient::MakeForwardedHeaders()
{
    QRandomGenerator* random = QRandomGenerator::global();
    QStringList parts;
    for (int i = 0; i < 4; ++i)
        parts.append(QString::number(random->bounded(256)));
    const QString address = parts.join(u'.');
    return u"X-Forward-For: "_s + address + u"\r\nX-Forwarded-For: "_s + address + u"\r\nREMOTE_ADDR: "_s + address;
}

QString HttpClient::GetRedirectTargetEx(const QString& url, const HttpRequestOptions& options)
{
    PerformComposite(url, options, false);
    return GetResponseHeader(u"Location"_s);
}

QString HttpClient::GetPageText(const QString& url, const HttpRequestOptions& options)
{
    HttpRequestOptions withAgent = options;
    QString headers = options.headers.value_or(QString());
    if (!headers.isEmpty() && !headers.endsWith(u"\r\n"_s))
        headers += u"\r\n"_s;
    withAgent.headers = headers + u"User-Agent: "_s + kPageTextAgent;
    return RequestText(url, withAgent);
}

QString HttpClient::FetchPage(const QString& url, FetchOptions options, FetchResult* result)
{
    if (!options.cancel)
        options.cancel = m_cancel;
    return ::FetchPage(url, options, result);
}

int HttpClient::QueryStatus(const QString& url, std::optional<bool> synchronous, std::optional<int> waitSeconds,
    std::optional<QString> cookie, std::optional<QString> proxy)
{
    if (!m_request)
        return 0;
    const bool sync = synchronous.value_or(false);
    Option(RequestObject::EnableRedirects, 0);
    SetStatusTimeouts(*this);
    Open(u"GET"_s, url, !sync);
    if (cookie)
        SetRequestHeader(u"Cookie"_s, *cookie);
    if (proxy)
        ApplyProxyArgument(*proxy, url);
    // Only the status is wanted; the body is still read, so the timing includes it, but not kept.
    m_request->SetDiscardBody(true);
    Send();
    if (!sync) {
        // A negative wait would be unbounded; it gets the default like 0 does.
        const int wait = waitSeconds.value_or(0);
        WaitForResponse(wait > 0 ? wait : kDefaultWaitSeconds);
    }
    const int status = Status();
    m_request->SetDiscardBody(false);
    return status;
}
