// The staging reader's own checks and encoding (src/stage/PageReader.h) on arbitrary bytes taken as
// an Access file, without libmdb. Every page that calls itself a data page has its rows found;
// each row is cut into fields by its first bytes, as libmdb might hand them over whatever they
// say, one field per column of every type; long values are followed through the file's pages.
// A row is either refused with a message or encoded into a well-formed row record. The first
// bytes are also read as a usage map.
#include "stage/PageReader.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace vf::stage;
using namespace vf::staging;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

class MemoryPages : public PageSource {
public:
    MemoryPages(const std::vector<unsigned char>& image, int pageSize) : m_image(image), m_pageSize(pageSize) {}
    const unsigned char* page(std::uint32_t number) override
    {
        if ((static_cast<std::size_t>(number) + 1) * m_pageSize > m_image.size())
            throw ReadError("page absente");
        return m_image.data() + static_cast<std::size_t>(number) * m_pageSize;
    }

private:
    const std::vector<unsigned char>& m_image;
    std::size_t m_pageSize;
};

// Stand-ins for libmdb's conversions, which are not ours to fuzz here.
class PlainText : public ValueText {
public:
    std::string_view text(const char* bytes, std::size_t length) override { return {bytes, length}; }
    std::string guid(const unsigned char* page, int start) override { return std::string(reinterpret_cast<const char*>(page) + start, 16); }
    std::string numeric(const unsigned char* page, int start, int, int) override
    {
        return std::string(reinterpret_cast<const char*>(page) + start, 17);
    }
};

const std::uint8_t kTypes[] = {JetBoolean, JetByte, JetInteger, JetLong, JetCurrency, JetSingle, JetDouble, JetDateTime,
                               JetBinary, JetText, JetOle, JetMemo, JetGuid, JetNumeric, JetComplex, 0x0d};
constexpr int kColumns = sizeof kTypes;

std::uint32_t le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24; }

// Walks one row record as the program reads it: a value per column, nothing left over.
void checkRowRecord(const std::string& out)
{
    check(out.size() >= 5 && out[0] == RowRecord);
    const auto* p = reinterpret_cast<const unsigned char*>(out.data());
    check(le32(p + 1) == out.size() - 5);
    std::size_t at = 5;
    const auto need = [&](std::size_t n) {
        check(out.size() - at >= n);
        at += n;
    };
    for (int i = 0; i < kColumns; ++i) {
        need(1);
        switch (p[at - 1]) {
        case NullValue: break;
        case BooleanValue: need(1); break;
        case IntegerValue: case DoubleValue: case OleDateValue: case CurrencyValue: need(8); break;
        case TextValue: case BinaryValue: need(4); need(le32(p + at - 4)); break;
        default: check(false);
        }
    }
    check(at == out.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    try {
        checkFileSize(static_cast<long long>(size));
    } catch (const ReadError&) {
    }
    // The page size as libmdb chooses it, from the version byte of the first page.
    const PageFormat format = size > 0x14 && data[0x14] == 0 ? PageFormat{2048, 8} : PageFormat{4096, 12};
    try {
        checkedPageCount(static_cast<long long>(size), format.pageSize);
    } catch (const ReadError&) {
    }
    // Bytes short of a whole page are padded, so that small inputs reach the rows.
    std::vector<unsigned char> image(data, data + size);
    image.resize((size + format.pageSize - 1) / format.pageSize * format.pageSize);
    const std::size_t pages = image.size() / format.pageSize;

    MemoryPages source(image, format.pageSize);
    PlainText text;
    std::vector<ColumnDesc> columns;
    for (std::uint8_t type : kTypes)
        columns.push_back({"C" + std::to_string(type), type, 2, 10});
    RowEncoder encoder("T", columns, format, static_cast<long long>(image.size()), source, text);
    StreamWriter out;
    encoder.header(out, 0);
    out.pending().clear();
    // The first bytes as a table's usage map: the pages it names lie inside the file, in order.
    try {
        const std::vector<std::uint32_t> named = usageMapPages(image.data(), std::min<std::size_t>(size, 256), format,
                                                               static_cast<long long>(pages), source, "T");
        for (std::size_t i = 0; i < named.size(); ++i)
            check(named[i] > 0 && named[i] < pages && (i == 0 || named[i] > named[i - 1]));
    } catch (const ReadError& error) {
        check(*error.what() != 0);
    }
    std::vector<FieldSlice> fields;
    for (std::size_t number = 0; number < pages; ++number) {
        const unsigned char* page = image.data() + number * format.pageSize;
        std::vector<RowSlot> rows;
        try {
            rows = dataPageRows(page, format, le32(page + 4), "T", static_cast<std::uint32_t>(number));
        } catch (const ReadError& error) {
            check(*error.what() != 0);
            continue;
        }
        for (const RowSlot& row : rows) {
            check(row.start >= 0 && row.length > 0 && row.start + row.length <= format.pageSize);
            fields.clear();
            for (int i = 0; i < kColumns && 4 * i + 4 <= row.length; ++i) {
                const unsigned char* cut = page + row.start + 4 * i;
                fields.push_back({cut[0] % (kColumns + 2), row.start + cut[1], cut[2] | (cut[3] & 0x1f) << 8, (cut[3] & 0x80) != 0});
            }
            try {
                encoder.encodeRow(page, fields, out);
            } catch (const ReadError& error) {
                check(*error.what() != 0 && out.pending().empty());
                continue;
            }
            checkRowRecord(out.pending());
            out.pending().clear();
        }
    }
    return 0;
}
