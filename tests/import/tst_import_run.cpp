// End-to-end tests of the import run and its first three record phases, over Access files made
// by the writer, on the SQLite and PostgreSQL destinations.
#include "ImportFixture.h"

#include "base/Errors.h"
#include "base/ImportLog.h"
#include "base/IniFile.h"
#include "links/LinksLock.h"
#include "phases/DestinationTables.h"
#include "phases/UnitOfWork.h"

#include <QDateTime>
#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest/QtTest>

using namespace vf;
using namespace vf::test;

namespace {

const QVariant kNull;

QDateTime utc(int y, int mo, int d, int h = 0, int mi = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi), Qt::UTC);
}

QString missingLine(const QString& code)
{
    return QStringLiteral("Le médecin traitant [") + code
        + QStringLiteral("] n'existe pas dans la table des médecins correspondants. "
                         "Le lien Patient <--> correspondant ne sera pas créé.");
}

// Three doctors, four address-book entries with one speciality, four patients whose columns
// exercise every rule of the patients phase.
void fillStandardSource(SourceDb& source)
{
    source.add("GLB MEDECIN", {4, "Dupont", "Jean", "Paris", "1 rue de la Paix", "75001", "0123456789"});
    source.add("GLB MEDECIN", {7, "Martin", "Zoé", "Lyon", kNull, kNull, kNull});
    source.add("GLB MEDECIN", {9, "Lefèvre", "Anne", "Nice", "3 bd Victor Hugo", "06000", " 06.12.34.56.78 "});

    source.add("REF FONCTION", {3, "Cardiologue"});
    source.add("ADR CARNET ADRESSE", {10, 3, "Bernard", "Luc", "Nice", "2 av. Jean Médecin", "06000",
                                      "01.23.45.67.89", "0612345678 ", "+33 1 23 45 67 89",
                                      "divers\r\nligne 2"});
    source.add("ADR CARNET ADRESSE", {11, 0, "Bernard", "Luc", "Nice", kNull, kNull, kNull, kNull, kNull, kNull});
    source.add("ADR CARNET ADRESSE", {12, 99, "Colin", "Marc", "Caen", kNull, kNull, "  ", kNull, kNull, kNull});
    source.add("ADR CARNET ADRESSE", {13, kNull, "Dubois", "Eve", kNull, kNull, kNull, kNull, kNull, kNull, kNull});

    source.add("GLB PATIENT", {100, 2, utc(1962, 7, 14, 8, 30), kNull, "Durand", "Élise", " 7 ", "Petit",
                               "75002", "Paris", "0102030405", kNull, "01-", "1 84 12 75 108 123 45",
                               "-1", "", "10", " 11 ", "10", "999"});
    source.add("GLB PATIENT", {101, 1, kNull, "5 rue Y\r\n2e étage", "Roux", "Paul", "", "", kNull, kNull,
                               kNull, kNull, kNull, kNull, "999", "abc", "12", kNull, kNull, kNull});
    source.add("GLB PATIENT", {102, kNull, utc(1899, 12, 30), kNull, "Morel", "Léa", "x", " ", kNull, kNull,
                               kNull, kNull, kNull, "1.84.12.75.108.123.45", "13", kNull, kNull, kNull, kNull, kNull});
    source.add("GLB PATIENT", {103, 3, utc(1850, 1, 1), kNull, "Faure", "Jules", "55", kNull, kNull, kNull,
                               kNull, kNull, kNull, kNull, "abc", kNull, kNull, kNull, kNull, kNull});
}

QStringList standardFirstLines()
{
    return {QStringLiteral("3 médecins utilisateurs après importation."),
            QStringLiteral("4 correspondants après importation."),
            missingLine(QStringLiteral("999")),
            missingLine(QStringLiteral("abc")),
            QStringLiteral("4 patients après importation."),
            QStringLiteral("4 lien patient <-> correspondant après importation.")};
}

int idValue(const TestDestination& dest, const QString& key)
{
    return dest.scalar(QStringLiteral("SELECT LAST_VALUE FROM ID_VALUES WHERE KEY_NAME='") + key
                       + QLatin1Char('\''))
        .toInt();
}

bool emptyText(const QVariant& value)
{
    return value.isNull() || value.toString().isEmpty();
}

QList<int> column(const QList<QVariantMap>& rows, const QString& name)
{
    QList<int> values;
    for (const QVariantMap& row : rows)
        values.append(row.value(name).toInt());
    return values;
}

} // namespace

class ImportRunTest : public QObject {
    Q_OBJECT

private slots:
    void everyColumn_data() { addBackendColumn(); }
    void everyColumn();
    void identifiersFromNonEmptyDestination_data() { addBackendColumn(); }
    void identifiersFromNonEmptyDestination();
    void secondRunImportsOnlyWhatIsNew_data() { addBackendColumn(); }
    void secondRunImportsOnlyWhatIsNew();
    void purgeRun_data() { addBackendColumn(); }
    void purgeRun();
    void purgeOfNamesFromOutside_data();
    void purgeOfNamesFromOutside();
    void failedPurgeKeepsLinkTable_data() { addBackendColumn(); }
    void failedPurgeKeepsLinkTable();
    void rowsRejectedByDestination_data() { addBackendColumn(); }
    void rowsRejectedByDestination();
    void textsArriveAsTheyAre_data() { addBackendColumn(); }
    void textsArriveAsTheyAre();
    void linkPairFailureKeepsIdentifier_data() { addBackendColumn(); }
    void linkPairFailureKeepsIdentifier();
    void sourceTableCannotBeOpened_data() { addBackendColumn(); }
    void sourceTableCannotBeOpened();
    void emptyLettersFolderIsToldFirst();
    void unreadablePatientsOncePaired_data() { addBackendColumn(); }
    void unreadablePatientsOncePaired();
    void badSourceValues_data() { addBackendColumn(); }
    void badSourceValues();
    void errorEscapingPhaseEndsRun_data() { addBackendColumn(); }
    void errorEscapingPhaseEndsRun();
    void preparationFailures();
    void linkTableCannotBeCreated();
    void linkTablesHeldByAnotherProgram();
    void destinationTableList();
    void rowsPerStatement_data();
    void rowsPerStatement();
};

