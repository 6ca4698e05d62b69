// Writes Access 2000 (Jet 4) database files: tables of plain columns and their rows, without
// indexes, queries or relationships. Used to build source databases for tests, demos and benchmarks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace mdbwriter {

// Bad input or a failed write. The message names the table, the row (counted from 1) and the column.
struct WriteError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class ColumnType { Byte, Integer, Long, Boolean, Single, Double, Currency, DateTime, Text, Memo };

// "byte", "integer", "long", "boolean", "single", "double", "currency", "datetime", "text", "memo".
std::optional<ColumnType> columnTypeFromName(std::string_view name);
std::string_view columnTypeName(ColumnType type);

struct Column {
    std::string name;
    ColumnType type = ColumnType::Text;
    int size = 255; // maximum number of characters, text columns only (1 to 255)
};

// A date and time as Jet stores it: days since 30 December 1899; before that day the fraction is
// still the time of day, counted forward (29 December 1899 06:00 is -1.25).
struct DateTime {
    double days = 0;
};

// A column value. std::monostate is null. Integers suit every numeric column and booleans (0 or 1);
// doubles suit single, double and currency (and whole numbers for the integer types); strings are
// UTF-8 and suit text, memo and datetime ("YYYY-MM-DDTHH:MM:SS" with an optional ".mmm").
using Value = std::variant<std::monostate, bool, std::int64_t, double, std::string, DateTime>;

// Parses "YYYY-MM-DDTHH:MM:SS[.mmm]" (years 100 to 9999) into Jet's day count.
std::optional<double> parseDateTime(std::string_view text);

// Streams tables into a new file. The file is written under a temporary name next to outputPath
// and renamed by finish(); a writer destroyed before finish() leaves no file. After a WriteError the
// writer refuses further calls: destroy it.
class Writer {
public:
    explicit Writer(const std::string& outputPath);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Starts a table; the previous one is complete. Throws WriteError on a bad definition
    // (name, duplicate, no columns or more than 255, unknown size).
    void beginTable(const std::string& name, const std::vector<Column>& columns);
    // Appends a row to the current table; values.size() must equal the number of columns.
    void addRow(std::span<const Value> values);
    // Appends a row as Access leaves a deleted one until the file is compacted: stored on its data
    // page, its offset flagged deleted, and not counted in the table's row count.
    void addDeletedRow(std::span<const Value> values);
    // Writes the catalog and the table definitions, and moves the file to outputPath.
    void finish();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Writes the database described by jsonText:
// {"tables": [{"name": "...", "columns": [{"name": "...", "type": "text", "size": 50}, ...],
//              "rows": [[value, ...], ...]}, ...]}
// Throws WriteError on bad input; no file is then left at outputPath.
void writeFromJson(const std::string& jsonText, const std::string& outputPath);

} // namespace mdbwriter
