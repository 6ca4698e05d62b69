#include "SourceTestSupport.h"

#include "source/SourceConnection.h"

#include <QDateTime>
#include <QProcess>
#include <QTest>

#include <sqlite3.h>

#include <cmath>

namespace sourcetest {

QByteArray runTool(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(program), process.readAllStandardError().constData());
        return QByteArray();
    }
    return process.readAllStandardOutput();
}

sqlite3* referenceDatabase(const QString& mdbPath, const QStringList& tables)
{
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    const QString format = QStringLiteral("%Y-%m-%d %H:%M:%S");
    for (const QString& table : tables) {
        QByteArray sql = runTool(QStringLiteral("mdb-schema"), {QStringLiteral("-T"), table, mdbPath, QStringLiteral("sqlite")});
        sql += runTool(QStringLiteral("mdb-export"), {QStringLiteral("-I"), QStringLiteral("sqlite"), QStringLiteral("-D"), format,
                                                      QStringLiteral("-T"), format, QStringLiteral("-b"), QStringLiteral("hex"),
                                                      mdbPath, table});
        char* error = nullptr;
        if (sqlite3_exec(db, sql.constData(), nullptr, nullptr, &error) != SQLITE_OK) {
            qWarning("reference table %s: %s", qPrintable(table), error);
            sqlite3_free(error);
        }
    }
    return db;
}

namespace {

QString describe(const QVariant& v) { return v.isNull() ? QStringLiteral("NULL") : v.toString(); }

// Empty when the connection's value equals what mdb-export printed for it.
QString compareValue(const QVariant& mine, sqlite3_stmt* ref, int column)
{
    const int type = sqlite3_column_type(ref, column);
    const QString refText = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(ref, column)),
                                              sqlite3_column_bytes(ref, column));
    if (type == SQLITE_NULL)
        return mine.isNull() ? QString() : QStringLiteral("expected NULL, got %1").arg(describe(mine));
    if (mine.isNull())
        return QStringLiteral("expected %1, got NULL").arg(refText);
    switch (mine.typeId()) {
    case QMetaType::QString:
        return mine.toString() == refText ? QString() : QStringLiteral("expected \"%1\", got \"%2\"").arg(refText, mine.toString());
    case QMetaType::Double: {
        const double a = mine.toDouble();
        const double b = sqlite3_column_double(ref, column);
        return std::fabs(a - b) <= 1e-6 * std::max(1.0, std::fabs(b)) ? QString()
                                                                        : QStringLiteral("expected %1, got %2").arg(b).arg(a);
    }
    case QMetaType::QDateTime: {
        const QString text = mine.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        return text == refText ? QString() : QStringLiteral("expected %1, got %2").arg(refText, text);
    }
    case QMetaType::QByteArray: {
        const QByteArray bytes(static_cast<const char*>(sqlite3_column_blob(ref, column)), sqlite3_column_bytes(ref, column));
        return bytes == mine.toByteArray() ? QString() : QStringLiteral("binary values differ (%1 and %2 bytes)").arg(bytes.size()).arg(mine.toByteArray().size());
    }
    case QMetaType::Bool:
        return (mine.toBool() ? 1 : 0) == sqlite3_column_int(ref, column) ? QString() : QStringLiteral("boolean differs");
    default:
        return mine.toLongLong() == sqlite3_column_int64(ref, column)
            ? QString()
            : QStringLiteral("expected %1, got %2").arg(refText, mine.toString());
    }
}

} // namespace

QString compareRows(vf::SourceQuery& query, sqlite3* reference, const QString& sql, const QList<QPair<QString, QVariant>>& params)
{
    sqlite3_stmt* ref = nullptr;
    if (sqlite3_prepare_v2(reference, sql.toUtf8().constData(), -1, &ref, nullptr) != SQLITE_OK)
        return QStringLiteral("reference statement: %1").arg(QString::fromUtf8(sqlite3_errmsg(reference)));
    for (const auto& [name, value] : params) {
        const int index = sqlite3_bind_parameter_index(ref, (QLatin1Char(':') + name).toUtf8().constData());
        if (value.typeId() == QMetaType::QString)
            sqlite3_bind_text(ref, index, value.toString().toUtf8().constData(), -1, SQLITE_TRANSIENT);
        else
            sqlite3_bind_int64(ref, index, value.toLongLong());
    }
    QString difference;
    int row = 0;
    while (difference.isEmpty()) {
        const int rc = sqlite3_step(ref);
        if (rc != SQLITE_ROW) {
            if (!query.eof())
                difference = QStringLiteral("row %1: more rows than the reference").arg(row);
            break;
        }
        if (query.eof()) {
            difference = QStringLiteral("row %1: fewer rows than the reference").arg(row);
            break;
        }
        for (int c = 0; c < sqlite3_column_count(ref) && difference.isEmpty(); ++c) {
            const QString name = QString::fromUtf8(sqlite3_column_name(ref, c));
            const QString d = compareValue(query.value(c), ref, c);
            if (!d.isEmpty())
                difference = QStringLiteral("row %1, column %2: %3").arg(row).arg(name, d);
        }
        query.next();
        ++row;
    }
    sqlite3_finalize(ref);
    return difference;
}

} // namespace sourcetest
