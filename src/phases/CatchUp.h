#pragma once

#include "links/Fingerprint.h"
#include "links/LinkTable.h"
#include "phases/UnitOfWork.h"

#include <QString>

#include <functional>
#include <optional>

namespace vf {

class Reporter;
class SourceConnection;

// The source fields of each kind of record that its print is made of: those its phase reads.
// The detail lines of a header are the field "lignes" (detailPrints), a letter's file the field
// "fichier" (letterFilePrint).
QStringList doctorFields();
QStringList correspondentFields();
QStringList patientFields();
QStringList historyFields();
QStringList headerFields(); // consultations, prescriptions
QStringList sheetFields();
QStringList letterFields();
inline const QString kDetailField = QStringLiteral("lignes");
inline const QString kFileField = QStringLiteral("fichier");

// The print of each header's detail lines (each line's level and text, in CodeLigne order), by
// CodeTitre: one pass over the detail table.
QHash<qint32, quint64> detailPrints(SourceConnection& source, const QString& detailTable);
// The same for a phase: a table that cannot be read is reported, and its headers are printed
// without their lines.
QHash<qint32, quint64> readDetailPrints(SourceConnection& source, const QString& detailTable, Reporter& reporter);
// A letter's file as its print sees it: its size and time of last change (nothing when it is
// not found).
QVariant letterFilePrint(const QString& path);

// What a run did with records imported before it whose source changed since: rewritten from
// the source, or left as the destination holds them (changed there too).
struct Carried {
    int updated = 0;
    int kept = 0;
};

// What a record's part of the destination is now, against what the run wrote for it and what
// the source would write now.
enum class Carry {
    Unchanged, // the source is as imported: nothing to do
    Rewrite,   // the destination holds what the run wrote: rewritten from the source
    Kept,      // the destination was changed since: its version is kept
    Baseline,  // a pair made before prints were kept: the prints are taken as things are now
};

// A record whose code has a pair: is its source what the pair's prints say?
bool sourceUnchanged(const PairPrints& stored, const SourcePrint& now);

// What to do for a record whose source changed (or whose pair has no prints yet). destNow: the
// print of what the destination holds now; wouldWrite: of what the source would write now.
Carry carryDecision(const PairPrints& stored, quint64 destNow, quint64 wouldWrite);

// The print of a row's columns as written (the identifier apart), and of the same columns as the
// destination holds them now, each read value taken as the type that was written; alone: the row
// is read by itself, not in a window of a thousand rows per column.
QList<QVariant> writtenValues(const Columns& columns);
quint64 rowPrintNow(UnitOfWork& work, const QString& table, const QString& idColumn, qint32 id, const Columns& columns,
                    bool alone);

// Carries one record kept in a row of its own: compares, then rewrites the row's columns or
// keeps the destination's version with the line "… <record> … : la version de Talmérosin est
// gardée." Returns what it did; the new prints are recorded. `record` names the record as the
// phase's other lines do.
Carry carryRow(UnitOfWork& work, LinkTable& links, qint32 code, const SourcePrint& print,
               const QString& table, const QString& idColumn, qint32 id, const Columns& columns, const QString& record,
               Carried& carried);

// Carries one record's part of a text that several records share (history items, prescription
// lines, synthesis sheet lines): the part is found by its print in the text of the first row and
// replaced by the new part in every row given; nothing else of the text changes.
Carry carryPart(UnitOfWork& work, LinkTable& links, qint32 code, const SourcePrint& print, const QString& table,
                const QString& idColumn, const QList<qint32>& rows, const QString& column, const QString& newPart,
                const QString& record, Carried& carried);

// The line of a record whose destination's version is kept.
QString keptLine(const QString& record);

} // namespace vf
