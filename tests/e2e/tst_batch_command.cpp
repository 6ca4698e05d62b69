// The command line of the built program: its exit statuses, -h/--help and --version, bad usage
// and a window without a display, and the import log it leaves beside itself.
#include "ProgramFolder.h"

#include "base/Settings.h"
#include "base/TextCodec.h"

#include <MdbWriter.h>

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest/QtTest>

#include <tuple>

using namespace vf::test;

namespace {

QStringList batchArguments(const QString& source, const QString& letters, const QString& base)
{
    return {QStringLiteral("--batch"), QStringLiteral("--source"), source, QStringLiteral("--letters"), letters,
            QStringLiteral("--dest"), base};
}

// The practice's own files, into the given destination base folder (by default its own).
QStringList batchArguments(const QString& practice, QString base = QString())
{
    if (base.isEmpty())
        base = practice + QStringLiteral("/Base/");
    return batchArguments(practice + QStringLiteral("/V3.mdb"), practice + QStringLiteral("/COURRIER/"), base);
}

QStringList logLines(const ProgramFolder& program)
{
    const QStringList logs = program.logFiles();
    if (logs.size() != 1)
        return {};
    return vf::fromWindows1252(readFile(QDir(program.path()).filePath(logs.first()))).split(QStringLiteral("\r\n"));
}

} // namespace

class BatchCommandTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void helpVersionAndBadUsage();
    void badPathsEndThePreparation();
    void unreachableDestinationEndsThePreparation();
    void unreadableUsersTableEndsThePreparation();
    void linkTableThatCannotBeCreatedEndsTheProgram();
    void sourceTableThatCannotBeOpenedLeavesTheRunUnfinished();
    void errorThatNoPhaseHandlesEndsTheRun();
    void finishedRunWritesItsLinesToTheLog();
    void readerOfTheOutputGoingAwayDoesNotStopTheRun();
    void onlyTheProgramsOwnFilesAreExecuted_data();
    void onlyTheProgramsOwnFilesAreExecuted();

private:
    QTemporaryDir m_root;
    QString m_practice; // a small generated practice, shared by the tests (they only read it)
};

void BatchCommandTest::initTestCase()
{
    QVERIFY(m_root.isValid());
    m_practice = m_root.filePath(QStringLiteral("practice"));
    QString errors;
    QVERIFY2(makePractice(m_practice, 5, &errors), qPrintable(errors));
}

