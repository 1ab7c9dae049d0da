#include "monitor/alert_filter.h"

#include <algorithm>

void AlertFilter::SetRules(int confirmPasses, qint64 remindMs)
{
    m_confirm = std::max(1, confirmPasses);
    m_remindMs = std::max<qint64>(0, remindMs);
}

AlertFilter::Verdict AlertFilter::Feed(const QString& url, bool normal, qint64 atMs)
{
    auto it = m_sites.find(url);
    if (it == m_sites.end()) {
        // Sites that start and stay normal cost no memory here.
        if (normal)
            return Verdict::Quiet;
        it = m_sites.insert(url, Site {});
    }
    Site& site = *it;
    if (site.toldAtMs < 0)
        site.toldAtMs = atMs;
    if (normal == site.told) {
        site.streak = 0;
        if (!normal && m_remindMs > 0 && atMs - site.toldAtMs >= m_remindMs) {
            site.toldAtMs = atMs;
            return Verdict::Reminder;
        }
        return Verdict::Quiet;
    }
    if (++site.streak < m_confirm)
        return Verdict::Quiet;
    site.told = normal;
    site.streak = 0;
    site.toldAtMs = atMs;
    return Verdict::Change;
}

void AlertFilter::SeedAbnormal(const QStringList& urls)
{
    for (const QString& url : urls) {
        if (!m_sites.contains(url))
            m_sites.insert(url, Site { false, 0, -1 });
    }
}

int CertificateWatch::Stage(qint64 certExpires, qint64 atMs)
{
    const qint64 left = certExpires - atMs / 1000;
    int stage = 0;
    for (const int days : kDefaultDays)
        stage += left < qint64(days) * 86'400 ? 1 : 0;
    return stage;
}

int CertificateWatch::Feed(const QString& url, qint64 certExpires, qint64 atMs)
{
    if (certExpires <= 0)
        return 0; // unknown this time (plain http, no answer): keeps what was told
    const int stage = Stage(certExpires, atMs);
    auto it = m_seen.find(url);
    if (it != m_seen.end() && it->expires != certExpires) {
        m_seen.erase(it); // renewed
        it = m_seen.end();
    }
    if (stage == 0)
        return 0;
    if (it == m_seen.end())
        it = m_seen.insert(url, Seen { certExpires, 0 });
    if (stage <= it->stage)
        return 0;
    it->stage = stage;
    return kDefaultDays[stage - 1];
}

void CertificateWatch::Seed(const QString& url, qint64 certExpires, qint64 seenMs)
{
    if (const int stage = Stage(certExpires, seenMs); stage > 0 && certExpires > 0 && !m_seen.contains(url))
        m_seen.insert(url, Seen { certExpires, stage });
}
