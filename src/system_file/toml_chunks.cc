// Finding the cuts: a scan that knows just enough of TOML to tell a header
// line at the top level from the same bytes inside a string or a multi-line
// array. It never decides what the text means; toml++ does.
#include "system_file/toml_chunks.h"

#include <array>

namespace Core::SystemFile {
namespace {

constexpr std::array<std::string_view, 3> kArrays = {"engines", "adapters", "connections"};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

/// The array a line opens when it is exactly "[[NAME]]", blanks and a
/// comment allowed around it; empty otherwise.
std::string_view headerArray(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && isBlank(line[i])) {
        ++i;
    }
    if (line.substr(i, 2) != "[[") {
        return {};
    }
    i += 2;
    while (i < line.size() && isBlank(line[i])) {
        ++i;
    }
    for (const std::string_view name : kArrays) {
        if (line.substr(i, name.size()) != name) {
            continue;
        }
        std::size_t j = i + name.size();
        while (j < line.size() && isBlank(line[j])) {
            ++j;
        }
        if (line.substr(j, 2) != "]]") {
            return {};
        }
        j += 2;
        while (j < line.size() && isBlank(line[j])) {
            ++j;
        }
        if (j == line.size() || line[j] == '#' || line[j] == '\r') {
            return name;
        }
        return {};
    }
    return {};
}

} // namespace

std::vector<TomlChunk> tomlChunks(std::string_view text, std::size_t targetBytes) {
    std::vector<TomlChunk> chunks{TomlChunk{}};
    std::size_t depth = 0; // open brackets and braces of a value
    std::uint32_t line = 1;
    std::size_t i = 0;
    bool lineStart = true;
    // Skips a string that opens at `i` with `quote`; multi-line when tripled.
    const auto skipString = [&](char quote) {
        const bool multi = text.substr(i, 3) == std::string_view(quote == '"' ? "\"\"\"" : "'''");
        i += multi ? 3 : 1;
        while (i < text.size()) {
            const char c = text[i];
            if (c == '\\' && quote == '"') {
                if (i + 1 < text.size() && text[i + 1] == '\n') {
                    ++line;
                }
                i += 2;
                continue;
            }
            if (c == '\n') {
                if (!multi) {
                    return; // unterminated: toml++ says so
                }
                ++line;
            }
            if (c == quote) {
                if (!multi) {
                    ++i;
                    return;
                }
                if (text.substr(i, 3) == std::string_view(quote == '"' ? "\"\"\"" : "'''")) {
                    i += 3;
                    // Up to two more quotes belong to the string.
                    for (int extra = 0; extra < 2 && i < text.size() && text[i] == quote; ++extra) {
                        ++i;
                    }
                    return;
                }
            }
            ++i;
        }
    };
    while (i < text.size()) {
        if (lineStart) {
            lineStart = false;
            if (depth == 0) {
                const std::size_t end = text.find('\n', i);
                const std::string_view array =
                    headerArray(text.substr(i, end == std::string_view::npos ? end : end - i));
                if (!array.empty()) {
                    const TomlChunk& last = chunks.back();
                    const bool large = i - last.begin >= targetBytes;
                    if (array != last.array || large) {
                        chunks.push_back({i, line, array});
                    }
                }
            }
        }
        const char c = text[i];
        switch (c) {
        case '\n':
            ++line;
            lineStart = true;
            ++i;
            break;
        case '#':
            while (i < text.size() && text[i] != '\n') {
                ++i;
            }
            break;
        case '"':
        case '\'':
            skipString(c);
            break;
        case '[':
        case '{':
            // A header's brackets at the top level open no value; the header
            // line is read above and its brackets close on the same line.
            ++depth;
            ++i;
            break;
        case ']':
        case '}':
            if (depth > 0) {
                --depth;
            }
            ++i;
            break;
        default:
            ++i;
            break;
        }
    }
    return chunks;
}

} // namespace Core::SystemFile
