#include "http/curl_global.h"
#include "http/http_client.h"
#include "http/url_text.h"

#include "support/loopback_server.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// Restores an environment variable when the test ends, however it ends.
class EnvGuard
{
public:
    EnvGuard(const char* name, const QByteArray& value)
        : m_name(name)
        , m_old(qgetenv(name))
        , m_had(qEnvironmentVariableIsSet(name))
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~EnvGuard()
    {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }

private:
    const char* m_name;
    QByteArray m_old;
    bool m_had;
};

LoopbackResponse ProxyAskingForCredentials()
{
    return LoopbackResponse::Status(407).Header("Proxy-Authenticate", "Basic realm=\"proxy\"");
}

} // namespace

class TestHttpClient : public QObject
{
    Q_OBJECT

private slots:
    void normalizeUrl_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty") << QString() << QString();
        QTest::newRow("no scheme") << u"example.com/a"_s << u"http://example.com/a"_s;
        QTest::newRow("capital https kept") << u"HTTPS://example.com"_s << u"HTTPS://example.com"_s;
        QTest::newRow("mixed http kept") << u"hTtP://example.com"_s << u"hTtP://example.com"_s;
        QTest::newRow("fragment cut at the first #") << u"http://a/b?c=1#x#y"_s << u"http://a/b?c=1"_s;
        QTest::newRow("other scheme gets http in front") << u"ftp://a"_s << u"http://ftp://a"_s;
        QTest::newRow("only a fragment") << u"#top"_s << u"http://"_s;
    }

    void normalizeUrl()
    {
        QFETCH(QString, url);
        QFETCH(QString, expected);
        QCOMPARE(HttpClient::NormalizeUrl(url), expected);
    }

    void proxyForUrl_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain serves http") << u" p:1 "_s << u"http://a/"_s << u"p:1"_s;
        QTest::newRow("plain serves https") << u"p:1"_s << u"HTTPS://a/"_s << u"p:1"_s;
        QTest::newRow("scheme entry") << u"http=h:1; HTTPS = s:2"_s << u"https://a/"_s << u"s:2"_s;
        QTest::newRow("no scheme counts as http") << u"https=s:2;http=h:1"_s << u"a:8080/x"_s << u"h:1"_s;
        QTest::newRow("other scheme only: direct") << u"https=s:2"_s << u"http://a/"_s << QString();
        QTest::newRow("plain entry beside others") << u"ftp=f:3;p:1"_s << u"http://a/"_s << u"p:1"_s;
        QTest::newRow("empty") << QString() << u"http://a/"_s << QString();
    }

    void proxyForUrl()
    {
        QFETCH(QString, list);
        QFETCH(QString, url);
        QFETCH(QString, expected);
        QCOMPARE(ProxyForUrl(list, url), expected);
    }

    void queryStatusReportsTheFirstAnswer()
    {
        LoopbackServer server;
        QVERIFY(server.IsListening());
        server.Route("/ok", LoopbackResponse::Ok());
        server.Route("/missing", LoopbackResponse::Status(404));
        server.Route("/moved", LoopbackResponse::Redirect(302, "/ok"));
        server.Route("/gone", LoopbackResponse::Redirect(301, "/ok"));
        server.Route("/broken", LoopbackResponse::Status(500, "oops"));
        HttpClient client;
        QCOMPARE(client.QueryStatus(server.Url(u"/ok"_s)), 200);
        client.Recreate();
        QCOMPARE(client.QueryStatus(server.Url(u"/missing"_s)), 404);
        client.Recreate();
        QCOMPARE(client.QueryStatus(server.Url(u"/broken"_s), false, 5), 500);
        server.ClearRequests();
        client.Recreate();
        QCOMPARE(client.QueryStatus(server.Url(u"/moved"_s)), 302);
        client.Recreate();
        QCOMPARE(client.QueryStatus(server.Url(u"/gone"_s), true), 301);
        // Redirects are reported, never followed.
        const QList<LoopbackRequest> seen = server.Requests();
        QCOMPARE(seen.size(), 2);
        QCOMPARE(seen.at(0).method, QByteArray("GET"));
        QCOMPARE(seen.at(0).target, QByteArray("/moved"));
        QCOMPARE(seen.at(1).target, QByteArray("/gone"));

        LoopbackServer v6(LoopbackServer::Http, LoopbackServer::IPv6);
        if (v6.IsListening()) {
            client.Recreate();
            QCOMPARE(client.QueryStatus(v6.Url(u"/six"_s)), 200);
        }
    }

    void queryStatusNormalisesTheUrl()
    {
        LoopbackServer server;
        HttpClient client;
        const QString withoutScheme = server.Url(u"/page?q=1#section"_s).mid(int(qstrlen("http://")));
        QCOMPARE(client.QueryStatus(withoutScheme), 200);
        QCOMPARE(server.Requests().value(0).target, QByteArray("/page?q=1"));
        // Spaces and non-ASCII characters go out percent-encoded as UTF-8.
        client.Recreate();
        QCOMPARE(client.QueryStatus(server.Url(u"/a b/中?q=文 x"_s)), 200);
        QCOMPARE(server.Requests().value(1).target, QByteArray("/a%20b/%E4%B8%AD?q=%E6%96%87%20x"));

        // An HTTPS URL in capitals reaches the server as HTTPS: the handshake happens (and fails on the
        // self-signed certificate, since certificate errors are not ignored).
        LoopbackServer tls(LoopbackServer::Https);
        client.Recreate();
        QCOMPARE(client.QueryStatus(tls.Url(u"/"_s).replace(u"https"_s, u"HTTPS"_s), false, 5), 0);
        QCOMPARE(tls.TotalConnections(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(tls.TlsFailures(), 1, 5000);
        QCOMPARE(tls.RequestCount(), 0);
    }

    void requestObjectOptions()
    {
        LoopbackServer tls(LoopbackServer::Https);
        tls.Route("/moved", LoopbackResponse::Redirect(302, "/final"));
        tls.Route("/final", LoopbackResponse::Ok("arrived"));
        RequestObject request;
        QCOMPARE(request.Option(RequestObject::EnableRedirects).toBool(), true);
        QCOMPARE(request.Option(RequestObject::SslErrorIgnoreFlags).toInt(), 0);
        // Ignoring certificate errors lets the self-signed site answer; redirects are followed by default.
        request.SetOption(RequestObject::SslErrorIgnoreFlags, 0x3300);
        request.Open(u"GET"_s, tls.Url(u"/moved"_s), false);
        request.Send();
        QCOMPARE(request.Status(), 200);
        QCOMPARE(request.ResponseText(), u"arrived"_s);
        QCOMPARE(request.StatusText(), u"OK"_s);
        // Unknown option numbers are kept and read back.
        request.SetOption(77, u"kept"_s);
        QCOMPARE(request.Option(77).toString(), u"kept"_s);
        QVERIFY(!request.Option(78).isValid());
    }

    void noResponseGivesZero()
    {
        HttpClient client;
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(client.QueryStatus(u"http://127.0.0.1:%1/"_s.arg(ClosedPort()), false, 10), 0);
        QVERIFY2(timer.elapsed() < 5000, "a refused connection must not wait for the time-out");

        LoopbackServer server;
        server.Route("/stall", LoopbackResponse::Stall());
        server.Route("/garbage", LoopbackResponse::Raw("NOT HTTP AT ALL\r\n\r\n"));
        server.Route("/http09", LoopbackResponse::Raw("<html>old</html>"));
        server.Route("/empty", LoopbackResponse::Raw({}));
        for (const auto& path : { u"/garbage"_s, u"/http09"_s, u"/empty"_s }) {
            client.Recreate();
            QVERIFY2(client.QueryStatus(server.Url(path), false, 5) == 0, qPrintable(path));
        }
        client.Recreate();
        timer.restart();
        QCOMPARE(client.QueryStatus(server.Url(u"/stall"_s), false, 1), 0);
        QVERIFY2(timer.elapsed() >= 900 && timer.elapsed() < 4000, qPrintable(QString::number(timer.elapsed())));
        // An empty client (no request object) is legal and yields empty values.
        client.GetRequestObject().reset();
    }

    // Once the headers are in, the status stands, whatever the body does afterwards.
    void statusOfPartialAnswers()
    {
        LoopbackServer server;
        server.Route("/headers", LoopbackResponse::HeadersThenStall(203));
        server.Route("/reset", LoopbackResponse::ResetMidBody(QByteArray(5000, 'x'), 100));
        server.Route("/endless", LoopbackResponse::Endless());
        server.Route("/continue", LoopbackResponse::Raw("HTTP/1.1 100 Continue\r\n\r\n"));
        HttpClient client;
        QCOMPARE(client.QueryStatus(server.Url(u"/headers"_s), false, 1), 203);
        client.Recreate();
        QCOMPARE(client.QueryStatus(server.Url(u"/reset"_s), false, 5), 200);
        QVERIFY(client.GetRequestObject()->ResponseBody().isEmpty());
        client.Recreate();
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(client.QueryStatus(server.Url(u"/endless"_s), false, 1), 200);
        QVERIFY(timer.elapsed() < 4000);
        client.Recreate();
        QCOMPARE(client.QueryStatus(server.Url(u"/continue"_s), false, 5), 100);
    }

    void waitDefaultsAndTheSecondWait()
    {
        LoopbackServer server;
        server.Route("/late", LoopbackResponse::Ok("late").Delay(1500));
        HttpClient client;
        // 0 and negative waits mean the default 25 s, not "no wait" or "forever".
        QCOMPARE(client.QueryStatus(server.Url(u"/late"_s), false, 0), 200);
        client.Recreate();
        QCOMPARE(client.QueryStatus(server.Url(u"/late"_s), false, -1), 200);

        // A wait that runs out leaves the transfer going; the next wait picks it up.
        RequestObject request;
        request.Open(u"GET"_s, server.Url(u"/late"_s), true);
        request.Send();
        QVERIFY(!request.WaitForResponse(0));
        QCOMPARE(request.Status(), 0);
        QVERIFY(request.WaitForResponse(10));
        QCOMPARE(request.Status(), 200);
        QCOMPARE(request.ResponseText(), u"late"_s);
    }

    void timeouts()
    {
        // A synchronous request ends by its receive time-out when the server never answers.
        RequestObject request;
        request.SetTimeouts(1000, 2000, 1000, 1000);
        LoopbackServer server;
        server.SetDefault(LoopbackResponse::Stall());
        request.Open(u"GET"_s, server.Url(), false);
        QElapsedTimer timer;
        timer.start();
        request.Send();
        QCOMPARE(request.Status(), 0);
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(!request.WaitForResponse(1));
    }

    // The status probe's receive limit (5 s to the first byte) holds inside a longer wait.
    void statusNeedsAnAnswerWithinTheReceiveLimit()
    {
        LoopbackServer server;
        server.Route("/3s", LoopbackResponse::Ok().Delay(3000));
        server.Route("/7s", LoopbackResponse::Ok().Delay(7000));
        HttpClient client;
        QCOMPARE(client.QueryStatus(server.Url(u"/3s"_s), false, 10), 200);
        client.Recreate();
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(client.QueryStatus(server.Url(u"/7s"_s), false, 10), 0);
        QVERIFY2(timer.elapsed() >= 4800 && timer.elapsed() < 6500, qPrintable(QString::number(timer.elapsed())));
    }

    // A program started after requests (the browser) inherits none of their sockets, open or pooled.
    void startedProgramsInheritNothing()
    {
        LoopbackServer server;
        HttpClient client;
        QCOMPARE(client.QueryStatus(server.Url(), false, 5), 200);
        QCOMPARE(client.FetchPage(server.Url()), u"OK"_s);
        MarkDescriptorsCloseOnExec();
        QProcess child;
        child.start(u"/bin/sh"_s, { u"-c"_s, u"ls /proc/self/fd"_s });
        QVERIFY(child.waitForFinished(10000));
        // 0 to 2 are the pipes QProcess gives it, 3 the directory ls reads.
        QCOMPARE(QString::fromLatin1(child.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts),
            QStringList({ u"0"_s, u"1"_s, u"2"_s, u"3"_s }));
    }

    void proxySettings()
    {
        LoopbackServer proxy;
        proxy.SetHandler([](const LoopbackRequest& request) {
            return request.HasHeader("Proxy-Authorization") ? LoopbackResponse::Ok("via proxy")
                                                            : ProxyAskingForCredentials();
        });
        // The target is never contacted: the proxy answers for it.
        const QString target = u"http://127.0.0.1:%1/through"_s.arg(ClosedPort());
        const QString proxyAddress = u"127.0.0.1:%1"_s.arg(proxy.Port());

        HttpClient client;
        QCOMPARE(client.QueryStatus(target, false, 5, {}, proxyAddress + u",alice,secret"_s), 200);
        QCOMPARE(proxy.Requests().last().target, target.toUtf8());
        QCOMPARE(
            proxy.Requests().last().Header("Proxy-Authorization"), "Basic " + QByteArray("alice:secret").toBase64());

        // Server and user without a password: no credentials at all.
        proxy.ClearRequests();
        client.Recreate();
        QCOMPARE(client.QueryStatus(target, false, 5, {}, proxyAddress + u",alice"_s), 407);
        QVERIFY(!proxy.Requests().last().HasHeader("Proxy-Authorization"));

        // "-1" and no proxy argument go direct even when the environment names a proxy; "IE" takes it.
        LoopbackServer site;
        const EnvGuard http("http_proxy", proxyAddress.toUtf8());
        const EnvGuard all("all_proxy", QByteArray());
        const EnvGuard allUpper("ALL_PROXY", QByteArray());
        proxy.ClearRequests();
        client.Recreate();
        QCOMPARE(client.QueryStatus(site.Url(u"/direct"_s)), 200);
        client.Recreate();
        QCOMPARE(client.QueryStatus(site.Url(u"/direct"_s), false, 5, {}, u"-1"_s), 200);
        QCOMPARE(site.RequestCount(), 2);
        QCOMPARE(proxy.RequestCount(), 0);
        client.Recreate();
        QCOMPARE(client.QueryStatus(target, false, 5, {}, u"IE"_s), 407);
        QCOMPARE(proxy.RequestCount(), 1);
        {
            // No system proxy: "IE" means direct access.
            const EnvGuard none("http_proxy", QByteArray());
            client.Recreate();
            QCOMPARE(client.QueryStatus(site.Url(u"/direct"_s), false, 5, {}, u"IE"_s), 200);
            QCOMPARE(site.RequestCount(), 3);
        }
    }

    void requestHeaders()
    {
        LoopbackServer server;
        RequestObject request;
        request.Open(u"GET"_s, server.Url(u"/h"_s));
        request.SetRequestHeader(u"X-Other"_s, u"example.com"_s);
        request.SetRequestHeader(u"X-Evil"_s, u"a\r\nInjected: 1"_s);
        request.Send();
        QCOMPARE(request.Status(), 200);
        LoopbackRequest seen = server.Requests().last();
        QCOMPARE(seen.Header("X-Other"), QByteArray("example.com"));
        QVERIFY(!seen.HasHeader("Injected"));
        QVERIFY(!seen.HasHeader("X-Evil"));

        HttpClient client;
        client.QueryStatus(server.Url(u"/c"_s), false, 5, u"sid=1"_s);
        seen = server.Requests().last();
        QCOMPARE(seen.Header("Cookie"), QByteArray("sid=1"));
        QVERIFY(!seen.HasHeader("Content-Type"));
        QVERIFY(!seen.HasHeader("Expect"));
    }

    // Only http and https are ever requested, redirects included.
    void otherSchemesAreRefused()
    {
        LoopbackServer server;
        server.Route("/to-file", LoopbackResponse::Redirect(302, "file:///etc/passwd"));
        RequestObject request;
        request.Open(u"GET"_s, server.Url(u"/to-file"_s), false);
        request.Send();
        QVERIFY(!request.WaitForResponse(1));
        QVERIFY(request.ResponseBody().isEmpty());
        request.Open(u"GET"_s, u"file:///etc/passwd"_s, false);
        request.Send();
        QCOMPARE(request.Status(), 0);
        QVERIFY(request.ResponseBody().isEmpty());
    }

    void cancelAbortAndDestroy()
    {
        LoopbackServer server;
        server.SetDefault(LoopbackResponse::Stall());
        auto flag = std::make_shared<std::atomic<bool>>(false);
        HttpClient client;
        client.SetCancelFlag(flag);
        client.Recreate(); // the flag survives a new request object
        QElapsedTimer timer;
        timer.start();
        std::thread canceller([flag] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            *flag = true;
        });
        QCOMPARE(client.QueryStatus(server.Url(), false, 30), 0);
        canceller.join();
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
        // Already cancelled: nothing more goes out.
        const int before = server.TotalConnections();
        client.Recreate();
        QCOMPARE(client.QueryStatus(server.Url(), false, 30), 0);
        QCOMPARE(server.TotalConnections(), before);

        // Abort from another thread ends a synchronous Send.
        RequestObject other;
        other.Open(u"GET"_s, server.Url(), false);
        std::thread aborter([&other] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            other.Abort();
        });
        timer.restart();
        other.Send();
        aborter.join();
        QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(other.Status(), 0);

        // Dropping a client mid-transfer closes its connection.
        {
            RequestObject dropped;
            dropped.Open(u"GET"_s, server.Url(), true);
            dropped.Send();
            dropped.WaitForResponse(0);
            QTRY_VERIFY_WITH_TIMEOUT(server.CurrentConnections() >= 1, 5000);
        }
        QTRY_COMPARE_WITH_TIMEOUT(server.CurrentConnections(), 0, 5000);
    }

    void manyClientsOnManyThreads()
    {
        LoopbackServer slow;
        slow.SetDefault(LoopbackResponse::Ok("slow").Delay(1500));
        LoopbackServer dead;
        dead.SetDefault(LoopbackResponse::Stall());
        constexpr int kThreads = 240;
        std::vector<int> results(kThreads, -1);
        std::vector<std::thread> threads;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                HttpClient client;
                client.Recreate();
                const bool toDead = i % 4 == 0;
                results[i] = client.QueryStatus((toDead ? dead : slow).Url(u"/n%1"_s.arg(i)), false, 3);
            });
        }
        for (auto& thread : threads)
            thread.join();
        for (int i = 0; i < kThreads; ++i)
            QCOMPARE(results[i], i % 4 == 0 ? 0 : 200);
        QCOMPARE(slow.RequestCount(), kThreads - kThreads / 4);
        // The slow answers overlapped: the checks really ran side by side.
        QVERIFY2(slow.MaxConnections() >= 40, qPrintable(QString::number(slow.MaxConnections())));
        QVERIFY2(timer.elapsed() < 60000, qPrintable(QString::number(timer.elapsed())));
    }
};

QTEST_GUILESS_MAIN(TestHttpClient)
#include "tst_http_client.moc"
