#include "db/DestinationConnection.h"

#include "db/Errors.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>
#include <QTimeZone>

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include <sql.h>
#include <sqlext.h>

#ifdef __linux__
#include <sys/socket.h>
#endif

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

// The ODBC handle behind a Qt object (a connection or a statement), or a null handle.
SQLHANDLE odbcHandle(const QVariant& handle)
{
    if (handle.metaType() != QMetaType::fromType<SQLHANDLE>())
        return SQL_NULL_HANDLE;
    return *static_cast<const SQLHANDLE*>(handle.constData());
}

// The SQLSTATE of the first diagnostic record of an ODBC handle.
QString sqlStateOf(SQLSMALLINT type, SQLHANDLE handle)
{
    if (handle == SQL_NULL_HANDLE)
        return QString();
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR message[2];
    SQLSMALLINT length = 0;
    if (!SQL_SUCCEEDED(SQLGetDiagRecW(type, handle, 1, state, &native, message, 1, &length)))
        return QString();
    QString text;
    for (int i = 0; i < 5 && state[i]; ++i)
        text += QChar(char16_t(state[i]));
    return text;
}

// A failure that says that the server can no longer be reached: the SQLSTATE class of the
// connection (08), a timeout (HYT00, HYT01), PostgreSQL's cancelled statement and shut-down
// server, or the messages with which the drivers report a link that broke.
bool meansConnectionLost(const QString& sqlState, const QString& message)
{
    if (sqlState.startsWith(QLatin1String("08")) || sqlState == QLatin1String("HYT00")
        || sqlState == QLatin1String("HYT01") || sqlState == QLatin1String("57014")
        || sqlState.startsWith(QLatin1String("57P")))
        return true;
    static const char* const markers[] = {"server closed the connection", "connection lost",
                                          "no connection to the server", "could not send data",
                                          "could not receive data", "terminating connection",
                                          "communication link failure", "connection is dead"};
    for (const char* marker : markers)
        if (message.contains(QLatin1String(marker), Qt::CaseInsensitive))
            return true;
    return false;
}

// The socket descriptors of the process.
QSet<int> openSockets()
{
    QSet<int> sockets;
#ifdef __linux__
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    for (const QString& name : descriptors.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        if (QFileInfo(descriptors.filePath(name)).symLinkTarget().contains(QLatin1String("socket:")))
            sockets.insert(name.toInt());
    }
#endif
    return sockets;
}

QtMessageHandler g_nextHandler = nullptr;

void dropDriverWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtWarningMsg && message.startsWith(QLatin1String("QODBC")))
        return;
    if (g_nextHandler)
        g_nextHandler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

} // namespace

void quietDriverWarnings()
{
    g_nextHandler = qInstallMessageHandler(dropDriverWarnings);
}

// Watches the calls into the driver: one that has waited for the server longer than the query
// timeout, and a grace period in which the driver's own timeout should have answered, finds the
// connection's sockets shut, so that it returns with an error instead of waiting for ever on a
// server that no longer answers (one paused, or cut off without a word).
class DestinationConnection::Watchdog {
public:
    static constexpr int kGraceSeconds = 5;

    explicit Watchdog(QSet<int> sockets) : m_sockets(std::move(sockets)), m_thread([this] { watch(); }) {}
    ~Watchdog()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

    void arm(int seconds)
    {
        {
            std::lock_guard lock(m_mutex);
            m_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds + kGraceSeconds);
            m_fired = false;
        }
        m_changed.notify_all();
    }

    // True when the connection was shut during the call.
    bool disarm()
    {
        std::lock_guard lock(m_mutex);
        m_deadline.reset();
        return m_fired;
    }

private:
    void watch()
    {
        std::unique_lock lock(m_mutex);
        while (!m_stopping) {
            if (!m_deadline) {
                m_changed.wait(lock);
                continue;
            }
            if (m_changed.wait_until(lock, *m_deadline) != std::cv_status::timeout || !m_deadline
                || std::chrono::steady_clock::now() < *m_deadline)
                continue;
#ifdef __linux__
            for (const int socket : std::as_const(m_sockets))
                ::shutdown(socket, SHUT_RDWR);
#endif
            m_fired = true;
            m_deadline.reset();
        }
    }

    const QSet<int> m_sockets;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<std::chrono::steady_clock::time_point> m_deadline;
    bool m_fired = false;
    bool m_stopping = false;
    std::thread m_thread;
};

// Arms the watchdog for one call into the driver.
class CallGuard {
public:
    CallGuard(DestinationConnection::Watchdog* watchdog, int seconds) : m_watchdog(watchdog)
    {
        if (m_watchdog)
            m_watchdog->arm(seconds);
    }
    ~CallGuard()
    {
        if (m_watchdog)
            m_watchdog->disarm();
    }
    // True when the watchdog shut the connection during the call.
    bool timedOut()
    {
        const bool fired = m_watchdog && m_watchdog->disarm();
        m_watchdog = nullptr;
        return fired;
    }

private:
    DestinationConnection::Watchdog* m_watchdog;
};

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
    const QSet<int> socketsBefore = openSockets();
    if (!db.open()) {
        const QString message = driverMessage(db.lastError());
        db.setDatabaseName(QString());
        throw Error(message);
    }
    ++m_generation;
    m_lost = false;
    m_inTransaction = false;
    m_watchdog = std::make_unique<Watchdog>(openSockets() - socketsBefore);

    SQLWCHAR name[128] = {};
    SQLSMALLINT length = 0;
    m_dialect = Dialect::Other;
    if (SQL_SUCCEEDED(SQLGetInfoW(odbcHandle(db.driver()->handle()), SQL_DBMS_NAME, name, sizeof name, &length))) {
        QString dbms;
        for (int i = 0; i < int(length / sizeof(SQLWCHAR)) && name[i]; ++i)
            dbms += QChar(char16_t(name[i]));
        if (dbms.contains(QLatin1String("SQL Server"), Qt::CaseInsensitive))
            m_dialect = Dialect::SqlServer;
        else if (dbms.contains(QLatin1String("PostgreSQL"), Qt::CaseInsensitive))
            m_dialect = Dialect::PostgreSQL;
        else if (dbms.contains(QLatin1String("SQLite"), Qt::CaseInsensitive))
            m_dialect = Dialect::SQLite;
    }
}

