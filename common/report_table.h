// The tables the tools report, as tab-separated text or as one JSON object
// in MultiQC's custom-content form: one home for both forms, so that every
// tool's report reads the same way.
//
// Cells are text: a number in its shortest form, "NA" where there is none,
// "inf" or "-inf". In TSV a cell stands as it is (a tab, newline, carriage
// return or backslash in a name written \t, \n, \r or \\, so that every row
// keeps its columns). In JSON a number column's cell is a JSON number, NA
// the string "NA" (which MultiQC shows as it is) and an infinity 1e999
// (infinity to Python and JavaScript); a text column's cell is a string,
// each byte that is not part of valid UTF-8 written as U+FFFD.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A column: its key (the TSV header, the JSON key), and how MultiQC shows
// it: its title, a description, and a Python format for numbers (empty for
// a text column).
struct ReportColumn {
    const char* key;
    const char* title;
    const char* description;
    const char* format;  // "" for text
};

// Formats MultiQC shows numbers in, as they are.
inline constexpr char wholeFormat[] = "{:,.0f}";      // a count
inline constexpr char pValueFormat[] = "{:.2e}";      // 3 significant digits, scientific
inline constexpr char ratioFormat[] = "{:.4g}";       // a ratio near 1, or tiny
inline constexpr char shareFormat[] = "{:.4f}";       // a share of 0 to 1

struct ReportTable {
    std::vector<ReportColumn> columns;
    std::vector<std::pair<std::string, std::vector<std::string>>> rows;  // name, cells
};

// The TSV text: a header line of the keys, then a line per row.
std::string tsvText(const ReportTable& table);

// A cell of TSV text: \t, \n, \r and \\ escaped.
std::string tsvCell(std::string_view text);

// The JSON object: "id" and "section_name" (`id`), "description",
// "plot_type" "table", the `fields` given (key, JSON value) in order,
// "pconfig" (the table's id, title and its first column's header
// `rowsTitle`), "headers" (each column's title, description, format, no
// colour scale, in order) and "data" (each row's cells by key).
std::string multiqcJson(const ReportTable& table, const std::string& id,
                        const std::string& description, const std::string& rowsTitle,
                        const std::vector<std::pair<std::string, std::string>>& fields);

// `text` as a JSON string.
std::string jsonString(std::string_view text);
// A cell of a number column as a JSON value.
std::string jsonNumber(const std::string& cell);

// Whether the name of an output ends in `suffix` before a ".gz" or ".zst":
// the form it is written in (".json": a report as JSON).
bool nameEndsIn(std::string_view path, std::string_view suffix);
inline bool jsonReportName(std::string_view path) {
    return nameEndsIn(path, ".json");
}