void BatchCommandTest::helpVersionAndBadUsage()
{
    ProgramFolder program(m_root.filePath(QStringLiteral("usage")));
    QVERIFY(program.isReady());

    // -h and --help: every mode and every exit status.
    const ProgramFolder::Result help = program.run({QStringLiteral("--help")});
    QCOMPARE(help.exitCode, 0);
    for (const char* option : {"--batch", "--source", "--letters", "--dest", "--purge", "--verify", "--report",
                               "--export", "-h | --help", "--version"})
        QVERIFY2(help.out.contains(QLatin1String(option)), option);
    for (const char* status : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  3 ", "\n  4 ", "\n  5 ", "\n  64 ", "\n  130 "})
        QVERIFY2(help.out.contains(QLatin1String(status)), status);
    QVERIFY(help.out.contains(QStringLiteral("Codes de sortie :")));
    QVERIFY(!help.out.contains(QStringLiteral("--help-all")) && !help.out.contains(QStringLiteral("Usage")));
    // Where the files are: beside the program, or in the per-user folder.
    QVERIFY2(help.out.contains(QStringLiteral("LinksTables")) && help.out.contains(vf::userDataFolder()),
             qPrintable(help.out));
    const ProgramFolder::Result shortHelp = program.run({QStringLiteral("-h")});
    QCOMPARE(shortHelp.exitCode, 0);
    QCOMPARE(shortHelp.out, help.out);

    const ProgramFolder::Result version = program.run({QStringLiteral("--version")});
    QCOMPARE(version.exitCode, 0);
    QVERIFY2(QRegularExpression(QStringLiteral("^velquor-fusion \\d+\\.\\d+\\.\\d+\\n$")).match(version.out).hasMatch(),
             qPrintable(version.out));

    // Bad usage: a French message on standard error, status 64, never the window; the window
    // itself without a display (none at all, or one that cannot be reached) says so, never aborts.
    const QList<std::tuple<QStringList, QStringList, QString>> usages = {
        {{"--batch", "--bogus"}, {}, "Option inconnue : --bogus"},
        {{"-x"}, {}, "Option inconnue : -x"},
        {{"sources"}, {}, "Argument inattendu : sources"},
        {batchArguments(m_practice) << "extra", {}, "Argument inattendu : extra"},
        {{"--batch", "--source"}, {}, "Valeur manquante après --source"},
        {{"--batch", "--purge=1"}, {}, "Cette option ne prend pas de valeur : --purge=1"},
        {{"--purge"}, {}, "Aucun mode n'est indiqué : ajoutez --batch pour importer, ou --verify pour vérifier."},
        {QStringList{"--verify"} + batchArguments(m_practice).mid(1) << "--report" << "rapport.txt", {},
         "Le nom du rapport doit finir par .html, .htm ou .json"},
        {{}, {}, "Aucun affichage graphique n'est disponible"},
        {{}, {"DISPLAY=:97"}, "Aucun affichage graphique n'est disponible"},
        {{}, {"QT_QPA_PLATFORM=wayland", "WAYLAND_DISPLAY="}, "Aucun affichage graphique n'est disponible"},
    };
    for (const auto& [arguments, environment, message] : usages) {
        QProcessEnvironment extra;
        for (const QString& variable : environment)
            extra.insert(variable.section(QLatin1Char('='), 0, 0), variable.section(QLatin1Char('='), 1));
        QProcess process;
        program.start(process, arguments, extra);
        const ProgramFolder::Result result = ProgramFolder::finish(process);
        QVERIFY2(result.exitCode == 64 && result.err.startsWith(message) && result.out.isEmpty(),
                 qPrintable(arguments.join(u' ') + QStringLiteral(" -> ") + QString::number(result.exitCode) + u' '
                            + result.err));
        QVERIFY2(!result.err.contains(QStringLiteral("qt.qpa")), qPrintable(result.err));
    }
    QVERIFY(program.logFiles().isEmpty());
}

void BatchCommandTest::badPathsEndThePreparation()
{
    ProgramFolder program(m_root.filePath(QStringLiteral("paths")));
    QVERIFY(program.isReady());
    const QString box = QStringLiteral("Veuillez renseigner correctement les chemins !");

    const QString letters = m_practice + QStringLiteral("/COURRIER/");
    const QString base = m_practice + QStringLiteral("/Base/");
    ProgramFolder::Result result =
        program.run(batchArguments(m_practice + QStringLiteral("/absent.mdb"), letters, base));
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.contains(box), qPrintable(result.err));

    // Letters "folder" that is a file; then no letters argument at all.
    const QString v3 = m_practice + QStringLiteral("/V3.mdb");
    QCOMPARE(program.run(batchArguments(v3, v3, base)).exitCode, 2);
    result = program.run({QStringLiteral("--batch"), QStringLiteral("--source"), v3, QStringLiteral("--dest"), base});
    QCOMPARE(result.exitCode, 2);
    QVERIFY(result.err.contains(box));

    // Nothing happened: no log, no settings written.
    QVERIFY(program.logFiles().isEmpty());
    QVERIFY(!QFile::exists(program.settingsPath()));
}

void BatchCommandTest::unreachableDestinationEndsThePreparation()
{
    // A PostgreSQL server address where nothing listens.
    QTemporaryDir destination;
    ProgramFolder program(m_root.filePath(QStringLiteral("unreachable")));
    QVERIFY(program.isReady());
    const QByteArray settings = "[Destination]\r\nDriver=PostgreSQL Unicode\r\nOptions=Port=1\r\n";
    writeFile(program.settingsPath(), settings);
    const QString base = destination.filePath(QStringLiteral("Base"));
    QVERIFY(QDir().mkpath(base));
    writeFile(base + QStringLiteral("/Kestrune.ver"),
              "[DBKERNEL]\r\nDatabaseName=TALMEROSIN\r\nServerName=127.0.0.1\r\nUserName=sa\r\nSAPW=\r\n");
    const QStringList arguments = batchArguments(m_practice, base);

    const ProgramFolder::Result result = program.run(arguments);
    QCOMPARE(result.exitCode, 2);
    const QString failure = QStringLiteral("Connexion à la base de données Talmérosin impossible : ");
    QVERIFY2(result.err.contains(failure), qPrintable(result.err));
    // The failure went to the log; the settings file was not written.
    const QStringList log = logLines(program);
    QVERIFY2(std::any_of(log.begin(), log.end(), [&](const QString& line) { return line.contains(failure); }),
             qPrintable(log.join(QLatin1Char('|'))));
    QCOMPARE(readFile(program.settingsPath()), settings);
}

