// The text dialog's two modes, its tool buttons and close question, and the help text.
#include "ui/message_box.h"
#include "ui/text_dialog.h"

#include <QApplication>
#include <QClipboard>
#include <QFrame>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

using namespace Qt::StringLiterals;

namespace {

// Runs the action once the dialog is open; a dialog the action leaves open is closed after a while so
// a failing test cannot hang.
void WhileOpen(std::function<void(TextDialog*)> action)
{
    QTimer::singleShot(0, qApp, [action] {
        TextDialog* dialog = TextDialog::Current();
        QVERIFY(dialog != nullptr);
        action(dialog);
    });
    QTimer::singleShot(10000, qApp, [] {
        if (TextDialog* dialog = TextDialog::Current())
            dialog->done(QDialog::Rejected);
    });
}

QPlainTextEdit* Body(TextDialog* dialog)
{
    return dialog->findChild<QPlainTextEdit*>(u"编辑框正文"_s);
}

QPushButton* Button(TextDialog* dialog, const QString& name)
{
    return dialog->findChild<QPushButton*>(name);
}

} // namespace

class TestTextDialog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void inputModeReturnsEditedTextWithCrLf();
    void cancelLeavesResultUntouched();
    void informationMode();
    void hintAndTitleDefaults();
    void toolButtons();
    void tabMovesTheFocus();
    void restoreWithEmptyStartTextWarns();
    void closeBoxAsksOnlyWhenChanged();
    void oneDialogAtATime();
    void sizeRequestAndCentring();
    void helpTextExact();
};

void TestTextDialog::init()
{
    MessageBox::ClearHistory();
}

void TestTextDialog::cleanup()
{
    MessageBox::SetNextAnswer(QMessageBox::NoButton);
    MessageBox::SetAutoAnswer(QMessageBox::NoButton);
    QVERIFY(TextDialog::Current() == nullptr);
}

void TestTextDialog::inputModeReturnsEditedTextWithCrLf()
{
    WhileOpen([](TextDialog* dialog) {
        QCOMPARE(Body(dialog)->toPlainText(), u"a\nb"_s);
        Body(dialog)->setPlainText(u"one\ntwo\nthree"_s);
        Button(dialog, u"按钮确定"_s)->click();
    });
    QString result = u"untouched"_s;
    QVERIFY(ShowTextDialog(u"a\r\nb"_s, std::nullopt, u"T"_s, nullptr, &result));
    QCOMPARE(result, u"one\r\ntwo\r\nthree"_s);
}

void TestTextDialog::cancelLeavesResultUntouched()
{
    WhileOpen([](TextDialog* dialog) {
        Body(dialog)->setPlainText(u"changed"_s);
        Button(dialog, u"按钮取消"_s)->click(); // never asks
    });
    QString result = u"untouched"_s;
    QVERIFY(!ShowTextDialog(u"start"_s, std::nullopt, QString(), nullptr, &result));
    QCOMPARE(result, u"untouched"_s);
    QVERIFY(MessageBox::History().isEmpty());
}

void TestTextDialog::informationMode()
{
    bool checked = false;
    WhileOpen([&checked](TextDialog* dialog) {
        QVERIFY(Button(dialog, u"按钮确定"_s)->isHidden());
        QVERIFY(dialog->findChild<QFrame*>(u"外形框"_s)->isHidden());
        QPushButton* close = Button(dialog, u"按钮取消"_s);
        QCOMPARE(close->text(), u"关闭(&G)"_s);
        QVERIFY(close->isDefault());
        QVERIFY(Body(dialog)->isReadOnly());
        QVERIFY(dialog->findChild<QLineEdit*>(u"编辑框提示"_s)->font().bold());
        Body(dialog)->setPlainText(u"not the start text"_s);
        dialog->close(); // the close box never asks here
        checked = true;
    });
    QVERIFY(!ShowTextDialog(u"info"_s, u"hint"_s, u"Info"_s));
    QVERIFY(checked);
    QVERIFY(MessageBox::History().isEmpty());
}

