#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QString>
#include <QStringList>

#include <array>
#include <vector>

// One of the two report lists (all sites / abnormal sites). Written on the main thread only.
class ReportModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReportModel)

public:
    // State: 3 not checked, 2 in progress, 0 normal, 1 abnormal.
    enum Role { StateRole = Qt::UserRole + 1, ItemDataRole };
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
    void Clear();
    int AppendRow(const QString& url, int state, qint64 itemData);
    void RemoveRow(int row);

    // Columns 1..3, state and item data of one row as one change.
    void SetResult(
        int row, const QString& column1, const QString& column2, const QString& column3, int state, qint64 itemData);
    void SetText(int row, int column, const QString& text);
    void SetState(int row, int state);

    // Highest row whose URL equals the given text exactly, or -1.
    int FindLastRow(const QString& url) const;

    QString Url(int row) const;
    int State(int row) const;
    QString Text(int row, int column) const;
    qint64 ItemData(int row) const;

private:
    struct Row
    {
        std::array<QString, kColumnCount> texts;
        int state = StateUnchecked;
        qint64 itemData = 0;
        quint64 id = 0; // grows with the row index, so ids stay sorted while rows are removed
    };

    int RowOfId(quint64 id) const;
    void IndexRow(const Row& row);

    QString m_column0Header;
    std::vector<Row> m_rows;
    QHash<QString, std::vector<quint64>> m_idsByUrl; // ascending ids per URL
    quint64 m_nextId = 1;
};
