#include "verification/Verification.h"

#include "base/Conversions.h"
#include "base/Errors.h"
#include "base/IniFile.h"
#include "base/Settings.h"
#include "destination/DestinationConfig.h"
#include "destination/DestinationConnection.h"
#include "links/Binding.h"
#include "links/LinkTable.h"
#include "phases/CatchUp.h"
#include "phases/LetterFiles.h"
#include "phases/Phases.h"
#include "phases/Preparation.h"
#include "source/SourceConnection.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSqlField>
#include <QSqlRecord>

#include <cstring>
#include <functional>
#include <future>
#include <optional>

namespace vf {

int VerifiedKind::count(RecordState state) const
{
    return int(std::count_if(records.cbegin(), records.cend(),
                             [state](const VerifiedRecord& record) { return record.state == state; }));
}

int VerifiedKind::changedCount() const
{
    return int(std::count_if(records.cbegin(), records.cend(), [](const VerifiedRecord& record) { return record.changed; }));
}

bool Verification::complete() const
{
    if (!wholeKindsMissing().isEmpty() || !runRefusal.isEmpty())
        return false;
    for (const VerifiedKind& kind : kinds)
        if (kind.changedCount() > 0)
            return false;
    for (const VerifiedKind& kind : kinds)
        for (const VerifiedRecord& record : kind.records)
            if (record.state == RecordState::ToImport || record.state == RecordState::Pending
                || record.state == RecordState::Missing)
                return false;
    return true;
}

QStringList Verification::wholeKindsMissing() const
{
    QStringList missing;
    for (const VerifiedKind& kind : kinds)
        if (!kind.wholeKindMissing.isEmpty())
            missing.append(kind.title + QStringLiteral(" : ") + kind.wholeKindMissing);
    return missing;
}

QString refusalReason(const VerifiedRecord& record)
{
    QString reason = record.detail.section(QStringLiteral(" : "), 0, 0);
    if (const qsizetype bracket = reason.indexOf(QStringLiteral(" (")); bracket > 0)
        reason.truncate(bracket);
    return reason;
}

QString refusalAction(const QString& reason)
{
    static const QList<std::pair<QString, QString>> actions = {
        {QStringLiteral("patient non importé"),
         QStringLiteral("Corriger ou importer d'abord le dossier du patient (voir les patients refusés), puis relancer "
                        "l'importation.")},
        {QStringLiteral("fichier du courrier introuvable"),
         QStringLiteral("Vérifier que le dossier des courriers est le bon et qu'il est complet (partage monté), y copier "
                        "les fichiers manquants, puis relancer l'importation.")},
        {QStringLiteral("fichier du courrier hors du dossier des courriers"),
         QStringLiteral("Copier le fichier lui-même dans le dossier des courriers (pas de lien), puis relancer "
                        "l'importation.")},
        {QStringLiteral("correspondant inconnu"),
         QStringLiteral("Créer le correspondant dans le carnet d'adresses de Velquor, ou retirer ce code du dossier du "
                        "patient, puis relancer l'importation.")},
        {QStringLiteral("antécédent sans libellé"),
         QStringLiteral("Donner à l'antécédent son type et son commentaire dans Velquor, puis relancer l'importation.")},
        {QStringLiteral("pas de table des prescriptions dans EDITOR.INI"),
         QStringLiteral("Indiquer la table des prescriptions dans la section [DataBases] du fichier EDITOR.INI du dossier "
                        "Base de Talmérosin, puis relancer l'importation.")},
        {QStringLiteral("date invalide"),
         QStringLiteral("Corriger la date de l'enregistrement dans Velquor, puis relancer l'importation.")},
        {QStringLiteral("valeur trop longue"),
         QStringLiteral("Raccourcir la valeur dans Velquor (ou élargir la colonne de la base Talmérosin), puis relancer "
                        "l'importation.")},
    };
    for (const auto& [start, action] : actions)
        if (reason.startsWith(start))
            return action;
    return QString();
}

namespace {

const QString kRowDeleted = QStringLiteral("ligne supprimée dans Talmérosin");
const QString kCopyLost = QStringLiteral("fichier copié absent ou différent");
const QString kLinkLost = QStringLiteral("lien patient-correspondant absent");
const QString kWithoutLink = QStringLiteral("le patient a été importé sans ce lien");
const QString kLinkWaits = QStringLiteral("lien en attente de son correspondant");

} // namespace

bool lostFromDestination(const VerifiedRecord& record)
{
    return record.state == RecordState::Missing && record.detail != kWithoutLink;
}

QString missingReason(const VerifiedRecord& record)
{
    if (record.detail.startsWith(QStringLiteral("le fichier copié")))
        return kCopyLost;
    if (record.detail == kWithoutLink)
        return kLinkWaits;
    if (record.detail.contains(QStringLiteral("PATMEDTR")))
        return kLinkLost;
    return kRowDeleted;
}

QString missingAction(const QString& reason)
{
    if (reason == kCopyLost)
        return QStringLiteral("Relancer l'importation : elle copie de nouveau ces courriers (leur ligne est gardée).");
    if (reason == kLinkLost)
        return QStringLiteral("Relancer l'importation : elle écrit de nouveau ces liens.");
    if (reason == kLinkWaits)
        return QStringLiteral("Importer d'abord le correspondant (voir les correspondants à importer), puis relancer "
                              "l'importation : elle écrit alors le lien.");
    return QStringLiteral("Ces enregistrements ont été importés, puis leur ligne a été supprimée dans Talmérosin : "
                          "l'importation ne les remet pas d'elle-même. Pour les importer de nouveau (nouvelles lignes), "
                          "lancer l'importation avec --batch --restore-missing ; sinon, les laisser supprimés.");
}

namespace {

const QString kPending = QStringLiteral("paire en attente : la prochaine importation la règle");
const QString kNoLabel = QStringLiteral("antécédent sans libellé");
const QString kNoPrescriptionTable = QStringLiteral("pas de table des prescriptions dans EDITOR.INI");
const QString kNoDate = QStringLiteral("date invalide");
const int kFileNameSize = 12; // LETTERS.FileName

// A plain text that a phase writes as it reads it (or through one of its formats), with the
// destination column that receives it.
struct TextColumn {
    const char* source;
    const char* dest;
    QString (*format)(const QString&) = nullptr;
};

const QList<TextColumn> kDoctorColumns = {
    {"NOM", "NOM"}, {"PRENOM", "PRENOM"}, {"VILLE", "VILLE"}, {"CODE POSTAL", "CP"},
    {"TELEPHONE", "TELEPHONE", FormatPhoneNumber},
};
const QList<TextColumn> kCorrespondentColumns = {
    {"NOM", "NOM"}, {"PRENOM", "PRENOM"}, {"VILLE", "VILLE"}, {"CODE POSTAL", "CP"},
    {"TELEPHONE PERSONNEL", "TEL", FormatPhoneNumber}, {"TELEPHONE PROFESSIONNEL", "TELBUREAU", FormatPhoneNumber},
    {"FAX", "FAX", FormatPhoneNumber},
};
const QList<TextColumn> kPatientColumns = {
    {"NOM", "NOM"}, {"PRENOM", "PRENOM"}, {"NOM DE NAISSANCE", "NOM_DE_JEUNE_FILLE"}, {"CODE POSTAL", "CP"},
    {"VILLE", "VILLE"}, {"TEL DOMICILE", "TELEPHONE", FormatPhoneNumber},
    {"TEL BUREAU", "TELEPHONE_BUREAU", FormatPhoneNumber}, {"FAX", "FAX", FormatPhoneNumber},
    {"NUMERO SECURITE SOCIAL", "N_SS", FormatSocialSecurityNumber},
};

QString tooLong(const QString& column, qsizetype length, int size)
{
    return QStringLiteral("valeur trop longue pour la colonne %1 (%2 caractères, %3 au plus)")
        .arg(column)
        .arg(length)
        .arg(size);
}

class Verifier {
public:
    Verifier(SourceConnection& source, DestinationConnection& dest, const QString& v3Path, const QString& courriersPath,
             const QString& talmerosPath, const QString& linksFolder, VerificationProgress& progress, RecordNames names)
        : m_linksFolder(linksFolder), m_progress(progress), m_names(names), m_letters(courriersPath), m_source(source),
          m_dest(dest)
    {
        m_result.v3Path = v3Path;
        m_result.courriersPath = courriersPath;
        m_result.talmerosPath = AddTrailingBackslash(talmerosPath);
        m_result.at = QDateTime::currentDateTime();
        m_result.program = QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion();
    }

