#include "store/history_store.h"

#include "store/atomic_file.h"
#include "store/sqlite_statement.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 kHourMs = 3600LL * 1000;
constexpr qint64 kDayMs = 24 * kHourMs;
// Hourly sums stay in memory this long (or until the hour turns) before they are added to the file.
constexpr auto kAggregateFlushPeriod = std::chrono::seconds(60);
constexpr int kBusyTimeoutMs = 2000;
constexpr auto kGatherTime = std::chrono::milliseconds(200);
constexpr size_t kMaxHourSums = 65536;
// A writer that can't keep up loses samples rather than the process's memory.
constexpr qsizetype kMaxQueued = 2'000'000;
// Another program's lock: the writer keeps the batch and tries again after this pause.
constexpr auto kRetryPause = std::chrono::milliseconds(500);
constexpr int kSchemaVersion = 1;

const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER) WITHOUT ROWID",
    "CREATE TABLE IF NOT EXISTS sites(id INTEGER PRIMARY KEY, url TEXT NOT NULL UNIQUE, normal INTEGER NOT NULL,"
    " since_ms INTEGER NOT NULL, status INTEGER NOT NULL, cert_expires INTEGER)",
    "CREATE TABLE IF NOT EXISTS changes(url TEXT NOT NULL, at_ms INTEGER NOT NULL, normal INTEGER NOT NULL,"
    " status INTEGER NOT NULL, cert_expires INTEGER)",
    "CREATE INDEX IF NOT EXISTS changes_by_url ON changes(url, at_ms)",
    // The abnormal sites are read at every start; this keeps that read small at a million sites.
    "CREATE INDEX IF NOT EXISTS sites_abnormal ON sites(url) WHERE normal = 0",
    // Time first: each hour's rows go to the end of the tree and old ones leave from its start, so writing
    // and thinning touch few pages; a site's rows are read by (time, site) lookups.
    "CREATE TABLE IF NOT EXISTS hourly(hour INTEGER NOT NULL, site INTEGER NOT NULL, checks INTEGER NOT NULL,"
    " normal_checks INTEGER NOT NULL, sum_ms INTEGER NOT NULL, max_ms INTEGER NOT NULL, normal_sum_ms INTEGER,"
    " PRIMARY KEY(hour, site)) WITHOUT ROWID",
    "CREATE TABLE IF NOT EXISTS daily(day INTEGER NOT NULL, site INTEGER NOT NULL, checks INTEGER NOT NULL,"
    " normal_checks INTEGER NOT NULL, sum_ms INTEGER NOT NULL, max_ms INTEGER NOT NULL, normal_sum_ms INTEGER,"
    " PRIMARY KEY(day, site)) WITHOUT ROWID",
    "INSERT OR IGNORE INTO meta(key, value) VALUES('schema_version', 1)",
    "INSERT OR IGNORE INTO meta(key, value) VALUES('rolled_through', 0)",
};

qint64 FloorTo(qint64 ms, qint64 unit)
{
    return ms >= 0 ? ms / unit * unit : (ms - unit + 1) / unit * unit;
}

