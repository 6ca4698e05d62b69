#include "base/Conversions.h"
#include "base/Errors.h"
#include "destination/DestinationConnection.h"
#include "phases/CatchUp.h"
#include "phases/PhaseOutline.h"
#include "phases/Phases.h"
#include "phases/RunContext.h"
#include "source/SourceConnection.h"

namespace vf {

PhaseOutline correspondentsOutline()
{
    return {
        .linkTable = QStringLiteral("Medtrait.db"),
        .code = QStringLiteral("CODE CARNET ADRESSE"),
        .pairRow = {QStringLiteral("MEDTRAIT"), QStringLiteral("MEDTRAIT_ID")},
        .source = QStringLiteral("Select * from [ADR CARNET ADRESSE]\r\nOrder by [CODE CARNET ADRESSE]"),
        .details = {QStringLiteral("SELECT LIBELLE FROM [REF FONCTION] WHERE [CODE FONCTION]=:code")},
        .opening = QStringLiteral("Ouverture de la table des correspondants..."),
        .importing = {QStringLiteral("Importation des médecins correspondants...")},
        .openError = QStringLiteral("Erreur lors de l'ouverture de la table des médecins correspondants : "),
        .steps = {Step::LinkTable, Step::Seed, Step::OpenSource, Step::Progress, Step::ImportingWhenOpened,
                  Step::Records, Step::ClearStatus, Step::IdValues, Step::CountLines},
    };
}

namespace {

// [ADR CARNET ADRESSE] -> MEDTRAIT, "Medtrait.db"; the speciality from [REF FONCTION].
class CorrespondentsPhase : public Phase {
public:
    explicit CorrespondentsPhase(RunContext& context)
        : m_context(context)
        , m_speciality(context.source, correspondentsOutline().details.constFirst())
    {
    }

    PhaseOutline outline() const override { return correspondentsOutline(); }

    LinkTable& links() override { return m_context.medtrait; }

    std::function<void()> checkpoint() override
    {
        return [this, counter = m_counter] { m_counter = counter; };
    }

    void seed() override
    {
        m_counter = m_context.dest.scalarInt(QStringLiteral("SELECT MAX(MEDTRAIT_ID) from MEDTRAIT"));
    }

    void importRecord(const SourceRecord& entry, UnitOfWork& work) override
    {
        const qint32 code = entry.intValue(QStringLiteral("CODE CARNET ADRESSE"));
        const SourcePrint print = sourcePrint(entry, correspondentFields());
        const std::optional<qint32> imported = work.linked(links(), code);
        if (imported && sourceUnchanged(links().prints(code), print))
            return;
        const qint32 id = imported ? *imported : ++m_counter;
        const QString nom = entry.textValue(QStringLiteral("NOM"));
        const QString prenom = entry.textValue(QStringLiteral("PRENOM"));
        const QString ville = entry.textValue(QStringLiteral("VILLE"));
        const auto phone = [&](const char* column) {
            return textOrEmpty(FormatPhoneNumber(entry.textValue(QString::fromLatin1(column))));
        };
        Row row{QStringLiteral("MEDTRAIT"),
                {
                    {QStringLiteral("MEDTRAIT_ID"), id},
                    {QStringLiteral("NOM"), textOrEmpty(nom)},
                    {QStringLiteral("PRENOM"), textOrEmpty(prenom)},
                    {QStringLiteral("VILLE"), textOrEmpty(ville)},
                    {QStringLiteral("ADRESSE"), textOrEmpty(entry.textValue(QStringLiteral("RUE")))},
                    {QStringLiteral("CP"), textOrEmpty(entry.textValue(QStringLiteral("CODE POSTAL")))},
                    {QStringLiteral("TEL"), phone("TELEPHONE PERSONNEL")},
                    {QStringLiteral("TELBUREAU"), phone("TELEPHONE PROFESSIONNEL")},
                    {QStringLiteral("FAX"), phone("FAX")},
                    {QStringLiteral("COMMENTAIRE"), textOrEmpty(entry.textValue(QStringLiteral("DIVERS")))},
                }};

        const qint32 codeFonction = entry.intValue(QStringLiteral("CODE FONCTION"));
        if (codeFonction > 0) {
            try {
                m_speciality.setParam(QStringLiteral("code"), codeFonction);
                m_speciality.open();
                const QString libelle = m_speciality.eof() ? QString() : m_speciality.textValue(QStringLiteral("LIBELLE"));
                row.columns.append({QStringLiteral("SPECIALISATION"), textOrEmpty(libelle)});
            } catch (const Error& error) {
                work.line(QStringLiteral("Impossible de déterminer la spécialisation de ") + prenom + QLatin1Char(' ')
                          + nom + QStringLiteral(" (") + ville + QStringLiteral(") : ") + error.message());
            }
        }
        m_speciality.close();
        if (imported) {
            carryRow(work, links(), code, print, QStringLiteral("MEDTRAIT"), QStringLiteral("MEDTRAIT_ID"), id, row.columns,
                     QStringLiteral("Le correspondant n°") + QString::number(code) + QStringLiteral(" [") + nom
                         + QLatin1Char(' ') + prenom + QStringLiteral(" (") + ville + QStringLiteral(")]"),
                     m_context.carried[QStringLiteral("medtrait.db")]);
            return;
        }

        // A row that was written keeps its identifier, even when its pair cannot be recorded:
        // handing it out again would make every following insert collide with it.
        Written written = work.insert(row);
        if (!written)
            --m_counter;
        else
            written = work.pair(links(), code, m_counter, {print.bytes(), destPrint(writtenValues(row.columns))});
        if (!written)
            work.line(QStringLiteral("Erreur correspondant non importé : ") + nom + QLatin1Char(' ') + prenom
                      + QStringLiteral(" (") + ville + QStringLiteral(") : ") + written.message());
    }

    // The counter holds the last identifier handed out, as for every other table.
    QList<std::pair<QString, int>> idValues() override { return {{QStringLiteral("MEDTRAIT"), m_counter}}; }

    QStringList countLines() override
    {
        return {QString::number(links().count()) + QStringLiteral(" correspondants après importation.")};
    }

    void finish() override { links().close(); }

private:
    RunContext& m_context;
    SourceQuery m_speciality; // V3_Qry1
    int m_counter = 0;
};

} // namespace

void runCorrespondentsPhase(RunContext& context)
{
    CorrespondentsPhase phase(context);
    runPhase(context, phase);
}

} // namespace vf
