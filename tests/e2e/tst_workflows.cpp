// How technicians use the program, on both destinations: each workflow ends with the destination
// as one clean run leaves it, or refused with nothing written.
#include "ProgramFolder.h"
#include "Snapshot.h"

#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest/QtTest>

#include <sqlite3.h>

using namespace vf::test;

namespace {

constexpr int kPatients = 30;

// A destination with its base folder (Kestrune.ver, the copied letters).
struct Site {
    Site(const QString& folder, Backend backend) : dest(backend), base(folder + QStringLiteral("/Base/"))
    {
        QDir().mkpath(base);
        dest.writeKestrune(base);
    }
    // The destination's tables, ID_VALUES and copied letters (the link tables apart).
    QStringList state() const
    {
        QStringList lines = destinationState(dest, QString(), base);
        lines.removeIf([](const QString& line) { return line.startsWith(QStringLiteral("links ")); });
        return lines;
    }
    TestDestination dest;
    QString base;
};

class Workflow {
public:
    explicit Workflow(Backend backend) : m_backend(backend)
    {
        QString errors;
        for (const int seed : {1, 2})
            if (!makePractice(practice(seed), kPatients, &errors, seed))
                QTest::qFail(qPrintable(errors), __FILE__, __LINE__);
    }
    QString practice(int seed) const { return m_dir.filePath(QStringLiteral("practice%1").arg(seed)); }
    QString path(const QString& name) const { return m_dir.filePath(name); }
    Backend backend() const { return m_backend; }

    // A destination whose EDITOR.INI names the prescription table, as the practices' own does.
    std::unique_ptr<Site> site(const QString& name) const
    {
        auto site = std::make_unique<Site>(path(name), m_backend);
        QFile::copy(practice(1) + QStringLiteral("/Base/EDITOR.INI"), site->base + QStringLiteral("EDITOR.INI"));
        return site;
    }
    std::unique_ptr<ProgramFolder> program(const QString& name, const Site& site) const
    {
        auto folder = std::make_unique<ProgramFolder>(path(name));
        folder->writeDestination(site.dest);
        return folder;
    }
    QStringList arguments(int seed, const Site& site, const QString& mode = QStringLiteral("--batch")) const
    {
        return {mode, QStringLiteral("--source"), practice(seed) + QStringLiteral("/V3.mdb"), QStringLiteral("--letters"),
                practice(seed) + QStringLiteral("/COURRIER/"), QStringLiteral("--dest"), site.base};
    }
    ProgramFolder::Result run(const ProgramFolder& program, int seed, const Site& site) const
    {
        return program.run(arguments(seed, site));
    }

    // What one run of a practice into an empty destination leaves.
    QStringList clean(int seed)
    {
        static QMap<std::pair<Backend, int>, QStringList> states;
        const auto key = std::pair{m_backend, seed};
        if (!states.contains(key)) {
            const auto target = site(QStringLiteral("clean%1").arg(seed));
            const auto folder = program(QStringLiteral("clean-program%1").arg(seed), *target);
            const ProgramFolder::Result result = run(*folder, seed, *target);
            if (result.exitCode != 0)
                QTest::qFail(qPrintable(result.err), __FILE__, __LINE__);
            states.insert(key, target->state());
        }
        return states.value(key);
    }

    // A run held at a moment (a record, the start of a phase, a commit), until release().
    bool startHeld(QProcess& process, const ProgramFolder& program, int seed, const Site& site,
                   const QString& moment = QStringLiteral("record:3"), const QStringList& more = {}) const
    {
        QProcessEnvironment hold;
        hold.insert(QStringLiteral("VF_TEST_HOLD"), moment);
        hold.insert(QStringLiteral("VF_TEST_HOLD_FILE"), path(QStringLiteral("held")));
        program.start(process, arguments(seed, site) + more, hold);
        for (int waited = 0; waited < 2400 && !QFile::exists(path(QStringLiteral("held"))); ++waited) {
            if (process.state() == QProcess::NotRunning)
                return false;
            QThread::msleep(50);
        }
        return QFile::exists(path(QStringLiteral("held")));
    }
    void release() const { QFile::remove(path(QStringLiteral("held"))); }
    // A run killed where it is held.
    bool killHeld(const ProgramFolder& program, int seed, const Site& site, const QString& moment,
                  const QStringList& more = {}) const
    {
        QProcess held;
        const bool wasHeld = startHeld(held, program, seed, site, moment, more);
        held.kill();
        held.waitForFinished();
        release();
        return wasHeld;
    }

private:
    Backend m_backend;
    QTemporaryDir m_dir;
};

// Every file of a folder with its bytes, to show that a refused run changed none.
QMap<QString, QByteArray> filesOf(const QString& folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        if (!file.endsWith(QStringLiteral(".lock")))
            files.insert(file, readFile(file));
    }
    return files;
}

