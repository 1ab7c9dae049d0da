// The main window on its own: components, enable rules, status popup, lists, tray actions, logo, resizing.
#include "monitor/monitoring_run.h"
#include "monitor/report_model.h"
#include "store/persistence.h"
#include "ui/desktop_app.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/report_view.h"
#include "ui/status_code_popup.h"
#include "ui/url_open.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <tuple>

using namespace Qt::StringLiterals;

namespace {

template <typename T> T* Find(QWidget* window, const QString& name)
{
    auto* widget = window->findChild<T*>(name);
    if (widget == nullptr)
        qWarning("component missing: %s", qPrintable(name));
    return widget;
}

QPoint RowCentre(ReportView* view, int row)
{
    return view->visualRect(view->model()->index(row, 0)).center();
}

struct Component
{
    QString name, parent, text;
};

QList<Component> Components()
{
    const QString window = u"主窗口"_s;
    const QString header = u"图片框3"_s;
    const QString conditions = u"分组框1"_s;
    const QString operations = u"分组框2"_s;
    return {
        { header, window, {} },
        { u"图片软件主页"_s, header, {} },
        { u"链接软件主页"_s, header, u"软件主页"_s },
        { u"图片联系"_s, header, {} },
        { u"链接联系"_s, header, u"联系作者"_s },
        { u"图片疑点说明"_s, header, {} },
        { u"链接疑点说明"_s, header, u"疑点说明"_s },
        { u"图片岚澈软件"_s, header, {} },
        { u"标签4"_s, header, {} },
        { conditions, window, u"监控条件：条件为真表示网站正常，否则不正常"_s },
        { u"选择框按状态码"_s, conditions, u"条件：网页状态"_s },
        { u"编辑框状态码"_s, conditions, u"200|301|100|302"_s },
        { u"按钮弹出状态列表"_s, conditions, u"▼"_s },
        { u"选择框取反状态码"_s, conditions, u"取反"_s },
        { u"选择框按网页内容"_s, conditions, u"条件：网页内容"_s },
        { u"编辑框网页内容"_s, conditions, u"网页代码中出现的内容"_s },
        { u"按钮输入网页内容"_s, conditions, u".."_s },
        { u"选择框取反网页内容"_s, conditions, u"取反"_s },
        { operations, window, u"监控操作"_s },
        { u"标签1"_s, operations, u"超时秒："_s },
        { u"编辑框超时秒"_s, operations, u"10"_s },
        { u"标签2"_s, operations, u"线程数："_s },
        { u"编辑框线程数"_s, operations, u"5"_s },
        { u"标签3"_s, operations, u"刷新秒："_s },
        { u"编辑框间隔秒"_s, operations, u"100"_s },
        { u"按钮输入网站列表"_s, operations, u"输入网站列表.."_s },
        { u"按钮开始监控"_s, operations, u"开始监控"_s },
        { u"超级列表框"_s, window, {} },
        { u"按钮复制全部"_s, window, u"复制全部"_s },
        { u"超级列表框2"_s, window, {} },
    };
}

// The pop-up buttons sit in their edit boxes, the copy button on the second list's header.
bool SitsOn(const QString& upper, const QString& lower)
{
    return (upper == u"按钮弹出状态列表"_s && lower == u"编辑框状态码"_s)
        || (upper == u"按钮输入网页内容"_s && lower == u"编辑框网页内容"_s)
        || (upper == u"按钮复制全部"_s && lower == u"超级列表框2"_s);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void componentsNamedUnderTheirParents_data();
    void componentsNamedUnderTheirParents();
    void windowAndDefaults();
    void numericEditBoxes();
    void enableRules();
    void statusPopup();
    void listsCopyAndOpen();
    void runFollowsRowsUnlessTheUserIsInTheList();
    void copyAllShowsCopiedForASecond();
    void exitConfirmation();
    void trayToggle();
    void logoShuttles();
    void enlargingGrowsOnlyTheLists();
    void smallestWindowKeepsEveryControl();
    void listMenuAndThreadLimit();

private:
    MainWindow* m_window = nullptr;
    QList<QUrl> m_opened;
};

void TestMainWindow::init()
{
    MessageBox::ClearHistory();
    MessageBox::SetAutoAnswer(QMessageBox::Ok);
    m_opened.clear();
    SetOpenUrlHook([this](const QUrl& url) { m_opened.append(url); });
    m_window = new MainWindow(nullptr);
}

void TestMainWindow::cleanup()
{
    delete m_window;
    m_window = nullptr;
    SetOpenUrlHook({});
    MessageBox::SetNextAnswer(QMessageBox::NoButton);
    MessageBox::SetAutoAnswer(QMessageBox::NoButton);
}

// The object names and parents are the ini keys the values are stored under; the texts are the defaults.
void TestMainWindow::componentsNamedUnderTheirParents_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("text");
    for (const Component& component : Components())
        QTest::newRow(qPrintable(component.name)) << component.name << component.parent << component.text;
}

