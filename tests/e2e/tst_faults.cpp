// Faults around a batch run: the program killed at a moment of its writes, the destination
// server stopped, or paused so that it no longer answers. A run after each leaves the
// destination as one run without a fault does: every record exactly once, with its link pair.
#include "ProgramFolder.h"
#include "Snapshot.h"

#include <QDir>
#include <QFile>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest/QtTest>

#include <csignal>

#include <unistd.h>

using namespace vf::test;

namespace {

constexpr int kPatients = 60;
const QString kLost = QStringLiteral(
    "La connexion à la base Talmérosin a été perdue : les enregistrements restants n'ont pas été importés.");

// A generated practice imported by the batch run from a program folder of its own, in batches
// small enough that every phase commits several.
class FaultPractice {
public:
    FaultPractice(const TestDestination& destination, const QString& queryTimeout = QString())
        : m_destination(destination), m_program(m_dir.filePath(QStringLiteral("prog")))
    {
        QString errors;
        if (!makePractice(practice(), kPatients, &errors))
            QTest::qFail(qPrintable(errors), __FILE__, __LINE__);
        destination.writeKestrune(practice() + QStringLiteral("/Base"));
        m_program.writeDestination(destination);
        QByteArray settings = readFile(m_program.settingsPath()) + "[Import]\r\nBatchSize=40\r\n";
        if (!queryTimeout.isEmpty())
            settings.replace("[Destination]\r\n", "[Destination]\r\nQueryTimeout=" + queryTimeout.toUtf8() + "\r\n");
        writeFile(m_program.settingsPath(), settings);
    }

    QString programFolder() const { return m_program.path(); }
    QString lettersCopies() const { return practice() + QStringLiteral("/Base/LETTERS"); }

    QStringList arguments(const QStringList& mode = {QStringLiteral("--batch")}) const
    {
        return mode + QStringList{QStringLiteral("--source"), practice() + QStringLiteral("/V3.mdb"),
                QStringLiteral("--letters"), practice() + QStringLiteral("/COURRIER/"), QStringLiteral("--dest"),
                practice() + QStringLiteral("/Base/")};
    }
    ProgramFolder::Result run() const { return m_program.run(arguments()); }
    QStringList state() const
    {
        return destinationState(m_destination, m_program.path(), practice() + QStringLiteral("/Base/"));
    }

    // Starts a run that holds at the moment given (VF_TEST_HOLD) and waits until it is there.
    bool startHeldAt(QProcess& process, const QString& moment, const QStringList& mode = {QStringLiteral("--batch")})
    {
        QProcessEnvironment hold;
        hold.insert(QStringLiteral("VF_TEST_HOLD"), moment);
        hold.insert(QStringLiteral("VF_TEST_HOLD_FILE"), holdFile());
        m_program.start(process, arguments(mode), hold);
        for (int waited = 0; waited < 2400 && !QFile::exists(holdFile()); ++waited) {
            if (process.state() == QProcess::NotRunning)
                return false;
            QThread::msleep(50);
        }
        return QFile::exists(holdFile());
    }
    void release() { QFile::remove(holdFile()); }

private:
    QString practice() const { return m_dir.filePath(QStringLiteral("practice")); }
    QString holdFile() const { return m_dir.filePath(QStringLiteral("held")); }