void BatchCommandTest::unreadableUsersTableEndsThePreparation()
{
    // A source without the users table.
    VF_TEST_DESTINATION(dest, Backend::SQLite);
    QTemporaryDir practice;
    QVERIFY(QDir().mkpath(practice.filePath(QStringLiteral("COURRIER"))));
    QVERIFY(QDir().mkpath(practice.filePath(QStringLiteral("Base"))));
    mdbwriter::writeFromJson(
        R"({"tables":[{"name":"REF FONCTION","columns":[{"name":"CODE FONCTION","type":"long"},)"
        R"({"name":"LIBELLE","type":"text","size":50}],"rows":[[1,"Cardiologue"]]}]})",
        QFile::encodeName(practice.filePath(QStringLiteral("V3.mdb"))).toStdString());
    dest.writeKestrune(practice.filePath(QStringLiteral("Base")));
    ProgramFolder program(m_root.filePath(QStringLiteral("users")));
    QVERIFY(program.isReady());
    program.writeDestination(dest);

    // No doctor can be imported: a whole kind is missing.
    const ProgramFolder::Result result = program.run(batchArguments(practice.path()));
    QCOMPARE(result.exitCode, 5);
    QVERIFY2(result.err.contains(QStringLiteral("Erreur lors de l'ouverture de la table des utilisateurs : ")),
             qPrintable(result.err));
    QVERIFY(result.out.isEmpty());
}

void BatchCommandTest::linkTableThatCannotBeCreatedEndsTheProgram()
{
    VF_TEST_DESTINATION(dest, Backend::SQLite);
    QTemporaryDir base;
    dest.writeKestrune(base.path());
    ProgramFolder program(m_root.filePath(QStringLiteral("linktables")));
    QVERIFY(program.isReady());
    program.writeDestination(dest);
    writeFile(QDir(program.path()).filePath(QStringLiteral("LinksTables")), "a file where the folder goes");
    const QStringList arguments = batchArguments(m_practice, base.path());

    const ProgramFolder::Result result = program.run(arguments);
    QCOMPARE(result.exitCode, 3);
    const QString failure = QStringLiteral("Erreur lors de la création de la table temporaire Medecins.db");
    QVERIFY2(result.err.contains(failure), qPrintable(result.err));
    // The program ends at once: the log ends with the failure, without the lines of the run.
    const QStringList log = logLines(program);
    QVERIFY(log.size() >= 2);
    QCOMPARE(log.at(log.size() - 2), failure);
    QVERIFY(dest.rows(QStringLiteral("SELECT * FROM MEDECINS")).isEmpty());
}

