#include "ui/url_open.h"

#include "http/curl_global.h"
#include "http/url_text.h"

#include <QDesktopServices>

using namespace Qt::StringLiterals;

namespace {

std::function<void(const QUrl&)>& OpenHook()
{
    static std::function<void(const QUrl&)> hook;
    return hook;
}

} // namespace

QUrl BrowsableUrl(const QString& text)
{
    const QString entry = text.trimmed();
    if (entry.isEmpty())
        return {};

    // Any other scheme (mailto:, file:, C:\ …) could open or run something local.
    const QString scheme = UrlScheme(entry);
    if (!scheme.isEmpty() && scheme != u"http"_s && scheme != u"https"_s)
        return {};
    const QString candidate = scheme.isEmpty() ? WithWebScheme(entry) : entry;

    const QUrl url(candidate, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return {};
    const QString urlScheme = url.scheme().toLower();
    if (urlScheme != u"http"_s && urlScheme != u"https"_s)
        return {};
    return url;
}

bool OpenWebAddress(const QString& text)
{
    const QUrl url = BrowsableUrl(text);
    if (url.isEmpty())
        return false;
    if (OpenHook()) {
        OpenHook()(url);
    } else {
        // The browser must not inherit the monitor's connections.
        MarkDescriptorsCloseOnExec();
        QDesktopServices::openUrl(url);
    }
    return true;
}

void SetOpenUrlHook(std::function<void(const QUrl&)> hook)
{
    OpenHook() = std::move(hook);
}
