#include "monitor/site_check.h"

#include "monitor/clock.h"
#include "monitor/status_codes.h"
#include "support/loopback_server.h"
#include "support/scaled_clock.h"
#include "support/slack.h"

#include <QElapsedTimer>
#include <QTest>

#include <thread>

class TestSiteCheck final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void verdictTable_data();
    void verdictTable();
    void cutPageIsNeverNormalWithoutItsKeyword_data();
    void cutPageIsNeverNormalWithoutItsKeyword();
    void unreachableSiteGetsFourAttempts();
    void shutdownEndsCheckEarly_data();
    void shutdownEndsCheckEarly();
    void reasonOfEachFailure_data();
    void reasonOfEachFailure();
    void classifiesWhatLoopbackCannotShow();
};

void TestSiteCheck::initTestCase()
{
    LoadStatusCodeList();
}

void TestSiteCheck::verdictTable_data()
{
    QTest::addColumn<bool>("byStatus");
    QTest::addColumn<QString>("codes");
    QTest::addColumn<bool>("invertStatus");
    QTest::addColumn<bool>("byContent");
    QTest::addColumn<QString>("keywords");
    QTest::addColumn<bool>("invertContent");
    QTest::addColumn<int>("serverStatus");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("normal");
    QTest::addColumn<QString>("column1");
    QTest::addColumn<QString>("column2");
    QTest::addColumn<int>("requests");

    const QString codes = u"200|301|100|302"_s;
    const QString ok = u"200|访问正常(OK)"_s;
    const QString notFound = u"404|该文档已经不存在(Not Found)"_s;
    const QString none = u"无查询"_s;
    const QByteArray page = "<html>hello patrol</html>";

    QTest::newRow("no condition: normal, nothing requested")
        << false << codes << false << false << QString() << false << 404 << page << true << none << none << 0;
    QTest::newRow("status listed") << true << codes << false << false << QString() << false << 200 << page << true << ok
                                   << none << 1;
    QTest::newRow("status not listed") << true << codes << false << false << QString() << false << 404 << page << false
                                       << notFound << none << 1;
    QTest::newRow("status not listed, inverted")
        << true << codes << true << false << QString() << false << 404 << page << true << notFound << none << 1;
    QTest::newRow("status listed, inverted")
        << true << codes << true << false << QString() << false << 200 << page << false << ok << none << 1;
    QTest::newRow("codes are not trimmed")
        << true << u"200 |301"_s << false << false << QString() << false << 200 << page << false << ok << none << 1;
    QTest::newRow("redirect is reported, not followed")
        << true << u"200"_s << false << false << QString() << false << 302 << page << false
        << u"302|文档已被临时性转移到新页面(Found)"_s << none << 1;
    QTest::newRow("content found") << false << codes << false << true << u"patrol"_s << false << 200 << page << true
                                   << none << u"13"_s << 1;
    QTest::newRow("content missing") << false << codes << false << true << u"absent"_s << false << 200 << page << false
                                     << none << u"找不到"_s << 1;
    QTest::newRow("content missing, inverted")
        << false << codes << false << true << u"absent"_s << true << 200 << page << true << none << u"找不到"_s << 1;
    QTest::newRow("content found, inverted")
        << false << codes << false << true << u"patrol"_s << true << 200 << page << false << none << u"13"_s << 1;
    QTest::newRow("both, status fails: no page fetch, position 0")
        << true << codes << false << true << u"patrol"_s << false << 404 << page << false << notFound << u"0"_s << 1;
    QTest::newRow("both hold") << true << codes << false << true << u"patrol"_s << false << 200 << page << true << ok
                               << u"13"_s << 2;
    QTest::newRow("both, content fails") << true << codes << false << true << u"absent"_s << false << 200 << page
                                         << false << ok << u"找不到"_s << 2;
    QTest::newRow("inverted status lets the content decide")
        << true << codes << true << true << u"patrol"_s << false << 404 << page << true << notFound << u"13"_s << 2;
    // The first keyword in list order that occurs wins, not the earliest position.
    QTest::newRow("first listed keyword wins")
        << false << codes << false << true << u"foo|bar"_s << false << 200
        << QByteArray("123456789BAR" + QByteArray(37, '.') + "foo") << true << none << u"50"_s << 1;
    QTest::newRow("positions count GB18030 bytes") << false << codes << false << true << u"abc"_s << false << 200
                                                   << QByteArray("\xe4\xb8\xad\xe6\x96\x87"
                                                                 "abc")
                                                   << true << none << u"5"_s << 1;
}

