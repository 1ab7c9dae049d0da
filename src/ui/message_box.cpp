#include "ui/message_box.h"

#include <QApplication>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

QMessageBox::StandardButton g_nextAnswer = QMessageBox::NoButton;
QMessageBox::StandardButton g_autoAnswer = QMessageBox::NoButton;
QStringList g_history;

QMessageBox* MakeBox(QWidget* parent, const QString& text, const QString& title, QMessageBox::StandardButtons buttons,
    QMessageBox::Icon icon)
{
    auto* box = new QMessageBox(icon, title, text, buttons, parent);
    box->setFont(QApplication::font());
    return box;
}

} // namespace

QMessageBox::StandardButton MessageBox::Show(QWidget* parent, const QString& text, const QString& title,
    QMessageBox::StandardButtons buttons, QMessageBox::Icon icon)
{
    g_history.append(text);
    if (g_nextAnswer != QMessageBox::NoButton) {
        const auto answer = std::exchange(g_nextAnswer, QMessageBox::NoButton);
        return answer;
    }
    if (g_autoAnswer != QMessageBox::NoButton)
        return g_autoAnswer;

    QMessageBox* box = MakeBox(parent, text, title, buttons, icon);
    box->exec();
    auto answer = box->standardButton(box->clickedButton());
    delete box;
    if (answer == QMessageBox::NoButton)
        answer = buttons.testFlag(QMessageBox::Cancel) ? QMessageBox::Cancel
            : buttons.testFlag(QMessageBox::No)        ? QMessageBox::No
                                                       : QMessageBox::Ok;
    return answer;
}

void MessageBox::Notify(QWidget* parent, const QString& text, const QString& title, QMessageBox::Icon icon)
{
    g_history.append(text);
    if (g_autoAnswer != QMessageBox::NoButton)
        return;
    QMessageBox* box = MakeBox(parent, text, title, QMessageBox::Ok, icon);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

void MessageBox::SetNextAnswer(QMessageBox::StandardButton answer)
{
    g_nextAnswer = answer;
}

void MessageBox::SetAutoAnswer(QMessageBox::StandardButton answer)
{
    g_autoAnswer = answer;
}

QStringList MessageBox::History()
{
    return g_history;
}

void MessageBox::ClearHistory()
{
    g_history.clear();
}
