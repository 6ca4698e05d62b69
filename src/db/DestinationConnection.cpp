#include "db/DestinationConnection.h"

#include "db/Errors.h"

#include <QDateTime>
#include <QHash>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTimeZone>

#include <stdexcept>

#include <sql.h>
#include <sqlext.h>

namespace vf {

namespace {

// The driver's own message; Qt's generic text only when the driver gave none.
QString driverMessage(const QSqlError& error)
{
    const QString text = error.databaseText().trimmed();
    return text.isEmpty() ? error.text().trimmed() : text;
}

// Date-times travel as naive values: whatever time zone the driver attached, the fields are kept.
QVariant naive(const QVariant& value)
{
    if (value.metaType() != QMetaType::fromType<QDateTime>() || value.isNull())
        return value;
    const QDateTime dt = value.toDateTime();
    return QDateTime(dt.date(), dt.time(), Qt::UTC);
}

bool isCatalogueSchema(const QString& schema)
{
    static const QStringList catalogue = {QStringLiteral("sys"), QStringLiteral("INFORMATION_SCHEMA"),
                                          QStringLiteral("pg_catalog"), QStringLiteral("pg_toast")};
    return catalogue.contains(schema, Qt::CaseInsensitive);
}

QString odbcText(SQLHSTMT statement, SQLUSMALLINT column)
{
    SQLWCHAR buffer[512];
    SQLLEN length = 0;
    const SQLRETURN r = SQLGetData(statement, column, SQL_C_WCHAR, buffer, sizeof buffer, &length);
    if (!SQL_SUCCEEDED(r) || length == SQL_NULL_DATA)
        return QString();
    const qsizetype chars = qMin<qsizetype>(length, sizeof buffer - sizeof(SQLWCHAR)) / sizeof(SQLWCHAR);
    if constexpr (sizeof(SQLWCHAR) == 2)
        return QString::fromUtf16(reinterpret_cast<const char16_t*>(buffer), chars);
    else
        return QString::fromUcs4(reinterpret_cast<const char32_t*>(buffer), chars);
}

// An ODBC statement handle of the connection, freed when it goes out of scope.
class OdbcStatement {
public:
    explicit OdbcStatement(SQLHANDLE connection)
    {
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection, &m_handle)))
            m_handle = SQL_NULL_HSTMT;
    }
    ~OdbcStatement()
    {
        if (m_handle != SQL_NULL_HSTMT)
            SQLFreeHandle(SQL_HANDLE_STMT, m_handle);
    }
    OdbcStatement(const OdbcStatement&) = delete;
    OdbcStatement& operator=(const OdbcStatement&) = delete;

    bool isValid() const { return m_handle != SQL_NULL_HSTMT; }
    SQLHSTMT get() const { return m_handle; }

private:
    SQLHSTMT m_handle = SQL_NULL_HSTMT;
};

} // namespace

DestinationConnection::DestinationConnection(const QString& connectionName)
    : m_name(connectionName)
{
}

DestinationConnection::~DestinationConnection()
{
    close();
    if (QSqlDatabase::contains(m_name))
        QSqlDatabase::removeDatabase(m_name);
}

void DestinationConnection::open(const QString& odbcConnectionString)
{
    close();
    QSqlDatabase db = QSqlDatabase::contains(m_name) ? QSqlDatabase::database(m_name, false)
                                                     : QSqlDatabase::addDatabase(QStringLiteral("QODBC"), m_name);
    if (!db.isValid())
        throw Error(QStringLiteral("Le pilote QODBC de Qt est introuvable."));
    db.setDatabaseName(odbcConnectionString);
    // A server that does not answer gives up after 15 seconds instead of hanging the run.
    db.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(kLoginTimeoutSeconds));
    if (!db.open()) {
        const QString message = driverMessage(db.lastError());
        db.setDatabaseName(QString());
        throw Error(message);
    }
    ++m_generation;
}

void DestinationConnection::close()
{
    m_pending = nullptr;
    if (QSqlDatabase::contains(m_name)) {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        if (db.isOpen())
            db.close();
    }
}

bool DestinationConnection::isOpen() const
{
    return QSqlDatabase::contains(m_name) && QSqlDatabase::database(m_name, false).isOpen();
}

QSqlDatabase DestinationConnection::database() const
{
    return QSqlDatabase::database(m_name, false);
}

void DestinationConnection::checkNoPendingResult(const DestQuery* starting) const
{
    if (m_pending && m_pending != starting)
        throw std::logic_error(("A destination statement was started while the result set of \""
                                + m_pending->text().simplified() + "\" is still open; close it first.")
                                   .toStdString());
}

QStringList DestinationConnection::tables() const
{
    checkNoPendingResult(nullptr);
    QSqlDatabase db = database();
    if (!db.isOpen())
        throw Error(QStringLiteral("La connexion à la base de destination n'est pas ouverte."));
    const QVariant handle = db.driver()->handle();
    if (handle.metaType() != QMetaType::fromType<SQLHANDLE>())
        throw Error(QStringLiteral("Le pilote ne donne pas accès au catalogue de la base."));
    const auto connection = *static_cast<const SQLHANDLE*>(handle.constData());

    const OdbcStatement statement(connection);
    if (!statement.isValid())
        throw Error(QStringLiteral("Impossible de lire la liste des tables de la base."));
    QStringList names;
    SQLCHAR types[] = "TABLE,VIEW";
    if (!SQL_SUCCEEDED(SQLTables(statement.get(), nullptr, 0, nullptr, 0, nullptr, 0, types, SQL_NTS)))
        throw Error(QStringLiteral("Impossible de lire la liste des tables de la base."));
    while (SQL_SUCCEEDED(SQLFetch(statement.get()))) {
        const QString schema = odbcText(statement.get(), 2);
        const QString name = odbcText(statement.get(), 3);
        if (name.isEmpty() || isCatalogueSchema(schema) || name.startsWith(QLatin1String("sqlite_"), Qt::CaseInsensitive))
            continue;
        names.append(name);
    }
    return names;
}

