#include "destination/DestinationConnection.h"

#include "base/Errors.h"
#include "base/TestHold.h"
#include "destination/DestinationConfig.h"

#include <QDateTime>
#include <QDir>
#include <QHash>
#include <QSet>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>
#include <QTimeZone>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h> // the types that the ODBC headers use
#endif
#include <sql.h>
#include <sqlext.h>

#ifdef __linux__
#include <sys/socket.h>
#include <sys/stat.h>
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


// A view that a server keeps in each database for compatibility with older catalogues (Babelfish's
// dbo.sysdatabases): SQL Server keeps these in its own schema.
bool isCompatibilityView(const QString& type, const QString& name)
{
    return type.compare(QLatin1String("VIEW"), Qt::CaseInsensitive) == 0
        && name.startsWith(QLatin1String("sys"), Qt::CaseInsensitive);
}

// The type that a value of an ODBC SQL type reads as.
QMetaType metaTypeOf(SQLSMALLINT type)
{
    switch (type) {
    case SQL_CHAR: case SQL_VARCHAR: case SQL_LONGVARCHAR:
    case SQL_WCHAR: case SQL_WVARCHAR: case SQL_WLONGVARCHAR:
        return QMetaType::fromType<QString>();
    case SQL_TINYINT: case SQL_SMALLINT: case SQL_INTEGER: case SQL_BIT:
        return QMetaType::fromType<int>();
    case SQL_BIGINT:
        return QMetaType::fromType<qlonglong>();
    case SQL_REAL: case SQL_FLOAT: case SQL_DOUBLE: case SQL_DECIMAL: case SQL_NUMERIC:
        return QMetaType::fromType<double>();
    case SQL_TYPE_DATE: case SQL_DATE:
        return QMetaType::fromType<QDate>();
    case SQL_TYPE_TIME: case SQL_TIME:
        return QMetaType::fromType<QTime>();
    case SQL_TYPE_TIMESTAMP: case SQL_TIMESTAMP:
        return QMetaType::fromType<QDateTime>();
    default:
        return QMetaType::fromType<QByteArray>();
    }
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

// The first diagnostic record of an ODBC handle: its SQLSTATE and message.
struct Diagnostic {
    QString state;
    QString message;
};

Diagnostic diagnosticOf(SQLSMALLINT type, SQLHANDLE handle)
{
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR message[1024] = {};
    SQLSMALLINT length = 0;
    if (handle == SQL_NULL_HANDLE
        || !SQL_SUCCEEDED(SQLGetDiagRecW(type, handle, 1, state, &native, message, SQLSMALLINT(std::size(message)), &length)))
        return {};
    Diagnostic diagnostic;
    for (int i = 0; i < 5 && state[i]; ++i)
        diagnostic.state += QChar(char16_t(state[i]));
    for (int i = 0; i < int(std::size(message)) && message[i]; ++i)
        diagnostic.message += QChar(char16_t(message[i]));
    diagnostic.message = diagnostic.message.trimmed();
    return diagnostic;
}

QString sqlStateOf(SQLSMALLINT type, SQLHANDLE handle)
{
    return diagnosticOf(type, handle).state;
}

// A text column of the current row, read in pieces through a buffer of UTF-16. The length that a
// driver gives for a piece is not trusted (FreeTDS counts UTF-8 bytes where the buffer holds UTF-16):
// a piece ends at the terminator that the driver wrote, found from the buffer's untouched end.
// Returns false when the driver failed.
bool readWideText(SQLHSTMT statement, SQLUSMALLINT column, QVariant& value)
{
    static_assert(sizeof(SQLWCHAR) == sizeof(char16_t));
    // Small enough to fill and scan for each column of each row; a long text takes more pieces.
    constexpr qsizetype units = 1024;
    constexpr SQLWCHAR untouched = 0xFFFF; // a noncharacter: never part of a text
    std::array<SQLWCHAR, units> buffer;
    QString text;
    for (;;) {
        buffer.fill(untouched);
        SQLLEN indicator = 0;
        const SQLRETURN r = SQLGetData(statement, column, SQL_C_WCHAR, buffer.data(), SQLLEN(units * sizeof(SQLWCHAR)), &indicator);
        if (r == SQL_NO_DATA)
            break;
        if (!SQL_SUCCEEDED(r))
            return false;
        if (indicator == SQL_NULL_DATA) {
            value = QVariant(QMetaType::fromType<QString>());
            return true;
        }
        qsizetype end = units;
        while (end > 0 && buffer[end - 1] == untouched)
            --end;
        if (end > 0 && buffer[end - 1] == 0)
            --end;
        text.append(QStringView(reinterpret_cast<const char16_t*>(buffer.data()), end));
        if (r == SQL_SUCCESS)
            break;
    }
    value = text;
    return true;
}

// A short text of a catalogue's row; empty when null or unreadable.
QString odbcText(SQLHSTMT statement, SQLUSMALLINT column)
{
    QVariant text;
    return readWideText(statement, column, text) ? text.toString() : QString();
}

// A binary column of the current row, read in pieces.
bool readBinary(SQLHSTMT statement, SQLUSMALLINT column, QVariant& value)
{
    constexpr SQLLEN size = 65536;
    QByteArray bytes;
    QByteArray buffer(size, Qt::Uninitialized);
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN r = SQLGetData(statement, column, SQL_C_BINARY, buffer.data(), size, &indicator);
        if (r == SQL_NO_DATA)
            break;
        if (!SQL_SUCCEEDED(r))
            return false;
        if (indicator == SQL_NULL_DATA) {
            value = QVariant(QMetaType::fromType<QByteArray>());
            return true;
        }
        const bool more = indicator == SQL_NO_TOTAL || indicator > size;
        bytes.append(buffer.constData(), more ? size : indicator);
        if (!more)
            break;
    }
    value = bytes;
    return true;
}

