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

    // A run held at a record, until release().
    bool startHeld(QProcess& process, const ProgramFolder& program, int seed, const Site& site) const
    {
        QProcessEnvironment hold;
        hold.insert(QStringLiteral("VF_TEST_HOLD"), QStringLiteral("record:3"));
        hold.insert(QStringLiteral("VF_TEST_HOLD_FILE"), path(QStringLiteral("held")));
        program.start(process, arguments(seed, site), hold);
        for (int waited = 0; waited < 2400 && !QFile::exists(path(QStringLiteral("held"))); ++waited) {
            if (process.state() == QProcess::NotRunning)
                return false;
            QThread::msleep(50);
        }
        return QFile::exists(path(QStringLiteral("held")));
    }
    void release() const { QFile::remove(path(QStringLiteral("held"))); }

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
        const auto other = w.program(QStringLiteral("other-program"), *first);
        last = w.run(*other, workflow.startsWith(QLatin1String("another practice")) ? 2 : 1, *first);
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
    }
}

QTEST_GUILESS_MAIN(WorkflowsTest)
#include "tst_workflows.moc"
