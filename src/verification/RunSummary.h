#pragma once

#include "phases/CatchUp.h"
#include "verification/Verification.h"

#include <QHash>
#include <QString>
#include <QStringList>

namespace vf {

// The lines that end an import run's report, after its end lines ("Traitement terminé."): for each kind of record,
// the source records, those this run imported, those imported before it and still in the
// destination, and those refused, by reason, with what each figure counts; then the kinds missing
// as a whole. importedByRun: the records this run imported, by the
// kind's title. The figures are the verification's, made over the destination after the run.
// carriedByRun: the records imported before the run that it carried again (rewritten from the
// source, or kept as the destination holds them), by link table (lower case).
QStringList runSummary(const Verification& verification, const QHash<QString, int>& importedByRun,
                       const QHash<QString, Carried>& carriedByRun = {});

// Figures as the window shows them in a table: a row per kind of record, then the total, under
// the columns' titles.
struct SummaryTable {
    struct Row {
        QString kind;
        QList<int> figures; // one per column
    };
    QStringList columns;
    QList<Row> rows;
};

// The figures of runSummary: for each kind, the source records, those this run imported, those
// imported before it, and those refused, to import, pending and missing.
SummaryTable runSummaryTable(const Verification& verification, const QHash<QString, int>& importedByRun);

// The warning box of a run that ended while kinds of records are missing as a whole.
QString kindsMissingWarning(const QStringList& wholeKindsMissing);

} // namespace vf
