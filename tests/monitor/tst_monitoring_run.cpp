#include "monitor/monitoring_run.h"

#include "monitor/clock.h"
#include "monitor/report_model.h"
#include "monitor/status_codes.h"
#include "support/loopback_server.h"
#include "support/process_probe.h"
#include "support/scaled_clock.h"
#include "support/slack.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <mutex>
#include <thread>

#include <dlfcn.h>
#include <pthread.h>

// While set, thread creation fails as on a system out of threads; everything else reaches the C library.
std::atomic<bool> g_refuseThreads { false };

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg)
{
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto next = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (g_refuseThreads.load() || !next)
        return EAGAIN;
    return next(thread, attr, start, arg);
}

namespace {

constexpr int kLongWaitMs = 120'000;
using State = MonitoringRun::RunState;

// A server whose handler holds each answer back and counts the requests being answered at the same moment,
// overall and per path; a run wired to it that records its states, counts and messages.
struct Fixture
{
    Fixture(std::shared_ptr<Clock> clock, int holdMs, const QString& threads, const QString& interval, int sites)
        : run(std::move(clock))
    {
        server.SetHandler([this, holdMs](const LoopbackRequest& request) {
            const QByteArray path = request.Path();
            {
                std::lock_guard lock(mutex);
                maxInFlight = std::max(maxInFlight, ++inFlight);
                maxOnOnePath = std::max(maxOnOnePath, ++inFlightByPath[path]);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
            std::lock_guard lock(mutex);
            --inFlight;
            --inFlightByPath[path];
            return reply ? reply(path) : LoopbackResponse::Ok();
        });
        SetCounts(threads, interval);
        QStringList lines;
        for (int i = 0; i < sites; ++i)
            lines.append(server.Url(u"/s%1"_s.arg(i)));
        run.SetSiteListText(lines.join(u"\r\n"_s));
        QObject::connect(&run, &MonitoringRun::StateChanged, &run, [this](MonitoringRun::RunState state) {
            states.append(state);
            runningAtState.append(run.RunningChecks());
        });
        QObject::connect(&run, &MonitoringRun::ListsFilled, &run, [this](int sites) {
            filledSites = sites;
            abnormalCount = -1;
        });
        QObject::connect(
            &run, &MonitoringRun::AbnormalCountChanged, &run, [this](int count) { abnormalCount = count; });
        QObject::connect(
            &run, &MonitoringRun::MessageRequested, &run, [this](const QString& text) { messages.append(text); });
        QObject::connect(&run, &MonitoringRun::WarningRequested, &run,
            [this](const QString& text) { messages.append(u"warning: "_s + text); });
    }
    void SetCounts(const QString& threads, const QString& interval)
    {
        MonitorSettings settings;
        settings.threadsText = threads;
        settings.intervalText = interval;
        run.SetSettings(settings);
    }
    int InFlight()
    {
        std::lock_guard lock(mutex);
        return inFlight;
    }
    int MaxInFlight()
    {
        std::lock_guard lock(mutex);
        return maxInFlight;
    }

    std::mutex mutex;
    int inFlight = 0;
    int maxInFlight = 0;
    int maxOnOnePath = 0;
    QHash<QByteArray, int> inFlightByPath;
    std::function<LoopbackResponse(const QByteArray& path)> reply; // set before the run starts
    // Destroyed before the state its handler uses, after the run has cancelled its checks.
    LoopbackServer server;
    MonitoringRun run;
    QList<MonitoringRun::RunState> states;
    QList<int> runningAtState;
    int filledSites = -1;
    int abnormalCount = -1; // -1 until the run reports a count
    QStringList messages;
    QSignalSpy finished { &run, &MonitoringRun::RunFinished };
};

// The server's own wait would block the event loop that starts the checks.
bool Requests(const LoopbackServer& server, int count)
{
    return QTest::qWaitFor([&] { return server.RequestCount() >= count; }, kLongWaitMs);
}

std::shared_ptr<Clock> Fast()
{
    return std::make_shared<ScaledClock>(1000);
}

} // namespace

class TestMonitoringRun final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { LoadStatusCodeList(); }
    void concurrencyStaysWithinThreadCount();
    void stopProtocol_data();
    void stopProtocol();
    void unusableThreadCountStillStops_data();
    void unusableThreadCountStillStops();
    void raisedThreadCountFreesThrottle();
    void neverTwoChecksOnOneRow();
    void intervalCountsFromPassStart();
    void passSummariesInPassOrder();
    void threadFailureWarnsOncePerPass();
    void abnormalListFollowsVerdicts();
    void settingsChangeAppliesToLaterChecks();
    void siteListParsing();
    void contentCheckOverHttps();
    void shutdownCancelsRunningChecks();
    void idleWorkersLeaveWithTheRun();
};