// A fixed-size value of the current row, or a null of its type.
template <typename Buffer>
bool readFixed(SQLHSTMT statement, SQLUSMALLINT column, SQLSMALLINT cType, Buffer& buffer, bool& null)
{
    SQLLEN indicator = 0;
    const SQLRETURN r = SQLGetData(statement, column, cType, &buffer, sizeof buffer, &indicator);
    null = r == SQL_NO_DATA || indicator == SQL_NULL_DATA;
    return SQL_SUCCEEDED(r) || r == SQL_NO_DATA;
}

// A number of the current row as a Value, or a null of that type.
template <typename Value, typename Buffer>
bool readNumber(SQLHSTMT statement, SQLUSMALLINT column, SQLSMALLINT cType, QVariant& value)
{
    Buffer n = 0;
    bool null = false;
    const bool read = readFixed(statement, column, cType, n, null);
    value = null ? QVariant(QMetaType::fromType<Value>()) : QVariant::fromValue(Value(n));
    return read;
}

// A column of the current row, typed as Qt's ODBC driver types it, read by the program itself: over
// FreeTDS, Qt's own reading of a text longer than the column's declared size comes back empty.
// Date-times are naive UTC values. Returns false when the driver failed.
bool readColumn(SQLHSTMT statement, int position, QMetaType type, QVariant& value)
{
    const auto column = SQLUSMALLINT(position + 1);
    bool null = false;
    bool read = true;
    switch (type.id()) {
    case QMetaType::Int:
    case QMetaType::Short:
        return readNumber<int, SQLINTEGER>(statement, column, SQL_C_SLONG, value);
    case QMetaType::UInt:
    case QMetaType::UShort:
        return readNumber<uint, SQLUINTEGER>(statement, column, SQL_C_ULONG, value);
    case QMetaType::LongLong:
        return readNumber<qlonglong, SQLBIGINT>(statement, column, SQL_C_SBIGINT, value);
    case QMetaType::ULongLong:
        return readNumber<qulonglong, SQLUBIGINT>(statement, column, SQL_C_UBIGINT, value);
    case QMetaType::Double:
        return readNumber<double, SQLDOUBLE>(statement, column, SQL_C_DOUBLE, value);
    case QMetaType::QDate: {
        SQL_DATE_STRUCT d = {};
        read = readFixed(statement, column, SQL_C_TYPE_DATE, d, null);
        value = null ? QVariant(QMetaType::fromType<QDate>()) : QVariant(QDate(d.year, d.month, d.day));
        break;
    }
    case QMetaType::QTime: {
        SQL_TIME_STRUCT t = {};
        read = readFixed(statement, column, SQL_C_TYPE_TIME, t, null);
        value = null ? QVariant(QMetaType::fromType<QTime>()) : QVariant(QTime(t.hour, t.minute, t.second));
        break;
    }
    case QMetaType::QDateTime: {
        SQL_TIMESTAMP_STRUCT t = {};
        read = readFixed(statement, column, SQL_C_TYPE_TIMESTAMP, t, null);
        value = null ? QVariant(QMetaType::fromType<QDateTime>())
                     : QVariant(QDateTime(QDate(t.year, t.month, t.day),
                                          QTime(t.hour, t.minute, t.second, int(t.fraction / 1000000)), Qt::UTC));
        break;
    }
    case QMetaType::QByteArray:
        return readBinary(statement, column, value);
    default: // texts, and what Qt's driver reads as text
        return readWideText(statement, column, value);
    }
    return read;
}

