#include "base/Conversions.h"
#include "destination/DestinationConnection.h"
#include "phases/CatchUp.h"
#include "phases/PhaseOutline.h"
#include "phases/Phases.h"
#include "phases/RunContext.h"
#include "source/SourceConnection.h"

namespace vf {

PhaseOutline usersOutline()
{
    return {
        .linkTable = QStringLiteral("Medecins.db"),
        .code = QStringLiteral("CODE MEDECIN"),
        .pairRow = {QStringLiteral("MEDECINS"), QStringLiteral("MEDECINS_ID")},
        .source = QStringLiteral("Select * from [GLB MEDECIN]\r\nOrder by [CODE MEDECIN]"),
        .opening = QStringLiteral("Ouverture de la table des utilisateurs..."),
        .importing = {QStringLiteral("Importation des utilisateurs...")},
        .openError = QStringLiteral("Erreur lors de l'ouverture de la table des utilisateurs : "),
        .steps = {Step::LinkTable, Step::Seed, Step::OpenSource, Step::ImportingWhenOpened, Step::Progress,
                  Step::ProgressBarShown, Step::Records, Step::ClearStatus, Step::CountLines, Step::IdValues},
    };
}

namespace {

// [GLB MEDECIN] -> MEDECINS, "Medecins.db".
class UsersPhase : public Phase {
public:
    explicit UsersPhase(RunContext& context) : m_context(context) {}

    PhaseOutline outline() const override { return usersOutline(); }

    LinkTable& links() override { return m_context.medecins; }

    std::function<void()> checkpoint() override
    {
        return [this, counter = m_counter] { m_counter = counter; };
    }

    void seed() override
    {
        m_counter = m_context.dest.scalarInt(QStringLiteral("SELECT MAX(MEDECINS_ID) from MEDECINS"));
    }

    void importRecord(const SourceRecord& doctor, UnitOfWork& work) override
    {
        const qint32 code = doctor.intValue(QStringLiteral("CODE MEDECIN"));
        const SourcePrint print = sourcePrint(doctor, doctorFields());
        const QString nom = doctor.textValue(QStringLiteral("NOM"));
        const QString prenom = doctor.textValue(QStringLiteral("PRENOM"));
        const QString ville = doctor.textValue(QStringLiteral("VILLE"));
        // The doctor's own columns, those the source gives.
        const auto ownColumns = [&](qint32 id) {
            return Columns{
                {QStringLiteral("MEDECINS_ID"), id},
                {QStringLiteral("NOM"), textOrEmpty(nom)},
                {QStringLiteral("PRENOM"), textOrEmpty(prenom)},
                {QStringLiteral("VILLE"), textOrEmpty(ville)},
                {QStringLiteral("ADRESSE"), textOrEmpty(doctor.textValue(QStringLiteral("ADRESSE")))},
                {QStringLiteral("CP"), textOrEmpty(doctor.textValue(QStringLiteral("CODE POSTAL")))},
                {QStringLiteral("TELEPHONE"), textOrEmpty(FormatPhoneNumber(doctor.textValue(QStringLiteral("TELEPHONE"))))},
            };
        };
        if (const std::optional<qint32> imported = work.linked(links(), code)) {
            if (!sourceUnchanged(links().prints(code), print))
                carryRow(work, links(), code, print, QStringLiteral("MEDECINS"), QStringLiteral("MEDECINS_ID"), *imported,
                         ownColumns(*imported),
                         QStringLiteral("Le médecin utilisateur n°") + QString::number(code) + QStringLiteral(" [") + nom
                             + QLatin1Char(' ') + prenom + QLatin1Char(']'),
                         m_context.carried[QStringLiteral("medecins.db")]);
            return;
        }
        ++m_counter;
        const QString failure = QStringLiteral("Erreur médecin utilisateur ") + nom + QLatin1Char(' ') + prenom
            + QStringLiteral(" (") + ville + QLatin1Char(')');
        // The row as a catch-up run rewrites it, with the columns that only its insert sets.
        const Columns own = ownColumns(m_counter);
        const Written row = work.insert({QStringLiteral("MEDECINS"),
                                         Columns{own.first(),
                                                 {QStringLiteral("SYSTEM_FLAGS"), QStringLiteral("*US PA RE CO DO CP TA CM SR AN")},
                                                 {QStringLiteral("MEDECINS_COMPTABLE_ID"), qint32(m_counter)},
                                                 {QStringLiteral("N_MODELE"), qint32(1)}}
                                             + own.mid(1)});
        if (!row) {
            --m_counter; // the next doctor takes the identifier
            work.line(failure);
            return;
        }
        // A row that was written keeps its identifier, even when its pair cannot be recorded:
        // handing it out again would make every following insert collide with it.
        if (!work.pair(links(), code, m_counter, {print.bytes(), destPrint(writtenValues(ownColumns(m_counter)))})) {
            work.line(failure);
            return;
        }
        work.status(QStringLiteral("Utilisateur ") + nom + QLatin1Char(' ') + prenom + QStringLiteral(" (") + ville
                    + QLatin1Char(')'));
    }

    QList<std::pair<QString, int>> idValues() override { return {{QStringLiteral("MEDECINS"), m_counter}}; }

    QStringList countLines() override
    {
        return {QString::number(m_counter) + QStringLiteral(" médecins utilisateurs après importation.")};
    }

    void finish() override { links().close(); }

private:
    RunContext& m_context;
    int m_counter = 0;
};

} // namespace

void runUsersPhase(RunContext& context)
{
    UsersPhase phase(context);
    runPhase(context, phase);
}

} // namespace vf
