#include "phases/LetterFiles.h"

#include "base/Conversions.h"
#include "base/FileAccess.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

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
    , m_cleanFolder(QDir::cleanPath(m_folder))
{
    const QString resolved = QFileInfo(m_folder).canonicalFilePath();
    if (!resolved.isEmpty())
        m_resolvedFolder = resolved.endsWith(QLatin1Char('/')) ? resolved : resolved + QLatin1Char('/');
#ifdef __linux__
    if (!m_resolvedFolder.isEmpty())
        m_folderHandle = ::open(QFile::encodeName(m_resolvedFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
}

LetterFiles::~LetterFiles()
{
#ifdef __linux__
    if (m_folderHandle >= 0)
        ::close(m_folderHandle);
#endif
}

bool LetterFiles::open(const QString& path, QFile& file) const
{
    if (m_resolvedFolder.isEmpty() || path.isEmpty())
        return false;
#ifdef __linux__
    // A document that find() gave directly in the letters folder is opened from the resolved
    // folder itself, its name not followed: it can only be that folder's file.
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (m_folderHandle >= 0 && slash > 0 && QStringView(path).left(slash) == m_cleanFolder)
        return openRegularFileAt(file, m_folderHandle, path.mid(slash + 1), QIODevice::ReadOnly);
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
    QString path = m_cleanFolder;
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

bool isPlainFileName(const QString& fileName)
{
    return !fileName.isEmpty() && fileName != QLatin1String(".") && !fileName.contains(QLatin1String(".."))
        && !fileName.contains(QLatin1Char('/')) && !fileName.contains(QLatin1Char('\\')) && !fileName.contains(QLatin1Char(':'))
        && !fileName.contains(QChar(u'\0'));
}

bool openCopiedLetter(const QString& lettersFolder, qint32 patient, const QString& fileName, QFile& file)
{
    if (!isPlainFileName(fileName))
        return false;
    const QString patientFolder = lettersFolder + QLatin1Char('/') + QString::number(patient);
    return isRealDirectory(lettersFolder) && isRealDirectory(patientFolder)
        && openRegularFile(file, patientFolder + QLatin1Char('/') + fileName, QIODevice::ReadOnly);
}

Copy copyReplacing(QFile& from, const QString& to)
{
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
#ifdef _WIN32
    const QFileInfo target(to);
    if ((target.isSymLink() || target.exists()) && !QFile::remove(to))
        return Copy::Failed;
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
    const auto create = [&] { return ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666); };
    int fd = create();
    // Whatever holds the name, a link dangling or not included, is removed itself first.
    if (fd < 0 && errno == EEXIST) {
        if (!QFile::remove(to))
            return Copy::Failed;
        fd = create();
    }
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

namespace {
const std::size_t kWaitingCopies = 16;
const int kCopyThreads = 2;
} // namespace

LetterCopies::~LetterCopies()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_jobGiven.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
}

void LetterCopies::add(std::unique_ptr<QFile> document, const QStringList& folders, const QString& copy)
{
    std::unique_lock lock(m_mutex);
    while (m_threads.size() < std::size_t(kCopyThreads))
        m_threads.emplace_back([this] { run(); });
    if (m_waiting.size() >= kWaitingCopies) {
        m_giverWaits = true;
        m_jobDone.wait(lock, [&] { return m_waiting.size() < kWaitingCopies; });
        m_giverWaits = false;
    }
    m_waiting.push_back({std::move(document), folders, copy});
    if (m_idle > 0)
        m_jobGiven.notify_one();
}

bool LetterCopies::settle()
{
    std::unique_lock lock(m_mutex);
    m_giverWaits = true;
    m_jobDone.wait(lock, [&] { return m_waiting.empty() && m_working == 0; });
    m_giverWaits = false;
    const bool made = !m_failed;
    if (!made) {
        for (const QString& copy : std::as_const(m_made))
            QFile::remove(copy);
    }
    m_made.clear();
    m_failed = false;
    return made;
}

void LetterCopies::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        // Those given are made before the threads end.
        ++m_idle;
        m_jobGiven.wait(lock, [&] { return m_stopping || !m_waiting.empty(); });
        --m_idle;
        if (m_waiting.empty())
            return;
        Job job = std::move(m_waiting.front());
        m_waiting.pop_front();
        ++m_working;
        const bool skipped = m_failed;
        // A folder is looked at once; two threads may both make it, which makeRealFolder allows.
        QStringList folders;
        for (const QString& folder : std::as_const(job.folders)) {
            if (!m_folders.contains(folder))
                folders.append(folder);
        }
        lock.unlock();
        const bool made = !skipped && std::all_of(folders.cbegin(), folders.cend(), makeRealFolder)
            && copyReplacing(*job.document, job.copy) == Copy::Done;
        job.document.reset();
        lock.lock();
        --m_working;
        if (made) {
            m_made.append(job.copy);
            for (const QString& folder : std::as_const(folders))
                m_folders.insert(folder);
        } else {
            m_failed = true;
        }
        if (m_giverWaits)
            m_jobDone.notify_one();
    }
}

// Whether two open files hold the same bytes; one that cannot be read holds other bytes.
bool sameContents(QFile& first, QFile& second)
{
    // Read side by side: a file shorter than the other gives fewer bytes at some read. Letters
    // are small; chunks on the stack spare tens of thousands of allocations.
    char firstChunk[16 * 1024];
    char secondChunk[sizeof firstChunk];
    for (;;) {
        const qint64 read = first.read(firstChunk, sizeof firstChunk);
        if (read < 0 || second.read(secondChunk, sizeof secondChunk) != read)
            return false;
        if (read == 0)
            return true;
        if (std::memcmp(firstChunk, secondChunk, size_t(read)) != 0)
            return false;
    }
}

} // namespace vf
