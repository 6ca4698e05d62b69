#pragma once

// The part of the staging reader that works on the bytes of the file's pages without libmdb:
// the checks of data and long-value pages, the reading of long values, and the encoding of rows
// into the stream of StagingProtocol.h. libmdb finds the tables, their columns and the
// fields of each row; whatever it hands over is checked here before a byte of a page is read.

#include "stage/StagingProtocol.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace vf::stage {

// A failure that the reader explains to the program, in French.
struct ReadError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string bracketed(std::string_view name);

struct PageFormat {
    int pageSize = 4096;
    int rowCountOffset = 12; // the row count of a data page; the row offsets follow it
};

// The checks made on the file's size, before libmdb opens it and once its page size is known.
void checkFileSize(long long size);
long long checkedPageCount(long long size, int pageSize);

// The file's pages by number, each PageFormat::pageSize bytes, valid until the next call.
class PageSource {
public:
    virtual ~PageSource() = default;
    virtual const unsigned char* page(std::uint32_t number) = 0; // throws ReadError
};

// The data pages that a table's usage map names, in increasing order, page 0 never. A map of
// type 0 holds its bitmap itself; one of type 1 names the pages that hold the bitmaps, each read
// once from `pages`. Throws ReadError naming the table when the map cannot be read or names a
// page at or beyond pageCount, or out of order.
std::vector<std::uint32_t> usageMapPages(const unsigned char* map, std::size_t mapSize, const PageFormat& format,
                                         long long pageCount, PageSource& pages, const std::string& tableName);

struct RowSlot {
    int start = 0;
    int length = 0;
    bool deleted = false;
};

// Where row `row` of a data or long-value page lies; false when its offsets point outside the page.
bool findRow(const unsigned char* page, const PageFormat& format, int row, RowSlot* slot);

// The rows of a data page of the table defined on page tablePage that hold a record; none when the
// page is not one of that table's data pages. Throws ReadError when the row table overflows the page.
std::vector<RowSlot> dataPageRows(const unsigned char* page, const PageFormat& format, std::uint32_t tablePage,
                                  const std::string& tableName, std::uint32_t pageNumber);

// The stream written to the program. A row is gathered whole, then sent as 'R', its length and its
// values, so that the reading side can take it in one piece.
class StreamWriter {
public:
    void tag(char t) { put(&t, 1); }
    void u8(std::uint8_t v) { put(&v, 1); }
    void u16(std::uint16_t v);
    void u32(std::uint32_t v);
    void i64(std::int64_t v);
    void f64(double d);
    void bytes(std::string_view s);
    void beginRow();
    void endRow();
    void dropRow() { m_capturing = false; }
    // The bytes not yet sent; the caller sends them and clears it.
    std::string& pending() { return m_out; }

private:
    void put(const void* p, std::size_t n);
    std::string m_out;
    std::string m_row;
    bool m_capturing = false;
};

struct ColumnDesc {
    std::string name;
    std::uint8_t type = staging::JetText;
    int scale = 0;
    int precision = 0;
};

// One field of a row as libmdb cracks it: its column, and where its bytes lie on the page.
struct FieldSlice {
    int column = -1;
    int start = 0;
    int size = 0;
    bool isNull = true;
};

// The conversions that libmdb makes for the reader.
class ValueText {
public:
    virtual ~ValueText() = default;
    virtual std::string_view text(const char* bytes, std::size_t length) = 0; // the file's text as UTF-8
    virtual std::string guid(const unsigned char* page, int start) = 0;      // 16 bytes at start
    virtual std::string numeric(const unsigned char* page, int start, int scale, int precision) = 0; // 17 bytes
};

// Encodes the rows of one table. Memo and OLE values are read whole from the long-value pages,
// each chain followed no further than the length its value declares, never twice through the same
// row, every row of it adding to the value; the long values of one table together hold no more
// bytes than the file, so that values sharing their pages, which an honest file never does, cannot
// multiply its size.
class RowEncoder {
public:
    RowEncoder(std::string tableName, std::vector<ColumnDesc> columns, const PageFormat& format, long long fileSize,
               PageSource& pages, ValueText& text);

    // The table's header record: its columns and its recorded row count.
    void header(StreamWriter& out, std::uint32_t rowCount) const;
    // One row record from the fields of a row on `page`, in any order, each column at most once.
    void encodeRow(const unsigned char* page, const std::vector<FieldSlice>& fields, StreamWriter& out);

private:
    void encodeValue(const ColumnDesc& column, const unsigned char* page, const FieldSlice* field, StreamWriter& out);
    void readLong(const unsigned char* p, int size);
    void takeFromBudget(std::size_t bytes);
    [[noreturn]] void damagedValue() const;

    std::string m_name; // bracketed
    std::vector<ColumnDesc> m_columns;
    PageFormat m_format;
    long long m_fileSize;
    long long m_pageCount;
    PageSource& m_pages;
    ValueText& m_text;
    std::vector<const FieldSlice*> m_byColumn;
    std::string m_long;
    std::uint64_t m_longBudget;
    std::unordered_set<std::uint32_t> m_visited;
};

} // namespace vf::stage
