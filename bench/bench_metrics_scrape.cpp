// The metrics page of a large shard: the time the main thread spends rendering it (the run waits that long
// to apply results; the checks themselves go on), the time a scraper takes to fetch it over loopback, and the
// resident memory while 16 scrapers ask for it and never read (from four addresses), and after they are gone.
//
//   bench_metrics_scrape [SITES] [SCRAPES]        (default 100000 sites, 5 scrapes)

#include "cli/metrics_server.h"
#include "cli/site_metrics.h"
#include "monitor/monitoring_run.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <arpa/inet.h>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// A plain blocking client on its own thread, so the server's thread only serves.
qint64 FetchBytes(quint16 port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    // The server keeps the connection open as scrapers expect: read the one answer by its length.
    const char request[] = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (write(fd, request, sizeof request - 1) < 0) {
        close(fd);
        return -1;
    }
    std::string head;
    qint64 total = 0;
    qint64 expected = -1;
    char buffer[1 << 16];
    for (ssize_t got; (expected < 0 || total < expected) && (got = read(fd, buffer, sizeof buffer)) > 0;) {
        total += got;
        if (expected < 0) {
            head.append(buffer, size_t(got));
            const size_t end = head.find("\r\n\r\n");
            const size_t length = head.find("Content-Length: ");
            if (end != std::string::npos && length != std::string::npos)
                expected = qint64(end + 4) + atoll(head.c_str() + length + 16);
        }
    }
    close(fd);
    return total;
}

// A scraper that asks and never reads; the descriptor stays open until the caller closes it.
int AskWithoutReading(quint16 port, int source)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + source);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const char request[] = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || write(fd, request, sizeof request - 1) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

double ResidentMb()
{
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    long kb = 0;
    while (status && std::fgets(line, sizeof line, status)) {
        if (std::sscanf(line, "VmRSS: %ld", &kb) == 1)
            break;
    }
    if (status)
        std::fclose(status);
    return kb / 1024.0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int sites = argc > 1 ? std::max(1, atoi(argv[1])) : 100000;
    const int scrapes = argc > 2 ? std::max(1, atoi(argv[2])) : 5;

    SiteMetrics metrics;
    metrics.SetSiteCount(sites);
    for (int i = 0; i < sites; ++i) {
        CheckRecord record;
        record.url = u"https://site-%1.example.test:8443/some/path/index.html?id=%2"_s.arg(i).arg(i * 31);
        record.normal = i % 10 != 0;
        record.status = record.normal ? 200 : 503;
        record.elapsedMs = 20 + i % 900;
        metrics.RecordCheck(record, 1765000000000 + i);
    }

    // CPU time as well as wall time: on a shared machine the wall time mostly measures the neighbours.
    auto threadCpuMs = [] {
        timespec now {};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
    };
    std::vector<double> renderMs;
    std::vector<double> renderCpuMs;
    qsizetype bytes = 0;
    for (int i = 0; i < scrapes; ++i) {
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = threadCpuMs();
        bytes = metrics.Render().size();
        renderCpuMs.push_back(threadCpuMs() - cpuStart);
        renderMs.push_back(timer.nsecsElapsed() / 1e6);
    }

    // A scraper that accepts gzip (Prometheus does) makes the same thread compress the page once.
    const QByteArray page = metrics.Render();
    std::vector<double> gzipMs;
    std::vector<double> gzipCpuMs;
    qsizetype gzipBytes = 0;
    for (int i = 0; i < scrapes; ++i) {
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = threadCpuMs();
        gzipBytes = MetricsServer::Gzip(page).size();
        gzipCpuMs.push_back(threadCpuMs() - cpuStart);
        gzipMs.push_back(timer.nsecsElapsed() / 1e6);
    }

    MetricsServer server([&metrics] { return metrics.Render(); });
    QString error;
    if (!server.Listen(u"127.0.0.1"_s, 0, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::vector<double> fetchMs;
    double idleMb = 0;
    double stalledMb = 0;
    double afterMb = 0;
    std::atomic<bool> done { false };
    std::thread client([&] {
        for (int i = 0; i < scrapes; ++i) {
            QElapsedTimer timer;
            timer.start();
            if (FetchBytes(server.Port()) <= bytes)
                std::fprintf(stderr, "short answer\n");
            fetchMs.push_back(timer.nsecsElapsed() / 1e6);
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
        idleMb = ResidentMb();
        std::vector<int> stalled;
        for (int i = 0; i < 16; ++i)
            stalled.push_back(AskWithoutReading(server.Port(), i % 4));
        std::this_thread::sleep_for(std::chrono::seconds(5));
        stalledMb = ResidentMb();
        for (int fd : stalled)
            close(fd);
        std::this_thread::sleep_for(std::chrono::seconds(3));
        afterMb = ResidentMb();
        done = true;
    });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (done)
            app.quit();
    });
    poll.start(10);
    app.exec();
    client.join();

    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("sites %d, page %.1f MB, render median %.0f ms (max %.0f, CPU %.0f ms), HTTP scrape median %.0f ms "
                "(max %.0f)\n",
        sites, bytes / 1e6, median(renderMs), *std::max_element(renderMs.begin(), renderMs.end()), median(renderCpuMs),
        median(fetchMs), *std::max_element(fetchMs.begin(), fetchMs.end()));
    std::printf("gzip: %.1f MB, median %.0f ms (CPU %.0f ms)\n", gzipBytes / 1e6, median(gzipMs), median(gzipCpuMs));
    std::printf("resident: %.0f MB idle, %.0f MB with 16 scrapers not reading, %.0f MB after they left\n", idleMb,
        stalledMb, afterMb);
    return 0;
}