void ImportRunTest::everyColumn()
{
    QFETCH(Backend, backend);
    Practice practice(backend);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillStandardSource(practice.source);

    const RunResult result = practice.run();
    QCOMPARE(result.outcome, RunOutcome::Finished);
    const QStringList lines = result.lines();
    QCOMPARE(firstPhasesLines(lines), standardFirstLines());
    // The end lines, then the summary.
    const qsizetype end = lines.indexOf(QStringLiteral("Traitement terminé."));
    QVERIFY(end > 0 && lines.at(end - 1).startsWith(QStringLiteral("Importation terminée en ")));
    QVERIFY(lines.at(end + 1).startsWith(QStringLiteral("Bilan par type d'enregistrement")));
    QCOMPARE(result.reporter->boxTexts(RecordingReporter::Box::Notice),
             QStringList{QStringLiteral("Le traitement est terminé.")});
    QVERIFY(result.reporter->boxTexts(RecordingReporter::Box::Error).isEmpty());
    QVERIFY(!result.reporter->controls.importerEnabled);
    QVERIFY(result.reporter->controls.fermerEnabled);
    QVERIFY(!result.reporter->controls.busy);
    QVERIFY(!result.reporter->progressVisible);
    QVERIFY(!result.reporter->elapsedRunning);
    QCOMPARE(result.reporter->statuses.last(), QString());

    const TestDestination& dest = practice.dest;
    const QList<QVariantMap> medecins = tableRows(dest, "MEDECINS", "MEDECINS_ID");
    QCOMPARE(medecins.size(), 3);
    QCOMPARE(column(medecins, "MEDECINS_ID"), QList<int>({1, 2, 3}));
    QCOMPARE(column(medecins, "MEDECINS_COMPTABLE_ID"), QList<int>({1, 2, 3}));
    QCOMPARE(column(medecins, "N_MODELE"), QList<int>({1, 1, 1}));
    QCOMPARE(medecins[0]["SYSTEM_FLAGS"].toString(), QStringLiteral("*US PA RE CO DO CP TA CM SR AN"));
    QCOMPARE(medecins[0]["NOM"].toString(), QStringLiteral("Dupont"));
    QCOMPARE(medecins[0]["PRENOM"].toString(), QStringLiteral("Jean"));
    QCOMPARE(medecins[0]["VILLE"].toString(), QStringLiteral("Paris"));
    QCOMPARE(medecins[0]["ADRESSE"].toString(), QStringLiteral("1 rue de la Paix"));
    QCOMPARE(medecins[0]["CP"].toString(), QStringLiteral("75001"));
    QCOMPARE(medecins[0]["TELEPHONE"].toString(), QStringLiteral("01 23 45 67 89"));
    QCOMPARE(medecins[1]["PRENOM"].toString(), QStringLiteral("Zoé"));
    QVERIFY(emptyText(medecins[1]["ADRESSE"]) && emptyText(medecins[1]["TELEPHONE"]));
    QCOMPARE(medecins[2]["NOM"].toString(), QStringLiteral("Lefèvre"));
    QCOMPARE(medecins[2]["TELEPHONE"].toString(), QStringLiteral("06 12 34 56 78"));

    const QList<QVariantMap> medtrait = tableRows(dest, "MEDTRAIT", "MEDTRAIT_ID");
    QCOMPARE(column(medtrait, "MEDTRAIT_ID"), QList<int>({1, 2, 3, 4}));
    QCOMPARE(medtrait[0]["NOM"].toString(), QStringLiteral("Bernard"));
    QCOMPARE(medtrait[0]["PRENOM"].toString(), QStringLiteral("Luc"));
    QCOMPARE(medtrait[0]["VILLE"].toString(), QStringLiteral("Nice"));
    QCOMPARE(medtrait[0]["ADRESSE"].toString(), QStringLiteral("2 av. Jean Médecin"));
    QCOMPARE(medtrait[0]["CP"].toString(), QStringLiteral("06000"));
    QCOMPARE(medtrait[0]["TEL"].toString(), QStringLiteral("01 23 45 67 89"));
    QCOMPARE(medtrait[0]["TELBUREAU"].toString(), QStringLiteral("06 12 34 56 78"));
    QCOMPARE(medtrait[0]["FAX"].toString(), QStringLiteral("33 12 34 56 789"));
    QCOMPARE(medtrait[0]["COMMENTAIRE"].toString(), QStringLiteral("divers\r\nligne 2"));
    QCOMPARE(medtrait[0]["SPECIALISATION"].toString(), QStringLiteral("Cardiologue"));
    QCOMPARE(medtrait[1]["NOM"].toString(), QStringLiteral("Bernard")); // same name, own row
    QVERIFY(medtrait[1]["SPECIALISATION"].isNull());                       // CODE FONCTION 0: not set
    QVERIFY(!medtrait[2]["SPECIALISATION"].isNull() || backend == Backend::SQLite);
    QVERIFY(emptyText(medtrait[2]["SPECIALISATION"]));                     // no [REF FONCTION] row
    QVERIFY(emptyText(medtrait[2]["TEL"]));                                // blanks only
    QVERIFY(medtrait[3]["SPECIALISATION"].isNull());                       // null CODE FONCTION

    const QList<QVariantMap> patients = tableRows(dest, "PATIENTS", "PATIENTS_ID");
    QCOMPARE(column(patients, "PATIENTS_ID"), QList<int>({1, 2, 3, 4}));
    const QVariantMap& durand = patients[0];
    QCOMPARE(durand["NOM"].toString(), QStringLiteral("Durand"));
    QCOMPARE(durand["PRENOM"].toString(), QStringLiteral("Élise"));
    QCOMPARE(durand["NE_LE"].toDateTime(), utc(1962, 7, 14, 8, 30));
    QCOMPARE(durand["MEDECINS_ID"].toInt(), 2); // " 7 " is doctor 7, the second imported
    QCOMPARE(durand["SEXE"].toInt(), 1);
    QCOMPARE(durand["NOM_DE_JEUNE_FILLE"].toString(), QStringLiteral("Petit"));
    QVERIFY(durand["ADRESSE"].isNull());
    QCOMPARE(durand["CP"].toString(), QStringLiteral("75002"));
    QCOMPARE(durand["VILLE"].toString(), QStringLiteral("Paris"));
    QCOMPARE(durand["TELEPHONE"].toString(), QStringLiteral("01 02 03 04 05"));
    QVERIFY(emptyText(durand["TELEPHONE_BUREAU"]));
    QCOMPARE(durand["FAX"].toString(), QStringLiteral("01 "));
    QCOMPARE(durand["N_SS"].toString(), QStringLiteral("1841275108123 45"));
    const QVariantMap& roux = patients[1];
    QVERIFY(roux["NE_LE"].isNull());
    QCOMPARE(roux["MEDECINS_ID"].toInt(), 1);
    QCOMPARE(roux["SEXE"].toInt(), 0);
    QVERIFY(roux["NOM_DE_JEUNE_FILLE"].isNull());
    QCOMPARE(roux["ADRESSE"].toString(), QStringLiteral("5 rue Y\r\n2e étage"));
    const QVariantMap& morel = patients[2];
    QVERIFY(morel["NE_LE"].isNull()); // the zero date-time is not later than itself
    QCOMPARE(morel["MEDECINS_ID"].toInt(), 1);
    QCOMPARE(morel["SEXE"].toInt(), 0);
    QCOMPARE(morel["NOM_DE_JEUNE_FILLE"].toString(), QStringLiteral(" "));
    QCOMPARE(morel["N_SS"].toString(), QStringLiteral("1841275108123 45"));
    const QVariantMap& faure = patients[3];
    QVERIFY(faure["NE_LE"].isNull());
    QCOMPARE(faure["MEDECINS_ID"].toInt(), 1);
    QCOMPARE(faure["SEXE"].toInt(), 0);

    const QList<QVariantMap> links = tableRows(dest, "PATMEDTR", "PATMEDTR_ID");
    QCOMPARE(column(links, "PATMEDTR_ID"), QList<int>({1, 2, 3, 4}));
    QCOMPARE(column(links, "PATIENTS_ID"), QList<int>({1, 1, 2, 3}));
    QCOMPARE(column(links, "MEDTRAIT_ID"), QList<int>({1, 2, 3, 4}));

    QCOMPARE(idValue(dest, "MEDECINS"), 3);
    QCOMPARE(idValue(dest, "MEDTRAIT"), 4);
    QCOMPARE(idValue(dest, "PATIENTS"), 4);
    QCOMPARE(idValue(dest, "PATMEDTR"), 4);

    const IniFile settings = IniFile::load(practice.settingsPath);
    QCOMPARE(settings.value("Paths", "V3"), practice.v3Path);
    QCOMPARE(settings.value("Paths", "Courrier"), practice.courriersPath);
    QCOMPARE(settings.value("Paths", "Talmeros"), practice.talmerosPath + QLatin1Char('/'));
    QCOMPARE(settings.value("Main", "Vider"), QStringLiteral("0"));
    QVERIFY(settings.hasSection("Destination"));
    QCOMPARE(result.reporter->destinationPath, practice.talmerosPath + QLatin1Char('/'));
    QCOMPARE(practice.logFiles().size(), 1);
    QVERIFY(QFileInfo(QDir(destinationLinksTables(practice.programFolder)).filePath("Patients.db")).isFile());
}