void TestTextDialog::hintAndTitleDefaults()
{
    struct Case
    {
        std::optional<QString> hint;
        QString title;
        bool input;
        QString expectedHint;
        QString expectedTitle;
    };
    const Case cases[] = {
        { std::nullopt, QString(), true, QString(), u"输入："_s },
        { QString(), QString(), true, u"请输入数据："_s, u"输入："_s },
        { QString(), QString(), false, u"以下为信息详情："_s, u"信息："_s },
        { u"my hint"_s, u"my title"_s, false, u"my hint"_s, u"my title"_s },
    };
    for (const Case& c : cases) {
        QString hint;
        QString title;
        WhileOpen([&](TextDialog* dialog) {
            hint = dialog->findChild<QLineEdit*>(u"编辑框提示"_s)->text();
            title = dialog->windowTitle();
            dialog->done(QDialog::Rejected);
        });
        QString result;
        ShowTextDialog(QString(), c.hint, c.title, nullptr, c.input ? &result : nullptr);
        QCOMPARE(hint, c.expectedHint);
        QCOMPARE(title, c.expectedTitle);
    }
}

void TestTextDialog::toolButtons()
{
    QGuiApplication::clipboard()->setText(u"pasted\r\nlines"_s);
    QStringList seen;
    WhileOpen([&seen](TextDialog* dialog) {
        QVERIFY(Button(dialog, u"按钮文件"_s)->isHidden());
        QVERIFY(Button(dialog, u"按钮文件名"_s)->isHidden());
        QPlainTextEdit* body = Body(dialog);
        body->moveCursor(QTextCursor::End);
        Button(dialog, u"按钮粘贴"_s)->click(); // replaces all, not an insert at the caret
        seen << body->toPlainText();
        Button(dialog, u"按钮清空"_s)->click();
        seen << body->toPlainText();
        Button(dialog, u"按钮恢复"_s)->click();
        seen << body->toPlainText();
        Button(dialog, u"按钮取消"_s)->click();
    });
    QString result;
    ShowTextDialog(u"start"_s, std::nullopt, QString(), nullptr, &result);
    QCOMPARE(seen, (QStringList { u"pasted\nlines"_s, QString(), u"start"_s }));
}

// A tab typed into the site list used to stay in a URL.
void TestTextDialog::tabMovesTheFocus()
{
    QStringList focus;
    WhileOpen([&focus](TextDialog* dialog) {
        QPlainTextEdit* body = Body(dialog);
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        body->setFocus();
        body->moveCursor(QTextCursor::End);
        QTest::keyClick(body, Qt::Key_Tab);
        focus << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ShiftModifier);
        focus << QApplication::focusWidget()->objectName();
        QTest::keyClicks(body, u"x"_s);
        Button(dialog, u"按钮确定"_s)->click();
    });
    QString result;
    QVERIFY(ShowTextDialog(u"http://a.example/"_s, std::nullopt, QString(), nullptr, &result));
    QCOMPARE(result, u"http://a.example/x"_s);
    QCOMPARE(focus, (QStringList { u"按钮恢复"_s, u"编辑框正文"_s }));
}

void TestTextDialog::restoreWithEmptyStartTextWarns()
{
    MessageBox::SetAutoAnswer(QMessageBox::Ok);
    QString after;
    WhileOpen([&after](TextDialog* dialog) {
        Body(dialog)->setPlainText(u"typed"_s);
        Button(dialog, u"按钮恢复"_s)->click();
        after = Body(dialog)->toPlainText();
        Button(dialog, u"按钮取消"_s)->click();
    });
    QString result;
    ShowTextDialog(QString(), std::nullopt, QString(), nullptr, &result);
    QCOMPARE(after, u"typed"_s);
    QCOMPARE(MessageBox::History(), QStringList { u"启动值为空！"_s });
}

