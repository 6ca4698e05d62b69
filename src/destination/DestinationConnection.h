#pragma once

#include "base/Errors.h"

#include <QSqlDatabase>
#include <QSqlRecord>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>

namespace vf {

class DestQuery;

// Keeps Qt's ODBC driver from printing a warning for every statement that the destination refuses:
// the run reports what a refusal means for the record, once.
void quietDriverWarnings();

// The destination servers that the program tells apart: their limits on one statement and
// how a failed statement leaves a transaction differ.
enum class Dialect { SqlServer, PostgreSQL, SQLite, Other };

// How a connection may use the destination. ReadOnly (a verification) is enforced where the
// server allows it: SQLite refuses every write of the connection (PRAGMA query_only) and
// PostgreSQL makes each transaction read-only; SQL Server has no such switch for a session
// (ApplicationIntent=ReadOnly only routes to a readable replica), so there the program's own
// statements, all SELECTs, are what keeps the base unchanged.
enum class Access { ReadWrite, ReadOnly };

// The statements that set up a new session: SQL Server sends texts whole (its drivers' default
// text size, FreeTDS's 64,512 bytes among them, cuts longer ones without a word), and a
// read-only access makes the session read-only as above.
QStringList sessionStatements(Dialect dialect, Access access);

// How a server measures a text: SQL Server's DATALENGTH counts two bytes per UTF-16 unit of an
// nvarchar, a SQL Server-compatible server may count UTF-8 bytes (Babelfish), PostgreSQL and
// SQLite count characters.
enum class TextMeasure { Utf16Units, Utf8Bytes, Characters, Unknown };

// The expression that a server evaluates to the length of a text column, in the units of its
// measure; empty for a server whose measure is not known.
QString textLengthExpression(TextMeasure measure, const QString& column);

// Throws vf::Error when a text read back from the destination is shorter than the server says it
// is (a driver that cut it): such a text is never written back. A null length passes.
void checkTextLength(TextMeasure measure, const QString& text, const QVariant& serverLength, const QString& what);

// The ODBC drivers that the driver manager lists (SQLDrivers): the only ones a connection
// string may name.
QStringList installedOdbcDrivers();

// The most rows in one VALUES list and parameters in one statement that a server accepts.
struct StatementLimits {
    int rows = 1000;
    int parameters = 2098;
};

// The destination connection (ADOConnectionTalmerosin) over Qt SQL's QODBC driver. It allows
// one pending result set at a time, as SQL Server through FreeTDS does: a statement started
// while another query's result set is still open is a programming error and throws
// std::logic_error. A lost connection (the server's link failed, or a statement got no answer
// within the query timeout) throws vf::ConnectionLost, and every later statement does too. Every
// other failure throws vf::Error with the driver's message and SQLSTATE.
class DestinationConnection {
public:
    // Seconds the driver waits for the server when the connection is opened.
    static constexpr int kLoginTimeoutSeconds = 15;
    // Seconds a statement may wait for the server before the connection counts as lost.
    static constexpr int kDefaultQueryTimeoutSeconds = 300;

    explicit DestinationConnection(const QString& connectionName = QStringLiteral("talmerosin"));
    ~DestinationConnection();
    DestinationConnection(const DestinationConnection&) = delete;
    DestinationConnection& operator=(const DestinationConnection&) = delete;

    // Closes the connection if it is open, then opens it from an ODBC connection string. The
    // string's DRIVER must be one that the driver manager lists (never a library's path) and it
    // may name no FILEDSN: vf::Error otherwise.
    void open(const QString& odbcConnectionString, Access access = Access::ReadWrite);
    void close();
    bool isOpen() const;
    QSqlDatabase database() const;

    // Tables and views of the destination, catalogue tables excluded, in the driver's order.
    // Like every call into the driver (statements, catalogue, transactions, open and close), it
    // gets no more than the query timeout.
    QStringList tables();
    // The columns of a table as the driver's catalogue describes them (empty when none).
    QSqlRecord record(const QString& table);

