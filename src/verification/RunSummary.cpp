#include "verification/RunSummary.h"

#include <algorithm>
#include <map>

namespace vf {
namespace {

// What this run imported of a kind: its own count, within what the destination holds.
int importedByThisRun(const VerifiedKind& kind, const QHash<QString, int>& importedByRun)
{
    return std::clamp(importedByRun.value(kind.title), 0, kind.count(RecordState::Imported));
}

} // namespace

SummaryTable runSummaryTable(const Verification& verification, const QHash<QString, int>& importedByRun)
{
    SummaryTable table;
    table.columns = {QStringLiteral("Source"),     QStringLiteral("Importés"),   QStringLiteral("Déjà présents"),
                     QStringLiteral("Refusés"),    QStringLiteral("À importer"), QStringLiteral("En attente"),
                     QStringLiteral("Absents")};
    SummaryTable::Row total{QStringLiteral("Total"), QList<int>(table.columns.size(), 0)};
    for (const VerifiedKind& kind : verification.kinds) {
        const int byRun = importedByThisRun(kind, importedByRun);
        SummaryTable::Row row{kind.title,
                              {int(kind.records.size()), byRun, kind.count(RecordState::Imported) - byRun,
                               kind.count(RecordState::Refused), kind.count(RecordState::ToImport),
                               kind.count(RecordState::Pending), kind.count(RecordState::Missing)}};
        for (qsizetype i = 0; i < row.figures.size(); ++i)
            total.figures[i] += row.figures.at(i);
        table.rows.append(row);
    }
    table.rows.append(total);
    return table;
}

QStringList runSummary(const Verification& verification, const QHash<QString, int>& importedByRun,
                       const QHash<QString, Carried>& carriedByRun)
{
    QStringList lines{QStringLiteral("Bilan par type d'enregistrement (source : enregistrements de la base V3 ; importés : "
                                     "par cette importation ; déjà présents : importés avant elle et toujours dans la base "
                                     "Talmérosin ; refusés : non importés, pour la raison indiquée) :")};
    int totals[4] = {0, 0, 0, 0};
    std::map<RecordState, int> leftTotals;
    for (const VerifiedKind& kind : verification.kinds) {
        const int source = int(kind.records.size());
        const int imported = kind.count(RecordState::Imported);
        const int byRun = importedByThisRun(kind, importedByRun);
        const int refused = kind.count(RecordState::Refused);
        totals[0] += source;
        totals[1] += byRun;
        totals[2] += imported - byRun;
        totals[3] += refused;
        QString line = QStringLiteral("  %1 : %2 source, %3 importés, %4 déjà présents, %5 refusés")
                           .arg(kind.title)
                           .arg(source)
                           .arg(byRun)
                           .arg(imported - byRun)
                           .arg(refused);
        std::map<QString, int> reasons; // in the order of their names, for a stable report
        for (const VerifiedRecord& record : kind.records)
            if (record.state == RecordState::Refused)
                ++reasons[refusalReason(record)];
        QStringList byReason;
        for (const auto& [reason, count] : reasons)
            byReason.append(reason + QStringLiteral(" : ") + QString::number(count));
        if (!byReason.isEmpty())
            line += QStringLiteral(" (") + byReason.join(QStringLiteral(" ; ")) + QLatin1Char(')');
        for (const auto& [state, text] : {std::pair{RecordState::ToImport, "restent à importer"},
                                          std::pair{RecordState::Pending, "en attente"},
                                          std::pair{RecordState::Missing, "absents de la destination"}})
            if (const int count = kind.count(state); count > 0) {
                line += QStringLiteral(", %1 %2").arg(count).arg(QString::fromUtf8(text));
                leftTotals[state] += count;
            }
        const Carried carried = carriedByRun.value(kind.linkTable.toLower());
        if (carried.updated > 0)
            line += QStringLiteral(", %1 mis à jour par cette importation (changés dans la base V3)").arg(carried.updated);
        if (carried.kept > 0)
            line += QStringLiteral(", %1 gardés dans leur version Talmérosin (changés des deux côtés)").arg(carried.kept);
        if (!kind.deletedInSource.isEmpty())
            line += QStringLiteral(", %1 supprimés de la base V3 (gardés dans la base Talmérosin)").arg(kind.deletedInSource.size());
        if (!kind.unit.isEmpty())
            line += QStringLiteral(" (") + kind.unit + QLatin1Char(')');
        lines.append(line + QLatin1Char('.'));
    }
    // Every source record in one figure: the total adds up.
    QString total = QStringLiteral("  Total : %1 source, %2 importés, %3 déjà présents, %4 refusés")
                        .arg(totals[0])
                        .arg(totals[1])
                        .arg(totals[2])
                        .arg(totals[3]);
    for (const auto& [state, text] : {std::pair{RecordState::ToImport, "restent à importer"},
                                      std::pair{RecordState::Pending, "en attente"},
                                      std::pair{RecordState::Missing, "absents de la destination"}})
        if (const int count = leftTotals[state]; count > 0)
            total += QStringLiteral(", %1 %2").arg(count).arg(QString::fromUtf8(text));
    lines.append(total + QLatin1Char('.'));
    // An absent record is named: a row deleted in Talmérosin is not brought back without being asked.
    std::map<QString, int> absences;
    for (const VerifiedKind& kind : verification.kinds)
        for (const VerifiedRecord& record : kind.records)
            if (record.state == RecordState::Missing) {
                lines.append(QStringLiteral("  Absent de la base Talmérosin : %1 : %2 (%3).").arg(kind.title, record.name, record.detail));
                ++absences[missingReason(record)];
            }
    for (const auto& [reason, count] : absences)
        lines.append(QStringLiteral("  Que faire (%1 : %2) : %3").arg(reason).arg(count).arg(missingAction(reason)));
    for (const QString& missing : verification.wholeKindsMissing())
        lines.append(QStringLiteral("Attention, rien n'est importé : ") + missing);
    return lines;
}

QString kindsMissingWarning(const QStringList& wholeKindsMissing)
{
    return QStringLiteral("Le traitement est terminé, mais des types d'enregistrements n'ont pas été importés du tout :\n")
        + wholeKindsMissing.join(QLatin1Char('\n'));
}

} // namespace vf
