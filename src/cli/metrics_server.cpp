#include "cli/metrics_server.h"

#include "store/persistence.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QHostInfo>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>

#include <unistd.h>
#include <zlib.h>

using namespace Qt::StringLiterals;

namespace {

class Listener final : public QTcpServer
{
public:
    Listener(std::function<void(qintptr)> accept, QObject* parent)
        : QTcpServer(parent)
        , m_accept(std::move(accept))
    { }

protected:
    void incomingConnection(qintptr handle) override { m_accept(handle); }

private:
    std::function<void(qintptr)> m_accept;
};

QByteArray Reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    }
    return "Error";
}

QByteArray IndexPage()
{
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>patrol-lamp</title></head><body>patrol-lamp "
        + Persist::ProgramVersion().toUtf8() + " &mdash; <a href=\"/metrics\">metrics</a></body></html>\n";
}

} // namespace

// One client: reads one request head, answers it from the shared page a window at a time, then waits for the
// next request or closes. Every way out goes through Close(), which gives the slot back once.
class MetricsConnection final : public QObject
{
public:
    MetricsConnection(MetricsServer* server, QTcpSocket* socket, const QString& peer)
        : QObject(server)
        , m_server(server)
        , m_socket(socket)
        , m_peer(peer)
    {
        socket->setParent(this);
        socket->setReadBufferSize(MetricsServer::kMaxRequestBytes);
        m_deadline.setSingleShot(true);
        connect(&m_deadline, &QTimer::timeout, this, &MetricsConnection::Close);
        connect(socket, &QAbstractSocket::readyRead, this, &MetricsConnection::Read);
        connect(socket, &QAbstractSocket::bytesWritten, this, &MetricsConnection::Pump);
        connect(socket, &QAbstractSocket::disconnected, this, &MetricsConnection::Close);
        connect(socket, &QAbstractSocket::errorOccurred, this, &MetricsConnection::Close);
        m_deadline.start(m_server->m_requestDeadlineMs);
        if (auto* tls = qobject_cast<QSslSocket*>(socket)) {
            connect(tls, &QSslSocket::encryptedBytesWritten, this, &MetricsConnection::Pump);
            connect(tls, &QSslSocket::handshakeInterruptedOnError, this, &MetricsConnection::Close);
            tls->startServerEncryption();
        }
    }

