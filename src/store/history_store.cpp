#include "store/history_store.h"

#include "store/atomic_file.h"

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

const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER) WITHOUT ROWID",
    "CREATE TABLE IF NOT EXISTS sites(id INTEGER PRIMARY KEY, url TEXT NOT NULL UNIQUE, normal INTEGER NOT NULL,"
    " since_ms INTEGER NOT NULL, status INTEGER NOT NULL, cert_expires INTEGER)",
    "CREATE TABLE IF NOT EXISTS changes(url TEXT NOT NULL, at_ms INTEGER NOT NULL, normal INTEGER NOT NULL,"
    " status INTEGER NOT NULL, cert_expires INTEGER)",
    "CREATE INDEX IF NOT EXISTS changes_by_url ON changes(url, at_ms)",
    // Time first: each hour's rows go to the end of the tree and old ones leave from its start, so writing
    // and thinning touch few pages; a site's rows are read by (time, site) lookups.
    "CREATE TABLE IF NOT EXISTS hourly(hour INTEGER NOT NULL, site INTEGER NOT NULL, checks INTEGER NOT NULL,"
    " normal_checks INTEGER NOT NULL, sum_ms INTEGER NOT NULL, max_ms INTEGER NOT NULL,"
    " PRIMARY KEY(hour, site)) WITHOUT ROWID",
    "CREATE TABLE IF NOT EXISTS daily(day INTEGER NOT NULL, site INTEGER NOT NULL, checks INTEGER NOT NULL,"
    " normal_checks INTEGER NOT NULL, sum_ms INTEGER NOT NULL, max_ms INTEGER NOT NULL,"
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
    quint64 written = 0;
    std::atomic<bool> failed = false;
    std::thread thread;

    // Writer thread only.
    QString connection;
    QHash<UrlKey, SiteState> sites;
    std::map<std::pair<qint64, qint64>, HourSum> hours; // (hour start in seconds, site), in the file's order
    qint64 newestMs = 0;
    qint64 rolledThroughMs = 0;

    void Run();
    bool Open(QSqlDatabase& db);
    bool Apply(QSqlDatabase& db, const QVector<HistorySample>& batch);
    bool FlushHours(QSqlDatabase& db);
    bool RollUpAndThin(QSqlDatabase& db);
    void Fail(const QString& message);
};

void HistoryStore::Writer::Fail(const QString& message)
{
    failed = true;
    const QString text = u"历史记录不可用（%1）：%2。监控照常进行，不再记录历史。"_s.arg(path, message);
    QMetaObject::invokeMethod(
        owner, [o = owner, text] { emit o->Failed(text); }, Qt::QueuedConnection);
}

bool HistoryStore::Writer::Open(QSqlDatabase& db)
{
    CreatePrivateFile(path); // SQLite would create it 0644; its WAL files copy the file's mode
    db.setDatabaseName(path);
    db.setConnectOptions(u"QSQLITE_BUSY_TIMEOUT=%1"_s.arg(kBusyTimeoutMs));
    if (!db.open()) {
        Fail(Describe(db.lastError()));
        return false;
    }
    QSqlQuery q(db);
    // WAL lets the details view read while this thread writes; NORMAL sync is safe with WAL. A big batch
    // grows the WAL file; the limit shrinks it again after a checkpoint.
    for (const char* statement :
        { "PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL", "PRAGMA journal_size_limit=16777216" }) {
        if (!q.exec(QString::fromLatin1(statement))) {
            Fail(Describe(q.lastError()));
            return false;
        }
    }
    if (!db.transaction()) {
        Fail(Describe(db.lastError()));
        return false;
    }
    for (const char* statement : kSchema) {
        if (!q.exec(QString::fromLatin1(statement))) {
            Fail(Describe(q.lastError()));
            db.rollback();
            return false;
        }
    }
    if (!db.commit()) {
        Fail(Describe(db.lastError()));
        return false;
    }
    // Forward only: a cached result would hold every row of the table at once.
    q.setForwardOnly(true);
    if (!q.exec(u"SELECT id, url, normal, cert_expires FROM sites"_s)) {
        Fail(Describe(q.lastError()));
        return false;
    }
    while (q.next())
        sites.insert(
            UrlKey(q.value(1).toString()), { q.value(0).toLongLong(), q.value(3).toLongLong(), q.value(2).toBool() });
    if (q.exec(u"SELECT value FROM meta WHERE key = 'rolled_through'"_s) && q.next())
        rolledThroughMs = q.value(0).toLongLong() * 1000;
    return true;
}

