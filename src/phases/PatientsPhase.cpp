#include "base/Conversions.h"
#include "base/Errors.h"
#include "destination/DestinationConnection.h"
#include "phases/CatchUp.h"
#include "phases/PhaseOutline.h"
#include "phases/Phases.h"
#include "phases/RowIndex.h"
#include "phases/RunContext.h"
#include "source/SourceConnection.h"

#include <QSet>

#include <optional>

namespace vf {

PhaseOutline patientsOutline()
{
    return {
        .linkTable = QStringLiteral("Patients.db"),
        .code = QStringLiteral("CODE PATIENT"),
        .pairRow = {QStringLiteral("PATIENTS"), QStringLiteral("PATIENTS_ID")},
        .source = QStringLiteral("select * from [GLB PATIENT] \r\nOrder by [CODE PATIENT]"),
        .opening = QStringLiteral("Ouverture de la table des patients..."),
        .importing = {QStringLiteral("Importation des patients...")},
        .openError = QStringLiteral("Erreur lors de l'ouverture de la table des patients : "),
        .steps = {Step::LinkTable, Step::Seed, Step::OpenSource, Step::Prepare, Step::Progress,
                  Step::ImportingWhenOpened, Step::Records, Step::IdValues, Step::CountLines},
    };
}

namespace {

// The birth date as NE_LE receives it: no column when the date reads as an empty text or is not
// later than the zero date-time; a null when it cannot be read or converted.
std::optional<QVariant> birthDate(const SourceRecord& patient, const DateFormats& formats)
{
    const QVariant value = patient.value(QStringLiteral("DATE NAISSANCE"));
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
        return nullDateTime();
    if (dateTime <= zeroDateTime())
        return std::nullopt;
    return QVariant(dateTime);
}

// [GLB PATIENT] -> PATIENTS, "Patients.db"; each patient's correspondents -> PATMEDTR.
class PatientsPhase : public Phase {
public:
    explicit PatientsPhase(RunContext& context) : m_context(context) {}

    PhaseOutline outline() const override { return patientsOutline(); }

    LinkTable& links() override { return m_context.patients; }

    std::function<void()> checkpoint() override
    {
        m_links.mark();
        return [this, patients = m_patientsCounter, links = m_linksCounter, missing = m_missingCodes] {
            m_patientsCounter = patients;
            m_linksCounter = links;
            m_missingCodes = missing;
            m_links.rollbackToMark();
        };
    }

    void seed() override
    {
        m_patientsCounter = m_context.dest.scalarInt(QStringLiteral("SELECT max(PATIENTS_ID) FROM PATIENTS"));
        m_linksCounter = m_context.dest.scalarInt(QStringLiteral("SELECT max(PATMEDTR_ID) FROM PATMEDTR"));
    }

    void prepare(bool opened) override
    {
        if (!opened)
            return;
        m_context.ensureOpen(m_context.medecins, QStringLiteral("Medecins.db"));
        m_context.ensureOpen(m_context.medtrait, QStringLiteral("Medtrait.db"));
        m_links.load(m_context.dest, {.table = QStringLiteral("PATMEDTR"), .id = QStringLiteral("PATMEDTR_ID"),
                                      .patient = QStringLiteral("PATIENTS_ID"), .second = QStringLiteral("MEDTRAIT_ID")});
    }

