#include "StagingDatabase.h"

#include "Errors.h"
#include "FileAccess.h"
#include "StagingStream.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>

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
    ReaderProcess(const QStringList& arguments, const QString& what) : m_what(what)
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
            if (m_process.bytesAvailable() == 0 && !m_process.waitForReadyRead(m_timeoutMs)) {
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

    QString m_what;
    QProcess m_process;
    int m_timeoutMs = 60000;
};

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

    const QString dbPath = QDir(m_dir->path()).filePath(QLatin1String(kDatabaseName));
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

void StagingDatabase::exec(const char* sql)
{
    char* message = nullptr;
    if (sqlite3_exec(m_db.get(), sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const QString text = QString::fromUtf8(message ? message : sqlite3_errmsg(m_db.get()));
        sqlite3_free(message);
        throw Error(QStringLiteral("erreur de la base de travail temporaire : %1").arg(text));
    }
}

void StagingDatabase::exec(const QString& sql) { exec(sql.toUtf8().constData()); }

void StagingDatabase::stage(const TableInfo& table)
{
    if (m_staged.contains(table.name))
        return;
    ReaderProcess reader({QStringLiteral("--table"), m_accessPath, table.name}, QStringLiteral("de la table [%1]").arg(table.name));
    copyTable(reader, m_db.get(), table.name);
    m_staged.insert(table.name);
}

void StagingDatabase::ensureIndex(const TableInfo& table, const QStringList& columns)
{
    QStringList canonical;
    for (const QString& column : columns) {
        const int index = table.columnIndex(column);
        if (index < 0)
            return; // an unknown column: the statement itself will report it
        const QString name = table.columns[index].name;
        if (!canonical.contains(name))
            canonical.append(name);
    }
    if (canonical.isEmpty())
        return;
    const QString key = table.name + QChar(0x1f) + canonical.join(QChar(0x1f));
    if (m_indexes.contains(key))
        return;
    QStringList quoted;
    for (const QString& column : canonical)
        quoted.append(quoteIdentifier(column));
    exec(kIndexingCacheSize);
    try {
        exec(QStringLiteral("CREATE INDEX %1 ON %2 (%3)")
                 .arg(quoteIdentifier(QStringLiteral("vf_index_%1").arg(m_indexes.size() + 1)), quoteIdentifier(table.name),
                      quoted.join(QStringLiteral(", "))));
    } catch (...) {
        exec(kCacheSize);
        throw;
    }
    exec(kCacheSize);
    m_indexes.insert(key);
}

} // namespace vf::staging
