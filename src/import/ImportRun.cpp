#include "import/ImportRun.h"

#include "base/Conversions.h"
#include "base/Errors.h"
#include "base/ImportLog.h"
#include "base/IniFile.h"
#include "base/Reporter.h"
#include "base/Settings.h"
#include "destination/DestinationConnection.h"
#include "destination/IdValues.h"
#include "links/Binding.h"
#include "phases/DestinationTables.h"
#include "phases/Phases.h"
#include "phases/Preparation.h"
#include "phases/RunContext.h"
#include "source/SourceConnection.h"
#include "verification/RunSummary.h"
#include "verification/Verification.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QScopeGuard>

#include <algorithm>

namespace vf {
namespace {

const QString kConnectionLost = QStringLiteral(
    "La connexion à la base Talmérosin a été perdue : les enregistrements restants n'ont pas été importés.");
const QString kStopped = QStringLiteral(
    "Importation arrêtée à la demande : les enregistrements restants n'ont pas été importés.");
const QString kUsersOpenError = QStringLiteral("Erreur lors de l'ouverture de la table des utilisateurs : ");
const QString kPurgeDeclined = QStringLiteral(
    "Importation abandonnée : la base Talmérosin n'a pas été vidée et rien n'a été importé.");

// The kinds of record in the course of the summary: each verified kind on the status line and
// the progress bar.
class ReporterProgress : public VerificationProgress {
public:
    explicit ReporterProgress(Reporter& reporter) : m_reporter(reporter) {}
    void startKind(const QString& status, int total) override
    {
        m_reporter.setStatus(status);
        m_reporter.startProgress(total);
    }
    void step() override { m_reporter.stepProgress(); }

private:
    Reporter& m_reporter;
};

// Sets a flag for the lifetime of a scope.
class FlagGuard {
public:
    explicit FlagGuard(bool& flag) : m_flag(flag) { m_flag = true; }
    ~FlagGuard() { m_flag = false; }

private:
    bool& m_flag;
};

// Whether a folder (or one of its subfolders) holds a file named *.rtf, in any case.
bool holdsLetterDocuments(const QString& folder)
{
    QDirIterator documents(folder, QDir::Files, QDirIterator::Subdirectories);
    while (documents.hasNext())
        if (documents.next().endsWith(QStringLiteral(".rtf"), Qt::CaseInsensitive))
            return true;
    return false;
}

} // namespace

QString purgeQuestion(const QString& server, const QString& database, qint64 rows)
{
    return kPurgeQuestionStart
        + QStringLiteral("%1 lignes de la base %2 du serveur %3, sans retour possible. Vider la base avant importation ?")
              .arg(rows)
              .arg(database, server);
}

struct ImportRun::Private {
    QString programFolder;
    QString settingsPath;
    Reporter& reporter;
    ImportLog& log;
    SourceConnection source;
    DestinationConnection dest;
    std::unique_ptr<IdValues> idValues; // its statements live while the destination is open
    bool running = false;
    bool completed = false; // a run went through its record phases, neither stopped nor cut short
    bool restoreMissing = false;
    int missingRecords = 0;        // by the last run's summary
    SummaryTable summaryTable;     // the last run's summary as figures; empty without one
    KestruneConfig destination; // the server and database that the purge question names
    QStringList wholeKindsMissing; // by the last run's summary

    Private(QString programFolder, QString settingsPath, Reporter& reporter, ImportLog& log)
        : programFolder(std::move(programFolder)), settingsPath(std::move(settingsPath)),
          reporter(reporter), log(log)
    {
    }

