#include "Practice.h"

#include "base/ImportLog.h"
#include "mdbwriter/MdbWriter.h"

#include <QDir>
#include <QFile>

#include <stdexcept>

namespace vf::test {

using nlohmann::json;

json& SourceTables::table(const std::string& name, const Columns& columns)
{
    if (!m_columns.count(name)) {
        m_order.push_back(name);
        m_columns[name] = columns;
        m_rows[name] = json::array();
    }
    return m_rows[name];
}

void SourceTables::addRow(const std::string& name, json row)
{
    m_rows.at(name).push_back(std::move(row));
}

void SourceTables::drop(const std::string& name)
{
    m_order.erase(std::remove(m_order.begin(), m_order.end(), name), m_order.end());
    m_columns.erase(name);
    m_rows.erase(name);
}

std::string SourceTables::toJson() const
{
    nlohmann::json tables = nlohmann::json::array();
    for (const std::string& name : m_order) {
        nlohmann::json columns = nlohmann::json::array();
        for (const auto& [column, type] : m_columns.at(name))
            columns.push_back({{"name", column}, {"type", type}});
        tables.push_back({{"name", name}, {"columns", columns}, {"rows", m_rows.at(name)}});
    }
    return nlohmann::json{{"tables", tables}}.dump();
}

namespace {

const SourceTables::Columns kHeaderColumns = {
    {"CODETITRE", "long"}, {"CODE PATIENT", "long"}, {"DATE", "datetime"}, {"CODE MEDECIN", "long"},
    {"DONNEES", "memo"}};
const SourceTables::Columns kDetailColumns = {
    {"CodeTitre", "long"}, {"CodeLigne", "long"}, {"niveau", "integer"}, {"DONNEES", "memo"}};

} // namespace

SourceTables basePractice()
{
    SourceTables tables;
    tables.table("GLB MEDECIN", {{"CODE MEDECIN", "long"}, {"NOM", "text"}, {"PRENOM", "text"}, {"VILLE", "text"},
                                 {"ADRESSE", "text"}, {"CODE POSTAL", "text"}, {"TELEPHONE", "text"}});
    tables.addRow("GLB MEDECIN", {10, "Fabre", "Hélène", "Albi", "1 rue Neuve", "81000", "0563000000"});
    tables.addRow("GLB MEDECIN", {20, "Roux", "Élie", "Albi", "2 rue Neuve", "81000", nullptr});
    tables.table("ADR CARNET ADRESSE",
                 {{"CODE CARNET ADRESSE", "long"}, {"CODE FONCTION", "long"}, {"NOM", "text"}, {"PRENOM", "text"},
                  {"VILLE", "text"}, {"RUE", "text"}, {"CODE POSTAL", "text"}, {"TELEPHONE PERSONNEL", "text"},
                  {"TELEPHONE PROFESSIONNEL", "text"}, {"FAX", "text"}, {"DIVERS", "text"}});
    tables.table("REF FONCTION", {{"CODE FONCTION", "long"}, {"LIBELLE", "text"}});
    SourceTables::Columns patientColumns = {
        {"CODE PATIENT", "long"}, {"CODE TYPE SEXE", "long"}, {"DATE NAISSANCE", "datetime"}, {"ADRESSE", "text"},
        {"NOM", "text"}, {"PRENOM", "text"}, {"CODE MEDECIN PROPRIETAIRE", "long"}, {"NOM DE NAISSANCE", "text"},
        {"CODE POSTAL", "text"}, {"VILLE", "text"}, {"TEL DOMICILE", "text"}, {"TEL BUREAU", "text"},
        {"FAX", "text"}, {"NUMERO SECURITE SOCIAL", "text"}};
    for (int i = 1; i <= 6; ++i)
        patientColumns.push_back({"CODE CORRESPONDANT " + std::to_string(i), "long"});
    tables.table("GLB PATIENT", patientColumns);
    const char* names[] = {"Durand", "Lefèvre", "Müller"};
    for (int i = 0; i < 3; ++i) {
        json row = {100 * (i + 1), 1, "1950-05-04T00:00:00", "3 place du Vigan", names[i], "Zoé", 10, nullptr,
                    "81000", "Albi", nullptr, nullptr, nullptr, nullptr};
        for (int c = 0; c < 6; ++c)
            row.push_back(nullptr);
        tables.addRow("GLB PATIENT", row);
    }

    tables.table("ANT ANTECEDENT PATIENT", {{"CODE ANTECEDENT PATIENT", "long"}, {"CODE PATIENT", "long"},
                                            {"CODE ANTECEDENT", "long"}, {"DATE", "datetime"}});
    tables.table("ANT ANTECEDENT", {{"CODE ANTECEDENT", "long"}, {"LIBELLE", "text"}});
    tables.table("ANT COMMENTAIRE ANTECEDENT PATIENT", {{"CODE ANTECEDENT PATIENT", "long"}, {"DONNEES", "memo"}});
    tables.addRow("ANT ANTECEDENT", {1, "Appendicectomie"});
    tables.addRow("ANT ANTECEDENT", {2, "Diabète"});
    tables.addRow("ANT ANTECEDENT", {3, nullptr});

    tables.table("CON CONSULTATION", kHeaderColumns);
    tables.table("CON SOUS CONSULTATION", kDetailColumns);
    tables.table("ORD ORDONNANCE", kHeaderColumns);
    tables.table("ORD SOUS ORDONNANCE", kDetailColumns);
    tables.table("SYN FICHE SYNTHESE", kHeaderColumns);
    tables.table("SYN SOUS FICHE SYNTHESE", kDetailColumns);
    tables.table("COU COURRIER GENERE", {{"CODE COURRIER GENERE", "long"}, {"CODE PATIENT", "long"},
                                         {"NOM FICHIER", "text"}, {"LIBELLE", "text"}, {"DATE", "datetime"}});
    return tables;
}

void addHistoryItem(SourceTables& tables, int code, int patient, const char* date, int kind, json comment)
{
    tables.addRow("ANT ANTECEDENT PATIENT", {code, patient, kind, date});
    tables.addRow("ANT COMMENTAIRE ANTECEDENT PATIENT", {code, std::move(comment)});
}

void addHeader(SourceTables& tables, const std::string& table, int codetitre, int patient, json date, int doctor,
               json donnees)
{
    tables.addRow(table, {codetitre, patient, std::move(date), doctor, std::move(donnees)});
}

void addDetail(SourceTables& tables, const std::string& table, int codetitre, int codeLigne, json niveau,
               json donnees)
{
    tables.addRow(table, {codetitre, codeLigne, std::move(niveau), std::move(donnees)});
}

void addLetter(SourceTables& tables, int code, int patient, json nomFichier, json libelle, json date)
{
    tables.addRow("COU COURRIER GENERE", {code, patient, std::move(nomFichier), std::move(libelle), std::move(date)});
}

PracticeRun::PracticeRun(const TestDestination& destination, const QString& root)
    : m_destination(destination)
    , m_root(root)
{
    QDir().mkpath(m_root + QStringLiteral("/program"));
    QDir().mkpath(lettersFolder());
    QDir().mkpath(baseFolder());
    destination.writeKestrune(baseFolder());
    destination.writeDestinationSection(m_root + QStringLiteral("/program/fusion.INI"));
}

void PracticeRun::writeEditorIni(const QByteArray& content)
{
    QFile file(baseFolder() + QStringLiteral("EDITOR.INI"));
    if (content.isEmpty()) {
        file.remove();
        return;
    }
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

void PracticeRun::writeLetter(const QString& name, const QByteArray& content)
{
    QFile file(lettersFolder() + name);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

void PracticeRun::typeInputs(const QString& lettersFolder, const QString& sourceFile)
{
    m_typedLetters = lettersFolder;
    m_typedSource = sourceFile;
}

RunOutcome PracticeRun::run(const SourceTables& tables, bool vider)
{
    const QString mdbPath = m_root + QStringLiteral("/V3.mdb");
    QFile::remove(mdbPath);
    mdbwriter::writeFromJson(tables.toJson(), mdbPath.toStdString());
    if (!m_sourceEdits.isEmpty()) {
        QFile file(mdbPath);
        if (!file.open(QIODevice::ReadWrite))
            throw std::runtime_error("the source file cannot be edited");
        QByteArray bytes = file.readAll();
        for (const auto& [from, to] : std::as_const(m_sourceEdits))
            bytes.replace(from, to);
        file.seek(0);
        file.write(bytes);
    }

    const QString program = m_root + QStringLiteral("/program");
    m_reporter = RecordingReporter();
    ImportLog log(program);
    ImportRun importRun(program, program + QStringLiteral("/fusion.INI"), m_reporter, log);
    RunInputs inputs;
    inputs.v3Path = m_typedSource.isEmpty() ? mdbPath : m_typedSource;
    inputs.courriersPath = m_typedLetters.isEmpty() ? lettersFolder() : m_typedLetters;
    inputs.talmerosPath = baseFolder();
    inputs.vider = vider;
    return importRun.run(inputs);
}

} // namespace vf::test
