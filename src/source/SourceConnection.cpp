#include "source/SourceConnection.h"

#include "base/Errors.h"
#include "source/SourceStatement.h"
#include "source/SqliteHandles.h"
#include "source/StagingDatabase.h"

#include <QFileInfo>
#include <QHash>
#include <QList>
#include <QLocale>

#include <sqlite3.h>

#include <cmath>
#include <limits>

namespace vf {

using staging::StagingDatabase;
using staging::TableInfo;

namespace {

const QDateTime& oleEpoch()
{
    static const QDateTime epoch(QDate(1899, 12, 30), QTime(0, 0), Qt::UTC);
    return epoch;
}

QDateTime dateTimeFromMilliseconds(qint64 ms) { return oleEpoch().addMSecs(ms); }

qint64 millisecondsFromDateTime(const QDateTime& value)
{
    // Naive date-times: the fields as written, whatever time zone the value carries.
    const QDateTime naive(value.date(), value.time(), Qt::UTC);
    return oleEpoch().msecsTo(naive);
}

QString sqliteMessage(sqlite3* db) { return QString::fromUtf8(sqlite3_errmsg(db)); }

// Rows that open() reads ahead to learn the row count without a second pass; beyond either
// limit the count is asked of SQLite instead.
constexpr int kReadAheadRows = 256;
constexpr qint64 kReadAheadBytes = 4 << 20;

enum class ColumnKind { Plain, DateTime, Boolean, Decimal };

ColumnKind kindOfDeclaredType(const char* declared)
{
    if (!declared)
        return ColumnKind::Plain;
    const QByteArray type = QByteArray(declared).toUpper();
    if (type == "DATETIME")
        return ColumnKind::DateTime;
    if (type == "BOOLEAN")
        return ColumnKind::Boolean;
    if (type == "MONEY" || type == "DECIMAL")
        return ColumnKind::Decimal;
    return ColumnKind::Plain;
}

} // namespace

QDateTime dateTimeFromOle(double oleDate)
{
    qint64 ms = 0;
    if (!staging::oleToMilliseconds(oleDate, &ms))
        return QDateTime();
    return dateTimeFromMilliseconds(ms);
}

double oleFromDateTime(const QDateTime& dateTime)
{
    return staging::millisecondsToOle(millisecondsFromDateTime(dateTime));
}

// ---------------------------------------------------------------------------------------------

struct SourceConnection::Private {
    std::unique_ptr<StagingDatabase> staging;
    QString path;
    QList<SourceQuery::Private*> queries;

    void releaseQueries();
};

struct SourceQuery::Private {
    SourceConnection* connection = nullptr;
    QString sql;
    QHash<QString, QVariant> params; // by case-folded name

    // The prepared statement, kept across open() and close() while the text is unchanged.
    SqliteStatement stmt;
    SqliteStatement countStmt;
    QString countSql;
    QHash<QString, QList<int>> paramIndexes; // case-folded name -> bind positions
    QStringList columnNames;
    std::shared_ptr<SourceColumns> columns = std::make_shared<SourceColumns>();
    QList<ColumnKind> columnKinds;

    bool open = false;
    int recordCount = 0;
    QList<QList<QVariant>> readAhead;
    int readAheadPos = 0;
    bool live = false; // the current row is the statement's own
    bool atEnd = true;

    ~Private() { release(); }

    void release()
    {
        stmt.reset();
        countStmt.reset();
        open = false;
        readAhead.clear();
        atEnd = true;
        live = false;
    }

    sqlite3* db() const
    {
        if (!connection || !connection->isOpen())
            throw Error(QStringLiteral("la connexion à la base Access n'est pas ouverte"));
        return connection->d()->staging->handle();
    }

