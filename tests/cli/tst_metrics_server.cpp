// The metrics server against real clients over loopback: what it answers, the bounds that keep slow or many
// clients from locking scrapers out, and TLS with basic auth from a web configuration file.

#include "cli/metrics_server.h"
#include "cli/web_config.h"
#include "support/test_files.h"

#include <QFile>
#include <QProcess>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <crypt.h>

#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

struct Reply
{
    QByteArray data;
    bool closed = false;
};

// The server runs on this thread: every wait spins the event loop.
// Sends the bytes and reads until the server closes or one whole answer (by its Content-Length) is in.
Reply Talk(QTcpSocket& socket, const QByteArray& request, int timeoutMs = 10000)
{
    Reply reply;
    socket.write(request);
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        const qsizetype end = reply.data.indexOf("\r\n\r\n");
        const qsizetype length = reply.data.indexOf("Content-Length: ");
        if (end > 0 && length > 0 && length < end
            && reply.data.size() >= end + 4 + reply.data.mid(length + 16, 12).split('\r').first().toLongLong())
            break;
        if (socket.state() != QAbstractSocket::ConnectedState) {
            reply.closed = true;
            break;
        }
        QTest::qWait(10);
        reply.data += socket.readAll();
    }
    reply.data += socket.readAll();
    return reply;
}

Reply TalkOnce(quint16 port, const QByteArray& request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return {};
    Reply reply = Talk(socket, request);
    // An answer that asks to close is followed by the close.
    if (!reply.closed && reply.data.contains("Connection: close"))
        reply.closed = QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 5000);
    return reply;
}

QByteArray BcryptHash(const QByteArray& password)
{
    char setting[CRYPT_GENSALT_OUTPUT_SIZE] = {};
    crypt_data data {};
    crypt_gensalt_rn("$2b$", WebConfig::kMinBcryptCost, nullptr, 0, setting, int(sizeof setting));
    return crypt_rn(password.constData(), setting, &data, int(sizeof data));
}

} // namespace

class TestMetricsServer final : public QObject
{
    Q_OBJECT

private slots:
    void answersMethodsPathsAndVersions();
    void slowAndManyClientsCannotLockScrapersOut();
    void concurrentScrapesShareOnePage();
    void tlsAndBasicAuthFromWebConfig();
    void badWebConfigsAreRefused();
};

