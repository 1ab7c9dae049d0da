// The window with its configuration file and the engine: first start, the values kept between runs, a
// second program on the same file, and whole runs against loopback sites.
#include "monitor/monitoring_run.h"
#include "monitor/report_model.h"
#include "store/form_state_store.h"
#include "store/persistence.h"
#include "support/loopback_server.h"
#include "ui/desktop_app.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/report_view.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QString FileText(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return ConfigTextStore::Decode(file.readAll());
}

template <typename T> T* Find(QWidget* window, const QString& name)
{
    return window->findChild<T*>(name);
}

QStringList States(ReportModel* model)
{
    QStringList states;
    for (int row = 0; row < model->rowCount(); ++row)
        states << QString::number(model->State(row));
    return states;
}

} // namespace

class TestDesktopSession : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void firstStartThenValuesComeBack();
    void optOutTagAndUnknownKindsAreNotStored();
    void secondProgramWorksOnItsOwnCopy();
    void unwritableFolderIsNotCalledAnotherCopy();
    void geometryAndColumnWidthsComeBack();
    void runAgainstLoopbackSites();
    void emptySiteListStartsNothing();
    void closingDuringARunEndsCleanly();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
};

void TestDesktopSession::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(Persist::ConfigFileName());
    MessageBox::ClearHistory();
    MessageBox::SetAutoAnswer(QMessageBox::Ok);
}

void TestDesktopSession::cleanup()
{
    MessageBox::SetAutoAnswer(QMessageBox::NoButton);
    m_dir.reset();
}

void TestDesktopSession::firstStartThenValuesComeBack()
{
    {
        FormStateStore store;
        QVERIFY(store.SetFile(m_path, 0));
        QVERIFY(QFile::exists(m_path));
        QCOMPARE(QFile(m_path).size(), 0);

        MainWindow window(&store);
        QCOMPARE(Find<QLineEdit>(&window, Persist::kThreadsEdit)->text(), u"5"_s);
        Find<QCheckBox>(&window, Persist::kStatusCodesCheck)->click();
        Find<QCheckBox>(&window, Persist::kContentCheck)->click();
        Find<QLineEdit>(&window, Persist::kThreadsEdit)->setText(u"7"_s);
        Find<QLineEdit>(&window, Persist::kContentEdit)->setText(u"foo|bar"_s);
        window.SetSiteListText(u"http://a.example/\r\nb.example\r\nhttps://c.example/"_s);
        window.close();
    }
    const QString text = FileText(m_path);
    QVERIFY2(text.contains(u"[主界面]"_s), qPrintable(text));
    QVERIFY(text.contains(u"按钮输入网站列表.标记=http://a.example/┊*┊b.example┊*┊https://c.example/"_s));
    QVERIFY(text.contains(u"选择框按状态码=假"_s));
    QVERIFY(text.contains(u"选择框按网页内容=真"_s));
    QVERIFY(text.contains(u"编辑框线程数=7"_s));
    QVERIFY(text.contains(u"编辑框状态码=200|301|100|302"_s));

    FormStateStore store;
    QVERIFY(store.SetFile(m_path, 0));
    MainWindow window(&store);
    // The stored ticks drive the enable rules right at creation.
    QVERIFY(!Find<QCheckBox>(&window, Persist::kStatusCodesCheck)->isChecked());
    QVERIFY(!Find<QLineEdit>(&window, Persist::kStatusCodesEdit)->isEnabled());
    QVERIFY(!Find<QPushButton>(&window, Persist::kStatusPopupButton)->isEnabled());
    QVERIFY(!Find<QCheckBox>(&window, Persist::kInvertStatusCheck)->isEnabled());
    QVERIFY(Find<QLineEdit>(&window, Persist::kContentEdit)->isEnabled());
    QVERIFY(Find<QPushButton>(&window, Persist::kContentInputButton)->isEnabled());
    QCOMPARE(Find<QLineEdit>(&window, Persist::kThreadsEdit)->text(), u"7"_s);
    QCOMPARE(window.SiteListText(), u"http://a.example/\r\nb.example\r\nhttps://c.example/"_s);
    // The engine sees the restored values, not the designed defaults.
    QCOMPARE(window.Run()->SiteListText(), window.SiteListText());
    QCOMPARE(window.Run()->Settings().threadsText, u"7"_s);
    QCOMPARE(window.Run()->Settings().contentKeywords, u"foo|bar"_s);
    QVERIFY(!window.Run()->Settings().byStatus);
}

