// Hints: the notes on parse errors, and the notes kept per issue.
#include "placement/hints.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>

#include "common/identifier.h"

namespace Core::Placement {
namespace {

std::string key(std::string_view path, std::string_view message) {
    std::string text(path);
    text += '\n'; // a path never holds a line feed
    text += message;
    return text;
}

} // namespace

void IssueNotes::add(std::string_view path, std::string_view message, std::string note) {
    notes_[key(path, message)].push_back(std::move(note));
}

std::span<const std::string> IssueNotes::of(std::string_view path, std::string_view message) const {
    const auto found = notes_.find(key(path, message));
    return found == notes_.end() ? std::span<const std::string>{} : found->second;
}

namespace {

std::string lowered(std::string_view word) {
    std::string lower(word);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

/// What a unit written the decimal way, or in another case, was meant to be.
std::optional<std::string> unitNote(std::string_view found) {
    const std::string unit = lowered(found);
    const auto meant = [&](std::initializer_list<std::string_view> spellings) {
        return std::find(spellings.begin(), spellings.end(), unit) != spellings.end();
    };
    if (meant({"b", "byte", "bytes"})) {
        return "did you mean 'B'? sizes are written 512 B, 4 KiB, 512 MiB, 2 GiB";
    }
    if (meant({"k", "kb", "kib", "kbyte", "kbytes", "kilobyte", "kilobytes"})) {
        return "did you mean 'KiB'? sizes count in binary units: 1 KiB is 1024 bytes";
    }
    if (meant({"m", "mb", "mib", "mbyte", "mbytes", "megabyte", "megabytes"})) {
        return "did you mean 'MiB'? sizes count in binary units: 1 MiB is 1048576 bytes";
    }
    if (meant({"g", "gb", "gib", "gbyte", "gbytes", "gigabyte", "gigabytes"})) {
        return "did you mean 'GiB'? sizes count in binary units: 1 GiB is 1073741824 bytes";
    }
    if (meant({"t", "tb", "tib", "terabyte", "terabytes"})) {
        return "the largest unit is GiB: write the size in GiB (1 TiB is 1024 GiB)";
    }
    return std::nullopt;
}

/// What a device kind written as the hardware's name was meant to be.
std::optional<std::string> kindNote(std::string_view found) {
    std::string kind = lowered(found);
    while (!kind.empty() && isDigitByte(kind.back())) {
        kind.pop_back(); // "cuda0", "gpu1": the number is the selector's
    }
    if (kind == "gpu" || kind == "nvidia" || kind == "cuda" || kind == "nvidia-gpu" ||
        kind == "nvidia_gpu") {
        return "did you mean 'cuda'? an NVIDIA GPU is of kind cuda, its number in "
               "selector: { index: N; };";
    }
    if (kind == "cpu" || kind == "host" || kind == "x86" || kind == "x86_64") {
        return "did you mean 'cpu'?";
    }
    return std::nullopt;
}

/// "'é' (U+00E9)": a character from its UTF-8 bytes, or its byte in hex.
std::string characterName(std::string_view bytes) {
    const auto lead = static_cast<unsigned char>(bytes.front());
    const std::size_t length = lead >= 0xF0U ? 4 : lead >= 0xE0U ? 3 : lead >= 0xC0U ? 2 : 1;
    std::uint32_t code = length == 1 ? lead : lead & (0x7FU >> length);
    bool whole = bytes.size() == length && length > 1;
    for (std::size_t i = 1; whole && i < length; ++i) {
        const auto next = static_cast<unsigned char>(bytes[i]);
        whole = (next & 0xC0U) == 0x80U;
        code = (code << 6U) | (next & 0x3FU);
    }
    char hex[16];
    if (whole) {
        std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(code));
        std::string name(1, '\'');
        name += bytes;
        name += "' (";
        name += hex;
        name += ')';
        return name;
    }
    std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(lead));
    return std::string("the byte ") + hex;
}

} // namespace

std::string declarationFor(std::string_view name) {
    const std::string lower = lowered(name);
    std::string block = "device ";
    block += name;
    if (lower.starts_with("cpu") || lower.starts_with("host")) {
        block += " { kind: cpu; }";
        return block;
    }
    std::size_t digits = name.size();
    while (digits > 0 && isDigitByte(name[digits - 1])) {
        --digits;
    }
    const std::string_view index = name.size() - digits > 0 && name.size() - digits <= 9
                                       ? name.substr(digits)
                                       : std::string_view("0");
    block += " { kind: cuda; selector: { index: ";
    block += index;
    block += "; }; }";
    return block;
}

std::vector<std::string> parseErrorNotes(const ParseError& error) {
    const ParseHint& hint = error.hint();
    std::vector<std::string> notes;
    if (hint.byte_order_mark) {
        notes.emplace_back("the file starts with a UTF-8 byte-order mark; save it without one");
        return notes;
    }
    if (hint.what == "character" && !hint.found.empty()) {
        notes.push_back(characterName(hint.found) +
                        " can stand only in a quoted string or a comment; names are ASCII "
                        "letters, digits, '_', '-' and '.'");
        return notes;
    }
    if (hint.what == "byte unit" && hint.found.starts_with('.')) {
        return notes; // a decimal size: the parse's own note says what to write
    }
    if (hint.what == "byte unit" && !hint.found.empty()) {
        if (std::optional<std::string> note = unitNote(hint.found)) {
            notes.push_back(std::move(*note));
            return notes;
        }
    }
    if (hint.what == "device kind") {
        if (std::optional<std::string> note = kindNote(hint.found)) {
            notes.push_back(std::move(*note));
            return notes;
        }
    }
    if (hint.words.empty()) {
        return notes;
    }
    if (hint.found.empty() && hint.what == "byte unit") {
        notes.push_back("a size takes a unit: " + quotedList(hint.words));
        return notes;
    }
    // A single expected word is already in the message; only its near miss helps.
    const std::string intro = "expected " + std::string(hint.what) + " ";
    if (hint.words.size() == 1) {
        if (const std::optional<std::string_view> near = nearestWord(hint.found, hint.words)) {
            notes.push_back(didYouMean(*near));
        }
    } else if (std::optional<std::string> note = nameNote(hint.found, hint.words, intro)) {
        notes.push_back(std::move(*note));
    }
    return notes;
}

} // namespace Core::Placement
