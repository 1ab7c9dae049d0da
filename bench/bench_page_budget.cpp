// Many page fetches of large pages at once against the process's page budget: the threads fetch pages of the
// default body cap from bench_site_farm (a process of its own, so its buffers stay out of the figures). Prints the
// budget's capacity, the most body bytes held at once, how many fetches had to wait, how many got their whole page, the
// wall time and the peak resident memory.
//
//   bench_page_budget [--threads T] [--pages P] [--page-mib M] [--timeout S]
//   (defaults: 500 threads, 500 pages of 16 MiB, 300 s time-out)

#include "http/page_budget.h"
#include "http/page_fetch.h"
#include "site_farm_client.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int threads = IntArg(args, u"--threads"_s, 500);
    const int pages = IntArg(args, u"--pages"_s, 500);
    // The farm's page ends a few bytes past the size asked for: this keeps it just within the cap.
    const qint64 pageBytes = qint64(IntArg(args, u"--page-mib"_s, 16)) * 1024 * 1024;
    const int timeout = IntArg(args, u"--timeout"_s, 300);
    RaiseOpenFileLimit();

    QTemporaryDir dir;
    const QString listFile = dir.filePath(u"list.txt"_s);
    QProcess farm;
    farm.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    farm.start(QCoreApplication::applicationDirPath() + u"/bench_site_farm"_s,
        { u"--ports"_s, u"100"_s, u"--threads"_s, u"2"_s, u"--body-bytes"_s, QString::number(pageBytes - 64),
            u"--list"_s, u"%1:%2"_s.arg(pages).arg(listFile) });
    farm.waitForReadyRead(20'000);
    const QStringList urls = ReadFarmList(listFile, "bench_page_budget").split(u"\r\n"_s, Qt::SkipEmptyParts);
    if (!farm.readLine().startsWith("ready") || urls.size() != pages) {
        std::fprintf(stderr, "bench_page_budget: the site farm did not start\n");
        return 1;
    }

    PageBudget& budget = PageBudget::Process();
    budget.SetConcurrency(threads);
    budget.ResetPeak();
    std::atomic<int> next { 0 };
    std::atomic<int> whole { 0 };
    std::atomic<int> cut { 0 };
    std::atomic<bool> done { false };
    std::atomic<qint64> sampledPeak { 0 };
    // Samples from outside as well: the figure must hold while pages wait, not only at grant time.
    std::thread sampler([&] {
        while (!done.load()) {
            sampledPeak = std::max(sampledPeak.load(), budget.InUse());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    QElapsedTimer timer;
    timer.start();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = next.fetch_add(1); i < pages; i = next.fetch_add(1)) {
                FetchOptions options;
                options.timeoutSeconds = timeout;
                FetchResult result;
                const QString text = FetchPage(urls.at(i), options, &result);
                if (!result.truncated && result.body.size() >= pageBytes - 64 && text.size() == result.body.size())
                    ++whole;
                else if (result.timedOut)
                    ++cut;
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    const double seconds = double(timer.elapsed()) / 1000.0;
    done = true;
    sampler.join();

    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const double mib = 1024.0 * 1024.0;
    std::printf("threads %d, pages %d of %.0f MiB: %d whole, %d cut at the deadline, %.1f s\n", threads, pages,
        double(pageBytes) / mib, whole.load(), cut.load(), seconds);
    std::printf("budget %.0f MiB (largest hold %.0f MiB); held at most %.0f MiB (sampled %.0f MiB); %lld fetches "
                "waited; %s\n",
        double(budget.Capacity()) / mib, double(budget.LargestHold()) / mib, double(budget.PeakInUse()) / mib,
        double(sampledPeak.load()) / mib, static_cast<long long>(budget.Waits()),
        budget.PeakInUse() <= budget.Capacity() ? "within the budget" : "OVER THE BUDGET");
    std::printf("peak resident %.0f MB; without the budget the pages alone would ask for %.0f MiB\n",
        double(usage.ru_maxrss) / 1024.0, double(std::min(threads, pages)) * double(pageBytes) / mib);
    farm.kill();
    farm.waitForFinished(5000);
    return whole.load() == pages ? 0 : 1;
}
