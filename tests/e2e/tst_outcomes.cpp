// What the technician is told at the end of a batch run, and by --verify: a kind of record
// missing as a whole is no success; the summary's figures are the destination's rows; the purge
// asks, and a batch run leaves the window's purge box alone; every wrong path is named.
#include "ProgramFolder.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest/QtTest>

using namespace vf::test;

namespace {

// A generated practice with a program folder of its own, imported into a test destination.
struct Practice {
    Practice(const QString& root, const TestDestination& dest, int patients)
        : folder(root + QStringLiteral("/practice")), program(root + QStringLiteral("/program"))
    {
        QString errors;
        if (!makePractice(folder, patients, &errors) || !program.isReady())
            QTest::qFail(qPrintable(errors), __FILE__, __LINE__);
        dest.writeKestrune(base());
        program.writeDestination(dest);
    }
    QString base() const { return folder + QStringLiteral("/Base/"); }
    QString letters() const { return folder + QStringLiteral("/COURRIER/"); }
    QStringList arguments(const QString& mode) const
    {
        return {mode, QStringLiteral("--source"), folder + QStringLiteral("/V3.mdb"), QStringLiteral("--letters"), letters(),
                QStringLiteral("--dest"), base()};
    }
    ProgramFolder::Result run(const QString& mode, const QStringList& more = {}) const
    {
        return program.run(arguments(mode) + more);
    }

    const QString folder;
    const ProgramFolder program;
};

// The summary's figures of one kind: source, imported by the run, already there, refused.
struct Figures {
    int source = -1, byRun = -1, already = -1, refused = -1;
};

Figures summaryFigures(const QStringList& lines, const QString& kind)
{
    const QRegularExpression pattern(QStringLiteral("^  %1 : (\\d+) source, (\\d+) importés, (\\d+) déjà présents, (\\d+) refusés")
                                         .arg(QRegularExpression::escape(kind)));
    for (const QString& line : lines)
        if (const QRegularExpressionMatch match = pattern.match(line); match.hasMatch())
            return {match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt(), match.captured(4).toInt()};
    return {};
}

// The imported column of --verify's table for a kind.
int verifiedImported(const QString& out, const QString& kind)
{
    const QRegularExpression pattern(QStringLiteral("^%1\\s+(\\d+)\\s+(\\d+)").arg(QRegularExpression::escape(kind)),
                                     QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = pattern.match(out);
    return match.hasMatch() ? match.captured(2).toInt() : -1;
}

} // namespace

class OutcomesTest : public QObject {
    Q_OBJECT

private slots:
    void wholeKindMissing_data();
    void wholeKindMissing();
    void summaryCountsTheDestinationRows_data() { addBackendColumn(); }
    void summaryCountsTheDestinationRows();
    void purgeAsksAndLeavesTheWindowsBox();
    void wrongPathsAreNamed_data();
    void wrongPathsAreNamed();

private:
    QTemporaryDir m_root;
};

void OutcomesTest::wholeKindMissing_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no prescription table") << "editor" << "Prescriptions : le fichier EDITOR.INI";
    QTest::newRow("letters folder without the letters") << "letters" << "Courriers : le dossier des courriers";
}

