#pragma once

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

namespace vf {

class Reporter;

// The import log: "Velquor_" + regional date and time stamp + ".log" in the program's folder,
// Windows-1252 text with CR LF line ends, created as a new file readable by its owner only
// ("_2", "_3" ... before ".log" when the name is taken). The file is opened and closed again for
// every write, never through a link. Every failure throws vf::Error.
class ImportLog {
public:
    explicit ImportLog(QString folder);

    // The file name for a run started at `now`, from the short date and long time patterns.
    static QString fileNameFor(const QDateTime& now, const QString& shortDateFormat,
                               const QString& longTimeFormat);

    // Builds a new name with the user's regional formats, creates the file and writes the header.
    void begin(const QDateTime& now, const QString& v3Path, const QString& talmerosPath);

    bool hasFile() const { return !m_path.isEmpty(); }
    QString filePath() const { return m_path; }

    // One entry: an empty line, then the message. A message containing "Mémoire insuffisante"
    // asks whether to close the program; Yes throws ProgramTermination.
    void WriteLog(const QString& message, Reporter& reporter);

    // The close-time dump: every line of the text area, nothing else. Does nothing when no
    // file name was built in this execution.
    void dumpLines(const QStringList& lines);

private:
    static constexpr int kMaxAttempts = 100;
    void create(QFile& file); // sets m_path to the name taken
    void write(const QStringList& lines, bool create);

    QString m_folder;
    QString m_path;
};

} // namespace vf
