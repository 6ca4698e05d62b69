// velquor-fusion-stage: reads an Access file with libmdb and writes its catalogue or the rows of
// one table to standard output (see db/StagingProtocol.h). The program that starts it turns any
// failure of this process, a crash included, into a connection error.

#include "StagingProtocol.h"

#include <glib.h> // before mdbtools.h, which includes it inside extern "C"
#include <mdbtools.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define fdopen _fdopen
#define fileno _fileno
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define VF_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VF_SANITIZED 1
#endif
#endif

using namespace vf::staging;

namespace {

constexpr std::uint32_t kInlineFlag = 0x80000000u;
constexpr std::uint32_t kSinglePageFlag = 0x40000000u;
constexpr std::uint32_t kLengthMask = 0x3fffffffu;
constexpr int kRowOffsetMask = 0x1fff;
constexpr int kDeletedRowFlag = 0x4000;

// The stream goes to the standard output the program was given; libmdb's own messages, some
// of which it prints on standard output, are sent to standard error instead.
class Output {
public:
    Output() : m_buffer(1 << 20)
    {
        std::fflush(stdout);
        const int fd = dup(fileno(stdout));
        dup2(fileno(stderr), fileno(stdout));
        m_stream = fd >= 0 ? fdopen(fd, "wb") : nullptr;
        if (!m_stream)
            std::exit(1);
#ifdef _WIN32
        _setmode(fd, _O_BINARY);
#endif
        std::setvbuf(m_stream, m_buffer.data(), _IOFBF, m_buffer.size());
    }
    ~Output() { std::fclose(m_stream); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    void tag(char t) { put(&t, 1); }
    void u8(std::uint8_t v) { put(&v, 1); }
    void u16(std::uint16_t v)
    {
        unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
        put(b, 2);
    }
    void u32(std::uint32_t v)
    {
        unsigned char b[4];
        for (int i = 0; i < 4; ++i)
            b[i] = static_cast<unsigned char>(v >> (8 * i));
        put(b, 4);
    }
    void i64(std::int64_t value)
    {
        const auto v = static_cast<std::uint64_t>(value);
        unsigned char b[8];
        for (int i = 0; i < 8; ++i)
            b[i] = static_cast<unsigned char>(v >> (8 * i));
        put(b, 8);
    }
    void f64(double d)
    {
        std::uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        i64(static_cast<std::int64_t>(bits));
    }
    void bytes(std::string_view s)
    {
        u32(static_cast<std::uint32_t>(s.size()));
        put(s.data(), s.size());
    }
    // A row is gathered whole, then sent as 'R', its length and its values, so that the
    // reading side can take it in one piece.
    void beginRow()
    {
        m_row.clear();
        m_capturing = true;
    }
    void endRow()
    {
        m_capturing = false;
        tag(RowRecord);
        u32(static_cast<std::uint32_t>(m_row.size()));
        put(m_row.data(), m_row.size());
    }
    void dropRow() { m_capturing = false; }
    void flush()
    {
        if (std::fflush(m_stream) != 0)
            std::exit(1);
    }

private:
    void put(const void* p, std::size_t n)
    {
        if (m_capturing) {
            m_row.append(static_cast<const char*>(p), n);
            return;
        }
        if (n && std::fwrite(p, 1, n, m_stream) != n)
            std::exit(1);
    }
    std::vector<char> m_buffer;
    FILE* m_stream = nullptr;
    std::string m_row;
    bool m_capturing = false;
};

Output* out = nullptr;

[[noreturn]] void fail(const std::string& message)
{
    out->dropRow();
    out->tag(ErrorRecord);
    out->bytes(message);
    out->flush();
    std::exit(ErrorExitStatus);
}

std::string bracketed(const char* name) { return std::string("[") + name + "]"; }

// The file, opened once; pages are counted so that no page beyond the end is ever followed.
struct AccessFile {
    MdbHandle* mdb = nullptr;
    long long pageCount = 0;
    long long size = 0;