StatementLimits DestinationConnection::limits() const
{
    // SQL Server takes 1,000 rows in a VALUES list and 2,100 parameters in a statement, two of
    // which its driver's prepared call may use. psqlODBC drops the connection on statements of some
    // 8,000 parameters (12 columns of 1,000 rows), far below the server's own 65,535: 4,000 is
    // what it is known to take. SQLite takes 32,766.
    switch (m_dialect) {
    case Dialect::PostgreSQL:
        return {1000, 4000};
    case Dialect::SQLite:
        return {1000, 30000};
    case Dialect::SqlServer:
    case Dialect::Other:
        break;
    }
    return {1000, 2098};
}

void DestinationConnection::setQueryTimeout(int seconds)
{
    m_queryTimeout = seconds > 0 ? seconds : kDefaultQueryTimeoutSeconds;
}

void DestinationConnection::requireAlive() const
{
    if (m_lost)
        throw ConnectionLost{m_lostMessage, QString()};
}

void DestinationConnection::fail(const QString& message, const QString& sqlState)
{
    if (!meansConnectionLost(sqlState, message))
        throw Error(message, sqlState);
    m_lost = true;
    m_lostMessage = message;
    throw ConnectionLost{message, sqlState};
}

void DestinationConnection::noAnswer()
{
    fail(QStringLiteral("la base Talmérosin n'a pas répondu en %1 secondes").arg(m_queryTimeout), QStringLiteral("HYT00"));
}

void DestinationConnection::begin()
{
    requireAlive();
    QSqlDatabase db = database();
    if (!db.transaction())
        fail(driverMessage(db.lastError()), sqlStateOf(SQL_HANDLE_DBC, odbcHandle(db.driver()->handle())));
    m_inTransaction = true;
}

void DestinationConnection::commit()
{
    requireAlive();
    QSqlDatabase db = database();
    CallGuard guard(m_watchdog.get(), m_queryTimeout);
    const bool committed = db.commit();
    if (guard.timedOut())
        noAnswer();
    m_inTransaction = false;
    if (!committed)
        fail(driverMessage(db.lastError()), sqlStateOf(SQL_HANDLE_DBC, odbcHandle(db.driver()->handle())));
}

void DestinationConnection::rollback()
{
    if (!m_inTransaction)
        return;
    m_inTransaction = false;
    QSqlDatabase db = database();
    CallGuard guard(m_watchdog.get(), m_queryTimeout);
    db.rollback();
}


void DestinationConnection::close()
{
    m_pending = nullptr;
    m_inTransaction = false;
    m_watchdog.reset();
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
    QList<QVariant> positional;            // the values of "?" placeholders
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

void DestQuery::bindAll(QList<QVariant> values)
{
    for (QVariant& value : values)
        if (!value.isValid())
            value = QVariant(QMetaType::fromType<QString>());
    m_d->positional = std::move(values);
}

void DestQuery::fail()
{
    const QString message = driverMessage(m_d->query.lastError());
    const QString state = sqlStateOf(SQL_HANDLE_STMT, odbcHandle(m_d->query.result()->handle()));
    m_d->query.finish();
    m_connection.fail(message, state);
}

void DestQuery::run()
{
    m_connection.checkNoPendingResult(this);
    m_connection.requireAlive();
    close();
    QSqlDatabase db = m_connection.database();
    if (!db.isOpen())
        throw Error(QStringLiteral("La connexion à la base de destination n'est pas ouverte."));
    if (!m_d->prepared || m_d->generation != m_connection.m_generation) {
        m_d->query = QSqlQuery(db);
        m_d->query.setForwardOnly(true);
        if (!m_d->query.prepare(m_d->text))
            fail();
        // The driver gives up on a statement that the server does not answer within the timeout.
        if (const SQLHANDLE statement = odbcHandle(m_d->query.result()->handle()))
            SQLSetStmtAttr(statement, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(SQLULEN(m_connection.m_queryTimeout)), 0);
        m_d->prepared = true;
        m_d->generation = m_connection.m_generation;
    }
    for (const auto& [name, value] : std::as_const(m_d->bound))
        m_d->query.bindValue(u':' + name, value);
    for (qsizetype i = 0; i < m_d->positional.size(); ++i)
        m_d->query.bindValue(int(i), m_d->positional.at(i));
    CallGuard guard(m_connection.m_watchdog.get(), m_connection.m_queryTimeout);
    const bool executed = m_d->query.exec();
    if (guard.timedOut())
        m_connection.noAnswer();
    if (!executed)
        fail();
}

bool DestQuery::fetch()
{
    CallGuard guard(m_connection.m_watchdog.get(), m_connection.m_queryTimeout);
    const bool fetched = m_d->query.next();
    if (guard.timedOut())
        m_connection.noAnswer();
    return fetched;
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
    m_d->atEnd = !fetch();
    if (m_d->atEnd && m_d->query.lastError().isValid()) {
        m_connection.m_pending = nullptr;
        m_d->open = false;
        fail();
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
    m_d->atEnd = !fetch();
    if (m_d->atEnd && m_d->query.lastError().isValid())
        fail();
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
