#include "http/url_text.h"

#include <QRegularExpression>
#include <QStringList>

#include <arpa/inet.h>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

bool IsAsciiLetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool IsAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

} // namespace

QString UrlScheme(QStringView text)
{
    if (text.isEmpty() || !IsAsciiLetter(text.front()))
        return {};
    qsizetype end = 1;
    while (end < text.size()
        && (IsAsciiLetter(text[end]) || IsAsciiDigit(text[end]) || text[end] == u'+' || text[end] == u'.'
            || text[end] == u'-'))
        ++end;
    if (end >= text.size() || text[end] != u':')
        return {};
    qsizetype digits = end + 1;
    while (digits < text.size() && IsAsciiDigit(text[digits]))
        ++digits;
    const bool port = digits > end + 1 && (digits == text.size() || u"/?#"_s.contains(text[digits]));
    return port ? QString() : text.first(end).toString().toLower();
}

bool HasWebScheme(QStringView url)
{
    return url.startsWith(u"http://", Qt::CaseInsensitive) || IsHttpsUrl(url);
}

bool IsHttpsUrl(QStringView url)
{
    return url.startsWith(u"https://", Qt::CaseInsensitive);
}

QString WithWebScheme(const QString& url)
{
    return HasWebScheme(url) ? url : u"http://"_s + url;
}

QByteArray UrlForCurl(const QString& url)
{
    const QByteArray utf8 = url.toUtf8();
    const qsizetype schemeEnd = utf8.indexOf("://");
    qsizetype pathStart = schemeEnd < 0 ? 0 : schemeEnd + 3;
    while (pathStart < utf8.size() && !QByteArrayView("/?#").contains(utf8.at(pathStart)))
        ++pathStart;
    auto needsEscape = [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte >= 0x7F;
    };
    if (std::none_of(utf8.cbegin() + pathStart, utf8.cend(), needsEscape))
        return utf8;
    static const char kHex[] = "0123456789ABCDEF";
    QByteArray out = utf8.left(pathStart);
    out.reserve(utf8.size() * 3);
    for (qsizetype i = pathStart; i < utf8.size(); ++i) {
        const char c = utf8.at(i);
        if (needsEscape(c)) {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

QString RedactedUrl(const QString& url)
{
    const qsizetype schemeEnd = url.indexOf(u"://"_s);
    const qsizetype start = schemeEnd < 0 ? 0 : schemeEnd + 3;
    qsizetype end = start;
    while (end < url.size() && !u"/?#"_s.contains(url.at(end)))
        ++end;
    const QStringView authority = QStringView(url).sliced(start, end - start);
    const qsizetype at = authority.lastIndexOf(u'@');
    const qsizetype colon = authority.first(qMax(at, 0)).indexOf(u':');
    if (colon < 0)
        return url;
    return url.first(start + colon + 1) + u"***"_s + url.sliced(start + at);
}

QString RedactedNotifyUrl(const QString& url)
{
    QString shown = RedactedUrl(url);
    const qsizetype query = shown.indexOf(u'?');
    const qsizetype fragment = shown.indexOf(u'#');
    const qsizetype cut = query < 0 ? fragment : fragment < 0 ? query : qMin(query, fragment);
    if (cut >= 0)
        shown = shown.first(cut) + (query >= 0 ? u"?***"_s : QString());
    // Chat hooks keep their token in the path (Telegram's bot<id>:<key>, Slack's and Feishu's hook ids): a long
    // segment with a digit in it is taken for one.
    const qsizetype schemeEnd = shown.indexOf(u"://"_s);
    const qsizetype pathStart = shown.indexOf(u'/', schemeEnd < 0 ? 0 : schemeEnd + 3);
    const qsizetype pathEnd = query >= 0 && cut >= 0 ? shown.size() - 4 : shown.size();
    if (pathStart < 0 || pathStart >= pathEnd)
        return shown;
    QStringList segments = shown.sliced(pathStart, pathEnd - pathStart).split(u'/');
    for (QString& segment : segments) {
        if (segment.size() >= 16 && std::any_of(segment.cbegin(), segment.cend(), [](QChar c) { return c.isDigit(); }))
            segment = u"***"_s;
    }
    return shown.first(pathStart) + segments.join(u'/') + shown.sliced(pathEnd);
}

bool HostIsAddress(const QByteArray& url)
{
    const qsizetype schemeEnd = url.indexOf("://");
    const qsizetype start = schemeEnd < 0 ? 0 : schemeEnd + 3;
    qsizetype end = start;
    while (end < url.size() && !QByteArrayView("/?#").contains(url.at(end)))
        ++end;
    QByteArray host = url.mid(start, end - start);
    host = host.mid(host.lastIndexOf('@') + 1);
    in6_addr address {};
    if (host.startsWith('[')) {
        const qsizetype close = host.indexOf(']');
        return close > 0 && inet_pton(AF_INET6, host.mid(1, close - 1).constData(), &address) == 1;
    }
    const qsizetype colon = host.indexOf(':');
    if (colon >= 0)
        host.truncate(colon);
    return inet_pton(AF_INET, host.constData(), &address) == 1;
}

QString ProxyForUrl(const QString& proxyList, const QString& url)
{
    QString scheme = UrlScheme(url);
    if (scheme.isEmpty())
        scheme = u"http"_s;
    QString anyScheme;
    for (const QString& part : proxyList.split(u';', Qt::SkipEmptyParts)) {
        const qsizetype equals = part.indexOf(u'=');
        if (equals < 0) {
            if (anyScheme.isEmpty())
                anyScheme = part.trimmed();
        } else if (part.first(equals).trimmed().compare(scheme, Qt::CaseInsensitive) == 0) {
            return part.mid(equals + 1).trimmed();
        }
    }
    return anyScheme;
}

QString SystemProxy(const QString& url)
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

QByteArray NoProxyList(const QString& bypass)
{
    QStringList hosts;
    for (QString host : bypass.split(QRegularExpression(u"[;,\\s]+"_s), Qt::SkipEmptyParts)) {
        if (host.compare(u"<local>"_s, Qt::CaseInsensitive) == 0)
            continue;
        if (host.startsWith(u"*."_s))
            host.remove(0, 1);
        hosts.append(host);
    }
    return hosts.join(u',').toUtf8();
}
