#pragma once

#include <QtGlobal>

class QProcess;
class QString;

// What /proc tells about a process, for the tests and benchmarks that bound threads and memory or wait for a
// child program to be ready.

// A "Vm…:" field of /proc/self/status ("VmRSS:", "VmHWM:") in KiB; -1 when it cannot be read.
qint64 SelfStatusKiB(const char* field);

// Threads of this process right now.
int ThreadCount();

// Waits a bounded time for detached threads to finish leaving; the count then.
int SettledThreadCount(int expected, int timeoutMs = 10000);

// True once the process has installed its SIGTERM handler: the program's window or run exists by then, so a
// stop signal sent afterwards takes the orderly way out.
bool CatchesTerm(qint64 pid);

// Starts the desktop program offscreen on a configuration file and waits until it takes stop signals; false
// when it did not get there within timeoutMs.
bool StartDesktopProgram(QProcess& process, const QString& program, const QString& config, int timeoutMs);