    Verification run()
    {
        m_formats = runDateFormats(m_result.talmerosPath);
        try {
            const KestruneConfig config = readKestrune(m_result.talmerosPath);
            m_result.server = config.serverName;
            m_result.database = config.databaseName;
        } catch (const Error& error) {
            throw VerificationFailed{error.message()};
        }
        try {
            lookAtLetterFilesAhead();
            doctors();
            correspondents();
            patients();
            history();
            consultations();
            prescriptions();
            synthesis();
            letters();
        } catch (const ConnectionLost& lost) {
            throw VerificationFailed{lost.message};
        }
        for (VerifiedKind& kind : m_result.kinds)
            kind.pairCount = m_pairCounts.value(kind.linkTable);
        return m_result;
    }

private:
    using Links = LinkTableContents;

    // A link table, read only; a missing folder or file holds no pair.
    Links links(const QString& fileName)
    {
        try {
            Links read = readLinkTable(m_linksFolder, fileName);
            m_pairCounts.insert(fileName, int(read.pairs.size()));
            return read;
        } catch (const Error& error) {
            throw VerificationFailed{QStringLiteral("Erreur lors de la création de la table temporaire ") + fileName
                                     + QLatin1Char('\n') + kErrorPrefix + error.message()};
        }
    }

    // Every row of a source statement, in its order, with the phase's text when it cannot be read.
    void readSource(const QString& sql, const QString& openError, const QString& status,
                    const std::function<void(const SourceQuery&)>& row)
    {
        SourceQuery query(m_source, sql);
        try {
            query.open();
            m_progress.startKind(status, query.recordCount());
            for (; !query.eof(); query.next()) {
                row(query);
                m_progress.step();
            }
        } catch (const Error& error) {
            throw VerificationFailed{openError + error.message()};
        }
    }

    // One statement over a destination table.
    void readDest(const QString& sql, const std::function<void(const DestQuery&)>& row)
    {
        try {
            DestQuery query(m_dest, sql);
            for (query.open(); !query.eof(); query.next())
                row(query);
            query.close();
        } catch (const Error& error) {
            throw VerificationFailed{error.message()};
        }
    }

