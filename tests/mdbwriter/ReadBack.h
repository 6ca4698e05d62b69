// Reading files back through libmdb and the mdbtools commands, for the writer's tests.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <cstddef>

struct ReadBack {
    QStringList columns;
    QList<QStringList> rows;
};

// Every row of a table as libmdb converts it to text; dates as "YYYY-MM-DD HH:MM:SS". Texts longer than
// bindSize bytes are cut by libmdb (its own default is 16 KB).
constexpr std::size_t kWholeMemos = 8 << 20;
constexpr std::size_t kShortTexts = 16 << 10; // quicker, for tables of many rows
ReadBack readTable(const QString& path, const QString& tableName, std::size_t bindSize = kWholeMemos);

// The 8 bytes stored for the first column of each row, as a double.
QList<double> storedDoubles(const QString& path, const QString& tableName);

// Runs a program and returns its standard output.
QString run(const QString& program, const QStringList& arguments, int* exitCode = nullptr,
            QString* errors = nullptr, const QByteArray& input = {});
