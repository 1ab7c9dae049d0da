#include "cli/site_metrics.h"

#include "monitor/monitoring_run.h"
#include "store/persistence.h"

using namespace Qt::StringLiterals;

namespace {

// Milliseconds as seconds with three decimals, without going through a double.
void AppendMillis(QByteArray& out, qint64 ms)
{
    if (ms < 0) {
        out += '-';
        ms = -ms;
    }
    out += QByteArray::number(ms / 1000);
    const int fraction = int(ms % 1000);
    if (fraction != 0) {
        const char digits[5]
            = { '.', char('0' + fraction / 100), char('0' + fraction / 10 % 10), char('0' + fraction % 10), 0 };
        out += digits;
    }
}

void AppendHeader(QByteArray& out, const char* name, const char* type, const char* help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

} // namespace

SiteMetrics::SiteMetrics()
    : m_buildInfo("patrol_build_info{version=\"" + EscapeLabelValue(Persist::ProgramVersion()) + "\"} 1\n")
{ }

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
    site.labels = "{url=\"" + EscapeLabelValue(url) + "\"} ";
    return site;
}

void SiteMetrics::RecordCheck(const CheckRecord& record, qint64 wallClockMs)
{
    Site& site = SiteFor(record.url);
    const bool wasAbnormal = site.checkedAtMs != 0 && !site.up;
    if (wasAbnormal != !record.normal)
        m_abnormal += record.normal ? -1 : 1;
    site.up = record.normal;
    site.status = record.status;
    site.elapsedMs = record.elapsedMs;
    // A clock set to before 1970 must not make the site look never checked.
    site.checkedAtMs = qMax<qint64>(wallClockMs, 1);
    site.found = record.found;
    ++(record.normal ? m_normalChecks : m_abnormalChecks);
}

void SiteMetrics::RecordPass(const PassSummary& summary)
{
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
    QByteArray out;
    qsizetype labelBytes = 0;
    for (const Site& site : m_sites)
        labelBytes += site.labels.size();
    out.reserve(4096 + (labelBytes + 60) * 7);

    auto family = [&](const char* name, const char* type, const char* help, auto&& value, auto&& include) {
        AppendHeader(out, name, type, help);
        for (const Site& site : m_sites) {
            if (site.checkedAtMs == 0 || !include(site))
                continue;
            out += name;
            out += site.labels;
            value(site);
            out += '\n';
        }
    };
    auto always = [](const Site&) { return true; };

    family(
        "patrol_site_up", "gauge", "1 if the last check of the site found it normal, 0 if abnormal.",
        [&](const Site& s) { out += s.up ? '1' : '0'; }, always);
    family(
        "patrol_site_http_status", "gauge", "HTTP status of the last check, 0 when there was none.",
        [&](const Site& s) { out += QByteArray::number(s.status); }, always);
    family(
        "patrol_site_response_seconds", "gauge", "Duration of the last check, retries included.",
        [&](const Site& s) { AppendMillis(out, s.elapsedMs); }, always);
    family(
        "patrol_site_last_check_timestamp_seconds", "gauge", "When the last check of the site finished.",
        [&](const Site& s) { AppendMillis(out, s.checkedAtMs); }, always);
    if (m_contentOn) {
        family(
            "patrol_site_found_position", "gauge",
            "Position of the content searched for, -1 not found, 0 not searched (the status check failed).",
            [&](const Site& s) { out += QByteArray::number(s.found); }, always);
    }
    if (m_certSites > 0) {
        family(
            "patrol_site_cert_expiry_timestamp_seconds", "gauge", "When the site's certificate expires.",
            [&](const Site& s) { out += QByteArray::number(s.certExpiry); },
            [](const Site& s) { return s.certExpiry != 0; });
    }

    AppendHeader(out, "patrol_sites", "gauge", "Sites this process checks.");
    out += "patrol_sites " + QByteArray::number(m_siteCount) + '\n';
    AppendHeader(out, "patrol_sites_abnormal", "gauge", "Sites whose last check found them abnormal.");
    out += "patrol_sites_abnormal " + QByteArray::number(m_abnormal) + '\n';
    AppendHeader(out, "patrol_passes_total", "counter", "Passes finished over the site list.");
    out += "patrol_passes_total " + QByteArray::number(m_passes) + '\n';
    AppendHeader(out, "patrol_checks_total", "counter", "Checks finished, by verdict.");
    out += "patrol_checks_total{result=\"normal\"} " + QByteArray::number(m_normalChecks) + '\n';
    out += "patrol_checks_total{result=\"abnormal\"} " + QByteArray::number(m_abnormalChecks) + '\n';
    AppendHeader(out, "patrol_last_pass_duration_seconds", "gauge", "Duration of the last finished pass.");
    out += "patrol_last_pass_duration_seconds ";
    AppendMillis(out, m_lastPassMs);
    out += '\n';
    AppendHeader(out, "patrol_build_info", "gauge", "The program's version.");
    out += m_buildInfo;
    return out;
}
