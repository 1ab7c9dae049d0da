#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// What every test that reads back or plants a file needs, written once.

// The file's bytes; a file that cannot be read gives kUnreadableFile, which matches no expected content (an
// empty file included), so a vanished file never passes for an empty one.
inline const QByteArray kUnreadableFile = QByteArrayLiteral("<unreadable>");
QByteArray FileBytes(const QString& path);

// Replaces the file's content; false when it could not be written whole.
bool WriteFileBytes(const QString& path, const QByteArray& bytes);

// The file's inode, 0 when it does not exist: tells a rewrite in place from a replace by rename.
ino_t FileInode(const QString& path);
