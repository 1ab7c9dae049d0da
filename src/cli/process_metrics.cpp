#include "cli/process_metrics.h"

#include <QByteArrayList>
#include <QFile>

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QByteArray ReadProcFile(const char* path)
{
    QFile file(QString::fromLatin1(path));
    // /proc files report size 0: read until the end.
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void Append(QByteArray& out, const char* name, const char* type, const char* help, const QByteArray& value)
{
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n' + name + ' ' + value
        + '\n';
}

int OpenDescriptors()
{
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count - 1; // the one opendir holds
}

} // namespace

QByteArray ProcessMetricsText()
{
    QByteArray out;
    const QByteArray stat = ReadProcFile("/proc/self/stat");
    // The command name in parentheses may hold spaces: the fields are counted after its closing one.
    const qsizetype close = stat.lastIndexOf(')');
    const QByteArrayList fields = close < 0 ? QByteArrayList() : stat.mid(close + 2).trimmed().split(' ');
    const long ticks = sysconf(_SC_CLK_TCK);
    const long page = sysconf(_SC_PAGESIZE);
    // Fields 14, 15, 22, 23, 24 of proc(5), here 0-based from field 3.
    if (fields.size() > 21 && ticks > 0 && page > 0) {
        const double cpu = double(fields[11].toLongLong() + fields[12].toLongLong()) / double(ticks);
        Append(out, "process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
            QByteArray::number(cpu, 'f', 2));
        Append(out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", fields[20]);
        Append(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
            QByteArray::number(fields[21].toLongLong() * page));
        qint64 bootSeconds = 0;
        for (const QByteArray& line : ReadProcFile("/proc/stat").split('\n')) {
            if (line.startsWith("btime "))
                bootSeconds = line.mid(6).trimmed().toLongLong();
        }
        if (bootSeconds > 0) {
            const double start = double(bootSeconds) + double(fields[19].toLongLong()) / double(ticks);
            Append(out, "process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
                QByteArray::number(start, 'f', 2));
        }
    }
    if (const int open = OpenDescriptors(); open >= 0)
        Append(out, "process_open_fds", "gauge", "Number of open file descriptors.", QByteArray::number(open));
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        Append(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.",
            QByteArray::number(quint64(limit.rlim_cur)));
    }
    return out;
}