    // The identifiers of a table's rows, read once for the kinds whose pairs name that table (a
    // shared copy: a reference into the cache would not outlive its next insertion).
    QSet<qint32> destIds(const QString& table, const QString& idColumn)
    {
        const QString key = table + QLatin1Char('.') + idColumn;
        if (const auto read = m_destIds.constFind(key); read != m_destIds.constEnd())
            return *read;
        QSet<qint32> ids;
        readDest(QStringLiteral("SELECT ") + idColumn + QStringLiteral(" FROM ") + table,
                 [&](const DestQuery& row) { ids.insert(row.value(0).toInt()); });
        return *m_destIds.insert(key, std::move(ids));
    }

    // The sizes that the destination declares for a table's text columns, by upper-cased name.
    QHash<QString, int> columnSizes(const QString& table)
    {
        QHash<QString, int> sizes;
        for (const QString& name : {table, table.toLower()}) {
            const QSqlRecord record = m_dest.record(name);
            for (int i = 0; i < record.count(); ++i)
                if (record.field(i).metaType().id() == QMetaType::QString && record.field(i).length() > 0)
                    sizes.insert(record.fieldName(i).toUpper(), record.field(i).length());
            if (!sizes.isEmpty())
                break;
        }
        return sizes;
    }

    static QString tooLongValue(const SourceQuery& row, const QList<TextColumn>& columns, const QHash<QString, int>& sizes)
    {
        for (const TextColumn& column : columns) {
            const QString source = QString::fromLatin1(column.source);
            const int size = sizes.value(QString::fromLatin1(column.dest), 0);
            if (size <= 0 || !row.hasColumn(source))
                continue;
            const QString text = column.format ? column.format(row.textValue(source)) : row.textValue(source);
            if (text.size() > size)
                return tooLong(QString::fromLatin1(column.dest), text.size(), size);
        }
        return QString();
    }

    // An imported record whose source differs from its pair's print: changed, named with the
    // fields that differ.
    template <typename Row>
    void markChanged(VerifiedRecord& record, const Links& links, qint32 code, const Row& row, const QStringList& fields,
                     const std::function<QString()>& name, const QList<std::pair<QString, QVariant>>& extra = {}) const
    {
        // A run's own summary counts what it carried: the changes are not looked for again.
        if (record.state != RecordState::Imported || m_names == RecordNames::NotImported)
            return;
        const auto stored = links.sourcePrints.constFind(code);
        if (stored == links.sourcePrints.constEnd())
            return;
        const SourcePrint now = sourcePrint(row, fields, extra);
        if (*stored == now.bytes())
            return;
        QStringList names = fields;
        for (const auto& [field, value] : extra)
            names.append(field);
        record.changed = true;
        record.changedFields = SourcePrint::changedFields(*stored, now, names);
        if (record.name.isEmpty())
            record.name = name();
    }

    // The pairs of a kind whose codes the source no longer holds.
    static void markDeleted(VerifiedKind& kind, const Links& links, const QSet<qint32>& codes, const QString& noun)
    {
        QList<qint32> deleted;
        for (auto pair = links.pairs.cbegin(); pair != links.pairs.cend(); ++pair)
            if (!codes.contains(pair.key()))
                deleted.append(pair.key());
        std::sort(deleted.begin(), deleted.end());
        for (const qint32 code : deleted)
            kind.deletedInSource.append({noun.arg(code), RecordState::Imported,
                                         QStringLiteral("supprimé de la base V3 depuis son importation ; la base Talmérosin le garde")});
    }

    // Whether a record in that state gets its name: an imported one only when every record does.
    bool named(RecordState state) const { return state != RecordState::Imported || m_names == RecordNames::Every; }

    // The state of a record from its pair: imported, or missing from the destination, or pending,
    // or refused for the reason given, or to import.
    VerifiedRecord classify(const Links& links, const QSet<qint32>& rows, const QString& table, const QString& idColumn,
                            qint32 code, const std::function<QString()>& name,
                            const std::function<QString()>& refusal) const
    {
        if (const auto pair = links.pairs.constFind(code); pair != links.pairs.constEnd()) {
            // A pending pair beside the pair: left by two programs that ran at once.
            if (const auto duplicate = links.pending.constFind(code); duplicate != links.pending.constEnd())
                return {name(), RecordState::Pending,
                        QStringLiteral("paire en attente en double, abandonnée par la prochaine importation : la ligne "
                                       "%1 = %2 de %3 est un doublon à vérifier")
                            .arg(idColumn)
                            .arg(*duplicate)
                            .arg(table)};
            if (rows.contains(*pair))
                return {named(RecordState::Imported) ? name() : QString(), RecordState::Imported, {}};
            return {name(), RecordState::Missing,
                    QStringLiteral("la ligne %1 = %2 n'est plus dans %3").arg(idColumn).arg(*pair).arg(table)};
        }
        if (links.pending.contains(code))
            return {name(), RecordState::Pending, kPending};
        QString reason = refusal();
        if (!reason.isEmpty())
            return {name(), RecordState::Refused, std::move(reason)};
        return {name(), RecordState::ToImport, {}};
    }

    // The reason why a record of a patient would be refused: its patient is not imported and
    // will not be.
    QString patientReason(qint32 patient) const
    {
        if (m_patients.pairs.contains(patient))
            return QString();
        const auto state = m_patientStates.constFind(patient);
        if (state == m_patientStates.constEnd())
            return QStringLiteral("patient non importé : le dossier n°%1 n'est pas dans la base V3").arg(patient);
        if (*state == RecordState::Refused)
            return QStringLiteral("patient non importé : le dossier n°%1 est refusé").arg(patient);
        return QString();
    }

