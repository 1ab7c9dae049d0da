#include "http/http_client.h"

#include "http/transfer_share.h"
#include "http/url_text.h"

#include <QStringList>

using namespace Qt::StringLiterals;

namespace {

constexpr int kDefaultWaitSeconds = 25;

} // namespace

HttpClient::HttpClient(bool shareConnections)
    : m_share(TransferShare::Make(shareConnections))
{
    CreateRequestObject();
}

HttpClient::~HttpClient() = default;
HttpClient::HttpClient(HttpClient&&) noexcept = default;
HttpClient& HttpClient::operator=(HttpClient&&) noexcept = default;

void HttpClient::CreateRequestObject()
{
    auto request = std::make_shared<RequestObject>();
    if (!request->IsValid()) {
        m_request.reset();
        return;
    }
    request->SetCancelFlag(m_cancel);
    request->SetShare(m_share);
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
    if (!m_request || m_request.use_count() > 1 || !m_request->IsUnused()) {
        m_request.reset();
        CreateRequestObject();
    }
}

void HttpClient::SetCancelFlag(std::shared_ptr<const std::atomic<bool>> flag)
{
    m_cancel = std::move(flag);
    if (m_request)
        m_request->SetCancelFlag(m_cancel);
}

qint64 HttpClient::CertificateExpiry() const
{
    return m_request ? m_request->CertificateExpiry() : 0;
}

TransferFailure HttpClient::StatusFailure() const
{
    return m_request ? m_request->Failure() : TransferFailure {};
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

void HttpClient::ApplyProxyArgument(const QString& proxy, const QString& url)
{
    if (proxy == u"-1"_s)
        return;
    const QString text = proxy == u"IE"_s ? SystemProxy(NormalizeUrl(url)) : proxy;
    // "server,user,password"; credentials only when both are given.
    const QStringList parts = text.split(u',');
    m_request->SetProxy(text.isEmpty() ? RequestObject::kProxyDefault : RequestObject::kProxyNamed, parts.value(0));
    if (!parts.value(1).isEmpty() && !parts.value(2).isEmpty())
        m_request->SetCredentials(parts.value(1), parts.value(2), RequestObject::kCredentialsForProxy);
}

QString HttpClient::FetchPage(const QString& url, FetchOptions options, FetchResult* result)
{
    if (!options.cancel)
        options.cancel = m_cancel;
    if (!options.share)
        options.share = m_share;
    return ::FetchPage(url, options, result);
}

int HttpClient::QueryStatus(const QString& url, std::optional<bool> synchronous, std::optional<int> waitSeconds,
    std::optional<QString> cookie, std::optional<QString> proxy)
{
    if (!m_request)
        return 0;
    const bool sync = synchronous.value_or(false);
    m_request->SetOption(RequestObject::EnableRedirects, 0);
    m_request->SetTimeouts(5000, 5000, 10000, 5000);
    m_request->Open(u"GET"_s, NormalizeUrl(url), !sync);
    if (cookie)
        m_request->SetRequestHeader(u"Cookie"_s, *cookie);
    if (proxy)
        ApplyProxyArgument(*proxy, url);
    // Only the status is wanted; the body is still read, so the timing includes it, but not kept.
    m_request->SetDiscardBody(true);
    m_request->SetOption(RequestObject::SslErrorIgnoreFlags, 0);
    m_request->Send();
    if (!sync) {
        // A negative wait would be unbounded; it gets the default like 0 does.
        const int wait = waitSeconds.value_or(0);
        m_request->WaitForResponse(wait > 0 ? wait : kDefaultWaitSeconds);
    }
    const int status = m_request->Status();
    m_request->SetDiscardBody(false);
    return status;
}
