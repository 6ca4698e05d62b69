#include "source/StagingDatabase.h"

#include "base/Errors.h"
#include "base/FileAccess.h"
#include "source/StagingStream.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <sqlite3.h>

#include <cmath>

namespace vf::staging {

namespace {

const char* const kFolderPrefix = "velquor-fusion-staging-";
const char* const kLockName = "staging.lock";
const char* const kDatabaseName = "staging.db";
constexpr qint64 kMsPerDay = 86400000;
// The page cache of the staging database, and the smaller one while an index is built: SQLite
// sorts in memory up to the cache size, and the two together must stay within the program's
// memory budget whatever the size of the table.
const char* const kCacheSize = "PRAGMA cache_size=-98304";
const char* const kIndexingCacheSize = "PRAGMA cache_size=-16384";
// With a copier, the program's connection only reads, and the copier's copies and sorts: both
// caches together stay below the one connection's.
const char* const kReadingCacheSize = "PRAGMA cache_size=-16384";
const char* const kCopyingCacheSize = "PRAGMA cache_size=-4096";
// 1 January 100 and 31 December 9999 23:59:59.999 as days from 30 December 1899.
constexpr double kFirstOleDay = -657434.0;
constexpr double kLastOleDay = 2958466.0;

// Set before main() by the test programs (vf_reader_build_path), hence constant-initialised.
constinit QMutex g_settingsMutex;
constinit QString g_readerProgram;
constinit QString g_builtReaderProgram;
int g_readerTimeoutMs = 60000;
QSet<QString> g_liveFolders; // staging folders of this process

QString readerFileName()
{
#ifdef Q_OS_WIN
    return QStringLiteral("velquor-fusion-stage.exe");
#else
    return QStringLiteral("velquor-fusion-stage");
#endif
}

// Reads the stream of one run of the staging reader.
class ReaderProcess : public StreamReader {
public:
    // stop, when given, ends the wait for the reader's next bytes as soon as it is set.
    ReaderProcess(const QStringList& arguments, const QString& what, const std::atomic<bool>* stop = nullptr)
        : m_what(what), m_stop(stop)
    {
        const QString program = StagingDatabase::readerProgram();
        if (program.isEmpty() || !QFileInfo(program).isExecutable())
            throw Error(QStringLiteral("le programme de lecture des bases Access (%1) est introuvable").arg(readerFileName()));
        {
            QMutexLocker lock(&g_settingsMutex);
            m_timeoutMs = g_readerTimeoutMs;
        }
        m_process.setProgram(program);
        m_process.setArguments(arguments);
        m_process.setStandardErrorFile(QProcess::nullDevice());
#ifdef Q_OS_WIN
        // The reader waits, before it exits, until its input is closed: after the last record
        // has been read (finish()), so that no byte of the stream is left in the pipe.
        m_process.start(QIODevice::ReadWrite);
#else
        m_process.setStandardInputFile(QProcess::nullDevice());
        m_process.start(QIODevice::ReadOnly);
#endif
        if (!m_process.waitForStarted(30000))
            throw Error(QStringLiteral("le programme de lecture des bases Access n'a pas pu être lancé (%1)").arg(m_process.errorString()));
    }

    ~ReaderProcess() override
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // After the end record: the reader must then exit normally.
    void finish() override
    {
#ifdef Q_OS_WIN
        m_process.closeWriteChannel();
#endif
        if (!m_process.waitForFinished(m_timeoutMs) || m_process.exitStatus() != QProcess::NormalExit
            || m_process.exitCode() != 0)
            abnormalEnd();
    }

protected:
    void fill(quint32 n) override
    {
        while (m_buffer.size() - m_pos < static_cast<qsizetype>(n)) {
            if (m_process.bytesAvailable() == 0 && !waitForBytes()) {
                if (m_process.state() == QProcess::Running) {
                    m_process.kill();
                    m_process.waitForFinished(5000);
                    throw Error(QStringLiteral("la lecture %1 ne progresse plus : le fichier est probablement endommagé").arg(m_what));
                }
                pull();
                if (m_buffer.size() - m_pos >= static_cast<qsizetype>(n))
                    break;
                abnormalEnd();
            }
            pull();
        }
    }

private:
    bool waitForBytes()
    {
        if (!m_stop)
            return m_process.waitForReadyRead(m_timeoutMs);
        const QDeadlineTimer deadline(m_timeoutMs);
        for (;;) {
            if (m_stop->load())
                throw Error(QStringLiteral("la lecture %1 a été interrompue").arg(m_what));
            if (m_process.waitForReadyRead(int(std::min<qint64>(kStopCheckMs, deadline.remainingTime()))))
                return true;
            if (deadline.hasExpired() || m_process.state() != QProcess::Running)
                return false;
        }
    }

