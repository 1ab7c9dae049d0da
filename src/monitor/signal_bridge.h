#pragma once

#include <QList>
#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Turns POSIX signals into a queued Received() on the thread that made the bridge. The handler only writes a
// byte to a self-pipe, so nothing unsafe runs inside it. One bridge at a time in the process; its destructor
// gives the signals their default action back. Without a pipe (out of descriptors) no handler is installed.
class SignalBridge final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignalBridge)

public:
    explicit SignalBridge(std::initializer_list<int> signalNumbers, QObject* parent = nullptr);
    ~SignalBridge() override;

    // From now on, a SIGINT after an earlier one ends the process inside the handler (_exit(exitStatus) after
    // writing message to stderr), for when the graceful stop the first one asked for takes too long.
    // message must live for the rest of the process.
    void ExitOnSecondInterrupt(int exitStatus, const char* message);

signals:
    void Received(int signalNumber);

private:
    void OnReadable();

    QList<int> m_signals;
    int m_readFd = -1;
    QSocketNotifier* m_notifier = nullptr;
};
