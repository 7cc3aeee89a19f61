// Checks shared by the fuzz targets: how a finding is reported, the shape of
// the "file:LINE:COLUMN: " prefix of an error line, and the scratch file that
// the targets which run a whole command read their input from.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace Core::Fuzz {

/// Ends the run so that libFuzzer keeps the input as a crash artifact.
[[noreturn]] inline void finding(std::string_view what, std::string_view detail) {
    std::fprintf(stderr, "FUZZ FINDING: %.*s\n  detail: %.*s\n", static_cast<int>(what.size()),
                 what.data(), static_cast<int>(detail.size()), detail.data());
    std::abort();
}

inline void require(bool holds, std::string_view what, std::string_view detail) {
    if (!holds) {
        finding(what, detail);
    }
}

struct Position {
    std::uint32_t line = 0;
    std::uint32_t column = 0;

    friend bool operator==(const Position&, const Position&) = default;
};

/// A message split into its "file:LINE:COLUMN: " prefix and the rest.
struct PositionedMessage {
    Position position;
    std::string_view message;
};

/// A decimal number of at least 1 without leading zeros that fits in 32 bits,
/// taken from the front of `text`, which is advanced past it.
inline std::optional<std::uint32_t> takeCount(std::string_view& text) {
    if (text.empty() || text.front() == '0') {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{}) {
        return std::nullopt;
    }
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return value;
}

/// A message that reads "file:LINE:COLUMN: " and at least one more byte, split
/// there; nothing when it is shaped otherwise.
inline std::optional<PositionedMessage> positionPrefix(std::string_view message,
                                                       std::string_view file) {
    if (message.substr(0, file.size()) != file) {
        return std::nullopt;
    }
    message.remove_prefix(file.size());
    Position position;
    for (std::uint32_t* field : {&position.line, &position.column}) {
        if (message.empty() || message.front() != ':') {
            return std::nullopt;
        }
        message.remove_prefix(1);
        const std::optional<std::uint32_t> count = takeCount(message);
        if (!count) {
            return std::nullopt;
        }
        *field = *count;
    }
    if (message.substr(0, 2) != ": " || message.size() == 2) {
        return std::nullopt;
    }
    return PositionedMessage{position, message.substr(2)};
}

/// Whether line and column name a byte of `text` or the end of one of its
/// lines (the end of the text included): where a token or the end can start.
inline bool insideText(std::string_view text, Position position) {
    std::size_t lineStart = 0;
    for (std::uint32_t line = 1; line < position.line; ++line) {
        const std::size_t newline = text.find('\n', lineStart);
        if (newline == std::string_view::npos) {
            return false;
        }
        lineStart = newline + 1;
    }
    const std::size_t lineEnd = std::min(text.find('\n', lineStart), text.size());
    return position.column >= 1 && position.column - 1 <= lineEnd - lineStart;
}

/// A plain decimal u64: digits only, no leading zero unless it is 0.
inline std::optional<std::uint64_t> plainDecimal(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty() ||
        (text.size() > 1 && text[0] == '0')) {
        return std::nullopt;
    }
    return value;
}

/// One file per process and target, overwritten for every input: $TMPDIR when
/// set, else /dev/shm (memory, no disk traffic) when there is one, else /tmp.
inline std::string scratchPath(std::string_view stem) {
    std::string folder = "/tmp";
    if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && *tmpdir != '\0') {
        folder = tmpdir;
    } else if (std::filesystem::is_directory("/dev/shm")) {
        folder = "/dev/shm";
    }
    return folder + "/" + std::string(stem) + "_" + std::to_string(getpid()) + ".cplace";
}

/// Replaces the file's content; any failure ends the process, as no input
/// could be judged without it.
inline void writeFile(const std::string& path, std::string_view content) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        std::abort();
    }
    const bool written =
        content.empty() || std::fwrite(content.data(), 1, content.size(), file) == content.size();
    if (std::fclose(file) != 0 || !written) {
        std::perror(path.c_str());
        std::abort();
    }
}

} // namespace Core::Fuzz