void TestDesktopSession::optOutTagAndUnknownKindsAreNotStored()
{
    FormStateStore store;
    QVERIFY(store.SetFile(m_path, 0));
    {
        MainWindow window(&store);
        window.SaveForm();
    }
    const QString text = FileText(m_path);
    for (const QString& absent : { u"超级列表框"_s, u"标签"_s, u"分组框"_s, u"图片"_s, u"链接"_s, u"编辑框正文"_s })
        QVERIFY2(!text.contains(absent), qPrintable(absent));
    for (const QString& present :
        { u"编辑框超时秒=10"_s, u"编辑框间隔秒=100"_s, u"选择框取反网页内容=假"_s, u"按钮开始监控.标记="_s })
        QVERIFY2(text.contains(present), qPrintable(present));
}

void TestDesktopSession::secondProgramWorksOnItsOwnCopy()
{
    FormStateStore first;
    QVERIFY(first.SetFile(m_path, 0));
    MainWindow firstWindow(&first);
    Find<QLineEdit>(&firstWindow, Persist::kThreadsEdit)->setText(u"9"_s);
    firstWindow.SaveForm();
    const QString saved = FileText(m_path);

    FormStateStore second;
    QVERIFY(!second.SetFile(m_path, 0));
    {
        MainWindow secondWindow(&second);
        QCOMPARE(firstWindow.windowTitle(), MainWindow::Caption());
        QVERIFY(secondWindow.windowTitle().startsWith(MainWindow::Caption() + u' '));
        QVERIFY(secondWindow.windowTitle().contains(u"另一个巡更灯使用，本窗口的改动不会保存"_s));
        QCOMPARE(Find<QLineEdit>(&secondWindow, Persist::kThreadsEdit)->text(), u"9"_s);
        Find<QLineEdit>(&secondWindow, Persist::kThreadsEdit)->setText(u"3"_s);
        secondWindow.close();
    }
    QCOMPARE(FileText(m_path), saved);

    Find<QLineEdit>(&firstWindow, Persist::kThreadsEdit)->setText(u"11"_s);
    firstWindow.close();
    QVERIFY(FileText(m_path).contains(u"编辑框线程数=11"_s));
}

