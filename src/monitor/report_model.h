#pragma once

#include "monitor/check_result.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QMultiHash>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <vector>

// One of the two report lists (all sites / abnormal sites). Written on the main thread only.
// A row keeps only what cannot be derived (its URL as UTF-8 in one shared buffer, the state, the check's
// numbers); data() makes the column texts when a view asks, so a million rows cost some 80 bytes each.
class ReportModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReportModel)

public:
    // State: 3 not checked, 2 in progress, 0 normal, 1 abnormal.
    // ElapsedRole: the response time in milliseconds, null before a result. ReasonRole: why the last check failed.
    enum Role { StateRole = Qt::UserRole + 1, ItemDataRole, ElapsedRole, ReasonRole };
    enum State { StateNormal = 0, StateAbnormal = 1, StateInProgress = 2, StateUnchecked = 3 };
    static constexpr int kColumnCount = 4;

    explicit ReportModel(const QString& column0Header, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Column 0 caption, e.g. "全部网站（N 个）"; columns 1..3 are fixed.
    void SetHeaderText(const QString& column0);
    QString HeaderText() const;

    // Replaces every row by one per URL, all in the given state (one model reset).
    void Fill(const QStringList& urls, int state = StateUnchecked);
    void FillViews(const std::vector<QStringView>& urls, int state = StateUnchecked);
    // Replaces the rows by one per URL; a URL the model held keeps the state and result of one of its rows
    // (the first not yet taken). Not while a check of a row is running: the row numbers change.
    void ReplaceUrls(const std::vector<QStringView>& urls);
    void Clear();
    int AppendRow(const QString& url, int state, qint64 itemData);
    void RemoveRow(int row);

    // A finished check: columns 1..3, state and item data of one row as one change.
    void SetResult(int row, const CheckResult& result, int state, qint64 itemData);
    // A row in progress shows "正在访问.." in column 1 and keeps its last result in columns 2 and 3.
    void SetState(int row, int state);

    // Highest row whose URL equals the given text exactly, or -1. The first call builds the URL index, so a
    // list that is never searched (all sites) never pays for one.
    int FindLastRow(const QString& url) const;

    QString Url(int row) const;
    int State(int row) const;
    QString Text(int row, int column) const;
    qint64 ItemData(int row) const;
    FailureReason Reason(int row) const; // of the row's last finished check

private:
    enum Flag : quint8 { HasResult = 1, ByStatus = 2, ByContent = 4, PageIncomplete = 8 };
    struct Row
    {
        qint64 urlOffset = 0;
        qint32 urlLength = 0;
        qint32 status = 0;
        qint64 elapsedMs = 0;
        qint64 itemData = 0;
        quint64 id = 0; // grows with the row index, so ids stay sorted while rows are removed
        qint32 found = 0;
        qint8 state = StateUnchecked;
        quint8 flags = 0;
        FailureReason reason = FailureReason::None;
    };

    Row NewRow(QStringView url, int state);
    QByteArrayView UrlBytes(const Row& row) const;
    QString ColumnText(const Row& row, int column) const;
    int RowOfId(quint64 id) const;
    void CompactUrls();

    QString m_column0Header;
    std::vector<Row> m_rows;
    QByteArray m_urlBytes;
    qint64 m_deadUrlBytes = 0; // bytes of removed rows' URLs, reclaimed when they outweigh the live ones
    quint64 m_nextId = 1;
    mutable bool m_indexed = false;
    mutable QMultiHash<size_t, quint64> m_idsByUrlHash;
};