    // Appends what the reader has sent so far to the buffer.
    void pull()
    {
        const qint64 available = m_process.bytesAvailable();
        if (available <= 0)
            return;
        const qsizetype size = m_buffer.size();
        m_buffer.resize(size + available);
        const qint64 got = m_process.read(m_buffer.data() + size, available);
        m_buffer.resize(size + std::max<qint64>(got, 0));
    }

    [[noreturn]] void abnormalEnd()
    {
        m_process.waitForFinished(5000);
        if (m_process.exitStatus() == QProcess::CrashExit || m_process.state() != QProcess::NotRunning)
            throw Error(QStringLiteral("le programme de lecture s'est arrêté brutalement pendant la lecture %1 : "
                                       "le fichier est probablement endommagé").arg(m_what));
        throw Error(QStringLiteral("le programme de lecture s'est arrêté anormalement (code %1) pendant la lecture %2 : "
                                   "le fichier est probablement endommagé").arg(m_process.exitCode()).arg(m_what));
    }

    static constexpr qint64 kStopCheckMs = 100;
    QString m_what;
    const std::atomic<bool>* m_stop;
    QProcess m_process;
    int m_timeoutMs = 60000;
};

void execOn(sqlite3* db, const char* sql)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const QString text = QString::fromUtf8(message ? message : sqlite3_errmsg(db));
        sqlite3_free(message);
        throw Error(QStringLiteral("erreur de la base de travail temporaire : %1").arg(text));
    }
}

// The sort key of one character: its base letter without accents, folded to lower case.
QString primaryKey(const QString& s)
{
    const QString decomposed = s.normalized(QString::NormalizationForm_KD);
    QString key;
    key.reserve(decomposed.size());
    for (QChar c : decomposed) {
        if (c.category() == QChar::Mark_NonSpacing)
            continue;
        key.append(c);
    }
    return key.toCaseFolded();
}

} // namespace

