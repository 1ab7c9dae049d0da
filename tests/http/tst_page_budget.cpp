#include "http/page_budget.h"
#include "http/page_fetch.h"

#include "support/loopback_server.h"

#include <QElapsedTimer>
#include <QTest>

#include <functional>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 kSmall = 64 * 1024;
constexpr qint64 kLarge = 1024 * 1024;
constexpr qint64 kCapacity = 8 * kSmall + 2 * kLarge;

// Shrinks the process budget to kCapacity and runs `fetch` on that many threads at once: how many returned true.
int FetchAtOnce(int threads, const std::function<bool(int)>& fetch)
{
    PageBudget::Process().Configure(kSmall, kLarge, kCapacity);
    PageBudget::Process().ResetPeak();
    std::vector<std::thread> running;
    std::atomic<int> whole { 0 };
    for (int i = 0; i < threads; ++i)
        running.emplace_back([&, i] { whole += fetch(i) ? 1 : 0; });
    for (auto& thread : running)
        thread.join();
    return whole.load();
}

} // namespace

// The process budget through real page fetches on loopback, shrunk so that a few pages exhaust it.
class TestPageBudget final : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { PageBudget::Process().SetConcurrency(64); }
    void budgetHoldsWhilePagesWait();
    void slowLargePagesAreReadWholeWhileTheyWait();
    void waitForBudgetOutlastsTheTimeout();
};

// Eight fetches of large and small pages against room for two large pages: they queue, each gets its whole
// page, and the bytes held never pass the capacity.
void TestPageBudget::budgetHoldsWhilePagesWait()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());
    const QByteArray large(kLarge, 'x');
    server.Route("/large", LoopbackResponse::Ok(large));
    server.Route("/small", LoopbackResponse::Ok("small page"));
    PageBudget& budget = PageBudget::Process();
    const qint64 waitsBefore = budget.Waits();
    const int whole = FetchAtOnce(8, [&](int i) {
        bool both = true;
        for (int round = 0; round < 2; ++round) {
            FetchResult result;
            FetchOptions options;
            options.timeoutSeconds = 30;
            FetchPage(server.Url(i % 4 == 3 ? u"/small"_s : u"/large"_s), options, &result);
            both = both && result.body == (i % 4 == 3 ? QByteArray("small page") : large) && !result.truncated;
            // Holding the page a while is what makes the others wait.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return both;
    });
    QCOMPARE(whole, 8);
    QVERIFY(budget.Waits() > waitsBefore);
    QVERIFY2(budget.PeakInUse() <= kCapacity, qPrintable(QString::number(budget.PeakInUse())));
    QVERIFY(budget.PeakInUse() >= 2 * kLarge);
    QCOMPARE(budget.InUse(), 0);
}

// Ten pages of 400 KB, each sent in pieces with gaps shorter than the time-out but longer in all than it, against
// a budget too small for all at once: those that wait for budget are still read whole.
void TestPageBudget::slowLargePagesAreReadWholeWhileTheyWait()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());
    const QByteArray page(400 * 1000, 'p');
    LoopbackResponse slow = LoopbackResponse::Drip(page, 200);
    slow.dripBytes = page.size() / 8;
    server.Route("/slow", slow);
    PageBudget& budget = PageBudget::Process();
    const qint64 waitsBefore = budget.Waits();
    const int whole = FetchAtOnce(10, [&](int) {
        FetchOptions options;
        options.timeoutSeconds = 1;
        FetchResult result;
        FetchPage(server.Url(u"/slow"_s), options, &result);
        return result.body == page && !result.truncated && !result.timedOut;
    });
    QCOMPARE(whole, 10);
    QVERIFY(budget.Waits() > waitsBefore);
    QVERIFY2(budget.PeakInUse() <= kCapacity, qPrintable(QString::number(budget.PeakInUse())));
    QCOMPARE(budget.InUse(), 0);
}

// A fetch waiting for budget longer than its time-out gets its page once the holder lets go.
void TestPageBudget::waitForBudgetOutlastsTheTimeout()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.Route("/large", LoopbackResponse::Ok(QByteArray(kLarge, 'x')));
    server.Route("/half", LoopbackResponse::Ok(QByteArray(kLarge / 2, 'y')));
    PageBudget& budget = PageBudget::Process();
    budget.Configure(kSmall, kLarge, kSmall + kLarge);

    FetchResult holder;
    FetchPage(server.Url(u"/large"_s), {}, &holder);
    QCOMPARE(holder.body.size(), kLarge);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        holder = {};
    });

    FetchOptions options;
    options.timeoutSeconds = 1;
    FetchResult waiting;
    QElapsedTimer timer;
    timer.start();
    FetchPage(server.Url(u"/half"_s), options, &waiting);
    const qint64 elapsed = timer.elapsed();
    release.join();
    QVERIFY2(elapsed >= 1400, qPrintable(QString::number(elapsed)));
    QVERIFY(!waiting.timedOut);
    QCOMPARE(waiting.body.size(), kLarge / 2);
    waiting = {};
    QCOMPARE(budget.InUse(), 0);
}

QTEST_GUILESS_MAIN(TestPageBudget)
#include "tst_page_budget.moc"
