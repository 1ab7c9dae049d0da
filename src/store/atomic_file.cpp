#include "store/atomic_file.h"

#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool WriteAll(int fd, const QByteArray& bytes)
{
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

void SyncDirectoryOf(const QByteArray& nativePath)
{
    const QByteArray dir = QFile::encodeName(QFileInfo(QFile::decodeName(nativePath)).absolutePath());
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

bool ReplaceFileAtomically(const QString& path, const QByteArray& bytes, const QString& tempPath)
{
    static std::atomic<unsigned> counter { 0 };
    const QByteArray target = QFile::encodeName(path);
    QByteArray temp;
    int fd = -1;
    if (!tempPath.isEmpty()) {
        temp = QFile::encodeName(tempPath);
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EACCES) {
            // A stale temporary left read-only: it is ours to replace.
            ::unlink(temp.constData());
            fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        }
    } else {
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            temp = target + ".tmp." + QByteArray::number(::getpid()) + '.' + QByteArray::number(counter++);
            fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST)
                break;
        }
    }
    if (fd < 0)
        return false;

    struct stat old
    {
    };
    if (::stat(target.constData(), &old) == 0)
        ::fchmod(fd, old.st_mode & 07777);
    const bool written = WriteAll(fd, bytes) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temp.constData(), target.constData()) != 0) {
        ::unlink(temp.constData());
        return false;
    }
    SyncDirectoryOf(target);
    return true;
}

QString ReplaceTarget(const QString& path)
{
    const QFileInfo info(path);
    if (info.isSymLink()) {
        const QString target = info.canonicalFilePath();
        if (!target.isEmpty())
            return target;
    }
    return path;
}

LifetimeLock::~LifetimeLock()
{
    Release();
}

LifetimeLock::LifetimeLock(LifetimeLock&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
{ }

LifetimeLock& LifetimeLock::operator=(LifetimeLock&& other) noexcept
{
    if (this != &other) {
        Release();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

bool LifetimeLock::TryAcquire(const QString& lockPath, bool* busy)
{
    Release();
    if (busy)
        *busy = false;
    const int fd = ::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (busy)
            *busy = errno == EWOULDBLOCK;
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

void LifetimeLock::Release()
{
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1)); // releases the lock
}
