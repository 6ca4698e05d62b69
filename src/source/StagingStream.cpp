#include "source/StagingStream.h"

#include "source/SqliteHandles.h"

#include "base/Errors.h"

#include <QtEndian>

#include <sqlite3.h>

namespace vf::staging {

namespace {

Error incoherent() { return Error(QStringLiteral("le programme de lecture a renvoyé des données incohérentes")); }

Error databaseError(sqlite3* db)
{
    return Error(QStringLiteral("erreur de la base de travail temporaire : %1").arg(QString::fromUtf8(sqlite3_errmsg(db))));
}

void exec(sqlite3* db, const QString& sql)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &message) != SQLITE_OK) {
        const QString text = QString::fromUtf8(message ? message : sqlite3_errmsg(db));
        sqlite3_free(message);
        throw Error(QStringLiteral("erreur de la base de travail temporaire : %1").arg(text));
    }
}

// The values of one row record, read in place.
class RowCursor {
public:
    RowCursor(const char* data, quint32 length) : m_p(reinterpret_cast<const uchar*>(data)), m_end(m_p + length) {}
    quint8 u8() { return *need(1); }
    quint32 u32() { return qFromLittleEndian<quint32>(need(4)); }
    qint64 i64() { return qFromLittleEndian<qint64>(need(8)); }
    double f64() { return qFromLittleEndian<double>(need(8)); }
    const char* bytes(quint32* length)
    {
        *length = u32();
        return reinterpret_cast<const char*>(need(*length));
    }
    bool atEnd() const { return m_p == m_end; }

private:
    const uchar* need(quint32 n)
    {
        if (static_cast<quint64>(m_end - m_p) < n)
            throw incoherent();
        const uchar* p = m_p;
        m_p += n;
        return p;
    }
    const uchar* m_p;
    const uchar* m_end;
};

int jetCollation(void*, int lengthA, const void* a, int lengthB, const void* b)
{
    return compareJetText(static_cast<const char*>(a), lengthA, static_cast<const char*>(b), lengthB);
}

} // namespace

quint8 StreamReader::u8() { return static_cast<quint8>(*take(1)); }
quint16 StreamReader::u16() { return qFromLittleEndian<quint16>(take(2)); }
quint32 StreamReader::u32() { return qFromLittleEndian<quint32>(take(4)); }

QString StreamReader::text()
{
    const quint32 length = u32();
    const char* p = take(length);
    return QString::fromUtf8(p, static_cast<qsizetype>(length));
}

void StreamReader::fail()
{
    // An error record: the reader explains what it could not read. One that explains nothing
    // is not the reader's.
    const QString message = text();
    if (message.trimmed().isEmpty())
        throw incoherent();
    throw Error(message);
}

const char* StreamReader::take(quint32 n)
{
    if (m_pos > (1 << 20) && m_pos * 2 > m_buffer.size()) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    if (m_buffer.size() - m_pos < static_cast<qsizetype>(n))
        fill(n);
    const char* p = m_buffer.constData() + m_pos;
    m_pos += n;
    return p;
}

BufferStreamReader::BufferStreamReader(const QByteArray& bytes, const QString& what) : m_what(what) { m_buffer = bytes; }

void BufferStreamReader::fill(quint32)
{
    throw Error(QStringLiteral("le programme de lecture s'est arrêté anormalement (code 0) pendant la lecture %1 : "
                               "le fichier est probablement endommagé").arg(m_what));
}

QList<TableInfo> readCatalogue(StreamReader& in)
{
    QList<TableInfo> tables;
    for (;;) {
        const char tag = in.tag();
        if (tag == EndRecord)
            return tables;
        if (tag == ErrorRecord)
            in.fail();
        if (tag != TableRecord)
            throw incoherent();
        TableInfo table;
        table.name = in.text();
        table.rowCount = in.u32();
        const int columns = in.u16();
        for (int i = 0; i < columns; ++i) {
            ColumnInfo column;
            column.name = in.text();
            column.type = static_cast<JetType>(in.u8());
            table.columns.append(column);
        }
        tables.append(table);
    }
}