    const TestDestination& m_destination;
    QTemporaryDir m_dir;
    ProgramFolder m_program;
};

// A destination that refuses some correspondents by their names: a refused correspondent is
// refused again by a later run, and its identifier handed to the next one, so that a run, or a
// run killed and run again, leaves the same destination.
bool refuseCorrespondents(const TestDestination& destination)
{
    return addRefusingTriggers(destination, {QStringLiteral("MEDTRAIT")});
}

// The state that one run without a fault leaves, for each kind of destination.
QStringList faultlessState(Backend backend, bool refusing)
{
    static QMap<std::pair<Backend, bool>, QStringList> states;
    const auto key = std::pair{backend, refusing};
    if (!states.contains(key)) {
        TestDestination destination(backend);
        if (!destination.isReady() || (refusing && !refuseCorrespondents(destination)))
            return {};
        FaultPractice practice(destination);
        if (practice.run().exitCode != 0)
            return {};
        states.insert(key, practice.state());
    }
    return states.value(key);
}

// Standard error without the line that names the import log, which ends every run.
QString withoutLogLine(const QString& err)
{
    QString texts = err;
    texts.remove(QRegularExpression(QStringLiteral("Journal d'importation : [^\n]*\n$")));
    return texts;
}

// The lines of a run that lost its destination, after the lines of the batch it had committed:
// the one error with the driver's message (which may go on over lines of its own), the line
// that says what was lost, and the end of the run. Returns the error's first line.
QString endOfRun(const ProgramFolder::Result& result)
{
    const QStringList lines = result.outLines();
    const qsizetype lost = lines.indexOf(kLost);
    qsizetype error = lost - 1;
    while (error > 0 && !lines[error].startsWith(QStringLiteral("Erreur : ")))
        --error;
    // The end lines, then the summary that could not be made and the log's path.
    const bool expected = lost > 0 && lost == lines.size() - 5
        && lines[lost + 3].startsWith(QStringLiteral("Le bilan n'a pas pu être établi"))
        && lines[lost + 1].startsWith(QStringLiteral("Importation stopée après "))
        && lines[lost + 2] == QStringLiteral("Traitement inachevé.")
        && lines.filter(QRegularExpression(QStringLiteral("^Erreur : "))).size() == 1
        && lines[error].startsWith(QStringLiteral("Erreur : "));
    if (!expected)
        QTest::qFail(qPrintable(lines.join(u'\n')), __FILE__, __LINE__);
    return expected ? lines[error] : QString();
}

// A small file system mounted on a folder for the life of the object (root only).
class SmallDisk {
public:
    SmallDisk(const QString& folder, int kilobytes) : m_folder(folder)
    {
        QDir().mkpath(folder);
        m_mounted = ::geteuid() == 0
            && QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                                          QStringLiteral("size=%1k").arg(kilobytes), QStringLiteral("tmpfs"), folder})
                == 0;
    }
    ~SmallDisk() { unmount(); }
    bool mounted() const { return m_mounted; }
    // Unmounts it, its files copied into the folder beneath it when they are to be kept.
    void unmount(bool keepFiles = false)
    {
        if (!m_mounted)
            return;
        QTemporaryDir saved;
        if (keepFiles)
            QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), m_folder + QStringLiteral("/."), saved.path()});
        QProcess::execute(QStringLiteral("umount"), {m_folder});
        if (keepFiles)
            QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), saved.path() + QStringLiteral("/."), m_folder});
        m_mounted = false;
    }