void TestMainWindow::componentsNamedUnderTheirParents()
{
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QString, text);
    auto* widget = Find<QWidget>(m_window, name);
    QVERIFY(widget != nullptr);
    QCOMPARE(widget->parentWidget()->objectName(), parent);
    QString shown;
    if (auto* label = qobject_cast<QLabel*>(widget))
        shown = label->text();
    else if (auto* button = qobject_cast<QAbstractButton*>(widget))
        shown = button->text();
    else if (auto* edit = qobject_cast<QLineEdit*>(widget))
        shown = edit->text();
    else if (auto* group = qobject_cast<QGroupBox*>(widget))
        shown = group->title();
    QCOMPARE(shown, text);

    // Seen whole: inside its parent (the header and its rule are drawn wider on purpose, so they still span a
    // widened window) and clear of its siblings but for the ones it sits on by design.
    const QRect geometry = widget->geometry();
    QVERIFY(!geometry.isEmpty());
    if (name != u"图片框3"_s && name != u"标签4"_s)
        QVERIFY(widget->parentWidget()->rect().contains(geometry));
    for (const Component& other : Components()) {
        if (other.parent != parent || other.name == name || SitsOn(name, other.name) || SitsOn(other.name, name))
            continue;
        QVERIFY2(!Find<QWidget>(m_window, other.name)->geometry().intersects(geometry), qPrintable(other.name));
    }
}

void TestMainWindow::windowAndDefaults()
{
    QCOMPARE(m_window->windowTitle(), u"岚澈·巡更灯 v"_s + Persist::ProgramVersion());
    // The designed 850 × 718 at 50, 50, brought inside the screen's available area when that is smaller.
    const QRect area = m_window->screen()->availableGeometry();
    QVERIFY(area.contains(QRect(m_window->pos(), m_window->size())));
    QCOMPARE(m_window->size(),
        QSize(MainWindow::kDesignedWidth, MainWindow::kDesignedHeight).boundedTo(area.size() - QSize(8, 36)));
    QCOMPARE(m_window->pos().x(), qMin(50, area.right() + 1 - m_window->width() - 8));
    // Qt's own buttons and menus speak the program's language.
    QVERIFY(LoadQtTranslations());
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), u"取消"_s);
    QCOMPARE(m_window->font().pixelSize(), 15);
    QCOMPARE(m_window->font().families().value(0), u"SimSun"_s);
    QCOMPARE(Find<QLabel>(m_window, u"链接软件主页"_s)->font().pixelSize(), 12);
    QCOMPARE(Find<QPushButton>(m_window, u"按钮弹出状态列表"_s)->font().pixelSize(), 14);

    QVERIFY(Find<QCheckBox>(m_window, u"选择框按状态码"_s)->isChecked());
    QVERIFY(!Find<QCheckBox>(m_window, u"选择框取反状态码"_s)->isChecked());
    QVERIFY(!Find<QCheckBox>(m_window, u"选择框按网页内容"_s)->isChecked());
    QVERIFY(!Find<QCheckBox>(m_window, u"选择框取反网页内容"_s)->isChecked());
    QCOMPARE(Find<QLabel>(m_window, u"链接疑点说明"_s)->property("tag").toString(), u"2"_s);

    // Five sample sites, one of them a host that cannot exist, so a first run shows an abnormal row.
    const QStringList sites = m_window->SiteListText().split(u"\r\n"_s);
    QCOMPARE(sites.size(), 5);
    QCOMPARE(sites.filter(u".invalid/"_s).size(), 1);
    QCOMPARE(m_window->Run()->SiteListText(), m_window->SiteListText());

    const QStringList headers { u"全部网站"_s, u"状态码"_s, u"找到位置"_s, u"响应时间"_s };
    const int widths[] = { 250, 350, 100, 100 };
    for (int column = 0; column < 4; ++column) {
        QCOMPARE(m_window->SiteView()->header()->sectionSize(column), widths[column]);
        QCOMPARE(m_window->AbnormalView()->header()->sectionSize(column), widths[column]);
        QCOMPARE(m_window->SiteView()->model()->headerData(column, Qt::Horizontal).toString(), headers[column]);
    }
    QCOMPARE(m_window->AbnormalView()->model()->headerData(0, Qt::Horizontal).toString(), u"不正常网站"_s);
    QCOMPARE(m_window->SiteView()->iconSize(), QSize(24, 24));
}

