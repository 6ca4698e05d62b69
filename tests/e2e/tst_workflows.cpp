// How technicians use the program, on both destinations: each workflow ends with the destination
// as one clean run leaves it, or refused with nothing written.
#include "ProgramFolder.h"
#include "Snapshot.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
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
    void catchUp_data();
    void catchUp();
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
    for (const Backend backend : testBackends())
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
        changeLinkTable(patients, QStringLiteral("INSERT INTO PENDING (SOURCE, DEST, ROW_TABLE, ROW_ID_COLUMN, PROOF_COLUMN, PROOF) "
                                                 "SELECT min(SOURCE), 99999, 'PATIENTS', 'PATIENTS_ID', '', '' FROM LINKS; "
                                                 "INSERT INTO PENDING (SOURCE, DEST, ROW_TABLE, ROW_ID_COLUMN, PROOF_COLUMN, PROOF) "
                                                 "VALUES (999999, 5, 'NO_SUCH_TABLE', 'ID', '', '')"));
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

namespace {

// A verification's JSON report, by kind title.
QMap<QString, QJsonObject> verifiedKinds(const ProgramFolder& program, const QStringList& arguments, const QString& report,
                                         int* exitCode)
{
    const ProgramFolder::Result verify = program.run(arguments + QStringList{QStringLiteral("--report"), report});
    *exitCode = verify.exitCode;
    QMap<QString, QJsonObject> kinds;
    for (const QJsonValue kind : QJsonDocument::fromJson(readFile(report)).object().value(QStringLiteral("kinds")).toArray())
        kinds.insert(kind.toObject().value(QStringLiteral("title")).toString(), kind.toObject());
    return kinds;
}

// The records of a kind in that state: their names, with their fields for changed ones.
QMap<QString, QStringList> recordsIn(const QJsonObject& kind, const QString& state)
{
    QMap<QString, QStringList> records;
    for (const QJsonValue record : kind.value(QStringLiteral("records")).toArray())
        if (record.toObject().value(QStringLiteral("state")).toString() == state) {
            QStringList fields;
            for (const QJsonValue field : record.toObject().value(QStringLiteral("fields")).toArray())
                fields.append(field.toString());
            records.insert(record.toObject().value(QStringLiteral("name")).toString(), fields);
        }
    return records;
}

// The destination identifier of a source code in a link table.
int destOf(const ProgramFolder& program, const QString& linkTable, int code)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2((destinationLinksTables(program.path()) + u'/' + linkTable).toUtf8().constData(), &db, SQLITE_OPEN_READONLY,
                    nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT DEST FROM LINKS WHERE SOURCE = ?", -1, &statement, nullptr);
    sqlite3_bind_int(statement, 1, code);
    const int dest = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int(statement, 0) : 0;
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return dest;
}

// The first number after "n°" in a record's name, and the one after the second.
int numberIn(const QString& name, int which = 0)
{
    return name.section(QStringLiteral("n°"), which + 1, which + 1).section(QRegularExpression(QStringLiteral("[^0-9]")), 0, 0).toInt();
}

} // namespace

void WorkflowsTest::catchUp_data()
{
    QTest::addColumn<Backend>("backend");
    for (const Backend backend : testBackends())
        QTest::newRow(qPrintable(backendName(backend))) << backend;
}

