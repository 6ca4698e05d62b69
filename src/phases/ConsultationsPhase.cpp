#include "base/Conversions.h"
#include "base/Errors.h"
#include "destination/DestinationConnection.h"
#include "phases/CatchUp.h"
#include "phases/PhaseOutline.h"
#include "phases/Phases.h"
#include "phases/PhaseText.h"
#include "phases/RunContext.h"
#include "source/SourceConnection.h"

namespace vf {

PhaseOutline consultationsOutline()
{
    return {
        .linkTable = QStringLiteral("MotConsu.db"),
        .code = QStringLiteral("CODETITRE"),
        .pairRow = {QStringLiteral("MOTCONSU"), QStringLiteral("MOTCONSU_ID")},
        .source = QStringLiteral("select *\r\nfrom  [CON CONSULTATION]\r\nORDER BY [CODE PATIENT], [DATE]"),
        .details = {QStringLiteral("SELECT * FROM [CON SOUS CONSULTATION] WHERE [CodeTitre]=:codetitre "
                                   "ORDER BY CodeLigne")},
        .opening = QStringLiteral("Ouverture de la table des consultations..."),
        .importing = {QStringLiteral("Importation des consultations...")},
        .openError = QStringLiteral("Erreur lors de l'ouverture de la table des consultations : "),
        .steps = {Step::LinkTable, Step::OpenSource, Step::Progress, Step::Importing, Step::Seed, Step::Prepare,
                  Step::Records, Step::IdValues, Step::CountLines},
    };
}

namespace {

// [CON CONSULTATION] with its detail lines -> MOTCONSU, "MotConsu.db".
class ConsultationsPhase : public Phase {
public:
    explicit ConsultationsPhase(RunContext& context)
        : m_context(context)
        , m_details(context.source, consultationsOutline().details.constFirst())
    {
    }

    PhaseOutline outline() const override { return consultationsOutline(); }

    LinkTable& links() override { return m_context.motconsu; }

    std::function<void()> checkpoint() override
    {
        m_context.consultations.mark();
        return [this, counter = m_context.consultationCounter] {
            m_context.consultationCounter = counter;
            m_context.consultations.rollbackToMark();
        };
    }

    void seed() override
    {
        m_context.consultationCounter = m_context.dest.scalarInt(QStringLiteral("SELECT max(MOTCONSU_ID) FROM MOTCONSU"));
    }

    void prepare(bool opened) override
    {
        m_context.ensureOpen(m_context.patients, QStringLiteral("Patients.db"));
        m_context.ensureOpen(m_context.medecins, QStringLiteral("Medecins.db"));
        // The consultations that the prescriptions and synthesis sheets look for are read while
        // MOTCONSU holds only those of earlier runs; the ones written here are added as they go.
        if (opened) {
            m_context.consultations.prepare(m_context.dest);
            m_detailPrints = readDetailPrints(m_context.source, QStringLiteral("CON SOUS CONSULTATION"), m_context.reporter);
        }
    }

