#include "base/Errors.h"
#include "base/Reporter.h"
#include "destination/DestinationConnection.h"
#include "destination/IdValues.h"
#include "links/LinkTable.h"
#include "phases/DestinationTables.h"
#include "phases/Phases.h"
#include "phases/RunContext.h"

#include <QDir>

namespace vf {
namespace {

// What a link table held before the purge emptied it.
struct HeldPairs {
    QString fileName;
    QHash<qint32, qint32> pairs;
    QList<PendingPair> pending;
};

// Every link table of the destination, read, then emptied, before the purge deletes a row: a
// purge stopped anywhere leaves no pair standing for a row that it deleted, whichever phases the
// run reached.
QList<HeldPairs> emptyLinkTables(RunContext& context)
{
    QList<HeldPairs> held;
    for (const QString& file : QDir(context.linksFolder).entryList({QStringLiteral("*.db")}, QDir::Files, QDir::Name)) {
        LinkTable table;
        OpenLinkTable(table, context.linksFolder, file, context.log, context.reporter);
        held.append({file, readLinkTable(context.linksFolder, file).pairs, table.pending()});
        table.empty();
    }
    return held;
}

// A link table whose destination table the purge could not empty gets its pairs back: its
// records are still there and must not be imported a second time.
void restoreLinkTable(RunContext& context, const HeldPairs& held)
{
    LinkTable table;
    OpenLinkTable(table, context.linksFolder, held.fileName, context.log, context.reporter);
    QList<PendingPair> pairs;
    for (auto pair = held.pairs.cbegin(); pair != held.pairs.cend(); ++pair)
        pairs.append({pair.key(), pair.value()});
    table.addPending(pairs);
    table.settleAll();
    table.addPending(held.pending);
}

// Emptied on every purge, whether or not the destination has them, in this order.
const char* const kFixedTables[] = {
    "PATMEDTR", "MEDTRAIT", "IMAGES", "ANTECED", "LETTERS", "LETTERS_EMAILED",
    "LETTERS_WORKLIST", "SIMPLIFY", "TASKS", "IMPDATA", "PLANNING", "CPACTES",
    "CPBANKS", "CPMAIN", "CPGEST", "CPORDPAY", "CPORG", "CPREM",
    "CPTRANS", "CPNLOTS", "CPSVFACT", "CPSVMED", "CPSVNOE", "CPSVXMD2",
    "VIDAL", "DICOM_EXPORTS", "FAMILY_ID", "MOTCONSU", "PATIENTS", "MEDECINS",
};

} // namespace

QStringList purgeList(RunContext& context, QStringList tableList)
{
    for (const char* name : kFixedTables)
        tableList.append(QString::fromLatin1(name));
    // The prescription table is emptied too: its rows would otherwise keep pointing at patient
    // and consultation identifiers that the phases hand out again.
    const QString prescriptionTable = FindPrescriptionTable(context.talmerosPath);
    if (prescriptionTable != QStringLiteral("erreur") && !tableList.contains(prescriptionTable))
        tableList.append(prescriptionTable);
    return tableList;
}

qint64 rowsToPurge(RunContext& context, const QStringList& purgeList)
{
    qint64 rows = 0;
    for (const QString& name : purgeList) {
        if (!isPlainIdentifier(name))
            continue;
        try {
            rows += context.dest.scalarInt(QStringLiteral("SELECT COUNT(*) FROM ") + name);
        } catch (const Error&) {
            // A table that the destination does not have holds nothing to delete.
        }
    }
    return rows;
}

QList<PairedRows> pairedRows(const QString& talmerosPath)
{
    const QString prescriptionTable = FindPrescriptionTable(talmerosPath);
    QList<std::pair<PhaseOutline, QString>> phases = {
        {usersOutline(), QStringLiteral("médecins")},
        {correspondentsOutline(), QStringLiteral("correspondants")},
        {patientsOutline(), QStringLiteral("patients")},
        {historyOutline(), QStringLiteral("antécédents")},
        {consultationsOutline(), QStringLiteral("consultations")},
        {synthesisOutline(), QStringLiteral("fiches de synthèse")},
        {lettersOutline(), QStringLiteral("courriers")},
    };
    if (prescriptionTable != QStringLiteral("erreur"))
        phases.append({prescriptionsOutline(prescriptionTable), QStringLiteral("prescriptions")});
    QList<PairedRows> paired;
    for (const auto& [outline, what] : phases)
        paired.append({outline.linkTable, outline.pairRow.table, outline.pairRow.idColumn, what});
    return paired;
}

void runPurge(RunContext& context, const QStringList& tableList)
{
    Reporter& reporter = context.reporter;
    reporter.appendLine(QStringLiteral("Purge des données de la base de destination en cours..."));
    reporter.setStatus(QStringLiteral("Purge des tables de la base Kestrune..."));
    const QList<HeldPairs> held = emptyLinkTables(context);
    DestQuery query1(context.dest);
    for (const QString& name : tableList) {
        // The name goes into the statement as it is: only a plain identifier can carry no
        // statement of its own.
        if (!isPlainIdentifier(name)) {
            reporter.appendLine(QStringLiteral("La table ") + name + QStringLiteral(" n'a pas pu être vidée :")
                                + QStringLiteral(" son nom n'est pas un nom de table valide (lettres, chiffres "
                                                 "et « _ » seulement)."));
            continue;
        }
        reporter.setStatus(QStringLiteral("Purge de la table [") + name
                           + QStringLiteral("] de la base Talmérosin..."));
        bool deleted = false;
        try {
            query1.setText(QStringLiteral("DELETE FROM ") + name);
            query1.exec();
            deleted = true;
            context.purgedTables.insert(name.toUpper());
            context.idValues.WriteIdValue(name, 0, true);
            reporter.appendLine(QStringLiteral("Purge de la table ") + name
                                + QStringLiteral(" effectuée."));
        } catch (const Error& error) {
            reporter.appendLine(QStringLiteral("La table ") + name
                                + QStringLiteral(" n'a pas pu être vidée :") + error.message());
            if (!deleted)
                context.unpurgedTables.insert(name.toUpper());
        }
    }
    for (const HeldPairs& table : held)
        if (context.unpurgedTables.contains(linkedTableOf(table.fileName)))
            restoreLinkTable(context, table);
    reporter.appendLine(QStringLiteral("Purge des données terminée."));
}

} // namespace vf
