#pragma once

// Servers that misbehave in every way a monitored site can, all on loopback, for the hostile-server suites
// of the HTTP client and of the site check. Header-only: both test executables include it.

#include "support/loopback_server.h"
#include "support/process_probe.h"
#include "support/slack.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

// Names under ".hang.test" take this long to look up, as for a domain whose name servers never answer. The
// test executable's own getaddrinfo comes before the C library's, so libcurl's resolver threads call this one;
// every other name goes to the real lookup. Nothing is sent anywhere.
inline constexpr int kHangingLookupMs = 6000;

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result)
{
    using Lookup = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto next = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node && QByteArrayView(node).endsWith(".hang.test")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kHangingLookupMs));
        return EAI_AGAIN;
    }
    return next ? next(node, service, hints, result) : EAI_FAIL;
}

// The text every well-behaved page of the farm carries; the content condition looks for it.
inline const QString kHostileKeyword = u"patrol-mark"_s;

// A TCP server that accepts connections and then never says a word, or only the first bytes of a TLS
// record: a server stuck before its HTTP reply or in the middle of a TLS handshake.
class SilentServer final
{
public:
    explicit SilentServer(QByteArray greeting = {})
        : m_greeting(std::move(greeting))
    {
        m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(m_listenFd, 128) != 0
            || ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ::close(m_listenFd);
            m_listenFd = -1;
            return;
        }
        m_port = ntohs(address.sin_port);
        if (::pipe2(m_stopPipe, O_CLOEXEC) != 0)
            return;
        m_thread = std::thread([this] { AcceptLoop(); });
    }

    ~SilentServer()
    {
        if (m_thread.joinable()) {
            const char stop = 1;
            [[maybe_unused]] const auto written = ::write(m_stopPipe[1], &stop, 1);
            m_thread.join();
        }
        for (int fd : m_connections)
            ::close(fd);
        for (int fd : m_stopPipe) {
            if (fd >= 0)
                ::close(fd);
        }
        if (m_listenFd >= 0)
            ::close(m_listenFd);
    }

    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    bool IsListening() const { return m_thread.joinable(); }
    QString Url(const QString& scheme) const { return u"%1://127.0.0.1:%2/"_s.arg(scheme).arg(m_port); }
    int Accepted() const
    {
        std::lock_guard lock(m_mutex);
        return int(m_connections.size());
    }

private:
    void AcceptLoop()
    {
        for (;;) {
            pollfd fds[2] = { { m_listenFd, POLLIN, 0 }, { m_stopPipe[0], POLLIN, 0 } };
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return;
            if (fds[1].revents & POLLIN)
                return;
            if (!(fds[0].revents & POLLIN))
                continue;
            const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            if (!m_greeting.isEmpty()) [[maybe_unused]]
                const auto sent = ::send(fd, m_greeting.constData(), size_t(m_greeting.size()), MSG_NOSIGNAL);
            // Kept open and never read: the client's bytes pile up in the kernel and nothing comes back.
            std::lock_guard lock(m_mutex);
            m_connections.push_back(fd);
        }
    }

    QByteArray m_greeting;
    int m_listenFd = -1;
    int m_stopPipe[2] = { -1, -1 };
    quint16 m_port = 0;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<int> m_connections;
};

// gzip of `size` zero bytes, made in pieces so the test itself never holds the inflated bomb.
inline QByteArray GzipBomb(qint64 size)
{
    z_stream stream {};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray zeros(1 << 20, '\0');
    QByteArray out;
    char buffer[1 << 16];
    for (qint64 left = size; left > 0 || stream.avail_in > 0;) {
        int flush = Z_NO_FLUSH;
        if (stream.avail_in == 0) {
            const qint64 piece = std::min<qint64>(left, zeros.size());
            stream.next_in = reinterpret_cast<Bytef*>(zeros.data());
            stream.avail_in = uInt(piece);
            left -= piece;
        }
        if (left == 0)
            flush = Z_FINISH;
        do {
            stream.next_out = reinterpret_cast<Bytef*>(buffer);
            stream.avail_out = sizeof buffer;
            deflate(&stream, flush);
            out.append(buffer, qsizetype(sizeof buffer - stream.avail_out));
        } while (stream.avail_out == 0);
        if (flush == Z_FINISH)
            break;
    }
    deflateEnd(&stream);
    return out;
}

