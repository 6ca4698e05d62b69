#pragma once

#include "base/RecordingReporter.h"
#include "import/ImportRun.h"
#include "support/TestDestination.h"

#include <QMap>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantList>
#include <memory>

namespace vf::test {

// The source Access file of a test: every table the record phases read, empty unless rows are
// added, written by the Access file writer.
class SourceDb {
public:
    SourceDb();
    // Appends a row, values in the order of the table's columns (see SourceDb.cpp).
    void add(const QString& table, const QVariantList& row);
    void setType(const QString& table, const QString& column, const QString& type);
    void drop(const QString& table);
    void write(const QString& path) const;

private:
    struct Column {
        QString name;
        QString type;
        int size = 0;
    };
    struct Table {
        QList<Column> columns;
        QList<QVariantList> rows;
    };
    QStringList m_order;
    QMap<QString, Table> m_tables;
};

// The recorder of one attempt and what it returned.
struct RunResult {
    std::unique_ptr<RecordingReporter> reporter = std::make_unique<RecordingReporter>();
    RunOutcome outcome = RunOutcome::PathsRejected;
    QStringList lines() const { return reporter->lines(); }
};

// A practice set up in a temporary folder: the program folder (settings file with the test
// destination's [Destination] section, LinksTables, logs), the source file, the letters folder
// and the destination base folder with its Kestrune.ver.
class Practice {
public:
    explicit Practice(Backend backend);

    TestDestination dest;
    SourceDb source;
    QTemporaryDir root;
    QString programFolder;
    QString settingsPath;
    QString v3Path;
    QString courriersPath;
    QString talmerosPath;

    // Writes the source file and runs one import attempt on a fresh ImportRun.
    RunResult run(bool vider = false);
    // Runs an attempt with the given reporter (a subclass that acts on the run's progress).
    RunOutcome runWith(RecordingReporter& reporter, bool vider = false);
    QStringList logFiles() const;
};

// Upper-cased rows of a destination table ordered by its first column.
QList<QVariantMap> tableRows(const TestDestination& dest, const QString& table, const QString& idColumn);

// The lines of the text area that belong to the users, correspondents and patients phases (from
// the first line to the patient-correspondent count line).
QStringList firstPhasesLines(const QStringList& lines);

} // namespace vf::test
