#include "base/Conversions.h"
#include "base/Errors.h"
#include "base/IniFile.h"
#include "base/Reporter.h"
#include "destination/DestinationConnection.h"
#include "phases/DestinationTables.h"
#include "phases/CatchUp.h"
#include "phases/PhaseOutline.h"
#include "phases/Phases.h"
#include "phases/PhaseText.h"
#include "phases/RowIndex.h"
#include "phases/RunContext.h"
#include "source/SourceConnection.h"

#include <QSet>

namespace vf {

PhaseOutline prescriptionsOutline(const QString& table)
{
    return {
        .linkTable = table + QStringLiteral(".db"),
        .code = QStringLiteral("CODETITRE"),
        .pairRow = {table, table + QStringLiteral("_ID"), QStringLiteral("PRESCRIPTION")},
        .source = QStringLiteral("select *\r\nfrom  [ORD ORDONNANCE]\r\nORDER BY [CODE PATIENT], [DATE]"),
        .details = {QStringLiteral("SELECT * FROM [ORD SOUS ORDONNANCE] WHERE [CodeTitre]=:codetitre "
                                   "ORDER BY CodeLigne")},
        .opening = QStringLiteral("Ouverture de la table des ordonnances..."),
        .importing = {QStringLiteral("Importation des prescriptions...")},
        .openError = QStringLiteral("Erreur lors de l'ouverture de la table des ordonnance : "),
        .steps = {Step::LinkTable, Step::OpenSource, Step::Progress, Step::Importing, Step::Seed, Step::Prepare,
                  Step::Records, Step::IdValues, Step::CountLines},
    };
}

namespace {

const QString kNotFound = QStringLiteral("erreur");

// The tables that the program writes, and the names of its other link tables: a prescription
// table of one of these names would write prescriptions into them, and its link table would be
// another phase's ("PATIENTS.db" is "Patients.db" where names are matched without regard to
// case), emptied by the purge run.
const QStringList kOwnTables = {
    QStringLiteral("MEDECINS"), QStringLiteral("MEDTRAIT"), QStringLiteral("PATIENTS"),
    QStringLiteral("PATMEDTR"), QStringLiteral("ANTECED"),  QStringLiteral("MOTCONSU"),
    QStringLiteral("SYNTHESES"), QStringLiteral("LETTERS"), QStringLiteral("ID_VALUES"),
};

// A consultation that a prescription is attached to.
struct Consultation {
    qint32 id = 0;
    qint32 patientId = 0;
    QDateTime minute;
};

// [ORD ORDONNANCE] with its detail lines -> the prescription table that EDITOR.INI names, one row
// per patient and minute, attached to the consultation of that minute; "<table>.db".
class PrescriptionsPhase : public Phase {
public:
    PrescriptionsPhase(RunContext& context, const QString& table)
        : m_context(context)
        , m_table(table)
        , m_idColumn(table + QStringLiteral("_ID"))
        , m_details(context.source, prescriptionsOutline(table).details.constFirst())
    {
    }

    PhaseOutline outline() const override { return prescriptionsOutline(m_table); }

    LinkTable& links() override { return m_context.shared; }

    std::function<void()> checkpoint() override
    {
        m_rows.mark();
        m_context.consultations.mark();
        return [this, counter = m_counter, consultations = m_context.consultationCounter, reattached = m_reattached] {
            m_counter = counter;
            m_context.consultationCounter = consultations;
            m_reattached = reattached;
            m_rows.rollbackToMark();
            m_context.consultations.rollbackToMark();
        };
    }

    void seed() override
    {
        m_counter = m_context.dest.scalarInt(QStringLiteral("SELECT max(") + m_idColumn + QStringLiteral(") FROM ") + m_table);
    }

    void prepare(bool opened) override
    {
        m_context.ensureOpen(m_context.patients, QStringLiteral("Patients.db"));
        m_context.ensureOpen(m_context.medecins, QStringLiteral("Medecins.db"));
        if (!opened)
            return;
        m_context.consultations.prepare(m_context.dest);
        m_rows.load(m_context.dest, {m_table, m_idColumn, QStringLiteral("PATIENTS_ID"), QStringLiteral("DATE_CONSULTATION"), true});
        m_detailPrints = readDetailPrints(m_context.source, QStringLiteral("ORD SOUS ORDONNANCE"), m_context.reporter);
    }

