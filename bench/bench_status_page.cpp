// The status page of a large run: the time and size of `/`, of one page of the list (plain, filtered by state, a
// search the first time and when repeated), and the cost of the page's updates for 10 open pages, all on the
// calling thread as the main thread would spend it. The abnormal sites have a day of hourly history for their
// uptime bars, read from a real file.
//
//   bench_status_page [SITES] [ABNORMAL] [REPEATS]        (default 100000 sites, 2000 abnormal, 20 repeats)

#include "cli/site_board.h"
#include "cli/status_page.h"
#include "monitor/monitoring_run.h"
#include "store/history_store.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <ctime>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

qint64 ThreadCpuNs()
{
    timespec t {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

struct Figure
{
    double wallMs = 0; // median
    double cpuMs = 0; // median
    qsizetype bytes = 0;
    int status = 0;
};

template <typename Call> Figure Measure(int repeats, Call call)
{
    std::vector<double> walls;
    std::vector<double> cpus;
    Figure figure;
    for (int i = 0; i < repeats; ++i) {
        QElapsedTimer wall;
        wall.start();
        const qint64 cpu = ThreadCpuNs();
        const WebAnswer answer = call(i);
        cpus.push_back(double(ThreadCpuNs() - cpu) / 1e6);
        walls.push_back(double(wall.nsecsElapsed()) / 1e6);
        figure.bytes = answer.body.size();
        figure.status = answer.status;
    }
    std::sort(walls.begin(), walls.end());
    std::sort(cpus.begin(), cpus.end());
    figure.wallMs = walls[walls.size() / 2];
    figure.cpuMs = cpus[cpus.size() / 2];
    return figure;
}

WebRequest Request(const QByteArray& path, const QByteArray& query = {}, const QByteArray& etag = {})
{
    WebRequest request;
    request.method = "GET";
    request.path = path;
    request.query = query;
    if (!etag.isEmpty())
        request.headers.insert("if-none-match", etag);
    return request;
}

void Print(const char* what, const Figure& f)
{
    std::printf(
        "%-44s %8.2f ms wall %8.2f ms CPU %9lld bytes (%d)\n", what, f.wallMs, f.cpuMs, qlonglong(f.bytes), f.status);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int sites = argc > 1 ? std::max(1, atoi(argv[1])) : 100'000;
    const int abnormal = argc > 2 ? std::clamp(atoi(argv[2]), 0, sites) : 2'000;
    const int repeats = argc > 3 ? std::max(1, atoi(argv[3])) : 20;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();

    QStringList urls;
    for (int i = 0; i < sites; ++i)
        urls << u"https://www.example-%1.test/shop/catalogue/index.html?item=%2"_s.arg(i).arg(i * 7);
    QTemporaryDir dir;
    const QString historyPath = dir.filePath(u"history.sqlite"_s);
    {
        // A day of hourly rows for the sites the page shows bars for.
        HistoryStore store(historyPath);
        store.Start();
        QVector<HistorySample> samples;
        for (int i = 0; i < std::min(abnormal, StatusPage::kAbnormalShown); ++i) {
            for (int h = 0; h < 24; ++h)
                samples.append(
                    { urls[i * (sites / std::max(abnormal, 1))], now - h * 3'600'000LL, h % 5 != 0, 200, 100, 0 });
        }
        store.Record(samples);
        store.Flush();
    }

    SiteBoard board;
    QElapsedTimer fill;
    fill.start();
    board.SetSites(urls);
    CheckRecord record;
    record.byStatus = true;
    for (int i = 0; i < sites; ++i) {
        const bool down = abnormal > 0 && i % (sites / std::max(abnormal, 1)) == 0
            && i / (sites / std::max(abnormal, 1)) < abnormal;
        record.url = urls[i];
        record.normal = !down;
        record.status = down ? 503 : 200;
        record.reason = down ? FailureReason::StatusRejected : FailureReason::None;
        record.elapsedMs = 20 + i % 300;
        record.finishedAtMs = now - (sites - i);
        board.RecordCheck(record);
    }
    std::printf("%d sites, %d abnormal; table filled in %lld ms\n", board.Count(), board.AbnormalCount(),
        qlonglong(fill.elapsed()));

    StatusPage page(&board);
    page.SetHistoryPath(historyPath);
    Print("GET / (first: reads the bars)", Measure(1, [&](int) { return page.Answer(Request("/")); }));
    const Figure index = Measure(repeats, [&](int) { return page.Answer(Request("/")); });
    Print("GET /", index);
    Print("GET /sites?page=250", Measure(repeats, [&](int) { return page.Answer(Request("/sites", "page=250")); }));
    Print("GET /api/sites?page=250",
        Measure(repeats, [&](int) { return page.Answer(Request("/api/sites", "page=250")); }));
    Print("GET /api/sites?state=normal&page=400",
        Measure(repeats, [&](int) { return page.Answer(Request("/api/sites", "state=normal&page=400")); }));
    Print("GET /api/sites?q=… (a new search each time)", Measure(repeats, [&](int i) {
        return page.Answer(Request("/api/sites", "q=example-" + QByteArray::number(1000 + i)));
    }));
    Print("GET /api/sites?q=example-12 (repeated)",
        Measure(repeats, [&](int) { return page.Answer(Request("/api/sites", "q=example-12")); }));
    Print("GET /site/{id}",
        Measure(repeats, [&](int) { return page.Answer(Request("/site/" + SiteBoard::IdFor(urls[0]))); }));

    // One update of one open page: /api/status and its list page. While a pass runs both change.
    const WebAnswer status = page.Answer(Request("/api/status"));
    const qsizetype at = status.extraHeaders.indexOf("ETag: ") + 6;
    const QByteArray etag = status.extraHeaders.mid(at, status.extraHeaders.indexOf("\r\n", at) - at);
    const Figure changed = Measure(repeats, [&](int) { return page.Answer(Request("/api/status")); });
    const Figure unchanged = Measure(repeats, [&](int) { return page.Answer(Request("/api/status", {}, etag)); });
    const Figure list = Measure(repeats, [&](int) { return page.Answer(Request("/api/sites", "page=1")); });
    const WebAnswer listed = page.Answer(Request("/api/sites", "page=1"));
    const qsizetype listAt = listed.extraHeaders.indexOf("ETag: ") + 6;
    const QByteArray listTag = listed.extraHeaders.mid(listAt, listed.extraHeaders.indexOf("\r\n", listAt) - listAt);
    const Figure listUnchanged
        = Measure(repeats, [&](int) { return page.Answer(Request("/api/sites", "page=1", listTag)); });
    // A change of state between updates re-sorts the abnormal sites.
    const Figure flipped = Measure(repeats, [&](int i) {
        record.url = urls[1];
        record.normal = i % 2 == 1;
        record.finishedAtMs = now + i;
        board.RecordCheck(record);
        return page.Answer(Request("/api/status"));
    });
    Print("GET /api/status (changed)", changed);
    Print("GET /api/status (after a change of state)", flipped);
    Print("GET /api/status (unchanged: 304)", unchanged);
    Print("GET /api/sites?page=1 (the update's list)", list);
    Print("GET /api/sites?page=1 (unchanged: 304)", listUnchanged);
    constexpr double kPeriodS = 5.0;
    constexpr int kPages = 10;
    std::printf("updates of %d open pages every %.0f s: %.3f %% of a core while a pass runs, %.3f %% between passes "
                "(CPU)\n",
        kPages, kPeriodS, (std::max(changed.cpuMs, flipped.cpuMs) + list.cpuMs) * kPages / (kPeriodS * 1000) * 100,
        (unchanged.cpuMs + listUnchanged.cpuMs) * kPages / (kPeriodS * 1000) * 100);
    return index.bytes < 200 * 1024 ? 0 : 1;
}
