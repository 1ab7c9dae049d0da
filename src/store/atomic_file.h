#pragma once

#include <QByteArray>
#include <QString>

// The two file mechanisms the configuration store rests on.
//
// ReplaceFileAtomically: the bytes go to a temporary file created exclusively under a fresh name beside the
// target (a link planted there is never written through), are fsynced and renamed over it, then the directory
// is fsynced; a crash leaves the old bytes or the new ones, never a torn file. An existing target keeps its
// permissions. On failure the temporary is removed and the target is untouched.
//
// ReplaceTarget: a symbolic link is followed (a dangling one too), so that the replace lands on its target,
// keeping the link, instead of turning the link into a file.
//
// LifetimeLock: an exclusive, non-blocking flock on a separate lock file (rename replaces the guarded
// file's inode, so the lock cannot sit on it). flock belongs to the open file description, so a second
// lock conflicts even inside one process. A link at the lock's name is not followed: the lock then fails.
// Held until Release or destruction.
//
// The files hold site lists, whose URLs may carry passwords: a file created here is readable by its owner only.
// CreatePrivateFile makes an empty one when the path names nothing yet (a link is not followed); true when the
// file exists afterwards.
bool ReplaceFileAtomically(const QString& path, const QByteArray& bytes);
bool CreatePrivateFile(const QString& path);
QString ReplaceTarget(const QString& path);
// Takes the group's and others' permissions off an existing file (a link is followed): for files that came to
// hold secrets after they were made. False when they were there and could not be taken off; *narrowed says so.
bool NarrowToOwner(const QString& path, bool* narrowed = nullptr);

class LifetimeLock
{
public:
    LifetimeLock() = default;
    ~LifetimeLock();
    LifetimeLock(LifetimeLock&& other) noexcept;
    LifetimeLock& operator=(LifetimeLock&& other) noexcept;
    LifetimeLock(const LifetimeLock&) = delete;
    LifetimeLock& operator=(const LifetimeLock&) = delete;

    // Creates the lock file when missing; false when another holder has it (busy is set) or it cannot be
    // opened (busy is cleared, errno tells why).
    bool TryAcquire(const QString& lockPath, bool* busy = nullptr);
    void Release();
    bool IsHeld() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};
