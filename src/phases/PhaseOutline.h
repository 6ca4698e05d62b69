#pragma once

#include "phases/UnitOfWork.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <utility>

namespace vf {

class LinkTable;
class SourceRecord;
struct RunContext;

// The steps of a record phase. Every phase takes them from this list, in its own order.
enum class Step {
    LinkTable,            // open the phase's link table, emptied by a purge
    Seed,                 // seed the phase's counters from the destination
    OpenSource,           // the opening status, then the source (the source-open rule)
    Prepare,              // what the phase needs before its records (statements, finds, tables)
    Progress,             // the progress bar at 0 of the number of source records (0 unopened)
    ProgressBarShown,     // the progress bar made visible
    Importing,            // the importing statuses
    ImportingWhenOpened,  // the importing statuses, only when the source is open
    Records,              // each source record: one progress step, then the record, in batches
    ClearStatus,          // an empty status line
    IdValues,             // the phase's counters raised in ID_VALUES
    CountLines,           // the phase's count lines in the text area
};

// What a phase is made of besides its records: its link table and the destination row that its
// pairs stand for, its source statement, its texts and the order of its steps.
struct PhaseOutline {
    QString linkTable;        // the file in LinksTables ("Medecins.db")
    QString code;             // the source column whose value is the pairs' SOURCE
    PairRow pairRow;
    QString source;           // the source statement
    QStringList details = {}; // the other source statements that its records read
    QString opening;          // the status while the source opens
    QStringList importing;    // the statuses once it is open
    QString openError;        // the error box's text when the source cannot be opened
    QList<Step> steps;
};

// One record phase: the outline drives it, the phase supplies what differs.
class Phase {
public:
    virtual ~Phase() = default;

    virtual PhaseOutline outline() const = 0;
    virtual LinkTable& links() = 0;

    virtual void seed() {}
    // opened: whether the source could be opened.
    virtual void prepare([[maybe_unused]] bool opened) {}
    virtual void importRecord(const SourceRecord& record, UnitOfWork& work) = 0;
    // The state that records change (counters, finds, reported codes), put back by the function
    // returned when a refused batch is done again one record at a time.
    virtual std::function<void()> checkpoint() = 0;
    // What the batch's records left under way besides their writes, finished before the batch
    // commits; false when part of it failed: the batch is then done again one record at a time.
    virtual bool settleBatch() { return true; }
    // The ID_VALUES keys with their values, and the count lines, at the end of the phase.
    virtual QList<std::pair<QString, int>> idValues() = 0;
    virtual QStringList countLines() = 0;
    // Closes the link tables the phase opened.
    virtual void finish() {}
};

// Runs a phase's steps in order, then closes its source and calls finish().
void runPhase(RunContext& context, Phase& phase);

} // namespace vf
