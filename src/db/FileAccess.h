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

} // namespace vf
