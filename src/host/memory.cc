// Host memory from meminfo and the memory control group's limits.
#include "host/memory.h"

#include "host/host_files.h"
#include "host/proc_text.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace Core::Host {
namespace {

namespace fs = std::filesystem;

// A group path from the kernel fits in PATH_MAX (4096 bytes), so it has at
// most 2048 levels; a deeper one is not the kernel's and is not walked.
constexpr std::size_t kMostLevels = 2048;

std::string quoted(const fs::path& path) {
    // Appended rather than "'" + ..., which GCC 12's -Wrestrict misreads at -O2.
    std::string text(1, '\'');
    text += path.string();
    text += '\'';
    return text;
}

constexpr std::string_view kNotLowered =
    ", so host memory is not lowered to a control group's limit";
constexpr std::string_view kNothingVouched = ", so host_available is 0";

class Folder {
  public:
    explicit Folder(int fd) noexcept : fd_(fd) {}
    ~Folder() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    Folder(Folder&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Folder& operator=(Folder&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] bool open() const noexcept { return fd_ >= 0; }

  private:
    int fd_;
};

Folder openFolder(int directory, const std::string& name) {
    return Folder(::openat(directory, name.c_str(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
}

/// The memory controller's hierarchy and the process's group in it.
struct MemoryCgroup {
    bool v1 = false;
    std::string path;       ///< the group, as /proc/self/cgroup gives it
    fs::path mount;         ///< where the hierarchy is mounted, under the probe's root
    std::string root;       ///< the hierarchy's folder mounted there
    std::string_view limit; ///< file names of the hierarchy's version
    std::string_view usage;
    std::string_view inactive_file; ///< memory.stat's key for reclaimable page cache
};

/// The group from /proc/self/cgroup (a v1 "memory" line wins over the v2
/// line, as in the hybrid layout) and its mount from /proc/self/mountinfo.
std::optional<MemoryCgroup> findMemoryCgroup(const fs::path& root,
                                             std::vector<std::string>& notes) {
    const fs::path cgroupFile = root / "proc/self/cgroup";
    const HostFile cgroupText = readHostFile(AT_FDCWD, cgroupFile.string(), kMaxHostFileBytes);
    if (!cgroupText.text) {
        notes.push_back("cannot read " + quoted(cgroupFile) + " (" + cgroupText.failure + ")" +
                        std::string(kNotLowered));
        return std::nullopt;
    }
    ProcCgroup groups = parseProcCgroup(*cgroupText.text);
    MemoryCgroup cgroup;
    cgroup.v1 = groups.v1_memory.has_value();
    if (cgroup.v1) {
        cgroup.path = std::move(*groups.v1_memory);
        cgroup.limit = "memory.limit_in_bytes";
        cgroup.usage = "memory.usage_in_bytes";
        cgroup.inactive_file = "total_inactive_file"; // the usage is the whole subtree's too
    } else if (groups.v2) {
        cgroup.path = std::move(*groups.v2);
        cgroup.limit = "memory.max";
        cgroup.usage = "memory.current";
        cgroup.inactive_file = "inactive_file";
    } else {
        notes.push_back(quoted(cgroupFile) + " names no memory control group" +
                        std::string(kNotLowered));
        return std::nullopt;
    }

    const fs::path mountinfoFile = root / "proc/self/mountinfo";
    const HostFile mountinfo = readHostFile(AT_FDCWD, mountinfoFile.string(), kMaxHostFileBytes);
    if (!mountinfo.text) {
        notes.push_back("cannot read " + quoted(mountinfoFile) + " (" + mountinfo.failure + ")" +
                        std::string(kNotLowered));
        return std::nullopt;
    }
    // Of the hierarchy's mounts, the one whose folder holds the group, the
    // deepest such; else the first, which in a container is its own group.
    const MountEntry* chosen = nullptr;
    bool holdsGroup = false;
    const std::vector<MountEntry> mounts = parseMountinfo(*mountinfo.text);
    for (const MountEntry& mount : mounts) {
        const bool memory =
            cgroup.v1 ? mount.type == "cgroup" &&
                            std::find(mount.super_options.begin(), mount.super_options.end(),
                                      "memory") != mount.super_options.end()
                      : mount.type == "cgroup2";
        if (!memory) {
            continue;
        }
        const bool holds = cgroupLevelsBelow(cgroup.path, mount.root).has_value();
        if (chosen == nullptr ||
            (holds && (!holdsGroup || mount.root.size() > chosen->root.size()))) {
            chosen = &mount;
            holdsGroup = holds;
        }
    }
    if (chosen == nullptr) {
        notes.push_back(
            quoted(mountinfoFile) + std::string(" mounts no ") +
            (cgroup.v1 ? "cgroup v1 hierarchy with the memory controller" : "cgroup v2 hierarchy") +
            std::string(kNotLowered));
        return std::nullopt;
    }
    cgroup.mount = root / fs::path(chosen->mount_point).relative_path();
    cgroup.root = chosen->root;
    return cgroup;
}

/// What one group allows, and the figures behind it.
struct Allowance {
    bool known = false; ///< false: a file could not be read, and nothing is allowed
    std::uint64_t headroom = 0;
    std::uint64_t limit = 0;
    std::uint64_t in_use = 0; ///< without reclaimable page cache when `page_cache_known`
    bool page_cache_known = false;
    std::string source; ///< the note that says where the figure came from; empty when said
};

/// The group's limit less its use. Absent when it sets no limit (no file, as
/// in the root group, or an unlimited value). A limit or use that cannot be
/// read allows nothing, with a note: the probe must never promise memory
/// that a limit it cannot see may withhold.
std::optional<Allowance> allowance(const MemoryCgroup& cgroup, const Folder& folder,
                                   const std::function<fs::path()>& shown,
                                   std::vector<std::string>& notes) {
    const std::string limitName(cgroup.limit);
    const HostFile limitFile = readHostFile(folder.get(), limitName, kMaxHostFileBytes);
    if (limitFile.missing) {
        return std::nullopt;
    }
    if (!limitFile.text) {
        notes.push_back("cannot read the memory limit in " + quoted(shown() / limitName) + " (" +
                        limitFile.failure + ")" + std::string(kNothingVouched));
        return Allowance{};
    }
    const std::optional<CgroupLimit> limit = parseCgroupLimit(*limitFile.text, cgroup.v1);
    if (!limit) {
        notes.push_back("cannot parse the memory limit in " + quoted(shown() / limitName) +
                        std::string(kNothingVouched));
        return Allowance{};
    }
    if (limit->unlimited) {
        return std::nullopt;
    }
    const std::string usageName(cgroup.usage);
    const HostFile usageFile = readHostFile(folder.get(), usageName, kMaxHostFileBytes);
    const std::optional<std::uint64_t> usage =
        usageFile.text ? parseCgroupNumber(*usageFile.text) : std::nullopt;
    if (!usage) {
        notes.push_back("cannot read the memory use in " + quoted(shown() / usageName) + " (" +
                        (usageFile.text ? std::string("not a number") : usageFile.failure) + ")" +
                        std::string(kNothingVouched));
        return Allowance{};
    }
    // Page cache that is not in active use is given back under pressure, so
    // it does not count against the limit.
    const HostFile stat = readHostFile(folder.get(), "memory.stat", kMaxHostFileBytes);
    const std::optional<std::uint64_t> inactive =
        stat.text ? memoryStatValue(*stat.text, cgroup.inactive_file) : std::nullopt;
    Allowance result;
    result.known = true;
    result.limit = limit->bytes;
    result.in_use = *usage - std::min(*usage, inactive.value_or(0));
    result.page_cache_known = inactive.has_value();
    result.headroom = result.limit > result.in_use ? result.limit - result.in_use : 0;
    return result;
}

/// The least that any group from the process's up to the mount's root still
/// allows; absent when none sets a limit or the groups cannot be found.
std::optional<Allowance> cgroupAllowance(const fs::path& root,
                                               std::vector<std::string>& notes) {
    const std::optional<MemoryCgroup> cgroup = findMemoryCgroup(root, notes);
    if (!cgroup) {
        return std::nullopt;
    }
    Folder folder = openFolder(AT_FDCWD, cgroup->mount.string());
    if (!folder.open()) {
        notes.push_back("no control group hierarchy at " + quoted(cgroup->mount) + " (" +
                        std::generic_category().message(errno) + ")" + std::string(kNotLowered));
        return std::nullopt;
    }
    const std::string notUnder = "control group '" + cgroup->path + "' is not under " +
                                 quoted(cgroup->mount) +
                                 "; its memory limit is read at the mount's root";
    std::vector<std::string_view> levels;
    if (std::optional<std::vector<std::string_view>> below =
            cgroupLevelsBelow(cgroup->path, cgroup->root)) {
        levels = std::move(*below);
    } else {
        notes.push_back(notUnder);
    }
    if (levels.size() > kMostLevels) {
        notes.push_back("the memory control group in " + quoted(root / "proc/self/cgroup") +
                        " is more than " + std::to_string(kMostLevels) + " levels deep" +
                        std::string(kNothingVouched));
        return Allowance{};
    }
    // A level's folder as notes show it: the levels are views into the
    // group's path, so the folders down to one are a piece of it. Built only
    // for a note, so a deep path costs no more than its length.
    const auto shown = [&](std::size_t depth) {
        if (depth == 0) {
            return cgroup->mount;
        }
        const char* first = levels.front().data();
        const char* last = levels[depth - 1].data() + levels[depth - 1].size();
        return cgroup->mount / std::string(first, last);
    };

    // From the mount's root down, one open folder at a time, each opened in
    // its parent: linear in the path, however deep.
    std::optional<Allowance> rootAllowance;
    std::optional<Allowance> tightest;
    std::size_t tightestDepth = 0;
    for (std::size_t depth = 0;; ++depth) {
        std::optional<Allowance> here = allowance(
            *cgroup, folder, [&] { return shown(depth); }, notes);
        if (here && !here->known) {
            return here; // its note says why
        }
        if (here && (!tightest || here->headroom < tightest->headroom)) {
            tightest = here;
            tightestDepth = depth;
        }
        if (depth == 0) {
            rootAllowance = here;
        }
        if (depth == levels.size()) {
            break;
        }
        Folder next = openFolder(folder.get(), std::string(levels[depth]));
        if (!next.open()) {
            const int error = errno;
            if (error == ENOENT) {
                // A container that sees its host's path: the mount's root is its own group.
                notes.push_back(notUnder);
                tightest = rootAllowance;
                tightestDepth = 0;
                break;
            }
            notes.push_back("cannot open the control group folder " + quoted(shown(depth + 1)) +
                            " (" + std::generic_category().message(error) + ")" +
                            std::string(kNothingVouched));
            return Allowance{};
        }
        folder = std::move(next);
    }
    if (!tightest) {
        return std::nullopt;
    }
    Allowance& applied = *tightest;
    std::string source = "host_available is the control group's limit in " +
                         quoted(shown(tightestDepth) / std::string(cgroup->limit)) + " (" +
                         std::to_string(applied.limit) + " bytes) less its use";
    source += applied.page_cache_known
                  ? " without reclaimable page cache (" + std::to_string(applied.in_use) + " bytes)"
                  : " (" + std::to_string(applied.in_use) + " bytes, page cache included: its " +
                        "memory.stat gives no " + std::string(cgroup->inactive_file) + ")";
    applied.source = std::move(source);
    return applied;
}

} // namespace

HostMemory probeHostMemory(const std::filesystem::path& root, std::vector<std::string>& notes) {
    const fs::path meminfo = root / "proc/meminfo";
    const HostFile meminfoFile = readHostFile(AT_FDCWD, meminfo.string(), kMaxHostFileBytes);
    if (!meminfoFile.text) {
        throw std::runtime_error("cannot read host memory: " + quoted(meminfo) + " is unreadable");
    }
    const std::string& text = *meminfoFile.text;
    const std::optional<std::uint64_t> total = meminfoBytes(text, "MemTotal");
    if (!total || *total == 0) {
        throw std::runtime_error("cannot read host memory: no usable MemTotal in " +
                                 quoted(meminfo));
    }

    HostMemory memory;
    memory.total = *total;
    memory.available = meminfoBytes(text, "MemAvailable");
    if (!memory.available) {
        // Kernels before 3.14 have no MemAvailable; free memory understates it
        // but never promises more than there is.
        memory.available = meminfoBytes(text, "MemFree");
        notes.push_back(memory.available ? "no usable MemAvailable in " + quoted(meminfo) +
                                               ", so host_available is MemFree"
                                         : "no usable MemAvailable or MemFree in " +
                                               quoted(meminfo) + ", so host_available is unknown");
    }
    if (memory.available && *memory.available > memory.total) {
        notes.push_back("available memory in " + quoted(meminfo) +
                        " is above MemTotal, so host_available is MemTotal");
        memory.available = memory.total;
    }

    if (const std::optional<Allowance> cgroup = cgroupAllowance(root, notes)) {
        if (!memory.available || cgroup->headroom < *memory.available) {
            memory.available = cgroup->headroom;
            if (!cgroup->source.empty()) {
                notes.push_back(cgroup->source);
            }
        }
    }
    return memory;
}

} // namespace Core::Host
