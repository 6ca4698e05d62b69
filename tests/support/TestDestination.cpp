#include "TestDestination.h"

#include "base/Errors.h"
#include "destination/DestinationConnection.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QThread>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include <pwd.h>
#include <unistd.h>

#ifndef VF_SCHEMA_DIR
#error "VF_SCHEMA_DIR must name the schema folder"
#endif

namespace vf::test {

namespace {

const QString kUser = QStringLiteral("sa");
const QString kPassword = QStringLiteral("murvex"); // what an empty SAPW means
const int kPostgresPort = 5432;                     // on a socket in the cluster's own folder

std::atomic<int> g_counter{0};

// The port of the TDS server that the test run started, on 127.0.0.1; empty without one.
QString tdsPort()
{
    return qEnvironmentVariable("VF_TEST_TDS_PORT");
}

// Each test process's databases on the shared TDS server carry its process number: two test
// programs running at once never meet.
QString tdsDatabase(int number)
{
    return QStringLiteral("vf_test_%1_%2").arg(::getpid()).arg(number);
}

QString quoteValue(const QString& value)
{
    if (value.contains(u';') || value.contains(u'{') || value.contains(u'}')
        || value.startsWith(u' ') || value.endsWith(u' '))
        return u'{' + QString(value).replace(QStringLiteral("}"), QStringLiteral("}}")) + u'}';
    return value;
}

QVariant naive(const QVariant& value)
{
    if (value.metaType() != QMetaType::fromType<QDateTime>() || value.isNull())
        return value;
    const QDateTime dt = value.toDateTime();
    return QDateTime(dt.date(), dt.time(), Qt::UTC);
}

QString sqlError(const QSqlError& error)
{
    return error.databaseText().isEmpty() ? error.text() : error.databaseText();
}

// Statements of a generated schema file: "--" comment lines dropped, split at ";".
QStringList schemaStatements(const QString& fileName, QString* error)
{
    QFile file(QStringLiteral(VF_SCHEMA_DIR) + u'/' + fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the schema file %1").arg(file.fileName());
        return {};
    }
    QStringList lines;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n')) {
        if (!line.trimmed().startsWith(QLatin1String("--")))
            lines.append(line);
    }
    QStringList statements;
    for (const QString& s : lines.join(u'\n').split(u';')) {
        if (!s.trimmed().isEmpty())
            statements.append(s.trimmed());
    }
    return statements;
}

bool isRoot()
{
    return ::geteuid() == 0;
}

// The folder of the PostgreSQL server programs: VF_PG_BIN, the PATH, or the newest
// /usr/lib/postgresql/<version>/bin.
QString postgresBinDir()
{
    const QString fromEnv = qEnvironmentVariable("VF_PG_BIN");
    if (!fromEnv.isEmpty())
        return fromEnv;
    const QString inPath = QStandardPaths::findExecutable(QStringLiteral("initdb"));
    if (!inPath.isEmpty())
        return QFileInfo(QFileInfo(inPath).canonicalFilePath()).absolutePath();
    QDir versions(QStringLiteral("/usr/lib/postgresql"));
    QStringList names = versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        return a.toDouble() > b.toDouble();
    });
    for (const QString& name : names) {
        const QString bin = versions.filePath(name + QStringLiteral("/bin"));
        if (QFileInfo::exists(bin + QStringLiteral("/initdb")))
            return bin;
    }
    return QString();
}