void TestMainWindow::numericEditBoxes()
{
    auto* timeout = Find<QLineEdit>(m_window, u"编辑框超时秒"_s);
    auto* interval = Find<QLineEdit>(m_window, u"编辑框间隔秒"_s);
    timeout->clear();
    QTest::keyClicks(timeout, u"1a2.-3"_s);
    QCOMPARE(timeout->text(), u"123"_s);
    interval->clear();
    QTest::keyClicks(interval, u"2.5.x1"_s);
    QCOMPARE(interval->text(), u"2.51"_s);
    QCOMPARE(m_window->Run()->Settings().intervalText, u"2.51"_s);
    QCOMPARE(m_window->Run()->Settings().timeoutText, u"123"_s);
}

void TestMainWindow::enableRules()
{
    auto* byStatus = Find<QCheckBox>(m_window, u"选择框按状态码"_s);
    auto* byContent = Find<QCheckBox>(m_window, u"选择框按网页内容"_s);
    const QStringList statusParts { u"编辑框状态码"_s, u"按钮弹出状态列表"_s, u"选择框取反状态码"_s };
    const QStringList contentParts { u"编辑框网页内容"_s, u"按钮输入网页内容"_s, u"选择框取反网页内容"_s };
    auto enabled = [this](const QStringList& names) {
        QList<bool> states;
        for (const QString& name : names)
            states << Find<QWidget>(m_window, name)->isEnabled();
        return states;
    };
    const QList<bool> on { true, true, true };
    const QList<bool> off { false, false, false };
    QCOMPARE(enabled(statusParts), on);
    QCOMPARE(enabled(contentParts), off); // unchecked by default: disabled from the start

    byStatus->click();
    byContent->click();
    QCOMPARE(enabled(statusParts), off);
    QCOMPARE(enabled(contentParts), on);
    QVERIFY(!m_window->Run()->Settings().byStatus);
    QVERIFY(m_window->Run()->Settings().byContent);
}

