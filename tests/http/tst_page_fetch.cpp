#include "http/cancel_wakeup.h"
#include "http/page_fetch.h"

#include "support/loopback_server.h"
#include "support/process_probe.h"
#include "support/slack.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTextCodec>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

const QString kChinese = u"巡更灯网页内容：正常"_s;
const QString kAgent
    = u"Mozilla/5.0 (Windows NT 6.1) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/30.0.1599.101 Safari/537.36"_s;

QByteArray Encode(const char* codec, const QString& text)
{
    return QTextCodec::codecForName(codec)->fromUnicode(text);
}

} // namespace

class TestPageFetch final : public QObject
{
    Q_OBJECT

private slots:
    void timeoutInMilliseconds();
    void decodesPages_data();
    void decodesPages();
    void defaultHeaders();
    void emptyUrlOrCancelledBeforeStartDoNothing();
    void readsSelfSignedHttps();
    void followsRedirectsAndNormalisesUrl();
    void timeOutBoundsGapsNotSteadyPages();
    void capsBodiesAndBombs();
    void cancelEndsFetchPromptly();
    void failuresKeepWhatArrived();
    void runsOnTheCallingThread();
    void concurrentFetches();
};

void TestPageFetch::timeoutInMilliseconds()
{
    QCOMPARE(FetchTimeoutMs(std::nullopt), 120000);
    QCOMPARE(FetchTimeoutMs(0.0), 120000);
    QCOMPARE(FetchTimeoutMs(1e-8), 120000);
    QCOMPARE(FetchTimeoutMs(std::nan("")), 120000);
    QCOMPARE(FetchTimeoutMs(0.5), 60000);
    QCOMPARE(FetchTimeoutMs(-5.0), 60000);
    QCOMPARE(FetchTimeoutMs(1.9), 1000);
    QCOMPARE(FetchTimeoutMs(10.0), 10000);
    QCOMPARE(FetchTimeoutMs(1e12), 86400000);
}

void TestPageFetch::decodesPages_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("contentEncoding");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("charsetCodeOut");
    QTest::addColumn<QString>("expected");

    const QByteArray html = "<html><head><meta charset=\"gbk\"></head><body>";
    QTest::newRow("gbk by header") << QByteArray("text/html; charset=gbk") << QByteArray() << Encode("GBK", kChinese)
                                   << 0 << kChinese;
    QTest::newRow("gbk by meta") << QByteArray("text/html") << QByteArray() << html + Encode("GBK", kChinese) << 0
                                 << kChinese;
    QTest::newRow("gbk undeclared") << QByteArray("text/html") << QByteArray() << Encode("GBK", kChinese) << 0
                                    << kChinese;
    const QString traditional = u"巡更燈網頁內容：正常"_s;
    QTest::newRow("big5 by header") << QByteArray("text/html; charset=big5") << QByteArray()
                                    << Encode("Big5", traditional) << 0 << traditional;
    QTest::newRow("utf-8 by header") << QByteArray("text/html; charset=UTF-8") << QByteArray() << kChinese.toUtf8() << 2
                                     << kChinese;
    QTest::newRow("utf-8 undeclared") << QByteArray("text/html") << QByteArray() << kChinese.toUtf8() << 0 << kChinese;
    QByteArray utf16("\xFF\xFE");
    utf16.append(reinterpret_cast<const char*>(kChinese.utf16()), kChinese.size() * 2);
    QTest::newRow("utf-16 with mark") << QByteArray("text/html") << QByteArray() << utf16 << 0 << kChinese;
    QTest::newRow("gzip gbk") << QByteArray("text/html; charset=gb2312") << QByteArray("gzip")
                              << GzipCompress(Encode("GBK", kChinese)) << 0 << kChinese;
    QTest::newRow("deflate utf-8") << QByteArray("text/html; charset=utf-8") << QByteArray("deflate")
                                   << DeflateCompress(kChinese.toUtf8()) << 2 << kChinese;
}

void TestPageFetch::decodesPages()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, contentEncoding);
    QFETCH(QByteArray, body);
    QFETCH(int, charsetCodeOut);
    QFETCH(QString, expected);

    LoopbackServer server;
    QVERIFY(server.IsListening());
    LoopbackResponse response = LoopbackResponse::Ok(body, contentType);
    if (!contentEncoding.isEmpty())
        response.Header("Content-Encoding", contentEncoding);
    server.SetDefault(response);

    FetchResult result;
    const QString text = FetchPage(server.Url(u"/page"_s), {}, &result);
    QVERIFY2(text.contains(expected), qPrintable(text));
    QCOMPARE(result.status, 200);
    QCOMPARE(result.charsetCode, charsetCodeOut);
    QVERIFY(result.headers.startsWith(u"HTTP/1.1 200"_s));
}