void ImportRunTest::identifiersFromNonEmptyDestination()
{
    QFETCH(Backend, backend);
    Practice practice(backend);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillStandardSource(practice.source);
    const TestDestination& dest = practice.dest;
    QVERIFY(dest.exec("INSERT INTO MEDECINS (MEDECINS_ID, NOM) VALUES (1, 'Ancien')"));
    QVERIFY(dest.exec("INSERT INTO MEDECINS (MEDECINS_ID, NOM) VALUES (2, 'Ancienne')"));
    QVERIFY(dest.exec("INSERT INTO MEDTRAIT (MEDTRAIT_ID, NOM) VALUES (57, 'Existant')"));
    QVERIFY(dest.exec("INSERT INTO PATIENTS (PATIENTS_ID, NOM) VALUES (100, 'Existant')"));
    QVERIFY(dest.exec("INSERT INTO PATMEDTR (PATMEDTR_ID, PATIENTS_ID, MEDTRAIT_ID) VALUES (5, 100, 57)"));
    QVERIFY(dest.exec("INSERT INTO ID_VALUES (KEY_NAME, LAST_VALUE) VALUES ('MEDECINS', 50)"));
    QVERIFY(dest.exec("INSERT INTO ID_VALUES (KEY_NAME, LAST_VALUE) VALUES ('PATIENTS', 3)"));

    const RunResult result = practice.run();
    QCOMPARE(result.outcome, RunOutcome::Finished);
    QCOMPARE(firstPhasesLines(result.lines()),
             QStringList({QStringLiteral("5 médecins utilisateurs après importation."),
                          QStringLiteral("4 correspondants après importation."), missingLine("999"),
                          missingLine("abc"), QStringLiteral("104 patients après importation."),
                          QStringLiteral("9 lien patient <-> correspondant après importation.")}));
    QCOMPARE(column(tableRows(dest, "MEDECINS", "MEDECINS_ID"), "MEDECINS_ID"), QList<int>({1, 2, 3, 4, 5}));
    QCOMPARE(column(tableRows(dest, "MEDTRAIT", "MEDTRAIT_ID"), "MEDTRAIT_ID"), QList<int>({57, 58, 59, 60, 61}));
    const QList<QVariantMap> patients = tableRows(dest, "PATIENTS", "PATIENTS_ID");
    QCOMPARE(column(patients, "PATIENTS_ID"), QList<int>({100, 101, 102, 103, 104}));
    QCOMPARE(patients[1]["MEDECINS_ID"].toInt(), 4); // doctor 7 became 4
    const QList<QVariantMap> links = tableRows(dest, "PATMEDTR", "PATMEDTR_ID");
    QCOMPARE(column(links, "PATMEDTR_ID"), QList<int>({5, 6, 7, 8, 9}));
    QCOMPARE(column(links, "PATIENTS_ID"), QList<int>({100, 101, 101, 102, 103}));
    QCOMPARE(column(links, "MEDTRAIT_ID"), QList<int>({57, 58, 59, 60, 61}));
    QCOMPARE(idValue(dest, "MEDECINS"), 50); // never lowered
    QCOMPARE(idValue(dest, "MEDTRAIT"), 61);
    QCOMPARE(idValue(dest, "PATIENTS"), 104);
    QCOMPARE(idValue(dest, "PATMEDTR"), 9);
}

void ImportRunTest::secondRunImportsOnlyWhatIsNew()
{
    QFETCH(Backend, backend);
    Practice practice(backend);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillStandardSource(practice.source);
    const TestDestination& dest = practice.dest;

    QCOMPARE(practice.run().outcome, RunOutcome::Finished);
    const auto snapshot = [&] {
        return QList<QList<QVariantMap>>{tableRows(dest, "MEDECINS", "MEDECINS_ID"),
                                         tableRows(dest, "MEDTRAIT", "MEDTRAIT_ID"),
                                         tableRows(dest, "PATIENTS", "PATIENTS_ID"),
                                         tableRows(dest, "PATMEDTR", "PATMEDTR_ID"),
                                         tableRows(dest, "ID_VALUES", "KEY_NAME")};
    };
    const auto first = snapshot();

    const RunResult second = practice.run();
    QCOMPARE(second.outcome, RunOutcome::Finished);
    QCOMPARE(firstPhasesLines(second.lines()),
             QStringList({QStringLiteral("3 médecins utilisateurs après importation."),
                          QStringLiteral("4 correspondants après importation."),
                          QStringLiteral("4 patients après importation."),
                          QStringLiteral("4 lien patient <-> correspondant après importation.")}));
    QCOMPARE(snapshot(), first);

    // New records, and a correspondent added since: the known patient is not linked again.
    practice.source.add("GLB MEDECIN", {12, "Nouveau", "Doc", "Metz", kNull, kNull, kNull});
    practice.source.add("ADR CARNET ADRESSE", {5, kNull, "Neuf", "Corr", kNull, kNull, kNull, kNull, kNull, kNull, kNull});
    practice.source.add("GLB PATIENT", {104, 2, kNull, kNull, "Nouvelle", "Patiente", "12", kNull, kNull, kNull,
                                        kNull, kNull, kNull, kNull, "5", "999", kNull, kNull, kNull, kNull});
    const RunResult third = practice.run();
    QCOMPARE(firstPhasesLines(third.lines()),
             QStringList({QStringLiteral("4 médecins utilisateurs après importation."),
                          QStringLiteral("5 correspondants après importation."), missingLine("999"),
                          QStringLiteral("5 patients après importation."),
                          QStringLiteral("5 lien patient <-> correspondant après importation.")}));
    const QList<QVariantMap> patients = tableRows(dest, "PATIENTS", "PATIENTS_ID");
    QCOMPARE(patients.size(), 5);
    QCOMPARE(patients[4]["MEDECINS_ID"].toInt(), 4);
    const QList<QVariantMap> links = tableRows(dest, "PATMEDTR", "PATMEDTR_ID");
    QCOMPARE(links.size(), 5);
    QCOMPARE(links[4]["PATIENTS_ID"].toInt(), 5);
    QCOMPARE(links[4]["MEDTRAIT_ID"].toInt(), 5);
    // The correspondents' counter is the last identifier handed out, even when the new entry's
    // code is lower than those already recorded.
    QCOMPARE(idValue(dest, "MEDTRAIT"), 5);
    QCOMPARE(tableRows(dest, "PATIENTS", "PATIENTS_ID").mid(0, 4), first[2]);
}

void ImportRunTest::purgeRun()
{
    QFETCH(Backend, backend);
    Practice practice(backend);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillStandardSource(practice.source);
    const TestDestination& dest = practice.dest;
    QCOMPARE(practice.run().outcome, RunOutcome::Finished);

    QVERIFY(dest.exec("INSERT INTO DATAFORMS (DATAFORMS_ID, PATIENTS_ID) VALUES (1, 1)"));
    QVERIFY(dest.exec("INSERT INTO ORDONNANCES (ORDONNANCES_ID, PATIENTS_ID) VALUES (7, 1)"));
    QVERIFY(dest.exec("INSERT INTO PATIENTS (PATIENTS_ID, NOM) VALUES (40, 'Hors import')"));
    QVERIFY(dest.exec("UPDATE ID_VALUES SET LAST_VALUE = 99 WHERE KEY_NAME = 'MEDECINS'"));
    QVERIFY(dest.exec("INSERT INTO ID_VALUES (KEY_NAME, LAST_VALUE) VALUES ('ORDONNANCES', 7)"));
    QFile editor(QDir(practice.talmerosPath).filePath("EDITOR.INI"));
    QVERIFY(editor.open(QIODevice::WriteOnly));
    editor.write("[DataBases]\r\nMOTCONSU=Consultations\r\nOrdonnances=Table des prescriptions\r\n");
    editor.close();

    // Declined, the purge deletes nothing and nothing is imported; the question counted the rows.
    RecordingReporter declined;
    declined.answerPurge = false;
    QCOMPARE(practice.runWith(declined, true), RunOutcome::PreparationFailed);
    QCOMPARE(declined.lines(), QStringList{QStringLiteral(
                                   "Importation abandonnée : la base Talmérosin n'a pas été vidée et rien n'a été importé.")});
    QVERIFY(declined.boxTexts(RecordingReporter::Box::Question).value(0).startsWith(QStringLiteral("La purge va supprimer ")));
    QCOMPARE(dest.scalar("SELECT COUNT(*) FROM DATAFORMS").toInt(), 1);

    RecordingReporter reporter;
    reporter.appendLine(QStringLiteral("ligne d'une tentative précédente"));
    const RunOutcome outcome = practice.runWith(reporter, true);
    QCOMPARE(outcome, RunOutcome::Finished);

    QStringList expected{QStringLiteral("Purge des données de la base de destination en cours...")};
    const QStringList purged = {"DATAFORMS", "PATMEDTR", "MEDTRAIT", "IMAGES", "ANTECED", "LETTERS",
                                "LETTERS_EMAILED", "LETTERS_WORKLIST", "SIMPLIFY", "TASKS", "IMPDATA",
                                "PLANNING", "CPACTES", "CPBANKS", "CPMAIN", "CPGEST", "CPORDPAY", "CPORG",
                                "CPREM", "CPTRANS", "CPNLOTS", "CPSVFACT", "CPSVMED", "CPSVNOE", "CPSVXMD2",
                                "VIDAL", "DICOM_EXPORTS", "FAMILY_ID", "MOTCONSU", "PATIENTS", "MEDECINS",
                                "ORDONNANCES"};
    for (const QString& table : purged)
        expected.append(QStringLiteral("Purge de la table ") + table + QStringLiteral(" effectuée."));
    expected.append(QStringLiteral("Purge des données terminée."));
    QCOMPARE(reporter.lines().mid(0, expected.size()), expected);
    QCOMPARE(firstPhasesLines(reporter.lines().mid(expected.size())), standardFirstLines());
    QVERIFY(reporter.statuses.contains(QStringLiteral("Purge de la table [VIDAL] de la base Talmérosin...")));
    QVERIFY(reporter.statuses.contains(QStringLiteral("Récupération des tables de la base Talmérosin terminée")));

    // Every link table was emptied: everything is imported again from identifier 1.
    QCOMPARE(column(tableRows(dest, "PATIENTS", "PATIENTS_ID"), "PATIENTS_ID"), QList<int>({1, 2, 3, 4}));
    QCOMPARE(column(tableRows(dest, "MEDECINS", "MEDECINS_ID"), "MEDECINS_ID"), QList<int>({1, 2, 3}));
    QCOMPARE(dest.scalar("SELECT COUNT(*) FROM DATAFORMS").toInt(), 0);
    QCOMPARE(dest.scalar("SELECT COUNT(*) FROM ORDONNANCES").toInt(), 0);
    QCOMPARE(idValue(dest, "DATAFORMS"), 0);
    QCOMPARE(idValue(dest, "VIDAL"), 0);
    QCOMPARE(idValue(dest, "MEDECINS"), 3); // forced to 0 by the purge, then raised by the phase
    QCOMPARE(idValue(dest, "ORDONNANCES"), 0);
    QCOMPARE(IniFile::load(practice.settingsPath).value("Main", "Vider"), QStringLiteral("1"));
}

