#include "cli/site_metrics.h"

#include "cli/process_metrics.h"
#include "http/url_text.h"
#include "monitor/monitoring_run.h"
#include "store/persistence.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

using namespace Qt::StringLiterals;

namespace {

// Appends into a buffer grown by doubling, without QByteArray's per-call checks: a page of 100,000 sites
// holds over half a million lines and is rendered on the main thread.
class PageWriter
{
public:
    explicit PageWriter(qsizetype reserve) { m_out.resize(std::max<qsizetype>(reserve, 4096)); }

    void Append(const char* data, qsizetype size)
    {
        Reserve(size);
        std::memcpy(m_out.data() + m_size, data, size_t(size));
        m_size += size;
    }
    void AppendBytes(const QByteArray& bytes) { Append(bytes.constData(), bytes.size()); }
    void Append(std::string_view text) { Append(text.data(), qsizetype(text.size())); }
    void Append(char c) { Append(&c, 1); }
    void Number(qint64 value)
    {
        Reserve(24);
        const auto result = std::to_chars(m_out.data() + m_size, m_out.data() + m_size + 24, value);
        m_size = result.ptr - m_out.data();
    }
    // Milliseconds as seconds with three decimals, without going through a double.
    void Millis(qint64 ms)
    {
        if (ms < 0) {
            Append('-');
            ms = -ms;
        }
        Number(ms / 1000);
        const int fraction = int(ms % 1000);
        if (fraction != 0) {
            const char digits[4]
                = { '.', char('0' + fraction / 100), char('0' + fraction / 10 % 10), char('0' + fraction % 10) };
            Append(digits, 4);
        }
    }
    void Header(std::string_view name, std::string_view type, std::string_view help)
    {
        Append("# HELP ");
        Append(name);
        Append(' ');
        Append(help);
        Append("\n# TYPE ");
        Append(name);
        Append(' ');
        Append(type);
        Append('\n');
    }
    QByteArray Take()
    {
        m_out.truncate(m_size);
        return std::move(m_out);
    }

private:
    void Reserve(qsizetype extra)
    {
        if (m_size + extra > m_out.size())
            m_out.resize(std::max(m_out.size() * 2, m_size + extra));
    }

    QByteArray m_out;
    qsizetype m_size = 0;
};

} // namespace

#ifndef PATROL_REVISION
#define PATROL_REVISION "unknown"
#endif

SiteMetrics::SiteMetrics()
    : m_buildInfo("patrol_build_info{version=\"" + EscapeLabelValue(Persist::ProgramVersion()) + "\",revision=\""
        + EscapeLabelValue(QStringLiteral(PATROL_REVISION)) + "\"} 1\n")
{
    SetShard(0, 1);
}

QByteArray SiteMetrics::EscapeLabelValue(const QString& value)
{
    const QByteArray utf8 = value.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 8);
    for (const char c : utf8) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

void SiteMetrics::SetSiteCount(int sites)
{
    m_siteCount = sites;
}

void SiteMetrics::SetShard(int index, int count)
{
    m_shardInfo = "patrol_shard_info{shard=\"" + QByteArray::number(index) + "\",shards=\"" + QByteArray::number(count)
        + "\"} 1\n";
}

void SiteMetrics::SetContentConditionOn(bool on)
{
    m_contentOn = on;
}

SiteMetrics::Site& SiteMetrics::SiteFor(const QString& url)
{
    auto it = m_indexByUrl.constFind(url);
    if (it != m_indexByUrl.cend())
        return m_sites[size_t(*it)];
    m_indexByUrl.insert(url, int(m_sites.size()));
    Site& site = m_sites.emplace_back();
    site.labels = "{url=\"" + EscapeLabelValue(RedactedUrl(url)) + "\"} ";
    return site;
}

qint64 SiteMetrics::AbnormalSinceMs(const QString& url) const
{
    const int index = m_indexByUrl.value(url, -1);
    return index < 0 ? 0 : m_sites[size_t(index)].abnormalSinceMs;
}

void SiteMetrics::SeedVerdicts(QHash<QString, HistoryVerdict> verdicts)
{
    m_seeds = std::move(verdicts);
}

void SiteMetrics::RecordCheck(const CheckRecord& record, qint64 wallClockMs)
{
    Site& site = SiteFor(record.url);
    const bool first = site.checkedAtMs == 0;
    const bool wasAbnormal = !first && !site.up;
    if (wasAbnormal != !record.normal)
        m_abnormal += record.normal ? -1 : 1;
    if (first || site.up != record.normal) {
        site.stateSinceMs = qMax<qint64>(wallClockMs, 1);
        if (first && !m_seeds.isEmpty()) {
            const auto seed = m_seeds.constFind(record.url);
            // A since-time after this check would come from a clock that was wrong then, or is now.
            if (seed != m_seeds.cend() && seed->normal == record.normal && seed->sinceMs > 0
                && seed->sinceMs <= site.stateSinceMs)
                site.stateSinceMs = seed->sinceMs;
        }
    }
    site.abnormalSinceMs = record.normal ? 0 : site.stateSinceMs;
    site.up = record.normal;
    site.status = record.status;
    site.elapsedMs = record.elapsedMs;
    // A clock set to before 1970 must not make the site look never checked.
    site.checkedAtMs = qMax<qint64>(wallClockMs, 1);
    site.found = record.found;
    site.reason = record.normal ? FailureReason::None : record.reason;
    ++(record.normal ? m_normalChecks : m_abnormalChecks);
}

