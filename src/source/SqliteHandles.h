#pragma once

#include <memory>

#include <sqlite3.h>

namespace vf {

// SQLite handles that close or finalize themselves.
struct SqliteClose {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct SqliteFinalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using SqliteDatabase = std::unique_ptr<sqlite3, SqliteClose>;
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalize>;

// Prepares a statement; null (with the database's error set) when it cannot be.
inline SqliteStatement prepareSqlite(sqlite3* db, const char* sql, int length = -1)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, length, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return nullptr;
    }
    return SqliteStatement(statement);
}

} // namespace vf
