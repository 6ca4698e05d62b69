#pragma once

#include "TestDestination.h"

#include "base/RecordingReporter.h"
#include "import/ImportRun.h"

#include <QTemporaryDir>
#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

namespace vf::test {

// The source tables of a practice, written to an Access file by the mdb writer.
class SourceTables {
public:
    using Columns = std::vector<std::pair<std::string, std::string>>; // name, type

    // Declares a table (once) and returns its row list.
    nlohmann::json& table(const std::string& name, const Columns& columns);
    void addRow(const std::string& name, nlohmann::json row);
    void drop(const std::string& name);
    std::string toJson() const;

private:
    std::vector<std::string> m_order;
    std::map<std::string, Columns> m_columns;
    std::map<std::string, nlohmann::json> m_rows;
};

// The practice of the import tests: doctors 10 and 20 (MEDECINS 1 and 2), patients 100, 200 and
// 300 (PATIENTS 1, 2 and 3), and every table the later phases read, empty.
SourceTables basePractice();

// Adds rows to the tables of the later phases (the table must come from basePractice()).
void addHistoryItem(SourceTables& tables, int code, int patient, const char* date, int kind,
                    nlohmann::json comment);
void addHeader(SourceTables& tables, const std::string& table, int codetitre, int patient,
               nlohmann::json date, int doctor, nlohmann::json donnees);
void addDetail(SourceTables& tables, const std::string& table, int codetitre, int codeLigne,
               nlohmann::json niveau, nlohmann::json donnees);
void addLetter(SourceTables& tables, int code, int patient, nlohmann::json nomFichier,
               nlohmann::json libelle, nlohmann::json date);

// A practice on disk and an import run over it into a test destination.
class PracticeRun {
public:
    PracticeRun(const TestDestination& destination, const QString& root);

    QString root() const { return m_root; }
    QString lettersFolder() const { return m_root + QStringLiteral("/COURRIER/"); }
    QString baseFolder() const { return m_root + QStringLiteral("/Base/"); }

    // EDITOR.INI of the destination base folder, written as given (none when empty).
    void writeEditorIni(const QByteArray& content);
    void writeLetter(const QString& name, const QByteArray& content);

    // The letters folder and the source file as the operator typed them, when not as made.
    void typeInputs(const QString& lettersFolder, const QString& sourceFile);

    // Bytes of the source file replaced once it is written, wherever they are: values that the
    // writer does not write.
    void replaceInSource(const QByteArray& from, const QByteArray& to) { m_sourceEdits.append({from, to}); }

    // Writes the source file and runs the whole import; the recorded report stays readable.
    RunOutcome run(const SourceTables& tables, bool vider = false);
    const RecordingReporter& reporter() const { return m_reporter; }
    QStringList lines() const { return m_reporter.lines(); }

private:
    const TestDestination& m_destination;
    QString m_root;
    RecordingReporter m_reporter;
    QString m_typedLetters;
    QString m_typedSource;
    QList<std::pair<QByteArray, QByteArray>> m_sourceEdits;
};

} // namespace vf::test
