#include "links/LinkTable.h"

#include "base/Conversions.h"
#include "base/Errors.h"
#include "base/ImportLog.h"
#include "base/Reporter.h"
#include "destination/DestinationConnection.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QUrl>

#include <functional>
#include <optional>

#include <sqlite3.h>

namespace vf {

QString PendingPair::proofOf(const QString& text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex());
}

namespace {

// The pairs of one kind of record per file. SOURCE is the rowid, so lookups and the order by
// SOURCE use the table's own b-tree and a duplicate SOURCE is refused by the primary key.
const char* const kCreate = "CREATE TABLE IF NOT EXISTS LINKS (SOURCE INTEGER PRIMARY KEY, DEST INTEGER NOT NULL, "
                            "SOURCE_PRINT BLOB, DEST_PRINT INTEGER)";
// The pending pairs, with the destination row that settles each.
const char* const kCreatePending =
    "CREATE TABLE IF NOT EXISTS PENDING (SOURCE INTEGER PRIMARY KEY, DEST INTEGER NOT NULL, "
    "ROW_TABLE TEXT NOT NULL, ROW_ID_COLUMN TEXT NOT NULL, PROOF_COLUMN TEXT NOT NULL, PROOF TEXT NOT NULL, "
    "SOURCE_PRINT BLOB, DEST_PRINT INTEGER)";
const char* const kPairs = "SELECT SOURCE, DEST, SOURCE_PRINT, DEST_PRINT FROM LINKS";
const char* const kAddPending = "INSERT INTO PENDING VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";
const char* const kPending = "SELECT SOURCE, DEST, ROW_TABLE, ROW_ID_COLUMN, PROOF_COLUMN, PROOF, SOURCE_PRINT, DEST_PRINT "
                             "FROM PENDING ORDER BY SOURCE";
const char* const kPendingCodes = "SELECT SOURCE, DEST, SOURCE_PRINT, DEST_PRINT FROM PENDING";
const char* const kSettle = "INSERT INTO LINKS (SOURCE, DEST, SOURCE_PRINT, DEST_PRINT) "
                            "SELECT SOURCE, DEST, SOURCE_PRINT, DEST_PRINT FROM PENDING WHERE SOURCE = ?1";
const char* const kSettleAll = "INSERT INTO LINKS (SOURCE, DEST, SOURCE_PRINT, DEST_PRINT) "
                               "SELECT SOURCE, DEST, SOURCE_PRINT, DEST_PRINT FROM PENDING";
const char* const kSetPrints = "UPDATE LINKS SET SOURCE_PRINT = ?2, DEST_PRINT = ?3 WHERE SOURCE = ?1";
// The prints' columns, added to the tables of a file of an earlier format.
struct AddedColumn {
    const char* table;
    const char* column;
    const char* type;
};
const AddedColumn kPrintColumns[] = {{"LINKS", "SOURCE_PRINT", "BLOB"}, {"LINKS", "DEST_PRINT", "INTEGER"},
                                     {"PENDING", "SOURCE_PRINT", "BLOB"}, {"PENDING", "DEST_PRINT", "INTEGER"}};

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

QString newerFormatMessage(const QString& path, int version)
{
    return QStringLiteral("la table de liens %1 est d'un format plus récent (%2) que celui de ce programme (%3) : "
                          "utilisez la version du programme de fusion qui l'a écrite")
        .arg(QDir::toNativeSeparators(path))
        .arg(version)
        .arg(LinkTable::kFormatVersion);
}

} // namespace

struct LinkTable::Private {
    QString folder;
    QString fileName;
    sqlite3* db = nullptr;
    Statement addPending, pending, pendingCodes, settle, settleAll, setPrints;
    // The pairs, read when the file is opened: a record's lookup asks no file.
    QHash<qint32, qint32> pairs;
    QHash<qint32, PairPrints> prints; // of the pairs that have them
    int unprinted = 0;
    std::optional<Pair> current;
    // The pending pairs are all settled in memory, not yet in the file (settleLater).
    bool settleDue = false;

    QString path() const { return QDir(folder).filePath(fileName); }

    void keepSettled(const PendingPair& pair)
    {
        pairs.insert(pair.source, pair.dest);
        if (!pair.sourcePrint.isEmpty())
            prints.insert(pair.source, {pair.sourcePrint, pair.destPrint});
    }

    int lastCode = SQLITE_OK; // of the last failure