    // The reason why the run refuses a record whose date is not one.
    static QString dateReason(const SourceQuery& row, const QString& column)
    {
        try {
            row.dateTimeValue(column);
        } catch (const Error& error) {
            return kNoDate + QStringLiteral(" : ") + error.message();
        }
        return QString();
    }

    QString dateText(const SourceQuery& row, const QString& column) const
    {
        return DateText(row.value(column), m_formats);
    }

    VerifiedKind& addKind(const QString& title, const QString& linkTable)
    {
        m_result.kinds.append({title, {}, -1, linkTable, 0, {}, {}, {}});
        return m_result.kinds.last();
    }

    // A patient as the technician finds it in the software: name, first name, birth date.
    static QString patientLabel(const SourceQuery& row)
    {
        QString label = (text(row, "NOM") + QLatin1Char(' ') + text(row, "PRENOM")).trimmed();
        const QString column = QStringLiteral("DATE NAISSANCE");
        const QDateTime born = row.hasColumn(column) ? row.value(column).toDateTime() : QDateTime();
        if (born.isValid())
            label += QStringLiteral(", né(e) le ") + born.date().toString(QStringLiteral("dd/MM/yyyy"));
        return label;
    }

    // A kind whose rows the run writes from the source row alone: its refusals are the values too
    // long for their columns. The state of each record by its code; `also` sees every row.
    QHash<qint32, RecordState> writtenAsRead(const PhaseOutline& outline, const Links& pairs, const QString& title,
                                             const QString& status, const QList<TextColumn>& columns,
                                             const QStringList& fields, const QString& deletedNoun,
                                             const std::function<QString(const SourceQuery&, qint32)>& naming,
                                             const std::function<void(const SourceQuery&, qint32)>& also = {})
    {
        QSet<qint32> codes;
        const QSet<qint32> rows = destIds(outline.pairRow.table, outline.pairRow.idColumn);
        const QHash<QString, int> sizes = columnSizes(outline.pairRow.table);
        QHash<qint32, RecordState> states;
        VerifiedKind& kind = addKind(title, outline.linkTable);
        readSource(outline.source, outline.openError, status, [&](const SourceQuery& row) {
            const qint32 code = row.intValue(outline.code);
            VerifiedRecord record = classify(pairs, rows, outline.pairRow.table, outline.pairRow.idColumn, code,
                                             [&] { return naming(row, code); },
                                             [&] { return tooLongValue(row, columns, sizes); });
            markChanged(record, pairs, code, row, fields, [&] { return naming(row, code); });
            codes.insert(code);
            states.insert(code, record.state);
            kind.records.append(std::move(record));
            if (also)
                also(row, code);
        });
        markDeleted(kind, pairs, codes, deletedNoun);
        return states;
    }

    static QString text(const SourceQuery& row, const char* column) { return row.textValue(QString::fromLatin1(column)); }

    void doctors()
    {
        const PhaseOutline outline = usersOutline();
        writtenAsRead(outline, links(outline.linkTable), QStringLiteral("Médecins utilisateurs"),
                      QStringLiteral("Vérification des médecins utilisateurs..."), kDoctorColumns, doctorFields(),
                      QStringLiteral("médecin n°%1"),
                      [&](const SourceQuery& row, qint32 code) {
                          return QStringLiteral("médecin n°%1 (%2 %3)").arg(code).arg(text(row, "NOM"), text(row, "PRENOM"));
                      });
    }

    void correspondents()
    {
        const PhaseOutline outline = correspondentsOutline();
        m_correspondents = links(outline.linkTable);
        m_correspondentStates = writtenAsRead(
            outline, m_correspondents, QStringLiteral("Correspondants"), QStringLiteral("Vérification des correspondants..."),
            kCorrespondentColumns, correspondentFields(), QStringLiteral("correspondant n°%1"),
            [&](const SourceQuery& row, qint32 code) {
                return QStringLiteral("correspondant n°%1 (%2 %3, %4)")
                    .arg(code)
                    .arg(text(row, "NOM"), text(row, "PRENOM"), text(row, "VILLE"));
            });
    }

    // A patient's correspondent, as the patients phase reads it.
    struct LinkToMake {
        qint32 patient;
        QString correspondent;
    };

    void patients()
    {
        const PhaseOutline outline = patientsOutline();
        m_patients = links(outline.linkTable);
        QList<LinkToMake> linksToMake;
        m_patientStates = writtenAsRead(
            outline, m_patients, QStringLiteral("Patients"), QStringLiteral("Vérification des patients..."), kPatientColumns,
            patientFields(), QStringLiteral("patient n°%1"),
            [&](const SourceQuery& row, qint32 code) {
                return QStringLiteral("patient n°%1 (%2 %3)").arg(code).arg(text(row, "PRENOM"), text(row, "NOM"));
            },
            [&](const SourceQuery& row, qint32 code) {
                const QString label = patientLabel(row);
                m_patientNames.insert(code, label);
                m_result.kinds.last().records.last().patient = label;
                QSet<QString> seen;
                for (int n = 1; n <= 6; ++n) {
                    const QString column = QStringLiteral("CODE CORRESPONDANT ") + QString::number(n);
                    const QString correspondent = row.hasColumn(column) ? row.textValue(column).trimmed() : QString();
                    if (correspondent.isEmpty() || correspondent == QStringLiteral("-1") || seen.contains(correspondent))
                        continue;
                    seen.insert(correspondent);
                    linksToMake.append({code, correspondent});
                }
            });
        correspondentLinks(linksToMake);
    }