void ImportRunTest::purgeOfNamesFromOutside_data()
{
    QTest::addColumn<Backend>("backend");
    QTest::addColumn<QStringList>("folderFiles");   // files of the destination folder
    QTest::addColumn<QString>("catalogueTable");    // a table created under a quoted name
    QTest::addColumn<QStringList>("outsideLines");  // the purge's lines about those names
    const QStringList paradox = {"metatable.db", "metafield.db", "tablelink.db", "patients.db", "medecins.db",
                                 "DATAFORMS.db", "DATAX; DROP TABLE VICTIM; --.db", "DATANONE.db"};
    for (const Backend backend : {Backend::SQLite, Backend::PostgreSQL}) {
        const QByteArray name = backendName(backend).toLatin1();
        QTest::newRow(name + ", statement in a Paradox file name") << backend << paradox << QString() << QStringList();
        QTest::newRow(name + ", catalogue name that is no identifier")
            << backend << QStringList() << "DATA;V"
            << QStringList{"La table DATA;V n'a pas pu être vidée : son nom n'est pas un nom de table valide "
                           "(lettres, chiffres et « _ » seulement)."};
    }
}

// Table names come from the destination folder and catalogue: none of them runs a statement.
void ImportRunTest::purgeOfNamesFromOutside()
{
    QFETCH(Backend, backend);
    QFETCH(QStringList, folderFiles);
    QFETCH(QString, catalogueTable);
    QFETCH(QStringList, outsideLines);
    Practice practice(backend);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    const TestDestination& dest = practice.dest;
    QVERIFY(dest.exec("CREATE TABLE VICTIM (VICTIM_ID INTEGER)"));
    QVERIFY(dest.exec("INSERT INTO VICTIM (VICTIM_ID) VALUES (1)"));
    QVERIFY(dest.exec("INSERT INTO DATAFORMS (DATAFORMS_ID, PATIENTS_ID) VALUES (1, 1)"));
    QVERIFY(dest.exec("CREATE TABLE DATAX (DATAX_ID INTEGER)"));
    if (!catalogueTable.isEmpty())
        QVERIFY(dest.exec(QStringLiteral("CREATE TABLE \"") + catalogueTable + QStringLiteral("\" (X INTEGER)")));
    for (const QString& name : folderFiles) {
        QFile file(QDir(practice.talmerosPath).filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    const RunResult result = practice.run(true);
    QCOMPARE(result.outcome, RunOutcome::Finished);
    QCOMPARE(dest.scalar("SELECT COUNT(*) FROM VICTIM").toInt(), 1);
    QCOMPARE(dest.scalar("SELECT COUNT(*) FROM DATAFORMS").toInt(), 0);
    const QStringList lines = result.lines();
    QVERIFY(lines.contains(QStringLiteral("Purge de la table DATAFORMS effectuée.")));
    QStringList outside;
    for (const QString& line : lines)
        if (line.contains(QStringLiteral("VICTIM")) || line.contains(QStringLiteral("DATANONE"))
            || line.contains(QStringLiteral("DATA;")))
            outside.append(line);
    QCOMPARE(outside, outsideLines);
}

void ImportRunTest::failedPurgeKeepsLinkTable()
{
    QFETCH(Backend, backend);
    Practice practice(backend);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillStandardSource(practice.source);
    const TestDestination& dest = practice.dest;
    QCOMPARE(practice.run().outcome, RunOutcome::Finished);
    const QList<QVariantMap> links = tableRows(dest, "PATMEDTR", "PATMEDTR_ID");

    if (backend == Backend::SQLite) {
        QVERIFY(dest.exec("CREATE TRIGGER KEEP_PATIENTS BEFORE DELETE ON PATIENTS "
                          "BEGIN SELECT RAISE(ABORT, 'suppression refusee'); END"));
    } else if (backend == Backend::TDS) {
        QVERIFY(dest.exec("CREATE TRIGGER keep_patients ON PATIENTS AFTER DELETE AS "
                          "THROW 50000, 'suppression refusee', 1"));
    } else {
        QVERIFY(dest.exec("CREATE FUNCTION keep_patients() RETURNS trigger AS "
                          "$$ BEGIN RAISE EXCEPTION 'suppression refusee'; END $$ LANGUAGE plpgsql"));
        QVERIFY(dest.exec("CREATE TRIGGER keep_patients BEFORE DELETE ON PATIENTS "
                          "FOR EACH ROW EXECUTE FUNCTION keep_patients()"));
    }
    const RunResult result = practice.run(true);
    QCOMPARE(result.outcome, RunOutcome::Finished);
    const QStringList failure = result.lines().filter(QStringLiteral("La table PATIENTS n'a pas pu être vidée :"));
    QCOMPARE(failure.size(), 1);
    QVERIFY(failure.first().contains(QStringLiteral("suppression refusee")));
    QVERIFY(!result.lines().contains(QStringLiteral("Purge de la table PATIENTS effectuée.")));

    // The patients stay as they were and are not imported a second time; the doctors, whose
    // table was emptied, are imported again.
    QCOMPARE(column(tableRows(dest, "PATIENTS", "PATIENTS_ID"), "PATIENTS_ID"), QList<int>({1, 2, 3, 4}));
    QVERIFY(result.lines().contains(QStringLiteral("4 patients après importation.")));
    QCOMPARE(column(tableRows(dest, "MEDECINS", "MEDECINS_ID"), "MEDECINS_ID"), QList<int>({1, 2, 3}));
    QCOMPARE(idValue(dest, "PATIENTS"), 4);
    // The correspondent links, which the purge emptied, are made again for the patients kept.
    QCOMPARE(tableRows(dest, "PATMEDTR", "PATMEDTR_ID"), links);
}

void ImportRunTest::rowsRejectedByDestination()
{
    QFETCH(Backend, backend);
    Practice practice(backend);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillStandardSource(practice.source);
    practice.source.add("GLB MEDECIN", {10, "Dupont", "Paul", "Metz", kNull, kNull, kNull});
    practice.source.add("GLB MEDECIN", {11, "Vidal", "Rose", "Brest", kNull, kNull, kNull});
    practice.source.add("GLB PATIENT", {105, 1, kNull, kNull, "Durand", "Marc", kNull, kNull, kNull, kNull,
                                        kNull, kNull, kNull, kNull, "13", kNull, kNull, kNull, kNull, kNull});
    practice.source.add("GLB PATIENT", {106, 1, kNull, kNull, "Rey", "Ana", kNull, kNull, kNull, kNull,
                                        kNull, kNull, kNull, kNull, "12", kNull, kNull, kNull, kNull, kNull});
    const TestDestination& dest = practice.dest;
    QVERIFY(dest.exec("CREATE UNIQUE INDEX UNIQUE_MEDECIN ON MEDECINS (NOM)"));
    QVERIFY(dest.exec("CREATE UNIQUE INDEX UNIQUE_MEDTRAIT ON MEDTRAIT (NOM)"));
    QVERIFY(dest.exec("CREATE UNIQUE INDEX UNIQUE_PATIENT ON PATIENTS (NOM)"));
    QVERIFY(dest.exec("CREATE UNIQUE INDEX UNIQUE_LIEN ON PATMEDTR (MEDTRAIT_ID)"));

    const RunResult result = practice.run();
    QCOMPARE(result.outcome, RunOutcome::Finished);
    const QStringList lines = firstPhasesLines(result.lines());
    QCOMPARE(lines.at(0), QStringLiteral("Erreur médecin utilisateur Dupont Paul (Metz)"));
    QCOMPARE(lines.at(1), QStringLiteral("4 médecins utilisateurs après importation."));
    QVERIFY(lines.at(2).startsWith(QStringLiteral("Erreur correspondant non importé : Bernard Luc (Nice) : ")));
    QCOMPARE(lines.at(3), QStringLiteral("3 correspondants après importation."));
    QCOMPARE(lines.at(4), missingLine("11")); // the rejected correspondent
    QCOMPARE(lines.at(5), missingLine("999"));
    QCOMPARE(lines.at(6), missingLine("abc"));
    QCOMPARE(lines.at(7), QStringLiteral("Erreur lors de l'enregistrement du nouveau patient [Marc Durand]. "
                                         "Il ne sera pas importé."));
    QVERIFY(lines.at(8).startsWith(QStringLiteral("Erreur : ")));
    // Correspondent 12 is already linked to patient 101: the unique index refuses a second link.
    QCOMPARE(lines.at(9), QStringLiteral("Erreur lors de la recherche/enregistrement du n° du médecin traitant "
                                         "[12]. Le lien avec le patient ne sera pas créé."));
    QVERIFY(lines.at(10).startsWith(QStringLiteral("Erreur : ")));
    QCOMPARE(lines.at(11), QStringLiteral("6 patients après importation."));
    QCOMPARE(lines.at(12), QStringLiteral("4 lien patient <-> correspondant après importation."));
    QCOMPARE(lines.size(), 13);

    // The rejected doctor's identifier went to the next one; a rejected patient leaves a gap.
    const QList<QVariantMap> medecins = tableRows(dest, "MEDECINS", "MEDECINS_ID");
    QCOMPARE(column(medecins, "MEDECINS_ID"), QList<int>({1, 2, 3, 4}));
    QCOMPARE(medecins[3]["NOM"].toString(), QStringLiteral("Vidal"));
    QCOMPARE(column(tableRows(dest, "PATIENTS", "PATIENTS_ID"), "PATIENTS_ID"), QList<int>({1, 2, 3, 4, 6}));
    const QList<QVariantMap> links = tableRows(dest, "PATMEDTR", "PATMEDTR_ID");
    QCOMPARE(column(links, "PATMEDTR_ID"), QList<int>({1, 2, 3}));
    QCOMPARE(column(links, "MEDTRAIT_ID"), QList<int>({1, 2, 3}));
    QCOMPARE(idValue(dest, "PATIENTS"), 6);
    QCOMPARE(idValue(dest, "PATMEDTR"), 4);

    // A later run tries the rejected records again.
    QVERIFY(dest.exec(backend == Backend::TDS ? "DROP INDEX UNIQUE_MEDECIN ON MEDECINS" : "DROP INDEX UNIQUE_MEDECIN"));
    const RunResult again = practice.run();
    QCOMPARE(firstPhasesLines(again.lines()).first(), QStringLiteral("5 médecins utilisateurs après importation."));
}

namespace {

// Holds the write lock of a link table while a phase imports its first record, so that the
// destination row is written and the pair cannot be recorded; the lock is released at the
// phase's first error line.
class LockingReporter : public RecordingReporter {
public:
    explicit LockingReporter(QString programFolder) : m_programFolder(std::move(programFolder))
    {
        onLine = [this](const QString&) { unlock(); };
    }
    ~LockingReporter() override { unlock(); }

    void setStatus(const QString& text) override
    {
        RecordingReporter::setStatus(text);
        if (text == QStringLiteral("Importation des utilisateurs..."))
            lock(QStringLiteral("Medecins.db"));
        else if (text == QStringLiteral("Importation des médecins correspondants..."))
            lock(QStringLiteral("Medtrait.db"));
    }

private:
    void lock(const QString& fileName)
    {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("lock"));
        m_db.setDatabaseName(QDir(destinationLinksTables(m_programFolder)).filePath(fileName));
        QVERIFY(m_db.open());
        QVERIFY(QSqlQuery(m_db).exec(QStringLiteral("BEGIN IMMEDIATE")));
    }
    void unlock()
    {
        if (!m_db.isOpen())
            return;
        QSqlQuery(m_db).exec(QStringLiteral("ROLLBACK"));
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("lock"));
    }

    QString m_programFolder;
    QSqlDatabase m_db;
};

} // namespace

