#include "cli/site_board.h"

#include "http/url_text.h"
#include "monitor/monitoring_run.h"

#include <algorithm>
#include <limits>

namespace {

constexpr int kKeptSearches = 8;

quint64 Fnv1a(const QByteArray& bytes)
{
    quint64 hash = 14695981039346656037ULL;
    for (const char c : bytes) {
        hash ^= quint8(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

QByteArray Hex(quint64 value)
{
    return QByteArray::number(value, 16).rightJustified(16, '0');
}

bool Matches(SiteBoard::Filter filter, SiteBoard::State state)
{
    switch (filter) {
    case SiteBoard::Filter::All:
        return true;
    case SiteBoard::Filter::Abnormal:
        return state == SiteBoard::State::Abnormal;
    case SiteBoard::Filter::Normal:
        return state == SiteBoard::State::Normal;
    case SiteBoard::Filter::Unchecked:
        return state == SiteBoard::State::Unchecked;
    }
    return true;
}

} // namespace

QByteArray SiteBoard::IdFor(const QString& url)
{
    return Hex(Fnv1a(url.toUtf8()));
}

bool SiteBoard::ParseFilter(const QString& text, Filter* filter)
{
    if (text.isEmpty() || text == u"all")
        *filter = Filter::All;
    else if (text == u"abnormal")
        *filter = Filter::Abnormal;
    else if (text == u"normal")
        *filter = Filter::Normal;
    else if (text == u"unchecked")
        *filter = Filter::Unchecked;
    else
        return false;
    return true;
}

void SiteBoard::SetSites(const QStringList& urls)
{
    m_entries.clear();
    m_recent.clear();
    m_indexByUrl.clear();
    m_indexById.clear();
    m_matches.clear();
    m_abnormal = 0;
    m_unchecked = 0;
    m_entries.reserve(size_t(urls.size()));
    m_indexByUrl.reserve(urls.size());
    m_indexById.reserve(urls.size());
    for (const QString& url : urls) {
        if (!m_indexByUrl.contains(url))
            Append(url);
    }
    ++m_topVersion;
    ++m_version;
    ++m_membershipVersion;
}

void SiteBoard::ReplaceSites(const QStringList& urls)
{
    std::vector<Entry> old = std::move(m_entries);
    std::vector<Check> oldRecent = std::move(m_recent);
    const QHash<QString, int> oldIndex = std::move(m_indexByUrl);
    SetSites(urls);
    for (size_t i = 0; i < m_entries.size(); ++i) {
        Entry& entry = m_entries[i];
        const int from = oldIndex.value(entry.url, -1);
        if (from < 0 || old[size_t(from)].state == State::Unchecked)
            continue;
        const QByteArray id = entry.id;
        entry = std::move(old[size_t(from)]);
        entry.id = id;
        std::copy_n(oldRecent.begin() + qsizetype(from) * kRecentChecks, kRecentChecks,
            m_recent.begin() + qsizetype(i) * kRecentChecks);
        --m_unchecked;
        m_abnormal += entry.state == State::Abnormal;
    }
}

int SiteBoard::Append(const QString& url)
{
    const int index = int(m_entries.size());
    Entry& entry = m_entries.emplace_back();
    entry.url = url;
    const QString shown = RedactedUrl(url);
    entry.shown = shown == url ? url : shown; // shares the text when nothing was hidden
    quint64 hash = Fnv1a(url.toUtf8());
    while (m_indexById.contains(Hex(hash)))
        ++hash;
    entry.id = Hex(hash);
    m_indexById.insert(entry.id, index);
    m_indexByUrl.insert(url, index);
    m_recent.resize(m_recent.size() + kRecentChecks);
    ++m_unchecked;
    m_matches.clear();
    return index;
}

SiteBoard::Entry& SiteBoard::EntryFor(const QString& url)
{
    auto it = m_indexByUrl.constFind(url);
    if (it != m_indexByUrl.cend())
        return m_entries[size_t(*it)];
    return m_entries[size_t(Append(url))];
}

void SiteBoard::RecordCheck(const CheckRecord& record, qint64 abnormalSinceMs)
{
    if (record.cancelled)
        return;
    Entry& entry = EntryFor(record.url);
    const State state = record.normal ? State::Normal : State::Abnormal;
    const qint64 at = qMax<qint64>(record.finishedAtMs, 1);
    if (state != entry.state) {
        m_unchecked -= entry.state == State::Unchecked;
        m_abnormal += (state == State::Abnormal) - (entry.state == State::Abnormal);
        entry.abnormalSinceMs = state == State::Abnormal ? at : 0;
        ++m_membershipVersion;
        ++m_topVersion;
    } else if (state == State::Abnormal) {
        ++m_topVersion;
    }
    if (state == State::Abnormal && abnormalSinceMs > 0 && abnormalSinceMs != entry.abnormalSinceMs) {
        entry.abnormalSinceMs = abnormalSinceMs;
        ++m_membershipVersion; // the order goes by it
    }
    entry.state = state;
    entry.byStatus = record.byStatus;
    entry.status = record.status;
    entry.elapsedMs = record.elapsedMs;
    entry.checkedAtMs = at;
    entry.reason = record.normal ? FailureReason::None : record.reason;
    entry.reasonDetail = record.normal ? QString() : record.reasonDetail;
    const size_t index = size_t(&entry - m_entries.data());
    entry.recentHead = quint8((entry.recentHead + 1) % kRecentChecks);
    entry.recentCount = quint8(qMin(entry.recentCount + 1, kRecentChecks));
    m_recent[index * kRecentChecks + entry.recentHead]
        = { at, qint32(qBound(qint64(0), record.elapsedMs, qint64(std::numeric_limits<qint32>::max()))),
              qint16(record.status), record.normal, entry.reason };
    ++m_version;
}

void SiteBoard::RecordPass(const PassSummary& summary, qint64 endedAtMs)
{
    ++m_passes;
    m_lastPassMs = summary.elapsedMs;
    m_lastPassEndMs = endedAtMs;
    ++m_topVersion;
    ++m_version;
}

QList<SiteBoard::Check> SiteBoard::RecentChecks(int index) const
{
    QList<Check> checks;
    const Entry& entry = m_entries[size_t(index)];
    for (int i = 0; i < entry.recentCount; ++i)
        checks
            << m_recent[size_t(index) * kRecentChecks + size_t((entry.recentHead - i + kRecentChecks) % kRecentChecks)];
    return checks;
}

const std::vector<int>& SiteBoard::AbnormalOrder() const
{
    if (m_abnormalOrderVersion != m_membershipVersion) {
        m_abnormalOrder.clear();
        m_abnormalOrder.reserve(size_t(m_abnormal));
        for (int i = 0; i < Count(); ++i) {
            if (m_entries[size_t(i)].state == State::Abnormal)
                m_abnormalOrder.push_back(i);
        }
        std::stable_sort(m_abnormalOrder.begin(), m_abnormalOrder.end(), [this](int a, int b) {
            return m_entries[size_t(a)].abnormalSinceMs < m_entries[size_t(b)].abnormalSinceMs;
        });
        m_abnormalOrderVersion = m_membershipVersion;
    }
    return m_abnormalOrder;
}

SiteBoard::Selection SiteBoard::Select(Filter filter, const QString& text, int page, int pageSize) const
{
    pageSize = qMax(pageSize, 1);
    const std::vector<int>* candidates = nullptr;
    const QString needle = text.trimmed();
    if (!needle.isEmpty()) {
        auto it = std::find_if(m_matches.begin(), m_matches.end(), [&](const Match& m) { return m.text == needle; });
        if (it == m_matches.end()) {
            Match match { needle, {} };
            for (int i = 0; i < Count(); ++i) {
                if (m_entries[size_t(i)].shown.contains(needle, Qt::CaseInsensitive))
                    match.rows.push_back(i);
            }
            if (m_matches.size() >= kKeptSearches)
                m_matches.removeLast();
            m_matches.prepend(std::move(match));
            it = m_matches.begin();
        }
        candidates = &it->rows;
    }
    const int candidateCount = candidates ? int(candidates->size()) : Count();
    auto row = [&](int i) { return candidates ? (*candidates)[size_t(i)] : i; };

    Selection selection;
    if (filter == Filter::All) {
        selection.total = candidateCount;
    } else {
        for (int i = 0; i < candidateCount; ++i)
            selection.total += Matches(filter, m_entries[size_t(row(i))].state);
    }
    selection.pages = qMax(1, (selection.total + pageSize - 1) / pageSize);
    selection.page = qBound(1, page, selection.pages);
    const int first = (selection.page - 1) * pageSize;
    int seen = 0;
    for (int i = 0; i < candidateCount && int(selection.rows.size()) < pageSize; ++i) {
        const int r = row(i);
        if (filter != Filter::All && !Matches(filter, m_entries[size_t(r)].state))
            continue;
        if (filter == Filter::All && i < first) {
            i = first - 1; // no state to test: jump to the page
            seen = first;
            continue;
        }
        if (seen++ >= first)
            selection.rows.push_back(r);
    }
    return selection;
}