// Runs a PostgreSQL program; as root, as the postgres user (initdb and the server refuse root).
bool runServerTool(const QString& program, const QStringList& arguments, QString* output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (isRoot())
        process.start(QStringLiteral("runuser"),
                      QStringList{QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--"), program}
                          + arguments);
    else
        process.start(program, arguments);
    if (!process.waitForFinished(180000)) {
        *output = QStringLiteral("%1 did not finish: %2").arg(program, process.errorString());
        process.kill();
        process.waitForFinished();
        return false;
    }
    *output = QString::fromLocal8Bit(process.readAll());
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// The throwaway PostgreSQL cluster of this test process: started on first use, stopped and
// deleted at exit; a watchdog shell stops it if the process dies first.
class PostgresCluster {
public:
    static PostgresCluster& instance()
    {
        static PostgresCluster cluster;
        return cluster;
    }

    bool ready() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    QString socketDir() const { return m_base; }

    bool stop(QString* output)
    {
        return runServerTool(m_bin + QStringLiteral("/pg_ctl"),
                             {QStringLiteral("stop"), QStringLiteral("-D"), m_base + QStringLiteral("/data"),
                              QStringLiteral("-m"), QStringLiteral("fast"), QStringLiteral("-w")},
                             output);
    }
    bool start(QString* output)
    {
        return runServerTool(m_bin + QStringLiteral("/pg_ctl"),
                             {QStringLiteral("start"), QStringLiteral("-D"), m_base + QStringLiteral("/data"),
                              QStringLiteral("-w"), QStringLiteral("-l"), m_base + QStringLiteral("/server.log"),
                              QStringLiteral("-o"), QStringLiteral("-k %1 -p %2").arg(m_base).arg(kPostgresPort)},
                             output);
    }

    ~PostgresCluster()
    {
        if (m_base.isEmpty())
            return;
        if (m_started) {
            const QString stop = QStringLiteral("%1/pg_ctl stop -D %2/data -m immediate -w >/dev/null 2>&1")
                                     .arg(m_bin, m_base);
            const QString command = isRoot() ? QStringLiteral("runuser -u postgres -- ") + stop : stop;
            const int ignored = std::system(command.toLocal8Bit().constData());
            (void)ignored;
        }
        std::error_code ec;
        std::filesystem::remove_all(m_base.toStdString(), ec);
    }

private:
    PostgresCluster() { m_error = start(); }

    QString start()
    {
        m_bin = postgresBinDir();
        if (m_bin.isEmpty())
            return QStringLiteral("PostgreSQL server programs (initdb) not found: install the "
                                  "postgresql package or set VF_PG_BIN");
        QByteArray pattern = QDir::tempPath().toLocal8Bit() + "/vf-pg-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            return QStringLiteral("cannot create a temporary folder for the PostgreSQL cluster");
        m_base = QString::fromLocal8Bit(pattern);

        const QString passwordFile = m_base + QStringLiteral("/password");
        {
            QFile pw(passwordFile);
            if (!pw.open(QIODevice::WriteOnly) || pw.write(kPassword.toUtf8() + '\n') < 0)
                return QStringLiteral("cannot write %1").arg(passwordFile);
        }
        if (isRoot()) {
            const passwd* pg = ::getpwnam("postgres");
            if (!pg)
                return QStringLiteral("running as root, but there is no \"postgres\" user to run "
                                      "the PostgreSQL server as");
            if (::chown(pattern.constData(), pg->pw_uid, pg->pw_gid) != 0
                || ::chown(passwordFile.toLocal8Bit().constData(), pg->pw_uid, pg->pw_gid) != 0)
                return QStringLiteral("cannot give %1 to the postgres user").arg(m_base);
        }

        QString output;
        if (!runServerTool(m_bin + QStringLiteral("/initdb"),
                           {QStringLiteral("-D"), m_base + QStringLiteral("/data"), QStringLiteral("-U"), kUser,
                            QStringLiteral("--pwfile=") + passwordFile, QStringLiteral("-A"),
                            QStringLiteral("scram-sha-256"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                            QStringLiteral("--locale=C"), QStringLiteral("--no-sync")},
                           &output))
            return QStringLiteral("initdb failed: ") + output;

        {
            QFile conf(m_base + QStringLiteral("/data/postgresql.conf"));
            if (!conf.open(QIODevice::Append))
                return QStringLiteral("cannot write %1").arg(conf.fileName());
            conf.write("\nlisten_addresses = ''\n"
                       "fsync = off\nsynchronous_commit = off\nfull_page_writes = off\n"
                       "max_connections = 200\n");
        }

        const QString script =
            QStringLiteral("\"$0\"/postgres -D \"$1\"/data -k \"$1\" -p %1 >\"$1\"/server.log 2>&1 &\n"
                           "pg=$!\n"
                           "while kill -0 $pg 2>/dev/null && [ -d /proc/%2 ]; do sleep 1; done\n"
                           "if [ ! -d /proc/%2 ]; then kill -INT $pg 2>/dev/null; wait $pg; rm -rf \"$1\"; fi\n")
                .arg(kPostgresPort)
                .arg(::getpid());
        QStringList arguments{QStringLiteral("-c"), script, m_bin, m_base};
        QString program = QStringLiteral("sh");
        if (isRoot()) {
            arguments = QStringList{QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--"),
                                    QStringLiteral("sh")}
                + arguments;
            program = QStringLiteral("runuser");
        }
        if (!QProcess::startDetached(program, arguments))
            return QStringLiteral("cannot start the PostgreSQL server");
        m_started = true;

        for (int attempt = 0; attempt < 600; ++attempt) {
            QProcess ready;
            ready.start(m_bin + QStringLiteral("/pg_isready"),
                        {QStringLiteral("-q"), QStringLiteral("-h"), m_base, QStringLiteral("-p"),
                         QString::number(kPostgresPort)});
            if (ready.waitForFinished(10000) && ready.exitStatus() == QProcess::NormalExit
                && ready.exitCode() == 0)
                return QString();
            QThread::msleep(100);
        }
        QFile log(m_base + QStringLiteral("/server.log"));
        log.open(QIODevice::ReadOnly);
        return QStringLiteral("the PostgreSQL server did not start within 60 seconds: ")
            + QString::fromLocal8Bit(log.readAll());
    }

    QString m_bin;
    QString m_base;
    QString m_error;
    bool m_started = false;
};

} // namespace

QString backendName(Backend backend)
{
    switch (backend) {
    case Backend::SQLite: return QStringLiteral("sqlite");
    case Backend::PostgreSQL: return QStringLiteral("postgresql");
    case Backend::TDS: return QStringLiteral("tds");
    }
    return QString();
}

QList<Backend> testBackends()
{
    QList<Backend> backends{Backend::SQLite, Backend::PostgreSQL};
    if (!tdsPort().isEmpty())
        backends.append(Backend::TDS);
    return backends;
}

void addBackendColumn()
{
    QTest::addColumn<Backend>("backend");
    for (const Backend backend : testBackends())
        QTest::newRow(qPrintable(backendName(backend))) << backend;
}

struct TestDestination::Private {
    Backend backend;
    QString error;
    QString connectionName;
    QString databaseName;
    std::unique_ptr<QTemporaryDir> folder; // the SQLite file's folder
    // Over TDS, rows are read as the program reads them: Qt's driver reads long texts empty there.
    std::unique_ptr<vf::DestinationConnection> reader;

    QString make();
    QString connectionString() const;
};

QString driverOf(Backend backend)
{
    switch (backend) {
    case Backend::SQLite: return QStringLiteral("SQLite3");
    case Backend::PostgreSQL: return QStringLiteral("PostgreSQL Unicode");
    case Backend::TDS: return QStringLiteral("FreeTDS");
    }
    return QString();
}

QString serverOf(Backend backend)
{
    switch (backend) {
    case Backend::SQLite: return QString();
    case Backend::PostgreSQL: return PostgresCluster::instance().socketDir();
    case Backend::TDS: return QStringLiteral("127.0.0.1");
    }
    return QString();
}

// The embedded destination syncs the disk at each statement unless told otherwise: tests run it
// in WAL mode without a sync per statement, as the demo does.
QString optionsOf(Backend backend)
{
    switch (backend) {
    case Backend::SQLite: return QStringLiteral("SyncPragma=NORMAL;JournalMode=WAL");
    case Backend::PostgreSQL: return QStringLiteral("Port=%1").arg(kPostgresPort);
    case Backend::TDS: return QStringLiteral("Port=%1;TDS_Version=7.4").arg(tdsPort());
    }
    return QString();
}

QString TestDestination::Private::connectionString() const
{
    return QStringLiteral("DRIVER={%1};SERVER=%2;DATABASE=%3;UID=%4;PWD=%5;")
               .arg(driverOf(backend), quoteValue(serverOf(backend)), quoteValue(databaseName), quoteValue(kUser),
                    quoteValue(kPassword))
        + optionsOf(backend);
}

QString TestDestination::Private::make()
{
    const int number = ++g_counter;
    connectionName = QStringLiteral("vf_test_destination_%1").arg(number);
    QString schemaFile;
    if (backend == Backend::SQLite) {
        folder = std::make_unique<QTemporaryDir>();
        if (!folder->isValid())
            return QStringLiteral("cannot create a temporary folder: ") + folder->errorString();
        databaseName = folder->filePath(QStringLiteral("talmerosin.sqlite"));
        schemaFile = QStringLiteral("sqlite.sql");
    } else {
        const bool tds = backend == Backend::TDS;
        if (tds && tdsPort().isEmpty())
            return QStringLiteral("no TDS server for this test run (VF_TEST_TDS_PORT is not set)");
        PostgresCluster* cluster = tds ? nullptr : &PostgresCluster::instance();
        if (cluster && !cluster->ready())
            return QStringLiteral("PostgreSQL destination unavailable: ") + cluster->error();
        databaseName = tds ? tdsDatabase(number) : QStringLiteral("vf_test_%1").arg(number);
        const QString adminName = connectionName + QStringLiteral("_admin");
        QString error;
        {
            QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), adminName);
            const QString target = databaseName;
            databaseName = tds ? QStringLiteral("master") : QStringLiteral("postgres");
            admin.setDatabaseName(connectionString());
            databaseName = target;
            if (!admin.open())
                error = QStringLiteral("cannot connect to the %1 server: %2").arg(backendName(backend), sqlError(admin.lastError()));
            else {
                QSqlQuery create(admin);
                create.setForwardOnly(true);
                // Babelfish's catalogue refuses two databases created at once by test programs
                // running side by side ("tuple concurrently updated"): tried again.
                for (int attempt = 1; attempt <= 10; ++attempt) {
                    if (create.exec(QStringLiteral("CREATE DATABASE ") + databaseName)) {
                        error.clear();
                        break;
                    }
                    error = QStringLiteral("CREATE DATABASE failed: ") + sqlError(create.lastError());
                    if (!error.contains(QLatin1String("concurrently")))
                        break;
                    QThread::msleep(100 * attempt);
                }
            }
            admin.close();
        }
        QSqlDatabase::removeDatabase(adminName);
        if (!error.isEmpty())
            return error;
        schemaFile = tds ? QStringLiteral("sqlserver.sql") : QStringLiteral("postgresql.sql");
    }

    QString error;
    const QStringList statements = schemaStatements(schemaFile, &error);
    if (!error.isEmpty())
        return error;
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), connectionName);
    db.setDatabaseName(connectionString());
    if (!db.open())
        return QStringLiteral("cannot connect to the %1 destination: %2")
            .arg(backendName(backend), sqlError(db.lastError()));
    for (const QString& statement : statements) {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!q.exec(statement))
            return QStringLiteral("schema statement failed on %1: %2\n%3")
                .arg(backendName(backend), sqlError(q.lastError()), statement);
    }
    return QString();
}