// Binds the values of a prepared statement's "?" placeholders, in their order, and executes it.
// Texts go as UTF-16 (NVARCHAR); date-times to the second, as Qt's driver sends them; a null keeps
// its type. The bindings are released before returning; a failure's diagnostic is taken before
// that, which clears it.
bool executeWithValues(SQLHSTMT statement, const QVariantList& values, Diagnostic& failure)
{
    struct Value {
        QByteArray bytes; // what the binding points at
        SQLLEN indicator = 0;
    };
    std::vector<Value> held(values.size());
    SQLRETURN r = SQL_SUCCESS;
    for (qsizetype i = 0; i < values.size() && SQL_SUCCEEDED(r); ++i) {
        const QVariant& value = values.at(i);
        Value& slot = held[i];
        const bool null = value.isNull();
        SQLSMALLINT cType = SQL_C_WCHAR;
        SQLSMALLINT sqlType = SQL_WVARCHAR;
        SQLULEN size = 1;
        SQLSMALLINT digits = 0;
        switch (value.metaType().id()) {
        case QMetaType::Int:
        case QMetaType::Short:
        case QMetaType::UShort: {
            const SQLINTEGER n = value.toInt();
            slot.bytes = QByteArray(reinterpret_cast<const char*>(&n), sizeof n);
            cType = SQL_C_SLONG;
            sqlType = SQL_INTEGER;
            size = 10;
            break;
        }
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong: {
            const SQLBIGINT n = value.toLongLong();
            slot.bytes = QByteArray(reinterpret_cast<const char*>(&n), sizeof n);
            cType = SQL_C_SBIGINT;
            sqlType = SQL_BIGINT;
            size = 19;
            break;
        }
        case QMetaType::QDateTime: {
            const QDateTime dt = value.toDateTime();
            SQL_TIMESTAMP_STRUCT t = {};
            t.year = SQLSMALLINT(dt.date().year());
            t.month = SQLUSMALLINT(dt.date().month());
            t.day = SQLUSMALLINT(dt.date().day());
            t.hour = SQLUSMALLINT(dt.time().hour());
            t.minute = SQLUSMALLINT(dt.time().minute());
            t.second = SQLUSMALLINT(dt.time().second());
            slot.bytes = QByteArray(reinterpret_cast<const char*>(&t), sizeof t);
            cType = SQL_C_TYPE_TIMESTAMP;
            sqlType = SQL_TYPE_TIMESTAMP;
            size = 19;
            break;
        }
        case QMetaType::QByteArray:
            slot.bytes = value.toByteArray();
            cType = SQL_C_BINARY;
            sqlType = SQL_VARBINARY;
            size = std::max<SQLULEN>(1, SQLULEN(slot.bytes.size()));
            break;
        default: { // texts, and any other value as its text
            const QString text = value.toString();
            slot.bytes = QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * qsizetype(sizeof(char16_t)));
            // Declared NVARCHAR(4000), or NVARCHAR(MAX) when longer, whatever its length: SQL
            // Server compiles and keeps a plan for each list of declared parameters, and one that
            // followed each text's length would make a new one for nearly every execution.
            sqlType = text.size() > 4000 ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
            size = text.size() > 4000 ? SQLULEN(text.size()) : 4000;
            break;
        }
        }
        slot.indicator = null ? SQL_NULL_DATA : SQLLEN(slot.bytes.size());
        if (slot.bytes.isEmpty())
            slot.bytes = QByteArray(sizeof(SQLWCHAR), '\0'); // a valid address for an empty text
        r = SQLBindParameter(statement, SQLUSMALLINT(i + 1), SQL_PARAM_INPUT, cType, sqlType, size, digits,
                             slot.bytes.data(), SQLLEN(slot.bytes.size()), &slot.indicator);
    }
    if (SQL_SUCCEEDED(r))
        r = SQLExecute(statement);
    if (r == SQL_NO_DATA) // a statement that changed no row
        r = SQL_SUCCESS;
    if (!SQL_SUCCEEDED(r))
        failure = diagnosticOf(SQL_HANDLE_STMT, statement);
    SQLFreeStmt(statement, SQL_RESET_PARAMS);
    return SQL_SUCCEEDED(r);
}

