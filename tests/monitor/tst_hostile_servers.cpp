#include "monitor/monitoring_run.h"

#include "hostile/hostile_cases.h"
#include "monitor/report_model.h"
#include "monitor/site_check.h"
#include "monitor/status_codes.h"
#include "support/scaled_clock.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSignalSpy>
#include <QTest>

#include <thread>

namespace {

constexpr int kTimeoutSeconds = 1;
// Retry waits of 1+2+3+4 s pass 20 times faster.
constexpr double kClockFactor = 20;
constexpr qint64 kRetryWaitsMs = qint64(10000 / kClockFactor);
const qint64 kSlackMs = Instrumented(2000);
// Four status attempts of at most the time-out each, the waits between them.
const qint64 kStatusBoundMs = kStatusAttempts * kTimeoutSeconds * 1000 + kRetryWaitsMs + kSlackMs;
// One page fetch: the time-out on the connection, then on a gap, and a second for inflating the gzip bomb.
const qint64 kContentBoundMs = 2 * kTimeoutSeconds * 1000 + 1000 + kSlackMs;

// Column 2 of a page without the keyword: a plain miss, or a page cut short (these sites cut many).
bool ReadsAsMissing(const QString& text)
{
    return text == u"找不到"_s || text == QString::fromUtf16(kPageIncompleteText);
}

// The status column's text for each status the farm's sites give.
const QHash<int, QString> kStatusTexts = {
    { 0, u"0|访问异常，没有信号"_s },
    { 100, u"100|已响应初始请求，继续其余请求(Continue)"_s },
    { 200, u"200|访问正常(OK)"_s },
    { 301, u"301|文档已被永久性转移到新页面(Moved Permanently)"_s },
    { 302, u"302|文档已被临时性转移到新页面(Found)"_s },
};

// The default codes 200|301|100|302 take every answer the farm gives; only no answer at all fails them.
bool StatusHolds(int status)
{
    return status != 0;
}

MonitorSettings Conditions(bool byStatus, bool byContent)
{
    MonitorSettings settings;
    settings.byStatus = byStatus;
    settings.byContent = byContent;
    settings.contentKeywords = kHostileKeyword;
    settings.timeoutText = QString::number(kTimeoutSeconds);
    return settings;
}

QString Describe(const HostileSite& site, const CheckRecord& outcome, qint64 realMs)
{
    return u"%1: normal %2, status %3, columns [%4] [%5] [%6], %7 attempts, %8 ms"_s.arg(site.name)
        .arg(outcome.normal)
        .arg(outcome.status)
        .arg(outcome.StatusText(), outcome.FoundText(), outcome.ResponseTime())
        .arg(outcome.attempts)
        .arg(realMs);
}

} // namespace

// The site check and the monitoring run against servers that hang, drip, flood, lie and break off: every
// check ends within its bound with a verdict and column texts, memory stays bounded and no thread stays behind.
class TestHostileServers final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { LoadStatusCodeList(); }
    void eachConditionEndsInTimeWithASaneVerdict_data();
    void eachConditionEndsInTimeWithASaneVerdict();
    void runOverHostileSitesFinishesEveryRow();
};

void TestHostileServers::eachConditionEndsInTimeWithASaneVerdict_data()
{
    QTest::addColumn<bool>("byStatus");
    QTest::newRow("status condition") << true;
    QTest::newRow("content condition") << false;
}

