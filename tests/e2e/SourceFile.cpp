#include "SourceFile.h"

#include <QDateTime>
#include <QFile>

#include <mdbtools.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace vf::test {

namespace {

constexpr int kBindSize = 1 << 20; // memos are read whole

} // namespace

QDateTime fromOleDate(double days)
{
    qint64 day = qint64(std::trunc(days));
    qint64 ms = std::llround(std::fabs(days - double(day)) * 86400000.0);
    if (ms >= 86400000) {
        ms -= 86400000;
        ++day;
    }
    const QDate date = QDate(1899, 12, 30).addDays(day);
    return QDateTime(date, QTime::fromMSecsSinceStartOfDay(int(ms)), Qt::UTC);
}

QList<QVariantMap> readSourceTable(const QString& mdbPath, const QString& tableName)
{
    QList<QVariantMap> rows;
    MdbHandle* mdb = mdb_open(QFile::encodeName(mdbPath).constData(), MDB_NOFLAGS);
    if (!mdb)
        return rows;
    mdb_set_bind_size(mdb, kBindSize);
    QByteArray name = tableName.toUtf8();
    MdbTableDef* table = mdb_read_table_by_name(mdb, name.data(), MDB_TABLE);
    if (table) {
        mdb_read_columns(table);
        std::vector<std::unique_ptr<char[]>> buffers;
        std::vector<int> lengths(table->num_cols, 0);
        for (unsigned i = 0; i < table->num_cols; ++i) {
            buffers.push_back(std::make_unique<char[]>(kBindSize));
            mdb_bind_column(table, int(i + 1), buffers.back().get(), &lengths[i]);
        }
        mdb_rewind_table(table);
        while (mdb_fetch_row(table)) {
            QVariantMap row;
            for (unsigned i = 0; i < table->num_cols; ++i) {
                auto* column = static_cast<MdbColumn*>(g_ptr_array_index(table->columns, i));
                QVariant value;
                if (column->col_type == MDB_DATETIME) {
                    if (column->cur_value_len == 8) {
                        double days = 0;
                        std::memcpy(&days, mdb->pg_buf + column->cur_value_start, 8);
                        value = fromOleDate(days);
                    }
                } else if (lengths[i] > 0) {
                    const QString text = QString::fromUtf8(buffers[i].get(), lengths[i]);
                    if (column->col_type == MDB_INT || column->col_type == MDB_LONGINT)
                        value = text.toInt();
                    else
                        value = text;
                }
                row.insert(QString::fromUtf8(column->name).toUpper(), value);
            }
            rows.append(row);
        }
        mdb_free_tabledef(table);
    }
    mdb_close(mdb);
    return rows;
}

} // namespace vf::test
