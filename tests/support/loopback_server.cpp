#include "support/loopback_server.h"

#include <QHash>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <zlib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype kMaxHeaderBytes = 1 << 20;
constexpr qsizetype kMaxBodyBytes = 64 << 20;
constexpr auto kStopGrace = std::chrono::seconds(10);

QByteArray ReasonPhrase(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 101:
        return "Switching Protocols";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 407:
        return "Proxy Authentication Required";
    case 408:
        return "Request Timeout";
    case 410:
        return "Gone";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Status";
    }
}

bool HasHeaderIn(const QList<LoopbackHeader>& headers, const QByteArray& name)
{
    return std::any_of(headers.begin(), headers.end(),
        [&](const LoopbackHeader& h) { return h.first.compare(name, Qt::CaseInsensitive) == 0; });
}

// One self-signed key and certificate for the whole test process: EC keys are made in microseconds.
struct TestCertificate
{
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    QByteArray pem;
};

const TestCertificate& Certificate()
{
    static TestCertificate certificate;
    static std::once_flag once;
    std::call_once(once, [] {
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* cert = X509_new();
        if (!key || !cert)
            return;
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -24 * 3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 3650L * 24 * 3600);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(
            name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
        if (X509_EXTENSION* ext
            = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "IP:127.0.0.1,IP:::1,DNS:localhost")) {
            X509_add_ext(cert, ext, -1);
            X509_EXTENSION_free(ext);
        }
        X509_sign(cert, key, EVP_sha256());
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(bio, cert);
        char* data = nullptr;
        const long size = BIO_get_mem_data(bio, &data);
        certificate.pem = QByteArray(data, size);
        BIO_free(bio);
        certificate.key = key;
        certificate.cert = cert;
    });
    return certificate;
}

} // namespace

QByteArray LoopbackRequest::Header(const QByteArray& name) const
{
    for (const auto& h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return {};
}

bool LoopbackRequest::HasHeader(const QByteArray& name) const
{
    return HasHeaderIn(headers, name);
}

QByteArray LoopbackRequest::Path() const
{
    const qsizetype q = target.indexOf('?');
    return q < 0 ? target : target.left(q);
}

LoopbackResponse LoopbackResponse::Ok(const QByteArray& body, const QByteArray& contentType)
{
    LoopbackResponse r;
    r.body = body;
    if (!contentType.isEmpty())
        r.headers.append({ "Content-Type", contentType });
    return r;
}

LoopbackResponse LoopbackResponse::Status(int status, const QByteArray& body)
{
    LoopbackResponse r;
    r.status = status;
    r.body = body;
    return r;
}

LoopbackResponse LoopbackResponse::Redirect(int status, const QByteArray& location)
{
    LoopbackResponse r;
    r.status = status;
    r.headers.append({ "Location", location });
    return r;
}

LoopbackResponse LoopbackResponse::Stall()
{
    LoopbackResponse r;
    r.mode = Mode::Stall;
    return r;
}

LoopbackResponse LoopbackResponse::HeadersThenStall(int status, const QByteArray& body)
{
    LoopbackResponse r;
    r.status = status;
    r.body = body;
    r.mode = Mode::HeadersThenStall;
    return r;
}

LoopbackResponse LoopbackResponse::Drip(const QByteArray& body, int intervalMs, bool endless)
{
    LoopbackResponse r;
    r.body = body;
    r.mode = Mode::Drip;
    r.dripIntervalMs = intervalMs;
    r.dripForever = endless;
    return r;
}

LoopbackResponse LoopbackResponse::Endless(const QByteArray& pattern)
{
    LoopbackResponse r;
    r.body = pattern.isEmpty() ? QByteArray("0") : pattern;
    r.mode = Mode::Endless;
    return r;
}

LoopbackResponse LoopbackResponse::Raw(const QByteArray& bytes)
{
    LoopbackResponse r;
    r.body = bytes;
    r.mode = Mode::Raw;
    return r;
}

LoopbackResponse LoopbackResponse::CloseMidBody(const QByteArray& body, qint64 cutAfter)
{
    LoopbackResponse r;
    r.body = body;
    r.cutAfterBytes = cutAfter;
    r.mode = Mode::CloseMidBody;
    return r;
}

LoopbackResponse LoopbackResponse::ResetMidBody(const QByteArray& body, qint64 cutAfter)
{
    LoopbackResponse r = CloseMidBody(body, cutAfter);
    r.mode = Mode::ResetMidBody;
    return r;
}

LoopbackResponse& LoopbackResponse::Header(const QByteArray& name, const QByteArray& value)
{
    headers.append({ name, value });
    return *this;
}

LoopbackResponse& LoopbackResponse::Delay(int ms)
{
    delayMs = ms;
    return *this;
}

LoopbackResponse& LoopbackResponse::Chunked(bool on)
{
    chunked = on;
    return *this;
}

LoopbackResponse& LoopbackResponse::Close(bool on)
{
    closeConnection = on;
    return *this;
}

namespace {

// A certificate for key, signed by issuer (itself when null); CAs may sign others.
X509* MakeCertificate(const char* commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, long days, bool ca)
{
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), ca ? (issuer ? 2 : 3) : 4);
    X509_gmtime_adj(X509_getm_notBefore(cert), -24 * 3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), days * 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME_add_entry_by_txt(
        X509_get_subject_name(cert), "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509_set_issuer_name(cert, X509_get_subject_name(issuer ? issuer : cert));
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
    const char* value = ca ? "critical,CA:TRUE" : "CA:FALSE";
    if (X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, value)) {
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
    }
    X509_sign(cert, issuer ? issuerKey : key, EVP_sha256());
    return cert;
}

