// The verification of a migration by the built program: before the first run, after it, and
// after rows, a copied letter and its bytes went missing; its HTML report; bad input.
#include "ProgramFolder.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>
#include <QXmlStreamReader>
#include <QtTest/QtTest>

#include <sqlite3.h>
#include <sys/stat.h>

using namespace vf::test;

namespace {

const QStringList kKinds = {QStringLiteral("Médecins utilisateurs"), QStringLiteral("Correspondants"),
                            QStringLiteral("Patients"), QStringLiteral("Liens patient <-> correspondant"),
                            QStringLiteral("Antécédents"), QStringLiteral("Consultations"),
                            QStringLiteral("Prescriptions"), QStringLiteral("Fiches de synthèse"),
                            QStringLiteral("Courriers")};

// A row of the report's table: the source records, imported, refused, to import, pending,
// missing, identical letter files.
struct Counts {
    int source = -1, imported = -1, refused = -1, toImport = -1, pending = -1, missing = -1;
};

// The report parsed as XML (it must be well formed), with the table's numbers by kind, the items
// of every list, the records on the printed pages (a line of text per table row, its cells joined
// by "|"), and the items that are not in the appendix.
struct Report {
    QString error;
    QMap<QString, Counts> counts;
    QStringList items;
    QStringList printedRecords;
    int itemsBeforeAppendix = 0;
    bool signatureBeforeAppendix = false;
};

Report parseReport(const QString& path)
{
    Report report;
    QXmlStreamReader xml(readFile(path));
    QString kind;
    QList<int> numbers;
    bool inSummary = false;
    bool inRecords = false;
    bool inAppendix = false;
    QStringList cells;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.attributes().value(QLatin1String("id")) == QLatin1String("appendix"))
            inAppendix = true;
        if (xml.isStartElement() && xml.attributes().value(QLatin1String("class")) == QLatin1String("signature"))
            report.signatureBeforeAppendix = !inAppendix;
        if (xml.isStartElement() && xml.name() == QLatin1String("table")) {
            inSummary = xml.attributes().value(QLatin1String("id")) == QLatin1String("summary");
            inRecords = xml.attributes().value(QLatin1String("class")) == QLatin1String("records");
        } else if (inRecords && xml.isStartElement() && xml.name() == QLatin1String("td")) {
            cells.append(xml.readElementText());
        } else if (inRecords && xml.isEndElement() && xml.name() == QLatin1String("tr") && !cells.isEmpty()) {
            report.printedRecords.append(cells.join(QLatin1Char('|')));
            cells.clear();
        } else if (xml.isStartElement() && xml.name() == QLatin1String("li")) {
            report.items.append(xml.readElementText());
            report.itemsBeforeAppendix += inAppendix ? 0 : 1;
        }
        else if (inSummary && xml.isStartElement() && xml.name() == QLatin1String("tr"))
            numbers.clear();
        else if (inSummary && xml.isStartElement() && xml.name() == QLatin1String("th"))
            kind = xml.readElementText();
        else if (inSummary && xml.isStartElement() && xml.name() == QLatin1String("td"))
            numbers.append(xml.readElementText().toInt());
        else if (inSummary && xml.isEndElement() && xml.name() == QLatin1String("tr") && numbers.size() >= 6
                 && kind != QLatin1String("Total"))
            report.counts.insert(kind, {numbers[0], numbers[1], numbers[2], numbers[3], numbers[4], numbers[5]});
    }
    if (xml.hasError())
        report.error = xml.errorString() + QStringLiteral(" at line ") + QString::number(xml.lineNumber());
    return report;
}

// The run's count line "N <text>" as a number.
int countLine(const QStringList& lines, const QString& text)
{
    for (const QString& line : lines)
        if (line.endsWith(QLatin1Char(' ') + text))
            return line.section(QLatin1Char(' '), 0, 0).toInt();
    return -1;
}

// The pairs of a link table, SOURCE to DEST.
QMap<int, int> pairsOf(const QString& path)
{
    QMap<int, int> pairs;
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT SOURCE, DEST FROM LINKS ORDER BY SOURCE", -1, &statement, nullptr);
    while (sqlite3_step(statement) == SQLITE_ROW)
        pairs.insert(sqlite3_column_int(statement, 0), sqlite3_column_int(statement, 1));
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return pairs;
}

