// One monitoring pass over loopback sites served by bench_site_farm, printing the pass time, how long the
// start click (list parsing and filling) took, the longest stall of the main thread's event loop after it and
// the peak resident memory.
//
//   bench_monitor_pass [--sites N] [--threads T] [--delay-ms D] [--abnormal-every K]
//   (defaults: 10000 sites, 200 threads, no delay, no abnormal site; K = 1 makes every site abnormal)

#include "monitor/monitoring_run.h"
#include "monitor/report_model.h"
#include "monitor/status_codes.h"
#include "site_farm_client.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>

using namespace Qt::StringLiterals;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int sites = IntArg(args, u"--sites"_s, 10'000);
    const int threads = IntArg(args, u"--threads"_s, 200);
    const int delayMs = IntArg(args, u"--delay-ms"_s, 0);
    const int abnormalEvery = IntArg(args, u"--abnormal-every"_s, 0);

    RaiseOpenFileLimit();

    QTemporaryDir dir;
    const QString listFile = dir.filePath(u"list.txt"_s);
    QProcess farm;
    const QString list = StartSiteFarm(farm, listFile, sites, delayMs, abnormalEvery, "bench_monitor_pass");
    if (list.isEmpty())
        return 1;

    LoadStatusCodeList();
    MonitoringRun run;
    MonitorSettings settings;
    settings.threadsText = QString::number(threads);
    run.SetSettings(settings);
    run.SetSiteListText(list);
    run.SetMaxPasses(1);

    // The longest gap between ticks of a 10 ms timer: how long the main thread was kept from its events.
    QElapsedTimer tick;
    qint64 longestGap = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, &app, [&] { longestGap = std::max(longestGap, tick.restart()); });

    QElapsedTimer pass;
    qint64 clickMs = 0;
    PassSummary summary;
    QObject::connect(&run, &MonitoringRun::PassFinished, &app, [&](const PassSummary& s) { summary = s; });
    QObject::connect(&run, &MonitoringRun::RunFinished, &app, [&] { app.quit(); });
    QTimer::singleShot(0, &app, [&] {
        tick.start();
        probe.start(10);
        pass.start();
        run.Click();
        clickMs = pass.elapsed();
        tick.restart();
    });
    app.exec();
    const qint64 passMs = pass.elapsed();
    farm.terminate();
    farm.waitForFinished(5000);

    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("sites %d  threads %d  delay %d ms  pass %lld ms  (%.0f checks/s)  checked %d  abnormal %d  "
                "start click %lld ms  longest event-loop gap after it %lld ms  peak RSS %ld KiB\n",
        sites, threads, delayMs, static_cast<long long>(passMs), sites * 1000.0 / std::max<qint64>(passMs, 1),
        summary.sites, summary.abnormal, static_cast<long long>(clickMs), static_cast<long long>(longestGap),
        usage.ru_maxrss);
    return summary.sites == sites ? 0 : 1;
}
