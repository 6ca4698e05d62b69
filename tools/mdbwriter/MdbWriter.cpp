// Jet 4 file layout written here:
//   page 0   database definition page (its 128-byte region from 0x18 is masked with RC4)
//   page 1   empty data page (room of the global usage map, which readers do not need)
//   page 2   definition of MSysObjects, the catalog
//   then, table after table: the table definition pages, its data pages and long-value pages,
//   and its usage-map pages when the table is large; at the end the catalog rows and the page
//   holding the usage-map rows. Pages are written in order through a large buffer; the
//   definition pages, whose content is known only at the end, are filled in last.
#include "MdbWriter.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

namespace mdbwriter {

namespace {

constexpr std::uint32_t kPageSize = 4096;
constexpr std::uint32_t kRowTableOffset = 14;       // first row offset on data and long-value pages
constexpr std::uint32_t kMaxRowSize = kPageSize - kRowTableOffset - 2;
constexpr int kMaxRowsPerPage = 255;                // a row pointer keeps the row number in one byte
constexpr std::uint32_t kDeletedRowFlag = 0x4000;   // in a row's offset: the row was deleted
constexpr std::uint32_t kTdefColumnsOffset = 63;
constexpr std::uint32_t kTdefColumnEntrySize = 25;
constexpr std::uint32_t kUsageMapRowSize = 64;
constexpr std::uint32_t kPagesPerMapPage = (kPageSize - 4) * 8;
constexpr std::uint32_t kMapPagePointers = (kUsageMapRowSize - 1) / 4;
constexpr std::uint32_t kInlineMemoMax = 1024;      // memo bytes kept inside the row
constexpr std::uint32_t kMemoChunk = kMaxRowSize - 4; // memo bytes per page of a chained memo
constexpr std::uint32_t kMaxMemoBytes = 0xFFFFFF;
constexpr std::size_t kMaxWaitingPages = 4096;      // pages held back behind a page still open
constexpr std::size_t kWriteBufferSize = 8 << 20;
constexpr int kMaxColumns = 255;
constexpr std::size_t kMaxNameLength = 64;
constexpr std::uint32_t kCatalogPage = 2;
constexpr std::uint16_t kGeneralSortOrder = 0x0409;
constexpr std::uint8_t kLongBinaryType = 0x0B;

using Page = std::array<std::uint8_t, kPageSize>;

void put16(std::uint8_t* p, std::uint32_t v)
{
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}

void put32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

void put64(std::uint8_t* p, std::uint64_t v)
{
    put32(p, std::uint32_t(v));
    put32(p + 4, std::uint32_t(v >> 32));
}

void append16(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    out.push_back(std::uint8_t(v));
    out.push_back(std::uint8_t(v >> 8));
}

enum class TextProblem { None, InvalidUtf8, OutsideBmp };

// Appends the UCS-2 (little-endian) form of a UTF-8 text and counts its characters.
TextProblem appendUcs2(std::string_view text, std::vector<std::uint8_t>& out, std::size_t& characters)
{
    characters = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    out.reserve(out.size() + 2 * n);
    std::size_t i = 0;
    while (i < n) {
        unsigned c = s[i];
        if (c < 0x80) {
            out.push_back(std::uint8_t(c));
            out.push_back(0);
            ++i;
        } else {
            unsigned code = 0;
            int more = 0;
            unsigned minimum = 0;
            if ((c & 0xE0) == 0xC0) {
                code = c & 0x1F;
                more = 1;
                minimum = 0x80;
            } else if ((c & 0xF0) == 0xE0) {
                code = c & 0x0F;
                more = 2;
                minimum = 0x800;
            } else if ((c & 0xF8) == 0xF0) {
                return TextProblem::OutsideBmp;
            } else {
                return TextProblem::InvalidUtf8;
            }
            if (i + more >= n)
                return TextProblem::InvalidUtf8;
            for (int k = 1; k <= more; ++k) {
                unsigned cc = s[i + k];
                if ((cc & 0xC0) != 0x80)
                    return TextProblem::InvalidUtf8;
                code = (code << 6) | (cc & 0x3F);
            }
            if (code < minimum || (code >= 0xD800 && code <= 0xDFFF))
                return TextProblem::InvalidUtf8;
            out.push_back(std::uint8_t(code));
            out.push_back(std::uint8_t(code >> 8));
            i += 1 + more;
        }
        ++characters;
    }
    return TextProblem::None;
}

// Readers take a text starting with the bytes FF FE for Jet's compressed form, whose bytes are
// single characters until a 0 byte switches to two-byte characters (and back). A text whose
// first character is U+FEFF is therefore stored in that form. False when a character cannot be
// written in it (its low byte is 0).
bool markCompressed(std::vector<std::uint8_t>& ucs2Text)
{
    std::vector<std::uint8_t> out = {0xFF, 0xFE};
    bool single = true;
    for (std::size_t i = 0; i + 1 < ucs2Text.size(); i += 2) {
        const std::uint8_t low = ucs2Text[i], high = ucs2Text[i + 1];
        if (low == 0)
            return false;
        if (high == 0) {
            if (!single)
                out.push_back(0);
            single = true;
            out.push_back(low);
        } else {
            if (single)
                out.push_back(0);
            single = false;
            out.push_back(low);
            out.push_back(high);
        }
    }
    ucs2Text = std::move(out);
    return true;
}

std::vector<std::uint8_t> ucs2(std::string_view text)
{
    std::vector<std::uint8_t> out;
    std::size_t characters = 0;
    appendUcs2(text, out, characters);
    return out;
}

// Names are compared as Access does, without regard to case.
std::u16string foldedName(std::string_view name)
{
    std::vector<std::uint8_t> bytes;
    std::size_t characters = 0;
    appendUcs2(name, bytes, characters);
    std::u16string folded;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char16_t c = char16_t(bytes[i] | (bytes[i + 1] << 8));
        if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
            c = char16_t(c + 32);
        folded.push_back(c);
    }
    return folded;
}

std::string inQuotes(std::string_view name)
{
    return "\"" + std::string(name) + "\"";
}

std::string describe(const Value& value)
{
    struct Visitor {
        std::string operator()(std::monostate) const { return "null"; }
        std::string operator()(bool b) const { return b ? "true" : "false"; }
        std::string operator()(std::int64_t i) const { return std::to_string(i); }
        std::string operator()(double v) const
        {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, "%.17g", v);
            return buffer;
        }
        std::string operator()(const std::string& s) const
        {
            if (s.size() > 40)
                return inQuotes(s.substr(0, 40) + "...");
            return inQuotes(s);
        }
        std::string operator()(DateTime dt) const
        {
            return "date " + (*this)(dt.days);
        }
    };
    return std::visit(Visitor{}, value);
}

