#include "base/Conversions.h"
#include "base/Errors.h"
#include "phases/CatchUp.h"
#include "phases/PhaseOutline.h"
#include "phases/Phases.h"
#include "phases/PhaseText.h"
#include "phases/RunContext.h"
#include "source/SourceConnection.h"

namespace vf {

PhaseOutline synthesisOutline()
{
    return {
        .linkTable = QStringLiteral("Syntheses.db"),
        .code = QStringLiteral("CodeTitre"),
        .pairRow = {QStringLiteral("MOTCONSU"), QStringLiteral("MOTCONSU_ID"), QStringLiteral("AU_TOTAL")},
        .source = QStringLiteral("select *\r\nfrom  [SYN FICHE SYNTHESE]\r\nORDER BY [code patient], [date]"),
        .details = {QStringLiteral("SELECT * FROM [SYN SOUS FICHE SYNTHESE] WHERE [CodeTitre]=:codetitre "
                                   "ORDER BY CodeLigne")},
        .opening = QStringLiteral("Ouverture de la table des fiches de synthèses..."),
        .importing = {QStringLiteral("Importation des fiches de synthèses...")},
        .openError = QStringLiteral("Erreur lors de l'ouverture de la table des fiches de synthèses : "),
        .steps = {Step::LinkTable, Step::OpenSource, Step::Prepare, Step::Progress, Step::Importing, Step::Records,
                  Step::IdValues, Step::CountLines},
    };
}

namespace {

// [SYN FICHE SYNTHESE] with its lines -> the AU_TOTAL text of the consultation of the same
// patient and minute, created when there is none; "Syntheses.db".
class SynthesisPhase : public Phase {
public:
    explicit SynthesisPhase(RunContext& context)
        : m_context(context)
        , m_lines(context.source, synthesisOutline().details.constFirst())
    {
    }

    PhaseOutline outline() const override { return synthesisOutline(); }

    LinkTable& links() override { return m_context.shared; }

    std::function<void()> checkpoint() override
    {
        m_context.consultations.mark();
        return [this, counter = m_context.consultationCounter] {
            m_context.consultationCounter = counter;
            m_context.consultations.rollbackToMark();
        };
    }

    void prepare(bool opened) override
    {
        m_context.ensureOpen(m_context.patients, QStringLiteral("Patients.db"));
        m_context.ensureOpen(m_context.medecins, QStringLiteral("Medecins.db"));
        if (opened) {
            m_context.consultations.prepare(m_context.dest);
            m_detailPrints = readDetailPrints(m_context.source, QStringLiteral("SYN SOUS FICHE SYNTHESE"), m_context.reporter);
        }
    }

    void importRecord(const SourceRecord& sheet, UnitOfWork& work) override
    {
        const qint32 codetitre = sheet.intValue(QStringLiteral("CodeTitre"));
        const SourcePrint print = sourcePrint(sheet, sheetFields(), {{kDetailField, m_detailPrints.value(codetitre)}});
        m_patientText = codeText(sheet, QStringLiteral("code patient"));
        m_date = sheet.value(QStringLiteral("date"));
        if (const std::optional<qint32> consultation = work.linked(links(), codetitre)) {
            if (!sourceUnchanged(links().prints(codetitre), print))
                carry(codetitre, *consultation, print, work);
            return;
        }
        const std::optional<qint32> patientId = work.linked(m_context.patients, sheet.intValue(QStringLiteral("code patient")));
        if (!patientId) {
            work.line(kPatientMissing + m_patientText + QStringLiteral(". La fiche de synthèse du ") + dateText()
                      + QStringLiteral(" ne sera pas importée."));
            return;
        }
        QDateTime minute;
        try {
            minute = TruncateToMinute(sheet.dateTimeValue(QStringLiteral("date")));
        } catch (const Error& error) {
            work.line(QStringLiteral("Impossible de créer la consultation du ") + dateText() + QStringLiteral(" du patient n°")
                      + m_patientText + QStringLiteral(". Cette fiche de synthèse ne sera pas importée."));
            work.line(kErrorPrefix + error.message());
            return;
        }
        ConsultationFinder& finder = m_context.consultations;

        if (consultationAt(*patientId, minute) <= 0) {
            const qint32 created = ++m_context.consultationCounter;
            const qint32 medecinId = work.linked(m_context.medecins, sheet.intValue(QStringLiteral("code medecin"))).value_or(1);
            const Written inserted =
                finder.create(work, created, *patientId, minute, medecinId, emptyWhenNull(sheet.textValue(QStringLiteral("DONNEES"))),
                              {{QStringLiteral("AU_TOTAL"), QStringLiteral("")}});
            if (!inserted) {
                work.line(QStringLiteral("Impossible de créer la consultation du ") + dateText() + QStringLiteral(" du patient n°")
                          + m_patientText + QStringLiteral(". Cette fiche de synthèse ne sera pas importée."));
                work.line(kErrorPrefix + inserted.message());
                return;
            }
        }

        // The consultation's AU_TOTAL is read as the find reads it: a failure is a consultation
        // that is not found.
        qint32 consultationId = consultationAt(*patientId, minute);
        QString auTotal;
        if (consultationId > 0) {
            try {
                auTotal = work.stored(QStringLiteral("MOTCONSU"), QStringLiteral("MOTCONSU_ID"), consultationId,
                                      QStringLiteral("AU_TOTAL")).toString();
            } catch (const Error&) {
                consultationId = 0;
            }
        }
        if (consultationId <= 0) {
            work.line(QStringLiteral("Impossible d'actualiser la consultation du ") + dateText() + QStringLiteral(" du patient n°")
                      + m_patientText + QStringLiteral(" avec les données de la fiche de synthèse n°")
                      + QString::number(codetitre)
                      + QStringLiteral(". Ces données de sous fiche de synthèse ne seront pas importées."));
            return;
        }

        // A stored text made only of blanks and control characters is replaced by the sheet's lines.
        QString motif = hasVisibleCharacters(auTotal) ? auTotal : QStringLiteral("");
        QString part;
        try {
            m_lines.read(codetitre, [&](const QString& rowText) {
                part += rowText;
                if (hasVisibleCharacters(motif))
                    motif += rowText;
                else
                    motif = rowText;
            });
        } catch (const Error& error) {
            reportLineFailure(error.message(), work);
            m_lines.close();
            return;
        }
        m_lines.close();

        // Every consultation of the patient at that minute receives the text.
        const Written updated = work.update({QStringLiteral("MOTCONSU"), QStringLiteral("MOTCONSU_ID"),
                                             finder.all(*patientId, minute), {{QStringLiteral("AU_TOTAL"), motif}}});
        if (!updated) {
            reportLineFailure(updated.message(), work);
            return;
        }
        if (const Written paired = work.pair(links(), codetitre, consultationId, {print.bytes(), partPrint(part)}); !paired)
            work.line(kErrorPrefix + paired.message());
    }

