// The source connection on a real Jet 3 file (nwind.mdb, with accented names and data),
// checked against what mdbtools' own mdb-export prints and what SQLite returns on that data.

#include "SourceTestSupport.h"

#include "base/Errors.h"
#include "source/SourceConnection.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vf;
using sourcetest::compareRows;
using sourcetest::referenceDatabase;

namespace {

const QString nwind = QStringLiteral(VF_SOURCE_TEST_DATA "/nwind.mdb");

QString openError(const QString& path)
{
    SourceConnection connection;
    try {
        connection.open(path);
    } catch (const Error& e) {
        if (connection.isOpen())
            return QStringLiteral("connection open after an error");
        return e.message();
    }
    return QString();
}

} // namespace

class SourceConnectionTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { m_systemTemp = QDir::tempPath(); }

    void init()
    {
        // Each test gets a system temporary folder of its own, where staging folders go.
        m_temp = std::make_unique<QTemporaryDir>(m_systemTemp + QStringLiteral("/tst_source-XXXXXX"));
        QVERIFY(m_temp->isValid());
        qputenv("TMPDIR", m_temp->path().toLocal8Bit());
    }

    void everyTableHoldsWhatMdbExportPrints()
    {
        SourceConnection connection;
        connection.open(nwind);
        const QStringList tables = connection.tableNames();
        QCOMPARE(tables.size(), 9);
        QVERIFY(tables.contains(QStringLiteral("Umsätze")));
        sqlite3* reference = referenceDatabase(nwind, tables);
        for (const QString& table : tables) {
            SourceQuery query(connection, QStringLiteral("SELECT * FROM [%1]").arg(table));
            query.open();
            sqlite3_stmt* count = nullptr;
            sqlite3_prepare_v2(reference, QStringLiteral("SELECT count(*) FROM [%1]").arg(table).toUtf8().constData(), -1, &count, nullptr);
            sqlite3_step(count);
            QCOMPARE(query.recordCount(), sqlite3_column_int(count, 0));
            sqlite3_finalize(count);
            QVERIFY(query.recordCount() > 0);
            const QString difference = compareRows(query, reference, QStringLiteral("SELECT * FROM [%1]").arg(table));
            QVERIFY2(difference.isEmpty(), qPrintable(table + QStringLiteral(": ") + difference));
        }
        sqlite3_close(reference);
    }

    void statementsReturnWhatSQLiteReturns()
    {
        SourceConnection connection;
        connection.open(nwind);
        sqlite3* reference = referenceDatabase(nwind, {QStringLiteral("Orders"), QStringLiteral("Customers"),
                                                       QStringLiteral("Employees"), QStringLiteral("Order Details")});

        const QString ordered = QStringLiteral("select *\nfrom  [Orders]\nORDER BY [EmployeeID], [OrderDate], [OrderID]");
        SourceQuery orders(connection, ordered);
        orders.open();
        QCOMPARE(orders.recordCount(), 830);
        QString difference = compareRows(orders, reference, ordered);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));

        const QString joined = QStringLiteral(
            "select O.[OrderID], C.[CompanyName], E.[LastName], O.[OrderDate]\n"
            "from [Orders] O,\n  [Customers] C,\n  [Employees] E\n"
            "WHERE C.[CustomerID] = O.[CustomerID]\n  AND E.[EmployeeID] = O.[EmployeeID]\n"
            "ORDER BY O.[CustomerID], O.[OrderDate], O.[OrderID]");
        SourceQuery join(connection, joined);
        join.open();
        QVERIFY(join.recordCount() > 800);
        difference = compareRows(join, reference, joined);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));

        // The detail pattern: one statement, opened again and again with a new parameter.
        const QString detail = QStringLiteral("SELECT * FROM [Order Details] WHERE [OrderID]=:orderid ORDER BY ProductID");
        SourceQuery details(connection, detail);
        for (int orderId : {10248, 10250, 11077, 99999, 10248}) {
            details.setParam(QStringLiteral("orderid"), orderId);
            details.open();
            difference = compareRows(details, reference, detail, {{QStringLiteral("orderid"), orderId}});
            QVERIFY2(difference.isEmpty(), qPrintable(QString::number(orderId) + QStringLiteral(": ") + difference));
            details.close();
        }
        details.setParam(QStringLiteral("OrderID"), 99999);
        details.open();
        QCOMPARE(details.recordCount(), 0);
        QVERIFY(details.eof());
        sqlite3_close(reference);
    }

    void aLongReadSurvivesTheStagingOfAnotherTable_data()
    {
        QTest::addColumn<bool>("ahead");
        QTest::newRow("copied when named") << false;
        QTest::newRow("copied ahead") << true;
    }

    void aLongReadSurvivesTheStagingOfAnotherTable()
    {
        QFETCH(bool, ahead);
        SourceConnection connection;
        connection.open(nwind);
        sqlite3* reference = referenceDatabase(nwind, {QStringLiteral("Order Details")});
        const QString all = QStringLiteral("SELECT * FROM [Order Details] ORDER BY [OrderID], [ProductID]");
        const QString product = QStringLiteral("SELECT ProductName FROM Products WHERE ProductID=:id");
        const QString sameTableSql = QStringLiteral("SELECT * FROM [Order Details] WHERE [ProductID]=:id AND [Quantity]>=:q");
        if (ahead) {
            // Copied by the copier's own connection, they are awaited before the long read opens.
            connection.stageAhead({all, product, sameTableSql});
            connection.awaitStaging({product, sameTableSql});
        }
        SourceQuery details(connection, all);
        details.open();
        QCOMPARE(details.recordCount(), 2155);
        for (int i = 0; i < 300; ++i)
            details.next();
        // Another table is copied while the first data set is being read.
        SourceQuery products(connection, product);
        products.setParam(QStringLiteral("id"), 38);
        products.open();
        QCOMPARE(products.recordCount(), 1);
        QCOMPARE(products.textValue(QStringLiteral("productname")), QStringLiteral("Côte de Blaye"));
        // And the table being read gets a new index for another statement.
        SourceQuery sameTable(connection, sameTableSql);
        sameTable.setParam(QStringLiteral("id"), 38);
        sameTable.setParam(QStringLiteral("q"), 0);
        sameTable.open();
        QCOMPARE(sameTable.recordCount(), 24);
        const QString difference = compareRows(details, reference, all + QStringLiteral(" LIMIT -1 OFFSET 300"));
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        QVERIFY(details.eof());
        sqlite3_close(reference);
    }

    void valuesAreReadByNameOrPositionWithTheirTypes()
    {
        SourceConnection connection;
        connection.open(nwind);
        SourceQuery query(connection, QStringLiteral("select * from orders where [orderid]=:id"));
        query.setParam(QStringLiteral(":id"), 10331);
        query.open();
        QCOMPARE(query.recordCount(), 1);
        QVERIFY(!query.eof());
        QCOMPARE(query.intValue(QStringLiteral("ORDERID")), 10331);
        QCOMPARE(query.value(0), QVariant(qint32(10331)));
        QCOMPARE(query.value(QStringLiteral("OrderID")).typeId(), QMetaType::Int);
        QCOMPARE(query.textValue(QStringLiteral("shipname")), QStringLiteral("Bon app'"));
        QCOMPARE(query.dateTimeValue(QStringLiteral("OrderDate")), QDateTime(QDate(1994, 11, 16), QTime(0, 0), Qt::UTC));
        QCOMPARE(query.textValue(QStringLiteral("OrderDate")), QStringLiteral("16/11/1994"));
        QCOMPARE(query.value(QStringLiteral("Freight")).toDouble(), 10.19);
        QVERIFY(query.isNull(QStringLiteral("ShipRegion")));
        QVERIFY(query.value(QStringLiteral("ShipRegion")).isNull());
        QCOMPARE(query.textValue(QStringLiteral("ShipRegion")), QString());
        QCOMPARE(query.intValue(QStringLiteral("ShipRegion")), 0);
        QCOMPARE(query.dateTimeValue(QStringLiteral("ShipRegion")), QDateTime(QDate(1899, 12, 30), QTime(0, 0), Qt::UTC));
        QVERIFY(query.hasColumn(QStringLiteral("shipcountry")));
        QVERIFY(!query.hasColumn(QStringLiteral("nothing")));
        QVERIFY_THROWS_EXCEPTION(Error, query.value(QStringLiteral("nothing")));
        QVERIFY_THROWS_EXCEPTION(Error, query.intValue(QStringLiteral("ShipName")));
        query.next();
        QVERIFY(query.eof());
        QVERIFY_THROWS_EXCEPTION(Error, query.value(0));

        SourceQuery products(connection, QStringLiteral("SELECT * FROM Products WHERE ProductID=5"));
        products.open();
        QCOMPARE(products.value(QStringLiteral("Discontinued")), QVariant(true));
        QCOMPARE(products.intValue(QStringLiteral("Discontinued")), -1);
    }

    void textIsComparedWithoutRegardToCase()
    {
        SourceConnection connection;
        connection.open(nwind);
        SourceQuery query(connection, QStringLiteral("SELECT [CustomerID] FROM [CUSTOMERS] WHERE [City]=:city ORDER BY [CustomerID]"));
        const auto customersIn = [&](const QString& city) {
            query.setParam(QStringLiteral("city"), city);
            query.open();
            QStringList ids;
            for (; !query.eof(); query.next())
                ids.append(query.textValue(QStringLiteral("CustomerID")));
            return ids;
        };
        QCOMPARE(customersIn(QStringLiteral("bERLIN")), QStringList{QStringLiteral("ALFKI")});
        QCOMPARE(customersIn(QStringLiteral("MÜNCHEN")), customersIn(QStringLiteral("München")));
        QVERIFY(!customersIn(QStringLiteral("München")).isEmpty());
        QVERIFY(customersIn(QStringLiteral("Munchen")).isEmpty()); // accents still count

        // Table names too, accented letters included.
        SourceQuery sales(connection, QStringLiteral("SELECT count(*) AS n FROM [UMSÄTZE]"));
        sales.open();
        QVERIFY(sales.intValue(QStringLiteral("N")) > 0);
    }

    void aMissingTableIsNamed()
    {
        SourceConnection connection;
        connection.open(nwind);
        SourceQuery query(connection, QStringLiteral("Select * from [GLB MEDECIN]\nOrder by [CODE MEDECIN]"));
        try {
            query.open();
            QFAIL("no error for a missing table");
        } catch (const Error& e) {
            QVERIFY2(e.message().contains(QStringLiteral("[GLB MEDECIN]")), qPrintable(e.message()));
        }
        QVERIFY(!query.isOpen());
        // The connection still works.
        SourceQuery shippers(connection, QStringLiteral("SELECT * FROM Shippers"));
        shippers.open();
        QCOMPARE(shippers.recordCount(), 3);
    }

    void badFilesFailWithAClearReason_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("reason");
        QFile file(nwind);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray valid = file.readAll();
        QByteArray randomTail = valid.left(2048);
        QRandomGenerator random(42);
        while (randomTail.size() < valid.size()) {
            const quint32 word = random.generate();
            randomTail.append(reinterpret_cast<const char*>(&word), 4);
        }
        QTest::newRow("empty") << QByteArray() << QStringLiteral("vide");
        QTest::newRow("text") << QByteArray("Ceci n'est pas une base.\r\n").repeated(400) << QStringLiteral("Access");
        QTest::newRow("truncated") << valid.left(valid.size() / 2 + 1000) << QStringLiteral("incomplet");
        QTest::newRow("truncated on a page") << valid.left(valid.size() / 2) << QStringLiteral("incomplet");
        QTest::newRow("random after the first page") << randomTail << QString();
    }

    void badFilesFailWithAClearReason()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        const QString path = QDir(m_temp->path()).filePath(QStringLiteral("V3.mdb"));
        QFile file(path);
        QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(file.errorString() + path));
        file.write(content);
        file.close();
        SourceConnection::setStagingTimeout(20000);
        SourceConnection connection;
        QString message;
        try {
            connection.open(path);
            // A damaged file may still have a readable catalogue; reading its tables must fail.
            for (const QString& table : connection.tableNames()) {
                SourceQuery query(connection, QStringLiteral("SELECT * FROM [%1]").arg(table));
                query.open();
            }
        } catch (const Error& e) {
            message = e.message();
        }
        SourceConnection::setStagingTimeout(60000);
        QVERIFY2(!message.isEmpty(), "the damaged file was read without an error");
        if (!reason.isEmpty())
            QVERIFY2(message.contains(reason), qPrintable(message));
    }

    void damagedPagesNeverCrashTheProgram()
    {
        // Bytes changed at random inside the file: each table is either read or refused with a
        // message, whatever the damage (this also runs under the sanitizers).
        QFile file(nwind);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray valid = file.readAll();
        const QString path = QDir(m_temp->path()).filePath(QStringLiteral("damaged.mdb"));
        SourceConnection::setStagingTimeout(10000);
        int refused = 0;
        for (quint32 seed = 1; seed <= 12; ++seed) {
            QRandomGenerator random(seed);
            QByteArray damaged = valid;
            const int changes = seed % 3 == 0 ? 1000 : (seed % 3 == 1 ? 100 : 10);
            for (int i = 0; i < changes; ++i)
                damaged[2048 + random.bounded(damaged.size() - 2048)] = char(random.bounded(256));
            QFile out(path);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(damaged);
            out.close();
            try {
                SourceConnection connection;
                connection.open(path);
                for (const QString& table : connection.tableNames()) {
                    try {
                        SourceQuery query(connection, QStringLiteral("SELECT * FROM [%1]").arg(table));
                        query.open();
                        for (; !query.eof(); query.next())
                            query.value(0);
                    } catch (const Error& e) {
                        QVERIFY(!e.message().isEmpty());
                        ++refused;
                    }
                }
            } catch (const Error& e) {
                QVERIFY(!e.message().isEmpty());
                ++refused;
            }
        }
        SourceConnection::setStagingTimeout(60000);
        QVERIFY(refused > 0);
    }

    void aFailingReaderBecomesAnError_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("ahead");
        const QString copying = QStringLiteral("if [ \"$1\" = --list ]; then exec \"$READER\" \"$@\"; fi\n");
        for (const bool ahead : {false, true}) {
            // Copied ahead, the table fails the statement that names it, with the same message.
            const QByteArray when = ahead ? " (copied ahead)" : "";
            QTest::newRow("crash" + when) << QStringLiteral("kill -SEGV $$") << QStringLiteral("brutalement") << ahead;
            QTest::newRow("exit status" + when) << QStringLiteral("exit 3") << QStringLiteral("code 3") << ahead;
            QTest::newRow("garbage" + when) << QStringLiteral("echo garbage; exit 0") << QStringLiteral("incohérentes") << ahead;
            QTest::newRow("hang" + when) << QStringLiteral("exec sleep 30") << QStringLiteral("ne progresse plus") << ahead;
            QTest::newRow("crash while copying a table" + when)
                << copying + QStringLiteral("\"$READER\" \"$@\" | head -c 3000; kill -SEGV $$") << QStringLiteral("brutalement")
                << ahead;
        }
    }

    void aFailingReaderBecomesAnError()
    {
        QFETCH(QString, script);
        QFETCH(QString, reason);
        QFETCH(bool, ahead);
        SourceConnection::setStagingProgram(fakeReader(script));
        SourceConnection::setStagingTimeout(1000);
        SourceConnection connection;
        QString message;
        try {
            connection.open(nwind);
            if (ahead)
                connection.stageAhead({QStringLiteral("SELECT * FROM [Order Details]")});
            SourceQuery query(connection, QStringLiteral("SELECT * FROM [Order Details]"));
            query.open();
        } catch (const Error& e) {
            message = e.message();
        }
        SourceConnection::setStagingProgram(QString());
        SourceConnection::setStagingTimeout(60000);
        QVERIFY2(message.contains(reason), qPrintable(message));

        if (connection.isOpen()) {
            // The failed copy left nothing behind: the table is copied whole on the next try.
            SourceQuery query(connection, QStringLiteral("SELECT count(*) AS n FROM [Order Details]"));
            query.open();
            QCOMPARE(query.intValue(QStringLiteral("n")), 2155);
        }
    }

    void closingStopsACopyUnderWay()
    {
        // The copier waits on a silent reader; closing does not wait for the reader's timeout.
        SourceConnection::setStagingProgram(fakeReader(
            QStringLiteral("if [ \"$1\" = --list ]; then exec \"$READER\" \"$@\"; fi\nexec sleep 30")));
        QElapsedTimer closing;
        {
            SourceConnection connection;
            connection.open(nwind);
            connection.stageAhead({QStringLiteral("SELECT * FROM Customers")});
            QTest::qWait(300);
            closing.start();
        }
        SourceConnection::setStagingProgram(QString());
        QVERIFY2(closing.elapsed() < 10000, qPrintable(QString::number(closing.elapsed())));
    }

    void aMissingReaderIsNamed()
    {
        SourceConnection::setStagingProgram(QDir(m_temp->path()).filePath(QStringLiteral("absent")));
        const QString message = openError(nwind);
        SourceConnection::setStagingProgram(QString());
        QVERIFY2(message.contains(QStringLiteral("velquor-fusion-stage")), qPrintable(message));
    }

    void missingFileOrFolder()
    {
        QVERIFY(openError(QDir(m_temp->path()).filePath(QStringLiteral("absent.mdb"))).contains(QStringLiteral("introuvable")));
        QVERIFY(!openError(m_temp->path()).isEmpty());
        QVERIFY(!openError(QString()).isEmpty());
    }

    void theStagingCopyIsPrivateAndRemoved()
    {
        const QFile::Permissions ownerAll = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
        const QFile::Permissions groupOrOthers = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
            | QFile::WriteOther | QFile::ExeOther;
        QString folder;
        {
            SourceConnection connection;
            connection.open(nwind);
            connection.stageAhead({QStringLiteral("SELECT * FROM Customers")}); // its journal files too
            folder = connection.stagingFolder();
            QVERIFY(folder.startsWith(m_temp->path()));
            QCOMPARE(QFile::permissions(folder) & (groupOrOthers | ownerAll), ownerAll);
            SourceQuery query(connection, QStringLiteral("SELECT * FROM Customers"));
            query.open();
            const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files);
            QVERIFY(!files.isEmpty());
            for (const QFileInfo& info : files)
                QCOMPARE(QFile::permissions(info.filePath()) & (groupOrOthers | ownerAll), QFile::ReadOwner | QFile::WriteOwner);
            connection.close();
            QVERIFY(!QFileInfo::exists(folder));
            QVERIFY(!query.isOpen());
            QVERIFY_THROWS_EXCEPTION(Error, query.open());
            connection.open(nwind);
            folder = connection.stagingFolder();
        }
        QVERIFY(!QFileInfo::exists(folder)); // also on destruction
    }

    void foldersOfADeadProgramAreRemoved_data()
    {
        QTest::addColumn<QString>("kind"); // what sits at the staging folder's name
        QTest::addColumn<bool>("removed");
        QTest::newRow("a staging folder of ours") << "ours" << true;
        QTest::newRow("a link to a folder elsewhere") << "link" << false;
        QTest::newRow("a folder others may enter") << "open" << false;
        QTest::newRow("a folder of another user") << "foreign" << false;
    }
    void foldersOfADeadProgramAreRemoved()
    {
        QFETCH(QString, kind);
        QFETCH(bool, removed);
        // A lock written by a process that no longer runs, as a program that died leaves it.
        const QString stale = QDir(m_temp->path()).filePath(QStringLiteral("velquor-fusion-staging-dead01"));
        const QString folder = kind == QStringLiteral("link") ? QDir(m_temp->path()).filePath(QStringLiteral("dossiers")) : stale;
        QVERIFY(QDir().mkpath(folder));
        QFile lock(QDir(folder).filePath(QStringLiteral("staging.lock")));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(QByteArray::number(999999) + "\nvelquor-fusion\n" + QSysInfo::machineHostName().toUtf8() + "\n");
        lock.close();
        const QString file = QDir(folder).filePath(QStringLiteral("staging.db"));
        QFile(file).open(QIODevice::WriteOnly);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), kind == QStringLiteral("open") ? 0755 : 0700) == 0);
        if (kind == QStringLiteral("link"))
            QVERIFY(QFile::link(folder, stale));
        if (kind == QStringLiteral("foreign") && ::chown(QFile::encodeName(folder).constData(), 65534, 65534) != 0)
            QSKIP("changing a folder's owner needs root");

        SourceConnection live;
        live.open(nwind);
        SourceConnection::removeStaleStagingFolders();
        QCOMPARE(QFileInfo::exists(file), !removed);
        QCOMPARE(QFileInfo(stale).isSymLink() || QFileInfo::exists(stale), !removed);
        QVERIFY(QFileInfo::exists(live.stagingFolder()));
    }

    void oleDatesAreExactToTheMillisecond()
    {
        const auto utc = [](int y, int mo, int d, int h, int mi, int s = 0, int ms = 0) {
            return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
        };
        QCOMPARE(dateTimeFromOle(2.75), utc(1900, 1, 1, 18, 0));
        QCOMPARE(dateTimeFromOle(-1.25), utc(1899, 12, 29, 6, 0));
        QCOMPARE(dateTimeFromOle(0.0), utc(1899, 12, 30, 0, 0));
        QCOMPARE(dateTimeFromOle(-0.5), utc(1899, 12, 30, 12, 0));
        QCOMPARE(oleFromDateTime(utc(1900, 1, 1, 18, 0)), 2.75);
        QCOMPARE(oleFromDateTime(utc(1899, 12, 29, 6, 0)), -1.25);
        QCOMPARE(oleFromDateTime(utc(1899, 12, 30, 0, 0)), 0.0);
        const QList<QDateTime> moments = {utc(100, 1, 1, 0, 0), utc(100, 3, 1, 23, 59, 59, 999), utc(1899, 12, 29, 23, 59, 59, 1),
                                          utc(1900, 1, 1, 0, 0, 0, 1), utc(2004, 3, 7, 14, 5, 0, 0), utc(9999, 12, 31, 23, 59, 59, 999)};
        for (const QDateTime& moment : moments)
            QCOMPARE(dateTimeFromOle(oleFromDateTime(moment)), moment);
        QVERIFY(!dateTimeFromOle(std::numeric_limits<double>::quiet_NaN()).isValid());
        QVERIFY(!dateTimeFromOle(1e9).isValid());
    }

    void connectionStringNamesTheFile()
    {
        const QString text = SourceConnection::connectionString(QStringLiteral("C:\\Velquor\\V3.mdb"));
        QVERIFY(text.startsWith(QStringLiteral("Provider=Microsoft.Jet.OLEDB.4.0;User ID=Admin;Data Source=C:\\Velquor\\V3.mdb;Mode=Share Deny None;")));
        QVERIFY(text.endsWith(QStringLiteral("Jet OLEDB:SFP=False;")));
    }

private:
    // A reader that runs the script, with the real reader in $READER.
    QString fakeReader(const QString& script)
    {
        const QString fake = QDir(m_temp->path()).filePath(QStringLiteral("fake-reader"));
        QFile file(fake);
        if (!file.open(QIODevice::WriteOnly))
            return QString();
        file.write("#!/bin/sh\nREADER='" + SourceConnection::stagingProgram().toUtf8() + "'\n" + script.toUtf8() + "\n");
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return fake;
    }

    QString m_systemTemp;
    std::unique_ptr<QTemporaryDir> m_temp;
};

QTEST_GUILESS_MAIN(SourceConnectionTest)
#include "tst_source_connection.moc"