QString ConnectionName()
{
    return u"history-"_s + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QString Describe(const QSqlError& error)
{
    const QString text = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    return text.isEmpty() ? u"未知错误"_s : text;
}

// SQLITE_BUSY or SQLITE_LOCKED, with or without the extended part: another connection holds the file for now.
bool IsBusy(const QSqlError& error)
{
    const int code = error.nativeErrorCode().toInt() & 0xff;
    return code == 5 || code == 6;
}

enum class Outcome { Done, Busy, Failed };

// Runs `read` on a read-only connection of its own; nothing of the file is changed.
template <typename Read> void ReadOnly(const QString& path, int busyMs, Read read)
{
    const QString name = ConnectionName();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, name);
        db.setDatabaseName(path);
        db.setConnectOptions(u"QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1"_s.arg(busyMs));
        read(db);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

// Whether the file at `path` may be written: absent, empty, a database without tables, or ours of a version
// this program knows. Looked at read-only, so a file that is refused stays as it was.
Outcome CheckOwnFile(const QString& path, QString* message)
{
    const QFileInfo info(path);
    if (!info.exists() || (info.isFile() && info.size() == 0))
        return Outcome::Done;
    Outcome outcome = Outcome::Done;
    ReadOnly(path, kBusyTimeoutMs, [&](QSqlDatabase& db) {
        QSqlQuery q(db);
        auto error = [&](const QSqlError& e) {
            outcome = IsBusy(e) ? Outcome::Busy : Outcome::Failed;
            *message = Describe(e);
        };
        if (!db.open())
            return error(db.lastError());
        if (!q.exec(u"SELECT name FROM sqlite_master WHERE type = 'table'"_s))
            return error(q.lastError());
        QStringList tables;
        while (q.next())
            tables << q.value(0).toString();
        if (tables.isEmpty())
            return;
        qint64 version = -1;
        if (tables.contains(u"meta"_s) && tables.contains(u"sites"_s)
            && q.exec(u"SELECT value FROM meta WHERE key = 'schema_version'"_s) && q.next())
            version = q.value(0).toLongLong();
        if (version < 1) {
            outcome = Outcome::Failed;
            *message = u"这不是本程序的历史文件，未作改动"_s;
        } else if (version > kSchemaVersion) {
            outcome = Outcome::Failed;
            *message = u"历史文件的格式（版本 %1）比本程序（版本 %2）新，未作改动"_s.arg(version).arg(kSchemaVersion);
        }
    });
    return outcome;
}

// A site's URL as two independent 64-bit hashes: a million URL strings kept for look-ups alone took some
// 140 MB; two URLs share both hashes with odds of about one in 10^26.
struct UrlKey
{
    quint64 first = 0;
    quint64 second = 0;
    explicit UrlKey(QStringView url)
        : first(qHash(url, size_t(0x9e3779b97f4a7c15)))
        , second(qHash(url, size_t(0xc2b2ae3d27d4eb4f)))
    { }
    bool operator==(const UrlKey&) const = default;
};

size_t qHash(const UrlKey& key, size_t seed = 0)
{
    return size_t(key.first) ^ seed;
}

struct SiteState
{
    qint64 id = 0;
    qint64 certExpires = 0;
    bool normal = true;
};

struct HourSum
{
    qint64 checks = 0;
    qint64 normalChecks = 0;
    qint64 sumMs = 0;
    qint64 maxMs = 0;
    qint64 normalSumMs = 0; // a failed check's time says nothing of the site's response time
};

} // namespace

struct HistoryStore::Writer
{
    QString path;
    HistoryStore* owner = nullptr;

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable flushed;
    QVector<HistorySample> queue;
    bool stop = false;
    bool flushRequested = false;
    quint64 enqueued = 0;
    quint64 written = 0; // written or dropped
    quint64 dropped = 0;
    std::atomic<bool> failed = false;
    std::thread thread;

    // Writer thread only.
    using Sums = std::map<std::pair<qint64, qint64>, HourSum>; // (hour start in seconds, site), in the file's order
    QString connection;
    bool opened = false;
    bool droppedReported = false;
    QSqlError error; // of the statement that failed last
    QHash<UrlKey, SiteState> sites;
    Sums hours;
    qint64 newestMs = 0;
    qint64 rolledThroughMs = 0;
    qint64 rollingTo = 0;

    // What a batch changed in `sites`, put back when its transaction is rolled back.
    struct Undo
    {
        std::vector<UrlKey> added;
        std::vector<std::pair<UrlKey, SiteState>> changed;
    };

    void Run();
    Outcome Open(QSqlDatabase& db);
    Outcome Write(QSqlDatabase& db, const QVector<HistorySample>& batch, bool flushSums, bool* sumsFlushed);
    bool Apply(QSqlDatabase& db, const QVector<HistorySample>& batch, Undo& undo, Sums& sums);
    bool FlushHours(QSqlDatabase& db, const Sums& more);
    bool RollUpAndThin(QSqlDatabase& db);
    bool Exec(QSqlQuery& q, const QString& sql = {});
    Outcome Result();
    void Fail(const QString& message);
    void Emit(void (HistoryStore::*signal)(const QString&), const QString& text);
};

void HistoryStore::Writer::Emit(void (HistoryStore::*signal)(const QString&), const QString& text)
{
    QMetaObject::invokeMethod(
        owner, [o = owner, signal, text] { emit(o->*signal)(text); }, Qt::QueuedConnection);
}

void HistoryStore::Writer::Fail(const QString& message)
{
    failed = true;
    Emit(&HistoryStore::Failed, u"历史记录不可用（%1）：%2。监控照常进行，不再记录历史。"_s.arg(path, message));
}

bool HistoryStore::Writer::Exec(QSqlQuery& q, const QString& sql)
{
    if (sql.isEmpty() ? q.exec() : q.exec(sql))
        return true;
    error = q.lastError();
    return false;
}

