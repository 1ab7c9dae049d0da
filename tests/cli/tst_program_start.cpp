// The built program started as a user would: without a display, and as an installed copy run by an ordinary
// user whose folder it cannot write.

#include "store/config_text_store.h"
#include "store/persistence.h"
#include "support/process_probe.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr uid_t kNobody = 65534;

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

Run RunProgram(const QStringList& arguments, const QProcessEnvironment& env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(PATROL_BINARY), arguments);
    Run run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QProcessEnvironment WithoutDisplay()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(u"DISPLAY"_s);
    env.remove(u"WAYLAND_DISPLAY"_s);
    env.remove(u"QT_QPA_PLATFORM"_s);
    return env;
}

} // namespace

class TestProgramStart final : public QObject
{
    Q_OBJECT

private slots:
    void withoutDisplay();
    void installedCopyKeepsSettingsInHome_data();
    void installedCopyKeepsSettingsInHome();
};

void TestProgramStart::withoutDisplay()
{
    const QProcessEnvironment env = WithoutDisplay();
    const Run help = RunProgram({ u"--help"_s }, env);
    QCOMPARE(help.exitCode, 0);
    QVERIFY2(help.out.contains(u"--headless"_s) && help.out.contains(u"--config"_s), qPrintable(help.out));
    QVERIFY2(help.err.isEmpty(), qPrintable(help.err));

    const Run version = RunProgram({ u"--version"_s }, env);
    QCOMPARE(version.exitCode, 0);
    QVERIFY(version.out.contains(Persist::ProgramVersion()));

    QCOMPARE(RunProgram({ u"--headless"_s, u"--help"_s }, env).exitCode, 0);

    // The window cannot start: one line, pointing at --headless, and the usage exit status.
    const Run window = RunProgram({}, env);
    QCOMPARE(window.exitCode, 3);
    QVERIFY(window.out.isEmpty());
    QCOMPARE(window.err.count(u'\n'), 1);
    QVERIFY2(window.err.contains(u"--headless"_s), qPrintable(window.err));
}

void TestProgramStart::installedCopyKeepsSettingsInHome_data()
{
    QTest::addColumn<QString>("xdgConfigHome"); // relative to the home folder; empty: unset
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("homeWritable");
    QTest::newRow("default") << QString() << u".config/patrol-lamp"_s << true;
    QTest::newRow("XDG_CONFIG_HOME") << u"cfg"_s << u"cfg/patrol-lamp"_s << true;
    QTest::newRow("read-only home") << QString() << u".config/patrol-lamp"_s << false;
}

void TestProgramStart::installedCopyKeepsSettingsInHome()
{
    // Root may write the build folder; an ordinary user may not, as with a program under /usr/bin.
    if (::geteuid() != 0 || QStandardPaths::findExecutable(u"setpriv"_s).isEmpty())
        QSKIP("needs root and setpriv to run the program as an ordinary user");
    QFETCH(QString, xdgConfigHome);
    QFETCH(QString, expected);
    QFETCH(bool, homeWritable);

    QTemporaryDir home;
    QVERIFY(home.isValid());
    QVERIFY(::chmod(QFile::encodeName(home.path()).constData(), 0755) == 0);
    if (homeWritable)
        QVERIFY(::chown(QFile::encodeName(home.path()).constData(), kNobody, kNobody) == 0);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"HOME"_s, home.path());
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    env.remove(u"XDG_CONFIG_HOME"_s);
    if (!xdgConfigHome.isEmpty())
        env.insert(u"XDG_CONFIG_HOME"_s, home.filePath(xdgConfigHome));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(u"setpriv"_s,
        { u"--reuid=%1"_s.arg(kNobody), u"--regid=%1"_s.arg(kNobody), u"--clear-groups"_s,
            QStringLiteral(PATROL_BINARY) });
    QVERIFY(process.waitForStarted(30000));
    QTRY_VERIFY_WITH_TIMEOUT(CatchesTerm(process.processId()), 60000);
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    const QString err = QString::fromUtf8(process.readAllStandardError());

    const QString ini = QDir(home.filePath(expected)).filePath(Persist::ConfigFileName());
    if (homeWritable) {
        QVERIFY2(FileBytes(ini).startsWith('[' + ConfigTextStore::Encode(Persist::kSection) + ']'), qPrintable(ini));
        QVERIFY2(!err.contains(u"无法保存设置"_s), qPrintable(err));
    } else {
        // Settings that cannot be kept are reported once, not at every save.
        QVERIFY(!QFile::exists(ini));
        QCOMPARE(err.count(u"无法保存设置"_s), 1);
    }
}

QTEST_GUILESS_MAIN(TestProgramStart)
#include "tst_program_start.moc"