private:
    QString m_folder;
    bool m_mounted = false;
};

} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private slots:
    // kill -9 while the pairs are pending, between the destination's commit and the pairs',
    // after both, in the middle of a batch, and while a refused batch is done one record at a time.
    void killedThenRunAgain_data()
    {
        QTest::addColumn<Backend>("backend");
        QTest::addColumn<bool>("refusing");
        QTest::addColumn<QString>("moment");
        QTest::newRow("pairs pending") << Backend::SQLite << false << "pending:7";
        QTest::newRow("destination committed") << Backend::SQLite << false << "committed:3";
        QTest::newRow("pairs settled") << Backend::SQLite << false << "settled:40";
        QTest::newRow("inside a batch") << Backend::SQLite << false << "record:900";
        QTest::newRow("one at a time after a refusal") << Backend::SQLite << true << "committed:8";
        QTest::newRow("destination committed, postgresql") << Backend::PostgreSQL << false << "committed:12";
        QTest::newRow("one at a time, postgresql") << Backend::PostgreSQL << true << "pending:5";
        if (testBackends().contains(Backend::TDS)) {
            QTest::newRow("destination committed, tds") << Backend::TDS << false << "committed:12";
            QTest::newRow("one at a time, tds") << Backend::TDS << true << "pending:5";
        }
    }

    void killedThenRunAgain()
    {
        QFETCH(Backend, backend);
        QFETCH(bool, refusing);
        QFETCH(QString, moment);
        const QStringList expected = faultlessState(backend, refusing);
        QVERIFY(!expected.isEmpty());
        VF_TEST_DESTINATION(destination, backend);
        if (refusing)
            QVERIFY(refuseCorrespondents(destination));
        FaultPractice practice(destination);

        QProcess killed;
        QVERIFY2(practice.startHeldAt(killed, moment), "the run did not reach the moment");
        killed.kill();
        QVERIFY(killed.waitForFinished());

        QCOMPARE(practice.run().exitCode, 0);
        QCOMPARE(practice.state(), expected);
    }

    // The server stops in the middle of a run: the run ends unfinished with two lines, and runs
    // again once the server is back. (The held batch's own lines come out first.)
    void serverStopped_data()
    {
        QTest::addColumn<Backend>("backend");
        for (const Backend backend : testBackends())
            if (backend != Backend::SQLite)
                QTest::newRow(qPrintable(backendName(backend))) << backend;
    }

    void serverStopped()
    {
        QFETCH(Backend, backend);
        VF_TEST_DESTINATION(destination, backend);
        FaultPractice practice(destination);
        QProcess run;
        QVERIFY(practice.startHeldAt(run, QStringLiteral("committed:12")));
        QString error;
        QVERIFY2(TestDestination::stopServer(backend, &error), qPrintable(error));
        run.readAllStandardOutput(); // the lines of the records before the server stopped
        practice.release();
        const ProgramFolder::Result result = ProgramFolder::finish(run);
        QVERIFY2(TestDestination::startServer(backend, &error), qPrintable(error));

        QCOMPARE(result.exitCode, 1);
        QVERIFY2(withoutLogLine(result.err).count(u'\n') <= 1, qPrintable(result.err));
        QVERIFY(!endOfRun(result).isEmpty());

        destination.reconnect();
        QCOMPARE(practice.run().exitCode, 0);
        QCOMPARE(practice.state(), faultlessState(backend, false));
    }

    // The disk of the letters folder fills up, then the link tables' disk: each time the run
    // ends unfinished with one line, and a run once there is room again imports what remains.
    void diskFull_data()
    {
        QTest::addColumn<bool>("links");
        QTest::addColumn<int>("kilobytes");
        QTest::addColumn<QString>("line");
        QTest::newRow("letters") << false << 48 << "Le disque du dossier des courriers de Talmérosin ";
        QTest::newRow("link tables") << true << 640 << "Les tables de liens du dossier ";
    }

    void diskFull()
    {
        QFETCH(bool, links);
        QFETCH(int, kilobytes);
        QFETCH(QString, line);
        VF_TEST_DESTINATION(destination, Backend::SQLite);
        FaultPractice practice(destination);
        SmallDisk disk(links ? practice.programFolder() + QStringLiteral("/LinksTables") : practice.lettersCopies(), kilobytes);
        if (!disk.mounted())
            QSKIP("needs root, to mount a small file system");
        const ProgramFolder::Result full = practice.run();
        QCOMPARE(full.exitCode, 1);
        const QStringList lines = full.outLines();
        QCOMPARE(lines.filter(line).size(), 1);
        const qsizetype end = lines.indexOf(QStringLiteral("Traitement inachevé."));
        QVERIFY2(end >= 2 && lines.at(end - 2).startsWith(line), qPrintable(lines.join(u'\n')));
        QVERIFY(lines.filter(QStringLiteral("Impossible de copier")).isEmpty());

        disk.unmount(true);
        QCOMPARE(practice.run().exitCode, 0);
        QCOMPARE(practice.state(), faultlessState(Backend::SQLite, false));
    }

    // The server's process for the run is paused: after the query timeout, the same end.
    void serverSilent()
    {
        VF_TEST_DESTINATION(destination, Backend::PostgreSQL);
        FaultPractice practice(destination, QStringLiteral("2"));
        QProcess run;
        QVERIFY(practice.startHeldAt(run, QStringLiteral("committed:12")));
        const pid_t paused = pauseServerOfTheRun(destination);
        QVERIFY(paused > 0);
        run.readAllStandardOutput(); // the lines of the records before the server went silent
        practice.release();
        const ProgramFolder::Result result = ProgramFolder::finish(run);
        ::kill(paused, SIGCONT);

        QCOMPARE(result.exitCode, 1);
        QVERIFY2(withoutLogLine(result.err).count(u'\n') <= 1, qPrintable(result.err));
        QCOMPARE(endOfRun(result), QStringLiteral("Erreur : la base Talmérosin n'a pas répondu en 2 secondes"));

        QCOMPARE(practice.run().exitCode, 0);
        QCOMPARE(practice.state(), faultlessState(Backend::PostgreSQL, false));
    }

    // The server goes silent while the driver's catalogue is read (the columns of a table for a
    // verification, the list of tables for the purge): those calls are watched as statements
    // are, and the run or the verification ends with the lost connection instead of hanging.
    void serverSilentOnTheCatalogue_data()
    {
        QTest::addColumn<QStringList>("mode");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("verify") << QStringList{QStringLiteral("--verify")} << 2;
        QTest::newRow("batch purge") << QStringList{QStringLiteral("--batch"), QStringLiteral("--purge")} << 1;
    }

    void serverSilentOnTheCatalogue()
    {
        QFETCH(QStringList, mode);
        QFETCH(int, exitCode);
        VF_TEST_DESTINATION(destination, Backend::PostgreSQL);
        FaultPractice practice(destination, QStringLiteral("2"));
        QProcess run;
        QVERIFY(practice.startHeldAt(run, QStringLiteral("catalogue:1"), mode));
        const pid_t paused = pauseServerOfTheRun(destination);
        QVERIFY(paused > 0);
        practice.release();
        const ProgramFolder::Result result = ProgramFolder::finish(run);
        ::kill(paused, SIGCONT);

        QVERIFY2(result.exitCode == exitCode, qPrintable(QString::number(result.exitCode) + result.err + result.out));
        QVERIFY2((result.out + result.err).contains(QStringLiteral("Erreur : la base Talmérosin n'a pas répondu en 2 secondes")),
                 qPrintable(result.err + result.out));
        if (exitCode == 1)
            QVERIFY(result.outLines().contains(kLost));
    }

private:
    // Pauses the server's process that serves the program (SIGSTOP); its pid, or 0.
    static pid_t pauseServerOfTheRun(const TestDestination& destination)
    {
        QSqlQuery backend(destination.db());
        if (!backend.exec(QStringLiteral("SELECT pid FROM pg_stat_activity WHERE datname = current_database() "
                                         "AND pid <> pg_backend_pid()"))
            || !backend.next())
            return 0;
        const pid_t paused = backend.value(0).toInt();
        return ::kill(paused, SIGSTOP) == 0 ? paused : 0;
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