    explicit AccessFile(const char* path)
    {
        FILE* f = std::fopen(path, "rb");
        if (!f)
            fail("le fichier ne peut pas être ouvert");
        std::fseek(f, 0, SEEK_END);
        size = std::ftell(f);
        std::fclose(f);
        if (size <= 0)
            fail("le fichier est vide");
        if (size < 2048)
            fail("le fichier n'est pas une base de données Access (il est trop court)");
        mdb = mdb_open(path, MDB_NOFLAGS);
        if (!mdb)
            fail("le fichier n'est pas une base de données Access lisible");
        const long long pageSize = mdb->fmt->pg_size;
        if (size % pageSize != 0)
            fail("le fichier est incomplet ou endommagé (sa taille n'est pas un nombre entier de pages)");
        pageCount = size / pageSize;
        if (!mdb_read_catalog(mdb, MDB_TABLE))
            fail("le catalogue des tables du fichier est illisible");
    }
    ~AccessFile()
    {
        if (mdb)
            mdb_close(mdb);
    }

    std::vector<MdbCatalogEntry*> userTables() const
    {
        std::vector<MdbCatalogEntry*> tables;
        for (unsigned i = 0; i < mdb->num_catalog; ++i) {
            auto* entry = static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb->catalog, i));
            if (entry->object_type == MDB_TABLE && mdb_is_user_table(entry))
                tables.push_back(entry);
        }
        return tables;
    }
};

// A table definition with its columns, freed on scope exit.
struct Table {
    MdbTableDef* def = nullptr;
    Table(const AccessFile& file, MdbCatalogEntry* entry)
    {
        if (static_cast<long long>(entry->table_pg) >= file.pageCount)
            fail("le fichier est incomplet ou endommagé (la définition de la table " + bracketed(entry->object_name)
                 + " renvoie à une page absente)");
        def = mdb_read_table(entry);
        if (!def || !mdb_read_columns(def) || def->num_cols > MDB_MAX_COLS)
            fail("la définition de la table " + bracketed(entry->object_name) + " est illisible");
    }
    ~Table()
    {
        if (def)
            mdb_free_tabledef(def);
    }
    MdbColumn* column(unsigned i) const { return static_cast<MdbColumn*>(g_ptr_array_index(def->columns, i)); }
};

// The data pages of a table in file order, every one checked against the end of the file.
std::vector<std::uint32_t> dataPages(const AccessFile& file, const Table& table)
{
    std::vector<std::uint32_t> pages;
    MdbTableDef* t = table.def;
    const std::string name = bracketed(t->name);
    if (!t->usage_map)
        fail("la table " + name + " n'a pas de carte de pages lisible");
    std::uint32_t page = 0;
    for (long long guard = 0; guard <= file.pageCount; ++guard) {
        const int next = mdb_map_find_next(file.mdb, t->usage_map, t->map_sz, page);
        if (next < 0)
            fail("la carte des pages de la table " + name + " est illisible");
        if (next == 0)
            return pages;
        if (static_cast<long long>(next) >= file.pageCount || static_cast<std::uint32_t>(next) <= page)
            fail("le fichier est incomplet ou endommagé (la table " + name + " renvoie à une page absente)");
        page = static_cast<std::uint32_t>(next);
        pages.push_back(page);
    }
    fail("la carte des pages de la table " + name + " est endommagée");
}

std::uint32_t le32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

class TableReader {
public:
    TableReader(AccessFile& file, Table& table)
        : m_file(file), m_table(table), m_mdb(file.mdb), m_longBudget(static_cast<std::uint64_t>(file.size))
    {
    }

