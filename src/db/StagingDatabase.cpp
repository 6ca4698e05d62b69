#include "StagingDatabase.h"

#include "Errors.h"
#include "FileAccess.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMutex>
#include <QProcess>
#include <QtEndian>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <cmath>

namespace vf::staging {

namespace {

const char* const kFolderPrefix = "velquor-fusion-staging-";
const char* const kLockName = "staging.lock";
const char* const kDatabaseName = "staging.db";
const char* const kCollation = "VF_JET";
constexpr qint64 kMsPerDay = 86400000;
// The page cache of the staging database, and the smaller one while an index is built: SQLite
// sorts in memory up to the cache size, and the two together must stay within the program's
// memory budget whatever the size of the table.
const char* const kCacheSize = "PRAGMA cache_size=-98304";
const char* const kIndexingCacheSize = "PRAGMA cache_size=-16384";
// 1 January 100 and 31 December 9999 23:59:59.999 as days from 30 December 1899.
constexpr double kFirstOleDay = -657434.0;
constexpr double kLastOleDay = 2958466.0;

QMutex g_settingsMutex;
QString g_readerProgram;
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
class ReaderProcess {
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
        m_process.setStandardInputFile(QProcess::nullDevice());
        m_process.start(QIODevice::ReadOnly);
        if (!m_process.waitForStarted(30000))
            throw Error(QStringLiteral("le programme de lecture des bases Access n'a pas pu être lancé (%1)").arg(m_process.errorString()));
    }

    ~ReaderProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    char tag() { return static_cast<char>(u8()); }
    quint8 u8() { return static_cast<quint8>(*take(1)); }
    quint16 u16() { return qFromLittleEndian<quint16>(take(2)); }
    quint32 u32() { return qFromLittleEndian<quint32>(take(4)); }
    qint64 i64() { return qFromLittleEndian<qint64>(take(8)); }
    double f64() { return qFromLittleEndian<double>(take(8)); }
    // The next n bytes; the pointer stays valid until the next read.
    const char* block(quint32 n) { return take(n); }
    // A string: the pointer stays valid until the next read.
    const char* bytes(quint32* length)
    {
        *length = u32();
        return take(*length);
    }
    QString text()
    {
        quint32 length = 0;
        const char* p = bytes(&length);
        return QString::fromUtf8(p, static_cast<qsizetype>(length));
    }

    // After the end record: the reader must then exit normally.
    void finish()
    {
        if (!m_process.waitForFinished(m_timeoutMs) || m_process.exitStatus() != QProcess::NormalExit
            || m_process.exitCode() != 0)
            abnormalEnd();
    }