TestDestination::TestDestination(Backend backend)
    : m_d(std::make_unique<Private>())
{
    m_d->backend = backend;
    m_d->error = m_d->make();
}

TestDestination::~TestDestination()
{
    m_d->reader.reset();
    if (QSqlDatabase::contains(m_d->connectionName)) {
        QSqlDatabase::database(m_d->connectionName, false).close();
        QSqlDatabase::removeDatabase(m_d->connectionName);
    }
    // The TDS server outlives the test process: its database goes with the destination.
    if (m_d->backend == Backend::TDS && m_d->error.isEmpty()) {
        const QString adminName = m_d->connectionName + QStringLiteral("_drop");
        {
            const QString database = m_d->databaseName;
            m_d->databaseName = QStringLiteral("master");
            QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), adminName);
            admin.setDatabaseName(m_d->connectionString());
            if (admin.open()) {
                QSqlQuery drop(admin);
                drop.setForwardOnly(true);
                drop.exec(QStringLiteral("DROP DATABASE ") + database);
            }
            admin.close();
        }
        QSqlDatabase::removeDatabase(adminName);
    }
}

bool TestDestination::isReady() const
{
    return m_d->error.isEmpty();
}

QString TestDestination::errorMessage() const
{
    return m_d->error;
}

Backend TestDestination::backend() const
{
    return m_d->backend;
}