    void importRecord(const SourceRecord& patient, UnitOfWork& work) override
    {
        const qint32 code = patient.intValue(QStringLiteral("CODE PATIENT"));
        const SourcePrint print = sourcePrint(patient, patientFields());
        const QString nom = patient.textValue(QStringLiteral("NOM"));
        const QString prenom = patient.textValue(QStringLiteral("PRENOM"));
        if (const std::optional<qint32> imported = work.linked(links(), code)) {
            // A purge that emptied PATMEDTR but not PATIENTS keeps the patients: their
            // correspondent links are made again, each once. Otherwise a link that the
            // destination lacks (deleted there, or a correspondent known since) is written
            // quietly: what stays missing, the run's summary names.
            const bool relinked = m_context.purgeLeft(QStringLiteral("PATIENTS"), QStringLiteral("PATMEDTR"));
            if (relinked)
                linkCorrespondents(patient, *imported, work);
            // Changed in the source since its import: carried.
            if (!sourceUnchanged(links().prints(code), print))
                carryRow(work, links(), code, print, QStringLiteral("PATIENTS"), QStringLiteral("PATIENTS_ID"), *imported,
                         patientRow(patient, *imported, nom, prenom, work).columns,
                         QStringLiteral("Le dossier n°") + QString::number(code) + QStringLiteral(" [") + prenom
                             + QLatin1Char(' ') + nom + QLatin1Char(']'),
                         m_context.carried[QStringLiteral("patients.db")]);
            if (!relinked)
                linkCorrespondents(patient, *imported, work, true);
            return;
        }
        ++m_patientsCounter;
        const Row row = patientRow(patient, m_patientsCounter, nom, prenom, work);

        // A rejected patient leaves a gap: its identifier stays used. A patient whose pair cannot
        // be recorded stays written, without correspondent links.
        Written written = work.insert(row);
        if (written)
            written = work.pair(links(), code, m_patientsCounter, {print.bytes(), destPrint(writtenValues(row.columns))});
        if (!written) {
            work.line(QStringLiteral("Erreur lors de l'enregistrement du nouveau patient [") + prenom + QLatin1Char(' ')
                      + nom + QStringLiteral("]. Il ne sera pas importé."));
            work.line(kErrorPrefix + written.message());
            return;
        }
        linkCorrespondents(patient, m_patientsCounter, work);
    }

    // The PATIENTS row of a source patient, as the patient is now.
    Row patientRow(const SourceRecord& patient, qint32 id, const QString& nom, const QString& prenom, UnitOfWork& work)
    {
        const auto text = [&](const char* column) { return textOrEmpty(patient.textValue(QString::fromLatin1(column))); };
        const auto phone = [&](const char* column) {
            return textOrEmpty(FormatPhoneNumber(patient.textValue(QString::fromLatin1(column))));
        };

        Row row{QStringLiteral("PATIENTS"),
                {
                    {QStringLiteral("PATIENTS_ID"), id},
                    {QStringLiteral("NOM"), textOrEmpty(nom)},
                    {QStringLiteral("PRENOM"), textOrEmpty(prenom)},
                }};
        if (const std::optional<QVariant> neLe = birthDate(patient, m_context.dateFormats))
            row.columns.append({QStringLiteral("NE_LE"), *neLe});
        // The owner doctor's code is trimmed; a code that is not a number finds no doctor.
        const std::optional<qint32> owner =
            work.linked(m_context.medecins, patient.textValue(QStringLiteral("CODE MEDECIN PROPRIETAIRE")));
        row.columns.append({QStringLiteral("MEDECINS_ID"), owner.value_or(1)});
        row.columns.append({QStringLiteral("SEXE"), qint32(patient.intValue(QStringLiteral("CODE TYPE SEXE")) == 2 ? 1 : 0)});
        const QString nomDeNaissance = patient.textValue(QStringLiteral("NOM DE NAISSANCE"));
        if (!nomDeNaissance.isEmpty())
            row.columns.append({QStringLiteral("NOM_DE_JEUNE_FILLE"), nomDeNaissance});
        const QVariant adresse = patient.value(QStringLiteral("ADRESSE"));
        row.columns.append({QStringLiteral("ADRESSE"), adresse.isNull() ? nullText() : textOrEmpty(adresse.toString())});
        row.columns.append({QStringLiteral("CP"), text("CODE POSTAL")});
        row.columns.append({QStringLiteral("VILLE"), text("VILLE")});
        row.columns.append({QStringLiteral("TELEPHONE"), phone("TEL DOMICILE")});
        row.columns.append({QStringLiteral("TELEPHONE_BUREAU"), phone("TEL BUREAU")});
        row.columns.append({QStringLiteral("FAX"), phone("FAX")});
        row.columns.append({QStringLiteral("N_SS"), textOrEmpty(FormatSocialSecurityNumber(
                                                        patient.textValue(QStringLiteral("NUMERO SECURITE SOCIAL"))))});
        return row;
    }