void TestMonitoringRun::concurrencyStaysWithinThreadCount()
{
    Fixture f(Fast(), 300, u"5"_s, u"100"_s, 20);
    f.run.SetMaxPasses(1);
    QSignalSpy checkCounts(&f.run, &MonitoringRun::CheckCountsChanged);
    QSignalSpy currentRows(&f.run, &MonitoringRun::CurrentRowRequested);
    QSignalSpy passes(&f.run, &MonitoringRun::PassFinished);

    f.run.Click();
    QVERIFY(f.finished.wait(kLongWaitMs));
    QCOMPARE(f.MaxInFlight(), 5);
    QCOMPARE(f.server.RequestCount(), 20);
    QCOMPARE(f.states, QList({ State::Running, State::WaitingThreads, State::Idle }));
    QCOMPARE(f.messages, QStringList({ u"监控停止！"_s }));
    QCOMPARE(passes.count(), 1);
    QCOMPARE(passes.first().at(0).value<PassSummary>().sites, 20);

    // Each start selects its row; the row that fills the last slot is selected by the run first.
    QList<int> firstRows;
    for (int i = 0; i < 6; ++i)
        firstRows.append(currentRows.at(i).at(0).toInt());
    QCOMPARE(firstRows, QList<int>({ 0, 1, 2, 3, 4, 4 }));
    QCOMPARE(checkCounts.first(), QVariantList({ 1, 0 }));
    QCOMPARE(checkCounts.last().at(0).toInt(), 0);

    ReportModel* sites = f.run.SiteModel();
    QCOMPARE(f.filledSites, 20);
    QCOMPARE(f.abnormalCount, -1);
    for (int row = 0; row < 20; ++row) {
        QCOMPARE(sites->State(row), int(ReportModel::StateNormal));
        QCOMPARE(sites->Text(row, 1), u"200|访问正常(OK)"_s);
        QCOMPARE(sites->Text(row, 2), u"无查询"_s);
        QVERIFY(sites->ItemData(row) > 0);
    }
}

void TestMonitoringRun::stopProtocol_data()
{
    QTest::addColumn<QString>("when");
    QTest::addColumn<QList<State>>("states");
    const QList usual = { State::Running, State::Stopping, State::WaitingThreads, State::Idle };
    QTest::newRow("during a pass") << u"pass"_s << usual;
    QTest::newRow("during the interval wait") << u"interval"_s << usual;
    QTest::newRow("while waiting for threads")
        << u"threads"_s << QList({ State::Running, State::WaitingThreads, State::Stopping, State::Idle });
}

// On the real clock: the interval wait must end at once when stopped.
void TestMonitoringRun::stopProtocol()
{
    QFETCH(QString, when);
    QFETCH(QList<State>, states);
    const bool duringPass = when == u"pass"_s;
    Fixture f(std::make_shared<SteadyClock>(), when == u"interval"_s ? 0 : 600, duringPass ? u"2"_s : u"5"_s, u"100"_s,
        duringPass ? 10 : 3);
    if (when == u"threads"_s)
        f.run.SetMaxPasses(1);
    QSignalSpy passes(&f.run, &MonitoringRun::PassFinished);

    f.run.Click();
    if (duringPass) {
        QVERIFY(QTest::qWaitFor([&] { return f.InFlight() == 2; }, kLongWaitMs));
        QCOMPARE(f.run.SiteModel()->Text(1, 1), u"正在访问.."_s);
        QCOMPARE(f.run.SiteModel()->State(1), int(ReportModel::StateInProgress));
    } else if (when == u"interval"_s) {
        QVERIFY(passes.wait(kLongWaitMs));
    } else {
        QVERIFY(QTest::qWaitFor([&] { return f.run.State() == State::WaitingThreads; }, kLongWaitMs));
    }
    QElapsedTimer sinceStop;
    sinceStop.start();
    f.run.Click();
    QCOMPARE(f.run.State(), State::Stopping);
    QVERIFY(f.finished.wait(kLongWaitMs));
    QCOMPARE(f.states, states);
    QCOMPARE(f.messages, QStringList({ u"监控停止！"_s }));
    QCOMPARE(f.run.RunningChecks(), 0);

    if (duringPass) {
        // The waiting state comes while checks still run; rows after the stop are never started.
        QVERIFY(f.runningAtState.at(2) > 0);
        QVERIFY(f.server.RequestCount() < 10);
        QCOMPARE(f.run.SiteModel()->State(9), int(ReportModel::StateUnchecked));
    } else if (when == u"interval"_s) {
        QVERIFY2(sinceStop.elapsed() < 5000, qPrintable(QString::number(sinceStop.elapsed())));
    }
    QCOMPARE(f.run.SiteModel()->rowCount(), duringPass ? 10 : 3); // kept after the run
}

