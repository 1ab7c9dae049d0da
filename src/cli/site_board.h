#pragma once

#include "http/transfer_failure.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <vector>

struct CheckRecord;
struct PassSummary;

// The sites as the status page shows them: one entry per distinct URL in list order (rows with the same URL share
// it), its last check, since when it is abnormal and its last few checks. Main thread only, like SiteMetrics: the
// runner feeds it from the run's signals and the page reads it on the same thread, so nothing here is locked.
//
// An entry's id is 16 hex digits of a 64-bit FNV-1a hash of its URL: the same URL keeps its id across runs, so
// links stay good after a restart; a clash (never seen in practice) takes the next free value in list order.
class SiteBoard final
{
public:
    static constexpr int kRecentChecks = 8;
    enum class State : quint8 { Unchecked, Normal, Abnormal };
    enum class Filter { All, Abnormal, Normal, Unchecked };

    struct Check
    {
        qint64 atMs = 0;
        qint32 elapsedMs = 0;
        qint16 status = 0;
        bool normal = true;
        FailureReason reason = FailureReason::None;
    };
    struct Entry
    {
        QString url; // as checked: keys the history, never shown
        QString shown; // the URL with its password hidden: what is shown and searched
        QByteArray id;
        State state = State::Unchecked;
        bool byStatus = true;
        FailureReason reason = FailureReason::None;
        quint8 recentHead = 0;
        quint8 recentCount = 0;
        int status = 0;
        qint64 elapsedMs = 0;
        qint64 checkedAtMs = 0;
        qint64 abnormalSinceMs = 0; // the first check of the current abnormal streak
        QString reasonDetail;
    };
    struct Selection
    {
        int total = 0; // entries that match
        int page = 1; // the page given, moved into 1..pages
        int pages = 1;
        std::vector<int> rows; // the page's entries
    };

    SiteBoard() = default;

    // Replaces the entries with the list's URLs, unchecked.
    void SetSites(const QStringList& urls);
    // A list read again: the URLs that stay keep what the board knows of them, the others go.
    void ReplaceSites(const QStringList& urls);
    // abnormalSinceMs: where another record knows better (the history) since when an abnormal site is so.
    void RecordCheck(const CheckRecord& record, qint64 abnormalSinceMs = 0);
    void RecordPass(const PassSummary& summary, qint64 endedAtMs);

    int Count() const { return int(m_entries.size()); }
    const Entry& At(int index) const { return m_entries[size_t(index)]; }
    int Find(const QByteArray& id) const { return m_indexById.value(id, -1); }
    int AbnormalCount() const { return m_abnormal; }
    int UncheckedCount() const { return m_unchecked; }
    int Passes() const { return m_passes; }
    qint64 LastPassMs() const { return m_lastPassMs; }
    qint64 LastPassEndedAtMs() const { return m_lastPassEndMs; }
    // Newest first.
    QList<Check> RecentChecks(int index) const;
    // The abnormal entries, the longest abnormal first (then list order).
    const std::vector<int>& AbnormalOrder() const;

    // Bumped by whatever the top of the page shows: a change of state, a check of an abnormal site, a pass.
    quint64 TopVersion() const { return m_topVersion; }
    // Bumped by every check.
    quint64 Version() const { return m_version; }

    // Entries of the state whose shown URL holds `text` (any letter case), in list order, one page of them.
    Selection Select(Filter filter, const QString& text, int page, int pageSize) const;

    static QByteArray IdFor(const QString& url);
    static bool ParseFilter(const QString& text, Filter* filter);

private:
    Entry& EntryFor(const QString& url);
    int Append(const QString& url);

    std::vector<Entry> m_entries;
    std::vector<Check> m_recent; // kRecentChecks per entry, a ring each
    QHash<QString, int> m_indexByUrl;
    QHash<QByteArray, int> m_indexById;
    int m_abnormal = 0;
    int m_unchecked = 0;
    int m_passes = 0;
    qint64 m_lastPassMs = 0;
    qint64 m_lastPassEndMs = 0;
    quint64 m_topVersion = 1;
    quint64 m_version = 1;
    // Searches are repeated by every open page's update: the matches of the last few texts are kept (the URLs
    // never change, only grow, which clears them).
    struct Match
    {
        QString text;
        std::vector<int> rows;
    };
    mutable QList<Match> m_matches;
    mutable std::vector<int> m_abnormalOrder;
    mutable quint64 m_abnormalOrderVersion = 0;
    quint64 m_membershipVersion = 1; // bumped by changes of state only
};