    void prepare();
    void bind(sqlite3_stmt* statement);
    QVariant columnValue(int position) const;
    const QVariant& current(int position) const;
    int positionOf(const QString& column) const;
};

void SourceConnection::Private::releaseQueries()
{
    for (SourceQuery::Private* query : queries)
        query->release();
}

SourceConnection::SourceConnection() : m_d(std::make_unique<Private>()) {}

SourceConnection::~SourceConnection()
{
    close();
    for (SourceQuery::Private* query : m_d->queries)
        query->connection = nullptr;
}

QString SourceConnection::connectionString(const QString& v3Path)
{
    return QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;User ID=Admin;Data Source=") + v3Path
        + QStringLiteral(";Mode=Share Deny None;Jet OLEDB:System database=\"\";Jet OLEDB:Registry Path=\"\";"
                         "Jet OLEDB:Database Password=\"\";Jet OLEDB:Engine Type=5;Jet OLEDB:Database Locking Mode=1;"
                         "Jet OLEDB:Global Partial Bulk Ops=2;Jet OLEDB:Global Bulk Transactions=1;")
        + QStringLiteral("Jet OLEDB:New Database Password=\"\";Jet OLEDB:Create System Database=False;")
        + QStringLiteral("Jet OLEDB:Encrypt Database=False;Jet OLEDB:Don't Copy Locale on Compact=False;"
                         "Jet OLEDB:Compact Without Replica Repair=False;Jet OLEDB:SFP=False;");
}

void SourceConnection::open(const QString& mdbPath)
{
    close();
    removeStaleStagingFolders();
    if (mdbPath.trimmed().isEmpty())
        throw Error(QStringLiteral("aucun fichier n'est indiqué"));
    const QFileInfo info(mdbPath);
    if (!info.exists())
        throw Error(QStringLiteral("le fichier est introuvable"));
    if (!info.isFile())
        throw Error(QStringLiteral("le chemin ne désigne pas un fichier"));
    m_d->staging = std::make_unique<StagingDatabase>(info.absoluteFilePath());
    m_d->path = mdbPath;
}

void SourceConnection::close()
{
    m_d->releaseQueries();
    m_d->staging.reset();
    m_d->path.clear();
}

bool SourceConnection::isOpen() const { return m_d->staging != nullptr; }

void SourceConnection::removeStaleStagingFolders() { StagingDatabase::removeStaleFolders(); }

QStringList SourceConnection::tableNames() const
{
    return m_d->staging ? m_d->staging->tableNames() : QStringList();
}

QString SourceConnection::stagingFolder() const
{
    return m_d->staging ? m_d->staging->folder() : QString();
}

void SourceConnection::setStagingProgram(const QString& path) { StagingDatabase::setReaderProgram(path); }

void SourceConnection::setBuiltStagingProgram(const QString& path) { StagingDatabase::setBuiltReaderProgram(path); }

QString SourceConnection::stagingProgram() { return StagingDatabase::readerProgram(); }

void SourceConnection::setStagingTimeout(int milliseconds) { StagingDatabase::setReaderTimeout(milliseconds); }

// ---------------------------------------------------------------------------------------------

namespace {

// The tables that a statement names, in its order (null for a name the file does not hold), and
// the indexes that its filters, joins and order need.
struct StatementNeeds {
    QList<const TableInfo*> tables;
    QList<std::pair<const TableInfo*, QStringList>> indexes;
};

StatementNeeds needsOf(const StagingDatabase& staging, const source::StatementShape& shape)
{
    StatementNeeds needs;
    for (const source::TableReference& reference : shape.tables)
        needs.tables.append(staging.findTable(reference.name));
    if (needs.tables.contains(nullptr))
        return needs;
    const auto tableOf = [&](const source::ColumnReference& column) -> const TableInfo* {
        for (int i = 0; i < shape.tables.size(); ++i) {
            if (column.qualifier.isEmpty()) {
                if (needs.tables[i]->columnIndex(column.column) >= 0)
                    return needs.tables[i];
            } else if (shape.tables[i].alias.compare(column.qualifier, Qt::CaseInsensitive) == 0
                       || (shape.tables[i].alias.isEmpty()
                           && needs.tables[i]->name.compare(column.qualifier, Qt::CaseInsensitive) == 0)) {
                return needs.tables[i];
            }
        }
        return nullptr;
    };
    QHash<const TableInfo*, QStringList> filters;
    QHash<const TableInfo*, QStringList> orders;
    for (const source::ColumnReference& column : shape.filterColumns)
        if (const TableInfo* table = tableOf(column))
            filters[table].append(column.column);
    for (const source::ColumnReference& column : shape.orderColumns)
        if (const TableInfo* table = tableOf(column))
            orders[table].append(column.column);
    if (needs.tables.size() == 1) {
        // One table: one index serves both the lookup and the order of its rows.
        needs.indexes.append({needs.tables[0], filters.value(needs.tables[0]) + orders.value(needs.tables[0])});
    } else {
        for (auto it = filters.cbegin(); it != filters.cend(); ++it)
            for (const QString& column : it.value())
                needs.indexes.append({it.key(), {column}});
        if (orders.size() == 1)
            needs.indexes.append({orders.cbegin().key(), orders.cbegin().value()});
    }
    return needs;
}

// The needs of statements, as the staging copies them ahead.
QList<staging::StagingNeed> stagingNeeds(const StagingDatabase& staging, const QStringList& statements)
{
    QList<staging::StagingNeed> needs;
    for (const QString& sql : statements) {
        const StatementNeeds of = needsOf(staging, source::shapeOf(source::tokenize(sql)));
        for (const TableInfo* table : of.tables)
            if (table)
                needs.append({table->name, {}});
        for (const auto& [table, columns] : of.indexes)
            needs.append({table->name, columns});
    }
    return needs;
}

} // namespace

void SourceConnection::stageAhead(const QStringList& statements)
{
    if (m_d->staging)
        m_d->staging->stageAhead(stagingNeeds(*m_d->staging, statements));
}

void SourceConnection::awaitStaging(const QStringList& statements)
{
    if (m_d->staging)
        m_d->staging->awaitAhead(stagingNeeds(*m_d->staging, statements));
}

void SourceQuery::Private::prepare()
{
    sqlite3* handle = db();
    StagingDatabase& staging = *connection->d()->staging;

    // Stage every table the statement names, give it the indexes its filters, joins and order
    // need, and point the statement at the staged names.
    QList<source::Token> tokens = source::tokenize(sql);
    const source::StatementShape shape = source::shapeOf(tokens);
    const StatementNeeds needs = needsOf(staging, shape);
    for (int i = 0; i < shape.tables.size(); ++i) {
        if (!needs.tables[i])
            throw Error(QStringLiteral("la table [%1] n'existe pas dans la base Access").arg(shape.tables[i].name));
        staging.stage(*needs.tables[i]);
        tokens[shape.tables[i].token].text = staging::quoteIdentifier(needs.tables[i]->name);
    }
    for (const auto& [table, columns] : needs.indexes)
        staging.ensureIndex(*table, columns);

    QString rewritten;
    for (const source::Token& token : tokens) {
        if (token.kind == source::Token::String) {
            QString literal = token.value;
            literal.replace(QLatin1Char('\''), QLatin1String("''"));
            rewritten += QLatin1Char('\'') + literal + QLatin1Char('\'');
        } else {
            rewritten += token.text;
        }
    }

    const QByteArray utf8 = rewritten.toUtf8();
    stmt = prepareSqlite(handle, utf8.constData(), static_cast<int>(utf8.size()));
    if (!stmt)
        throw Error(QStringLiteral("instruction incorrecte (%1) : %2").arg(sqliteMessage(handle), sql));
    countSql = QStringLiteral("SELECT count(*) FROM (") + rewritten + QStringLiteral("\n)");

    paramIndexes.clear();
    for (int i = 1; i <= sqlite3_bind_parameter_count(stmt.get()); ++i) {
        const char* name = sqlite3_bind_parameter_name(stmt.get(), i);
        if (name && (name[0] == ':' || name[0] == '@' || name[0] == '$'))
            paramIndexes[QString::fromUtf8(name + 1).toCaseFolded()].append(i);
    }
    columnNames.clear();
    auto byName = std::make_shared<SourceColumns>();
    columnKinds.clear();
    for (int i = 0; i < sqlite3_column_count(stmt.get()); ++i) {
        const QString name = QString::fromUtf8(sqlite3_column_name(stmt.get(), i));
        columnNames.append(name);
        columnKinds.append(kindOfDeclaredType(sqlite3_column_decltype(stmt.get(), i)));
    }
    // The first of two columns of the same name wins.
    for (int i = columnNames.size() - 1; i >= 0; --i) {
        byName->folded.insert(columnNames[i].toCaseFolded(), i);
        byName->exact.insert(columnNames[i], i);
    }
    columns = std::move(byName);
}

void SourceQuery::Private::bind(sqlite3_stmt* statement)
{
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    for (auto it = paramIndexes.cbegin(); it != paramIndexes.cend(); ++it) {
        const QVariant value = params.value(it.key());
        for (int index : it.value()) {
            int rc = SQLITE_OK;
            if (!value.isValid() || value.isNull()) {
                rc = sqlite3_bind_null(statement, index);
            } else {
                switch (value.typeId()) {
                case QMetaType::Bool:
                    rc = sqlite3_bind_int(statement, index, value.toBool() ? 1 : 0);
                    break;
                case QMetaType::Int:
                case QMetaType::UInt:
                case QMetaType::Long:
                case QMetaType::LongLong:
                case QMetaType::Short:
                case QMetaType::UShort:
                case QMetaType::Char:
                case QMetaType::SChar:
                case QMetaType::UChar:
                    rc = sqlite3_bind_int64(statement, index, value.toLongLong());
                    break;
                case QMetaType::ULong:
                case QMetaType::ULongLong:
                    rc = sqlite3_bind_int64(statement, index, static_cast<qint64>(value.toULongLong()));
                    break;
                case QMetaType::Double:
                case QMetaType::Float:
                    rc = sqlite3_bind_double(statement, index, value.toDouble());
                    break;
                case QMetaType::QDateTime:
                    rc = sqlite3_bind_int64(statement, index, millisecondsFromDateTime(value.toDateTime()));
                    break;
                case QMetaType::QDate:
                    rc = sqlite3_bind_int64(statement, index, millisecondsFromDateTime(QDateTime(value.toDate(), QTime(0, 0), Qt::UTC)));
                    break;
                case QMetaType::QByteArray: {
                    const QByteArray bytes = value.toByteArray();
                    rc = sqlite3_bind_blob64(statement, index, bytes.constData(), static_cast<sqlite3_uint64>(bytes.size()), SQLITE_TRANSIENT);
                    break;
                }
                default: {
                    const QByteArray text = value.toString().toUtf8();
                    rc = sqlite3_bind_text64(statement, index, text.constData(), static_cast<sqlite3_uint64>(text.size()), SQLITE_TRANSIENT, SQLITE_UTF8);
                    break;
                }
                }
            }
            if (rc != SQLITE_OK)
                throw Error(QStringLiteral("paramètre %1 incorrect : %2").arg(it.key(), sqliteMessage(db())));
        }
    }
}

QVariant SourceQuery::Private::columnValue(int position) const
{
    switch (sqlite3_column_type(stmt.get(), position)) {
    case SQLITE_NULL:
        return QVariant();
    case SQLITE_INTEGER: {
        const qint64 v = sqlite3_column_int64(stmt.get(), position);
        switch (columnKinds[position]) {
        case ColumnKind::DateTime:
            return dateTimeFromMilliseconds(v);
        case ColumnKind::Boolean:
            return QVariant(v != 0);
        case ColumnKind::Decimal:
            return QVariant(static_cast<double>(v));
        case ColumnKind::Plain:
            break;
        }
        if (v >= std::numeric_limits<qint32>::min() && v <= std::numeric_limits<qint32>::max())
            return QVariant(static_cast<qint32>(v));
        return QVariant(v);
    }
    case SQLITE_FLOAT:
        return QVariant(sqlite3_column_double(stmt.get(), position));
    case SQLITE_TEXT: {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), position));
        return QVariant(QString::fromUtf8(p, sqlite3_column_bytes(stmt.get(), position)));
    }
    default: {
        const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt.get(), position));
        return QVariant(QByteArray(p, sqlite3_column_bytes(stmt.get(), position)));
    }
    }
}