void TestMonitoringRun::unusableThreadCountStillStops_data()
{
    QTest::addColumn<QString>("threads");
    QTest::newRow("zero") << u"0"_s;
    QTest::newRow("negative") << u"-3"_s;
    QTest::newRow("not a number") << u"abc"_s;
}

// Such a count lets one check start and then waits for a slot that never frees: a stop must still end the run.
// 50,000 rows also show that filling the list does not hold the run up.
void TestMonitoringRun::unusableThreadCountStillStops()
{
    QFETCH(QString, threads);
    Fixture f(Fast(), 0, threads, u"100"_s, 50'000);
    f.run.Click();
    QCOMPARE(f.filledSites, 50'000);
    QVERIFY(QTest::qWaitFor([&] { return f.run.RunningChecks() == 0 && f.server.RequestCount() == 1; }, kLongWaitMs));
    QTest::qWait(50);
    f.run.Click();
    QVERIFY(f.finished.wait(kLongWaitMs));
    QCOMPARE(f.run.State(), State::Idle);
    QCOMPARE(f.server.RequestCount(), 1);
}

void TestMonitoringRun::raisedThreadCountFreesThrottle()
{
    Fixture f(Fast(), 200, u"0"_s, u"100"_s, 12);
    f.run.SetMaxPasses(1);
    f.run.Click();
    QVERIFY(Requests(f.server, 1));
    f.SetCounts(u"99999"_s, u"100"_s);
    QVERIFY(f.finished.wait(kLongWaitMs));
    QCOMPARE(f.server.RequestCount(), 12);
    QVERIFY(f.MaxInFlight() >= 6); // the huge count is capped, not refused: the rest ran side by side
}

// Passes without an interval run over rows whose check is still going: those rows are skipped.
void TestMonitoringRun::neverTwoChecksOnOneRow()
{
    Fixture f(Fast(), 150, u"5"_s, u"0"_s, 3);
    f.run.Click();
    QVERIFY(Requests(f.server, 9));
    f.run.Click();
    QVERIFY(f.finished.wait(kLongWaitMs));
    std::lock_guard lock(f.mutex);
    QCOMPARE(f.maxOnOnePath, 1);
    QVERIFY(f.run.PassNumber() >= 3);
}

// A pass of 2 s under a 3 s interval is followed 1 s after it ends, not 3 s.
void TestMonitoringRun::intervalCountsFromPassStart()
{
    auto clock = std::make_shared<ScaledClock>(2);
    Fixture f(clock, 1000, u"1"_s, u"3"_s, 1);
    QList<qint64> arrivals;
    f.reply = [&](const QByteArray&) {
        arrivals.append(clock->NowMs()); // under the fixture's lock
        return LoopbackResponse::Ok();
    };
    f.run.SetMaxPasses(2);
    f.run.Click();
    QVERIFY(f.finished.wait(kLongWaitMs));
    std::lock_guard lock(f.mutex);
    QCOMPARE(arrivals.size(), 2);
    const qint64 gap = arrivals.at(1) - arrivals.at(0);
    QVERIFY2(gap >= 2500 && gap < 4500, qPrintable(QString::number(gap)));
}

// Pass 2 skips the row pass 1 is still checking and is done first; its summary still comes second.
void TestMonitoringRun::passSummariesInPassOrder()
{
    Fixture f(Fast(), 500, u"5"_s, u"0"_s, 1);
    QSignalSpy passes(&f.run, &MonitoringRun::PassFinished);
    f.run.SetMaxPasses(2);
    f.run.Click();
    QVERIFY(f.finished.wait(kLongWaitMs));
    QCOMPARE(passes.count(), 2);
    QCOMPARE(passes.at(0).at(0).value<PassSummary>().pass, 1);
    QCOMPARE(passes.at(0).at(0).value<PassSummary>().sites, 1);
    QCOMPARE(passes.at(1).at(0).value<PassSummary>().pass, 2);
    QCOMPARE(passes.at(1).at(0).value<PassSummary>().sites, 0);
}

void TestMonitoringRun::threadFailureWarnsOncePerPass()
{
    Fixture f(Fast(), 0, u"5"_s, u"0"_s, 3);
    f.run.SetMaxPasses(2);
    g_refuseThreads = true;
    f.run.Click();
    const bool finished = f.finished.wait(kLongWaitMs);
    g_refuseThreads = false;
    QVERIFY(finished);
    const QString warning = u"warning: 启动线程失败，可能系统出现故障，请重装系统！"_s;
    QCOMPARE(f.messages, QStringList({ warning, warning, u"监控停止！"_s }));
    QCOMPARE(f.server.RequestCount(), 0);
}

void TestMonitoringRun::abnormalListFollowsVerdicts()
{
    Fixture f(std::make_shared<ScaledClock>(20), 0, u"1"_s, u"1"_s, 0);
    int flips = 0;
    f.reply = [&](const QByteArray& path) {
        static const int kFlipStatuses[] = { 404, 500, 200 };
        if (path == "/flip")
            return LoopbackResponse::Status(kFlipStatuses[std::min(flips++, 2)]);
        return LoopbackResponse::Status(path == "/ok" ? 200 : 404);
    };
    const QStringList urls = { f.server.Url(u"/ok"_s), f.server.Url(u"/flip"_s), f.server.Url(u"/dup"_s),
        f.server.Url(u"/bad"_s), f.server.Url(u"/dup"_s) };
    f.run.SetSiteListText(urls.join(u"\r\n"_s));
    f.run.SetMaxPasses(3);
    ReportModel* abnormal = f.run.AbnormalModel();
    QList<QStringList> snapshots; // per pass: the reported count, then URL and column 1 of each abnormal row
    connect(&f.run, &MonitoringRun::PassFinished, this, [&] {
        QStringList snapshot = { QString::number(f.abnormalCount) };
        for (int row = 0; row < abnormal->rowCount(); ++row)
            snapshot << abnormal->Url(row) + u' ' + abnormal->Text(row, 1);
        snapshots.append(snapshot);
    });
    QSignalSpy added(&f.run, &MonitoringRun::AbnormalRowAdded);
    f.run.Click();
    QVERIFY(f.finished.wait(kLongWaitMs));

    const QString e404 = u" 404|该文档已经不存在(Not Found)"_s;
    const QString e500 = u" 500|服务器遇到了意料不到的情况不能完成请求(Internal Server Error)"_s;
    QCOMPARE(snapshots.size(), 3);
    QCOMPARE(snapshots.at(0), QStringList({ u"3"_s, urls[1] + e404, urls[2] + e404, urls[3] + e404 }));
    QCOMPARE(snapshots.at(1), QStringList({ u"3"_s, urls[1] + e500, urls[2] + e404, urls[3] + e404 }));
    QCOMPARE(snapshots.at(2), QStringList({ u"2"_s, urls[2] + e404, urls[3] + e404 }));
    QCOMPARE(added.count(), 3);
    // The duplicate shares the first one's abnormal row, which keeps the index of the row that added it.
    QCOMPARE(abnormal->ItemData(0), 2);
    QCOMPARE(abnormal->State(0), int(ReportModel::StateAbnormal));
    QCOMPARE(abnormal->Text(0, 2), u"无查询"_s);
    QCOMPARE(f.run.SiteModel()->State(1), int(ReportModel::StateNormal));
    QCOMPARE(f.run.SiteModel()->State(4), int(ReportModel::StateAbnormal));
}

void TestMonitoringRun::settingsChangeAppliesToLaterChecks()
{
    Fixture f(Fast(), 0, u"1"_s, u"100"_s, 3);
    f.run.SetMaxPasses(1);
    connect(&f.run, &MonitoringRun::CheckFinished, this, [&](const CheckRecord& record) {
        if (record.row != 0)
            return;
        MonitorSettings settings = f.run.Settings();
        settings.statusCodes = u"404"_s;
        f.run.SetSettings(settings);
    });
    f.run.Click();
    QVERIFY(f.finished.wait(kLongWaitMs));
    ReportModel* sites = f.run.SiteModel();
    QCOMPARE(sites->State(0), int(ReportModel::StateNormal));
    QCOMPARE(sites->State(1), int(ReportModel::StateAbnormal));
    QCOMPARE(sites->State(2), int(ReportModel::StateAbnormal));
    QCOMPARE(f.abnormalCount, 2);
}

void TestMonitoringRun::siteListParsing()
{
    Fixture f(Fast(), 0, u"5"_s, u"100"_s, 0);
    f.run.SetSiteListText({});
    f.run.SetMaxPasses(1);
    int saves = 0;
    f.run.SetSaveFormHook([&] { ++saves; });

    f.run.Click();
    QCOMPARE(f.messages, QStringList({ u"请先输入要监控的网站地址列表！"_s }));
    QVERIFY(f.states.isEmpty());
    QCOMPARE(saves, 0);

    // Blank entries only: a run over no rows.
    f.run.SetSiteListText(u"  \r\n\u3000\u3000\r\n"_s);
    f.run.Click();
    QCOMPARE(saves, 1);
    QCOMPARE(f.filledSites, 0);
    QVERIFY(f.finished.wait(kLongWaitMs));

    const QString url = f.server.Url(u"/a"_s);
    const QString longUrl = f.server.Url(u"/"_s + QString(8192, u'x'));
    const QString spaced = u"http://[::1]:1/a b"_s; // nothing listens there
    f.run.SetSiteListText(
        u"  "_s + url + u"\u3000\r\n\t"_s + url + u"\r\n\r\n"_s + url + u"\n"_s + longUrl + u"\r\n"_s + spaced);
    f.run.Click();
    QVERIFY(f.finished.wait(kLongWaitMs));
    ReportModel* sites = f.run.SiteModel();
    QCOMPARE(f.filledSites, 5);
    QCOMPARE(sites->Url(0), url);
    QCOMPARE(sites->Url(1), u"\t"_s + url); // tabs are not trimmed
    QCOMPARE(sites->Url(2), url);
    QCOMPARE(sites->Url(3), longUrl);
    QCOMPARE(sites->Url(4), spaced);
    QCOMPARE(sites->State(0), int(ReportModel::StateNormal));
    QCOMPARE(sites->State(2), int(ReportModel::StateNormal));
    QCOMPARE(sites->State(4), int(ReportModel::StateAbnormal));
    QCOMPARE(sites->Text(4, 1), u"0|访问异常，没有信号"_s);
    QCOMPARE(saves, 2);
}

// The whole page path (TLS, gzip, charset, keyword search) runs on a worker's small stack.
void TestMonitoringRun::contentCheckOverHttps()
{
    LoopbackServer server(LoopbackServer::Https);
    QVERIFY(server.IsListening());
    LoopbackResponse page = LoopbackResponse::Ok(GzipCompress(QByteArray(300'000, ' ') + "<p>巡更灯</p>"));
    page.Header("Content-Encoding", "gzip").Header("Content-Type", "text/html; charset=utf-8");
    server.SetDefault(page);
    MonitoringRun run(Fast());
    MonitorSettings settings;
    settings.byStatus = false;
    settings.byContent = true;
    settings.contentKeywords = u"巡更灯"_s;
    run.SetSettings(settings);
    run.SetSiteListText(server.Url(u"/page"_s));
    run.SetMaxPasses(1);
    QSignalSpy finished(&run, &MonitoringRun::RunFinished);
    run.Click();
    QVERIFY(finished.wait(kLongWaitMs));
    QCOMPARE(run.SiteModel()->Text(0, 2), u"300004"_s);
    QCOMPARE(run.SiteModel()->State(0), int(ReportModel::StateNormal));
}

void TestMonitoringRun::shutdownCancelsRunningChecks()
{
    auto f = std::make_unique<Fixture>(std::make_shared<SteadyClock>(), 0, u"5"_s, u"100"_s, 3);
    f->reply = [](const QByteArray&) { return LoopbackResponse::Stall(); };
    MonitorSettings settings = f->run.Settings();
    settings.timeoutText = u"30"_s;
    f->run.SetSettings(settings);
    f->run.Click();
    QVERIFY(Requests(f->server, 3));

    QElapsedTimer timer;
    timer.start();
    f->run.Shutdown();
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    f.reset();
    QTest::qWait(100); // results posted late must not reach the deleted run
}

// Finished workers wait a while for the next check; a run that goes away must take them along at once.
void TestMonitoringRun::idleWorkersLeaveWithTheRun()
{
    const int before = ThreadCount();
    {
        Fixture f(Fast(), 0, u"20"_s, u"100"_s, 40);
        f.run.SetMaxPasses(1);
        f.run.Click();
        QVERIFY(f.finished.wait(kLongWaitMs));
    }
    QCOMPARE(SettledThreadCount(before, int(Instrumented(3000))), before);
}

QTEST_GUILESS_MAIN(TestMonitoringRun)
#include "tst_monitoring_run.moc"