std::int64_t daysFromCivil(int y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + std::int64_t(doe) - 719468;
}

bool isLeap(int y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

struct ColumnLayout {
    int fixedOffset = -1; // offset within the fixed part, or -1
    int varIndex = -1;    // position among the variable columns, or -1
    std::uint16_t storedSize = 0;
};

bool isFixed(ColumnType type)
{
    return type != ColumnType::Text && type != ColumnType::Memo;
}

std::uint16_t fixedSize(ColumnType type)
{
    switch (type) {
    case ColumnType::Byte: return 1;
    case ColumnType::Integer: return 2;
    case ColumnType::Long: return 4;
    case ColumnType::Single: return 4;
    case ColumnType::Double:
    case ColumnType::Currency:
    case ColumnType::DateTime: return 8;
    default: return 0;
    }
}

std::uint8_t jetType(ColumnType type)
{
    switch (type) {
    case ColumnType::Boolean: return 0x01;
    case ColumnType::Byte: return 0x02;
    case ColumnType::Integer: return 0x03;
    case ColumnType::Long: return 0x04;
    case ColumnType::Currency: return 0x05;
    case ColumnType::Single: return 0x06;
    case ColumnType::Double: return 0x07;
    case ColumnType::DateTime: return 0x08;
    case ColumnType::Text: return 0x0A;
    case ColumnType::Memo: return 0x0C;
    }
    return 0;
}

// A data or long-value page being filled: rows grow down from the end of the page.
struct RowPage {
    std::uint32_t number = 0;
    std::unique_ptr<Page> page;
    int rows = 0;
    std::uint32_t top = kPageSize;

    bool isOpen() const { return page != nullptr; }
    bool fits(std::size_t size) const
    {
        return page && rows < kMaxRowsPerPage && top >= kRowTableOffset + 2 * (rows + 1) + size;
    }
    void open(std::uint32_t pageNumber, std::unique_ptr<Page> fresh, std::uint32_t owner, bool longValues)
    {
        number = pageNumber;
        page = std::move(fresh);
        page->fill(0);
        rows = 0;
        top = kPageSize;
        std::uint8_t* p = page->data();
        p[0] = 0x01;
        p[1] = 0x01;
        if (longValues)
            std::memcpy(p + 4, "LVAL", 4);
        else
            put32(p + 4, owner);
    }
    // Returns the row number.
    int add(const std::uint8_t* data, std::size_t size, bool deleted = false)
    {
        top -= std::uint32_t(size);
        std::memcpy(page->data() + top, data, size);
        put16(page->data() + kRowTableOffset + 2 * rows, top | (deleted ? kDeletedRowFlag : 0));
        return rows++;
    }
    std::unique_ptr<Page> close()
    {
        std::uint8_t* p = page->data();
        put16(p + 2, top - (kRowTableOffset + 2 * rows));
        put16(p + 12, std::uint32_t(rows));
        return std::move(page);
    }
};

// Appends pages to the file in page order, holding back pages finished before an earlier one.
class PageFile {
public:
    void open(const std::string& path)
    {
        m_out.open(path, std::ios::binary | std::ios::trunc | std::ios::out);
        if (!m_out)
            throw WriteError("cannot create " + path + ": " + std::strerror(errno));
        m_buffer.reserve(kWriteBufferSize);
    }
    std::uint32_t allocate() { return m_next++; }
    std::uint32_t pageCount() const { return m_next; }
    std::unique_ptr<Page> fresh()
    {
        if (!m_spare.empty()) {
            auto page = std::move(m_spare.back());
            m_spare.pop_back();
            return page;
        }
        return std::make_unique<Page>();
    }
    void complete(std::uint32_t number, std::unique_ptr<Page> page)
    {
        m_waiting.emplace(number, std::move(page));
        while (!m_waiting.empty() && m_waiting.begin()->first == m_flushed) {
            auto node = m_waiting.extract(m_waiting.begin());
            m_buffer.insert(m_buffer.end(), node.mapped()->begin(), node.mapped()->end());
            m_spare.push_back(std::move(node.mapped()));
            ++m_flushed;
            if (m_buffer.size() >= kWriteBufferSize)
                flushBuffer();
        }
    }
    void completeBlank(std::uint32_t number)
    {
        auto page = fresh();
        page->fill(0);
        complete(number, std::move(page));
    }
    std::size_t waiting() const { return m_waiting.size(); }
    void flushBuffer()
    {
        if (m_buffer.empty())
            return;
        m_out.write(reinterpret_cast<const char*>(m_buffer.data()), std::streamsize(m_buffer.size()));
        if (!m_out)
            throw WriteError(std::string("write failed: ") + std::strerror(errno));
        m_buffer.clear();
    }
    // Rewrites a page already written; every page must have been completed.
    void patch(std::uint32_t number, const Page& page)
    {
        flushBuffer();
        m_out.seekp(std::streamoff(number) * kPageSize);
        m_out.write(reinterpret_cast<const char*>(page.data()), kPageSize);
        if (!m_out)
            throw WriteError(std::string("write failed: ") + std::strerror(errno));
    }
    void close()
    {
        flushBuffer();
        m_out.close();
        if (!m_out)
            throw WriteError(std::string("write failed: ") + std::strerror(errno));
    }
    void abandon() { m_out.close(); }

private:
    std::ofstream m_out;
    std::uint32_t m_next = 0;
    std::uint32_t m_flushed = 0;
    std::map<std::uint32_t, std::unique_ptr<Page>> m_waiting;
    std::vector<std::unique_ptr<Page>> m_spare;
    std::vector<std::uint8_t> m_buffer;
};

struct Table {
    std::string name;
    std::vector<Column> columns;
    std::vector<ColumnLayout> layout;
    std::vector<std::vector<std::uint8_t>> columnNames; // UCS-2
    std::vector<std::uint8_t> jetTypes;
    std::uint32_t fixedBytes = 0;
    int variableColumns = 0;
    bool system = false;
    std::vector<std::uint32_t> definitionPages;
    std::vector<std::uint32_t> dataPages;
    std::uint32_t rowCount = 0; // the rows given, deleted ones included
    std::uint32_t deletedRows = 0;
    std::vector<std::uint8_t> usedMap;
    std::vector<std::uint8_t> freeMap;
    std::uint32_t usedMapRow = 0;
    std::uint32_t freeMapRow = 0;
};

std::size_t definitionLength(const Table& table)
{
    std::size_t length = kTdefColumnsOffset + kTdefColumnEntrySize * table.columns.size();
    for (const auto& name : table.columnNames)
        length += 2 + name.size();
    return length;
}

std::size_t definitionPageCount(std::size_t length)
{
    if (length <= kPageSize)
        return 1;
    return 1 + (length - kPageSize + (kPageSize - 8) - 1) / (kPageSize - 8);
}

std::string validateName(std::string_view name)
{
    if (name.empty())
        return "the name is empty";
    std::vector<std::uint8_t> bytes;
    std::size_t characters = 0;
    switch (appendUcs2(name, bytes, characters)) {
    case TextProblem::InvalidUtf8: return "the name is not valid UTF-8";
    case TextProblem::OutsideBmp: return "the name holds a character outside the Basic Multilingual Plane";
    case TextProblem::None: break;
    }
    if (characters > kMaxNameLength)
        return "the name is longer than 64 characters";
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        unsigned c = bytes[i] | (bytes[i + 1] << 8);
        if (c < 0x20 || c == '.' || c == '!' || c == '`' || c == '[' || c == ']')
            return "the name holds a character that Access does not allow (control character, . ! ` [ ])";
    }
    if (name.front() == ' ')
        return "the name starts with a blank";
    return {};
}

} // namespace

