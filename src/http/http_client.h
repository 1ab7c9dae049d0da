#pragma once

#include "http/page_fetch.h"
#include "http/request_object.h"

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <atomic>
#include <memory>
#include <optional>

// The full request of the composite operations (RequestText, RequestBytes, GetRedirectTargetEx, GetPageText,
// RequestByMode). A field left empty takes the default.
struct HttpRequestOptions
{
    std::optional<QString> method; // "GET", or "POST" when a body is given
    std::optional<QString> body; // sent as UTF-8
    std::optional<QByteArray> bodyBytes; // wins over body
    std::optional<QString> headers; // "Name: value" lines separated by CR LF
    std::optional<QString> cookies; // sent in "Cookie" together with the cookie store
    std::optional<QString> proxy; // as QueryStatus: "server,user,password", "IE" or "-1"
    std::optional<int> timeoutSeconds; // every time-out and the wait; 0 or not given: 25 s wait
    std::optional<bool> followRedirects; // default true
};

// The HTTP client that each site check owns on its own thread: thin wrappers over its request object, the
// status request and the page fetch. One thread uses one client (a Clone shares the request object). Nothing
// throws; a failed call yields the empty value of its result.
//
// For the monitoring engine: construct, SetCancelFlag(flag), then per attempt Recreate() and
// QueryStatus(url, false, timeoutSeconds); FetchPage(url, options) for page content.
class HttpClient final
{
public:
    HttpClient();
    ~HttpClient();
    HttpClient(HttpClient&&) noexcept;
    HttpClient& operator=(HttpClient&&) noexcept;
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Lifetime.
    HttpClient Clone() const;
    void ResetRequestObject();
    void CreateRequestObject();
    std::shared_ptr<RequestObject> GetRequestObject() const;
    // A fresh request object and an empty cookie store, before every status attempt.
    void Recreate();
    // Ends every transfer of this client once the flag is raised through CancelWakeup::Raise (program shutdown);
    // a flag only set is seen within a second.
    void SetCancelFlag(std::shared_ptr<const std::atomic<bool>> flag);

    // Request-object wrappers.
    void Open(const std::optional<QString>& method, const QString& url, std::optional<bool> async = {});
    int Status() const;
    QString StatusText() const;
    QString ResponseText() const;
    QByteArray ResponseBody() const;
    QByteArray ResponseStream() const;
    // Writes the first value given (integer, text, bytes, any), then reads the option back.
    QVariant Option(int number, std::optional<int> intValue = {}, std::optional<QString> textValue = {},
        std::optional<QByteArray> bytesValue = {}, std::optional<QVariant> anyValue = {});
    // proxy: "server,user,password"; setting defaults to 2 (named proxy).
    void SetProxy(std::optional<int> setting, const QString& proxy, std::optional<QString> bypassList = {});
    void SetCredentials(const QString& user, const QString& password, std::optional<int> flags = {});
    void SetRequestHeader(const QString& name, const QString& value);
    QString GetResponseHeader(const QString& name) const;
    QString GetAllResponseHeaders() const;
    qint64 CertificateExpiry() const; // see RequestObject::CertificateExpiry
    void Send(std::optional<QString> bodyText = {}, std::optional<QByteArray> bodyBytes = {});
    bool WaitForResponse(int seconds);
    void Abort();
    // Milliseconds; a connect, send or receive below 1 takes the resolve value.
    void SetTimeouts(int resolveMs, std::optional<int> connectMs = {}, std::optional<int> sendMs = {},
        std::optional<int> receiveMs = {});
    void SetClientCertificate(const QString& certificate);
    void SetAutoLogonPolicy(int policy);

    // Composite requests.
    QString GetRedirectTarget(const QString& url);
    QString GetResponseCookie(const QString& name) const;
    QString GetSetCookieLines() const;
    QString GetResponseCookies() const;
    // Mode 1: RequestText; 2: FetchPage on engine A; any other: FetchPage on the default engine.
    QString RequestByMode(int mode, const QString& url, const HttpRequestOptions& options = {},
        const QString& contentType = {}, const QString& userAgent = {});
    QString RequestText(const QString& url, const HttpRequestOptions& options = {});
    QByteArray RequestBytes(const QString& url, const HttpRequestOptions& options = {});
    QString GetLastCookies() const;
    QString SetCookies(const QString& cookies);
    QString ClearCookies();
    static QString MakeForwardedHeaders();
    QString GetRedirectTargetEx(const QString& url, const HttpRequestOptions& options = {});
    QString GetPageText(const QString& url, const HttpRequestOptions& options = {});
    QString FetchPage(const QString& url, FetchOptions options = {}, FetchResult* result = nullptr);

    // The status code of a GET without following redirects, or 0 when no response came within the wait.
    // Not synchronous: waits waitSeconds (0: 25). proxy: "server,user,password", "IE" (the proxy environment
    // variables) or "-1"; without it the request goes direct.
    int QueryStatus(const QString& url, std::optional<bool> synchronous = {}, std::optional<int> waitSeconds = {},
        std::optional<QString> cookie = {}, std::optional<QString> proxy = {});

    // "example.com/a#top" → "http://example.com/a"; a scheme in any letter case is kept.
    static QString NormalizeUrl(const QString& url);
    // The system proxy for the URL's scheme: http_proxy, https_proxy/HTTPS_PROXY, then all_proxy/ALL_PROXY.
    static QString SystemProxy(const QString& url);

private:
    struct CloneTag
    {
    };
    HttpClient(CloneTag, const HttpClient& other);
    void ApplyProxyArgument(const QString& proxy, const QString& url);
    bool PerformComposite(const QString& url, const HttpRequestOptions& options, bool followRedirects);

    std::shared_ptr<RequestObject> m_request;
    QString m_cookieStore;
    QString m_lastCookies;
    std::shared_ptr<const std::atomic<bool>> m_cancel;
};