int SourceQuery::Private::positionOf(const QString& column) const
{
    if (!open)
        throw Error(QStringLiteral("le jeu de données n'est pas ouvert"));
    return columns->positionOf(column);
}

int SourceColumns::positionOf(const QString& column) const
{
    const auto found = exact.constFind(column);
    if (found != exact.constEnd())
        return *found;
    const auto it = folded.constFind(column.toCaseFolded());
    if (it == folded.constEnd())
        throw Error(QStringLiteral("le champ « %1 » est introuvable").arg(column));
    return *it;
}

// ---------------------------------------------------------------------------------------------

SourceQuery::SourceQuery(SourceConnection& connection, const QString& sql) : m_d(std::make_unique<Private>())
{
    m_d->connection = &connection;
    m_d->sql = sql;
    connection.d()->queries.append(m_d.get());
}

SourceQuery::~SourceQuery()
{
    if (m_d->connection)
        m_d->connection->d()->queries.removeOne(m_d.get());
}

void SourceQuery::setSql(const QString& sql)
{
    m_d->release();
    m_d->sql = sql;
}

QString SourceQuery::sql() const { return m_d->sql; }

void SourceQuery::setParam(const QString& name, const QVariant& value)
{
    QString key = name;
    if (key.startsWith(QLatin1Char(':')))
        key.remove(0, 1);
    m_d->params.insert(key.toCaseFolded(), value);
}