// The names and value types of a statement's result columns.
void describeColumns(SQLHSTMT statement, QStringList& names, QList<QMetaType>& types)
{
    SQLSMALLINT count = 0;
    SQLNumResultCols(statement, &count);
    for (SQLUSMALLINT column = 1; column <= count; ++column) {
        SQLWCHAR name[256] = {};
        SQLSMALLINT nameLength = 0;
        SQLSMALLINT type = 0;
        SQLULEN size = 0;
        SQLSMALLINT digits = 0;
        SQLSMALLINT nullable = 0;
        SQLDescribeColW(statement, column, name, SQLSMALLINT(std::size(name)), &nameLength, &type, &size, &digits, &nullable);
        names.append(QString::fromUtf16(reinterpret_cast<const char16_t*>(name),
                                        std::min<qsizetype>(nameLength, qsizetype(std::size(name)) - 1)));
        types.append(metaTypeOf(type));
    }
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

// A socket of the process, known by more than its number: a number that was closed and given
// to another socket names one of another inode, or with another peer.
struct SocketId {
    int fd = -1;
    quint64 device = 0;
    quint64 inode = 0;
    QByteArray peer;
};

[[maybe_unused]] std::optional<SocketId> socketAt([[maybe_unused]] int fd) // Linux only
{
#ifdef __linux__
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode))
        return std::nullopt;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    QByteArray peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        peer = QByteArray(reinterpret_cast<const char*>(&address), qsizetype(qMin<socklen_t>(length, sizeof address)));
    return SocketId{fd, quint64(status.st_dev), quint64(status.st_ino), peer};
#else
    return std::nullopt;
#endif
}

// The sockets of the process.
QList<SocketId> openSockets()
{
    QList<SocketId> sockets;
#ifdef __linux__
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    for (const QString& name : descriptors.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        bool isNumber = false;
        const int fd = name.toInt(&isNumber);
        if (isNumber)
            if (const std::optional<SocketId> socket = socketAt(fd))
                sockets.append(*socket);
    }
#endif
    return sockets;
}

// The sockets of `now` whose inodes `before` did not hold: those that a connection's open made.
QList<SocketId> newSockets(const QList<SocketId>& before, const QList<SocketId>& now)
{
    QSet<std::pair<quint64, quint64>> known;
    for (const SocketId& socket : before)
        known.insert({socket.device, socket.inode});
    QList<SocketId> made;
    for (const SocketId& socket : now)
        if (!known.contains({socket.device, socket.inode}))
            made.append(socket);
    return made;
}

// Shuts a socket of the connection, only while its number still names the same socket with the
// same peer.
void shutIfSame(const SocketId& socket)
{
#ifdef __linux__
    const std::optional<SocketId> current = socketAt(socket.fd);
    if (current && current->device == socket.device && current->inode == socket.inode && current->peer == socket.peer)
        ::shutdown(socket.fd, SHUT_RDWR);
#else
    Q_UNUSED(socket);
#endif
}

QtMessageHandler g_nextHandler = nullptr;

void dropDriverWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // Qt's ODBC layer writes its warnings with or without quotes around its own part.
    if (type == QtWarningMsg
        && (message.startsWith(QLatin1String("QODBC")) || message.startsWith(QLatin1String("\"QODBC"))
            || message.startsWith(QLatin1String("qGetStringData"))))
        return;
    if (g_nextHandler)
        g_nextHandler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

} // namespace

QStringList sessionStatements(Dialect dialect, Access access)
{
    const bool readOnly = access == Access::ReadOnly;
    switch (dialect) {
    case Dialect::SqlServer:
        return {QStringLiteral("SET TEXTSIZE 2147483647")};
    case Dialect::SQLite:
        return readOnly ? QStringList{QStringLiteral("PRAGMA query_only=1")} : QStringList();
    case Dialect::PostgreSQL:
        return readOnly ? QStringList{QStringLiteral("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY")} : QStringList();
    case Dialect::Other:
        break;
    }
    return {};
}

QString textLengthExpression(TextMeasure measure, const QString& column)
{
    switch (measure) {
    case TextMeasure::Utf16Units: // text, ntext, varchar and nvarchar alike
        return QStringLiteral("DATALENGTH(CAST(%1 AS nvarchar(max)))/2").arg(column);
    case TextMeasure::Utf8Bytes:
        return QStringLiteral("DATALENGTH(CAST(%1 AS nvarchar(max)))").arg(column);
    case TextMeasure::Characters:
        return QStringLiteral("length(%1)").arg(column);
    case TextMeasure::Unknown:
        break;
    }
    return QString();
}

void checkTextLength(TextMeasure measure, const QString& text, const QVariant& serverLength, const QString& what)
{
    if (serverLength.isNull() || !serverLength.isValid() || measure == TextMeasure::Unknown)
        return;
    const qint64 expected = serverLength.toLongLong();
    const qint64 read = measure == TextMeasure::Utf16Units ? text.size()
                      : measure == TextMeasure::Utf8Bytes  ? text.toUtf8().size()
                                                           : text.toUcs4().size();
    if (read != expected)
        throw Error(QStringLiteral("le texte de %1 a été lu incomplet (%2 %4 sur %3) : il n'est pas réécrit.")
                        .arg(what)
                        .arg(read)
                        .arg(expected)
                        .arg(measure == TextMeasure::Utf8Bytes ? QStringLiteral("octets") : QStringLiteral("caractères")));
}

