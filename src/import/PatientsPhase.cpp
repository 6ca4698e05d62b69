#include "db/Conversions.h"
#include "db/DestinationConnection.h"
#include "db/Errors.h"
#include "db/IdValues.h"
#include "db/Reporter.h"
#include "db/SourceConnection.h"
#include "import/Phases.h"
#include "import/RowWriter.h"
#include "import/RunContext.h"

#include <QSet>

#include <optional>

namespace vf {
namespace {

const QString kPmtText = QStringLiteral(
    "SELECT * FROM PATMEDTR\r\nWhere MEDTRAIT_ID=:medtrait_id and PATIENTS_ID=:patients_id");

// The birth date as NE_LE receives it: no column when the date reads as an empty text or is not
// later than the zero date-time; a null when it cannot be read or converted.
std::optional<QVariant> birthDate(const SourceQuery& source, const DateFormats& formats)
{
    const QVariant value = source.value(QStringLiteral("DATE NAISSANCE"));
    if (value.isNull())
        return std::nullopt;
    QDateTime dateTime;
    if (value.metaType() == QMetaType::fromType<QDateTime>()) {
        if (DateText(value, formats).trimmed().isEmpty())
            return std::nullopt;
        dateTime = value.toDateTime();
    } else {
        // A date kept as text is read with the run's short date format.
        const QString text = value.toString().trimmed();
        if (text.isEmpty())
            return std::nullopt;
        const QDate date = QDate::fromString(text, formats.shortDate);
        if (date.isValid())
            dateTime = QDateTime(date, QTime(0, 0), Qt::UTC);
    }
    if (!dateTime.isValid())
        return RowWriter::nullDateTime();
    if (dateTime <= zeroDateTime())
        return std::nullopt;
    return QVariant(dateTime);
}

struct PatientsPhase {
    RunContext& context;
    Reporter& reporter;
    SourceQuery& glbPatient;
    RowWriter patients;
    RowWriter patmedtr;
    DestQuery qryPmt;
    int patientsCounter = 0;
    int linksCounter = 0;
    QSet<QString> missingCodes;

    PatientsPhase(RunContext& context, SourceQuery& source)
        : context(context), reporter(context.reporter), glbPatient(source),
          patients(context.dest, QStringLiteral("PATIENTS")),
          patmedtr(context.dest, QStringLiteral("PATMEDTR")),
          qryPmt(context.dest, kPmtText)
    {
    }