void SourceQuery::open()
{
    close();
    Private& d = *m_d;
    if (d.sql.trimmed().isEmpty())
        throw Error(QStringLiteral("le jeu de données n'a pas d'instruction"));
    sqlite3* handle = d.db();
    if (!d.stmt)
        d.prepare();
    d.bind(d.stmt.get());

    // Read ahead: a small result is counted as it is read; a large one is counted by SQLite.
    qint64 bytes = 0;
    int rc = SQLITE_ROW;
    while (d.readAhead.size() < kReadAheadRows && bytes < kReadAheadBytes) {
        rc = sqlite3_step(d.stmt.get());
        if (rc != SQLITE_ROW)
            break;
        QList<QVariant> row;
        row.reserve(d.columnNames.size());
        for (int i = 0; i < d.columnNames.size(); ++i) {
            const int type = sqlite3_column_type(d.stmt.get(), i);
            row.append(d.columnValue(i));
            if (type == SQLITE_TEXT || type == SQLITE_BLOB)
                bytes += sqlite3_column_bytes(d.stmt.get(), i);
        }
        d.readAhead.append(std::move(row));
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        const QString message = sqliteMessage(handle);
        d.release();
        throw Error(QStringLiteral("erreur de lecture : %1").arg(message));
    }
    if (rc == SQLITE_DONE) {
        d.recordCount = static_cast<int>(d.readAhead.size());
        sqlite3_reset(d.stmt.get());
    } else {
        if (!d.countStmt) {
            const QByteArray countUtf8 = d.countSql.toUtf8();
            d.countStmt = prepareSqlite(handle, countUtf8.constData());
            if (!d.countStmt) {
                const QString message = sqliteMessage(handle);
                d.release();
                throw Error(QStringLiteral("erreur de lecture : %1").arg(message));
            }
        }
        d.bind(d.countStmt.get());
        if (sqlite3_step(d.countStmt.get()) != SQLITE_ROW) {
            const QString message = sqliteMessage(handle);
            d.release();
            throw Error(QStringLiteral("erreur de lecture : %1").arg(message));
        }
        d.recordCount = static_cast<int>(sqlite3_column_int64(d.countStmt.get(), 0));
        sqlite3_reset(d.countStmt.get());
    }
    d.open = true;
    d.readAheadPos = 0;
    d.live = false;
    d.atEnd = d.readAhead.isEmpty();
}

