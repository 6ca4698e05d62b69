#include "import/PhaseText.h"
#include "import/Phases.h"
#include "import/RunContext.h"

#include "db/DestinationConnection.h"
#include "db/Errors.h"
#include "db/IdValues.h"
#include "db/Reporter.h"
#include "db/SourceConnection.h"

namespace vf {

namespace {

const QString kSourceText = QStringLiteral(
    "select AP.[CODE ANTECEDENT PATIENT], AP.[CODE PATIENT], AP.[CODE ANTECEDENT], AP.[DATE],\r\n"
    "  AA.[LIBELLE],\r\n"
    "  AC.[DONNEES]\r\n"
    "from [ANT ANTECEDENT PATIENT] AP,\r\n"
    "  [ANT ANTECEDENT] AA,\r\n"
    "  [ANT COMMENTAIRE ANTECEDENT PATIENT] AC\r\n"
    "WHERE AA.[CODE ANTECEDENT] = AP.[CODE ANTECEDENT]\r\n"
    "  AND AP.[CODE ANTECEDENT PATIENT] = AC.[CODE ANTECEDENT PATIENT]\r\n"
    "ORDER BY AP.[CODE PATIENT], AP.[DATE]");

// QryAnteced; a new row is written by an insert naming exactly the columns the phase sets.
const QString kFindText = QStringLiteral("SELECT * FROM ANTECED\r\nWHERE PATIENTS_ID=:patientsID");
const QString kInsertText = QStringLiteral(
    "INSERT INTO ANTECED (ANTECED_ID, PATIENTS_ID, AUTRES)\r\nVALUES (:id, :patientsID, :autres)");
const QString kUpdateText = QStringLiteral(
    "UPDATE ANTECED \r\nSET AUTRES=:autres\r\nWHERE PATIENTS_ID=:patientsID");

const QString kErrorPrefix = QStringLiteral("Erreur : ");

// One history item: appended to the patient's ANTECED text, or the patient's row created.
void importItem(RunContext& context, const SourceQuery& items, DestQuery& find, DestQuery& insert,
                DestQuery& update, int& counter)
{
    Reporter& reporter = context.reporter;
    const qint32 itemCode = items.intValue(QStringLiteral("CODE ANTECEDENT PATIENT"));
    if (context.anteced.find(itemCode))
        return;
    const QString patientText = codeText(items, QStringLiteral("CODE PATIENT"));
    if (!context.patients.find(items.intValue(QStringLiteral("CODE PATIENT")))) {
        reporter.appendLine(QStringLiteral("Impossible de retrouver le dossier n°") + patientText
                            + QStringLiteral(". Les antécédents de ce dossier ne seront pas importés."));
        return;
    }
    const qint32 patientId = context.patients.dest();
    // A null comment or label reads as an empty text.
    const QString item = items.textValue(QStringLiteral("DONNEES")) + QStringLiteral(" : ")
        + items.textValue(QStringLiteral("LIBELLE"));

    // A failing find is reported and the item gets no link pair: a later run tries it again.
    qint32 antecedId = 0;
    QString stored;
    try {
        find.close();
        find.bind(QStringLiteral("patientsID"), patientId);
        find.open();
        if (!find.eof() && find.value(0).toInt() > 0) {
            antecedId = find.value(0).toInt();
            stored = find.value(QStringLiteral("AUTRES")).toString();
        }
        find.close();
    } catch (const Error& error) {
        find.close();
        reporter.appendLine(kErrorPrefix + error.message());
        return;
    }

    if (antecedId > 0) {
        try {
            // A null stored text reads as empty, so the update never writes a null over it.
            update.bind(QStringLiteral("autres"), stored + QLatin1Char('\r') + item);
            update.bind(QStringLiteral("patientsID"), patientId);
            update.exec();
        } catch (const Error& error) {
            reporter.appendLine(QStringLiteral("Impossible d'actualiser les antécédents du dossier n°") + patientText
                                + QStringLiteral("]. Ces antécédents ne seront pas importés."));
            reporter.appendLine(kErrorPrefix + error.message());
            return;
        }
        try {
            context.anteced.record(itemCode, antecedId);
        } catch (const Error& error) {
            context.anteced.cancel();
            reporter.appendLine(QStringLiteral("Erreur lors de l'enregistrement de l'antécédent n°")
                                + QString::number(itemCode) + QStringLiteral(". Il ne sera pas importé."));
            reporter.appendLine(kErrorPrefix + error.message());
        }
        return;
    }

    ++counter;
    try {
        insert.bind(QStringLiteral("id"), counter);
        insert.bind(QStringLiteral("patientsID"), patientId);
        insert.bind(QStringLiteral("autres"), item);
        insert.exec();
    } catch (const Error& error) {
        reporter.appendLine(QStringLiteral("Erreur lors de l'enregistrement des antécédents du dossier n°")
                            + patientText + QStringLiteral("]. Ces antécédents ne seront pas importés."));
        reporter.appendLine(kErrorPrefix + error.message());
        return;
    }
    try {
        context.anteced.record(itemCode, counter);
    } catch (const Error& error) {
        context.anteced.cancel();
        reporter.appendLine(kErrorPrefix + error.message());
    }
}

} // namespace

void runHistoryPhase(RunContext& context)
{
    Reporter& reporter = context.reporter;
    context.openPhaseLinkTable(context.anteced, QStringLiteral("Anteced.db"));

    reporter.setStatus(QStringLiteral("Ouverture de la table des antécédents..."));
    SourceQuery items(context.source, kSourceText);
    const bool opened =
        context.openSource(items, QStringLiteral("Erreur lors de l'ouverture de la table des antécédents : "));

    int counter = context.dest.scalarInt(QStringLiteral("SELECT max(ANTECED_ID) FROM ANTECED"));
    context.ensureOpen(context.patients, QStringLiteral("Patients.db"));

    reporter.startProgress(opened ? items.recordCount() : 0);
    reporter.setStatus(QStringLiteral("Importation des antécédents..."));

    DestQuery find(context.dest, kFindText);
    DestQuery insert(context.dest, kInsertText);
    DestQuery update(context.dest, kUpdateText);

    if (opened)
        forEachRecord(reporter, items, [&] {
            importItem(context, items, find, insert, update, counter);
        });

    closeQuietly(items);
    context.idValues.WriteIdValue(QStringLiteral("ANTECED"), counter, false);
    reporter.appendLine(QString::number(counter) + QStringLiteral(" antécédents après importation."));
    context.patients.close();
}

} // namespace vf
