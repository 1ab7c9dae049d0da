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
