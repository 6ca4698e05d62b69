#pragma once

#include "links/LinksLock.h"
#include "phases/Preparation.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

namespace vf {

class DestinationConnection;
class SourceConnection;

// Where a source record stands after the runs so far.
enum class RecordState {
    Imported, // it has a link pair and the destination row of the pair exists
    Refused,  // no pair, and the run would refuse it for a reason known without writing
    ToImport, // no pair and no such reason: the next run imports it
    Pending,  // a pending pair left by a program that died: the next run settles it
    Missing,  // a pair whose destination row (or copied letter) is gone
};

struct VerifiedRecord {
    QString name;    // the record as the run names it, by its source codes
    RecordState state = RecordState::ToImport;
    QString detail;  // the reason of a refusal, or what is missing
    QString patient = {}; // the patient it belongs to: name, first name and birth date, when known
    // Imported, and changed in the source since: the source fields that differ.
    bool changed = false;
    QStringList changedFields = {};
};

// The reason of a refusal without the record's particulars ("patient non importé", "fichier du
// courrier introuvable", "valeur trop longue pour la colonne NOM"): refusals are counted by it.
QString refusalReason(const VerifiedRecord& record);
// What the technician does about the records refused for that reason.
QString refusalAction(const QString& reason);

// Why an imported record is missing from the destination, counted by it: its row deleted in
// Talmérosin, its copied letter gone or changed, its patient's link gone.
QString missingReason(const VerifiedRecord& record);
// What the technician does about the records missing for that reason.
QString missingAction(const QString& reason);
// Whether a record imported earlier lost what the destination held of it (its row, its copied
// letter, its patient's link), rather than never got it (a link whose correspondent is not
// imported yet).
bool lostFromDestination(const VerifiedRecord& record);

// One kind of record: every source record, in the order in which the run reads them.
struct VerifiedKind {
    QString title;
    QList<VerifiedRecord> records;
    int identicalFiles = -1; // letters only: copies present and identical to their source file
    QString linkTable;       // the file of its pairs in LinksTables; empty for the patients' links
    int pairCount = 0;       // the pairs in that file
    // Why no record of the kind can be imported, when a setting or a folder is wrong (no
    // prescription table, a letters folder holding none of the letters); empty otherwise.
    QString wholeKindMissing;
    QString wholeKindAction; // what the technician does about it
    QString unit;            // what one record is, where the destination's rows count otherwise
    // Records imported before and deleted from the source since (the destination keeps them).
    QList<VerifiedRecord> deletedInSource = {};

    int count(RecordState state) const;
    int changedCount() const; // imported records changed in the source since
};

// The proof of a migration: what the source holds, set against the link tables, the
// destination and the letters folders.
struct Verification {
    QString v3Path;
    QString courriersPath;
    QString talmerosPath;
    QDateTime at;
    QString server;   // the destination's server and database, from Kestrune.ver
    QString database;
    QString program;  // the program and its version
    QList<VerifiedKind> kinds;
    // The refusal with which a run would end before writing anything (another practice's file,
    // a destination restored from an older backup, ...); empty when a run would go on.
    QString runRefusal;

    // Nothing to import, pending or missing (refusals for a known reason do not count), no change
    // of the source left to carry, no kind missing as a whole, and no refusal of the run.
    bool complete() const;
    // The kinds missing as a whole: "title : reason".
    QStringList wholeKindsMissing() const;
};

// The course of a verification, one stretch for each kind of record read.
class VerificationProgress {
public:
    virtual ~VerificationProgress() = default;
    virtual void startKind(const QString& status, int total) = 0;
    virtual void step() = 0;
};

// A verification that cannot be made: the paths, a connection, a source table or a link table
// that cannot be read. The message is the one the run gives.
struct VerificationFailed {
    QString message;
};

// LinksTables in the program folder, with lock holding it shared with other verifications while
// they read it. A missing LinksTables holds nothing and is not created. Throws
// VerificationFailed, naming the holder, while a run holds the link tables.
QString verificationLinksRoot(LinksLock& lock, const QString& programFolder);

// Reads the source, the destination that Kestrune.ver names (with the settings file's
// [Destination] options), the link tables that a run would read under linksRoot, after the checks
// that a run makes before it writes (runRefusal), and both letters folders, and writes to none
// of them. One pass over each source table, one statement for each destination table. Throws
// VerificationFailed.
// names: how the paths are called in the lines that tell what is wrong with them.
Verification verifyMigration(const QString& v3Path, const QString& courriersPath, const QString& talmerosPath,
                             const QString& linksRoot, const QString& settingsPath, VerificationProgress& progress,
                             const PathNames& names = {});

// Which records a verification names: every one (a report lists them all), or only those that
// are not imported (a run's summary counts the imported ones, whose names stay empty, and what
// it carried itself: changes in the source are then not looked for).
enum class RecordNames { Every, NotImported };

// The same over connections that are open already (the end of an import run), which it leaves
// open.
Verification verifyOverConnections(SourceConnection& source, DestinationConnection& dest, const QString& v3Path,
                                   const QString& courriersPath, const QString& talmerosPath,
                                   const QString& linksFolder, VerificationProgress& progress,
                                   RecordNames names = RecordNames::Every);

} // namespace vf