std::optional<ColumnType> columnTypeFromName(std::string_view name)
{
    static const std::pair<std::string_view, ColumnType> names[] = {
        {"byte", ColumnType::Byte},         {"integer", ColumnType::Integer},
        {"long", ColumnType::Long},         {"boolean", ColumnType::Boolean},
        {"single", ColumnType::Single},     {"double", ColumnType::Double},
        {"currency", ColumnType::Currency}, {"datetime", ColumnType::DateTime},
        {"text", ColumnType::Text},         {"memo", ColumnType::Memo},
    };
    for (const auto& [text, type] : names)
        if (text == name)
            return type;
    return std::nullopt;
}

std::string_view columnTypeName(ColumnType type)
{
    switch (type) {
    case ColumnType::Byte: return "byte";
    case ColumnType::Integer: return "integer";
    case ColumnType::Long: return "long";
    case ColumnType::Boolean: return "boolean";
    case ColumnType::Single: return "single";
    case ColumnType::Double: return "double";
    case ColumnType::Currency: return "currency";
    case ColumnType::DateTime: return "datetime";
    case ColumnType::Text: return "text";
    case ColumnType::Memo: return "memo";
    }
    return "?";
}

std::optional<double> parseDateTime(std::string_view text)
{
    // YYYY-MM-DDTHH:MM:SS[.m[m[m]]]
    auto digits = [&](std::size_t pos, std::size_t count, int& value) {
        if (pos + count > text.size())
            return false;
        value = 0;
        for (std::size_t i = pos; i < pos + count; ++i) {
            if (text[i] < '0' || text[i] > '9')
                return false;
            value = value * 10 + (text[i] - '0');
        }
        return true;
    };
    int year, month, day, hour, minute, second, millis = 0;
    if (text.size() < 19 || !digits(0, 4, year) || text[4] != '-' || !digits(5, 2, month) || text[7] != '-'
        || !digits(8, 2, day) || text[10] != 'T' || !digits(11, 2, hour) || text[13] != ':'
        || !digits(14, 2, minute) || text[16] != ':' || !digits(17, 2, second))
        return std::nullopt;
    if (text.size() > 19) {
        const std::size_t fraction = text.size() - 20;
        if (text[19] != '.' || fraction < 1 || fraction > 3 || !digits(20, fraction, millis))
            return std::nullopt;
        for (std::size_t i = fraction; i < 3; ++i)
            millis *= 10;
    }
    static const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 100 || month < 1 || month > 12 || day < 1
        || day > monthDays[month - 1] + (month == 2 && isLeap(year) ? 1 : 0) || hour > 23 || minute > 59
        || second > 59)
        return std::nullopt;
    const std::int64_t days = daysFromCivil(year, unsigned(month), unsigned(day)) - daysFromCivil(1899, 12, 30);
    const double time = (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + millis) / 86400000.0;
    return days >= 0 ? double(days) + time : double(days) - time;
}