void ImportRunTest::linkPairFailureKeepsIdentifier()
{
    QFETCH(Backend, backend);
    Practice practice(backend);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillStandardSource(practice.source);

    LockingReporter reporter(practice.programFolder);
    QCOMPARE(practice.runWith(reporter), RunOutcome::Finished);
    const QStringList lines = firstPhasesLines(reporter.lines());
    QCOMPARE(lines.at(0), QStringLiteral("Erreur médecin utilisateur Dupont Jean (Paris)"));
    QCOMPARE(lines.at(1), QStringLiteral("3 médecins utilisateurs après importation."));
    QVERIFY(lines.at(2).startsWith(QStringLiteral("Erreur correspondant non importé : Bernard Luc (Nice) : ")));
    QCOMPARE(lines.at(3), QStringLiteral("3 correspondants après importation."));

    // The rows stay written under their identifiers; the next records take the following ones.
    const TestDestination& dest = practice.dest;
    QCOMPARE(column(tableRows(dest, "MEDECINS", "MEDECINS_ID"), "MEDECINS_ID"), QList<int>({1, 2, 3}));
    QCOMPARE(column(tableRows(dest, "MEDTRAIT", "MEDTRAIT_ID"), "MEDTRAIT_ID"), QList<int>({1, 2, 3, 4}));
    QCOMPARE(idValue(dest, "MEDECINS"), 3);
    QCOMPARE(idValue(dest, "MEDTRAIT"), 4);
    // Doctor 7, recorded, is still found as Durand's owner; correspondent 10 is not recorded.
    const QList<QVariantMap> patients = tableRows(dest, "PATIENTS", "PATIENTS_ID");
    QCOMPARE(patients[0]["MEDECINS_ID"].toInt(), 2);
    QVERIFY(lines.contains(missingLine("10")));
}

