// The real staging reader (velquor-fusion-stage), libmdb included, on each input taken as an
// Access file, and the program's reaction: every table is copied or refused with a clear message;
// whatever the reader does (a crash, garbage, silence), the program neither crashes nor hangs.
#include "base/Errors.h"
#include "source/SourceConnection.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <memory>

using namespace vf;

namespace {

QCoreApplication* g_application = nullptr; // lives until the process ends
std::unique_ptr<QTemporaryDir> g_folder;

void checkMessage(const Error& error)
{
    // The stream of the real reader is never incoherent: a reader that stops half-way is
    // reported as stopped.
    const QString message = error.message();
    if (message.isEmpty() || message.contains(QStringLiteral("incohérentes")))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static int applicationArgc = 1;
    g_application = new QCoreApplication(applicationArgc, *argv);
    (void)argc;
    // In memory where the system has it: the file and its staging copy are written for every input.
    const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    g_folder = std::make_unique<QTemporaryDir>(base + QStringLiteral("/fuzz-stage-XXXXXX"));
    if (!g_folder->isValid())
        std::abort();
    qputenv("TMPDIR", g_folder->path().toLocal8Bit()); // staging folders go there
    SourceConnection::setStagingTimeout(5000);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString path = QDir(g_folder->path()).filePath(QStringLiteral("V3.mdb"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) != static_cast<qint64>(size))
            std::abort();
    }
    try {
        SourceConnection connection;
        connection.open(path);
        for (const QString& table : connection.tableNames()) {
            try {
                SourceQuery query(connection, QStringLiteral("SELECT * FROM [%1]").arg(table));
                query.open();
                for (; !query.eof(); query.next())
                    query.value(0);
            } catch (const Error& error) {
                checkMessage(error);
            }
        }
    } catch (const Error& error) {
        checkMessage(error);
    }
    return 0;
}