int countIn(const QString& linkTable, const char* table)
{
    sqlite3* db = nullptr;
    int count = -1;
    if (sqlite3_open(linkTable.toUtf8().constData(), &db) == SQLITE_OK)
        sqlite3_exec(db, (QByteArray("SELECT COUNT(*) FROM ") + table).constData(),
                     [](void* out, int, char** values, char**) { *static_cast<int*>(out) = atoi(values[0]); return 0; },
                     &count, nullptr);
    sqlite3_close(db);
    return count;
}

void changeLinkTable(const QString& linkTable, const QString& statements)
{
    sqlite3* db = nullptr;
    QCOMPARE(sqlite3_open(linkTable.toUtf8().constData(), &db), SQLITE_OK);
    const QByteArray sql = statements.toUtf8();
    const int rc = sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    QCOMPARE(rc, SQLITE_OK);
}

} // namespace

class WorkflowsTest : public QObject {
    Q_OBJECT

private slots:
    void workflows_data();
    void workflows();
};

void WorkflowsTest::workflows_data()
{
    QTest::addColumn<Backend>("backend");
    QTest::addColumn<QString>("workflow");
    QTest::addColumn<QString>("refusal"); // empty: the last run imports
    const QList<std::pair<QString, QString>> rows = {
        {QStringLiteral("trial then real"), QString()},
        {QStringLiteral("second practice"), QString()},
        {QStringLiteral("another practice's file"), QStringLiteral("n'est pas celle du cabinet déjà importé")},
        {QStringLiteral("two runs at once"), QStringLiteral("sont utilisées par une importation en traitement par lots")},
        {QStringLiteral("second program folder"), QStringLiteral("contient déjà 30 des 30 patients")},
        {QStringLiteral("another practice from a second program folder"), QStringLiteral("elle a reçu un autre cabinet")},
        {QStringLiteral("destination recreated"), QStringLiteral("ne contient plus les patients")},
        {QStringLiteral("pending pairs that cannot settle"), QString()},
        {QStringLiteral("earlier version's link tables"), QString()},
        {QStringLiteral("newer link table"), QStringLiteral("Letters.db est d'un format plus récent (99)")},
        {QStringLiteral("purge stopped, resumed without purge"), QString()},
        {QStringLiteral("copies and links lost in the destination"), QString()},
        {QStringLiteral("rows deleted in the destination"), QString()},
        {QStringLiteral("destination restored without its consultations"), QStringLiteral("consultations : ")},
        {QStringLiteral("another practice after a first run killed"), QStringLiteral("n'est pas celle du cabinet déjà importé")},
    };
    for (const Backend backend : {Backend::SQLite, Backend::PostgreSQL})
        for (const auto& [workflow, refusal] : rows)
            QTest::newRow(qPrintable(workflow + u'/' + backendName(backend))) << backend << workflow << refusal;
}

