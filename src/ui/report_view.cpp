#include "ui/report_view.h"

#include "ui/url_open.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QMouseEvent>

#include <iterator>

using namespace Qt::StringLiterals;

namespace {

constexpr int kColumnWidths[] = { 250, 350, 100, 100 };

} // namespace

ReportView::ReportView(QWidget* parent)
    : QTreeView(parent)
{
    // Tens of thousands of rows: fixed row heights, no per-row widgets, no content-based sizing.
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setIconSize(QSize(24, 24));
    setTextElideMode(Qt::ElideRight);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void ReportView::setModel(QAbstractItemModel* model)
{
    QTreeView::setModel(model);
    for (int column = 0; column < int(std::size(kColumnWidths)); ++column)
        header()->resizeSection(column, kColumnWidths[column]);
}

QString ReportView::CurrentUrl() const
{
    if (model() == nullptr || selectionModel() == nullptr)
        return {};
    const QModelIndexList rows = selectionModel()->selectedRows(0);
    if (rows.isEmpty())
        return {};
    return rows.constFirst().data(Qt::DisplayRole).toString();
}

QString ReportView::AllUrls() const
{
    QString text;
    if (model() == nullptr)
        return text;
    const int rows = model()->rowCount();
    for (int row = 0; row < rows; ++row)
        text += model()->index(row, 0).data(Qt::DisplayRole).toString() + u"\r\n"_s;
    return text;
}

void ReportView::SelectRow(int row)
{
    if (model() == nullptr || row < 0 || row >= model()->rowCount())
        return;
    const QModelIndex index = model()->index(row, 0);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    scrollTo(index);
}

void ReportView::ScrollToRow(int row)
{
    if (model() == nullptr || row < 0 || row >= model()->rowCount())
        return;
    scrollTo(model()->index(row, 0));
}

void ReportView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::RightButton) {
        QTreeView::mousePressEvent(event);
        return;
    }
    // Only a right click on a row opens; it first makes that row the current one.
    const QModelIndex index = indexAt(event->position().toPoint());
    if (!index.isValid())
        return;
    SelectRow(index.row());
    OpenWebAddress(CurrentUrl());
    event->accept();
}

void ReportView::mouseDoubleClickEvent(QMouseEvent* event)
{
    QTreeView::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton)
        QGuiApplication::clipboard()->setText(CurrentUrl());
}