struct Writer::Impl {
    std::string outputPath;
    std::string temporaryPath;
    PageFile file;
    bool finished = false;
    bool failed = false;

    // A writer that met an error refuses further work: the file would be incomplete.
    template <typename Work>
    void guarded(Work work)
    {
        if (finished)
            throw WriteError("the file is already finished");
        if (failed)
            throw WriteError("the file was abandoned after an earlier error");
        try {
            work();
        } catch (...) {
            failed = true;
            throw;
        }
    }
    std::set<std::u16string> tableNames;
    std::vector<Table> tables; // finished tables
    std::optional<Table> current;
    RowPage dataPage;
    RowPage longValuePage;

    // Reused while encoding a row.
    std::vector<std::vector<std::uint8_t>> variableData;
    std::vector<std::uint8_t> nullMask;
    std::vector<std::uint8_t> row;
    std::vector<int> memoColumns;

    static WriteError cellError(const Table& table, std::size_t column, const std::string& detail)
    {
        return WriteError("table " + inQuotes(table.name) + ", row " + std::to_string(table.rowCount + 1)
                          + ", column " + inQuotes(table.columns[column].name) + ": " + detail);
    }

    [[noreturn]] static void rowError(const Table& table, std::size_t column, const std::string& detail)
    {
        throw cellError(table, column, detail);
    }

    void startTable(const std::string& name, const std::vector<Column>& columns, bool system,
                    std::optional<std::uint32_t> definitionPage)
    {
        endTable();
        const std::string where = "table " + inQuotes(name);
        if (auto problem = validateName(name); !problem.empty())
            throw WriteError(where + ": " + problem);
        if (!system && !tableNames.insert(foldedName(name)).second)
            throw WriteError(where + ": duplicate table name");
        if (columns.empty())
            throw WriteError(where + ": a table needs at least one column");
        if (columns.size() > std::size_t(kMaxColumns))
            throw WriteError(where + ": " + std::to_string(columns.size())
                             + " columns, more than the 255 a table may hold");
        Table table;
        table.name = name;
        table.columns = columns;
        table.system = system;
        std::set<std::u16string> columnNames;
        for (const Column& column : columns) {
            const std::string columnWhere = where + ", column " + inQuotes(column.name);
            if (auto problem = validateName(column.name); !problem.empty())
                throw WriteError(columnWhere + ": " + problem);
            if (!columnNames.insert(foldedName(column.name)).second)
                throw WriteError(columnWhere + ": duplicate column name");
            if (column.type == ColumnType::Text && (column.size < 1 || column.size > 255))
                throw WriteError(columnWhere + ": text size " + std::to_string(column.size)
                                 + " is outside 1 to 255");
            ColumnLayout layout;
            if (isFixed(column.type)) {
                layout.fixedOffset = int(table.fixedBytes);
                layout.storedSize = fixedSize(column.type);
                table.fixedBytes += layout.storedSize;
            } else {
                layout.varIndex = table.variableColumns++;
                layout.storedSize = column.type == ColumnType::Text ? std::uint16_t(2 * column.size) : 0;
            }
            table.layout.push_back(layout);
            table.columnNames.push_back(ucs2(column.name));
            table.jetTypes.push_back(jetType(column.type));
        }
        const std::size_t pages = definitionPageCount(definitionLength(table));
        if (definitionPage) {
            table.definitionPages.push_back(*definitionPage);
        } else {
            for (std::size_t i = 0; i < pages; ++i) {
                const std::uint32_t number = file.allocate();
                file.completeBlank(number);
                table.definitionPages.push_back(number);
            }
        }
        variableData.assign(std::size_t(table.variableColumns), {});
        nullMask.assign((columns.size() + 7) / 8, 0);
        current = std::move(table);
    }

    void closeDataPage()
    {
        if (dataPage.isOpen()) {
            const std::uint32_t number = dataPage.number;
            file.complete(number, dataPage.close());
        }
    }

    void closeLongValuePage()
    {
        if (longValuePage.isOpen()) {
            const std::uint32_t number = longValuePage.number;
            file.complete(number, longValuePage.close());
        }
    }

    std::uint32_t storeLongValueRow(const std::uint8_t* data, std::size_t size)
    {
        if (!longValuePage.fits(size)) {
            closeLongValuePage();
            longValuePage.open(file.allocate(), file.fresh(), 0, true);
        }
        const int rowNumber = longValuePage.add(data, size);
        return (longValuePage.number << 8) | std::uint32_t(rowNumber);
    }

