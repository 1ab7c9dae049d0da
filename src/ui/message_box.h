#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>

class QWidget;

// Every message box of the program goes through here, so tests can answer them without a modal loop.
class MessageBox final
{
public:
    // Shows a modal box and returns the button pressed. A pre-set answer is returned without showing.
    static QMessageBox::StandardButton Show(QWidget* parent, const QString& text, const QString& title,
        QMessageBox::StandardButtons buttons, QMessageBox::Icon icon = QMessageBox::NoIcon);

    // Shows an OK-only box without waiting for it (the caller goes on; the box deletes itself).
    static void Notify(QWidget* parent, const QString& text, const QString& title = QString(),
        QMessageBox::Icon icon = QMessageBox::NoIcon);

    // The next Show returns this answer at once.
    static void SetNextAnswer(QMessageBox::StandardButton answer);
    // Every box is answered with this at once until reset with NoButton (Notify then shows nothing).
    static void SetAutoAnswer(QMessageBox::StandardButton answer);

    // Texts of the boxes shown or answered since the last ClearHistory, oldest first.
    static QStringList History();
    static void ClearHistory();

private:
    MessageBox() = delete;
};
