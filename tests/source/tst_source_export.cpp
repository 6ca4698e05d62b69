// The --export diagnostic command: one source table as CSV on standard output.

#include "mdbwriter/MdbWriter.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run {
    int status = -1;
    QByteArray out;
    QString err;
};

Run exportTable(const QStringList& arguments, const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(VF_EXPORT_DRIVER), QStringList{QStringLiteral("--export")} + arguments);
    Run run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.status = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

} // namespace

class SourceExportTest : public QObject {
    Q_OBJECT

private slots:
    void aRealTableAsCsv()
    {
        const Run run = exportTable({QStringLiteral(VF_SOURCE_TEST_DATA "/nwind.mdb"), QStringLiteral("shippers")});
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, QByteArray("ShipperID,CompanyName,Phone\r\n"
                                     "1,Speedy Express,(503) 555-9831\r\n"
                                     "2,United Package,(503) 555-3199\r\n"
                                     "3,Federal Shipping,(503) 555-9931\r\n"));
    }

    void valuesAreWrittenAsTheCommandPromises()
    {
        QTemporaryDir dir;
        const std::string path = dir.filePath(QStringLiteral("V3.mdb")).toStdString();
        mdbwriter::Writer writer(path);
        writer.beginTable("GLB PATIENT", {{"CODE PATIENT", mdbwriter::ColumnType::Long},
                                          {"NOM, PRÉNOM", mdbwriter::ColumnType::Text, 80},
                                          {"DATE NAISSANCE", mdbwriter::ColumnType::DateTime},
                                          {"POIDS", mdbwriter::ColumnType::Double},
                                          {"DONNEES", mdbwriter::ColumnType::Memo}});
        std::vector<mdbwriter::Value> row = {std::int64_t(-7), std::string("Hélène \"Lena\", Dupré"),
                                             std::string("0100-01-01T06:05:04.321"), 72.25, std::string("ligne 1\r\nligne 2")};
        writer.addRow(row);
        row = {std::int64_t(8), std::string(), mdbwriter::DateTime{-1.25}, mdbwriter::Value{}, mdbwriter::Value{}};
        writer.addRow(row);
        writer.finish();

        // The text is UTF-8 whatever encoding the environment asks of libmdb.
        QProcessEnvironment latin1 = QProcessEnvironment::systemEnvironment();
        latin1.insert(QStringLiteral("MDBICONV"), QStringLiteral("ISO-8859-1"));
        for (const QProcessEnvironment& environment : {QProcessEnvironment::systemEnvironment(), latin1}) {
            const Run run = exportTable({QString::fromStdString(path), QStringLiteral("GLB PATIENT")}, environment);
            QCOMPARE(run.status, 0);
            QCOMPARE(QString::fromUtf8(run.out),
                     QStringLiteral("CODE PATIENT,\"NOM, PRÉNOM\",DATE NAISSANCE,POIDS,DONNEES\r\n"
                                    "-7,\"Hélène \"\"Lena\"\", Dupré\",0100-01-01T06:05:04.321,72.25,\"ligne 1\r\nligne 2\"\r\n"
                                    "8,\"\",1899-12-29T06:00:00.000,,\r\n"));
        }
    }

    void failuresGoToStandardErrorWithTheirStatus()
    {
        QTemporaryDir dir;
        const QString missing = dir.filePath(QStringLiteral("absent.mdb"));
        Run run = exportTable({missing, QStringLiteral("T")});
        QCOMPARE(run.status, 1);
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.startsWith(QStringLiteral("Connexion à la base de données Access [%1] impossible : ").arg(missing)), qPrintable(run.err));

        run = exportTable({QStringLiteral(VF_SOURCE_TEST_DATA "/nwind.mdb"), QStringLiteral("GLB MEDECIN")});
        QCOMPARE(run.status, 1);
        QVERIFY2(run.err.contains(QStringLiteral("[GLB MEDECIN]")), qPrintable(run.err));

        run = exportTable({QStringLiteral(VF_SOURCE_TEST_DATA "/nwind.mdb")});
        QCOMPARE(run.status, 64);
        QVERIFY(run.err.startsWith(QStringLiteral("Utilisation : ")));
    }
};

QTEST_GUILESS_MAIN(SourceExportTest)
#include "tst_source_export.moc"