    void run()
    {
        MdbTableDef* t = m_table.def;
        const unsigned columnCount = t->num_cols;
        out->tag(HeaderRecord);
        out->u16(static_cast<std::uint16_t>(columnCount));
        for (unsigned i = 0; i < columnCount; ++i) {
            out->bytes(m_table.column(i)->name);
            out->u8(static_cast<std::uint8_t>(m_table.column(i)->col_type));
        }
        out->u32(t->num_rows);

        std::vector<MdbField> fields(columnCount ? columnCount : 1);
        std::uint32_t sent = 0;
        const auto pages = dataPages(m_file, m_table);
        const int rowCountOffset = m_mdb->fmt->row_count_offset;
        const int pageSize = static_cast<int>(m_mdb->fmt->pg_size);
        for (std::uint32_t page : pages) {
            if (mdb_read_pg(m_mdb, page) != m_mdb->fmt->pg_size)
                fail("le fichier est incomplet ou endommagé (page " + std::to_string(page) + " illisible)");
            if (m_mdb->pg_buf[0] != MDB_PAGE_DATA || le32(m_mdb->pg_buf + 4) != t->entry->table_pg)
                continue;
            const int rows = mdb_get_int16(m_mdb->pg_buf, rowCountOffset);
            if (rows < 0 || rowCountOffset + 2 + rows * 2 > pageSize)
                fail("la page " + std::to_string(page) + " de la table " + bracketed(t->name) + " est endommagée");
            for (int row = 0; row < rows; ++row) {
                int start = 0;
                size_t length = 0;
                if (mdb_find_row(m_mdb, row, &start, &length) != 0 || length == 0)
                    continue;
                if (start & kDeletedRowFlag)
                    continue;
                start &= kRowOffsetMask;
                if (start + static_cast<long long>(length) > pageSize)
                    continue;
                if (columnCount == 0 || mdb_crack_row(t, start, length, fields.data()) < 0)
                    continue;
                writeRow(fields);
                ++sent;
            }
        }
        if (sent < t->num_rows)
            fail("la table " + bracketed(t->name) + " est endommagée : " + std::to_string(sent) + " lignes lues sur "
                 + std::to_string(t->num_rows) + " enregistrées");
        out->tag(EndRecord);
        out->u32(sent);
    }

private:
    void writeRow(const std::vector<MdbField>& fields)
    {
        out->beginRow();
        const unsigned columnCount = m_table.def->num_cols;
        // mdb_crack_row lists fields in the row's storage order; send them in column order.
        for (unsigned i = 0; i < columnCount; ++i)
            m_byColumn[i] = nullptr;
        for (unsigned i = 0; i < columnCount; ++i) {
            const MdbField& f = fields[i];
            if (f.colnum >= 0 && static_cast<unsigned>(f.colnum) < columnCount)
                m_byColumn[f.colnum] = &f;
        }
        for (unsigned i = 0; i < columnCount; ++i)
            writeValue(m_table.column(i), m_byColumn[i]);
        out->endRow();
    }

