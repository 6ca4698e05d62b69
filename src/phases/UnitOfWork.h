#pragma once

#include "destination/DestinationConnection.h"
#include "links/LinkTable.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QVariant>

#include <map>
#include <memory>
#include <optional>
#include <utility>

namespace vf {

class Reporter;

// Destination columns with their values: qint32, QString, QDateTime (naive UTC), or a null of
// one of these types.
using Columns = QList<std::pair<QString, QVariant>>;

// A destination row to write, its columns in the order the record sets them; the first is the
// table's identifier.
struct Row {
    QString table;
    Columns columns;
};

// New values for some columns of the rows of a table whose identifier is one of `ids`.
struct RowUpdate {
    QString table;
    QString idColumn;
    QList<qint32> ids;
    Columns columns;
};

// What became of a write: done, or refused with the destination's (or the link table's) message.
class Written {
public:
    static Written done() { return Written(); }
    static Written refused(QString message) { return Written(std::move(message)); }
    explicit operator bool() const { return !m_refusal; }
    QString message() const { return m_refusal.value_or(QString()); }

private:
    Written() = default;
    explicit Written(QString message) : m_refusal(std::move(message)) {}
    std::optional<QString> m_refusal;
};

// The destination row that a phase's pair stands for: its table and identifier column (DEST),
// and the column whose text the record changes, if any, which proves a pending pair.
struct PairRow {
    QString table;
    QString idColumn;
    QString proofColumn = {};
};

// How many rows each multi-row INSERT of `rows` rows of `columns` columns takes, in order, so
// that no statement exceeds the server's limits.
QList<int> rowsPerStatement(int rows, int columns, const StatementLimits& limits);

// The one interface through which a record acts: the rows it writes, the pair it records in its
// link table, the lines and status it reports, and what it reads of them back.
//
// One record at a time (beginRecord, endRecord), every write is done at once, in the record's
// own destination transaction, and its outcome returned; a refused statement undoes itself only;
// the record's pairs are written as pending before the transaction commits and settled after;
// its report goes out as it is given.
//
// A batch of records (beginBatch, commitBatch) is written in one transaction: the records'
// inserts are kept and go out at the commit as multi-row INSERT statements, one per table and
// column list; their updates of rows the batch inserts change the kept rows, and the others are
// kept too, the last values of each row, and go out after the inserts, grouped by table and
// column list where the server updates many rows from a VALUES list; every write counts as done,
// the report waits for the commit. A refused statement makes commitBatch() return false: the
// batch is rolled back and nothing of it remains, and the caller does its records again one at
// a time.
class UnitOfWork {
public:
    UnitOfWork(DestinationConnection& connection, Reporter& reporter);
    ~UnitOfWork();
    UnitOfWork(const UnitOfWork&) = delete;
    UnitOfWork& operator=(const UnitOfWork&) = delete;

    // What records do.
    Written insert(const Row& row);
    Written update(const RowUpdate& update);

    // The DEST that a link table holds for a source code, pairs of the open batch included. A
    // code given as text is read as a number, blanks around it ignored; a text that is not a
    // 32-bit number finds nothing.
    std::optional<qint32> linked(LinkTable& table, qint32 source);
    std::optional<qint32> linked(LinkTable& table, const QString& sourceText);
    // prints: what the record was made of, kept beside its pair.
    Written pair(LinkTable& table, qint32 source, qint32 dest, const PairPrints& prints = {});
    // New prints for a pair of the phase's link table, written once the record's rows are
    // committed.
    void reprint(qint32 source, const PairPrints& prints);

    // A column of the row of that identifier, as the destination holds it: the rows that the
    // open batch writes, and those that the last commit wrote to each table, are not read again;
    // the others are read with the next identifiers' (one statement for a thousand), which
    // serve the records that follow. A null, or a row that is not there, reads as an invalid
    // QVariant. Throws vf::Error when it cannot be read.
    // isText: the column holds text, whose length the server is asked too.
    QVariant stored(const QString& table, const QString& idColumn, qint32 id, const QString& column, bool isText = true);
    // The same for several columns of one row, read alone in one statement when the open batch
    // and the last commit did not write it: for the few rows that a record changed in the
    // source asks for, where windows of a thousand rows per column would read far more.
    // columns: each column's name, and whether it holds text.
    QList<QVariant> storedRow(const QString& table, const QString& idColumn, qint32 id,
                              const QList<std::pair<QString, bool>>& columns);

