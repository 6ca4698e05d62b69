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

void runCorrespondentsPhase(RunContext& context)
{
    Reporter& reporter = context.reporter;
    LinkTable& links = context.medtrait;

    context.openPhaseLinkTable(links, QStringLiteral("Medtrait.db"));
    int counter = context.dest.scalarInt(QStringLiteral("SELECT MAX(MEDTRAIT_ID) from MEDTRAIT"));
    RowWriter medtrait(context.dest, QStringLiteral("MEDTRAIT"));

    reporter.setStatus(QStringLiteral("Ouverture de la table des correspondants..."));
    SourceQuery adrCarnetAdresse(
        context.source,
        QStringLiteral("Select * from [ADR CARNET ADRESSE]\r\nOrder by [CODE CARNET ADRESSE]"));
    const bool opened = context.openSource(
        adrCarnetAdresse,
        QStringLiteral("Erreur lors de l'ouverture de la table des médecins correspondants : "));

    reporter.startProgress(opened ? adrCarnetAdresse.recordCount() : 0);
    if (opened)
        reporter.setStatus(QStringLiteral("Importation des médecins correspondants..."));

    SourceQuery v3Qry1(context.source,
                       QStringLiteral("SELECT LIBELLE FROM [REF FONCTION] WHERE [CODE FONCTION]=:code"));

    if (opened)
        forEachRecord(reporter, adrCarnetAdresse, [&] {
            const qint32 code = adrCarnetAdresse.intValue(QStringLiteral("CODE CARNET ADRESSE"));
            if (!links.find(code)) {
                ++counter;
                const QString nom = adrCarnetAdresse.textValue(QStringLiteral("NOM"));
                const QString prenom = adrCarnetAdresse.textValue(QStringLiteral("PRENOM"));
                const QString ville = adrCarnetAdresse.textValue(QStringLiteral("VILLE"));
                QList<RowWriter::Column> row = {
                    {QStringLiteral("MEDTRAIT_ID"), qint32(counter)},
                    {QStringLiteral("NOM"), RowWriter::text(nom)},
                    {QStringLiteral("PRENOM"), RowWriter::text(prenom)},
                    {QStringLiteral("VILLE"), RowWriter::text(ville)},
                    {QStringLiteral("ADRESSE"), RowWriter::text(adrCarnetAdresse.textValue(QStringLiteral("RUE")))},
                    {QStringLiteral("CP"), RowWriter::text(adrCarnetAdresse.textValue(QStringLiteral("CODE POSTAL")))},
                    {QStringLiteral("TEL"), RowWriter::text(FormatPhoneNumber(
                         adrCarnetAdresse.textValue(QStringLiteral("TELEPHONE PERSONNEL"))))},
                    {QStringLiteral("TELBUREAU"), RowWriter::text(FormatPhoneNumber(
                         adrCarnetAdresse.textValue(QStringLiteral("TELEPHONE PROFESSIONNEL"))))},
                    {QStringLiteral("FAX"), RowWriter::text(FormatPhoneNumber(
                         adrCarnetAdresse.textValue(QStringLiteral("FAX"))))},
                    {QStringLiteral("COMMENTAIRE"), RowWriter::text(adrCarnetAdresse.textValue(QStringLiteral("DIVERS")))},
                };

                const qint32 codeFonction = adrCarnetAdresse.intValue(QStringLiteral("CODE FONCTION"));
                if (codeFonction > 0) {
                    try {
                        v3Qry1.setParam(QStringLiteral("code"), codeFonction);
                        v3Qry1.open();
                        const QString libelle = v3Qry1.eof() ? QString() : v3Qry1.textValue(QStringLiteral("LIBELLE"));
                        row.append({QStringLiteral("SPECIALISATION"), RowWriter::text(libelle)});
                    } catch (const Error& error) {
                        reporter.appendLine(QStringLiteral("Impossible de déterminer la spécialisation de ")
                                            + prenom + QLatin1Char(' ') + nom + QStringLiteral(" (") + ville
                                            + QStringLiteral(") : ") + error.message());
                    }
                }

                bool rowWritten = false;
                try {
                    v3Qry1.close();
                    medtrait.insert(row);
                    rowWritten = true;
                    links.record(code, counter);
                } catch (const Error& error) {
                    // A row that was written keeps its identifier: handing it out again would make
                    // every following insert collide with it.
                    if (!rowWritten)
                        --counter;
                    reporter.appendLine(QStringLiteral("Erreur correspondant non importé : ") + nom
                                        + QLatin1Char(' ') + prenom + QStringLiteral(" (") + ville
                                        + QStringLiteral(") : ") + error.message());
                }
            }
        });

    adrCarnetAdresse.close();
    reporter.setStatus(QString());
    // The counter holds the last identifier handed out, as for every other table.
    context.idValues.WriteIdValue(QStringLiteral("MEDTRAIT"), counter, false);
    reporter.appendLine(QString::number(links.count()) + QStringLiteral(" correspondants après importation."));
    links.close();
}

} // namespace vf