qint32 DestinationConnection::scalarInt(const QString& sql)
{
    DestQuery query(*this, sql);
    query.open();
    qint32 result = 0;
    if (!query.eof()) {
        const QVariant v = query.value(0);
        if (!v.isNull()) {
            bool ok = false;
            const qlonglong n = v.toLongLong(&ok);
            if (!ok || n < std::numeric_limits<qint32>::min() || n > std::numeric_limits<qint32>::max()) {
                query.close();
                throw Error(QStringLiteral("La valeur « %1 » n'est pas un entier.").arg(v.toString()));
            }
            result = static_cast<qint32>(n);
        }
    }
    query.close();
    return result;
}

struct DestQuery::Private {
    QString text;
    QSqlQuery query;
    bool prepared = false;
    int generation = 0; // of the connection it was prepared on
    bool open = false;
    bool atEnd = true;
    int columns = 0; // of the open result set
    QList<QPair<QString, QVariant>> bound; // in binding order; a name bound again keeps its place
};

DestQuery::DestQuery(DestinationConnection& connection, const QString& text)
    : m_d(std::make_unique<Private>())
    , m_connection(connection)
{
    m_d->text = text;
}

DestQuery::~DestQuery()
{
    close();
}

void DestQuery::setText(const QString& text)
{
    close();
    m_d->text = text;
    m_d->prepared = false;
    m_d->query = QSqlQuery();
}

QString DestQuery::text() const
{
    return m_d->text;
}

void DestQuery::bind(const QString& name, const QVariant& value)
{
    const QString key = name.startsWith(u':') ? name.mid(1) : name;
    // A value without a type binds as a null text, never as an untyped value the driver rejects.
    const QVariant typed = value.isValid() ? value : QVariant(QMetaType::fromType<QString>());
    for (auto& entry : m_d->bound) {
        if (entry.first.compare(key, Qt::CaseInsensitive) == 0) {
            entry.second = typed;
            return;
        }
    }
    m_d->bound.append({key, typed});
}

void DestQuery::run()
{
    m_connection.checkNoPendingResult(this);
    close();
    QSqlDatabase db = m_connection.database();
    if (!db.isOpen())
        throw Error(QStringLiteral("La connexion à la base de destination n'est pas ouverte."));
    if (!m_d->prepared || m_d->generation != m_connection.m_generation) {
        m_d->query = QSqlQuery(db);
        m_d->query.setForwardOnly(true);
        if (!m_d->query.prepare(m_d->text))
            throw Error(driverMessage(m_d->query.lastError()));
        m_d->prepared = true;
        m_d->generation = m_connection.m_generation;
    }
    for (const auto& [name, value] : std::as_const(m_d->bound))
        m_d->query.bindValue(u':' + name, value);
    if (!m_d->query.exec()) {
        const QString message = driverMessage(m_d->query.lastError());
        m_d->query.finish();
        throw Error(message);
    }
}

void DestQuery::open()
{
    run();
    if (!m_d->query.isSelect()) {
        m_d->query.finish();
        return;
    }
    m_d->open = true;
    m_d->columns = m_d->query.record().count();
    m_connection.m_pending = this;
    m_d->atEnd = !m_d->query.next();
    if (m_d->atEnd && m_d->query.lastError().isValid()) {
        const QString message = driverMessage(m_d->query.lastError());
        close();
        throw Error(message);
    }
}

void DestQuery::exec()
{
    run();
    m_d->query.finish();
}

void DestQuery::close()
{
    if (m_d->open || m_d->query.isActive())
        m_d->query.finish();
    m_d->open = false;
    m_d->atEnd = true;
    if (m_connection.m_pending == this)
        m_connection.m_pending = nullptr;
}

bool DestQuery::isOpen() const
{
    return m_d->open;
}

bool DestQuery::eof() const
{
    return !m_d->open || m_d->atEnd;
}

void DestQuery::next()
{
    if (eof())
        return;
    m_d->atEnd = !m_d->query.next();
    if (m_d->atEnd && m_d->query.lastError().isValid())
        throw Error(driverMessage(m_d->query.lastError()));
}

int DestQuery::columnCount() const
{
    return m_d->open ? m_d->columns : 0;
}

QString DestQuery::columnName(int position) const
{
    return m_d->open ? m_d->query.record().fieldName(position) : QString();
}

QVariant DestQuery::value(const QString& column) const
{
    if (eof())
        throw Error(QStringLiteral("Aucun enregistrement courant pour lire la colonne %1.").arg(column));
    const QSqlRecord record = m_d->query.record();
    for (int i = 0; i < record.count(); ++i) {
        if (record.fieldName(i).compare(column, Qt::CaseInsensitive) == 0)
            return naive(m_d->query.value(i));
    }
    throw Error(QStringLiteral("La colonne %1 est introuvable.").arg(column));
}

QVariant DestQuery::value(int position) const
{
    if (eof())
        throw Error(QStringLiteral("Aucun enregistrement courant pour lire la colonne %1.").arg(position));
    if (position < 0 || position >= m_d->columns)
        throw Error(QStringLiteral("La colonne %1 est introuvable.").arg(position));
    return naive(m_d->query.value(position));
}

} // namespace vf
