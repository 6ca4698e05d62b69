#include "import/ConsultationStatements.h"
#include "import/DestinationTables.h"
#include "import/PhaseText.h"
#include "import/Phases.h"
#include "import/RunContext.h"

#include "db/Conversions.h"
#include "db/DestinationConnection.h"
#include "db/Errors.h"
#include "db/IdValues.h"
#include "db/IniFile.h"
#include "db/Reporter.h"
#include "db/SourceConnection.h"

namespace vf {

namespace {

const QString kNotFound = QStringLiteral("erreur");

const QString kHeaderText =
    QStringLiteral("select *\r\nfrom  [ORD ORDONNANCE]\r\nORDER BY [CODE PATIENT], [DATE]");
const QString kDetailText = QStringLiteral(
    "SELECT * FROM [ORD SOUS ORDONNANCE] WHERE [CodeTitre]=:codetitre ORDER BY CodeLigne");

const QString kErrorPrefix = QStringLiteral("Erreur : ");

// A consultation as the find returns it.
struct Consultation {
    qint32 id = 0;
    qint32 patientId = 0;
    QDateTime date;
};

// Runs QryMotConsu; false when it returns no row whose MOTCONSU_ID is greater than 0.
bool findConsultation(DestQuery& find, qint32 patientId, const QDateTime& minute, Consultation& found)
{
    find.close();
    find.bind(QStringLiteral("patients_id"), patientId);
    find.bind(QStringLiteral("date_consultation"), minute);
    find.open();
    bool exists = false;
    if (!find.eof() && find.value(QStringLiteral("MOTCONSU_ID")).toInt() > 0) {
        exists = true;
        found.id = find.value(QStringLiteral("MOTCONSU_ID")).toInt();
        found.patientId = find.value(QStringLiteral("PATIENTS_ID")).toInt();
        found.date = naiveDateTime(find.value(QStringLiteral("DATE_CONSULTATION")));
    }
    find.close();
    return exists;
}

class PrescriptionsImport {
public:
    PrescriptionsImport(RunContext& context, const QString& table)
        : m_context(context)
        , m_reporter(context.reporter)
        , m_headers(context.source, kHeaderText)
        , m_prescriptionFind(context.dest, QStringLiteral("SELECT * FROM ") + table
                                               + QStringLiteral(" WHERE PATIENTS_ID=:patients_ID AND "
                                                                "DATE_CONSULTATION=:date_Consultation"))
        , m_details(context.source, kDetailText)
        , m_add(context.dest, QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (\r\n") + table
                                  + QStringLiteral("_ID,\r\nPATIENTS_ID,\r\nDATE_CONSULTATION,\r\nPRESCRIPTION,\r\n"
                                                   "MOTCONSU_ID)\r\nVALUES (:id, :patientsID, :dateConsultation, "
                                                   ":prescription, :motconsuID)"))
        , m_update(context.dest, QStringLiteral("UPDATE ") + table
                                     + QStringLiteral("\r\nSET PRESCRIPTION=:prescription\r\nWHERE ") + table
                                     + QStringLiteral("_ID=:id"))
        , m_table(table)
    {
    }

    void run();

private:
    void importHeader();
    bool consultationOfHeader(qint32 patientId, const QDateTime& minute, Consultation& consultation);
    void updatePrescription(qint32 rowId, const QString& stored);
    void insertPrescription(const Consultation& consultation, const QDateTime& minute);
    void reportDetailFailure(const QString& message);
    void recordPair(qint32 dest);

    RunContext& m_context;
    Reporter& m_reporter;
    SourceQuery m_headers;
    DestQuery m_prescriptionFind;
    DetailLines m_details;
    DestQuery m_add;
    DestQuery m_update;
    QString m_table;
    int m_counter = 0;

    // The header being imported.
    qint32 m_codetitre = 0;
    QString m_patientText;
    QString m_dateText;
};

void PrescriptionsImport::run()
{
    m_reporter.setStatus(QStringLiteral("Ouverture de la table des ordonnances..."));
    const bool opened =
        m_context.openSource(m_headers, QStringLiteral("Erreur lors de l'ouverture de la table des ordonnance : "));

    m_reporter.startProgress(opened ? m_headers.recordCount() : 0);
    m_reporter.setStatus(QStringLiteral("Importation des prescriptions..."));

    m_counter = m_context.dest.scalarInt(QStringLiteral("SELECT max(") + m_table + QStringLiteral("_ID) FROM ")
                                         + m_table);
    if (!m_context.consultations)
        m_context.consultations = std::make_unique<ConsultationStatements>(m_context.dest);
    m_context.ensureOpen(m_context.patients, QStringLiteral("Patients.db"));
    m_context.ensureOpen(m_context.medecins, QStringLiteral("Medecins.db"));

    if (opened)
        forEachRecord(m_reporter, m_headers, [&] {
            importHeader();
        });

    closeQuietly(m_headers);
    m_prescriptionFind.close();
    m_context.idValues.WriteIdValue(m_table, m_counter, false);
    m_context.idValues.WriteIdValue(QStringLiteral("MOTCONSU"), m_context.consultationCounter, false);
    m_reporter.appendLine(QString::number(m_counter) + QStringLiteral(" prescriptions après importation."));
    m_reporter.appendLine(QString::number(m_context.consultationCounter)
                          + QStringLiteral(" consultations après importation des prescriptions."));
}

void PrescriptionsImport::importHeader()
{
    m_codetitre = m_headers.intValue(QStringLiteral("CODETITRE"));
    if (m_context.shared.find(m_codetitre))
        return;
    m_patientText = codeText(m_headers, QStringLiteral("CODE PATIENT"));
    m_dateText = DateText(m_headers.value(QStringLiteral("Date")), m_context.dateFormats);

    if (!m_context.patients.find(m_headers.intValue(QStringLiteral("CODE PATIENT")))) {
        m_reporter.appendLine(QStringLiteral("Impossible de retrouver le dossier n°") + m_patientText
                              + QStringLiteral(". L'ordonnance du ") + m_dateText
                              + QStringLiteral(" ne sera pas importée."));
        return;
    }
    const qint32 patientId = m_context.patients.dest();
    const QDateTime minute = TruncateToMinute(m_headers.dateTimeValue(QStringLiteral("Date")));

    Consultation consultation;
    if (!consultationOfHeader(patientId, minute, consultation))
        return;

    // A failing find is reported and the header gets no link pair: a later run tries it again.
    const QDateTime consultationMinute = TruncateToMinute(consultation.date);
    qint32 rowId = 0;
    QString stored;
    try {
        m_prescriptionFind.close();
        m_prescriptionFind.bind(QStringLiteral("patients_ID"), consultation.patientId);
        m_prescriptionFind.bind(QStringLiteral("date_Consultation"), consultationMinute);
        m_prescriptionFind.open();
        if (!m_prescriptionFind.eof() && m_prescriptionFind.value(0).toInt() > 0) {
            rowId = m_prescriptionFind.value(0).toInt();
            stored = m_prescriptionFind.value(QStringLiteral("PRESCRIPTION")).toString();
        }
        m_prescriptionFind.close();
    } catch (const Error& error) {
        m_prescriptionFind.close();
        m_reporter.appendLine(kErrorPrefix + error.message());
        return;
    }

    if (rowId > 0)
        updatePrescription(rowId, stored);
    else
        insertPrescription(consultation, consultationMinute);
}

// The consultation of the patient at the header's minute, created when there is none. False when
// the header cannot be imported (the reason is already reported).
bool PrescriptionsImport::consultationOfHeader(qint32 patientId, const QDateTime& minute, Consultation& consultation)
{
    DestQuery& find = m_context.consultations->find;
    try {
        if (findConsultation(find, patientId, minute, consultation))
            return true;
    } catch (const Error& error) {
        find.close();
        m_reporter.appendLine(kErrorPrefix + error.message());
        return false;
    }

    const qint32 consultationId = ++m_context.consultationCounter;
    const qint32 medecinId = m_context.medecins.find(m_headers.intValue(QStringLiteral("code medecin")))
        ? m_context.medecins.dest()
        : 1;
    DestQuery& insert = m_context.consultations->insert;
    try {
        insert.bind(QStringLiteral("id"), consultationId);
        insert.bind(QStringLiteral("patientsID"), patientId);
        insert.bind(QStringLiteral("dateConsultation"), minute);
        insert.bind(QStringLiteral("medecinsID"), medecinId);
        insert.bind(QStringLiteral("motif"), emptyWhenNull(m_headers.textValue(QStringLiteral("DONNEES"))));
        insert.exec();
    } catch (const Error& error) {
        m_reporter.appendLine(QStringLiteral("Impossible de créer la consultation du ") + m_dateText
                              + QStringLiteral(" du patient n°") + m_patientText
                              + QStringLiteral(". Cette ordonnance ne sera pas importée."));
        m_reporter.appendLine(kErrorPrefix + error.message());
        return false;
    }

    try {
        if (!findConsultation(find, patientId, minute, consultation))
            consultation = Consultation{consultationId, patientId, minute};
    } catch (const Error& error) {
        find.close();
        m_reporter.appendLine(kErrorPrefix + error.message());
        return false;
    }
    return true;
}

void PrescriptionsImport::updatePrescription(qint32 rowId, const QString& stored)
{
    // A null stored text reads as empty, so the update never writes a null over it.
    QString prescription = emptyWhenNull(stored);
    try {
        m_details.read(m_codetitre, [&prescription](const QString& rowText) { prescription += rowText; });
    } catch (const Error& error) {
        reportDetailFailure(error.message());
        m_details.close();
        return;
    }
    m_details.close();

    try {
        m_update.bind(QStringLiteral("prescription"), prescription);
        m_update.bind(QStringLiteral("id"), rowId);
        m_update.exec();
    } catch (const Error& error) {
        reportDetailFailure(error.message());
        return;
    }
    recordPair(rowId);
}

void PrescriptionsImport::insertPrescription(const Consultation& consultation, const QDateTime& minute)
{
    const qint32 rowId = ++m_counter;
    QString prescription = QStringLiteral("");
    try {
        m_details.read(m_codetitre, [&prescription](const QString& rowText) { prescription += rowText; });
    } catch (const Error& error) {
        reportDetailFailure(error.message());
        prescription = emptyWhenNull(m_headers.textValue(QStringLiteral("DONNEES")));
    }
    m_details.close();

    try {
        m_add.bind(QStringLiteral("id"), rowId);
        m_add.bind(QStringLiteral("patientsID"), consultation.patientId);
        m_add.bind(QStringLiteral("dateConsultation"), minute);
        m_add.bind(QStringLiteral("prescription"), prescription);
        m_add.bind(QStringLiteral("motconsuID"), consultation.id);
        m_add.exec();
    } catch (const Error& error) {
        reportDetailFailure(error.message());
        return;
    }
    recordPair(rowId);
}

void PrescriptionsImport::reportDetailFailure(const QString& message)
{
    m_reporter.appendLine(QStringLiteral("Impossible d'actualiser la consultation du ") + m_dateText
                          + QStringLiteral(" du patient n°") + m_patientText
                          + QStringLiteral(" avec les données de l'ordonnance n°") + m_details.codeTitre()
                          + QStringLiteral(" / ") + m_details.codeLigne()
                          + QStringLiteral(". Ces données d'ordonnance ne seront pas importées."));
    m_reporter.appendLine(kErrorPrefix + message);
}

void PrescriptionsImport::recordPair(qint32 dest)
{
    try {
        m_context.shared.record(m_codetitre, dest);
    } catch (const Error& error) {
        m_context.shared.cancel();
        m_reporter.appendLine(kErrorPrefix + error.message());
    }
}

} // namespace

QString FindPrescriptionTable(const QString& talmerosPath)
{
    const QString path = findFileNoCase(AddTrailingBackslash(talmerosPath), QStringLiteral("EDITOR.INI"));
    if (path.isEmpty())
        return kNotFound;
    const IniFile ini = IniFile::load(path);
    const QString section = QStringLiteral("DataBases");
    for (const QString& key : ini.keys(section)) {
        if (ini.value(section, key).toUpper().contains(QStringLiteral("PRESCRIP")))
            return isPlainIdentifier(key) ? key.toUpper() : kNotFound;
    }
    return kNotFound;
}

void runPrescriptionsPhase(RunContext& context)
{
    const QString table = FindPrescriptionTable(context.talmerosPath);
    if (table == kNotFound) {
        context.reporter.appendLine(
            QStringLiteral("Impossible de trouver la table des prescriptions ! Elles ne seront pas importées."));
        return;
    }
    context.openPhaseLinkTable(context.shared, table + QStringLiteral(".db"));
    PrescriptionsImport(context, table).run();
    context.shared.close();
}

} // namespace vf
