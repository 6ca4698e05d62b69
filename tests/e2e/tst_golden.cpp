// The outputs of whole import runs, held against recorded ones: every report event, every
// destination row, the link pairs, ID_VALUES, the copied letters and the import log. Two
// practices (the acceptance practice, and one whose destination refuses records in every phase),
// on both destinations, each for a first run, a second run and a run with the purge. One record
// at a time, the events are the recorded ones exactly; in batches, the report comes out when a
// batch commits, so only the interleaving of the progress steps with it differs.
//
// VF_GOLDEN_RECORD=1 writes the recordings instead of comparing with them.
#include "ProgramFolder.h"

#include "db/ImportLog.h"
#include "db/Regional.h"
#include "db/Reporter.h"
#include "import/ImportRun.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest/QtTest>

using namespace vf::test;

namespace {

// A text on one line: backslashes and line breaks escaped.
QString oneLine(QString text)
{
    text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    text.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    text.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    return text;
}

// The report as a list of events, one a line. Steps of the progress bar are counted, not listed;
// the elapsed time always reads 00:00:00 and the practice's folder reads <root>.
class EventRecorder : public vf::Reporter {
public:
    explicit EventRecorder(QString root) : m_root(std::move(root)) {}

    // What the window's controls make of the run's course is the window's affair, tested there.
    void runStarted() override {}
    void purgeStarted() override {}
    void phasesStarted() override {}
    void runEnded() override {}
    void setStatus(const QString& text) override { add(QStringLiteral("status ") + text); }
    void appendLine(const QString& line) override
    {
        m_lines.append(line);
        add(QStringLiteral("line ") + line);
    }
    QStringList lines() const override { return m_lines; }
    void clearLines() override
    {
        m_lines.clear();
        add(QStringLiteral("clear"));
    }
    void setProgressVisible(bool visible) override { add(QStringLiteral("progress-visible %1").arg(visible)); }
    void startProgress(int maximum) override { add(QStringLiteral("progress %1").arg(maximum)); }
    void stepProgress() override { ++m_steps; }
    void startElapsed(const QDateTime&) override { add(QStringLiteral("elapsed-start")); }
    QString stopElapsed() override
    {
        add(QStringLiteral("elapsed-stop"));
        return QStringLiteral("00:00:00");
    }
    void errorBox(const QString& text) override { add(QStringLiteral("error-box ") + text); }
    void warningBox(const QString& text) override { add(QStringLiteral("warning-box ") + text); }
    bool askYesNo(const QString& text) override
    {
        add(QStringLiteral("question ") + text);
        return false;
    }
    void notice(const QString& text) override { add(QStringLiteral("notice ") + text); }
    void setDestinationPathText(const QString& text) override { add(QStringLiteral("destination-field ") + text); }

    QStringList events()
    {
        flushSteps();
        return m_events;
    }

private:
    void flushSteps()
    {
        if (m_steps)
            m_events.append(QStringLiteral("steps %1").arg(m_steps));
        m_steps = 0;
    }
    void add(QString event)
    {
        flushSteps();
        event.replace(m_root, QStringLiteral("<root>"));
        m_events.append(oneLine(event));
    }