int TableInfo::columnIndex(const QString& column) const
{
    for (int i = 0; i < columns.size(); ++i)
        if (columns[i].name.compare(column, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

int compareJetText(const char* a, int lengthA, const char* b, int lengthB)
{
    // Plain ASCII text, by far the most common, is compared in place.
    const int n = std::min(lengthA, lengthB);
    bool ascii = true;
    for (int i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[i]);
        if (ca >= 0x80 || cb >= 0x80) {
            ascii = false;
            break;
        }
        const int la = (ca >= 'A' && ca <= 'Z') ? ca + 32 : ca;
        const int lb = (cb >= 'A' && cb <= 'Z') ? cb + 32 : cb;
        if (la != lb)
            return la < lb ? -1 : 1;
    }
    if (ascii) {
        const char* rest = lengthA > n ? a + n : b + n;
        const int restLength = std::abs(lengthA - lengthB);
        bool restAscii = true;
        for (int i = 0; i < restLength; ++i)
            if (static_cast<unsigned char>(rest[i]) >= 0x80)
                restAscii = false;
        if (restAscii)
            return lengthA == lengthB ? 0 : (lengthA < lengthB ? -1 : 1);
    }
    const QString sa = QString::fromUtf8(a, lengthA);
    const QString sb = QString::fromUtf8(b, lengthB);
    const int primary = primaryKey(sa).compare(primaryKey(sb));
    if (primary != 0)
        return primary < 0 ? -1 : 1;
    const int secondary = sa.toCaseFolded().compare(sb.toCaseFolded());
    return secondary < 0 ? -1 : (secondary > 0 ? 1 : 0);
}

bool oleToMilliseconds(double oleDate, qint64* milliseconds)
{
    if (!std::isfinite(oleDate) || oleDate <= kFirstOleDay - 1.0 || oleDate >= kLastOleDay)
        return false;
    // Before 30 December 1899 the whole part counts days back and the fraction is still the
    // time of day counted forward: -1.25 is 29 December 1899 06:00.
    const double days = std::trunc(oleDate);
    const double fraction = std::fabs(oleDate - days);
    *milliseconds = static_cast<qint64>(days) * kMsPerDay + std::llround(fraction * kMsPerDay);
    return true;
}

double millisecondsToOle(qint64 milliseconds)
{
    qint64 days = milliseconds / kMsPerDay;
    qint64 timeOfDay = milliseconds % kMsPerDay;
    if (timeOfDay < 0) {
        timeOfDay += kMsPerDay;
        --days;
    }
    const double fraction = static_cast<double>(timeOfDay) / kMsPerDay;
    return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

QString quoteIdentifier(const QString& name)
{
    QString quoted = name;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString StagingDatabase::declaredType(JetType type)
{
    switch (type) {
    case JetBoolean:
        return QStringLiteral("BOOLEAN");
    case JetByte:
    case JetInteger:
    case JetLong:
    case JetComplex:
        return QStringLiteral("INTEGER");
    case JetCurrency:
        return QStringLiteral("MONEY");
    case JetSingle:
        return QStringLiteral("FLOAT");
    case JetDouble:
        return QStringLiteral("DOUBLE");
    case JetDateTime:
        return QStringLiteral("DATETIME");
    case JetText:
    case JetMemo:
    case JetGuid:
        return QStringLiteral("TEXT COLLATE ") + QLatin1String(kJetCollation);
    case JetNumeric:
        return QStringLiteral("DECIMAL");
    case JetBinary:
    case JetOle:
        return QStringLiteral("BLOB");
    }
    return QStringLiteral("BLOB");
}

QString StagingDatabase::readerProgram()
{
    {
        QMutexLocker lock(&g_settingsMutex);
        if (!g_readerProgram.isEmpty())
            return g_readerProgram;
    }
    if (QCoreApplication::instance()) {
        const QDir programFolder(QCoreApplication::applicationDirPath());
        const QString beside = programFolder.filePath(readerFileName());
        if (QFileInfo(beside).isExecutable())
            return beside;
#ifdef VF_STAGE_INSTALL_DIR
        // An installed program keeps its reader in a private folder (bin/../lib/velquor-fusion).
        const QString installed = QDir::cleanPath(
            programFolder.filePath(QStringLiteral(VF_STAGE_INSTALL_DIR "/") + readerFileName()));
        if (QFileInfo(installed).isExecutable())
            return installed;
#endif
    }
    QMutexLocker lock(&g_settingsMutex);
    return QFileInfo(g_builtReaderProgram).isExecutable() ? g_builtReaderProgram : QString();
}

void StagingDatabase::setReaderProgram(const QString& path)
{
    QMutexLocker lock(&g_settingsMutex);
    g_readerProgram = path;
}

void StagingDatabase::setBuiltReaderProgram(const QString& path)
{
    QMutexLocker lock(&g_settingsMutex);
    g_builtReaderProgram = path;
}

void StagingDatabase::setReaderTimeout(int milliseconds)
{
    QMutexLocker lock(&g_settingsMutex);
    g_readerTimeoutMs = milliseconds;
}

void StagingDatabase::removeStaleFolders()
{
    QDir temp(QDir::tempPath());
    const QStringList names = temp.entryList({QLatin1String(kFolderPrefix) + QLatin1Char('*')}, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QString& name : names) {
        const QString path = temp.filePath(name);
        {
            QMutexLocker lock(&g_settingsMutex);
            if (g_liveFolders.contains(path))
                continue;
        }
        // The temporary folder is everyone's: only a real folder of ours that no one else may
        // enter, as a staging folder is made, is ever emptied. A link named like one (whose
        // target would be emptied) or a folder of someone else's is left alone.
        if (!isPrivateFolderOfOurs(path))
            continue;
        const QString lockPath = QDir(path).filePath(QLatin1String(kLockName));
        if (QFileInfo::exists(lockPath)) {
            // A lock held by a running program stays; one whose program died is taken over.
            QLockFile lock(lockPath);
            lock.setStaleLockTime(0);
            if (!lock.tryLock(0))
                continue;
            lock.unlock();
        } else if (QFileInfo(path).lastModified().secsTo(QDateTime::currentDateTime()) < 600) {
            continue; // being created by another program
        }
        QDir(path).removeRecursively();
    }
}

StagingDatabase::StagingDatabase(const QString& accessPath) : m_accessPath(accessPath)
{
    // The catalogue first: a file that is not a readable Access database fails here.
    {
        ReaderProcess reader({QStringLiteral("--list"), accessPath}, QStringLiteral("du catalogue"));
        m_tables = readCatalogue(reader);
        for (int i = 0; i < m_tables.size(); ++i)
            m_tableByFoldedName.insert(m_tables[i].name.toCaseFolded(), i);
        reader.finish();
    }

    m_dir = std::make_unique<QTemporaryDir>(QDir(QDir::tempPath()).filePath(QLatin1String(kFolderPrefix) + QStringLiteral("XXXXXX")));
    if (!m_dir->isValid())
        throw Error(QStringLiteral("le dossier de travail temporaire ne peut pas être créé (%1)").arg(m_dir->errorString()));
    {
        QMutexLocker lock(&g_settingsMutex);
        g_liveFolders.insert(m_dir->path());
    }
    QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_lock = std::make_unique<QLockFile>(QDir(m_dir->path()).filePath(QLatin1String(kLockName)));
    m_lock->setStaleLockTime(0);
    m_lock->tryLock(0);
    QFile::setPermissions(QDir(m_dir->path()).filePath(QLatin1String(kLockName)), QFile::ReadOwner | QFile::WriteOwner);

    m_databasePath = QDir(m_dir->path()).filePath(QLatin1String(kDatabaseName));
    const QString& dbPath = m_databasePath;
    {
        QFile file(dbPath);
        if (!file.open(QIODevice::WriteOnly)
            || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner))
            throw Error(QStringLiteral("la base de travail temporaire ne peut pas être créée (%1)").arg(file.errorString()));
    }
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(dbPath.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    m_db.reset(db);
    if (opened != SQLITE_OK) {
        const QString message = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db.get())) : QString();
        throw Error(QStringLiteral("la base de travail temporaire ne peut pas être ouverte (%1)").arg(message));
    }
    addJetCollation(m_db.get());
    // A private copy that is thrown away with the connection: no durability needed, but a
    // copy that fails half-way must roll back, hence a journal in memory.
    exec("PRAGMA journal_mode=MEMORY");
    exec("PRAGMA synchronous=OFF");
    exec("PRAGMA locking_mode=EXCLUSIVE");
    exec(kCacheSize);
    exec("PRAGMA temp_store=FILE");
}

StagingDatabase::~StagingDatabase()
{
    m_ahead.reset();
    m_db.reset();
    if (m_lock)
        m_lock->unlock();
    if (m_dir) {
        const QString path = m_dir->path();
        m_dir->remove();
        QMutexLocker lock(&g_settingsMutex);
        g_liveFolders.remove(path);
    }
}

QString StagingDatabase::folder() const { return m_dir ? m_dir->path() : QString(); }

const TableInfo* StagingDatabase::findTable(const QString& name) const
{
    const auto it = m_tableByFoldedName.constFind(name.toCaseFolded());
    return it == m_tableByFoldedName.constEnd() ? nullptr : &m_tables[*it];
}

QStringList StagingDatabase::tableNames() const
{
    QStringList names;
    for (const TableInfo& table : m_tables)
        names.append(table.name);
    return names;
}

void StagingDatabase::exec(const char* sql) { execOn(m_db.get(), sql); }

void StagingDatabase::exec(const QString& sql) { exec(sql.toUtf8().constData()); }

// The thread that copies the tables of a run ahead, with its own connection: the tasks go in
// the order given, a task asked for goes first, and each one's outcome is told to who waits.
class StagingDatabase::AheadCopier {
public:
    AheadCopier(StagingDatabase& staging, SqliteDatabase db, const QList<Task>& tasks)
        : m_staging(staging), m_db(std::move(db)), m_queue(tasks.cbegin(), tasks.cend())
    {
        m_thread = std::thread([this] { run(); });
    }

    // Stops at once: a copy under way is abandoned and its reader stopped.
    ~AheadCopier()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

    // Waits until the task is done, first in line if it has not started. Its failure is then
    // returned and forgotten, so that a next request tries again; awaiting only (take false),
    // a failure ends the wait and stays for the request.
    std::optional<QString> request(const Task& task, bool take)
    {
        const QString key = task.key();
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (done(task))
                return std::nullopt;
            if (const auto failure = m_failures.constFind(key); failure != m_failures.constEnd()) {
                if (!take)
                    return std::nullopt;
                const QString message = *failure;
                m_failures.erase(failure);
                if (!message.isEmpty())
                    return message;
            }
            if (m_current != key && std::none_of(m_queue.cbegin(), m_queue.cend(), [&](const Task& queued) {
                    return queued.key() == key;
                })) {
                m_queue.push_front(task);
                m_changed.notify_all();
            }
            m_changed.wait(lock);
        }
    }

private:
    bool done(const Task& task) const
    {
        return task.columns.isEmpty() ? m_staging.m_staged.contains(task.table) : m_staging.m_indexes.contains(task.key());
    }

    void run()
    {
        for (;;) {
            Task task;
            int indexNumber = 0;
            {
                std::unique_lock lock(m_mutex);
                m_changed.wait(lock, [&] { return m_stopping.load() || !m_queue.empty(); });
                if (m_stopping)
                    break;
                task = m_queue.front();
                m_queue.pop_front();
                if (done(task))
                    continue;
                if (!task.columns.isEmpty()) {
                    // An index waits for its table: left out, it is asked for again after it.
                    if (!m_staging.m_staged.contains(task.table)) {
                        m_failures.insert(task.key(), QString());
                        m_changed.notify_all();
                        continue;
                    }
                    indexNumber = ++m_staging.m_indexCount;
                }
                m_current = task.key();
            }
            QString failure;
            try {
                if (task.columns.isEmpty())
                    m_staging.copyInto(m_db.get(), task.table, &m_stopping);
                else
                    createIndex(m_db.get(), task, indexNumber);
            } catch (const Error& error) {
                failure = error.message();
            } catch (const std::exception& error) {
                failure = QString::fromUtf8(error.what());
            }
            {
                const std::lock_guard lock(m_mutex);
                m_current.clear();
                if (!failure.isEmpty())
                    m_failures.insert(task.key(), failure);
                else if (task.columns.isEmpty())
                    m_staging.m_staged.insert(task.table);
                else
                    m_staging.m_indexes.insert(task.key());
            }
            m_changed.notify_all();
        }
        m_db.reset();
    }

    StagingDatabase& m_staging;
    SqliteDatabase m_db;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Task> m_queue;
    QString m_current;                  // the task under way
    QHash<QString, QString> m_failures; // by task; empty: an index left out
    std::atomic<bool> m_stopping = false;
    std::thread m_thread;
};

QString StagingDatabase::Task::key() const
{
    return columns.isEmpty() ? table : table + QChar(0x1f) + columns.join(QChar(0x1f));
}

void StagingDatabase::copyInto(sqlite3* db, const QString& table, const std::atomic<bool>* stop) const
{
    ReaderProcess reader({QStringLiteral("--table"), m_accessPath, table}, QStringLiteral("de la table [%1]").arg(table), stop);
    copyTable(reader, db, table);
}

void StagingDatabase::stage(const TableInfo& table)
{
    if (m_ahead) {
        if (const std::optional<QString> failure = m_ahead->request({table.name, {}}, true))
            throw Error(*failure);
        return;
    }
    if (m_staged.contains(table.name))
        return;
    copyInto(m_db.get(), table.name);
    m_staged.insert(table.name);
}

std::optional<StagingDatabase::Task> StagingDatabase::indexTask(const TableInfo& table, const QStringList& columns)
{
    QStringList canonical;
    for (const QString& column : columns) {
        const int index = table.columnIndex(column);
        if (index < 0)
            return std::nullopt; // an unknown column: the statement itself will report it
        const QString name = table.columns[index].name;
        if (!canonical.contains(name))
            canonical.append(name);
    }
    if (canonical.isEmpty())
        return std::nullopt;
    return Task{table.name, canonical};
}

void StagingDatabase::createIndex(sqlite3* db, const Task& task, int number)
{
    QStringList quoted;
    for (const QString& column : task.columns)
        quoted.append(quoteIdentifier(column));
    execOn(db, QStringLiteral("CREATE INDEX %1 ON %2 (%3)")
                   .arg(quoteIdentifier(QStringLiteral("vf_index_%1").arg(number)), quoteIdentifier(task.table),
                        quoted.join(QStringLiteral(", ")))
                   .toUtf8()
                   .constData());
}

void StagingDatabase::ensureIndex(const TableInfo& table, const QStringList& columns)
{
    const std::optional<Task> task = indexTask(table, columns);
    if (!task)
        return;
    if (m_ahead) {
        if (const std::optional<QString> failure = m_ahead->request(*task, true))
            throw Error(*failure);
        return;
    }
    if (m_indexes.contains(task->key()))
        return;
    exec(kIndexingCacheSize);
    try {
        createIndex(m_db.get(), *task, m_indexCount + 1);
    } catch (...) {
        exec(kCacheSize);
        throw;
    }
    exec(kCacheSize);
    ++m_indexCount;
    m_indexes.insert(task->key());
}

QList<StagingDatabase::Task> StagingDatabase::tasksOf(const QList<StagingNeed>& needs) const
{
    QList<Task> tasks;
    for (const StagingNeed& need : needs) {
        const TableInfo* table = findTable(need.table);
        if (!table)
            continue;
        tasks.append({table->name, {}});
        if (const std::optional<Task> index = indexTask(*table, need.indexColumns))
            tasks.append(*index);
    }
    return tasks;
}

void StagingDatabase::stageAhead(const QList<StagingNeed>& needs)
{
    if (m_ahead)
        return;
    QList<Task> tasks;
    for (const Task& task : tasksOf(needs))
        if (!std::any_of(tasks.cbegin(), tasks.cend(), [&](const Task& other) { return other.key() == task.key(); }))
            tasks.append(task);
    if (tasks.isEmpty())
        return;
    // Two connections from here on: a journal that lets one read while the other writes. Where
    // either cannot be had, the program copies each table itself, as it comes.
    exec("PRAGMA locking_mode=NORMAL");
    QByteArray journal;
    if (const SqliteStatement mode = prepareSqlite(m_db.get(), "PRAGMA journal_mode=WAL");
        mode && sqlite3_step(mode.get()) == SQLITE_ROW)
        journal = reinterpret_cast<const char*>(sqlite3_column_text(mode.get(), 0));
    if (journal.compare("wal", Qt::CaseInsensitive) != 0)
        return;
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(m_databasePath.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    SqliteDatabase copier(db);
    if (opened != SQLITE_OK)
        return;
    // The copy is thrown away whole: never checkpointed on closing.
    for (sqlite3* connection : {m_db.get(), copier.get()})
        sqlite3_db_config(connection, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    exec(kReadingCacheSize);
    addJetCollation(copier.get());
    execOn(copier.get(), "PRAGMA synchronous=OFF");
    execOn(copier.get(), "PRAGMA temp_store=FILE");
    execOn(copier.get(), kCopyingCacheSize);
    m_ahead = std::make_unique<AheadCopier>(*this, std::move(copier), tasks);
}

void StagingDatabase::awaitAhead(const QList<StagingNeed>& needs)
{
    if (!m_ahead)
        return;
    for (const Task& task : tasksOf(needs))
        m_ahead->request(task, false);
}

} // namespace vf::staging