void TestDesktopSession::unwritableFolderIsNotCalledAnotherCopy()
{
    // A folder nobody can create files in, root included: its path runs through a plain file.
    QFile plain(m_dir->filePath(u"plain"_s));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    QStringList paths { plain.fileName() + u"/"_s + Persist::ConfigFileName() };
    // A folder without write permission, where permissions bind.
    const QString locked = m_dir->filePath(u"locked"_s);
    QVERIFY(QDir().mkpath(locked));
    QFile(m_path).copy(locked + u"/"_s + Persist::ConfigFileName());
    QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    if (geteuid() != 0)
        paths << locked + u"/"_s + Persist::ConfigFileName();
    for (const QString& path : std::as_const(paths)) {
        FormStateStore store;
        QVERIFY(!store.SetFile(path, 0));
        MainWindow window(&store);
        QVERIFY2(window.windowTitle().contains(u"配置文件所在的文件夹不能写入（"_s), qPrintable(window.windowTitle()));
        QVERIFY(!window.windowTitle().contains(u"另一个"_s));
        QVERIFY(window.windowTitle().endsWith(u"，本窗口的改动不会保存）"_s));
    }
    QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// In a section of their own: the component section keeps exactly its keys.
void TestDesktopSession::geometryAndColumnWidthsComeBack()
{
    {
        FormStateStore store;
        QVERIFY(store.SetFile(m_path, 0));
        MainWindow window(&store);
        window.show();
        window.move(30, 40);
        window.resize(700, 500);
        window.SiteView()->header()->resizeSection(0, 321);
        window.AbnormalView()->header()->resizeSection(1, 123);
        window.close();
    }
    const QString text = FileText(m_path);
    const QString components = text.section(u"[窗口]"_s, 0, 0);
    QVERIFY2(text.contains(u"[窗口]"_s) && components.contains(u"[主界面]"_s), qPrintable(text));
    for (const QString& key : { u"宽度"_s, u"列宽"_s, u"左边"_s })
        QVERIFY(!components.contains(key));

    FormStateStore store;
    QVERIFY(store.SetFile(m_path, 0));
    {
        MainWindow window(&store);
        QCOMPARE(window.pos(), QPoint(30, 40));
        QCOMPARE(window.size(), QSize(700, 500));
        QCOMPARE(window.SiteView()->header()->sectionSize(0), 321);
        QCOMPARE(window.AbnormalView()->header()->sectionSize(1), 123);
    }
    // Damaged values: the designed geometry and widths, still inside the screen.
    for (const QString& key : { Persist::kWindowWidth, Persist::kSiteColumnWidths }) {
        store.SetSection(Persist::kWindowSection);
        store.WriteText(key, u"-5x"_s);
    }
    MainWindow window(&store);
    QCOMPARE(window.SiteView()->header()->sectionSize(0), 250);
    QVERIFY(window.width() > 700);
    QVERIFY(window.screen()->availableGeometry().contains(QRect(window.pos(), window.size())));
}

void TestDesktopSession::runAgainstLoopbackSites()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.Route("/", LoopbackResponse::Ok("<html>welcome</html>"));
    server.Route("/moved", LoopbackResponse::Redirect(301, "/"));
    server.Route("/missing", LoopbackResponse::Status(404));
    server.Route("/broken", LoopbackResponse::Status(500));
    const QStringList paths { u"/"_s, u"/news/"_s, u"/moved"_s, u"/missing"_s, u"/about"_s, u"/broken"_s, u"/shop/"_s,
        u"/help/"_s, u"/missing?page=2"_s, u"/contact"_s };
    QStringList urls;
    for (const QString& path : paths)
        urls << server.Url(path);

    FormStateStore store;
    QVERIFY(store.SetFile(m_path, 0));
    MainWindow window(&store);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.SetSiteListText(urls.join(u"\r\n"_s) + u"\r\n  \r\n"_s);
    auto* start = Find<QPushButton>(&window, Persist::kStartButton);
    QSignalSpy finished(window.Run(), &MonitoringRun::RunFinished);

    start->click();
    QCOMPARE(start->text(), u"停止监控"_s);
    // The run saved the form as it started.
    QVERIFY(FileText(m_path).contains(u"按钮输入网站列表.标记="_s + urls.first()));

    ReportModel* sites = window.Run()->SiteModel();
    ReportModel* abnormal = window.Run()->AbnormalModel();
    QCOMPARE(sites->rowCount(), urls.size());
    QCOMPARE(sites->headerData(0, Qt::Horizontal).toString(), u"全部网站（10 个）"_s);
    QTRY_VERIFY_WITH_TIMEOUT(!States(sites).contains(u"3"_s) && !States(sites).contains(u"2"_s), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(abnormal->rowCount(), 3, 10000);
    QCOMPARE(States(sites),
        (QStringList { u"0"_s, u"0"_s, u"0"_s, u"1"_s, u"0"_s, u"1"_s, u"0"_s, u"0"_s, u"1"_s, u"0"_s }));
    QCOMPARE(sites->Text(3, 1).left(4), u"404|"_s);
    QCOMPARE(sites->Text(3, 2), u"无查询"_s);
    QCOMPARE(abnormal->headerData(0, Qt::Horizontal).toString(), u"不正常网站（3 个）"_s);
    QTRY_VERIFY(window.windowTitle().startsWith(MainWindow::Caption() + u" 线程数："_s));
    // The pass and how far it got.
    QTRY_VERIFY(window.windowTitle().endsWith(u" 第1轮 10/10"_s));

    // The views show what the models hold, with the state pictures.
    QVERIFY(!window.SiteView()->model()->index(0, 0).data(Qt::DecorationRole).isNull());
    window.AbnormalView()->SelectRow(0);
    QCOMPARE(window.AbnormalView()->CurrentUrl(), abnormal->Url(0));

    start->click();
    QVERIFY(start->text() == u"停止中.."_s || start->text() == u"等待线程退出.."_s || start->text() == u"开始监控"_s);
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
    QCOMPARE(start->text(), u"开始监控"_s);
    QVERIFY(MessageBox::History().contains(u"监控停止！"_s));
    // Rows and states stay after the run; its progress does not.
    QCOMPARE(abnormal->rowCount(), 3);
    QVERIFY2(!window.windowTitle().contains(u"第1轮"_s), qPrintable(window.windowTitle()));
    QCOMPARE(window.Tray()->ToolTip(), MainWindow::Caption() + u" - 不正常网站 3 个"_s);

    // A second run counts its passes afresh.
    start->click();
    QTRY_VERIFY_WITH_TIMEOUT(!States(sites).contains(u"3"_s) && !States(sites).contains(u"2"_s), 30000);
    QTRY_VERIFY(window.windowTitle().endsWith(u" 第1轮 10/10"_s));
    start->click();
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 30000);

    const QByteArray screenshot = qgetenv("PATROL_SCREENSHOT");
    if (!screenshot.isEmpty()) {
        window.SiteView()->SelectRow(4);
        QTest::qWait(100);
        window.grab().save(QString::fromLocal8Bit(screenshot), "PNG");
    }
}

