#include "base/Errors.h"
#include "destination/DestinationConnection.h"
#include "phases/CatchUp.h"
#include "phases/PhaseOutline.h"
#include "phases/Phases.h"
#include "phases/PhaseText.h"
#include "phases/RowIndex.h"
#include "phases/RunContext.h"
#include "source/SourceConnection.h"

#include <QSet>

namespace vf {

PhaseOutline historyOutline()
{
    return {
        .linkTable = QStringLiteral("Anteced.db"),
        .code = QStringLiteral("CODE ANTECEDENT PATIENT"),
        .pairRow = {QStringLiteral("ANTECED"), QStringLiteral("ANTECED_ID"), QStringLiteral("AUTRES")},
        .source = QStringLiteral(
            "select AP.[CODE ANTECEDENT PATIENT], AP.[CODE PATIENT], AP.[CODE ANTECEDENT], AP.[DATE],\r\n"
            "  AA.[LIBELLE],\r\n"
            "  AC.[DONNEES]\r\n"
            "from [ANT ANTECEDENT PATIENT] AP,\r\n"
            "  [ANT ANTECEDENT] AA,\r\n"
            "  [ANT COMMENTAIRE ANTECEDENT PATIENT] AC\r\n"
            "WHERE AA.[CODE ANTECEDENT] = AP.[CODE ANTECEDENT]\r\n"
            "  AND AP.[CODE ANTECEDENT PATIENT] = AC.[CODE ANTECEDENT PATIENT]\r\n"
            "ORDER BY AP.[CODE PATIENT], AP.[DATE]"),
        .opening = QStringLiteral("Ouverture de la table des antécédents..."),
        .importing = {QStringLiteral("Importation des antécédents...")},
        .openError = QStringLiteral("Erreur lors de l'ouverture de la table des antécédents : "),
        .steps = {Step::LinkTable, Step::OpenSource, Step::Seed, Step::Prepare, Step::Progress, Step::Importing,
                  Step::Records, Step::IdValues, Step::CountLines},
    };
}

namespace {

// [ANT ANTECEDENT PATIENT] with its kinds and comments -> one ANTECED text per patient,
// "Anteced.db".
class HistoryPhase : public Phase {
public:
    explicit HistoryPhase(RunContext& context) : m_context(context) {}

    PhaseOutline outline() const override { return historyOutline(); }

    LinkTable& links() override { return m_context.anteced; }

    std::function<void()> checkpoint() override
    {
        m_rows.mark();
        return [this, counter = m_counter, seen = m_seen] {
            m_counter = counter;
            m_seen = seen;
            m_rows.rollbackToMark();
        };
    }

    void seed() override { m_counter = m_context.dest.scalarInt(QStringLiteral("SELECT max(ANTECED_ID) FROM ANTECED")); }

    void prepare(bool opened) override
    {
        m_context.ensureOpen(m_context.patients, QStringLiteral("Patients.db"));
        if (opened)
            m_rows.load(m_context.dest, {.table = QStringLiteral("ANTECED"), .id = QStringLiteral("ANTECED_ID"), .patient = QStringLiteral("PATIENTS_ID")});
    }

