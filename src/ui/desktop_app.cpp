#include "ui/desktop_app.h"

#include "store/form_state_store.h"
#include "store/persistence.h"
#include "ui/main_window.h"
#include "ui/message_box.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

int g_signalPipe[2] = {-1, -1};

void OnStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signalPipe[1], &byte, 1);
}

// SIGINT, SIGTERM and SIGHUP close the window as its close box would: the values are stored and the
// run is shut down before the program ends.
void CloseOnStopSignals(MainWindow* window)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char byte = 0;
        [[maybe_unused]] const auto read = ::read(g_signalPipe[0], &byte, 1);
        window->close();
    });
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

} // namespace

int RunDesktop(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(Persist::ProgramTitle());
    // The window ends the program itself: a message box closed while the window sits hidden in the tray
    // must not count as the last window.
    QApplication::setQuitOnLastWindowClosed(false);

    auto store = std::make_unique<FormStateStore>();
    store->SetMessageHook([](const QString& text, bool warning) {
        MessageBox::Notify(nullptr, text, QString(), warning ? QMessageBox::Warning : QMessageBox::Information);
    });
    // A second program on the same file does not get the live file; it still works on its own copy.
    store->SetFile(Persist::ConfigFilePath(QApplication::arguments(), QApplication::applicationDirPath()), 0);

    int exitCode = 0;
    {
        MainWindow window(store.get());
        QObject::connect(&window, &MainWindow::Closed, &app, [] { QCoreApplication::exit(0); });
        // Logging out ends the program without a close box: store the values first.
        QObject::connect(&app, &QGuiApplication::commitDataRequest, &window, [&window] { window.SaveForm(); });
        CloseOnStopSignals(&window);
        window.show();
        exitCode = QApplication::exec();
    }
    // The window (and its run, joined) is gone before the store closes the live file.
    store.reset();
    return exitCode;
}