QString TestDestination::driverName() const
{
    return driverOf(m_d->backend);
}

QString TestDestination::serverName() const
{
    return serverOf(m_d->backend);
}

QString TestDestination::databaseName() const
{
    return m_d->databaseName;
}

QString TestDestination::options() const
{
    return optionsOf(m_d->backend);
}

QString TestDestination::connectionString() const
{
    return m_d->connectionString();
}

void TestDestination::writeKestrune(const QString& folder) const
{
    QFile file(QDir(folder).filePath(QStringLiteral("Kestrune.ver")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        QTest::qFail(qPrintable(QStringLiteral("cannot write ") + file.fileName()), __FILE__, __LINE__);
        return;
    }
    const QString text = QStringLiteral("[DBKERNEL]\r\nDatabaseName=%1\r\nServerName=%2\r\nUserName=%3\r\nSAPW=\r\n")
                             .arg(databaseName(), serverName(), kUser);
    file.write(text.toUtf8());
}

void TestDestination::writeDestinationSection(const QString& settingsPath) const
{
    QFile file(settingsPath);
    QByteArrayList kept;
    if (file.open(QIODevice::ReadOnly)) {
        bool inDestination = false;
        for (QByteArray line : file.readAll().split('\n')) {
            const QByteArray trimmed = line.trimmed();
            if (trimmed.startsWith('['))
                inDestination = trimmed.compare("[Destination]", Qt::CaseInsensitive) == 0;
            if (!inDestination)
                kept.append(line);
        }
        file.close();
        while (!kept.isEmpty() && kept.last().trimmed().isEmpty())
            kept.removeLast();
    }
    kept.append("[Destination]\r");
    kept.append("Driver=" + driverName().toUtf8() + '\r');
    kept.append("Options=" + options().toUtf8() + '\r');
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        QTest::qFail(qPrintable(QStringLiteral("cannot write ") + settingsPath), __FILE__, __LINE__);
        return;
    }
    file.write(kept.join('\n') + '\n');
}

