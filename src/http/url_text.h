#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

// Text rules for the addresses and proxy lists the requests and the browser hand-over take, written once.
// Pure functions; safe on any thread.

// The scheme the text begins with, lower-cased ("HTTPS://a" gives "https"); empty when it has none.
// "name:" followed by a port number ("host:8080/x") is a host, not a scheme.
QString UrlScheme(QStringView text);

// The text begins with "http://" or "https://", in any letter case.
bool HasWebScheme(QStringView url);
bool IsHttpsUrl(QStringView url);

// "http://" in front unless HasWebScheme: an entry without a web scheme is taken as a plain http address.
QString WithWebScheme(const QString& url);

// libcurl rejects spaces, controls and raw non-ASCII bytes after the host; escapes them as browsers do.
QByteArray UrlForCurl(const QString& url);

// The URL as it may be shown or sent anywhere but its own request: the password of the user-info part becomes
// "***" (the user name stays, so the site is recognisable). A text without "://" is taken as starting with the host.
QString RedactedUrl(const QString& url);

// A notify URL carries its secret in the query as often as in the user-info: both are hidden.
QString RedactedNotifyUrl(const QString& url);

// Whether the URL names its host by address (IPv4, or IPv6 in brackets) rather than by name.
bool HostIsAddress(const QByteArray& url);

// The proxy for the URL from a list "http=host:port;https=host:port" or a plain "host:port" (serving every
// scheme). An entry named after the URL's scheme wins, else an entry with no scheme name; a list that names
// only other schemes gives empty (go direct), so traffic never goes to a proxy meant for another scheme.
// A URL without a scheme counts as http.
QString ProxyForUrl(const QString& proxyList, const QString& url);

// The system proxy for the URL's scheme: http_proxy, https_proxy/HTTPS_PROXY, then all_proxy/ALL_PROXY.
QString SystemProxy(const QString& url);

// "*.example.com;<local>;10.0.0.1" becomes ".example.com,10.0.0.1" (libcurl has no "<local>").
QByteArray NoProxyList(const QString& bypass);
