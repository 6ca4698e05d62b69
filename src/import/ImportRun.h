#pragma once

#include "links/LinksLock.h"

#include <QString>
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
    LinksUser user = LinksUser::Window; // who holds the link tables, named to a refused program
};

enum class RunOutcome {
    PathsRejected,     // the path check failed (no log written)
    PreparationFailed, // a connection or the users-table check failed
    Finished,          // "Traitement terminé."
    Unfinished,        // "Traitement inachevé."
    Aborted,           // an error that no phase handles ended the run (shown in an error box)
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
    // True once a run has reached its record phases: "&Importer" then stays disabled.
    bool phasesStarted() const;

    struct Private;

private:
    std::unique_ptr<Private> m_d;
};

} // namespace vf