QStringList refused(const Report& report)
{
    QStringList names;
    for (const QString& item : report.items)
        if (item.contains(QStringLiteral(" : patient non importé")) || item.contains(QStringLiteral(" : fichier du courrier"))
            || item.contains(QStringLiteral(" : correspondant inconnu")) || item.contains(QStringLiteral(" : valeur trop longue"))
            || item.contains(QStringLiteral(" : antécédent sans libellé")))
            names.append(item);
    return names;
}

// A generated practice and a program folder of its own that imports it into a destination.
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
    // The program in a mode ("--batch", "--verify") on the practice's files.
    ProgramFolder::Result run(const QString& mode, const QStringList& more = {}) const
    {
        return program.run(QStringList{mode, QStringLiteral("--source"), folder + QStringLiteral("/V3.mdb"),
                                       QStringLiteral("--letters"), folder + QStringLiteral("/COURRIER/"),
                                       QStringLiteral("--dest"), base()}
                           + more);
    }

    const QString folder;
    const ProgramFolder program;
};

} // namespace

class VerifyTest : public QObject {
    Q_OBJECT

private slots:
    void beforeAndAfterTheRun_data();
    void beforeAndAfterTheRun();
    void valueTooLongIsForeseen();
    void badInputEndsThePreparation_data();
    void badInputEndsThePreparation();
    void attacksAreRefusedOrBounded();
    void reportShowsControlsAsEscapes();

private:
    QTemporaryDir m_root;
};

void VerifyTest::beforeAndAfterTheRun_data()
{
    QTest::addColumn<Backend>("backend");
    QTest::addColumn<int>("patients");
    for (const Backend backend : testBackends()) {
        QTest::addRow("demo practice, %s", qPrintable(backendName(backend))) << backend << 300;
        QTest::addRow("generated practice, %s", qPrintable(backendName(backend))) << backend << 45;
    }
}

