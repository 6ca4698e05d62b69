#include "import/ConsultationStatements.h"
#include "import/PhaseText.h"
#include "import/Phases.h"
#include "import/RunContext.h"

#include "db/Conversions.h"
#include "db/DestinationConnection.h"
#include "db/Errors.h"
#include "db/IdValues.h"
#include "db/Reporter.h"
#include "db/SourceConnection.h"

namespace vf {

namespace {

const QString kHeaderText =
    QStringLiteral("select *\r\nfrom  [CON CONSULTATION]\r\nORDER BY [CODE PATIENT], [DATE]");
const QString kDetailText = QStringLiteral(
    "SELECT * FROM [CON SOUS CONSULTATION] WHERE [CodeTitre]=:codetitre ORDER BY CodeLigne");

const QString kErrorPrefix = QStringLiteral("Erreur : ");

// One consultation: its header text and detail lines become one MOTCONSU row.
void importConsultation(RunContext& context, const SourceQuery& headers, DetailLines& details)
{
    Reporter& reporter = context.reporter;
    const qint32 codetitre = headers.intValue(QStringLiteral("CODETITRE"));
    if (context.motconsu.find(codetitre))
        return;
    const QString patientText = codeText(headers, QStringLiteral("CODE PATIENT"));
    const QString dateText = DateText(headers.value(QStringLiteral("Date")), context.dateFormats);
    if (!context.patients.find(headers.intValue(QStringLiteral("CODE PATIENT")))) {
        reporter.appendLine(QStringLiteral("Impossible de retrouver le dossier n°") + patientText
                            + QStringLiteral(". La consultation du ") + dateText
                            + QStringLiteral(" ne sera pas importée."));
        return;
    }
    const qint32 patientId = context.patients.dest();
    const qint32 counter = ++context.consultationCounter;
    const qint32 medecinId =
        context.medecins.find(headers.intValue(QStringLiteral("code medecin"))) ? context.medecins.dest() : 1;
    const QString header = emptyWhenNull(headers.textValue(QStringLiteral("DONNEES")));

    QString motif = header;
    try {
        details.read(codetitre, [&motif](const QString& rowText) { motif += rowText; });
    } catch (const Error& error) {
        reporter.appendLine(QStringLiteral("Impossible d'actualiser la consultation du ") + dateText
                            + QStringLiteral(" du patient n°") + patientText
                            + QStringLiteral(" avec les données de sous-consultation n°") + details.codeLigne()
                            + QStringLiteral(". Ces données de sous-consultation ne seront pas importées."));
        reporter.appendLine(kErrorPrefix + error.message());
        motif = header;
    }
    details.close();

    // A failed insert keeps the identifier used: no row receives it.
    DestQuery& insert = context.consultations->insert;
    try {
        insert.bind(QStringLiteral("id"), counter);
        insert.bind(QStringLiteral("patientsID"), patientId);
        insert.bind(QStringLiteral("dateConsultation"), TruncateToMinute(headers.dateTimeValue(QStringLiteral("Date"))));
        insert.bind(QStringLiteral("medecinsID"), medecinId);
        insert.bind(QStringLiteral("motif"), motif);
        insert.exec();
    } catch (const Error& error) {
        reporter.appendLine(QStringLiteral("Impossible d'actualiser la consultation du ") + dateText
                            + QStringLiteral(" du patient n°") + patientText
                            + QStringLiteral(". Cette consultation ne sera pas importée."));
        reporter.appendLine(kErrorPrefix + error.message());
        return;
    }
    try {
        context.motconsu.record(codetitre, counter);
    } catch (const Error& error) {
        context.motconsu.cancel();
        reporter.appendLine(kErrorPrefix + error.message());
    }
}

} // namespace

void runConsultationsPhase(RunContext& context)
{
    Reporter& reporter = context.reporter;
    context.openPhaseLinkTable(context.motconsu, QStringLiteral("MotConsu.db"));

    reporter.setStatus(QStringLiteral("Ouverture de la table des consultations..."));
    SourceQuery headers(context.source, kHeaderText);
    const bool opened = context.openSource(
        headers, QStringLiteral("Erreur lors de l'ouverture de la table des consultations : "));

    reporter.startProgress(opened ? headers.recordCount() : 0);
    reporter.setStatus(QStringLiteral("Importation des consultations..."));

    context.consultationCounter = context.dest.scalarInt(QStringLiteral("SELECT max(MOTCONSU_ID) FROM MOTCONSU"));
    if (!context.consultations)
        context.consultations = std::make_unique<ConsultationStatements>(context.dest);

    DetailLines details(context.source, kDetailText);
    context.ensureOpen(context.patients, QStringLiteral("Patients.db"));
    context.ensureOpen(context.medecins, QStringLiteral("Medecins.db"));

    if (opened)
        forEachRecord(reporter, headers, [&] {
            importConsultation(context, headers, details);
        });

    closeQuietly(headers);
    context.idValues.WriteIdValue(QStringLiteral("MOTCONSU"), context.consultationCounter, false);
    reporter.appendLine(QString::number(context.consultationCounter)
                        + QStringLiteral(" consultations après importation."));
}

} // namespace vf