namespace {

bool runTdsCommand(const char* variable, QString* error)
{
    const QString command = qEnvironmentVariable(variable);
    if (command.isEmpty()) {
        *error = QString::fromLatin1(variable) + QStringLiteral(" is not set");
        return false;
    }
    QProcess shell;
    shell.setProcessChannelMode(QProcess::MergedChannels);
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    if (shell.waitForFinished(120000) && shell.exitStatus() == QProcess::NormalExit && shell.exitCode() == 0)
        return true;
    *error = command + QStringLiteral(": ") + QString::fromLocal8Bit(shell.readAll());
    return false;
}

} // namespace

bool TestDestination::stopServer(Backend backend, QString* error)
{
    if (backend == Backend::TDS)
        return runTdsCommand("VF_TEST_TDS_STOP", error);
    return PostgresCluster::instance().stop(error);
}

bool TestDestination::startServer(Backend backend, QString* error)
{
    if (backend == Backend::TDS)
        return runTdsCommand("VF_TEST_TDS_START", error);
    return PostgresCluster::instance().start(error);
}

QString TestDestination::sqlDateTime(const QDateTime& value) const
{
    const QString text = value.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    switch (m_d->backend) {
    case Backend::SQLite: return u'\'' + text + u'\'';
    case Backend::PostgreSQL: return QStringLiteral("TIMESTAMP '") + text + u'\'';
    case Backend::TDS: return QStringLiteral("CAST('") + QString(text).replace(u' ', u'T') + QStringLiteral("' AS DATETIME2)");
    }
    return text;
}

