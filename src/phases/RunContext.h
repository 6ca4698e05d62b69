#pragma once

#include "base/Conversions.h"
#include "links/LinkTable.h"
#include "phases/CatchUp.h"
#include "phases/ConsultationFinder.h"
#include "phases/UnitOfWork.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <atomic>

namespace vf {

class DestinationConnection;
class IdValues;
class ImportLog;
class Reporter;
class SourceConnection;
class SourceQuery;

// The destination table whose rows a link table describes: the file's base name in upper case
// ("Medecins.db" -> MEDECINS, the prescription table's own name), except the synthesis sheets,
// which are stored in MOTCONSU.
QString linkedTableOf(const QString& linkFileName);

// What the import run hands every record phase.
struct RunContext {
    RunContext(Reporter& reporter, ImportLog& log, SourceConnection& source, DestinationConnection& dest,
               IdValues& idValues);

    Reporter& reporter;
    ImportLog& log;
    SourceConnection& source;
    DestinationConnection& dest;
    IdValues& idValues;
    UnitOfWork work;
    QString linksFolder;   // LinksTables in the program folder
    QString v3Path;
    QString courriersPath; // the field's text, unchanged
    QString talmerosPath;  // with its final separator
    bool vider = false;    // "Vider la base avant importation"
    int batchSize = 5000;  // records per destination transaction, at most
    DateFormats dateFormats;
    bool unfinished = false;
    // Set from outside the run (the window's "Arrêter", Ctrl-C): the record loop ends the run
    // with stoppedLine at its next batch boundary.
    const std::atomic<bool>* stopRequested = nullptr;
    QString stoppedLine;
    bool connectionLost = false; // nothing more can be asked of the destination

    // What this run found in each link table once its phase opened it (by file name, lower
    // case), and the patients' links in the destination before the phases: the records imported
    // by this run are the pairs and links added since.
    QHash<QString, int> pairsAtOpen;
    // The records imported before this run that it carried again, by link table (lower case).
    QHash<QString, Carried> carried;
    int patientLinksAtStart = 0;

    // Link-table handles: users, correspondents and patients live for the whole run; the
    // prescriptions, synthesis-sheets and letters phases share one handle in turn.
    LinkTable medecins;
    LinkTable medtrait;
    LinkTable patients;
    LinkTable anteced;
    LinkTable motconsu;
    LinkTable shared;

    // The consultation counter, from the consultations phase to the synthesis-sheets phase, and
    // the consultations that the prescriptions and synthesis-sheets phases find and create.
    int consultationCounter = 0;
    ConsultationFinder consultations;

    // OpenLinkTable on a handle, then settle what a program that died left pending (the purge
    // emptied the link tables before it deleted anything).
    void openPhaseLinkTable(LinkTable& table, const QString& fileName);
    // Opens a link table filled by an earlier phase when the handle is closed.
    void ensureOpen(LinkTable& table, const QString& fileName);
    // The source-open rule: opens the data set; on failure shows errorText + the error's
    // message in an error box, sets the unfinished mark and returns false.
    bool openSource(SourceQuery& query, const QString& errorText);

    // The destination tables that the purge could not empty, and those it emptied (upper case).
    // A phase whose table is among the first keeps its link table, so that its records are not
    // imported a second time.
    QSet<QString> unpurgedTables;
    QSet<QString> purgedTables;
    // True when the purge emptied a table of rows that hang on the rows of one it could not
    // empty: the records kept then get those rows again.
    bool purgeLeft(const QString& kept, const QString& emptied) const
    {
        return vider && unpurgedTables.contains(kept) && purgedTables.contains(emptied);
    }
};

} // namespace vf
