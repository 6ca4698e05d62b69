#pragma once

#include <QFile>
#include <QString>

namespace vf {

// Opens a file that someone else may have prepared, without following a link at its name and
// without waiting on a FIFO or a device: true only when what was opened is a regular file.
// mode: ReadOnly, or WriteOnly | Append.
bool openRegularFile(QFile& file, const QString& path, QIODevice::OpenMode mode);

// True when the path names a folder itself, not a link to one.
bool isRealDirectory(const QString& path);

// True when the path names a folder itself (not a link to one) that belongs to the user the
// program runs as and that no one else may enter (mode 0700). On Windows: a real folder.
bool isPrivateFolderOfOurs(const QString& path);

} // namespace vf
