#pragma once

#include "base/Errors.h"

#include <QHash>
#include <QList>
#include <QString>
#include <memory>

namespace vf {

class DestinationConnection;
class ImportLog;
class Reporter;

// A link table written by a newer program: refused before anything is written to it; the
// message says so ("format plus récent") and names the file.
class NewerFormat : public Error {
public:
    using Error::Error;
};

// A pair written before the destination commits the row it stands for, with what settles it
// afterwards: the destination row (its table, identifier column and DEST) must exist and, when
// the record changed a text of that row, hold the text whose SHA-256 is the proof.
struct PendingPair {
    qint32 source = 0;
    qint32 dest = 0;
    QString table = {};
    QString idColumn = {};
    QString proofColumn = {}; // empty: the row's existence settles the pair
    QString proof = {};       // hexadecimal SHA-256 of the column's expected text (UTF-8)
    QByteArray sourcePrint = {}; // what the record was made of in the source (SourcePrint)
    quint64 destPrint = 0;       // what the run wrote for it in the destination

    // The proof of a text as the destination holds it (a null text as the empty one).
    static QString proofOf(const QString& text);
};

// What a pair's record was made of when it was imported or last carried: its source fields'
// print (empty for a pair made before prints were kept) and the print of what the run wrote for
// it in the destination.
struct PairPrints {
    QByteArray source;
    quint64 dest = 0;
};

// A link table: pairs (SOURCE, DEST) of 32-bit integers, SOURCE unique, kept in one SQLite file
// in LinksTables in the program folder under the file name of the run ("Medecins.db", ...). A
// second table of the same file holds the pending pairs of the records whose rows the
// destination is committing: they become pairs once the destination has committed (settle), or
// are dropped; pending pairs left by a program that died are settled when their phase opens the
// table again. Beside each pair, the prints of what its record was made of. The file carries its format version;
// a file of format 2 gets the prints' columns, empty. The pairs are read into memory when the file
// is opened, so that lookups ask no file. Failures throw vf::Error.
class LinkTable {
public:
    static constexpr int kFormatVersion = 3;

    LinkTable();
    ~LinkTable();
    LinkTable(const LinkTable&) = delete;
    LinkTable& operator=(const LinkTable&) = delete;

    // Opens (creating when missing) folder/fileName; closes what the handle had open first. A
    // file of an earlier format gets the pending table; a file of a newer format is refused.
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

    // Writes pending pairs, in one commit; a SOURCE that already has a pair throws vf::Error.
    void addPending(const QList<PendingPair>& pairs);
    QList<PendingPair> pending() const;
    // The pending pairs whose SOURCE is listed become pairs, the others are dropped: one commit.
    void settle(const QList<qint32>& done);
    void settleAll();             // every pending pair becomes a pair
    // The destination has committed the rows of the pending pairs: they are pairs for lookups at
    // once, and are written as pairs by the file's next commit (addPending, settle, settleAll or
    // close), so that one commit settles a batch and makes the next batch's pairs pending.
    void settleLater();

    // The prints of a pair; empty when the pair has none (made before prints were kept).
    PairPrints prints(qint32 source) const;
    // The pairs made before prints were kept, when the file was opened.
    int unprintedCount() const;
    // New prints for pairs already in the file: one commit.
    void setPrints(const QList<std::pair<qint32, PairPrints>>& prints);

    void empty();                 // close, delete every pair and pending pair, open again
    // Deletes the pairs of these codes, in one commit: their records are imported again.
    void forget(const QList<qint32>& sources);
    int count() const;            // the pairs

private:
    struct Private;
    std::unique_ptr<Private> m_d;
};

// What a link table holds, read without writing to its file: the pairs, and the pending pairs
// (SOURCE to DEST) that the next run settles. A missing file holds nothing; a file that cannot be
// read throws vf::Error, one whose format is newer than this program's NewerFormat. No side file
// (-wal, -shm) is created and the file is not changed.
struct LinkTableContents {
    QHash<qint32, qint32> pairs;
    QHash<qint32, qint32> pending;
    QHash<qint32, QByteArray> sourcePrints; // the pairs' source prints, where they have one
};
LinkTableContents readLinkTable(const QString& folder, const QString& fileName);

// Settles the pending pairs that a program which died left in a link table: a pair whose row the
// destination holds (with the proven text, when there is a proof) becomes a pair; the others are
// dropped, so that their records are imported again. A pending pair that cannot settle (its code
// already has a pair, as when two programs ran at once; its table or column is not a plain name
// or cannot be read) is dropped with one report line naming the destination row it points to.
void settlePending(LinkTable& table, DestinationConnection& destination, Reporter& reporter);

// Opens a link table for the run: any failure writes "Erreur lors de la création de la table
// temporaire " + fileName to the import log, shows it in an error box (with the reason on a
// second line for a file of a newer format) and throws ProgramTermination.
void OpenLinkTable(LinkTable& table, const QString& linksFolder, const QString& fileName,
                   ImportLog& log, Reporter& reporter);

} // namespace vf
