// The sample practice: complete source tables, consistent references, the letters folder and the
// destination configuration files, the same bytes for the same arguments.
#include "ReadBack.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Relative path -> SHA-256 of every file under a folder.
QMap<QString, QByteArray> fingerprint(const QString& root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            files.insert(QDir(root).relativeFilePath(path), QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256));
    }
    return files;
}

int column(const ReadBack& table, const QString& name)
{
    return int(table.columns.indexOf(name));
}

} // namespace

class TestMakePractice : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_out = m_dir.filePath("practice");
        int exitCode = -1;
        QString errors;
        run(MAKE_PRACTICE_PATH, {"--out", m_out, "--patients", "60", "--seed", "42"}, &exitCode, &errors);
        QCOMPARE(exitCode, 0);
        QVERIFY2(errors.isEmpty(), qPrintable(errors));
    }

    void sameArgumentsGiveSameFiles()
    {
        const QString again = m_dir.filePath("again"), other = m_dir.filePath("other");
        int exitCode = -1;
        run(MAKE_PRACTICE_PATH, {"--out", again, "--patients", "60", "--seed", "42"}, &exitCode);
        QCOMPARE(exitCode, 0);
        run(MAKE_PRACTICE_PATH, {"--out", other, "--patients", "60", "--seed", "43"}, &exitCode);
        QCOMPARE(exitCode, 0);
        const auto first = fingerprint(m_out);
        QVERIFY(first.size() > 100);
        QCOMPARE(fingerprint(again), first);
        QVERIFY(fingerprint(other).value("V3.mdb") != first.value("V3.mdb"));
    }

    void everyTableTheImportReads_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QStringList>("columns");
        QTest::newRow("users") << "GLB MEDECIN"
                               << QStringList{"CODE MEDECIN", "NOM", "PRENOM", "VILLE", "ADRESSE", "CODE POSTAL", "TELEPHONE"};
        QTest::newRow("functions") << "REF FONCTION" << QStringList{"CODE FONCTION", "LIBELLE"};
        QTest::newRow("correspondents") << "ADR CARNET ADRESSE"
                                        << QStringList{"CODE CARNET ADRESSE", "CODE FONCTION", "NOM", "PRENOM", "VILLE", "RUE",
                                                       "CODE POSTAL", "TELEPHONE PERSONNEL", "TELEPHONE PROFESSIONNEL", "FAX", "DIVERS"};
        QTest::newRow("patients") << "GLB PATIENT"
                                  << QStringList{"CODE PATIENT", "NOM", "PRENOM", "DATE NAISSANCE", "CODE TYPE SEXE", "ADRESSE",
                                                 "CODE MEDECIN PROPRIETAIRE", "NOM DE NAISSANCE", "CODE POSTAL", "VILLE",
                                                 "TEL DOMICILE", "TEL BUREAU", "FAX", "NUMERO SECURITE SOCIAL",
                                                 "CODE CORRESPONDANT 1", "CODE CORRESPONDANT 2", "CODE CORRESPONDANT 3",
                                                 "CODE CORRESPONDANT 4", "CODE CORRESPONDANT 5", "CODE CORRESPONDANT 6"};
        QTest::newRow("history kinds") << "ANT ANTECEDENT" << QStringList{"CODE ANTECEDENT", "LIBELLE"};
        QTest::newRow("history items") << "ANT ANTECEDENT PATIENT"
                                       << QStringList{"CODE ANTECEDENT PATIENT", "CODE PATIENT", "CODE ANTECEDENT", "DATE"};
        QTest::newRow("history comments") << "ANT COMMENTAIRE ANTECEDENT PATIENT" << QStringList{"CODE ANTECEDENT PATIENT", "DONNEES"};
        const QStringList details{"CodeTitre", "CodeLigne", "niveau", "DONNEES"};
        QTest::newRow("consultations") << "CON CONSULTATION"
                                       << QStringList{"CODETITRE", "CODE PATIENT", "Date", "code medecin", "DONNEES"};
        QTest::newRow("consultation lines") << "CON SOUS CONSULTATION" << details;
        QTest::newRow("prescriptions") << "ORD ORDONNANCE"
                                       << QStringList{"CODETITRE", "CODE PATIENT", "Date", "code medecin", "DONNEES"};
        QTest::newRow("prescription lines") << "ORD SOUS ORDONNANCE" << details;
        QTest::newRow("sheets") << "SYN FICHE SYNTHESE" << QStringList{"CodeTitre", "code patient", "date", "code medecin", "DONNEES"};
        QTest::newRow("sheet lines") << "SYN SOUS FICHE SYNTHESE" << details;
        QTest::newRow("letters") << "COU COURRIER GENERE"
                                 << QStringList{"CODE COURRIER GENERE", "CODE PATIENT", "NOM FICHIER", "LIBELLE", "DATE"};
    }

    void everyTableTheImportReads()
    {
        QFETCH(QString, table);
        QFETCH(QStringList, columns);
        const ReadBack back = readTable(m_out + "/V3.mdb", table, kShortTexts);
        QCOMPARE(back.columns, columns);
        QVERIFY(!back.rows.isEmpty());
    }

    // About 20 consultations of 3 lines, 10 prescriptions of 4 lines, 2 sheets, 2 letters and
    // 3 history items per patient, with the odd cases the import must cope with.
    void volumesAndReferences()
    {
        const QString mdb = m_out + "/V3.mdb";
        const ReadBack patients = readTable(mdb, "GLB PATIENT", kShortTexts);
        QCOMPARE(patients.rows.size(), 60);
        QSet<QString> patientCodes;
        for (const QStringList& row : patients.rows)
            patientCodes.insert(row[0]);

        const ReadBack consultations = readTable(mdb, "CON CONSULTATION", kShortTexts);
        const ReadBack consultationLines = readTable(mdb, "CON SOUS CONSULTATION", kShortTexts);
        const ReadBack prescriptions = readTable(mdb, "ORD ORDONNANCE", kShortTexts);
        const ReadBack prescriptionLines = readTable(mdb, "ORD SOUS ORDONNANCE", kShortTexts);
        const ReadBack sheets = readTable(mdb, "SYN FICHE SYNTHESE", kShortTexts);
        const ReadBack letters = readTable(mdb, "COU COURRIER GENERE", kShortTexts);
        const ReadBack history = readTable(mdb, "ANT ANTECEDENT PATIENT", kShortTexts);
        const auto perPatient = [](const ReadBack& table) { return double(table.rows.size()) / 60; };
        QVERIFY(perPatient(consultations) > 15 && perPatient(consultations) < 25);
        QVERIFY(double(consultationLines.rows.size()) / consultations.rows.size() > 2.5);
        QVERIFY(perPatient(prescriptions) > 7 && perPatient(prescriptions) < 13);
        QVERIFY(double(prescriptionLines.rows.size()) / prescriptions.rows.size() > 3.5);
        QVERIFY(perPatient(sheets) > 1 && perPatient(sheets) < 3);
        QVERIFY(perPatient(letters) > 1 && perPatient(letters) < 3);
        QVERIFY(perPatient(history) > 2 && perPatient(history) < 4);

        // Detail lines at every level, and memos with every kind of line break.
        QSet<QString> levels;
        bool crlf = false, cr = false, lf = false;
        for (const QStringList& row : consultationLines.rows) {
            levels.insert(row[2]);
            crlf |= row[3].contains("\r\n");
            cr |= row[3].contains(QRegularExpression("\r(?!\n)"));
            lf |= row[3].contains(QRegularExpression("(?<!\r)\n"));
        }
        QVERIFY(levels.contains("0") && levels.contains("3") && levels.contains(""));
        QVERIFY(crlf && cr && lf);

        // Rows of patients that do not exist, and prescriptions at the minute of a consultation.
        const auto missingPatients = [&](const ReadBack& table, int codeColumn) {
            int count = 0;
            for (const QStringList& row : table.rows)
                count += !patientCodes.contains(row[codeColumn]);
            return count;
        };
        QVERIFY(missingPatients(consultations, 1) > 0);
        QVERIFY(missingPatients(prescriptions, 1) > 0);
        QVERIFY(missingPatients(letters, 1) > 0);
        QSet<QString> consultationMinutes;
        for (const QStringList& row : consultations.rows)
            consultationMinutes.insert(row[1] + " " + row[2].left(16));
        int sharing = 0;
        for (const QStringList& row : prescriptions.rows)
            sharing += consultationMinutes.contains(row[1] + " " + row[2].left(16));
        QVERIFY(sharing > prescriptions.rows.size() / 3);
        QVERIFY(sharing < prescriptions.rows.size());
    }

    // Each letter's file is NOM FICHIER + ".RTF" in COURRIER, matched without regard to case;
    // a few are missing.
    void lettersFolder()
    {
        const ReadBack letters = readTable(m_out + "/V3.mdb", "COU COURRIER GENERE", kShortTexts);
        const QStringList files = QDir(m_out + "/COURRIER").entryList(QDir::Files);
        QSet<QString> upper;
        for (const QString& file : files)
            upper.insert(file.toUpper());
        int missing = 0;
        for (const QStringList& row : letters.rows)
            missing += !upper.contains((row[column(letters, "NOM FICHIER")] + ".RTF").toUpper());
        QVERIFY(missing > 0 && missing < letters.rows.size() / 10);
        QCOMPARE(files.size() + missing, letters.rows.size());
        QVERIFY(files.contains("COUR000003.rtf"));
        QVERIFY(files.contains("cour000005.RTF"));
        QFile letter(m_out + "/COURRIER/COUR000001.RTF");
        QVERIFY(letter.open(QIODevice::ReadOnly));
        QVERIFY(letter.readAll().startsWith("{\\rtf1"));
    }

    void destinationConfiguration()
    {
        QSettings kestrune(m_out + "/Base/Kestrune.ver", QSettings::IniFormat);
        QCOMPARE(kestrune.value("DBKERNEL/UserName").toString(), QString("sa"));
        QVERIFY(kestrune.contains("DBKERNEL/DatabaseName"));
        QVERIFY(kestrune.contains("DBKERNEL/ServerName"));
        QSettings editor(m_out + "/Base/EDITOR.INI", QSettings::IniFormat);
        editor.beginGroup("DataBases");
        QStringList prescriptionKeys;
        for (const QString& key : editor.childKeys())
            if (editor.value(key).toString().toUpper().contains("PRESCRIP"))
                prescriptionKeys << key;
        QCOMPARE(prescriptionKeys, QStringList{"ORDONNANCES"});
    }

private:
    QTemporaryDir m_dir;
    QString m_out;
};

QTEST_GUILESS_MAIN(TestMakePractice)
#include "tst_make_practice.moc"