    RunOutcome prepareAndRun(RunInputs& inputs);
    RunOutcome runPhases(RunContext& context, bool paradox);
    QStringList summarize(RunContext& context);
    void endRun(RunContext& context, const QStringList& summary);
    RunOutcome abortRun(const QString& message);
};

ImportRun::ImportRun(QString programFolder, QString settingsPath, Reporter& reporter, ImportLog& log)
    : m_d(std::make_unique<Private>(std::move(programFolder), std::move(settingsPath), reporter, log))
{
}

ImportRun::~ImportRun() = default;

bool ImportRun::isRunning() const
{
    return m_d->running;
}

bool ImportRun::hasCompleted() const
{
    return m_d->completed;
}

int ImportRun::missingRecords() const
{
    return m_d->missingRecords;
}

SummaryTable ImportRun::summaryTable() const
{
    return m_d->summaryTable;
}

RunOutcome ImportRun::run(RunInputs& inputs)
{
    // One attempt at a time, and no attempt once a run has completed: a refused call changes
    // nothing.
    if (m_d->running || m_d->completed)
        return RunOutcome::PreparationFailed;
    FlagGuard running(m_d->running);
    try {
        return m_d->prepareAndRun(inputs);
    } catch (const Error& error) {
        // An input-output error on the log or the settings file ends the attempt.
        m_d->reporter.errorBox(error.message());
        return RunOutcome::PreparationFailed;
    }
}

RunOutcome ImportRun::Private::prepareAndRun(RunInputs& inputs)
{
    inputs.talmerosPath = AddTrailingBackslash(inputs.talmerosPath);
    reporter.setDestinationPathText(inputs.talmerosPath);
    if (!pathsAreValid(inputs.v3Path, inputs.courriersPath, inputs.talmerosPath)) {
        reporter.errorBox(kBadPaths);
        for (const QString& line : pathProblems(inputs.v3Path, inputs.courriersPath, inputs.talmerosPath, inputs.pathNames))
            reporter.appendLine(line);
        return RunOutcome::PathsRejected;
    }

    // One program at a time on the link tables, told before anything is written.
    const QString linksRoot = QDir(programFolder).filePath(QStringLiteral("LinksTables"));
    QDir().mkpath(linksRoot);
    LinksLock lock;
    QString busy;
    if (QFileInfo(linksRoot).isDir() && !lock.take(linksRoot, inputs.user, &busy)) {
        reporter.errorBox(busy);
        return RunOutcome::PreparationFailed;
    }
    // However the attempt ends, the source is closed before the lock goes: its copier starts
    // reader processes, and one just started holds a copy of the lock's file until it runs its
    // program, which would keep the link tables locked after the run.
    const auto closeSource = qScopeGuard([this] { source.close(); });

    log.begin(QDateTime::currentDateTime(), inputs.v3Path, inputs.talmerosPath);

    const DestinationAccess access = destinationAccess(inputs.talmerosPath, settingsPath);
    destination = access.config;

    source.close();
    reporter.setStatus(QStringLiteral("connexion à la base Access V3 en ADO..."));
    try {
        source.open(existingFileNoCase(inputs.v3Path));
    } catch (const Error& error) {
        const QString message = accessConnectionFailure(inputs.v3Path, error.message());
        log.WriteLog(message, reporter);
        reporter.errorBox(message);
        return RunOutcome::PreparationFailed;
    }
    reporter.setStatus(QStringLiteral("connexion à la base Access V3 en ADO effectuée"));
    // The source tables are copied ahead, in the order in which the phases read them.
    QStringList statements;
    for (const PhaseOutline& outline : {usersOutline(), correspondentsOutline(), patientsOutline(), historyOutline(),
                                        consultationsOutline(), prescriptionsOutline(QString()), synthesisOutline(),
                                        lettersOutline()})
        statements += QStringList{outline.source} + outline.details;
    source.stageAhead(statements);

    dest.close();
    dest.setQueryTimeout(access.options.queryTimeout);
    reporter.setStatus(QStringLiteral("connexion à la base Talmérosin en ADO..."));
    try {
        dest.open(access.connectionString());
    } catch (const Error& error) {
        const QString message = destinationConnectionFailure(error.message());
        log.WriteLog(message, reporter);
        reporter.errorBox(message);
        return RunOutcome::PreparationFailed;
    }
    reporter.setStatus(QStringLiteral("connexion à la base Talmérosin en ADO effectuée"));

    WindowSettings settings;
    settings.v3 = inputs.v3Path;
    settings.courrier = inputs.courriersPath;
    settings.talmeros = inputs.talmerosPath;
    settings.vider = inputs.vider;
    saveWindowSettings(settingsPath, settings, inputs.rememberVider);

    reporter.setStatus(QStringLiteral("Ouverture de la table des utilisateurs..."));
    try {
        SourceQuery glbMedecin(source, QStringLiteral("Select * from [GLB MEDECIN]\r\nOrder by [CODE MEDECIN]"));
        glbMedecin.open();
        glbMedecin.close();
    } catch (const Error& error) {
        reporter.errorBox(kUsersOpenError + error.message());
        return RunOutcome::KindsMissing;
    }

    // A letters folder without a single document (a share not mounted) is told before anything
    // is written, not after everything else was imported.
    if (!holdsLetterDocuments(inputs.courriersPath)
        && !reporter.askYesNo(kNoLettersQuestionStart + QDir::toNativeSeparators(inputs.courriersPath) + kNoLettersQuestionEnd
                              + QStringLiteral(" (partage non monté, autre dossier ?) : aucun courrier ne sera importé. "
                                               "Importer quand même le reste ?"))) {
        reporter.appendLine(QStringLiteral("Importation abandonnée : rien n'a été importé."));
        return RunOutcome::PreparationFailed;
    }

    // The link tables of this destination, checked against it and the source before any write.
    QString linksFolder = QDir(linksRoot).filePath(access.identity().key());
    if (lock.isHeld()) {
        const LinkTablesBinding binding = bindLinkTables(linksRoot, access.identity(), source, dest, inputs.vider,
                                                         pairedRows(inputs.talmerosPath), reporter);
        if (!binding.refusal.isEmpty()) {
            log.WriteLog(binding.refusal, reporter);
            reporter.errorBox(binding.refusal);
            return RunOutcome::PreparationFailed;
        }
        linksFolder = binding.folder;
    }

    const bool paradox = IsParadoxBase(inputs.talmerosPath);

    idValues = std::make_unique<IdValues>(dest, reporter);
    RunContext context(reporter, log, source, dest, *idValues);
    context.linksFolder = linksFolder;
    context.v3Path = inputs.v3Path;
    context.courriersPath = inputs.courriersPath;
    context.talmerosPath = inputs.talmerosPath;
    context.vider = inputs.vider;
    context.dateFormats = runDateFormats(inputs.talmerosPath);
    context.batchSize = readBatchSize(settingsPath);
    context.stopRequested = inputs.stopRequested;
    context.stoppedLine = kStopped;
    restoreMissing = inputs.restoreMissing;
    return runPhases(context, paradox);
}

RunOutcome ImportRun::Private::runPhases(RunContext& context, bool paradox)
{
    reporter.startElapsed(QDateTime::currentDateTime());
    reporter.runStarted();
    try {
        if (context.vider) {
            reporter.purgeStarted();
            reporter.clearLines();
            const QStringList tables = purgeList(context, destinationTableList(context, paradox));
            const qint64 rows = rowsToPurge(context, tables);
            if (rows > 0 && !reporter.askYesNo(purgeQuestion(destination.serverName, destination.databaseName, rows))) {
                reporter.appendLine(kPurgeDeclined);
                reporter.setStatus(QString());
                reporter.stopElapsed();
                reporter.runEnded(false);
                return RunOutcome::PreparationFailed;
            }
            runPurge(context, tables);
        } else if (restoreMissing) {
            restoreMissingRecords(context);
        }

        reporter.phasesStarted();
        context.unfinished = false;
        try {
            context.patientLinksAtStart = context.dest.scalarInt(QStringLiteral("SELECT COUNT(*) FROM PATMEDTR"));
        } catch (const ConnectionLost&) {
            throw;
        } catch (const Error&) {
            // No table of links yet: the run starts from none.
        }
        runUsersPhase(context);
        runCorrespondentsPhase(context);
        runPatientsPhase(context);
        runHistoryPhase(context);
        runConsultationsPhase(context);
        runPrescriptionsPhase(context); // reports a missing prescription table itself
        runSynthesisPhase(context);
        runLettersPhase(context);
    } catch (const ConnectionLost& lost) {
        // Nothing more can reach the destination: the open batch is gone with the connection,
        // and no further record is tried.
        dest.rollback();
        reporter.appendLine(kErrorPrefix + lost.message);
        reporter.appendLine(kConnectionLost);
        context.unfinished = true;
        context.connectionLost = true;
    } catch (const RunCannotGoOn& stop) {
        dest.rollback();
        reporter.appendLine(stop.line);
        context.unfinished = true;
    } catch (const Error& error) {
        return abortRun(error.message());
    } catch (const std::exception& error) {
        return abortRun(QString::fromUtf8(error.what()));
    }
    const QStringList summary = summarize(context);
    endRun(context, summary);
    if (context.unfinished)
        return RunOutcome::Unfinished;
    return wholeKindsMissing.isEmpty() ? RunOutcome::Finished : RunOutcome::KindsMissing;
}

// The summary of the run, from a verification of the destination over the run's connections: the
// same figures as --verify gives afterwards. Lines of its own when it cannot be made.
QStringList ImportRun::Private::summarize(RunContext& context)
{
    wholeKindsMissing.clear();
    missingRecords = 0;
    summaryTable = {};
    if (context.connectionLost)
        return {QStringLiteral("Le bilan n'a pas pu être établi : la connexion à la base Talmérosin a été perdue.")};
    context.work.close();
    // A table writes the settlement of its last batch when it closes: the summary reads the files.
    for (LinkTable* table : {&context.medecins, &context.medtrait, &context.patients, &context.anteced,
                             &context.motconsu, &context.shared})
        table->close();
    ReporterProgress progress(reporter);
    try {
        const Verification verification =
            verifyOverConnections(source, dest, context.v3Path, context.courriersPath, context.talmerosPath,
                                  context.linksFolder, progress, RecordNames::NotImported);
        QHash<QString, int> importedByRun;
        for (const VerifiedKind& kind : verification.kinds) {
            if (kind.linkTable.isEmpty()) {
                if (kind.records.isEmpty() || kind.title != QStringLiteral("Liens patient <-> correspondant"))
                    continue;
                importedByRun.insert(kind.title, dest.scalarInt(QStringLiteral("SELECT COUNT(*) FROM PATMEDTR"))
                                                     - context.patientLinksAtStart);
            } else {
                importedByRun.insert(kind.title, kind.pairCount - context.pairsAtOpen.value(kind.linkTable.toLower()));
            }
        }
        wholeKindsMissing = verification.wholeKindsMissing();
        for (const VerifiedKind& kind : verification.kinds)
            missingRecords += int(std::count_if(kind.records.cbegin(), kind.records.cend(), lostFromDestination));
        summaryTable = runSummaryTable(verification, importedByRun);
        return runSummary(verification, importedByRun, context.carried);
    } catch (const VerificationFailed& failure) {
        return {QStringLiteral("Le bilan n'a pas pu être établi : ") + failure.message};
    } catch (const Error& error) {
        return {QStringLiteral("Le bilan n'a pas pu être établi : ") + error.message()};
    }
}

// An error that no phase handles ends the run in an error box; the window is then given back
// to the operator.
RunOutcome ImportRun::Private::abortRun(const QString& message)
{
    reporter.errorBox(message);
    reporter.stopElapsed();
    reporter.runEnded(false);
    return RunOutcome::Aborted;
}

void ImportRun::Private::endRun(RunContext& context, const QStringList& summary)
{
    reporter.setProgressVisible(false);
    reporter.setStatus(QString());
    context.work.close();
    idValues.reset();
    const QString elapsed = reporter.stopElapsed();
    dest.close();
    source.close();
    if (reporter.lines().size() > 1)
        reporter.appendLine((context.unfinished ? QStringLiteral("Importation stopée après ")
                                                : QStringLiteral("Importation terminée en "))
                            + elapsed);
    reporter.appendLine(context.unfinished ? QStringLiteral("Traitement inachevé.")
                                           : QStringLiteral("Traitement terminé."));
    for (const QString& line : summary)
        reporter.appendLine(line);
    if (log.hasFile())
        reporter.appendLine(QStringLiteral("Journal : ") + QDir::toNativeSeparators(log.filePath()));
    if (!context.unfinished && !wholeKindsMissing.isEmpty())
        reporter.warningBox(kindsMissingWarning(wholeKindsMissing));
    else
        reporter.notice(context.unfinished ? QStringLiteral("Le traitement n'est pas terminé.")
                                           : QStringLiteral("Le traitement est terminé."));
    completed = !context.unfinished;
    reporter.runEnded(completed);
}

} // namespace vf
