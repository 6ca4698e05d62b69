// The program's decoder of the staging reader's stream on arbitrary bytes, as if a reader had
// written them and exited: the catalogue, and a table copied into a staging database. Either the
// copy is made, or an error with a message is thrown and nothing of the table is left.
#include "base/Errors.h"
#include "source/StagingStream.h"

#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>

using namespace vf;
using namespace vf::staging;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

int count(sqlite3* db, const char* sql)
{
    sqlite3_stmt* statement = nullptr;
    check(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK);
    check(sqlite3_step(statement) == SQLITE_ROW);
    const int n = sqlite3_column_int(statement, 0);
    sqlite3_finalize(statement);
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    try {
        BufferStreamReader catalogue(bytes, QStringLiteral("du catalogue"));
        readCatalogue(catalogue);
    } catch (const Error& error) {
        check(!error.message().isEmpty());
    }

    sqlite3* db = nullptr;
    check(sqlite3_open(":memory:", &db) == SQLITE_OK);
    addJetCollation(db);
    BufferStreamReader table(bytes, QStringLiteral("de la table [T]"));
    bool copied = true;
    try {
        copyTable(table, db, QStringLiteral("T"));
    } catch (const Error& error) {
        copied = false;
        check(!error.message().isEmpty());
    }
    check(count(db, "SELECT count(*) FROM sqlite_master") == (copied ? 1 : 0));
    if (copied) {
        // Staged text is compared as Jet compares it, whatever bytes it holds.
        sqlite3_exec(db, "SELECT * FROM \"T\" ORDER BY 1, 2", nullptr, nullptr, nullptr);
    }
    sqlite3_close(db);
    return 0;
}
