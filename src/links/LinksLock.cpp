#include "links/LinksLock.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHash>
#include <QDir>
#include <QFile>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace vf {
namespace {

const QString kLockFile = QStringLiteral("velquor-fusion.lock");

QString userText(LinksUser user)
{
    switch (user) {
    case LinksUser::Window: return QStringLiteral("une importation dans la fenêtre");
    case LinksUser::Batch: return QStringLiteral("une importation en traitement par lots");
    case LinksUser::Verification: return QStringLiteral("une vérification");
    }
    return QString();
}

QString userName()
{
#ifdef _WIN32
    return qEnvironmentVariable("USERNAME");
#else
    const passwd* entry = getpwuid(geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(geteuid());
#endif
}

// The lock file's text: one "key: value" line each, read back by a refused program.
QByteArray holderText(LinksUser user)
{
    return QStringLiteral("programme: %1\nprocessus: %2\nutilisateur: %3\ndepuis: %4\n")
        .arg(userText(user))
        .arg(QCoreApplication::applicationPid())
        .arg(userName(), QDateTime::currentDateTime().toString(QStringLiteral("dd/MM/yyyy HH:mm:ss")))
        .toUtf8();
}

QString busyMessage(const QString& folder, const QByteArray& text)
{
    QHash<QString, QString> holder;
    for (const QString& line : QString::fromUtf8(text).split(QLatin1Char('\n'))) {
        const qsizetype colon = line.indexOf(QStringLiteral(": "));
        if (colon > 0)
            holder.insert(line.left(colon), line.mid(colon + 2).left(200));
    }
    const QString who = holder.value(QStringLiteral("programme"), QStringLiteral("un autre programme de fusion"));
    QString details;
    if (holder.contains(QStringLiteral("processus")))
        details = QStringLiteral(" (processus %1, utilisateur %2, depuis le %3)")
                      .arg(holder.value(QStringLiteral("processus")), holder.value(QStringLiteral("utilisateur")),
                           holder.value(QStringLiteral("depuis")));
    return QStringLiteral("Les tables de liens du dossier %1 sont utilisées par %2%3 : un seul programme de fusion "
                          "à la fois. Attendez qu'il se termine, puis recommencez ; rien n'a été écrit.")
        .arg(QDir::toNativeSeparators(folder), who, details);
}

} // namespace

LinksLock::~LinksLock()
{
    release();
}

LinksLock::LinksLock(LinksLock&& other) noexcept
{
    *this = std::move(other);
}

#ifdef _WIN32

// Windows: the lock is a byte range far beyond the text, so that a refused program still reads it.
constexpr DWORD kLockedOffset = 0x40000000;

LinksLock& LinksLock::operator=(LinksLock&& other) noexcept
{
    if (this != &other) {
        release();
        m_handle = other.m_handle;
        other.m_handle = nullptr;
    }
    return *this;
}

bool LinksLock::take(const QString& linksFolder, LinksUser user, QString* refusal)
{
    release();
    const QString path = QDir::toNativeSeparators(QDir(linksFolder).filePath(kLockFile));
    // Not inherited by the staging reader (no inheritable handle), never through a link: a
    // reparse point at the name is opened as itself, and refused.
    HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *refusal = QStringLiteral("Le verrou %1 des tables de liens ne peut pas être ouvert : %2")
                       .arg(path, qt_error_string(int(GetLastError())));
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information)
        || (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        *refusal = QStringLiteral("Le verrou %1 des tables de liens ne peut pas être ouvert : ce n'est pas un fichier ordinaire")
                       .arg(path);
        CloseHandle(handle);
        return false;
    }
    OVERLAPPED range{};
    range.Offset = kLockedOffset;
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (user == LinksUser::Verification ? 0 : LOCKFILE_EXCLUSIVE_LOCK);
    if (!LockFileEx(handle, flags, 0, 1, 0, &range)) {
        const DWORD error = GetLastError();
        if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
            QByteArray text(4096, '\0');
            OVERLAPPED start{};
            DWORD read = 0;
            if (!ReadFile(handle, text.data(), DWORD(text.size()), &read, &start))
                read = 0;
            text.truncate(qsizetype(read));
            *refusal = busyMessage(linksFolder, text);
        } else {
            *refusal = QStringLiteral("Le verrou %1 des tables de liens ne peut pas être pris : %2")
                           .arg(path, qt_error_string(int(error)));
        }
        CloseHandle(handle);
        return false;
    }
    // The text only informs a refused program: the lock holds without it.
    const QByteArray text = holderText(user);
    DWORD written = 0;
    OVERLAPPED start{};
    if (SetFilePointer(handle, 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(handle))
        WriteFile(handle, text.constData(), DWORD(text.size()), &written, &start);
    m_handle = handle;
    return true;
}

void LinksLock::release()
{
    if (m_handle)
        CloseHandle(static_cast<HANDLE>(m_handle)); // closing the handle ends the lock
    m_handle = nullptr;
}

bool LinksLock::isHeld() const
{
    return m_handle != nullptr;
}

#else

LinksLock& LinksLock::operator=(LinksLock&& other) noexcept
{
    if (this != &other) {
        release();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

bool LinksLock::take(const QString& linksFolder, LinksUser user, QString* refusal)
{
    release();
    const QString path = QDir(linksFolder).filePath(kLockFile);
    // Close-on-exec: the staging reader, a child process, must not keep the lock of a killed run.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *refusal = QStringLiteral("Le verrou %1 des tables de liens ne peut pas être ouvert : %2")
                       .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (::flock(fd, (user == LinksUser::Verification ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            QByteArray text(4096, '\0');
            const ssize_t read = ::pread(fd, text.data(), size_t(text.size()), 0);
            text.truncate(read > 0 ? qsizetype(read) : 0);
            *refusal = busyMessage(linksFolder, text);
        } else {
            *refusal = QStringLiteral("Le verrou %1 des tables de liens ne peut pas être pris : %2")
                           .arg(path, QString::fromLocal8Bit(std::strerror(error)));
        }
        ::close(fd);
        return false;
    }
    const QByteArray text = holderText(user);
    // The text only informs a refused program: the lock holds without it.
    if (::ftruncate(fd, 0) == 0)
        (void)!::pwrite(fd, text.constData(), size_t(text.size()), 0);
    m_fd = fd;
    return true;
}

void LinksLock::release()
{
    if (m_fd >= 0)
        ::close(m_fd); // closing the file ends the lock
    m_fd = -1;
}

bool LinksLock::isHeld() const
{
    return m_fd >= 0;
}

#endif

} // namespace vf
