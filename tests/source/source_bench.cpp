// source-bench ROWS FOLDER: the figures of the source connection on a table of ROWS detail rows
// written by the Access file writer. Prints the time mdb-export takes to read the table, the time
// to open and read it through the connection, the mean time of 100,000 parameterised detail
// lookups, and the peak memory of the program and of its child processes.

#include "source/SourceConnection.h"

#include "mdbwriter/MdbWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>

#include <cstdio>
#include <sys/resource.h>

namespace {

const char* const kTable = "CON SOUS CONSULTATION";

void writeTable(const QString& path, int rows)
{
    mdbwriter::Writer writer(path.toStdString());
    writer.beginTable(kTable, {{"CodeLigne", mdbwriter::ColumnType::Long},
                               {"CodeTitre", mdbwriter::ColumnType::Long},
                               {"niveau", mdbwriter::ColumnType::Integer},
                               {"DONNEES", mdbwriter::ColumnType::Memo},
                               {"DATE", mdbwriter::ColumnType::DateTime}});
    std::vector<mdbwriter::Value> row(5);
    for (int i = 0; i < rows; ++i) {
        row[0] = std::int64_t(i + 1);
        row[1] = std::int64_t(i / 3 + 1);
        row[2] = std::int64_t(i % 4);
        row[3] = std::string("Examen clinique : tension 12/8, pouls régulier. Ligne ") + std::to_string(i);
        row[4] = mdbwriter::DateTime{36000.0 + i / 1000.0};
        writer.addRow(row);
    }
    writer.finish();
}

double peakMegabytes(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_maxrss / 1024.0; // kilobytes on Linux
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: source-bench ROWS FOLDER\n");
        return 2;
    }
    const int rows = QString::fromLocal8Bit(argv[1]).toInt();
    const QString path = QDir(QString::fromLocal8Bit(argv[2])).filePath(QStringLiteral("bench-source.mdb"));
    if (!QFileInfo::exists(path)) {
        std::printf("writing %d rows to %s\n", rows, qPrintable(path));
        writeTable(path, rows);
    }

    QElapsedTimer timer;
    timer.start();
    QProcess exporter;
    exporter.setStandardOutputFile(QProcess::nullDevice());
    exporter.start(QStringLiteral("mdb-export"), {path, QString::fromUtf8(kTable)});
    exporter.waitForFinished(-1);
    const double exportSeconds = timer.nsecsElapsed() / 1e9;
    std::printf("mdb-export of %d rows to /dev/null:            %8.2f s\n", rows, exportSeconds);

    vf::SourceConnection connection;
    timer.restart();
    connection.open(path);
    vf::SourceQuery all(connection, QStringLiteral("SELECT * FROM [%1]").arg(QString::fromUtf8(kTable)));
    all.open();
    const double stagingSeconds = timer.nsecsElapsed() / 1e9;
    qint64 checksum = 0;
    int read = 0;
    for (; !all.eof(); all.next(), ++read) {
        checksum += all.intValue(QStringLiteral("CodeLigne"));
        checksum += all.textValue(QStringLiteral("DONNEES")).size();
        checksum += all.dateTimeValue(QStringLiteral("DATE")).date().day();
        checksum += all.intValue(QStringLiteral("niveau"));
    }
    all.close();
    const double readSeconds = timer.nsecsElapsed() / 1e9;
    std::printf("open and read every row through the connection: %8.2f s  (%d rows, %.2f x mdb-export; target <= 2)\n",
                readSeconds, read, readSeconds / exportSeconds);
    std::printf("  of which opening (copy into the staging file): %8.2f s\n", stagingSeconds);
    std::printf("  peak memory so far:                           %8.1f MB\n", peakMegabytes(RUSAGE_SELF));

    const int lookups = 100000;
    vf::SourceQuery detail(connection, QStringLiteral("SELECT * FROM [%1] WHERE [CodeTitre]=:codetitre ORDER BY CodeLigne")
                                           .arg(QString::fromUtf8(kTable)));
    QRandomGenerator random(7);
    const int titles = rows / 3;
    timer.restart();
    for (int i = 0; i < lookups; ++i) {
        detail.setParam(QStringLiteral("codetitre"), static_cast<int>(random.bounded(titles)) + 1);
        detail.open();
        for (; !detail.eof(); detail.next())
            checksum += detail.textValue(QStringLiteral("DONNEES")).size() + detail.intValue(QStringLiteral("niveau"));
        detail.close();
    }
    const double lookupMicros = timer.nsecsElapsed() / 1e3 / lookups;
    std::printf("parameterised detail lookup (mean of %d):      %8.2f us  (target <= 20)\n", lookups, lookupMicros);
    connection.close();
    std::printf("peak memory of the program:                     %8.1f MB  (target <= 200)\n", peakMegabytes(RUSAGE_SELF));
    std::printf("peak memory of a child (the reader, mdb-export): %7.1f MB\n", peakMegabytes(RUSAGE_CHILDREN));
    std::printf("(checksum %lld)\n", static_cast<long long>(checksum));
    return 0;
}