void copyTable(StreamReader& in, sqlite3* db, const QString& tableName)
{
    char tag = in.tag();
    if (tag == ErrorRecord)
        in.fail();
    if (tag != HeaderRecord)
        throw incoherent();
    const int columnCount = in.u16();
    QStringList definitions;
    for (int i = 0; i < columnCount; ++i) {
        const QString name = in.text();
        const auto type = static_cast<JetType>(in.u8());
        definitions.append(quoteIdentifier(name) + QLatin1Char(' ') + StagingDatabase::declaredType(type));
    }
    in.u32(); // the recorded row count: the reader itself checks it against the rows read

    exec(db, QStringLiteral("BEGIN"));
    SqliteStatement statement;
    try {
        exec(db, QStringLiteral("CREATE TABLE %1 (%2)").arg(quoteIdentifier(tableName), definitions.join(QStringLiteral(", "))));
        QStringList placeholders;
        for (int i = 0; i < columnCount; ++i)
            placeholders.append(QStringLiteral("?"));
        const QByteArray insertSql = QStringLiteral("INSERT INTO %1 VALUES (%2)")
                                         .arg(quoteIdentifier(tableName), placeholders.join(QLatin1Char(',')))
                                         .toUtf8();
        if (columnCount > 0 && !(statement = prepareSqlite(db, insertSql.constData())))
            throw databaseError(db);
        sqlite3_stmt* const insert = statement.get();
        for (;;) {
            tag = in.tag();
            if (tag == EndRecord) {
                in.u32();
                break;
            }
            if (tag == ErrorRecord)
                in.fail();
            if (tag != RowRecord)
                throw incoherent();
            // The row stays in the reader's buffer until the statement has run: bound in place.
            const quint32 rowLength = in.u32();
            RowCursor row(in.block(rowLength), rowLength);
            for (int i = 1; i <= columnCount; ++i) {
                const quint8 valueTag = row.u8();
                int rc = SQLITE_OK;
                switch (valueTag) {
                case NullValue:
                    rc = sqlite3_bind_null(insert, i);
                    break;
                case IntegerValue:
                    rc = sqlite3_bind_int64(insert, i, row.i64());
                    break;
                case BooleanValue:
                    rc = sqlite3_bind_int(insert, i, row.u8() ? 1 : 0);
                    break;
                case DoubleValue:
                    rc = sqlite3_bind_double(insert, i, row.f64());
                    break;
                case CurrencyValue:
                    rc = sqlite3_bind_double(insert, i, static_cast<double>(row.i64()) / 10000.0);
                    break;
                case OleDateValue: {
                    // A value that is no date of the years 100 to 9999 is kept as its number
                    // written out, in a blob: no reading takes it for a date, where a null would
                    // read as the zero date.
                    const double days = row.f64();
                    qint64 ms = 0;
                    if (oleToMilliseconds(days, &ms)) {
                        rc = sqlite3_bind_int64(insert, i, ms);
                    } else {
                        const QByteArray number = QByteArray::number(days, 'g', 17);
                        rc = sqlite3_bind_blob64(insert, i, number.constData(), sqlite3_uint64(number.size()), SQLITE_TRANSIENT);
                    }
                    break;
                }
                case TextValue:
                case BinaryValue: {
                    quint32 length = 0;
                    const char* p = row.bytes(&length);
                    rc = valueTag == TextValue ? sqlite3_bind_text64(insert, i, p, length, SQLITE_STATIC, SQLITE_UTF8)
                                               : sqlite3_bind_blob64(insert, i, p, length, SQLITE_STATIC);
                    break;
                }
                default:
                    throw incoherent();
                }
                if (rc != SQLITE_OK)
                    throw databaseError(db);
            }
            if (!row.atEnd())
                throw incoherent();
            if (columnCount > 0) {
                if (sqlite3_step(insert) != SQLITE_DONE)
                    throw databaseError(db);
                sqlite3_reset(insert);
            }
        }
        in.finish();
        statement.reset();
        exec(db, QStringLiteral("COMMIT"));
    } catch (...) {
        statement.reset();
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void addJetCollation(sqlite3* db) { sqlite3_create_collation_v2(db, kJetCollation, SQLITE_UTF8, nullptr, jetCollation, nullptr); }

} // namespace vf::staging
