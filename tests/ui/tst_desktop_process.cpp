// The program itself: start-up on a configuration file, a second program on the same file, and a
// stop signal that ends it the way the close box does.
#include "support/process_probe.h"
#include "support/test_files.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

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
    const QString program = QString::fromLocal8Bit(PATROL_BINARY);

    QProcess first;
    QVERIFY(StartDesktopProgram(first, program, config, 60000));
    // The first start creates the file empty; nothing is written until the values are stored.
    QVERIFY(QFile::exists(config));
    QCOMPARE(FileBytes(config), QByteArray());

    QProcess second;
    QVERIFY(StartDesktopProgram(second, program, config, 60000));
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
