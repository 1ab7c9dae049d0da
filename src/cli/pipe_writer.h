#pragma once

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

// Writes to a descriptor (stdout) that may be a pipe nobody reads, without ever blocking the thread: a write is
// made only after poll() says the descriptor takes one, and holds at most PIPE_BUF bytes, cut at a line's end
// where it can, so a full pipe never stops the event loop and lines stay whole beside stderr's. The rest waits
// in a buffer and goes out when a notifier sees the descriptor writable. The descriptor's flags stay as they
// are: O_NONBLOCK would be shared with every process on the same pipe or terminal.
// Main thread only.
class PipeWriter final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PipeWriter)

public:
    PipeWriter(int fd, qint64 maxPendingBytes, QObject* parent = nullptr);

    // False when the bytes would take the buffer past its bound: nothing is added, the caller counts the loss.
    bool Append(const QByteArray& bytes);
    qint64 Pending() const { return m_buffer.size() - m_offset; }
    qint64 MaxPending() const { return m_max; }
    qint64 Written() const { return m_written; }
    bool IsBroken() const { return m_broken; }
    // Forgets what is buffered; how many lines that held.
    qsizetype Discard();

signals:
    // The reader is gone (EPIPE or another write error); what was buffered is discarded.
    void Broken();
    void Emptied();

private:
    void WriteSome();

    int m_fd;
    qint64 m_max;
    QByteArray m_buffer;
    qsizetype m_offset = 0;
    qint64 m_written = 0;
    bool m_broken = false;
    QSocketNotifier* m_notifier;
};
