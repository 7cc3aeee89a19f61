// Host memory from meminfo and the memory control group's limits.
#include "host/memory.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

#include "common/checked_math.h"

namespace Core::Host {
namespace {

namespace fs = std::filesystem;

// Every file read here is a few lines; anything larger is not what we expect
// (a root pointing at /dev/zero, say) and is not read to the end.
constexpr std::size_t kMaxFileBytes = 1U << 20U;

// cgroup v1 writes "unlimited" as LONG_MAX rounded down to the page size; this
// is that figure for pages of up to 64 KiB, so every such value is caught.
constexpr std::uint64_t kV1Unlimited = 0x7FFFFFFFFFFF0000ULL;

std::string quoted(const fs::path& path) {
    // Appended rather than "'" + ..., which GCC 12's -Wrestrict misreads at -O2.
    std::string text(1, '\'');
    text += path.string();
    text += '\'';
    return text;
}

std::optional<std::string> readSmallFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string text;
    std::array<char, 4096> chunk{};
    while (in.read(chunk.data(), chunk.size()) || in.gcount() > 0) {
        text.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxFileBytes) {
            return std::nullopt;
        }
    }
    if (in.bad()) {
        return std::nullopt;
    }
    return text;
}

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
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

/// The value of "Key:   1234 kB" in bytes; absent when the line is missing,
/// malformed or too large for 64 bits.
std::optional<std::uint64_t> meminfoBytes(std::string_view text, std::string_view key) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
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

struct MemoryCgroup {
    fs::path mount;          ///< where this hierarchy is mounted under the root
    std::string path;        ///< the process's cgroup as /proc/self/cgroup gives it
    std::string_view limit;  ///< file names of the hierarchy's version
    std::string_view usage;
    bool v1 = false;
};

/// The hierarchy holding the memory controller: a v1 line naming "memory"
/// wins over the v2 line ("0::"), as in the hybrid layout.
std::optional<MemoryCgroup> findMemoryCgroup(const fs::path& root,
                                             std::vector<std::string>& notes) {
    const fs::path file = root / "proc/self/cgroup";
    const std::optional<std::string> text = readSmallFile(file);
    if (!text) {
        notes.push_back("cannot read " + quoted(file) +
                        ", so host memory is not lowered to a control group's limit");
        return std::nullopt;
    }
    std::optional<std::string> v1;
    std::optional<std::string> v2;
    std::string_view rest = *text;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
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
        if (id == "0" && controllers.empty()) {
            v2 = std::string(path);
        }
        while (!controllers.empty()) {
            const std::size_t comma = controllers.find(',');
            if (controllers.substr(0, comma) == "memory") {
                v1 = std::string(path);
            }
            controllers = comma == std::string_view::npos ? std::string_view{}
                                                          : controllers.substr(comma + 1);
        }
    }
    if (v1) {
        return MemoryCgroup{root / "sys/fs/cgroup/memory", *v1, "memory.limit_in_bytes",
                            "memory.usage_in_bytes", true};
    }
    if (v2) {
        return MemoryCgroup{root / "sys/fs/cgroup", *v2, "memory.max", "memory.current", false};
    }
    notes.push_back(quoted(file) + " names no memory control group, so host memory is not "
                                   "lowered to a control group's limit");
    return std::nullopt;
}

/// The folders from the process's cgroup up to the mount's root, tightest
/// first. A path that is not under the mount (a container that sees its host's
/// path, or "/.." outside a cgroup namespace) falls back to the mount's root,
/// which is then the container's own group.
std::vector<fs::path> cgroupLevels(const MemoryCgroup& cgroup, std::vector<std::string>& notes) {
    std::error_code error;
    if (!fs::is_directory(cgroup.mount, error)) {
        notes.push_back("no control group hierarchy at " + quoted(cgroup.mount) +
                        ", so host memory is not lowered to a control group's limit");
        return {};
    }
    std::vector<fs::path> levels{cgroup.mount};
    bool escapes = false;
    std::string_view rest = cgroup.path;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
        if (part.empty()) {
            continue;
        }
        if (part == "." || part == "..") {
            escapes = true;
            break;
        }
        levels.push_back(levels.back() / part);
    }
    if (escapes || !fs::is_directory(levels.back(), error)) {
        notes.push_back("control group '" + cgroup.path + "' is not under " +
                        quoted(cgroup.mount) + "; its memory limit is read at the mount's root");
        levels.resize(1);
    }
    std::reverse(levels.begin(), levels.end());
    return levels;
}

/// What the control group at `folder` still lets its processes allocate; absent
/// when it sets no limit.
std::optional<std::uint64_t> cgroupHeadroom(const MemoryCgroup& cgroup, const fs::path& folder,
                                            std::vector<std::string>& notes) {
    const fs::path limitFile = folder / cgroup.limit;
    const std::optional<std::string> limitText = readSmallFile(limitFile);
    if (!limitText) {
        return std::nullopt; // no limit at this level (the root group has no file)
    }
    const std::string_view value = trim(*limitText);
    if (!cgroup.v1 && value == "max") {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> limit = parseNumber(value);
    if (!limit) {
        notes.push_back("unreadable memory limit in " + quoted(limitFile) + " is ignored");
        return std::nullopt;
    }
    if (cgroup.v1 && *limit >= kV1Unlimited) {
        return std::nullopt;
    }
    const fs::path usageFile = folder / cgroup.usage;
    const std::optional<std::string> usageText = readSmallFile(usageFile);
    const std::optional<std::uint64_t> usage =
        usageText ? parseNumber(trim(*usageText)) : std::nullopt;
    if (!usage) {
        notes.push_back("cannot read the memory use in " + quoted(usageFile) +
                        ", so the whole limit counts as available");
        return limit;
    }
    return *usage >= *limit ? 0 : *limit - *usage;
}

std::optional<std::uint64_t> tighter(std::optional<std::uint64_t> a,
                                     std::optional<std::uint64_t> b) {
    if (a && b) {
        return std::min(*a, *b);
    }
    return a ? a : b;
}

} // namespace

HostMemory probeHostMemory(const std::filesystem::path& root, std::vector<std::string>& notes) {
    const fs::path meminfo = root / "proc/meminfo";
    const std::optional<std::string> text = readSmallFile(meminfo);
    if (!text) {
        throw std::runtime_error("cannot read host memory: " + quoted(meminfo) + " is unreadable");
    }
    const std::optional<std::uint64_t> total = meminfoBytes(*text, "MemTotal");
    if (!total || *total == 0) {
        throw std::runtime_error("cannot read host memory: no usable MemTotal in " +
                                 quoted(meminfo));
    }

    HostMemory memory;
    memory.total = *total;
    memory.available = meminfoBytes(*text, "MemAvailable");
    if (!memory.available) {
        // Kernels before 3.14 have no MemAvailable; free memory understates it
        // but never promises more than there is.
        memory.available = meminfoBytes(*text, "MemFree");
        notes.push_back(memory.available
                            ? "no usable MemAvailable in " + quoted(meminfo) +
                                  ", so host_available is MemFree"
                            : "no usable MemAvailable or MemFree in " + quoted(meminfo) +
                                  ", so host_available is unknown");
    }

    if (const std::optional<MemoryCgroup> cgroup = findMemoryCgroup(root, notes)) {
        for (const fs::path& level : cgroupLevels(*cgroup, notes)) {
            memory.available = tighter(memory.available, cgroupHeadroom(*cgroup, level, notes));
        }
    }
    return memory;
}

} // namespace Core::Host
