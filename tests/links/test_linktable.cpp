#include "base/Errors.h"
#include "base/ImportLog.h"
#include "base/RecordingReporter.h"
#include "base/TextCodec.h"
#include "links/Binding.h"
#include "links/LinkTable.h"

#include <QtTest>

#include <functional>

#include <sqlite3.h>

#ifndef VF_LINKTABLE_CHILD
#error "VF_LINKTABLE_CHILD must name the helper program"
#endif

namespace {

const QString kMessage = QStringLiteral("Erreur lors de la création de la table temporaire ");

QStringList logLines(const vf::ImportLog& log)
{
    QFile file(log.filePath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return vf::fromWindows1252(file.readAll()).split(QStringLiteral("\r\n"));
}

// A pair that the destination has committed: pending, then settled.
void record(vf::LinkTable& table, qint32 source, qint32 dest)
{
    table.addPending({{source, dest, QStringLiteral("PATIENTS"), QStringLiteral("PATIENTS_ID")}});
    table.settleAll();
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestLinkTable : public QObject {
    Q_OBJECT
private slots:
    void operations()
    {
        QTemporaryDir folder;
        vf::LinkTable table;
        QVERIFY(!table.isOpen());
        QVERIFY_THROWS_NO_EXCEPTION(table.open(folder.path(), QStringLiteral("Patients.db")));
        QVERIFY(table.isOpen());
        QCOMPARE(table.fileName(), QStringLiteral("Patients.db"));
        QVERIFY(QFileInfo::exists(folder.filePath(QStringLiteral("Patients.db"))));
        QCOMPARE(table.count(), 0);
        QVERIFY(!table.find(4));

        record(table, 7, 2);
        record(table, 4, 1);
        record(table, 9, 3);
        record(table, -2147483647 - 1, 2147483647);
        QCOMPARE(table.count(), 4);
        QVERIFY(table.find(4));
        QCOMPARE(table.dest(), 1);
        QVERIFY(table.find(QStringLiteral(" 9 ")));
        QCOMPARE(table.dest(), 3);
        QVERIFY(table.find(-2147483647 - 1));
        QCOMPARE(table.dest(), 2147483647);
        // A lookup that fails leaves the current row as it was.
        QVERIFY(!table.find(5));
        QCOMPARE(table.dest(), 2147483647);
        for (const QString& text : {QStringLiteral("abc"), QString(), QStringLiteral("4x"), QStringLiteral("2147483648"),
                                    QStringLiteral("4.0")})
            QVERIFY2(!table.find(text), qPrintable(text));

        // A duplicate SOURCE is refused and the earlier pair is kept.
        QVERIFY_THROWS_EXCEPTION(vf::Error, record(table, 7, 99));
        QVERIFY(table.find(7));
        QCOMPARE(table.dest(), 2);
        QCOMPARE(table.count(), 4);
        // DEST need not be unique.
        record(table, 8, 2);
        QCOMPARE(table.count(), 5);

        // Close, open again: the pairs are kept; a closed table refuses every operation.
        table.close();
        QVERIFY(!table.isOpen());
        QVERIFY_THROWS_EXCEPTION(vf::Error, table.find(7));
        QVERIFY_THROWS_EXCEPTION(vf::Error, record(table, 1, 1));
        QVERIFY_THROWS_EXCEPTION(vf::Error, table.count());
        QVERIFY_THROWS_NO_EXCEPTION(table.open(folder.path(), QStringLiteral("Patients.db")));
        QVERIFY(table.find(8));
        QCOMPARE(table.dest(), 2);

        // A second handle opened on the same file afterwards sees what the first recorded.
        record(table, 100, 50);
        vf::LinkTable other;
        QVERIFY_THROWS_NO_EXCEPTION(other.open(folder.path(), QStringLiteral("Patients.db")));
        QCOMPARE(other.count(), 6);
        QVERIFY(other.find(100));
        QCOMPARE(other.dest(), 50);
        other.close();

        // Emptying keeps the table usable.
        table.empty();
        QVERIFY(table.isOpen());
        QCOMPARE(table.count(), 0);
        QVERIFY(!table.find(4));
        QVERIFY_THROWS_EXCEPTION(vf::Error, table.dest());
        record(table, 4, 1);
        QCOMPARE(table.count(), 1);

        // Tables are separate files; a handle may move from one to another.
        table.open(folder.path(), QStringLiteral("Letters.db"));
        QCOMPARE(table.fileName(), QStringLiteral("Letters.db"));
        QCOMPARE(table.count(), 0);
        table.open(folder.path(), QStringLiteral("Patients.db"));
        QCOMPARE(table.count(), 1);
    }

    // Pending pairs are not pairs until settled; settling keeps those named and drops the rest.
    void pendingPairs()
    {
        QTemporaryDir folder;
        vf::LinkTable table;
        table.open(folder.path(), QStringLiteral("Anteced.db"));
        record(table, 5, 50);
        const vf::PendingPair appended{6, 50, QStringLiteral("ANTECED"), QStringLiteral("ANTECED_ID"),
                                       QStringLiteral("AUTRES"), vf::PendingPair::proofOf(QStringLiteral("a\rb"))};
        table.addPending({appended, {7, 51, QStringLiteral("ANTECED"), QStringLiteral("ANTECED_ID")}});
        QVERIFY_THROWS_EXCEPTION(vf::Error, table.addPending({{5, 1, QStringLiteral("ANTECED"), QStringLiteral("ANTECED_ID")}}));
        QVERIFY(!table.find(6));
        const QList<vf::PendingPair> pending = table.pending();
        QCOMPARE(pending.size(), 2);
        QCOMPARE(pending[0].proof, appended.proof);
        QCOMPARE(pending[0].proofColumn, QStringLiteral("AUTRES"));
        table.settle({7});
        QVERIFY(table.pending().isEmpty());
        QVERIFY(!table.find(6));
        QVERIFY(table.find(7));
        QCOMPARE(table.count(), 2);
        table.addPending({appended});
        table.empty();
        QVERIFY(table.pending().isEmpty());
    }

    // Pairs settled later are found at once, stay pending in the file until the next commit
    // (the next pending pairs, or closing) writes them, and are never dropped by it.
    void settledLater()
    {
        QTemporaryDir folder;
        vf::LinkTable table;
        table.open(folder.path(), QStringLiteral("MotConsu.db"));
        const auto pair = [](qint32 source) {
            return vf::PendingPair{source, source * 10, QStringLiteral("MOTCONSU"), QStringLiteral("MOTCONSU_ID")};
        };
        table.addPending({pair(1), pair(2)});
        table.settleLater();
        QVERIFY(table.find(2));
        QCOMPARE(table.dest(), 20);
        QCOMPARE(vf::readLinkTable(folder.path(), QStringLiteral("MotConsu.db")).pending.size(), 2);
        QVERIFY_THROWS_EXCEPTION(vf::Error, table.addPending({pair(3), pair(1)}));
        table.addPending({pair(3)});
        vf::LinkTableContents file = vf::readLinkTable(folder.path(), QStringLiteral("MotConsu.db"));
        QCOMPARE(file.pairs, (QHash<qint32, qint32>{{1, 10}, {2, 20}}));
        QCOMPARE(file.pending, (QHash<qint32, qint32>{{3, 30}}));
        table.settleLater();
        table.close();
        file = vf::readLinkTable(folder.path(), QStringLiteral("MotConsu.db"));
        QCOMPARE(file.pairs.size(), 3);
        QVERIFY(file.pending.isEmpty());
    }

    // A file of an earlier format keeps its pairs and gets the pending table; a newer one is refused.
    void formatVersions()
    {
        QTemporaryDir folder;
        const auto makeFile = [&](const char* name, int version) {
            sqlite3* db = nullptr;
            sqlite3_open(folder.filePath(QString::fromLatin1(name)).toUtf8().constData(), &db);
            const std::string sql = "CREATE TABLE LINKS (SOURCE INTEGER PRIMARY KEY, DEST INTEGER NOT NULL);"
                                    "INSERT INTO LINKS VALUES (4, 40); PRAGMA user_version=" + std::to_string(version);
            sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
            sqlite3_close(db);
        };
        makeFile("Medecins.db", 0);
        makeFile("Letters.db", vf::LinkTable::kFormatVersion + 1);
        vf::LinkTable table;
        table.open(folder.path(), QStringLiteral("Medecins.db"));
        QVERIFY(table.find(4));
        QCOMPARE(table.dest(), 40);
        record(table, 5, 50);
        QCOMPARE(table.count(), 2);
        // A newer format is refused before anything is written: same bytes, no side file.
        const QByteArray newer = readBytes(folder.filePath(QStringLiteral("Letters.db")));
        try {
            table.open(folder.path(), QStringLiteral("Letters.db"));
            QFAIL("a newer format was opened");
        } catch (const vf::NewerFormat& error) {
            QVERIFY2(error.message().contains(QStringLiteral("format plus récent")), qPrintable(error.message()));
        }
        QCOMPARE(readBytes(folder.filePath(QStringLiteral("Letters.db"))), newer);
        QVERIFY(!QFileInfo::exists(folder.filePath(QStringLiteral("Letters.db-wal"))));
        table.open(folder.path(), QStringLiteral("Medecins.db"));
        table.addPending({{6, 60, QStringLiteral("MEDECINS"), QStringLiteral("MEDECINS_ID")}});
        table.close();

        // Read without writing: pairs and pending pairs; nothing for a file that is missing (none
        // is created); an error for a newer format or a file that is no database.
        makeFile("Anteced.db", 1);
        const QByteArray anteced = readBytes(folder.filePath(QStringLiteral("Anteced.db")));
        writeBytes(folder.filePath(QStringLiteral("Syntheses.db")), QByteArray(4096, 'x'));
        const vf::LinkTableContents medecins = vf::readLinkTable(folder.path(), QStringLiteral("Medecins.db"));
        QCOMPARE(medecins.pairs, (QHash<qint32, qint32>{{4, 40}, {5, 50}}));
        QCOMPARE(medecins.pending, (QHash<qint32, qint32>{{6, 60}}));
        QCOMPARE(vf::readLinkTable(folder.path(), QStringLiteral("Anteced.db")).pairs.value(4), 40);
        QVERIFY(vf::readLinkTable(folder.path(), QStringLiteral("Patients.db")).pairs.isEmpty());
        QVERIFY(!QFileInfo::exists(folder.filePath(QStringLiteral("Patients.db"))));
        QCOMPARE(readBytes(folder.filePath(QStringLiteral("Anteced.db"))), anteced);
        QCOMPARE(QDir(folder.path()).entryList({QStringLiteral("Anteced.db-*")}, QDir::Files), QStringList());
        QVERIFY_THROWS_EXCEPTION(vf::NewerFormat, vf::readLinkTable(folder.path(), QStringLiteral("Letters.db")));
        QVERIFY_THROWS_EXCEPTION(vf::Error, vf::readLinkTable(folder.path(), QStringLiteral("Syntheses.db")));

        // A file of format 2, with a pending pair: upgraded in place, every pair and pending pair
        // kept, without prints until the run gives them; the prints then stay with their pairs.
        {
            sqlite3* db = nullptr;
            sqlite3_open(folder.filePath(QStringLiteral("Patients.db")).toUtf8().constData(), &db);
            sqlite3_exec(db,
                         "CREATE TABLE LINKS (SOURCE INTEGER PRIMARY KEY, DEST INTEGER NOT NULL);"
                         "CREATE TABLE PENDING (SOURCE INTEGER PRIMARY KEY, DEST INTEGER NOT NULL, ROW_TABLE TEXT NOT NULL, "
                         "ROW_ID_COLUMN TEXT NOT NULL, PROOF_COLUMN TEXT NOT NULL, PROOF TEXT NOT NULL);"
                         "INSERT INTO LINKS VALUES (4, 40); INSERT INTO LINKS VALUES (7, 70);"
                         "INSERT INTO PENDING VALUES (8, 80, 'PATIENTS', 'PATIENTS_ID', '', ''); PRAGMA user_version=2",
                         nullptr, nullptr, nullptr);
            sqlite3_close(db);
        }
        table.open(folder.path(), QStringLiteral("Patients.db"));
        QCOMPARE(table.unprintedCount(), 2);
        QVERIFY(table.find(7));
        QVERIFY(table.prints(4).source.isEmpty());
        QCOMPARE(table.pending().size(), 1);
        table.settleAll();
        table.setPrints({{4, {QByteArray("print of 4"), 44}}});
        table.addPending({{9, 90, QStringLiteral("PATIENTS"), QStringLiteral("PATIENTS_ID"), {}, {}, QByteArray("print of 9"), 99}});
        table.settleLater();
        table.close();
        table.open(folder.path(), QStringLiteral("Patients.db"));
        QCOMPARE(table.count(), 4);
        QCOMPARE(table.unprintedCount(), 2);
        QCOMPARE(table.prints(4).source, QByteArray("print of 4"));
        QCOMPARE(table.prints(4).dest, quint64(44));
        QCOMPARE(table.prints(9).dest, quint64(99));
        table.close();
        const vf::LinkTableContents patients = vf::readLinkTable(folder.path(), QStringLiteral("Patients.db"));
        QCOMPARE(patients.pairs.size(), 4);
        QCOMPARE(patients.sourcePrints.value(9), QByteArray("print of 9"));
    }

    // Two destinations are the same when driver, server, database and port are, blanks aside, and
    // case too but for the database's; a SQLite database by its file, whatever path names it.
    void destinationIdentities_data()
    {
        QTest::addColumn<QStringList>("first");  // driver, server, database, options
        QTest::addColumn<QStringList>("second");
        QTest::addColumn<bool>("same");
        const QStringList base = {QStringLiteral("FreeTDS"), QStringLiteral("srv"), QStringLiteral("Cabinet"), QString()};
        QTest::newRow("case and blanks") << base
                                         << QStringList{QStringLiteral(" freetds"), QStringLiteral("SRV "),
                                                        QStringLiteral(" Cabinet "), QStringLiteral("TDS_Version=7.4")}
                                         << true;
        QTest::newRow("database case") << base << QStringList{QStringLiteral("FreeTDS"), QStringLiteral("srv"), QStringLiteral("cabinet"), QString()} << false;
        QTest::newRow("another database") << base << QStringList{QStringLiteral("FreeTDS"), QStringLiteral("srv"), QStringLiteral("Essai"), QString()} << false;
        QTest::newRow("another server") << base << QStringList{QStringLiteral("FreeTDS"), QStringLiteral("srv2"), QStringLiteral("Cabinet"), QString()} << false;
        QTest::newRow("another port") << base << QStringList{QStringLiteral("FreeTDS"), QStringLiteral("srv"), QStringLiteral("Cabinet"), QStringLiteral("Port=1434")} << false;
        QTest::newRow("another driver") << base << QStringList{QStringLiteral("SQL Server"), QStringLiteral("srv"), QStringLiteral("Cabinet"), QString()} << false;
        QTest::newRow("sqlite file through a link")
            << QStringList{QStringLiteral("SQLite3"), QString(), QStringLiteral("base.db"), QString()}
            << QStringList{QStringLiteral("SQLite3"), QStringLiteral("ignored"), QStringLiteral("link/base.db"), QString()} << true;
        QTest::newRow("another sqlite file")
            << QStringList{QStringLiteral("SQLite3"), QString(), QStringLiteral("base.db"), QString()}
            << QStringList{QStringLiteral("SQLite3"), QString(), QStringLiteral("other.db"), QString()} << false;
    }

    void destinationIdentities()
    {
        QFETCH(QStringList, first);
        QFETCH(QStringList, second);
        QFETCH(bool, same);
        QTemporaryDir folder;
        writeBytes(folder.filePath(QStringLiteral("base.db")), "");
        QVERIFY(QFile::link(folder.path(), folder.filePath(QStringLiteral("link"))));
        const auto identity = [&](const QStringList& fields) {
            const QString database = fields[0].startsWith(QStringLiteral("SQLite")) ? folder.filePath(fields[2]) : fields[2];
            return vf::destinationIdentity(fields[0], fields[1], database, fields[3]);
        };
        QCOMPARE(identity(first).key() == identity(second).key(), same);
        QCOMPARE(identity(first).key().size(), 16);
        // Earlier versions named the folder without the database's case: the folder to adopt.
        QCOMPARE(identity(first).caseFoldedKey() == identity(second).caseFoldedKey(),
                 same || QByteArray(QTest::currentDataTag()) == "database case");
    }

    void noCurrentRowWithoutFile()
    {
        vf::LinkTable table;
        QVERIFY_THROWS_EXCEPTION(vf::Error, table.dest());
    }

    // A pair survives the death of the process right after record() returned.
    void survivesKill()
    {
        QTemporaryDir folder;
        QProcess child;
        child.start(QStringLiteral(VF_LINKTABLE_CHILD), {folder.path(), QStringLiteral("MotConsu.db"), QStringLiteral("500")});
        QVERIFY2(child.waitForStarted(), qPrintable(child.errorString()));
        while (!child.canReadLine())
            QVERIFY2(child.waitForReadyRead(60000), "the child did not record its pairs");
        QCOMPARE(child.readLine(), QByteArray("recorded\n"));
        child.kill(); // SIGKILL
        QVERIFY(child.waitForFinished());
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

        vf::LinkTable table;
        QVERIFY_THROWS_NO_EXCEPTION(table.open(folder.path(), QStringLiteral("MotConsu.db")));
        QCOMPARE(table.count(), 500);
        QVERIFY(table.find(500));
        QCOMPARE(table.dest(), 5000);
    }

    // Any failure to open or create a table: the log line, then the error box, then the end.
    void openFailures_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::newRow("folder is a file") << QStringLiteral("folder is a file");
        QTest::newRow("folder missing") << QStringLiteral("folder missing");
        QTest::newRow("not a database") << QStringLiteral("not a database");
        QTest::newRow("table file is a folder") << QStringLiteral("table file is a folder");
        QTest::newRow("other database") << QStringLiteral("other database");
    }
    void openFailures()
    {
        QFETCH(QString, situation);
        QTemporaryDir program;
        QString links = program.filePath(QStringLiteral("LinksTables"));
        const QString fileName = QStringLiteral("Medecins.db");
        if (situation == QLatin1String("folder is a file")) {
            QFile file(links);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (situation == QLatin1String("folder missing")) {
            links = program.filePath(QStringLiteral("missing/LinksTables"));
        } else {
            QVERIFY(QDir(program.path()).mkdir(QStringLiteral("LinksTables")));
            const QString path = QDir(links).filePath(fileName);
            if (situation == QLatin1String("not a database")) {
                QFile file(path);
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write(QByteArray("{\\rtf1 not a database, long enough to have a header of its own}").repeated(20));
            } else if (situation == QLatin1String("table file is a folder")) {
                QVERIFY(QDir(links).mkdir(fileName));
            } else {
                // A database whose LINKS table is not a link table.
                sqlite3* db = nullptr;
                QCOMPARE(sqlite3_open(path.toUtf8().constData(), &db), SQLITE_OK);
                QCOMPARE(sqlite3_exec(db, "CREATE TABLE LINKS (A TEXT)", nullptr, nullptr, nullptr), SQLITE_OK);
                sqlite3_close(db);
            }
        }

        vf::ImportLog log(program.path());
        log.begin(QDateTime::currentDateTime(), QStringLiteral("base.mdb"), QStringLiteral("talmeros"));
        QStringList logAtBox;
        bool terminated = false;
        vf::LinkTable table;
        struct BoxSpy : vf::RecordingReporter {
            std::function<void()> onError;
            void errorBox(const QString& text) override
            {
                onError();
                RecordingReporter::errorBox(text);
            }
        } spy;
        spy.onError = [&] { logAtBox = logLines(log); };
        try {
            vf::OpenLinkTable(table, links, fileName, log, spy);
        } catch (const vf::ProgramTermination& end) {
            terminated = true;
            QCOMPARE(end.reason, kMessage + fileName);
        }
        QVERIFY(terminated);
        QVERIFY(!table.isOpen());
        QCOMPARE(spy.boxTexts(vf::RecordingReporter::Box::Error), QStringList{kMessage + fileName});
        // The line was in the log before the box was shown.
        QVERIFY2(logAtBox.contains(kMessage + fileName), qPrintable(logAtBox.join(u'|')));
    }

    void openLinkTableCreatesAndReopens()
    {
        QTemporaryDir program;
        vf::ImportLog log(program.path());
        vf::RecordingReporter reporter;
        vf::LinkTable table;
        QVERIFY_THROWS_NO_EXCEPTION(vf::OpenLinkTable(table, program.path(), QStringLiteral("Medtrait.db"), log, reporter));
        record(table, 3, 30);
        table.close();
        // An existing file is opened as it is.
        QVERIFY_THROWS_NO_EXCEPTION(vf::OpenLinkTable(table, program.path(), QStringLiteral("Medtrait.db"), log, reporter));
        QVERIFY(table.find(3));
        QCOMPARE(table.dest(), 30);
        QVERIFY(reporter.boxes.isEmpty());
        QVERIFY(!log.hasFile());
    }
};

QTEST_GUILESS_MAIN(TestLinkTable)
#include "test_linktable.moc"