void ImportRunTest::sourceTableCannotBeOpened()
{
    QFETCH(Backend, backend);
    Practice practice(backend);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillStandardSource(practice.source);
    practice.source.drop("ADR CARNET ADRESSE");

    const RunResult result = practice.run();
    QCOMPARE(result.outcome, RunOutcome::Unfinished);
    const QStringList errors = result.reporter->boxTexts(RecordingReporter::Box::Error);
    QCOMPARE(errors.size(), 1);
    QVERIFY(errors.first().startsWith(
        QStringLiteral("Erreur lors de l'ouverture de la table des médecins correspondants : ")));
    QCOMPARE(result.reporter->progressMaxima.mid(0, 3), QList<int>({3, 0, 4}));
    const QStringList lines = result.lines();
    QCOMPARE(firstPhasesLines(lines),
             QStringList({QStringLiteral("3 médecins utilisateurs après importation."),
                          QStringLiteral("0 correspondants après importation."), missingLine("10"),
                          missingLine("11"), missingLine("999"), missingLine("abc"), missingLine("12"),
                          missingLine("13"), QStringLiteral("4 patients après importation."),
                          QStringLiteral("0 lien patient <-> correspondant après importation.")}));
    const qsizetype end = lines.indexOf(QStringLiteral("Traitement inachevé."));
    QVERIFY(end > 0 && lines.at(end - 1).startsWith(QStringLiteral("Importation stopée après ")));
    QCOMPARE(result.reporter->boxTexts(RecordingReporter::Box::Notice),
             QStringList{QStringLiteral("Le traitement n'est pas terminé.")});
    QCOMPARE(idValue(practice.dest, "MEDTRAIT"), 0);
    // The later phases ran: their count lines follow.
    QVERIFY(lines.filter(QStringLiteral(" consultations après importation.")).size() == 1);
}

// A letters folder without a single document (a share not mounted) is told before anything is
// written; declined, the run writes nothing.
void ImportRunTest::emptyLettersFolderIsToldFirst()
{
    Practice practice(Backend::SQLite);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillStandardSource(practice.source);
    QVERIFY(QFile::remove(practice.courriersPath + QStringLiteral("MODELE.RTF")));
    RecordingReporter declined;
    declined.answerNoLetters = false;
    QCOMPARE(practice.runWith(declined), RunOutcome::PreparationFailed);
    QVERIFY2(declined.boxTexts(RecordingReporter::Box::Question).value(0).contains(QStringLiteral("ne contient aucun fichier .RTF")),
             qPrintable(declined.boxTexts(RecordingReporter::Box::Question).join(u'|')));
    QCOMPARE(practice.dest.scalar(QStringLiteral("SELECT COUNT(*) FROM PATIENTS")).toInt(), 0);
    RecordingReporter accepted;
    QVERIFY(practice.runWith(accepted) != RunOutcome::PreparationFailed);
    QVERIFY(practice.dest.scalar(QStringLiteral("SELECT COUNT(*) FROM PATIENTS")).toInt() > 0);
}

// A source whose patients cannot be read cannot be checked against the pairs of the link
// tables: once there are pairs, the run is refused before it writes anything.
void ImportRunTest::unreadablePatientsOncePaired()
{
    QFETCH(Backend, backend);
    Practice practice(backend);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillStandardSource(practice.source);
    QCOMPARE(practice.run().outcome, RunOutcome::Finished);
    const int consultations = practice.dest.scalar(QStringLiteral("SELECT COUNT(*) FROM MOTCONSU")).toInt();
    practice.source.drop("GLB PATIENT");
    const RunResult result = practice.run();
    QCOMPARE(result.outcome, RunOutcome::PreparationFailed);
    const QStringList errors = result.reporter->boxTexts(RecordingReporter::Box::Error);
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors.first().startsWith(QStringLiteral("La table des patients de la base V3 ne peut pas être lue (")),
             qPrintable(errors.first()));
    QCOMPARE(practice.dest.scalar(QStringLiteral("SELECT COUNT(*) FROM MOTCONSU")).toInt(), consultations);
}

// A text reaches the destination as it is, whatever characters it holds and however the rows
// of a batch travel to the server.
void ImportRunTest::textsArriveAsTheyAre()
{
    QFETCH(Backend, backend);
    Practice practice(backend);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    const QStringList texts = {
        QStringLiteral("guillemets \" et apostrophe '"),
        QStringLiteral("tab\tretour\r\nsaut\nfin\r"),
        QString::fromUtf16(u"contrôle \x01 \x1f et \x7f"),
        QStringLiteral("accents éèàçœ €, tirets – — et idéogrammes 中文"),
        QStringLiteral("{\"json\": [1, 2], \"rien\": null}"),
        // Backslash escapes, which must arrive as written.
        QStringLiteral("\\u0041 n'est pas A, \\n pas un saut et \\\\ deux barres"),
    };
    // U+0000, which no destination keeps, arrives as U+FFFD with the rest of the text.
    const QString withNul = QStringLiteral("No") + QChar(u'\0') + QStringLiteral("X");
    for (int i = 0; i < texts.size(); ++i)
        practice.source.add("ADR CARNET ADRESSE",
                            {20 + i, kNull, "Nom", "Prénom", kNull, kNull, kNull, kNull, kNull, kNull, texts[i]});
    practice.source.add("ADR CARNET ADRESSE", {40, kNull, withNul, "Prénom", kNull, kNull, kNull, kNull, kNull, kNull, withNul});

    const RunResult result = practice.run();
    QCOMPARE(result.outcome, RunOutcome::Finished);
    QStringList stored;
    const QList<QVariantMap> rows = tableRows(practice.dest, "MEDTRAIT", "MEDTRAIT_ID");
    for (const QVariantMap& row : rows)
        stored.append(row["COMMENTAIRE"].toString());
    const QString replaced = QStringLiteral("No\uFFFDX");
    QCOMPARE(stored, texts + QStringList{replaced});
    QCOMPARE(rows.last()["NOM"].toString(), replaced);
    QVERIFY2(result.lines().contains(QStringLiteral("  Correspondants : 7 source, 7 importés, 0 déjà présents, 0 refusés.")),
             qPrintable(result.lines().join(u'\n')));
}

