#include "import/RowWriter.h"

#include "db/DestinationConnection.h"

#include <QDateTime>
#include <QStringList>

namespace vf {

RowWriter::RowWriter(DestinationConnection& connection, QString table)
    : m_connection(connection), m_table(std::move(table))
{
}

RowWriter::~RowWriter() = default;

void RowWriter::insert(const QList<Column>& columns)
{
    QStringList names;
    for (const Column& column : columns)
        names.append(column.name);
    const QString key = names.join(QLatin1Char(','));

    auto found = m_statements.find(key);
    if (found == m_statements.end()) {
        QStringList parameters;
        for (const QString& name : names)
            parameters.append(QLatin1Char(':') + name);
        const QString sql = QStringLiteral("INSERT INTO ") + m_table + QStringLiteral(" (")
            + names.join(QStringLiteral(", ")) + QStringLiteral(") VALUES (")
            + parameters.join(QStringLiteral(", ")) + QLatin1Char(')');
        found = m_statements.emplace(key, std::make_unique<DestQuery>(m_connection, sql)).first;
    }
    DestQuery& statement = *found->second;
    for (const Column& column : columns)
        statement.bind(column.name, column.value);
    statement.exec();
}

QVariant RowWriter::nullText()
{
    return QVariant(QMetaType::fromType<QString>());
}

QVariant RowWriter::nullDateTime()
{
    return QVariant(QMetaType::fromType<QDateTime>());
}

QVariant RowWriter::text(const QString& value)
{
    return value.isNull() ? QVariant(QStringLiteral("")) : QVariant(value);
}

} // namespace vf
