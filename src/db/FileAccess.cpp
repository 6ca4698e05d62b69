#include "db/FileAccess.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <optional>

#ifdef _WIN32
#include <QSaveFile>
#else
#include <cerrno>
#include <cstring>
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

namespace {

const QString kLink = QStringLiteral("c'est un lien symbolique");
const QString kNotRegular = QStringLiteral("ce n'est pas un fichier ordinaire");
const QString kNotOurs = QStringLiteral("ce fichier existe et n'a pas été écrit par ce programme : il n'est pas remplacé");

// The first bytes of an existing file, read without following a link or waiting on a FIFO.
std::optional<QByteArray> headOf(const QString& path)
{
    QFile file;
    if (!openRegularFile(file, path, QIODevice::ReadOnly))
        return std::nullopt;
    return file.read(kOwnFileHeadSize);
}

#ifndef _WIN32
// The reason of a failed call, in French for the usual ones.
QString reasonOf(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return QStringLiteral("le dossier n'est pas accessible en écriture");
    case ENOENT:
    case ENOTDIR:
        return QStringLiteral("le dossier n'existe pas");
    case ENOSPC:
    case EDQUOT:
        return QStringLiteral("le disque est plein");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}
#endif

} // namespace

QString writeOwnFile(const QString& path, const QByteArray& bytes, const std::function<bool(const QByteArray&)>& isOurs)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return kLink;
    const bool exists = info.exists();
    if (exists && !info.isFile())
        return kNotRegular;
    if (exists) {
        const std::optional<QByteArray> head = headOf(path);
        if (!head)
            return kNotRegular;
        if (!isOurs(*head))
            return kNotOurs;
    }
#ifdef _WIN32
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return file.errorString();
    return QString();
#else
    const QString folder = info.absolutePath();
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = QFile::encodeName(folder + QStringLiteral("/.") + info.fileName()
                                      + QStringLiteral(".%1").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')));
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    const auto failure = [&](int reason) {
        if (fd >= 0) {
            ::close(fd);
            ::unlink(temporary.constData());
        }
        return reasonOf(reason);
    };
    if (fd < 0)
        return failure(errno);
    for (qsizetype written = 0; written < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return failure(n < 0 ? errno : ENOSPC);
        written += n;
    }
    if (::fsync(fd) != 0)
        return failure(errno);
    if (::close(fd) != 0) {
        fd = -1;
        const int reason = errno;
        ::unlink(temporary.constData());
        return reasonOf(reason);
    }
    fd = -1;
    const QByteArray target = QFile::encodeName(path);
    // A new file takes the name only if nothing appeared there meanwhile (link() never replaces);
    // an earlier file of ours is replaced in one step (rename() replaces the name, never follows it).
    const bool placed = exists ? ::rename(temporary.constData(), target.constData()) == 0
                               : ::link(temporary.constData(), target.constData()) == 0;
    const int reason = errno;
    if (!exists || !placed)
        ::unlink(temporary.constData());
    if (!placed && !exists && reason == EEXIST)
        return kNotOurs;
    return placed ? QString() : reasonOf(reason);
#endif
}

} // namespace vf
