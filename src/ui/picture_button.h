#pragma once

#include <QLabel>

// A label that reacts to the mouse: the header's picture buttons and hyperlink labels.
class PictureButton final : public QLabel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PictureButton)

public:
    explicit PictureButton(QWidget* parent = nullptr);

    // Shows the text as a hyperlink (underlined, link colour, hand cursor).
    void SetLinkText(const QString& text);

signals:
    // Left button pressed and released over the label.
    void Clicked();
    void LeftPressed();
    void RightPressed();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool m_leftDown = false;
};