void SourceQuery::openUncounted()
{
    close();
    Private& d = *m_d;
    if (d.sql.trimmed().isEmpty())
        throw Error(QStringLiteral("le jeu de données n'a pas d'instruction"));
    if (!d.stmt)
        d.prepare();
    d.bind(d.stmt.get());
    const int rc = sqlite3_step(d.stmt.get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        const QString message = sqliteMessage(d.db());
        d.release();
        throw Error(QStringLiteral("erreur de lecture : %1").arg(message));
    }
    d.recordCount = 0;
    d.open = true;
    d.readAheadPos = 0;
    d.live = rc == SQLITE_ROW;
    d.atEnd = !d.live;
}

void SourceQuery::close()
{
    Private& d = *m_d;
    if (d.stmt)
        sqlite3_reset(d.stmt.get());
    d.open = false;
    d.readAhead.clear();
    d.readAheadPos = 0;
    d.live = false;
    d.atEnd = true;
    d.recordCount = 0;
}

bool SourceQuery::isOpen() const { return m_d->open; }

int SourceQuery::recordCount() const { return m_d->open ? m_d->recordCount : 0; }

bool SourceQuery::eof() const { return !m_d->open || m_d->atEnd; }

void SourceQuery::next()
{
    Private& d = *m_d;
    if (!d.open || d.atEnd)
        return;
    if (!d.live) {
        if (d.readAheadPos + 1 < d.readAhead.size()) {
            ++d.readAheadPos;
            return;
        }
        const bool complete = d.readAhead.size() == d.recordCount;
        d.readAhead.clear();
        d.readAheadPos = 0;
        if (complete) {
            d.atEnd = true;
            return;
        }
        d.live = true; // the statement stands on the last row read ahead: step past it
    }
    const int rc = sqlite3_step(d.stmt.get());
    if (rc == SQLITE_ROW)
        return;
    d.atEnd = true;
    d.live = false;
    if (rc != SQLITE_DONE)
        throw Error(QStringLiteral("erreur de lecture : %1").arg(sqliteMessage(d.db())));
}