void VerifyTest::beforeAndAfterTheRun()
{
    QFETCH(Backend, backend);
    QFETCH(int, patients);
    VF_TEST_DESTINATION(dest, backend);
    const QString root = m_root.filePath(QString::fromLatin1(QTest::currentDataTag()));
    const Practice practice(root, dest, patients);
    const ProgramFolder& program = practice.program;
    const QString base = practice.base();
    const auto verify = [&](const QString& name, Report& report) {
        const QString html = root + QLatin1Char('/') + name + QStringLiteral(".html");
        const ProgramFolder::Result result = practice.run(QStringLiteral("--verify"), {QStringLiteral("--report"), html});
        report = parseReport(html);
        if (!report.error.isEmpty())
            QTest::qFail(qPrintable(report.error), __FILE__, __LINE__);
        return result;
    };

    // Before the first run: everything is to import, the foreseeable refusals are named, and
    // nothing is written (no link tables folder, no import log).
    Report before;
    const ProgramFolder::Result preflight = verify(QStringLiteral("before"), before);
    QVERIFY2(preflight.exitCode == 1, qPrintable(preflight.err + preflight.out));
    QCOMPARE(before.counts.keys().size(), kKinds.size());
    for (const QString& kind : kKinds) {
        const Counts counts = before.counts.value(kind);
        QVERIFY2(counts.source > 0 && counts.imported == 0 && counts.pending == 0 && counts.missing == 0, qPrintable(kind));
        QCOMPARE(counts.toImport + counts.refused, counts.source);
    }
    const QStringList foreseen = refused(before);
    for (const char* reason : {"patient non importé", "fichier du courrier introuvable", "correspondant inconnu"})
        QVERIFY2(preflight.out.contains(QString::fromUtf8(reason)), reason);
    QVERIFY(!QFileInfo::exists(program.path() + QStringLiteral("/LinksTables")));
    QVERIFY(program.logFiles().isEmpty());

    // After the run: nothing left to import, the same refusals, and the run's own counts.
    const ProgramFolder::Result run = practice.run(QStringLiteral("--batch"));
    QVERIFY2(run.exitCode == 0, qPrintable(run.err + run.out.right(2000)));
    Report after;
    const ProgramFolder::Result proof = verify(QStringLiteral("after"), after);
    QVERIFY2(proof.exitCode == 0, qPrintable(proof.err + proof.out));
    QCOMPARE(refused(after), foreseen);
    const QStringList lines = run.outLines();
    const QList<std::pair<QString, QString>> sameThing = {
        {QStringLiteral("Médecins utilisateurs"), QStringLiteral("médecins utilisateurs après importation.")},
        {QStringLiteral("Correspondants"), QStringLiteral("correspondants après importation.")},
        {QStringLiteral("Patients"), QStringLiteral("patients après importation.")},
        {QStringLiteral("Liens patient <-> correspondant"), QStringLiteral("lien patient <-> correspondant après importation.")},
        {QStringLiteral("Consultations"), QStringLiteral("consultations après importation.")},
        {QStringLiteral("Courriers"), QStringLiteral("courriers après importation.")},
    };
    for (const auto& [kind, line] : sameThing)
        QCOMPARE(after.counts.value(kind).imported, countLine(lines, line));
    QVERIFY(proof.out.contains(QStringLiteral("La migration est complète")));

    // The same as JSON: the header, each kind's counts as in the HTML table, every record listed,
    // refusals with their reason, patients named, and totals.
    const QString json = root + QStringLiteral("/after.json");
    QCOMPARE(practice.run(QStringLiteral("--verify"), {QStringLiteral("--report"), json}).exitCode, 0);
    const QJsonObject report = QJsonDocument::fromJson(readFile(json)).object();
    QVERIFY(report.value(QStringLiteral("complete")).toBool());
    QVERIFY(report.value(QStringLiteral("program")).toString().startsWith(QStringLiteral("velquor-fusion ")));
    QVERIFY(!report.value(QStringLiteral("destination")).toObject().value(QStringLiteral("database")).toString().isEmpty());
    const QJsonArray kinds = report.value(QStringLiteral("kinds")).toArray();
    QCOMPARE(kinds.size(), kKinds.size());
    int source = 0;
    for (const QJsonValue& value : kinds) {
        const QJsonObject kind = value.toObject();
        const QString title = kind.value(QStringLiteral("title")).toString();
        const Counts counts = after.counts.value(title);
        const QJsonArray records = kind.value(QStringLiteral("records")).toArray();
        QCOMPARE(records.size(), counts.source);
        QCOMPARE(kind.value(QStringLiteral("imported")).toInt(), counts.imported);
        QCOMPARE(kind.value(QStringLiteral("refused")).toInt(), counts.refused);
        source += counts.source;
        for (const QJsonValue& record : records) {
            const QJsonObject item = record.toObject();
            QCOMPARE(item.contains(QStringLiteral("reason")), item.value(QStringLiteral("state")).toString() == QLatin1String("refused"));
            if (title == QLatin1String("Patients"))
                QVERIFY2(!item.value(QStringLiteral("patient")).toString().isEmpty(), qPrintable(title));
        }
    }
    QCOMPARE(report.value(QStringLiteral("totals")).toObject().value(QStringLiteral("source")).toInt(), source);

    // One destination row of each kind deleted, one copied letter deleted and one changed by a
    // byte: each is named by its source code.
    const QString links = destinationLinksTables(program.path()) + u'/';
    QStringList expected;
    const auto dropRow = [&](const QString& file, const QString& table, const QString& name, int index = 0) {
        const QMap<int, int> pairs = pairsOf(links + file);
        QVERIFY(pairs.size() > index);
        const int code = std::next(pairs.cbegin(), index).key();
        dest.exec(QStringLiteral("DELETE FROM %1 WHERE %1_ID = %2").arg(table).arg(pairs.value(code)));
        expected.append(name.arg(code));
    };
    dropRow(QStringLiteral("Medecins.db"), QStringLiteral("MEDECINS"), QStringLiteral("médecin n°%1 "));
    dropRow(QStringLiteral("Medtrait.db"), QStringLiteral("MEDTRAIT"), QStringLiteral("correspondant n°%1 "));
    dropRow(QStringLiteral("Patients.db"), QStringLiteral("PATIENTS"), QStringLiteral("patient n°%1 "));
    dropRow(QStringLiteral("Anteced.db"), QStringLiteral("ANTECED"), QStringLiteral("antécédent n°%1 "));
    dropRow(QStringLiteral("MotConsu.db"), QStringLiteral("MOTCONSU"), QStringLiteral("consultation n°%1 "));
    dropRow(QStringLiteral("ORDONNANCES.db"), QStringLiteral("ORDONNANCES"), QStringLiteral("ordonnance n°%1 "));
    dropRow(QStringLiteral("Syntheses.db"), QStringLiteral("MOTCONSU"), QStringLiteral("fiche de synthèse n°%1 "));
    dropRow(QStringLiteral("Letters.db"), QStringLiteral("LETTERS"), QStringLiteral("courrier n°%1 "));
    const QVariantMap link = dest.rows(QStringLiteral("SELECT PATIENTS_ID, MEDTRAIT_ID FROM PATMEDTR ORDER BY PATMEDTR_ID")).last();
    dest.exec(QStringLiteral("DELETE FROM PATMEDTR WHERE PATIENTS_ID = %1 AND MEDTRAIT_ID = %2")
                  .arg(link.value(QStringLiteral("PATIENTS_ID")).toInt())
                  .arg(link.value(QStringLiteral("MEDTRAIT_ID")).toInt()));
    expected.append(QStringLiteral("lien patient n°%1 <-> correspondant n°%2 ")
                        .arg(pairsOf(links + QStringLiteral("Patients.db")).key(link.value(QStringLiteral("PATIENTS_ID")).toInt()))
                        .arg(pairsOf(links + QStringLiteral("Medtrait.db")).key(link.value(QStringLiteral("MEDTRAIT_ID")).toInt())));
    const QMap<int, int> letters = pairsOf(links + QStringLiteral("Letters.db"));
    for (int index : {1, 2}) {
        const int code = std::next(letters.cbegin(), index).key();
        const QVariantMap row = dest.rows(QStringLiteral("SELECT PATIENTS_ID, FileName FROM LETTERS WHERE LETTERS_ID = %1")
                                              .arg(letters.value(code))).value(0);
        const QString copy = base + QStringLiteral("LETTERS/%1/%2").arg(row.value(QStringLiteral("PATIENTS_ID")).toInt())
                                 .arg(row.value(QStringLiteral("FILENAME")).toString());
        QByteArray bytes = readFile(copy);
        QVERIFY(!bytes.isEmpty());
        if (index == 1) {
            QVERIFY(QFile::remove(copy));
        } else {
            bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 1);
            writeFile(copy, bytes);
        }
        expected.append(QStringLiteral("courrier n°%1 ").arg(code));
    }

    Report damaged;
    const ProgramFolder::Result missing = verify(QStringLiteral("damaged"), damaged);
    QVERIFY2(missing.exitCode == 1, qPrintable(missing.err + missing.out));
    const QString missingList = missing.out.section(QStringLiteral("Absents de la destination :"), 1);
    for (const QString& name : expected)
        QVERIFY2(missingList.contains(QStringLiteral(" : ") + name), qPrintable(name + QStringLiteral("\n") + missing.out));
    QCOMPARE(damaged.counts.value(QStringLiteral("Courriers")).missing, 3);
    int total = 0;
    for (const Counts& counts : damaged.counts)
        total += counts.missing;
    QVERIFY(total >= expected.size());

    // On paper: the table, what to do, then every record that is not imported, each once with its
    // patient, then the place to sign; the records one by one are in the appendix only.
    int refusedTotal = 0;
    for (const Counts& counts : damaged.counts)
        refusedTotal += counts.refused;
    QCOMPARE(damaged.printedRecords.size(), refusedTotal + total);
    for (const QString& name : expected)
        QVERIFY2(std::any_of(damaged.printedRecords.cbegin(), damaged.printedRecords.cend(),
                             [&](const QString& row) { return (row.section(u'|', 1, 1) + u' ').startsWith(name); }),
                 qPrintable(name));
    QCOMPARE(damaged.itemsBeforeAppendix, 0);
    QVERIFY(damaged.signatureBeforeAppendix);

    // Printed by the browser, where one is installed: a practice with a few problems on a few
    // pages, the records missing from the destination among the first two.
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    const QString pdftotext = QStandardPaths::findExecutable(QStringLiteral("pdftotext"));
    if (chromium.isEmpty() || pdftotext.isEmpty() || patients > 100)
        return;
    const QString pdf = root + QStringLiteral("/damaged.pdf");
    QProcess print;
    print.start(chromium, {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"), QStringLiteral("--disable-gpu"),
                           QStringLiteral("--no-pdf-header-footer"), QStringLiteral("--print-to-pdf=") + pdf,
                           QUrl::fromLocalFile(root + QStringLiteral("/damaged.html")).toString()});
    QVERIFY(print.waitForFinished(120000));
    const auto pagesText = [&](int first, int last) {
        QProcess text;
        text.start(pdftotext, {QStringLiteral("-f"), QString::number(first), QStringLiteral("-l"), QString::number(last),
                               pdf, QStringLiteral("-")});
        text.waitForFinished(60000);
        return QString::fromUtf8(text.readAllStandardOutput());
    };
    const QStringList pages = pagesText(1, 1000).split(QLatin1Char('\f'), Qt::SkipEmptyParts);
    QVERIFY2(!pages.isEmpty() && pages.size() <= 3, qPrintable(QString::number(pages.size())));
    QVERIFY(pages.first().contains(QStringLiteral("La migration n'est pas complète")));
    const QString firstTwo = pagesText(1, 2).simplified(); // a cell may wrap its text
    for (const QString& name : expected)
        QVERIFY2(firstTwo.contains(name.trimmed()), qPrintable(name));
    QVERIFY(pages.last().contains(QStringLiteral("Signature")));
}

