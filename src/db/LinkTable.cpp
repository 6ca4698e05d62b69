#include "db/LinkTable.h"

#include "db/Errors.h"
#include "db/ImportLog.h"
#include "db/Reporter.h"

#include <QDir>

#include <optional>

#include <sqlite3.h>

namespace vf {

namespace {

// One table per file. SOURCE is the rowid, so lookups and the order by SOURCE use the table's
// own b-tree and a duplicate SOURCE is refused by the primary key.
const char* const kCreate = "CREATE TABLE IF NOT EXISTS LINKS (SOURCE INTEGER PRIMARY KEY, DEST INTEGER NOT NULL)";
const char* const kFind = "SELECT SOURCE, DEST FROM LINKS WHERE SOURCE = ?1";
const char* const kInsert = "INSERT INTO LINKS (SOURCE, DEST) VALUES (?1, ?2)";
const char* const kCount = "SELECT COUNT(*) FROM LINKS";
const char* const kEmpty = "DELETE FROM LINKS";

class Statement {
public:
    Statement() = default;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { finalize(); }

    void prepare(sqlite3* db, const char* sql)
    {
        finalize();
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &m_statement, nullptr) != SQLITE_OK)
            throw Error(QString::fromUtf8(sqlite3_errmsg(db)));
    }
    void finalize()
    {
        sqlite3_finalize(m_statement);
        m_statement = nullptr;
    }
    sqlite3_stmt* get() const { return m_statement; }

private:
    sqlite3_stmt* m_statement = nullptr;
};

struct Pair {
    qint32 source;
    qint32 dest;
};

} // namespace

struct LinkTable::Private {
    QString folder;
    QString fileName;
    sqlite3* db = nullptr;
    Statement find, insert, count, empty;
    std::optional<Pair> current;

    QString path() const { return QDir(folder).filePath(fileName); }

    [[noreturn]] void fail(int code) const
    {
        const QString message = db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString::fromUtf8(sqlite3_errstr(code));
        throw Error(message + QStringLiteral(" (") + path() + u')');
    }

    void exec(const char* sql)
    {
        char* error = nullptr;
        if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            const QString message = QString::fromUtf8(error ? error : sqlite3_errmsg(db));
            sqlite3_free(error);
            throw Error(message + QStringLiteral(" (") + path() + u')');
        }
    }

    // Runs a statement expected to give at most one row; the statement is reset afterwards.
    std::optional<Pair> pairFrom(sqlite3_stmt* statement)
    {
        const int rc = sqlite3_step(statement);
        std::optional<Pair> result;
        if (rc == SQLITE_ROW)
            result = Pair{sqlite3_column_int(statement, 0), sqlite3_column_int(statement, 1)};
        sqlite3_reset(statement);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            fail(rc);
        return result;
    }

    void openFile()
    {
        const QByteArray file = QDir::toNativeSeparators(path()).toUtf8();
        const int rc = sqlite3_open_v2(file.constData(), &db,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc != SQLITE_OK)
            fail(rc);
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, 5000);
        // WAL: each recorded pair is one small commit. synchronous=NORMAL keeps every committed
        // pair when the program is killed or crashes (the WAL is written before the commit
        // returns); only a power failure may lose the last pairs.
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=NORMAL");
        exec(kCreate);
        find.prepare(db, kFind);
        insert.prepare(db, kInsert);
        count.prepare(db, kCount);
        empty.prepare(db, kEmpty);
    }

    void closeFile()
    {
        find.finalize();
        insert.finalize();
        count.finalize();
        empty.finalize();
        sqlite3_close_v2(db);
        db = nullptr;
        current.reset();
    }
};

LinkTable::LinkTable()
    : m_d(std::make_unique<Private>())
{
}

LinkTable::~LinkTable()
{
    close();
}

void LinkTable::open(const QString& folder, const QString& fileName)
{
    close();
    m_d->folder = folder;
    m_d->fileName = fileName;
    try {
        m_d->openFile();
    } catch (...) {
        m_d->closeFile();
        throw;
    }
}

void LinkTable::close()
{
    if (m_d->db)
        m_d->closeFile();
}

bool LinkTable::isOpen() const
{
    return m_d->db != nullptr;
}

QString LinkTable::fileName() const
{
    return m_d->fileName;
}

static void requireOpen(const LinkTable& table)
{
    if (!table.isOpen())
        throw Error(QStringLiteral("La table de liens %1 n'est pas ouverte.").arg(table.fileName()));
}

bool LinkTable::find(qint32 source)
{
    requireOpen(*this);
    sqlite3_stmt* statement = m_d->find.get();
    sqlite3_bind_int(statement, 1, source);
    const std::optional<Pair> found = m_d->pairFrom(statement);
    if (found)
        m_d->current = found;
    return found.has_value();
}

bool LinkTable::find(const QString& sourceText)
{
    requireOpen(*this);
    bool ok = false;
    const qint32 source = sourceText.trimmed().toInt(&ok, 10);
    return ok && find(source);
}

qint32 LinkTable::dest() const
{
    if (!m_d->current)
        throw Error(QStringLiteral("Aucun enregistrement courant dans la table de liens %1.").arg(m_d->fileName));
    return m_d->current->dest;
}

void LinkTable::record(qint32 source, qint32 dest)
{
    requireOpen(*this);
    sqlite3_stmt* statement = m_d->insert.get();
    sqlite3_bind_int(statement, 1, source);
    sqlite3_bind_int(statement, 2, dest);
    // Autocommit: the pair is committed when the step returns.
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    if (rc == SQLITE_CONSTRAINT_PRIMARYKEY)
        throw Error(QStringLiteral("Violation de clé : le code %1 est déjà présent dans la table de liens %2.")
                        .arg(source)
                        .arg(m_d->fileName));
    if (rc != SQLITE_DONE)
        m_d->fail(rc);
    m_d->current = Pair{source, dest};
}

void LinkTable::empty()
{
    requireOpen(*this);
    open(m_d->folder, m_d->fileName);
    sqlite3_stmt* statement = m_d->empty.get();
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    if (rc != SQLITE_DONE)
        m_d->fail(rc);
    m_d->current.reset();
}

int LinkTable::count() const
{
    requireOpen(*this);
    sqlite3_stmt* statement = m_d->count.get();
    const int rc = sqlite3_step(statement);
    const int n = rc == SQLITE_ROW ? sqlite3_column_int(statement, 0) : 0;
    sqlite3_reset(statement);
    if (rc != SQLITE_ROW)
        m_d->fail(rc);
    return n;
}

void OpenLinkTable(LinkTable& table, const QString& linksFolder, const QString& fileName, ImportLog& log,
                   Reporter& reporter)
{
    try {
        table.open(linksFolder, fileName);
        return;
    } catch (const Error&) {
    }
    const QString message = QStringLiteral("Erreur lors de la création de la table temporaire ") + fileName;
    try {
        log.WriteLog(message, reporter);
    } catch (const Error&) {
        // The box is shown and the program ends even when the log cannot be written.
    }
    reporter.errorBox(message);
    throw ProgramTermination{message};
}

} // namespace vf
