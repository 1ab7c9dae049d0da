#pragma once

#include <QTreeView>

// One of the two report lists: URL, status, found position, response time. A right click on a row
// opens its URL in the browser, a double click copies it.
class ReportView final : public QTreeView
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReportView)

public:
    explicit ReportView(QWidget* parent = nullptr);

    void setModel(QAbstractItemModel* model) override;

    // Column 0 of the selected row; empty when no row is selected.
    QString CurrentUrl() const;
    // Column 0 of every row, each followed by CR LF.
    QString AllUrls() const;
    // Selects the row and scrolls it into view.
    void SelectRow(int row);
    void ScrollToRow(int row);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};
