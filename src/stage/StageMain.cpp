// velquor-fusion-stage: reads an Access file with libmdb and writes its catalogue or the rows of
// one table to standard output (see StagingProtocol.h). The program that starts it turns any
// failure of this process, a crash included, into a connection error. The checks of the pages
// and the encoding of the rows, which work on the pages' bytes alone, are in PageReader.h.

#include "stage/PageReader.h"
#include "stage/StagingProtocol.h"

#ifndef _WIN32
#include <glib.h> // before mdbtools.h, which includes it inside extern "C"
#endif
#include <mdbtools.h> // on Windows, built with its own small replacement of GLib

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h> // after windows.h, which it needs
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
using namespace vf::stage;

namespace {

// The stream goes to the standard output the program was given; libmdb's own messages, some
// of which it prints on standard output, are sent to standard error instead.
class Output : public StreamWriter {
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
    // Hands what was written so far to the stream.
    void send()
    {
        std::string& bytes = pending();
        if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), m_stream) != bytes.size())
            std::exit(1);
        bytes.clear();
    }
    void flush()
    {
        send();
        if (std::fflush(m_stream) != 0)
            std::exit(1);
    }
    // Before exiting, on Windows: the program that reads the stream closes the reader's standard
    // input once it has read the last record. A reader that exited at once could leave bytes in
    // the pipe that the reading side, seeing the process gone, might not collect.
    void awaitReceipt()
    {
#ifdef _WIN32
        if (GetFileType(GetStdHandle(STD_INPUT_HANDLE)) != FILE_TYPE_PIPE)
            return;
        char ignored[64];
        while (std::fread(ignored, 1, sizeof ignored, stdin) > 0) {
        }
#endif
    }

private:
    std::vector<char> m_buffer;
    FILE* m_stream = nullptr;
};

Output* out = nullptr;

[[noreturn]] void fail(const std::string& message)
{
    out->dropRow();
    out->tag(ErrorRecord);
    out->bytes(message);
    out->flush();
    out->awaitReceipt();
    std::exit(ErrorExitStatus);
}

#ifdef _WIN32
std::string utf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        fail("un argument du programme de lecture n'est pas un texte Unicode valide");
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, bytes.data(), size, nullptr, nullptr);
    bytes.pop_back();
    return bytes;
}

std::wstring utf16(const std::string& text)
{
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, nullptr, 0);
    if (size <= 0)
        return std::wstring();
    std::wstring characters(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, characters.data(), size);
    characters.pop_back();
    return characters;
}
#endif

// The arguments in UTF-8, as libmdb names tables. Windows hands main() its arguments in the
// system's ANSI code page, which cannot carry every name (a table "Umsätze" under a Cyrillic
// code page, a folder "Łódź" under a Western one): they are read from the wide command line.
std::vector<std::string> arguments(int argc, char** argv)
{
#ifdef _WIN32
    (void)argc;
    (void)argv;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        fail("la ligne de commande du programme de lecture est illisible");
    std::vector<std::string> all;
    for (int i = 0; i < count; ++i)
        all.push_back(utf8(wide[i]));
    LocalFree(wide);
    return all;
#else
    return std::vector<std::string>(argv, argv + argc);
#endif
}

// Opens the file at a UTF-8 path for reading (on Windows through its wide name; the libmdb
// built for Windows takes UTF-8 paths likewise).
FILE* openForReading(const std::string& path)
{
#ifdef _WIN32
    const std::wstring name = utf16(path);
    return name.empty() ? nullptr : _wfopen(name.c_str(), L"rb");
#else
    return std::fopen(path.c_str(), "rb");
#endif
}

// The file, opened once; pages are counted so that no page beyond the end is ever followed.
struct AccessFile {
    MdbHandle* mdb = nullptr;
    long long pageCount = 0;
    long long size = 0;
    PageFormat format;