// Root (3000 days) -> intermediate (2000 days) -> leaf (kChainLeafDays), none trusted by any client.
struct TestChain
{
    EVP_PKEY* leafKey = nullptr;
    X509* leaf = nullptr;
    X509* intermediate = nullptr;
};

const TestChain& Chain()
{
    static TestChain chain;
    static std::once_flag once;
    std::call_once(once, [] {
        EVP_PKEY* rootKey = EVP_EC_gen("P-256");
        EVP_PKEY* middleKey = EVP_EC_gen("P-256");
        chain.leafKey = EVP_EC_gen("P-256");
        X509* root = MakeCertificate("Loopback Root", rootKey, nullptr, nullptr, 3000, true);
        chain.intermediate = MakeCertificate("Loopback Intermediate", middleKey, root, rootKey, 2000, true);
        chain.leaf = MakeCertificate(
            "127.0.0.1", chain.leafKey, chain.intermediate, middleKey, LoopbackServer::kChainLeafDays, false);
        // Only the served chain stays; the root and the signing keys are not needed again.
        X509_free(root);
        EVP_PKEY_free(rootKey);
        EVP_PKEY_free(middleKey);
    });
    return chain;
}

} // namespace

struct LoopbackServer::State
{
    Scheme scheme = Http;
    Family family = IPv4;
    int listenFd = -1;
    int stopFd = -1; // an eventfd written once on shutdown and never read: every poll on it wakes
    quint16 port = 0;
    SSL_CTX* ctx = nullptr;
    std::thread acceptThread;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    LoopbackHandler handler;
    QHash<QByteArray, LoopbackResponse> routes;
    LoopbackResponse defaultResponse = LoopbackResponse::Ok();
    QList<LoopbackRequest> requests;
    int current = 0;
    int max = 0;
    int total = 0;
    int tlsFailures = 0;
    int resumedHandshakes = 0;
    int nextId = 0;
    std::set<int> openFds;

    ~State()
    {
        if (listenFd >= 0)
            ::close(listenFd);
        if (stopFd >= 0)
            ::close(stopFd);
        if (ctx)
            SSL_CTX_free(ctx);
    }

    bool Stopping() const
    {
        pollfd p { stopFd, POLLIN, 0 };
        return ::poll(&p, 1, 0) > 0;
    }
};

namespace {

using State = LoopbackServer::State;

// One accepted connection, served on its own thread.
class Connection
{
public:
    Connection(std::shared_ptr<State> state, int fd, int id)
        : m_state(std::move(state))
        , m_fd(fd)
        , m_id(id)
    { }