    void correspondentLinks(const QList<LinkToMake>& linksToMake)
    {
        QSet<quint64> rows;
        readDest(QStringLiteral("SELECT PATIENTS_ID, MEDTRAIT_ID FROM PATMEDTR"), [&](const DestQuery& row) {
            rows.insert(quint64(quint32(row.value(0).toInt())) << 32 | quint32(row.value(1).toInt()));
        });
        VerifiedKind& kind = addKind(QStringLiteral("Liens patient <-> correspondant"), QString());
        for (const LinkToMake& link : linksToMake) {
            VerifiedRecord record;
            bool isNumber = false;
            const qint32 code = link.correspondent.toInt(&isNumber, 10);
            const std::optional<qint32> correspondentId =
                isNumber && m_correspondents.pairs.contains(code) ? std::optional(m_correspondents.pairs.value(code)) : std::nullopt;
            const bool known = correspondentId
                || (isNumber && m_correspondentStates.contains(code) && m_correspondentStates.value(code) != RecordState::Refused);
            const QString unknown = QStringLiteral("correspondant inconnu : n°") + link.correspondent;
            if (const auto patientId = m_patients.pairs.constFind(link.patient); patientId != m_patients.pairs.constEnd()) {
                if (correspondentId && rows.contains(quint64(quint32(*patientId)) << 32 | quint32(*correspondentId)))
                    record.state = RecordState::Imported;
                else if (!known)
                    record = {{}, RecordState::Refused, unknown};
                else
                    record = {{}, RecordState::Missing,
                              correspondentId ? QStringLiteral("la ligne de PATMEDTR n'est plus dans la destination")
                                              : kWithoutLink};
            } else if (m_patients.pending.contains(link.patient)) {
                record = {{}, RecordState::Pending, kPending};
            } else if (!known) {
                record = {{}, RecordState::Refused, unknown};
            } else if (const QString reason = patientReason(link.patient); !reason.isEmpty()) {
                record = {{}, RecordState::Refused, reason};
            }
            if (named(record.state))
                record.name = QStringLiteral("lien patient n°%1 <-> correspondant n°%2").arg(link.patient).arg(link.correspondent);
            record.patient = m_patientNames.value(link.patient);
            kind.records.append(std::move(record));
        }
    }

    void history()
    {
        const PhaseOutline outline = historyOutline();
        const Links items = links(outline.linkTable);
        const QSet<qint32> rows = destIds(outline.pairRow.table, outline.pairRow.idColumn);
        // Every item, with what the run joins to it: an item without its kind or its comment is
        // one that the run does not read.
        const QString sql = QStringLiteral(
            "select AP.[CODE ANTECEDENT PATIENT], AP.[CODE PATIENT], AA.[CODE ANTECEDENT] AS LABELLED,\r\n"
            "  AC.[CODE ANTECEDENT PATIENT] AS COMMENTED, AP.[CODE ANTECEDENT], AP.[DATE], AA.[LIBELLE], AC.[DONNEES]\r\n"
            "from [ANT ANTECEDENT PATIENT] AP\r\n"
            "  left join [ANT ANTECEDENT] AA on AA.[CODE ANTECEDENT] = AP.[CODE ANTECEDENT]\r\n"
            "  left join [ANT COMMENTAIRE ANTECEDENT PATIENT] AC on AC.[CODE ANTECEDENT PATIENT] = AP.[CODE ANTECEDENT PATIENT]\r\n"
            "ORDER BY AP.[CODE PATIENT], AP.[DATE]");
        QSet<qint32> seen;
        VerifiedKind& kind = addKind(QStringLiteral("Antécédents"), outline.linkTable);
        kind.unit = QStringLiteral("un antécédent est un élément de l'historique d'un patient ; la base Talmérosin réunit "
                                   "ceux d'un patient dans une seule ligne ANTECED");
        readSource(sql, outline.openError, QStringLiteral("Vérification des antécédents..."), [&](const SourceQuery& row) {
            const qint32 code = row.intValue(outline.code);
            if (seen.contains(code))
                return;
            seen.insert(code);
            const qint32 patient = row.intValue(QStringLiteral("CODE PATIENT"));
            const auto name = [&] { return QStringLiteral("antécédent n°%1 du dossier n°%2").arg(code).arg(patient); };
            kind.records.append(classify(items, rows, outline.pairRow.table, outline.pairRow.idColumn, code, name,
                                         [&] {
                                             if (row.isNull(QStringLiteral("LABELLED")) || row.isNull(QStringLiteral("COMMENTED")))
                                                 return kNoLabel;
                                             return patientReason(patient);
                                         }));
            markChanged(kind.records.last(), items, code, row, historyFields(), name);
            kind.records.last().patient = m_patientNames.value(patient);
        });
        markDeleted(kind, items, seen, QStringLiteral("antécédent n°%1"));
    }

