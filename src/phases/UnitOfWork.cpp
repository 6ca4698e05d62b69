#include "phases/UnitOfWork.h"

#include "base/Errors.h"
#include "base/Reporter.h"
#include "base/TestHold.h"
#include "links/LinkTable.h"

#include <QDateTime>
#include <QStringList>

#include <algorithm>
#include <future>
#include <limits>

namespace vf {

namespace {

constexpr qint64 kReadWindow = 1000; // identifiers whose column stored() reads at once

QStringList namesOf(const Columns& columns)
{
    QStringList names;
    for (const auto& column : columns)
        names.append(column.first);
    return names;
}

// Sets the columns' values in a row's columns, adding those it lacks.
void merge(Columns& row, const Columns& columns)
{
    // A row's columns never repeat a name: a row seen for the first time takes them as they are.
    if (row.isEmpty()) {
        row = columns;
        return;
    }
    for (const auto& [name, value] : columns) {
        const auto found = std::find_if(row.begin(), row.end(), [&](const auto& column) {
            return column.first.compare(name, Qt::CaseInsensitive) == 0;
        });
        if (found != row.end())
            found->second = value;
        else
            row.append({name, value});
    }
}

std::optional<QVariant> valueOf(const Columns& columns, const QString& name)
{
    for (const auto& [column, value] : columns)
        if (column.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return std::nullopt;
}

// No destination keeps U+0000 in a text (SQLite's driver and PostgreSQL end the text there): it
// is written as U+FFFD, the replacement character, so that the rest of the text arrives and
// what the run remembers of a row is what the destination holds.
bool holdsNul(const Columns& columns)
{
    return std::any_of(columns.cbegin(), columns.cend(), [](const auto& column) {
        return column.second.typeId() == QMetaType::QString && column.second.toString().contains(QChar(u'\0'));
    });
}

Columns withNulReplaced(Columns columns)
{
    for (auto& column : columns)
        if (column.second.typeId() == QMetaType::QString && !column.second.isNull())
            column.second = column.second.toString().replace(QChar(u'\0'), QChar(0xfffd));
    return columns;
}

// About what a value takes in memory, for the size of a batch.
qsizetype sizeOf(const QVariant& value)
{
    return 16 + (value.typeId() == QMetaType::QString ? value.toString().size() * 2 : 0);
}

qsizetype sizeOf(const Columns& columns)
{
    qsizetype size = 0;
    for (const auto& column : columns)
        size += sizeOf(column.second);
    return size;
}

QString placeholders(int count)
{
    QStringList marks;
    for (int i = 0; i < count; ++i)
        marks.append(QStringLiteral("?"));
    return marks.join(QStringLiteral(", "));
}

// The type of a column's array: what its values are, nulls of a type included, an invalid value
// being a null text as it is bound. Empty when the values mix types or are of another type, or
// hold a date-time with milliseconds (the driver's precision decides those).
QString arrayType(const QList<const QList<QVariant>*>& rows, qsizetype column)
{
    QString type;
    for (const QList<QVariant>* row : rows) {
        const QVariant& value = row->at(column);
        QString own;
        switch (value.typeId()) {
        case QMetaType::Int:
            own = QStringLiteral("integer[]");
            break;
        case QMetaType::UnknownType:
        case QMetaType::QString:
            own = QStringLiteral("text[]");
            break;
        case QMetaType::QDateTime:
            if (!value.isNull() && value.toDateTime().time().msec() != 0)
                return QString();
            own = QStringLiteral("timestamp[]");
            break;
        default:
            return QString();
        }
        if (!type.isEmpty() && type != own)
            return QString();
        type = own;
    }
    return type;
}

// One column's values as a PostgreSQL array literal: NULL, numbers, and quoted texts and
// date-times with their quotes and backslashes escaped.
QString arrayLiteral(const QList<const QList<QVariant>*>& rows, qsizetype column)
{
    QString literal(QLatin1Char('{'));
    for (const QList<QVariant>* row : rows) {
        if (literal.size() > 1)
            literal += QLatin1Char(',');
        const QVariant& value = row->at(column);
        if (!value.isValid() || value.isNull()) {
            literal += QLatin1String("NULL");
        } else if (value.typeId() == QMetaType::Int) {
            literal += QString::number(value.toInt());
        } else if (value.typeId() == QMetaType::QDateTime) {
            // "yyyy-MM-dd HH:mm:ss", quoted
            const QDateTime dateTime = value.toDateTime();
            char text[] = "\"0000-00-00 00:00:00\"";
            const auto put = [&text](int at, int number, int digits) {
                for (int i = digits - 1; i >= 0; --i, number /= 10)
                    text[at + i] = char('0' + number % 10);
            };
            put(1, dateTime.date().year(), 4);
            put(6, dateTime.date().month(), 2);
            put(9, dateTime.date().day(), 2);
            put(12, dateTime.time().hour(), 2);
            put(15, dateTime.time().minute(), 2);
            put(18, dateTime.time().second(), 2);
            literal += QLatin1String(text);
        } else {
            const QString text = value.toString();
            literal += QLatin1Char('"');
            qsizetype run = 0; // the start of the characters that go as they are
            for (qsizetype i = 0; i < text.size(); ++i) {
                const char16_t u = text.at(i).unicode();
                if (u != u'"' && u != u'\\')
                    continue;
                literal += QStringView(text).mid(run, i - run);
                literal += QLatin1Char('\\');
                run = i;
            }
            literal += QStringView(text).mid(run);
            literal += QLatin1Char('"');
        }
    }
    return literal + QLatin1Char('}');
}

} // namespace

QList<int> rowsPerStatement(int rows, int columns, const StatementLimits& limits)
{
    const int perStatement = std::max(1, std::min(limits.rows, limits.parameters / std::max(1, columns)));
    QList<int> counts;
    for (int left = rows; left > 0; left -= perStatement)
        counts.append(std::min(left, perStatement));
    return counts;
}

UnitOfWork::UnitOfWork(DestinationConnection& connection, Reporter& reporter)
    : m_connection(connection), m_reporter(reporter)
{
}

UnitOfWork::~UnitOfWork() = default;

DestQuery& UnitOfWork::statement(const QString& key, const QString& sql)
{
    auto found = m_statements.find(key);
    if (found == m_statements.end())
        found = m_statements.emplace(key, std::make_unique<DestQuery>(m_connection, sql)).first;
    return *found->second;
}

// Runs a statement inside the transaction of the record (where a refusal undoes it alone) or of
// the batch (which a refusal rolls back whole).
Written UnitOfWork::execute(DestQuery& query)
{
    try {
        if (!m_connection.inTransaction())
            m_connection.begin();
        query.exec();
    } catch (const Error& error) {
        return Written::refused(error.message());
    }
    return Written::done();
}

void UnitOfWork::note(const QString& table, qint32 id, const Columns& columns)
{
    merge(m_written[{table, id}], columns);
    const auto windows = m_windows.find(table);
    if (windows == m_windows.end())
        return;
    for (ReadWindow& window : *windows)
        if (id - window.first >= 0 && id - window.first < kReadWindow)
            if (const std::optional<QVariant> value = valueOf(columns, window.column))
                window.values.insert(id, *value);
}

Written UnitOfWork::insert(const Row& row)
{
    if (holdsNul(row.columns))
        return insert({row.table, withNulReplaced(row.columns)});
    const qint32 id = row.columns.constFirst().second.toInt();
    if (m_batch) {
        if (!m_lastInsertTable.isEmpty() && m_lastInsertTable != row.table)
            m_tableOrder.append({m_lastInsertTable, row.table});
        m_lastInsertTable = row.table;
        KeptRow kept{row.table, namesOf(row.columns), {}};
        for (const auto& column : row.columns)
            kept.values.append(column.second);
        m_keptIndex.insert({row.table, id}, int(m_keptRows.size()));
        m_keptRows.append(std::move(kept));
        m_keptBytes += sizeOf(row.columns);
        note(row.table, id, row.columns);
        return Written::done();
    }
    const QStringList names = namesOf(row.columns);
    DestQuery& insert = statement(QStringLiteral("INSERT ") + row.table + QLatin1Char(' ') + names.join(u','),
                                  QStringLiteral("INSERT INTO ") + row.table + QStringLiteral(" (")
                                      + names.join(QStringLiteral(", ")) + QStringLiteral(") VALUES (")
                                      + placeholders(int(names.size())) + QLatin1Char(')'));
    QList<QVariant> values;
    for (const auto& column : row.columns)
        values.append(column.second);
    insert.bindAll(values);
    const Written written = execute(insert);
    if (written)
        note(row.table, id, row.columns);
    return written;
}

Written UnitOfWork::update(const RowUpdate& update)
{
    if (holdsNul(update.columns))
        return this->update({update.table, update.idColumn, update.ids, withNulReplaced(update.columns)});
    // The rows that the open batch inserts take the new values before their INSERT goes out.
    QList<qint32> ids;
    for (const qint32 id : update.ids) {
        const auto kept = m_keptIndex.constFind({update.table, id});
        if (kept == m_keptIndex.constEnd()) {
            ids.append(id);
            continue;
        }
        KeptRow& row = m_keptRows[*kept];
        for (const auto& [name, value] : update.columns) {
            const auto at = std::find_if(row.names.cbegin(), row.names.cend(), [&](const QString& column) {
                return column.compare(name, Qt::CaseInsensitive) == 0;
            });
            if (at != row.names.cend()) {
                row.values[at - row.names.cbegin()] = value;
            } else {
                row.names.append(name);
                row.values.append(value);
            }
        }
        m_keptBytes += sizeOf(update.columns);
        note(update.table, id, update.columns);
    }
    if (ids.isEmpty())
        return Written::done();
    if (m_batch) {
        for (const qint32 id : ids)
            keep({update.table, id}, update.idColumn, update.columns);
        return Written::done();
    }

    QStringList assignments;
    for (const auto& column : update.columns)
        assignments.append(column.first + QStringLiteral("=?"));
    DestQuery& statement = this->statement(
        QStringLiteral("UPDATE ") + update.table + QLatin1Char(' ') + namesOf(update.columns).join(u',') + QLatin1Char(' ')
            + QString::number(ids.size()),
        QStringLiteral("UPDATE ") + update.table + QStringLiteral(" SET ") + assignments.join(QStringLiteral(", "))
            + QStringLiteral(" WHERE ") + update.idColumn + QStringLiteral(" IN (") + placeholders(int(ids.size()))
            + QLatin1Char(')'));
    QList<QVariant> values;
    for (const auto& column : update.columns)
        values.append(column.second);
    for (const qint32 id : ids)
        values.append(id);
    statement.bindAll(values);
    const Written written = execute(statement);
    if (written)
        for (const qint32 id : ids)
            note(update.table, id, update.columns);
    return written;
}

QVariant UnitOfWork::stored(const QString& table, const QString& idColumn, qint32 id, const QString& column, bool isText)
{
    const auto written = m_written.constFind({table, id});
    if (written != m_written.constEnd())
        if (const std::optional<QVariant> value = valueOf(*written, column))
            return *value;
    if (const std::optional<QVariant> value = valueOf(m_recent.value(table).value(id), column))
        return *value;
    // A text comes with the length that the server holds, so that a text cut on its way (a
    // driver's text size) is an error instead of being written back cut. Only the rows that hold
    // a value are read: most of a window is often still null (the consultations' AU_TOTAL before
    // their synthesis sheets), and a driver spends as much on a null as on a short text.
    const auto checked = [&](const ReadWindow& window) {
        const QVariant value = window.values.value(id);
        if (value.metaType() == QMetaType::fromType<QString>() && !value.isNull())
            checkTextLength(m_connection.textMeasure(), value.toString(), window.lengths.value(id),
                            table + QLatin1Char('.') + column + QStringLiteral(" n°") + QString::number(id));
        return value;
    };
    if (const auto windows = m_windows.constFind(table); windows != m_windows.constEnd()) {
        const auto window = windows->constFind(column);
        if (window != windows->constEnd() && id - window->first >= 0 && id - window->first < kReadWindow)
            return checked(*window);
    }
    const QString length = isText ? textLengthExpression(m_connection.textMeasure(), column) : QString();
    DestQuery& reader = statement(QStringLiteral("READ ") + table + QLatin1Char(' ') + column,
                                  QStringLiteral("SELECT ") + idColumn + QStringLiteral(", ") + column
                                      + (length.isEmpty() ? QString() : QStringLiteral(", ") + length)
                                      + QStringLiteral(" FROM ") + table + QStringLiteral(" WHERE ") + idColumn
                                      + QStringLiteral(" >= ? AND ") + idColumn + QStringLiteral(" <= ? AND ") + column
                                      + QStringLiteral(" IS NOT NULL"));
    reader.bindAll({id, qint32(std::min<qint64>(qint64(id) + kReadWindow - 1, std::numeric_limits<qint32>::max()))});
    reader.open();
    ReadWindow read{column, id, {}, {}};
    while (!reader.eof()) {
        const qint32 rowId = reader.value(0).toInt();
        read.values.insert(rowId, reader.value(1));
        if (!length.isEmpty())
            read.lengths.insert(rowId, reader.value(2));
        reader.next();
    }
    reader.close();
    const QVariant value = checked(read);
    m_windows[table].insert(column, std::move(read));
    return value;
}

QList<QVariant> UnitOfWork::storedRow(const QString& table, const QString& idColumn, qint32 id,
                                      const QList<std::pair<QString, bool>>& columns)
{
    QList<QVariant> values;
    if (m_written.contains({table, id}) || m_recent.value(table).contains(id)) {
        for (const auto& [column, isText] : columns)
            values.append(stored(table, idColumn, id, column, isText));
        return values;
    }
    QStringList selected;
    QList<int> lengthAt; // the position of each column's length, -1 for none
    for (const auto& [column, isText] : columns)
        selected.append(column);
    for (const auto& [column, isText] : columns) {
        lengthAt.append(isText ? int(selected.size()) : -1);
        if (isText)
            selected.append(textLengthExpression(m_connection.textMeasure(), column));
    }
    DestQuery& reader = statement(QStringLiteral("ROW ") + table + QLatin1Char(' ') + selected.join(u','),
                                  QStringLiteral("SELECT ") + selected.join(QStringLiteral(", ")) + QStringLiteral(" FROM ")
                                      + table + QStringLiteral(" WHERE ") + idColumn + QStringLiteral(" = ?"));
    reader.bindAll({id});
    reader.open();
    for (qsizetype i = 0; i < columns.size(); ++i) {
        QVariant value = reader.eof() ? QVariant() : reader.value(int(i));
        if (value.isNull())
            value = QVariant();
        else if (value.metaType() == QMetaType::fromType<QString>() && lengthAt.at(i) >= 0)
            checkTextLength(m_connection.textMeasure(), value.toString(), reader.value(lengthAt.at(i)),
                            table + QLatin1Char('.') + columns.at(i).first + QStringLiteral(" n°") + QString::number(id));
        values.append(value);
    }
    reader.close();
    return values;
}

std::optional<qint32> UnitOfWork::linked(LinkTable& table, qint32 source)
{
    if (&table == m_links) {
        const auto pending = m_pairByCode.constFind(source);
        if (pending != m_pairByCode.constEnd())
            return *pending;
    }
    if (!table.find(source))
        return std::nullopt;
    return table.dest();
}

std::optional<qint32> UnitOfWork::linked(LinkTable& table, const QString& sourceText)
{
    bool isNumber = false;
    const qint32 source = sourceText.trimmed().toInt(&isNumber);
    if (!isNumber)
        return std::nullopt;
    return linked(table, source);
}

Written UnitOfWork::pair(LinkTable& table, qint32 source, qint32 dest, const PairPrints& prints)
{
    Q_ASSERT(&table == m_links);
    if (!prints.source.isEmpty())
        m_pairPrints.insert(source, prints);
    if (!m_batch) {
        // One record at a time, the pair is pending at once: its failure is the record's.
        try {
            m_pairs = {{source, dest}};
            table.addPending(pendingPairs(m_pairs, m_written, m_pairRow, m_pairPrints));
        } catch (const Error& error) {
            m_pairs.clear();
            return Written::refused(error.message());
        }
    } else {
        m_pairs.append({source, dest});
    }
    m_pairByCode.insert(source, dest);
    return Written::done();
}

// The pairs with what settles them: the row that each stands for and, when the phase's records
// change a text of it, the text that the commit leaves there.
QList<PendingPair> UnitOfWork::pendingPairs(const QList<std::pair<qint32, qint32>>& pairs,
                                            const QHash<RowKey, Columns>& written, const PairRow& pairRow,
                                            const QHash<qint32, PairPrints>& prints)
{
    QList<PendingPair> pending;
    for (const auto& [source, dest] : pairs) {
        const PairPrints print = prints.value(source);
        PendingPair pair{source, dest, pairRow.table, pairRow.idColumn, QString(), QString(), print.source, print.dest};
        if (!pairRow.proofColumn.isEmpty()) {
            if (const std::optional<QVariant> text = valueOf(written.value({pairRow.table, dest}), pairRow.proofColumn)) {
                pair.proofColumn = pairRow.proofColumn;
                pair.proof = PendingPair::proofOf(text->toString());
            }
        }
        pending.append(pair);
    }
    return pending;
}

void UnitOfWork::reprint(qint32 source, const PairPrints& prints)
{
    m_reprints.append({source, prints});
}

void UnitOfWork::line(const QString& text)
{
    if (m_batch)
        m_report.append({false, text});
    else
        m_reporter.appendLine(text);
}

void UnitOfWork::status(const QString& text)
{
    if (m_batch)
        m_report.append({true, text});
    else
        m_reporter.setStatus(text);
}

void UnitOfWork::beginRecord(LinkTable& links, const PairRow& pairRow)
{
    forget();
    m_batch = false;
    m_links = &links;
    m_pairRow = pairRow;
}

void UnitOfWork::endRecord()
{
    if (m_connection.inTransaction())
        m_connection.commit();
    testHold("committed");
    finishCommit();
}

void UnitOfWork::beginBatch(LinkTable& links, const PairRow& pairRow)
{
    forget();
    m_batch = true;
    m_links = &links;
    m_pairRow = pairRow;
}

void UnitOfWork::nextBatchRecord()
{
    m_lastInsertTable.clear();
}

// The kept rows as multi-row INSERT statements: one per table and column list, a table written
// before another by one record going out first, each within the server's limits.
void UnitOfWork::writeKeptRows()
{
    QStringList tables;
    for (const KeptRow& row : std::as_const(m_keptRows))
        if (!tables.contains(row.table))
            tables.append(row.table);
    QStringList ordered;
    while (!tables.isEmpty()) {
        const auto ready = std::find_if(tables.begin(), tables.end(), [&](const QString& table) {
            return std::none_of(m_tableOrder.begin(), m_tableOrder.end(), [&](const auto& edge) {
                return edge.second == table && edge.first != table && tables.contains(edge.first);
            });
        });
        const QString next = ready != tables.end() ? *ready : tables.constFirst();
        ordered.append(next);
        tables.removeOne(next);
    }

    const StatementLimits limits = m_connection.limits();
    for (const QString& table : std::as_const(ordered)) {
        QList<QStringList> columnLists;
        for (const KeptRow& row : std::as_const(m_keptRows))
            if (row.table == table && !columnLists.contains(row.names))
                columnLists.append(row.names);
        for (const QStringList& names : std::as_const(columnLists)) {
            QList<const KeptRow*> rows;
            for (const KeptRow& row : std::as_const(m_keptRows))
                if (row.table == table && row.names == names)
                    rows.append(&row);
            if (m_connection.dialect() == Dialect::PostgreSQL && insertAsArrays(table, names, rows))
                continue;
            const QString tuple = QLatin1Char('(') + placeholders(int(names.size())) + QLatin1Char(')');
            qsizetype first = 0;
            for (const int count : rowsPerStatement(int(rows.size()), int(names.size()), limits)) {
                const QStringList tuples(count, tuple);
                DestQuery& insert = statement(
                    QStringLiteral("INSERT ") + table + QLatin1Char(' ') + names.join(u',') + QLatin1Char(' ')
                        + QString::number(count),
                    QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (") + names.join(QStringLiteral(", "))
                        + QStringLiteral(") VALUES ") + tuples.join(QStringLiteral(", ")));
                QList<QVariant> values;
                values.reserve(count * names.size());
                for (qsizetype i = first; i < first + count; ++i)
                    values += rows.at(i)->values;
                insert.bindAll(std::move(values));
                insert.exec();
                first += count;
            }
        }
    }
}

// PostgreSQL takes the rows as one array for each column, which the server unnests into rows:
// one parameter for each column instead of one for each value, each of which the driver would
// turn into text of its own. False, with nothing sent, for rows whose values cannot go so.
bool UnitOfWork::insertAsArrays(const QString& table, const QStringList& names, const QList<const KeptRow*>& rows)
{
    QList<const QList<QVariant>*> values;
    values.reserve(rows.size());
    for (const KeptRow* row : rows)
        values.append(&row->values);
    QStringList casts;
    for (qsizetype column = 0; column < names.size(); ++column) {
        const QString type = arrayType(values, column);
        if (type.isEmpty())
            return false;
        casts.append(QStringLiteral("CAST(? AS ") + type + QLatin1Char(')'));
    }
    DestQuery& insert = statement(
        QStringLiteral("INSERT ARRAYS ") + table + QLatin1Char(' ') + names.join(u',') + QLatin1Char(' ') + casts.join(u','),
        QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (") + names.join(QStringLiteral(", "))
            + QStringLiteral(") SELECT * FROM unnest(") + casts.join(QStringLiteral(", ")) + QLatin1Char(')'));
    QList<QVariant> arrays;
    for (qsizetype column = 0; column < names.size(); ++column)
        arrays.append(arrayLiteral(values, column));
    insert.bindAll(std::move(arrays));
    insert.exec();
    return true;
}

void UnitOfWork::keep(const RowKey& row, const QString& idColumn, const Columns& columns)
{
    auto kept = m_keptUpdates.find(row);
    if (kept == m_keptUpdates.end()) {
        kept = m_keptUpdates.insert(row, {idColumn, {}});
        m_updatedRows.append(row);
    }
    merge(kept->second, columns);
    m_keptBytes += sizeOf(columns);
    note(row.first, row.second, columns);
}

namespace {

// An UPDATE of `count` rows of a table from a VALUES list of their identifiers and new values,
// in the server's own syntax. PostgreSQL and SQL Server give a VALUES list's columns the types
// of its values, so each value is cast to its column's kind of type. An empty text where the
// server has no such statement.
QString groupedUpdate(Dialect dialect, const QString& table, const QString& idColumn, const QStringList& names,
                      const QList<QVariant>& firstRow, int count)
{
    const QStringList columns = QStringList{idColumn} + names;
    const bool sqlServer = dialect == Dialect::SqlServer;
    QStringList marks;
    for (const QVariant& value : firstRow) {
        if (dialect != Dialect::PostgreSQL && !sqlServer)
            marks.append(QStringLiteral("?"));
        else if (value.typeId() == QMetaType::Int)
            marks.append(QStringLiteral("CAST(? AS INTEGER)"));
        else if (value.typeId() == QMetaType::QDateTime)
            marks.append(sqlServer ? QStringLiteral("CAST(? AS DATETIME)") : QStringLiteral("CAST(? AS TIMESTAMP)"));
        else
            marks.append(sqlServer ? QStringLiteral("CAST(? AS NVARCHAR(MAX))") : QStringLiteral("CAST(? AS TEXT)"));
    }
    QStringList tuples;
    for (int i = 0; i < count; ++i)
        tuples.append(QLatin1Char('(') + marks.join(QStringLiteral(", ")) + QLatin1Char(')'));
    const QString values = QStringLiteral("(VALUES ") + tuples.join(QStringLiteral(", ")) + QLatin1Char(')');
    const QString list = QStringLiteral("v (") + columns.join(QStringLiteral(", ")) + QLatin1Char(')');
    QStringList assignments;
    for (const QString& name : names)
        assignments.append(name + QStringLiteral(" = v.") + name);
    const QString set = QStringLiteral("UPDATE ") + table + QStringLiteral(" SET ") + assignments.join(QStringLiteral(", "));
    const QString match = table + QLatin1Char('.') + idColumn + QStringLiteral(" = v.") + idColumn;
    switch (dialect) {
    case Dialect::PostgreSQL:
        return set + QStringLiteral(" FROM ") + values + QStringLiteral(" AS ") + list + QStringLiteral(" WHERE ") + match;
    case Dialect::SQLite:
        return QStringLiteral("WITH ") + list + QStringLiteral(" AS ") + values + QLatin1Char(' ') + set
            + QStringLiteral(" FROM v WHERE ") + match;
    case Dialect::SqlServer:
        return set + QStringLiteral(" FROM ") + table + QStringLiteral(" JOIN ") + values + QStringLiteral(" AS ") + list
            + QStringLiteral(" ON ") + match;
    case Dialect::Other:
        break;
    }
    return QString();
}

} // namespace

// The kept updates, after the inserts: one statement for many rows of a table and column list,
// within the server's limits, or one a row where the server has no such statement.
void UnitOfWork::writeKeptUpdates()
{
    struct Group {
        QString table;
        QString idColumn;
        QStringList names;
        QList<QList<QVariant>> rows; // identifier, then the values
    };
    QList<Group> groups;
    for (const RowKey& row : std::as_const(m_updatedRows)) {
        const auto& [idColumn, columns] = *m_keptUpdates.constFind(row);
        const QStringList names = namesOf(columns);
        auto group = std::find_if(groups.begin(), groups.end(), [&](const Group& group) {
            return group.table == row.first && group.idColumn == idColumn && group.names == names;
        });
        if (group == groups.end())
            group = groups.insert(groups.end(), Group{row.first, idColumn, names, {}});
        QList<QVariant> values{row.second};
        for (const auto& column : columns)
            values.append(column.second);
        group->rows.append(std::move(values));
    }

    const Dialect dialect = m_connection.dialect();
    const StatementLimits limits = m_connection.limits();
    for (const Group& group : std::as_const(groups)) {
        const int width = int(group.names.size()) + 1;
        const QList<int> counts = dialect == Dialect::Other ? QList<int>(group.rows.size(), 1)
                                                            : rowsPerStatement(int(group.rows.size()), width, limits);
        qsizetype first = 0;
        for (const int count : counts) {
            const QList<QVariant>& firstRow = group.rows.at(first);
            QString key = QStringLiteral("UPDATE FROM ") + group.table + QLatin1Char(' ') + group.idColumn + QLatin1Char(' ')
                + group.names.join(u',') + QLatin1Char(' ') + QString::number(count);
            for (const QVariant& value : firstRow)
                key += QLatin1Char(' ') + QString::number(value.typeId());
            QString text = groupedUpdate(dialect, group.table, group.idColumn, group.names, firstRow, count);
            QList<QVariant> values;
            values.reserve(count * width);
            if (text.isEmpty()) {
                QStringList assignments;
                for (const QString& name : group.names)
                    assignments.append(name + QStringLiteral("=?"));
                text = QStringLiteral("UPDATE ") + group.table + QStringLiteral(" SET ") + assignments.join(QStringLiteral(", "))
                    + QStringLiteral(" WHERE ") + group.idColumn + QStringLiteral("=?");
                values = firstRow.mid(1);
                values.append(firstRow.constFirst());
            } else {
                for (qsizetype i = first; i < first + count; ++i)
                    values += group.rows.at(i);
            }
            DestQuery& update = statement(key, text);
            update.bindAll(std::move(values));
            update.exec();
            first += count;
        }
    }
}

bool UnitOfWork::commitBatch()
{
    try {
        // The pairs, with their proofs, are written as pending on a thread of their own while
        // the destination runs the batch's statements; the destination commits only once they
        // are in the link table. The thread works on shared copies of what the batch wrote.
        std::future<void> pending;
        if (!m_pairs.isEmpty())
            pending = std::async(std::launch::async, [links = m_links, pairs = m_pairs, written = m_written,
                                                      pairRow = m_pairRow, prints = m_pairPrints] {
                links->addPending(pendingPairs(pairs, written, pairRow, prints));
            });
        const auto pendingWritten = [&] {
            if (!pending.valid())
                return;
            pending.get();
            m_pendingWritten = true;
            testHold("pending");
        };
        try {
            if (!m_keptRows.isEmpty() || !m_updatedRows.isEmpty()) {
                if (!m_connection.inTransaction())
                    m_connection.begin();
                writeKeptRows();
                writeKeptUpdates();
            }
        } catch (const Error&) {
            pendingWritten(); // what the link table says comes first: it may end the run
            throw;
        }
        pendingWritten();
        if (m_connection.inTransaction())
            m_connection.commit();
    } catch (const Error&) {
        abandonBatch();
        return false;
    } catch (const RunCannotGoOn&) {
        m_connection.rollback(); // the pairs could not be written: nothing of the batch stays
        forget();
        throw;
    }
    testHold("committed");
    finishCommit();
    for (const auto& [isStatus, text] : std::as_const(m_report)) {
        if (isStatus)
            m_reporter.setStatus(text);
        else
            m_reporter.appendLine(text);
    }
    forget();
    return true;
}

void UnitOfWork::abandonBatch()
{
    m_connection.rollback();
    m_windows.clear(); // they hold the values that the batch wrote
    // Pending pairs whose rows were rolled back are dropped; should the link table refuse even
    // that, they are dropped when the table is opened again, as their rows do not exist.
    if (m_pendingWritten) {
        try {
            m_links->settle({});
        } catch (const Error&) {
        }
    }
    forget();
}

// After the destination's commit: the pending pairs become pairs, and the rows written are
// known without reading them.
void UnitOfWork::finishCommit()
{
    if (!m_pairs.isEmpty()) {
        m_links->settleLater();
        testHold("settled");
    }
    // New prints of records carried again: written once the destination holds what they describe.
    if (!m_reprints.isEmpty())
        m_links->setPrints(std::exchange(m_reprints, {}));
    QHash<QString, QHash<qint32, Columns>> recent;
    // The table of the row before is mostly the same: it is looked up again when it changes.
    const QString* table = nullptr;
    QHash<qint32, Columns>* rows = nullptr;
    for (auto it = m_written.cbegin(); it != m_written.cend(); ++it) {
        if (!table || *table != it.key().first) {
            table = &it.key().first;
            rows = &recent[*table];
        }
        rows->insert(it.key().second, it.value());
    }
    for (auto it = recent.begin(); it != recent.end(); ++it)
        m_recent.insert(it.key(), std::move(it.value()));
    m_pairs.clear();
    m_pairPrints.clear();
    m_pairByCode.clear();
}

void UnitOfWork::forget()
{
    m_pendingWritten = false;
    m_keptRows.clear();
    m_keptIndex.clear();
    m_updatedRows.clear();
    m_keptUpdates.clear();
    m_keptBytes = 0;
    m_tableOrder.clear();
    m_lastInsertTable.clear();
    m_written.clear();
    m_pairs.clear();
    m_pairPrints.clear();
    m_reprints.clear();
    m_pairByCode.clear();
    m_report.clear();
}

void UnitOfWork::close()
{
    m_statements.clear();
    m_recent.clear();
    m_windows.clear();
    m_links = nullptr;
    forget();
}

QVariant nullText()
{
    return QVariant(QMetaType::fromType<QString>());
}

QVariant nullDateTime()
{
    return QVariant(QMetaType::fromType<QDateTime>());
}

QVariant textOrEmpty(const QString& value)
{
    return value.isNull() ? QVariant(QStringLiteral("")) : QVariant(value);
}

} // namespace vf