// The run goes to its end, then says what is missing in a warning and exits 5; --verify is not
// complete (1) and says why and what to do.
void OutcomesTest::wholeKindMissing()
{
    QFETCH(QString, damage);
    QFETCH(QString, reason);
    VF_TEST_DESTINATION(dest, Backend::SQLite);
    const Practice practice(m_root.filePath(QStringLiteral("missing-") + damage), dest, 8);
    if (damage == QLatin1String("editor")) {
        QVERIFY(QFile::remove(practice.base() + QStringLiteral("EDITOR.INI")));
    } else {
        QVERIFY(QDir(practice.letters()).removeRecursively());
        QVERIFY(QDir().mkpath(practice.letters()));
    }

    const ProgramFolder::Result run = practice.run(QStringLiteral("--batch"));
    QVERIFY2(run.exitCode == 5, qPrintable(QString::number(run.exitCode) + run.err));
    QVERIFY2(run.err.contains(QStringLiteral("Attention : Le traitement est terminé, mais des types d'enregistrements "
                                             "n'ont pas été importés du tout :\n") + reason),
             qPrintable(run.err));
    QVERIFY(!run.err.contains(QStringLiteral("Le traitement est terminé.\n")));
    QVERIFY(run.outLines().contains(QStringLiteral("Traitement terminé.")));
    QVERIFY(run.out.contains(QStringLiteral("Attention, rien n'est importé : ") + reason));

    const ProgramFolder::Result verify = practice.run(QStringLiteral("--verify"));
    QCOMPARE(verify.exitCode, 1);
    QVERIFY2(verify.out.contains(QStringLiteral("Rien n'est importé pour : ") + reason), qPrintable(verify.out));
    QVERIFY(verify.out.contains(QStringLiteral("puis relancer l'importation.")));
    QVERIFY(!verify.out.contains(QStringLiteral("La migration est complète")));
}

// After a first and a second run, each kind's imported records are the destination's rows (where
// a record is a row), and --verify's; the second run imports nothing and finds everything there.
void OutcomesTest::summaryCountsTheDestinationRows()
{
    QFETCH(Backend, backend);
    VF_TEST_DESTINATION(dest, backend);
    const Practice practice(m_root.filePath(QStringLiteral("summary-") + backendName(backend)), dest, 40);
    const QList<std::pair<QString, QString>> kinds = {
        {QStringLiteral("Médecins utilisateurs"), QStringLiteral("MEDECINS")},
        {QStringLiteral("Correspondants"), QStringLiteral("MEDTRAIT")},
        {QStringLiteral("Patients"), QStringLiteral("PATIENTS")},
        {QStringLiteral("Liens patient <-> correspondant"), QStringLiteral("PATMEDTR")},
        {QStringLiteral("Antécédents"), QString()}, // items, gathered in one ANTECED row per patient
        {QStringLiteral("Prescriptions"), QString()}, // gathered in one row per patient and minute
        {QStringLiteral("Fiches de synthèse"), QString()}, // appended to their consultations
        {QStringLiteral("Courriers"), QStringLiteral("LETTERS")},
    };

    const ProgramFolder::Result first = practice.run(QStringLiteral("--batch"));
    QVERIFY2(first.exitCode == 0, qPrintable(first.err));
    const ProgramFolder::Result verify = practice.run(QStringLiteral("--verify"));
    QCOMPARE(verify.exitCode, 0);
    const ProgramFolder::Result second = practice.run(QStringLiteral("--batch"));
    QCOMPARE(second.exitCode, 0);
    for (const auto& [kind, table] : kinds) {
        const Figures once = summaryFigures(first.outLines(), kind);
        const Figures again = summaryFigures(second.outLines(), kind);
        const int rows = table.isEmpty() ? once.byRun : dest.scalar(QStringLiteral("SELECT COUNT(*) FROM ") + table).toInt();
        QVERIFY2(once.source > 0 && once.byRun == rows && once.already == 0, qPrintable(kind));
        QCOMPARE(once.byRun, verifiedImported(verify.out, kind));
        QCOMPARE(once.source, once.byRun + once.refused);
        QVERIFY2(again.byRun == 0 && again.already == rows && again.refused == once.refused, qPrintable(kind));
    }
    // History items without a label are counted in the run itself, and the log is named.
    QVERIFY(first.out.contains(QRegularExpression(QStringLiteral("Antécédents : .*antécédent sans libellé : \\d+"))));
    QVERIFY(first.outLines().last().startsWith(QStringLiteral("Journal : ") + practice.program.path()));
}

