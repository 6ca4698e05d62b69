#pragma once

#include <QFile>
#include <QHash>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vf {

// Finds and opens the letter documents in the letters folder. A name is looked up as it is
// first, then without regard to case, through one listing per folder kept for the whole phase.
class LetterFiles {
public:
    explicit LetterFiles(const QString& lettersFolder);
    ~LetterFiles();
    LetterFiles(const LetterFiles&) = delete;
    LetterFiles& operator=(const LetterFiles&) = delete;

    // The document of NOM FICHIER, or "" when there is none. A name that would leave the letters
    // folder (absolute, holding "..", or naming a drive) finds nothing.
    QString find(const QString& nomFichier);

    // Opens a document that find() gave. Only a regular file whose resolved path lies inside the
    // resolved letters folder is read, and a link at its name is not followed: a link or a
    // FIFO put among the letters does not bring another file into a patient's record.
    bool open(const QString& path, QFile& file) const;

private:
    QString entryNoCase(const QString& folder, const QString& name, bool file);

    QString m_folder;
    QString m_cleanFolder;    // as find() writes it at the start of a path
    QString m_resolvedFolder; // with its final "/"; empty when the folder cannot be resolved
    int m_folderHandle = -1;  // the resolved folder, opened once (Linux)
    QHash<QString, QHash<QString, QString>> m_listings;
};

// A name of a file inside a folder: not empty, no separator, no "..", no drive, no NUL.
bool isPlainFileName(const QString& fileName);

// Opens the copy of a letter, LETTERS/<patient>/<fileName> under the destination's folder,
// under the rules of the copies: the file name from the destination row is a plain name (no
// separator, no "..", not absolute), LETTERS and the patient's folder are real folders, opened
// without following a link, and only a regular file in them is read, never through a link and
// never waiting on a FIFO or a device.
bool openCopiedLetter(const QString& lettersFolder, qint32 patient, const QString& fileName, QFile& file);

// Whether two open files hold the same bytes; one that cannot be read holds other bytes.
bool sameContents(QFile& first, QFile& second);

enum class Copy { Done, Failed, DiskFull };

// The destination's LETTERS folder, where the copies go. It is opened at its first use (made
// when missing) without following a link at its name, and kept open; each patient's folder is
// opened from it in the same way for every copy and removal, which are made from that handle: a
// folder replaced by a link during the phase receives no copy and loses no file. On Windows the
// handles follow no reparse point and let no one move or delete the folders while they are held.
// Usable from several threads.
class LettersFolder {
public:
    explicit LettersFolder(const QString& path);
    ~LettersFolder();
    LettersFolder(const LettersFolder&) = delete;
    LettersFolder& operator=(const LettersFolder&) = delete;

    // Copies the opened document as <patient>/<name>, making the patient's folder when missing
    // and replacing a file or a link of that name (the link itself, never what it points at): the
    // copy is created anew, so nothing that sits at its name is followed. A copy that fails
    // leaves nothing at its name; DiskFull tells a disk without room from the other failures, as
    // every copy after it would fail the same way.
    Copy copy(QFile& from, qint32 patient, const QString& name);
    // Removes <patient>/<name> when it is there.
    void remove(qint32 patient, const QString& name);

private:
    qintptr lettersHandle(); // -1 when LETTERS cannot be opened

    const QString m_path;
    std::mutex m_mutex;
    qintptr m_handle = -1;
};

// Copies of opened documents made by two threads of their own while the records go on
// (LettersFolder::copy). A few at most wait their turn, each holding its document open.
class LetterCopies {
public:
    explicit LetterCopies(LettersFolder& folder) : m_folder(folder) {}
    ~LetterCopies(); // the copies given are made first
    LetterCopies(const LetterCopies&) = delete;
    LetterCopies& operator=(const LetterCopies&) = delete;

    void add(std::unique_ptr<QFile> document, qint32 patient, const QString& name);
    // Waits for the copies given since the last call; true when every one was made. Otherwise
    // the copies that were made are removed (the records that asked for them are done again),
    // and those given after a failure are not made.
    bool settle();

private:
    struct Job {
        std::unique_ptr<QFile> document;
        qint32 patient;
        QString name;
    };
    void run();

    LettersFolder& m_folder;
    std::mutex m_mutex;
    std::condition_variable m_jobGiven;
    std::condition_variable m_jobDone;
    std::deque<Job> m_waiting;
    int m_working = 0;       // jobs under way
    int m_idle = 0;          // threads waiting for a job
    bool m_giverWaits = false;
    bool m_stopping = false;
    bool m_failed = false;
    QList<std::pair<qint32, QString>> m_made; // since the last settle()
    std::vector<std::thread> m_threads;
};

} // namespace vf
