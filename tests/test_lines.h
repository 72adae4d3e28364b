// The lines of a text as the tools read them: split at each "\n", a "\r"
// before it dropped, and no empty last line after a final newline.
#pragma once

#include <string>
#include <vector>

inline std::vector<std::string> splitLines(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t nl = content.find('\n', start);
        size_t stop = nl == std::string::npos ? content.size() : nl;
        std::string line = content.substr(start, stop - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = stop + 1;
    }
    return lines;
}