    void Detach() { m_closed = true; }

private:
    void Read()
    {
        if (m_closed)
            return;
        const QByteArray chunk = m_socket->readAll();
        // The body of a request being answered is dropped unread; a new request there is pipelining: each
        // request waiting behind an answer would hold a page of its own.
        if (m_skipBody)
            return;
        if (m_writing || m_closing) {
            Close();
            return;
        }
        // A TLS hello on the plain port will never become a request.
        if (m_in.isEmpty() && chunk.startsWith('\x16') && !qobject_cast<QSslSocket*>(m_socket)) {
            Close();
            return;
        }
        m_in += chunk;
        const qsizetype end = m_in.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_in.size() >= MetricsServer::kMaxRequestBytes) {
                m_closeAfter = true;
                Answer(431, "text/plain", "request too large\n");
            }
            return;
        }
        const bool more = m_in.size() > end + 4;
        const QByteArray head = m_in.left(end);
        m_in.clear();
        Handle(head, more);
    }

    void Handle(const QByteArray& head, bool more)
    {
        const QByteArrayList lines = head.split('\n');
        const QByteArrayList request = lines.constFirst().trimmed().split(' ');
        m_http10 = false;
        m_closeAfter = false;
        if (request.size() != 3 || !request[2].startsWith("HTTP/")) {
            m_closeAfter = true;
            return Answer(400, "text/plain", "bad request\n");
        }
        if (request[2] == "HTTP/1.0") {
            m_http10 = m_closeAfter = true;
        } else if (request[2] != "HTTP/1.1") {
            m_closeAfter = true;
            return Answer(505, "text/plain", "HTTP/1.1 or 1.0 only\n");
        }
        WebRequest web;
        QByteArray authorization;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = lines[i].left(colon).trimmed().toLower();
            const QByteArray value = lines[i].mid(colon + 1).trimmed();
            if (name != "authorization")
                web.headers.insert(name, value);
            if (name == "authorization")
                authorization = value;
            else if (name == "connection" && value.toLower().contains("close"))
                m_closeAfter = true;
            // The body is never read: answer and close rather than parse it as the next request.
            else if ((name == "content-length" && value != "0") || name == "transfer-encoding")
                m_closeAfter = m_skipBody = true;
        }
        if (more && !m_skipBody)
            return Close();
        // Each wrong guess costs a bcrypt check on this thread: make the guesser reconnect for the next.
        if (!m_server->Authorized(authorization)) {
            m_closeAfter = true;
            return Answer(401, "text/plain", "unauthorized\n", "WWW-Authenticate: Basic realm=\"patrol-lamp\"\r\n");
        }
        const QByteArray& method = request[0];
        if (method != "GET" && method != "HEAD")
            return Answer(405, "text/plain", "method not allowed\n", "Allow: GET, HEAD\r\n");
        const bool headOnly = method == "HEAD";
        const qsizetype query = request[1].indexOf('?');
        web.method = method;
        web.path = query < 0 ? request[1] : request[1].left(query);
        web.query = query < 0 ? QByteArray() : request[1].mid(query + 1);
        if (web.path == "/metrics") {
            const char* type = "text/plain; version=0.0.4; charset=utf-8";
            // A page zlib failed on goes out plain.
            if (const QByteArray gzipped = MetricsServer::AcceptsGzip(web.headers.value("accept-encoding"))
                    ? m_server->GzippedPage()
                    : QByteArray();
                !gzipped.isEmpty()) {
                return Answer(200, type, gzipped, "Content-Encoding: gzip\r\nVary: Accept-Encoding\r\n", headOnly);
            }
            return Answer(200, type, m_server->Page(), "Vary: Accept-Encoding\r\n", headOnly);
        }
        if (const WebHandler* handler = m_server->FindRoute(web.path)) {
            const WebAnswer answer = (*handler)(web);
            return Answer(answer.status, answer.type, answer.body, answer.extraHeaders, headOnly);
        }
        if (web.path == "/")
            return Answer(200, "text/html; charset=utf-8", IndexPage(), {}, headOnly);
        Answer(404, "text/plain", "not found\n", {}, headOnly);
    }

    void Answer(
        int status, const QByteArray& type, const QByteArray& body, const QByteArray& extra = {}, bool headOnly = false)
    {
        QByteArray out = (m_http10 ? "HTTP/1.0 " : "HTTP/1.1 ") + QByteArray::number(status) + ' ' + Reason(status)
            + "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + extra;
        if (m_closeAfter)
            out += "Connection: close\r\n";
        out += "\r\n";
        m_socket->write(out);
        m_body = headOnly ? QByteArray() : body;
        m_sent = 0;
        m_writing = true;
        m_deadline.start(m_server->m_stallTimeoutMs);
        Pump();
    }

    // Copies the page into the socket a window at a time: slow readers hold the shared page, not copies of it.
    void Pump()
    {
        if (!m_writing || m_closed)
            return;
        if (m_socket->bytesToWrite() < MetricsServer::kSendWindow)
            m_deadline.start(m_server->m_stallTimeoutMs);
        while (m_sent < m_body.size() && m_socket->bytesToWrite() < MetricsServer::kSendWindow) {
            const qint64 n = std::min(MetricsServer::kSendWindow - m_socket->bytesToWrite(), m_body.size() - m_sent);
            m_socket->write(m_body.constData() + m_sent, n);
            m_sent += n;
        }
        if (m_sent < m_body.size() || m_socket->bytesToWrite() > 0)
            return;
        m_writing = false;
        m_body = {};
        if (m_closeAfter) {
            m_closing = true;
            m_socket->disconnectFromHost();
            return;
        }
        m_deadline.start(m_server->m_requestDeadlineMs);
    }

    void Close()
    {
        if (m_closed)
            return;
        m_closed = true;
        m_deadline.stop();
        m_body = {};
        m_socket->abort();
        m_server->Closed(m_peer);
        deleteLater();
    }

    MetricsServer* m_server;
    QTcpSocket* m_socket;
    QString m_peer;
    QTimer m_deadline;
    QByteArray m_in;
    QByteArray m_body; // shares the rendered page
    qint64 m_sent = 0;
    bool m_writing = false;
    bool m_http10 = false;
    bool m_closeAfter = false;
    bool m_closing = false;
    bool m_skipBody = false;
    bool m_closed = false;
};

MetricsServer::MetricsServer(std::function<QByteArray()> render, QObject* parent)
    : QObject(parent)
    , m_render(std::move(render))
{ }

MetricsServer::~MetricsServer()
{
    // The connections go with the children, after this object's members: they must not call back.
    for (QObject* child : children()) {
        if (auto* connection = dynamic_cast<MetricsConnection*>(child))
            connection->Detach();
    }
}

void MetricsServer::SetWebConfig(const WebConfig& config)
{
    m_config = config;
}

void MetricsServer::Route(const QByteArray& path, WebHandler handler)
{
    m_routes.insert(path, std::move(handler));
}

const WebHandler* MetricsServer::FindRoute(const QByteArray& path) const
{
    if (const auto exact = m_routes.constFind(path); exact != m_routes.cend())
        return &exact.value();
    const WebHandler* best = nullptr;
    qsizetype bestLength = 0;
    for (auto it = m_routes.cbegin(); it != m_routes.cend(); ++it) {
        const QByteArray& prefix = it.key();
        if (prefix.size() > 1 && prefix.endsWith('/') && path.startsWith(prefix) && prefix.size() > bestLength) {
            best = &it.value();
            bestLength = prefix.size();
        }
    }
    return best;
}