// A passing lock is waited out; anything else ends the history for the run.
Outcome HistoryStore::Writer::Result()
{
    if (IsBusy(error))
        return Outcome::Busy;
    Fail(Describe(error));
    return Outcome::Failed;
}

Outcome HistoryStore::Writer::Open(QSqlDatabase& db)
{
    QString message;
    const Outcome check = CheckOwnFile(path, &message);
    if (check == Outcome::Failed)
        Fail(message);
    if (check != Outcome::Done)
        return check;
    if (!db.isOpen()) {
        CreatePrivateFile(path); // SQLite would create it 0644; its WAL files copy the file's mode
        db.setDatabaseName(path);
        db.setConnectOptions(u"QSQLITE_BUSY_TIMEOUT=%1"_s.arg(kBusyTimeoutMs));
        if (!db.open()) {
            error = db.lastError();
            return Result();
        }
    }
    QSqlQuery q(db);
    // WAL lets the details view read while this thread writes; NORMAL sync is safe with WAL. A big batch
    // grows the WAL file; the limit shrinks it again after a checkpoint.
    for (const char* statement :
        { "PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL", "PRAGMA journal_size_limit=16777216" }) {
        if (!Exec(q, QString::fromLatin1(statement)))
            return Result();
    }
    if (!Exec(q, u"BEGIN IMMEDIATE"_s))
        return Result();
    bool ok = true;
    for (const char* statement : kSchema)
        ok = ok && Exec(q, QString::fromLatin1(statement));
    // Files from before the normal checks' sum get the column; their old rows keep NULL there (unknown).
    for (const QString& table : { u"hourly"_s, u"daily"_s }) {
        ok = ok && Exec(q, u"SELECT count(*) FROM pragma_table_info('%1') WHERE name = 'normal_sum_ms'"_s.arg(table));
        if (ok && q.next() && q.value(0).toInt() == 0)
            ok = Exec(q, u"ALTER TABLE %1 ADD COLUMN normal_sum_ms INTEGER"_s.arg(table));
    }
    if (!ok || !Exec(q, u"COMMIT"_s)) {
        q.exec(u"ROLLBACK"_s);
        return Result();
    }
    // Forward only: a cached result would hold every row of the table at once.
    q.setForwardOnly(true);
    if (!Exec(q, u"SELECT id, url, normal, cert_expires FROM sites"_s))
        return Result();
    sites.clear();
    while (q.next())
        sites.insert(
            UrlKey(q.value(1).toString()), { q.value(0).toLongLong(), q.value(3).toLongLong(), q.value(2).toBool() });
    if (q.exec(u"SELECT value FROM meta WHERE key = 'rolled_through'"_s) && q.next())
        rolledThroughMs = q.value(0).toLongLong() * 1000;
    opened = true;
    return Outcome::Done;
}

bool HistoryStore::Writer::Apply(QSqlDatabase& db, const QVector<HistorySample>& batch, Undo& undo, Sums& sums)
{
    // Another writer on the file may have added the site since this one read `sites`.
    SqliteStatement insertSite(db,
        "INSERT INTO sites(url, normal, since_ms, status, cert_expires) VALUES(?, ?, ?, ?, ?)"
        " ON CONFLICT(url) DO NOTHING");
    QSqlQuery findSite(db);
    QSqlQuery updateSite(db);
    QSqlQuery insertChange(db);
    findSite.prepare(u"SELECT id, normal, cert_expires FROM sites WHERE url = ?"_s);
    updateSite.prepare(u"UPDATE sites SET normal = ?, since_ms = CASE WHEN normal = ? THEN since_ms ELSE ? END,"
                       " status = ?, cert_expires = ? WHERE id = ?"_s);
    insertChange.prepare(u"INSERT INTO changes(url, at_ms, normal, status, cert_expires) VALUES(?, ?, ?, ?, ?)"_s);
    auto certValue = [](qint64 seconds) { return seconds > 0 ? QVariant(seconds) : QVariant(); };

    for (const HistorySample& s : batch) {
        newestMs = qMax(newestMs, s.atMs);
        const UrlKey key(s.url);
        auto it = sites.find(key);
        bool changed = false;
        if (it == sites.end()) {
            insertSite.Bind(s.url).Bind(s.normal ? 1 : 0).Bind(s.atMs).Bind(s.status).BindPositiveOrNull(s.certExpires);
            if (!insertSite.Run(&error))
                return false;
            undo.added.push_back(key);
            if (insertSite.Changes() > 0) {
                it = sites.insert(key, { insertSite.LastInsertId(), s.certExpires, s.normal });
                changed = !s.normal;
            } else {
                findSite.addBindValue(s.url);
                if (!Exec(findSite))
                    return false;
                if (!findSite.next()) {
                    error = findSite.lastError();
                    return false;
                }
                it = sites.insert(key,
                    { findSite.value(0).toLongLong(), findSite.value(2).toLongLong(), findSite.value(1).toBool() });
                findSite.finish();
            }
        }
        if (it->normal != s.normal || (s.certExpires > 0 && it->certExpires != s.certExpires)) {
            changed = changed || it->normal != s.normal;
            undo.changed.emplace_back(key, *it);
            updateSite.addBindValue(int(s.normal));
            updateSite.addBindValue(int(s.normal));
            updateSite.addBindValue(s.atMs);
            updateSite.addBindValue(s.status);
            updateSite.addBindValue(certValue(s.certExpires > 0 ? s.certExpires : it->certExpires));
            updateSite.addBindValue(it->id);
            if (!Exec(updateSite))
                return false;
            it->normal = s.normal;
            if (s.certExpires > 0)
                it->certExpires = s.certExpires;
        }
        if (changed) {
            insertChange.addBindValue(s.url);
            insertChange.addBindValue(s.atMs);
            insertChange.addBindValue(int(s.normal));
            insertChange.addBindValue(s.status);
            insertChange.addBindValue(certValue(s.certExpires));
            if (!Exec(insertChange))
                return false;
        }
        HourSum& sum = sums[{ FloorTo(s.atMs, kHourMs) / 1000, it->id }];
        ++sum.checks;
        sum.normalChecks += s.normal ? 1 : 0;
        sum.sumMs += s.elapsedMs;
        sum.maxMs = qMax(sum.maxMs, s.elapsedMs);
        sum.normalSumMs += s.normal ? s.elapsedMs : 0;
    }
    return true;
}

