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
    QStringLiteral("select *\r\nfrom  [SYN FICHE SYNTHESE]\r\nORDER BY [code patient], [date]");
const QString kLinesText = QStringLiteral(
    "SELECT * FROM [SYN SOUS FICHE SYNTHESE] WHERE [CodeTitre]=:codetitre ORDER BY CodeLigne");

const QString kErrorPrefix = QStringLiteral("Erreur : ");

// The first row of QryMotConsu: its MOTCONSU_ID (0 without a row, or when the find fails, which
// is not reported) and its AU_TOTAL.
qint32 findConsultation(DestQuery& find, qint32 patientId, const QDateTime& minute, QString* auTotal = nullptr)
{
    qint32 id = 0;
    try {
        find.close();
        find.bind(QStringLiteral("patients_id"), patientId);
        find.bind(QStringLiteral("date_consultation"), minute);
        find.open();
        if (!find.eof()) {
            id = find.value(0).toInt();
            if (auTotal)
                *auTotal = find.value(QStringLiteral("AU_TOTAL")).toString();
        }
    } catch (const Error&) {
        id = 0;
    }
    find.close();
    return id;
}

class SynthesisImport {
public:
    explicit SynthesisImport(RunContext& context)
        : m_context(context)
        , m_reporter(context.reporter)
        , m_headers(context.source, kHeaderText)
        , m_lines(context.source, kLinesText)
    {
    }

    void run();

private:
    void importSheet();
    void reportLineFailure(const QString& message);

    RunContext& m_context;
    Reporter& m_reporter;
    SourceQuery m_headers;
    DetailLines m_lines;

    // The sheet being imported.
    QString m_patientText;
    QString m_dateText;
};

void SynthesisImport::run()
{
    m_reporter.setStatus(QStringLiteral("Ouverture de la table des fiches de synthèses..."));
    const bool opened = m_context.openSource(
        m_headers, QStringLiteral("Erreur lors de l'ouverture de la table des fiches de synthèses : "));

    if (!m_context.consultations)
        m_context.consultations = std::make_unique<ConsultationStatements>(m_context.dest);
    m_context.consultations->useSynthesisTexts();
    m_context.ensureOpen(m_context.patients, QStringLiteral("Patients.db"));
    m_context.ensureOpen(m_context.medecins, QStringLiteral("Medecins.db"));

    m_reporter.startProgress(opened ? m_headers.recordCount() : 0);
    m_reporter.setStatus(QStringLiteral("Importation des fiches de synthèses..."));

    if (opened)
        forEachRecord(m_reporter, m_headers, [&] {
            importSheet();
        });

    closeQuietly(m_headers);
    m_context.patients.close();
    m_context.medecins.close();
    m_context.shared.close();
    m_context.idValues.WriteIdValue(QStringLiteral("MOTCONSU"), m_context.consultationCounter, false);
    m_reporter.appendLine(QString::number(m_context.consultationCounter)
                          + QStringLiteral(" consultations après importation des fiches de synthèses."));
}

void SynthesisImport::importSheet()
{
    const qint32 codetitre = m_headers.intValue(QStringLiteral("CodeTitre"));
    if (m_context.shared.find(codetitre))
        return;
    m_patientText = codeText(m_headers, QStringLiteral("code patient"));
    m_dateText = DateText(m_headers.value(QStringLiteral("date")), m_context.dateFormats);

    if (!m_context.patients.find(m_headers.intValue(QStringLiteral("code patient")))) {
        m_reporter.appendLine(QStringLiteral("Impossible de retrouver le dossier n°") + m_patientText
                              + QStringLiteral(". La fiche de synthèse du ") + m_dateText
                              + QStringLiteral(" ne sera pas importée."));
        return;
    }
    const qint32 patientId = m_context.patients.dest();
    const QDateTime minute = TruncateToMinute(m_headers.dateTimeValue(QStringLiteral("date")));
    ConsultationStatements& statements = *m_context.consultations;

    if (findConsultation(statements.find, patientId, minute) <= 0) {
        const qint32 consultationId = ++m_context.consultationCounter;
        const qint32 medecinId = m_context.medecins.find(m_headers.intValue(QStringLiteral("code medecin")))
            ? m_context.medecins.dest()
            : 1;
        try {
            statements.insert.bind(QStringLiteral("id"), consultationId);
            statements.insert.bind(QStringLiteral("patientsID"), patientId);
            statements.insert.bind(QStringLiteral("dateConsultation"), minute);
            statements.insert.bind(QStringLiteral("medecinsID"), medecinId);
            statements.insert.bind(QStringLiteral("motif"), emptyWhenNull(m_headers.textValue(QStringLiteral("DONNEES"))));
            statements.insert.bind(QStringLiteral("autotal"), QStringLiteral(""));
            statements.insert.exec();
        } catch (const Error& error) {
            m_reporter.appendLine(QStringLiteral("Impossible de créer la consultation du ") + m_dateText
                                  + QStringLiteral(" du patient n°") + m_patientText
                                  + QStringLiteral(". Cette fiche de synthèse ne sera pas importée."));
            m_reporter.appendLine(kErrorPrefix + error.message());
            return;
        }
        findConsultation(statements.find, patientId, minute);
    }

    QString auTotal;
    const qint32 consultationId = findConsultation(statements.find, patientId, minute, &auTotal);
    if (consultationId <= 0) {
        m_reporter.appendLine(QStringLiteral("Impossible d'actualiser la consultation du ") + m_dateText
                              + QStringLiteral(" du patient n°") + m_patientText
                              + QStringLiteral(" avec les données de la fiche de synthèse n°")
                              + QString::number(codetitre)
                              + QStringLiteral(". Ces données de sous fiche de synthèse ne seront pas importées."));
        return;
    }

    // A stored text made only of blanks and control characters is replaced by the sheet's lines.
    QString motif = hasVisibleCharacters(auTotal) ? auTotal : QStringLiteral("");
    try {
        m_lines.read(codetitre, [&motif](const QString& rowText) {
            if (hasVisibleCharacters(motif))
                motif += rowText;
            else
                motif = rowText;
        });
    } catch (const Error& error) {
        reportLineFailure(error.message());
        m_lines.close();
        return;
    }
    m_lines.close();

    try {
        statements.update.bind(QStringLiteral("motif"), motif);
        statements.update.bind(QStringLiteral("patientsID"), patientId);
        statements.update.bind(QStringLiteral("dateConsultation"), minute);
        statements.update.exec();
    } catch (const Error& error) {
        reportLineFailure(error.message());
        return;
    }
    try {
        m_context.shared.record(codetitre, consultationId);
    } catch (const Error& error) {
        m_context.shared.cancel();
        m_reporter.appendLine(kErrorPrefix + error.message());
    }
}

void SynthesisImport::reportLineFailure(const QString& message)
{
    m_reporter.appendLine(QStringLiteral("Impossible d'actualiser la consultation du ") + m_dateText
                          + QStringLiteral(" du patient n°") + m_patientText
                          + QStringLiteral(" avec les données de la sous fiche de synthèse n°") + m_lines.codeTitre()
                          + QStringLiteral(" / ") + m_lines.codeLigne()
                          + QStringLiteral(". Ces données de sous fiche de synthèse ne seront pas importées."));
    m_reporter.appendLine(kErrorPrefix + message);
}

} // namespace

void runSynthesisPhase(RunContext& context)
{
    context.openPhaseLinkTable(context.shared, QStringLiteral("Syntheses.db"));
    SynthesisImport(context).run();
}

} // namespace vf