void TestMainWindow::statusPopup()
{
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    auto* codes = Find<QLineEdit>(m_window, u"编辑框状态码"_s);
    auto* button = Find<QPushButton>(m_window, u"按钮弹出状态列表"_s);
    auto choose = [this](const QString& code) {
        StatusCodePopup* popup = m_window->ShowStatusPopup();
        for (int row = 0; row < popup->count(); ++row) {
            if (popup->item(row)->text().startsWith(code + u'|')) {
                popup->scrollToItem(popup->item(row));
                QTest::mouseClick(
                    popup->viewport(), Qt::LeftButton, {}, popup->visualItemRect(popup->item(row)).center());
            }
        }
        QTRY_VERIFY(!popup->isVisible());
    };
    choose(u"404"_s);
    choose(u"404"_s);
    choose(u"200"_s);
    QCOMPARE(codes->text(), u"200|301|100|302|404"_s);

    // One scrolling column right under the button, not a sheet over the screen.
    QPointer<StatusCodePopup> popup = m_window->ShowStatusPopup();
    QCOMPARE(popup->count(), 42);
    QCOMPARE(popup->item(0)->text(), u"0|访问异常，没有信号"_s);
    QCOMPARE(popup->y(), button->mapToGlobal(QPoint(0, button->height())).y());
    QVERIFY(m_window->screen()->availableGeometry().contains(popup->geometry()));
    QVERIFY(popup->height() < m_window->screen()->availableGeometry().height() / 2);
    QVERIFY(popup->verticalScrollBar()->maximum() > 0);
    QTest::keyClick(popup, Qt::Key_Escape);
    QTRY_VERIFY(popup.isNull());
    QCOMPARE(codes->text(), u"200|301|100|302|404"_s);

    // The right mouse button empties the box, but not while the condition is off and both are greyed.
    Find<QCheckBox>(m_window, u"选择框按状态码"_s)->click();
    QTest::mousePress(button, Qt::RightButton);
    QCOMPARE(codes->text(), u"200|301|100|302|404"_s);
    Find<QCheckBox>(m_window, u"选择框按状态码"_s)->click();
    QTest::mousePress(button, Qt::RightButton);
    QCOMPARE(codes->text(), QString());
    m_window->AddStatusCode(u"500|x"_s);
    m_window->AddStatusCode(u"0|访问异常，没有信号"_s);
    QCOMPARE(codes->text(), u"500|0"_s);
    QCOMPARE(m_window->Run()->Settings().statusCodes, u"500|0"_s);
}

void TestMainWindow::listsCopyAndOpen()
{
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    ReportModel* sites = m_window->Run()->SiteModel();
    sites->Fill({ u"example.com/a"_s, u"/usr/bin/xterm"_s, u"https://example.org/"_s });
    ReportView* view = m_window->SiteView();
    QClipboard* clipboard = QGuiApplication::clipboard();

    // No row selected: the double click copies the empty text.
    clipboard->setText(u"before"_s);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, QPoint(5, view->viewport()->height() - 5));
    QCOMPARE(clipboard->text(), QString());

    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, RowCentre(view, 2));
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, RowCentre(view, 2));
    QCOMPARE(clipboard->text(), u"https://example.org/"_s);

    // The run selects another row between the first click and the double click: the row clicked is copied.
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, RowCentre(view, 0));
    view->SelectRow(1);
    QMouseEvent doubleClick(QEvent::MouseButtonDblClick, RowCentre(view, 0),
        view->viewport()->mapToGlobal(RowCentre(view, 0)), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &doubleClick);
    QCOMPARE(clipboard->text(), u"example.com/a"_s);

    // Ctrl+C: the selected rows, top to bottom.
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, RowCentre(view, 2));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ControlModifier, RowCentre(view, 0));
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), u"example.com/a\r\nhttps://example.org/"_s);

    // A right click makes the row current and opens it, web addresses only.
    QTest::mousePress(view->viewport(), Qt::RightButton, {}, RowCentre(view, 0));
    QCOMPARE(view->CurrentUrl(), u"example.com/a"_s);
    QTest::mousePress(view->viewport(), Qt::RightButton, {}, RowCentre(view, 1));
    QCOMPARE(view->CurrentUrl(), u"/usr/bin/xterm"_s);
    QCOMPARE(m_opened, QList<QUrl> { QUrl(u"http://example.com/a"_s) });

    ReportView* abnormal = m_window->AbnormalView();
    m_window->Run()->AbnormalModel()->AppendRow(u"https://bad.example/"_s, ReportModel::StateAbnormal, 0);
    QTest::mousePress(abnormal->viewport(), Qt::RightButton, {}, RowCentre(abnormal, 0));
    QCOMPARE(m_opened.size(), 2);
    QCOMPARE(m_opened.last(), QUrl(u"https://bad.example/"_s));
    // The state picture sits in front of column 0 only.
    QVERIFY(!abnormal->model()->index(0, 0).data(Qt::DecorationRole).value<QPixmap>().isNull());
    QVERIFY(!abnormal->model()->index(0, 1).data(Qt::DecorationRole).isValid());
    QVERIFY(!view->model()->index(0, 0).data(Qt::DecorationRole).isValid()); // not checked yet
}