void TestPageFetch::defaultHeaders()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());

    FetchPage(server.Url(u"/plain"_s));
    const QList<LoopbackRequest> requests = server.Requests();
    QCOMPARE(requests.size(), 1);
    const LoopbackRequest& plain = requests[0];
    QCOMPARE(plain.method, QByteArray("GET"));
    QCOMPARE(plain.version, QByteArray("HTTP/1.1"));
    QCOMPARE(plain.Header("User-Agent"), kAgent.toLatin1());
    QCOMPARE(plain.Header("Accept"),
        QByteArray("image/gif, image/bmp, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-shockwave-flash, "
                   "application/vnd.ms-excel, application/vnd.ms-powerpoint, application/msword, */*"));
    QCOMPARE(plain.Header("Accept-Language"), QByteArray("zh-cn"));
    QVERIFY(plain.Header("Accept-Encoding").contains("gzip"));
    QVERIFY(!plain.HasHeader("Referer"));
    QVERIFY(!plain.HasHeader("Cookie"));
    QVERIFY(!plain.HasHeader("Content-Type"));
}

void TestPageFetch::emptyUrlOrCancelledBeforeStartDoNothing()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());

    FetchResult result;
    QVERIFY(FetchPage(QString(), FetchOptions {}, &result).isEmpty());
    QVERIFY(FetchPage(u"#only-a-fragment"_s, FetchOptions {}, &result).isEmpty());
    QCOMPARE(result.status, 0);

    FetchOptions cancelled;
    auto flag = std::make_shared<std::atomic<bool>>(true);
    cancelled.cancel = flag;
    QVERIFY(FetchPage(server.Url(), cancelled, &result).isEmpty());
    QVERIFY(result.cancelled);
    QCOMPARE(server.TotalConnections(), 0);
}

void TestPageFetch::readsSelfSignedHttps()
{
    LoopbackServer server(LoopbackServer::Https);
    QVERIFY(server.IsListening());
    server.SetDefault(LoopbackResponse::Ok(kChinese.toUtf8(), "text/html; charset=utf-8"));

    FetchResult result;
    FetchOptions options;
    options.timeoutSeconds = 30;
    QCOMPARE(FetchPage(server.Url(u"/secure"_s), options, &result), kChinese);
    QCOMPARE(result.status, 200);
}

void TestPageFetch::followsRedirectsAndNormalisesUrl()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.Route("/old", LoopbackResponse::Redirect(301, "/middle"));
    server.Route("/middle", LoopbackResponse::Redirect(302, "/new?x=1"));
    server.Route("/new", LoopbackResponse::Ok("arrived"));
    server.Route("/loop", LoopbackResponse::Redirect(302, "/loop"));

    FetchResult result;
    // No scheme, a fragment: "http://" goes in front and the fragment stays home.
    const QString url = server.Url(u"/old#section"_s).mid(7);
    QCOMPARE(FetchPage(url, {}, &result), u"arrived"_s);
    QCOMPARE(result.status, 200);
    QVERIFY(!result.headers.contains(u"Location"_s, Qt::CaseInsensitive));
    const QList<LoopbackRequest> requests = server.Requests();
    QCOMPARE(requests.size(), 3);
    QCOMPARE(requests[0].target, QByteArray("/old"));
    QCOMPARE(requests[2].target, QByteArray("/new?x=1"));

    // A redirect loop ends after ten hops.
    server.ClearRequests();
    FetchPage(server.Url(u"/loop"_s), {}, &result);
    QCOMPARE(result.status, 302);
    QCOMPARE(server.RequestCount(), 11);
}

void TestPageFetch::timeOutBoundsGapsNotSteadyPages()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());
    // Five seconds of steady bytes, each gap far shorter than the 1 s time-out: read to its end.
    const QByteArray page = "0123456789abcde keyword";
    server.Route("/drip", LoopbackResponse::Drip(page, 220));
    server.Route("/stall", LoopbackResponse::Stall());
    server.Route("/headers-stall", LoopbackResponse::HeadersThenStall());

    FetchOptions options;
    options.timeoutSeconds = 1;
    FetchResult result;
    QCOMPARE(FetchPage(server.Url(u"/drip"_s), options, &result), QString::fromLatin1(page));
    QVERIFY(!result.timedOut);

    for (const auto& path : { u"/stall"_s, u"/headers-stall"_s }) {
        QElapsedTimer timer;
        timer.start();
        QVERIFY(FetchPage(server.Url(path), options, &result).isEmpty());
        QVERIFY2(timer.elapsed() >= 900 && timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(result.timedOut);
    }
}

