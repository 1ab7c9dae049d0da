#include "monitor/signal_bridge.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Read inside the handler: plain ints and lock-free atomics only.
std::atomic<int> g_writeFd { -1 };
std::atomic<int> g_interrupts { 0 };
std::atomic<int> g_repeatExitStatus { -1 }; // -1: a repeated SIGINT is delivered like the first
std::atomic<const char*> g_repeatMessage { nullptr };

void OnSignal(int signalNumber)
{
    const int savedErrno = errno;
    if (signalNumber == SIGINT && ++g_interrupts >= 2) {
        const int status = g_repeatExitStatus.load();
        if (status >= 0) {
            if (const char* message = g_repeatMessage.load()) {
                [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, message, strlen(message));
            }
            _exit(status);
        }
    }
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t ignored = write(g_writeFd.load(), &byte, 1);
    errno = savedErrno;
}

} // namespace

SignalBridge::SignalBridge(std::initializer_list<int> signalNumbers, QObject* parent)
    : QObject(parent)
    , m_signals(signalNumbers)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_readFd = fds[0];
    g_writeFd.store(fds[1]);
    g_interrupts.store(0);
    g_repeatExitStatus.store(-1);
    m_notifier = new QSocketNotifier(m_readFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalBridge::OnReadable);

    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : m_signals)
        sigaction(signalNumber, &action, nullptr);
}

SignalBridge::~SignalBridge()
{
    if (m_readFd < 0)
        return;
    for (int signalNumber : m_signals)
        std::signal(signalNumber, SIG_DFL);
    delete m_notifier;
    close(m_readFd);
    close(g_writeFd.exchange(-1));
}

void SignalBridge::ExitOnSecondInterrupt(int exitStatus, const char* message)
{
    g_repeatMessage.store(message);
    g_repeatExitStatus.store(exitStatus);
}

void SignalBridge::OnReadable()
{
    unsigned char byte = 0;
    while (read(m_readFd, &byte, 1) == 1)
        emit Received(byte);
}