    // Stores a memo outside its row and returns its 12-byte header.
    std::array<std::uint8_t, 12> storeMemo(const std::vector<std::uint8_t>& bytes)
    {
        std::array<std::uint8_t, 12> header{};
        const auto length = std::uint32_t(bytes.size());
        if (length <= kMaxRowSize) {
            put32(header.data(), length | 0x40000000u);
            put32(header.data() + 4, storeLongValueRow(bytes.data(), bytes.size()));
            return header;
        }
        // A chain of records, each starting with the pointer to the next one.
        const std::uint32_t fullChunks = length / kMemoChunk;
        const std::uint32_t remainder = length % kMemoChunk;
        std::uint32_t tail = 0;
        if (remainder) {
            std::vector<std::uint8_t> record(4 + remainder, 0);
            std::memcpy(record.data() + 4, bytes.data() + std::size_t(fullChunks) * kMemoChunk, remainder);
            tail = storeLongValueRow(record.data(), record.size());
        }
        std::vector<std::uint32_t> pages(fullChunks);
        for (auto& page : pages)
            page = file.allocate();
        for (std::uint32_t i = 0; i < fullChunks; ++i) {
            RowPage chunkPage;
            chunkPage.open(pages[i], file.fresh(), 0, true);
            std::array<std::uint8_t, 4> next{};
            put32(next.data(), i + 1 < fullChunks ? pages[i + 1] << 8 : tail);
            std::vector<std::uint8_t> record(4 + kMemoChunk);
            std::memcpy(record.data(), next.data(), 4);
            std::memcpy(record.data() + 4, bytes.data() + std::size_t(i) * kMemoChunk, kMemoChunk);
            chunkPage.add(record.data(), record.size());
            file.complete(pages[i], chunkPage.close());
        }
        put32(header.data(), length);
        put32(header.data() + 4, pages.front() << 8);
        return header;
    }

    void encodeValue(Table& table, std::size_t i, const Value& value, std::uint8_t* fixed)
    {
        const Column& column = table.columns[i];
        const ColumnLayout& layout = table.layout[i];
        const bool isNull = std::holds_alternative<std::monostate>(value);
        if (isNull)
            return;
        auto setPresent = [&] { nullMask[i / 8] |= std::uint8_t(1u << (i % 8)); };
        auto mismatch = [&](const char* expected) {
            return cellError(table, i, std::string("expected ") + expected + " for a " + std::string(columnTypeName(column.type))
                                   + " column, got " + describe(value));
        };
        auto wholeNumber = [&](std::int64_t low, std::int64_t high, const char* expected) -> std::int64_t {
            std::int64_t number = 0;
            if (const auto* integer = std::get_if<std::int64_t>(&value)) {
                number = *integer;
            } else if (const auto* real = std::get_if<double>(&value)) {
                if (!(std::nearbyint(*real) == *real) || std::fabs(*real) > 9.2e18)
                    throw mismatch(expected);
                number = std::int64_t(*real);
            } else {
                throw mismatch(expected);
            }
            if (number < low || number > high)
                rowError(table, i, describe(value) + " is outside " + std::to_string(low) + " to "
                                       + std::to_string(high));
            return number;
        };
        auto realNumber = [&]() -> double {
            if (const auto* integer = std::get_if<std::int64_t>(&value))
                return double(*integer);
            if (const auto* real = std::get_if<double>(&value)) {
                if (!std::isfinite(*real))
                    throw mismatch("a finite number");
                return *real;
            }
            throw mismatch("a number");
        };
        auto text = [&]() -> const std::string& {
            const auto* s = std::get_if<std::string>(&value);
            if (!s)
                throw mismatch("a string");
            return *s;
        };
        std::uint8_t* at = layout.fixedOffset >= 0 ? fixed + layout.fixedOffset : nullptr;
        switch (column.type) {
        case ColumnType::Boolean: {
            bool flag = false;
            if (const auto* b = std::get_if<bool>(&value))
                flag = *b;
            else
                flag = wholeNumber(0, 1, "true, false, 0 or 1") != 0;
            if (flag)
                setPresent();
            return;
        }
        case ColumnType::Byte:
            at[0] = std::uint8_t(wholeNumber(0, 255, "a whole number"));
            break;
        case ColumnType::Integer:
            put16(at, std::uint32_t(wholeNumber(-32768, 32767, "a whole number")));
            break;
        case ColumnType::Long:
            put32(at, std::uint32_t(wholeNumber(INT32_MIN, INT32_MAX, "a whole number")));
            break;
        case ColumnType::Single: {
            const double v = realNumber();
            if (std::fabs(v) > FLT_MAX)
                rowError(table, i, describe(value) + " is too large for a single");
            const float f = float(v);
            std::uint32_t bits;
            std::memcpy(&bits, &f, 4);
            put32(at, bits);
            break;
        }
        case ColumnType::Double: {
            const double v = realNumber();
            std::uint64_t bits;
            std::memcpy(&bits, &v, 8);
            put64(at, bits);
            break;
        }
        case ColumnType::Currency: {
            std::int64_t scaled = 0;
            if (const auto* integer = std::get_if<std::int64_t>(&value)) {
                if (*integer > 922337203685477 || *integer < -922337203685477)
                    rowError(table, i, describe(value) + " is outside the currency range");
                scaled = *integer * 10000;
            } else {
                const double v = realNumber();
                if (std::fabs(v) > 922337203685477.0)
                    rowError(table, i, describe(value) + " is outside the currency range");
                scaled = std::llround(v * 10000.0);
            }
            put64(at, std::uint64_t(scaled));
            break;
        }
        case ColumnType::DateTime: {
            double days = 0;
            if (const auto* dt = std::get_if<DateTime>(&value)) {
                days = dt->days;
                if (!std::isfinite(days) || days < -657434.0 || days >= 2958466.0)
                    rowError(table, i, describe(value) + " is outside the years 100 to 9999");
            } else if (const auto* s = std::get_if<std::string>(&value)) {
                const auto parsed = parseDateTime(*s);
                if (!parsed)
                    rowError(table, i, describe(value)
                                           + " is not a date \"YYYY-MM-DDTHH:MM:SS\" (optional \".mmm\", years 100 to 9999)");
                days = *parsed;
            } else {
                throw mismatch("a date string");
            }
            std::uint64_t bits;
            std::memcpy(&bits, &days, 8);
            put64(at, bits);
            break;
        }
        case ColumnType::Text:
        case ColumnType::Memo: {
            auto& out = variableData[std::size_t(layout.varIndex)];
            std::size_t characters = 0;
            switch (appendUcs2(text(), out, characters)) {
            case TextProblem::InvalidUtf8: rowError(table, i, "the text is not valid UTF-8");
            case TextProblem::OutsideBmp:
                rowError(table, i, "the text holds a character outside the Basic Multilingual Plane");
            case TextProblem::None: break;
            }
            if (out.size() >= 2 && out[0] == 0xFF && out[1] == 0xFE && !markCompressed(out))
                rowError(table, i, "a text starting with U+FEFF cannot hold a character whose low byte is 0 "
                                   "(readers would not read it back)");
            if (column.type == ColumnType::Text && characters > std::size_t(column.size))
                rowError(table, i, "text of " + std::to_string(characters) + " characters is longer than the column size "
                                       + std::to_string(column.size));
            if (column.type == ColumnType::Memo && out.size() > kMaxMemoBytes)
                rowError(table, i, "memo of " + std::to_string(characters)
                                       + " characters is longer than the 8388607 a memo may hold here");
            break;
        }
        }
        setPresent();
    }