    void Run()
    {
        if (m_state->ctx && !Handshake()) {
            Finish(false);
            return;
        }
        bool reset = false;
        while (!m_state->Stopping()) {
            LoopbackRequest request;
            if (!ReadRequest(request))
                break;
            request.connectionId = m_id;
            const LoopbackResponse response = Lookup(request);
            {
                std::lock_guard lock(m_state->mutex);
                m_state->requests.append(request);
            }
            m_state->changed.notify_all();
            bool keepAlive = false;
            Serve(request, response, keepAlive, reset);
            if (!keepAlive)
                break;
        }
        Finish(reset);
    }

private:
    bool Handshake()
    {
        m_ssl = SSL_new(m_state->ctx);
        SSL_set_fd(m_ssl, m_fd);
        const bool done = SSL_accept(m_ssl) == 1;
        std::lock_guard lock(m_state->mutex);
        if (done && SSL_session_reused(m_ssl))
            ++m_state->resumedHandshakes;
        if (!done)
            ++m_state->tlsFailures;
        return done;
    }

    // Waits until the socket has data (true) or the server stops / the time runs out (false).
    bool WaitReadable(int timeoutMs)
    {
        if (m_ssl && SSL_pending(m_ssl) > 0)
            return true;
        pollfd fds[2] = { { m_fd, POLLIN, 0 }, { m_state->stopFd, POLLIN, 0 } };
        for (;;) {
            const int n = ::poll(fds, 2, timeoutMs);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || (fds[1].revents & POLLIN))
                return false;
            return true;
        }
    }

    // Sleeps, or returns false at once when the server stops.
    bool Sleep(int ms)
    {
        pollfd p { m_state->stopFd, POLLIN, 0 };
        return ::poll(&p, 1, std::max(ms, 0)) == 0;
    }

    qint64 Read(char* data, int size)
    {
        if (!WaitReadable(-1))
            return -1;
        if (m_ssl) {
            const int n = SSL_read(m_ssl, data, size);
            return n > 0 ? n : -1;
        }
        for (;;) {
            const ssize_t n = ::recv(m_fd, data, size, 0);
            if (n < 0 && errno == EINTR)
                continue;
            return n > 0 ? n : -1;
        }
    }

    bool Fill()
    {
        char chunk[16384];
        const qint64 n = Read(chunk, sizeof chunk);
        if (n <= 0)
            return false;
        m_buffer.append(chunk, n);
        return true;
    }

    bool Write(const QByteArray& data)
    {
        qsizetype done = 0;
        while (done < data.size()) {
            if (m_ssl) {
                const int n = SSL_write(m_ssl, data.constData() + done, int(data.size() - done));
                if (n <= 0)
                    return false;
                done += n;
            } else {
                const ssize_t n = ::send(m_fd, data.constData() + done, data.size() - done, MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    return false;
                done += n;
            }
        }
        return true;
    }

    // Reads one line ending in CR LF from the buffer, filling it as needed.
    bool ReadLine(QByteArray& line)
    {
        for (;;) {
            const qsizetype end = m_buffer.indexOf("\r\n");
            if (end >= 0) {
                line = m_buffer.left(end);
                m_buffer.remove(0, end + 2);
                return true;
            }
            if (m_buffer.size() > kMaxHeaderBytes || !Fill())
                return false;
        }
    }

    bool ReadBytes(qint64 count, QByteArray& out)
    {
        while (m_buffer.size() < count) {
            if (!Fill())
                return false;
        }
        out.append(m_buffer.left(count));
        m_buffer.remove(0, count);
        return true;
    }

    bool ReadRequest(LoopbackRequest& request)
    {
        qsizetype headerEnd;
        while ((headerEnd = m_buffer.indexOf("\r\n\r\n")) < 0) {
            if (m_buffer.size() > kMaxHeaderBytes || !Fill())
                return false;
        }
        const QList<QByteArray> lines = m_buffer.left(headerEnd).split('\n');
        m_buffer.remove(0, headerEnd + 4);
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        if (requestLine.size() < 2)
            return false;
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        request.version = requestLine.value(2);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray& line = lines[i];
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append({ line.left(colon).trimmed(), line.mid(colon + 1).trimmed() });
        }
        if (request.Header("Expect").compare("100-continue", Qt::CaseInsensitive) == 0 && m_buffer.isEmpty())
            Write("HTTP/1.1 100 Continue\r\n\r\n");
        if (request.Header("Transfer-Encoding").toLower().contains("chunked")) {
            for (;;) {
                QByteArray sizeLine;
                if (!ReadLine(sizeLine))
                    return false;
                bool ok = false;
                const qint64 size = sizeLine.split(';').value(0).trimmed().toLongLong(&ok, 16);
                if (!ok || size < 0 || request.body.size() + size > kMaxBodyBytes)
                    return false;
                if (size == 0) {
                    QByteArray trailer;
                    do {
                        if (!ReadLine(trailer))
                            return false;
                    } while (!trailer.isEmpty());
                    break;
                }
                QByteArray crlf;
                if (!ReadBytes(size, request.body) || !ReadBytes(2, crlf))
                    return false;
            }
        } else if (request.HasHeader("Content-Length")) {
            bool ok = false;
            const qint64 length = request.Header("Content-Length").toLongLong(&ok);
            if (!ok || length < 0 || length > kMaxBodyBytes || !ReadBytes(length, request.body))
                return false;
        }
        return true;
    }

