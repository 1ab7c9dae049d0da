#include "store/history_store.h"
#include "support/test_files.h"

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

} // namespace

class TestHistoryStore : public QObject
{
    Q_OBJECT

private slots:
    void changesAggregatesAndDetails();
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
            store.Record(QVector<HistorySample> { { u"http://flip/"_s, at, flip[pass], flip[pass] ? 200 : 503, 10, 0 },
                { u"http://down/"_s, at, false, 0, 5000, 0 }, { u"https://up/"_s, at, true, 200, 20, 1'800'000'000 } });
        }
        store.Flush();
        QCOMPARE(failed.count(), 0);

        QCOMPARE(Rows(path, u"SELECT url, at_ms - %1, normal, status FROM changes ORDER BY rowid"_s.arg(kT0)),
            QStringList({ u"http://down/|0|0|0"_s, u"http://flip/|200000|0|503"_s, u"http://flip/|400000|1|200"_s }));
        QCOMPARE(Rows(path, u"SELECT sum(checks), sum(normal_checks), sum(sum_ms) FROM hourly"_s),
            QStringList({ u"15|8|25150"_s }));

        const SiteHistory flipped = HistoryStore::ReadSite(path, u"http://flip/"_s, kT0 + 500'000);
        QVERIFY(flipped.known && flipped.normal);
        QCOMPARE(flipped.sinceMs, kT0 + 400'000);
        QCOMPARE(flipped.uptime24h, 0.6);
        QCOMPARE(flipped.uptime30d, 0.6);
        QCOMPARE(flipped.changes.size(), 2);
        QCOMPARE(flipped.changes.first().normal, true);
        QCOMPARE(HistoryStore::ReadSite(path, u"https://up/"_s, kT0).certExpires, 1'800'000'000);
        QVERIFY(!HistoryStore::ReadSite(path, u"http://never/"_s, kT0).known);
    }
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
}

void TestHistoryStore::unusableFileFailsQuietly_data()
{
    QTest::addColumn<bool>("locked");
    QTest::newRow("not a database") << false;
    QTest::newRow("locked by another writer") << true;
}

// The user's file is left as it was, one message comes, and recording goes on without effect.
void TestHistoryStore::unusableFileFailsQuietly()
{
    QFETCH(bool, locked);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"h.history.sqlite"_s);
    const QByteArray garbage = QByteArray("not sqlite at all\n").repeated(300);
    QSqlDatabase locker;
    if (locked) {
        locker = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"locker"_s);
        locker.setDatabaseName(path);
        QVERIFY(locker.open());
        QSqlQuery q(locker);
        QVERIFY(q.exec(u"CREATE TABLE t(x)"_s));
        QVERIFY(q.exec(u"BEGIN EXCLUSIVE"_s));
    } else {
        QVERIFY(WriteFileBytes(path, garbage));
    }
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
    if (locked) {
        QSqlQuery(locker).exec(u"ROLLBACK"_s);
        locker.close();
        locker = {};
        QSqlDatabase::removeDatabase(u"locker"_s);
    } else {
        QCOMPARE(FileBytes(path), garbage);
    }
}

QTEST_GUILESS_MAIN(TestHistoryStore)
#include "tst_history_store.moc"