void WorkflowsTest::workflows()
{
    QFETCH(Backend, backend);
    QFETCH(QString, workflow);
    QFETCH(QString, refusal);
    Workflow w(backend);
    const auto first = w.site(QStringLiteral("first"));
    QVERIFY2(first->dest.isReady(), qPrintable(first->dest.errorMessage()));
    const auto program = w.program(QStringLiteral("program"), *first);
    const ProgramFolder::Result trial = w.run(*program, 1, *first);
    QVERIFY2(trial.exitCode == 0, qPrintable(trial.err));

    std::unique_ptr<Site> target;
    ProgramFolder::Result last;
    int practice = 1;
    QStringList before;
    QMap<QString, QByteArray> linksBefore;
    std::unique_ptr<ProgramFolder> other;
    const ProgramFolder* refusedBy = program.get(); // the refused run's program folder, for --verify
    int refusedPractice = 1;
    const auto remember = [&](const Site& site) {
        before = site.state();
        linksBefore = filesOf(program->path() + QStringLiteral("/LinksTables"));
    };
    if (workflow == QLatin1String("trial then real") || workflow == QLatin1String("second practice")) {
        practice = workflow == QLatin1String("trial then real") ? 1 : 2;
        target = w.site(QStringLiteral("second"));
        last = w.run(*program, practice, *target);
    } else if (workflow == QLatin1String("another practice's file")) {
        remember(*first);
        refusedPractice = 2;
        last = w.run(*program, 2, *first);
    } else if (workflow == QLatin1String("two runs at once")) {
        // A second run and a verification while a run holds the link tables are refused at once;
        // the holder killed, the next run goes on from where it stopped.
        target = w.site(QStringLiteral("second"));
        QProcess held;
        QVERIFY(w.startHeld(held, *program, 1, *target));
        last = w.run(*program, 1, *target);
        const ProgramFolder::Result verify = program->run(w.arguments(1, *target, QStringLiteral("--verify")));
        QCOMPARE(verify.exitCode, 2);
        QVERIFY2(verify.err.contains(refusal), qPrintable(verify.err));
        held.kill();
        held.waitForFinished();
        w.release();
        QCOMPARE(last.exitCode, 2);
        QVERIFY2(last.err.contains(refusal), qPrintable(last.err));
        last = w.run(*program, 1, *target);
        refusal.clear();
    } else if (workflow.endsWith(QLatin1String("second program folder"))) {
        remember(*first);
        other = w.program(QStringLiteral("other-program"), *first);
        refusedBy = other.get();
        refusedPractice = workflow.startsWith(QLatin1String("another practice")) ? 2 : 1;
        last = w.run(*other, refusedPractice, *first);
        QVERIFY(!QFileInfo::exists(other->path() + QStringLiteral("/LinksTables/") + QFileInfo(destinationLinksTables(program->path())).fileName()));
    } else if (workflow == QLatin1String("destination recreated")) {
        for (const char* table : {"MEDECINS", "MEDTRAIT", "PATIENTS", "PATMEDTR", "ANTECED", "MOTCONSU", "ORDONNANCES",
                                  "LETTERS", "ID_VALUES"})
            QVERIFY(first->dest.exec(QStringLiteral("DELETE FROM ") + QString::fromLatin1(table)));
        QVERIFY(QDir(first->base + QStringLiteral("LETTERS")).removeRecursively());
        remember(*first);
        last = w.run(*program, 1, *first);
    } else if (workflow == QLatin1String("newer link table")) {
        // Written by a newer program: the run stops before its first phase, not at the letters.
        changeLinkTable(destinationLinksTables(program->path()) + QStringLiteral("/Letters.db"),
                        QStringLiteral("PRAGMA user_version=99"));
        refusedBy = nullptr; // the verification cannot read that file either
        remember(*first);
        last = w.run(*program, 1, *first);
    } else if (workflow == QLatin1String("earlier version's link tables")) {
        // Link tables kept directly in LinksTables, as earlier versions did: a run into another,
        // empty destination leaves them; the run into theirs takes them and imports nothing twice.
        const QDir root(program->path() + QStringLiteral("/LinksTables"));
        const QString bound = destinationLinksTables(program->path());
        const QStringList files = QDir(bound).entryList({QStringLiteral("*.db")}, QDir::Files);
        QVERIFY(files.contains(QStringLiteral("Patients.db")));
        for (const QString& file : files)
            QVERIFY(QFile::rename(QDir(bound).filePath(file), root.filePath(file)));
        QVERIFY(QDir(bound).removeRecursively());
        const auto second = w.site(QStringLiteral("second"));
        const ProgramFolder::Result elsewhere = w.run(*program, 1, *second);
        QVERIFY2(elsewhere.exitCode == 0, qPrintable(elsewhere.err));
        QCOMPARE(second->state(), w.clean(1));
        QCOMPARE(root.entryList({QStringLiteral("*.db")}, QDir::Files), files);
        last = w.run(*program, 1, *first);
        QCOMPARE(last.outLines().filter(QStringLiteral("Tables de liens d'une version précédente reprises")).size(), 1);
        QCOMPARE(root.entryList({QStringLiteral("*.db")}, QDir::Files), QStringList());
    } else if (workflow == QLatin1String("purge stopped, resumed without purge")) {
        // Killed as the consultations start: the purge emptied every table and every link table.
        QVERIFY(w.killHeld(*program, 1, *first, QStringLiteral("phase:5"), {QStringLiteral("--purge")}));
        last = w.run(*program, 1, *first);
        QVERIFY2(last.exitCode == 0, qPrintable(last.err + last.out));
        // As one purge run that nothing stopped leaves it.
        const QStringList resumed = first->state();
        const ProgramFolder::Result purge = program->run(w.arguments(1, *first) + QStringList{QStringLiteral("--purge")});
        QVERIFY2(purge.exitCode == 0, qPrintable(purge.err));
        QCOMPARE(resumed, first->state());
        return;
    } else if (workflow == QLatin1String("copies and links lost in the destination")) {
        // A copy removed, one changed, a patient's link deleted: the next run puts them back.
        QStringList copies;
        QDirIterator it(first->base + QStringLiteral("LETTERS"), {QStringLiteral("*.HED")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            copies.append(it.next());
        QVERIFY(copies.size() >= 2);
        QVERIFY(QFile::remove(copies[0]));
        writeFile(copies[1], "{\\rtf1 changed}");
        QVERIFY(first->dest.exec(QStringLiteral("DELETE FROM PATMEDTR WHERE PATMEDTR_ID = (SELECT MAX(PATMEDTR_ID) FROM PATMEDTR)")));
        QCOMPARE(program->run(w.arguments(1, *first, QStringLiteral("--verify"))).exitCode, 1);
        last = w.run(*program, 1, *first);
        QCOMPARE(last.outLines().filter(QStringLiteral("a été copié de nouveau")).size(), 2);
        QCOMPARE(program->run(w.arguments(1, *first, QStringLiteral("--verify"))).exitCode, 0);
        // The link comes back under a new identifier: the rows are compared without it.
        QStringList state = first->state(), clean = w.clean(1);
        for (QStringList* lines : {&state, &clean})
            lines->removeIf([](const QString& line) { return line.contains(QStringLiteral("PATMEDTR")); });
        QCOMPARE(state, clean);
        QCOMPARE(QStringLiteral("table PATMEDTR %1").arg(first->dest.scalar(QStringLiteral("SELECT COUNT(*) FROM PATMEDTR")).toInt()),
                 w.clean(1).filter(QStringLiteral("table PATMEDTR ")).value(0).section(u' ', 0, 2));
        return;
    } else if (workflow == QLatin1String("rows deleted in the destination")) {
        // Named by the run, which exits 1, and by --verify; imported again when asked.
        QVERIFY(first->dest.exec(QStringLiteral("DELETE FROM MOTCONSU WHERE MOTCONSU_ID = (SELECT MIN(MOTCONSU_ID) FROM MOTCONSU)")));
        QVERIFY(first->dest.exec(QStringLiteral("DELETE FROM LETTERS WHERE LETTERS_ID = (SELECT MIN(LETTERS_ID) FROM LETTERS)")));
        const ProgramFolder::Result named = w.run(*program, 1, *first);
        QCOMPARE(named.exitCode, 1);
        QVERIFY2(named.outLines().filter(QStringLiteral("Absent de la base Talmérosin : ")).size() >= 2, qPrintable(named.out));
        QVERIFY2(named.outLines().filter(QStringLiteral("  Total : ")).value(0).contains(QStringLiteral(" absents de la destination.")),
                 qPrintable(named.out));
        const ProgramFolder::Result verify = program->run(w.arguments(1, *first, QStringLiteral("--verify")));
        QCOMPARE(verify.exitCode, 1);
        QVERIFY2(verify.out.contains(QStringLiteral("--restore-missing")), qPrintable(verify.out));
        last = program->run(w.arguments(1, *first) + QStringList{QStringLiteral("--restore-missing")});
        QVERIFY2(last.out.contains(QStringLiteral("seront importés de nouveau (--restore-missing)")), qPrintable(last.out));
        QVERIFY2(last.exitCode == 0, qPrintable(last.err + last.out));
        QCOMPARE(program->run(w.arguments(1, *first, QStringLiteral("--verify"))).exitCode, 0);
        return;
    } else if (workflow == QLatin1String("destination restored without its consultations")) {
        QVERIFY(first->dest.exec(QStringLiteral("DELETE FROM MOTCONSU")));
        remember(*first);
        last = w.run(*program, 1, *first);
    } else if (workflow == QLatin1String("another practice after a first run killed")) {
        // The first run into an empty destination dies once its patients are committed, their
        // pairs still pending: another practice's file is refused all the same.
        target = w.site(QStringLiteral("second"));
        const auto fresh = w.program(QStringLiteral("fresh-program"), *target);
        QVERIFY(w.killHeld(*fresh, 1, *target, QStringLiteral("committed:3")));
        const QString patients = destinationLinksTables(fresh->path()) + QStringLiteral("/Patients.db");
        QCOMPARE(countIn(patients, "LINKS"), 0);
        QVERIFY(countIn(patients, "PENDING") > 0);
        before = target->state();
        last = w.run(*fresh, 2, *target);
        QCOMPARE(last.exitCode, 2);
        QVERIFY2(last.err.contains(refusal), qPrintable(last.err));
        QCOMPARE(target->state(), before);
        return;
    } else {
        // A pending pair whose code has its pair already (a second program ran at once), and
        // one naming a table that does not exist: each dropped with one line.
        const QString patients = destinationLinksTables(program->path()) + QStringLiteral("/Patients.db");
        changeLinkTable(patients, QStringLiteral("INSERT INTO PENDING SELECT min(SOURCE), 99999, 'PATIENTS', 'PATIENTS_ID', "
                                                 "'', '' FROM LINKS; INSERT INTO PENDING VALUES (999999, 5, "
                                                 "'NO_SUCH_TABLE', 'ID', '', '')"));
        const ProgramFolder::Result verify = program->run(w.arguments(1, *first, QStringLiteral("--verify")));
        QCOMPARE(verify.exitCode, 1);
        QVERIFY2(verify.out.contains(QStringLiteral("la ligne PATIENTS_ID = 99999 de PATIENTS est un doublon")), qPrintable(verify.out));
        last = w.run(*program, 1, *first);
        QCOMPARE(last.outLines().filter(QStringLiteral("Paire en attente abandonnée")).size(), 2);
        QVERIFY2(last.out.contains(QStringLiteral("ligne PATIENTS PATIENTS_ID=99999")), qPrintable(last.out));
        target.reset();
    }

    if (refusal.isEmpty()) {
        QVERIFY2(last.exitCode == 0, qPrintable(last.err + last.out));
        QCOMPARE((target ? target : first)->state(), w.clean(practice));
    } else {
        QCOMPARE(last.exitCode, 2);
        QVERIFY2(last.err.contains(refusal), qPrintable(last.err));
        QCOMPARE(first->state(), before);
        QCOMPARE(filesOf(program->path() + QStringLiteral("/LinksTables")), linksBefore);
        // --verify, from the program folder of the refused run, makes the same checks and says
        // what the run would do.
        if (refusedBy) {
            const ProgramFolder::Result verify = refusedBy->run(w.arguments(refusedPractice, *first, QStringLiteral("--verify")));
            QCOMPARE(verify.exitCode, 1);
            QVERIFY2(verify.out.contains(QStringLiteral("l'importation serait refusée : ")) && verify.out.contains(refusal),
                     qPrintable(verify.out));
        }
    }
}

QTEST_GUILESS_MAIN(WorkflowsTest)
#include "tst_workflows.moc"