void BatchCommandTest::sourceTableThatCannotBeOpenedLeavesTheRunUnfinished()
{
    // A source holding the users table only: every later phase's source cannot be opened.
    VF_TEST_DESTINATION(dest, Backend::SQLite);
    QTemporaryDir practice;
    QVERIFY(QDir().mkpath(practice.filePath(QStringLiteral("COURRIER"))));
    QVERIFY(QDir().mkpath(practice.filePath(QStringLiteral("Base"))));
    mdbwriter::writeFromJson(
        R"({"tables":[{"name":"GLB MEDECIN","columns":[{"name":"CODE MEDECIN","type":"long"},)"
        R"({"name":"NOM","type":"text","size":50},{"name":"PRENOM","type":"text","size":50},)"
        R"({"name":"VILLE","type":"text","size":50},{"name":"ADRESSE","type":"text","size":100},)"
        R"({"name":"CODE POSTAL","type":"text","size":10},{"name":"TELEPHONE","type":"text","size":20}],)"
        R"("rows":[[4,"Dupont","Jean","Paris","1 rue de la Paix","75001","0123456789"]]}]})",
        QFile::encodeName(practice.filePath(QStringLiteral("V3.mdb"))).toStdString());
    dest.writeKestrune(practice.filePath(QStringLiteral("Base")));
    ProgramFolder program(m_root.filePath(QStringLiteral("unfinished")));
    QVERIFY(program.isReady());
    program.writeDestination(dest);

    const ProgramFolder::Result result = program.run(batchArguments(practice.path()));
    QCOMPARE(result.exitCode, 1);
    const QStringList lines = result.outLines();
    QCOMPARE(lines.first(), QStringLiteral("1 médecins utilisateurs après importation."));
    const qsizetype end = lines.indexOf(QStringLiteral("Traitement inachevé."));
    QVERIFY(end > 0 && lines.at(end - 1).startsWith(QStringLiteral("Importation stopée après ")));
    for (const char* box : {"Erreur lors de l'ouverture de la table des médecins correspondants : ",
                            "Erreur lors de l'ouverture de la table des consultations : ",
                            "Erreur lors de l'ouverture de la table des courrier : ",
                            "Le traitement n'est pas terminé."})
        QVERIFY2(result.err.contains(QString::fromUtf8(box)), box);
    QCOMPARE(dest.scalar(QStringLiteral("SELECT NOM FROM MEDECINS")).toString(), QStringLiteral("Dupont"));
}

void BatchCommandTest::errorThatNoPhaseHandlesEndsTheRun()
{
    // A destination without MEDECINS: the users' counter cannot be seeded.
    VF_TEST_DESTINATION(dest, Backend::SQLite);
    QVERIFY(dest.exec(QStringLiteral("DROP TABLE MEDECINS")));
    QTemporaryDir base;
    dest.writeKestrune(base.path());
    ProgramFolder program(m_root.filePath(QStringLiteral("unhandled")));
    QVERIFY(program.isReady());
    program.writeDestination(dest);
    const QStringList arguments = batchArguments(m_practice, base.path());

    const ProgramFolder::Result result = program.run(arguments);
    QCOMPARE(result.exitCode, 4);
    QVERIFY2(result.err.contains(QStringLiteral("MEDECINS"), Qt::CaseInsensitive), qPrintable(result.err));
    // The end-of-run steps did not run.
    QVERIFY(!result.out.contains(QStringLiteral("Traitement")));
    QVERIFY(!result.err.contains(QStringLiteral("Le traitement")));
    QVERIFY(dest.rows(QStringLiteral("SELECT * FROM PATIENTS")).isEmpty());
}

// A copy of the program without its reader does not run the reader where the build put it, and
// the settings file's Driver cannot name a library: each ends the preparation with a message.
void BatchCommandTest::onlyTheProgramsOwnFilesAreExecuted_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("message");
    QTest::newRow("program without its reader") << QString() << "(velquor-fusion-stage) est introuvable";
    QTest::newRow("library as Driver") << "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so"
                                       << "Connexion à la base de données Talmérosin impossible : le pilote ODBC « "
                                          "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so » n'est pas un pilote installé";
}

void BatchCommandTest::onlyTheProgramsOwnFilesAreExecuted()
{
    QFETCH(QString, driver);
    QFETCH(QString, message);
    VF_TEST_DESTINATION(dest, Backend::SQLite);
    QTemporaryDir base;
    dest.writeKestrune(base.path());
    ProgramFolder program(m_root.filePath(QStringLiteral("own-") + QString::fromLatin1(QTest::currentDataTag())));
    QVERIFY(program.isReady());
    program.writeDestination(dest);
    if (driver.isEmpty())
        QVERIFY(QFile::remove(program.path() + QStringLiteral("/velquor-fusion-stage")));
    else
        writeFile(program.settingsPath(),
                  readFile(program.settingsPath()).replace("Driver=" + dest.driverName().toUtf8(), "Driver=" + driver.toUtf8()));

    const ProgramFolder::Result result = program.run(batchArguments(m_practice, base.path()));
    QCOMPARE(result.exitCode, 2);
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
}