void TestSiteCheck::verdictTable()
{
    QFETCH(bool, byStatus);
    QFETCH(QString, codes);
    QFETCH(bool, invertStatus);
    QFETCH(bool, byContent);
    QFETCH(QString, keywords);
    QFETCH(bool, invertContent);
    QFETCH(int, serverStatus);
    QFETCH(QByteArray, body);
    QFETCH(bool, normal);
    QFETCH(QString, column1);
    QFETCH(QString, column2);
    QFETCH(int, requests);

    LoopbackServer server;
    QVERIFY(server.IsListening());
    // Status requests get the scripted status; page fetches get the page with it.
    LoopbackResponse response = serverStatus == 302 ? LoopbackResponse::Redirect(302, "/elsewhere")
                                                    : LoopbackResponse::Status(serverStatus, body);
    response.Header("Content-Type", "text/html; charset=utf-8");
    server.SetDefault(response);
    server.Route("/elsewhere", LoopbackResponse::Ok(body));

    MonitorSettings settings;
    settings.byStatus = byStatus;
    settings.statusCodes = codes;
    settings.invertStatus = invertStatus;
    settings.byContent = byContent;
    settings.contentKeywords = keywords;
    settings.invertContent = invertContent;
    ScaledClock clock(1000);
    ShutdownSignal shutdown;

    const CheckRecord outcome = RunSiteCheck(server.Url(u"/site"_s), settings, clock, shutdown);
    QCOMPARE(outcome.normal, normal);
    QCOMPARE(outcome.StatusText(), column1);
    QCOMPARE(outcome.FoundText(), column2);
    QCOMPARE(server.RequestCount(), requests);
    // The server keeps connections open: the status request's carries the page fetch.
    QCOMPARE(server.TotalConnections(), std::min(requests, 1));
    QVERIFY(!outcome.cancelled);
    QVERIFY(!outcome.ResponseTime().isEmpty());
    QVERIFY(clock.Sleeps().isEmpty());
}

// A closed port answers nothing: four attempts with waits of 1, 2, 3 and 4 s, and the waits count as response time.
void TestSiteCheck::cutPageIsNeverNormalWithoutItsKeyword_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("keywords");
    QTest::addColumn<bool>("invert");
    QTest::addColumn<bool>("normal");
    QTest::addColumn<QString>("column2");
    const QString cut = QString::fromUtf16(kPageIncompleteText);
    QTest::newRow("size cap, missing, inverted") << QByteArray("/endless") << u"absent"_s << true << false << cut;
    QTest::newRow("size cap, missing") << QByteArray("/endless") << u"absent"_s << false << false << cut;
    QTest::newRow("size cap, found in what was read")
        << QByteArray("/endless") << u"absent|CDE"_s << false << true << u"13"_s;
    QTest::newRow("time-out, missing, inverted") << QByteArray("/stall") << u"absent"_s << true << false << cut;
}

void TestSiteCheck::cutPageIsNeverNormalWithoutItsKeyword()
{
    QFETCH(QByteArray, path);
    QFETCH(QString, keywords);
    QFETCH(bool, invert);
    QFETCH(bool, normal);
    QFETCH(QString, column2);
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.Route("/endless", LoopbackResponse::Endless("0123456789abcdef"));
    server.Route("/stall", LoopbackResponse::HeadersThenStall());
    MonitorSettings settings;
    settings.byStatus = false;
    settings.byContent = true;
    settings.contentKeywords = keywords;
    settings.invertContent = invert;
    settings.timeoutText = u"1"_s;
    ScaledClock clock(1000);
    ShutdownSignal shutdown;

    const CheckRecord outcome = RunSiteCheck(server.Url(QString::fromLatin1(path)), settings, clock, shutdown);
    QCOMPARE(outcome.normal, normal);
    QCOMPARE(outcome.FoundText(), column2);
}