    // A kind whose records hang on a patient, named with their date.
    void recordsOfPatients(const PhaseOutline& outline, const QString& title, const QString& status, const QString& naming,
                           const QStringList& fields, const QString& detailTable, const QString& refusal = QString())
    {
        const bool writable = refusal.isEmpty();
        const Links pairs = writable ? links(outline.linkTable) : Links();
        const QSet<qint32> rows = writable ? destIds(outline.pairRow.table, outline.pairRow.idColumn) : QSet<qint32>();
        QHash<qint32, quint64> lines;
        if (!pairs.sourcePrints.isEmpty() && m_names == RecordNames::Every) {
            try {
                lines = detailPrints(m_source, detailTable);
            } catch (const Error& error) {
                throw VerificationFailed{outline.openError + error.message()};
            }
        }
        QSet<qint32> codes;
        VerifiedKind& kind = addKind(title, writable ? outline.linkTable : QString());
        readSource(outline.source, outline.openError, status, [&](const SourceQuery& row) {
            const qint32 code = row.intValue(outline.code);
            const qint32 patient = row.intValue(QStringLiteral("CODE PATIENT"));
            const auto name = [&] { return naming.arg(code).arg(dateText(row, QStringLiteral("Date"))).arg(patient); };
            kind.records.append(classify(pairs, rows, outline.pairRow.table, outline.pairRow.idColumn, code, name, [&] {
                if (!writable)
                    return refusal;
                const QString reason = patientReason(patient);
                return reason.isEmpty() ? dateReason(row, QStringLiteral("Date")) : reason;
            }));
            markChanged(kind.records.last(), pairs, code, row, fields, name, {{kDetailField, lines.value(code)}});
            codes.insert(code);
            kind.records.last().patient = m_patientNames.value(patient);
        });
        markDeleted(kind, pairs, codes, naming.section(QLatin1Char(' '), 0, 0) + QStringLiteral(" n°%1"));
        if (!writable && !kind.records.isEmpty())
            kind.wholeKindMissing = QStringLiteral("le fichier EDITOR.INI du dossier Base de Talmérosin ne nomme pas de table "
                                                   "des prescriptions : aucune des %1 ne peut être importée.")
                                        .arg(kind.records.size());
        if (!kind.wholeKindMissing.isEmpty())
            kind.wholeKindAction = refusalAction(refusal);
    }

    void consultations()
    {
        recordsOfPatients(consultationsOutline(), QStringLiteral("Consultations"),
                          QStringLiteral("Vérification des consultations..."),
                          QStringLiteral("consultation n°%1 du %2 du patient n°%3"), headerFields(),
                          QStringLiteral("CON SOUS CONSULTATION"));
        m_result.kinds.last().unit = QStringLiteral("les consultations de la base V3 ; celles que la base Talmérosin reçoit "
                                                    "en plus pour des prescriptions ne sont pas comptées ici");
    }

    void prescriptions()
    {
        QString table;
        try {
            table = FindPrescriptionTable(m_result.talmerosPath);
        } catch (const Error& error) {
            throw VerificationFailed{error.message()};
        }
        const bool found = table != QStringLiteral("erreur");
        recordsOfPatients(prescriptionsOutline(found ? table : QStringLiteral("ORDONNANCES")),
                          QStringLiteral("Prescriptions"), QStringLiteral("Vérification des prescriptions..."),
                          QStringLiteral("ordonnance n°%1 du %2 du patient n°%3"), headerFields(),
                          QStringLiteral("ORD SOUS ORDONNANCE"), found ? QString() : kNoPrescriptionTable);
        m_result.kinds.last().unit = QStringLiteral("une ordonnance de la base V3 ; la base Talmérosin réunit celles d'un "
                                                    "patient à la même minute dans une seule ligne de la table des prescriptions");
    }

    void synthesis()
    {
        recordsOfPatients(synthesisOutline(), QStringLiteral("Fiches de synthèse"),
                          QStringLiteral("Vérification des fiches de synthèse..."),
                          QStringLiteral("fiche de synthèse n°%1 du %2 du patient n°%3"), sheetFields(),
                          QStringLiteral("SYN SOUS FICHE SYNTHESE"));
        m_result.kinds.last().unit = QStringLiteral("une fiche de synthèse de la base V3 ; la base Talmérosin ajoute ses lignes "
                                                    "au texte de la consultation");
    }

    struct LetterRow {
        qint32 patient;
        QString fileName;
    };

    // The letters' pairs, and the LETTERS rows by identifier with the greatest identifier: read
    // once, for the letters' files and then for the letters.
    struct LetterRecords {
        Links pairs;
        QHash<qint32, LetterRow> rows;
        qint32 lastId = 0;
    };

    const LetterRecords& letterRecords()
    {
        if (!m_letterRecords) {
            LetterRecords read{links(lettersOutline().linkTable), {}, 0};
            readDest(QStringLiteral("SELECT LETTERS_ID, PATIENTS_ID, FileName FROM LETTERS"), [&](const DestQuery& row) {
                const qint32 id = row.value(0).toInt();
                read.rows.insert(id, {row.value(1).toInt(), row.value(2).toString()});
                read.lastId = std::max(read.lastId, id);
            });
            m_letterRecords = std::move(read);
        }
        return *m_letterRecords;
    }

    // A letter of the source, as its files are looked at: its document, and the copy named by
    // the LETTERS row of its pair, when it has both.
    struct LetterToLookAt {
        qint32 code;
        QString nomFichier;
        std::optional<LetterRow> copy;
    };

    static LetterToLookAt letterToLookAt(const Links& pairs, const QHash<qint32, LetterRow>& rows, qint32 code,
                                         const QString& nomFichier)
    {
        const auto pair = pairs.pairs.constFind(code);
        const auto row = pair == pairs.pairs.constEnd() ? rows.constEnd() : rows.constFind(*pair);
        return {code, nomFichier, row == rows.constEnd() ? std::nullopt : std::optional(*row)};
    }