    void importRecord(const SourceRecord& header, UnitOfWork& work) override
    {
        m_codetitre = header.intValue(QStringLiteral("CODETITRE"));
        const std::optional<qint32> pairedRow = work.linked(links(), m_codetitre);
        const bool imported = pairedRow.has_value();
        m_print = sourcePrint(header, headerFields(), {{kDetailField, m_detailPrints.value(m_codetitre)}});
        m_patientText = codeText(header, QStringLiteral("CODE PATIENT"));
        m_date = header.value(QStringLiteral("Date"));
        // A purge that emptied MOTCONSU but not the prescription table keeps the prescriptions:
        // the consultations they belong to are made again.
        if (imported && !m_context.purgeLeft(m_table, QStringLiteral("MOTCONSU"))) {
            if (!sourceUnchanged(links().prints(m_codetitre), m_print))
                carry(*pairedRow, work);
            return;
        }
        if (imported) {
            reattach(header, work);
            return;
        }
        const std::optional<qint32> patientId = work.linked(m_context.patients, header.intValue(QStringLiteral("CODE PATIENT")));
        if (!patientId) {
            work.line(kPatientMissing + m_patientText + QStringLiteral(". L'ordonnance du ") + dateText()
                      + QStringLiteral(" ne sera pas importée."));
            return;
        }
        const std::optional<QDateTime> minute = minuteOf(header, work);
        if (!minute)
            return;

        Consultation consultation;
        if (!consultationOf(header, *patientId, *minute, work, consultation))
            return;

        // A failing find is reported and the header gets no link pair: a later run tries it again.
        const RowKey key = RowKey::of(consultation.patientId, consultation.minute);
        qint32 rowId = 0;
        QString stored;
        try {
            rowId = m_rows.lowest(key).value_or(0);
            if (rowId > 0)
                stored = work.stored(m_table, m_idColumn, rowId, QStringLiteral("PRESCRIPTION")).toString();
        } catch (const Error& error) {
            work.line(kErrorPrefix + error.message());
            return;
        }
        if (rowId > 0)
            appendTo(rowId, stored, work);
        else
            insertRow(header, consultation, key, work);
    }

    QList<std::pair<QString, int>> idValues() override
    {
        return {{m_table, m_counter}, {QStringLiteral("MOTCONSU"), m_context.consultationCounter}};
    }

    QStringList countLines() override
    {
        return {QString::number(m_counter) + QStringLiteral(" prescriptions après importation."),
                QString::number(m_context.consultationCounter)
                    + QStringLiteral(" consultations après importation des prescriptions.")};
    }

    void finish() override { links().close(); }

private:
    QString dateText() const { return DateText(m_date, m_context.dateFormats); }

    // Attaches a prescription imported before to the consultation of its patient and minute,
    // found or made again, once for each row of the prescription table.
    void reattach(const SourceRecord& header, UnitOfWork& work)
    {
        const std::optional<qint32> patientId = work.linked(m_context.patients, header.intValue(QStringLiteral("CODE PATIENT")));
        if (!patientId)
            return;
        const std::optional<QDateTime> minute = minuteOf(header, work);
        if (!minute)
            return;
        const RowKey key = RowKey::of(*patientId, *minute);
        if (m_reattached.contains(key))
            return;
        Consultation consultation;
        if (!consultationOf(header, *patientId, *minute, work, consultation))
            return;
        m_reattached.insert(key);
        QList<qint32> rows;
        try {
            rows = m_rows.all(key);
        } catch (const Error& error) {
            work.line(kErrorPrefix + error.message());
            return;
        }
        if (rows.isEmpty())
            return;
        if (const Written updated = work.update({m_table, m_idColumn, rows, {{QStringLiteral("MOTCONSU_ID"), consultation.id}}});
            !updated)
            reportDetailFailure(updated.message(), work);
    }

    // The header's minute; none when its date is not one (the line says so).
    std::optional<QDateTime> minuteOf(const SourceRecord& header, UnitOfWork& work)
    {
        try {
            return TruncateToMinute(header.dateTimeValue(QStringLiteral("Date")));
        } catch (const Error& error) {
            work.line(QStringLiteral("Impossible de créer la consultation du ") + dateText() + QStringLiteral(" du patient n°")
                      + m_patientText + QStringLiteral(". Cette ordonnance ne sera pas importée."));
            work.line(kErrorPrefix + error.message());
            return std::nullopt;
        }
    }

    // The consultation of the patient at the header's minute, created when there is none. False
    // when the header cannot be imported (the reason is already reported).
    bool consultationOf(const SourceRecord& header, qint32 patientId, const QDateTime& minute, UnitOfWork& work,
                        Consultation& consultation)
    {
        ConsultationFinder& finder = m_context.consultations;
        try {
            if (const qint32 found = finder.find(patientId, minute).value_or(0); found > 0) {
                consultation = {found, patientId, minute};
                return true;
            }
        } catch (const Error& error) {
            work.line(kErrorPrefix + error.message());
            return false;
        }

        const qint32 created = ++m_context.consultationCounter;
        const qint32 medecinId = work.linked(m_context.medecins, header.intValue(QStringLiteral("code medecin"))).value_or(1);
        const Written inserted =
            finder.create(work, created, patientId, minute, medecinId, emptyWhenNull(header.textValue(QStringLiteral("DONNEES"))));
        if (!inserted) {
            work.line(QStringLiteral("Impossible de créer la consultation du ") + dateText() + QStringLiteral(" du patient n°")
                      + m_patientText + QStringLiteral(". Cette ordonnance ne sera pas importée."));
            work.line(kErrorPrefix + inserted.message());
            return false;
        }
        try {
            const qint32 found = finder.find(patientId, minute).value_or(0);
            consultation = {found > 0 ? found : created, patientId, minute};
        } catch (const Error& error) {
            work.line(kErrorPrefix + error.message());
            return false;
        }
        return true;
    }

