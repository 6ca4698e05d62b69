#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <functional>

namespace vf {

// Opens a file that someone else may have prepared, without following a link at its name and
// without waiting on a FIFO or a device: true only when what was opened is a regular file.
// mode: ReadOnly, or WriteOnly | Append.
bool openRegularFile(QFile& file, const QString& path, QIODevice::OpenMode mode);
#ifndef _WIN32
// The same, for a name inside the folder open as folderHandle (a name with a "/" goes through
// the folders it names, links included; only its last part is not followed).
bool openRegularFileAt(QFile& file, int folderHandle, const QString& name, QIODevice::OpenMode mode);
#endif

// True when the path names a folder itself, not a link to one.
bool isRealDirectory(const QString& path);

// True when the path names a folder itself (not a link to one) that belongs to the user the
// program runs as and that no one else may enter (mode 0700). On Windows: a real folder.
bool isPrivateFolderOfOurs(const QString& path);

// Writes a file that the program writes again at a path that its user names (a report), readable
// by its owner only. A link at the path and anything but a regular file are refused; an existing
// file is replaced only when isOurs says that its first bytes (up to kOwnFileHeadSize) are those
// of an earlier file of ours, so that a mistyped path never replaces another file. The bytes go
// to a new file of the same folder, created exclusively (never through a link), which then takes
// the path's place: a reader never sees half a file. A new file never replaces a name that
// appeared meanwhile; where the file system can neither rename without replacing nor link (FAT
// through FUSE), the bytes are written at the path, created exclusively. Returns an empty text when the file is
// written, else the reason in French.
constexpr qsizetype kOwnFileHeadSize = 4096;
QString writeOwnFile(const QString& path, const QByteArray& bytes, const std::function<bool(const QByteArray&)>& isOurs);

} // namespace vf