// A destination column narrower than the source's values: the pre-flight names the records that
// the run then refuses, and after the run those are the only ones left.
void VerifyTest::valueTooLongIsForeseen()
{
    VF_TEST_DESTINATION(dest, Backend::PostgreSQL);
    QVERIFY(dest.exec(QStringLiteral("ALTER TABLE PATIENTS ALTER COLUMN PRENOM TYPE VARCHAR(5)")));
    const Practice practice(m_root.filePath(QStringLiteral("too-long")), dest, 12);
    const QRegularExpression tooLong(QStringLiteral("Patients : (patient n°\\d+) .* : valeur trop longue pour la colonne PRENOM "
                                                    "\\(\\d+ caractères, 5 au plus\\)"));
    const auto refusedPatients = [&](const QString& out) {
        QStringList names;
        for (auto match = tooLong.globalMatch(out); match.hasNext();)
            names.append(match.next().captured(1));
        return names;
    };

    const ProgramFolder::Result before = practice.run(QStringLiteral("--verify"));
    QCOMPARE(before.exitCode, 1);
    const QStringList foreseen = refusedPatients(before.out);
    QVERIFY2(!foreseen.isEmpty(), qPrintable(before.out));
    QVERIFY(practice.run(QStringLiteral("--batch")).exitCode == 0);
    const ProgramFolder::Result after = practice.run(QStringLiteral("--verify"));
    QVERIFY2(after.exitCode == 0, qPrintable(after.out));
    QCOMPARE(refusedPatients(after.out), foreseen);
}

