#include "ui/url_open.h"

#include <QDesktopServices>
#include <QRegularExpression>

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

    // "name:" followed by something other than a port number is a scheme (mailto:, file:, C:\ …).
    static const QRegularExpression schemePattern(u"^([A-Za-z][A-Za-z0-9+.\\-]*):(?!\\d+(?:[/?#]|$))"_s);
    QString candidate = entry;
    const QRegularExpressionMatch scheme = schemePattern.match(entry);
    if (scheme.hasMatch()) {
        const QString name = scheme.captured(1).toLower();
        if (name != u"http"_s && name != u"https"_s)
            return {};
    } else {
        candidate = u"http://"_s + entry;
    }

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
    if (OpenHook())
        OpenHook()(url);
    else
        QDesktopServices::openUrl(url);
    return true;
}

void SetOpenUrlHook(std::function<void(const QUrl&)> hook)
{
    OpenHook() = std::move(hook);
}
