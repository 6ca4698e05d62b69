// Reads the JSON description of a database and streams it through Writer: rows are handed over
// as they are parsed, so that inputs of millions of rows need little memory.
#include "MdbWriter.h"

#include <charconv>
#include <cstring>

namespace mdbwriter {

namespace {

class JsonReader {
public:
    explicit JsonReader(const std::string& text)
        : m_begin(text.data()), m_p(text.data()), m_end(text.data() + text.size())
    {
    }

    [[noreturn]] void fail(const std::string& what) const
    {
        std::size_t line = 1, column = 1;
        for (const char* q = m_begin; q < m_p && q < m_end; ++q) {
            if (*q == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        throw WriteError("malformed JSON at line " + std::to_string(line) + ", column " + std::to_string(column)
                         + ": " + what);
    }

    void skipBlanks()
    {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t'))
            ++m_p;
    }

    char peek()
    {
        skipBlanks();
        if (m_p == m_end)
            fail("unexpected end of input");
        return *m_p;
    }

    void expect(char c)
    {
        if (peek() != c)
            fail(std::string("expected '") + c + "'");
        ++m_p;
    }

    // After '[' or '{' was consumed: true when the container has another element.
    bool next(char close, bool& first)
    {
        if (peek() == close) {
            ++m_p;
            return false;
        }
        if (!first)
            expect(',');
        first = false;
        return true;
    }

    void atEnd()
    {
        skipBlanks();
        if (m_p != m_end)
            fail("unexpected text after the end of the document");
    }

    std::string string()
    {
        expect('"');
        std::string out;
        for (;;) {
            const char* start = m_p;
            while (m_p < m_end && *m_p != '"' && *m_p != '\\' && static_cast<unsigned char>(*m_p) >= 0x20)
                ++m_p;
            out.append(start, m_p);
            if (m_p == m_end)
                fail("unterminated string");
            const char c = *m_p++;
            if (c == '"')
                return out;
            if (c != '\\') {
                --m_p;
                fail("control character inside a string");
            }
            if (m_p == m_end)
                fail("unterminated string");
            switch (*m_p++) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned code = hex4();
                if (code >= 0xD800 && code <= 0xDBFF) {
                    if (m_end - m_p < 2 || m_p[0] != '\\' || m_p[1] != 'u')
                        fail("lone surrogate in \\u escape");
                    m_p += 2;
                    const unsigned low = hex4();
                    if (low < 0xDC00 || low > 0xDFFF)
                        fail("lone surrogate in \\u escape");
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                } else if (code >= 0xDC00 && code <= 0xDFFF) {
                    fail("lone surrogate in \\u escape");
                }
                appendUtf8(out, code);
                break;
            }
            default: --m_p; fail("unknown escape in a string");
            }
        }
    }

    // A scalar value; false when the next value is an array or an object (left unread).
    bool scalar(Value& value)
    {
        const char c = peek();
        if (c == '"') {
            value = string();
        } else if (c == 'n') {
            word("null");
            value = std::monostate{};
        } else if (c == 't') {
            word("true");
            value = true;
        } else if (c == 'f') {
            word("false");
            value = false;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            value = number();
        } else if (c == '[' || c == '{') {
            return false;
        } else {
            fail("expected a value");
        }
        return true;
    }

    void skipValue(int depth = 0)
    {
        Value ignored;
        if (scalar(ignored))
            return;
        if (depth > kMaxDepth)
            fail("values nested too deeply");
        const char open = *m_p++;
        const char close = open == '[' ? ']' : '}';
        bool first = true;
        while (next(close, first)) {
            if (open == '{') {
                string();
                expect(':');
            }
            skipValue(depth + 1);
        }
    }

private:
    static constexpr int kMaxDepth = 512;

    void word(const char* text)
    {
        const std::size_t n = std::strlen(text);
        if (std::size_t(m_end - m_p) < n || std::memcmp(m_p, text, n) != 0)
            fail("expected a value");
        m_p += n;
    }

