#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QVariantMap>
#include <QtTest/QTest>
#include <memory>

namespace vf::test {

// The destinations that every destination test runs against: the SQLite3 ODBC driver
// (embedded), PostgreSQL through psqlODBC (a throwaway cluster of this test process), and, when
// the test run started one, a server that speaks SQL Server's protocol (TDS) through FreeTDS:
// VF_TEST_TDS_PORT names its port on 127.0.0.1, where the login "sa" (password "murvex") may
// create databases.
enum class Backend { SQLite, PostgreSQL, TDS };

QString backendName(Backend backend); // "sqlite", "postgresql" or "tds"

// The destinations of this test run: SQLite and PostgreSQL, and TDS when VF_TEST_TDS_PORT is set.
QList<Backend> testBackends();

// Adds the data column "backend" (type Backend) with a row per destination of testBackends(),
// named by backendName(). Use it in a *_data() function, then `QFETCH(vf::test::Backend,
// backend);` and VF_TEST_DESTINATION.
void addBackendColumn();

// A fresh, empty destination database holding the reference schema (schema/sqlite.sql or
// schema/postgresql.sql). For PostgreSQL the first instance starts a cluster in a temporary folder
// (initdb, run as the "postgres" user when the process is root); it is stopped and deleted when
// the process exits, and by a watchdog if the process dies. Each instance gets its own database.
// The login is "sa" with the password "murvex", which is what an empty SAPW means.
class TestDestination {
public:
    explicit TestDestination(Backend backend);
    ~TestDestination();
    TestDestination(const TestDestination&) = delete;
    TestDestination& operator=(const TestDestination&) = delete;

    // False when the database could not be made; errorMessage() then says why.
    bool isReady() const;
    QString errorMessage() const;
    Backend backend() const;

    QString driverName() const;   // "SQLite3", "PostgreSQL Unicode" or "FreeTDS"
    QString serverName() const;   // empty for SQLite; the socket folder for PostgreSQL; 127.0.0.1
    QString databaseName() const; // the SQLite file, or the server's database's name
    QString options() const;      // the extra ODBC attributes ("Port=...", and the TDS version)

    // The ODBC connection string, built as the program builds it from Kestrune.ver and [Destination].
    QString connectionString() const;
    // Writes folder/"Kestrune.ver": section DBKERNEL with DatabaseName, ServerName, UserName and an
    // empty SAPW (the password "murvex").
    void writeKestrune(const QString& folder) const;
    // Writes the [Destination] section (Driver, Options) into the settings file, keeping the rest
    // of the file as it is and replacing an earlier [Destination] section.
    void writeDestinationSection(const QString& settingsPath) const;

    // A direct QODBC connection for assertions (its own connection name).
    QSqlDatabase db() const;
    // Opens the connections again after the server was stopped and started.
    void reconnect() const;
    // Every row of a query, keys upper-cased, date-times as naive UTC values. A failing statement
    // fails the current test (QTest::qFail) and returns nothing.
    QList<QVariantMap> rows(const QString& sql) const;
    // The first column of the first row (an invalid QVariant when there is none).
    QVariant scalar(const QString& sql) const;
    // Runs a statement; a failure fails the current test and returns false.
    bool exec(const QString& sql) const;
    // The server of a backend stopped (its sessions ended, what they committed kept) and started
    // again; false on failure, with the reason in *error. PostgreSQL's is the test process's own
    // throwaway server; the TDS server is stopped and started by the commands that its starter
    // gives in VF_TEST_TDS_STOP and VF_TEST_TDS_START.
    static bool stopServer(Backend backend, QString* error);
    static bool startServer(Backend backend, QString* error);

    // A date-time literal for statements written by tests, in the form in which the program's
    // bound values are stored, so that equalities with them hold on either destination
    // (SQLite keeps date-times as text: '2020-01-02 03:04:00.000').
    QString sqlDateTime(const QDateTime& value) const;

private:
    struct Private;
    std::unique_ptr<Private> m_d;
};

// The link tables that the runs of a program folder wrote for one destination: the folder of
// programFolder/LinksTables holding "Destination.txt" (LinksTables itself when there is none).
QString destinationLinksTables(const QString& programFolder);

} // namespace vf::test

Q_DECLARE_METATYPE(vf::test::Backend)

// Declares `name`, a fresh destination of `backend`, and fails the test when it cannot be made
// (PostgreSQL is never skipped).
#define VF_TEST_DESTINATION(name, backend)                                                          \
    vf::test::TestDestination name(backend);                                                       \
    QVERIFY2(name.isReady(), qPrintable(name.errorMessage()))
