// Feeds the history writer simulated passes on a fast clock and prints the file's size and the write rate.
//
//   bench_history [--sites N] [--days D] [--passes-per-hour P] [--flip-per-mille F] [--file PATH]
//   (defaults: 50000 sites, 30 days, 2 passes an hour, 1 ‰ of checks change a site's verdict)
//   bench_history --read-abnormal --file PATH   times the read a run makes at start of the sites last abnormal
//
// The file's size depends on the rows, not on the checks: one hourly row per site and hour (two days kept),
// one daily row per site and day, one `changes` row per flip. More passes an hour only add to the sums in
// memory, so a few passes per simulated hour give the same file as the real 36 a pass every 100 s would.

#include "site_farm_client.h"
#include "store/history_store.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <cstdio>
#include <random>

using namespace Qt::StringLiterals;

namespace {

qint64 FileSize(const QString& path)
{
    return QFileInfo(path).size() + QFileInfo(path + u"-wal"_s).size();
}

qint64 Count(const QString& path, const QString& table)
{
    qint64 n = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"count"_s);
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(u"SELECT count(*) FROM "_s + table) && q.next())
                n = q.value(0).toLongLong();
        }
    }
    QSqlDatabase::removeDatabase(u"count"_s);
    return n;
}

// Resident memory in kB, from /proc.
qint64 ResidentKb()
{
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int sites = IntArg(args, u"--sites"_s, 50'000);
    const int days = IntArg(args, u"--days"_s, 30);
    const int passesPerHour = qMax(1, IntArg(args, u"--passes-per-hour"_s, 2));
    const int flipPerMille = IntArg(args, u"--flip-per-mille"_s, 1);
    QTemporaryDir dir;
    const qsizetype fileArg = args.indexOf(u"--file"_s);
    const QString path
        = fileArg > 0 && fileArg + 1 < args.size() ? args.at(fileArg + 1) : dir.filePath(u"bench.history.sqlite"_s);

    if (args.contains(u"--read-abnormal"_s)) {
        const qint64 before = ResidentKb();
        QElapsedTimer timer;
        timer.start();
        const QStringList abnormal = HistoryStore::ReadAbnormalUrls(path);
        std::printf("abnormal sites %lld read in %lld ms, resident memory +%lld kB\n", qint64(abnormal.size()),
            timer.elapsed(), ResidentKb() - before);
        return 0;
    }

    QStringList urls;
    urls.reserve(sites);
    for (int i = 0; i < sites; ++i)
        urls << u"https://site-%1.example.test/status/%2"_s.arg(i).arg(i % 97);
    std::vector<char> normal(size_t(sites), 1);
    std::mt19937 random(14);
    std::uniform_int_distribution<int> perMille(0, 999);
    std::uniform_int_distribution<int> elapsed(20, 900);

    const qint64 start = 1'767'225'600'000; // 2026-01-01 00:00 UTC
    const qint64 hourMs = 3600'000;
    const qint64 passGap = hourMs / passesPerHour;
    const int passes = days * 24 * passesPerHour;
    qint64 checks = 0;
    QElapsedTimer wall;
    wall.start();
    {
        HistoryStore store(path);
        store.Start();
        for (int pass = 0; pass < passes; ++pass) {
            QVector<HistorySample> batch;
            batch.reserve(sites);
            const qint64 at = start + pass * passGap;
            for (int i = 0; i < sites; ++i) {
                if (perMille(random) < flipPerMille)
                    normal[size_t(i)] = !normal[size_t(i)];
                batch.append({ urls.at(i), at + i % 1000, normal[size_t(i)] != 0, normal[size_t(i)] ? 200 : 503,
                    elapsed(random), 1'800'000'000 });
            }
            checks += sites;
            store.Record(std::move(batch));
            // Keep a day's worth at most in flight, as a real run would never be ahead of the writer.
            if (pass % (24 * passesPerHour) == 0)
                store.Flush();
            if (store.HasFailed()) {
                std::fprintf(stderr, "the history writer failed\n");
                return 1;
            }
        }
        store.Flush();
    }
    const double seconds = double(wall.elapsed()) / 1000.0;
    std::printf("sites %d, days %d, passes/hour %d, checks %lld, flips %d per mille\n", sites, days, passesPerHour,
        checks, flipPerMille);
    std::printf("written in %.1f s (%.0f checks/s)\n", seconds, double(checks) / seconds);
    std::printf("file %.1f MB; rows: sites %lld, changes %lld, hourly %lld, daily %lld\n", double(FileSize(path)) / 1e6,
        Count(path, u"sites"_s), Count(path, u"changes"_s), Count(path, u"hourly"_s), Count(path, u"daily"_s));
    return 0;
}
