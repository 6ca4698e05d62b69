// Reading files back through libmdb and the mdbtools commands, for the writer's tests.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

struct ReadBack {
    QStringList columns;
    QList<QStringList> rows;
};

// Every row of a table as libmdb converts it to text; dates as "YYYY-MM-DD HH:MM:SS". Long texts are
// read whole (libmdb's bind size is raised to 8 MB).
ReadBack readTable(const QString& path, const QString& tableName);

// The 8 bytes stored for the first column of each row, as a double.
QList<double> storedDoubles(const QString& path, const QString& tableName);

// Runs a program and returns its standard output.
QString run(const QString& program, const QStringList& arguments, int* exitCode = nullptr,
            QString* errors = nullptr, const QByteArray& input = {});
