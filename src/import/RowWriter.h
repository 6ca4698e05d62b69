#pragma once

#include <QList>
#include <QString>
#include <QVariant>
#include <map>
#include <memory>

namespace vf {

class DestinationConnection;
class DestQuery;

// Writes new rows into one destination table with an INSERT that names exactly the columns a
// row sets. A row whose column list was seen before reuses the statement prepared for it, so a
// phase prepares each of its (few) column lists once.
class RowWriter {
public:
    struct Column {
        QString name;
        QVariant value; // qint32, QString, QDateTime, or a typed null
    };

    RowWriter(DestinationConnection& connection, QString table);
    ~RowWriter();
    RowWriter(const RowWriter&) = delete;
    RowWriter& operator=(const RowWriter&) = delete;

    // Throws vf::Error when the destination refuses the row.
    void insert(const QList<Column>& columns);

    // A typed null for a column that is named but receives no value.
    static QVariant nullText();
    static QVariant nullDateTime();
    // A text as it was read: a null QString becomes the empty text, never a database null.
    static QVariant text(const QString& value);

private:
    DestinationConnection& m_connection;
    QString m_table;
    std::map<QString, std::unique_ptr<DestQuery>> m_statements; // by column list
};

} // namespace vf