void VerifyTest::badInputEndsThePreparation_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("message");
    QTest::newRow("damaged Access file") << "access" << "Connexion à la base de données Access [";
    QTest::newRow("unreachable destination") << "destination" << "Connexion à la base de données Talmérosin impossible";
    QTest::newRow("damaged link table") << "links" << "Erreur lors de la création de la table temporaire Patients.db";
    QTest::newRow("newer link table") << "newer" << "d'un format plus récent";
    QTest::newRow("missing letters folder") << "paths" << "Veuillez renseigner correctement les chemins !";
}

void VerifyTest::badInputEndsThePreparation()
{
    QFETCH(QString, damage);
    QFETCH(QString, message);
    VF_TEST_DESTINATION(dest, Backend::SQLite);
    const QString root = m_root.filePath(QStringLiteral("bad-") + damage);
    const Practice practice(root, dest, 5);
    const QString links = practice.program.path() + QStringLiteral("/LinksTables/");
    QVERIFY(QDir().mkpath(links));
    if (damage == QLatin1String("access")) {
        QByteArray bytes = readFile(practice.folder + QStringLiteral("/V3.mdb"));
        bytes.replace(0, 4096, QByteArray(4096, '\x5a'));
        writeFile(practice.folder + QStringLiteral("/V3.mdb"), bytes);
    } else if (damage == QLatin1String("destination")) {
        writeFile(practice.folder + QStringLiteral("/Base/Kestrune.ver"),
                  "[DBKERNEL]\r\nDatabaseName=" + root.toUtf8() + "/absent/folder/base.db\r\nServerName=localhost\r\nUserName=sa\r\nSAPW=\r\n");
    } else if (damage == QLatin1String("links")) {
        writeFile(links + QStringLiteral("Patients.db"), QByteArray(8192, 'x'));
    } else if (damage == QLatin1String("newer")) {
        // In the destination's own folder, which a first run creates.
        QCOMPARE(practice.run(QStringLiteral("--batch")).exitCode, 0);
        for (const QString& log : practice.program.logFiles())
            QFile::remove(practice.program.path() + u'/' + log);
        sqlite3* db = nullptr;
        sqlite3_open((destinationLinksTables(practice.program.path()) + QStringLiteral("/Letters.db")).toUtf8().constData(), &db);
        sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    } else {
        QVERIFY(QDir(practice.folder + QStringLiteral("/COURRIER")).removeRecursively());
    }

    const ProgramFolder::Result result = practice.run(QStringLiteral("--verify"));
    QVERIFY2(result.exitCode == 2, qPrintable(QString::number(result.exitCode) + result.err + result.out));
    QVERIFY2(result.err.contains(message), qPrintable(result.err));
    QVERIFY(result.out.isEmpty());
    QVERIFY(practice.program.logFiles().isEmpty());
}