    // One history item: appended to the patient's ANTECED text, or the patient's row created.
    void importRecord(const SourceRecord& item, UnitOfWork& work) override
    {
        const qint32 itemCode = item.intValue(QStringLiteral("CODE ANTECEDENT PATIENT"));
        const bool imported = work.linked(links(), itemCode).has_value();
        // An item read twice (two comments) is the item of its first row.
        if (imported && m_seen.contains(itemCode))
            return;
        m_seen.insert(itemCode);
        const SourcePrint print = sourcePrint(item, historyFields());
        if (imported && sourceUnchanged(links().prints(itemCode), print))
            return;
        const QString patientText = codeText(item, QStringLiteral("CODE PATIENT"));
        const std::optional<qint32> patientId = work.linked(m_context.patients, item.intValue(QStringLiteral("CODE PATIENT")));
        if (!patientId) {
            if (!imported)
                work.line(kPatientMissing + patientText + QStringLiteral(". Les antécédents de ce dossier ne seront pas importés."));
            return;
        }
        // A null comment or label reads as an empty text.
        const QString itemText = item.textValue(QStringLiteral("DONNEES")) + QStringLiteral(" : ")
            + item.textValue(QStringLiteral("LIBELLE"));
        const RowKey key = RowKey::of(*patientId);
        const PairPrints prints{print.bytes(), partPrint(itemText)};
        if (imported) {
            // The item's part of the patient's text, in every ANTECED row of the patient.
            QList<qint32> rows;
            try {
                rows = m_rows.all(key);
            } catch (const Error& error) {
                work.line(kErrorPrefix + error.message());
                return;
            }
            carryPart(work, links(), itemCode, print, QStringLiteral("ANTECED"), QStringLiteral("ANTECED_ID"), rows,
                      QStringLiteral("AUTRES"), itemText,
                      QStringLiteral("L'antécédent n°") + QString::number(itemCode) + QStringLiteral(" du dossier n°")
                          + patientText,
                      m_context.carried[QStringLiteral("anteced.db")]);
            return;
        }

        // A failing find is reported and the item gets no link pair: a later run tries it again.
        qint32 antecedId = 0;
        QString stored;
        try {
            antecedId = m_rows.lowest(key).value_or(0);
            if (antecedId > 0)
                stored = work.stored(QStringLiteral("ANTECED"), QStringLiteral("ANTECED_ID"), antecedId,
                                     QStringLiteral("AUTRES")).toString();
        } catch (const Error& error) {
            work.line(kErrorPrefix + error.message());
            return;
        }

        if (antecedId > 0) {
            // Every ANTECED row of the patient receives the text; a null stored text reads as
            // empty, so the update never writes a null over it.
            const Written updated = work.update({QStringLiteral("ANTECED"), QStringLiteral("ANTECED_ID"), m_rows.all(key),
                                                 {{QStringLiteral("AUTRES"), stored + QLatin1Char('\r') + itemText}}});
            if (!updated) {
                work.line(QStringLiteral("Impossible d'actualiser les antécédents du dossier n°") + patientText
                          + QStringLiteral("]. Ces antécédents ne seront pas importés."));
                work.line(kErrorPrefix + updated.message());
                return;
            }
            if (const Written paired = work.pair(links(), itemCode, antecedId, prints); !paired) {
                work.line(QStringLiteral("Erreur lors de l'enregistrement de l'antécédent n°") + QString::number(itemCode)
                          + QStringLiteral(". Il ne sera pas importé."));
                work.line(kErrorPrefix + paired.message());
            }
            return;
        }

        ++m_counter;
        const Written inserted = work.insert({QStringLiteral("ANTECED"),
                                              {
                                                  {QStringLiteral("ANTECED_ID"), qint32(m_counter)},
                                                  {QStringLiteral("PATIENTS_ID"), *patientId},
                                                  {QStringLiteral("AUTRES"), itemText},
                                              }});
        if (!inserted) {
            work.line(QStringLiteral("Erreur lors de l'enregistrement des antécédents du dossier n°") + patientText
                      + QStringLiteral("]. Ces antécédents ne seront pas importés."));
            work.line(kErrorPrefix + inserted.message());
            return;
        }
        m_rows.add(key, m_counter);
        if (const Written paired = work.pair(links(), itemCode, m_counter, prints); !paired)
            work.line(kErrorPrefix + paired.message());
    }

    QList<std::pair<QString, int>> idValues() override { return {{QStringLiteral("ANTECED"), m_counter}}; }

    QStringList countLines() override
    {
        return {QString::number(m_counter) + QStringLiteral(" antécédents après importation.")};
    }

    void finish() override { m_context.patients.close(); }

private:
    RunContext& m_context;
    RowIndex m_rows; // ANTECED by patient
    int m_counter = 0;
    QSet<qint32> m_seen; // items read by this run
};

} // namespace

void runHistoryPhase(RunContext& context)
{
    HistoryPhase phase(context);
    runPhase(context, phase);
}

} // namespace vf
