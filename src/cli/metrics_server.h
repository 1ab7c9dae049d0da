#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QHttpServer;
class BoundedTcpServer;

// Serves GET /metrics (the body comes from the render function) and GET / on Qt's HTTP server, on the thread
// that owns it: the render function reads main-thread state, and the checks run on their own threads, so a
// scrape never waits for a check nor a check for a scrape. Other paths answer 404, other methods 405.
// At most kMaxConnections connections are open, each with at most one request in hand (a page of 100,000
// sites is about 44 MB); more connections are closed at once. Idle connections, pipelined requests and more
// than kMaxRequestBytes without an answer close the connection.
class MetricsServer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MetricsServer)

public:
    static constexpr int kMaxConnections = 16;
    static constexpr int kIdleTimeoutMs = 60 * 1000;
    static constexpr qint64 kMaxRequestBytes = 64 * 1024;

    explicit MetricsServer(std::function<QByteArray()> render, QObject* parent = nullptr);
    ~MetricsServer() override;

    // Host: an address, a name resolved once, or empty for every interface. Port 0 picks a free one.
    bool Listen(const QString& host, quint16 port, QString* error);
    quint16 Port() const;
    // For messages: the URL of the metrics page.
    QString MetricsUrl() const;
    int OpenConnections() const;

private:
    std::function<QByteArray()> m_render;
    QHttpServer* m_http;
    BoundedTcpServer* m_tcp = nullptr;
    QString m_host;
};