// The run asks for its current row far more often than anyone can read; a user browsing the list keeps it.
void TestMainWindow::runFollowsRowsUnlessTheUserIsInTheList()
{
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    QStringList urls;
    for (int i = 0; i < 200; ++i)
        urls << u"http://site%1.example/"_s.arg(i);
    m_window->Run()->SiteModel()->Fill(urls);
    ReportView* view = m_window->SiteView();
    view->SetFollowPause(400);
    auto shown = [](ReportView* list, const QString& url) {
        for (int row = 0; row < list->model()->rowCount(); ++row) {
            if (list->UrlAt(row) == url)
                return list->viewport()->rect().contains(list->visualRect(list->model()->index(row, 0)));
        }
        return false;
    };

    emit m_window->Run()->CurrentRowRequested(150);
    QTRY_COMPARE(view->CurrentUrl(), urls[150]);
    QVERIFY(shown(view, urls[150]));

    // The user scrolls and picks a row: the run's requests leave the list alone for the pause...
    QTest::mouseClick(
        view->verticalScrollBar(), Qt::LeftButton, {}, QPoint(5, view->verticalScrollBar()->height() - 5));
    const int scrolled = view->verticalScrollBar()->value();
    const QModelIndex picked = view->indexAt(QPoint(5, 5));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(picked).center());
    emit m_window->Run()->CurrentRowRequested(20);
    QTest::qWait(150);
    QCOMPARE(view->CurrentUrl(), picked.data().toString());
    QCOMPARE(view->verticalScrollBar()->value(), scrolled);
    // ...and then it follows again.
    QTest::qWait(400);
    emit m_window->Run()->CurrentRowRequested(20);
    QTRY_COMPARE(view->CurrentUrl(), urls[20]);

    // A new abnormal row is scrolled to even when rows above it went away before the view caught up.
    ReportModel* abnormal = m_window->Run()->AbnormalModel();
    for (int i = 0; i < 60; ++i)
        abnormal->AppendRow(urls[i], ReportModel::StateAbnormal, i);
    emit m_window->Run()->AbnormalRowAdded(30);
    for (int i = 0; i < 10; ++i)
        abnormal->RemoveRow(0);
    QTRY_VERIFY(shown(m_window->AbnormalView(), urls[30]));
}

void TestMainWindow::copyAllShowsCopiedForASecond()
{
    auto* button = Find<QPushButton>(m_window, u"按钮复制全部"_s);
    QClipboard* clipboard = QGuiApplication::clipboard();
    button->click();
    QCOMPARE(clipboard->text(), QString());

    ReportModel* abnormal = m_window->Run()->AbnormalModel();
    for (const QString& url : { u"http://a.example/"_s, u"b.example"_s, u"https://c.example/x"_s })
        abnormal->AppendRow(url, ReportModel::StateAbnormal, 0);
    button->click();
    QCOMPARE(clipboard->text(), u"http://a.example/\r\nb.example\r\nhttps://c.example/x\r\n"_s);
    QCOMPARE(button->text(), u"已复制"_s);
    // A second click restarts the second; the window keeps serving events meanwhile.
    QTest::qWait(500);
    button->click();
    QTest::qWait(700);
    QCOMPARE(button->text(), u"已复制"_s);
    QTRY_COMPARE_WITH_TIMEOUT(button->text(), u"复制全部"_s, 5000);
}

void TestMainWindow::exitConfirmation()
{
    m_window->show();
    QSignalSpy closed(m_window, &MainWindow::Closed);
    MessageBox::SetNextAnswer(QMessageBox::Cancel);
    m_window->TrayOperation(TrayIcon::Operation::Exit);
    QCOMPARE(
        MessageBox::History(), QStringList { u"确定要退出 岚澈·巡更灯 v"_s + Persist::ProgramVersion() + u" ？"_s });
    QVERIFY(m_window->isVisible());
    QCOMPARE(closed.size(), 0);
    QVERIFY(m_window->LogoRunning());

    MessageBox::SetNextAnswer(QMessageBox::Ok);
    m_window->TrayOperation(TrayIcon::Operation::Exit);
    QCOMPARE(closed.size(), 1);
    QVERIFY(!m_window->isVisible());
    QVERIFY(!m_window->LogoRunning());
}

