#pragma once

#include "links/LinksLock.h"
#include "phases/Preparation.h"
#include "verification/RunSummary.h"

#include <QString>
#include <atomic>
#include <memory>

namespace vf {

class ImportLog;
class Reporter;

// What the window gives the run: the texts of its three path fields and the purge box.
struct RunInputs {
    QString v3Path;
    QString courriersPath;
    QString talmerosPath;
    bool vider = false;
    // Set by the front end (the window's "Arrêter", Ctrl-C) to stop the run at its next batch
    // boundary: what is committed stays with its pairs, nothing of the open batch is left, and
    // the run ends unfinished; the next run goes on from there. Read without a lock, so that a
    // signal handler may set it.
    const std::atomic<bool>* stopRequested = nullptr;
    // A batch run leaves the window's purge box in the settings file as the window saved it.
    bool rememberVider = true;
    // How the paths are named in the lines that tell what is wrong with them.
    PathNames pathNames = {};
    LinksUser user = LinksUser::Window; // who holds the link tables, named to a refused program
    // Records imported earlier whose destination row was deleted since are imported again as
    // new rows, their pairs replaced; without it they are named and left alone.
    bool restoreMissing = false;
};

// The question asked before a purge that will delete rows, naming the destination and the rows.
QString purgeQuestion(const QString& server, const QString& database, qint64 rows);

enum class RunOutcome {
    PathsRejected,     // the path check failed (no log written)
    PreparationFailed, // a connection or the users-table check failed
    Finished,          // "Traitement terminé."
    Unfinished,        // "Traitement inachevé."
    Aborted,           // an error that no phase handles ended the run (shown in an error box)
    KindsMissing,      // a kind of record missing as a whole: the users' table unreadable, no
                       // prescription table, a letters folder holding none of the letters
};

// The import run behind "&Importer". One object lives as long as the window (or the batch run)
// and owns both connections; run() performs one attempt. ProgramTermination escapes run()
// when the program must end at once.
class ImportRun {
public:
    // programFolder: the program folder chosen at start-up (LinksTables, import log; see
    // chooseProgramFiles); settingsPath: the settings file.
    ImportRun(QString programFolder, QString settingsPath, Reporter& reporter, ImportLog& log);
    ~ImportRun();

    RunOutcome run(RunInputs& inputs);
    bool isRunning() const;
    // True once a run has gone through its record phases without being stopped or cut short:
    // "&Importer" then stays disabled. After a run stopped or cut short, the next goes on.
    bool hasCompleted() const;
    // The records imported earlier that the last run's summary found missing from the
    // destination (a row deleted there, a copied letter gone): a batch run ends with status 1.
    int missingRecords() const;
    // The last run's summary as a table of figures; no row when the run made none (it ended
    // before its phases, or its summary could not be made).
    SummaryTable summaryTable() const;

    struct Private;

private:
    std::unique_ptr<Private> m_d;
};

} // namespace vf