QSqlDatabase TestDestination::db() const
{
    return QSqlDatabase::database(m_d->connectionName, false);
}

void TestDestination::reconnect() const
{
    m_d->reader.reset();
    QSqlDatabase connection = db();
    connection.close();
    if (!connection.open())
        QTest::qFail(qPrintable(QStringLiteral("cannot reconnect: ") + sqlError(connection.lastError())), __FILE__, __LINE__);
}

QList<QVariantMap> TestDestination::rows(const QString& sql) const
{
    QList<QVariantMap> result;
    if (m_d->backend == Backend::TDS) {
        try {
            if (!m_d->reader) {
                m_d->reader = std::make_unique<vf::DestinationConnection>(m_d->connectionName + QStringLiteral("_reader"));
                m_d->reader->open(m_d->connectionString());
            }
            vf::DestQuery q(*m_d->reader, sql);
            for (q.open(); !q.eof(); q.next()) {
                QVariantMap row;
                for (int i = 0; i < q.columnCount(); ++i)
                    row.insert(q.columnName(i).toUpper(), q.value(i));
                result.append(row);
            }
        } catch (const vf::Error& error) {
            QTest::qFail(qPrintable(QStringLiteral("%1 on tds: %2").arg(sql, error.message())), __FILE__, __LINE__);
        } catch (const vf::ConnectionLost& lost) {
            m_d->reader.reset();
            QTest::qFail(qPrintable(QStringLiteral("%1 on tds: connection lost: %2").arg(sql, lost.message)), __FILE__, __LINE__);
        }
        return result;
    }
    QSqlQuery q(db());
    q.setForwardOnly(true);
    if (!q.exec(sql)) {
        QTest::qFail(qPrintable(QStringLiteral("%1 on %2: %3").arg(sql, backendName(m_d->backend),
                                                                   sqlError(q.lastError()))),
                     __FILE__, __LINE__);
        return result;
    }
    while (q.next()) {
        const QSqlRecord record = q.record();
        QVariantMap row;
        for (int i = 0; i < record.count(); ++i)
            row.insert(record.fieldName(i).toUpper(), naive(q.value(i)));
        result.append(row);
    }
    return result;
}

QVariant TestDestination::scalar(const QString& sql) const
{
    if (m_d->backend == Backend::TDS) {
        const QList<QVariantMap> found = rows(sql);
        return found.isEmpty() || found.first().isEmpty() ? QVariant() : found.first().first();
    }
    QSqlQuery q(db());
    q.setForwardOnly(true);
    if (!q.exec(sql)) {
        QTest::qFail(qPrintable(QStringLiteral("%1 on %2: %3").arg(sql, backendName(m_d->backend),
                                                                   sqlError(q.lastError()))),
                     __FILE__, __LINE__);
        return QVariant();
    }
    return q.next() ? naive(q.value(0)) : QVariant();
}

bool TestDestination::exec(const QString& sql) const
{
    QSqlQuery q(db());
    q.setForwardOnly(true);
    if (q.exec(sql))
        return true;
    QTest::qFail(qPrintable(QStringLiteral("%1 on %2: %3").arg(sql, backendName(m_d->backend),
                                                               sqlError(q.lastError()))),
                 __FILE__, __LINE__);
    return false;
}

QString destinationLinksTables(const QString& programFolder)
{
    const QDir root(QDir(programFolder).filePath(QStringLiteral("LinksTables")));
    for (const QString& folder : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        if (QFileInfo::exists(root.filePath(folder + QStringLiteral("/Destination.txt"))))
            return root.filePath(folder);
    return root.path();
}

} // namespace vf::test
