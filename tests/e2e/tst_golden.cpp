// The outputs of whole import runs, held against recorded ones: every report event, every
// destination row, the link pairs, ID_VALUES, the copied letters and the import log. Two
// practices (the acceptance practice, and one whose destination refuses records in every phase),
// on both destinations, each for a first run, a second run and a run with the purge. One record
// at a time, the events are the recorded ones exactly; in batches, the report comes out when a
// batch commits, so only the interleaving of the progress steps with it differs.
//
// What the program adds to the recorded report is held apart: the purge question, and the
// summary after the end lines (the verification's statuses and progress, its lines, the log's
// path). Without it, a run is its recording, event for event, the import log included.
//
// VF_GOLDEN_RECORD=1 writes the recordings instead of comparing with them.
#include "ProgramFolder.h"
#include "Snapshot.h"

#include "base/ImportLog.h"
#include "base/Regional.h"
#include "base/Reporter.h"
#include "import/ImportRun.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest/QtTest>

using namespace vf::test;

namespace {

// The report as a list of events, one a line. Steps of the progress bar are counted, not listed;
// the elapsed time always reads 00:00:00 and the practice's folder reads <root>.
class EventRecorder : public vf::Reporter {
public:
    explicit EventRecorder(QString root) : m_root(std::move(root)) {}

    // What the window's controls make of the run's course is the window's affair, tested there.
    void runStarted() override {}
    void purgeStarted() override {}
    void phasesStarted() override {}
    void runEnded(bool) override {}
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
        if (vf::isPurgeQuestion(text)) {
            add(QStringLiteral("question-purge ") + text);
            return true;
        }
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
        snapshot += destinationState(m_destination, programFolder(), baseFolder());
        QByteArray logText = readFile(log.filePath());
        if (const qsizetype summary = logText.indexOf("\r\nBilan par type d'enregistrement"); summary >= 0)
            logText.truncate(summary + 2);
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

QString recordingPath(const QString& name)
{
    return QStringLiteral(VF_GOLDEN_DIR) + QLatin1Char('/') + name + QStringLiteral(".txt");
}

// The events of a run without what the program adds to the recorded ones, which go to *added:
// the purge question, the verification between the last phase and the end of the run, and the
// lines after "Traitement terminé." (or "inachevé.") up to the end-of-run box.
QStringList recordedEvents(const QStringList& events, QStringList* added)
{
    QStringList recorded;
    bool summary = false;
    bool verifying = false;
    for (const QString& event : events) {
        if (event.startsWith(QStringLiteral("status Vérification des médecins utilisateurs")))
            verifying = true;
        if (verifying && event.startsWith(QLatin1String("progress-visible ")))
            verifying = false;
        if (event.startsWith(QLatin1String("notice ")) || event.startsWith(QLatin1String("warning-box ")))
            summary = false;
        if (verifying || summary || event.startsWith(QLatin1String("question-purge ")))
            added->append(event);
        else
            recorded.append(event);
        if (event == QStringLiteral("line Traitement terminé.") || event == QStringLiteral("line Traitement inachevé."))
            summary = true;
    }
    return recorded;
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
        for (const Backend backend : testBackends()) {
            const QString name = backendName(backend);
            // Over TDS the acceptance run is SQLite's, byte for byte: it is held to that recording.
            const QString acceptance = backend == Backend::TDS ? QStringLiteral("sqlite") : name;
            QTest::addRow("acceptance-%s", qPrintable(name)) << backend << "acceptance-" + acceptance << 200 << 0;
            QTest::addRow("refusals-%s", qPrintable(name)) << backend << "refusals-" + name << 60 << 0;
        }
        QTest::addRow("refusals-sqlite one at a time") << Backend::SQLite << "refusals-sqlite" << 60 << 1;
        QTest::addRow("acceptance-postgresql one at a time") << Backend::PostgreSQL << "acceptance-postgresql" << 200 << 1;
        if (testBackends().contains(Backend::TDS))
            QTest::addRow("refusals-tds one at a time") << Backend::TDS << "refusals-tds" << 60 << 1;
    }

    void runsEqualTheRecordings()
    {
        QFETCH(Backend, backend);
        QFETCH(QString, recording);
        QFETCH(int, patients);
        QFETCH(int, batchSize);
        VF_TEST_DESTINATION(destination, backend);
        if (recording.startsWith(QLatin1String("refusals")))
            QVERIFY(addRefusingTriggers(destination));
        GoldenPractice practice(destination, patients, batchSize);

        QStringList outputs;
        QStringList added;
        for (const auto& [name, vider] : {std::pair{"first run", false}, {"second run", false}, {"purge run", true}}) {
            outputs.append(QStringLiteral("== ") + QLatin1String(name));
            outputs += recordedEvents(practice.run(vider), &added);
        }
        // The purge asked once, naming the rows; each run ended with its summary and the log.
        QCOMPARE(added.filter(QStringLiteral("question-purge La purge va supprimer ")).size(), 1);
        QVERIFY2(added.filter(QStringLiteral("line Bilan par type d'enregistrement")).size() == 3,
                 qPrintable(added.join(QLatin1Char('\n'))));
        QCOMPARE(added.filter(QRegularExpression(QStringLiteral("^line Journal : .*Velquor_.*\\.log$"))).size(), 3);
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