    void writeValue(MdbColumn* col, const MdbField* f)
    {
        if (col->col_type == MDB_BOOL) {
            // A boolean lives in the null mask: a set bit (not null) is true.
            out->u8(BooleanValue);
            out->u8(f && !f->is_null ? 1 : 0);
            return;
        }
        if (!f || f->is_null) {
            out->u8(NullValue);
            return;
        }
        if (f->start < 0 || f->siz < 0 || f->start + static_cast<long long>(f->siz) > m_mdb->fmt->pg_size)
            fail("une valeur de la table " + bracketed(m_table.def->name) + " est endommagée");
        const unsigned char* p = m_mdb->pg_buf + f->start;
        const int size = f->siz;
        const auto need = [&](int n) {
            if (size < n)
                fail("une valeur de la table " + bracketed(m_table.def->name) + " est endommagée");
        };
        switch (col->col_type) {
        case MDB_BYTE:
            need(1);
            out->u8(IntegerValue);
            out->i64(p[0]);
            break;
        case MDB_INT:
            need(2);
            out->u8(IntegerValue);
            out->i64(static_cast<std::int16_t>(p[0] | p[1] << 8));
            break;
        case MDB_LONGINT:
        case MDB_COMPLEX:
            need(4);
            out->u8(IntegerValue);
            out->i64(static_cast<std::int32_t>(le32(p)));
            break;
        case MDB_MONEY: {
            need(8);
            const std::int64_t v = static_cast<std::int64_t>(le32(p) | std::uint64_t(le32(p + 4)) << 32);
            out->u8(CurrencyValue);
            out->i64(v);
            break;
        }
        case MDB_FLOAT: {
            need(4);
            float v;
            const std::uint32_t bits = le32(p);
            std::memcpy(&v, &bits, 4);
            out->u8(DoubleValue);
            out->f64(v);
            break;
        }
        case MDB_DOUBLE:
        case MDB_DATETIME: {
            need(8);
            const std::uint64_t bits = le32(p) | std::uint64_t(le32(p + 4)) << 32;
            double v;
            std::memcpy(&v, &bits, 8);
            out->u8(col->col_type == MDB_DATETIME ? OleDateValue : DoubleValue);
            out->f64(v);
            break;
        }
        case MDB_TEXT:
            out->u8(TextValue);
            out->bytes(toUtf8(reinterpret_cast<const char*>(p), static_cast<size_t>(size)));
            break;
        case MDB_MEMO:
            readLong(p, size);
            out->u8(TextValue);
            out->bytes(toUtf8(m_long.data(), m_long.size()));
            break;
        case MDB_OLE:
            readLong(p, size);
            out->u8(BinaryValue);
            out->bytes(std::string_view(m_long.data(), m_long.size()));
            break;
        case MDB_BINARY:
            out->u8(BinaryValue);
            out->bytes(std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(size)));
            break;
        case MDB_REPID: {
            need(16);
            char* text = mdb_uuid_to_string(m_mdb->pg_buf, f->start);
            out->u8(TextValue);
            out->bytes(text ? text : "");
            g_free(text);
            break;
        }
        case MDB_NUMERIC: {
            need(17);
            char* text = mdb_numeric_to_string(m_mdb, f->start, col->col_scale, col->col_prec);
            out->u8(TextValue);
            out->bytes(text ? text : "");
            g_free(text);
            break;
        }
        default:
            out->u8(NullValue);
            break;
        }
    }

    // Reads a memo or OLE value whole into m_long: inline, on one long-value page, or on a
    // chain of them. The chain is followed no further than the length the value declares, never
    // twice through the same row, and every row of it must add to the value. The long values of
    // one table together hold no more bytes than the file: values that share their pages, which
    // an honest file never does, cannot multiply its size.
    void readLong(const unsigned char* p, int size)
    {
        m_long.clear();
        const std::string name = bracketed(m_table.def->name);
        const auto damaged = [&](const std::string& what) {
            fail("le fichier est incomplet ou endommagé (" + what + ")");
        };
        if (size < MDB_MEMO_OVERHEAD)
            return;
        const std::uint32_t header = le32(p);
        const size_t declared = header & kLengthMask;
        if (header & kInlineFlag) {
            takeFromBudget(static_cast<size_t>(size - MDB_MEMO_OVERHEAD));
            m_long.assign(reinterpret_cast<const char*>(p) + MDB_MEMO_OVERHEAD, static_cast<size_t>(size - MDB_MEMO_OVERHEAD));
            return;
        }
        if (static_cast<long long>(declared) > m_file.size)
            damaged("une valeur longue de la table " + name + " annonce une longueur plus grande que le fichier");
        std::uint32_t pgRow = le32(p + 4);
        const bool singlePage = header & kSinglePageFlag;
        if (!singlePage && (header & 0xff000000u))
            fail("une valeur longue de la table " + name + " a un format inconnu");
        m_visited.clear();
        while (pgRow) {
            if (static_cast<long long>(pgRow >> 8) >= m_file.pageCount)
                damaged("une valeur longue de la table " + name + " renvoie à une page absente");
            if (!m_visited.insert(pgRow).second)
                damaged("une valeur longue de la table " + name + " revient sur une page déjà lue");
            void* buf = nullptr;
            int start = 0;
            size_t length = 0;
            if (mdb_find_pg_row(m_mdb, static_cast<int>(pgRow), &buf, &start, &length) != 0)
                fail("une valeur longue de la table " + name + " est illisible");
            const char* row = static_cast<const char*>(buf) + start;
            if (singlePage) {
                const size_t piece = std::min(length, declared);
                takeFromBudget(piece);
                m_long.append(row, piece);
                return;
            }
            if (length <= 4)
                damaged("une valeur longue de la table " + name + " ne progresse plus d'une page à l'autre");
            const size_t piece = std::min(length - 4, declared - m_long.size());
            takeFromBudget(piece);
            m_long.append(row + 4, piece);
            if (m_long.size() >= declared)
                break;
            pgRow = le32(reinterpret_cast<const unsigned char*>(row));
        }
    }

    void takeFromBudget(size_t bytes)
    {
        if (bytes > m_longBudget)
            fail("le fichier est incomplet ou endommagé (les valeurs longues de la table " + bracketed(m_table.def->name)
                 + " occupent plus de place que le fichier entier)");
        m_longBudget -= bytes;
    }

    std::string_view toUtf8(const char* src, size_t length)
    {
        m_text.resize(length * 3 + 4);
        const int n = mdb_unicode2ascii(m_mdb, src, length, m_text.data(), m_text.size());
        return std::string_view(m_text.data(), n > 0 ? static_cast<size_t>(n) : 0);
    }

    AccessFile& m_file;
    Table& m_table;
    MdbHandle* m_mdb;
    std::string m_long;
    std::uint64_t m_longBudget;
    std::unordered_set<std::uint32_t> m_visited;
    std::vector<char> m_text;
    const MdbField* m_byColumn[MDB_MAX_COLS + 1] = {};
};

