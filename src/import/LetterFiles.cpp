#include "import/LetterFiles.h"

#include "db/Conversions.h"
#include "db/FileAccess.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vf {

LetterFiles::LetterFiles(const QString& lettersFolder)
    : m_folder(AddTrailingBackslash(lettersFolder))
{
    const QString resolved = QFileInfo(m_folder).canonicalFilePath();
    if (!resolved.isEmpty())
        m_resolvedFolder = resolved.endsWith(QLatin1Char('/')) ? resolved : resolved + QLatin1Char('/');
}

bool LetterFiles::open(const QString& path, QFile& file) const
{
    if (m_resolvedFolder.isEmpty() || path.isEmpty())
        return false;
#ifdef __linux__
    // The path of what was opened, as the kernel resolved it: one call, and no name swapped
    // between the check and the opening.
    if (!openRegularFile(file, path, QIODevice::ReadOnly))
        return false;
    char opened[PATH_MAX];
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(file.handle());
    const ssize_t length = ::readlink(link.constData(), opened, sizeof opened);
    if (length > 0 && length < ssize_t(sizeof opened)) {
        if (QFile::decodeName(QByteArray(opened, length)).startsWith(m_resolvedFolder))
            return true;
        file.close();
        return false;
    }
    file.close(); // no /proc: the name is resolved instead
#endif
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return resolved.startsWith(m_resolvedFolder) && openRegularFile(file, path, QIODevice::ReadOnly);
}

QString LetterFiles::find(const QString& nomFichier)
{
    if (nomFichier.isEmpty() || nomFichier.contains(QLatin1String("..")) || nomFichier.contains(QLatin1Char(':'))
        || nomFichier.startsWith(QLatin1Char('/')) || nomFichier.startsWith(QLatin1Char('\\')))
        return QString();
    QString relative = nomFichier + QStringLiteral(".RTF");
    relative.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QStringList parts = relative.split(QLatin1Char('/'));
    QString path = QDir::cleanPath(m_folder);
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const bool last = i == parts.size() - 1;
        const QString& part = parts.at(i);
        if (part.isEmpty())
            return QString();
        const QString exact = path + QLatin1Char('/') + part;
        const QFileInfo exactInfo(exact);
        if (last ? exactInfo.isFile() : exactInfo.isDir()) {
            path = exact;
            continue;
        }
        const QString actual = entryNoCase(path, part, last);
        if (actual.isEmpty())
            return QString();
        path = path + QLatin1Char('/') + actual;
    }
    return path;
}

QString LetterFiles::entryNoCase(const QString& folder, const QString& name, bool file)
{
    auto listed = m_listings.find(folder);
    if (listed == m_listings.end()) {
        // Entry by entry: a letters folder holds tens of thousands of files, whose list of
        // QFileInfo would take megabytes for a moment. Of names that differ by case only, the
        // first in code order is kept, whatever order the folder lists them in.
        QHash<QString, QString> entries;
        QDirIterator entry(folder, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        while (entry.hasNext()) {
            entry.next();
            const QString name = entry.fileName();
            QString& kept = entries[name.toLower()];
            if (kept.isEmpty() || name < kept)
                kept = name;
        }
        listed = m_listings.insert(folder, entries);
    }
    const QString actual = listed->value(name.toLower());
    if (actual.isEmpty())
        return QString();
    const QFileInfo info(folder + QLatin1Char('/') + actual);
    return (file ? info.isFile() : info.isDir()) ? actual : QString();
}

bool makeRealFolder(const QString& path)
{
    if (isRealDirectory(path))
        return true;
    QDir().mkdir(path);
    return isRealDirectory(path);
}

bool openCopiedLetter(const QString& lettersFolder, qint32 patient, const QString& fileName, QFile& file)
{
    if (fileName.isEmpty() || fileName == QLatin1String(".") || fileName.contains(QLatin1String(".."))
        || fileName.contains(QLatin1Char('/')) || fileName.contains(QLatin1Char('\\')) || fileName.contains(QLatin1Char(':'))
        || fileName.contains(QChar(u'\0')))
        return false;
    const QString patientFolder = lettersFolder + QLatin1Char('/') + QString::number(patient);
    return isRealDirectory(lettersFolder) && isRealDirectory(patientFolder)
        && openRegularFile(file, patientFolder + QLatin1Char('/') + fileName, QIODevice::ReadOnly);
}

Copy copyReplacing(QFile& from, const QString& to)
{
#ifdef _WIN32
    const QFileInfo target(to);
    const bool taken = target.isSymLink() || target.exists();
#else
    struct stat status {};
    const bool taken = ::lstat(QFile::encodeName(to).constData(), &status) == 0; // a link counts, dangling or not
#endif
    if (taken && !QFile::remove(to))
        return Copy::Failed;
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
#ifdef _WIN32
    QFile copy(to);
    if (!copy.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return Copy::Failed;
    qint64 read = 0;
    while ((read = from.read(buffer.data(), buffer.size())) > 0) {
        if (copy.write(buffer.constData(), read) != read) {
            const DWORD reason = GetLastError();
            copy.remove();
            return reason == ERROR_DISK_FULL || reason == ERROR_HANDLE_DISK_FULL ? Copy::DiskFull : Copy::Failed;
        }
    }
    if (read == 0 && copy.flush())
        return Copy::Done;
    copy.remove();
    return Copy::Failed;
#else
    const QByteArray path = QFile::encodeName(to);
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    const auto failure = [&](int reason) {
        if (fd >= 0) {
            ::close(fd);
            ::unlink(path.constData());
        }
        return reason == ENOSPC || reason == EDQUOT ? Copy::DiskFull : Copy::Failed;
    };
    if (fd < 0)
        return failure(errno);
    qint64 read = 0;
    while ((read = from.read(buffer.data(), buffer.size())) > 0) {
        for (qint64 written = 0; written < read;) {
            const ssize_t n = ::write(fd, buffer.constData() + written, size_t(read - written));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return failure(n < 0 ? errno : ENOSPC);
            written += n;
        }
    }
    if (read < 0)
        return failure(EIO);
    if (::close(fd) != 0) {
        const int reason = errno;
        ::unlink(path.constData());
        return reason == ENOSPC || reason == EDQUOT ? Copy::DiskFull : Copy::Failed;
    }
    return Copy::Done;
#endif
}

} // namespace vf
