#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a queued StopRequested() on the main thread (self-pipe). A second
// SIGINT while a stop is already under way ends the process at once with exit status 3.
class StopSignalWatcher final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StopSignalWatcher)

public:
    explicit StopSignalWatcher(QObject* parent = nullptr);
    ~StopSignalWatcher() override;

    bool IsActive() const;

signals:
    void StopRequested(int signalNumber);

private:
    void OnReadable();

    int m_readFd = -1;
    QSocketNotifier* m_notifier = nullptr;
};
