#include "report_table.h"

#include <cstdio>

#include "text.h"

std::string tsvCell(std::string_view text) {
    std::string cell;
    for (const char c : text) {
        switch (c) {
            case '\t':
                cell += "\\t";
                break;
            case '\n':
                cell += "\\n";
                break;
            case '\r':
                cell += "\\r";
                break;
            case '\\':
                cell += "\\\\";
                break;
            default:
                cell += c;
        }
    }
    return cell;
}

std::string tsvText(const ReportTable& table) {
    std::string text;
    for (size_t c = 0; c < table.columns.size(); ++c) {
        if (c) text += '\t';
        text += table.columns[c].key;
    }
    text += '\n';
    for (const auto& [name, cells] : table.rows) {
        for (size_t c = 0; c < cells.size(); ++c) {
            if (c) text += '\t';
            text += tsvCell(cells[c]);
        }
        text += '\n';
    }
    return text;
}

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    const char* end = text.data() + text.size();
    for (const char* p = text.data(); p < end;) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x80) {
            const size_t length = utf8Sequence(p, end);
            if (length)
                out.append(p, length);
            else
                out += "\\ufffd";
            p += length ? length : 1;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\', out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
        ++p;
    }
    return out + "\"";
}

// Whether a cell is a number as JSON writes one.
bool isJsonNumber(const std::string& cell) {
    const char* p = cell.c_str();
    const auto digits = [&p] {
        const char* from = p;
        while (*p >= '0' && *p <= '9') ++p;
        return p > from;
    };
    if (*p == '-') ++p;
    if (*p == '0')
        ++p;
    else if (!digits())
        return false;
    if (*p == '.' && (++p, !digits())) return false;
    if (*p == 'e' || *p == 'E') {
        ++p;
        if (*p == '+' || *p == '-') ++p;
        if (!digits()) return false;
    }
    return *p == '\0';
}

// A cell of a column of numbers: the number, or (NA, a word) its text.
std::string jsonNumber(const std::string& cell) {
    if (cell == "inf") return "1e999";
    if (cell == "-inf") return "-1e999";
    return isJsonNumber(cell) ? cell : jsonString(cell);
}

std::string multiqcJson(const ReportTable& table, const std::string& id,
                        const std::string& description, const std::string& rowsTitle,
                        const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string text =
        "{\n  \"id\": " + jsonString(id) + ",\n  \"section_name\": " + jsonString(id) +
        ",\n  \"description\": " + jsonString(description) + ",\n  \"plot_type\": \"table\"";
    for (const auto& [key, value] : fields) text += ",\n  " + jsonString(key) + ": " + value;
    text += ",\n  \"pconfig\": {\"id\": " + jsonString(id + "_table") +
            ", \"title\": " + jsonString(id) + ", \"col1_header\": " + jsonString(rowsTitle) +
            ", \"sortRows\": false},\n  \"headers\": {";
    for (size_t c = 0; c < table.columns.size(); ++c) {
        const ReportColumn& col = table.columns[c];
        if (c) text += ',';
        text += "\n    " + jsonString(col.key) + ": {\"title\": " + jsonString(col.title) +
                ", \"description\": " + jsonString(col.description);
        if (*col.format) text += ", \"format\": " + jsonString(col.format);
        text += ", \"scale\": false, \"placement\": " + std::to_string(10 * (c + 1)) + "}";
    }
    text += "\n  },\n  \"data\": {";
    for (size_t r = 0; r < table.rows.size(); ++r) {
        const auto& [name, cells] = table.rows[r];
        if (r) text += ',';
        text += "\n    " + jsonString(name) + ": {";
        for (size_t c = 0; c < cells.size(); ++c) {
            const ReportColumn& col = table.columns[c];
            if (c) text += ", ";
            text += jsonString(col.key) + ": " +
                    (*col.format ? jsonNumber(cells[c]) : jsonString(cells[c]));
        }
        text += "}";
    }
    return text + "\n  }\n}\n";
}

bool nameEndsIn(std::string_view path, std::string_view suffix) {
    for (std::string_view compressed : {".gz", ".zst"})
        if (path.ends_with(compressed)) path.remove_suffix(compressed.size());
    return path.ends_with(suffix);
}
