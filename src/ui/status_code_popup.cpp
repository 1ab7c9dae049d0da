#include "ui/status_code_popup.h"

#include <QKeyEvent>
#include <QScreen>
#include <QScrollBar>

StatusCodePopup::StatusCodePopup(const QStringList& lines, QWidget* parent)
    : QListWidget(parent)
{
    setWindowFlags(Qt::Popup);
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("状态列表菜单"));
    setProperty("tag", QStringLiteral("禁止保存"));
    setUniformItemSizes(true);
    setMouseTracking(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    addItems(lines);
    // Rows follow the pointer as a menu's do.
    connect(this, &QListWidget::itemEntered, this, [this](QListWidgetItem* item) { setCurrentItem(item); });
    connect(this, &QListWidget::itemClicked, this, &StatusCodePopup::Choose);
    connect(this, &QListWidget::itemActivated, this, &StatusCodePopup::Choose);
}

void StatusCodePopup::ShowUnder(const QWidget* anchor)
{
    const QPoint below = anchor->mapToGlobal(QPoint(0, anchor->height()));
    const QPoint above = anchor->mapToGlobal(QPoint(0, 0));
    const QScreen* screen = anchor->screen();
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect(below, QSize(800, 600));

    const int frame = 2 * frameWidth();
    const int rowHeight = qMax(1, sizeHintForRow(0));
    const int wanted = qMin(count(), kMaxVisibleRows) * rowHeight + frame;
    const int roomBelow = area.bottom() + 1 - below.y();
    const int roomAbove = above.y() - area.top();
    const bool downwards = roomBelow >= wanted || roomBelow >= roomAbove;
    const int height = qMax(rowHeight + frame, qMin(wanted, downwards ? roomBelow : roomAbove));
    const int width = qMin(area.width(), sizeHintForColumn(0) + frame + verticalScrollBar()->sizeHint().width());
    const int left = qBound(area.left(), below.x(), area.right() + 1 - width);
    setGeometry(left, downwards ? below.y() : above.y() - height, width, height);
    if (count() > 0)
        setCurrentRow(0);
    show();
    setFocus(Qt::PopupFocusReason);
}

void StatusCodePopup::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QListWidget::keyPressEvent(event);
}

void StatusCodePopup::Choose(QListWidgetItem* item)
{
    // A single click can also activate, depending on the style: choose once.
    if (item == nullptr || m_chosen)
        return;
    m_chosen = true;
    const QString line = item->text();
    close();
    emit Chosen(line);
}