QStringList installedOdbcDrivers()
{
    QStringList drivers;
    SQLHENV environment = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment)))
        return drivers;
    SQLSetEnvAttr(environment, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLWCHAR name[256];
    SQLWCHAR attributes[2];
    SQLSMALLINT nameLength = 0;
    SQLSMALLINT attributesLength = 0;
    for (SQLUSMALLINT direction = SQL_FETCH_FIRST;; direction = SQL_FETCH_NEXT) {
        const SQLRETURN r = SQLDriversW(environment, direction, name, SQLSMALLINT(std::size(name)), &nameLength,
                                        attributes, SQLSMALLINT(std::size(attributes)), &attributesLength);
        if (!SQL_SUCCEEDED(r))
            break;
        QString driver;
        for (int i = 0; i < nameLength && i < int(std::size(name)) && name[i]; ++i)
            driver += QChar(char16_t(name[i]));
        drivers.append(driver);
    }
    SQLFreeHandle(SQL_HANDLE_ENV, environment);
    return drivers;
}

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

    // shut: what ends the calls that wait, run on the watchdog's thread.
    explicit Watchdog(std::function<void()> shut) : m_shut(std::move(shut)), m_thread([this] { watch(); }) {}
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
        bool wake = false;
        {
            std::lock_guard lock(m_mutex);
            m_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds + kGraceSeconds);
            m_fired = false;
            // The watchdog sleeps until the deadline it last saw, then looks again: it is woken
            // only when it sleeps without one or past this one. A run makes hundreds of thousands
            // of calls, and a wake-up each would cost it a tenth of its time.
            wake = !m_sleepsUntil || *m_deadline < *m_sleepsUntil;
        }
        if (wake)
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
            m_sleepsUntil = m_deadline;
            if (!m_sleepsUntil) {
                m_changed.wait(lock);
                continue;
            }
            if (m_changed.wait_until(lock, *m_sleepsUntil) != std::cv_status::timeout || !m_deadline
                || std::chrono::steady_clock::now() < *m_deadline)
                continue;
            m_shut();
            m_fired = true;
            m_deadline.reset();
        }
    }

    const std::function<void()> m_shut;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<std::chrono::steady_clock::time_point> m_deadline;
    std::optional<std::chrono::steady_clock::time_point> m_sleepsUntil; // what the watchdog waits for
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

