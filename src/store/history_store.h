#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>

// One finished check as the history keeps it.
struct HistorySample
{
    QString url;
    qint64 atMs = 0; // Unix milliseconds
    bool normal = true;
    int status = 0;
    qint64 elapsedMs = 0;
    qint64 certExpires = 0; // Unix seconds, 0 unknown
};

// A site's last recorded verdict and the first check in it.
struct HistoryVerdict
{
    bool normal = true;
    qint64 sinceMs = 0;
};

// What the history knows of one site, read for the details view.
struct SiteHistory
{
    bool known = false;
    bool normal = true;
    qint64 sinceMs = 0; // first check in the current state
    qint64 lastMs = 0;
    qint64 certExpires = 0;
    // Share of normal checks, -1 when there were none in the window.
    double uptime24h = -1;
    double uptime7d = -1;
    double uptime30d = -1;
    struct HourPoint
    {
        qint64 hourMs = 0;
        double averageMs = 0; // of the hour's normal checks; -1 when none was normal
        qint64 maxMs = 0;
        qint64 failedChecks = 0;
    };
    QVector<HourPoint> responseTimes24h;
    struct Change
    {
        qint64 atMs = 0;
        bool normal = true;
        int status = 0;
    };
    QVector<Change> changes; // newest first, at most 50
};

// The site history in an SQLite file (schema: docs/history.md), written in batches by a thread of its own.
//
// Record() is for the main thread and never blocks on the disk: it appends to a queue under a mutex and wakes
// the writer when the queue was empty. The writer takes everything queued, writes it in one transaction and
// thins old hourly rows when the hour changes. That queue is this class's only crossing; the writer's one way
// back is a queued call that emits Failed() on the owner's thread.
//
// Several writers may share the file (the window and a headless run): each writes in `BEGIN IMMEDIATE`
// transactions and waits out the other's lock. A lock held by another program keeps the batch in memory and the
// writer tries again; if samples had to be dropped meanwhile (the queue is bounded), Dropped(message) says so
// once, with the count. Before anything is written the file is looked at read-only: one that is not ours or has
// a newer schema is left untouched. That, a file that can't be opened or is not a database emit Failed(message)
// once; the writer stops and later samples are dropped. The file is never replaced or repaired.
class HistoryStore final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryStore)

public:
    explicit HistoryStore(const QString& path, QObject* parent = nullptr);
    // Writes what is queued, then stops the writer.
    ~HistoryStore() override;

    // Starts the writer thread, which opens the file.
    void Start();
    void Record(const HistorySample& sample);
    void Record(QVector<HistorySample> samples);
    // Blocks until everything recorded so far is written or dropped; waits out a lock (tests and benchmarks).
    void Flush();
    bool HasFailed() const;
    QString Path() const;

    // A read on a connection of the caller's own; with WAL it never waits for the writer. Empty on failure.
    static SiteHistory ReadSite(const QString& path, const QString& url, qint64 nowMs);
    // The sites whose last recorded verdict is abnormal, read-only; empty when the file is absent or not ours.
    static QStringList ReadAbnormalUrls(const QString& path);
    // Every site's last verdict, read-only, for carrying since-times over a restart; empty as above.
    static QHash<QString, HistoryVerdict> ReadVerdicts(const QString& path);

    // Checks and normal checks per hour for the 24 hours up to nowMs's, oldest first, of each URL the history
    // knows (all at once: one seek per hour and site). Sites it does not know are left out.
    struct HourCounts
    {
        qint32 checks = 0;
        qint32 normal = 0;
    };
    static QHash<QString, QVector<HourCounts>> ReadHourlyCounts(
        const QString& path, const QStringList& urls, qint64 nowMs);

    // The certificates that were within `days` of expiry when last seen, with when that was (the start of the
    // newest hour recorded: certificate warnings count in days). Empty when the file is absent or not ours.
    struct KnownCertificate
    {
        QString url;
        qint64 expires = 0; // Unix seconds
        qint64 seenMs = 0;
    };
    static QList<KnownCertificate> ReadExpiringCertificates(const QString& path, int days);

    // Start of the oldest hour or day of the last 31 days the history holds for the site, Unix ms; 0 when none.
    static qint64 FirstDataMs(const QString& path, const QString& url, qint64 nowMs);

    // "<folder>/<base>.history.sqlite" beside the configuration file.
    static QString PathBesideConfig(const QString& configPath);

    // How long detail lives: hourly rows for two days, daily rows for about a year and a month.
    static constexpr qint64 kHourlyKeepMs = 48LL * 3600 * 1000;
    static constexpr qint64 kDailyKeepMs = 400LL * 24 * 3600 * 1000;

signals:
    void Failed(const QString& message);
    void Dropped(const QString& message);

private:
    struct Writer;
    void Enqueue(qsizetype count, const std::function<void(QVector<HistorySample>&)>& append);
    std::shared_ptr<Writer> m_writer;
    QString m_path;
};