bool HistoryStore::Writer::Apply(QSqlDatabase& db, const QVector<HistorySample>& batch)
{
    QSqlQuery insertSite(db);
    QSqlQuery updateSite(db);
    QSqlQuery insertChange(db);
    insertSite.prepare(u"INSERT INTO sites(url, normal, since_ms, status, cert_expires) VALUES(?, ?, ?, ?, ?)"_s);
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
            insertSite.addBindValue(s.url);
            insertSite.addBindValue(int(s.normal));
            insertSite.addBindValue(s.atMs);
            insertSite.addBindValue(s.status);
            insertSite.addBindValue(certValue(s.certExpires));
            if (!insertSite.exec()) {
                Fail(Describe(insertSite.lastError()));
                return false;
            }
            it = sites.insert(key, { insertSite.lastInsertId().toLongLong(), s.certExpires, s.normal });
            changed = !s.normal;
        } else if (it->normal != s.normal || (s.certExpires > 0 && it->certExpires != s.certExpires)) {
            changed = it->normal != s.normal;
            updateSite.addBindValue(int(s.normal));
            updateSite.addBindValue(int(s.normal));
            updateSite.addBindValue(s.atMs);
            updateSite.addBindValue(s.status);
            updateSite.addBindValue(certValue(s.certExpires > 0 ? s.certExpires : it->certExpires));
            updateSite.addBindValue(it->id);
            if (!updateSite.exec()) {
                Fail(Describe(updateSite.lastError()));
                return false;
            }
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
            if (!insertChange.exec()) {
                Fail(Describe(insertChange.lastError()));
                return false;
            }
        }
        HourSum& sum = hours[{ FloorTo(s.atMs, kHourMs) / 1000, it->id }];
        ++sum.checks;
        sum.normalChecks += s.normal ? 1 : 0;
        sum.sumMs += s.elapsedMs;
        sum.maxMs = qMax(sum.maxMs, s.elapsedMs);
    }
    return true;
}

bool HistoryStore::Writer::FlushHours(QSqlDatabase& db)
{
    if (hours.empty())
        return true;
    QSqlQuery upsert(db);
    upsert.prepare(u"INSERT INTO hourly(hour, site, checks, normal_checks, sum_ms, max_ms) VALUES(?, ?, ?, ?, ?, ?)"
                   " ON CONFLICT(hour, site) DO UPDATE SET checks = checks + excluded.checks,"
                   " normal_checks = normal_checks + excluded.normal_checks, sum_ms = sum_ms + excluded.sum_ms,"
                   " max_ms = max(max_ms, excluded.max_ms)"_s);
    for (const auto& [key, sum] : hours) {
        upsert.addBindValue(key.first);
        upsert.addBindValue(key.second);
        upsert.addBindValue(sum.checks);
        upsert.addBindValue(sum.normalChecks);
        upsert.addBindValue(sum.sumMs);
        upsert.addBindValue(sum.maxMs);
        if (!upsert.exec()) {
            Fail(Describe(upsert.lastError()));
            return false;
        }
    }
    hours.clear();
    return true;
}