void DestinationConnection::open(const QString& odbcConnectionString, Access access)
{
    close();
    checkDriverNamed(odbcConnectionString);
    QSqlDatabase db = QSqlDatabase::contains(m_name) ? QSqlDatabase::database(m_name, false)
                                                     : QSqlDatabase::addDatabase(QStringLiteral("QODBC"), m_name);
    if (!db.isValid())
        throw Error(QStringLiteral("Le pilote QODBC de Qt est introuvable."));
    db.setDatabaseName(odbcConnectionString);
    // A server that does not answer gives up after 15 seconds instead of hanging the run.
    db.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(kLoginTimeoutSeconds));
    // The open is watched too: past the timeout, the sockets that appeared since it began are shut.
    const QList<SocketId> socketsBefore = openSockets();
    bool opened = false;
    bool timedOut = false;
    {
        Watchdog opening([socketsBefore] {
            for (const SocketId& socket : newSockets(socketsBefore, openSockets()))
                shutIfSame(socket);
        });
        opening.arm(std::max(m_queryTimeout, kLoginTimeoutSeconds));
        opened = db.open();
        timedOut = opening.disarm();
    }
    if (!opened || timedOut) {
        const QString message = timedOut ? noAnswerMessage() : driverMessage(db.lastError());
        db.close();
        db.setDatabaseName(QString());
        throw Error(message);
    }
    ++m_generation;
    m_lost = false;
    m_inTransaction = false;
    const QList<SocketId> sockets = newSockets(socketsBefore, openSockets());
    m_watchdog = std::make_unique<Watchdog>([sockets] {
        for (const SocketId& socket : sockets)
            shutIfSame(socket);
    });

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
    SQLWCHAR driver[128] = {};
    length = 0;
    m_basicPlaneOnly = false;
    if (SQL_SUCCEEDED(SQLGetInfoW(odbcHandle(db.driver()->handle()), SQL_DRIVER_NAME, driver, sizeof driver, &length))) {
        QString library;
        for (int i = 0; i < int(length / sizeof(SQLWCHAR)) && driver[i]; ++i)
            library += QChar(char16_t(driver[i]));
        m_basicPlaneOnly = library.contains(QLatin1String("tdsodbc"), Qt::CaseInsensitive);
    }
    try {
        for (const QString& statement : sessionStatements(m_dialect, access))
            DestQuery(*this, statement).exec();
        m_textMeasure = m_dialect == Dialect::PostgreSQL || m_dialect == Dialect::SQLite ? TextMeasure::Characters
                                                                                          : TextMeasure::Unknown;
        if (m_dialect == Dialect::SqlServer) {
            // One character of the basic Latin block: two bytes of UTF-16, or one of UTF-8.
            DestQuery measure(*this, QStringLiteral("SELECT DATALENGTH(N'a')"));
            measure.open();
            const qint64 bytes = measure.eof() ? 0 : measure.value(0).toLongLong();
            measure.close();
            m_textMeasure = bytes == 2 ? TextMeasure::Utf16Units : bytes == 1 ? TextMeasure::Utf8Bytes : TextMeasure::Unknown;
        }
    } catch (const ConnectionLost& lost) {
        close();
        throw Error(lost.message, lost.sqlState);
    } catch (const Error&) {
        close();
        throw;
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

QString DestinationConnection::noAnswerMessage() const
{
    return QStringLiteral("la base Talmérosin n'a pas répondu en %1 secondes").arg(m_queryTimeout);
}

void DestinationConnection::noAnswer()
{
    fail(noAnswerMessage(), QStringLiteral("HYT00"));
}

void DestinationConnection::checkDriverNamed(const QString& odbcConnectionString) const
{
    const QStringList installed = installedOdbcDrivers();
    for (const auto& [key, value] : odbcAttributes(odbcConnectionString)) {
        if (key.compare(QLatin1String("FILEDSN"), Qt::CaseInsensitive) == 0)
            throw Error(QStringLiteral("l'attribut FILEDSN n'est pas accepté dans la connexion à la base Talmérosin : "
                                       "le pilote est nommé par la clé Driver de la section [Destination]."));
        if (key.compare(QLatin1String("DRIVER"), Qt::CaseInsensitive) == 0 && !installed.contains(value, Qt::CaseInsensitive))
            throw Error(QStringLiteral("le pilote ODBC « %1 » n'est pas un pilote installé. La clé Driver de la section "
                                       "[Destination] nomme un des pilotes que le gestionnaire ODBC connaît (%2), jamais "
                                       "le chemin d'une bibliothèque.")
                            .arg(value, installed.join(QStringLiteral(", "))));
    }
}

void DestinationConnection::begin()
{
    requireAlive();
    QSqlDatabase db = database();
    CallGuard guard(m_watchdog.get(), m_queryTimeout);
    const bool begun = db.transaction();
    if (guard.timedOut())
        noAnswer();
    if (!begun)
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
    if (QSqlDatabase::contains(m_name)) {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        if (db.isOpen()) {
            CallGuard guard(m_watchdog.get(), m_queryTimeout);
            db.close();
        }
    }
    m_watchdog.reset();
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

QStringList DestinationConnection::tables()
{
    checkNoPendingResult(nullptr);
    requireAlive();
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
    SQLSetStmtAttr(statement.get(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(SQLULEN(m_queryTimeout)), 0);
    QStringList names;
#ifdef UNICODE
    SQLWCHAR types[] = L"TABLE,VIEW"; // Qt's Windows builds call the wide functions
#else
    SQLCHAR types[] = "TABLE,VIEW";
#endif
    testHold("catalogue");
    CallGuard guard(m_watchdog.get(), m_queryTimeout);
    const bool listed = SQL_SUCCEEDED(SQLTables(statement.get(), nullptr, 0, nullptr, 0, nullptr, 0, types, SQL_NTS));
    while (listed && SQL_SUCCEEDED(SQLFetch(statement.get()))) {
        const QString schema = odbcText(statement.get(), 2);
        const QString name = odbcText(statement.get(), 3);
        if (name.isEmpty() || isCatalogueSchema(schema) || name.startsWith(QLatin1String("sqlite_"), Qt::CaseInsensitive)
            || isCompatibilityView(odbcText(statement.get(), 4), name))
            continue;
        names.append(name);
    }
    if (guard.timedOut())
        noAnswer();
    if (!listed)
        fail(QStringLiteral("Impossible de lire la liste des tables de la base."), sqlStateOf(SQL_HANDLE_STMT, statement.get()));
    return names;
}

QSqlRecord DestinationConnection::record(const QString& table)
{
    // The driver's catalogue is asked for the connection's own database without naming it: some
    // servers refuse a column list that names a catalogue (and Qt's own record() names it).
    checkNoPendingResult(nullptr);
    requireAlive();
    QSqlDatabase db = database();
    if (!db.isOpen())
        throw Error(QStringLiteral("La connexion à la base de destination n'est pas ouverte."));
    const OdbcStatement statement(odbcHandle(db.driver()->handle()));
    if (!statement.isValid())
        throw Error(QStringLiteral("Impossible de lire les colonnes de la table %1.").arg(table));
    SQLSetStmtAttr(statement.get(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(SQLULEN(m_queryTimeout)), 0);
#ifdef UNICODE
    const std::wstring name = table.toStdWString();
    std::vector<SQLWCHAR> tableName(name.begin(), name.end());
#else
    const QByteArray name = table.toUtf8();
    std::vector<SQLCHAR> tableName(name.begin(), name.end());
#endif
    tableName.push_back(0);
    testHold("catalogue");
    CallGuard guard(m_watchdog.get(), m_queryTimeout);
    QSqlRecord columns;
    const bool listed = SQL_SUCCEEDED(
        SQLColumns(statement.get(), nullptr, 0, nullptr, 0, tableName.data(), SQL_NTS, nullptr, 0));
    while (listed && SQL_SUCCEEDED(SQLFetch(statement.get()))) {
        SQLSMALLINT type = 0;
        SQLINTEGER size = 0;
        SQLLEN indicator = 0;
        SQLGetData(statement.get(), 5, SQL_C_SSHORT, &type, 0, &indicator);
        if (!SQL_SUCCEEDED(SQLGetData(statement.get(), 7, SQL_C_SLONG, &size, 0, &indicator)) || indicator == SQL_NULL_DATA)
            size = 0;
        QSqlField field(odbcText(statement.get(), 4), metaTypeOf(type), table);
        field.setLength(size);
        columns.append(field);
    }
    if (guard.timedOut())
        noAnswer();
    if (!listed)
        fail(QStringLiteral("Impossible de lire les colonnes de la table %1.").arg(table),
             sqlStateOf(SQL_HANDLE_STMT, statement.get()));
    return columns;
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

namespace {

// FreeTDS sends texts in UCS-2: a character outside the basic plane (an emoji) fails the statement
// and leaves the connection refusing every later one ("Invalid cursor state"). Such a text is
// refused before it is sent.
void checkBasicPlane(const QList<QPair<QString, QVariant>>& named, const QList<QVariant>& positional)
{
    const auto check = [](const QVariant& value) {
        if (value.metaType() != QMetaType::fromType<QString>())
            return;
        const QString text = value.toString();
        if (std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.isSurrogate(); }))
            throw Error(QStringLiteral("un texte contient un caractère que le pilote FreeTDS ne peut pas transmettre "
                                       "à SQL Server (un caractère hors du plan multilingue de base, un emoji par "
                                       "exemple) : il n'est pas écrit."));
    };
    for (const auto& entry : named)
        check(entry.second);
    for (const QVariant& value : positional)
        check(value);
}

} // namespace

struct DestQuery::Private {
    QString text;
    QSqlQuery query;
    bool prepared = false;
    int generation = 0; // of the connection it was prepared on
    bool open = false;
    bool atEnd = true;
    int columns = 0; // of the open result set
    QStringList names;      // of the open result set's columns
    QList<QMetaType> types; // of its columns' values
    // The statement is executed and its rows read by the program itself on the statement that
    // Qt's driver prepared: through FreeTDS, Qt's driver sends texts as VARCHAR in the server's
    // code page (a name outside it fails the statement) and reads long texts back empty.
    bool ownCalls = false;
    bool fetchFailed = false; // the last fetch of an own call failed
    Diagnostic failure;       // of an own call's failed execution
    QList<QVariant> row;    // the current row's values read so far, in column order
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
    const SQLHANDLE statement = odbcHandle(m_d->query.result()->handle());
    Diagnostic failure = std::exchange(m_d->failure, {});
    if (failure.state.isEmpty() && failure.message.isEmpty()) {
        failure = diagnosticOf(SQL_HANDLE_STMT, statement);
        if (!m_d->ownCalls)
            failure.message = driverMessage(m_d->query.lastError());
    }
    if (m_d->ownCalls)
        SQLFreeStmt(statement, SQL_CLOSE);
    m_d->query.finish();
    m_connection.fail(failure.message, failure.state);
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
        m_d->ownCalls = m_connection.dialect() == Dialect::SqlServer;
    }
    for (const auto& [name, value] : std::as_const(m_d->bound))
        m_d->query.bindValue(u':' + name, value);
    for (qsizetype i = 0; i < m_d->positional.size(); ++i)
        m_d->query.bindValue(int(i), m_d->positional.at(i));
    if (m_connection.m_basicPlaneOnly)
        checkBasicPlane(m_d->bound, m_d->positional);
    CallGuard guard(m_connection.m_watchdog.get(), m_connection.m_queryTimeout);
    const bool executed = m_d->ownCalls
                            ? executeWithValues(statementHandle(), m_d->query.boundValues(), m_d->failure)
                            : m_d->query.exec();
    if (guard.timedOut())
        m_connection.noAnswer();
    if (!executed)
        fail();
}

void* DestQuery::statementHandle() const
{
    return odbcHandle(m_d->query.result()->handle());
}

bool DestQuery::fetch()
{
    CallGuard guard(m_connection.m_watchdog.get(), m_connection.m_queryTimeout);
    bool fetched = false;
    if (m_d->ownCalls) {
        const SQLRETURN r = SQLFetch(statementHandle());
        fetched = SQL_SUCCEEDED(r);
        m_d->fetchFailed = !fetched && r != SQL_NO_DATA;
    } else {
        fetched = m_d->query.next();
    }
    m_d->row.clear();
    if (guard.timedOut())
        m_connection.noAnswer();
    return fetched;
}

void DestQuery::open()
{
    run();
    m_d->names.clear();
    m_d->types.clear();
    if (m_d->ownCalls) {
        describeColumns(statementHandle(), m_d->names, m_d->types);
    } else if (m_d->query.isSelect()) {
        // Not yet on a row: the record holds the columns' names and types, no value.
        const QSqlRecord record = m_d->query.record();
        for (int i = 0; i < record.count(); ++i) {
            m_d->names.append(record.fieldName(i));
            m_d->types.append(record.field(i).metaType());
        }
    }
    if (m_d->names.isEmpty()) {
        if (m_d->ownCalls)
            SQLFreeStmt(statementHandle(), SQL_CLOSE);
        m_d->query.finish();
        return;
    }
    m_d->open = true;
    m_d->columns = int(m_d->names.size());
    m_connection.m_pending = this;
    m_d->atEnd = !fetch();
    if (m_d->atEnd && failedToFetch()) {
        m_connection.m_pending = nullptr;
        m_d->open = false;
        fail();
    }
}

void DestQuery::exec()
{
    run();
    if (m_d->ownCalls)
        SQLFreeStmt(statementHandle(), SQL_CLOSE);
    m_d->query.finish();
}

bool DestQuery::failedToFetch() const
{
    return m_d->ownCalls ? m_d->fetchFailed : m_d->query.lastError().isValid();
}

void DestQuery::close()
{
    if (m_d->ownCalls && m_d->open)
        SQLFreeStmt(statementHandle(), SQL_CLOSE);
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
    if (m_d->atEnd && failedToFetch())
        fail();
}

int DestQuery::columnCount() const
{
    return m_d->open ? m_d->columns : 0;
}

QString DestQuery::columnName(int position) const
{
    return m_d->open ? m_d->names.value(position) : QString();
}

QVariant DestQuery::value(const QString& column) const
{
    if (eof())
        throw Error(QStringLiteral("Aucun enregistrement courant pour lire la colonne %1.").arg(column));
    for (int i = 0; i < m_d->names.size(); ++i) {
        if (m_d->names.at(i).compare(column, Qt::CaseInsensitive) == 0)
            return value(i);
    }
    throw Error(QStringLiteral("La colonne %1 est introuvable.").arg(column));
}

QVariant DestQuery::value(int position) const
{
    if (eof())
        throw Error(QStringLiteral("Aucun enregistrement courant pour lire la colonne %1.").arg(position));
    if (position < 0 || position >= m_d->columns)
        throw Error(QStringLiteral("La colonne %1 est introuvable.").arg(position));
    if (!m_d->ownCalls)
        return naive(m_d->query.value(position));
    // A driver may give a column only once, and only after the ones before it.
    const auto statement = static_cast<SQLHSTMT>(statementHandle());
    while (m_d->row.size() <= position) {
        const int column = int(m_d->row.size());
        QVariant read;
        if (!readColumn(statement, column, m_d->types.at(column), read)) {
            const Diagnostic failure = diagnosticOf(SQL_HANDLE_STMT, statement);
            m_connection.fail(failure.message.isEmpty()
                                  ? QStringLiteral("la colonne %1 n'a pas pu être lue").arg(m_d->names.at(column))
                                  : failure.message,
                              failure.state);
        }
        m_d->row.append(read);
    }
    return m_d->row.at(position);
}

} // namespace vf