    unsigned hex4()
    {
        if (m_end - m_p < 4)
            fail("bad \\u escape");
        unsigned code = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = *m_p++;
            code <<= 4;
            if (h >= '0' && h <= '9')
                code |= unsigned(h - '0');
            else if (h >= 'a' && h <= 'f')
                code |= unsigned(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
                code |= unsigned(h - 'A' + 10);
            else
                fail("bad \\u escape");
        }
        return code;
    }

    static void appendUtf8(std::string& out, unsigned code)
    {
        if (code < 0x80) {
            out += char(code);
        } else if (code < 0x800) {
            out += char(0xC0 | (code >> 6));
            out += char(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += char(0xE0 | (code >> 12));
            out += char(0x80 | ((code >> 6) & 0x3F));
            out += char(0x80 | (code & 0x3F));
        } else {
            out += char(0xF0 | (code >> 18));
            out += char(0x80 | ((code >> 12) & 0x3F));
            out += char(0x80 | ((code >> 6) & 0x3F));
            out += char(0x80 | (code & 0x3F));
        }
    }

    Value number()
    {
        const char* start = m_p;
        if (*m_p == '-')
            ++m_p;
        auto digits = [&] {
            const char* from = m_p;
            while (m_p < m_end && *m_p >= '0' && *m_p <= '9')
                ++m_p;
            return m_p - from;
        };
        const char* integerStart = m_p;
        if (digits() == 0 || (*integerStart == '0' && m_p - integerStart > 1))
            fail("malformed number");
        bool integral = true;
        if (m_p < m_end && *m_p == '.') {
            ++m_p;
            integral = false;
            if (digits() == 0)
                fail("malformed number");
        }
        if (m_p < m_end && (*m_p == 'e' || *m_p == 'E')) {
            ++m_p;
            integral = false;
            if (m_p < m_end && (*m_p == '+' || *m_p == '-'))
                ++m_p;
            if (digits() == 0)
                fail("malformed number");
        }
        if (integral) {
            std::int64_t value = 0;
            const auto result = std::from_chars(start, m_p, value);
            if (result.ec == std::errc() && result.ptr == m_p)
                return value;
        }
        double value = 0;
        const auto result = std::from_chars(start, m_p, value);
        if (result.ec != std::errc() || result.ptr != m_p)
            fail("number out of range");
        return value;
    }

    const char* m_begin;
    const char* m_p;
    const char* m_end;
};

std::string columnLabel(const std::string& where, const Column& column)
{
    return where + ", column \"" + column.name + "\"";
}

Column readColumn(JsonReader& in, const std::string& where, std::size_t index)
{
    const std::string label = where + ", column " + std::to_string(index + 1);
    if (in.peek() != '{')
        throw WriteError(label + ": a column must be an object with \"name\" and \"type\"");
    in.expect('{');
    std::optional<std::string> name, type;
    std::optional<Value> size;
    bool first = true;
    while (in.next('}', first)) {
        const std::string key = in.string();
        in.expect(':');
        Value value;
        const bool isScalar = in.scalar(value);
        if (!isScalar)
            in.skipValue();
        if (key == "name" && std::holds_alternative<std::string>(value))
            name = std::get<std::string>(value);
        else if (key == "type" && std::holds_alternative<std::string>(value))
            type = std::get<std::string>(value);
        else if (key == "size")
            size = isScalar ? value : Value(std::string("?"));
        else if (key == "name" || key == "type")
            throw WriteError(label + ": \"" + key + "\" must be a string");
    }
    if (!name)
        throw WriteError(label + ": the column has no \"name\"");
    Column column;
    column.name = *name;
    const std::string named = columnLabel(where, column);
    if (!type)
        throw WriteError(named + ": the column has no \"type\"");
    const auto columnType = columnTypeFromName(*type);
    if (!columnType)
        throw WriteError(named + ": unknown type \"" + *type
                         + "\" (byte, integer, long, boolean, single, double, currency, datetime, text, memo)");
    column.type = *columnType;
    if (size && column.type == ColumnType::Text) {
        const auto* number = std::get_if<std::int64_t>(&*size);
        if (!number || *number < 1 || *number > 255)
            throw WriteError(named + ": \"size\" must be a whole number from 1 to 255");
        column.size = int(*number);
    }
    return column;
}

void readRow(JsonReader& in, const std::string& where, std::size_t row, const std::vector<Column>* columns,
             std::vector<Value>& values)
{
    const auto label = [&] { return where + ", row " + std::to_string(row + 1); };
    if (in.peek() != '[')
        throw WriteError(label() + ": a row must be an array of values");
    in.expect('[');
    values.clear();
    bool first = true;
    while (in.next(']', first)) {
        Value value;
        if (!in.scalar(value)) {
            const std::size_t c = values.size();
            if (columns && c < columns->size())
                throw WriteError(label() + ", column \"" + (*columns)[c].name
                                 + "\": a value must be a number, a string, true, false or null");
            throw WriteError(label() + ", value " + std::to_string(c + 1)
                             + ": a value must be a number, a string, true, false or null");
        }
        values.push_back(std::move(value));
    }
}

void readTable(JsonReader& in, Writer& writer, std::size_t index)
{
    std::string where = "table " + std::to_string(index + 1);
    if (in.peek() != '{')
        throw WriteError(where + ": a table must be an object with \"name\", \"columns\" and \"rows\"");
    in.expect('{');
    std::optional<std::string> name;
    std::optional<std::vector<Column>> columns;
    bool begun = false;
    bool rowsSeen = false;
    std::vector<std::vector<Value>> earlyRows; // rows given before the name or the columns
    std::vector<Value> values;
    auto begin = [&] {
        if (!name)
            throw WriteError(where + ": the table has no \"name\"");
        if (!columns)
            throw WriteError(where + ": the table has no \"columns\" array");
        writer.beginTable(*name, *columns);
        begun = true;
        for (auto& row : earlyRows)
            writer.addRow(row);
        earlyRows.clear();
    };
    bool first = true;
    while (in.next('}', first)) {
        const std::string key = in.string();
        in.expect(':');
        if (key == "name") {
            Value value;
            if (!in.scalar(value) || !std::holds_alternative<std::string>(value))
                throw WriteError(where + ": \"name\" must be a string");
            name = std::get<std::string>(value);
            where = "table \"" + *name + "\"";
        } else if (key == "columns") {
            if (in.peek() != '[')
                throw WriteError(where + ": \"columns\" must be an array");
            in.expect('[');
            columns.emplace();
            bool firstColumn = true;
            while (in.next(']', firstColumn))
                columns->push_back(readColumn(in, where, columns->size()));
        } else if (key == "rows") {
            if (rowsSeen)
                throw WriteError(where + ": \"rows\" is given twice");
            rowsSeen = true;
            if (in.peek() != '[')
                throw WriteError(where + ": \"rows\" must be an array");
            in.expect('[');
            const bool stream = name && columns;
            if (stream)
                begin();
            bool firstRow = true;
            std::size_t row = 0;
            while (in.next(']', firstRow)) {
                readRow(in, where, row++, columns ? &*columns : nullptr, values);
                if (stream)
                    writer.addRow(values);
                else
                    earlyRows.push_back(values);
            }
        } else {
            in.skipValue();
        }
    }
    if (!begun)
        begin();
}

} // namespace

void writeFromJson(const std::string& jsonText, const std::string& outputPath)
{
    JsonReader in(jsonText);
    const auto noTables = [] { return WriteError("the input must be an object holding a \"tables\" array"); };
    if (in.peek() != '{') {
        in.skipValue();
        in.atEnd();
        throw noTables();
    }
    std::optional<Writer> writer;
    in.expect('{');
    bool first = true;
    while (in.next('}', first)) {
        const std::string key = in.string();
        in.expect(':');
        if (key != "tables" || writer) {
            in.skipValue();
            continue;
        }
        if (in.peek() != '[')
            throw noTables();
        in.expect('[');
        writer.emplace(outputPath);
        bool firstTable = true;
        std::size_t index = 0;
        while (in.next(']', firstTable))
            readTable(in, *writer, index++);
    }
    in.atEnd();
    if (!writer)
        throw noTables();
    writer->finish();
}

} // namespace mdbwriter
