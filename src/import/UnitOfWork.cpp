#include "import/UnitOfWork.h"

#include "db/DestinationConnection.h"
#include "db/Errors.h"
#include "db/LinkTable.h"
#include "db/Reporter.h"

#include <QDateTime>
#include <QStringList>

namespace vf {

namespace {

QStringList namesOf(const Columns& columns)
{
    QStringList names;
    for (const auto& [name, value] : columns)
        names.append(name);
    return names;
}

QVariant columnValue(const Columns& columns, const QString& name)
{
    for (const auto& [column, value] : columns)
        if (column.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return QVariant();
}

bool hasColumn(const Columns& columns, const QString& name)
{
    for (const auto& column : columns)
        if (column.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

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

Written UnitOfWork::insert(const Row& row)
{
    const QStringList names = namesOf(row.columns);
    QStringList parameters;
    for (const QString& name : names)
        parameters.append(QLatin1Char(':') + name);
    DestQuery& insert = statement(QStringLiteral("INSERT ") + row.table + QLatin1Char(' ') + names.join(u','),
                                  QStringLiteral("INSERT INTO ") + row.table + QStringLiteral(" (")
                                      + names.join(QStringLiteral(", ")) + QStringLiteral(") VALUES (")
                                      + parameters.join(QStringLiteral(", ")) + QLatin1Char(')'));
    try {
        for (const auto& [name, value] : row.columns)
            insert.bind(name, value);
        insert.exec();
    } catch (const Error& error) {
        return Written::refused(error.message());
    }
    remember(row.table, {row.columns.constFirst().second.toInt()}, row.columns);
    return Written::done();
}

Written UnitOfWork::update(const RowUpdate& update)
{
    QStringList assignments;
    for (const auto& [name, value] : update.columns)
        assignments.append(name + QStringLiteral("=:") + name);
    QStringList ids;
    for (qsizetype i = 0; i < update.ids.size(); ++i)
        ids.append(QStringLiteral(":vf_id%1").arg(i));
    DestQuery& statement = this->statement(
        QStringLiteral("UPDATE ") + update.table + QLatin1Char(' ') + namesOf(update.columns).join(u',')
            + QLatin1Char(' ') + QString::number(update.ids.size()),
        QStringLiteral("UPDATE ") + update.table + QStringLiteral(" SET ") + assignments.join(QStringLiteral(", "))
            + QStringLiteral(" WHERE ") + update.idColumn + QStringLiteral(" IN (") + ids.join(QStringLiteral(", "))
            + QLatin1Char(')'));
    try {
        for (const auto& [name, value] : update.columns)
            statement.bind(name, value);
        for (qsizetype i = 0; i < update.ids.size(); ++i)
            statement.bind(QStringLiteral("vf_id%1").arg(i), update.ids.at(i));
        statement.exec();
    } catch (const Error& error) {
        return Written::refused(error.message());
    }
    remember(update.table, update.ids, update.columns);
    return Written::done();
}

void UnitOfWork::remember(const QString& table, const QList<qint32>& ids, const Columns& columns)
{
    const QHash<qint32, Columns> previous = m_lastWritten.take(table);
    QHash<qint32, Columns>& written = m_lastWritten[table];
    for (const qint32 id : ids) {
        Columns merged = previous.value(id);
        for (const auto& [name, value] : columns) {
            bool replaced = false;
            for (auto& column : merged)
                if (column.first.compare(name, Qt::CaseInsensitive) == 0) {
                    column.second = value;
                    replaced = true;
                }
            if (!replaced)
                merged.append({name, value});
        }
        written.insert(id, merged);
    }
}

QVariant UnitOfWork::stored(const QString& table, const QString& idColumn, qint32 id, const QString& column)
{
    const Columns written = m_lastWritten.value(table).value(id);
    if (hasColumn(written, column))
        return columnValue(written, column);
    DestQuery& read = statement(QStringLiteral("READ ") + table + QLatin1Char(' ') + column,
                                QStringLiteral("SELECT ") + column + QStringLiteral(" FROM ") + table
                                    + QStringLiteral(" WHERE ") + idColumn + QStringLiteral("=:id"));
    read.bind(QStringLiteral("id"), id);
    read.open();
    const QVariant value = read.eof() ? QVariant() : read.value(0);
    read.close();
    return value;
}

std::optional<qint32> UnitOfWork::linked(LinkTable& table, qint32 source)
{
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

Written UnitOfWork::pair(LinkTable& table, qint32 source, qint32 dest)
{
    try {
        table.record(source, dest);
    } catch (const Error& error) {
        return Written::refused(error.message());
    }
    return Written::done();
}

void UnitOfWork::line(const QString& text)
{
    m_reporter.appendLine(text);
}

void UnitOfWork::status(const QString& text)
{
    m_reporter.setStatus(text);
}

void UnitOfWork::close()
{
    m_statements.clear();
    m_lastWritten.clear();
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
