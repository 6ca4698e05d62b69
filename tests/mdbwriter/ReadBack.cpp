#include "ReadBack.h"

#include <QFile>
#include <QProcess>
#include <QStringDecoder>

#include <mdbtools.h>

#include <cstring>
#include <memory>
#include <vector>

ReadBack readTable(const QString& path, const QString& tableName, std::size_t bindSize)
{
    ReadBack result;
    MdbHandle* mdb = mdb_open(QFile::encodeName(path).constData(), MDB_NOFLAGS);
    if (!mdb)
        return result;
    mdb_set_bind_size(mdb, bindSize);
    mdb_set_date_fmt(mdb, "%Y-%m-%d %H:%M:%S");
    QByteArray name = tableName.toUtf8();
    MdbTableDef* table = mdb_read_table_by_name(mdb, name.data(), MDB_TABLE);
    if (table) {
        mdb_read_columns(table);
        std::vector<std::unique_ptr<char[]>> buffers;
        std::vector<int> lengths(table->num_cols, 0);
        for (unsigned i = 0; i < table->num_cols; ++i) {
            auto* column = static_cast<MdbColumn*>(g_ptr_array_index(table->columns, i));
            result.columns << QString::fromUtf8(column->name);
            buffers.push_back(std::make_unique<char[]>(bindSize));
            mdb_bind_column(table, int(i + 1), buffers.back().get(), &lengths[i]);
        }
        mdb_rewind_table(table);
        while (mdb_fetch_row(table)) {
            QStringList row;
            for (unsigned i = 0; i < table->num_cols; ++i)
                row << QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom)(
                    QByteArrayView(buffers[i].get(), lengths[i]));
            result.rows << row;
        }
        mdb_free_tabledef(table);
    }
    mdb_close(mdb);
    return result;
}

QList<double> storedDoubles(const QString& path, const QString& tableName)
{
    QList<double> values;
    MdbHandle* mdb = mdb_open(QFile::encodeName(path).constData(), MDB_NOFLAGS);
    if (!mdb)
        return values;
    QByteArray name = tableName.toUtf8();
    MdbTableDef* table = mdb_read_table_by_name(mdb, name.data(), MDB_TABLE);
    if (table) {
        mdb_read_columns(table);
        auto* column = static_cast<MdbColumn*>(g_ptr_array_index(table->columns, 0));
        mdb_rewind_table(table);
        while (mdb_fetch_row(table)) {
            double value = 0;
            if (column->cur_value_len == 8)
                std::memcpy(&value, mdb->pg_buf + column->cur_value_start, 8);
            values << value;
        }
        mdb_free_tabledef(table);
    }
    mdb_close(mdb);
    return values;
}

QString run(const QString& program, const QStringList& arguments, int* exitCode, QString* errors,
            const QByteArray& input)
{
    QProcess process;
    process.start(program, arguments);
    if (!input.isNull()) {
        process.write(input);
        process.closeWriteChannel();
    }
    process.waitForFinished(120000);
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (errors)
        *errors = QString::fromUtf8(process.readAllStandardError());
    return QString::fromUtf8(process.readAllStandardOutput());
}

