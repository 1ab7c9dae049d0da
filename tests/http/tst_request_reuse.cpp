// Request objects share libcurl multi handles behind the scenes; nothing of one object may reach the next.

#include "http/http_client.h"
#include "http/request_object.h"

#include "support/loopback_server.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestRequestReuse final : public QObject
{
    Q_OBJECT

private slots:
    // A kept-alive connection belongs to its request object: every attempt opens its own, whether the host is
    // an address or a name, and whether the server keeps connections or closes them.
    void attemptsNeverShareAConnection_data()
    {
        QTest::addColumn<bool>("byName");
        QTest::addColumn<bool>("serverCloses");
        QTest::addColumn<bool>("sendsOnce"); // as the site check's attempts: their multi handles go round
        QTest::newRow("address, kept alive") << false << false << false;
        QTest::newRow("address, closed") << false << true << false;
        QTest::newRow("name, kept alive") << true << false << false;
        QTest::newRow("address, kept alive, sends once") << false << false << true;
    }

    void attemptsNeverShareAConnection()
    {
        QFETCH(bool, byName);
        QFETCH(bool, serverCloses);
        QFETCH(bool, sendsOnce);
        LoopbackServer server;
        QVERIFY(server.IsListening());
        LoopbackResponse ok = LoopbackResponse::Ok();
        ok.closeConnection = serverCloses;
        server.SetDefault(ok);
        QString url = server.Url(u"/a"_s);
        if (byName)
            url.replace(u"127.0.0.1"_s, u"localhost"_s);

        constexpr int kAttempts = 6;
        HttpClient client;
        for (int i = 0; i < kAttempts; ++i) {
            client.Recreate();
            client.GetRequestObject()->SetKeepConnection(!sendsOnce);
            QCOMPARE(client.QueryStatus(url, false, 5), 200);
        }
        // Separate clients one after the other, as the checks of a pass run.
        for (int i = 0; i < kAttempts; ++i) {
            HttpClient other;
            other.Recreate();
            other.GetRequestObject()->SetKeepConnection(!sendsOnce);
            QCOMPARE(other.QueryStatus(url, false, 5), 200);
        }
        QCOMPARE(server.RequestCount(), 2 * kAttempts);
        QCOMPARE(server.TotalConnections(), 2 * kAttempts);
    }

    // Within one request object a kept-alive connection still serves the next send, synchronous or not.
    void oneObjectKeepsItsConnection()
    {
        LoopbackServer server;
        QVERIFY(server.IsListening());
        RequestObject request;
        for (int i = 0; i < 3; ++i) {
            const bool async = i == 1;
            request.Open(u"GET"_s, server.Url(u"/again"_s), async);
            request.Send();
            QVERIFY(!async || request.WaitForResponse(10));
            QCOMPARE(request.Status(), 200);
        }
        QCOMPARE(server.RequestCount(), 3);
        QCOMPARE(server.TotalConnections(), 1);
    }

    // Recreate after a request gives a clean object; an object held elsewhere stays with its holder.
    void recreateGivesAFreshObject()
    {
        LoopbackServer server;
        QVERIFY(server.IsListening());
        server.Route("/missing", LoopbackResponse::Status(404));
        HttpClient client;
        client.Recreate();
        QCOMPARE(client.QueryStatus(server.Url(u"/missing"_s), false, 5), 404);
        const std::shared_ptr<RequestObject> used = client.GetRequestObject();
        client.Recreate();
        QVERIFY(client.GetRequestObject() != used);
        QCOMPARE(client.GetRequestObject()->Status(), 0);
        QVERIFY(client.GetRequestObject()->GetAllResponseHeaders().isEmpty());

        // Untouched, but held elsewhere: the holder must keep its own.
        const std::shared_ptr<RequestObject> held = client.GetRequestObject();
        client.Recreate();
        QVERIFY(client.GetRequestObject() != held);

        // Settings made on an object do not survive Recreate.
        client.GetRequestObject()->SetTimeouts(1000, 2000, 3000, 4000);
        client.Recreate();
        QVERIFY(client.GetRequestObject()->Timeouts() != (std::array<int, 4> { 1000, 2000, 3000, 4000 }));
    }
};

QTEST_GUILESS_MAIN(TestRequestReuse)
#include "tst_request_reuse.moc"