void MetricsServer::SetTimeouts(int requestDeadlineMs, int stallTimeoutMs)
{
    m_requestDeadlineMs = requestDeadlineMs;
    m_stallTimeoutMs = stallTimeoutMs;
}

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
    auto* tcp = new Listener([this](qintptr handle) { Accept(handle); }, this);
    if (!tcp->listen(address, port)) {
        *error = u"无法在 %1:%2 监听：%3"_s.arg(host, QString::number(port), tcp->errorString());
        delete tcp;
        return false;
    }
    m_tcp = tcp;
    m_host
        = address.protocol() == QAbstractSocket::IPv6Protocol ? u"[%1]"_s.arg(address.toString()) : address.toString();
    if (host.isEmpty())
        m_host = u"0.0.0.0"_s;
    return true;
}

void MetricsServer::Accept(qintptr handle)
{
    if (m_open >= kMaxConnections) {
        ::close(int(handle));
        return;
    }
    QTcpSocket* socket = m_config.HasTls() ? new QSslSocket : new QTcpSocket;
    if (!socket->setSocketDescriptor(handle)) {
        delete socket;
        ::close(int(handle));
        return;
    }
    QHostAddress address = socket->peerAddress();
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        address = QHostAddress(v4);
    const QString peer = address.toString();
    if (m_perPeer.value(peer) >= kMaxPerPeer) {
        socket->abort();
        delete socket;
        return;
    }
    if (auto* tls = qobject_cast<QSslSocket*>(socket)) {
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setLocalCertificateChain(m_config.certificateChain);
        ssl.setPrivateKey(m_config.privateKey);
        ssl.setProtocol(m_config.tls13Only ? QSsl::TlsV1_3OrLater : QSsl::TlsV1_2OrLater);
        ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
        tls->setSslConfiguration(ssl);
    }
    ++m_open;
    ++m_perPeer[peer];
    new MetricsConnection(this, socket, peer);
}

void MetricsServer::Closed(const QString& peer)
{
    --m_open;
    if (--m_perPeer[peer] <= 0)
        m_perPeer.remove(peer);
}

QByteArray MetricsServer::Page()
{
    if (m_pageAge.isValid() && m_pageAge.elapsed() < kPageReuseMs)
        return m_page;
    m_page = m_render();
    m_gzippedPage = {};
    m_pageAge.start();
    // Not kept between scrapes: the connections still sending hold their own reference.
    QTimer::singleShot(kPageReuseMs, this, [this] {
        if (m_pageAge.isValid() && m_pageAge.elapsed() >= kPageReuseMs) {
            m_page = {};
            m_gzippedPage = {};
            m_pageAge.invalidate();
        }
    });
    return m_page;
}

QByteArray MetricsServer::GzippedPage()
{
    const QByteArray page = Page();
    if (m_gzippedPage.isEmpty())
        m_gzippedPage = Gzip(page);
    return m_gzippedPage;
}

bool MetricsServer::AcceptsGzip(const QByteArray& acceptEncoding)
{
    for (const QByteArray& item : acceptEncoding.split(',')) {
        const QByteArrayList parts = item.split(';');
        const QByteArray coding = parts.constFirst().trimmed().toLower();
        if (coding != "gzip" && coding != "x-gzip")
            continue;
        for (qsizetype i = 1; i < parts.size(); ++i) {
            const QByteArray parameter = parts[i].trimmed().toLower();
            if (parameter.startsWith("q=") && parameter.mid(2).toDouble() <= 0)
                return false;
        }
        return true;
    }
    return false;
}

QByteArray MetricsServer::Gzip(const QByteArray& data)
{
    z_stream stream {};
    // 15 window bits + 16: a gzip header and trailer. The fastest level: the page is made on the main thread
    // and its repeated names and labels compress well even so.
    if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray out(qsizetype(deflateBound(&stream, uLong(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.truncate(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return result == Z_STREAM_END ? out : QByteArray();
}

bool MetricsServer::Authorized(const QByteArray& authorization)
{
    if (!m_config.HasAuth())
        return true;
    const QByteArray digest = QCryptographicHash::hash(authorization, QCryptographicHash::Sha256);
    if (m_passedAuth.contains(digest))
        return true;
    if (!CheckBasicAuth(m_config, authorization))
        return false;
    if (m_passedAuth.size() >= 16)
        m_passedAuth.removeFirst();
    m_passedAuth.append(digest);
    return true;
}

quint16 MetricsServer::Port() const
{
    return m_tcp ? m_tcp->serverPort() : 0;
}

QString MetricsServer::MetricsUrl() const
{
    return u"%1://%2:%3/metrics"_s.arg(m_config.HasTls() ? u"https"_s : u"http"_s, m_host).arg(Port());
}

int MetricsServer::OpenConnections() const
{
    return m_open;
}