    void addRow(std::span<const Value> values, bool deleted = false)
    {
        if (!current)
            throw WriteError("a row was given before any table");
        Table& table = *current;
        if (values.size() != table.columns.size())
            throw WriteError("table " + inQuotes(table.name) + ", row " + std::to_string(table.rowCount + 1) + ": "
                             + std::to_string(values.size()) + " values for " + std::to_string(table.columns.size())
                             + " columns");
        std::fill(nullMask.begin(), nullMask.end(), 0);
        for (auto& data : variableData)
            data.clear();
        row.assign(2 + table.fixedBytes, 0);
        put16(row.data(), std::uint32_t(table.columns.size()));
        memoColumns.clear();
        for (std::size_t i = 0; i < table.columns.size(); ++i) {
            encodeValue(table, i, values[i], row.data() + 2);
            if (table.columns[i].type == ColumnType::Memo && (nullMask[i / 8] & (1u << (i % 8))))
                memoColumns.push_back(int(i));
        }

        if (table.variableColumns == 0) {
            row.insert(row.end(), nullMask.begin(), nullMask.end());
        } else {
            // Memos stay inside the row when short enough and the row still fits a page.
            std::vector<bool> outside(table.columns.size(), false);
            std::size_t size = 2 + table.fixedBytes + 2 * std::size_t(table.variableColumns + 1) + 2 + nullMask.size();
            for (std::size_t i = 0; i < table.columns.size(); ++i) {
                const int v = table.layout[i].varIndex;
                if (v < 0 || !(nullMask[i / 8] & (1u << (i % 8))))
                    continue;
                const std::size_t bytes = variableData[std::size_t(v)].size();
                if (table.columns[i].type == ColumnType::Memo) {
                    outside[i] = bytes > kInlineMemoMax;
                    size += 12 + (outside[i] ? 0 : bytes);
                } else {
                    size += bytes;
                }
            }
            while (size > kMaxRowSize) {
                int largest = -1;
                std::size_t largestBytes = 0;
                for (int i : memoColumns) {
                    const std::size_t bytes = variableData[std::size_t(table.layout[std::size_t(i)].varIndex)].size();
                    if (!outside[std::size_t(i)] && bytes > largestBytes) {
                        largest = i;
                        largestBytes = bytes;
                    }
                }
                if (largest < 0)
                    throw WriteError("table " + inQuotes(table.name) + ", row " + std::to_string(table.rowCount + 1)
                                     + ": the row takes " + std::to_string(size) + " bytes, more than the "
                                     + std::to_string(kMaxRowSize) + " a page holds");
                outside[std::size_t(largest)] = true;
                size -= largestBytes;
            }
            std::vector<std::uint16_t> offsets(std::size_t(table.variableColumns) + 1);
            for (std::size_t i = 0, v = 0; i < table.columns.size(); ++i) {
                const int varIndex = table.layout[i].varIndex;
                if (varIndex < 0)
                    continue;
                offsets[v++] = std::uint16_t(row.size());
                if (!(nullMask[i / 8] & (1u << (i % 8))))
                    continue;
                const auto& data = variableData[std::size_t(varIndex)];
                if (table.columns[i].type == ColumnType::Memo) {
                    if (outside[i]) {
                        const auto header = storeMemo(data);
                        row.insert(row.end(), header.begin(), header.end());
                    } else {
                        std::array<std::uint8_t, 12> header{};
                        put32(header.data(), std::uint32_t(data.size()) | 0x80000000u);
                        row.insert(row.end(), header.begin(), header.end());
                        row.insert(row.end(), data.begin(), data.end());
                    }
                } else {
                    row.insert(row.end(), data.begin(), data.end());
                }
            }
            offsets.back() = std::uint16_t(row.size());
            for (auto it = offsets.rbegin(); it != offsets.rend(); ++it)
                append16(row, *it);
            append16(row, std::uint32_t(table.variableColumns));
            row.insert(row.end(), nullMask.begin(), nullMask.end());
        }
        if (row.size() > kMaxRowSize)
            throw WriteError("table " + inQuotes(table.name) + ", row " + std::to_string(table.rowCount + 1)
                             + ": the row takes " + std::to_string(row.size()) + " bytes, more than the "
                             + std::to_string(kMaxRowSize) + " a page holds");
        if (!dataPage.fits(row.size())) {
            closeDataPage();
            const std::uint32_t number = file.allocate();
            dataPage.open(number, file.fresh(), table.definitionPages.front(), false);
            table.dataPages.push_back(number);
        }
        dataPage.add(row.data(), row.size(), deleted);
        ++table.rowCount;
        if (deleted)
            ++table.deletedRows;
        if (file.waiting() > kMaxWaitingPages) {
            closeDataPage();
            closeLongValuePage();
        }
    }

