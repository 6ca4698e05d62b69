#include "base/Errors.h"
#include "base/TextCodec.h"
#include "destination/DestinationConfig.h"
#include "destination/DestinationConnection.h"
#include "support/TestDestination.h"

#include <QSqlField>
#include <QtTest>

#include <stdexcept>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using vf::test::Backend;

namespace {

QVariant nullOf(QMetaType type)
{
    return QVariant(type);
}

// The connection string of a destination whose DBKERNEL values are replaced.
QString connectionStringFor(const vf::test::TestDestination& dest, const QString& server, const QString& database,
                            const QString& user, const QString& password, const QString& extra)
{
    vf::KestruneConfig config;
    config.serverName = server;
    config.databaseName = database;
    config.userName = user;
    vf::DestinationOptions options;
    options.driver = dest.driverName();
    options.options = extra;
    return vf::buildDestinationConnectionString(config, password, options);
}

// Attributes of an ODBC connection string: "key=value" separated by ";", a value in braces
// running to the matching "}" with "}}" standing for "}".
QList<QPair<QString, QString>> parseOdbc(const QString& s)
{
    QList<QPair<QString, QString>> result;
    qsizetype i = 0;
    while (i < s.size()) {
        const qsizetype eq = s.indexOf(u'=', i);
        if (eq < 0)
            break;
        const QString key = s.mid(i, eq - i);
        QString value;
        i = eq + 1;
        if (i < s.size() && s[i] == u'{') {
            ++i;
            while (i < s.size()) {
                if (s[i] == u'}') {
                    if (i + 1 < s.size() && s[i + 1] == u'}') {
                        value += u'}';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                value += s[i++];
            }
        } else {
            const qsizetype end = s.indexOf(u';', i);
            value = s.mid(i, end < 0 ? -1 : end - i);
            i = end < 0 ? s.size() : end;
        }
        result.append({key, value});
        if (i < s.size() && s[i] == u';')
            ++i;
    }
    return result;
}

} // namespace

class TestDestinationConnection : public QObject {
    Q_OBJECT
private slots:
    void typedValuesRoundTrip_data() { vf::test::addBackendColumn(); }
    void typedValuesRoundTrip()
    {
        QFETCH(Backend, backend);
        VF_TEST_DESTINATION(dest, backend);
        vf::DestinationConnection c(QStringLiteral("roundtrip"));
        c.open(dest.connectionString());

        vf::DestQuery insert(c, QStringLiteral("INSERT INTO MOTCONSU \r\n(MOTCONSU_ID,\r\nPATIENTS_ID,\r\n"
                                               "DATE_CONSULTATION,\r\nMEDECINS_ID,\r\nMOTIF_DE_CONSULTATION)\r\n"
                                               "VALUES (:id, :patientsID, :dateConsultation, :medecinsID, :motif)"));
        const QString longText = QStringLiteral("Épaule droite : « douleur » ; ligne 1\r\n").repeated(3000);
        const QDateTime march(QDate(2021, 3, 28), QTime(2, 30), Qt::UTC); // a DST gap in Europe
        insert.bind(QStringLiteral("id"), qint32(1));
        insert.bind(QStringLiteral("patientsID"), qint32(2147483647));
        insert.bind(QStringLiteral("dateConsultation"), march);
        insert.bind(QStringLiteral("medecinsID"), qint32(-5));
        insert.bind(QStringLiteral("motif"), longText);
        insert.exec();
        // prepared once, executed again with new values and typed nulls
        insert.bind(QStringLiteral("id"), qint32(2));
        insert.bind(QStringLiteral("patientsID"), nullOf(QMetaType::fromType<qint32>()));
        insert.bind(QStringLiteral("dateConsultation"), nullOf(QMetaType::fromType<QDateTime>()));
        insert.bind(QStringLiteral("medecinsID"), QVariant()); // an untyped null is accepted too
        insert.bind(QStringLiteral("motif"), nullOf(QMetaType::fromType<QString>()));
        insert.exec();

        vf::DestQuery find(c, QStringLiteral("SELECT * FROM MOTCONSU\r\nWHERE PATIENTS_ID=:patients_id\r\n"
                                             "  and DATE_CONSULTATION=:date_consultation\r\n"));
        find.bind(QStringLiteral("patients_id"), qint32(2147483647));
        find.bind(QStringLiteral("date_consultation"), march);
        find.open();
        QVERIFY(!find.eof());
        QCOMPARE(find.value(0).toInt(), 1);
        QCOMPARE(find.value(QStringLiteral("motconsu_id")).toInt(), 1);
        QCOMPARE(find.value(QStringLiteral("Medecins_ID")).toInt(), -5);
        QCOMPARE(find.value(QStringLiteral("DATE_CONSULTATION")).toDateTime(), march);
        QCOMPARE(find.value(QStringLiteral("MOTIF_DE_CONSULTATION")).toString(), longText);
        QVERIFY(find.value(QStringLiteral("AU_TOTAL")).isNull());
        QVERIFY_THROWS_EXCEPTION(vf::Error, find.value(QStringLiteral("NO_SUCH_COLUMN")));
        find.next();
        QVERIFY(find.eof());
        QVERIFY_THROWS_EXCEPTION(vf::Error, find.value(0));
        find.close();

        const auto rows = dest.rows(QStringLiteral("SELECT * FROM MOTCONSU WHERE MOTCONSU_ID = 2"));
        QCOMPARE(rows.size(), 1);
        QVERIFY(rows[0][QStringLiteral("PATIENTS_ID")].isNull());
        QVERIFY(rows[0][QStringLiteral("DATE_CONSULTATION")].isNull());
        QVERIFY(rows[0][QStringLiteral("MEDECINS_ID")].isNull());
        QVERIFY(rows[0][QStringLiteral("MOTIF_DE_CONSULTATION")].isNull());
    }

    // A multi-row INSERT of patients, as large as the connection's limits allow, goes through
    // its driver.
    void statementAtTheLimits_data() { vf::test::addBackendColumn(); }
    void statementAtTheLimits()
    {
        QFETCH(Backend, backend);
        VF_TEST_DESTINATION(dest, backend);
        vf::DestinationConnection c(QStringLiteral("limits"));
        c.open(dest.connectionString());
        const QStringList columns = QStringLiteral("PATIENTS_ID NOM PRENOM MEDECINS_ID SEXE NOM_DE_JEUNE_FILLE ADRESSE CP "
                                                   "VILLE TELEPHONE TELEPHONE_BUREAU FAX N_SS").split(u' ');
        const vf::StatementLimits limits = c.limits();
        const int rows = std::min(limits.rows, limits.parameters / int(columns.size()));
        QStringList marks(columns.size(), QStringLiteral("?"));
        QStringList tuples;
        QList<QVariant> values;
        for (int i = 1; i <= rows; ++i) {
            tuples.append(QLatin1Char('(') + marks.join(u',') + QLatin1Char(')'));
            values += {qint32(i), QStringLiteral("Nom %1").arg(i), QStringLiteral("Prénom"), qint32(1), qint32(i % 2)};
            for (qsizetype column = 5; column < columns.size(); ++column)
                values.append(QString::number(i));
        }
        vf::DestQuery insert(c, QStringLiteral("INSERT INTO PATIENTS (") + columns.join(u',') + QStringLiteral(") VALUES ")
                                    + tuples.join(u','));
        insert.bindAll(values);
        insert.exec();
        QCOMPARE(dest.rows(QStringLiteral("SELECT PATIENTS_ID FROM PATIENTS")).size(), rows);
    }

    void oneResultSetAtATime_data() { vf::test::addBackendColumn(); }
    void oneResultSetAtATime()
    {
        QFETCH(Backend, backend);
        VF_TEST_DESTINATION(dest, backend);
        QVERIFY(dest.exec(QStringLiteral("INSERT INTO MEDECINS (MEDECINS_ID, NOM) VALUES (1, 'A')")));
        QVERIFY(dest.exec(QStringLiteral("INSERT INTO MEDECINS (MEDECINS_ID, NOM) VALUES (2, 'B')")));
        vf::DestinationConnection c(QStringLiteral("pending"));
        c.open(dest.connectionString());

        vf::DestQuery first(c, QStringLiteral("SELECT * FROM MEDECINS ORDER BY MEDECINS_ID"));
        vf::DestQuery second(c, QStringLiteral("UPDATE MEDECINS SET NOM = :nom WHERE MEDECINS_ID = 1"));
        second.bind(QStringLiteral("nom"), QStringLiteral("C"));
        first.open();
        QVERIFY_THROWS_EXCEPTION(std::logic_error, second.exec());
        QVERIFY_THROWS_EXCEPTION(std::logic_error, second.open());
        QVERIFY_THROWS_EXCEPTION(std::logic_error, c.scalarInt(QStringLiteral("SELECT MAX(MEDECINS_ID) FROM MEDECINS")));
        QVERIFY_THROWS_EXCEPTION(std::logic_error, c.tables());
        // Reading to the end does not end the result set: only close() does.
        first.next();
        first.next();
        QVERIFY(first.eof());
        QVERIFY_THROWS_EXCEPTION(std::logic_error, second.exec());
        // A query may open itself again: its own result set is closed first.
        first.open();
        QCOMPARE(first.value(QStringLiteral("NOM")).toString(), QStringLiteral("A"));
        first.close();
        second.exec();
        QCOMPARE(c.scalarInt(QStringLiteral("SELECT MAX(MEDECINS_ID) FROM MEDECINS")), 2);
        QCOMPARE(dest.scalar(QStringLiteral("SELECT NOM FROM MEDECINS WHERE MEDECINS_ID = 1")).toString(),
                 QStringLiteral("C"));
        // A failed statement leaves no result set behind.
        vf::DestQuery broken(c, QStringLiteral("SELECT * FROM NO_SUCH_TABLE"));
        QVERIFY_THROWS_EXCEPTION(vf::Error, broken.open());
        QVERIFY(!broken.isOpen());
        QCOMPARE(c.scalarInt(QStringLiteral("SELECT MAX(MEDECINS_ID) FROM MEDECINS")), 2);
        // A query destroyed while open releases the connection.
        {
            vf::DestQuery scoped(c, QStringLiteral("SELECT * FROM MEDECINS"));
            scoped.open();
        }
        QCOMPARE(c.scalarInt(QStringLiteral("SELECT COUNT(*) FROM MEDECINS")), 2);

        // Statements prepared before the connection was opened again are prepared anew.
        QVERIFY_THROWS_NO_EXCEPTION(c.open(dest.connectionString()));
        first.open();
        QCOMPARE(first.value(QStringLiteral("NOM")).toString(), QStringLiteral("C"));
        first.close();
        second.bind(QStringLiteral("nom"), QStringLiteral("D"));
        second.exec();
        QCOMPARE(dest.scalar(QStringLiteral("SELECT NOM FROM MEDECINS WHERE MEDECINS_ID = 1")).toString(),
                 QStringLiteral("D"));
    }

    void seedingAndCatalogue_data() { vf::test::addBackendColumn(); }
    void seedingAndCatalogue()
    {
        QFETCH(Backend, backend);
        VF_TEST_DESTINATION(dest, backend);
        vf::DestinationConnection c(QStringLiteral("catalogue"));
        c.open(dest.connectionString());
        QCOMPARE(c.scalarInt(QStringLiteral("SELECT max(PATIENTS_ID) FROM PATIENTS")), 0);
        QVERIFY(dest.exec(QStringLiteral("INSERT INTO PATIENTS (PATIENTS_ID, NOM) VALUES (57, 'X')")));
        QCOMPARE(c.scalarInt(QStringLiteral("SELECT max(PATIENTS_ID) FROM PATIENTS")), 57);
        QVERIFY_THROWS_EXCEPTION(vf::Error, c.scalarInt(QStringLiteral("SELECT max(X_ID) FROM NO_SUCH_TABLE")));

        QVERIFY(dest.exec(QStringLiteral("CREATE VIEW DATAVIEW AS SELECT PATIENTS_ID FROM PATIENTS")));
        const QStringList tables = c.tables();
        for (const QString& expected : {QStringLiteral("MEDECINS"), QStringLiteral("ID_VALUES"), QStringLiteral("ORDONNANCES"),
                                        QStringLiteral("DATAFORMS"), QStringLiteral("DATAVIEW"), QStringLiteral("VIDAL")})
            QVERIFY2(tables.contains(expected, Qt::CaseInsensitive), qPrintable(expected));
        QCOMPARE(tables.size(), 34); // 33 tables of the schema and the view: nothing of the catalogue
        c.close();
        QVERIFY(!c.isOpen());
        QVERIFY_THROWS_EXCEPTION(vf::Error, c.tables());
    }

    // The connection string read with the ODBC grammar (values in braces, "}}" for "}"): each
    // configuration value is one attribute's whole value, whatever it holds.
    void connectionStringAttributes()
    {
        const QStringList values = {QStringLiteral("a;UID=x"), QStringLiteral("{b=c"), QStringLiteral("k=v"),
                                    QStringLiteral(" lead"), QStringLiteral("trail "), QStringLiteral("{"),
                                    QStringLiteral(";"), QStringLiteral("plain"), QString()};
        for (const QString& value : values) {
            vf::KestruneConfig config;
            config.serverName = value;
            config.databaseName = value + QStringLiteral("db");
            config.userName = QStringLiteral("u") + value;
            vf::DestinationOptions options;
            options.driver = QStringLiteral("FreeTDS");
            const QString s = vf::buildDestinationConnectionString(config, value + QStringLiteral("p"), options);
            const QList<QPair<QString, QString>> attributes = parseOdbc(s);
            const QList<QPair<QString, QString>> expected = {
                {QStringLiteral("DRIVER"), QStringLiteral("FreeTDS")}, {QStringLiteral("SERVER"), value},
                {QStringLiteral("DATABASE"), value + QStringLiteral("db")}, {QStringLiteral("UID"), QStringLiteral("u") + value},
                {QStringLiteral("PWD"), value + QStringLiteral("p")}};
            QCOMPARE(attributes, expected);
        }
    }

    // Through a real driver (psqlODBC, where a repeated attribute overrides the earlier one): a
    // password or a catalogue name that carries a second attribute cannot change what is used.
    void injectedAttributesAreRefused()
    {
        VF_TEST_DESTINATION(dest, Backend::PostgreSQL);
        const QString server = dest.serverName();
        const QString real = dest.databaseName();
        const QString port = dest.options();
        vf::DestinationConnection c(QStringLiteral("injection"));
        // The attacks work on a string whose values are pasted as they are ...
        QVERIFY_THROWS_NO_EXCEPTION(c.open(QStringLiteral("DRIVER={PostgreSQL Unicode};SERVER=%1;DATABASE=%2;UID=sa;"
                                                          "PWD=wrong;PWD=murvex;%3").arg(server, real, port)));
        QVERIFY_THROWS_NO_EXCEPTION(c.open(QStringLiteral("DRIVER={PostgreSQL Unicode};SERVER=%1;DATABASE=none;"
                                                          "DATABASE=%2;UID=sa;PWD=murvex;%3").arg(server, real, port)));
        c.close();
        // ... and are refused on the program's string before any connection, with the key's name
        // and never the password: psqlODBC is not one of the drivers that are known to read braces.
        struct Attack {
            QString database, password, key;
        };
        for (const Attack& attack : {Attack{real, QStringLiteral("wrong;PWD=murvex"), QStringLiteral("SAPW")},
                                     Attack{QStringLiteral("none;DATABASE=") + real, QStringLiteral("murvex"),
                                            QStringLiteral("DatabaseName")},
                                     Attack{real, QStringLiteral("a;UID=x;{b}=c} "), QStringLiteral("SAPW")}}) {
            QString message;
            try {
                c.open(connectionStringFor(dest, server, attack.database, QStringLiteral("sa"), attack.password, port));
            } catch (const vf::Error& error) {
                message = error.message();
            }
            QVERIFY2(message.contains(attack.key) && !message.contains(QStringLiteral("UID=x"))
                         && !message.contains(QStringLiteral("wrong")),
                     qPrintable(message));
            QVERIFY(!c.isOpen());
        }
    }

    // FreeTDS writes all its traffic, patient data included, to the file that a DumpFile attribute
    // names. A connection attempt to a closed local port shows whether a value of Kestrune.ver
    // adds one: refused before connecting, or carried whole in braces, it does not.
    void freeTdsDumpFileOracle_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value"); // %1: the dump file
        QTest::addColumn<bool>("refused");  // before connecting, with the key's name
        QTest::addColumn<bool>("dumped");
        QTest::newRow("ServerName closing the braces") << "ServerName" << "127.0.0.1};DumpFile=%1;" << true << false;
        QTest::newRow("ServerName in braces") << "ServerName" << "127.0.0.1;DumpFile=%1" << false << false;
        QTest::newRow("DatabaseName closing the braces") << "DatabaseName" << "x};DumpFile=%1;" << true << false;
        QTest::newRow("UserName in braces") << "UserName" << "sa;DumpFile=%1" << false << false;
        QTest::newRow("decoded SAPW closing the braces") << "SAPW" << "p};DumpFile=%1;" << true << false;
        QTest::newRow("decoded SAPW with a line break") << "SAPW" << "p\r\nDumpFile=%1" << true << false;
        // Last: FreeTDS keeps the first dump file it opens for the rest of the process.
        QTest::newRow("Options, appended as they are") << "Options" << "DumpFile=%1" << false << true;
    }
    void freeTdsDumpFileOracle()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(bool, refused);
        QFETCH(bool, dumped);
        QTemporaryDir folder;
        const QString dump = folder.filePath(QStringLiteral("traffic.dump"));
        const QString text = value.arg(dump);

        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
        QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0);
        ::close(listener); // never listened on: the port is closed