    // A prescription imported before whose source changed: its lines in its row's text.
    void carry(qint32 rowId, UnitOfWork& work)
    {
        QString part;
        try {
            m_details.read(m_codetitre, [&part](const QString& rowText) { part += rowText; });
        } catch (const Error& error) {
            reportDetailFailure(error.message(), work);
            m_details.close();
            return;
        }
        m_details.close();
        carryPart(work, links(), m_codetitre, m_print, m_table, m_idColumn, {rowId}, QStringLiteral("PRESCRIPTION"), part,
                  QStringLiteral("L'ordonnance n°") + QString::number(m_codetitre) + QStringLiteral(" du ") + dateText()
                      + QStringLiteral(" du dossier n°") + m_patientText,
                  m_context.carried[links().fileName().toLower()]);
    }

    void appendTo(qint32 rowId, const QString& stored, UnitOfWork& work)
    {
        // A null stored text reads as empty, so the update never writes a null over it.
        QString prescription = emptyWhenNull(stored);
        m_part.clear();
        try {
            m_details.read(m_codetitre, [&](const QString& rowText) {
                prescription += rowText;
                m_part += rowText;
            });
        } catch (const Error& error) {
            reportDetailFailure(error.message(), work);
            m_details.close();
            return;
        }
        m_details.close();
        const Written updated =
            work.update({m_table, m_idColumn, {rowId}, {{QStringLiteral("PRESCRIPTION"), prescription}}});
        if (!updated) {
            reportDetailFailure(updated.message(), work);
            return;
        }
        recordPair(rowId, work);
    }

    void insertRow(const SourceRecord& header, const Consultation& consultation, const RowKey& key, UnitOfWork& work)
    {
        const qint32 rowId = ++m_counter;
        QString prescription = QStringLiteral("");
        try {
            m_details.read(m_codetitre, [&prescription](const QString& rowText) { prescription += rowText; });
        } catch (const Error& error) {
            reportDetailFailure(error.message(), work);
            prescription = emptyWhenNull(header.textValue(QStringLiteral("DONNEES")));
        }
        m_details.close();
        m_part = prescription;
        const Written inserted = work.insert({m_table,
                                              {
                                                  {m_idColumn, rowId},
                                                  {QStringLiteral("PATIENTS_ID"), consultation.patientId},
                                                  {QStringLiteral("DATE_CONSULTATION"), consultation.minute},
                                                  {QStringLiteral("PRESCRIPTION"), prescription},
                                                  {QStringLiteral("MOTCONSU_ID"), consultation.id},
                                              }});
        if (!inserted) {
            reportDetailFailure(inserted.message(), work);
            return;
        }
        m_rows.add(key, rowId);
        recordPair(rowId, work);
    }

    void reportDetailFailure(const QString& message, UnitOfWork& work)
    {
        work.line(QStringLiteral("Impossible d'actualiser la consultation du ") + dateText() + QStringLiteral(" du patient n°")
                  + m_patientText + QStringLiteral(" avec les données de l'ordonnance n°") + m_details.codeTitre()
                  + QStringLiteral(" / ") + m_details.codeLigne()
                  + QStringLiteral(". Ces données d'ordonnance ne seront pas importées."));
        work.line(kErrorPrefix + message);
    }

    void recordPair(qint32 dest, UnitOfWork& work)
    {
        if (const Written paired = work.pair(links(), m_codetitre, dest, {m_print.bytes(), partPrint(m_part)}); !paired)
            work.line(kErrorPrefix + paired.message());
    }

    RunContext& m_context;
    const QString m_table;
    const QString m_idColumn;
    DetailLines m_details; // V3_Qry1 on [ORD SOUS ORDONNANCE]
    RowIndex m_rows;       // the prescription table by patient and minute
    int m_counter = 0;
    QSet<RowKey> m_reattached; // rows attached again to their consultation in this run

    QHash<qint32, quint64> m_detailPrints;

    // The header being imported.
    qint32 m_codetitre = 0;
    SourcePrint m_print;
    QString m_part; // what it adds to its row's text
    QString m_patientText;
    QVariant m_date; // of the record, formatted for the lines that name it only
};

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
            return isPlainIdentifier(key) && !kOwnTables.contains(key.toUpper()) ? key.toUpper() : kNotFound;
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
    PrescriptionsPhase phase(context, table);
    runPhase(context, phase);
}

} // namespace vf
