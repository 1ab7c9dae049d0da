#include "monitor/report_model.h"

#include <QHash>

#include <algorithm>
#include <array>

using namespace Qt::StringLiterals;

namespace {

const std::array<QString, ReportModel::kColumnCount> kFixedHeaders
    = { QString(), u"状态码"_s, u"找到位置"_s, u"响应时间"_s };

void AppendUtf8(QByteArray& out, QStringView text)
{
    // Nearly every URL is ASCII: copy it without a temporary array.
    for (const QChar c : text) {
        if (c.unicode() >= 0x80) {
            out += text.toUtf8();
            return;
        }
    }
    const qsizetype start = out.size();
    out.resize(start + text.size());
    char* data = out.data() + start;
    for (const QChar c : text)
        *data++ = char(c.unicode());
}

size_t UrlKey(QByteArrayView utf8)
{
    return qHash(utf8);
}

} // namespace

ReportModel::ReportModel(const QString& column0Header, QObject* parent)
    : QAbstractTableModel(parent)
    , m_column0Header(column0Header)
{ }

int ReportModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int ReportModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant ReportModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_rows.size()) || index.column() >= kColumnCount)
        return {};
    const Row& row = m_rows[size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return ColumnText(row, index.column());
    case StateRole:
        return int(row.state);
    case ItemDataRole:
        return row.itemData;
    case ElapsedRole:
        return (row.flags & HasResult) ? QVariant(row.elapsedMs) : QVariant();
    case ReasonRole:
        return FailureReasonText(row.reason);
    default:
        return {};
    }
}

QVariant ReportModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    return section == 0 ? m_column0Header : kFixedHeaders[size_t(section)];
}

void ReportModel::SetHeaderText(const QString& column0)
{
    if (column0 == m_column0Header)
        return;
    m_column0Header = column0;
    emit headerDataChanged(Qt::Horizontal, 0, 0);
}

QString ReportModel::HeaderText() const
{
    return m_column0Header;
}

void ReportModel::Fill(const QStringList& urls, int state)
{
    FillViews(std::vector<QStringView>(urls.cbegin(), urls.cend()), state);
}

void ReportModel::FillViews(const std::vector<QStringView>& urls, int state)
{
    beginResetModel();
    m_rows.clear();
    m_rows.shrink_to_fit();
    m_urlBytes.clear();
    m_deadUrlBytes = 0;
    m_idsByUrlHash.clear();
    m_indexed = false;
    m_rows.reserve(urls.size());
    for (const QStringView url : urls)
        m_rows.push_back(NewRow(url, state));
    m_urlBytes.squeeze();
    endResetModel();
}

void ReportModel::ReplaceUrls(const std::vector<QStringView>& urls)
{
    struct Held
    {
        std::vector<size_t> rows;
        size_t next = 0;
    };
    QHash<QString, Held> held;
    for (size_t i = 0; i < m_rows.size(); ++i)
        held[QString::fromUtf8(UrlBytes(m_rows[i]))].rows.push_back(i);
    const std::vector<Row> old = std::move(m_rows);
    beginResetModel();
    m_rows = {};
    m_urlBytes.clear();
    m_deadUrlBytes = 0;
    m_idsByUrlHash.clear();
    m_indexed = false;
    m_rows.reserve(urls.size());
    for (const QStringView url : urls) {
        Row row = NewRow(url, StateUnchecked);
        const auto it = held.find(url.toString());
        if (it != held.end() && it->next < it->rows.size()) {
            const Row& was = old[it->rows[it->next++]];
            row.status = was.status;
            row.elapsedMs = was.elapsedMs;
            row.itemData = was.itemData;
            row.found = was.found;
            row.state = was.state;
            row.flags = was.flags;
            row.reason = was.reason;
        }
        m_rows.push_back(row);
    }
    m_urlBytes.squeeze();
    endResetModel();
}

void ReportModel::Clear()
{
    FillViews({});
}

int ReportModel::AppendRow(const QString& url, int state, qint64 itemData)
{
    const int index = int(m_rows.size());
    beginInsertRows({}, index, index);
    Row row = NewRow(url, state);
    row.itemData = itemData;
    if (m_indexed)
        m_idsByUrlHash.insert(UrlKey(UrlBytes(row)), row.id);
    m_rows.push_back(row);
    endInsertRows();
    return index;
}

void ReportModel::RemoveRow(int row)
{
    if (row < 0 || row >= int(m_rows.size()))
        return;
    beginRemoveRows({}, row, row);
    const Row& gone = m_rows[size_t(row)];
    if (m_indexed)
        m_idsByUrlHash.remove(UrlKey(UrlBytes(gone)), gone.id);
    m_deadUrlBytes += gone.urlLength;
    m_rows.erase(m_rows.begin() + row);
    if (m_deadUrlBytes > 4096 && m_deadUrlBytes * 2 > m_urlBytes.size())
        CompactUrls();
    endRemoveRows();
}