    LoopbackResponse Lookup(const LoopbackRequest& request)
    {
        LoopbackHandler handler;
        {
            std::lock_guard lock(m_state->mutex);
            if (!m_state->handler) {
                auto it = m_state->routes.constFind(request.target);
                if (it == m_state->routes.cend())
                    it = m_state->routes.constFind(request.Path());
                return it != m_state->routes.cend() ? *it : m_state->defaultResponse;
            }
            handler = m_state->handler;
        }
        return handler(request);
    }

    QByteArray Head(const LoopbackResponse& r, bool withLength, bool close)
    {
        QByteArray head = "HTTP/1.1 " + QByteArray::number(r.status) + ' '
            + (r.reason.isEmpty() ? ReasonPhrase(r.status) : r.reason) + "\r\n";
        for (const auto& h : r.headers)
            head += h.first + ": " + h.second + "\r\n";
        if (r.chunked && r.mode == LoopbackResponse::Mode::Normal) {
            if (!HasHeaderIn(r.headers, "Transfer-Encoding"))
                head += "Transfer-Encoding: chunked\r\n";
        } else if (withLength && !HasHeaderIn(r.headers, "Content-Length")) {
            head += "Content-Length: " + QByteArray::number(r.body.size()) + "\r\n";
        }
        if (close && !HasHeaderIn(r.headers, "Connection"))
            head += "Connection: close\r\n";
        return head + "\r\n";
    }

    // Reads and drops whatever the client sends until it closes or the server stops.
    void Stall()
    {
        char sink[4096];
        while (Read(sink, sizeof sink) > 0) { }
    }

    void Serve(const LoopbackRequest& request, const LoopbackResponse& r, bool& keepAlive, bool& reset)
    {
        using Mode = LoopbackResponse::Mode;
        if (r.delayMs > 0 && !Sleep(r.delayMs))
            return;
        switch (r.mode) {
        case Mode::Normal: {
            const bool clientCloses = request.Header("Connection").compare("close", Qt::CaseInsensitive) == 0
                || (request.version == "HTTP/1.0"
                    && request.Header("Connection").compare("keep-alive", Qt::CaseInsensitive) != 0);
            const bool close = r.closeConnection || clientCloses;
            const bool noBody
                = request.method == "HEAD" || r.status == 204 || r.status == 304 || (r.status >= 100 && r.status < 200);
            QByteArray reply = Head(r, true, close);
            if (!noBody) {
                if (r.chunked) {
                    if (!r.body.isEmpty())
                        reply += QByteArray::number(r.body.size(), 16) + "\r\n" + r.body + "\r\n";
                    reply += "0\r\n\r\n";
                } else {
                    reply += r.body;
                }
            }
            keepAlive = Write(reply) && !close;
            return;
        }
        case Mode::Stall:
            Stall();
            return;
        case Mode::HeadersThenStall:
            if (Write(Head(r, true, false)))
                Stall();
            return;
        case Mode::Drip: {
            if (!Write(Head(r, !r.dripForever, r.dripForever)) || r.body.isEmpty())
                return;
            const qsizetype step = std::max<qsizetype>(r.dripBytes, 1);
            for (qsizetype i = 0; r.dripForever || i < r.body.size(); i += step) {
                if (!Sleep(r.dripIntervalMs) || !Write(r.body.mid(i % r.body.size(), step)))
                    return;
            }
            return;
        }
        case Mode::Endless: {
            if (!Write(Head(r, false, true)))
                return;
            QByteArray block;
            while (block.size() < 16384)
                block += r.body;
            while (!m_state->Stopping() && Write(block)) { }
            return;
        }
        case Mode::Raw:
            Write(r.body);
            return;
        case Mode::CloseMidBody:
        case Mode::ResetMidBody:
            if (Write(Head(r, true, false)))
                Write(r.body.left(std::max<qint64>(r.cutAfterBytes, 0)));
            reset = r.mode == Mode::ResetMidBody;
            return;
        }
    }

