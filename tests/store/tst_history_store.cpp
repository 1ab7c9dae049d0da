#include "store/history_store.h"
#include "support/test_files.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 kT0 = 1'700'000'000'000; // a Unix time in ms

QStringList Rows(const QString& path, const QString& sql)
{
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"probe"_s);
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery q(db);
            q.exec(sql);
            while (q.next()) {
                QStringList fields;
                for (int i = 0; i < q.record().count(); ++i)
                    fields << q.value(i).toString();
                rows << fields.join(u'|');
            }
        }
    }
    QSqlDatabase::removeDatabase(u"probe"_s);
    return rows;
}

// Runs SQL on a connection of the test's own, as another program would.
bool Exec(const QString& path, const QStringList& statements)
{
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"other"_s);
        db.setDatabaseName(path);
        ok = db.open();
        QSqlQuery q(db);
        for (const QString& sql : statements)
            ok = ok && q.exec(sql);
    }
    QSqlDatabase::removeDatabase(u"other"_s);
    return ok;
}

} // namespace

class TestHistoryStore : public QObject
{
    Q_OBJECT

private slots:
    void changesAggregatesAndDetails();
    void twoWritersShareOneFile();
    void waitsOutAnotherProgramsLock();
    void unusableFileFailsQuietly_data();
    void unusableFileFailsQuietly();
};