void TestTextDialog::closeBoxAsksOnlyWhenChanged()
{
    // Unchanged: closes without a question.
    WhileOpen([](TextDialog* dialog) { dialog->close(); });
    QString result;
    QVERIFY(!ShowTextDialog(u"a\r\nb"_s, std::nullopt, QString(), nullptr, &result));
    QVERIFY(MessageBox::History().isEmpty());

    // Changed, answer No: stays open with the edit; then Yes closes it.
    bool stayedOpen = false;
    QString keptText;
    WhileOpen([&](TextDialog* dialog) {
        Body(dialog)->setPlainText(u"edited"_s);
        MessageBox::SetNextAnswer(QMessageBox::No);
        dialog->close();
        stayedOpen = dialog->isVisible();
        keptText = Body(dialog)->toPlainText();
        MessageBox::SetNextAnswer(QMessageBox::Yes);
        dialog->close();
    });
    QVERIFY(!ShowTextDialog(u"a\r\nb"_s, std::nullopt, QString(), nullptr, &result));
    QVERIFY(stayedOpen);
    QCOMPARE(keptText, u"edited"_s);
    QCOMPARE(MessageBox::History(), (QStringList { u"内容已被改动，是否要放弃？"_s, u"内容已被改动，是否要放弃？"_s }));
    QVERIFY(result.isEmpty());
}

void TestTextDialog::oneDialogAtATime()
{
    bool second = true;
    WhileOpen([&second](TextDialog* dialog) {
        QString inner;
        second = ShowTextDialog(u"x"_s, std::nullopt, QString(), nullptr, &inner);
        dialog->done(QDialog::Rejected);
    });
    QString result;
    ShowTextDialog(u"first"_s, std::nullopt, QString(), nullptr, &result);
    QVERIFY(!second);
}

void TestTextDialog::sizeRequestAndCentring()
{
    QSize size;
    QPoint position;
    QRect body;
    WhileOpen([&](TextDialog* dialog) {
        size = dialog->size();
        position = dialog->pos();
        body = Body(dialog)->geometry();
        dialog->done(QDialog::Rejected);
    });
    TextDialogOptions options;
    options.extraWidth = 300;
    options.extraHeight = 200;
    options.margin = 0; // below 1: 5
    QString result;
    ShowTextDialog(QString(), std::nullopt, QString(), nullptr, &result, options);
    QCOMPARE(size, QSize(300 + 2 * 5, 33 + 2 * 5 + 200 + 3 * 5 + 24));
    QCOMPARE(body.size(), QSize(300, 200));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(position.x(), screen.left() + qRound(screen.width() / 2.0 - size.width() / 2.0));
    QCOMPARE(position.y(), screen.top() + qRound((screen.height() - 30) / 2.0 - size.height() / 2.0));
}

void TestTextDialog::helpTextExact()
{
    const QString text = HelpText();
    QVERIFY(text.startsWith(u"岚澈软件出品的网站访问情况批量监控工具。\r\n\r\n如果你有"_s));
    QVERIFY(text.contains(u"左键双击可以复制。\r\n\r\n\r\n\r\n\r\n【监控条件设置】\r\n\r\n按网页状态："_s));
    QVERIFY(text.contains(u"部分搜索结果未予显示”。取反就是将真变为假，假变为真。\r\n\r\n\r\n当所有条件为真时"_s));
    QVERIFY(text.contains(u"否则就是不正常的（×）。\r\n\r\n\r\n【其他设置】\r\n\r\n线程数："_s));
    QVERIFY(text.endsWith(u"下一次则是在12:30:32访问，以此类推。"_s));
    QCOMPARE(text.count(u"\r\n"_s), 2 + 2 + 5 + 2 + 2 + 3 + 3 + 2 + 2 + 2);
    QCOMPARE(text.count(u'\n'), text.count(u"\r\n"_s));
    QCOMPARE(text.size(), 577);

    QString shownTitle;
    QString shownText;
    WhileOpen([&](TextDialog* dialog) {
        shownTitle = dialog->windowTitle();
        shownText = Body(dialog)->toPlainText();
        dialog->done(QDialog::Rejected);
    });
    ShowHelpText(nullptr);
    QCOMPARE(shownTitle, u"疑点说明"_s);
    QCOMPARE(shownText, QString(text).replace(u"\r\n"_s, u"\n"_s));
}

QTEST_MAIN(TestTextDialog)
#include "tst_text_dialog.moc"