void TestPageFetch::capsBodiesAndBombs()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.Route("/endless", LoopbackResponse::Endless("0123456789abcdef"));
    server.Route("/bomb",
        LoopbackResponse::Ok(GzipCompress(QByteArray(64 * 1024 * 1024, 'z'))).Header("Content-Encoding", "gzip"));

    FetchResult result;
    QString text = FetchPage(server.Url(u"/endless"_s), {}, &result);
    QCOMPARE(result.body.size(), kDefaultMaxBodyBytes);
    QCOMPARE(text.size(), kDefaultMaxBodyBytes);
    QVERIFY(result.truncated);
    QCOMPARE(result.status, 200);

    FetchOptions small;
    small.maxBodyBytes = 1024 * 1024;
    text = FetchPage(server.Url(u"/bomb"_s), small, &result);
    QCOMPARE(result.body.size(), 1024 * 1024);
    QVERIFY(result.truncated);
    QVERIFY(text.startsWith(u"zzzz"_s));
    FetchPage(server.Url(u"/endless"_s), small, &result);
    QCOMPARE(result.body.size(), 1024 * 1024);
}

void TestPageFetch::cancelEndsFetchPromptly()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.Route("/stall", LoopbackResponse::Stall());
    server.Route("/drip", LoopbackResponse::Drip("x", 50, true));

    for (const QString& path : { u"/stall"_s, u"/drip"_s }) {
        auto flag = std::make_shared<std::atomic<bool>>(false);
        FetchOptions options;
        options.timeoutSeconds = 60;
        options.cancel = flag;
        std::thread canceller([flag] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            CancelWakeup::Raise(*flag);
        });
        FetchResult result;
        QElapsedTimer timer;
        timer.start();
        const QString text = FetchPage(server.Url(path), options, &result);
        const qint64 elapsed = timer.elapsed();
        canceller.join();
        // Raising the flag wakes the transfer's wait at once; the one-second fallback would show here.
        QVERIFY2(elapsed < Instrumented(900), qPrintable(QString::number(elapsed)));
        QVERIFY(text.isEmpty());
        QVERIFY(result.cancelled);
        QCOMPARE(result.status, 0);
        QVERIFY(result.body.isEmpty());
    }
}

void TestPageFetch::failuresKeepWhatArrived()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.Route("/stall", LoopbackResponse::Stall());
    server.Route("/cut", LoopbackResponse::CloseMidBody(QByteArray(5000, 'c'), 100));

    FetchResult result;
    QVERIFY(FetchPage(u"http://127.0.0.1:%1/"_s.arg(ClosedPort()), {}, &result).isEmpty());
    QCOMPARE(result.status, 0);
    FetchOptions options;
    options.timeoutSeconds = 1;
    QVERIFY(FetchPage(server.Url(u"/stall"_s), options, &result).isEmpty());
    QVERIFY(result.timedOut);
    // A connection broken mid-body keeps what arrived before it broke.
    QCOMPARE(FetchPage(server.Url(u"/cut"_s), options, &result), QString(100, u'c'));
    QCOMPARE(result.status, 200);
}

// The transfer runs on the caller's thread: while the server answers, the only thread added is its connection's.
void TestPageFetch::runsOnTheCallingThread()
{
    std::atomic<int> during = 0;
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.SetHandler([&during](const LoopbackRequest&) {
        during = ThreadCount();
        return LoopbackResponse::Ok("here");
    });
    const int before = ThreadCount();
    QCOMPARE(FetchPage(server.Url()), u"here"_s);
    QCOMPARE(during.load(), before + 1);
}

void TestPageFetch::concurrentFetches()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.SetHandler([](const LoopbackRequest& request) {
        return LoopbackResponse::Ok(GzipCompress("page " + request.Path()), "text/html; charset=utf-8")
            .Header("Content-Encoding", "gzip")
            .Delay(20);
    });

    constexpr int kWorkers = 64;
    std::atomic<int> wrong = 0;
    std::vector<std::thread> workers;
    for (int i = 0; i < kWorkers; ++i) {
        workers.emplace_back([&, i] {
            const QString path = u"/site/%1"_s.arg(i);
            for (int round = 0; round < 3; ++round) {
                FetchOptions options;
                options.timeoutSeconds = 60;
                if (FetchPage(server.Url(path), options) != u"page "_s + path)
                    ++wrong;
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    QCOMPARE(wrong.load(), 0);
    QCOMPARE(server.RequestCount(), kWorkers * 3);
}

QTEST_GUILESS_MAIN(TestPageFetch)
#include "tst_page_fetch.moc"
