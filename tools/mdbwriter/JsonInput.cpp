// Reads the JSON description of a database and writes it through Writer.
#include "MdbWriter.h"

#include <nlohmann/json.hpp>

namespace mdbwriter {

namespace {

using nlohmann::json;

std::string tableLabel(const json& table, std::size_t index)
{
    if (table.is_object() && table.contains("name") && table["name"].is_string())
        return "table \"" + table["name"].get<std::string>() + "\"";
    return "table " + std::to_string(index + 1);
}

Column readColumn(const json& column, const std::string& where, std::size_t index)
{
    const std::string label = where + ", column " + std::to_string(index + 1);
    if (!column.is_object())
        throw WriteError(label + ": a column must be an object with \"name\" and \"type\"");
    if (!column.contains("name") || !column["name"].is_string())
        throw WriteError(label + ": the column has no \"name\" string");
    Column result;
    result.name = column["name"].get<std::string>();
    const std::string named = where + ", column \"" + result.name + "\"";
    if (!column.contains("type") || !column["type"].is_string())
        throw WriteError(named + ": the column has no \"type\" string");
    const auto typeName = column["type"].get<std::string>();
    const auto type = columnTypeFromName(typeName);
    if (!type)
        throw WriteError(named + ": unknown type \"" + typeName
                         + "\" (byte, integer, long, boolean, single, double, currency, datetime, text, memo)");
    result.type = *type;
    if (column.contains("size") && result.type == ColumnType::Text) {
        const json& size = column["size"];
        if (!size.is_number_integer() || size.get<std::int64_t>() < 1 || size.get<std::int64_t>() > 255)
            throw WriteError(named + ": \"size\" must be a whole number from 1 to 255");
        result.size = int(size.get<std::int64_t>());
    }
    return result;
}

Value readValue(const json& value, const std::string& where, std::size_t row, const Column& column)
{
    switch (value.type()) {
    case json::value_t::null: return std::monostate{};
    case json::value_t::boolean: return value.get<bool>();
    case json::value_t::number_integer: return value.get<std::int64_t>();
    case json::value_t::number_unsigned: {
        const auto number = value.get<std::uint64_t>();
        if (number > std::uint64_t(INT64_MAX))
            return double(number);
        return std::int64_t(number);
    }
    case json::value_t::number_float: return value.get<double>();
    case json::value_t::string: return value.get<std::string>();
    default:
        throw WriteError(where + ", row " + std::to_string(row + 1) + ", column \"" + column.name
                         + "\": a value must be a number, a string, true, false or null");
    }
}

} // namespace

void writeFromJson(const std::string& jsonText, const std::string& outputPath)
{
    json document;
    try {
        document = json::parse(jsonText);
    } catch (const json::parse_error& error) {
        throw WriteError(std::string("malformed JSON: ") + error.what());
    }
    if (!document.is_object() || !document.contains("tables") || !document["tables"].is_array())
        throw WriteError("the input must be an object holding a \"tables\" array");

    Writer writer(outputPath);
    const json& tables = document["tables"];
    for (std::size_t t = 0; t < tables.size(); ++t) {
        const json& table = tables[t];
        const std::string where = tableLabel(table, t);
        if (!table.is_object() || !table.contains("name") || !table["name"].is_string())
            throw WriteError(where + ": a table must be an object with a \"name\" string");
        if (!table.contains("columns") || !table["columns"].is_array())
            throw WriteError(where + ": the table has no \"columns\" array");
        std::vector<Column> columns;
        for (std::size_t c = 0; c < table["columns"].size(); ++c)
            columns.push_back(readColumn(table["columns"][c], where, c));
        writer.beginTable(table["name"].get<std::string>(), columns);
        if (!table.contains("rows"))
            continue;
        const json& rows = table["rows"];
        if (!rows.is_array())
            throw WriteError(where + ": \"rows\" must be an array");
        std::vector<Value> values;
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const json& row = rows[r];
            if (!row.is_array())
                throw WriteError(where + ", row " + std::to_string(r + 1) + ": a row must be an array of values");
            if (row.size() != columns.size())
                throw WriteError(where + ", row " + std::to_string(r + 1) + ": " + std::to_string(row.size())
                                 + " values for " + std::to_string(columns.size()) + " columns");
            values.clear();
            for (std::size_t c = 0; c < row.size(); ++c)
                values.push_back(readValue(row[c], where, r, columns[c]));
            writer.addRow(values);
        }
    }
    writer.finish();
}

} // namespace mdbwriter