void TestMainWindow::trayToggle()
{
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    m_window->TrayOperation(TrayIcon::Operation::ShowOrHide);
    QVERIFY(!m_window->isVisible());
    m_window->TrayOperation(TrayIcon::Operation::ShowOrHide);
    QVERIFY(m_window->isVisible());
    m_window->showMinimized();
    QVERIFY(!m_window->LogoRunning());
    m_window->TrayOperation(TrayIcon::Operation::ShowOrHide);
    QVERIFY(m_window->isVisible());
    QVERIFY(!m_window->isMinimized());
    QVERIFY(m_window->LogoRunning());
    // Idle in the tray: no 50 Hz logo timer.
    m_window->TrayOperation(TrayIcon::Operation::ShowOrHide);
    QVERIFY(!m_window->LogoRunning());
    m_window->TrayOperation(TrayIcon::Operation::ShowOrHide);
    QVERIFY(m_window->LogoRunning());

    // F5 is the start button.
    m_window->SetSiteListText(QString());
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window));
    QTest::keyClick(m_window, Qt::Key_F5);
    QCOMPARE(MessageBox::History(), QStringList { u"请先输入要监控的网站地址列表！"_s });
}

void TestMainWindow::logoShuttles()
{
    auto* logo = Find<QLabel>(m_window, u"图片岚澈软件"_s);
    auto* help = Find<QLabel>(m_window, u"图片疑点说明"_s);
    const int leftBound = help->geometry().right() + 1 + 20;
    auto travel = [&](int steps) {
        int minX = logo->x();
        int maxRight = logo->x() + logo->width();
        int turns = 0;
        int last = logo->x();
        int direction = 0;
        for (int i = 0; i < steps; ++i) {
            m_window->LogoStep();
            const int step = logo->x() - last;
            if (qAbs(step) != 1)
                return std::tuple { -1, -1, -1 };
            if (direction != 0 && step != direction)
                ++turns;
            direction = step;
            last = logo->x();
            minX = qMin(minX, logo->x());
            maxRight = qMax(maxRight, logo->x() + logo->width());
        }
        return std::tuple { minX, maxRight, turns };
    };
    const auto [minX, maxRight, turns] = travel(1500);
    QCOMPARE(maxRight, m_window->width() - 20 + 1);
    QCOMPARE(minX, leftBound - 1);
    QVERIFY(turns >= 2);

    // Narrower than the logo's travel: it turns every step and stays within a pixel.
    m_window->resize(300, MainWindow::kDesignedHeight);
    travel(800);
    const auto [narrowMin, narrowRight, narrowTurns] = travel(20);
    QVERIFY(narrowTurns >= 18);
    QVERIFY(narrowRight - narrowMin <= logo->width() + 2);

    m_window->show();
    QVERIFY(m_window->LogoRunning());
    QTest::mousePress(logo, Qt::RightButton);
    QVERIFY(!m_window->LogoRunning());
    m_window->hide();
    m_window->show();
    QVERIFY(!m_window->LogoRunning());
}