    void line(const QString& text);
    void status(const QString& text);

    // What the phase outline does around records: links is the phase's link table, pairRow the
    // row that its pairs stand for.
    void beginRecord(LinkTable& links, const PairRow& pairRow);
    void endRecord();
    void beginBatch(LinkTable& links, const PairRow& pairRow);
    void nextBatchRecord(); // a record of the open batch starts
    bool commitBatch();     // false: the batch was refused and rolled back
    bool batchOpen() const { return m_batch; }
    qsizetype batchBytes() const { return m_keptBytes; } // about what the open batch keeps in memory
    void abandonBatch();    // rolls the open batch back

    // Drops the prepared statements, before the destination connection closes.
    void close();

private:
    // A row of the batch waiting for its INSERT, and the written values of the rows that the
    // open batch or record changed.
    struct KeptRow {
        QString table;
        QStringList names;
        QList<QVariant> values;
    };
    using RowKey = std::pair<QString, qint32>; // table, identifier

    DestQuery& statement(const QString& key, const QString& sql);
    Written execute(DestQuery& statement);
    void note(const QString& table, qint32 id, const Columns& columns);
    void writeKeptRows();
    bool insertAsArrays(const QString& table, const QStringList& names, const QList<const KeptRow*>& rows);
    void writeKeptUpdates();
    void keep(const RowKey& row, const QString& idColumn, const Columns& columns);
    static QList<PendingPair> pendingPairs(const QList<std::pair<qint32, qint32>>& pairs,
                                           const QHash<RowKey, Columns>& written, const PairRow& pairRow,
                                           const QHash<qint32, PairPrints>& prints);
    void finishCommit();
    void forget();

    DestinationConnection& m_connection;
    Reporter& m_reporter;
    std::map<QString, std::unique_ptr<DestQuery>> m_statements; // by text key
    bool m_batch = false;
    PairRow m_pairRow;

    QList<KeptRow> m_keptRows;                          // the batch's inserts, in order
    QList<QPair<QString, QString>> m_tableOrder;        // a table inserted before another by one record
    QString m_lastInsertTable;                          // of the current record
    QHash<RowKey, Columns> m_written;                   // rows written by the open batch or record
    QHash<RowKey, int> m_keptIndex;                     // kept rows by table and identifier
    // The batch's updates of rows it does not insert: each row's identifier column and last
    // values, the rows in the order of their first update.
    QList<RowKey> m_updatedRows;
    QHash<RowKey, std::pair<QString, Columns>> m_keptUpdates;
    qsizetype m_keptBytes = 0;
    LinkTable* m_links = nullptr;                       // the phase's link table
    QList<std::pair<qint32, qint32>> m_pairs;           // its pairs of the open batch or record
    QHash<qint32, PairPrints> m_pairPrints;             // their prints
    QList<std::pair<qint32, PairPrints>> m_reprints;    // pairs carried again, their new prints
    bool m_pendingWritten = false;                      // the batch's pairs are in the link table
    QHash<qint32, qint32> m_pairByCode;
    QList<std::pair<bool, QString>> m_report;           // (status?, text), waiting for the commit
    QHash<QString, QHash<qint32, Columns>> m_recent;    // the rows of the last commit, by table
    // A column of the rows of a range of identifiers, read by one statement of stored(), with
    // the values written since; dropped when a batch is rolled back.
    struct ReadWindow {
        QString column;
        qint64 first = 0;
        QHash<qint32, QVariant> values;
        QHash<qint32, QVariant> lengths; // the server's length of each text, where it tells
    };
    QHash<QString, QHash<QString, ReadWindow>> m_windows; // by table, then column
};

// The typed values a record gives its columns.
QVariant nullText();
QVariant nullDateTime();
// A text as it was read: a null QString becomes the empty text, never a database null.
QVariant textOrEmpty(const QString& value);

} // namespace vf