void ReportModel::SetResult(int row, const CheckResult& result, int state, qint64 itemData)
{
    if (row < 0 || row >= int(m_rows.size()))
        return;
    Row& r = m_rows[size_t(row)];
    r.status = result.status;
    r.found = result.found;
    r.elapsedMs = result.elapsedMs;
    r.flags = HasResult | (result.byStatus ? ByStatus : 0) | (result.byContent ? ByContent : 0)
        | (result.pageIncomplete ? PageIncomplete : 0);
    r.reason = result.reason;
    r.state = qint8(state);
    r.itemData = itemData;
    emit dataChanged(index(row, 0), index(row, kColumnCount - 1));
}

void ReportModel::SetState(int row, int state)
{
    if (row < 0 || row >= int(m_rows.size()))
        return;
    m_rows[size_t(row)].state = qint8(state);
    emit dataChanged(index(row, 0), index(row, 1));
}

int ReportModel::FindLastRow(const QString& url) const
{
    if (!m_indexed) {
        m_idsByUrlHash.reserve(qsizetype(m_rows.size()));
        for (const Row& row : m_rows)
            m_idsByUrlHash.insert(UrlKey(UrlBytes(row)), row.id);
        m_indexed = true;
    }
    const QByteArray utf8 = url.toUtf8();
    quint64 best = 0;
    const auto [first, last] = m_idsByUrlHash.equal_range(UrlKey(utf8));
    for (auto it = first; it != last; ++it) {
        if (*it <= best)
            continue;
        const int row = RowOfId(*it);
        if (row >= 0 && UrlBytes(m_rows[size_t(row)]) == QByteArrayView(utf8))
            best = *it;
    }
    return best == 0 ? -1 : RowOfId(best);
}

QString ReportModel::Url(int row) const
{
    return Text(row, 0);
}

int ReportModel::State(int row) const
{
    if (row < 0 || row >= int(m_rows.size()))
        return -1;
    return m_rows[size_t(row)].state;
}

QString ReportModel::Text(int row, int column) const
{
    if (row < 0 || row >= int(m_rows.size()) || column < 0 || column >= kColumnCount)
        return {};
    return ColumnText(m_rows[size_t(row)], column);
}

FailureReason ReportModel::Reason(int row) const
{
    return row < 0 || row >= int(m_rows.size()) ? FailureReason::None : m_rows[size_t(row)].reason;
}

qint64 ReportModel::ItemData(int row) const
{
    if (row < 0 || row >= int(m_rows.size()))
        return 0;
    return m_rows[size_t(row)].itemData;
}

ReportModel::Row ReportModel::NewRow(QStringView url, int state)
{
    Row row;
    row.urlOffset = m_urlBytes.size();
    AppendUtf8(m_urlBytes, url);
    row.urlLength = qint32(m_urlBytes.size() - row.urlOffset);
    row.state = qint8(state);
    row.id = m_nextId++;
    return row;
}

QByteArrayView ReportModel::UrlBytes(const Row& row) const
{
    return QByteArrayView(m_urlBytes.constData() + row.urlOffset, row.urlLength);
}

QString ReportModel::ColumnText(const Row& row, int column) const
{
    if (column == 0)
        return QString::fromUtf8(UrlBytes(row));
    if (column == 1 && row.state == StateInProgress)
        return u"正在访问.."_s;
    if (!(row.flags & HasResult))
        return {};
    const CheckResult result { row.status, row.found, row.elapsedMs, bool(row.flags & ByStatus),
        bool(row.flags & ByContent), bool(row.flags & PageIncomplete) };
    switch (column) {
    case 1:
        return result.StatusText();
    case 2:
        return result.FoundText();
    default:
        return result.ResponseTime();
    }
}

int ReportModel::RowOfId(quint64 id) const
{
    const auto it = std::lower_bound(
        m_rows.begin(), m_rows.end(), id, [](const Row& row, quint64 wanted) { return row.id < wanted; });
    if (it == m_rows.end() || it->id != id)
        return -1;
    return int(it - m_rows.begin());
}

void ReportModel::CompactUrls()
{
    QByteArray kept;
    kept.reserve(m_urlBytes.size() - m_deadUrlBytes);
    for (Row& row : m_rows) {
        const qint64 offset = kept.size();
        kept += UrlBytes(row);
        row.urlOffset = offset;
    }
    m_urlBytes = std::move(kept);
    m_deadUrlBytes = 0;
}
