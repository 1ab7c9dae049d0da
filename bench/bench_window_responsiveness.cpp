// The real main window during one monitoring pass over loopback sites served by bench_site_farm: how long the
// start click (saving the form, filling the list) takes, and how well the window's event loop keeps up while
// the checks run, measured by a 1 ms timer probe (longest gap between its ticks, 99th percentile, and how many
// gaps went over 100 ms), and how long the main thread waited for a CPU meanwhile (the machine's load, not the
// program, when that is large). After the pass the bench presses the button again and waits for the run to end.
//
//   bench_window_responsiveness [--sites N] [--threads T] [--delay-ms D] [--abnormal-every K]
//   (defaults: 50000 sites, 200 threads, no delay, no abnormal site)
// Sets QT_QPA_PLATFORM=offscreen unless a platform is given.

#include "monitor/monitoring_run.h"
#include "site_farm_client.h"
#include "store/form_state_store.h"
#include "store/persistence.h"
#include "ui/main_window.h"
#include "ui/message_box.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

struct GapFigures
{
    qint64 longest = 0;
    double p99 = 0;
    double mean = 0;
    int over100 = 0;
    size_t ticks = 0;
};

GapFigures Summarise(std::vector<qint64> gapsUs)
{
    GapFigures figures;
    figures.ticks = gapsUs.size();
    if (gapsUs.empty())
        return figures;
    std::sort(gapsUs.begin(), gapsUs.end());
    figures.longest = gapsUs.back() / 1000;
    figures.p99 = double(gapsUs[std::min(gapsUs.size() - 1, gapsUs.size() * 99 / 100)]) / 1000.0;
    double sum = 0;
    for (qint64 gap : gapsUs) {
        sum += double(gap);
        if (gap > 100'000)
            ++figures.over100;
    }
    figures.mean = sum / double(gapsUs.size()) / 1000.0;
    return figures;
}

// The calling thread's time on a CPU and time spent runnable but waiting for one, in ms (0 when unknown).
std::pair<double, double> ThreadCpuAndWaitMs()
{
    QFile file(u"/proc/thread-self/schedstat"_s);
    if (!file.open(QIODevice::ReadOnly))
        return { 0, 0 };
    const QList<QByteArray> fields = file.readAll().simplified().split(' ');
    return { fields.value(0).toDouble() / 1e6, fields.value(1).toDouble() / 1e6 };
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int sites = IntArg(args, u"--sites"_s, 50'000);
    const int threads = IntArg(args, u"--threads"_s, 200);
    const int delayMs = IntArg(args, u"--delay-ms"_s, 0);
    const int abnormalEvery = IntArg(args, u"--abnormal-every"_s, 0);

    RaiseOpenFileLimit();

    QTemporaryDir dir;
    const QString listFile = dir.filePath(u"list.txt"_s);
    QProcess farm;
    const QString list = StartSiteFarm(farm, listFile, sites, delayMs, abnormalEvery, "bench_window_responsiveness");
    if (list.isEmpty())
        return 1;

    // The "监控停止！" box and any other would wait for a click.
    MessageBox::SetAutoAnswer(QMessageBox::Ok);
    FormStateStore store;
    store.SetFile(dir.filePath(u"patrol-lamp.ini"_s), 0);
    MainWindow window(&store);
    window.show();
    window.SetSiteListText(list);
    window.findChild<QLineEdit*>(Persist::kThreadsEdit)->setText(QString::number(threads));
    // One pass is measured; the interval keeps a second one from starting before the stop click.
    window.findChild<QLineEdit*>(Persist::kIntervalEdit)->setText(u"1000"_s);
    auto* startButton = window.findChild<QPushButton*>(Persist::kStartButton);
    MonitoringRun* run = window.Run();

    std::vector<qint64> gapsUs;
    gapsUs.reserve(size_t(sites) * 4 + 100'000);
    QElapsedTimer tick;
    bool probing = false;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, &app, [&] {
        if (probing)
            gapsUs.push_back(tick.nsecsElapsed() / 1000);
        tick.restart();
    });

    QElapsedTimer pass;
    std::pair<double, double> schedAtStart;
    std::pair<double, double> schedAtEnd;
    qint64 clickMs = 0;
    qint64 passMs = 0;
    qint64 stopMs = 0;
    PassSummary summary;
    QElapsedTimer stopping;
    QObject::connect(run, &MonitoringRun::PassFinished, &app, [&](const PassSummary& s) {
        if (summary.pass != 0)
            return;
        summary = s;
        passMs = pass.elapsed();
        schedAtEnd = ThreadCpuAndWaitMs();
        probing = false;
        stopping.start();
        startButton->click();
    });
    QObject::connect(run, &MonitoringRun::RunFinished, &app, [&] {
        stopMs = stopping.isValid() ? stopping.elapsed() : 0;
        app.quit();
    });
    // Let the window settle (first paint, restored values) before the click.
    QTimer::singleShot(500, &app, [&] {
        probe.start(1);
        schedAtStart = ThreadCpuAndWaitMs();
        pass.start();
        startButton->click();
        clickMs = pass.elapsed();
        tick.restart();
        probing = true;
    });
    app.exec();
    probe.stop();
    farm.terminate();
    farm.waitForFinished(5000);

    const GapFigures gaps = Summarise(std::move(gapsUs));
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("sites %d  threads %d  delay %d ms  start click %lld ms  pass %lld ms (%.0f checks/s)  checked %d  "
                "abnormal %d\nevent loop during the pass: %zu probe ticks, gap mean %.2f ms, 99th percentile %.1f ms, "
                "longest %lld ms, %d gaps over 100 ms\nmain thread during the pass: %.0f ms on a CPU, %.0f ms runnable "
                "but waiting for one\nstop click to run end %lld ms  peak RSS %ld KiB\n",
        sites, threads, delayMs, static_cast<long long>(clickMs), static_cast<long long>(passMs),
        sites * 1000.0 / double(std::max<qint64>(passMs, 1)), summary.sites, summary.abnormal, gaps.ticks, gaps.mean,
        gaps.p99, static_cast<long long>(gaps.longest), gaps.over100, schedAtEnd.first - schedAtStart.first,
        schedAtEnd.second - schedAtStart.second, static_cast<long long>(stopMs), usage.ru_maxrss);
    return summary.sites == sites ? 0 : 1;
}
