#include "store/atomic_file.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void SyncDirectoryOf(const QString& path)
{
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

bool ReplaceFileAtomically(const QString& path, const QByteArray& bytes)
{
    // QSaveFile creates its temporary exclusively under a fresh name beside the target, fsyncs it, keeps the
    // target's permissions and renames it over the target.
    const QString target = ReplaceTarget(path);
    const bool created = !QFileInfo::exists(target);
    QSaveFile file(target);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (created)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit())
        return false;
    SyncDirectoryOf(target);
    return true;
}

bool CreatePrivateFile(const QString& path)
{
    const int fd
        = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
    return fd >= 0 || errno == EEXIST;
}

bool NarrowToOwner(const QString& path, bool* narrowed)
{
    if (narrowed)
        *narrowed = false;
    const QByteArray target = QFile::encodeName(ReplaceTarget(path));
    struct stat info
    {
    };
    if (::stat(target.constData(), &info) != 0 || (info.st_mode & 077) == 0)
        return true;
    if (::chmod(target.constData(), info.st_mode & 0700) != 0)
        return false;
    if (narrowed)
        *narrowed = true;
    return true;
}

QString ReplaceTarget(const QString& path)
{
    // Followed link by link, so that a dangling one still names the file it should create.
    QString current = path;
    for (int hop = 0; hop < 40; ++hop) {
        const QFileInfo info(current);
        if (!info.isSymLink())
            return current;
        const QString next = info.symLinkTarget();
        if (next.isEmpty())
            return path;
        current = next;
    }
    return path; // a loop: writing fails there as it would anyway
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
    // A link planted at the lock's name is not followed: that would create or lock a file of someone else's.
    const int fd
        = ::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
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