    void Finish(bool reset)
    {
        if (m_ssl) {
            if (!reset)
                SSL_shutdown(m_ssl);
            SSL_free(m_ssl);
            m_ssl = nullptr;
        }
        if (reset) {
            linger l { 1, 0 };
            ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        } else {
            // Half-close first so a reply is not lost to a reset caused by unread request bytes.
            ::shutdown(m_fd, SHUT_WR);
        }
        {
            std::lock_guard lock(m_state->mutex);
            m_state->openFds.erase(m_fd);
            ::close(m_fd);
            --m_state->current;
        }
        m_state->changed.notify_all();
    }

    std::shared_ptr<State> m_state;
    int m_fd;
    int m_id;
    SSL* m_ssl = nullptr;
    QByteArray m_buffer;
};

void AcceptLoop(std::shared_ptr<State> state)
{
    for (;;) {
        pollfd fds[2] = { { state->listenFd, POLLIN, 0 }, { state->stopFd, POLLIN, 0 } };
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (fds[1].revents & POLLIN))
            return;
        const int fd = ::accept4(state->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        int id;
        {
            std::lock_guard lock(state->mutex);
            id = ++state->nextId;
            ++state->total;
            ++state->current;
            state->max = std::max(state->max, state->current);
            state->openFds.insert(fd);
        }
        try {
            std::thread([state, fd, id] { Connection(state, fd, id).Run(); }).detach();
        } catch (const std::system_error&) {
            std::lock_guard lock(state->mutex);
            state->openFds.erase(fd);
            ::close(fd);
            --state->current;
        }
    }
}

} // namespace

LoopbackServer::LoopbackServer(Scheme scheme, Family family)
    : m_state(std::make_shared<State>())
{
    // A client that hangs up mid-write must not kill the test process.
    ::signal(SIGPIPE, SIG_IGN);
    m_state->scheme = scheme;
    m_state->family = family;
    m_state->stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (scheme == Https) {
        const TestCertificate& certificate = Certificate();
        m_state->ctx = SSL_CTX_new(TLS_server_method());
        if (!m_state->ctx || !certificate.cert || SSL_CTX_use_certificate(m_state->ctx, certificate.cert) != 1
            || SSL_CTX_use_PrivateKey(m_state->ctx, certificate.key) != 1)
            return;
    }
    const int fd = ::socket(family == IPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage address {};
    socklen_t length;
    if (family == IPv6) {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&address);
        a6->sin6_family = AF_INET6;
        a6->sin6_addr = in6addr_loopback;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        length = sizeof(sockaddr_in6);
    } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
        a4->sin_family = AF_INET;
        a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof(sockaddr_in);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 1024) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return;
    }
    m_state->port = ntohs(family == IPv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                         : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    m_state->listenFd = fd;
    m_state->acceptThread = std::thread(AcceptLoop, m_state);
}