int SourceQuery::columnCount() const { return static_cast<int>(m_d->columnNames.size()); }

QString SourceQuery::columnName(int position) const { return m_d->columnNames.value(position); }

QString SourceQuery::queryPlan()
{
    Private& d = *m_d;
    sqlite3* handle = d.db();
    if (!d.stmt)
        d.prepare();
    const QByteArray sql = QByteArray("EXPLAIN QUERY PLAN ") + sqlite3_sql(d.stmt.get());
    const SqliteStatement plan = prepareSqlite(handle, sql.constData());
    if (!plan)
        throw Error(QStringLiteral("erreur de lecture : %1").arg(sqliteMessage(handle)));
    QStringList steps;
    while (sqlite3_step(plan.get()) == SQLITE_ROW)
        steps.append(QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(plan.get(), 3))));
    return steps.join(QLatin1Char('\n'));
}

bool SourceQuery::hasColumn(const QString& name) const
{
    return m_d->columns->folded.contains(name.toCaseFolded());
}

QVariant SourceQuery::value(int position) const
{
    const Private& d = *m_d;
    if (!d.open)
        throw Error(QStringLiteral("le jeu de données n'est pas ouvert"));
    if (position < 0 || position >= d.columnNames.size())
        throw Error(QStringLiteral("le champ numéro %1 est introuvable").arg(position));
    if (d.atEnd)
        throw Error(QStringLiteral("aucun enregistrement courant (fin du jeu de données)"));
    return d.live ? d.columnValue(position) : d.readAhead[d.readAheadPos][position];
}

QVariant SourceQuery::value(const QString& column) const { return value(m_d->positionOf(column)); }

bool SourceQuery::isNull(const QString& column) const { return value(column).isNull(); }

