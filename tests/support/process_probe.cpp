#include "support/process_probe.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTest>
#include <QThread>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

QByteArray StatusLine(const QString& path, const char* field)
{
    QFile status(path);
    if (!status.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed();
    }
    return {};
}

} // namespace

qint64 SelfStatusKiB(const char* field)
{
    bool ok = false;
    const qint64 kib = StatusLine(u"/proc/self/status"_s, field).split(' ').value(0).toLongLong(&ok);
    return ok ? kib : -1;
}

int ThreadCount()
{
    return int(QDir(u"/proc/self/task"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

int SettledThreadCount(int expected, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    int count = ThreadCount();
    while (count > expected && timer.elapsed() < timeoutMs) {
        QThread::msleep(50);
        count = ThreadCount();
    }
    return count;
}

bool CatchesTerm(qint64 pid)
{
    const QByteArray mask = StatusLine(u"/proc/%1/status"_s.arg(pid), "SigCgt:");
    return (mask.toULongLong(nullptr, 16) >> (SIGTERM - 1)) & 1;
}

bool StartDesktopProgram(QProcess& process, const QString& program, const QString& config, int timeoutMs)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    process.setProcessEnvironment(env);
    process.start(program, { u"--config"_s, config });
    if (!process.waitForStarted(timeoutMs))
        return false;
    QElapsedTimer timer;
    timer.start();
    while (!CatchesTerm(process.processId())) {
        if (timer.elapsed() > timeoutMs || process.state() != QProcess::Running)
            return false;
        QTest::qWait(20);
    }
    return true;
}