        vf::KestruneConfig config;
        config.serverName = QStringLiteral("127.0.0.1");
        config.databaseName = QStringLiteral("TALMEROSIN");
        vf::DestinationOptions options;
        options.driver = QStringLiteral("FreeTDS");
        options.options = QStringLiteral("Port=%1;").arg(ntohs(address.sin_port));
        if (key == QStringLiteral("Options"))
            options.options += text;
        else if (key == QStringLiteral("ServerName"))
            config.serverName = text;
        else if (key == QStringLiteral("DatabaseName"))
            config.databaseName = text;
        else if (key == QStringLiteral("UserName"))
            config.userName = text;
        else {
            // Enciphered with the built-in key as the destination product stores it.
            QByteArray bytes = vf::toWindows1252(text);
            const QByteArray passwordKey = vf::builtinPasswordKey();
            for (qsizetype j = 1; j <= bytes.size(); ++j)
                if (j % 32 != 0)
                    bytes[j - 1] = char(bytes[j - 1] ^ passwordKey[j % 32 - 1]);
            config.sapw = QString::fromLatin1(bytes.toHex().toUpper());
        }

        vf::DestinationConnection c(QStringLiteral("dumpfile"));
        QString message;
        try {
            c.open(vf::buildDestinationConnectionString(config, vf::sqlServerPassword(config, options), options));
        } catch (const vf::Error& error) {
            message = error.message();
        }
        QVERIFY(!c.isOpen());
        QCOMPARE(QFileInfo::exists(dump), dumped);
        QVERIFY2(message.contains(key) == refused, qPrintable(message));
        QVERIFY2(!message.contains(QStringLiteral("DumpFile")), qPrintable(message));
    }

    // The SQLite3 ODBC driver takes "=" inside a value as it is. (It does not read braces, so
    // values that need them are checked above, on the grammar and on PostgreSQL.)
    void equalsSignInAValue()
    {
        VF_TEST_DESTINATION(dest, Backend::SQLite);
        QTemporaryDir folder;
        const QString file = folder.filePath(QStringLiteral("a=b.sqlite"));
        vf::DestinationConnection c(QStringLiteral("equals"));
        QVERIFY_THROWS_NO_EXCEPTION(
            c.open(connectionStringFor(dest, QString(), file, QStringLiteral("sa"), QStringLiteral("x=y"), QString())));
        QVERIFY(QFileInfo::exists(file));
    }

    void failureGivesTheDriversMessage_data() { vf::test::addBackendColumn(); }
    void failureGivesTheDriversMessage()
    {
        QFETCH(Backend, backend);
        VF_TEST_DESTINATION(dest, backend);
        QTemporaryDir folder;
        QFile notAFolder(folder.filePath(QStringLiteral("file")));
        QVERIFY(notAFolder.open(QIODevice::WriteOnly));
        notAFolder.close();
        const QString badString = backend == Backend::SQLite
            ? connectionStringFor(dest, QString(), notAFolder.fileName() + QStringLiteral("/base.sqlite"),
                                  QStringLiteral("sa"), QStringLiteral("murvex"), QString())
            : connectionStringFor(dest, dest.serverName(), dest.databaseName(), QStringLiteral("sa"),
                                  QStringLiteral("_"), dest.options());
        vf::DestinationConnection c(QStringLiteral("failing"));
        QString message;
        try {
            c.open(badString);
        } catch (const vf::Error& error) {
            message = error.message();
        }
        QVERIFY(!c.isOpen());
        QVERIFY(!message.isEmpty());
        if (backend == Backend::PostgreSQL)
            QVERIFY2(message.contains(QStringLiteral("password")), qPrintable(message));
        // The same connection opens once it is given a good string.
        QVERIFY_THROWS_NO_EXCEPTION(c.open(dest.connectionString()));
        QVERIFY(c.isOpen());
    }

    // A verification's session reads and cannot write: SQLite refuses the connection's writes,
    // PostgreSQL makes its transactions read-only. A SQL Server session has no such switch: there
    // the write goes through, and only the program's own statements (all SELECTs) keep the base
    // unchanged. The columns are read from the catalogue for the connection's own database.
    void readOnlySession_data() { vf::test::addBackendColumn(); }
    void readOnlySession()
    {
        QFETCH(Backend, backend);
        VF_TEST_DESTINATION(dest, backend);
        vf::DestinationConnection c(QStringLiteral("read-only"));
        c.open(dest.connectionString(), vf::Access::ReadOnly);
        QCOMPARE(c.scalarInt(QStringLiteral("SELECT count(*) FROM PATIENTS")), 0);
        vf::DestQuery insert(c, QStringLiteral("INSERT INTO PATIENTS (PATIENTS_ID, NOM) VALUES (1, 'X')"));
        if (backend == Backend::TDS)
            QVERIFY_THROWS_NO_EXCEPTION(insert.exec());
        else
            QVERIFY_THROWS_EXCEPTION(vf::Error, insert.exec());
        const QSqlRecord columns = backend == Backend::PostgreSQL ? c.record(QStringLiteral("patients"))
                                                                  : c.record(QStringLiteral("PATIENTS"));
        QVERIFY(columns.indexOf(QStringLiteral("NOM")) >= 0);
        QCOMPARE(columns.field(columns.indexOf(QStringLiteral("NOM"))).metaType(), QMetaType::fromType<QString>());
        c.close();
        QCOMPARE(dest.rows(QStringLiteral("SELECT PATIENTS_ID FROM PATIENTS")).size(), backend == Backend::TDS ? 1 : 0);
    }

    // The driver is one that the driver manager lists, never a library's path, wherever the
    // connection string names it.
    void driverMustBeInstalled_data()
    {
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("message");
        const QString library = QStringLiteral("/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so");
        QTest::newRow("library as Driver") << library << QString() << "n'est pas un pilote installé";
        QTest::newRow("library in Options") << QString() << "DRIVER=" + library << "n'est pas un pilote installé";
        QTest::newRow("FILEDSN in Options") << QString() << "FILEDSN=/tmp/x.dsn" << "FILEDSN";
    }
    void driverMustBeInstalled()
    {
        QFETCH(QString, driver);
        QFETCH(QString, options);
        QFETCH(QString, message);
        VF_TEST_DESTINATION(dest, Backend::SQLite);
        QVERIFY(vf::installedOdbcDrivers().contains(dest.driverName(), Qt::CaseInsensitive));
        QString connection = dest.connectionString();
        if (!driver.isEmpty())
            connection.replace(QStringLiteral("DRIVER={") + dest.driverName(), QStringLiteral("DRIVER={") + driver);
        connection += QLatin1Char(';') + options;
        vf::DestinationConnection c(QStringLiteral("driver"));
        try {
            c.open(connection);
            QFAIL("opened");
        } catch (const vf::Error& error) {
            QVERIFY2(error.message().contains(message), qPrintable(error.message()));
        }
        QVERIFY(!c.isOpen());
    }

    // A text read back comes with the length that the server holds; one that arrives cut is an
    // error. On SQL Server the session asks for texts whole.
    void textReadBackHasItsLength_data() { vf::test::addBackendColumn(); }
    void textReadBackHasItsLength()
    {
        QFETCH(Backend, backend);
        VF_TEST_DESTINATION(dest, backend);
        QCOMPARE(vf::sessionStatements(vf::Dialect::SqlServer, vf::Access::ReadWrite), QStringList{"SET TEXTSIZE 2147483647"});
        QVERIFY(vf::sessionStatements(vf::Dialect::SqlServer, vf::Access::ReadOnly).contains("SET TEXTSIZE 2147483647"));
        QVERIFY(vf::sessionStatements(vf::Dialect::SQLite, vf::Access::ReadWrite).isEmpty());
        // SQL Server counts an nvarchar's UTF-16 units (a character outside the basic plane is two),
        // Babelfish its UTF-8 bytes, PostgreSQL and SQLite its characters.
        const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
        QCOMPARE(vf::textLengthExpression(vf::TextMeasure::Utf16Units, "AUTRES"), "DATALENGTH(CAST(AUTRES AS nvarchar(max)))/2");
        QVERIFY_THROWS_NO_EXCEPTION(vf::checkTextLength(vf::TextMeasure::Utf16Units, "é" + emoji, 3, "T"));
        QVERIFY_THROWS_NO_EXCEPTION(vf::checkTextLength(vf::TextMeasure::Utf8Bytes, "é" + emoji, 6, "T"));
        QVERIFY_THROWS_NO_EXCEPTION(vf::checkTextLength(vf::TextMeasure::Characters, "é" + emoji, 2, "T"));

        vf::DestinationConnection c(QStringLiteral("length"));
        c.open(dest.connectionString());
        QCOMPARE(c.textMeasure(), backend == Backend::TDS ? vf::TextMeasure::Utf8Bytes : vf::TextMeasure::Characters);
        QString text = QString(70000, u'é') + emoji + QStringLiteral("fin");
        vf::DestQuery insert(c, QStringLiteral("INSERT INTO ANTECED (ANTECED_ID, PATIENTS_ID, AUTRES) VALUES (1, 1, :t)"));
        insert.bind(QStringLiteral("t"), text);
        if (backend == Backend::TDS) {
            // FreeTDS cannot send a character outside the basic plane: the text is refused, whole.
            try {
                insert.exec();
                QFAIL("a text that FreeTDS cannot send was written");
            } catch (const vf::Error& error) {
                QVERIFY2(error.message().startsWith(QStringLiteral("un texte contient un caractère que le pilote FreeTDS")),
                         qPrintable(error.message()));
            }
            QCOMPARE(dest.scalar(QStringLiteral("SELECT COUNT(*) FROM ANTECED")).toInt(), 0);
            text = QString(70000, u'é') + QStringLiteral("fin");
            insert.bind(QStringLiteral("t"), text);
        }
        insert.exec();
        vf::DestQuery read(c, QStringLiteral("SELECT AUTRES, ") + vf::textLengthExpression(c.textMeasure(), "AUTRES")
                                  + QStringLiteral(" FROM ANTECED"));
        read.open();
        const QString stored = read.value(0).toString();
        const QVariant length = read.value(1);
        read.close();
        QCOMPARE(stored, text);
        QVERIFY_THROWS_NO_EXCEPTION(vf::checkTextLength(c.textMeasure(), stored, length, "ANTECED.AUTRES"));
        QVERIFY_THROWS_NO_EXCEPTION(vf::checkTextLength(c.textMeasure(), QString(), QVariant(), "ANTECED.AUTRES"));
        try {
            vf::checkTextLength(c.textMeasure(), stored.left(64512 / 2), length, "ANTECED.AUTRES n°1");
            QFAIL("a cut text passed");
        } catch (const vf::Error& error) {
            QCOMPARE(error.message(), backend == Backend::TDS
                                          ? QStringLiteral("le texte de ANTECED.AUTRES n°1 a été lu incomplet (64512 octets sur 140003) : "
                                                           "il n'est pas réécrit.")
                                          : QStringLiteral("le texte de ANTECED.AUTRES n°1 a été lu incomplet (32256 caractères sur 70004) : "
                                                           "il n'est pas réécrit."));
        }
    }

    // The connection's socket number closed and given to another socket: past the query timeout,
    // the watchdog leaves that other socket alone (it is not the one that the open made), and the
    // call ends when the other socket's peer goes away.
    void watchdogShutsOnlyItsOwnSockets()
    {
        VF_TEST_DESTINATION(dest, Backend::PostgreSQL);
        const auto socketNumbers = [] {
            QSet<int> numbers;
            const QDir descriptors(QStringLiteral("/proc/self/fd"));
            for (const QString& name : descriptors.entryList(QDir::System | QDir::NoDotAndDotDot))
                if (QFileInfo(descriptors.filePath(name)).symLinkTarget().contains(QLatin1String("socket:")))
                    numbers.insert(name.toInt());
            return numbers;
        };
        const QSet<int> before = socketNumbers();
        vf::DestinationConnection c(QStringLiteral("watchdog"));
        c.setQueryTimeout(1);
        c.open(dest.connectionString());
        const QSet<int> made = socketNumbers() - before;
        QCOMPARE(made.size(), 1);
        int pair[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        QCOMPARE(::dup2(pair[0], *made.cbegin()), *made.cbegin());
        ::close(pair[0]);
        bool shut = true;
        std::thread peer([&] {
            std::this_thread::sleep_for(std::chrono::seconds(10)); // past the timeout and the watchdog's grace
            char buffer[4096];
            ssize_t n = 0;
            while ((n = ::recv(pair[1], buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            }
            shut = n == 0;
            ::close(pair[1]);
        });
        QVERIFY_THROWS_EXCEPTION(vf::ConnectionLost, c.scalarInt(QStringLiteral("SELECT 1")));
        peer.join();
        QVERIFY(!shut);
    }

    // A server that accepts the connection but never answers: the driver gives up after the
    // login timeout instead of hanging the run.
    void unresponsiveServerTimesOut()
    {
        VF_TEST_DESTINATION(dest, Backend::PostgreSQL);
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(listener >= 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
        QVERIFY(::listen(listener, 4) == 0); // connections are queued, never answered
        socklen_t length = sizeof address;
        QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0);
        const QString port = QString::number(ntohs(address.sin_port));

        vf::DestinationConnection c(QStringLiteral("timeout"));
        QElapsedTimer timer;
        timer.start();
        QVERIFY_THROWS_EXCEPTION(vf::Error, c.open(connectionStringFor(dest, QStringLiteral("127.0.0.1"), QStringLiteral("x"),
                                                                   QStringLiteral("sa"), QStringLiteral("murvex"),
                                                                   QStringLiteral("Port=") + port)));
        qInfo("gave up after %lld ms", static_cast<long long>(timer.elapsed()));
        ::close(listener);
    }
};

QTEST_GUILESS_MAIN(TestDestinationConnection)
#include "test_destination.moc"