bool HistoryStore::Writer::FlushHours(QSqlDatabase& db, const Sums& more)
{
    SqliteStatement upsert(db,
        "INSERT INTO hourly(hour, site, checks, normal_checks, sum_ms, max_ms, normal_sum_ms)"
        " VALUES(?, ?, ?, ?, ?, ?, ?) ON CONFLICT(hour, site) DO UPDATE SET checks = checks + excluded.checks,"
        " normal_checks = normal_checks + excluded.normal_checks, sum_ms = sum_ms + excluded.sum_ms,"
        " max_ms = max(max_ms, excluded.max_ms), normal_sum_ms = normal_sum_ms + excluded.normal_sum_ms");
    for (const Sums* part : { static_cast<const Sums*>(&hours), &more }) {
        for (const auto& [key, sum] : *part) {
            upsert.Bind(key.first).Bind(key.second).Bind(sum.checks).Bind(sum.normalChecks);
            upsert.Bind(sum.sumMs).Bind(sum.maxMs).Bind(sum.normalSumMs);
            if (!upsert.Run(&error))
                return false;
        }
    }
    return true;
}

// Whole days older than the newest sample's day are added to `daily` once; then old detail goes. The file's
// own mark is read again here: another writer may have rolled those days up already.
bool HistoryStore::Writer::RollUpAndThin(QSqlDatabase& db)
{
    QSqlQuery q(db);
    if (!Exec(q, u"SELECT value FROM meta WHERE key = 'rolled_through'"_s))
        return false;
    const qint64 rolledThrough = q.next() ? q.value(0).toLongLong() * 1000 : rolledThroughMs;
    const qint64 today = FloorTo(newestMs, kDayMs);
    rollingTo = qMax(rolledThrough, today);
    if (today <= rolledThrough)
        return true;
    // A day with an hour from before the column is unknown (NULL) as a whole.
    q.prepare(u"INSERT INTO daily(day, site, checks, normal_checks, sum_ms, max_ms, normal_sum_ms)"
              " SELECT hour - hour % 86400, site, sum(checks), sum(normal_checks), sum(sum_ms), max(max_ms),"
              " CASE WHEN count(normal_sum_ms) = count(*) THEN sum(normal_sum_ms) END"
              " FROM hourly WHERE hour >= ? AND hour < ? GROUP BY 1, 2 ORDER BY 1, 2"
              " ON CONFLICT(day, site) DO UPDATE SET checks = checks + excluded.checks,"
              " normal_checks = normal_checks + excluded.normal_checks, sum_ms = sum_ms + excluded.sum_ms,"
              " max_ms = max(max_ms, excluded.max_ms), normal_sum_ms = normal_sum_ms + excluded.normal_sum_ms"_s);
    // A first roll-up only takes the day before; older hourly rows were never kept.
    const qint64 from = rolledThrough > 0 ? rolledThrough : today - kDayMs;
    q.addBindValue(from / 1000);
    q.addBindValue(today / 1000);
    return Exec(q) && Exec(q, u"UPDATE meta SET value = %1 WHERE key = 'rolled_through'"_s.arg(today / 1000))
        && Exec(q, u"DELETE FROM hourly WHERE hour < %1"_s.arg((newestMs - kHourlyKeepMs) / 1000))
        && Exec(q, u"DELETE FROM daily WHERE day < %1"_s.arg((newestMs - kDailyKeepMs) / 1000));
}

