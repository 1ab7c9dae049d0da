#include "ui/report_view.h"

#include "ui/url_open.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>

#include <algorithm>
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
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setIconSize(QSize(24, 24));
    setTextElideMode(Qt::ElideRight);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    // actionTriggered comes from the user only (arrows, paging, dragging), never from the run's scrolling.
    for (QScrollBar* bar : { verticalScrollBar(), horizontalScrollBar() })
        connect(bar, &QScrollBar::actionTriggered, this, [this] { NoteUserActivity(); });
    // A width the user or a restore gives the URL column becomes its own width.
    connect(header(), &QHeaderView::sectionResized, this, [this](int section, int, int newSize) {
        if (section == 0 && !m_fillingUrl)
            m_urlWidth = qMax(8, newSize - qMax(0, width() - kDesignedWidth));
    });
}

void ReportView::FillUrlColumn()
{
    if (model() == nullptr || header()->count() == 0 || m_urlWidth <= 0)
        return;
    const int width = m_urlWidth + qMax(0, this->width() - kDesignedWidth);
    if (width == header()->sectionSize(0))
        return;
    m_fillingUrl = true;
    header()->resizeSection(0, width);
    m_fillingUrl = false;
}

void ReportView::resizeEvent(QResizeEvent* event)
{
    QTreeView::resizeEvent(event);
    FillUrlColumn();
}

void ReportView::contextMenuEvent(QContextMenuEvent* event)
{
    // A right click on a row has opened its URL already.
    if (event->reason() == QContextMenuEvent::Mouse && indexAt(viewport()->mapFromGlobal(event->globalPos())).isValid())
        return;
    QPoint at = event->globalPos();
    if (event->reason() != QContextMenuEvent::Mouse && currentIndex().isValid())
        at = viewport()->mapToGlobal(visualRect(currentIndex()).center());
    emit MenuRequested(at);
    event->accept();
}

void ReportView::setModel(QAbstractItemModel* model)
{
    QTreeView::setModel(model);
    m_fillingUrl = true;
    for (int column = 0; column < int(std::size(kColumnWidths)); ++column)
        header()->resizeSection(column, kColumnWidths[column]);
    m_fillingUrl = false;
    m_urlWidth = kColumnWidths[0];
    FillUrlColumn();
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

QString ReportView::UrlAt(int row) const
{
    if (model() == nullptr || row < 0 || row >= model()->rowCount())
        return {};
    return model()->index(row, 0).data(Qt::DisplayRole).toString();
}

QString ReportView::SelectedUrls() const
{
    if (model() == nullptr || selectionModel() == nullptr)
        return {};
    QModelIndexList rows = selectionModel()->selectedRows(0);
    std::sort(rows.begin(), rows.end());
    QStringList urls;
    urls.reserve(rows.size());
    for (const QModelIndex& index : std::as_const(rows))
        urls.append(index.data(Qt::DisplayRole).toString());
    return urls.join(u"\r\n"_s);
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

bool ReportView::UserBusy() const
{
    if (m_buttonHeld && QGuiApplication::mouseButtons() != Qt::NoButton)
        return true;
    if (verticalScrollBar()->isSliderDown() || horizontalScrollBar()->isSliderDown())
        return true;
    if (QApplication::activePopupWidget() != nullptr)
        return true;
    return m_lastActivity.isValid() && m_lastActivity.elapsed() < m_followPauseMs;
}

void ReportView::mousePressEvent(QMouseEvent* event)
{
    NoteUserActivity();
    m_buttonHeld = true;
    if (event->button() != Qt::RightButton) {
        QTreeView::mousePressEvent(event);
        return;
    }
    // Only a right click on a row opens; it first makes that row the current one.
    const QModelIndex index = indexAt(event->position().toPoint());
    if (!index.isValid())
        return;
    SelectRow(index.row());
    OpenWebAddress(UrlAt(index.row()));
    event->accept();
}

void ReportView::mouseReleaseEvent(QMouseEvent* event)
{
    NoteUserActivity();
    m_buttonHeld = false;
    QTreeView::mouseReleaseEvent(event);
}

void ReportView::mouseMoveEvent(QMouseEvent* event)
{
    if (event->buttons() != Qt::NoButton)
        NoteUserActivity();
    QTreeView::mouseMoveEvent(event);
}

void ReportView::mouseDoubleClickEvent(QMouseEvent* event)
{
    NoteUserActivity();
    QTreeView::mouseDoubleClickEvent(event);
    // The row under the pointer: the run may have selected another one since the first click.
    if (event->button() == Qt::LeftButton)
        QGuiApplication::clipboard()->setText(UrlAt(indexAt(event->position().toPoint()).row()));
}

void ReportView::wheelEvent(QWheelEvent* event)
{
    NoteUserActivity();
    QTreeView::wheelEvent(event);
}

void ReportView::keyPressEvent(QKeyEvent* event)
{
    NoteUserActivity();
    if (event->matches(QKeySequence::Copy)) {
        QGuiApplication::clipboard()->setText(SelectedUrls());
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}