void TestDesktopSession::emptySiteListStartsNothing()
{
    MainWindow window(nullptr);
    window.SetSiteListText(QString());
    Find<QPushButton>(&window, Persist::kStartButton)->click();
    QCOMPARE(Find<QPushButton>(&window, Persist::kStartButton)->text(), u"开始监控"_s);
    QCOMPARE(MessageBox::History(), QStringList { u"请先输入要监控的网站地址列表！"_s });
}

void TestDesktopSession::closingDuringARunEndsCleanly()
{
    LoopbackServer server;
    QVERIFY(server.IsListening());
    server.SetDefault(LoopbackResponse::Stall());
    QStringList urls;
    for (int i = 0; i < 8; ++i)
        urls << server.Url(u"/stall/"_s + QString::number(i));

    FormStateStore store;
    QVERIFY(store.SetFile(m_path, 0));
    auto window = std::make_unique<MainWindow>(&store);
    window->show();
    window->SetSiteListText(urls.join(u"\r\n"_s));
    Find<QLineEdit>(window.get(), u"编辑框线程数"_s)->setText(u"4"_s);
    QSignalSpy closed(window.get(), &MainWindow::Closed);
    Find<QPushButton>(window.get(), u"按钮开始监控"_s)->click();
    QTRY_VERIFY_WITH_TIMEOUT(server.RequestCount() >= 4, 20000);
    QCOMPARE(window->Run()->RunningChecks(), 4);

    Find<QLineEdit>(window.get(), u"编辑框线程数"_s)->setText(u"6"_s);
    window->close();
    QCOMPARE(closed.size(), 1);
    // The checks' transfers were cancelled, not left hanging on the stalled server.
    QTRY_COMPARE_WITH_TIMEOUT(server.CurrentConnections(), 0, 10000);
    QVERIFY(FileText(m_path).contains(u"编辑框线程数=6"_s));
    // Let anything a worker might still have queued arrive before the window is freed, then after.
    QTest::qWait(200);
    window.reset();
    QTest::qWait(200);
}

QTEST_MAIN(TestDesktopSession)
#include "tst_desktop_session.moc"