MdbCatalogEntry* findTable(const AccessFile& file, const char* name)
{
    for (MdbCatalogEntry* entry : file.userTables())
        if (std::strcmp(entry->object_name, name) == 0)
            return entry;
    fail(std::string("la table ") + bracketed(name) + " n'existe pas dans la base Access");
}

void listTables(AccessFile& file)
{
    for (MdbCatalogEntry* entry : file.userTables()) {
        Table table(file, entry);
        dataPages(file, table); // every page of every table lies inside the file
        out->tag(TableRecord);
        out->bytes(entry->object_name);
        out->u32(table.def->num_rows);
        out->u16(static_cast<std::uint16_t>(table.def->num_cols));
        for (unsigned i = 0; i < table.def->num_cols; ++i) {
            out->bytes(table.column(i)->name);
            out->u8(static_cast<std::uint8_t>(table.column(i)->col_type));
        }
    }
    out->tag(EndRecord);
}

} // namespace

int main(int argc, char** argv)
{
    Output output;
    out = &output;
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (!((mode == "--list" && argc == 3) || (mode == "--table" && argc == 4))) {
        std::fprintf(stderr, "usage: %s --list FILE | --table FILE TABLE\n", argv[0]);
        return 1;
    }
    // Text comes out as UTF-8 whatever the environment says.
#ifndef _WIN32
    unsetenv("MDB_ICONV");
#endif
#if defined(__linux__) && !defined(VF_SANITIZED)
    // libmdb can loop allocating memory on some damaged files: such a run fails instead of
    // exhausting the machine (a sanitizer build reserves far more address space, so not there).
    const rlimit dataLimit{rlim_t(1) << 30, rlim_t(1) << 30};
    setrlimit(RLIMIT_DATA, &dataLimit);
#endif
    {
        AccessFile file(argv[2]);
        if (mode == "--list") {
            listTables(file);
        } else {
            Table table(file, findTable(file, argv[3]));
            TableReader(file, table).run();
        }
    }
    output.flush();
    return 0;
}
