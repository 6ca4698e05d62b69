#include "base/Errors.h"
#include "destination/DestinationConnection.h"
#include "support/TestDestination.h"

#include <QSqlQuery>
#include <QtTest>

#ifndef VF_SCHEMA_GEN
#error "VF_SCHEMA_GEN and VF_SCHEMA_DIR must be defined"
#endif

using vf::test::Backend;

namespace {

const QStringList kPurged = {
    QStringLiteral("PATMEDTR"), QStringLiteral("MEDTRAIT"), QStringLiteral("IMAGES"), QStringLiteral("ANTECED"),
    QStringLiteral("LETTERS"), QStringLiteral("LETTERS_EMAILED"), QStringLiteral("LETTERS_WORKLIST"),
    QStringLiteral("SIMPLIFY"), QStringLiteral("TASKS"), QStringLiteral("IMPDATA"), QStringLiteral("PLANNING"),
    QStringLiteral("CPACTES"), QStringLiteral("CPBANKS"), QStringLiteral("CPMAIN"), QStringLiteral("CPGEST"),
    QStringLiteral("CPORDPAY"), QStringLiteral("CPORG"), QStringLiteral("CPREM"), QStringLiteral("CPTRANS"),
    QStringLiteral("CPNLOTS"), QStringLiteral("CPSVFACT"), QStringLiteral("CPSVMED"), QStringLiteral("CPSVNOE"),
    QStringLiteral("CPSVXMD2"), QStringLiteral("VIDAL"), QStringLiteral("DICOM_EXPORTS"), QStringLiteral("FAMILY_ID"),
    QStringLiteral("MOTCONSU"), QStringLiteral("PATIENTS"), QStringLiteral("MEDECINS")};

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestSchema : public QObject {
    Q_OBJECT
private slots:
    // The three files are what the generator makes of tables.def.
    void generatedFilesAreCurrent()
    {
        QTemporaryDir out;
        QCOMPARE(QProcess::execute(QStringLiteral(VF_SCHEMA_GEN),
                                   {QStringLiteral(VF_SCHEMA_DIR "/tables.def"), out.path()}),
                 0);
        for (const char* name : {"sqlserver.sql", "sqlite.sql", "postgresql.sql"}) {
            const QByteArray committed = readAll(QStringLiteral(VF_SCHEMA_DIR "/") + QLatin1String(name));
            QVERIFY2(!committed.isEmpty(), name);
            QVERIFY2(committed == readAll(out.filePath(QLatin1String(name))),
                     qPrintable(QStringLiteral("%1 is out of date: build the target \"schema\"").arg(QLatin1String(name))));
        }
        const QString sqlServer = QString::fromUtf8(readAll(QStringLiteral(VF_SCHEMA_DIR "/sqlserver.sql")));
        for (const char* line : {"Description NVARCHAR(80) NULL", "FileName NVARCHAR(12) NULL",
                                 "KEY_NAME NVARCHAR(30) NOT NULL PRIMARY KEY", "MOTIF_DE_CONSULTATION NVARCHAR(MAX) NULL",
                                 "ON MOTCONSU (PATIENTS_ID, DATE_CONSULTATION)"})
            QVERIFY2(sqlServer.contains(QLatin1String(line)), line);
    }

    void tablesOnBothDestinations_data() { vf::test::addBackendColumn(); }
    void tablesOnBothDestinations()
    {
        QFETCH(Backend, backend);
        VF_TEST_DESTINATION(dest, backend);
        vf::DestinationConnection c;
        QVERIFY_THROWS_NO_EXCEPTION(c.open(dest.connectionString()));
        const QStringList tables = c.tables();
        QStringList expected = kPurged;
        expected << QStringLiteral("ID_VALUES") << QStringLiteral("ORDONNANCES") << QStringLiteral("DATAFORMS");
        QCOMPARE(tables.size(), expected.size());
        for (const QString& table : tables) {
            const QString name = table.toUpper();
            QVERIFY2(expected.contains(name), qPrintable(name));
            // The identifier is the first column, and it is the primary key.
            vf::DestQuery query(c, QStringLiteral("SELECT * FROM ") + name);
            query.open();
            const QString first = query.columnName(0).toUpper();
            query.close();
            QCOMPARE(first, name == QLatin1String("ID_VALUES") ? QStringLiteral("KEY_NAME") : name + QStringLiteral("_ID"));
            const QString value = name == QLatin1String("ID_VALUES") ? QStringLiteral("'K'") : QStringLiteral("1");
            vf::DestQuery insert(c, QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)").arg(name, first, value));
            insert.exec();
            QVERIFY_THROWS_EXCEPTION(vf::Error, insert.exec());
        }
    }

    // The sizes that the program relies on are enforced where the destination enforces them.
    void sizes()
    {
        VF_TEST_DESTINATION(dest, Backend::PostgreSQL);
        QVERIFY(dest.exec(QStringLiteral("INSERT INTO LETTERS (LETTERS_ID, Description, FileName) VALUES (1, '%1', '%2')")
                              .arg(QString(80, u'é'), QStringLiteral("LET1234567.H"))));
        QSqlQuery q(dest.db());
        QVERIFY(!q.exec(QStringLiteral("INSERT INTO LETTERS (LETTERS_ID, Description) VALUES (2, '%1')").arg(QString(81, u'x'))));
        QVERIFY(!q.exec(QStringLiteral("INSERT INTO LETTERS (LETTERS_ID, FileName) VALUES (3, 'LET12345678.HED')")));
        QVERIFY(!q.exec(QStringLiteral("INSERT INTO ID_VALUES VALUES ('%1', 0)").arg(QString(31, u'K'))));
    }
};

QTEST_GUILESS_MAIN(TestSchema)
#include "test_schema.moc"
