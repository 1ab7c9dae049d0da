#pragma once

#include "http/transfer_failure.h"
#include "store/history_store.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

#include <vector>

struct CheckRecord;
struct PassSummary;

// The run's verdicts in the Prometheus text exposition format 0.0.4. Main thread only: the runner feeds it
// from the run's signals and the metrics server renders it on the same thread, so nothing here is locked.
// One series per distinct URL (rows with the same URL share it: the last finished check wins), because two
// series with equal labels would be rejected by the scraper.
class SiteMetrics final
{
public:
    SiteMetrics();

    void SetSiteCount(int sites);
    // Which slice of the list this process checks; a process that was not given one is shard 0 of 1.
    void SetShard(int index, int count);
    // found_position is exported only while the content condition is on.
    void SetContentConditionOn(bool on);
    // The verdicts a history recorded: a site whose first check agrees keeps the recorded since-time, so a
    // restart does not move it. Forgotten after the first pass.
    void SeedVerdicts(QHash<QString, HistoryVerdict> verdicts);
    void RecordCheck(const CheckRecord& record, qint64 wallClockMs);
    // A reloaded list: the series of the URLs not in it are dropped, the others keep their state.
    void KeepOnly(const QSet<QString>& urls);
    void RecordPass(const PassSummary& summary);
    // Certificate expiry (seconds since the epoch) of an https site, once checks report it; 0 forgets it.
    // Sites without one export no patrol_site_cert_expiry_timestamp_seconds series.
    void SetCertExpiry(const QString& url, qint64 epochSeconds);

    // State changes a webhook gave up on (after its retries, shed from a full queue or left at the end).
    void AddNotifyFailed(int changes) { m_notifyFailed += quint64(qMax(changes, 0)); }

    QByteArray Render() const;
    // Since when the site is abnormal (the history's record of it where there is one); 0 normal or unknown.
    qint64 AbnormalSinceMs(const QString& url) const;

    // A label value as the format requires: backslash, double quote and line feed escaped.
    static QByteArray EscapeLabelValue(const QString& value);

private:
    struct Site
    {
        QByteArray labels; // {url="..."} with a trailing space
        bool up = true;
        int status = 0;
        qint64 elapsedMs = 0;
        qint64 checkedAtMs = 0;
        int found = 0;
        qint64 certExpiry = 0;
        qint64 stateSinceMs = 0; // the first check with the current verdict (or the history's record of it)
        qint64 abnormalSinceMs = 0; // stateSinceMs while abnormal, else 0
        FailureReason reason = FailureReason::None;
    };

    Site& SiteFor(const QString& url);

    std::vector<Site> m_sites;
    QHash<QString, int> m_indexByUrl;
    QHash<QString, HistoryVerdict> m_seeds;
    QByteArray m_buildInfo;
    QByteArray m_shardInfo;
    int m_siteCount = 0;
    int m_abnormal = 0;
    bool m_contentOn = false;
    quint64 m_passes = 0;
    quint64 m_notifyFailed = 0;
    quint64 m_normalChecks = 0;
    quint64 m_abnormalChecks = 0;
    qint64 m_lastPassMs = 0;
    int m_certSites = 0;
};
