// Times the link table (vf::LinkTable) against the same operations on a bare SQLite table
// through the SQLite C API, with the same durability: WAL, synchronous=NORMAL, prepared
// statements. The link table records its pairs as the import run does, by batches of 500: written
// pending in one commit, then settled in another; the bare table inserts each batch in one commit.
// Usage: vf_linktable_bench <folder> [pairs] [lookups]
#include "links/LinkTable.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <cstdio>
#include <random>
#include <vector>

#include <sqlite3.h>

namespace {

void check(int rc, sqlite3* db)
{
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
        std::exit(1);
    }
}

constexpr int kBatch = 500;

struct Timing {
    double recordMs;
    double lookupMs;
    long long checksum;
};

Timing bare(const QString& path, int pairs, const std::vector<int>& keys)
{
    sqlite3* db = nullptr;
    check(sqlite3_open(path.toUtf8().constData(), &db), db);
    check(sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr), db);
    check(sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr), db);
    check(sqlite3_exec(db, "CREATE TABLE T (SOURCE INTEGER PRIMARY KEY, DEST INTEGER NOT NULL)", nullptr, nullptr,
                       nullptr),
          db);
    sqlite3_stmt* insert = nullptr;
    sqlite3_stmt* find = nullptr;
    check(sqlite3_prepare_v2(db, "INSERT INTO T VALUES (?1, ?2)", -1, &insert, nullptr), db);
    check(sqlite3_prepare_v2(db, "SELECT DEST FROM T WHERE SOURCE = ?1", -1, &find, nullptr), db);
    Timing t{};
    QElapsedTimer timer;
    timer.start();
    for (int first = 1; first <= pairs; first += kBatch) {
        check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
        for (int n = first; n < first + kBatch && n <= pairs; ++n) {
            sqlite3_bind_int(insert, 1, n);
            sqlite3_bind_int(insert, 2, n * 2);
            check(sqlite3_step(insert), db);
            sqlite3_reset(insert);
        }
        check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
    }
    t.recordMs = timer.nsecsElapsed() / 1e6;
    timer.restart();
    for (int key : keys) {
        sqlite3_bind_int(find, 1, key);
        if (sqlite3_step(find) == SQLITE_ROW)
            t.checksum += sqlite3_column_int(find, 0);
        sqlite3_reset(find);
    }
    t.lookupMs = timer.nsecsElapsed() / 1e6;
    sqlite3_finalize(insert);
    sqlite3_finalize(find);
    sqlite3_close(db);
    return t;
}

Timing linkTable(const QString& folder, int pairs, const std::vector<int>& keys)
{
    vf::LinkTable table;
    table.open(folder, QStringLiteral("Patients.db"));
    Timing t{};
    QElapsedTimer timer;
    timer.start();
    for (int first = 1; first <= pairs; first += kBatch) {
        QList<vf::PendingPair> batch;
        for (int n = first; n < first + kBatch && n <= pairs; ++n)
            batch.append({n, n * 2, QStringLiteral("PATIENTS"), QStringLiteral("PATIENTS_ID")});
        table.addPending(batch);
        table.settleAll();
    }
    t.recordMs = timer.nsecsElapsed() / 1e6;
    timer.restart();
    for (int key : keys) {
        if (table.find(key))
            t.checksum += table.dest();
    }
    t.lookupMs = timer.nsecsElapsed() / 1e6;
    return t;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: vf_linktable_bench <empty folder> [pairs] [lookups]\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const int pairs = argc > 2 ? std::atoi(argv[2]) : 100000;
    const int lookups = argc > 3 ? std::atoi(argv[3]) : 1000000;
    // Half of the lookups find a pair, half do not, in a random order.
    std::mt19937 random(42);
    std::uniform_int_distribution<int> pick(1, pairs * 2);
    std::vector<int> keys(lookups);
    for (int& k : keys)
        k = pick(random);

    const Timing mine = linkTable(folder, pairs, keys);
    const Timing base = bare(QDir(folder).filePath(QStringLiteral("bare.sqlite")), pairs, keys);
    if (mine.checksum != base.checksum) {
        std::fprintf(stderr, "the two runs found different pairs\n");
        return 1;
    }
    std::printf("%-30s %14s %14s %8s\n", "operation", "link table ms", "bare SQLite ms", "ratio");
    std::printf("%-30s %14.1f %14.1f %8.2f\n", (std::to_string(pairs) + " recorded pairs").c_str(), mine.recordMs,
                base.recordMs, mine.recordMs / base.recordMs);
    std::printf("%-30s %14.1f %14.1f %8.2f\n", (std::to_string(lookups) + " lookups").c_str(), mine.lookupMs,
                base.lookupMs, mine.lookupMs / base.lookupMs);
    return 0;
}
