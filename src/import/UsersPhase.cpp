#include "db/Conversions.h"
#include "db/DestinationConnection.h"
#include "db/Errors.h"
#include "db/IdValues.h"
#include "db/Reporter.h"
#include "db/SourceConnection.h"
#include "import/Phases.h"
#include "import/RowWriter.h"
#include "import/RunContext.h"

namespace vf {

void runUsersPhase(RunContext& context)
{
    Reporter& reporter = context.reporter;
    LinkTable& links = context.medecins;

    context.openPhaseLinkTable(links, QStringLiteral("Medecins.db"));
    int counter = context.dest.scalarInt(QStringLiteral("SELECT MAX(MEDECINS_ID) from MEDECINS"));
    RowWriter medecins(context.dest, QStringLiteral("MEDECINS"));

    reporter.setStatus(QStringLiteral("Ouverture de la table des utilisateurs..."));
    SourceQuery glbMedecin(context.source,
                           QStringLiteral("Select * from [GLB MEDECIN]\r\nOrder by [CODE MEDECIN]"));
    const bool opened = context.openSource(
        glbMedecin, QStringLiteral("Erreur lors de l'ouverture de la table des utilisateurs : "));

    if (opened)
        reporter.setStatus(QStringLiteral("Importation des utilisateurs..."));
    reporter.startProgress(opened ? glbMedecin.recordCount() : 0);
    reporter.setProgressVisible(true);

    if (opened)
        forEachRecord(reporter, glbMedecin, [&] {
            const qint32 code = glbMedecin.intValue(QStringLiteral("CODE MEDECIN"));
            if (!links.find(code)) {
                ++counter;
                const QString nom = glbMedecin.textValue(QStringLiteral("NOM"));
                const QString prenom = glbMedecin.textValue(QStringLiteral("PRENOM"));
                const QString ville = glbMedecin.textValue(QStringLiteral("VILLE"));
                const QString adresse = glbMedecin.textValue(QStringLiteral("ADRESSE"));
                const QString codePostal = glbMedecin.textValue(QStringLiteral("CODE POSTAL"));
                const QString telephone = FormatPhoneNumber(glbMedecin.textValue(QStringLiteral("TELEPHONE")));
                bool rowWritten = false;
                try {
                    medecins.insert({
                        {QStringLiteral("MEDECINS_ID"), qint32(counter)},
                        {QStringLiteral("SYSTEM_FLAGS"), QStringLiteral("*US PA RE CO DO CP TA CM SR AN")},
                        {QStringLiteral("MEDECINS_COMPTABLE_ID"), qint32(counter)},
                        {QStringLiteral("N_MODELE"), qint32(1)},
                        {QStringLiteral("NOM"), RowWriter::text(nom)},
                        {QStringLiteral("PRENOM"), RowWriter::text(prenom)},
                        {QStringLiteral("VILLE"), RowWriter::text(ville)},
                        {QStringLiteral("ADRESSE"), RowWriter::text(adresse)},
                        {QStringLiteral("CP"), RowWriter::text(codePostal)},
                        {QStringLiteral("TELEPHONE"), RowWriter::text(telephone)},
                    });
                    rowWritten = true;
                    links.record(code, counter);
                    reporter.setStatus(QStringLiteral("Utilisateur ") + nom + QLatin1Char(' ') + prenom
                                       + QStringLiteral(" (") + ville + QLatin1Char(')'));
                } catch (const Error&) {
                    // A row that was written keeps its identifier: handing it out again would make
                    // every following insert collide with it.
                    if (!rowWritten)
                        --counter;
                    reporter.appendLine(QStringLiteral("Erreur médecin utilisateur ") + nom + QLatin1Char(' ')
                                        + prenom + QStringLiteral(" (") + ville + QLatin1Char(')'));
                }
            }
        });

    reporter.setStatus(QString());
    reporter.appendLine(QString::number(counter) + QStringLiteral(" médecins utilisateurs après importation."));
    links.close();
    context.idValues.WriteIdValue(QStringLiteral("MEDECINS"), counter, false);
}

} // namespace vf