void TestSiteCheck::unreachableSiteGetsFourAttempts()
{
    const quint16 port = ClosedPort();
    QVERIFY(port != 0);
    MonitorSettings settings;
    settings.byContent = true;
    // At 1000x a loaded machine's 60 real ms already read as a minute; at 100x the 10 s of waits take 0.1 s.
    ScaledClock clock(100);
    ShutdownSignal shutdown;

    const CheckRecord outcome = RunSiteCheck(u"http://127.0.0.1:%1/"_s.arg(port), settings, clock, shutdown);
    QCOMPARE(outcome.attempts, 4);
    QCOMPARE(clock.Sleeps(), QList<qint64>({ 1000, 2000, 3000, 4000 }));
    QCOMPARE(outcome.status, 0);
    QVERIFY(!outcome.normal);
    QVERIFY(!outcome.pageFetched);
    QCOMPARE(outcome.StatusText(), u"0|访问异常，没有信号"_s);
    QCOMPARE(outcome.FoundText(), u"0"_s);
    QVERIFY2(outcome.elapsedMs >= 10'000, qPrintable(QString::number(outcome.elapsedMs)));
    QVERIFY(outcome.ResponseTime().endsWith(u" 秒"_s));

    // The same site under an inverted status condition counts as normal.
    settings.invertStatus = true;
    settings.byContent = false;
    clock.ClearSleeps();
    QVERIFY(RunSiteCheck(u"http://127.0.0.1:%1/"_s.arg(port), settings, clock, shutdown).normal);
    QCOMPARE(clock.Sleeps().size(), 4);
}

void TestSiteCheck::shutdownEndsCheckEarly_data()
{
    QTest::addColumn<bool>("stalling");
    QTest::addColumn<bool>("byStatus");
    QTest::newRow("in a retry wait") << false << true;
    QTest::newRow("in a stalled status request") << true << true;
    QTest::newRow("in a stalled page fetch") << true << false;
}

// Program exit must not wait out 10 s of retry waits or a server that never answers.
void TestSiteCheck::shutdownEndsCheckEarly()
{
    QFETCH(bool, stalling);
    QFETCH(bool, byStatus);
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.SetDefault(LoopbackResponse::Stall());
    const QString url = stalling ? server.Url(u"/"_s) : u"http://127.0.0.1:%1/"_s.arg(ClosedPort());

    MonitorSettings settings;
    settings.timeoutText = u"20"_s;
    settings.byStatus = byStatus;
    settings.byContent = !byStatus;
    SteadyClock clock;
    ShutdownSignal shutdown;
    std::thread raiser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        shutdown.Raise();
    });
    QElapsedTimer timer;
    timer.start();
    const CheckRecord outcome = RunSiteCheck(url, settings, clock, shutdown);
    const qint64 took = timer.elapsed();
    raiser.join();
    QVERIFY(outcome.cancelled);
    // The raise wakes waiting transfers at once; without that they would wait out their one-second poll.
    QVERIFY2(took < Instrumented(900), qPrintable(QString::number(took)));
}

void TestSiteCheck::reasonOfEachFailure_data()
{
    QTest::addColumn<QString>("target"); // a path on the server, or "closed", "https", a whole URL
    QTest::addColumn<bool>("byStatus");
    QTest::addColumn<QString>("keywords"); // empty: no content condition
    QTest::addColumn<QString>("reason");
    QTest::newRow("normal") << u"/ok"_s << true << u"fine"_s << QString();
    QTest::newRow("refused") << u"closed"_s << true << QString() << u"连接被拒绝"_s;
    QTest::newRow("refused page fetch") << u"closed"_s << false << u"fine"_s << u"连接被拒绝"_s;
    QTest::newRow("silent server") << u"/stall"_s << true << QString() << u"等待响应超时"_s;
    QTest::newRow("status") << u"/gone"_s << true << QString() << u"状态码不符合条件"_s;
    QTest::newRow("keyword") << u"/ok"_s << true << u"absent"_s << u"找不到关键字"_s;
    QTest::newRow("cut page") << u"/cut"_s << false << u"absent"_s << u"网页未读完整"_s;
    QTest::newRow("self-signed") << u"https"_s << true << QString() << u"证书不受信任"_s;
    QTest::newRow("ftp, nothing sent") << u"ftp://127.0.0.1/"_s << true << u"fine"_s << u"不支持的网址"_s;
}

