// The program itself: start-up on a configuration file, a second program on the same file, and a
// stop signal that ends it the way the close box does.
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

// True once the process has its SIGTERM handler: the configuration file is open by then, and the signal closes
// the window as the close box would.
bool CatchesTerm(qint64 pid)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGTERM - 1)) & 1;
    }
    return false;
}

QByteArray FileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestDesktopProcess : public QObject
{
    Q_OBJECT

private slots:
    void twoProgramsOnOneFileThenStop();
};

void TestDesktopProcess::twoProgramsOnOneFileThenStop()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString config = dir.filePath(u"岚澈·巡更灯.ini"_s);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);

    QProcess first;
    first.setProcessEnvironment(env);
    first.start(QString::fromLocal8Bit(PATROL_BINARY), { u"--config"_s, config });
    QVERIFY(first.waitForStarted(30000));
    QTRY_VERIFY_WITH_TIMEOUT(CatchesTerm(first.processId()), 60000);
    // The first start creates the file empty; nothing is written until the values are stored.
    QVERIFY(QFile::exists(config));
    QCOMPARE(FileBytes(config), QByteArray());

    QProcess second;
    second.setProcessEnvironment(env);
    second.start(QString::fromLocal8Bit(PATROL_BINARY), { u"--config"_s, config });
    QVERIFY(second.waitForStarted(30000));
    QTRY_VERIFY_WITH_TIMEOUT(CatchesTerm(second.processId()), 60000);
    second.terminate();
    QVERIFY(second.waitForFinished(60000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    // The second program had no live file: it worked on its own copy and wrote nothing.
    QCOMPARE(FileBytes(config), QByteArray());
    QCOMPARE(first.state(), QProcess::Running);

    first.terminate();
    QVERIFY(first.waitForFinished(60000));
    QCOMPARE(first.exitStatus(), QProcess::NormalExit);
    QCOMPARE(first.exitCode(), 0);
    const QByteArray stored = FileBytes(config);
    QVERIFY(stored.startsWith("[\xd6\xf7\xbd\xe7\xc3\xe6]")); // [主界面] in GB18030
    QVERIFY(stored.contains("200|301|100|302"));
}

QTEST_GUILESS_MAIN(TestDesktopProcess)
#include "tst_desktop_process.moc"