// The practice edited after a first import, as a doctor edits it, one patient and one patient's
// history also edited in the destination: --verify names the changes, the catch-up run carries
// them (the destination's own edits kept) and --verify then finds the migration complete.
void WorkflowsTest::catchUp()
{
    QFETCH(Backend, backend);
    Workflow w(backend);
    const auto site = w.site(QStringLiteral("first"));
    QVERIFY2(site->dest.isReady(), qPrintable(site->dest.errorMessage()));
    const auto program = w.program(QStringLiteral("program"), *site);
    const ProgramFolder::Result first = w.run(*program, 1, *site);
    QVERIFY2(first.exitCode == 0, qPrintable(first.err));
    QString errors;
    QVERIFY2(makePractice(w.practice(1), kPatients, &errors, 1, 200), qPrintable(errors));

    int status = -1;
    const QStringList verify = w.arguments(1, *site, QStringLiteral("--verify"));
    QMap<QString, QJsonObject> kinds = verifiedKinds(*program, verify, w.path(QStringLiteral("before.json")), &status);
    QCOMPARE(status, 1);
    // Each row of a doctor's edits, named with the source fields that changed.
    const QList<std::pair<QString, QStringList>> expected = {
        {QStringLiteral("Patients"), {QStringLiteral("NOM"), QStringLiteral("PRENOM"), QStringLiteral("ADRESSE"),
                                      QStringLiteral("CODE POSTAL")}},
        {QStringLiteral("Correspondants"), {QStringLiteral("RUE")}},
        {QStringLiteral("Antécédents"), {QStringLiteral("DONNEES")}},
        {QStringLiteral("Consultations"), {QStringLiteral("DONNEES"), QStringLiteral("lignes")}},
        {QStringLiteral("Prescriptions"), {QStringLiteral("lignes")}},
        {QStringLiteral("Fiches de synthèse"), {QStringLiteral("lignes")}},
        {QStringLiteral("Courriers"), {QStringLiteral("LIBELLE"), QStringLiteral("fichier")}},
    };
    for (const auto& [title, fields] : expected) {
        const QMap<QString, QStringList> changed = recordsIn(kinds.value(title), QStringLiteral("changed"));
        QVERIFY2(!changed.isEmpty(), qPrintable(title));
        QCOMPARE(kinds.value(title).value(QStringLiteral("changed")).toInt(), changed.size());
        for (const QString& field : fields)
            QVERIFY2(changed.first().contains(field), qPrintable(title + u' ' + changed.first().join(u',')));
    }
    const int deleted = kinds.value(QStringLiteral("Consultations")).value(QStringLiteral("deleted_in_source")).toInt();
    QVERIFY(deleted > 0);

    // Edited in Talmérosin too: a changed patient's address, and another part of a changed
    // history item's text.
    const QStringList patients = recordsIn(kinds.value(QStringLiteral("Patients")), QStringLiteral("changed")).keys();
    const int keptPatient = destOf(*program, QStringLiteral("Patients.db"), numberIn(patients.first()));
    const int carriedPatient = destOf(*program, QStringLiteral("Patients.db"), numberIn(patients.last()));
    QVERIFY(keptPatient != carriedPatient);
    QVERIFY(site->dest.exec(QStringLiteral("UPDATE PATIENTS SET ADRESSE = 'adresse de Talmérosin' WHERE PATIENTS_ID = %1").arg(keptPatient)));
    const QString item = recordsIn(kinds.value(QStringLiteral("Antécédents")), QStringLiteral("changed")).firstKey();
    const int itemRow = destOf(*program, QStringLiteral("Anteced.db"), numberIn(item));
    QVERIFY(site->dest.exec(QStringLiteral("UPDATE ANTECED SET AUTRES = AUTRES || ' [note de Talmérosin]' WHERE ANTECED_ID = %1").arg(itemRow)));
    const int consultations = site->dest.scalar(QStringLiteral("SELECT COUNT(*) FROM MOTCONSU")).toInt();

    const ProgramFolder::Result catchUp = w.run(*program, 1, *site);
    QVERIFY2(catchUp.exitCode == 0, qPrintable(catchUp.err + catchUp.out));
    const QStringList kept = catchUp.outLines().filter(QStringLiteral("la version de Talmérosin est gardée"));
    QVERIFY2(kept.size() == 1, qPrintable(catchUp.out));
    QVERIFY2(kept.first().contains(QStringLiteral("Le dossier n°%1 ").arg(numberIn(patients.first()))), qPrintable(kept.first()));
    QVERIFY2(catchUp.out.contains(QStringLiteral("mis à jour par cette importation")), qPrintable(catchUp.out));

    QCOMPARE(site->dest.scalar(QStringLiteral("SELECT ADRESSE FROM PATIENTS WHERE PATIENTS_ID = %1").arg(keptPatient)).toString(),
             QStringLiteral("adresse de Talmérosin"));
    QCOMPARE(site->dest.scalar(QStringLiteral("SELECT ADRESSE FROM PATIENTS WHERE PATIENTS_ID = %1").arg(carriedPatient)).toString(),
             QStringLiteral("12, rue Corrigée"));
    const QString history = site->dest.scalar(QStringLiteral("SELECT AUTRES FROM ANTECED WHERE ANTECED_ID = %1").arg(itemRow)).toString();
    QVERIFY2(history.contains(QStringLiteral(" (complété)")) && history.endsWith(QStringLiteral(" [note de Talmérosin]")),
             qPrintable(history));
    QCOMPARE(site->dest.scalar(QStringLiteral("SELECT COUNT(*) FROM PATMEDTR WHERE PATIENTS_ID = %1 AND MEDTRAIT_ID = %2")
                                   .arg(carriedPatient)
                                   .arg(destOf(*program, QStringLiteral("Medtrait.db"), 1)))
                 .toInt(),
             1);
    // Deleted from the source, kept in the destination; nothing added.
    QCOMPARE(site->dest.scalar(QStringLiteral("SELECT COUNT(*) FROM MOTCONSU")).toInt(), consultations);

    kinds = verifiedKinds(*program, verify, w.path(QStringLiteral("after.json")), &status);
    QCOMPARE(status, 0);
    for (const auto& [title, fields] : expected)
        QCOMPARE(kinds.value(title).value(QStringLiteral("changed")).toInt(), 0);
    QCOMPARE(kinds.value(QStringLiteral("Consultations")).value(QStringLiteral("deleted_in_source")).toInt(), deleted);
    const ProgramFolder::Result again = w.run(*program, 1, *site);
    QVERIFY(again.outLines().filter(QStringLiteral("la version de Talmérosin est gardée")).isEmpty());
}

QTEST_GUILESS_MAIN(WorkflowsTest)
#include "tst_workflows.moc"