// The reasons libcurl and the verdict give, against real servers; the status column keeps its texts.
void TestSiteCheck::reasonOfEachFailure()
{
    QFETCH(QString, target);
    QFETCH(bool, byStatus);
    QFETCH(QString, keywords);
    QFETCH(QString, reason);
    LoopbackServer server;
    LoopbackServer tls(LoopbackServer::Https);
    QVERIFY(server.IsListening() && tls.IsListening());
    server.Route("/ok", LoopbackResponse::Ok("fine"));
    server.Route("/gone", LoopbackResponse::Status(404));
    server.Route("/stall", LoopbackResponse::Stall());
    server.Route("/cut", LoopbackResponse::HeadersThenStall());
    QString url = target.startsWith(u'/') ? server.Url(target) : target;
    if (target == u"closed"_s)
        url = u"http://127.0.0.1:%1/"_s.arg(ClosedPort());
    else if (target == u"https"_s)
        url = tls.Url(u"/"_s);

    MonitorSettings settings;
    settings.byStatus = byStatus;
    settings.byContent = !keywords.isEmpty();
    settings.contentKeywords = keywords;
    settings.timeoutText = u"1"_s;
    ScaledClock clock(1000);
    ShutdownSignal shutdown;
    const CheckRecord outcome = RunSiteCheck(url, settings, clock, shutdown);
    QCOMPARE(outcome.normal, reason.isEmpty());
    QCOMPARE(FailureReasonText(outcome.reason), reason);
    // Only TLS failures carry the TLS library's words.
    QCOMPARE(!outcome.reasonDetail.isEmpty(), target == u"https"_s);
    if (target.startsWith(u"ftp"_s)) {
        QCOMPARE(outcome.attempts, 0);
        QVERIFY(!outcome.pageFetched);
        QCOMPARE(outcome.StatusText(), u"0|访问异常，没有信号"_s);
    }
}

void TestSiteCheck::classifiesWhatLoopbackCannotShow()
{
    QCOMPARE(ClassifyTransfer(6, 0, 0, false), FailureReason::NameNotFound);
    QCOMPARE(ClassifyTransfer(28, 0, 0, false), FailureReason::ConnectTimedOut);
    QCOMPARE(ClassifyTransfer(7, 110, 0, false), FailureReason::ConnectTimedOut); // ETIMEDOUT
    QCOMPARE(ClassifyTransfer(7, 113, 0, false), FailureReason::ConnectFailed); // EHOSTUNREACH
    QCOMPARE(ClassifyTransfer(60, 0, 10, false), FailureReason::TlsExpired); // X509_V_ERR_CERT_HAS_EXPIRED
    QCOMPARE(ClassifyTransfer(60, 0, 0, false), FailureReason::TlsWrongHost); // libcurl's own name check
    QCOMPARE(ClassifyTransfer(60, 0, 62, false), FailureReason::TlsWrongHost); // X509_V_ERR_HOSTNAME_MISMATCH
    QCOMPARE(ClassifyTransfer(35, 0, 0, false), FailureReason::TlsFailed);
    QCOMPARE(ClassifyTransfer(52, 0, 0, true), FailureReason::NoResponse);
    QCOMPARE(ClassifyTransfer(42, 0, 0, true), FailureReason::None); // cancelled
}

QTEST_GUILESS_MAIN(TestSiteCheck)
#include "tst_site_check.moc"
