#pragma once

#include <QString>
#include <memory>

namespace vf {

class ImportLog;
class Reporter;

// A link table: pairs (SOURCE, DEST) of 32-bit integers, SOURCE unique, kept in one SQLite file
// in LinksTables in the program folder under the file name of the run ("Medecins.db", ...).
// A recorded pair is committed before record() returns. Failures throw vf::Error.
class LinkTable {
public:
    LinkTable();
    ~LinkTable();
    LinkTable(const LinkTable&) = delete;
    LinkTable& operator=(const LinkTable&) = delete;

    // Opens (creating when missing) folder/fileName; closes what the handle had open first.
    void open(const QString& folder, const QString& fileName);
    void close();                 // never throws
    bool isOpen() const;
    QString fileName() const;

    // Exact lookup on SOURCE; a found row becomes the current row.
    bool find(qint32 source);
    // Exact lookup with the code's text: blanks around it are ignored; a text that is not a
    // 32-bit integer finds nothing.
    bool find(const QString& sourceText);
    qint32 dest() const;          // DEST of the current row

    // Appends and posts a pair; a SOURCE already present throws vf::Error.
    void record(qint32 source, qint32 dest);
    void empty();                 // close, delete every row, open again
    int count() const;

private:
    struct Private;
    std::unique_ptr<Private> m_d;
};

// Opens a link table for the run: any failure writes "Erreur lors de la création de la table
// temporaire " + fileName to the import log, shows it in an error box and throws
// ProgramTermination.
void OpenLinkTable(LinkTable& table, const QString& linksFolder, const QString& fileName,
                   ImportLog& log, Reporter& reporter);

} // namespace vf