    // Runs a statement that yields one integer (a seeding "SELECT MAX(...)"); null reads as 0.
    qint32 scalarInt(const QString& sql);

    Dialect dialect() const { return m_dialect; }
    TextMeasure textMeasure() const { return m_textMeasure; }
    StatementLimits limits() const;
    void setQueryTimeout(int seconds);

    // A transaction: the statements between begin() and commit() or rollback() are committed
    // together. Outside one, each statement is committed by itself. Inside one, a statement that
    // the server refuses undoes itself only, on each of the drivers: SQLite and SQL Server keep
    // the transaction, and psqlODBC rolls back to the savepoint it takes before each statement.
    void begin();
    void commit();
    void rollback(); // never throws: a connection that is lost has nothing to roll back
    bool inTransaction() const { return m_inTransaction; }

    // Throws vf::ConnectionLost once the connection has been lost.
    void requireAlive() const;

private:
    friend class DestQuery;
    friend class CallGuard;
    class Watchdog;
    // Turns a driver failure into vf::ConnectionLost or vf::Error.
    [[noreturn]] void fail(const QString& message, const QString& sqlState);
    [[noreturn]] void noAnswer(); // a call that the watchdog ended
    QString noAnswerMessage() const;
    void checkDriverNamed(const QString& odbcConnectionString) const;
    // Throws std::logic_error when a query other than `starting` has its result set open.
    void checkNoPendingResult(const DestQuery* starting) const;

    QString m_name;
    DestQuery* m_pending = nullptr; // the query whose result set is open
    int m_generation = 0;           // counts opens: a query prepared on an earlier one prepares again
    Dialect m_dialect = Dialect::Other;
    TextMeasure m_textMeasure = TextMeasure::Unknown;
    bool m_inTransaction = false;
    bool m_basicPlaneOnly = false; // the driver (FreeTDS) cannot send characters outside the basic plane
    bool m_lost = false;
    QString m_lostMessage;
    int m_queryTimeout = kDefaultQueryTimeoutSeconds;
    std::unique_ptr<Watchdog> m_watchdog;
};


// A destination statement with :named parameters, prepared once per text and executed with
// typed bound values: qint32, QDateTime (UTC, naive), QString of any length, or a null of one
// of these types (QVariant(QMetaType::fromType<T>())). An invalid QVariant binds as a null text.
// Bound values are kept from one execution to the next. A query must not outlive its connection.
class DestQuery {
public:
    explicit DestQuery(DestinationConnection& connection, const QString& text = QString());
    ~DestQuery();
    DestQuery(const DestQuery&) = delete;
    DestQuery& operator=(const DestQuery&) = delete;

    void setText(const QString& text); // closes the query; prepared again on next use
    QString text() const;
    void bind(const QString& name, const QVariant& value);
    // The values of a statement written with "?" placeholders, in their order (replacing any).
    void bindAll(QList<QVariant> values);

    void open();  // a statement that returns rows; positioned on the first row (or at the end)
    void exec();  // a statement that returns no rows
    void close(); // ends the pending result set
    bool isOpen() const;
    bool eof() const;
    void next();

    // Column names are matched without regard to case. Date-times come back as naive UTC
    // values. Reading without a current row, or a column that does not exist, throws vf::Error.
    QVariant value(const QString& column) const;
    QVariant value(int position) const;
    int columnCount() const;
    QString columnName(int position) const; // as the driver spells it

private:
    void run(); // checks the connection, prepares once, binds and executes
    [[noreturn]] void fail(); // the driver's failure of the last call
    bool fetch();             // the next row, watched
    bool failedToFetch() const;
    void* statementHandle() const; // the ODBC statement that Qt's driver prepared
    struct Private;
    std::unique_ptr<Private> m_d;
    DestinationConnection& m_connection;
};

} // namespace vf