    void endTable()
    {
        if (!current)
            return;
        closeDataPage();
        closeLongValuePage();
        Table& table = *current;
        table.freeMap.assign(kUsageMapRowSize, 0);
        const auto& pages = table.dataPages;
        if (pages.empty() || pages.back() - pages.front() < (kUsageMapRowSize - 5) * 8) {
            // The bitmap follows the first page it describes.
            auto& map = table.usedMap;
            map.assign(kUsageMapRowSize, 0);
            const std::uint32_t first = pages.empty() ? 0 : pages.front();
            put32(map.data() + 1, first);
            for (std::uint32_t page : pages)
                map[5 + (page - first) / 8] |= std::uint8_t(1u << ((page - first) % 8));
        } else {
            // Large table: the row points to bitmap pages, each covering a fixed range of pages.
            if (pages.back() / kPagesPerMapPage >= kMapPagePointers)
                throw WriteError("table " + inQuotes(table.name) + ": the database would exceed 2 GB");
            auto& map = table.usedMap;
            map.assign(kUsageMapRowSize, 0);
            map[0] = 0x01;
            std::size_t next = 0;
            while (next < pages.size()) {
                const std::uint32_t index = pages[next] / kPagesPerMapPage;
                const std::uint32_t number = file.allocate();
                auto bitmap = file.fresh();
                bitmap->fill(0);
                (*bitmap)[0] = 0x05;
                (*bitmap)[1] = 0x01;
                for (; next < pages.size() && pages[next] / kPagesPerMapPage == index; ++next) {
                    const std::uint32_t bit = pages[next] % kPagesPerMapPage;
                    (*bitmap)[4 + bit / 8] |= std::uint8_t(1u << (bit % 8));
                }
                put32(map.data() + 1 + 4 * index, number);
                file.complete(number, std::move(bitmap));
            }
        }
        table.dataPages.clear();
        table.dataPages.shrink_to_fit();
        tables.push_back(std::move(table));
        current.reset();
    }

    Page definitionPage(const Table& table, std::size_t index, const std::vector<std::uint8_t>& definition) const
    {
        Page page{};
        page[0] = 0x02;
        page[1] = 0x01;
        const std::size_t begin = index == 0 ? 0 : kPageSize + (index - 1) * (kPageSize - 8);
        const std::size_t skip = index == 0 ? 8 : 0;
        const std::size_t count = std::min<std::size_t>(kPageSize - 8, definition.size() - begin - skip);
        std::memcpy(page.data() + 8, definition.data() + begin + skip, count);
        put16(page.data() + 2, std::uint32_t(kPageSize - 8 - count));
        put32(page.data() + 4, index + 1 < table.definitionPages.size() ? table.definitionPages[index + 1] : 0);
        return page;
    }

    std::vector<std::uint8_t> definition(const Table& table) const
    {
        std::vector<std::uint8_t> d(definitionLength(table), 0);
        std::uint8_t* p = d.data();
        put32(p + 8, std::uint32_t(d.size() - 8));
        put32(p + 16, table.rowCount - table.deletedRows);
        p[40] = table.system ? 0x53 : 0x4e;
        put16(p + 41, std::uint32_t(table.columns.size()));
        put16(p + 43, std::uint32_t(table.variableColumns));
        put16(p + 45, std::uint32_t(table.columns.size()));
        put32(p + 55, table.usedMapRow);
        put32(p + 59, table.freeMapRow);
        std::uint8_t* entry = p + kTdefColumnsOffset;
        for (std::size_t i = 0; i < table.columns.size(); ++i, entry += kTdefColumnEntrySize) {
            const Column& column = table.columns[i];
            const ColumnLayout& layout = table.layout[i];
            entry[0] = table.jetTypes[i];
            put16(entry + 5, std::uint32_t(i));
            put16(entry + 7, layout.varIndex >= 0 ? std::uint32_t(layout.varIndex) : 0);
            put16(entry + 9, std::uint32_t(i));
            if (column.type == ColumnType::Text || column.type == ColumnType::Memo)
                put16(entry + 11, kGeneralSortOrder);
            entry[15] = std::uint8_t((isFixed(column.type) ? 0x01 : 0x00) | 0x02);
            put16(entry + 21, layout.fixedOffset >= 0 ? std::uint32_t(layout.fixedOffset) : 0);
            put16(entry + 23, layout.storedSize);
        }
        std::size_t at = kTdefColumnsOffset + kTdefColumnEntrySize * table.columns.size();
        for (const auto& name : table.columnNames) {
            put16(p + at, std::uint32_t(name.size()));
            std::memcpy(p + at + 2, name.data(), name.size());
            at += 2 + name.size();
        }
        return d;
    }

