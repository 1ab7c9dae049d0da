// Soak: many passes of a monitoring run over loopback sites served by bench_site_farm, at a short interval.
// Prints resident memory, threads and open descriptors at start-up, after a one-pass warm-up run, after the
// first pass, every few passes and at the end; from the warm-up on they must stay flat, and no row may be left
// in progress when the run ends.
//
//   bench_soak [--passes N] [--sites S] [--threads T] [--interval SECONDS] [--content 0|1]
//              [--abnormal-every K] [--report-every P] [--minutes M]
//   (defaults: 500 passes, 1000 sites, 100 threads, interval 0, content condition on, every 10th site
//    abnormal, a line every 25 passes, no time limit; with --minutes the run stops after that long)
// Exit status 1 when memory, threads or descriptors grew, or a row was left in progress.

#include "monitor/monitoring_run.h"
#include "monitor/report_model.h"
#include "monitor/status_codes.h"
#include "support/process_probe.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

QString Arg(const QStringList& args, const QString& name, const QString& fallback)
{
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1) : fallback;
}

int Entries(const QString& dir)
{
    return int(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}

struct Sample
{
    qint64 rssKiB = 0;
    int threads = 0;
    int fds = 0;
};

Sample Take()
{
    return { SelfStatusKiB("VmRSS:"), ThreadCount(), Entries(u"/proc/self/fd"_s) };
}

// Detached check threads take a moment to leave after their last result arrived.
Sample Settled(int threads)
{
    QElapsedTimer waited;
    waited.start();
    Sample sample = Take();
    while (sample.threads > threads && waited.elapsed() < 10'000) {
        QThread::msleep(50);
        sample = Take();
    }
    return sample;
}

int RowsInState(ReportModel* model, int state)
{
    int rows = 0;
    for (int row = 0; row < model->rowCount(); ++row)
        rows += model->State(row) == state;
    return rows;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int passes = Arg(args, u"--passes"_s, u"500"_s).toInt();
    const int sites = Arg(args, u"--sites"_s, u"1000"_s).toInt();
    const QString threads = Arg(args, u"--threads"_s, u"100"_s);
    const QString interval = Arg(args, u"--interval"_s, u"0"_s);
    const bool content = Arg(args, u"--content"_s, u"1"_s) != u"0"_s;
    const int abnormalEvery = Arg(args, u"--abnormal-every"_s, u"10"_s).toInt();
    const int reportEvery = std::max(1, Arg(args, u"--report-every"_s, u"25"_s).toInt());
    const double minutes = Arg(args, u"--minutes"_s, u"0"_s).toDouble();

    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }

    QTemporaryDir dir;
    const QString listFile = dir.filePath(u"list.txt"_s);
    // fork and exec rather than QProcess: after QProcess has started a child, TSan no longer sees this thread's
    // locks and reports races that are not there, and the soak is meant to run under TSan too.
    const QByteArray farmPath = QFile::encodeName(app.applicationDirPath() + u"/bench_site_farm"_s);
    const QByteArray listArg = QFile::encodeName(u"%1:%2"_s.arg(sites).arg(listFile));
    const QByteArray abnormalArg = QByteArray::number(abnormalEvery);
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        return 1;
    const pid_t farm = ::fork();
    if (farm == 0) {
        ::dup2(ready[1], STDOUT_FILENO);
        const char* farmArgs[] = { farmPath.constData(), "--ports", "50", "--threads", "1", "--abnormal-every",
            abnormalArg.constData(), "--list", listArg.constData(), nullptr };
        ::execv(farmPath.constData(), const_cast<char* const*>(farmArgs));
        ::_exit(127);
    }
    ::close(ready[1]);
    QByteArray greeting;
    pollfd readable { ready[0], POLLIN, 0 };
    char c = 0;
    while (farm > 0 && ::poll(&readable, 1, 20'000) > 0 && ::read(ready[0], &c, 1) == 1 && c != '\n')
        greeting += c;
    if (!greeting.startsWith("ready")) {
        std::fprintf(stderr, "bench_soak: the site farm did not start\n");
        return 1;
    }
    QFile file(listFile);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "bench_soak: no site list\n");
        return 1;
    }
    const QString list = QString::fromUtf8(file.readAll()).trimmed().replace(u'\n', u"\r\n"_s);

    LoadStatusCodeList();
    const Sample cold = Take();
    MonitorSettings settings;
    settings.threadsText = threads;
    settings.intervalText = interval;
    settings.byContent = content;
    settings.contentKeywords = u"<html"_s;
    settings.timeoutText = u"10"_s;
    // One pass first, so that what the process keeps on purpose (libcurl's and Qt's caches, the idle handles
    // the HTTP client keeps for reuse) is in place: the soak compares idle with idle.
    {
        MonitoringRun warmUp;
        warmUp.SetSettings(settings);
        warmUp.SetSiteListText(list);
        warmUp.SetMaxPasses(1);
        QObject::connect(&warmUp, &MonitoringRun::RunFinished, &app, [&] { app.quit(); });
        QTimer::singleShot(0, &warmUp, [&] { warmUp.Click(); });
        app.exec();
    }
    const Sample before = Settled(cold.threads);

    auto run = std::make_unique<MonitoringRun>();
    run->SetSettings(settings);
    run->SetSiteListText(list);
    run->SetMaxPasses(passes);
    std::printf("soak: %d passes over %d sites, threads %s, interval %s s, content condition %s\n", passes, sites,
        qPrintable(threads), qPrintable(interval), content ? "on" : "off");
    std::printf(
        "%-10s %8s %10s %8s %6s %8s %9s\n", "when", "pass", "elapsed s", "RSS MiB", "fds", "threads", "abnormal");
    auto print = [&](const char* when, int pass, qint64 ms, const Sample& s) {
        std::printf("%-10s %8d %10.1f %8.1f %6d %8d %9d\n", when, pass, double(ms) / 1000.0, double(s.rssKiB) / 1024.0,
            s.fds, s.threads, run ? run->AbnormalModel()->rowCount() : 0);
        std::fflush(stdout);
    };
    QElapsedTimer elapsed;
    print("cold", 0, 0, cold);
    print("start", 0, 0, before);

    int lastPass = 0;
    qint64 checks = 0;
    QObject::connect(run.get(), &MonitoringRun::PassFinished, &app, [&](const PassSummary& summary) {
        lastPass = summary.pass;
        checks += summary.sites;
        if (summary.pass == 1 || summary.pass % reportEvery == 0) {
            print("progress", summary.pass, elapsed.elapsed(), Take());
        }
    });
    QObject::connect(run.get(), &MonitoringRun::RunFinished, &app, [&] { app.quit(); });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, run.get(), [&] {
        std::printf("time limit reached: stopping\n");
        run->Click();
    });
    QTimer::singleShot(0, &app, [&] {
        elapsed.start();
        run->Click();
        if (minutes > 0)
            deadline.start(int(minutes * 60'000));
    });
    app.exec();
    const qint64 runMs = elapsed.elapsed();

    const int inProgress = RowsInState(run->SiteModel(), ReportModel::StateInProgress);
    const int unchecked = RowsInState(run->SiteModel(), ReportModel::StateUnchecked);
    const Sample end = Settled(before.threads);
    print("end", lastPass, runMs, end);
    run.reset();
    const Sample released = Settled(before.threads);
    print("released", lastPass, elapsed.elapsed(), released);
    ::kill(farm, SIGTERM);
    ::waitpid(farm, nullptr, 0);
    ::close(ready[0]); // held open until now: the farm must not die of a closed stdout

    std::printf("%lld checks in %.1f s (%.0f checks/s); rows in progress at the end %d, never checked %d\n",
        static_cast<long long>(checks), double(runMs) / 1000.0,
        double(checks) * 1000.0 / double(std::max<qint64>(runMs, 1)), inProgress, unchecked);
    // The run's own models are still there at "end"; a quarter more than at the start or 32 MiB is noise.
    const bool memoryFlat = end.rssKiB <= before.rssKiB + std::max<qint64>(before.rssKiB / 4, 32 * 1024);
    const bool threadsFlat = end.threads <= before.threads;
    const bool fdsFlat = end.fds <= before.fds;
    std::printf("memory %s, threads %s, descriptors %s\n", memoryFlat ? "flat" : "GREW", threadsFlat ? "flat" : "GREW",
        fdsFlat ? "flat" : "GREW");
    return memoryFlat && threadsFlat && fdsFlat && inProgress == 0 ? 0 : 1;
}