    [[noreturn]] void fail()
    {
        // An error record: the reader explains what it could not read.
        const QString message = text();
        throw Error(message);
    }

private:
    const char* take(quint32 n)
    {
        if (m_pos > (1 << 20) && m_pos * 2 > m_buffer.size()) {
            m_buffer.remove(0, m_pos);
            m_pos = 0;
        }
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
        const char* p = m_buffer.constData() + m_pos;
        m_pos += n;
        return p;
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

    QString m_what;
    QProcess m_process;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    int m_timeoutMs = 60000;
};

// The values of one row record, read in place.
class RowCursor {
public:
    RowCursor(const char* data, quint32 length) : m_p(reinterpret_cast<const uchar*>(data)), m_end(m_p + length) {}
    quint8 u8() { return *need(1); }
    quint32 u32() { return qFromLittleEndian<quint32>(need(4)); }
    qint64 i64() { return qFromLittleEndian<qint64>(need(8)); }
    double f64() { return qFromLittleEndian<double>(need(8)); }
    const char* bytes(quint32* length)
    {
        *length = u32();
        return reinterpret_cast<const char*>(need(*length));
    }
    bool atEnd() const { return m_p == m_end; }

private:
    const uchar* need(quint32 n)
    {
        if (static_cast<quint64>(m_end - m_p) < n)
            throw Error(QStringLiteral("le programme de lecture a renvoyé des données incohérentes"));
        const uchar* p = m_p;
        m_p += n;
        return p;
    }
    const uchar* m_p;
    const uchar* m_end;
};

int jetCollation(void*, int lengthA, const void* a, int lengthB, const void* b)
{
    return compareJetText(static_cast<const char*>(a), lengthA, static_cast<const char*>(b), lengthB);
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
        return QStringLiteral("TEXT COLLATE ") + QLatin1String(kCollation);
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
#ifdef VF_STAGE_BUILD_PATH
    const QString built = QString::fromUtf8(VF_STAGE_BUILD_PATH);
    if (QFileInfo(built).isExecutable())
        return built;
#endif
    return QString();
}

void StagingDatabase::setReaderProgram(const QString& path)
{
    QMutexLocker lock(&g_settingsMutex);
    g_readerProgram = path;
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
        for (;;) {
            const char tag = reader.tag();
            if (tag == EndRecord)
                break;
            if (tag == ErrorRecord)
                reader.fail();
            if (tag != TableRecord)
                throw Error(QStringLiteral("le programme de lecture a renvoyé des données incohérentes"));
            TableInfo table;
            table.name = reader.text();
            table.rowCount = reader.u32();
            const int columns = reader.u16();
            for (int i = 0; i < columns; ++i) {
                ColumnInfo column;
                column.name = reader.text();
                column.type = static_cast<JetType>(reader.u8());
                table.columns.append(column);
            }
            m_tableByFoldedName.insert(table.name.toCaseFolded(), m_tables.size());
            m_tables.append(table);
        }
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
    if (sqlite3_open_v2(dbPath.toUtf8().constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const QString message = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString();
        throw Error(QStringLiteral("la base de travail temporaire ne peut pas être ouverte (%1)").arg(message));
    }
    sqlite3_create_collation_v2(m_db, kCollation, SQLITE_UTF8, nullptr, jetCollation, nullptr);
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
    if (m_db)
        sqlite3_close_v2(m_db);
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
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const QString text = QString::fromUtf8(message ? message : sqlite3_errmsg(m_db));
        sqlite3_free(message);
        throw Error(QStringLiteral("erreur de la base de travail temporaire : %1").arg(text));
    }
}

void StagingDatabase::exec(const QString& sql) { exec(sql.toUtf8().constData()); }

void StagingDatabase::stage(const TableInfo& table)
{
    if (m_staged.contains(table.name))
        return;
    const QString what = QStringLiteral("de la table [%1]").arg(table.name);
    ReaderProcess reader({QStringLiteral("--table"), m_accessPath, table.name}, what);
    char tag = reader.tag();
    if (tag == ErrorRecord)
        reader.fail();
    if (tag != HeaderRecord)
        throw Error(QStringLiteral("le programme de lecture a renvoyé des données incohérentes"));
    const int columnCount = reader.u16();
    QStringList definitions;
    for (int i = 0; i < columnCount; ++i) {
        const QString name = reader.text();
        const auto type = static_cast<JetType>(reader.u8());
        definitions.append(quoteIdentifier(name) + QLatin1Char(' ') + declaredType(type));
    }
    reader.u32(); // the recorded row count: the reader itself checks it against the rows read

    exec("BEGIN");
    sqlite3_stmt* insert = nullptr;
    try {
        exec(QStringLiteral("CREATE TABLE %1 (%2)").arg(quoteIdentifier(table.name), definitions.join(QStringLiteral(", "))));
        QStringList placeholders;
        for (int i = 0; i < columnCount; ++i)
            placeholders.append(QStringLiteral("?"));
        const QByteArray insertSql = QStringLiteral("INSERT INTO %1 VALUES (%2)")
                                         .arg(quoteIdentifier(table.name), placeholders.join(QLatin1Char(',')))
                                         .toUtf8();
        if (columnCount > 0 && sqlite3_prepare_v2(m_db, insertSql.constData(), -1, &insert, nullptr) != SQLITE_OK)
            throw Error(QStringLiteral("erreur de la base de travail temporaire : %1").arg(QString::fromUtf8(sqlite3_errmsg(m_db))));
        for (;;) {
            tag = reader.tag();
            if (tag == EndRecord) {
                reader.u32();
                break;
            }
            if (tag == ErrorRecord)
                reader.fail();
            if (tag != RowRecord)
                throw Error(QStringLiteral("le programme de lecture a renvoyé des données incohérentes"));
            // The row stays in the reader's buffer until the statement has run: bound in place.
            const quint32 rowLength = reader.u32();
            RowCursor row(reader.block(rowLength), rowLength);
            for (int i = 1; i <= columnCount; ++i) {
                const quint8 valueTag = row.u8();
                int rc = SQLITE_OK;
                switch (valueTag) {
                case NullValue:
                    rc = sqlite3_bind_null(insert, i);
                    break;
                case IntegerValue:
                    rc = sqlite3_bind_int64(insert, i, row.i64());
                    break;
                case BooleanValue:
                    rc = sqlite3_bind_int(insert, i, row.u8() ? 1 : 0);
                    break;
                case DoubleValue:
                    rc = sqlite3_bind_double(insert, i, row.f64());
                    break;
                case CurrencyValue:
                    rc = sqlite3_bind_double(insert, i, static_cast<double>(row.i64()) / 10000.0);
                    break;
                case OleDateValue: {
                    qint64 ms = 0;
                    rc = oleToMilliseconds(row.f64(), &ms) ? sqlite3_bind_int64(insert, i, ms) : sqlite3_bind_null(insert, i);
                    break;
                }
                case TextValue:
                case BinaryValue: {
                    quint32 length = 0;
                    const char* p = row.bytes(&length);
                    rc = valueTag == TextValue ? sqlite3_bind_text64(insert, i, p, length, SQLITE_STATIC, SQLITE_UTF8)
                                               : sqlite3_bind_blob64(insert, i, p, length, SQLITE_STATIC);
                    break;
                }
                default:
                    throw Error(QStringLiteral("le programme de lecture a renvoyé des données incohérentes"));
                }
                if (rc != SQLITE_OK)
                    throw Error(QStringLiteral("erreur de la base de travail temporaire : %1").arg(QString::fromUtf8(sqlite3_errmsg(m_db))));
            }
            if (!row.atEnd())
                throw Error(QStringLiteral("le programme de lecture a renvoyé des données incohérentes"));
            if (columnCount > 0) {
                if (sqlite3_step(insert) != SQLITE_DONE)
                    throw Error(QStringLiteral("erreur de la base de travail temporaire : %1").arg(QString::fromUtf8(sqlite3_errmsg(m_db))));
                sqlite3_reset(insert);
            }
        }
        reader.finish();
        sqlite3_finalize(insert);
        insert = nullptr;
        exec("COMMIT");
    } catch (...) {
        sqlite3_finalize(insert);
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
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