    QList<std::pair<QString, int>> idValues() override
    {
        return {{QStringLiteral("MOTCONSU"), m_context.consultationCounter}};
    }

    QStringList countLines() override
    {
        return {QString::number(m_context.consultationCounter)
                + QStringLiteral(" consultations après importation des fiches de synthèses.")};
    }

    void finish() override
    {
        m_context.patients.close();
        m_context.medecins.close();
        links().close();
    }

private:
    // A sheet imported before whose source changed: its lines in its consultation's AU_TOTAL.
    void carry(qint32 codetitre, qint32 consultationId, const SourcePrint& print, UnitOfWork& work)
    {
        QString part;
        try {
            m_lines.read(codetitre, [&part](const QString& rowText) { part += rowText; });
        } catch (const Error& error) {
            reportLineFailure(error.message(), work);
            m_lines.close();
            return;
        }
        m_lines.close();
        carryPart(work, links(), codetitre, print, QStringLiteral("MOTCONSU"), QStringLiteral("MOTCONSU_ID"),
                  {consultationId}, QStringLiteral("AU_TOTAL"), part,
                  QStringLiteral("La fiche de synthèse n°") + QString::number(codetitre) + QStringLiteral(" du ")
                      + dateText() + QStringLiteral(" du dossier n°") + m_patientText,
                  m_context.carried[links().fileName().toLower()]);
    }

    QString dateText() const { return DateText(m_date, m_context.dateFormats); }

    // The consultation that answers the find; 0 without one, or when the find fails (which is
    // not reported).
    qint32 consultationAt(qint32 patientId, const QDateTime& minute) const
    {
        try {
            return m_context.consultations.find(patientId, minute).value_or(0);
        } catch (const Error&) {
            return 0;
        }
    }

    void reportLineFailure(const QString& message, UnitOfWork& work)
    {
        work.line(QStringLiteral("Impossible d'actualiser la consultation du ") + dateText() + QStringLiteral(" du patient n°")
                  + m_patientText + QStringLiteral(" avec les données de la sous fiche de synthèse n°") + m_lines.codeTitre()
                  + QStringLiteral(" / ") + m_lines.codeLigne()
                  + QStringLiteral(". Ces données de sous fiche de synthèse ne seront pas importées."));
        work.line(kErrorPrefix + message);
    }

    RunContext& m_context;
    DetailLines m_lines; // V3_Qry1 on [SYN SOUS FICHE SYNTHESE]
    QHash<qint32, quint64> m_detailPrints;

    // The sheet being imported.
    QString m_patientText;
    QVariant m_date; // of the record, formatted for the lines that name it only
};

} // namespace

void runSynthesisPhase(RunContext& context)
{
    SynthesisPhase phase(context);
    runPhase(context, phase);
}

} // namespace vf