    [[noreturn]] void fail(int code)
    {
        lastCode = code;
        const QString message = db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString::fromUtf8(sqlite3_errstr(code));
        throw Error(message + QStringLiteral(" (") + path() + u')');
    }

    QString text(sqlite3_stmt* statement, int column) const
    {
        return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, column)),
                                 sqlite3_column_bytes(statement, column));
    }

    static QByteArray blob(sqlite3_stmt* statement, int column)
    {
        return QByteArray(static_cast<const char*>(sqlite3_column_blob(statement, column)),
                          sqlite3_column_bytes(statement, column));
    }

    // A row's SOURCE with its DEST and prints (columns 0 to 3) in memory.
    void keepPair(sqlite3_stmt* statement)
    {
        const qint32 source = sqlite3_column_int(statement, 0);
        pairs.insert(source, sqlite3_column_int(statement, 1));
        if (sqlite3_column_type(statement, 2) == SQLITE_NULL)
            return;
        prints.insert(source, {blob(statement, 2), quint64(sqlite3_column_int64(statement, 3))});
    }

    void bindText(sqlite3_stmt* statement, int index, const QString& value)
    {
        const QByteArray utf8 = value.toUtf8();
        sqlite3_bind_text(statement, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
    }

    // Runs a statement that gives no row; the statement is reset afterwards.
    void step(sqlite3_stmt* statement)
    {
        const int rc = sqlite3_step(statement);
        sqlite3_reset(statement);
        if (rc != SQLITE_DONE)
            fail(rc);
    }

    // Runs a group of changes in one commit, rolled back when one fails. A file or folder that
    // can no longer be written stops the run: every pair to come would fail the same way.
    template <typename F> void inTransaction(F&& changes)
    {
        try {
            exec("BEGIN IMMEDIATE");
            changes();
            exec("COMMIT");
        } catch (const Error& error) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            switch (lastCode & 0xff) {
            case SQLITE_IOERR:
            case SQLITE_FULL:
            case SQLITE_READONLY:
            case SQLITE_CANTOPEN:
            case SQLITE_CORRUPT:
            case SQLITE_NOTADB:
                throw RunCannotGoOn{QStringLiteral("Les tables de liens du dossier %1 ne peuvent plus être écrites (%2) : "
                                                   "les enregistrements restants n'ont pas été importés.")
                                        .arg(QDir::toNativeSeparators(folder), error.message())};
            default:
                throw;
            }
        }
    }

    int formatVersion()
    {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &statement, nullptr) != SQLITE_OK)
            fail(SQLITE_ERROR);
        const int version = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int(statement, 0) : 0;
        sqlite3_finalize(statement);
        return version;
    }

    void exec(const char* sql)
    {
        char* error = nullptr;
        const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &error);
        if (rc != SQLITE_OK) {
            lastCode = sqlite3_extended_errcode(db);
            const QString message = QString::fromUtf8(error ? error : sqlite3_errmsg(db));
            sqlite3_free(error);
            throw Error(message + QStringLiteral(" (") + path() + u')');
        }
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
        // The format is read before anything is written: a file of a newer program stays as it is.
        const int version = formatVersion();
        if (version > kFormatVersion)
            throw NewerFormat(newerFormatMessage(path(), version));
        // WAL, synced at each commit: every commit but the last of a phase makes pending pairs
        // whose rows the destination commits next, so it must be on the disk before that. Were
        // it only written (synchronous=NORMAL), a killed program would lose nothing, but a power
        // cut could take pending pairs whose rows the destination keeps: those records would be
        // imported twice.
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=FULL");
        if (version < kFormatVersion) {
            // A file made by an earlier version holds its pairs only (format 1) or lacks the
            // prints (format 2): the pending table and the prints' columns are added, every pair
            // kept.
            inTransaction([this] {
                exec(kCreate);
                exec(kCreatePending);
                for (const AddedColumn& added : kPrintColumns)
                    if (!hasColumn(added.table, added.column))
                        exec((std::string("ALTER TABLE ") + added.table + " ADD COLUMN " + added.column + ' ' + added.type).c_str());
                exec(("PRAGMA user_version=" + std::to_string(kFormatVersion)).c_str());
            });
        }
        addPending.prepare(db, kAddPending);
        pending.prepare(db, kPending);
        pendingCodes.prepare(db, kPendingCodes);
        settle.prepare(db, kSettle);
        settleAll.prepare(db, kSettleAll);
        setPrints.prepare(db, kSetPrints);
        Statement read;
        read.prepare(db, kPairs);
        int stepped = SQLITE_ROW;
        while ((stepped = sqlite3_step(read.get())) == SQLITE_ROW)
            keepPair(read.get());
        if (stepped != SQLITE_DONE)
            fail(stepped);
        unprinted = int(pairs.size() - prints.size());
    }

    // Whether the file's table has that column.
    bool hasColumn(const char* table, const char* column)
    {
        sqlite3_stmt* statement = nullptr;
        const std::string sql = std::string("SELECT 1 FROM pragma_table_info('") + table + "') WHERE name = '" + column + "'";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
            fail(SQLITE_ERROR);
        const bool found = sqlite3_step(statement) == SQLITE_ROW;
        sqlite3_finalize(statement);
        return found;
    }

    // The pairs that settleLater left for the next commit, written inside it.
    void writeDueSettlement()
    {
        if (settleDue)
            step(settleAll.get());
    }

    void closeFile()
    {
        if (settleDue) {
            try {
                inTransaction([this] {
                    writeDueSettlement();
                    exec("DELETE FROM PENDING");
                });
            } catch (...) {
                // Left pending: the next run finds their rows in the destination and settles them.
            }
        }
        settleDue = false;
        for (Statement* statement : {&addPending, &pending, &pendingCodes, &settle, &settleAll, &setPrints})
            statement->finalize();
        pairs.clear();
        prints.clear();
        unprinted = 0;
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
    const auto found = m_d->pairs.constFind(source);
    if (found == m_d->pairs.constEnd())
        return false;
    m_d->current = Pair{source, *found};
    return true;
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

void LinkTable::addPending(const QList<PendingPair>& pairs)
{
    requireOpen(*this);
    const auto duplicate = [this](qint32 source) {
        return Error(QStringLiteral("Violation de clé : le code %1 est déjà présent dans la table de liens %2.")
                         .arg(source)
                         .arg(m_d->fileName));
    };
    m_d->inTransaction([&] {
        if (m_d->settleDue) {
            m_d->writeDueSettlement();
            m_d->exec("DELETE FROM PENDING");
        }
        for (const PendingPair& pair : pairs) {
            if (m_d->pairs.contains(pair.source))
                throw duplicate(pair.source);
            sqlite3_stmt* statement = m_d->addPending.get();
            sqlite3_bind_int(statement, 1, pair.source);
            sqlite3_bind_int(statement, 2, pair.dest);
            m_d->bindText(statement, 3, pair.table);
            m_d->bindText(statement, 4, pair.idColumn);
            m_d->bindText(statement, 5, pair.proofColumn);
            m_d->bindText(statement, 6, pair.proof);
            if (pair.sourcePrint.isEmpty()) {
                sqlite3_bind_null(statement, 7);
                sqlite3_bind_null(statement, 8);
            } else {
                sqlite3_bind_blob(statement, 7, pair.sourcePrint.constData(), int(pair.sourcePrint.size()), SQLITE_TRANSIENT);
                sqlite3_bind_int64(statement, 8, sqlite3_int64(pair.destPrint));
            }
            const int rc = sqlite3_step(statement);
            sqlite3_reset(statement);
            if (rc == SQLITE_CONSTRAINT_PRIMARYKEY)
                throw duplicate(pair.source);
            if (rc != SQLITE_DONE)
                m_d->fail(rc);
        }
    });
    m_d->settleDue = false;
}

QList<PendingPair> LinkTable::pending() const
{
    requireOpen(*this);
    QList<PendingPair> pairs;
    sqlite3_stmt* statement = m_d->pending.get();
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
        pairs.append({sqlite3_column_int(statement, 0), sqlite3_column_int(statement, 1), m_d->text(statement, 2),
                      m_d->text(statement, 3), m_d->text(statement, 4), m_d->text(statement, 5),
                      Private::blob(statement, 6), quint64(sqlite3_column_int64(statement, 7))});
    sqlite3_reset(statement);
    if (rc != SQLITE_DONE)
        m_d->fail(rc);
    return pairs;
}

void LinkTable::settle(const QList<qint32>& done)
{
    requireOpen(*this);
    const QList<PendingPair> waiting = pending();
    m_d->inTransaction([&] {
        m_d->writeDueSettlement();
        for (const qint32 source : done) {
            sqlite3_bind_int(m_d->settle.get(), 1, source);
            m_d->step(m_d->settle.get());
        }
        m_d->exec("DELETE FROM PENDING");
    });
    m_d->settleDue = false;
    for (const PendingPair& pair : waiting)
        if (done.contains(pair.source))
            m_d->keepSettled(pair);
}

void LinkTable::settleAll()
{
    requireOpen(*this);
    const QList<PendingPair> waiting = pending();
    m_d->inTransaction([&] {
        m_d->step(m_d->settleAll.get());
        m_d->exec("DELETE FROM PENDING");
    });
    m_d->settleDue = false;
    for (const PendingPair& pair : waiting)
        m_d->keepSettled(pair);
}

void LinkTable::settleLater()
{
    requireOpen(*this);
    // The codes only: what settles each pair is not needed to count it as a pair.
    sqlite3_stmt* statement = m_d->pendingCodes.get();
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
        m_d->keepPair(statement);
    sqlite3_reset(statement);
    if (rc != SQLITE_DONE)
        m_d->fail(rc);
    m_d->settleDue = true;
}

void LinkTable::empty()
{
    requireOpen(*this);
    open(m_d->folder, m_d->fileName);
    m_d->inTransaction([&] {
        m_d->exec("DELETE FROM LINKS");
        m_d->exec("DELETE FROM PENDING");
    });
    m_d->pairs.clear();
    m_d->prints.clear();
    m_d->unprinted = 0;
    m_d->current.reset();
}

void LinkTable::forget(const QList<qint32>& sources)
{
    requireOpen(*this);
    Statement remove;
    remove.prepare(m_d->db, "DELETE FROM LINKS WHERE SOURCE = ?1");
    m_d->inTransaction([&] {
        if (m_d->settleDue) {
            m_d->writeDueSettlement();
            m_d->exec("DELETE FROM PENDING");
        }
        for (const qint32 source : sources) {
            sqlite3_bind_int(remove.get(), 1, source);
            m_d->step(remove.get());
        }
    });
    m_d->settleDue = false;
    for (const qint32 source : sources) {
        if (m_d->pairs.remove(source) && !m_d->prints.remove(source))
            --m_d->unprinted;
    }
    m_d->current.reset();
}

PairPrints LinkTable::prints(qint32 source) const
{
    return m_d->prints.value(source);
}

int LinkTable::unprintedCount() const
{
    return m_d->unprinted;
}

void LinkTable::setPrints(const QList<std::pair<qint32, PairPrints>>& prints)
{
    requireOpen(*this);
    if (prints.isEmpty())
        return;
    m_d->inTransaction([&] {
        if (m_d->settleDue) {
            m_d->writeDueSettlement();
            m_d->exec("DELETE FROM PENDING");
        }
        for (const auto& [source, print] : prints) {
            sqlite3_stmt* statement = m_d->setPrints.get();
            sqlite3_bind_int(statement, 1, source);
            sqlite3_bind_blob(statement, 2, print.source.constData(), int(print.source.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(statement, 3, sqlite3_int64(print.dest));
            m_d->step(statement);
        }
    });
    m_d->settleDue = false;
    for (const auto& [source, print] : prints)
        m_d->prints.insert(source, print);
}

int LinkTable::count() const
{
    requireOpen(*this);
    return int(m_d->pairs.size());
}

LinkTableContents readLinkTable(const QString& folder, const QString& fileName)
{
    LinkTableContents contents;
    const QString path = QDir(folder).filePath(fileName);
    if (!QFileInfo(path).isFile())
        return contents;
    sqlite3* db = nullptr;
    const auto fail = [&] {
        const QString message = QString::fromUtf8(db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close_v2(db);
        throw Error(message + QStringLiteral(" (") + path + u')');
    };
    // Without a write-ahead log beside it, the file holds every commit: it is read as an
    // immutable file, which creates no side file and takes no lock (the run, which alone
    // writes it, is kept out by the lock of LinksTables). A log left by a program that died
    // holds commits too: the file is then read through it, read only.
    const bool logged = QFileInfo::exists(path + QStringLiteral("-wal"));
    const QByteArray uri = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toEncoded()
                           + (logged ? "?mode=ro" : "?immutable=1");
    if (sqlite3_open_v2(uri.constData(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK)
        fail();
    sqlite3_busy_timeout(db, 5000);
    const auto read = [&](const char* sql, const std::function<void(sqlite3_stmt*)>& row) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK)
            fail();
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
            row(statement);
        sqlite3_finalize(statement);
        if (rc != SQLITE_DONE)
            fail();
    };
    int version = 0;
    read("PRAGMA user_version", [&](sqlite3_stmt* row) { version = sqlite3_column_int(row, 0); });
    if (version > LinkTable::kFormatVersion) {
        sqlite3_close_v2(db);
        throw NewerFormat(newerFormatMessage(path, version));
    }
    QStringList tables;
    read("SELECT name FROM sqlite_master WHERE type = 'table'",
         [&](sqlite3_stmt* row) { tables.append(QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(row, 0)))); });
    if (tables.contains(QStringLiteral("LINKS")))
        read(version >= 3 ? kPairs : "SELECT SOURCE, DEST FROM LINKS", [&](sqlite3_stmt* row) {
            contents.pairs.insert(sqlite3_column_int(row, 0), sqlite3_column_int(row, 1));
            if (version >= 3 && sqlite3_column_type(row, 2) != SQLITE_NULL)
                contents.sourcePrints.insert(sqlite3_column_int(row, 0),
                                             QByteArray(static_cast<const char*>(sqlite3_column_blob(row, 2)),
                                                        sqlite3_column_bytes(row, 2)));
        });
    if (tables.contains(QStringLiteral("PENDING")))
        read("SELECT SOURCE, DEST FROM PENDING",
             [&](sqlite3_stmt* row) { contents.pending.insert(sqlite3_column_int(row, 0), sqlite3_column_int(row, 1)); });
    sqlite3_close_v2(db);
    return contents;
}

void settlePending(LinkTable& table, DestinationConnection& destination, Reporter& reporter)
{
    const QList<PendingPair> pending = table.pending();
    if (pending.isEmpty())
        return;
    QList<qint32> done;
    const auto drop = [&](const PendingPair& pair, const QString& why) {
        reporter.appendLine(QStringLiteral("Paire en attente abandonnée dans la table de liens %1 (code %2, ligne %3 %4=%5) : %6")
                                .arg(table.fileName())
                                .arg(pair.source)
                                .arg(pair.table, pair.idColumn)
                                .arg(pair.dest)
                                .arg(why));
    };
    for (const PendingPair& pair : pending) {
        if (table.find(pair.source)) {
            // Left by a second program that ran at the same time: the row it wrote is a duplicate.
            drop(pair, QStringLiteral("le code a déjà sa paire (%1) ; la ligne nommée est un doublon à vérifier")
                           .arg(table.dest()));
            continue;
        }
        const bool proven = !pair.proofColumn.isEmpty();
        const QString column = proven ? pair.proofColumn : pair.idColumn;
        if (!isPlainIdentifier(pair.table) || !isPlainIdentifier(pair.idColumn) || !isPlainIdentifier(column)) {
            drop(pair, QStringLiteral("la ligne ne peut pas être vérifiée"));
            continue;
        }
        try {
            DestQuery row(destination, QStringLiteral("SELECT ") + column + QStringLiteral(" FROM ") + pair.table
                                           + QStringLiteral(" WHERE ") + pair.idColumn + QStringLiteral("=?"));
            row.bindAll({pair.dest});
            row.open();
            if (!row.eof() && (!proven || PendingPair::proofOf(row.value(0).toString()) == pair.proof))
                done.append(pair.source);
            row.close();
        } catch (const Error& error) {
            drop(pair, QStringLiteral("la ligne ne peut pas être vérifiée (%1)").arg(error.message()));
        }
    }
    table.settle(done);
}

void OpenLinkTable(LinkTable& table, const QString& linksFolder, const QString& fileName, ImportLog& log,
                   Reporter& reporter)
{
    QString message = QStringLiteral("Erreur lors de la création de la table temporaire ") + fileName;
    try {
        table.open(linksFolder, fileName);
        return;
    } catch (const NewerFormat& newer) {
        message += QLatin1Char('\n') + newer.message();
    } catch (const Error&) {
    }
    try {
        log.WriteLog(message, reporter);
    } catch (const Error&) {
        // The box is shown and the program ends even when the log cannot be written.
    }
    reporter.errorBox(message);
    throw ProgramTermination{message};
}

} // namespace vf