// One transaction; on any failure the memory is put back as it was, so the same batch can be tried again.
Outcome HistoryStore::Writer::Write(
    QSqlDatabase& db, const QVector<HistorySample>& batch, bool flushSums, bool* sumsFlushed)
{
    QSqlQuery q(db);
    // Immediate: the write lock is taken (or waited for) at the start, never in the middle of the batch.
    if (!Exec(q, u"BEGIN IMMEDIATE"_s))
        return Result();
    const qint64 newestBefore = newestMs;
    Undo undo;
    Sums sums;
    bool ok = Apply(db, batch, undo, sums);
    const bool hourTurned = FloorTo(newestMs, kHourMs) != FloorTo(newestBefore, kHourMs);
    // The sums are also written once they cover many sites, so a million sites never hold them all.
    flushSums = flushSums || hourTurned || hours.size() + sums.size() >= kMaxHourSums;
    ok = ok && (!flushSums || (FlushHours(db, sums) && RollUpAndThin(db)));
    ok = ok && Exec(q, u"COMMIT"_s);
    if (!ok) {
        q.exec(u"ROLLBACK"_s);
        for (auto it = undo.changed.rbegin(); it != undo.changed.rend(); ++it)
            sites[it->first] = it->second;
        for (const UrlKey& key : undo.added)
            sites.remove(key);
        newestMs = newestBefore;
        return Result();
    }
    if (flushSums) {
        hours.clear();
        rolledThroughMs = rollingTo;
    } else {
        for (const auto& [key, sum] : sums) {
            HourSum& total = hours[key];
            total.checks += sum.checks;
            total.normalChecks += sum.normalChecks;
            total.sumMs += sum.sumMs;
            total.maxMs = qMax(total.maxMs, sum.maxMs);
            total.normalSumMs += sum.normalSumMs;
        }
    }
    *sumsFlushed = flushSums;
    return Outcome::Done;
}

void HistoryStore::Writer::Run()
{
    connection = ConnectionName();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, connection);
        if (!db.isValid())
            Fail(u"没有 SQLite 驱动（QSQLITE）"_s);
        auto lastAggregateFlush = std::chrono::steady_clock::now();
        QVector<HistorySample> batch; // kept while the file is locked, tried again with what came meanwhile
        bool busy = false;
        while (true) {
            bool stopping = false;
            bool flushAsked = false;
            {
                std::unique_lock lock(mutex);
                if (busy) {
                    wake.wait_for(lock, kRetryPause, [this] { return stop; });
                } else {
                    wake.wait_for(
                        lock, kAggregateFlushPeriod, [this] { return stop || flushRequested || !queue.isEmpty(); });
                    // Results come a few at a time; gathering them for a moment makes one transaction of a burst.
                    wake.wait_for(lock, kGatherTime, [this] { return stop || flushRequested; });
                }
                if (batch.isEmpty()) {
                    batch.swap(queue);
                } else {
                    // A lock that lasts loses the newest samples rather than the process's memory.
                    const qsizetype room = qMax(qsizetype(0), kMaxQueued - batch.size());
                    const qsizetype lost = qMax(qsizetype(0), queue.size() - room);
                    queue.resize(queue.size() - lost);
                    batch += queue;
                    queue.clear();
                    dropped += quint64(lost);
                    written += quint64(lost);
                }
                stopping = stop;
                flushAsked = flushRequested;
            }
            const auto now = std::chrono::steady_clock::now();
            const bool flushSums = stopping || flushAsked || now - lastAggregateFlush >= kAggregateFlushPeriod;
            Outcome outcome = failed ? Outcome::Failed : Outcome::Done;
            if (outcome == Outcome::Done && !opened)
                outcome = Open(db);
            if (outcome == Outcome::Done && (!batch.isEmpty() || flushSums)) {
                bool sumsFlushed = false;
                outcome = Write(db, batch, flushSums, &sumsFlushed);
                if (sumsFlushed)
                    lastAggregateFlush = now;
            }
            busy = outcome == Outcome::Busy && !stopping;
            quint64 droppedSoFar = 0;
            {
                std::lock_guard lock(mutex);
                if (!busy) {
                    written += quint64(batch.size());
                    if (outcome != Outcome::Done)
                        dropped += quint64(batch.size());
                    batch.clear();
                    if (flushAsked)
                        flushRequested = false;
                }
                droppedSoFar = dropped;
            }
            flushed.notify_all();
            if (!busy && !failed && droppedSoFar > 0 && !droppedReported) {
                droppedReported = true;
                Emit(&HistoryStore::Dropped,
                    u"历史文件（%1）曾被其他程序锁住，%2 条检查结果未能记录。"_s.arg(path).arg(droppedSoFar));
            }
            if (stopping)
                break;
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
}