    explicit AccessFile(const std::string& path)
    {
        FILE* f = openForReading(path);
        if (!f)
            fail("le fichier ne peut pas être ouvert");
        std::fseek(f, 0, SEEK_END);
        size = std::ftell(f);
        std::fclose(f);
        checkFileSize(size);
        mdb = mdb_open(path.c_str(), MDB_NOFLAGS);
        if (!mdb)
            fail("le fichier n'est pas une base de données Access lisible");
        format.pageSize = static_cast<int>(mdb->fmt->pg_size);
        format.rowCountOffset = mdb->fmt->row_count_offset;
        pageCount = checkedPageCount(size, format.pageSize);
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

// Pages read beside the data page that libmdb holds: long values, and usage-map bitmaps.
class SidePages : public PageSource {
public:
    explicit SidePages(MdbHandle* mdb) : m_mdb(mdb) {}
    const unsigned char* page(std::uint32_t number) override
    {
        if (mdb_read_alt_pg(m_mdb, number) != m_mdb->fmt->pg_size)
            throw ReadError("le fichier est incomplet ou endommagé (page " + std::to_string(number) + " illisible)");
        return m_mdb->alt_pg_buf;
    }

private:
    MdbHandle* m_mdb;
};

// The data pages of a table in file order, every one checked against the end of the file.
std::vector<std::uint32_t> dataPages(const AccessFile& file, const Table& table)
{
    MdbTableDef* t = table.def;
    if (!t->usage_map)
        fail("la table " + bracketed(t->name) + " n'a pas de carte de pages lisible");
    SidePages mapPages(file.mdb);
    return usageMapPages(static_cast<const unsigned char*>(t->usage_map), t->map_sz, file.format, file.pageCount,
                         mapPages, t->name);
}

// libmdb's conversions of text, GUIDs and decimals.
class LibmdbText : public ValueText {
public:
    explicit LibmdbText(MdbHandle* mdb) : m_mdb(mdb) {}
    std::string_view text(const char* src, size_t length) override
    {
        m_text.resize(length * 3 + 4);
        const int n = mdb_unicode2ascii(m_mdb, src, length, m_text.data(), m_text.size());
        return std::string_view(m_text.data(), n > 0 ? static_cast<size_t>(n) : 0);
    }
    std::string guid(const unsigned char* page, int start) override { return owned(mdb_uuid_to_string(page, start)); }
    // mdb_numeric_to_string reads the page that libmdb holds, the one whose row is encoded.
    std::string numeric(const unsigned char*, int start, int scale, int precision) override
    {
        return owned(mdb_numeric_to_string(m_mdb, start, scale, precision));
    }

private:
    static std::string owned(char* text)
    {
        std::string value = text ? text : "";
        g_free(text);
        return value;
    }
    MdbHandle* m_mdb;
    std::vector<char> m_text;
};

void readTable(AccessFile& file, Table& table)
{
    MdbTableDef* t = table.def;
    const unsigned columnCount = t->num_cols;
    std::vector<ColumnDesc> columns;
    for (unsigned i = 0; i < columnCount; ++i) {
        MdbColumn* column = table.column(i);
        columns.push_back({column->name, static_cast<std::uint8_t>(column->col_type), column->col_scale, column->col_prec});
    }
    SidePages longValues(file.mdb);
    LibmdbText text(file.mdb);
    RowEncoder encoder(t->name, std::move(columns), file.format, file.size, longValues, text);
    encoder.header(*out, t->num_rows);

    std::vector<MdbField> fields(columnCount ? columnCount : 1);
    std::vector<FieldSlice> slices;
    std::uint32_t sent = 0;
    for (std::uint32_t page : dataPages(file, table)) {
        if (mdb_read_pg(file.mdb, page) != file.mdb->fmt->pg_size)
            fail("le fichier est incomplet ou endommagé (page " + std::to_string(page) + " illisible)");
        const unsigned char* bytes = file.mdb->pg_buf;
        for (const RowSlot& row : dataPageRows(bytes, file.format, t->entry->table_pg, t->name, page)) {
            if (columnCount == 0 || mdb_crack_row(t, row.start, static_cast<size_t>(row.length), fields.data()) < 0)
                continue;
            slices.clear();
            for (unsigned i = 0; i < columnCount; ++i)
                slices.push_back({fields[i].colnum, fields[i].start, fields[i].siz, fields[i].is_null != 0});
            encoder.encodeRow(bytes, slices, *out);
            out->send();
            ++sent;
        }
    }
    if (sent < t->num_rows)
        fail("la table " + bracketed(t->name) + " est endommagée : " + std::to_string(sent) + " lignes lues sur "
             + std::to_string(t->num_rows) + " enregistrées");
    out->tag(EndRecord);
    out->u32(sent);
}

MdbCatalogEntry* findTable(const AccessFile& file, const std::string& name)
{
    for (MdbCatalogEntry* entry : file.userTables())
        if (entry->object_name == name)
            return entry;
    fail("la table " + bracketed(name) + " n'existe pas dans la base Access");
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
    const std::vector<std::string> args = arguments(argc, argv);
    const std::string_view mode = args.size() > 1 ? std::string_view(args[1]) : std::string_view();
    if (!((mode == "--list" && args.size() == 3) || (mode == "--table" && args.size() == 4))) {
        std::fprintf(stderr, "usage: %s --list FILE | --table FILE TABLE\n", argv[0]);
        return 1;
    }
    // Text comes out as UTF-8 whatever the environment says (libmdb reads its target encoding
    // from MDBICONV).
#ifdef _WIN32
    _putenv("MDBICONV=");
#else
    unsetenv("MDBICONV");
#endif
#if defined(__linux__) && !defined(VF_SANITIZED)
    // libmdb can loop allocating memory on some damaged files: such a run fails instead of
    // exhausting the machine (a sanitizer build reserves far more address space, so not there).
    const rlimit dataLimit{rlim_t(1) << 30, rlim_t(1) << 30};
    setrlimit(RLIMIT_DATA, &dataLimit);
#endif
    try {
        AccessFile file(args[2]);
        if (mode == "--list") {
            listTables(file);
        } else {
            Table table(file, findTable(file, args[3]));
            readTable(file, table);
        }
    } catch (const ReadError& error) {
        fail(error.what());
    }
    output.flush();
    output.awaitReceipt();
    return 0;
}
