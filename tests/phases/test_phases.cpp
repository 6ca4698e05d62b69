// The medical history, consultations, prescriptions, synthesis-sheet and letters phases, run end
// to end over Access files made by the writer, into both test destinations.

#include "Practice.h"

#include "destination/DestinationConnection.h"
#include "phases/LetterFiles.h"
#include "phases/Phases.h"
#include "phases/PhaseText.h"
#include "mdbwriter/MdbWriter.h"

#include <QDir>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest/QtTest>

#include <sys/stat.h>

using namespace vf;
using namespace vf::test;
using nlohmann::json;

namespace {

QDateTime utc(int year, int month, int day, int hour = 0, int minute = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute), Qt::UTC);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QByteArray kEditorIni = "[Options]\r\nPrescriptions=0\r\n[DataBases]\r\nCOURRIERS=Courriers\r\n"
                              "ordonnances=Table des PRESCRIPTIONS\r\nAUTRE=prescriptions bis\r\n";

} // namespace

class TestPhases : public QObject {
    Q_OBJECT

private slots:
    void textLines_data();
    void textLines();
    void findPrescriptionTable_data();
    void findPrescriptionTable();

    void history_data() { addBackendColumn(); }
    void history();
    void consultations_data() { addBackendColumn(); }
    void consultations();
    void prescriptionsAndSheets_data() { addBackendColumn(); }
    void prescriptionsAndSheets();
    void letters_data() { addBackendColumn(); }
    void letters();
    void lettersReachingOutside_data();
    void lettersReachingOutside();
    void lettersFolderReplacedDuringThePhase_data();
    void lettersFolderReplacedDuringThePhase();
    void badInput_data() { addBackendColumn(); }
    void badInput();
    void datesThatAreNone_data();
    void datesThatAreNone();
    void purgeEmptiesPrescriptionTable_data() { addBackendColumn(); }
    void purgeEmptiesPrescriptionTable();
};

void TestPhases::textLines_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QVariant>("level");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << QString() << QVariant(2) << QString();
    QTest::newRow("one line, level 0") << "a" << QVariant(0) << "a\r\n";
    QTest::newRow("CR LF, lone CR, lone LF") << "a\r\nb\rc\nd" << QVariant(1) << "  a\r\n  b\r\n  c\r\n  d\r\n";
    QTest::newRow("final break gives no empty line") << "a\r\n" << QVariant(3) << "      a\r\n";
    QTest::newRow("inner empty lines are kept") << "a\n\nb" << QVariant(1) << "  a\r\n  \r\n  b\r\n";
    QTest::newRow("LF CR is two breaks") << "a\n\rb" << QVariant(0) << "a\r\n\r\nb\r\n";
    QTest::newRow("null level") << "a" << QVariant() << "a\r\n";
    QTest::newRow("negative level") << "a" << QVariant(-2) << "a\r\n";
    QTest::newRow("only a break") << "\r\n" << QVariant(1) << "  \r\n";
}

void TestPhases::textLines()
{
    QFETCH(QString, text);
    QFETCH(QVariant, level);
    QFETCH(QString, expected);
    QCOMPARE(indentedText(text, level), expected);
}

void TestPhases::findPrescriptionTable_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");
    QTest::newRow("missing file") << QByteArray() << "erreur";
    QTest::newRow("first match in file order, key upper-cased") << kEditorIni << "ORDONNANCES";
    QTest::newRow("no value names prescriptions")
        << QByteArray("[DataBases]\r\nPrescriptions=Courriers\r\n") << "erreur";
    QTest::newRow("no DataBases section") << QByteArray("[Options]\r\nA=Prescriptions\r\n") << "erreur";
    QTest::newRow("section name in another case") << QByteArray("[databases]\nOrd_2=prescrip\n") << "ORD_2";
    QTest::newRow("statement in the key")
        << QByteArray("[DataBases]\r\nX;DROP TABLE PATIENTS=Prescriptions\r\nORDONNANCES=Prescriptions\r\n")
        << "erreur";
    QTest::newRow("blank in the key") << QByteArray("[DataBases]\r\nORD NANCES=Prescriptions\r\n") << "erreur";
    QTest::newRow("accented key") << QByteArray("[DataBases]\r\nORDONNANCÉS=Prescriptions\r\n") << "erreur";
    QTest::newRow("leading digit") << QByteArray("[DataBases]\r\n1ORD=Prescriptions\r\n") << "erreur";
    QTest::newRow("one of our own tables") << QByteArray("[DataBases]\r\nPatients=Prescriptions\r\n") << "erreur";
    QTest::newRow("the consultations") << QByteArray("[DataBases]\r\nMOTCONSU=prescriptions\r\n") << "erreur";
    QTest::newRow("another phase's link table")
        << QByteArray("[DataBases]\r\nsyntheses=Prescriptions\r\n") << "erreur";
}