void SiteMetrics::KeepOnly(const QSet<QString>& urls)
{
    // In the old order, so the page keeps its order.
    std::vector<const QString*> urlOf(m_sites.size(), nullptr);
    for (auto it = m_indexByUrl.cbegin(); it != m_indexByUrl.cend(); ++it)
        urlOf[size_t(it.value())] = &it.key();
    std::vector<Site> kept;
    QHash<QString, int> index;
    m_abnormal = 0;
    m_certSites = 0;
    for (size_t i = 0; i < m_sites.size(); ++i) {
        if (!urls.contains(*urlOf[i]))
            continue;
        const Site& site = m_sites[i];
        m_abnormal += site.checkedAtMs != 0 && !site.up;
        m_certSites += site.certExpiry != 0;
        index.insert(*urlOf[i], int(kept.size()));
        kept.push_back(site);
    }
    m_sites = std::move(kept);
    m_indexByUrl = std::move(index);
}

void SiteMetrics::RecordPass(const PassSummary& summary)
{
    // Every site of the list has had its first check.
    m_seeds = {};
    ++m_passes;
    m_lastPassMs = summary.elapsedMs;
}

void SiteMetrics::SetCertExpiry(const QString& url, qint64 epochSeconds)
{
    Site& site = SiteFor(url);
    m_certSites += (epochSeconds != 0) - (site.certExpiry != 0);
    site.certExpiry = epochSeconds;
}

QByteArray SiteMetrics::Render() const
{
    qsizetype labelBytes = 0;
    for (const Site& site : m_sites)
        labelBytes += site.labels.size();
    PageWriter out(4096 + (labelBytes + 50) * 6);

    auto family
        = [&](std::string_view name, std::string_view type, std::string_view help, auto&& value, auto&& include) {
              out.Header(name, type, help);
              for (const Site& site : m_sites) {
                  if (site.checkedAtMs == 0 || !include(site))
                      continue;
                  out.Append(name);
                  out.AppendBytes(site.labels);
                  value(site);
                  out.Append('\n');
              }
          };
    auto always = [](const Site&) { return true; };

    family(
        "patrol_site_up", "gauge", "1 if the last check of the site found it normal, 0 if abnormal.",
        [&](const Site& s) { out.Append(s.up ? '1' : '0'); }, always);
    family(
        "patrol_site_http_status", "gauge", "HTTP status of the last check, 0 when there was none.",
        [&](const Site& s) { out.Number(s.status); }, always);
    family(
        "patrol_site_response_seconds", "gauge", "Duration of the last check, retries included.",
        [&](const Site& s) { out.Millis(s.elapsedMs); }, always);
    family(
        "patrol_site_last_check_timestamp_seconds", "gauge", "When the last check of the site finished.",
        [&](const Site& s) { out.Millis(s.checkedAtMs); }, always);
    family(
        "patrol_site_state_since_timestamp_seconds", "gauge",
        "Since when the site has had its current verdict (carried over restarts while the history is on).",
        [&](const Site& s) { out.Millis(s.stateSinceMs); }, always);
    family(
        "patrol_site_abnormal_since_timestamp_seconds", "gauge",
        "When the checks of an abnormal site began to find it abnormal; normal sites have none.",
        [&](const Site& s) { out.Millis(s.abnormalSinceMs); }, [](const Site& s) { return s.abnormalSinceMs != 0; });
    // The reasons are a fixed set, so this adds at most one series per abnormal site.
    out.Header(
        "patrol_site_failure_info", "gauge", "Why the last check found the site abnormal; normal sites have none.");
    for (const Site& site : m_sites) {
        if (site.checkedAtMs == 0 || site.up || site.reason == FailureReason::None)
            continue;
        out.Append("patrol_site_failure_info");
        // The url label's block without its closing "} ".
        out.Append(site.labels.constData(), site.labels.size() - 2);
        out.AppendBytes(",reason=\"" + FailureReasonKey(site.reason).toLatin1() + "\"} 1\n");
    }
    if (m_contentOn) {
        family(
            "patrol_site_found_position", "gauge",
            "Position of the content searched for, -1 not found, 0 not searched (the status check failed).",
            [&](const Site& s) { out.Number(s.found); }, always);
    }
    if (m_certSites > 0) {
        family(
            "patrol_site_cert_expiry_timestamp_seconds", "gauge", "When the site's certificate expires.",
            [&](const Site& s) { out.Number(s.certExpiry); }, [](const Site& s) { return s.certExpiry != 0; });
    }

    auto single = [&](std::string_view name, std::string_view type, std::string_view help, qint64 value) {
        out.Header(name, type, help);
        out.Append(name);
        out.Append(' ');
        out.Number(value);
        out.Append('\n');
    };
    single("patrol_sites", "gauge", "Sites this process checks.", m_siteCount);
    single("patrol_sites_abnormal", "gauge", "Sites whose last check found them abnormal.", m_abnormal);
    single("patrol_passes_total", "counter", "Passes finished over the site list.", qint64(m_passes));
    single("patrol_notify_failed_total", "counter", "State changes the webhook gave up on.", qint64(m_notifyFailed));
    out.Header("patrol_checks_total", "counter", "Checks finished, by verdict.");
    out.Append("patrol_checks_total{result=\"normal\"} ");
    out.Number(qint64(m_normalChecks));
    out.Append("\npatrol_checks_total{result=\"abnormal\"} ");
    out.Number(qint64(m_abnormalChecks));
    out.Append('\n');
    out.Header("patrol_last_pass_duration_seconds", "gauge", "Duration of the last finished pass.");
    out.Append("patrol_last_pass_duration_seconds ");
    out.Millis(m_lastPassMs);
    out.Append('\n');
    out.Header("patrol_build_info", "gauge", "The program's version and the source revision it was built from.");
    out.AppendBytes(m_buildInfo);
    out.Header("patrol_shard_info", "gauge", "The slice of the site list this process checks: shard of shards.");
    out.AppendBytes(m_shardInfo);
    out.AppendBytes(ProcessMetricsText());
    return out.Take();
}
