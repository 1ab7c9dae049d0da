// The metrics page: what a scraper parses, and the server's limits, against a real listening server.

#include "cli/metrics_server.h"
#include "cli/site_metrics.h"
#include "monitor/monitoring_run.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

CheckRecord Record(const QString& url, bool normal, int status, int found = 0)
{
    CheckRecord record;
    record.url = url;
    record.normal = normal;
    record.status = status;
    record.found = found;
    record.elapsedMs = 1250;
    return record;
}

// The series lines of a page, comments left out.
QByteArrayList Samples(const QByteArray& page)
{
    QByteArrayList lines;
    for (const QByteArray& line : page.split('\n')) {
        if (!line.isEmpty() && !line.startsWith('#'))
            lines << line;
    }
    return lines;
}

qsizetype CountPrefixed(const QByteArrayList& lines, const char* prefix)
{
    return std::count_if(lines.begin(), lines.end(), [&](const QByteArray& line) { return line.startsWith(prefix); });
}

} // namespace

class TestMetrics final : public QObject
{
    Q_OBJECT

private slots:
    void pageHoldsEachSiteOnceWithEscapedLabels();
    void serverAnswersAndBoundsConnections();
};

void TestMetrics::pageHoldsEachSiteOnceWithEscapedLabels()
{
    SiteMetrics metrics;
    metrics.SetSiteCount(3);
    metrics.SetContentConditionOn(true);
    const QString hostile = u"http://h.test/a\"b\\c\nd?é"_s;
    CheckRecord refused = Record(hostile, false, 0);
    refused.reason = FailureReason::ConnectionRefused;
    metrics.RecordCheck(refused, 1700000000123);
    metrics.RecordCheck(Record(u"http://ok.test"_s, true, 200, 17), 1700000001000);
    // The same URL on a second row, now normal: one series, and it stops counting as abnormal.
    metrics.RecordCheck(Record(hostile, true, 301, -1), 1700000002000);
    metrics.RecordCheck(Record(u"http://ok.test"_s, false, 500, 0), 1700000003000);
    // A second abnormal check keeps the moment the streak began.
    CheckRecord rejected = Record(u"http://ok.test"_s, false, 502, 0);
    rejected.reason = FailureReason::StatusRejected;
    metrics.RecordCheck(rejected, 1700000004000);
    PassSummary pass;
    pass.elapsedMs = 61500;
    metrics.RecordPass(pass);

    const QByteArray page = metrics.Render();
    const QByteArrayList samples = Samples(page);
    const QByteArray label = "{url=\"http://h.test/a\\\"b\\\\c\\nd?\xc3\xa9\"}";
    QVERIFY(samples.contains("patrol_site_up" + label + " 1"));
    QVERIFY(samples.contains("patrol_site_http_status" + label + " 301"));
    QVERIFY(samples.contains("patrol_site_found_position" + label + " -1"));
    QVERIFY(samples.contains("patrol_site_response_seconds" + label + " 1.250"));
    QVERIFY(samples.contains("patrol_site_last_check_timestamp_seconds" + label + " 1700000002"));
    QVERIFY(samples.contains("patrol_site_up{url=\"http://ok.test\"} 0"));
    QCOMPARE(CountPrefixed(samples, "patrol_site_up{"), 2);
    QVERIFY(samples.contains("patrol_sites 3"));
    QVERIFY(samples.contains("patrol_sites_abnormal 1"));
    QVERIFY(samples.contains("patrol_checks_total{result=\"normal\"} 2"));
    QVERIFY(samples.contains("patrol_checks_total{result=\"abnormal\"} 3"));
    QVERIFY(samples.contains("patrol_site_abnormal_since_timestamp_seconds{url=\"http://ok.test\"} 1700000003"));
    QCOMPARE(CountPrefixed(samples, "patrol_site_abnormal_since_timestamp_seconds"), 1);
    // Only the abnormal site has a reason, and only its latest.
    QCOMPARE(CountPrefixed(samples, "patrol_site_failure_info"), 1);
    QVERIFY(samples.contains("patrol_site_failure_info{url=\"http://ok.test\",reason=\"status_rejected\"} 1"));
    QVERIFY(samples.contains("patrol_shard_info{shard=\"0\",shards=\"1\"} 1"));
    QVERIFY(samples.contains("patrol_passes_total 1"));
    QVERIFY(samples.contains("patrol_last_pass_duration_seconds 61.500"));
    QVERIFY(page.contains("patrol_build_info{version=\""));
    QVERIFY(page.contains("\",revision=\""));
    QVERIFY(!page.contains("cert_expiry"));

    metrics.SetCertExpiry(u"http://ok.test"_s, 1800000000);
    metrics.SetContentConditionOn(false);
    metrics.SetShard(2, 3);
    const QByteArray withCert = metrics.Render();
    QVERIFY(Samples(withCert).contains("patrol_shard_info{shard=\"2\",shards=\"3\"} 1"));
    QCOMPARE(CountPrefixed(Samples(withCert), "patrol_site_cert_expiry_timestamp_seconds"), 1);
    QVERIFY(!withCert.contains("found_position"));

    // The scraper's own checker, when installed, must find nothing to complain about.
    const QString promtool = QStandardPaths::findExecutable(u"promtool"_s);
    if (promtool.isEmpty())
        QSKIP("promtool is not installed");
    for (const QByteArray& body : { page, withCert, SiteMetrics().Render() }) {
        QProcess check;
        check.start(promtool, { u"check"_s, u"metrics"_s });
        QVERIFY(check.waitForStarted());
        check.write(body);
        check.closeWriteChannel();
        QVERIFY(check.waitForFinished(20000));
        const QByteArray complaints = check.readAll();
        QVERIFY2(check.exitCode() == 0 && complaints.trimmed().isEmpty(), complaints.constData());
    }
}