// What a well-behaved client must make of one hostile site.
struct HostileSite
{
    QString name;
    QString url;
    // QueryStatus's result (the status column's code).
    int status = 0;
    // Keyword position the content condition reports: -1 not found, > 0 found at that GB18030 byte.
    int found = -1;
};

// All the hostile servers, each behaviour on a path of its own.
class HostileFarm final
{
public:
    HostileFarm()
        : m_https(LoopbackServer::Https)
        , m_silentTls("\x16\x03\x03\x00")
    {
        const QByteArray page = "<html>" + kHostileKeyword.toUtf8() + "</html>";
        m_http.Route("/stall", LoopbackResponse::Stall());
        m_http.Route("/headers-stall", LoopbackResponse::HeadersThenStall(200, page));
        m_http.Route("/drip", LoopbackResponse::Drip(page, 2000, true));
        m_http.Route("/endless", LoopbackResponse::Endless("0123456789abcdef"));
        QByteArray hugeHead = "HTTP/1.1 200 OK\r\n";
        for (int i = 0; hugeHead.size() < (1 << 20); ++i)
            hugeHead += "X-Pad-" + QByteArray::number(i) + ": " + QByteArray(1000, 'p') + "\r\n";
        m_http.Route("/huge-headers", LoopbackResponse::Raw(hugeHead + "Content-Length: 23\r\n\r\n" + page));
        m_http.Route("/garbage-status", LoopbackResponse::Raw("HTTP/1.1 OK ABC\r\nContent-Length: 2\r\n\r\nhi"));
        m_http.Route("/binary-status", LoopbackResponse::Raw(QByteArray("\x00\xff\xfe HTTP junk\r\n\r\n", 17) + page));
        m_http.Route("/http09", LoopbackResponse::Raw(page));
        m_http.Route("/continue-close", LoopbackResponse::Raw("HTTP/1.1 100 Continue\r\n\r\n"));
        m_http.Route("/reset-mid-body", LoopbackResponse::ResetMidBody(page + QByteArray(100000, 'x'), 40));
        m_http.Route("/gzip-bomb",
            LoopbackResponse::Ok(GzipBomb(qint64(512) << 20), "text/html").Header("Content-Encoding", "gzip"));
        m_http.Route("/redirect-loop", LoopbackResponse::Redirect(302, "/redirect-loop"));
        m_http.Route("/redirect-file", LoopbackResponse::Redirect(301, "file:///etc/passwd"));
        m_http.Route(
            "/bad-chunks", LoopbackResponse::Raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nZZ\r\n" + page));
        m_http.Route("/bogus-gzip", LoopbackResponse::Ok(page, "text/html").Header("Content-Encoding", "gzip"));
        m_http.Route("/bad-utf8", LoopbackResponse::Ok("ab\xff\xfe" + page, "text/html; charset=utf-8"));
        m_http.Route("/bad-gbk", LoopbackResponse::Ok("\x81\x20\xfe" + page, "text/html; charset=gb2312"));
        m_http.Route("/odd-utf16",
            LoopbackResponse::Ok(QByteArray("\xff\xfe"
                                            "a\0b\0c",
                                     7),
                "text/html; charset=utf-16"));
        m_http.Route("/unknown-charset", LoopbackResponse::Ok(page, "text/html; charset=x-no-such-thing"));
        m_http.Route("/ok", LoopbackResponse::Ok(page));
        // The status probe rejects the self-signed certificate; the page fetch accepts it and then waits.
        m_https.Route("/handshake-done-stall", LoopbackResponse::Stall());
    }

    bool IsListening() const
    {
        return m_http.IsListening() && m_https.IsListening() && m_silent.IsListening() && m_silentTls.IsListening();
    }

    // The sites with what a status probe and a keyword search for kHostileKeyword must make of them.
    QList<HostileSite> Sites() const
    {
        return {
            { u"name lookup hangs"_s, u"http://site.hang.test:%1/"_s.arg(m_http.Port()), 0, -1 },
            { u"accepts, never answers"_s, m_silent.Url(u"http"_s), 0, -1 },
            { u"TLS handshake stalls"_s, m_silent.Url(u"https"_s), 0, -1 },
            { u"TLS hello cut short, then silence"_s, m_silentTls.Url(u"https"_s), 0, -1 },
            { u"untrusted certificate, request never answered"_s, m_https.Url(u"/handshake-done-stall"_s), 0, -1 },
            { u"reads the request, never answers"_s, m_http.Url(u"/stall"_s), 0, -1 },
            { u"headers then stall"_s, m_http.Url(u"/headers-stall"_s), 200, -1 },
            { u"a byte every 2 s"_s, m_http.Url(u"/drip"_s), 200, -1 },
            { u"endless body"_s, m_http.Url(u"/endless"_s), 200, -1 },
            { u"1 MB of headers"_s, m_http.Url(u"/huge-headers"_s), 0, -1 },
            { u"garbage status line"_s, m_http.Url(u"/garbage-status"_s), 0, -1 },
            { u"binary status line"_s, m_http.Url(u"/binary-status"_s), 0, -1 },
            { u"HTTP/0.9 reply"_s, m_http.Url(u"/http09"_s), 0, -1 },
            { u"100 Continue, then close"_s, m_http.Url(u"/continue-close"_s), 100, -1 },
            { u"reset in the body"_s, m_http.Url(u"/reset-mid-body"_s), 200, 7 },
            { u"gzip bomb"_s, m_http.Url(u"/gzip-bomb"_s), 200, -1 },
            { u"redirect loop"_s, m_http.Url(u"/redirect-loop"_s), 302, -1 },
            // Followed by the page fetch only to http and https: a local file is never read.
            { u"redirect to a local file"_s, m_http.Url(u"/redirect-file"_s), 301, -1 },
            { u"malformed chunks"_s, m_http.Url(u"/bad-chunks"_s), 200, -1 },
            { u"gzip that is not"_s, m_http.Url(u"/bogus-gzip"_s), 200, -1 },
            // The invalid bytes turn into U+FFFD, four GB18030 bytes each.
            { u"invalid UTF-8"_s, m_http.Url(u"/bad-utf8"_s), 200, 2 + 4 + 4 + 7 },
            { u"invalid GBK"_s, m_http.Url(u"/bad-gbk"_s), 200, 4 + 1 + 4 + 7 },
            { u"odd-length UTF-16"_s, m_http.Url(u"/odd-utf16"_s), 200, -1 },
            { u"unknown charset"_s, m_http.Url(u"/unknown-charset"_s), 200, 7 },
            { u"well-behaved"_s, m_http.Url(u"/ok"_s), 200, 7 },
        };
    }

private:
    LoopbackServer m_http;
    LoopbackServer m_https;
    SilentServer m_silent;
    SilentServer m_silentTls;
};

// One hostile test's frame: the farm, and the threads and peak memory the process had before it, so every
// suite holds the hostile sites to the same memory bound and finds every thread they caused gone afterwards.
class HostileFarmRun final
{
public:
    HostileFarmRun()
        : m_threadsBefore(ThreadCount())
        , m_farm(std::make_unique<HostileFarm>())
        , m_sites(m_farm->Sites())
        , m_peakBeforeKiB(SelfStatusKiB("VmHWM:"))
    { }

    bool IsListening() const { return m_farm && m_farm->IsListening(); }
    const QList<HostileSite>& Sites() const { return m_sites; }
    int ThreadsBefore() const { return m_threadsBefore; }

    // A few pages of text and capped bodies at once; without the body caps the gzip bomb alone takes 512 MB.
    bool PeakMemoryStayedBounded() const
    {
        const qint64 grownMiB = (SelfStatusKiB("VmHWM:") - m_peakBeforeKiB) / 1024;
        qInfo("peak memory grew by %lld MiB", grownMiB);
        return grownMiB < Instrumented(300);
    }

    // Stops the farm and waits a bounded time for the threads of the servers and the checks to leave; the
    // count then, to compare with ThreadsBefore().
    int StopAndCountThreads()
    {
        m_farm.reset();
        return SettledThreadCount(m_threadsBefore);
    }

private:
    int m_threadsBefore;
    std::unique_ptr<HostileFarm> m_farm;
    QList<HostileSite> m_sites;
    qint64 m_peakBeforeKiB;
};
