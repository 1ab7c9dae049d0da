#include "monitor/report_model.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

const std::array<QString, ReportModel::kColumnCount> kFixedHeaders
    = { QString(), u"状态码"_s, u"找到位置"_s, u"响应时间"_s };

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
        return row.texts[size_t(index.column())];
    case StateRole:
        return row.state;
    case ItemDataRole:
        return row.itemData;
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
    beginResetModel();
    m_rows.clear();
    m_idsByUrl.clear();
    m_rows.reserve(size_t(urls.size()));
    for (const QString& url : urls) {
        Row row;
        row.texts[0] = url;
        row.state = state;
        row.id = m_nextId++;
        IndexRow(row);
        m_rows.push_back(std::move(row));
    }
    endResetModel();
}

void ReportModel::Clear()
{
    Fill({});
}

int ReportModel::AppendRow(const QString& url, int state, qint64 itemData)
{
    const int index = int(m_rows.size());
    beginInsertRows({}, index, index);
    Row row;
    row.texts[0] = url;
    row.state = state;
    row.itemData = itemData;
    row.id = m_nextId++;
    IndexRow(row);
    m_rows.push_back(std::move(row));
    endInsertRows();
    return index;
}

void ReportModel::RemoveRow(int row)
{
    if (row < 0 || row >= int(m_rows.size()))
        return;
    beginRemoveRows({}, row, row);
    const Row& gone = m_rows[size_t(row)];
    auto it = m_idsByUrl.find(gone.texts[0]);
    if (it != m_idsByUrl.end()) {
        auto& ids = it.value();
        ids.erase(std::remove(ids.begin(), ids.end(), gone.id), ids.end());
        if (ids.empty())
            m_idsByUrl.erase(it);
    }
    m_rows.erase(m_rows.begin() + row);
    endRemoveRows();
}

void ReportModel::SetResult(
    int row, const QString& column1, const QString& column2, const QString& column3, int state, qint64 itemData)
{
    if (row < 0 || row >= int(m_rows.size()))
        return;
    Row& r = m_rows[size_t(row)];
    r.texts[1] = column1;
    r.texts[2] = column2;
    r.texts[3] = column3;
    r.state = state;
    r.itemData = itemData;
    emit dataChanged(index(row, 0), index(row, kColumnCount - 1));
}

void ReportModel::SetText(int row, int column, const QString& text)
{
    // Column 0 is the URL key of the row; it never changes after the row is added.
    if (row < 0 || row >= int(m_rows.size()) || column < 1 || column >= kColumnCount)
        return;
    m_rows[size_t(row)].texts[size_t(column)] = text;
    emit dataChanged(index(row, column), index(row, column), { Qt::DisplayRole, Qt::ToolTipRole });
}

void ReportModel::SetState(int row, int state)
{
    if (row < 0 || row >= int(m_rows.size()))
        return;
    m_rows[size_t(row)].state = state;
    emit dataChanged(index(row, 0), index(row, 0), { StateRole, Qt::DecorationRole });
}

int ReportModel::FindLastRow(const QString& url) const
{
    const auto it = m_idsByUrl.constFind(url);
    if (it == m_idsByUrl.cend() || it->empty())
        return -1;
    return RowOfId(it->back());
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
    return m_rows[size_t(row)].texts[size_t(column)];
}

qint64 ReportModel::ItemData(int row) const
{
    if (row < 0 || row >= int(m_rows.size()))
        return 0;
    return m_rows[size_t(row)].itemData;
}

int ReportModel::RowOfId(quint64 id) const
{
    const auto it = std::lower_bound(
        m_rows.begin(), m_rows.end(), id, [](const Row& row, quint64 wanted) { return row.id < wanted; });
    if (it == m_rows.end() || it->id != id)
        return -1;
    return int(it - m_rows.begin());
}

void ReportModel::IndexRow(const Row& row)
{
    m_idsByUrl[row.texts[0]].push_back(row.id);
}