void TestMetrics::serverAnswersAndBoundsConnections()
{
    MetricsServer server([] { return QByteArray("patrol_sites 7\n"); });
    QString error;
    QVERIFY2(server.Listen(u"127.0.0.1"_s, 0, &error), qPrintable(error));
    QVERIFY(server.Port() != 0);
    const QString base = u"http://127.0.0.1:%1"_s.arg(server.Port());

    QNetworkAccessManager network;
    auto send = [&](const QByteArray& verb, const QString& path) {
        std::unique_ptr<QNetworkReply> reply(network.sendCustomRequest(QNetworkRequest(QUrl(base + path)), verb));
        QSignalSpy done(reply.get(), &QNetworkReply::finished);
        if (!done.wait(10000))
            return std::make_pair(-1, QByteArray());
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray type = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
        return std::make_pair(status, status == 200 && path == u"/metrics"_s ? type + '|' + reply->readAll() : type);
    };
    QCOMPARE(send("GET", u"/metrics"_s),
        std::make_pair(200, QByteArray("text/plain; version=0.0.4; charset=utf-8|patrol_sites 7\n")));
    QCOMPARE(send("GET", u"/"_s).first, 200);
    QCOMPARE(send("GET", u"/metrics/x"_s).first, 404);
    QCOMPARE(send("GET", u"/nothing"_s).first, 404);
    QCOMPARE(send("POST", u"/metrics"_s).first, 405);
    QCOMPARE(send("PUT", u"/"_s).first, 405);
    network.clearConnectionCache();
    QTRY_COMPARE(server.OpenConnections(), 0);

    // Silent clients beyond the bound are turned away at once; the ones inside it keep their slots.
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < MetricsServer::kMaxConnections + 8; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, server.Port());
    }
    QTRY_COMPARE(server.OpenConnections(), MetricsServer::kMaxConnections);
    auto closedCount = [&] {
        return std::count_if(clients.begin(), clients.end(),
            [](const auto& c) { return c->state() == QAbstractSocket::UnconnectedState; });
    };
    QTRY_COMPARE(closedCount(), 8);
    clients.clear();
    QTRY_COMPARE(server.OpenConnections(), 0);

    // A request body that never ends is cut off instead of piling up in memory.
    QTcpSocket endless;
    endless.connectToHost(QHostAddress::LocalHost, server.Port());
    QVERIFY(endless.waitForConnected(5000));
    endless.write("POST /metrics HTTP/1.1\r\nContent-Length: 1000000000\r\n\r\n");
    const QByteArray pad(4096, 'a');
    for (int i = 0; i < 64 && endless.state() == QAbstractSocket::ConnectedState; ++i) {
        endless.write(pad);
        QTest::qWait(5);
    }
    QTRY_COMPARE(endless.state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(server.OpenConnections(), 0);

    // Requests pipelined behind each other would each hold a rendered page until sent.
    int renders = 0;
    MetricsServer counted([&renders] {
        ++renders;
        return QByteArray("patrol_sites 1\n");
    });
    QVERIFY(counted.Listen(u"127.0.0.1"_s, 0, &error));
    QTcpSocket pipelined;
    pipelined.connectToHost(QHostAddress::LocalHost, counted.Port());
    QVERIFY(pipelined.waitForConnected(5000));
    pipelined.write(QByteArray("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n").repeated(50));
    QTRY_COMPARE(pipelined.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(renders, 0);
    QCOMPARE(send("GET", u"/metrics"_s).first, 200);
    QCOMPARE(send("GET", u"/metrics"_s).first, 200);

    MetricsServer taken([] { return QByteArray(); });
    QVERIFY(!taken.Listen(u"127.0.0.1"_s, server.Port(), &error));
    QVERIFY(error.contains(QString::number(server.Port())));
}

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
