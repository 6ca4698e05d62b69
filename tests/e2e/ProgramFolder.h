#pragma once

#include "support/TestDestination.h"

#include <QProcess>
#include <QString>
#include <QStringList>

namespace vf::test {

// A copy of the built program and its staging reader in a folder of their own: the settings
// file, LinksTables and the import logs that the program writes beside itself land there.
class ProgramFolder {
public:
    explicit ProgramFolder(const QString& folder);

    // False when the program could not be copied; the test then fails.
    bool isReady() const { return m_ready; }
    QString path() const { return m_folder; }
    QString program() const;
    QString settingsPath() const; // the program's path with the extension ".INI"

    // Writes the settings file's [Destination] section for a test destination (the SQLite file
    // in WAL mode without a sync per statement, so that a run takes seconds).
    void writeDestination(const TestDestination& destination) const;

    struct Result {
        int exitCode = -1; // -1 when the program crashed or did not end
        QString out;
        QString err;
        QStringList outLines() const;
    };
    // Runs the program with these arguments, without a display, and waits for its end
    // (LC_ALL=C.UTF-8: times in messages read HH:MM:SS).
    Result run(const QStringList& arguments) const;
    // The same in two steps, with more environment variables: start, then wait for the end.
    void start(QProcess& process, const QStringList& arguments, const QProcessEnvironment& extra = {}) const;
    static Result finish(QProcess& process);

    QStringList logFiles() const; // "Velquor_*.log" beside the program

private:
    QString m_folder;
    bool m_ready = false;
};

// Writes a sample practice with make-practice into folder (V3.mdb, COURRIER/, Base/). False
// with the tool's messages in *errors when it fails. Another seed makes another practice; edits
// (in a thousand) edits it as after a first import.
bool makePractice(const QString& folder, int patients, QString* errors, int seed = 1, int edits = 0);

QByteArray readFile(const QString& path);
void writeFile(const QString& path, const QByteArray& bytes);

} // namespace vf::test