    // What the letters folders hold for a letter.
    struct LetterFileFacts {
        qint32 code = 0;
        bool sourceFound = false; // the letters folder holds such a document
        bool sourceOpen = false;
        bool copyPresent = false;
        bool copyIdentical = false;
    };

    static LetterFileFacts lookAt(LetterFiles& files, const QString& lettersBase, const LetterToLookAt& letter)
    {
        const QString sourcePath = files.find(letter.nomFichier);
        LetterFileFacts facts{letter.code, !sourcePath.isEmpty()};
        QFile sourceFile;
        facts.sourceOpen = facts.sourceFound && files.open(sourcePath, sourceFile);
        if (letter.copy) {
            QFile copy;
            facts.copyPresent = openCopiedLetter(lettersBase, letter.copy->patient, letter.copy->fileName, copy);
            facts.copyIdentical = facts.copyPresent && facts.sourceOpen && sameContents(copy, sourceFile);
        }
        return facts;
    }

    // The letters' files, read and compared on a thread of their own while the other kinds are
    // verified: it only reads files, and it takes about as long as the rest. When the letters
    // cannot be listed here, letters() looks at their files itself, and tells what fails.
    void lookAtLetterFilesAhead()
    {
        const PhaseOutline outline = lettersOutline();
        QList<LetterToLookAt> letters;
        try {
            const LetterRecords& records = letterRecords();
            SourceQuery query(m_source, outline.source);
            for (query.open(); !query.eof(); query.next())
                letters.append(letterToLookAt(records.pairs, records.rows, query.intValue(outline.code),
                                              query.textValue(QStringLiteral("NOM FICHIER"))));
        } catch (const Error&) {
            return;
        } catch (const VerificationFailed&) {
            return;
        }
        m_letterFilesAhead = std::async(std::launch::async, [letters = std::move(letters), folder = m_result.courriersPath,
                                                             lettersBase = m_result.talmerosPath + QStringLiteral("LETTERS")] {
            LetterFiles files(folder);
            QList<LetterFileFacts> facts;
            facts.reserve(letters.size());
            for (const LetterToLookAt& letter : letters)
                facts.append(lookAt(files, lettersBase, letter));
            return facts;
        });
    }

    void letters()
    {
        const PhaseOutline outline = lettersOutline();
        const LetterRecords& records = letterRecords();
        const Links& pairs = records.pairs;
        const QHash<qint32, LetterRow>& rows = records.rows;
        qint32 lastId = records.lastId;
        QSet<qint32> ids;
        for (auto row = rows.cbegin(); row != rows.cend(); ++row)
            ids.insert(row.key());
        const QString lettersBase = m_result.talmerosPath + QStringLiteral("LETTERS");
        const QString sourceFolder = AddTrailingBackslash(m_result.courriersPath);
        const QList<LetterFileFacts> ahead = m_letterFilesAhead.valid() ? m_letterFilesAhead.get() : QList<LetterFileFacts>();

        VerifiedKind& kind = addKind(QStringLiteral("Courriers"), outline.linkTable);
        kind.identicalFiles = 0;
        int filesFound = 0;
        qsizetype index = 0;
        QSet<qint32> codes;
        readSource(outline.source, outline.openError, QStringLiteral("Vérification des courriers..."), [&](const SourceQuery& row) {
            const qint32 code = row.intValue(outline.code);
            const qint32 patient = row.intValue(QStringLiteral("CODE PATIENT"));
            const QString nomFichier = row.textValue(QStringLiteral("NOM FICHIER"));
            const QString quoted = QStringLiteral("[") + sourceFolder + nomFichier + QStringLiteral(".RTF]");
            const qsizetype at = index++;
            const LetterFileFacts facts = at < ahead.size() && ahead.at(at).code == code
                ? ahead.at(at)
                : lookAt(m_letters, lettersBase, letterToLookAt(pairs, rows, code, nomFichier));
            const bool sourceOpen = facts.sourceOpen;
            filesFound += facts.sourceFound ? 1 : 0;
            const auto name = [&] {
                return QStringLiteral("courrier n°%1 [%2] du %3 du dossier n°%4")
                    .arg(code)
                    .arg(row.textValue(QStringLiteral("LIBELLE")), dateText(row, QStringLiteral("DATE")))
                    .arg(patient);
            };
            VerifiedRecord record = classify(
                pairs, ids, outline.pairRow.table, outline.pairRow.idColumn, code, name,
                [&] {
                    if (QString reason = patientReason(patient); !reason.isEmpty())
                        return reason;
                    if (sourceOpen) {
                        const QString fileName = QStringLiteral("LET") + QString::number(++lastId) + QStringLiteral(".HED");
                        return fileName.size() > kFileNameSize ? tooLong(QStringLiteral("FileName"), fileName.size(), kFileNameSize)
                                                               : dateReason(row, QStringLiteral("DATE"));
                    }
                    if (!facts.sourceFound && !QFileInfo::exists(sourceFolder + nomFichier + QStringLiteral(".RTF")))
                        return QStringLiteral("fichier du courrier introuvable : ") + quoted;
                    return QStringLiteral("fichier du courrier hors du dossier des courriers : ") + quoted;
                });
            // A letter whose file changed since its import has a copy of the earlier file.
            markChanged(record, pairs, code, row, letterFields(), name,
                        {{kFileField, letterFilePrint(m_letters.find(nomFichier))}});
            if (record.state == RecordState::Imported) {
                const LetterRow letter = rows.value(pairs.pairs.value(code));
                const QString copyPath = lettersBase + QDir::separator() + QString::number(letter.patient)
                    + QDir::separator() + letter.fileName;
                if (!facts.copyPresent)
                    record = {name(), RecordState::Missing, QStringLiteral("le fichier copié ") + copyPath + QStringLiteral(" est absent")};
                else if (sourceOpen && !facts.copyIdentical && !record.changed)
                    record = {name(), RecordState::Missing,
                              QStringLiteral("le fichier copié ") + copyPath + QStringLiteral(" diffère du courrier ") + quoted};
                else if (sourceOpen && facts.copyIdentical)
                    ++kind.identicalFiles;
            }
            codes.insert(code);
            record.patient = m_patientNames.value(patient);
            kind.records.append(std::move(record));
        });
        markDeleted(kind, pairs, codes, QStringLiteral("courrier n°%1"));
        if (filesFound == 0 && !kind.records.isEmpty())
            kind.wholeKindMissing = QStringLiteral("le dossier des courriers %1 ne contient aucun des %2 fichiers de courrier "
                                                   "de la base V3 : aucun ne peut être importé.")
                                        .arg(QDir::toNativeSeparators(m_result.courriersPath))
                                        .arg(kind.records.size());
        if (!kind.wholeKindMissing.isEmpty())
            kind.wholeKindAction = QStringLiteral("Indiquer le dossier qui contient les fichiers .RTF des courriers de Velquor "
                                                  "(partage monté, copie complète), puis relancer l'importation.");
    }

