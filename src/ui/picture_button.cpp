#include "ui/picture_button.h"

#include <QMouseEvent>

#include <utility>

using namespace Qt::StringLiterals;

PictureButton::PictureButton(QWidget* parent)
    : QLabel(parent)
{
    setCursor(Qt::PointingHandCursor);
}

void PictureButton::SetLinkText(const QString& text)
{
    QPalette linkPalette = palette();
    linkPalette.setColor(QPalette::WindowText, linkPalette.color(QPalette::Link));
    setPalette(linkPalette);
    QFont linkFont = font();
    linkFont.setUnderline(true);
    setFont(linkFont);
    setTextFormat(Qt::PlainText);
    setText(text);
}

void PictureButton::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        m_leftDown = true;
        emit LeftPressed();
    } else if (event->button() == Qt::RightButton) {
        emit RightPressed();
    }
    event->accept();
}

void PictureButton::mouseReleaseEvent(QMouseEvent* event)
{
    const bool wasDown = std::exchange(m_leftDown, false);
    if (event->button() == Qt::LeftButton && wasDown && rect().contains(event->position().toPoint()))
        emit Clicked();
    event->accept();
}