// --purge answers the question, which names the destination and the rows; the settings file
// keeps the window's box as it was.
void OutcomesTest::purgeAsksAndLeavesTheWindowsBox()
{
    VF_TEST_DESTINATION(dest, Backend::SQLite);
    const Practice practice(m_root.filePath(QStringLiteral("purge")), dest, 5);
    QCOMPARE(practice.run(QStringLiteral("--batch")).exitCode, 0);
    const QString settings = practice.program.settingsPath();
    writeFile(settings, readFile(settings) + "[Main]\r\nVider=0\r\n");
    int rows = 0;
    for (const char* table : {"MEDECINS", "MEDTRAIT", "PATIENTS", "PATMEDTR", "ANTECED", "MOTCONSU", "ORDONNANCES", "LETTERS"})
        rows += dest.scalar(QStringLiteral("SELECT COUNT(*) FROM ") + QLatin1String(table)).toInt();

    const ProgramFolder::Result purged = practice.run(QStringLiteral("--batch"), {QStringLiteral("--purge")});
    QCOMPARE(purged.exitCode, 0);
    const QRegularExpressionMatch question =
        QRegularExpression(QStringLiteral("La purge va supprimer (\\d+) lignes de la base (.+) du serveur (\\S*), sans retour "
                                          "possible\\. Vider la base avant importation \\? Oui \\(--purge\\)"))
            .match(purged.err);
    QVERIFY2(question.hasMatch(), qPrintable(purged.err));
    QVERIFY(question.captured(1).toInt() >= rows);
    QVERIFY(readFile(practice.base() + QStringLiteral("Kestrune.ver")).contains("DatabaseName=" + question.captured(2).toUtf8()));
    QVERIFY(purged.out.contains(QStringLiteral("Purge des données terminée.")));
    QVERIFY(readFile(settings).contains("Vider=0"));
    QVERIFY(!readFile(settings).contains("Vider=1"));
}

void OutcomesTest::wrongPathsAreNamed_data()
{
    QTest::addColumn<QString>("wrong");
    QTest::addColumn<QString>("line");
    QTest::newRow("source file missing") << "source" << "--source : le fichier %1/absent.mdb est introuvable.";
    QTest::newRow("letters folder missing") << "letters" << "--letters : le dossier %1/absent est introuvable.";
    QTest::newRow("Kestrune.ver missing") << "kestrune" << "--dest : le dossier %1/ ne contient pas le fichier Kestrune.ver.";
    QTest::newRow("no --dest") << "dest" << "--dest : aucun dossier n'est indiqué.";
}

// After the paths message, one line for each wrong path, naming it and why.
void OutcomesTest::wrongPathsAreNamed()
{
    QFETCH(QString, wrong);
    QFETCH(QString, line);
    VF_TEST_DESTINATION(dest, Backend::SQLite);
    const QString root = m_root.filePath(QStringLiteral("paths-") + wrong);
    const Practice practice(root, dest, 3);
    QStringList arguments = practice.arguments(QStringLiteral("--batch"));
    if (wrong == QLatin1String("source"))
        arguments[2] = root + QStringLiteral("/absent.mdb");
    else if (wrong == QLatin1String("letters"))
        arguments[4] = root + QStringLiteral("/absent");
    else if (wrong == QLatin1String("kestrune"))
        arguments[6] = root + QLatin1Char('/');
    else
        arguments = arguments.mid(0, 5);

    const ProgramFolder::Result result = practice.program.run(arguments);
    QCOMPARE(result.exitCode, 2);
    QVERIFY(result.err.contains(QStringLiteral("Veuillez renseigner correctement les chemins !")));
    QCOMPARE(result.outLines(), QStringList{line.arg(root)});
    const ProgramFolder::Result verify = practice.program.run(QStringList{QStringLiteral("--verify")} + arguments.mid(1));
    QCOMPARE(verify.exitCode, 2);
    QVERIFY2(verify.err.contains(QStringLiteral("Veuillez renseigner correctement les chemins !\n") + line.arg(root)),
             qPrintable(verify.err));
}

QTEST_GUILESS_MAIN(OutcomesTest)
#include "tst_outcomes.moc"
