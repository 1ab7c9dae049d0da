#pragma once

#include <QListWidget>

// The status code list under its ▼ button: one column that scrolls, so it never spreads over the screen.
// A click or Enter picks a line; Escape or a click elsewhere closes it without a choice.
class StatusCodePopup final : public QListWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusCodePopup)

public:
    static constexpr int kMaxVisibleRows = 16;

    StatusCodePopup(const QStringList& lines, QWidget* parent);

    // Shows it under the anchor; above it only when the screen has more room there.
    void ShowUnder(const QWidget* anchor);

signals:
    void Chosen(const QString& line);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Choose(QListWidgetItem* item);

    bool m_chosen = false;
};