    QList<std::pair<QString, int>> idValues() override
    {
        return {{QStringLiteral("PATIENTS"), m_patientsCounter}, {QStringLiteral("PATMEDTR"), m_linksCounter}};
    }

    QStringList countLines() override
    {
        return {QString::number(m_patientsCounter) + QStringLiteral(" patients après importation."),
                QString::number(m_linksCounter) + QStringLiteral(" lien patient <-> correspondant après importation.")};
    }

    void finish() override
    {
        links().close();
        m_context.medecins.close();
        m_context.medtrait.close();
    }

private:
    // quietly: links of a patient imported earlier, which get no line (a correspondent unknown
    // was reported when the patient was imported) and leave no gap when the destination refuses them.
    void linkCorrespondents(const SourceRecord& patient, qint32 patientsId, UnitOfWork& work, bool quietly = false)
    {
        for (int n = 1; n <= 6; ++n)
            linkCorrespondent(patient, QStringLiteral("CODE CORRESPONDANT ") + QString::number(n), patientsId, work,
                              quietly);
    }

    void linkCorrespondent(const SourceRecord& patient, const QString& column, qint32 patientsId, UnitOfWork& work,
                           bool quietly)
    {
        // Codes are trimmed; a code whose text is not a number is a missing correspondent.
        const QString code = patient.textValue(column).trimmed();
        if (code.isEmpty() || code == QStringLiteral("-1"))
            return;
        const std::optional<qint32> medtraitId = work.linked(m_context.medtrait, code);
        if (!medtraitId) {
            if (!quietly && !m_missingCodes.contains(code)) {
                m_missingCodes.insert(code);
                work.line(QStringLiteral("Le médecin traitant [") + code
                          + QStringLiteral("] n'existe pas dans la table des médecins correspondants. "
                                           "Le lien Patient <--> correspondant ne sera pas créé."));
            }
            return;
        }
        const RowKey key = RowKey::of(patientsId, *medtraitId);
        QString failure;
        const int counterBefore = m_linksCounter;
        try {
            if (m_links.lowest(key).value_or(0) != 0)
                return; // the patient is already linked to this correspondent
            ++m_linksCounter;
            const Written written = work.insert({QStringLiteral("PATMEDTR"),
                                                 {
                                                     {QStringLiteral("PATMEDTR_ID"), qint32(m_linksCounter)},
                                                     {QStringLiteral("PATIENTS_ID"), patientsId},
                                                     {QStringLiteral("MEDTRAIT_ID"), *medtraitId},
                                                 }});
            if (written) {
                m_links.add(key, m_linksCounter);
                return;
            }
            failure = written.message();
        } catch (const Error& error) {
            failure = error.message();
        }
        if (quietly) {
            m_linksCounter = counterBefore;
            return;
        }
        work.line(QStringLiteral("Erreur lors de la recherche/enregistrement du n° du médecin traitant [") + code
                  + QStringLiteral("]. Le lien avec le patient ne sera pas créé."));
        work.line(kErrorPrefix + failure);
    }

    RunContext& m_context;
    RowIndex m_links; // PATMEDTR by patient and correspondent
    int m_patientsCounter = 0;
    int m_linksCounter = 0;
    QSet<QString> m_missingCodes; // correspondent codes already reported missing
};

} // namespace

void runPatientsPhase(RunContext& context)
{
    PatientsPhase phase(context);
    runPhase(context, phase);
}

} // namespace vf
