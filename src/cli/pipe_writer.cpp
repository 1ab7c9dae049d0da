#include "cli/pipe_writer.h"

#include <QSocketNotifier>

#include <cerrno>
#include <climits>
#include <poll.h>
#include <unistd.h>

PipeWriter::PipeWriter(int fd, qint64 maxPendingBytes, QObject* parent)
    : QObject(parent)
    , m_fd(fd)
    , m_max(maxPendingBytes)
    , m_notifier(new QSocketNotifier(fd, QSocketNotifier::Write, this))
{
    m_notifier->setEnabled(false);
    connect(m_notifier, &QSocketNotifier::activated, this, &PipeWriter::WriteSome);
}

bool PipeWriter::Append(const QByteArray& bytes)
{
    if (m_broken)
        return true;
    if (Pending() > 0 && Pending() + bytes.size() > m_max)
        return false;
    m_buffer += bytes;
    WriteSome();
    return true;
}

qsizetype PipeWriter::Discard()
{
    const qsizetype lines = m_buffer.sliced(m_offset).count('\n');
    m_buffer.clear();
    m_offset = 0;
    m_notifier->setEnabled(false);
    return lines;
}

void PipeWriter::WriteSome()
{
    while (m_offset < m_buffer.size()) {
        pollfd probe { m_fd, POLLOUT, 0 };
        const int ready = poll(&probe, 1, 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        qsizetype size = qMin<qsizetype>(m_buffer.size() - m_offset, PIPE_BUF);
        if (m_offset + size < m_buffer.size()) {
            const qsizetype lineEnd = m_buffer.lastIndexOf('\n', m_offset + size - 1);
            if (lineEnd >= m_offset)
                size = lineEnd + 1 - m_offset;
        }
        const ssize_t written = write(m_fd, m_buffer.constData() + m_offset, size_t(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EAGAIN)
            break;
        if (written < 0) {
            m_broken = true;
            Discard();
            emit Broken();
            return;
        }
        m_offset += written;
        m_written += written;
    }
    if (m_offset == m_buffer.size()) {
        const bool had = !m_buffer.isEmpty();
        m_buffer.clear();
        m_offset = 0;
        m_notifier->setEnabled(false);
        if (had)
            emit Emptied();
        return;
    }
    // Drop what is written once it is most of the buffer, so appends don't copy a growing head.
    if (m_offset > m_buffer.size() / 2) {
        m_buffer.remove(0, m_offset);
        m_offset = 0;
    }
    m_notifier->setEnabled(true);
}
