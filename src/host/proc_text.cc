// Parsers of /proc/meminfo, /proc/self/cgroup, /proc/self/mountinfo and the
// memory control group's files.
#include "host/proc_text.h"

#include "common/checked_math.h"

#include <charconv>
#include <system_error>

namespace Core::Host {
namespace {

// cgroup v1 writes "unlimited" as LONG_MAX rounded down to the page size; this
// is that figure for pages of up to 64 KiB, so every such value is caught.
constexpr std::uint64_t kV1Unlimited = 0x7FFFFFFFFFFF0000ULL;

std::string_view trim(std::string_view text) {
    constexpr std::string_view kBlank = " \t\r\n";
    const std::size_t first = text.find_first_not_of(kBlank);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

std::optional<std::uint64_t> parseNumber(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

/// Takes the next line off `text`.
std::string_view nextLine(std::string_view& text) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    return line;
}

/// Takes the next blank-separated field off `line`; empty at its end.
std::string_view nextField(std::string_view& line) {
    const std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    const std::size_t end = line.find(' ');
    const std::string_view field = line.substr(0, end);
    line = end == std::string_view::npos ? std::string_view{} : line.substr(end);
    return field;
}

/// mountinfo writes a blank, a tab, a line feed and a backslash in a path
/// as three octal digits after a backslash.
std::string unescape(std::string_view field) {
    std::string text;
    text.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string_view digits = field.substr(i + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string_view::npos) {
                text += static_cast<char>(((digits[0] - '0') << 6U) | ((digits[1] - '0') << 3U) |
                                          (digits[2] - '0'));
                i += 3;
                continue;
            }
        }
        text += field[i];
    }
    return text;
}

std::vector<std::string> splitCommas(std::string_view text) {
    std::vector<std::string> parts;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        parts.emplace_back(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    }
    return parts;
}

} // namespace

std::optional<std::uint64_t> meminfoBytes(std::string_view text, std::string_view key) {
    while (!text.empty()) {
        std::string_view line = nextLine(text);
        if (line.size() <= key.size() || line.substr(0, key.size()) != key ||
            line[key.size()] != ':') {
            continue;
        }
        line = trim(line.substr(key.size() + 1));
        constexpr std::string_view kUnit = " kB";
        if (line.size() <= kUnit.size() || line.substr(line.size() - kUnit.size()) != kUnit) {
            return std::nullopt;
        }
        return checkedMul(parseNumber(trim(line.substr(0, line.size() - kUnit.size()))), 1024);
    }
    return std::nullopt;
}

ProcCgroup parseProcCgroup(std::string_view text) {
    ProcCgroup cgroup;
    while (!text.empty()) {
        const std::string_view line = nextLine(text);
        // hierarchy-ID:controller-list:path; the path itself may hold colons.
        const std::size_t first = line.find(':');
        const std::size_t second =
            first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) {
            continue;
        }
        const std::string_view id = line.substr(0, first);
        std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (!path.starts_with('/')) {
            continue;
        }
        if (id == "0" && controllers.empty()) {
            cgroup.v2 = std::string(path);
        }
        while (!controllers.empty()) {
            const std::size_t comma = controllers.find(',');
            if (controllers.substr(0, comma) == "memory") {
                cgroup.v1_memory = std::string(path);
            }
            controllers = comma == std::string_view::npos ? std::string_view{}
                                                          : controllers.substr(comma + 1);
        }
    }
    return cgroup;
}

std::vector<MountEntry> parseMountinfo(std::string_view text) {
    std::vector<MountEntry> mounts;
    while (!text.empty()) {
        std::string_view line = nextLine(text);
        // ID, parent ID, major:minor, root, mount point, options, optional
        // fields up to "-", then the type, the source and the super options.
        for (int skipped = 0; skipped < 3; ++skipped) {
            (void)nextField(line);
        }
        const std::string_view root = nextField(line);
        const std::string_view mountPoint = nextField(line);
        (void)nextField(line);
        std::string_view field = nextField(line);
        while (!field.empty() && field != "-") {
            field = nextField(line);
        }
        const std::string_view type = nextField(line);
        (void)nextField(line);
        const std::string_view superOptions = nextField(line);
        if (field != "-" || type.empty() || !root.starts_with('/') ||
            !mountPoint.starts_with('/')) {
            continue;
        }
        mounts.push_back(
            {unescape(root), unescape(mountPoint), unescape(type), splitCommas(superOptions)});
    }
    return mounts;
}

std::optional<CgroupLimit> parseCgroupLimit(std::string_view text, bool v1) {
    const std::string_view value = trim(text);
    if (!v1 && value == "max") {
        return CgroupLimit{0, true};
    }
    const std::optional<std::uint64_t> bytes = parseNumber(value);
    if (!bytes) {
        return std::nullopt;
    }
    if (v1 && *bytes >= kV1Unlimited) {
        return CgroupLimit{0, true};
    }
    return CgroupLimit{*bytes, false};
}

std::optional<std::uint64_t> parseCgroupNumber(std::string_view text) {
    return parseNumber(trim(text));
}

std::optional<std::uint64_t> memoryStatValue(std::string_view text, std::string_view key) {
    while (!text.empty()) {
        std::string_view line = nextLine(text);
        if (nextField(line) == key) {
            return parseNumber(trim(line));
        }
    }
    return std::nullopt;
}

std::optional<std::vector<std::string_view>> cgroupLevelsBelow(std::string_view path,
                                                               std::string_view root) {
    // "/a/b" is under "/a" and "/", not under "/ab".
    const std::string_view base = root == "/" ? std::string_view{} : root;
    if (!path.starts_with(base) || (path.size() > base.size() && path[base.size()] != '/')) {
        return std::nullopt;
    }
    std::string_view rest = path.substr(base.size());
    std::vector<std::string_view> levels;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
        if (part.empty()) {
            continue;
        }
        if (part == "." || part == "..") {
            return std::nullopt;
        }
        levels.push_back(part);
    }
    return levels;
}

} // namespace Core::Host
