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

namespace {

bool isPlainName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && !name.contains(QLatin1String(".."))
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) && !name.contains(QLatin1Char(':'))
        && !name.contains(QChar(u'\0'));
}

#ifdef _WIN32
const wchar_t* wide(const QString& path)
{
    return reinterpret_cast<const wchar_t*>(path.utf16());
}

// A folder itself, not a reparse point, opened so that no one moves or deletes it while the
// handle is held: what is made at a path through it lands in that folder.
HANDLE openFolder(const QString& path, bool make)
{
    const QString native = QDir::toNativeSeparators(path);
    const auto open = [&] {
        return CreateFileW(wide(native), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    };
    HANDLE handle = open();
    if (handle == INVALID_HANDLE_VALUE && make && GetLastError() == ERROR_FILE_NOT_FOUND
        && (CreateDirectoryW(wide(native), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS))
        handle = open();
    if (handle == INVALID_HANDLE_VALUE)
        return handle;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information) || !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        || (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

// The patient's folder under LETTERS, held for as long as the object lives.
class PatientFolder {
public:
    PatientFolder(const QString& letters, qint32 patient, bool make)
        : m_path(letters + QLatin1Char('/') + QString::number(patient)), m_handle(openFolder(m_path, make))
    {
    }
    ~PatientFolder()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }
    bool isOpen() const { return m_handle != INVALID_HANDLE_VALUE; }
    QString file(const QString& name) const { return m_path + QLatin1Char('/') + name; }

private:
    QString m_path;
    HANDLE m_handle;
};
#else
int openFolderAt(int at, const QByteArray& name, bool make)
{
    const auto open = [&] { return ::openat(at, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); };
    int handle = open();
    if (handle < 0 && make && errno == ENOENT && (::mkdirat(at, name.constData(), 0777) == 0 || errno == EEXIST))
        handle = open();
    return handle;
}

// The patient's folder, opened from LETTERS's handle without following a link at its name and
// held for as long as the object lives: the copy is made and removed from it.
class PatientFolder {
public:
    PatientFolder(int letters, qint32 patient, bool make)
        : m_handle(letters < 0 ? -1 : openFolderAt(letters, QByteArray::number(patient), make))
    {
    }
    ~PatientFolder()
    {
        if (m_handle >= 0)
            ::close(m_handle);
    }
    bool isOpen() const { return m_handle >= 0; }
    int handle() const { return m_handle; }

private:
    int m_handle;
};
#endif

} // namespace

bool isPlainFileName(const QString& fileName)
{
    return isPlainName(fileName);
}

bool openCopiedLetter(const QString& lettersFolder, qint32 patient, const QString& fileName, QFile& file)
{
    if (!isPlainName(fileName))
        return false;
#ifdef _WIN32
    const HANDLE letters = openFolder(lettersFolder, false);
    if (letters == INVALID_HANDLE_VALUE)
        return false;
    const PatientFolder folder(lettersFolder, patient, false);
    const bool opened = folder.isOpen() && openRegularFile(file, folder.file(fileName), QIODevice::ReadOnly);
    CloseHandle(letters);
    return opened;
#else
    const int letters = openFolderAt(AT_FDCWD, QFile::encodeName(lettersFolder), false);
    const PatientFolder folder(letters, patient, false);
    if (letters >= 0)
        ::close(letters);
    return folder.isOpen() && openRegularFileAt(file, folder.handle(), fileName, QIODevice::ReadOnly);
#endif
}

LettersFolder::LettersFolder(const QString& path) : m_path(path) {}

LettersFolder::~LettersFolder()
{
#ifdef _WIN32
    if (m_handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
#else
    if (m_handle >= 0)
        ::close(int(m_handle));
#endif
}

qintptr LettersFolder::lettersHandle()
{
    const std::lock_guard lock(m_mutex);
#ifdef _WIN32
    if (m_handle == -1)
        m_handle = reinterpret_cast<qintptr>(openFolder(m_path, true));
#else
    if (m_handle < 0)
        m_handle = openFolderAt(AT_FDCWD, QFile::encodeName(m_path), true);
#endif
    return m_handle;
}

Copy LettersFolder::copy(QFile& from, qint32 patient, const QString& name)
{
    const qintptr letters = lettersHandle();
    if (!isPlainName(name) || letters == -1)
        return Copy::Failed;
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
#ifdef _WIN32
    const PatientFolder folder(m_path, patient, true);
    if (!folder.isOpen())
        return Copy::Failed;
    const QString to = folder.file(name);
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
    const PatientFolder folder(int(letters), patient, true);
    if (!folder.isOpen())
        return Copy::Failed;
    const int at = folder.handle();
    const QByteArray file = QFile::encodeName(name);
    const auto create = [&] { return ::openat(at, file.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666); };
    int fd = create();
    // Whatever holds the name, a link dangling or not included, is removed itself first.
    if (fd < 0 && errno == EEXIST) {
        if (::unlinkat(at, file.constData(), 0) != 0)
            return Copy::Failed;
        fd = create();
    }
    const auto failure = [&](int reason) {
        if (fd >= 0) {
            ::close(fd);
            ::unlinkat(at, file.constData(), 0);
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
        ::unlinkat(at, file.constData(), 0);
        return reason == ENOSPC || reason == EDQUOT ? Copy::DiskFull : Copy::Failed;
    }
    return Copy::Done;
#endif
}

void LettersFolder::remove(qint32 patient, const QString& name)
{
    const qintptr letters = lettersHandle();
    if (!isPlainName(name) || letters == -1)
        return;
#ifdef _WIN32
    const PatientFolder folder(m_path, patient, false);
    if (folder.isOpen())
        DeleteFileW(wide(QDir::toNativeSeparators(folder.file(name))));
#else
    const PatientFolder folder(int(letters), patient, false);
    if (folder.isOpen())
        ::unlinkat(folder.handle(), QFile::encodeName(name).constData(), 0);
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

void LetterCopies::add(std::unique_ptr<QFile> document, qint32 patient, const QString& name)
{
    std::unique_lock lock(m_mutex);
    while (m_threads.size() < std::size_t(kCopyThreads))
        m_threads.emplace_back([this] { run(); });
    if (m_waiting.size() >= kWaitingCopies) {
        m_giverWaits = true;
        m_jobDone.wait(lock, [&] { return m_waiting.size() < kWaitingCopies; });
        m_giverWaits = false;
    }
    m_waiting.push_back({std::move(document), patient, name});
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
        for (const auto& [patient, name] : std::as_const(m_made))
            m_folder.remove(patient, name);
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
        lock.unlock();
        const bool made = !skipped && m_folder.copy(*job.document, job.patient, job.name) == Copy::Done;
        job.document.reset();
        lock.lock();
        --m_working;
        if (made)
            m_made.append({job.patient, job.name});
        else
            m_failed = true;
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
