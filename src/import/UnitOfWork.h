#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QVariant>

#include <map>
#include <memory>
#include <optional>
#include <utility>

namespace vf {

class DestinationConnection;
class DestQuery;
class LinkTable;
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

// The one interface through which a record acts: the rows it writes, the pair it records in its
// link table, the lines and status it reports, and what it reads of them back. Each write is
// done at once and its outcome returned; the report goes out in the order the record gives it.
class UnitOfWork {
public:
    UnitOfWork(DestinationConnection& connection, Reporter& reporter);
    ~UnitOfWork();
    UnitOfWork(const UnitOfWork&) = delete;
    UnitOfWork& operator=(const UnitOfWork&) = delete;

    Written insert(const Row& row);
    Written update(const RowUpdate& update);

    // The DEST that a link table holds for a source code. A code given as text is read as a
    // number, blanks around it ignored; a text that is not a 32-bit number finds nothing.
    std::optional<qint32> linked(LinkTable& table, qint32 source);
    std::optional<qint32> linked(LinkTable& table, const QString& sourceText);
    Written pair(LinkTable& table, qint32 source, qint32 dest);

    // A column of the row of that identifier, as the destination holds it: the rows of the last
    // write to a table are not read again. Throws vf::Error when it cannot be read.
    QVariant stored(const QString& table, const QString& idColumn, qint32 id, const QString& column);

    void line(const QString& text);
    void status(const QString& text);

    // Drops the prepared statements, before the destination connection closes.
    void close();

private:
    DestQuery& statement(const QString& key, const QString& sql);
    void remember(const QString& table, const QList<qint32>& ids, const Columns& columns);

    DestinationConnection& m_connection;
    Reporter& m_reporter;
    std::map<QString, std::unique_ptr<DestQuery>> m_statements; // by table and column list
    // The columns of the rows of the last write to each table, by identifier: the next record
    // of the same patient reads its text from here rather than from the destination.
    QHash<QString, QHash<qint32, Columns>> m_lastWritten;
};

// The typed values a record gives its columns.
QVariant nullText();
QVariant nullDateTime();
// A text as it was read: a null QString becomes the empty text, never a database null.
QVariant textOrEmpty(const QString& value);

} // namespace vf