    QString m_root;
    QStringList m_events;
    QStringList m_lines;
    int m_steps = 0;
};

QString sha256(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// One value, typed, on one line.
QString valueText(const QVariant& value)
{
    if (value.isNull())
        return QStringLiteral("null");
    if (value.metaType() == QMetaType::fromType<QDateTime>())
        return QStringLiteral("t:") + value.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    return QStringLiteral("v:") + oneLine(value.toString());
}

QString rowsText(const QList<QVariantMap>& rows)
{
    QString text;
    for (const QVariantMap& row : rows) {
        for (auto it = row.cbegin(); it != row.cend(); ++it)
            text += it.key() + QLatin1Char('=') + valueText(it.value()) + QLatin1Char('\t');
        text += QLatin1Char('\n');
    }
    return text;
}

// The destination tables the run writes, with the column that orders their rows.
const QList<QPair<QString, QString>> kTables = {
    {QStringLiteral("MEDECINS"), QStringLiteral("MEDECINS_ID")},
    {QStringLiteral("MEDTRAIT"), QStringLiteral("MEDTRAIT_ID")},
    {QStringLiteral("PATIENTS"), QStringLiteral("PATIENTS_ID")},
    {QStringLiteral("PATMEDTR"), QStringLiteral("PATMEDTR_ID")},
    {QStringLiteral("ANTECED"), QStringLiteral("ANTECED_ID")},
    {QStringLiteral("MOTCONSU"), QStringLiteral("MOTCONSU_ID")},
    {QStringLiteral("ORDONNANCES"), QStringLiteral("ORDONNANCES_ID")},
    {QStringLiteral("LETTERS"), QStringLiteral("LETTERS_ID")},
};

QStringList linkPairs(const QString& linksFolder)
{
    QStringList lines;
    for (const QString& file : QDir(linksFolder).entryList({QStringLiteral("*.db")}, QDir::Files, QDir::Name)) {
        QString pairs;
        int count = 0;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("golden-links"));
            db.setDatabaseName(QDir(linksFolder).filePath(file));
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            if (db.open()) {
                QSqlQuery q(db);
                q.exec(QStringLiteral("SELECT SOURCE, DEST FROM LINKS ORDER BY SOURCE"));
                while (q.next()) {
                    pairs += q.value(0).toString() + QLatin1Char(' ') + q.value(1).toString() + QLatin1Char('\n');
                    ++count;
                }
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("golden-links"));
        lines.append(QStringLiteral("links %1 %2 %3").arg(file).arg(count).arg(sha256(pairs.toUtf8())));
    }
    return lines;
}

QString lettersSummary(const QString& lettersFolder)
{
    QStringList files;
    QDirIterator it(lettersFolder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.append(QDir(lettersFolder).relativeFilePath(path) + QLatin1Char(' ') + sha256(readFile(path)));
    }
    files.sort();
    return QStringLiteral("letters %1 %2").arg(files.size()).arg(sha256(files.join(QLatin1Char('\n')).toUtf8()));
}

// A practice on disk with its program folder, imported into a test destination.
class GoldenPractice {
public:
    GoldenPractice(const TestDestination& destination, int patients, int batchSize)
        : m_destination(destination)
    {
        m_root = m_dir.path();
        QString errors;
        if (!makePractice(m_root, patients, &errors))
            QTest::qFail(qPrintable(errors), __FILE__, __LINE__);
        QDir(m_root).mkpath(QStringLiteral("prog"));
        m_destination.writeKestrune(baseFolder());
        m_destination.writeDestinationSection(settingsPath());
        if (batchSize > 0)
            writeFile(settingsPath(), readFile(settingsPath()) + "[Import]\r\nBatchSize=" + QByteArray::number(batchSize) + "\r\n");
    }

    QString baseFolder() const { return m_root + QStringLiteral("/Base/"); }
    QString programFolder() const { return m_root + QStringLiteral("/prog"); }
    QString settingsPath() const { return programFolder() + QStringLiteral("/velquor-fusion.INI"); }

    // One run, as the batch front end makes it, and everything it left behind.
    QStringList run(bool vider)
    {
        EventRecorder reporter(m_root);
        vf::ImportLog log(programFolder());
        vf::RunOutcome outcome;
        {
            vf::ImportRun importRun(programFolder(), settingsPath(), reporter, log);
            vf::RunInputs inputs{m_root + QStringLiteral("/V3.mdb"), m_root + QStringLiteral("/COURRIER/"),
                                 baseFolder(), vider};
            outcome = importRun.run(inputs);
        }
        log.dumpLines(reporter.lines());

        QStringList snapshot = reporter.events();
        snapshot.append(QStringLiteral("outcome %1").arg(int(outcome)));
        for (const auto& [table, id] : kTables) {
            const QList<QVariantMap> rows =
                m_destination.rows(QStringLiteral("SELECT * FROM %1 ORDER BY %2").arg(table, id));
            snapshot.append(QStringLiteral("table %1 %2 %3").arg(table).arg(rows.size()).arg(sha256(rowsText(rows).toUtf8())));
        }
        for (const QString& line :
             rowsText(m_destination.rows(QStringLiteral("SELECT * FROM ID_VALUES ORDER BY KEY_NAME"))).split(u'\n'))
            if (!line.isEmpty())
                snapshot.append(QStringLiteral("id-values ") + line);
        snapshot += linkPairs(programFolder() + QStringLiteral("/LinksTables"));
        snapshot.append(lettersSummary(baseFolder() + QStringLiteral("LETTERS")));
        QByteArray logText = readFile(log.filePath());
        logText.replace(m_root.toUtf8(), "<root>");
        snapshot.append(QStringLiteral("log %1").arg(sha256(logText)));
        QFile::remove(log.filePath());
        return snapshot;
    }

private:
    const TestDestination& m_destination;
    QTemporaryDir m_dir;
    QString m_root;
};

// Triggers that refuse records in every phase: by text where a refused row's identifier is
// handed out again (users, correspondents), by identifier elsewhere; inserts and updates.
struct Refusal {
    const char* table;
    const char* event; // INSERT or UPDATE
    const char* condition;
};
const Refusal kRefusals[] = {
    {"MEDECINS", "INSERT", "length(NEW.PRENOM) % 3 = 0"},
    {"MEDTRAIT", "INSERT", "length(NEW.NOM) % 4 = 1"},
    {"PATIENTS", "INSERT", "NEW.PATIENTS_ID % 17 = 5"},
    {"PATMEDTR", "INSERT", "NEW.MEDTRAIT_ID % 5 = 2"},
    {"ANTECED", "INSERT", "NEW.ANTECED_ID % 13 = 7"},
    {"ANTECED", "UPDATE", "NEW.ANTECED_ID % 11 = 3"},
    {"MOTCONSU", "INSERT", "NEW.MOTCONSU_ID % 29 = 11"},
    {"MOTCONSU", "UPDATE", "NEW.MOTCONSU_ID % 7 = 1"},
    {"ORDONNANCES", "INSERT", "NEW.ORDONNANCES_ID % 19 = 4"},
    {"ORDONNANCES", "UPDATE", "NEW.ORDONNANCES_ID % 9 = 2"},
    {"LETTERS", "INSERT", "NEW.LETTERS_ID % 23 = 6"},
};

bool addRefusals(const TestDestination& destination)
{
    const bool sqlite = destination.backend() == Backend::SQLite;
    if (!sqlite
        && !destination.exec(QStringLiteral("CREATE FUNCTION refuse_row() RETURNS trigger AS $$ BEGIN "
                                            "RAISE EXCEPTION 'refus de la ligne par %', TG_NAME; END $$ "
                                            "LANGUAGE plpgsql")))
        return false;
    int n = 0;
    for (const Refusal& refusal : kRefusals) {
        const QString name = QStringLiteral("refuse_%1").arg(++n);
        const QString sql = sqlite
            ? QStringLiteral("CREATE TRIGGER %1 BEFORE %2 ON %3 WHEN %4 BEGIN SELECT RAISE(ABORT, "
                             "'refus de la ligne par %1'); END")
                  .arg(name, QLatin1String(refusal.event), QLatin1String(refusal.table), QLatin1String(refusal.condition))
            : QStringLiteral("CREATE TRIGGER %1 BEFORE %2 ON %3 FOR EACH ROW WHEN (%4) EXECUTE FUNCTION refuse_row()")
                  .arg(name, QLatin1String(refusal.event), QLatin1String(refusal.table), QLatin1String(refusal.condition));
        if (!destination.exec(sql))
            return false;
    }
    return true;
}

QString recordingPath(const QString& name)
{
    return QStringLiteral(VF_GOLDEN_DIR) + QLatin1Char('/') + name + QStringLiteral(".txt");
}

QStringList withoutSteps(QStringList outputs)
{
    outputs.removeIf([](const QString& line) { return line.startsWith(QLatin1String("steps ")); });
    return outputs;
}

} // namespace