HistoryStore::HistoryStore(const QString& path, QObject* parent)
    : QObject(parent)
    , m_writer(std::make_shared<Writer>())
    , m_path(path)
{
    m_writer->path = path;
    m_writer->owner = this;
}

HistoryStore::~HistoryStore()
{
    if (m_writer->thread.joinable()) {
        {
            std::lock_guard lock(m_writer->mutex);
            m_writer->stop = true;
        }
        m_writer->wake.notify_one();
        m_writer->thread.join();
    }
}

void HistoryStore::Start()
{
    if (m_writer->thread.joinable())
        return;
    m_writer->thread = std::thread([w = m_writer] { w->Run(); });
}

void HistoryStore::Record(const HistorySample& sample)
{
    // Called once per finished check: straight onto the queue, no list of one made and copied.
    Enqueue(1, [&](QVector<HistorySample>& queue) { queue.append(sample); });
}

void HistoryStore::Record(QVector<HistorySample> samples)
{
    Enqueue(samples.size(), [&](QVector<HistorySample>& queue) {
        if (queue.isEmpty())
            queue.swap(samples);
        else
            queue += samples;
    });
}

void HistoryStore::Enqueue(qsizetype count, const std::function<void(QVector<HistorySample>&)>& append)
{
    if (m_writer->failed || count == 0)
        return;
    bool wasEmpty = false;
    {
        std::lock_guard lock(m_writer->mutex);
        wasEmpty = m_writer->queue.isEmpty();
        if (m_writer->queue.size() >= kMaxQueued) {
            m_writer->dropped += quint64(count);
            return;
        }
        m_writer->enqueued += quint64(count);
        append(m_writer->queue);
    }
    if (wasEmpty)
        m_writer->wake.notify_one();
}

void HistoryStore::Flush()
{
    if (!m_writer->thread.joinable())
        return;
    std::unique_lock lock(m_writer->mutex);
    m_writer->flushRequested = true;
    m_writer->wake.notify_one();
    const quint64 target = m_writer->enqueued;
    m_writer->flushed.wait(lock, [&] { return m_writer->written >= target && !m_writer->flushRequested; });
}

bool HistoryStore::HasFailed() const
{
    return m_writer->failed;
}

QString HistoryStore::Path() const
{
    return m_path;
}

QString HistoryStore::PathBesideConfig(const QString& configPath)
{
    const QFileInfo info(configPath);
    return info.dir().filePath(info.completeBaseName() + u".history.sqlite"_s);
}