void ImportRunTest::badSourceValues()
{
    QFETCH(Backend, backend);
    Practice practice(backend);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    const TestDestination& dest = practice.dest;
    QVERIFY(dest.exec("INSERT INTO MEDECINS (MEDECINS_ID, NOM, PRENOM) VALUES (1, 'Déjà', 'Là')"));
    QVERIFY(dest.exec("INSERT INTO PATIENTS (PATIENTS_ID, NOM, PRENOM) VALUES (1, 'Déjà', 'Là')"));
    const QList<QVariantMap> before = tableRows(dest, "MEDECINS", "MEDECINS_ID");

    SourceDb& source = practice.source;
    for (const char* column : {"NOM", "PRENOM", "VILLE"}) {
        source.setType("GLB MEDECIN", column, "memo");
        source.setType("GLB PATIENT", column, "memo");
        source.setType("ADR CARNET ADRESSE", column, "memo");
    }
    source.setType("GLB PATIENT", "NOM DE NAISSANCE", "memo");
    const QString huge(10000, QChar(u'é'));
    QVariantList nullRow;
    for (int i = 0; i < 7; ++i)
        nullRow.append(kNull);
    source.add("GLB MEDECIN", nullRow);
    source.add("GLB MEDECIN", {5, huge, huge, huge, huge, kNull, kNull});
    source.add("GLB MEDECIN", {6, "Court", "Nom", "Ville", kNull, kNull, kNull});
    QVariantList nullEntry;
    for (int i = 0; i < 11; ++i)
        nullEntry.append(kNull);
    source.add("ADR CARNET ADRESSE", nullEntry);
    source.add("ADR CARNET ADRESSE", {8, 77, huge, huge, huge, huge, kNull, kNull, kNull, kNull, huge});
    QVariantList nullPatient;
    for (int i = 0; i < 20; ++i)
        nullPatient.append(kNull);
    source.add("GLB PATIENT", nullPatient);
    source.add("GLB PATIENT", {3, 2, kNull, huge, huge, huge, " 6 ", huge, kNull, huge, kNull, kNull, kNull,
                               kNull, kNull, kNull, kNull, kNull, kNull, kNull});
    source.add("GLB PATIENT", {4, 2, kNull, kNull, "Petit", "Jean", " 6 ", kNull, kNull, kNull, kNull, kNull,
                               kNull, kNull, " 8 ", "  ", "12345678901", "1e3", "0x10", "8"});

    const RunResult result = practice.run();
    QCOMPARE(result.outcome, RunOutcome::Finished);
    const QStringList lines = firstPhasesLines(result.lines());
    QVERIFY(lines.contains(missingLine("12345678901")));
    QVERIFY(lines.contains(missingLine("1e3")));
    QVERIFY(lines.contains(missingLine("0x10")));
    // PostgreSQL and SQL Server refuse a text longer than its column; SQLite keeps it.
    const bool sized = backend != Backend::SQLite;
    QCOMPARE(lines.filter(QStringLiteral("[8]")).size(), sized ? 1 : 0);
    QCOMPARE(tableRows(dest, "MEDECINS", "MEDECINS_ID").first(), before.first());
    const QVariant firstPatient = dest.scalar("SELECT NOM FROM PATIENTS WHERE PATIENTS_ID = 1");
    QCOMPARE(firstPatient.toString(), QStringLiteral("Déjà"));

    const QList<QVariantMap> medecins = tableRows(dest, "MEDECINS", "MEDECINS_ID");
    const QList<QVariantMap> patients = tableRows(dest, "PATIENTS", "PATIENTS_ID");
    if (sized) {
        // Names longer than the columns are refused by the server: reported, and the next row
        // takes the identifier.
        QVERIFY(lines.contains(QStringLiteral("Erreur médecin utilisateur ") + huge + u' ' + huge + QStringLiteral(" (")
                               + huge + u')'));
        QCOMPARE(column(medecins, "MEDECINS_ID"), QList<int>({1, 2, 3}));
        QCOMPARE(medecins[2]["NOM"].toString(), QStringLiteral("Court"));
        QVERIFY(lines.contains(QStringLiteral("Erreur lors de l'enregistrement du nouveau patient [") + huge
                               + u' ' + huge + QStringLiteral("]. Il ne sera pas importé.")));
        QCOMPARE(column(patients, "PATIENTS_ID"), QList<int>({1, 2, 4}));
        QCOMPARE(patients[2]["MEDECINS_ID"].toInt(), 3); // " 6 " trimmed: doctor 6
    } else {
        QCOMPARE(column(medecins, "MEDECINS_ID"), QList<int>({1, 2, 3, 4}));
        QCOMPARE(medecins[2]["NOM"].toString(), huge);
        QCOMPARE(column(patients, "PATIENTS_ID"), QList<int>({1, 2, 3, 4}));
        QCOMPARE(patients[2]["ADRESSE"].toString(), huge);
        QCOMPARE(patients[2]["MEDECINS_ID"].toInt(), 4);
        QCOMPARE(patients[3]["MEDECINS_ID"].toInt(), 4);
        const QList<QVariantMap> links = tableRows(dest, "PATMEDTR", "PATMEDTR_ID");
        QCOMPARE(links.size(), 1); // " 8 " and "8": one link
        QCOMPARE(links[0]["MEDTRAIT_ID"].toInt(), 2);
    }
    // The all-null rows: code 0, empty texts, owner 1, no link.
    QVERIFY(emptyText(medecins[1]["NOM"]));
    QCOMPARE(patients[1]["MEDECINS_ID"].toInt(), 1);
    QVERIFY(patients[1]["ADRESSE"].isNull());
}

void ImportRunTest::errorEscapingPhaseEndsRun()
{
    QFETCH(Backend, backend);
    Practice practice(backend);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillStandardSource(practice.source);
    QVERIFY(practice.dest.exec("DROP TABLE PATMEDTR"));

    const RunResult result = practice.run();
    QCOMPARE(result.outcome, RunOutcome::Aborted);
    QCOMPARE(result.reporter->boxTexts(RecordingReporter::Box::Error).size(), 1);
    QVERIFY(result.reporter->boxTexts(RecordingReporter::Box::Notice).isEmpty());
    QVERIFY(!result.lines().contains(QStringLiteral("Traitement terminé.")));
    QCOMPARE(result.lines().last(), QStringLiteral("4 correspondants après importation."));
    QVERIFY(result.reporter->controls.importerEnabled); // a run cut short: the next one may start
    QVERIFY(result.reporter->controls.fermerEnabled);
    QVERIFY(!result.reporter->controls.busy);
}

