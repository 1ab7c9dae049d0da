#include "ui/screen_fit.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

QMargins FrameMargins(const QWidget* window)
{
    const QRect frame = window->frameGeometry();
    const QRect inner = window->geometry();
    if (!window->isVisible() || frame == inner)
        return kFrameAllowance;
    return QMargins(inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
        frame.bottom() - inner.bottom());
}

void FitIntoScreen(QWidget* window)
{
    const QScreen* screen = QGuiApplication::screenAt(window->geometry().center());
    if (screen == nullptr)
        screen = window->screen();
    if (screen == nullptr || window->isMaximized() || window->isFullScreen())
        return;
    const QRect area = screen->availableGeometry();
    const QMargins frame = FrameMargins(window);
    const QSize room(area.width() - frame.left() - frame.right(), area.height() - frame.top() - frame.bottom());
    const QSize wanted = window->testAttribute(Qt::WA_Resized) ? window->size() : window->sizeHint();
    const QSize size = wanted.boundedTo(room).expandedTo(window->minimumSize());
    if (size != window->size())
        window->resize(size);
    if (window->isWindow() && window->parentWidget() != nullptr && !window->isVisible())
        return;
    // move() places the frame's corner; keep the whole frame inside the area.
    const int frameWidth = size.width() + frame.left() + frame.right();
    const int frameHeight = size.height() + frame.top() + frame.bottom();
    const QPoint corner = window->isVisible() ? window->frameGeometry().topLeft() : window->pos();
    const QPoint wantedCorner(qMax(area.left(), qMin(corner.x(), area.right() + 1 - frameWidth)),
        qMax(area.top(), qMin(corner.y(), area.bottom() + 1 - frameHeight)));
    if (wantedCorner != corner)
        window->move(wantedCorner);
}