SiteHistory HistoryStore::ReadSite(const QString& path, const QString& url, qint64 nowMs)
{
    SiteHistory result;
    if (!QFileInfo::exists(path))
        return result;
    ReadOnly(path, 200, [&](QSqlDatabase& db) {
        if (db.open()) {
            QSqlQuery q(db);
            q.prepare(u"SELECT id, normal, since_ms, cert_expires FROM sites WHERE url = ?"_s);
            q.addBindValue(url);
            if (q.exec() && q.next()) {
                const qint64 id = q.value(0).toLongLong();
                result.known = true;
                result.normal = q.value(1).toBool();
                result.sinceMs = q.value(2).toLongLong();
                result.certExpires = q.value(3).toLongLong();

                qint64 rolledThrough = 0;
                if (q.exec(u"SELECT value FROM meta WHERE key = 'rolled_through'"_s) && q.next())
                    rolledThrough = q.value(0).toLongLong();
                // Lookups by (time, site): the listed hours and days are each one seek.
                auto times = [](qint64 from, qint64 to, qint64 step) {
                    QStringList list;
                    for (qint64 t = from; t < to; t += step)
                        list << QString::number(t);
                    return list.isEmpty() ? u"NULL"_s : list.join(u',');
                };
                const qint64 nowHour = FloorTo(nowMs, kHourMs) / 1000;
                const qint64 firstHour = nowHour - 23 * 3600;
                const qint64 lastDay = FloorTo(nowMs, kDayMs) / 1000;
                auto uptime = [&](int days) {
                    QSqlQuery u(db);
                    // Whole days come from `daily`, the rest (not yet rolled up) from `hourly`.
                    const QString sql
                        = u"SELECT sum(c), sum(n) FROM ("
                          " SELECT checks AS c, normal_checks AS n FROM daily WHERE day IN (%1) AND site = %3"
                          " UNION ALL SELECT checks, normal_checks FROM hourly WHERE hour IN (%2) AND site = %3)"_s.arg(
                              times(qMax(lastDay - days * 86400LL, 0LL), rolledThrough, 86400),
                              times(qMax(rolledThrough, nowHour - 72 * 3600), nowHour + 3600, 3600),
                              QString::number(id));
                    if (u.exec(sql) && u.next() && u.value(0).toLongLong() > 0)
                        return u.value(1).toDouble() / u.value(0).toDouble();
                    return -1.0;
                };
                QSqlQuery h(db);
                qint64 checks = 0;
                qint64 normalChecks = 0;
                // A file not yet opened by a writer of this version lacks normal_sum_ms: read it as unknown.
                const QString hourly
                    = u"SELECT hour, checks, normal_checks, sum_ms, max_ms, %3 FROM hourly"
                      " WHERE hour IN (%1) AND site = %2 ORDER BY hour"_s.arg(times(firstHour, nowHour + 3600, 3600))
                          .arg(id);
                if (h.exec(hourly.arg(u"normal_sum_ms"_s)) || h.exec(hourly.arg(u"NULL"_s))) {
                    while (h.next()) {
                        const qint64 c = h.value(1).toLongLong();
                        const qint64 normal = h.value(2).toLongLong();
                        checks += c;
                        normalChecks += normal;
                        // The mean of the normal checks; rows from before the column only know all checks'.
                        const double mean = !h.value(5).isNull() ? (normal > 0 ? h.value(5).toDouble() / normal : -1)
                            : c > 0                              ? h.value(3).toDouble() / double(c)
                                                                 : -1;
                        result.responseTimes24h.append(
                            { h.value(0).toLongLong() * 1000, mean, h.value(4).toLongLong(), c - normal });
                    }
                }
                result.uptime24h = checks > 0 ? double(normalChecks) / double(checks) : -1;
                result.uptime7d = uptime(7);
                result.uptime30d = uptime(30);

                QSqlQuery c(db);
                c.prepare(u"SELECT at_ms, normal, status FROM changes WHERE url = ? ORDER BY at_ms DESC LIMIT 50"_s);
                c.addBindValue(url);
                if (c.exec()) {
                    while (c.next())
                        result.changes.append({ c.value(0).toLongLong(), c.value(1).toBool(), c.value(2).toInt() });
                }
            }
        }
    });
    return result;
}

QStringList HistoryStore::ReadAbnormalUrls(const QString& path)
{
    QStringList urls;
    QString message;
    if (!QFileInfo::exists(path) || CheckOwnFile(path, &message) != Outcome::Done)
        return urls;
    ReadOnly(path, kBusyTimeoutMs, [&](QSqlDatabase& db) {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (db.open() && q.exec(u"SELECT url FROM sites WHERE normal = 0"_s)) {
            while (q.next())
                urls << q.value(0).toString();
        }
    });
    return urls;
}

QHash<QString, HistoryVerdict> HistoryStore::ReadVerdicts(const QString& path)
{
    QHash<QString, HistoryVerdict> verdicts;
    QString message;
    if (!QFileInfo::exists(path) || CheckOwnFile(path, &message) != Outcome::Done)
        return verdicts;
    ReadOnly(path, kBusyTimeoutMs, [&](QSqlDatabase& db) {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (db.open() && q.exec(u"SELECT url, normal, since_ms FROM sites"_s)) {
            while (q.next())
                verdicts.insert(q.value(0).toString(), { q.value(1).toBool(), q.value(2).toLongLong() });
        }
    });
    return verdicts;
}

