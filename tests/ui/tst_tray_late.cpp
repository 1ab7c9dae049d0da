// The tray icon under a real X server whose tray panel starts after the program, as it does at log-in.
// Skipped where Xvfb or trayer is not installed.
#include "store/form_state_store.h"
#include "store/persistence.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/tray_icon.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

// Xvfb on a free display, started before QApplication so that the application connects to it.
class XServer
{
public:
    bool Start()
    {
        for (int display = 87; display < 140; ++display) {
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(display);
            const std::string lock = "/tmp/.X" + std::to_string(display) + "-lock";
            if (QFile::exists(QString::fromStdString(socket)) || QFile::exists(QString::fromStdString(lock)))
                continue;
            const std::string name = ":" + std::to_string(display);
            char* const args[] = { const_cast<char*>("Xvfb"), const_cast<char*>(name.c_str()),
                const_cast<char*>("-screen"), const_cast<char*>("0"), const_cast<char*>("1024x768x24"),
                const_cast<char*>("-nolisten"), const_cast<char*>("tcp"), nullptr };
            // Xvfb must not hold the test's output open: a test that dies would leave ctest waiting on it.
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
            const int spawned = posix_spawnp(&m_pid, "Xvfb", &actions, nullptr, args, environ);
            posix_spawn_file_actions_destroy(&actions);
            if (spawned != 0)
                return false;
            for (int wait = 0; wait < 100 && !QFile::exists(QString::fromStdString(socket)); ++wait)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!QFile::exists(QString::fromStdString(socket)))
                return false;
            m_display = name;
            return true;
        }
        return false;
    }

    ~XServer()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }

    const std::string& Display() const { return m_display; }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

bool g_onXServer = false;

// A program of the X session; false when it is not installed or does not start.
bool StartTool(QProcess& process, const QString& name, const QStringList& arguments)
{
    const QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        return false;
    process.start(path, arguments);
    return process.waitForStarted(10000);
}

} // namespace

class TestTrayLate : public QObject
{
    Q_OBJECT

private slots:
    void iconAppearsWhenThePanelStartsLater();
    void exitByAContextClickOnTheIcon();
    void framedWindowStaysOnTheScreen();
};

void TestTrayLate::iconAppearsWhenThePanelStartsLater()
{
    if (!g_onXServer)
        QSKIP("Xvfb is not installed");
    const QString trayer = QStandardPaths::findExecutable(u"trayer"_s);
    if (trayer.isEmpty())
        QSKIP("trayer is not installed");
    QVERIFY(!TrayIcon::IsAvailable());

    MainWindow window(nullptr);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(window.Tray()->IsWanted());
    QVERIFY(window.Tray()->Geometry().isEmpty());

    QProcess panel;
    panel.start(trayer, { u"--edge"_s, u"bottom"_s, u"--height"_s, u"24"_s });
    QVERIFY(panel.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(window.Tray()->IsShown() && !window.Tray()->Geometry().isEmpty(), 20000);

    window.close();
    QVERIFY(!window.Tray()->IsWanted());
    panel.terminate();
    QVERIFY(panel.waitForFinished(10000));
}

// The icon is removed by the answer to the question its own click raised.
void TestTrayLate::exitByAContextClickOnTheIcon()
{
    QProcess panel;
    if (!g_onXServer || !StartTool(panel, u"trayer"_s, { u"--edge"_s, u"bottom"_s, u"--height"_s, u"24"_s }))
        QSKIP("Xvfb or trayer is not installed");

    MainWindow window(nullptr);
    QSignalSpy closed(&window, &MainWindow::Closed);
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(window.Tray()->IsShown() && !window.Tray()->Geometry().isEmpty(), 20000);
    QWidget* iconWidget = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((iconWidget =
                                     [] {
                                         for (QWidget* widget : QApplication::topLevelWidgets())
                                             if (widget->inherits("QSystemTrayIconSys") && widget->isVisible())
                                                 return widget;
                                         return static_cast<QWidget*>(nullptr);
                                     }())
            != nullptr,
        10000);

    MessageBox::SetNextAnswer(QMessageBox::Ok);
    QTest::mouseClick(iconWidget, Qt::RightButton, {}, QPoint(4, 4));
    QTRY_COMPARE_WITH_TIMEOUT(closed.size(), 1, 5000);
    QVERIFY(!window.Tray()->IsWanted());
    QTest::qWait(50); // deferred deletions run
    panel.terminate();
    QVERIFY(panel.waitForFinished(10000));
}

// Under a real window manager: the frame fits the screen, and maximized closes do not move the saved place.
void TestTrayLate::framedWindowStaysOnTheScreen()
{
    QProcess manager;
    if (!g_onXServer || !StartTool(manager, u"openbox"_s, {}))
        QSKIP("Xvfb or openbox is not installed");
    QTest::qWait(1000);
    QTemporaryDir dir;
    const QString ini = dir.filePath(u"岚澈·巡更灯.ini"_s);
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    QString saved;
    for (int start = 0; start < 3; ++start) {
        FormStateStore store;
        QVERIFY(store.SetFile(ini, 0));
        MainWindow window(&store);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_VERIFY_WITH_TIMEOUT(window.frameGeometry() != window.geometry(), 5000);
        if (start > 0) {
            window.showNormal();
            QTest::qWait(300);
        }
        QTRY_VERIFY2_WITH_TIMEOUT(area.contains(window.frameGeometry()),
            qPrintable(u"%1,%2 %3x%4"_s.arg(window.frameGeometry().x())
                           .arg(window.frameGeometry().y())
                           .arg(window.frameGeometry().width())
                           .arg(window.frameGeometry().height())),
            5000);
        window.showMaximized();
        QTRY_VERIFY_WITH_TIMEOUT(window.isMaximized(), 5000);
        QTest::qWait(300);
        window.close();
        store.SetSection(Persist::kWindowSection);
        const QString place = store.ReadText(Persist::kWindowLeft) + u',' + store.ReadText(Persist::kWindowTop);
        if (start > 0)
            QCOMPARE(place, saved);
        saved = place;
    }
    manager.terminate();
    QVERIFY(manager.waitForFinished(10000));
}

int main(int argc, char** argv)
{
    XServer server;
    if (server.Start()) {
        g_onXServer = true;
        qputenv("DISPLAY", QByteArray::fromStdString(server.Display()));
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    QApplication app(argc, argv);
    TestTrayLate test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tray_late.moc"