void TestMetricsServer::answersMethodsPathsAndVersions()
{
    MetricsServer server([] { return QByteArray("patrol_sites 7\n"); });
    QString error;
    QVERIFY2(server.Listen(u"127.0.0.1"_s, 0, &error), qPrintable(error));
    const quint16 port = server.Port();

    // Keep-alive over HTTP/1.1: two answers on one connection.
    QTcpSocket keep;
    keep.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(keep.waitForConnected(5000));
    for (int i = 0; i < 2; ++i) {
        const Reply reply = Talk(keep, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
        QVERIFY2(reply.data.startsWith("HTTP/1.1 200 OK\r\n"), reply.data.constData());
        QVERIFY(reply.data.contains("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"));
        QVERIFY(reply.data.endsWith("\r\n\r\npatrol_sites 7\n"));
        QVERIFY(!reply.closed);
    }

    const Reply head = TalkOnce(port, "HEAD /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QVERIFY2(head.data.startsWith("HTTP/1.1 200 OK\r\n"), head.data.constData());
    QVERIFY(head.data.contains("Content-Length: 15\r\n"));
    QVERIFY(head.data.endsWith("\r\n\r\n"));

    const Reply old = TalkOnce(port, "GET / HTTP/1.0\r\n\r\n");
    QVERIFY2(old.data.startsWith("HTTP/1.0 200 OK\r\n") && old.data.contains("</html>"), old.data.constData());
    QVERIFY(old.closed);

    for (const QByteArray method : { "OPTIONS", "TRACE", "get", "POST", "PUT", "DELETE" }) {
        const Reply reply = TalkOnce(port, method + " /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
        QVERIFY2(reply.data.startsWith("HTTP/1.1 405 ") && reply.data.contains("Allow: GET, HEAD\r\n"), method);
    }
    QVERIFY(TalkOnce(port, "GET /metrics/x HTTP/1.1\r\n\r\n").data.startsWith("HTTP/1.1 404 "));
    // Routes: exact paths, the longest prefix, the query and headers handed over; /metrics stays the page.
    QByteArray seen;
    server.Route("/api/", [&seen](const WebRequest& r) {
        seen = r.method + ' ' + r.path + " ? " + r.query + " | " + r.headers.value("accept-encoding");
        return WebAnswer { 503, "application/json", "{}", "Retry-After: 1\r\n" };
    });
    server.Route("/api/sites/", [](const WebRequest&) { return WebAnswer { 200, "text/plain", "site", {} }; });
    server.Route("/metrics", [](const WebRequest&) { return WebAnswer { 500, "text/plain", "", {} }; });
    const Reply routed = TalkOnce(port, "GET /api/x?q=%3C HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n");
    QVERIFY2(routed.data.startsWith("HTTP/1.1 503 ") && routed.data.contains("Retry-After: 1\r\n"), routed.data);
    QCOMPARE(seen, "GET /api/x ? q=%3C | gzip");
    QVERIFY(TalkOnce(port, "HEAD /api/sites/7 HTTP/1.1\r\n\r\n").data.contains("Content-Length: 4\r\n"));
    QVERIFY(TalkOnce(port, "GET /api HTTP/1.1\r\n\r\n").data.startsWith("HTTP/1.1 404 "));
    QVERIFY(TalkOnce(port, "GET /metrics HTTP/1.1\r\n\r\n").data.endsWith("patrol_sites 7\n"));
    QVERIFY(TalkOnce(port, "GET /metrics HTTP/2.0\r\n\r\n").data.startsWith("HTTP/1.1 505 "));
    QVERIFY(TalkOnce(port, "nonsense\r\n\r\n").data.startsWith("HTTP/1.1 400 "));

    // A TLS hello on the plain port is dropped without an answer.
    const Reply hello = TalkOnce(port, QByteArray::fromHex("16030100a5010000a10303"));
    QVERIFY(hello.closed);
    QVERIFY(hello.data.isEmpty());

    // A body that never ends is not read; requests pipelined behind each other close without a render.
    const Reply endless
        = TalkOnce(port, "POST /metrics HTTP/1.1\r\nContent-Length: 1000000000\r\n\r\n" + QByteArray(4096, 'a'));
    QVERIFY(endless.data.startsWith("HTTP/1.1 405 ") && endless.closed);
    int renders = 0;
    MetricsServer counted([&renders] {
        ++renders;
        return QByteArray("patrol_sites 1\n");
    });
    QVERIFY(counted.Listen(u"127.0.0.1"_s, 0, &error));
    const Reply pipelined
        = TalkOnce(counted.Port(), QByteArray("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n").repeated(50));
    QVERIFY(pipelined.closed && pipelined.data.isEmpty());
    QCOMPARE(renders, 0);
    keep.close();
    QTRY_COMPARE(server.OpenConnections() + counted.OpenConnections(), 0);

    MetricsServer taken([] { return QByteArray(); });
    QVERIFY(!taken.Listen(u"127.0.0.1"_s, port, &error));
    QVERIFY(error.contains(QString::number(port)));
}

void TestMetricsServer::slowAndManyClientsCannotLockScrapersOut()
{
    MetricsServer server([] { return QByteArray("patrol_sites 7\n"); });
    server.SetTimeouts(1500, 1500);
    QString error;
    QVERIFY2(server.Listen(u"127.0.0.1"_s, 0, &error), qPrintable(error));

    // Clients dripping a header byte at a time from five addresses: each address gets a few slots, the pool
    // fills up, and the rest are closed at once.
    std::vector<std::unique_ptr<QTcpSocket>> drips;
    for (int i = 0; i < MetricsServer::kMaxConnections + 8; ++i) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->bind(QHostAddress(u"127.0.0.%1"_s.arg(2 + i % 5)));
        socket->connectToHost(QHostAddress::LocalHost, server.Port());
        drips.push_back(std::move(socket));
    }
    QTRY_COMPARE(server.OpenConnections(), MetricsServer::kMaxConnections);
    QTcpSocket sixth;
    sixth.bind(QHostAddress(u"127.0.0.2"_s));
    sixth.connectToHost(QHostAddress::LocalHost, server.Port());
    QVERIFY(sixth.waitForConnected(5000));
    QTRY_COMPARE(sixth.state(), QAbstractSocket::UnconnectedState);

    // Dripping does not buy time: the deadline counts from the accept, and then a scraper gets in.
    QElapsedTimer timer;
    timer.start();
    while (server.OpenConnections() > 0 && timer.elapsed() < 5000) {
        for (auto& socket : drips) {
            if (socket->state() == QAbstractSocket::ConnectedState)
                socket->write("G");
        }
        QTest::qWait(100);
    }
    QCOMPARE(server.OpenConnections(), 0);
    QVERIFY(timer.elapsed() < 3000);
    QVERIFY(TalkOnce(server.Port(), "GET /metrics HTTP/1.1\r\n\r\n").data.endsWith("patrol_sites 7\n"));
}

void TestMetricsServer::concurrentScrapesShareOnePage()
{
    // Readers that never read: the page is rendered once and held once, not once per reader.
    int renders = 0;
    const QByteArray page(24 * 1024 * 1024, 'x');
    MetricsServer server([&] {
        ++renders;
        return page;
    });
    QString error;
    QVERIFY2(server.Listen(u"127.0.0.1"_s, 0, &error), qPrintable(error));
    auto residentKb = [] {
        QFile status(u"/proc/self/status"_s);
        if (!status.open(QIODevice::ReadOnly))
            return qint64(-1);
        const QByteArray text = status.readAll();
        const qsizetype at = text.indexOf("VmRSS:");
        return text.mid(at + 6, 20).trimmed().split(' ').first().toLongLong();
    };
    const qint64 before = residentKb();
    std::vector<std::unique_ptr<QTcpSocket>> readers;
    for (int i = 0; i < 8; ++i) {
        readers.push_back(std::make_unique<QTcpSocket>());
        readers.back()->setReadBufferSize(1);
        readers.back()->bind(QHostAddress(u"127.0.0.%1"_s.arg(2 + i % 2)));
        readers.back()->connectToHost(QHostAddress::LocalHost, server.Port());
        QVERIFY(readers.back()->waitForConnected(5000));
        readers.back()->write("GET /metrics HTTP/1.1\r\n\r\n");
    }
    QTRY_VERIFY(server.OpenConnections() == 8);
    QTest::qWait(1000);
    QCOMPARE(renders, 1);
    const qint64 grownMb = (residentKb() - before) / 1024;
    QVERIFY2(grownMb < 2 * page.size() / (1024 * 1024), qPrintable(QString::number(grownMb)));
}

void TestMetricsServer::tlsAndBasicAuthFromWebConfig()
{
    QTemporaryDir dir;
    QProcess openssl;
    openssl.setWorkingDirectory(dir.path());
    openssl.start(u"openssl"_s,
        { u"req"_s, u"-x509"_s, u"-newkey"_s, u"ec"_s, u"-pkeyopt"_s, u"ec_paramgen_curve:P-256"_s, u"-nodes"_s,
            u"-keyout"_s, u"key.pem"_s, u"-out"_s, u"cert.pem"_s, u"-days"_s, u"2"_s, u"-subj"_s, u"/CN=127.0.0.1"_s });
    QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);
    QVERIFY(WriteFileBytes(dir.filePath(u"web.yml"_s),
        "tls_server_config:\n  cert_file: cert.pem\n  key_file: key.pem\nbasic_auth_users:\n  prom: "
            + BcryptHash("s3cret") + "\n"));
    WebConfig config;
    QString error;
    QVERIFY2(LoadWebConfig(dir.filePath(u"web.yml"_s), &config, &error), qPrintable(error));

    MetricsServer server([] { return QByteArray("patrol_sites 7\n"); });
    server.SetWebConfig(config);
    QVERIFY2(server.Listen(u"127.0.0.1"_s, 0, &error), qPrintable(error));
    QVERIFY(server.MetricsUrl().startsWith(u"https://"_s));
    auto scrape = [&](const QByteArray& authorization) {
        QSslSocket socket;
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.connectToHostEncrypted(u"127.0.0.1"_s, server.Port());
        if (!QTest::qWaitFor([&] { return socket.isEncrypted(); }, 10000))
            return QByteArray("no handshake");
        return Talk(socket, "GET /metrics HTTP/1.1\r\nHost: x\r\n" + authorization + "\r\n").data;
    };
    QVERIFY(scrape({}).startsWith("HTTP/1.1 401 "));
    QVERIFY(scrape({}).contains("WWW-Authenticate: Basic realm=\"patrol-lamp\"\r\n"));
    QVERIFY(scrape("Authorization: Basic " + QByteArray("prom:wrong").toBase64() + "\r\n").startsWith("HTTP/1.1 401 "));
    QVERIFY(
        scrape("Authorization: Basic " + QByteArray("nobody:s3cret").toBase64() + "\r\n").startsWith("HTTP/1.1 401 "));
    for (int i = 0; i < 2; ++i) {
        const QByteArray ok = scrape("Authorization: Basic " + QByteArray("prom:s3cret").toBase64() + "\r\n");
        QVERIFY2(ok.startsWith("HTTP/1.1 200 ") && ok.endsWith("patrol_sites 7\n"), ok.constData());
    }
    // Plain HTTP on the TLS port gets no answer.
    const Reply plain = TalkOnce(server.Port(), "GET /metrics HTTP/1.1\r\n\r\n");
    QVERIFY(plain.closed && !plain.data.startsWith("HTTP/1.1 200"));
}

void TestMetricsServer::badWebConfigsAreRefused()
{
    QTemporaryDir dir;
    QProcess openssl;
    openssl.setWorkingDirectory(dir.path());
    openssl.start(u"openssl"_s,
        { u"req"_s, u"-x509"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-keyout"_s, u"rsa.pem"_s, u"-out"_s,
            u"cert.pem"_s, u"-days"_s, u"2"_s, u"-subj"_s, u"/CN=x"_s });
    QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);
    openssl.start(
        u"openssl"_s, { u"ecparam"_s, u"-genkey"_s, u"-name"_s, u"prime256v1"_s, u"-noout"_s, u"-out"_s, u"ec.pem"_s });
    QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);
    const QByteArray tls = "tls_server_config:\n  cert_file: cert.pem\n  key_file: rsa.pem\n";
    const QByteArray hash = BcryptHash("pw");
    const struct
    {
        QByteArray text;
        const char* complaint;
    } cases[] = {
        { "tls_server_config:\n  cert_file: cert.pem\n", "key_file" },
        { "tls_server_config:\n  cert_file: cert.pem\n  key_file: missing.pem\n", "missing.pem" },
        { "tls_server_config:\n  cert_file: cert.pem\n  key_file: ec.pem\n", "不匹配" },
        { tls + "  min_version: TLS10\n", "TLS10" },
        { tls + "  client_ca_file: ca.pem\n", "client_ca_file" },
        { tls + "basic_auth_users:\n  prom: $1$abc$abcdefghijklmnopqrstuv\n", "bcrypt" },
        { tls + "basic_auth_users:\n  prom: " + hash.left(4) + "04" + hash.mid(6) + "\n", "代价" },
        { "basic_auth_users:\n  prom: " + hash + "\n", "tls_server_config" },
        { tls + "http_server_config: {}\n", "http_server_config" },
        { "tls_server_config: [\n", "" },
    };
    for (const auto& c : cases) {
        QVERIFY(WriteFileBytes(dir.filePath(u"web.yml"_s), c.text));
        WebConfig config;
        QString error;
        QVERIFY2(!LoadWebConfig(dir.filePath(u"web.yml"_s), &config, &error), c.text.constData());
        QVERIFY2(error.contains(QString::fromUtf8(c.complaint)), qPrintable(error));
    }
    QVERIFY(WriteFileBytes(dir.filePath(u"web.yml"_s), tls + "basic_auth_users:\n  prom: " + hash + "\n"));
    WebConfig config;
    QString error;
    QVERIFY2(LoadWebConfig(dir.filePath(u"web.yml"_s), &config, &error), qPrintable(error));
    QVERIFY(config.HasTls() && config.HasAuth());

    // The command refuses to start on a bad file, with status 3 and the reason.
    QVERIFY(WriteFileBytes(dir.filePath(u"bad.yml"_s), "tls_server_config:\n  cert_file: cert.pem\n"));
    QVERIFY(WriteFileBytes(dir.filePath(u"sites.txt"_s), "http://127.0.0.1:1/\n"));
    QProcess program;
    program.start(QStringLiteral(PATROL_BINARY),
        { u"--headless"_s, u"--sites"_s, dir.filePath(u"sites.txt"_s), u"--no-history"_s, u"--listen"_s,
            u"127.0.0.1:0"_s, u"--web-config"_s, dir.filePath(u"bad.yml"_s) });
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitCode(), 3);
    QVERIFY(QString::fromUtf8(program.readAllStandardError()).contains(u"key_file"_s));
}

QTEST_GUILESS_MAIN(TestMetricsServer)
#include "tst_metrics_server.moc"