void TestHostileServers::eachConditionEndsInTimeWithASaneVerdict()
{
    QFETCH(bool, byStatus);
    HostileFarmRun farm;
    QVERIFY(farm.IsListening());
    const QList<HostileSite>& sites = farm.Sites();
    const MonitorSettings settings = Conditions(byStatus, !byStatus);
    ScaledClock clock(kClockFactor);
    ShutdownSignal shutdown;

    QList<CheckRecord> outcomes(sites.size());
    QList<qint64> realMs(sites.size());
    std::vector<std::thread> threads;
    for (qsizetype i = 0; i < sites.size(); ++i) {
        threads.emplace_back([&, i] {
            QElapsedTimer timer;
            timer.start();
            outcomes[i] = RunSiteCheck(sites[i].url, settings, clock, shutdown);
            realMs[i] = timer.elapsed();
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    for (qsizetype i = 0; i < sites.size(); ++i) {
        const HostileSite& site = sites[i];
        const CheckRecord& outcome = outcomes[i];
        const QByteArray what = Describe(site, outcome, realMs[i]).toUtf8();
        QVERIFY2(!outcome.cancelled, what);
        QVERIFY2(!outcome.ResponseTime().isEmpty(), what);
        if (byStatus) {
            QVERIFY2(realMs[i] <= kStatusBoundMs, what);
            QVERIFY2(outcome.status == site.status, what);
            // No response (0) and an interim 100 are retried; anything else is taken at once.
            const bool retried = site.status == 0 || site.status == 100;
            QVERIFY2(outcome.attempts == (retried ? kStatusAttempts : 1), what);
            QVERIFY2(outcome.normal == StatusHolds(site.status), what);
            QVERIFY2(outcome.StatusText() == kStatusTexts.value(site.status), what);
            QVERIFY2(outcome.FoundText() == u"无查询"_s, what);
            QVERIFY2(!outcome.pageFetched, what);
        } else {
            QVERIFY2(realMs[i] <= kContentBoundMs, what);
            QVERIFY2(outcome.attempts == 0 && outcome.pageFetched, what);
            QVERIFY2(outcome.found == site.found, what);
            QVERIFY2(outcome.normal == (site.found != -1), what);
            QVERIFY2(outcome.StatusText() == u"无查询"_s, what);
            QVERIFY2(site.found == -1 ? ReadsAsMissing(outcome.FoundText())
                                      : outcome.FoundText() == QString::number(site.found),
                what);
        }
    }

    QVERIFY(farm.PeakMemoryStayedBounded());
    QCOMPARE(farm.StopAndCountThreads(), farm.ThreadsBefore());
}

// The real path: worker threads started by the run, results applied on this thread, the abnormal list kept.
void TestHostileServers::runOverHostileSitesFinishesEveryRow()
{
    HostileFarmRun farm;
    QVERIFY(farm.IsListening());
    const QList<HostileSite>& sites = farm.Sites();
    QStringList lines;
    for (const HostileSite& site : sites)
        lines.append(site.url);

    auto run = std::make_unique<MonitoringRun>(std::make_shared<ScaledClock>(kClockFactor));
    MonitorSettings settings = Conditions(true, true);
    settings.threadsText = u"100"_s;
    settings.intervalText = u"0"_s;
    run->SetSettings(settings);
    run->SetSiteListText(lines.join(u"\r\n"_s));
    run->SetMaxPasses(2);
    QSignalSpy finished(run.get(), &MonitoringRun::RunFinished);
    QSignalSpy passes(run.get(), &MonitoringRun::PassFinished);

    QElapsedTimer timer;
    timer.start();
    run->Click();
    const qint64 passBoundMs = kStatusBoundMs + kContentBoundMs;
    QVERIFY(finished.wait(int(2 * passBoundMs + kSlackMs)));
    QVERIFY2(timer.elapsed() <= 2 * passBoundMs + kSlackMs, QByteArray::number(timer.elapsed()));
    QCOMPARE(passes.count(), 2);
    QCOMPARE(run->RunningChecks(), 0);

    ReportModel* all = run->SiteModel();
    ReportModel* abnormal = run->AbnormalModel();
    QCOMPARE(all->rowCount(), int(sites.size()));
    QStringList expectedAbnormal;
    for (int row = 0; row < all->rowCount(); ++row) {
        const HostileSite& site = sites[row];
        const bool normal = StatusHolds(site.status) && site.found != -1;
        if (!normal)
            expectedAbnormal.append(site.url);
        const QByteArray what
            = site.name.toUtf8() + " [" + all->Text(row, 1).toUtf8() + "] [" + all->Text(row, 2).toUtf8() + "]";
        QVERIFY2(all->State(row) == (normal ? ReportModel::StateNormal : ReportModel::StateAbnormal), what);
        QVERIFY2(all->Text(row, 1) == kStatusTexts.value(site.status), what);
        QVERIFY2(!all->Text(row, 3).isEmpty(), what);
        // The page is fetched only when the status holds; otherwise the position stays 0.
        const bool statusHolds = StatusHolds(site.status);
        if (statusHolds && site.found == -1)
            QVERIFY2(ReadsAsMissing(all->Text(row, 2)), what);
        else
            QVERIFY2(all->Text(row, 2) == (statusHolds ? QString::number(site.found) : u"0"_s), what);
    }
    // Abnormal twice in a row: still one row each, in the order they first failed.
    QCOMPARE(abnormal->rowCount(), int(expectedAbnormal.size()));
    QStringList abnormalUrls;
    for (int row = 0; row < abnormal->rowCount(); ++row) {
        abnormalUrls.append(abnormal->Url(row));
        QCOMPARE(abnormal->State(row), int(ReportModel::StateAbnormal));
    }
    abnormalUrls.sort();
    expectedAbnormal.sort();
    QCOMPARE(abnormalUrls, expectedAbnormal);

    QVERIFY(farm.PeakMemoryStayedBounded());
    run.reset();
    QCOMPARE(farm.StopAndCountThreads(), farm.ThreadsBefore());
}

QTEST_GUILESS_MAIN(TestHostileServers)
#include "tst_hostile_servers.moc"
