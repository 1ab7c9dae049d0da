// The metrics page: what a scraper parses.

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
    void sinceTimesComeFromTheHistoryAndSurviveAReload();
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

void TestMetrics::sinceTimesComeFromTheHistoryAndSurviveAReload()
{
    SiteMetrics metrics;
    // The history's verdict holds for down and up; flipped changed while nobody checked; future is wrong.
    metrics.SeedVerdicts({ { u"http://down.test"_s, { false, 1600000000000 } },
        { u"http://up.test"_s, { true, 1600000001500 } }, { u"http://flipped.test"_s, { true, 1600000000000 } },
        { u"http://future.test"_s, { false, 1900000000000 } } });
    metrics.RecordCheck(Record(u"http://down.test"_s, false, 500), 1700000000000);
    metrics.RecordCheck(Record(u"http://up.test"_s, true, 200), 1700000000000);
    metrics.RecordCheck(Record(u"http://flipped.test"_s, false, 500), 1700000000000);
    metrics.RecordCheck(Record(u"http://future.test"_s, false, 500), 1700000000000);
    // Later checks: a change moves the time, an unchanged verdict keeps it.
    metrics.RecordCheck(Record(u"http://up.test"_s, false, 503), 1700000060000);
    metrics.RecordCheck(Record(u"http://down.test"_s, false, 500), 1700000060000);
    metrics.RecordPass({});
    QByteArrayList samples = Samples(metrics.Render());
    QVERIFY(samples.contains("patrol_site_state_since_timestamp_seconds{url=\"http://down.test\"} 1600000000"));
    QVERIFY(samples.contains("patrol_site_abnormal_since_timestamp_seconds{url=\"http://down.test\"} 1600000000"));
    QVERIFY(samples.contains("patrol_site_state_since_timestamp_seconds{url=\"http://up.test\"} 1700000060"));
    QVERIFY(samples.contains("patrol_site_state_since_timestamp_seconds{url=\"http://flipped.test\"} 1700000000"));
    QVERIFY(samples.contains("patrol_site_state_since_timestamp_seconds{url=\"http://future.test\"} 1700000000"));
    QVERIFY(samples.contains("patrol_sites_abnormal 4"));

    metrics.SetCertExpiry(u"http://up.test"_s, 1800000000);
    metrics.KeepOnly({ u"http://down.test"_s, u"http://new.test"_s });
    samples = Samples(metrics.Render());
    QCOMPARE(CountPrefixed(samples, "patrol_site_up{"), 1);
    QVERIFY(samples.contains("patrol_site_state_since_timestamp_seconds{url=\"http://down.test\"} 1600000000"));
    QVERIFY(samples.contains("patrol_sites_abnormal 1"));
    QCOMPARE(CountPrefixed(samples, "patrol_site_cert_expiry_timestamp_seconds"), 0);
    metrics.RecordCheck(Record(u"http://new.test"_s, true, 200), 1700000120000);
    metrics.RecordCheck(Record(u"http://down.test"_s, true, 200), 1700000120000);
    samples = Samples(metrics.Render());
    QVERIFY(samples.contains("patrol_site_state_since_timestamp_seconds{url=\"http://new.test\"} 1700000120"));
    QVERIFY(samples.contains("patrol_site_state_since_timestamp_seconds{url=\"http://down.test\"} 1700000120"));
    QVERIFY(samples.contains("patrol_sites_abnormal 0"));
    QCOMPARE(CountPrefixed(samples, "patrol_site_abnormal_since_timestamp_seconds"), 0);
}

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
