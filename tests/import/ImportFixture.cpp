#include "ImportFixture.h"

#include "base/ImportLog.h"

#include <MdbWriter.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace vf::test {

SourceDb::SourceDb()
{
    const auto table = [this](const QString& name, const QList<Column>& columns) {
        m_order.append(name);
        m_tables[name].columns = columns;
    };
    const QString tx = QStringLiteral("text");
    const QString lg = QStringLiteral("long");
    const QString dt = QStringLiteral("datetime");
    const QString memo = QStringLiteral("memo");
    table(QStringLiteral("GLB MEDECIN"),
          {{"CODE MEDECIN", lg}, {"NOM", tx, 50}, {"PRENOM", tx, 50}, {"VILLE", tx, 50},
           {"ADRESSE", memo}, {"CODE POSTAL", tx, 10}, {"TELEPHONE", tx, 30}});
    table(QStringLiteral("ADR CARNET ADRESSE"),
          {{"CODE CARNET ADRESSE", lg}, {"CODE FONCTION", lg}, {"NOM", tx, 50}, {"PRENOM", tx, 50},
           {"VILLE", tx, 50}, {"RUE", memo}, {"CODE POSTAL", tx, 10}, {"TELEPHONE PERSONNEL", tx, 30},
           {"TELEPHONE PROFESSIONNEL", tx, 30}, {"FAX", tx, 30}, {"DIVERS", memo}});
    table(QStringLiteral("REF FONCTION"), {{"CODE FONCTION", lg}, {"LIBELLE", tx, 100}});
    table(QStringLiteral("GLB PATIENT"),
          {{"CODE PATIENT", lg}, {"CODE TYPE SEXE", lg}, {"DATE NAISSANCE", dt}, {"ADRESSE", memo},
           {"NOM", tx, 50}, {"PRENOM", tx, 50}, {"CODE MEDECIN PROPRIETAIRE", tx, 20},
           {"NOM DE NAISSANCE", tx, 50}, {"CODE POSTAL", tx, 10}, {"VILLE", tx, 50},
           {"TEL DOMICILE", tx, 30}, {"TEL BUREAU", tx, 30}, {"FAX", tx, 30},
           {"NUMERO SECURITE SOCIAL", tx, 30}, {"CODE CORRESPONDANT 1", tx, 20},
           {"CODE CORRESPONDANT 2", tx, 20}, {"CODE CORRESPONDANT 3", tx, 20},
           {"CODE CORRESPONDANT 4", tx, 20}, {"CODE CORRESPONDANT 5", tx, 20},
           {"CODE CORRESPONDANT 6", tx, 20}});
    table(QStringLiteral("ANT ANTECEDENT PATIENT"),
          {{"CODE ANTECEDENT PATIENT", lg}, {"CODE PATIENT", lg}, {"CODE ANTECEDENT", lg}, {"DATE", dt}});
    table(QStringLiteral("ANT ANTECEDENT"), {{"CODE ANTECEDENT", lg}, {"LIBELLE", tx, 100}});
    table(QStringLiteral("ANT COMMENTAIRE ANTECEDENT PATIENT"),
          {{"CODE ANTECEDENT PATIENT", lg}, {"DONNEES", memo}});
    const QList<Column> header = {{"CODETITRE", lg}, {"CODE PATIENT", lg}, {"DATE", dt},
                                  {"CODE MEDECIN", lg}, {"DONNEES", memo}};
    const QList<Column> detail = {{"CodeTitre", lg}, {"CodeLigne", lg}, {"niveau", QStringLiteral("integer")},
                                  {"DONNEES", memo}};
    table(QStringLiteral("CON CONSULTATION"), header);
    table(QStringLiteral("CON SOUS CONSULTATION"), detail);
    table(QStringLiteral("ORD ORDONNANCE"), header);
    table(QStringLiteral("ORD SOUS ORDONNANCE"), detail);
    table(QStringLiteral("SYN FICHE SYNTHESE"), header);
    table(QStringLiteral("SYN SOUS FICHE SYNTHESE"), detail);
    table(QStringLiteral("COU COURRIER GENERE"),
          {{"CODE COURRIER GENERE", lg}, {"CODE PATIENT", lg}, {"NOM FICHIER", tx, 50},
           {"LIBELLE", tx, 255}, {"DATE", dt}});
}

