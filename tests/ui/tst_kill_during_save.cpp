// kill -9 at random moments while the window state is being saved: the configuration file read back is
// always one whole text, the one before the save or the one after it, never a torn mix.
#include "store/form_state_store.h"
#include "store/persistence.h"
#include "support/process_probe.h"
#include "support/test_files.h"
#include "ui/form_walk.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

constexpr int kStartMs = 60000;
const char kChildVariable[] = "PATROL_KILL_SAVE_CHILD";

QString SiteList(int sites, const QString& tag)
{
    QStringList lines;
    lines.reserve(sites);
    for (int i = 0; i < sites; ++i)
        lines.append(u"http://站点-%1-%2.example.test/路径?q=%1"_s.arg(tag).arg(i));
    return lines.join(u"\r\n"_s);
}

// A window with one component of each kind the main window has; version 0 or 1 of their values.
struct Form
{
    QWidget window;
    QPushButton* sites = new QPushButton(&window);
    QLineEdit* threads = new QLineEdit(&window);
    QCheckBox* byStatus = new QCheckBox(&window);

    Form()
    {
        sites->setObjectName(u"按钮输入网站列表"_s);
        threads->setObjectName(u"编辑框线程数"_s);
        byStatus->setObjectName(u"选择框按状态码"_s);
    }
    void SetVersion(int version, const QString& list)
    {
        sites->setProperty("tag", list);
        threads->setText(QString::number(5 + version));
        byStatus->setChecked(version == 1);
    }
};

constexpr int kChildSites = 20000;

// The child: saves the two versions of the form in turn until it is killed.
int RunSaveChild(int argc, char** argv)
{
    QApplication app(argc, argv);
    FormStateStore store;
    if (!store.SetFile(qEnvironmentVariable(kChildVariable), 0))
        return 3;
    Form form;
    const QString lists[2] = { SiteList(kChildSites, u"a"_s), SiteList(kChildSites, u"b"_s) };
    std::puts("saving");
    std::fflush(stdout);
    for (int i = 0;; ++i) {
        form.SetVersion(i % 2, lists[i % 2]);
        SaveForm(store, &form.window);
    }
}

} // namespace

class TestKillDuringSave final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void formSavesKilledAtRandom();
    void programKilledWhileSavingOnClose();

private:
    QRandomGenerator m_random;
};

void TestKillDuringSave::initTestCase()
{
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("random seed %u", seed);
    m_random.seed(seed);
}

void TestKillDuringSave::formSavesKilledAtRandom()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(Persist::ConfigFileName());

    // Every text a complete save can leave: the file before, after version 0, after version 1.
    const QByteArray before = ConfigTextStore::Encode(u"[主界面]\r\n其他=保留\r\n"_s);
    QByteArray versions[2];
    {
        const QString reference = dir.filePath(u"reference.ini"_s);
        QVERIFY(WriteFileBytes(reference, before));
        FormStateStore store;
        QVERIFY(store.SetFile(reference, 0));
        Form form;
        for (int i = 0; i < 3; ++i) {
            form.SetVersion(i % 2, SiteList(kChildSites, i % 2 ? u"b"_s : u"a"_s));
            SaveForm(store, &form.window);
            const QByteArray saved = FileBytes(reference);
            if (i < 2)
                versions[i] = saved;
            else
                QCOMPARE(saved, versions[0]); // a save over the other version leaves the same text
        }
    }
    QVERIFY(versions[0] != versions[1]);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kChildVariable), path);
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    int seen[3] = { 0, 0, 0 };
    for (int round = 0; round < 30; ++round) {
        QVERIFY(WriteFileBytes(path, before));
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForStarted(kStartMs));
        QVERIFY(child.waitForReadyRead(kStartMs));
        QTest::qWait(int(m_random.bounded(400)));
        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished(kStartMs));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

        const QByteArray after = FileBytes(path);
        const int which = after == before ? 0 : after == versions[0] ? 1 : after == versions[1] ? 2 : -1;
        QVERIFY2(which >= 0, qPrintable(u"round %1: torn file of %2 bytes"_s.arg(round).arg(after.size())));
        ++seen[which];
        // The next program gets the live file again: a lock dies with its holder.
        FormStateStore next;
        QVERIFY(next.SetFile(path, 0));
    }
    qInfo("left untouched %d, version 0 %d, version 1 %d", seen[0], seen[1], seen[2]);
    QVERIFY(seen[1] + seen[2] > 0);
}

// The real program on a large site list, stopped by SIGTERM (it saves on close) and killed at random
// moments of that save.
void TestKillDuringSave::programKilledWhileSavingOnClose()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(Persist::ConfigFileName());
    // Only the site list: the save on close adds every other component's value.
    const QByteArray before = ConfigTextStore::Encode(
        u"[主界面]\r\n按钮输入网站列表.标记="_s + FormStateStore::FoldLineBreaks(SiteList(50000, u"s"_s)));
    const QString program = QString::fromLocal8Bit(PATROL_BINARY);

    // One clean close tells the text after the save and how long closing takes.
    QVERIFY(WriteFileBytes(path, before));
    QProcess clean;
    QVERIFY(StartDesktopProgram(clean, program, path, kStartMs));
    QElapsedTimer closing;
    closing.start();
    clean.terminate();
    QVERIFY(clean.waitForFinished(kStartMs));
    const qint64 closeMs = std::max<qint64>(closing.elapsed(), 1);
    QCOMPARE(clean.exitCode(), 0);
    const QByteArray saved = FileBytes(path);
    QVERIFY(saved != before && saved.startsWith(before));

    int seen[2] = { 0, 0 };
    for (int round = 0; round < 12; ++round) {
        QVERIFY(WriteFileBytes(path, before));
        QProcess running;
        QVERIFY(StartDesktopProgram(running, program, path, kStartMs));
        running.terminate();
        QThread::usleep(m_random.bounded(quint64(closeMs) * 1000));
        ::kill(pid_t(running.processId()), SIGKILL);
        QVERIFY(running.waitForFinished(kStartMs));

        const QByteArray after = FileBytes(path);
        QVERIFY2(after == before || after == saved,
            qPrintable(u"round %1: torn file of %2 bytes"_s.arg(round).arg(after.size())));
        ++seen[after == saved];
    }
    qInfo("closing took %lld ms; killed before the save %d, after it %d", closeMs, seen[0], seen[1]);
}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsSet(kChildVariable))
        return RunSaveChild(argc, argv);
    QApplication app(argc, argv);
    TestKillDuringSave test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_kill_during_save.moc"