LoopbackServer::~LoopbackServer()
{
    const quint64 one = 1;
    if (::write(m_state->stopFd, &one, sizeof one) < 0) {
        // Without the stop signal the shutdowns below still end every blocked call.
    }
    if (m_state->acceptThread.joinable())
        m_state->acceptThread.join();
    std::unique_lock lock(m_state->mutex);
    for (int fd : m_state->openFds)
        ::shutdown(fd, SHUT_RDWR);
    // Connection threads hold the state themselves, so one that is slow to notice cannot touch freed memory.
    m_state->changed.wait_for(lock, kStopGrace, [this] { return m_state->current == 0; });
}

bool LoopbackServer::IsListening() const
{
    return m_state->listenFd >= 0;
}

quint16 LoopbackServer::Port() const
{
    return m_state->port;
}

QString LoopbackServer::Host() const
{
    return m_state->family == IPv6 ? u"[::1]"_s : u"127.0.0.1"_s;
}

QString LoopbackServer::BaseUrl() const
{
    return (m_state->scheme == Https ? u"https://"_s : u"http://"_s) + Host() + u':' + QString::number(Port());
}

QString LoopbackServer::Url(const QString& pathAndQuery) const
{
    return BaseUrl() + (pathAndQuery.startsWith(u'/') ? pathAndQuery : u'/' + pathAndQuery);
}

void LoopbackServer::Route(const QByteArray& pathOrTarget, const LoopbackResponse& response)
{
    std::lock_guard lock(m_state->mutex);
    m_state->routes.insert(pathOrTarget, response);
}

void LoopbackServer::SetDefault(const LoopbackResponse& response)
{
    std::lock_guard lock(m_state->mutex);
    m_state->defaultResponse = response;
}

void LoopbackServer::SetHandler(LoopbackHandler handler)
{
    std::lock_guard lock(m_state->mutex);
    m_state->handler = std::move(handler);
}

QList<LoopbackRequest> LoopbackServer::Requests() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->requests;
}

int LoopbackServer::RequestCount() const
{
    std::lock_guard lock(m_state->mutex);
    return int(m_state->requests.size());
}

void LoopbackServer::ClearRequests()
{
    std::lock_guard lock(m_state->mutex);
    m_state->requests.clear();
}

bool LoopbackServer::WaitForRequests(int count, int timeoutMs) const
{
    std::unique_lock lock(m_state->mutex);
    return m_state->changed.wait_for(
        lock, std::chrono::milliseconds(timeoutMs), [&] { return m_state->requests.size() >= count; });
}

int LoopbackServer::CurrentConnections() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->current;
}

int LoopbackServer::MaxConnections() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->max;
}

int LoopbackServer::TotalConnections() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->total;
}

int LoopbackServer::TlsFailures() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->tlsFailures;
}

int LoopbackServer::ResumedHandshakes() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->resumedHandshakes;
}

void LoopbackServer::ResetCounters()
{
    std::lock_guard lock(m_state->mutex);
    m_state->max = m_state->current;
    m_state->total = 0;
    m_state->tlsFailures = 0;
    m_state->resumedHandshakes = 0;
}

bool LoopbackServer::UseCertificateChain()
{
    const TestChain& chain = Chain();
    return m_state->ctx && SSL_CTX_use_certificate(m_state->ctx, chain.leaf) == 1
        && SSL_CTX_use_PrivateKey(m_state->ctx, chain.leafKey) == 1
        && SSL_CTX_add1_chain_cert(m_state->ctx, chain.intermediate) == 1;
}

QByteArray LoopbackServer::CertificatePem()
{
    return Certificate().pem;
}

QByteArray LoopbackServer::CertificateKeyPem()
{
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, Certificate().key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    QByteArray pem(data, size);
    BIO_free(bio);
    return pem;
}

quint16 ClosedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    quint16 port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

namespace {

QByteArray Compress(const QByteArray& data, int windowBits)
{
    z_stream stream {};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray out(qsizetype(deflateBound(&stream, uLong(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return result == Z_STREAM_END ? out : QByteArray();
}

} // namespace

QByteArray GzipCompress(const QByteArray& data)
{
    return Compress(data, 15 + 16);
}

QByteArray DeflateCompress(const QByteArray& data, bool zlibWrapper)
{
    return Compress(data, zlibWrapper ? 15 : -15);
}