    const QString m_linksFolder;
    VerificationProgress& m_progress;
    const RecordNames m_names;
    LetterFiles m_letters;
    std::optional<LetterRecords> m_letterRecords;
    std::future<QList<LetterFileFacts>> m_letterFilesAhead; // waited for when the verifier ends
    SourceConnection& m_source;
    DestinationConnection& m_dest;
    DateFormats m_formats;
    Verification m_result;

    Links m_correspondents;
    Links m_patients;
    QHash<qint32, QString> m_patientNames;
    QHash<qint32, RecordState> m_correspondentStates;
    QHash<qint32, RecordState> m_patientStates;
    QHash<QString, QSet<qint32>> m_destIds; // by table and identifier column
    QHash<QString, int> m_pairCounts;       // by link table
};

} // namespace

QString verificationLinksRoot(LinksLock& lock, const QString& programFolder)
{
    const QString linksRoot = linksTablesFolder(programFolder);
    if (!QFileInfo(linksRoot).isDir())
        return linksRoot;
    QString busy;
    if (!lock.take(linksRoot, LinksUser::Verification, &busy))
        throw VerificationFailed{busy};
    return linksRoot;
}

Verification verifyMigration(const QString& v3Path, const QString& courriersPath, const QString& talmerosPath,
                             const QString& linksRoot, const QString& settingsPath, VerificationProgress& progress,
                             const PathNames& names)
{
    const QString destFolder = AddTrailingBackslash(talmerosPath);
    if (!pathsAreValid(v3Path, courriersPath, destFolder))
        throw VerificationFailed{(QStringList{kBadPaths} + pathProblems(v3Path, courriersPath, destFolder, names)).join(QLatin1Char('\n'))};
    DestinationAccess access;
    try {
        access = destinationAccess(destFolder, settingsPath);
    } catch (const Error& error) {
        throw VerificationFailed{error.message()};
    }
    SourceConnection source;
    try {
        source.open(existingFileNoCase(v3Path));
    } catch (const Error& error) {
        throw VerificationFailed{accessConnectionFailure(v3Path, error.message())};
    }
    DestinationConnection dest{QStringLiteral("verification")};
    try {
        // The destination as it is found: none of the journal settings that a run applies, and
        // a session that cannot write where the server allows it.
        access.options.options = withoutJournalOptions(access.options.options);
        dest.setQueryTimeout(access.options.queryTimeout);
        dest.open(access.connectionString(), Access::ReadOnly);
    } catch (const Error& error) {
        throw VerificationFailed{destinationConnectionFailure(error.message())};
    }
    // The checks that the run makes before it writes: the link tables it would read, and its refusal.
    LinkTablesBinding binding;
    try {
        binding = checkLinkTables(linksRoot, access.identity(), source, dest, pairedRows(destFolder));
    } catch (const Error&) {
        // A link table that cannot be read: the verification names it as the run does, in the
        // destination's folder, or before its first run of this version directly in LinksTables.
        binding.folder = destinationLinksFolder(linksRoot, access.identity());
        if (!QFileInfo(binding.folder).isDir()
            && !QDir(linksRoot).entryList({QStringLiteral("*.db")}, QDir::Files).isEmpty())
            binding.folder = linksRoot;
    }
    Verification verification =
        verifyOverConnections(source, dest, v3Path, courriersPath, destFolder, binding.folder, progress);
    verification.runRefusal = binding.refusal;
    dest.close();
    source.close();
    return verification;
}

Verification verifyOverConnections(SourceConnection& source, DestinationConnection& dest, const QString& v3Path,
                                   const QString& courriersPath, const QString& talmerosPath,
                                   const QString& linksFolder, VerificationProgress& progress, RecordNames names)
{
    Verifier verifier(source, dest, v3Path, courriersPath, talmerosPath, linksFolder, progress, names);
    return verifier.run();
}

} // namespace vf
