#include "db/FileAccess.h"

#include <QFileInfo>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vf {

bool openRegularFile(QFile& file, const QString& path, QIODevice::OpenMode mode)
{
#ifdef _WIN32
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile())
        return false;
    return file.open(mode);
#else
    int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    if (mode & QIODevice::WriteOnly)
        flags |= O_WRONLY | ((mode & QIODevice::Append) ? O_APPEND : 0);
    else
        flags |= O_RDONLY;
    const int fd = ::open(QFile::encodeName(path).constData(), flags);
    if (fd < 0)
        return false;
    // What was opened is checked, not what the name showed before: a file swapped for a FIFO
    // in between is refused too.
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)
        || !file.open(fd, mode, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
#endif
}

bool isRealDirectory(const QString& path)
{
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink();
}

bool isPrivateFolderOfOurs(const QString& path)
{
#ifdef _WIN32
    return isRealDirectory(path);
#else
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISDIR(status.st_mode)
        && status.st_uid == ::geteuid() && (status.st_mode & 07777) == 0700;
#endif
}

} // namespace vf
