#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

struct sqlite3;
struct sqlite3_stmt;

namespace vf { class SourceQuery; }

namespace sourcetest {

// Output of a command (mdb-export, mdb-schema), or a failed test when it cannot run.
QByteArray runTool(const QString& program, const QStringList& arguments);

// An in-memory SQLite database holding what mdb-schema and mdb-export print for the tables of
// an Access file: the reference against which the connection's results are compared.
sqlite3* referenceDatabase(const QString& mdbPath, const QStringList& tables);

// Compares the rows of an open SourceQuery, from its current row on, with those of a
// reference statement; returns an empty text when they match, else the first difference.
QString compareRows(vf::SourceQuery& query, sqlite3* reference, const QString& sql,
                    const QList<QPair<QString, QVariant>>& params = {});

} // namespace sourcetest