namespace {

qint32 intOf(const QVariant& v, const QString& column)
{
    if (v.isNull())
        return 0;
    switch (v.typeId()) {
    case QMetaType::Bool:
        return v.toBool() ? -1 : 0;
    case QMetaType::Double: {
        const double d = v.toDouble();
        if (!(d >= std::numeric_limits<qint32>::min() && d <= std::numeric_limits<qint32>::max()))
            throw Error(QStringLiteral("la valeur %1 du champ « %2 » n'est pas un entier de 32 bits").arg(d).arg(column));
        return static_cast<qint32>(std::lround(d));
    }
    case QMetaType::QString: {
        bool ok = false;
        const qint32 n = v.toString().trimmed().toInt(&ok);
        if (!ok)
            throw Error(QStringLiteral("« %1 » n'est pas une valeur entière valide").arg(v.toString()));
        return n;
    }
    case QMetaType::QDateTime:
        return static_cast<qint32>(std::floor(oleFromDateTime(v.toDateTime())));
    default: {
        bool ok = false;
        const qint64 n = v.toLongLong(&ok);
        if (!ok || n < std::numeric_limits<qint32>::min() || n > std::numeric_limits<qint32>::max())
            throw Error(QStringLiteral("la valeur du champ « %1 » n'est pas un entier de 32 bits").arg(column));
        return static_cast<qint32>(n);
    }
    }
}

QString textOf(const QVariant& v)
{
    if (v.isNull())
        return QString();
    switch (v.typeId()) {
    case QMetaType::QString:
        return v.toString();
    case QMetaType::Bool:
        return v.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    case QMetaType::Double:
        return QLocale::c().toString(v.toDouble(), 'g', 15);
    case QMetaType::QDateTime: {
        const QDateTime dt = v.toDateTime();
        QString text = dt.toString(QStringLiteral("dd/MM/yyyy"));
        if (dt.time() != QTime(0, 0))
            text += QLatin1Char(' ') + dt.toString(QStringLiteral("HH:mm:ss"));
        return text;
    }
    case QMetaType::QByteArray:
        return QString::fromUtf8(v.toByteArray());
    default:
        return v.toString();
    }
}

QDateTime dateTimeOf(const QVariant& v, const QString& column)
{
    if (v.isNull())
        return oleEpoch();
    switch (v.typeId()) {
    case QMetaType::QDateTime:
        return v.toDateTime();
    case QMetaType::Double:
    case QMetaType::Int:
    case QMetaType::LongLong: {
        const QDateTime dt = dateTimeFromOle(v.toDouble());
        if (!dt.isValid())
            throw Error(QStringLiteral("la valeur du champ « %1 » n'est pas une date").arg(column));
        return dt;
    }
    case QMetaType::QString: {
        const QString text = v.toString().trimmed();
        for (const char* format : {"dd/MM/yyyy HH:mm:ss", "dd/MM/yyyy HH:mm", "dd/MM/yyyy", "yyyy-MM-ddTHH:mm:ss.zzz", "yyyy-MM-ddTHH:mm:ss", "yyyy-MM-dd"}) {
            QDateTime dt = QDateTime::fromString(text, QLatin1String(format));
            if (dt.isValid())
                return QDateTime(dt.date(), dt.time(), Qt::UTC);
        }
        throw Error(QStringLiteral("« %1 » n'est pas une date valide").arg(text));
    }
    default:
        throw Error(QStringLiteral("la valeur du champ « %1 » n'est pas une date").arg(column));
    }
}

} // namespace

qint32 SourceQuery::intValue(const QString& column) const { return intOf(value(column), column); }
QString SourceQuery::textValue(const QString& column) const { return textOf(value(column)); }
QString SourceQuery::textValue(int position) const { return textOf(value(position)); }
int SourceQuery::columnPosition(const QString& column) const { return m_d->positionOf(column); }
QDateTime SourceQuery::dateTimeValue(const QString& column) const { return dateTimeOf(value(column), column); }

SourceRecord SourceQuery::record() const
{
    const Private& d = *m_d;
    if (!d.open || d.atEnd)
        throw Error(QStringLiteral("aucun enregistrement courant (fin du jeu de données)"));
    SourceRecord record;
    record.m_columns = d.columns;
    if (d.live) {
        record.m_values.reserve(d.columnNames.size());
        for (int i = 0; i < d.columnNames.size(); ++i)
            record.m_values.append(d.columnValue(i));
    } else {
        record.m_values = d.readAhead[d.readAheadPos];
    }
    return record;
}

QVariant SourceRecord::value(const QString& column) const
{
    if (!m_columns)
        throw Error(QStringLiteral("aucun enregistrement courant (fin du jeu de données)"));
    return m_values.value(m_columns->positionOf(column));
}

bool SourceRecord::isNull(const QString& column) const { return value(column).isNull(); }
qint32 SourceRecord::intValue(const QString& column) const { return intOf(value(column), column); }
QString SourceRecord::textValue(const QString& column) const { return textOf(value(column)); }
QDateTime SourceRecord::dateTimeValue(const QString& column) const { return dateTimeOf(value(column), column); }

} // namespace vf
