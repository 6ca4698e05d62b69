// Generates the reference destination schema for SQL Server, SQLite and PostgreSQL from the one
// definition in schema/tables.def. Usage: vf_schema_gen <tables.def> <output folder>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Column {
    std::string name;
    std::string type; // id, int, text, memo, datetime, key
    int size = 0;
};

struct Table {
    std::string name;
    std::vector<Column> columns;
};

struct Index {
    std::string name;
    std::string table;
    std::vector<std::string> columns;
};

enum class Dialect { SqlServer, SQLite, PostgreSQL };

[[noreturn]] void fail(int line, const std::string& message)
{
    std::cerr << "tables.def:" << line << ": " << message << '\n';
    std::exit(1);
}

Column parseColumn(const std::string& name, const std::string& type, int line)
{
    Column c{name, type, 0};
    const auto open = type.find('(');
    if (open != std::string::npos) {
        if (type.back() != ')')
            fail(line, "bad type " + type);
        c.type = type.substr(0, open);
        try {
            c.size = std::stoi(type.substr(open + 1, type.size() - open - 2));
        } catch (const std::exception&) {
            fail(line, "bad size in " + type);
        }
        if (c.size <= 0 || (c.type != "text" && c.type != "key"))
            fail(line, "bad type " + type);
    } else if (type != "id" && type != "int" && type != "memo" && type != "datetime") {
        fail(line, "unknown type " + type);
    }
    return c;
}

std::string sqlType(const Column& c, Dialect d)
{
    const std::string size = std::to_string(c.size);
    if (c.type == "id" || c.type == "int")
        return d == Dialect::SqlServer ? "INT" : "INTEGER";
    if (c.type == "text" || c.type == "key")
        return (d == Dialect::SqlServer ? "NVARCHAR(" : "VARCHAR(") + size + ")";
    if (c.type == "memo")
        return d == Dialect::SqlServer ? "NVARCHAR(MAX)" : "TEXT";
    // datetime: a naive date and time
    return d == Dialect::SqlServer ? "DATETIME" : "TIMESTAMP";
}

std::string generate(const std::vector<Table>& tables, const std::vector<Index>& indexes, Dialect d)
{
    static const char* names[] = {"SQL Server", "SQLite", "PostgreSQL"};
    std::ostringstream out;
    out << "-- Reference destination schema for " << names[static_cast<int>(d)]
        << ". Generated from tables.def by vf_schema_gen: do not edit.\n";
    for (const Table& t : tables) {
        out << "\nCREATE TABLE " << t.name << " (\n";
        for (std::size_t i = 0; i < t.columns.size(); ++i) {
            const Column& c = t.columns[i];
            out << "  " << c.name << ' ' << sqlType(c, d);
            if (c.type == "id" || c.type == "key")
                out << " NOT NULL PRIMARY KEY";
            else
                out << " NULL";
            out << (i + 1 < t.columns.size() ? ",\n" : "\n");
        }
        out << ");\n";
    }
    for (const Index& ix : indexes) {
        out << "\nCREATE INDEX " << ix.name << " ON " << ix.table << " (";
        for (std::size_t i = 0; i < ix.columns.size(); ++i)
            out << (i ? ", " : "") << ix.columns[i];
        out << ");\n";
    }
    return out.str();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: vf_schema_gen <tables.def> <output folder>\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::cerr << "cannot read " << argv[1] << '\n';
        return 1;
    }
    std::vector<Table> tables;
    std::vector<Index> indexes;
    std::map<std::string, std::size_t> tableByName;
    std::string text;
    int line = 0;
    while (std::getline(in, text)) {
        ++line;
        std::istringstream words(text);
        std::vector<std::string> w;
        for (std::string word; words >> word;)
            w.push_back(word);
        if (w.empty() || w[0][0] == '#')
            continue;
        if (w[0] == "table") {
            if (w.size() != 2 || tableByName.count(w[1]))
                fail(line, "bad or repeated table");
            tableByName[w[1]] = tables.size();
            tables.push_back({w[1], {}});
        } else if (w[0] == "index") {
            if (w.size() < 4 || !tableByName.count(w[2]))
                fail(line, "bad index");
            indexes.push_back({w[1], w[2], {w.begin() + 3, w.end()}});
        } else {
            if (tables.empty() || w.size() != 2)
                fail(line, "column outside a table");
            Column c = parseColumn(w[0], w[1], line);
            if (tables.back().columns.empty() != (c.type == "id" || c.type == "key"))
                fail(line, "a table's identifier is its first column, and only that");
            tables.back().columns.push_back(c);
        }
    }
    const std::string folder = argv[2];
    const std::pair<const char*, Dialect> outputs[] = {
        {"/sqlserver.sql", Dialect::SqlServer},
        {"/sqlite.sql", Dialect::SQLite},
        {"/postgresql.sql", Dialect::PostgreSQL},
    };
    for (const auto& [file, dialect] : outputs) {
        std::ofstream out(folder + file, std::ios::binary | std::ios::trunc);
        out << generate(tables, indexes, dialect);
        if (!out) {
            std::cerr << "cannot write " << folder << file << '\n';
            return 1;
        }
    }
    return 0;
}