    // One consultation: its header text and detail lines become one MOTCONSU row.
    void importRecord(const SourceRecord& header, UnitOfWork& work) override
    {
        const qint32 codetitre = header.intValue(QStringLiteral("CODETITRE"));
        const SourcePrint print = sourcePrint(header, headerFields(), {{kDetailField, m_detailPrints.value(codetitre)}});
        const std::optional<qint32> imported = work.linked(links(), codetitre);
        if (imported && sourceUnchanged(links().prints(codetitre), print))
            return;
        const QString patientText = codeText(header, QStringLiteral("CODE PATIENT"));
        // Formatted for the lines that name the consultation only.
        const auto dateText = [&] { return DateText(header.value(QStringLiteral("Date")), m_context.dateFormats); };
        const std::optional<qint32> patientId = work.linked(m_context.patients, header.intValue(QStringLiteral("CODE PATIENT")));
        if (!patientId) {
            if (!imported)
                work.line(kPatientMissing + patientText + QStringLiteral(". La consultation du ") + dateText()
                          + QStringLiteral(" ne sera pas importée."));
            return;
        }
        const qint32 id = imported ? *imported : ++m_context.consultationCounter;
        const qint32 medecinId = work.linked(m_context.medecins, header.intValue(QStringLiteral("code medecin"))).value_or(1);
        const QString headerText = emptyWhenNull(header.textValue(QStringLiteral("DONNEES")));

        QString motif = headerText;
        try {
            m_details.read(codetitre, [&motif](const QString& rowText) { motif += rowText; });
        } catch (const Error& error) {
            work.line(QStringLiteral("Impossible d'actualiser la consultation du ") + dateText()
                      + QStringLiteral(" du patient n°") + patientText
                      + QStringLiteral(" avec les données de sous-consultation n°") + m_details.codeLigne()
                      + QStringLiteral(". Ces données de sous-consultation ne seront pas importées."));
            work.line(kErrorPrefix + error.message());
            motif = headerText;
        }
        m_details.close();

        if (imported) {
            QDateTime minute;
            try {
                minute = TruncateToMinute(header.dateTimeValue(QStringLiteral("Date")));
            } catch (const Error&) {
                return;
            }
            carryRow(work, links(), codetitre, print, QStringLiteral("MOTCONSU"), QStringLiteral("MOTCONSU_ID"), id,
                     ownColumns(id, minute, medecinId, motif),
                     QStringLiteral("La consultation n°") + QString::number(codetitre) + QStringLiteral(" du ") + dateText()
                         + QStringLiteral(" du dossier n°") + patientText,
                     m_context.carried[QStringLiteral("motconsu.db")]);
            return;
        }

        // A failed insert keeps the identifier used: no row receives it. A date that cannot be read
        // fails the insert.
        QDateTime minute;
        const Written inserted = [&] {
            try {
                minute = TruncateToMinute(header.dateTimeValue(QStringLiteral("Date")));
            } catch (const Error& error) {
                return Written::refused(error.message());
            }
            return work.insert({QStringLiteral("MOTCONSU"),
                                {
                                    {QStringLiteral("MOTCONSU_ID"), id},
                                    {QStringLiteral("PATIENTS_ID"), *patientId},
                                    {QStringLiteral("DATE_CONSULTATION"), minute},
                                    {QStringLiteral("MEDECINS_ID"), medecinId},
                                    {QStringLiteral("MOTIF_DE_CONSULTATION"), motif},
                                }});
        }();
        if (!inserted) {
            work.line(QStringLiteral("Impossible d'actualiser la consultation du ") + dateText()
                      + QStringLiteral(" du patient n°") + patientText
                      + QStringLiteral(". Cette consultation ne sera pas importée."));
            work.line(kErrorPrefix + inserted.message());
            return;
        }
        m_context.consultations.written(id, *patientId, minute);
        if (const Written paired = work.pair(links(), codetitre, id,
                                             {print.bytes(), destPrint(writtenValues(ownColumns(id, minute, medecinId, motif)))});
            !paired)
            work.line(kErrorPrefix + paired.message());
    }

    QList<std::pair<QString, int>> idValues() override
    {
        return {{QStringLiteral("MOTCONSU"), m_context.consultationCounter}};
    }

    QStringList countLines() override
    {
        return {QString::number(m_context.consultationCounter) + QStringLiteral(" consultations après importation.")};
    }

private:
    // The columns of a consultation that its source record gives, the identifier first.
    static Columns ownColumns(qint32 id, const QDateTime& minute, qint32 medecinId, const QString& motif)
    {
        return {{QStringLiteral("MOTCONSU_ID"), id},
                {QStringLiteral("DATE_CONSULTATION"), minute},
                {QStringLiteral("MEDECINS_ID"), medecinId},
                {QStringLiteral("MOTIF_DE_CONSULTATION"), motif}};
    }

    RunContext& m_context;
    DetailLines m_details; // V3_Qry1 on [CON SOUS CONSULTATION]
    QHash<qint32, quint64> m_detailPrints;
};

} // namespace

void runConsultationsPhase(RunContext& context)
{
    ConsultationsPhase phase(context);
    runPhase(context, phase);
}

} // namespace vf
