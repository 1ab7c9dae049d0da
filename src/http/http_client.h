#pragma once

#include "http/page_fetch.h"
#include "http/request_object.h"

#include <QString>

#include <atomic>
#include <memory>
#include <optional>

// The HTTP client that each site check owns on its own thread: the status request on its request object, and the
// page fetch. One thread uses one client. Nothing throws; a failed call yields the empty value of its result.
//
// For the monitoring engine: construct, SetCancelFlag(flag), then per attempt Recreate() and
// QueryStatus(url, false, timeoutSeconds); FetchPage(url, options) for page content.
class HttpClient final
{
public:
    // With shareConnections, a connection the server keeps open carries the client's next request to it, the page
    // fetch after the status request in particular.
    explicit HttpClient(bool shareConnections = false);
    ~HttpClient();
    HttpClient(HttpClient&&) noexcept;
    HttpClient& operator=(HttpClient&&) noexcept;
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Empty when libcurl could not make a handle.
    std::shared_ptr<RequestObject> GetRequestObject() const;
    // A fresh request object, before every status attempt.
    void Recreate();
    // Ends every transfer of this client once the flag is raised through CancelWakeup::Raise (program shutdown);
    // a flag only set is seen within a second.
    void SetCancelFlag(std::shared_ptr<const std::atomic<bool>> flag);
    qint64 CertificateExpiry() const; // see RequestObject::CertificateExpiry
    TransferFailure StatusFailure() const; // of the last QueryStatus, see RequestObject::Failure

    QString FetchPage(const QString& url, FetchOptions options = {}, FetchResult* result = nullptr);

    // The status code of a GET without following redirects, or 0 when no response came within the wait.
    // Not synchronous: waits waitSeconds (0: 25). Time-outs 5000/5000/10000/5000 ms. proxy: "server,user,password",
    // "IE" (the proxy environment variables) or "-1"; without it the request goes direct.
    int QueryStatus(const QString& url, std::optional<bool> synchronous = {}, std::optional<int> waitSeconds = {},
        std::optional<QString> cookie = {}, std::optional<QString> proxy = {});

    // "example.com/a#top" → "http://example.com/a"; a scheme in any letter case is kept.
    static QString NormalizeUrl(const QString& url);

private:
    void CreateRequestObject();
    void ApplyProxyArgument(const QString& proxy, const QString& url);

    std::shared_ptr<RequestObject> m_request;
    std::shared_ptr<const std::atomic<bool>> m_cancel;
    // The client's transfers look a name up once and resume the TLS session of the first handshake.
    std::shared_ptr<TransferShare> m_share;
};