// What a mistyped path or a changed destination can do to a verification: the report never
// lands through a link or over another file and is readable by its owner only; the destination
// keeps its journal mode and gains no file; a FIFO, a link to a device or a file name that leaves
// the patient's folder among the copied letters counts as missing, without a hang.
void VerifyTest::attacksAreRefusedOrBounded()
{
    VF_TEST_DESTINATION(dest, Backend::SQLite);
    const QString root = m_root.filePath(QStringLiteral("attacks"));
    const Practice practice(root, dest, 8);
    QVERIFY(practice.run(QStringLiteral("--batch")).exitCode == 0);
    QVERIFY(dest.exec(QStringLiteral("PRAGMA journal_mode=DELETE")));
    const QString base = dest.databaseName();
    const auto journalMode = [&] {
        sqlite3* db = nullptr;
        sqlite3_open_v2(base.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &statement, nullptr);
        const QString mode = sqlite3_step(statement) == SQLITE_ROW
            ? QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))) : QString();
        sqlite3_finalize(statement);
        sqlite3_close(db);
        return mode;
    };
    QCOMPARE(journalMode(), QStringLiteral("delete"));

    // --report: a link, the Access file and a FIFO are refused and left as they were; a new
    // report is 0600 and an earlier one is replaced.
    const QString target = root + QStringLiteral("/target.txt");
    writeFile(target, "kept");
    QVERIFY(QFile::link(target, root + QStringLiteral("/link.html")));
    QVERIFY(::mkfifo(QFile::encodeName(root + QStringLiteral("/fifo.html")).constData(), 0600) == 0);
    const QByteArray source = readFile(practice.folder + QStringLiteral("/V3.mdb"));
    writeFile(root + QStringLiteral("/other.html"), "<p>not a report</p>");
    const QList<std::pair<QString, QString>> refusedPaths = {
        {root + QStringLiteral("/link.html"), QStringLiteral("c'est un lien symbolique")},
        {root + QStringLiteral("/other.html"), QStringLiteral("ce fichier existe et n'a pas été écrit par ce programme")},
        {root + QStringLiteral("/fifo.html"), QStringLiteral("ce n'est pas un fichier ordinaire")},
        {root + QStringLiteral("/absent/report.html"), QStringLiteral("le dossier n'existe pas")},
    };
    for (const auto& [path, reason] : refusedPaths) {
        const ProgramFolder::Result result = practice.run(QStringLiteral("--verify"), {QStringLiteral("--report"), path});
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains(QStringLiteral("Erreur : le rapport ") + path + QStringLiteral(" ne peut pas être écrit : ")
                                     + reason),
                 qPrintable(result.err));
    }
    QCOMPARE(readFile(target), QByteArray("kept"));
    QCOMPARE(readFile(practice.folder + QStringLiteral("/V3.mdb")), source);
    QCOMPARE(readFile(root + QStringLiteral("/other.html")), QByteArray("<p>not a report</p>"));
    const QString report = root + QStringLiteral("/report.html");
    for (int time = 0; time < 2; ++time) {
        const ProgramFolder::Result result = practice.run(QStringLiteral("--verify"), {QStringLiteral("--report"), report});
        QVERIFY2(result.exitCode == 0, qPrintable(result.err + result.out));
        QCOMPARE(QFileInfo(report).permissions() & 0x7777, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QVERIFY(parseReport(report).error.isEmpty());
    }
    QCOMPARE(QDir(root).entryList(QDir::Hidden | QDir::Files).filter(QStringLiteral(".report.html")), QStringList());

    // The copied letters: a FIFO, a link to /dev/zero, a row whose file name goes through ".."
    // to a copy that is identical, a copy with one byte changed and one with a byte more.
    const QList<QVariantMap> letters = dest.rows(QStringLiteral("SELECT LETTERS_ID, PATIENTS_ID, FileName FROM LETTERS ORDER BY LETTERS_ID"));
    QVERIFY(letters.size() >= 5);
    const auto copyOf = [&](const QVariantMap& row) {
        return practice.base() + QStringLiteral("LETTERS/%1/%2").arg(row.value(QStringLiteral("PATIENTS_ID")).toInt())
            .arg(row.value(QStringLiteral("FILENAME")).toString());
    };
    QVERIFY(QFile::remove(copyOf(letters[0])));
    QVERIFY(::mkfifo(QFile::encodeName(copyOf(letters[0])).constData(), 0600) == 0);
    QVERIFY(QFile::remove(copyOf(letters[1])));
    QVERIFY(QFile::link(QStringLiteral("/dev/zero"), copyOf(letters[1])));
    const int patient = letters[2].value(QStringLiteral("PATIENTS_ID")).toInt();
    QVERIFY(dest.exec(QStringLiteral("UPDATE LETTERS SET FileName = '../%1/%2' WHERE LETTERS_ID = %3")
                          .arg(patient)
                          .arg(letters[2].value(QStringLiteral("FILENAME")).toString())
                          .arg(letters[2].value(QStringLiteral("LETTERS_ID")).toInt())));
    QByteArray changed = readFile(copyOf(letters[3]));
    changed[0] = char(changed[0] ^ 1);
    writeFile(copyOf(letters[3]), changed);
    writeFile(copyOf(letters[4]), readFile(copyOf(letters[4])) + ' ');
    const ProgramFolder::Result result = practice.run(QStringLiteral("--verify"), {QStringLiteral("--report"), report});
    QVERIFY2(result.exitCode == 1, qPrintable(result.err + result.out));
    QCOMPARE(parseReport(report).counts.value(QStringLiteral("Courriers")).missing, 5);
    QCOMPARE(journalMode(), QStringLiteral("delete"));
    for (const char* side : {"-wal", "-shm", "-journal"})
        QVERIFY2(!QFileInfo::exists(base + QString::fromLatin1(side)), side);
}

