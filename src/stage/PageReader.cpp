#include "stage/PageReader.h"

#include <algorithm>
#include <cstring>

namespace vf::stage {

using namespace vf::staging;

namespace {

constexpr std::uint32_t kInlineFlag = 0x80000000u;
constexpr std::uint32_t kSinglePageFlag = 0x40000000u;
constexpr std::uint32_t kLengthMask = 0x3fffffffu;
constexpr int kRowOffsetMask = 0x1fff;
constexpr int kDeletedRowFlag = 0x4000;
constexpr int kMemoOverhead = 12; // a long value's header: length and flags, first row, unused

std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

std::uint32_t le32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

std::uint64_t le64(const unsigned char* p) { return le32(p) | std::uint64_t(le32(p + 4)) << 32; }

[[noreturn]] void damagedFile(const std::string& what)
{
    throw ReadError("le fichier est incomplet ou endommagé (" + what + ")");
}

} // namespace

std::string bracketed(std::string_view name) { return "[" + std::string(name) + "]"; }

void checkFileSize(long long size)
{
    if (size <= 0)
        throw ReadError("le fichier est vide");
    if (size < 2048)
        throw ReadError("le fichier n'est pas une base de données Access (il est trop court)");
}

long long checkedPageCount(long long size, int pageSize)
{
    if (pageSize <= 0 || size % pageSize != 0)
        damagedFile("sa taille n'est pas un nombre entier de pages");
    return size / pageSize;
}

bool findRow(const unsigned char* page, const PageFormat& format, int row, RowSlot* slot)
{
    const int entry = format.rowCountOffset + 2 + 2 * row;
    if (row < 0 || entry + 2 > format.pageSize)
        return false;
    const int raw = le16(page + entry);
    const int start = raw & kRowOffsetMask;
    const int end = row == 0 ? format.pageSize : le16(page + entry - 2) & kRowOffsetMask;
    if (start >= format.pageSize || start > end || end > format.pageSize)
        return false;
    slot->start = start;
    slot->length = end - start;
    slot->deleted = raw & kDeletedRowFlag;
    return true;
}

std::vector<std::uint32_t> usageMapPages(const unsigned char* map, std::size_t mapSize, const PageFormat& format,
                                         long long pageCount, PageSource& pages, const std::string& tableName)
{
    const std::string name = bracketed(tableName);
    const auto unreadable = [&] { return ReadError("la carte des pages de la table " + name + " est illisible"); };
    std::vector<std::uint32_t> found;
    // A page number is read as a signed 32-bit value: a negative one makes the map unreadable,
    // zero ends it.
    const auto take = [&](std::uint32_t number) {
        const auto page = static_cast<std::int32_t>(number);
        if (page < 0)
            throw unreadable();
        if (page == 0)
            return false;
        if (page >= pageCount || (!found.empty() && static_cast<std::uint32_t>(page) <= found.back()))
            throw ReadError("le fichier est incomplet ou endommagé (la table " + name + " renvoie à une page absente)");
        found.push_back(static_cast<std::uint32_t>(page));
        return true;
    };
    if (mapSize < 1 || map[0] > 1)
        throw unreadable();
    if (map[0] == 0) {
        if (mapSize < 5)
            return found;
        const std::uint32_t first = le32(map + 1);
        const unsigned char* bitmap = map + 5;
        const std::size_t bits = (mapSize - 5) * 8;
        for (std::size_t i = first == 0 ? 1 : 0; i < bits; ++i)
            if ((bitmap[i / 8] & (1 << (i % 8))) && !take(first + static_cast<std::uint32_t>(i)))
                return found;
        return found;
    }
    // Each bitmap page has a 4-byte header, then one bit for each of the pages that follow the
    // range of the bitmap before it.
    const std::size_t bits = static_cast<std::size_t>(format.pageSize - 4) * 8;
    const std::size_t mapPages = (mapSize - 1) / 4;
    // Page 0 is never named: the first bit read is skipped, that of the first bitmap page named.
    std::size_t from = 1;
    for (std::size_t index = 0; index < mapPages; ++index) {
        const std::uint32_t mapPage = le32(map + index * 4 + 1);
        if (mapPage == 0)
            continue;
        const unsigned char* bitmap = nullptr;
        try {
            bitmap = pages.page(mapPage) + 4;
        } catch (const ReadError&) {
            throw unreadable();
        }
        for (std::size_t i = from; i < bits; ++i)
            if ((bitmap[i / 8] & (1 << (i % 8))) && !take(static_cast<std::uint32_t>(index * bits + i)))
                return found;
        from = 0;
    }
    return found;
}

std::vector<RowSlot> dataPageRows(const unsigned char* page, const PageFormat& format, std::uint32_t tablePage,
                                  const std::string& tableName, std::uint32_t pageNumber)
{
    std::vector<RowSlot> rows;
    if (page[0] != 0x01 || le32(page + 4) != tablePage)
        return rows;
    const int count = le16(page + format.rowCountOffset);
    if (format.rowCountOffset + 2 + count * 2 > format.pageSize)
        throw ReadError("la page " + std::to_string(pageNumber) + " de la table " + bracketed(tableName) + " est endommagée");
    for (int row = 0; row < count; ++row) {
        RowSlot slot;
        if (findRow(page, format, row, &slot) && slot.length > 0 && !slot.deleted)
            rows.push_back(slot);
    }
    return rows;
}

void StreamWriter::u16(std::uint16_t v)
{
    const unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    put(b, 2);
}

void StreamWriter::u32(std::uint32_t v)
{
    unsigned char b[4];
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<unsigned char>(v >> (8 * i));
    put(b, 4);
}

void StreamWriter::i64(std::int64_t value)
{
    const auto v = static_cast<std::uint64_t>(value);
    unsigned char b[8];
    for (int i = 0; i < 8; ++i)
        b[i] = static_cast<unsigned char>(v >> (8 * i));
    put(b, 8);
}

void StreamWriter::f64(double d)
{
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    i64(static_cast<std::int64_t>(bits));
}

void StreamWriter::bytes(std::string_view s)
{
    u32(static_cast<std::uint32_t>(s.size()));
    put(s.data(), s.size());
}

void StreamWriter::beginRow()
{
    m_row.clear();
    m_capturing = true;
}

void StreamWriter::endRow()
{
    m_capturing = false;
    tag(RowRecord);
    u32(static_cast<std::uint32_t>(m_row.size()));
    put(m_row.data(), m_row.size());
}

void StreamWriter::put(const void* p, std::size_t n)
{
    (m_capturing ? m_row : m_out).append(static_cast<const char*>(p), n);
}

RowEncoder::RowEncoder(std::string tableName, std::vector<ColumnDesc> columns, const PageFormat& format,
                       long long fileSize, PageSource& pages, ValueText& text)
    : m_name(bracketed(tableName)), m_columns(std::move(columns)), m_format(format), m_fileSize(fileSize),
      m_pageCount(fileSize / format.pageSize), m_pages(pages), m_text(text), m_byColumn(m_columns.size()),
      m_longBudget(static_cast<std::uint64_t>(std::max(fileSize, 0LL)))
{
}

void RowEncoder::header(StreamWriter& out, std::uint32_t rowCount) const
{
    out.tag(HeaderRecord);
    out.u16(static_cast<std::uint16_t>(m_columns.size()));
    for (const ColumnDesc& column : m_columns) {
        out.bytes(column.name);
        out.u8(column.type);
    }
    out.u32(rowCount);
}

void RowEncoder::encodeRow(const unsigned char* page, const std::vector<FieldSlice>& fields, StreamWriter& out)
{
    // libmdb lists the fields in the row's storage order; they are sent in column order.
    std::fill(m_byColumn.begin(), m_byColumn.end(), nullptr);
    for (const FieldSlice& field : fields)
        if (field.column >= 0 && static_cast<std::size_t>(field.column) < m_columns.size())
            m_byColumn[static_cast<std::size_t>(field.column)] = &field;
    out.beginRow();
    try {
        for (std::size_t i = 0; i < m_columns.size(); ++i)
            encodeValue(m_columns[i], page, m_byColumn[i], out);
    } catch (...) {
        out.dropRow();
        throw;
    }
    out.endRow();
}

void RowEncoder::damagedValue() const { throw ReadError("une valeur de la table " + m_name + " est endommagée"); }

void RowEncoder::encodeValue(const ColumnDesc& column, const unsigned char* page, const FieldSlice* f, StreamWriter& out)
{
    if (column.type == JetBoolean) {
        // A boolean lives in the null mask: a set bit (not null) is true.
        out.u8(BooleanValue);
        out.u8(f && !f->isNull ? 1 : 0);
        return;
    }
    if (!f || f->isNull) {
        out.u8(NullValue);
        return;
    }
    if (f->start < 0 || f->size < 0 || f->start + static_cast<long long>(f->size) > m_format.pageSize)
        damagedValue();
    const unsigned char* p = page + f->start;
    const int size = f->size;
    const auto need = [&](int n) {
        if (size < n)
            damagedValue();
    };
    switch (column.type) {
    case JetByte:
        need(1);
        out.u8(IntegerValue);
        out.i64(p[0]);
        break;
    case JetInteger:
        need(2);
        out.u8(IntegerValue);
        out.i64(static_cast<std::int16_t>(le16(p)));
        break;
    case JetLong:
    case JetComplex:
        need(4);
        out.u8(IntegerValue);
        out.i64(static_cast<std::int32_t>(le32(p)));
        break;
    case JetCurrency:
        need(8);
        out.u8(CurrencyValue);
        out.i64(static_cast<std::int64_t>(le64(p)));
        break;
    case JetSingle: {
        need(4);
        float v;
        const std::uint32_t bits = le32(p);
        std::memcpy(&v, &bits, 4);
        out.u8(DoubleValue);
        out.f64(v);
        break;
    }
    case JetDouble:
    case JetDateTime: {
        need(8);
        const std::uint64_t bits = le64(p);
        double v;
        std::memcpy(&v, &bits, 8);
        out.u8(column.type == JetDateTime ? OleDateValue : DoubleValue);
        out.f64(v);
        break;
    }
    case JetText:
        out.u8(TextValue);
        out.bytes(m_text.text(reinterpret_cast<const char*>(p), static_cast<std::size_t>(size)));
        break;
    case JetMemo:
        readLong(p, size);
        out.u8(TextValue);
        out.bytes(m_text.text(m_long.data(), m_long.size()));
        break;
    case JetOle:
        readLong(p, size);
        out.u8(BinaryValue);
        out.bytes(m_long);
        break;
    case JetBinary:
        out.u8(BinaryValue);
        out.bytes(std::string_view(reinterpret_cast<const char*>(p), static_cast<std::size_t>(size)));
        break;
    case JetGuid:
        need(16);
        out.u8(TextValue);
        out.bytes(m_text.guid(page, f->start));
        break;
    case JetNumeric:
        need(17);
        out.u8(TextValue);
        out.bytes(m_text.numeric(page, f->start, column.scale, column.precision));
        break;
    default:
        out.u8(NullValue);
        break;
    }
}

void RowEncoder::readLong(const unsigned char* p, int size)
{
    m_long.clear();
    if (size < kMemoOverhead)
        return;
    const std::uint32_t header = le32(p);
    const std::size_t declared = header & kLengthMask;
    if (header & kInlineFlag) {
        const auto length = static_cast<std::size_t>(size - kMemoOverhead);
        takeFromBudget(length);
        m_long.assign(reinterpret_cast<const char*>(p) + kMemoOverhead, length);
        return;
    }
    if (static_cast<long long>(declared) > m_fileSize)
        damagedFile("une valeur longue de la table " + m_name + " annonce une longueur plus grande que le fichier");
    std::uint32_t pgRow = le32(p + 4);
    const bool singlePage = header & kSinglePageFlag;
    if (!singlePage && (header & 0xff000000u))
        throw ReadError("une valeur longue de la table " + m_name + " a un format inconnu");
    m_visited.clear();
    while (pgRow) {
        if (static_cast<long long>(pgRow >> 8) >= m_pageCount)
            damagedFile("une valeur longue de la table " + m_name + " renvoie à une page absente");
        if (!m_visited.insert(pgRow).second)
            damagedFile("une valeur longue de la table " + m_name + " revient sur une page déjà lue");
        const unsigned char* page = m_pages.page(pgRow >> 8);
        RowSlot slot;
        if (!findRow(page, m_format, static_cast<int>(pgRow & 0xff), &slot))
            throw ReadError("une valeur longue de la table " + m_name + " est illisible");
        const auto length = static_cast<std::size_t>(slot.length);
        const char* row = reinterpret_cast<const char*>(page) + slot.start;
        if (singlePage) {
            const std::size_t piece = std::min(length, declared);
            takeFromBudget(piece);
            m_long.append(row, piece);
            return;
        }
        if (length <= 4)
            damagedFile("une valeur longue de la table " + m_name + " ne progresse plus d'une page à l'autre");
        const std::size_t piece = std::min(length - 4, declared - m_long.size());
        takeFromBudget(piece);
        m_long.append(row + 4, piece);
        if (m_long.size() >= declared)
            break;
        pgRow = le32(page + slot.start);
    }
}

void RowEncoder::takeFromBudget(std::size_t bytes)
{
    if (bytes > m_longBudget)
        damagedFile("les valeurs longues de la table " + m_name + " occupent plus de place que le fichier entier");
    m_longBudget -= bytes;
}

} // namespace vf::stage
