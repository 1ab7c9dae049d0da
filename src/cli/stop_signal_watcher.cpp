#include "cli/stop_signal_watcher.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_writeFd = -1;
std::atomic<int> g_interrupts { 0 }; // lock-free, so safe in a handler

void OnStopSignal(int signalNumber)
{
    const int savedErrno = errno;
    if (signalNumber == SIGINT && ++g_interrupts >= 2) {
        static const char kMessage[] = "\n再次中断，立即退出。\n";
        [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
        _exit(3);
    }
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t ignored = write(g_writeFd, &byte, 1);
    errno = savedErrno;
}

} // namespace

StopSignalWatcher::StopSignalWatcher(QObject* parent)
    : QObject(parent)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_readFd = fds[0];
    g_writeFd = fds[1];
    g_interrupts.store(0);
    m_notifier = new QSocketNotifier(m_readFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignalWatcher::OnReadable);

    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

StopSignalWatcher::~StopSignalWatcher()
{
    if (m_readFd < 0)
        return;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    delete m_notifier;
    close(m_readFd);
    close(g_writeFd);
    g_writeFd = -1;
}

bool StopSignalWatcher::IsActive() const
{
    return m_readFd >= 0;
}

void StopSignalWatcher::OnReadable()
{
    unsigned char byte = 0;
    while (read(m_readFd, &byte, 1) == 1)
        emit StopRequested(byte);
}