// Names of the source that would reorder the report's lines (bidirectional controls) or that no
// XML text may hold reach the report as the escapes that the terminal shows.
void VerifyTest::reportShowsControlsAsEscapes()
{
    VF_TEST_DESTINATION(dest, Backend::SQLite);
    const QString root = m_root.filePath(QStringLiteral("controls"));
    const Practice practice(root, dest, 30);
    const QString mdb = practice.folder + QStringLiteral("/V3.mdb");
    QByteArray source = readFile(mdb);
    const auto ucs2 = [](const QString& text) { return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2); };
    const QString controls = QString::fromUtf16(u"\u202e\u2067\u200f\u061c\x01\x9b");
    for (const char* name : {"MARTIN", "DUBOIS", "THOMAS", "ROBERT", "DURAND", "MOREAU", "GARCIA", "GIRARD", "BONNET"})
        source.replace(ucs2(QString::fromLatin1(name)), ucs2(controls));
    writeFile(mdb, source);

    const QString html = root + QStringLiteral("/report.html");
    const ProgramFolder::Result result = practice.run(QStringLiteral("--verify"), {QStringLiteral("--report"), html});
    QVERIFY2(result.exitCode == 1, qPrintable(result.err + result.out));
    const QString page = QString::fromUtf8(readFile(html));
    QVERIFY(parseReport(html).error.isEmpty());
    QVERIFY2(page.contains(QStringLiteral("\\u202e\\u2067\\u200f\\u061c\\x01\\x9b")), qPrintable(page.right(3000)));
    QVERIFY(std::none_of(page.cbegin(), page.cend(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u < 0x20 && u != u'\n' && u != u'\t') || (u >= 0x7f && u <= 0x9f) || (u >= 0x202a && u <= 0x202e)
            || (u >= 0x2066 && u <= 0x2069) || u == 0x200e || u == 0x200f || u == 0x061c;
    }));
}

QTEST_GUILESS_MAIN(VerifyTest)
#include "tst_verify.moc"
