#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <utility>

// Loopback HTTP/HTTPS server for tests. It listens on 127.0.0.1 (or ::1) on a port the OS picks, runs on
// threads of its own (one per connection, so hundreds of clients at once), answers every request by a
// scripted LoopbackResponse and records what it saw. No Qt event loop is needed in the test thread.
//
//   LoopbackServer server;                                   // or LoopbackServer(LoopbackServer::Https)
//   server.Route("/moved", LoopbackResponse::Redirect(302, "/target"));
//   server.Route("/slow", LoopbackResponse::Ok("late").Delay(2000));
//   server.SetDefault(LoopbackResponse::Status(404));
//   QueryStatus(server.Url("/moved"));                        // "http://127.0.0.1:<port>/moved"
//   server.Requests().last().target                           // "/moved", as sent on the request line
//
// The destructor stops every connection (stalled and dripping ones too) within a bounded time.

// One header line as sent, name case kept.
using LoopbackHeader = std::pair<QByteArray, QByteArray>;

struct LoopbackRequest
{
    QByteArray method;
    QByteArray target; // exactly as on the request line: "/path?query"
    QByteArray version; // "HTTP/1.1"
    QList<LoopbackHeader> headers;
    QByteArray body; // Content-Length or chunked bodies, decoded
    int connectionId = 0; // connections are numbered from 1 in accept order; reused connections repeat it

    // First header of that name (case-insensitive), empty if absent.
    QByteArray Header(const QByteArray& name) const;
    bool HasHeader(const QByteArray& name) const;
    QByteArray Path() const; // target without the query
};

struct LoopbackResponse
{
    enum class Mode {
        Normal, // status line, headers, body
        Stall, // read the request, never answer
        HeadersThenStall, // status line and headers (with the body's Content-Length), then nothing
        Drip, // status line and headers, then the body dripBytes at a time every dripIntervalMs
        Endless, // status line and headers without length, then `body` repeated forever
        Raw, // `body` is the whole reply, sent as is, then close
        CloseMidBody, // full Content-Length, only cutAfterBytes of the body, then a normal close
        ResetMidBody, // as CloseMidBody, then a reset (RST)
    };

    int status = 200;
    QByteArray reason; // empty: the usual phrase for the status
    QList<LoopbackHeader> headers; // sent in this order; Content-Length is added unless given or chunked
    QByteArray body;
    Mode mode = Mode::Normal;
    int delayMs = 0; // wait this long after the request before sending anything
    int dripIntervalMs = 100;
    bool dripForever = false; // Drip: keep sending the body's bytes over and over
    qsizetype dripBytes = 1;
    qint64 cutAfterBytes = 0;
    bool chunked = false; // send the body with Transfer-Encoding: chunked
    bool closeConnection = false; // send "Connection: close" and close after the reply

    static LoopbackResponse Ok(const QByteArray& body = "OK", const QByteArray& contentType = "text/html");
    static LoopbackResponse Status(int status, const QByteArray& body = {});
    static LoopbackResponse Redirect(int status, const QByteArray& location);
    static LoopbackResponse Stall();
    static LoopbackResponse HeadersThenStall(int status = 200, const QByteArray& body = "never sent");
    static LoopbackResponse Drip(const QByteArray& body, int intervalMs, bool endless = false);
    static LoopbackResponse Endless(const QByteArray& pattern = "0123456789abcdef");
    static LoopbackResponse Raw(const QByteArray& bytes); // Raw({}) closes without a byte
    static LoopbackResponse CloseMidBody(const QByteArray& body, qint64 cutAfter);
    static LoopbackResponse ResetMidBody(const QByteArray& body, qint64 cutAfter);

    LoopbackResponse& Header(const QByteArray& name, const QByteArray& value);
    LoopbackResponse& Delay(int ms);
    LoopbackResponse& Chunked(bool on = true);
    LoopbackResponse& Close(bool on = true);
};

// Answers a request with a response; called on the connection's thread, so it must be thread-safe.
using LoopbackHandler = std::function<LoopbackResponse(const LoopbackRequest&)>;

class LoopbackServer final
{
public:
    enum Scheme { Http, Https };
    enum Family { IPv4, IPv6 };

    explicit LoopbackServer(Scheme scheme = Http, Family family = IPv4);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    bool IsListening() const; // false if the socket could not be set up (the tests should QVERIFY it)
    quint16 Port() const;
    QString Host() const; // "127.0.0.1" or "[::1]"
    QString BaseUrl() const; // "http://127.0.0.1:<port>" / "https://[::1]:<port>"
    QString Url(const QString& pathAndQuery = QStringLiteral("/")) const;

    // Lookup order: handler (if set), then the route of the exact target, then of the path, then the default.
    void Route(const QByteArray& pathOrTarget, const LoopbackResponse& response);
    void SetDefault(const LoopbackResponse& response); // initially Ok("OK")
    void SetHandler(LoopbackHandler handler);

    QList<LoopbackRequest> Requests() const;
    int RequestCount() const;
    void ClearRequests();
    // Waits (on the calling thread) until at least `count` requests arrived; false on time-out.
    bool WaitForRequests(int count, int timeoutMs) const;

    int CurrentConnections() const;
    int MaxConnections() const; // the most connections open at the same moment
    int TotalConnections() const; // accepted so far, TLS handshakes that failed included
    int TlsFailures() const; // handshakes that did not complete (the client rejected the certificate)
    int ResumedHandshakes() const; // handshakes that resumed an earlier session
    void ResetCounters(); // max := current, total := 0, TLS failures and resumed := 0

    // The self-signed certificate (PEM) of HTTPS servers, for clients that want to trust it.
    static QByteArray CertificatePem();
    static QByteArray CertificateKeyPem(); // its private key, for servers of other protocols

    // HTTPS only, before the first connection: serve a leaf valid for kChainLeafDays with its intermediate,
    // both issued under a root no client trusts.
    static constexpr long kChainLeafDays = 400;
    bool UseCertificateChain();

    struct State;

private:
    std::shared_ptr<State> m_state;
};

// A port on 127.0.0.1 that nothing listens on (bound, read and closed again).
quint16 ClosedPort();

// gzip (RFC 1952) and raw deflate (RFC 1951) encodings of data, for Content-Encoding tests.
QByteArray GzipCompress(const QByteArray& data);
QByteArray DeflateCompress(const QByteArray& data, bool zlibWrapper = true);
