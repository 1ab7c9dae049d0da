#include "ui/desktop_app.h"

#include "monitor/signal_bridge.h"
#include "store/form_state_store.h"
#include "store/persistence.h"
#include "ui/main_window.h"
#include "ui/message_box.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <csignal>
#include <memory>

using namespace Qt::StringLiterals;

bool LoadQtTranslations()
{
    auto* translator = new QTranslator(QCoreApplication::instance());
    // The program speaks Chinese whatever the desktop's locale is.
    if (!translator->load(QLocale(QLocale::Chinese, QLocale::China), u"qtbase"_s, u"_"_s,
            QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

int RunDesktop(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(Persist::ProgramTitle());
    // Lets the desktop match the window to the installed menu entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(PATROL_APP_ID));
    // The window ends the program itself: a message box closed while the window sits hidden in the tray
    // must not count as the last window.
    QApplication::setQuitOnLastWindowClosed(false);
    LoadQtTranslations();

    auto store = std::make_unique<FormStateStore>();
    store->SetMessageHook([](const QString& text, bool warning) {
        // Also on stderr: a box raised while the program ends is never seen.
        if (warning)
            qWarning().noquote() << text;
        MessageBox::Notify(nullptr, text, QString(), warning ? QMessageBox::Warning : QMessageBox::Information);
    });
    QString configPath = Persist::GivenConfigPath(QApplication::arguments());
    if (configPath.isEmpty()) {
        configPath = Persist::DefaultConfigPath(QApplication::applicationDirPath());
        // An installed copy's first start: the per-user folder does not exist yet.
        QDir().mkpath(QFileInfo(configPath).absolutePath());
    }
    // A second program on the same file does not get the live file; it still works on its own copy.
    store->SetFile(configPath, 0);

    // SIGINT, SIGTERM and SIGHUP close the window as its close box would: the values are stored and the run
    // is shut down before the program ends. The bridge outlives the store, so a late signal cannot cut its save.
    SignalBridge stopSignals({ SIGINT, SIGTERM, SIGHUP });
    int exitCode = 0;
    {
        MainWindow window(store.get());
        QObject::connect(&window, &MainWindow::Closed, &app, [] { QCoreApplication::exit(0); });
        // Logging out ends the program without a close box: store the values first.
        QObject::connect(&app, &QGuiApplication::commitDataRequest, &window, [&window] { window.SaveForm(); });
        QObject::connect(&stopSignals, &SignalBridge::Received, &window, [&window] { window.close(); });
        window.show();
        exitCode = QApplication::exec();
    }
    // The window (and its run, joined) is gone before the store closes the live file.
    store.reset();
    return exitCode;
}