// Whole days older than the newest sample's day are added to `daily` once; then old detail goes.
bool HistoryStore::Writer::RollUpAndThin(QSqlDatabase& db)
{
    const qint64 today = FloorTo(newestMs, kDayMs);
    if (today <= rolledThroughMs)
        return true;
    QSqlQuery q(db);
    q.prepare(u"INSERT INTO daily(day, site, checks, normal_checks, sum_ms, max_ms)"
              " SELECT hour - hour % 86400, site, sum(checks), sum(normal_checks), sum(sum_ms), max(max_ms)"
              " FROM hourly WHERE hour >= ? AND hour < ? GROUP BY 1, 2 ORDER BY 1, 2"
              " ON CONFLICT(day, site) DO UPDATE SET checks = checks + excluded.checks,"
              " normal_checks = normal_checks + excluded.normal_checks, sum_ms = sum_ms + excluded.sum_ms,"
              " max_ms = max(max_ms, excluded.max_ms)"_s);
    // A first roll-up only takes the day before; older hourly rows were never kept.
    const qint64 from = rolledThroughMs > 0 ? rolledThroughMs : today - kDayMs;
    q.addBindValue(from / 1000);
    q.addBindValue(today / 1000);
    bool ok = q.exec();
    ok = ok && q.exec(u"UPDATE meta SET value = %1 WHERE key = 'rolled_through'"_s.arg(today / 1000));
    ok = ok && q.exec(u"DELETE FROM hourly WHERE hour < %1"_s.arg((newestMs - kHourlyKeepMs) / 1000));
    ok = ok && q.exec(u"DELETE FROM daily WHERE day < %1"_s.arg((newestMs - kDailyKeepMs) / 1000));
    if (!ok) {
        Fail(Describe(q.lastError()));
        return false;
    }
    rolledThroughMs = today;
    return true;
}

void HistoryStore::Writer::Run()
{
    connection = ConnectionName();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, connection);
        bool ok = db.isValid() || (Fail(u"没有 SQLite 驱动（QSQLITE）"_s), false);
        ok = ok && Open(db);
        auto lastAggregateFlush = std::chrono::steady_clock::now();
        while (true) {
            QVector<HistorySample> batch;
            bool stopping = false;
            bool flushAsked = false;
            {
                std::unique_lock lock(mutex);
                wake.wait_for(
                    lock, kAggregateFlushPeriod, [this] { return stop || flushRequested || !queue.isEmpty(); });
                // Results come a few at a time; gathering them for a moment makes one transaction of a burst.
                wake.wait_for(lock, kGatherTime, [this] { return stop || flushRequested; });
                batch.swap(queue);
                stopping = stop;
                flushAsked = flushRequested;
            }
            if (ok && !failed) {
                const qint64 hourBefore = FloorTo(newestMs, kHourMs);
                bool good = db.transaction() || (Fail(Describe(db.lastError())), false);
                good = good && Apply(db, batch);
                const auto now = std::chrono::steady_clock::now();
                const bool hourTurned = FloorTo(newestMs, kHourMs) != hourBefore;
                // The sums are also written once they cover many sites, so a million sites never hold them all.
                if (good
                    && (stopping || flushAsked || hourTurned || hours.size() >= kMaxHourSums
                        || now - lastAggregateFlush >= kAggregateFlushPeriod)) {
                    good = FlushHours(db) && RollUpAndThin(db);
                    lastAggregateFlush = now;
                }
                if (good && !db.commit()) {
                    Fail(Describe(db.lastError()));
                    good = false;
                }
                if (!good)
                    db.rollback();
            }
            {
                std::lock_guard lock(mutex);
                written += quint64(batch.size());
                if (flushAsked)
                    flushRequested = false;
            }
            flushed.notify_all();
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
        if (m_writer->queue.size() >= kMaxQueued)
            return;
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
    const QString name = ConnectionName();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, name);
        db.setDatabaseName(path);
        db.setConnectOptions(u"QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=200"_s);
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
                if (h.exec(u"SELECT hour, checks, normal_checks, sum_ms, max_ms FROM hourly WHERE hour IN (%1)"
                           " AND site = %2 ORDER BY hour"_s.arg(times(firstHour, nowHour + 3600, 3600))
                               .arg(id))) {
                    while (h.next()) {
                        const qint64 c = h.value(1).toLongLong();
                        checks += c;
                        normalChecks += h.value(2).toLongLong();
                        result.responseTimes24h.append({ h.value(0).toLongLong() * 1000,
                            c > 0 ? h.value(3).toDouble() / double(c) : 0.0, h.value(4).toLongLong() });
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
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return result;
}