class TestGolden : public QObject {
    Q_OBJECT

private slots:
    void runsEqualTheRecordings_data()
    {
        QTest::addColumn<Backend>("backend");
        QTest::addColumn<QString>("recording");
        QTest::addColumn<int>("patients");
        QTest::addColumn<int>("batchSize"); // 0: the default
        for (const Backend backend : {Backend::SQLite, Backend::PostgreSQL}) {
            const QString name = backendName(backend);
            QTest::addRow("acceptance-%s", qPrintable(name)) << backend << "acceptance-" + name << 200 << 0;
            QTest::addRow("refusals-%s", qPrintable(name)) << backend << "refusals-" + name << 60 << 0;
        }
        QTest::addRow("refusals-sqlite one at a time") << Backend::SQLite << "refusals-sqlite" << 60 << 1;
        QTest::addRow("acceptance-postgresql one at a time") << Backend::PostgreSQL << "acceptance-postgresql" << 200 << 1;
    }

    void runsEqualTheRecordings()
    {
        QFETCH(Backend, backend);
        QFETCH(QString, recording);
        QFETCH(int, patients);
        QFETCH(int, batchSize);
        VF_TEST_DESTINATION(destination, backend);
        if (recording.startsWith(QLatin1String("refusals")))
            QVERIFY(addRefusals(destination));
        GoldenPractice practice(destination, patients, batchSize);

        QStringList outputs;
        for (const auto& [name, vider] : {std::pair{"first run", false}, {"second run", false}, {"purge run", true}}) {
            outputs.append(QStringLiteral("== ") + QLatin1String(name));
            outputs += practice.run(vider);
        }
        const QString path = recordingPath(recording);
        if (qEnvironmentVariableIsSet("VF_GOLDEN_RECORD")) {
            if (batchSize == 1)
                writeFile(path, outputs.join(QLatin1Char('\n')).toUtf8() + '\n');
            return;
        }
        QStringList recorded = QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY2(!recorded.isEmpty(), qPrintable(QStringLiteral("no recording at ") + path));
        if (batchSize != 1) {
            recorded = withoutSteps(recorded);
            outputs = withoutSteps(outputs);
        }
        for (qsizetype i = 0; i < std::min(recorded.size(), outputs.size()); ++i)
            QCOMPARE(outputs.at(i), recorded.at(i));
        QCOMPARE(outputs.size(), recorded.size());
    }
};

QTEST_GUILESS_MAIN(TestGolden)
#include "tst_golden.moc"
