#include "base/FileAccess.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <optional>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <sddl.h>
#else
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vf {

#ifdef _WIN32
namespace {

const wchar_t* wide(const QString& path)
{
    return reinterpret_cast<const wchar_t*>(path.utf16());
}

// A symbolic link, a junction or any other reparse point: Windows' links, never followed.
bool isReparsePoint(const QString& path)
{
    const DWORD attributes = GetFileAttributesW(wide(QDir::toNativeSeparators(path)));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// An access list that lets the running user alone in: "D:P(A;;FA;;;<the user's SID>)".
QString ownerOnlyAccess()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return QString();
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    QByteArray user(qsizetype(size), '\0');
    wchar_t* sid = nullptr;
    QString access;
    if (size > 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size)
        && ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid)) {
        access = QStringLiteral("D:P(A;;FA;;;%1)").arg(QString::fromWCharArray(sid));
        LocalFree(sid);
    }
    CloseHandle(token);
    return access;
}

} // namespace
#endif

bool openRegularFile(QFile& file, const QString& path, QIODevice::OpenMode mode)
{
#ifdef _WIN32
    // The name is opened without following a reparse point, and what was opened is checked: a
    // file on a disk, neither a folder nor a link.
    const bool writing = mode & QIODevice::WriteOnly;
    const HANDLE handle = CreateFileW(wide(QDir::toNativeSeparators(path)), writing ? FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE : GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &information)
        || (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        CloseHandle(handle);
        return false;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), writing ? _O_WRONLY | _O_APPEND | _O_BINARY : _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return false;
    }
    if (!file.open(fd, mode, QFileDevice::AutoCloseHandle)) {
        _close(fd);
        return false;
    }
    return true;
#else
    return openRegularFileAt(file, AT_FDCWD, path, mode);
#endif
}

#ifndef _WIN32
bool openRegularFileAt(QFile& file, int folderHandle, const QString& name, QIODevice::OpenMode mode)
{
    int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    if (mode & QIODevice::WriteOnly)
        flags |= O_WRONLY | ((mode & QIODevice::Append) ? O_APPEND : 0);
    else
        flags |= O_RDONLY;
    const int fd = ::openat(folderHandle, QFile::encodeName(name).constData(), flags);
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
}
#endif

bool isRealDirectory(const QString& path)
{
#ifdef _WIN32
    if (isReparsePoint(path))
        return false;
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink();
#else
    // lstat describes the name itself: a folder, not a link to one.
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISDIR(status.st_mode);
#endif
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

const QString kNotWritable = QStringLiteral("le dossier n'est pas accessible en écriture");
const QString kNoFolder = QStringLiteral("le dossier n'existe pas");
const QString kDiskFull = QStringLiteral("le disque est plein");

#ifdef _WIN32
// The reason of a failed call, in French for the usual ones.
QString reasonOf(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return kNotWritable;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND:
        return kNoFolder;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return kDiskFull;
    default:
        return qt_error_string(int(error));
    }
}
#else
// The reason of a failed call, in French for the usual ones.
QString reasonOf(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return kNotWritable;
    case ENOENT:
    case ENOTDIR:
        return kNoFolder;
    case ENOSPC:
    case EDQUOT:
        return kDiskFull;
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}
#endif

#ifndef _WIN32
// Writes the bytes to a new file at the path, created exclusively (never through a link) and
// readable by its owner only; 0 when they are on the disk, else the error (the file is removed).
int writeNew(const QByteArray& path, const QByteArray& bytes)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    int reason = 0;
    for (qsizetype written = 0; reason == 0 && written < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            reason = n < 0 ? errno : ENOSPC;
        else
            written += n;
    }
    if (reason == 0 && ::fsync(fd) != 0)
        reason = errno;
    if (::close(fd) != 0 && reason == 0)
        reason = errno;
    if (reason != 0)
        ::unlink(path.constData());
    return reason;
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
    if (isReparsePoint(path))
        return kLink;
    // The new file is created exclusively (CREATE_NEW never opens what is there, a link
    // included), with an access list of its owner alone, then moved to its name: over an
    // earlier file of ours, or to a name that must still be free.
    const QString access = ownerOnlyAccess();
    PSECURITY_DESCRIPTOR ownerOnly = nullptr;
    if (access.isEmpty()
        || !ConvertStringSecurityDescriptorToSecurityDescriptorW(wide(access), SDDL_REVISION_1, &ownerOnly, nullptr))
        return QStringLiteral("les droits du fichier ne peuvent pas être préparés");
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), ownerOnly, FALSE};
    const QString folder = info.absolutePath();
    QString temporary;
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int attempt = 0; handle == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
        temporary = QDir::toNativeSeparators(folder + QStringLiteral("/.") + info.fileName()
                                             + QStringLiteral(".%1").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')));
        handle = CreateFileW(wide(temporary), GENERIC_WRITE, 0, &security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    const DWORD createError = GetLastError();
    LocalFree(ownerOnly);
    if (handle == INVALID_HANDLE_VALUE)
        return reasonOf(createError);
    DWORD error = ERROR_SUCCESS;
    for (qsizetype written = 0; error == ERROR_SUCCESS && written < bytes.size();) {
        DWORD n = 0;
        if (!WriteFile(handle, bytes.constData() + written, DWORD(std::min<qsizetype>(bytes.size() - written, 1 << 30)), &n, nullptr))
            error = GetLastError();
        written += n;
    }
    if (error == ERROR_SUCCESS && !FlushFileBuffers(handle))
        error = GetLastError();
    CloseHandle(handle);
    if (error == ERROR_SUCCESS
        && !MoveFileExW(wide(temporary), wide(QDir::toNativeSeparators(path)),
                        MOVEFILE_WRITE_THROUGH | (exists ? MOVEFILE_REPLACE_EXISTING : 0)))
        error = GetLastError();
    if (error == ERROR_SUCCESS)
        return QString();
    DeleteFileW(wide(temporary));
    if (!exists && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS))
        return kNotOurs;
    return reasonOf(error);
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
    // An earlier file of ours is replaced in one step (rename() replaces the name, never
    // follows it).
    if (exists) {
        const bool placed = ::rename(temporary.constData(), target.constData()) == 0;
        const int reason = errno;
        if (!placed)
            ::unlink(temporary.constData());
        return placed ? QString() : reasonOf(reason);
    }
    // A new file takes the name only if nothing appeared there meanwhile: renamed without
    // replacing, or else (a file system that cannot, such as a network share) linked, which never
    // replaces; where neither can be done (FAT and exFAT have no links), the bytes are written
    // to the name itself, created exclusively.
    if (::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return QString();
    int reason = errno;
    if (reason == EINVAL || reason == ENOSYS || reason == EOPNOTSUPP) {
        reason = ::link(temporary.constData(), target.constData()) == 0 ? 0 : errno;
        if (reason == EPERM || reason == EOPNOTSUPP || reason == EMLINK || reason == ENOSYS)
            reason = writeNew(target, bytes);
    }
    ::unlink(temporary.constData());
    if (reason == EEXIST)
        return kNotOurs;
    return reason == 0 ? QString() : reasonOf(reason);
#endif
}

} // namespace vf
