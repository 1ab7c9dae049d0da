#include "cli/metrics_server.h"

#include "store/persistence.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

#include <unistd.h>

using namespace Qt::StringLiterals;

// Accepts while fewer than the maximum are open; the HTTP server deletes each socket when it disconnects.
class BoundedTcpServer final : public QTcpServer
{
    struct Exchange
    {
        qint64 received = 0; // since the last answer went out
        int requests = 0;
        bool dropped = false;
    };

public:
    using QTcpServer::QTcpServer;

    int Open() const { return m_open; }

protected:
    void incomingConnection(qintptr handle) override
    {
        if (m_open >= MetricsServer::kMaxConnections) {
            ::close(int(handle));
            return;
        }
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(handle)) {
            delete socket;
            ::close(int(handle));
            return;
        }
        ++m_open;
        connect(socket, &QObject::destroyed, this, [this] { --m_open; });
        // A client that stops talking must not hold a slot forever.
        auto* idle = new QTimer(socket);
        idle->setSingleShot(true);
        idle->setInterval(MetricsServer::kIdleTimeoutMs);
        connect(idle, &QTimer::timeout, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        // Scrapers send one small request and wait for its answer. More bytes than a request, or a second
        // request before the answer has gone out (pipelining: each would hold a whole page in memory), drop the
        // connection. Connected before the HTTP server's own handler, so the unread bytes are the new ones;
        // they are read away here so that the server never parses them.
        auto state = std::make_shared<Exchange>();
        connect(socket, &QTcpSocket::readyRead, idle, [socket, idle, state] {
            if (state->dropped) {
                socket->readAll();
                return;
            }
            const QByteArray chunk = socket->peek(socket->bytesAvailable());
            state->received += chunk.size();
            state->requests += chunk.count("\r\n\r\n");
            if (state->received > MetricsServer::kMaxRequestBytes || state->requests > 1) {
                state->dropped = true;
                socket->readAll();
                // Not here: the HTTP server's handler for this signal still runs and expects an open socket.
                QMetaObject::invokeMethod(
                    socket,
                    [socket] {
                        socket->abort();
                        socket->deleteLater();
                    },
                    Qt::QueuedConnection);
                return;
            }
            idle->start();
        });
        connect(socket, &QTcpSocket::bytesWritten, idle, [socket, idle, state] {
            if (socket->bytesToWrite() == 0)
                *state = {};
            idle->start();
        });
        idle->start();
        addPendingConnection(socket);
    }

private:
    int m_open = 0;
};

MetricsServer::MetricsServer(std::function<QByteArray()> render, QObject* parent)
    : QObject(parent)
    , m_render(std::move(render))
    , m_http(new QHttpServer(this))
{
    using Method = QHttpServerRequest::Method;
    const auto otherMethods = QHttpServerRequest::Methods(Method::AnyKnown) & ~QHttpServerRequest::Methods(Method::Get);
    auto notAllowed = [] {
        QHttpServerResponse response(
            "text/plain", "method not allowed\n", QHttpServerResponse::StatusCode::MethodNotAllowed);
        response.setHeader("Allow", "GET");
        return response;
    };

    m_http->route(u"/metrics"_s, Method::Get,
        [this] { return QHttpServerResponse("text/plain; version=0.0.4; charset=utf-8", m_render()); });
    m_http->route(u"/"_s, Method::Get, [] {
        const QByteArray page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>patrol-lamp</title></head>"
                                "<body>patrol-lamp "
            + Persist::ProgramVersion().toUtf8() + " &mdash; <a href=\"/metrics\">metrics</a></body></html>\n";
        return QHttpServerResponse("text/html; charset=utf-8", page);
    });
    m_http->route(u"/metrics"_s, otherMethods, notAllowed);
    m_http->route(u"/"_s, otherMethods, notAllowed);
}

MetricsServer::~MetricsServer() = default;

bool MetricsServer::Listen(const QString& host, quint16 port, QString* error)
{
    QHostAddress address(QHostAddress::Any);
    if (!host.isEmpty() && !address.setAddress(host)) {
        const QHostInfo info = QHostInfo::fromName(host);
        if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
            *error = u"无法解析监听地址 %1：%2"_s.arg(host, info.errorString());
            return false;
        }
        address = info.addresses().constFirst();
    }
    auto* tcp = new BoundedTcpServer(this);
    if (!tcp->listen(address, port)) {
        *error = u"无法在 %1:%2 监听：%3"_s.arg(host, QString::number(port), tcp->errorString());
        delete tcp;
        return false;
    }
    m_http->bind(tcp);
    m_tcp = tcp;
    m_host
        = address.protocol() == QAbstractSocket::IPv6Protocol ? u"[%1]"_s.arg(address.toString()) : address.toString();
    if (host.isEmpty())
        m_host = u"0.0.0.0"_s;
    return true;
}

quint16 MetricsServer::Port() const
{
    return m_tcp ? m_tcp->serverPort() : 0;
}

QString MetricsServer::MetricsUrl() const
{
    return u"http://%1:%2/metrics"_s.arg(m_host).arg(Port());
}

int MetricsServer::OpenConnections() const
{
    return m_tcp ? m_tcp->Open() : 0;
}