// Passes over three sites: one flips, one is abnormal from the start, one stays normal.
void TestHistoryStore::changesAggregatesAndDetails()
{
    QTemporaryDir dir;
    const QString path = HistoryStore::PathBesideConfig(dir.filePath(u"岚澈·巡更灯.ini"_s));
    QCOMPARE(path, dir.filePath(u"岚澈·巡更灯.history.sqlite"_s));
    {
        HistoryStore store(path);
        QSignalSpy failed(&store, &HistoryStore::Failed);
        store.Start();
        const bool flip[] = { true, true, false, false, true };
        for (int pass = 0; pass < 5; ++pass) {
            const qint64 at = kT0 + pass * 100'000;
            store.Record(QVector<HistorySample> {
                { u"http://flip/"_s, at, flip[pass], flip[pass] ? 200 : 503, flip[pass] ? 10 : 3000, 0 },
                { u"http://down/"_s, at, false, 0, 5000, 0 }, { u"https://up/"_s, at, true, 200, 20, 1'800'000'000 } });
        }
        store.Flush();
        QCOMPARE(failed.count(), 0);

        QCOMPARE(Rows(path, u"SELECT url, at_ms - %1, normal, status FROM changes ORDER BY rowid"_s.arg(kT0)),
            QStringList({ u"http://down/|0|0|0"_s, u"http://flip/|200000|0|503"_s, u"http://flip/|400000|1|200"_s }));
        QCOMPARE(Rows(path, u"SELECT sum(checks), sum(normal_checks), sum(sum_ms) FROM hourly"_s),
            QStringList({ u"15|8|31130"_s }));

        const SiteHistory flipped = HistoryStore::ReadSite(path, u"http://flip/"_s, kT0 + 500'000);
        QVERIFY(flipped.known && flipped.normal);
        QCOMPARE(flipped.sinceMs, kT0 + 400'000);
        QCOMPARE(flipped.uptime24h, 0.6);
        QCOMPARE(flipped.uptime30d, 0.6);
        QCOMPARE(flipped.changes.size(), 2);
        QCOMPARE(flipped.changes.first().normal, true);
        // The chart's mean is of the normal checks; failed ones are counted apart.
        QCOMPARE(flipped.responseTimes24h.size(), 1);
        QCOMPARE(flipped.responseTimes24h.first().averageMs, 10.0);
        QCOMPARE(flipped.responseTimes24h.first().failedChecks, 2);
        QCOMPARE(HistoryStore::ReadSite(path, u"http://down/"_s, kT0).responseTimes24h.first().averageMs, -1.0);
        QCOMPARE(HistoryStore::ReadSite(path, u"https://up/"_s, kT0).certExpires, 1'800'000'000);
        QVERIFY(!HistoryStore::ReadSite(path, u"http://never/"_s, kT0).known);
        QCOMPARE(HistoryStore::ReadAbnormalUrls(path), QStringList({ u"http://down/"_s }));
    }
    // A file from before the normal checks' sum: readable as it is, then given the column; old rows stay unknown.
    QVERIFY(Exec(path, { u"ALTER TABLE hourly DROP COLUMN normal_sum_ms"_s }));
    QCOMPARE(HistoryStore::ReadSite(path, u"http://flip/"_s, kT0).responseTimes24h.first().averageMs, 6030.0 / 5);
    // A reopened store knows the last verdicts: an unchanged site adds no row, a change does.
    {
        HistoryStore store(path);
        store.Start();
        store.Record({ { u"http://down/"_s, kT0 + 600'000, false, 0, 1, 0 },
            { u"https://up/"_s, kT0 + 600'000, false, 500, 1, 0 } });
        store.Flush();
    }
    QCOMPARE(Rows(path, u"SELECT url, normal FROM changes WHERE at_ms = %1"_s.arg(kT0 + 600'000)),
        QStringList({ u"https://up/|0"_s }));
    QCOMPARE(Rows(path, u"SELECT count(*) FROM hourly WHERE normal_sum_ms IS NULL"_s), QStringList({ u"3"_s }));
}

// Both writers opened the file before either added a site; day one is rolled up once although both cross it.
void TestHistoryStore::twoWritersShareOneFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"h.history.sqlite"_s);
    HistoryStore a(path);
    HistoryStore b(path);
    QSignalSpy failedA(&a, &HistoryStore::Failed);
    QSignalSpy failedB(&b, &HistoryStore::Failed);
    a.Start();
    b.Start();
    a.Flush();
    b.Flush();
    constexpr qint64 kDay = 24LL * 3600 * 1000;
    for (HistoryStore* store : { &a, &b }) {
        store->Record({ { u"http://x/"_s, kT0, false, 500, 10, 0 }, { u"http://y/"_s, kT0, true, 200, 10, 0 } });
        store->Flush();
    }
    for (HistoryStore* store : { &a, &b }) {
        store->Record({ { u"http://x/"_s, kT0 + kDay, true, 200, 10, 0 } });
        store->Flush();
    }
    QCoreApplication::processEvents();
    QCOMPARE(failedA.count() + failedB.count(), 0);
    QCOMPARE(Rows(path, u"SELECT url, normal FROM sites ORDER BY url"_s),
        QStringList({ u"http://x/|1"_s, u"http://y/|1"_s }));
    QCOMPARE(Rows(path, u"SELECT sum(checks) FROM daily"_s), QStringList({ u"4"_s }));
    QCOMPARE(Rows(path, u"SELECT sum(checks) FROM hourly"_s), QStringList({ u"6"_s }));
}

// The sqlite3 program holds the file for longer than one busy wait; nothing recorded meanwhile is lost.
void TestHistoryStore::waitsOutAnotherProgramsLock()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"h.history.sqlite"_s);
    {
        HistoryStore store(path);
        store.Start();
        store.Record({ { u"http://a/"_s, kT0, true, 200, 1, 0 } });
    }
    QProcess locker;
    locker.start(u"sqlite3"_s, { path });
    QVERIFY(locker.waitForStarted());
    locker.write(
        ".timeout 5000\nBEGIN EXCLUSIVE;\nUPDATE meta SET value = value WHERE key = 'schema_version';\n.shell sleep 4\n"
        "COMMIT;\n");
    locker.closeWriteChannel();
    QElapsedTimer held;
    held.start();
    while (Exec(path, { u"PRAGMA busy_timeout = 0"_s, u"BEGIN IMMEDIATE"_s, u"ROLLBACK"_s }))
        QTest::qWait(20);
    {
        HistoryStore store(path);
        QSignalSpy failed(&store, &HistoryStore::Failed);
        QSignalSpy dropped(&store, &HistoryStore::Dropped);
        store.Start();
        for (int i = 0; i < 5; ++i) {
            store.Record({ { u"http://b/"_s, kT0 + i * 1000, i % 2 == 0, 200, 1, 0 } });
            QTest::qWait(300);
        }
        store.Flush();
        QVERIFY(locker.waitForFinished(10'000));
        QCoreApplication::processEvents();
        QCOMPARE(failed.count() + dropped.count(), 0);
        QVERIFY(held.elapsed() > 3000);
    }
    QCOMPARE(Rows(path, u"SELECT count(*) FROM changes WHERE url = 'http://b/'"_s), QStringList({ u"4"_s }));
}

void TestHistoryStore::unusableFileFailsQuietly_data()
{
    QTest::addColumn<QStringList>("sql");
    QTest::newRow("not a database") << QStringList();
    QTest::newRow("another program's database") << QStringList({ u"CREATE TABLE sites(url TEXT)"_s });
    QTest::newRow("newer schema") << QStringList({ u"CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER)"_s,
        u"CREATE TABLE sites(url TEXT)"_s, u"INSERT INTO meta VALUES('schema_version', 2)"_s });
}

// Looked at only: the file keeps every byte, one message comes, and recording goes on without effect.
void TestHistoryStore::unusableFileFailsQuietly()
{
    QFETCH(QStringList, sql);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"h.history.sqlite"_s);
    if (sql.isEmpty())
        QVERIFY(WriteFileBytes(path, QByteArray("not sqlite at all\n").repeated(300)));
    else
        QVERIFY(Exec(path, sql));
    const QByteArray before = FileBytes(path);
    {
        HistoryStore store(path);
        QSignalSpy failed(&store, &HistoryStore::Failed);
        store.Start();
        store.Record({ { u"http://a/"_s, kT0, false, 0, 1, 0 } });
        QVERIFY(failed.wait(10'000));
        QVERIFY(failed.first().first().toString().contains(path));
        QVERIFY(store.HasFailed());
        store.Record({ { u"http://b/"_s, kT0, false, 0, 1, 0 } });
        store.Flush();
        QCOMPARE(failed.count(), 1);
    }
    QVERIFY(HistoryStore::ReadAbnormalUrls(path).isEmpty());
    QCOMPARE(FileBytes(path), before);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({ u"h.history.sqlite"_s }));
}

QTEST_GUILESS_MAIN(TestHistoryStore)
#include "tst_history_store.moc"
