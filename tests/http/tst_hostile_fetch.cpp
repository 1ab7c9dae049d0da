#include "http/http_client.h"

#include "hostile/hostile_cases.h"

#include <QElapsedTimer>
#include <QTest>

#include <thread>

namespace {

constexpr int kTimeoutSeconds = 1;
// Every call must be over by its own time limit plus this.
const qint64 kSlackMs = Instrumented(2000);

struct Observed
{
    int status = -1;
    qint64 statusMs = 0;
    QString page;
    FetchResult fetch;
    qint64 fetchMs = 0;
};

} // namespace

// The status probe and the page fetch against servers that hang, drip, flood, lie and break off.
class TestHostileFetch final : public QObject
{
    Q_OBJECT

private slots:
    void everyHostileServerEndsInTimeWithASaneResult();
};

void TestHostileFetch::everyHostileServerEndsInTimeWithASaneResult()
{
    HostileFarmRun farm;
    QVERIFY(farm.IsListening());
    const QList<HostileSite>& sites = farm.Sites();

    // One thread per site, each with its own client, as the monitor runs them.
    QList<Observed> observed(sites.size());
    std::vector<std::thread> threads;
    for (qsizetype i = 0; i < sites.size(); ++i) {
        threads.emplace_back([&site = sites[i], &out = observed[i]] {
            HttpClient client;
            QElapsedTimer timer;
            timer.start();
            out.status = client.QueryStatus(site.url, false, kTimeoutSeconds);
            // The next attempt starts on a fresh request object: dropping the old one must not wait either.
            client.Recreate();
            out.statusMs = timer.restart();
            FetchOptions options;
            options.timeoutSeconds = kTimeoutSeconds;
            out.page = client.FetchPage(site.url, options, &out.fetch);
            out.fetchMs = timer.elapsed();
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    for (qsizetype i = 0; i < sites.size(); ++i) {
        const HostileSite& site = sites[i];
        const Observed& out = observed[i];
        const QByteArray what = site.name.toUtf8() + ": status " + QByteArray::number(out.status) + " after "
            + QByteArray::number(out.statusMs) + " ms, fetch of " + QByteArray::number(out.fetch.body.size())
            + " bytes after " + QByteArray::number(out.fetchMs) + " ms";
        QVERIFY2(out.statusMs <= kTimeoutSeconds * 1000 + kSlackMs, what);
        // The time-out bounds the connection and then each gap: two of them back to back, and a second more
        // for inflating the gzip bomb on a busy machine.
        QVERIFY2(out.fetchMs <= 2 * kTimeoutSeconds * 1000 + 1000 + kSlackMs, what);
        QVERIFY2(out.status == site.status, what);
        QVERIFY2(out.fetch.body.size() <= kDefaultMaxBodyBytes, what);
        QVERIFY2(out.page.contains(kHostileKeyword) == (site.found != -1), what);
        QVERIFY2(!out.page.contains(u"root:"_s), what);
    }

    // Both ended by their caps, not by the deadline: the flood and the bomb are cut at the body limit.
    for (const char* capped : { "endless body", "gzip bomb" }) {
        const qsizetype i = std::find_if(sites.cbegin(), sites.cend(), [&](const HostileSite& s) {
            return s.name == QLatin1StringView(capped);
        }) - sites.cbegin();
        QVERIFY2(observed[i].fetch.truncated, capped);
        QCOMPARE(observed[i].fetch.body.size(), kDefaultMaxBodyBytes);
    }

    QVERIFY(farm.PeakMemoryStayedBounded());
    QCOMPARE(farm.StopAndCountThreads(), farm.ThreadsBefore());
}

QTEST_GUILESS_MAIN(TestHostileFetch)
#include "tst_hostile_fetch.moc"