    void writeCatalog()
    {
        const std::vector<Column> columns = {
            {"Id", ColumnType::Long, 0},          {"ParentId", ColumnType::Long, 0},
            {"Name", ColumnType::Text, 128},      {"Type", ColumnType::Integer, 0},
            {"DateCreate", ColumnType::DateTime, 0}, {"DateUpdate", ColumnType::DateTime, 0},
            {"Flags", ColumnType::Long, 0},        {"LvProp", ColumnType::Memo, 0},
        };
        std::vector<Table> users = std::move(tables);
        tables.clear();
        startTable("MSysObjects", columns, true, kCatalogPage);
        current->jetTypes.back() = kLongBinaryType; // the properties column, always null here
        const DateTime created{*parseDateTime("2000-01-01T00:00:00")};
        const std::int64_t systemFlags = std::int32_t(0x80000002u);
        std::vector<Value> values = {std::int64_t(kCatalogPage), std::int64_t(0), std::string("MSysObjects"),
                                     std::int64_t(1), created, created, systemFlags, std::monostate{}};
        addRow(values);
        for (const Table& table : users) {
            values = {std::int64_t(table.definitionPages.front()), std::int64_t(0), table.name, std::int64_t(1),
                      created, created, std::int64_t(0), std::monostate{}};
            addRow(values);
        }
        endTable();
        users.push_back(std::move(tables.back()));
        tables = std::move(users);
    }

    void writeUsageMapRows()
    {
        RowPage page;
        for (Table& table : tables) {
            for (int which = 0; which < 2; ++which) {
                const auto& map = which == 0 ? table.usedMap : table.freeMap;
                if (!page.fits(map.size())) {
                    if (page.isOpen())
                        file.complete(page.number, page.close());
                    page.open(file.allocate(), file.fresh(), 0, false);
                }
                const std::uint32_t pointer = (page.number << 8) | std::uint32_t(page.add(map.data(), map.size()));
                (which == 0 ? table.usedMapRow : table.freeMapRow) = pointer;
            }
        }
        file.complete(page.number, page.close());
    }

    Page headerPage() const
    {
        Page page{};
        page[0] = 0x00;
        page[1] = 0x01;
        std::memcpy(page.data() + 4, "Standard Jet DB", 15);
        page[0x14] = 0x01; // Jet 4
        // Masked region: code page, database key (0: not encrypted), sort order, creation date.
        put16(page.data() + 0x3c, 1252);
        put32(page.data() + 0x3e, 0);
        put16(page.data() + 0x6e, kGeneralSortOrder);
        const double created = *parseDateTime("2000-01-01T00:00:00");
        std::uint64_t bits;
        std::memcpy(&bits, &created, 8);
        put64(page.data() + 0x72, bits);
        rc4Mask(page.data() + 0x18, 128);
        return page;
    }

    static void rc4Mask(std::uint8_t* data, std::size_t length)
    {
        const std::uint8_t key[4] = {0xc7, 0xda, 0x39, 0x6b};
        std::uint8_t state[256];
        for (int i = 0; i < 256; ++i)
            state[i] = std::uint8_t(i);
        std::uint8_t j = 0;
        for (int i = 0; i < 256; ++i) {
            j = std::uint8_t(j + state[i] + key[i % 4]);
            std::swap(state[i], state[j]);
        }
        std::uint8_t x = 0, y = 0;
        for (std::size_t k = 0; k < length; ++k) {
            x = std::uint8_t(x + 1);
            y = std::uint8_t(y + state[x]);
            std::swap(state[x], state[y]);
            data[k] ^= state[std::uint8_t(state[x] + state[y])];
        }
    }

    void finish()
    {
        endTable();
        writeCatalog();
        writeUsageMapRows();
        file.flushBuffer();
        file.patch(0, headerPage());
        RowPage global;
        global.open(1, std::make_unique<Page>(), 0, false);
        file.patch(1, *global.close());
        for (const Table& table : tables) {
            const auto bytes = definition(table);
            for (std::size_t i = 0; i < table.definitionPages.size(); ++i)
                file.patch(table.definitionPages[i], definitionPage(table, i, bytes));
        }
        file.close();
        std::error_code error;
        std::filesystem::rename(temporaryPath, outputPath, error);
        if (error)
            throw WriteError("cannot move " + temporaryPath + " to " + outputPath + ": " + error.message());
        finished = true;
    }
};

Writer::Writer(const std::string& outputPath) : d(std::make_unique<Impl>())
{
    d->outputPath = outputPath;
    d->temporaryPath = outputPath + ".writing";
    d->file.open(d->temporaryPath);
    d->tableNames.insert(foldedName("MSysObjects"));
    for (int i = 0; i < 3; ++i)
        d->file.completeBlank(d->file.allocate());
}

Writer::~Writer()
{
    if (!d->finished) {
        d->file.abandon();
        std::error_code ignored;
        std::filesystem::remove(d->temporaryPath, ignored);
    }
}

void Writer::beginTable(const std::string& name, const std::vector<Column>& columns)
{
    d->guarded([&] { d->startTable(name, columns, false, std::nullopt); });
}

void Writer::addRow(std::span<const Value> values)
{
    d->guarded([&] { d->addRow(values); });
}

void Writer::addDeletedRow(std::span<const Value> values)
{
    d->guarded([&] { d->addRow(values, true); });
}

void Writer::finish()
{
    if (!d->finished)
        d->guarded([&] { d->finish(); });
}

} // namespace mdbwriter