void ImportRunTest::preparationFailures()
{
    Practice practice(Backend::SQLite);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillStandardSource(practice.source);
    practice.source.write(practice.v3Path);
    const QString badPaths = QStringLiteral("Veuillez renseigner correctement les chemins !");

    RecordingReporter reporter;
    ImportLog log(practice.programFolder);
    ImportRun importRun(practice.programFolder, practice.settingsPath, reporter, log);
    const QByteArray settingsBefore = [&] {
        QFile f(practice.settingsPath);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();
    const auto settingsNow = [&] {
        QFile f(practice.settingsPath);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    };

    // Bad paths: only the box; no log, no settings.
    RunInputs inputs{QString(), practice.courriersPath, practice.talmerosPath, false};
    QCOMPARE(importRun.run(inputs), RunOutcome::PathsRejected);
    inputs = {practice.v3Path, practice.v3Path, practice.talmerosPath, false}; // a file, not a folder
    QCOMPARE(importRun.run(inputs), RunOutcome::PathsRejected);
    inputs = {practice.v3Path, practice.courriersPath, practice.programFolder, false}; // no Kestrune.ver
    QCOMPARE(importRun.run(inputs), RunOutcome::PathsRejected);
    QCOMPARE(reporter.boxTexts(RecordingReporter::Box::Error), QStringList({badPaths, badPaths, badPaths}));
    // After each box, the wrong path named, in the text area.
    QCOMPARE(reporter.lines(),
             QStringList({QStringLiteral("Base V3 : aucun fichier n'est indiqué."),
                          QStringLiteral("Dossier des courriers : ") + practice.v3Path + QStringLiteral(" n'est pas un dossier."),
                          QStringLiteral("Dossier Base de Talmérosin : le dossier ") + practice.programFolder
                              + QStringLiteral("/ ne contient pas le fichier Kestrune.ver.")}));
    reporter.clearLines();
    QVERIFY(practice.logFiles().isEmpty());
    QCOMPARE(reporter.destinationPath, practice.programFolder + QLatin1Char('/'));

    // Kestrune.ver found whatever the case of its name.
    const QString base = practice.talmerosPath;
    QVERIFY(QFile::rename(QDir(base).filePath("Kestrune.ver"), QDir(base).filePath("KESTRUNE.VER")));

    // A source file that is not an Access database: the log holds the header and the failure.
    QTemporaryDir other;
    const QString notMdb = QDir(other.path()).filePath("pas-une-base.mdb");
    QFile garbage(notMdb);
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, 'x'));
    garbage.close();
    reporter.boxes.clear();
    inputs = {notMdb, practice.courriersPath, base, false};
    QCOMPARE(importRun.run(inputs), RunOutcome::PreparationFailed);
    const QString sourceFailure = QStringLiteral("Connexion à la base de données Access [") + notMdb
        + QStringLiteral("] impossible : ");
    QCOMPARE(reporter.boxes.size(), 1);
    QVERIFY(reporter.boxes.first().text.startsWith(sourceFailure));
    QCOMPARE(practice.logFiles().size(), 1);
    QFile logFile(log.filePath());
    QVERIFY(logFile.open(QIODevice::ReadOnly));
    const QByteArray logBytes = logFile.readAll();
    QVERIFY(logBytes.startsWith("IMPORTATION DES DONNEES VELQUOR :\r\n   - A partir de : "));
    QVERIFY(logBytes.contains("\r\n\r\nConnexion \xe0 la base de donn\xe9""es Access ["));
    QCOMPARE(settingsNow(), settingsBefore);
    QVERIFY(reporter.controls.importerEnabled && reporter.controls.fermerEnabled);

    // The destination refuses the connection: the settings are not written either.
    QFile kestrune(QDir(base).filePath("KESTRUNE.VER"));
    QVERIFY(kestrune.open(QIODevice::WriteOnly | QIODevice::Truncate));
    kestrune.write("[DBKERNEL]\r\nDatabaseName=");
    kestrune.write(QFile::encodeName(QDir(notMdb).filePath("absent/absent.sqlite")));
    kestrune.write("\r\n");
    kestrune.close();
    reporter.boxes.clear();
    inputs = {practice.v3Path, practice.courriersPath, base, false};
    // The source opened for the attempt is closed with it, its copy of the tables stopped and
    // removed: a reader process started after the lock's release would keep the lock.
    const QTemporaryDir staging;
    const std::optional<QByteArray> tmpBefore =
        qEnvironmentVariableIsSet("TMPDIR") ? std::optional(qgetenv("TMPDIR")) : std::nullopt;
    qputenv("TMPDIR", QFile::encodeName(staging.path()));
    const RunOutcome refused = importRun.run(inputs);
    tmpBefore ? qputenv("TMPDIR", *tmpBefore) : qunsetenv("TMPDIR");
    QCOMPARE(refused, RunOutcome::PreparationFailed);
    QCOMPARE(QDir(staging.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    QCOMPARE(reporter.boxes.size(), 1);
    QVERIFY(reporter.boxes.first().text.startsWith(
        QStringLiteral("Connexion à la base de données Talmérosin impossible : ")));
    QCOMPARE(settingsNow(), settingsBefore);

    // A value that would add an attribute (the SQLite3 driver's trace file) is refused before
    // connecting, with the destination connection failure naming its key.
    const QString trace = QDir(other.path()).filePath("trace.txt");
    QVERIFY(kestrune.open(QIODevice::WriteOnly | QIODevice::Truncate));
    kestrune.write("[DBKERNEL]\r\nDatabaseName=" + QFile::encodeName(practice.dest.databaseName()) + ";Tracefile="
                   + QFile::encodeName(trace) + "\r\n");
    kestrune.close();
    reporter.boxes.clear();
    QCOMPARE(importRun.run(inputs), RunOutcome::PreparationFailed);
    QCOMPARE(reporter.boxTexts(RecordingReporter::Box::Error),
             QStringList{QStringLiteral("Connexion à la base de données Talmérosin impossible : la valeur de "
                                        "DatabaseName dans Kestrune.ver contient « ; », « { » ou un blanc en début "
                                        "ou en fin, que le pilote SQLite3 ne transmet pas sans risque.")});
    QVERIFY(!QFileInfo::exists(trace));

    // A source without the users table: the run ends after the settings are saved.
    practice.dest.writeKestrune(base);
    QFile::remove(QDir(base).filePath("KESTRUNE.VER"));
    practice.source.drop("GLB MEDECIN");
    practice.source.write(practice.v3Path);
    reporter.boxes.clear();
    QCOMPARE(importRun.run(inputs), RunOutcome::KindsMissing);
    QCOMPARE(reporter.boxes.size(), 1);
    QVERIFY(reporter.boxes.first().text.startsWith(
        QStringLiteral("Erreur lors de l'ouverture de la table des utilisateurs : ")));
    QCOMPARE(IniFile::load(practice.settingsPath).value("Paths", "V3"), practice.v3Path);
    QVERIFY(reporter.lines().isEmpty());
    QVERIFY(reporter.controls.importerEnabled && reporter.controls.fermerEnabled);
    QVERIFY(!importRun.hasCompleted());
}

void ImportRunTest::linkTableCannotBeCreated()
{
    Practice practice(Backend::SQLite);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillStandardSource(practice.source);
    // A regular file where the LinksTables folder should be.
    QFile blocker(QDir(practice.programFolder).filePath(QStringLiteral("LinksTables")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    RecordingReporter reporter;
    bool programEnds = false;
    try {
        practice.runWith(reporter);
    } catch (const ProgramTermination&) {
        programEnds = true;
    }
    QVERIFY(programEnds);
    const QString message = QStringLiteral("Erreur lors de la création de la table temporaire Medecins.db");
    QCOMPARE(reporter.boxTexts(RecordingReporter::Box::Error), QStringList{message});
    QVERIFY(reporter.boxTexts(RecordingReporter::Box::Notice).isEmpty());
    QVERIFY(!reporter.lines().contains(QStringLiteral("Traitement terminé.")));
    QFile log(QDir(practice.programFolder).filePath(practice.logFiles().value(0)));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll().endsWith("\r\n\r\nErreur lors de la cr\xe9""ation de la table temporaire Medecins.db\r\n"));
}

// Another program holds the link tables: the window's run is refused in a box naming it, and
// writes nothing (no import log, no row).
void ImportRunTest::linkTablesHeldByAnotherProgram()
{
    Practice practice(Backend::SQLite);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillStandardSource(practice.source);
    const QString links = QDir(practice.programFolder).filePath(QStringLiteral("LinksTables"));
    QVERIFY(QDir().mkpath(links));
    LinksLock holder;
    QString refusal;
    QVERIFY2(holder.take(links, LinksUser::Batch, &refusal), qPrintable(refusal));

    RecordingReporter reporter;
    QCOMPARE(practice.runWith(reporter), RunOutcome::PreparationFailed);
    const QStringList boxes = reporter.boxTexts(RecordingReporter::Box::Error);
    QCOMPARE(boxes.size(), 1);
    QVERIFY2(boxes[0].contains(QStringLiteral("sont utilisées par une importation en traitement par lots (processus ")),
             qPrintable(boxes[0]));
    QVERIFY(practice.logFiles().isEmpty());
    QCOMPARE(practice.dest.scalar(QStringLiteral("SELECT count(*) FROM MEDECINS")).toInt(), 0);

    holder.release();
    RecordingReporter after;
    QCOMPARE(practice.runWith(after), RunOutcome::Finished);
}

void ImportRunTest::destinationTableList()
{
    QCOMPARE(filterDestinationTables({"DATAFORM1", "DATA_CONSULTATION_X", "PATIENTS", "dbo.DATAX1", "datax2",
                                      "DATA", "MYDATA1"},
                                     false),
             QStringList({"DATAFORM1", "DATAX1", "DATAX2", "DATA"}));
    QCOMPARE(filterDestinationTables({"DATAFORM1.DB", "dataconsultation_x.db", "Patients.db", "DATA.X.DB"}, true),
             QStringList({"DATAFORM1", "DATACONSULTATION_X", "DATA"}));

    QTemporaryDir folder;
    const QString base = folder.path() + QLatin1Char('/');
    QVERIFY(!IsParadoxBase(base));
    for (const char* name : {"metatable.db", "METAFIELD.DB", "tablelink.db", "patients.db"}) {
        QFile file(base + QLatin1String(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(!IsParadoxBase(base));
    QFile medecins(base + QStringLiteral("Medecins.db"));
    QVERIFY(medecins.open(QIODevice::WriteOnly));
    QVERIFY(IsParadoxBase(base));
}

QTEST_GUILESS_MAIN(ImportRunTest)
#include "tst_import_run.moc"

// A batch's inserts are cut into statements within the server's limits on rows and parameters.
void ImportRunTest::rowsPerStatement_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("columns");
    QTest::addColumn<int>("maxRows");
    QTest::addColumn<int>("maxParameters");
    QTest::addColumn<QList<int>>("statements");
    QTest::newRow("none") << 0 << 5 << 1000 << 2098 << QList<int>{};
    QTest::newRow("one row") << 1 << 14 << 1000 << 2098 << QList<int>{1};
    QTest::newRow("parameters bound: 2,098 / 6 = 349") << 500 << 6 << 1000 << 2098 << QList<int>{349, 151};
    QTest::newRow("rows bound") << 2500 << 3 << 1000 << 30000 << QList<int>{1000, 1000, 500};
    QTest::newRow("exactly at the limit") << 698 << 6 << 1000 << 2098 << QList<int>{349, 349};
    QTest::newRow("more columns than parameters") << 3 << 3000 << 1000 << 2098 << QList<int>{1, 1, 1};
}

void ImportRunTest::rowsPerStatement()
{
    QFETCH(int, rows);
    QFETCH(int, columns);
    QFETCH(int, maxRows);
    QFETCH(int, maxParameters);
    QFETCH(QList<int>, statements);
    QCOMPARE(vf::rowsPerStatement(rows, columns, {maxRows, maxParameters}), statements);
}