void BatchCommandTest::finishedRunWritesItsLinesToTheLog()
{
    VF_TEST_DESTINATION(dest, Backend::SQLite);
    QTemporaryDir base;
    dest.writeKestrune(base.path());
    ProgramFolder program(m_root.filePath(QStringLiteral("finished")));
    QVERIFY(program.isReady());
    program.writeDestination(dest);
    QVERIFY(QFile::copy(m_practice + QStringLiteral("/Base/EDITOR.INI"), base.filePath(QStringLiteral("EDITOR.INI"))));
    const QStringList arguments = batchArguments(m_practice, base.path());

    const ProgramFolder::Result result = program.run(arguments);
    QCOMPARE(result.exitCode, 0);
    const QStringList lines = result.outLines();
    QVERIFY(lines.contains(QStringLiteral("Traitement terminé.")));
    QVERIFY(lines.last().startsWith(QStringLiteral("Journal : ") + program.path()));
    QVERIFY(lines.contains(QStringLiteral("5 patients après importation.")));
    QVERIFY(result.err.contains(QStringLiteral("Le traitement est terminé.")));
    // The run ends by naming its log.
    QCOMPARE(program.logFiles().size(), 1);
    QVERIFY2(result.err.endsWith(QStringLiteral("Journal d'importation : ")
                                 + QDir(program.path()).filePath(program.logFiles().first()) + u'\n'),
             qPrintable(result.err));

    // The text area's lines end the import log (CR LF after each), after its header.
    const QStringList log = logLines(program);
    QVERIFY(log.size() > lines.size() + 1);
    QCOMPARE(log.mid(log.size() - 1 - lines.size(), lines.size()), lines);
    QCOMPARE(log.last(), QString());

    // The paths were saved beside the program, and the [Destination] section kept.
    const QString settings = QString::fromUtf8(readFile(program.settingsPath()));
    QVERIFY2(settings.contains(QStringLiteral("V3=") + m_practice + QStringLiteral("/V3.mdb")), qPrintable(settings));
    QVERIFY(settings.contains(QStringLiteral("Driver=SQLite3")));
    QVERIFY(!settings.contains(QStringLiteral("Vider=")));

    // With --purge a second run empties the destination and imports everything again.
    const int patients = dest.rows(QStringLiteral("SELECT * FROM PATIENTS")).size();
    const ProgramFolder::Result purged = program.run(arguments + QStringList{QStringLiteral("--purge")});
    QCOMPARE(purged.exitCode, 0);
    QCOMPARE(dest.rows(QStringLiteral("SELECT * FROM PATIENTS")).size(), patients);
    QCOMPARE(dest.scalar(QStringLiteral("SELECT MAX(PATIENTS_ID) FROM PATIENTS")).toInt(), patients);
}

void BatchCommandTest::readerOfTheOutputGoingAwayDoesNotStopTheRun()
{
    VF_TEST_DESTINATION(dest, Backend::SQLite);
    QTemporaryDir base;
    dest.writeKestrune(base.path());
    ProgramFolder program(m_root.filePath(QStringLiteral("pipe")));
    QVERIFY(program.isReady());
    program.writeDestination(dest);
    QVERIFY(QFile::copy(m_practice + QStringLiteral("/Base/EDITOR.INI"), base.filePath(QStringLiteral("EDITOR.INI"))));
    const QStringList arguments = batchArguments(m_practice, base.path());

    // The output goes into "head -n 1", which ends after the first line.
    QProcess shell;
    shell.start(QStringLiteral("/bin/bash"),
                QStringList{QStringLiteral("-c"), QStringLiteral("\"$0\" \"$@\" | head -n 1; exit \"${PIPESTATUS[0]}\""),
                            program.program()} + arguments);
    QVERIFY(shell.waitForFinished(120000));
    QCOMPARE(shell.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(shell.readAllStandardOutput()), QStringLiteral("4 médecins utilisateurs après importation.\n"));
    QCOMPARE(dest.scalar(QStringLiteral("SELECT COUNT(*) FROM PATIENTS")).toInt(), 5);
    const QStringList log = logLines(program);
    QVERIFY(log.contains(QStringLiteral("Traitement terminé.")));
    QVERIFY(log.at(log.size() - 2).startsWith(QStringLiteral("Journal : ")));
}

QTEST_GUILESS_MAIN(BatchCommandTest)
#include "tst_batch_command.moc"