void TestPhases::findPrescriptionTable()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (!content.isEmpty()) {
        QFile file(dir.filePath(QStringLiteral("editor.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QCOMPARE(FindPrescriptionTable(dir.path()), expected);
}

void TestPhases::history()
{
    QFETCH(Backend, backend);
    VF_TEST_DESTINATION(destination, backend);
    QTemporaryDir dir;
    PracticeRun practice(destination, dir.path());
    practice.writeEditorIni(kEditorIni);
    QVERIFY(destination.exec(QStringLiteral("INSERT INTO ANTECED (ANTECED_ID, PATIENTS_ID, AUTRES) VALUES (5, 2, 'Ancien texte')")));
    QVERIFY(destination.exec(QStringLiteral("INSERT INTO ANTECED (ANTECED_ID, PATIENTS_ID, AUTRES) VALUES (7, 3, NULL)")));

    SourceTables tables = basePractice();
    addHistoryItem(tables, 1, 100, "2004-01-03T00:00:00", 1, "Opéré en 1990");
    tables.addRow("ANT COMMENTAIRE ANTECEDENT PATIENT", {1, "Deuxième commentaire"});
    addHistoryItem(tables, 2, 100, "2004-01-01T00:00:00", 2, "Type 2");
    addHistoryItem(tables, 3, 100, "2004-01-02T00:00:00", 3, nullptr);
    addHistoryItem(tables, 4, 200, "2004-01-01T00:00:00", 2, "Allergie");
    const std::string big(1 << 20, 'x');
    addHistoryItem(tables, 5, 300, "2004-01-01T00:00:00", 1, big);
    addHistoryItem(tables, 6, 999, "2004-01-01T00:00:00", 1, "Inconnu");
    tables.addRow("ANT ANTECEDENT PATIENT", {7, 100, 1, "2004-01-05T00:00:00"}); // no comment row: not read

    for (int attempt = 1; attempt <= 2; ++attempt) {
        practice.run(tables);
        const QStringList lines = practice.lines();
        QVERIFY2(lines.contains(QStringLiteral("Impossible de retrouver le dossier n°999. Les antécédents de ce dossier "
                                               "ne seront pas importés.")),
                 qPrintable(lines.join('\n')));
        QVERIFY(lines.contains(QStringLiteral("8 antécédents après importation.")));

        const QList<QVariantMap> rows = destination.rows(QStringLiteral("SELECT * FROM ANTECED ORDER BY ANTECED_ID"));
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[0].value("PATIENTS_ID").toInt(), 2);
        QCOMPARE(rows[0].value("AUTRES").toString(), QStringLiteral("Ancien texte\rAllergie : Diabète"));
        QCOMPARE(rows[1].value("PATIENTS_ID").toInt(), 3);
        QCOMPARE(rows[1].value("AUTRES").toString(), QStringLiteral("\r") + QString::fromStdString(big)
                                                         + QStringLiteral(" : Appendicectomie"));
        QCOMPARE(rows[2].value("ANTECED_ID").toInt(), 8);
        QCOMPARE(rows[2].value("PATIENTS_ID").toInt(), 1);
        const QString autres = rows[2].value("AUTRES").toString();
        QVERIFY2(autres == QStringLiteral("Type 2 : Diabète\r : \rOpéré en 1990 : Appendicectomie")
                     || autres == QStringLiteral("Type 2 : Diabète\r : \rDeuxième commentaire : Appendicectomie"),
                 qPrintable(autres));
        QCOMPARE(destination.scalar(QStringLiteral("SELECT LAST_VALUE FROM ID_VALUES WHERE KEY_NAME='ANTECED'")).toInt(), 8);
    }
}

void TestPhases::consultations()
{
    QFETCH(Backend, backend);
    VF_TEST_DESTINATION(destination, backend);
    QTemporaryDir dir;
    PracticeRun practice(destination, dir.path());
    practice.writeEditorIni(kEditorIni);
    QVERIFY(destination.exec(QStringLiteral("INSERT INTO MOTCONSU (MOTCONSU_ID, PATIENTS_ID, MEDECINS_ID) VALUES (40, 3, 1)")));

    SourceTables tables = basePractice();
    const std::string con = "CON CONSULTATION";
    const std::string sub = "CON SOUS CONSULTATION";
    addHeader(tables, con, 1000, 100, "2004-03-07T14:32:45", 20, "Motif");
    addDetail(tables, sub, 1000, 2, 1, "c\rd\ne");
    addDetail(tables, sub, 1000, 1, 0, "a\r\nb");
    addDetail(tables, sub, 1000, 3, 2, "");
    addDetail(tables, sub, 1000, 4, 3, "f\r\n");
    addDetail(tables, sub, 1000, 5, nullptr, "g");
    addDetail(tables, sub, 1000, 6, 1, nullptr);
    addHeader(tables, con, 1001, 100, "2004-03-07T14:32:10", 77, nullptr);
    addHeader(tables, con, 1002, 999, "2004-03-07T14:05:00", 10, "Perdu");
    addHeader(tables, con, 1006, 998, "2004-03-08T00:00:00", 10, "Perdu");
    addHeader(tables, con, 1003, 200, nullptr, 10, "Sans date");
    const std::string big(1 << 20, 'y');
    addDetail(tables, sub, 1003, 1, 1, big);
    addHeader(tables, con, 1004, 300, "0100-01-01T10:00:30", 10, "An 100");
    addHeader(tables, con, 1005, 300, "9999-12-31T23:59:59", 10, "An 9999");

    for (int attempt = 1; attempt <= 2; ++attempt) {
        practice.run(tables);
        const QStringList lines = practice.lines();
        QVERIFY2(lines.contains(QStringLiteral("Impossible de retrouver le dossier n°999. La consultation du 07/03/2004 "
                                               "14:05:00 ne sera pas importée.")),
                 qPrintable(lines.join('\n')));
        QVERIFY(lines.contains(QStringLiteral("Impossible de retrouver le dossier n°998. La consultation du 08/03/2004 "
                                              "ne sera pas importée.")));
        // SQL Server's DATETIME starts in 1753: there the year 100 is refused, and tried again
        // by the next run with an identifier of its own.
        const bool sqlServer = backend == Backend::TDS;
        QVERIFY(lines.contains(QStringLiteral("%1 consultations après importation.").arg(sqlServer ? 44 + attempt : 45)));
        const QList<QVariantMap> rows =
            destination.rows(QStringLiteral("SELECT * FROM MOTCONSU WHERE MOTCONSU_ID > 40 ORDER BY MOTCONSU_ID"));
        QCOMPARE(rows.size(), sqlServer ? 4 : 5);
        // Read by patient, then date: 1001 (14:32:10) comes before 1000 (14:32:45).
        QCOMPARE(rows[0].value("MOTIF_DE_CONSULTATION").toString(), QString());
        QVERIFY(!rows[0].value("MOTIF_DE_CONSULTATION").isNull());
        QCOMPARE(rows[0].value("MEDECINS_ID").toInt(), 1);
        QCOMPARE(rows[0].value("DATE_CONSULTATION").toDateTime(), utc(2004, 3, 7, 14, 32));
        QCOMPARE(rows[1].value("MOTIF_DE_CONSULTATION").toString(),
                 QStringLiteral("Motifa\r\nb\r\n  c\r\n  d\r\n  e\r\n      f\r\ng\r\n"));
        QCOMPARE(rows[1].value("MEDECINS_ID").toInt(), 2);
        QCOMPARE(rows[1].value("PATIENTS_ID").toInt(), 1);
        QCOMPARE(rows[1].value("DATE_CONSULTATION").toDateTime(), utc(2004, 3, 7, 14, 32));
        QCOMPARE(rows[2].value("DATE_CONSULTATION").toDateTime(), utc(1899, 12, 30));
        QCOMPARE(rows[2].value("MOTIF_DE_CONSULTATION").toString(),
                 QStringLiteral("Sans date  ") + QString::fromStdString(big) + QStringLiteral("\r\n"));
        if (!sqlServer)
            QCOMPARE(rows[3].value("DATE_CONSULTATION").toDateTime(), utc(100, 1, 1, 10, 0));
        QCOMPARE(rows.last().value("DATE_CONSULTATION").toDateTime(), utc(9999, 12, 31, 23, 59));
        QCOMPARE(destination.scalar(QStringLiteral("SELECT LAST_VALUE FROM ID_VALUES WHERE KEY_NAME='MOTCONSU'")).toInt(),
                 sqlServer ? 44 + attempt : 45);
    }
}

void TestPhases::prescriptionsAndSheets()
{
    QFETCH(Backend, backend);
    VF_TEST_DESTINATION(destination, backend);
    QTemporaryDir dir;
    PracticeRun practice(destination, dir.path());
    practice.writeEditorIni(kEditorIni);
    {
        // An earlier consultation whose AU_TOTAL holds only blanks and control characters.
        vf::DestinationConnection connection(QStringLiteral("earlier"));
        connection.open(destination.connectionString());
        vf::DestQuery insert(connection, QStringLiteral(
            "INSERT INTO MOTCONSU (MOTCONSU_ID, PATIENTS_ID, DATE_CONSULTATION, MEDECINS_ID, MOTIF_DE_CONSULTATION, "
            "AU_TOTAL) VALUES (1, 2, ?, 1, 'Ancienne', ?)"));
        insert.bindAll({utc(2004, 3, 11, 8, 0), QStringLiteral(" \r\n\t ")});
        insert.exec();
    }

    SourceTables tables = basePractice();
    addHeader(tables, "CON CONSULTATION", 1000, 100, "2004-03-07T14:32:45", 10, "Consultation");
    const std::string ord = "ORD ORDONNANCE";
    const std::string ordLines = "ORD SOUS ORDONNANCE";
    addHeader(tables, ord, 500, 100, "2004-03-07T14:32:10", 10, "Ord 1");
    addDetail(tables, ordLines, 500, 1, 0, "Doliprane 1g");
    addDetail(tables, ordLines, 500, 2, 1, "3 fois par jour\r\npendant 5 jours");
    addHeader(tables, ord, 501, 100, "2004-03-07T14:32:50", 10, "Ord 2");
    addDetail(tables, ordLines, 501, 1, 0, "Vitamine C");
    addHeader(tables, ord, 502, 100, "2004-03-08T09:15:40", 20, "Renouvellement");
    addDetail(tables, ordLines, 502, 1, 0, "Ventoline");
    addHeader(tables, ord, 503, 999, "2004-03-08T09:15:40", 20, "Perdue");
    addHeader(tables, ord, 504, 200, "2004-03-09T10:00:00", 10, "Sans lignes");

    const std::string syn = "SYN FICHE SYNTHESE";
    const std::string synLines = "SYN SOUS FICHE SYNTHESE";
    addHeader(tables, syn, 700, 100, "2004-03-07T14:32:59", 10, "Non utilisé");
    addDetail(tables, synLines, 700, 1, 1, "Synthèse A");
    addHeader(tables, syn, 701, 100, "2004-03-07T14:32:01", 10, "Non utilisé");
    addDetail(tables, synLines, 701, 1, 0, "Synthèse B\nsuite");
    addHeader(tables, syn, 702, 300, "2004-03-10T08:00:00", 77, "Bilan");
    addDetail(tables, synLines, 702, 1, 2, "Tension");
    addHeader(tables, syn, 703, 200, "2004-03-11T08:00:30", 10, "Non utilisé");
    addDetail(tables, synLines, 703, 1, 0, "Remplace");
    addHeader(tables, syn, 704, 999, "2004-03-11T08:00:30", 10, "Perdue");
    addHeader(tables, syn, 705, 200, "2004-03-09T10:00:20", 10, "Sans lignes");

    for (int attempt = 1; attempt <= 2; ++attempt) {
        practice.run(tables);
        const QStringList lines = practice.lines();
        // The count lines show the last identifiers handed out: a second run hands out none.
        const bool first = attempt == 1;
        const QStringList expected = {
            QString::number(first ? 2 : 5) + QStringLiteral(" consultations après importation."),
            QStringLiteral("Impossible de retrouver le dossier n°999. L'ordonnance du 08/03/2004 09:15:40 ne sera pas importée."),
            QStringLiteral("3 prescriptions après importation."),
            QString::number(first ? 4 : 5) + QStringLiteral(" consultations après importation des prescriptions."),
            QStringLiteral("Impossible de retrouver le dossier n°999. La fiche de synthèse du 11/03/2004 08:00:30 ne sera pas importée."),
            QStringLiteral("5 consultations après importation des fiches de synthèses."),
        };
        for (const QString& line : expected)
            QVERIFY2(lines.contains(line), qPrintable(line + QStringLiteral("\n---\n") + lines.join('\n')));
        QVERIFY(lines.indexOf(expected[2]) < lines.indexOf(expected[3]));
        const QStringList statuses = practice.reporter().statuses;
        qsizetype at = 0;
        for (const char* status :
             {"Ouverture de la table des antécédents...", "Importation des antécédents...",
              "Ouverture de la table des consultations...", "Importation des consultations...",
              "Ouverture de la table des ordonnances...", "Importation des prescriptions...",
              "Ouverture de la table des fiches de synthèses...", "Importation des fiches de synthèses...",
              "Ouverture de la table des courriers...", "Importation des courriers...", "Veuillez patienter."}) {
            at = statuses.indexOf(QString::fromUtf8(status), at);
            QVERIFY2(at >= 0, status);
        }

        const QList<QVariantMap> ordonnances =
            destination.rows(QStringLiteral("SELECT * FROM ORDONNANCES ORDER BY ORDONNANCES_ID"));
        QCOMPARE(ordonnances.size(), 3);
        QCOMPARE(ordonnances[0].value("PRESCRIPTION").toString(),
                 QStringLiteral("Doliprane 1g\r\n  3 fois par jour\r\n  pendant 5 jours\r\nVitamine C\r\n"));
        QCOMPARE(ordonnances[0].value("MOTCONSU_ID").toInt(), 2);
        QCOMPARE(ordonnances[0].value("PATIENTS_ID").toInt(), 1);
        QCOMPARE(ordonnances[0].value("DATE_CONSULTATION").toDateTime(), utc(2004, 3, 7, 14, 32));
        QCOMPARE(ordonnances[1].value("PRESCRIPTION").toString(), QStringLiteral("Ventoline\r\n"));
        QCOMPARE(ordonnances[1].value("MOTCONSU_ID").toInt(), 3);
        QCOMPARE(ordonnances[1].value("DATE_CONSULTATION").toDateTime(), utc(2004, 3, 8, 9, 15));
        QCOMPARE(ordonnances[2].value("PRESCRIPTION").toString(), QString());
        QVERIFY(!ordonnances[2].value("PRESCRIPTION").isNull());
        QCOMPARE(ordonnances[2].value("MOTCONSU_ID").toInt(), 4);

        const QList<QVariantMap> consultations = destination.rows(QStringLiteral("SELECT * FROM MOTCONSU ORDER BY MOTCONSU_ID"));
        QCOMPARE(consultations.size(), 5);
        QCOMPARE(consultations[0].value("AU_TOTAL").toString(), QStringLiteral("Remplace\r\n"));
        QCOMPARE(consultations[0].value("MOTIF_DE_CONSULTATION").toString(), QStringLiteral("Ancienne"));
        QCOMPARE(consultations[1].value("MOTIF_DE_CONSULTATION").toString(), QStringLiteral("Consultation"));
        QCOMPARE(consultations[1].value("AU_TOTAL").toString(), QStringLiteral("Synthèse B\r\nsuite\r\n  Synthèse A\r\n"));
        QCOMPARE(consultations[2].value("MOTIF_DE_CONSULTATION").toString(), QStringLiteral("Renouvellement"));
        QCOMPARE(consultations[2].value("MEDECINS_ID").toInt(), 2);
        QCOMPARE(consultations[2].value("PATIENTS_ID").toInt(), 1);
        QCOMPARE(consultations[3].value("MOTIF_DE_CONSULTATION").toString(), QStringLiteral("Sans lignes"));
        QCOMPARE(consultations[3].value("AU_TOTAL").toString(), QString());
        QVERIFY(!consultations[3].value("AU_TOTAL").isNull());
        QCOMPARE(consultations[4].value("MOTIF_DE_CONSULTATION").toString(), QStringLiteral("Bilan"));
        QCOMPARE(consultations[4].value("MEDECINS_ID").toInt(), 1);
        QCOMPARE(consultations[4].value("PATIENTS_ID").toInt(), 3);
        QCOMPARE(consultations[4].value("DATE_CONSULTATION").toDateTime(), utc(2004, 3, 10, 8, 0));
        QCOMPARE(consultations[4].value("AU_TOTAL").toString(), QStringLiteral("    Tension\r\n"));

        QCOMPARE(destination.scalar(QStringLiteral("SELECT LAST_VALUE FROM ID_VALUES WHERE KEY_NAME='ORDONNANCES'")).toInt(), 3);
        QCOMPARE(destination.scalar(QStringLiteral("SELECT LAST_VALUE FROM ID_VALUES WHERE KEY_NAME='MOTCONSU'")).toInt(), 5);
    }
}

void TestPhases::letters()
{
    QFETCH(Backend, backend);
    VF_TEST_DESTINATION(destination, backend);
    QTemporaryDir dir;
    PracticeRun practice(destination, dir.path());
    practice.writeEditorIni(kEditorIni);
    practice.writeLetter(QStringLiteral("DOC1.RTF"), "{\\rtf1 un}");
    practice.writeLetter(QStringLiteral("doc2.rtf"), "{\\rtf1 deux}");
    practice.writeLetter(QStringLiteral("DOC5.RTF"), "{\\rtf1 cinq}");
    practice.writeLetter(QStringLiteral("DOC6.RTF"), "{\\rtf1 six}");
    practice.writeLetter(QStringLiteral("DOC8.RTF"), "{\\rtf1 huit}");
    {
        QFile outside(practice.root() + QStringLiteral("/secret.RTF"));
        QVERIFY(outside.open(QIODevice::WriteOnly));
        outside.write("secret");
    }
    // A regular file where the folder of patient 2 should be: its letters cannot be copied.
    QVERIFY(QDir().mkpath(practice.baseFolder() + QStringLiteral("LETTERS")));
    {
        QFile blocker(practice.baseFolder() + QStringLiteral("LETTERS/2"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }

    const QString longTitle = QString(100, QLatin1Char('T'));
    SourceTables tables = basePractice();
    addLetter(tables, 1, 100, "DOC1", "Lettre au confrère", "2004-03-07T09:15:42");
    addLetter(tables, 2, 100, "Doc2", "Certificat", "2004-03-08T00:00:00");
    addLetter(tables, 3, 100, "ABSENT", "Compte rendu", "2004-03-07T00:00:00");
    addLetter(tables, 4, 100, "../secret", "Dehors", "2004-03-07T00:00:00");
    addLetter(tables, 5, 200, "DOC5", "Bloquée", "2004-03-07T00:00:00");
    addLetter(tables, 6, 300, "DOC6", longTitle.toStdString(), "2004-03-07T00:00:00");
    addLetter(tables, 7, 999, "DOC1", "Perdue", "2004-03-07T00:00:00");
    addLetter(tables, 8, 300, "DOC8", nullptr, nullptr);

    // The second run has the letters folder typed without its final separator, and the source
    // file in another letter case: the letters are looked for, and quoted, with the separator.
    const QString letters = practice.lettersFolder();
    for (int attempt = 1; attempt <= 2; ++attempt) {
        if (attempt == 2)
            practice.typeInputs(letters.chopped(1), practice.root() + QStringLiteral("/v3.MDB"));
        QCOMPARE(practice.run(tables), RunOutcome::Finished);
        const QStringList lines = practice.lines();
        const QStringList expected = {
            QStringLiteral("Impossible de retrouver le courier [") + letters
                + QStringLiteral("ABSENT.RTF] du dossier n°100. Le courrier [Compte rendu] du 07/03/2004 ne sera pas importé."),
            QStringLiteral("Impossible de retrouver le courier [") + letters
                + QStringLiteral("../secret.RTF] du dossier n°100. Le courrier [Dehors] du 07/03/2004 ne sera pas importé."),
            QStringLiteral("Impossible de copier le courier [") + letters
                + QStringLiteral("DOC5.RTF] du dossier n°200. Le courrier [Bloquée] du 07/03/2004 ne sera pas importé."),
            QStringLiteral("Impossible de retrouver le dossier n°999. Le courrier [Perdue] du 07/03/2004 du dossier n°999 "
                           "ne sera pas importé."),
            QStringLiteral("4 courriers après importation."),
        };
        for (const QString& line : expected)
            QVERIFY2(lines.contains(line), qPrintable(line + QStringLiteral("\n---\n") + lines.join('\n')));

        const QList<QVariantMap> rows = destination.rows(QStringLiteral("SELECT * FROM LETTERS ORDER BY LETTERS_ID"));
        QCOMPARE(rows.size(), 4);
        QCOMPARE(rows[0].value("FILENAME").toString(), QStringLiteral("LET1.HED"));
        QCOMPARE(rows[0].value("PATIENTS_ID").toInt(), 1);
        QCOMPARE(rows[0].value("DESCRIPTION").toString(), QStringLiteral("Lettre au confrère"));
        QCOMPARE(rows[0].value("DATE_CONSULTATION").toDateTime(), utc(2004, 3, 7, 9, 15));
        QCOMPARE(rows[1].value("FILENAME").toString(), QStringLiteral("LET2.HED"));
        QCOMPARE(rows[2].value("FILENAME").toString(), QStringLiteral("LET3.HED"));
        QCOMPARE(rows[2].value("PATIENTS_ID").toInt(), 3);
        QCOMPARE(rows[2].value("DESCRIPTION").toString(), longTitle.left(80));
        QCOMPARE(rows[3].value("FILENAME").toString(), QStringLiteral("LET4.HED"));
        QVERIFY(rows[3].value("DESCRIPTION").isNull());
        QCOMPARE(rows[3].value("DATE_CONSULTATION").toDateTime(), utc(1899, 12, 30));

        const QString base = practice.baseFolder() + QStringLiteral("LETTERS/");
        if (attempt == 1) {
            QCOMPARE(readFile(base + QStringLiteral("1/LET1.HED")), QByteArray("{\\rtf1 un}"));
            QCOMPARE(readFile(base + QStringLiteral("1/LET2.HED")), QByteArray("{\\rtf1 deux}"));
            QCOMPARE(readFile(base + QStringLiteral("3/LET3.HED")), QByteArray("{\\rtf1 six}"));
            QCOMPARE(readFile(base + QStringLiteral("3/LET4.HED")), QByteArray("{\\rtf1 huit}"));
            QFile changed(base + QStringLiteral("1/LET1.HED"));
            QVERIFY(changed.open(QIODevice::WriteOnly | QIODevice::Truncate));
            changed.write("changé");
        } else {
            // A copy changed in the destination is copied again from its letter; its row stays.
            QCOMPARE(readFile(base + QStringLiteral("1/LET1.HED")), QByteArray("{\\rtf1 un}"));
            QCOMPARE(lines.filter(QStringLiteral("a été copié de nouveau")).size(), 1);
        }
        QCOMPARE(QDir(base + QStringLiteral("1")).entryList(QDir::Files).size(), 2);
        QCOMPARE(QDir(base + QStringLiteral("3")).entryList(QDir::Files).size(), 2);
        QCOMPARE(readFile(letters + QStringLiteral("DOC1.RTF")), QByteArray("{\\rtf1 un}"));
        QCOMPARE(destination.scalar(QStringLiteral("SELECT LAST_VALUE FROM ID_VALUES WHERE KEY_NAME='LETTERS'")).toInt(), 4);
    }
}

void TestPhases::lettersReachingOutside_data()
{
    QTest::addColumn<QStringList>("links");  // "link=target", paths under the practice folder
    QTest::addColumn<QString>("fifo");       // a FIFO under the practice folder
    QTest::addColumn<QString>("nomFichier"); // of the one letter, patient 100 (PATIENTS_ID 1)
    QTest::addColumn<QString>("failure");    // "retrouver", "copier", or "" when copied
    QTest::newRow("letter linked to a file outside")
        << QStringList{"COURRIER/LIEN.RTF=dehors/secret.RTF"} << QString() << "LIEN" << "retrouver";
    QTest::newRow("letter linked to a letter") << QStringList{"COURRIER/LIEN.RTF=COURRIER/DOC1.RTF"}
                                               << QString() << "LIEN" << "retrouver";
    QTest::newRow("letters subfolder linked outside")
        << QStringList{"COURRIER/SOUS=dehors"} << QString() << "SOUS/secret" << "retrouver";
    QTest::newRow("FIFO among the letters") << QStringList() << "COURRIER/TUBE.RTF" << "TUBE" << "retrouver";
    QTest::newRow("destination LETTERS linked outside")
        << QStringList{"Base/LETTERS=dehors"} << QString() << "DOC1" << "copier";
    QTest::newRow("patient folder linked outside")
        << QStringList{"Base/LETTERS/1=dehors"} << QString() << "DOC1" << "copier";
    QTest::newRow("dangling link at the letter's name")
        << QStringList{"Base/LETTERS/1/LET1.HED=dehors/absent.HED"} << QString() << "DOC1" << QString();
    QTest::newRow("link at the letter's name to a file outside")
        << QStringList{"Base/LETTERS/1/LET1.HED=dehors/LET1.HED"} << QString() << "DOC1" << QString();
}

// Links and FIFOs in the letters folder and under the destination's LETTERS folder: nothing
// outside those folders is read into a record, written or replaced.
void TestPhases::lettersReachingOutside()
{
    QFETCH(QStringList, links);
    QFETCH(QString, fifo);
    QFETCH(QString, nomFichier);
    QFETCH(QString, failure);
    VF_TEST_DESTINATION(destination, Backend::SQLite); // the file system is under test
    QTemporaryDir dir;
    PracticeRun practice(destination, dir.path());
    practice.writeLetter(QStringLiteral("DOC1.RTF"), "{\\rtf1 un}");
    const QString outside = practice.root() + QStringLiteral("/dehors/");
    QVERIFY(QDir().mkpath(outside));
    for (const char* name : {"secret.RTF", "LET1.HED"}) {
        QFile file(outside + QLatin1String(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(name);
    }
    for (const QString& link : links) {
        const QString path = practice.root() + QLatin1Char('/') + link.section(QLatin1Char('='), 0, 0);
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QVERIFY(QFile::link(practice.root() + QLatin1Char('/') + link.section(QLatin1Char('='), 1), path));
    }
    if (!fifo.isEmpty())
        QCOMPARE(::mkfifo(QFile::encodeName(practice.root() + QLatin1Char('/') + fifo).constData(), 0600), 0);
    const auto outsideFiles = [&] {
        QStringList files;
        for (const QString& name : QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System))
            files << name + QLatin1Char('=') + QString::fromLatin1(readFile(outside + name));
        return files;
    };
    const QStringList outsideBefore = outsideFiles();

    SourceTables tables = basePractice();
    addLetter(tables, 1, 100, nomFichier.toStdString(), "Lettre", "2004-03-07T00:00:00");
    practice.run(tables);
    const QString copy = practice.baseFolder() + QStringLiteral("LETTERS/1/LET1.HED");
    const QStringList expected = failure.isEmpty()
        ? QStringList()
        : QStringList{QStringLiteral("Impossible de ") + failure + QStringLiteral(" le courier [") + practice.lettersFolder()
                      + nomFichier + QStringLiteral(".RTF] du dossier n°100. Le courrier [Lettre] du 07/03/2004 ne "
                                                    "sera pas importé.")};
    QCOMPARE(practice.lines().filter(QStringLiteral(" le courier [")), expected);
    // A copy reached through a link would lie elsewhere: only one at its own path counts.
    const QByteArray copied = QFileInfo(copy).canonicalFilePath() == copy ? readFile(copy) : QByteArray();
    QCOMPARE(copied, failure.isEmpty() ? QByteArray("{\\rtf1 un}") : QByteArray());
    QCOMPARE(outsideFiles(), outsideBefore);
}

void TestPhases::lettersFolderReplacedDuringThePhase_data()
{
    QTest::addColumn<QString>("replaced");  // by a link to the folder "dehors"
    QTest::addColumn<QString>("copiedTo");  // where the second copy lands; empty: nowhere
    QTest::newRow("patient folder") << "LETTERS/1" << QString();
    QTest::newRow("LETTERS") << "LETTERS" << "LETTERS.avant/1/LET2.HED";
}

// A folder under the destination replaced by a link once the phase has opened it: the copies
// and removals stay in the folders opened, and nothing outside is written or removed.
void TestPhases::lettersFolderReplacedDuringThePhase()
{
    QFETCH(QString, replaced);
    QFETCH(QString, copiedTo);
    QTemporaryDir dir;
    const QString root = dir.path() + QLatin1Char('/');
    QVERIFY(QDir().mkpath(root + QStringLiteral("LETTERS/1")));
    QVERIFY(QDir().mkpath(root + QStringLiteral("dehors/1")));
    for (const char* kept : {"dehors/LET1.HED", "dehors/1/LET1.HED"}) {
        QFile file(root + QLatin1String(kept));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("dehors");
    }
    QFile document(root + QStringLiteral("DOC1.RTF"));
    QVERIFY(document.open(QIODevice::WriteOnly));
    document.write("{\\rtf1 un}");
    document.close();
    const auto copy = [&](LettersFolder& folder, const char* name) {
        QFile from(document.fileName());
        return from.open(QIODevice::ReadOnly) ? folder.copy(from, 1, QLatin1String(name)) : Copy::Failed;
    };

    LettersFolder folder(root + QStringLiteral("LETTERS"));
    QCOMPARE(copy(folder, "LET1.HED"), Copy::Done);
    QVERIFY(QDir(root).rename(replaced, replaced + QStringLiteral(".avant")));
    QVERIFY(QFile::link(root + QStringLiteral("dehors"), root + replaced));
    QCOMPARE(copy(folder, "LET2.HED"), copiedTo.isEmpty() ? Copy::Failed : Copy::Done);
    folder.remove(1, QStringLiteral("LET1.HED"));

    QCOMPARE(QDir(root + QStringLiteral("dehors")).entryList(QDir::Files), QStringList{QStringLiteral("LET1.HED")});
    QCOMPARE(QDir(root + QStringLiteral("dehors/1")).entryList(QDir::Files), QStringList{QStringLiteral("LET1.HED")});
    if (!copiedTo.isEmpty()) {
        QCOMPARE(readFile(root + copiedTo), QByteArray("{\\rtf1 un}"));
        QVERIFY(!QFileInfo::exists(root + QStringLiteral("LETTERS.avant/1/LET1.HED")));
    }
    QFile opened;
    QVERIFY(!openCopiedLetter(root + QStringLiteral("LETTERS"), 1, QStringLiteral("LET1.HED"), opened));
}

void TestPhases::badInput()
{
    QFETCH(Backend, backend);
    VF_TEST_DESTINATION(destination, backend);
    QTemporaryDir dir;
    PracticeRun practice(destination, dir.path());
    QVERIFY(destination.exec(QStringLiteral(
        "INSERT INTO LETTERS (LETTERS_ID, PATIENTS_ID, FileName) VALUES (99999, 3, 'LET99999.HED')")));
    practice.writeLetter(QStringLiteral("DOC1.RTF"), "{\\rtf1 un}");

    SourceTables tables = basePractice();
    tables.drop("CON SOUS CONSULTATION");
    tables.drop("ANT ANTECEDENT PATIENT");
    tables.drop("SYN FICHE SYNTHESE");
    addHeader(tables, "CON CONSULTATION", 1000, 100, "2004-03-07T14:32:45", 10, "Motif seul");
    addHeader(tables, "ORD ORDONNANCE", 500, 100, "2004-03-07T14:32:10", 10, "Ord 1");
    addLetter(tables, 1, 100, "DOC1", "Lettre", "2004-03-07T09:15:42");

    const QString notFound =
        QStringLiteral("Impossible de trouver la table des prescriptions ! Elles ne seront pas importées.");
    QCOMPARE(practice.run(tables), RunOutcome::Unfinished);
    QStringList lines = practice.lines();

    // A source that cannot be opened: its box, and the phase still ends with its count line.
    const QStringList errors = practice.reporter().boxTexts(RecordingReporter::Box::Error);
    QCOMPARE(errors.size(), 2);
    QVERIFY(errors[0].startsWith(QStringLiteral("Erreur lors de l'ouverture de la table des antécédents : ")));
    QVERIFY(errors[1].startsWith(QStringLiteral("Erreur lors de l'ouverture de la table des fiches de synthèses : ")));
    QVERIFY(lines.contains(QStringLiteral("0 antécédents après importation.")));
    QVERIFY(lines.contains(QStringLiteral("1 consultations après importation des fiches de synthèses.")));
    QVERIFY2(lines.contains(notFound), qPrintable(lines.join('\n')));
    QVERIFY(!lines.join('\n').contains(QStringLiteral("prescriptions après importation")));
    QVERIFY(!destination.scalar(QStringLiteral("SELECT COUNT(*) FROM ID_VALUES WHERE KEY_NAME='ORDONNANCES'")).toInt());

    // The detail statement cannot be opened: the consultation keeps its header text alone.
    const qsizetype detail = lines.indexOf(QStringLiteral(
        "Impossible d'actualiser la consultation du 07/03/2004 14:32:45 du patient n°100 avec les données de "
        "sous-consultation n°?. Ces données de sous-consultation ne seront pas importées."));
    QVERIFY2(detail >= 0, qPrintable(lines.join('\n')));
    QVERIFY(lines.value(detail + 1).startsWith(QStringLiteral("Erreur : ")));
    QCOMPARE(destination.scalar(QStringLiteral("SELECT MOTIF_DE_CONSULTATION FROM MOTCONSU")).toString(),
             QStringLiteral("Motif seul"));

    // LET100000.HED is longer than the 12 characters of FileName: the insert fails, the copy goes.
    const qsizetype letter = lines.indexOf(
        QStringLiteral("Impossible d'importer le courrier [Lettre] du 07/03/2004 09:15:42 du patient n°100"));
    QVERIFY2(letter >= 0, qPrintable(lines.join('\n')));
    QVERIFY(lines.value(letter + 1).startsWith(QStringLiteral("Erreur : ")));
    QVERIFY(!QFileInfo::exists(practice.baseFolder() + QStringLiteral("LETTERS/1/LET100000.HED")));
    QVERIFY(lines.contains(QStringLiteral("100000 courriers après importation.")));

    // A key that is not a plain identifier is never put into a statement.
    practice.writeEditorIni("[DataBases]\r\nX;DROP TABLE PATIENTS=Prescriptions\r\n");
    practice.run(tables);
    lines = practice.lines();
    QVERIFY2(lines.contains(notFound), qPrintable(lines.join('\n')));
    QCOMPARE(destination.scalar(QStringLiteral("SELECT COUNT(*) FROM PATIENTS")).toInt(), 3);
    QCOMPARE(destination.scalar(QStringLiteral("SELECT COUNT(*) FROM ORDONNANCES")).toInt(), 0);

    // A prescription table whose find fails: the error is reported, the prescription gets no
    // link pair, and the next run tries it again.
    QVERIFY(destination.exec(QStringLiteral("CREATE TABLE BADPRESC (BADPRESC_ID INTEGER PRIMARY KEY)")));
    practice.writeEditorIni("[DataBases]\r\nBADPRESC=Prescriptions\r\n");
    for (int attempt = 1; attempt <= 2; ++attempt) {
        practice.run(tables);
        lines = practice.lines();
        const qsizetype count = lines.indexOf(QStringLiteral("0 prescriptions après importation."));
        QVERIFY2(count > 0, qPrintable(lines.join('\n')));
        QVERIFY2(lines.at(count - 1).startsWith(QStringLiteral("Erreur : ")), qPrintable(lines.join('\n')));
    }
}

void TestPhases::datesThatAreNone_data()
{
    QTest::addColumn<Backend>("backend");
    QTest::addColumn<double>("days");
    for (const auto& [backend, name] : {std::pair{Backend::SQLite, "SQLite"}, std::pair{Backend::PostgreSQL, "PostgreSQL"}}) {
        QTest::addRow("%s, the day after 31/12/9999", name) << backend << 2958466.0;
        QTest::addRow("%s, before the year 100", name) << backend << -657435.0;
        QTest::addRow("%s, not a number", name) << backend << std::numeric_limits<double>::quiet_NaN();
    }
}

// A date that the source holds but that is no date refuses its record, in the run and in its
// summary, instead of importing it at the zero date.
void TestPhases::datesThatAreNone()
{
    QFETCH(Backend, backend);
    QFETCH(double, days);
    VF_TEST_DESTINATION(destination, backend);
    QTemporaryDir dir;
    PracticeRun practice(destination, dir.path());
    practice.writeEditorIni(kEditorIni);
    practice.writeLetter(QStringLiteral("DOC1.RTF"), "{\\rtf1 un}");
    const char* marker = "1999-09-09T09:09:09";
    const auto bytesOf = [](double value) { return QByteArray(reinterpret_cast<const char*>(&value), sizeof value); };
    practice.replaceInSource(bytesOf(*mdbwriter::parseDateTime(marker)), bytesOf(days));

    SourceTables tables = basePractice();
    addHeader(tables, "CON CONSULTATION", 1000, 100, marker, 10, "Motif");
    addHeader(tables, "ORD ORDONNANCE", 500, 100, marker, 10, "Ord");
    addHeader(tables, "SYN FICHE SYNTHESE", 700, 100, marker, 10, "Fiche");
    addLetter(tables, 1, 100, "DOC1", "Lettre", marker);
    QCOMPARE(practice.run(tables), RunOutcome::Finished);

    const QStringList lines = practice.lines();
    for (const char* expected : {
             "Impossible d'actualiser la consultation du  du patient n°100. Cette consultation ne sera pas importée.",
             "Impossible de créer la consultation du  du patient n°100. Cette ordonnance ne sera pas importée.",
             "Impossible de créer la consultation du  du patient n°100. Cette fiche de synthèse ne sera pas importée.",
             "Impossible d'importer le courrier [Lettre] du  du patient n°100",
             "  Consultations : 1 source, 0 importés, 0 déjà présents, 1 refusés (date invalide : 1)",
             "  Prescriptions : 1 source, 0 importés, 0 déjà présents, 1 refusés (date invalide : 1)",
             "  Fiches de synthèse : 1 source, 0 importés, 0 déjà présents, 1 refusés (date invalide : 1)",
             "  Courriers : 1 source, 0 importés, 0 déjà présents, 1 refusés (date invalide : 1)."}) {
        const QString line = QString::fromUtf8(expected);
        const auto found = std::find_if(lines.cbegin(), lines.cend(), [&](const QString& l) { return l.startsWith(line); });
        QVERIFY2(found != lines.cend(), qPrintable(line + QStringLiteral("\n---\n") + lines.join('\n')));
        if (!line.startsWith(QLatin1Char(' ')))
            QVERIFY2(found[1].startsWith(QStringLiteral("Erreur : la valeur du champ « ")) && found[1].endsWith(QStringLiteral(" » n'est pas une date")),
                     qPrintable(found[1]));
    }
    for (const char* table : {"MOTCONSU", "ORDONNANCES", "LETTERS"})
        QCOMPARE(destination.scalar(QStringLiteral("SELECT COUNT(*) FROM %1").arg(QLatin1String(table))).toInt(), 0);
}

void TestPhases::purgeEmptiesPrescriptionTable()
{
    QFETCH(Backend, backend);
    VF_TEST_DESTINATION(destination, backend);
    QTemporaryDir dir;
    PracticeRun practice(destination, dir.path());
    practice.writeEditorIni(kEditorIni);

    SourceTables tables = basePractice();
    addHeader(tables, "CON CONSULTATION", 1000, 100, "2004-03-07T14:32:45", 10, "Consultation");
    addHeader(tables, "ORD ORDONNANCE", 500, 100, "2004-03-07T14:32:10", 10, "Ord 1");
    addDetail(tables, "ORD SOUS ORDONNANCE", 500, 1, 0, "Doliprane 1g");
    addHeader(tables, "ORD ORDONNANCE", 501, 200, "2004-03-09T10:00:00", 10, "Ord 2");
    addDetail(tables, "ORD SOUS ORDONNANCE", 501, 1, 0, "Ventoline");

    practice.run(tables);
    const QList<QVariantMap> before = destination.rows(QStringLiteral("SELECT * FROM ORDONNANCES ORDER BY ORDONNANCES_ID"));
    QCOMPARE(before.size(), 2);

    practice.run(tables, true);
    const QStringList lines = practice.lines();
    QVERIFY2(lines.contains(QStringLiteral("Purge de la table ORDONNANCES effectuée.")), qPrintable(lines.join('\n')));
    QVERIFY(lines.indexOf(QStringLiteral("Purge de la table ORDONNANCES effectuée."))
            < lines.indexOf(QStringLiteral("Purge des données terminée.")));
    QCOMPARE(destination.rows(QStringLiteral("SELECT * FROM ORDONNANCES ORDER BY ORDONNANCES_ID")), before);
    QVERIFY(lines.contains(QStringLiteral("2 prescriptions après importation.")));
    QCOMPARE(destination.scalar(QStringLiteral("SELECT LAST_VALUE FROM ID_VALUES WHERE KEY_NAME='ORDONNANCES'")).toInt(), 2);

    // A purge that cannot empty the prescription table but empties MOTCONSU: the prescriptions
    // stay, and each is attached to its consultation again, the one made for it anew included.
    if (backend == Backend::SQLite) {
        QVERIFY(destination.exec("CREATE TRIGGER KEEP_ORDONNANCES BEFORE DELETE ON ORDONNANCES "
                                 "BEGIN SELECT RAISE(ABORT, 'suppression refusee'); END"));
    } else if (backend == Backend::TDS) {
        QVERIFY(destination.exec("CREATE TRIGGER keep_ordonnances ON ORDONNANCES AFTER DELETE AS "
                                 "THROW 50000, 'suppression refusee', 1"));
    } else {
        QVERIFY(destination.exec("CREATE FUNCTION keep_rows() RETURNS trigger AS "
                                 "$$ BEGIN RAISE EXCEPTION 'suppression refusee'; END $$ LANGUAGE plpgsql"));
        QVERIFY(destination.exec("CREATE TRIGGER keep_ordonnances BEFORE DELETE ON ORDONNANCES "
                                 "FOR EACH ROW EXECUTE FUNCTION keep_rows()"));
    }
    practice.run(tables, true);
    QVERIFY(practice.lines().contains(QStringLiteral("Purge de la table MOTCONSU effectuée.")));
    const QList<QVariantMap> kept = destination.rows(QStringLiteral("SELECT * FROM ORDONNANCES ORDER BY ORDONNANCES_ID"));
    QCOMPARE(kept.size(), 2);
    for (const QVariantMap& prescription : kept) {
        const QList<QVariantMap> consultation = destination.rows(
            QStringLiteral("SELECT * FROM MOTCONSU WHERE MOTCONSU_ID = %1").arg(prescription["MOTCONSU_ID"].toInt()));
        QCOMPARE(consultation.size(), 1);
        QCOMPARE(consultation[0]["PATIENTS_ID"], prescription["PATIENTS_ID"]);
        QCOMPARE(consultation[0]["DATE_CONSULTATION"], prescription["DATE_CONSULTATION"]);
    }
}

QTEST_GUILESS_MAIN(TestPhases)
#include "test_phases.moc"