void SourceDb::add(const QString& table, const QVariantList& row)
{
    Q_ASSERT(m_tables.contains(table) && m_tables[table].columns.size() == row.size());
    m_tables[table].rows.append(row);
}

void SourceDb::setType(const QString& table, const QString& column, const QString& type)
{
    for (Column& c : m_tables[table].columns)
        if (c.name == column) {
            c.type = type;
            c.size = 0;
        }
}

void SourceDb::drop(const QString& table)
{
    m_order.removeAll(table);
    m_tables.remove(table);
}

void SourceDb::write(const QString& path) const
{
    QJsonArray tables;
    for (const QString& name : m_order) {
        const Table& table = m_tables[name];
        QJsonArray columns;
        for (const Column& c : table.columns) {
            QJsonObject column{{"name", c.name}, {"type", c.type}};
            if (c.size > 0)
                column.insert("size", c.size);
            columns.append(column);
        }
        QJsonArray rows;
        for (const QVariantList& row : table.rows) {
            QJsonArray values;
            for (const QVariant& v : row) {
                if (v.isNull())
                    values.append(QJsonValue::Null);
                else if (v.metaType() == QMetaType::fromType<QDateTime>())
                    values.append(v.toDateTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")));
                else if (v.metaType() == QMetaType::fromType<int>())
                    values.append(v.toInt());
                else
                    values.append(v.toString());
            }
            rows.append(values);
        }
        tables.append(QJsonObject{{"name", name}, {"columns", columns}, {"rows", rows}});
    }
    const QByteArray json = QJsonDocument(QJsonObject{{"tables", tables}}).toJson(QJsonDocument::Compact);
    mdbwriter::writeFromJson(json.toStdString(), QFile::encodeName(path).toStdString());
}

Practice::Practice(Backend backend) : dest(backend)
{
    const QDir dir(root.path());
    dir.mkpath(QStringLiteral("prog"));
    dir.mkpath(QStringLiteral("COURRIER"));
    dir.mkpath(QStringLiteral("Base"));
    programFolder = dir.filePath(QStringLiteral("prog"));
    settingsPath = QDir(programFolder).filePath(QStringLiteral("velquor-fusion.INI"));
    v3Path = dir.filePath(QStringLiteral("V3.mdb"));
    courriersPath = dir.filePath(QStringLiteral("COURRIER")) + QLatin1Char('/');
    talmerosPath = dir.filePath(QStringLiteral("Base"));
    // A letters folder holds documents: without one, the run first asks whether to go on.
    QFile model(courriersPath + QStringLiteral("MODELE.RTF"));
    if (model.open(QIODevice::WriteOnly))
        model.write("{\\rtf1 modèle}");
    if (dest.isReady()) {
        dest.writeDestinationSection(settingsPath);
        dest.writeKestrune(talmerosPath);
    }
}

RunOutcome Practice::runWith(RecordingReporter& reporter, bool vider)
{
    source.write(v3Path);
    ImportLog log(programFolder);
    ImportRun importRun(programFolder, settingsPath, reporter, log);
    RunInputs inputs{v3Path, courriersPath, talmerosPath, vider};
    return importRun.run(inputs);
}

RunResult Practice::run(bool vider)
{
    RunResult result;
    result.outcome = runWith(*result.reporter, vider);
    return result;
}

QStringList Practice::logFiles() const
{
    return QDir(programFolder).entryList({QStringLiteral("Velquor_*.log")}, QDir::Files);
}

QList<QVariantMap> tableRows(const TestDestination& dest, const QString& table, const QString& idColumn)
{
    return dest.rows(QStringLiteral("SELECT * FROM ") + table + QStringLiteral(" ORDER BY ") + idColumn);
}

QStringList firstPhasesLines(const QStringList& lines)
{
    QStringList kept;
    for (const QString& line : lines) {
        kept.append(line);
        if (line.endsWith(QStringLiteral(" lien patient <-> correspondant après importation.")))
            break;
    }
    return kept;
}

} // namespace vf::test
