#include "commands/ExportCommand.h"

#include "commands/TerminalText.h"

#include "base/Errors.h"
#include "source/SourceConnection.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>

#include <clocale>
#include <cstdio>

namespace vf {

namespace {

// One CSV field: quoted when it holds a separator, a quote or a line break, and always for an
// empty text, so that it differs from a null.
QByteArray csvField(const QVariant& value)
{
    if (value.isNull())
        return QByteArray();
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool() ? QByteArrayLiteral("1") : QByteArrayLiteral("0");
    case QMetaType::Int:
    case QMetaType::LongLong:
        return QByteArray::number(value.toLongLong());
    case QMetaType::Double:
        return QLocale::c().toString(value.toDouble(), 'f', QLocale::FloatingPointShortest).toUtf8();
    case QMetaType::QDateTime:
        return value.toDateTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")).toUtf8();
    case QMetaType::QByteArray:
        return QByteArrayLiteral("0x") + value.toByteArray().toHex();
    default:
        break;
    }
    QByteArray text = value.toString().toUtf8();
    if (text.isEmpty() || text.contains(',') || text.contains('"') || text.contains('\r') || text.contains('\n')) {
        text.replace('"', QByteArrayLiteral("\"\""));
        text = '"' + text + '"';
    }
    return text;
}

bool writeOut(const QByteArray& bytes)
{
    return std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout) == static_cast<size_t>(bytes.size());
}

} // namespace

int runExportCommand(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 4) {
        printLine(stderr, QStringLiteral("Utilisation : velquor-fusion --export FICHIER.mdb TABLE"));
        return 64;
    }
    const QString path = arguments[2];
    const QString table = arguments[3];

    SourceConnection connection;
    try {
        connection.open(path);
    } catch (const Error& e) {
        const QString message = QStringLiteral("Connexion à la base de données Access [%1] impossible : %2").arg(path, e.message());
        printLine(stderr, message);
        return 1;
    }
    try {
        if (table.contains(QLatin1Char(']')))
            throw Error(QStringLiteral("la table [%1] n'existe pas dans la base Access").arg(table));
        SourceQuery query(connection, QStringLiteral("SELECT * FROM [%1]").arg(table));
        query.open();
        const int columns = query.columnCount();
        QByteArray line;
        for (int i = 0; i < columns; ++i) {
            if (i)
                line += ',';
            line += csvField(query.columnName(i));
        }
        line += "\r\n";
        bool written = writeOut(line);
        for (; written && !query.eof(); query.next()) {
            line.clear();
            for (int i = 0; i < columns; ++i) {
                if (i)
                    line += ',';
                line += csvField(query.value(i));
            }
            line += "\r\n";
            written = writeOut(line);
        }
        if (!written || std::fflush(stdout) != 0) {
            printLine(stderr, QStringLiteral("Écriture de la table [%1] impossible : la sortie est refusée").arg(table));
            return 1;
        }
    } catch (const Error& e) {
        const QString message = QStringLiteral("Lecture de la table [%1] impossible : %2").arg(table, e.message());
        printLine(stderr, message);
        return 1;
    }
    return 0;
}

} // namespace vf