    void importPatient(qint32 code);
    void linkCorrespondent(const QString& column, qint32 patientsId);
};

void PatientsPhase::importPatient(qint32 code)
{
    ++patientsCounter;
    const QString nom = glbPatient.textValue(QStringLiteral("NOM"));
    const QString prenom = glbPatient.textValue(QStringLiteral("PRENOM"));

    QList<RowWriter::Column> row = {
        {QStringLiteral("PATIENTS_ID"), qint32(patientsCounter)},
        {QStringLiteral("NOM"), RowWriter::text(nom)},
        {QStringLiteral("PRENOM"), RowWriter::text(prenom)},
    };
    if (const std::optional<QVariant> neLe = birthDate(glbPatient, context.dateFormats))
        row.append({QStringLiteral("NE_LE"), *neLe});

    // The owner doctor's code is trimmed; a code that is not a number finds no doctor.
    qint32 medecinsId = 1;
    bool isNumber = false;
    const qint32 ownerCode =
        glbPatient.textValue(QStringLiteral("CODE MEDECIN PROPRIETAIRE")).trimmed().toInt(&isNumber);
    if (isNumber && context.medecins.find(ownerCode))
        medecinsId = context.medecins.dest();
    row.append({QStringLiteral("MEDECINS_ID"), medecinsId});
    row.append({QStringLiteral("SEXE"),
                qint32(glbPatient.intValue(QStringLiteral("CODE TYPE SEXE")) == 2 ? 1 : 0)});
    const QString nomDeNaissance = glbPatient.textValue(QStringLiteral("NOM DE NAISSANCE"));
    if (!nomDeNaissance.isEmpty())
        row.append({QStringLiteral("NOM_DE_JEUNE_FILLE"), nomDeNaissance});
    const QVariant adresse = glbPatient.value(QStringLiteral("ADRESSE"));
    row.append({QStringLiteral("ADRESSE"),
                adresse.isNull() ? RowWriter::nullText() : RowWriter::text(adresse.toString())});
    row.append({QStringLiteral("CP"), RowWriter::text(glbPatient.textValue(QStringLiteral("CODE POSTAL")))});
    row.append({QStringLiteral("VILLE"), RowWriter::text(glbPatient.textValue(QStringLiteral("VILLE")))});
    row.append({QStringLiteral("TELEPHONE"),
                RowWriter::text(FormatPhoneNumber(glbPatient.textValue(QStringLiteral("TEL DOMICILE"))))});
    row.append({QStringLiteral("TELEPHONE_BUREAU"),
                RowWriter::text(FormatPhoneNumber(glbPatient.textValue(QStringLiteral("TEL BUREAU"))))});
    row.append({QStringLiteral("FAX"),
                RowWriter::text(FormatPhoneNumber(glbPatient.textValue(QStringLiteral("FAX"))))});
    row.append({QStringLiteral("N_SS"), RowWriter::text(FormatSocialSecurityNumber(
                                            glbPatient.textValue(QStringLiteral("NUMERO SECURITE SOCIAL"))))});

    const auto reportFailure = [&](const Error& error) {
        reporter.appendLine(QStringLiteral("Erreur lors de l'enregistrement du nouveau patient [") + prenom
                            + QLatin1Char(' ') + nom + QStringLiteral("]. Il ne sera pas importé."));
        reporter.appendLine(QStringLiteral("Erreur : ") + error.message());
    };
    try {
        patients.insert(row);
    } catch (const Error& error) {
        reportFailure(error); // the identifier stays used: a rejected patient leaves a gap
        return;
    }
    try {
        context.patients.record(code, patientsCounter);
    } catch (const Error& error) {
        reportFailure(error);
        return;
    }
    for (int n = 1; n <= 6; ++n)
        linkCorrespondent(QStringLiteral("CODE CORRESPONDANT ") + QString::number(n), patientsCounter);
}

void PatientsPhase::linkCorrespondent(const QString& column, qint32 patientsId)
{
    // Codes are trimmed; a code whose text is not a number is a missing correspondent.
    const QString code = glbPatient.textValue(column).trimmed();
    if (code.isEmpty() || code == QStringLiteral("-1"))
        return;
    if (!context.medtrait.find(code)) {
        if (!missingCodes.contains(code)) {
            missingCodes.insert(code);
            reporter.appendLine(QStringLiteral("Le médecin traitant [") + code
                                + QStringLiteral("] n'existe pas dans la table des médecins correspondants. "
                                                 "Le lien Patient <--> correspondant ne sera pas créé."));
        }
        return;
    }
    const qint32 medtraitId = context.medtrait.dest();
    try {
        qryPmt.close();
        qryPmt.bind(QStringLiteral("medtrait_id"), medtraitId);
        qryPmt.bind(QStringLiteral("patients_id"), patientsId);
        qryPmt.open();
        const bool linked = !qryPmt.eof() && qryPmt.value(0).toInt() != 0;
        qryPmt.close();
        if (!linked) {
            ++linksCounter;
            patmedtr.insert({
                {QStringLiteral("PATMEDTR_ID"), qint32(linksCounter)},
                {QStringLiteral("PATIENTS_ID"), patientsId},
                {QStringLiteral("MEDTRAIT_ID"), medtraitId},
            });
        }
    } catch (const Error& error) {
        reporter.appendLine(QStringLiteral("Erreur lors de la recherche/enregistrement du n° du médecin traitant [")
                            + code + QStringLiteral("]. Le lien avec le patient ne sera pas créé."));
        reporter.appendLine(QStringLiteral("Erreur : ") + error.message());
    }
    qryPmt.close();
}

} // namespace

void runPatientsPhase(RunContext& context)
{
    Reporter& reporter = context.reporter;

    context.openPhaseLinkTable(context.patients, QStringLiteral("Patients.db"));
    SourceQuery glbPatient(context.source,
                           QStringLiteral("select * from [GLB PATIENT] \r\nOrder by [CODE PATIENT]"));
    PatientsPhase phase(context, glbPatient);
    phase.patientsCounter = context.dest.scalarInt(QStringLiteral("SELECT max(PATIENTS_ID) FROM PATIENTS"));
    phase.linksCounter = context.dest.scalarInt(QStringLiteral("SELECT max(PATMEDTR_ID) FROM PATMEDTR"));

    reporter.setStatus(QStringLiteral("Ouverture de la table des patients..."));
    const bool opened = context.openSource(
        glbPatient, QStringLiteral("Erreur lors de l'ouverture de la table des patients : "));

    if (opened) {
        context.ensureOpen(context.medecins, QStringLiteral("Medecins.db"));
        context.ensureOpen(context.medtrait, QStringLiteral("Medtrait.db"));
    }
    reporter.startProgress(opened ? glbPatient.recordCount() : 0);
    if (opened)
        reporter.setStatus(QStringLiteral("Importation des patients..."));

    if (opened)
        forEachRecord(reporter, glbPatient, [&] {
            const qint32 code = glbPatient.intValue(QStringLiteral("CODE PATIENT"));
            if (!context.patients.find(code))
                phase.importPatient(code);
        });

    context.patients.close();
    context.medecins.close();
    context.medtrait.close();
    context.idValues.WriteIdValue(QStringLiteral("PATIENTS"), phase.patientsCounter, false);
    context.idValues.WriteIdValue(QStringLiteral("PATMEDTR"), phase.linksCounter, false);
    reporter.appendLine(QString::number(phase.patientsCounter) + QStringLiteral(" patients après importation."));
    reporter.appendLine(QString::number(phase.linksCounter)
                        + QStringLiteral(" lien patient <-> correspondant après importation."));
}

} // namespace vf