void TestMainWindow::enlargingGrowsOnlyTheLists()
{
    m_window->show();
    m_window->resize(MainWindow::kDesignedWidth, MainWindow::kDesignedHeight);
    const QRect conditions = Find<QWidget>(m_window, u"分组框1"_s)->geometry();
    const QRect start = Find<QWidget>(m_window, u"分组框2"_s)->geometry();
    m_window->resize(MainWindow::kDesignedWidth + 200, MainWindow::kDesignedHeight + 300);
    const QRect sites = m_window->SiteView()->geometry();
    const QRect abnormal = m_window->AbnormalView()->geometry();
    QCOMPARE(sites.topLeft(), QPoint(16, 211));
    QCOMPARE(sites.width(), 824 + 200);
    QCOMPARE(abnormal.width(), 824 + 200);
    QCOMPARE(sites.height() + abnormal.height(), 309 + 184 + 300);
    QCOMPARE(abnormal.top() - sites.bottom() - 1, 8);
    QCOMPARE(m_window->height() - abnormal.bottom() - 1, MainWindow::kDesignedHeight - 712);
    QCOMPARE(Find<QWidget>(m_window, u"按钮复制全部"_s)->y(), abnormal.top() + 1);
    QCOMPARE(Find<QWidget>(m_window, u"分组框1"_s)->geometry(), conditions);
    QCOMPARE(Find<QWidget>(m_window, u"分组框2"_s)->geometry(), start);
    // The logo travels up to the window's right edge, so the header must reach it.
    QCOMPARE(Find<QWidget>(m_window, u"图片框3"_s)->geometry(), QRect(0, 0, m_window->width(), 90));
    // The URL column takes the extra width and gives it back; the others keep theirs.
    QHeaderView* header = m_window->SiteView()->header();
    QCOMPARE(header->sectionSize(0), 250 + 200);
    QCOMPARE(header->sectionSize(1), 350);
    m_window->resize(MainWindow::kDesignedWidth, MainWindow::kDesignedHeight);
    QCOMPARE(header->sectionSize(0), 250);
    QCOMPARE(Find<QWidget>(m_window, u"菜单导出与设置"_s)->y(), sites.top() + 1);
}

// The list's menu: below the rows, by the menu key and from the visible button; a right click on a row still opens.
void TestMainWindow::listMenuAndThreadLimit()
{
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    ReportView* view = m_window->SiteView();
    m_window->Run()->SiteModel()->Fill({ u"https://example.org/"_s });
    auto openMenu = [] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()); };
    auto rightClick = [](QWidget* target, const QPoint& at) {
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, target->mapToGlobal(at));
        QApplication::sendEvent(target, &event);
    };
    rightClick(view->viewport(), RowCentre(view, 0));
    QVERIFY(openMenu() == nullptr);
    rightClick(view->viewport(), QPoint(5, view->viewport()->height() - 5));
    QTRY_VERIFY(openMenu() != nullptr);
    QStringList texts;
    for (QAction* action : openMenu()->actions())
        texts << action->text();
    QVERIFY2(texts.contains(u"导出全部网站为 CSV…"_s) && texts.contains(u"导出不正常网站为 CSV…"_s)
            && texts.contains(u"提醒与历史设置…"_s),
        qPrintable(texts.join(u'|')));
    openMenu()->close();
    QTRY_VERIFY(openMenu() == nullptr);
    Find<QPushButton>(m_window, u"菜单导出与设置"_s)->click();
    QTRY_VERIFY(openMenu() != nullptr);
    openMenu()->close();

    auto* threads = Find<QLineEdit>(m_window, Persist::kThreadsEdit);
    threads->setText(u"5000"_s);
    QVERIFY2(threads->toolTip().contains(u"按 1000 个线程"_s), qPrintable(threads->toolTip()));
    threads->setText(u"1000"_s);
    QCOMPARE(threads->toolTip(), QString());
}

// Shrunk as far as it goes (a small or scaled screen), the lists give up their height and every control
// stays inside the window, clear of the others.
void TestMainWindow::smallestWindowKeepsEveryControl()
{
    m_window->show();
    m_window->resize(1, 1);
    QCOMPARE(m_window->size(), QSize(MainWindow::kMinimumWidth, MainWindow::kMinimumHeight));
    for (const Component& component : Components()) {
        // The header and its rule are drawn wider on purpose; the logo shuttles within the header.
        if (component.name == u"图片框3"_s || component.name == u"标签4"_s || component.name == u"图片岚澈软件"_s)
            continue;
        auto* widget = Find<QWidget>(m_window, component.name);
        const QRect inWindow(widget->mapTo(m_window, QPoint(0, 0)), widget->size());
        QVERIFY2(m_window->rect().contains(inWindow), qPrintable(component.name));
    }
    QVERIFY(!Find<QWidget>(m_window, u"分组框1"_s)
                 ->geometry()
                 .intersects(Find<QWidget>(m_window, u"分组框2"_s)->geometry()));
    QVERIFY(!m_window->SiteView()->geometry().intersects(Find<QWidget>(m_window, u"分组框2"_s)->geometry()));
    QVERIFY(m_window->SiteView()->height() >= 60 && m_window->AbnormalView()->height() >= 60);
}

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
