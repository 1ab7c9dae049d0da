#pragma once

#include "cli/web_config.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>

#include <functional>

class QTcpServer;
class QTcpSocket;
class MetricsConnection;

// One request as a route handler sees it (after the method, version, size and auth checks).
struct WebRequest
{
    QByteArray method; // GET or HEAD
    QByteArray path; // without the query, undecoded
    QByteArray query; // after '?', undecoded
    QHash<QByteArray, QByteArray> headers; // names in lower case
};

struct WebAnswer
{
    int status = 200;
    QByteArray type = "text/plain; charset=utf-8";
    QByteArray body;
    QByteArray extraHeaders; // whole header lines, each ending in "\r\n"
};

using WebHandler = std::function<WebAnswer(const WebRequest&)>;

// Serves GET and HEAD of /metrics (the body comes from the render function, gzipped for a client that accepts it)
// and /, over HTTP/1.1 or 1.0, on the
// thread that owns it: the render function reads main-thread state, and the checks run on their own threads, so
// a scrape never waits for a check nor a check for a scrape. Other paths answer 404, other methods 405.
// Bounds, so that neither slow nor many clients can lock scrapers out or grow the process:
// - at most kMaxConnections open, at most kMaxPerPeer from one address; more are closed at once;
// - a request must be whole (TLS handshake included) within kRequestDeadlineMs of the accept or of the last
//   answer, and fit kMaxRequestBytes; no body is read, a request with one is answered and the connection closed;
// - a second request sent before the answer has gone out (pipelining) closes the connection;
// - answers given within kPageReuseMs share one rendered page (and one gzipped copy), and each connection copies at
// most kSendWindow
//   of it into its socket at a time; an answer that makes no progress for kStallTimeoutMs is dropped.
// With a web configuration: TLS only (a plain hello is dropped by the handshake) and/or basic auth (401).
class MetricsServer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MetricsServer)

public:
    static constexpr int kMaxConnections = 16;
    // A browser opens up to six connections to a host, and a scraper may share its address.
    static constexpr int kMaxPerPeer = 8;
    static constexpr int kRequestDeadlineMs = 10 * 1000;
    static constexpr int kStallTimeoutMs = 30 * 1000;
    static constexpr qint64 kMaxRequestBytes = 16 * 1024;
    static constexpr qint64 kSendWindow = 256 * 1024;
    static constexpr int kPageReuseMs = 1000;

    // Whether an Accept-Encoding value takes gzip (a q of 0 refuses it).
    static bool AcceptsGzip(const QByteArray& acceptEncoding);
    static QByteArray Gzip(const QByteArray& data);

    explicit MetricsServer(std::function<QByteArray()> render, QObject* parent = nullptr);
    ~MetricsServer() override;

    // Before Listen.
    void SetWebConfig(const WebConfig& config);
    // A path ending in '/' (other than "/") serves everything under it, the longest match first; the others
    // serve only themselves. A route for "/" replaces the built-in index page; /metrics is always the page.
    void Route(const QByteArray& path, WebHandler handler);
    void SetTimeouts(int requestDeadlineMs, int stallTimeoutMs); // tests shorten them

    // Host: an address, a name resolved once, or empty for every interface. Port 0 picks a free one.
    bool Listen(const QString& host, quint16 port, QString* error);
    quint16 Port() const;
    // For messages: the URL of the metrics page.
    QString MetricsUrl() const;
    int OpenConnections() const;

private:
    friend class MetricsConnection;
    void Accept(qintptr handle);
    void Closed(const QString& peer);
    QByteArray Page();
    QByteArray GzippedPage();
    bool Authorized(const QByteArray& authorization);
    const WebHandler* FindRoute(const QByteArray& path) const;

    std::function<QByteArray()> m_render;
    QHash<QByteArray, WebHandler> m_routes;
    WebConfig m_config;
    QTcpServer* m_tcp = nullptr;
    QString m_host;
    int m_requestDeadlineMs = kRequestDeadlineMs;
    int m_stallTimeoutMs = kStallTimeoutMs;
    int m_open = 0;
    QHash<QString, int> m_perPeer;
    QByteArray m_page;
    QByteArray m_gzippedPage; // of m_page, made when first asked for
    QElapsedTimer m_pageAge;
    QList<QByteArray> m_passedAuth; // headers that passed, so a scrape does not pay for bcrypt each time
};