QHash<QString, QVector<HistoryStore::HourCounts>> HistoryStore::ReadHourlyCounts(
    const QString& path, const QStringList& urls, qint64 nowMs)
{
    QHash<QString, QVector<HourCounts>> result;
    QString message;
    if (urls.isEmpty() || !QFileInfo::exists(path) || CheckOwnFile(path, &message) != Outcome::Done)
        return result;
    const qint64 nowHour = FloorTo(nowMs, kHourMs) / 1000;
    const qint64 firstHour = nowHour - 23 * 3600;
    QStringList hours;
    for (qint64 t = firstHour; t <= nowHour; t += 3600)
        hours << QString::number(t);
    ReadOnly(path, 200, [&](QSqlDatabase& db) {
        if (!db.open())
            return;
        // Bound the bound variables per statement well under SQLite's limit.
        constexpr qsizetype kChunk = 400;
        for (qsizetype from = 0; from < urls.size(); from += kChunk) {
            const QStringList chunk = urls.mid(from, kChunk);
            QSqlQuery q(db);
            q.setForwardOnly(true);
            QStringList marks(chunk.size(), u"?"_s);
            q.prepare(u"SELECT id, url FROM sites WHERE url IN (%1)"_s.arg(marks.join(u',')));
            for (const QString& url : chunk)
                q.addBindValue(url);
            QHash<qint64, QString> urlById;
            if (q.exec()) {
                while (q.next())
                    urlById.insert(q.value(0).toLongLong(), q.value(1).toString());
            }
            if (urlById.isEmpty())
                continue;
            QStringList ids;
            for (auto it = urlById.cbegin(); it != urlById.cend(); ++it) {
                ids << QString::number(it.key());
                result.insert(it.value(), QVector<HourCounts>(24));
            }
            QSqlQuery h(db);
            h.setForwardOnly(true);
            if (!h.exec(
                    u"SELECT site, hour, checks, normal_checks FROM hourly WHERE hour IN (%1) AND site IN (%2)"_s.arg(
                        hours.join(u','), ids.join(u','))))
                continue;
            while (h.next()) {
                const qint64 slot = (h.value(1).toLongLong() - firstHour) / 3600;
                auto it = result.find(urlById.value(h.value(0).toLongLong()));
                if (it == result.end() || slot < 0 || slot >= 24)
                    continue;
                (*it)[slot] = { h.value(2).toInt(), h.value(3).toInt() };
            }
        }
    });
    return result;
}

QList<HistoryStore::KnownCertificate> HistoryStore::ReadExpiringCertificates(const QString& path, int days)
{
    QList<KnownCertificate> certificates;
    QString message;
    if (!QFileInfo::exists(path) || CheckOwnFile(path, &message) != Outcome::Done)
        return certificates;
    ReadOnly(path, kBusyTimeoutMs, [&](QSqlDatabase& db) {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!db.open() || !q.exec(u"SELECT max(hour) FROM hourly"_s) || !q.next() || q.value(0).isNull())
            return;
        const qint64 seen = q.value(0).toLongLong();
        q.finish();
        q.prepare(u"SELECT url, cert_expires FROM sites WHERE cert_expires < ?"_s);
        q.addBindValue(seen + qint64(days) * 86'400);
        if (q.exec()) {
            while (q.next())
                certificates.append({ q.value(0).toString(), q.value(1).toLongLong(), seen * 1000 });
        }
    });
    return certificates;
}

qint64 HistoryStore::FirstDataMs(const QString& path, const QString& url, qint64 nowMs)
{
    qint64 first = 0;
    if (!QFileInfo::exists(path))
        return first;
    const QString name = ConnectionName();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, name);
        db.setDatabaseName(path);
        db.setConnectOptions(u"QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=200"_s);
        if (db.open()) {
            // Listed keys, each one seek: the tables are keyed by time first.
            auto keys = [](qint64 from, qint64 to, qint64 step) {
                QStringList list;
                for (qint64 t = from; t < to; t += step)
                    list << QString::number(t);
                return list.join(u',');
            };
            const qint64 nowHour = FloorTo(nowMs, kHourMs) / 1000;
            const qint64 today = FloorTo(nowMs, kDayMs) / 1000;
            QSqlQuery q(db);
            q.prepare(
                u"SELECT min(t) FROM (SELECT day AS t FROM daily WHERE day IN (%1) AND site = "
                "(SELECT id FROM sites WHERE url = ?) UNION ALL SELECT hour FROM hourly WHERE hour IN (%2)"
                " AND site = (SELECT id FROM sites WHERE url = ?))"_s.arg(
                    keys(today - 31 * 86400LL, today + 86400, 86400), keys(nowHour - 72 * 3600, nowHour + 3600, 3600)));
            q.addBindValue(url);
            q.addBindValue(url);
            if (q.exec() && q.next() && !q.value(0).isNull())
                first = q.value(0).toLongLong() * 1000;
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return first;
}
