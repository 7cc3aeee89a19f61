// Host memory: MemTotal and MemAvailable from /proc/meminfo, lowered to what
// the process's memory control group (v1 or v2, found through its mounts)
// still lets it use.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace Core::Host {

struct HostMemory {
    std::uint64_t total = 0;
    std::optional<std::uint64_t> available;
};

/// Reads <root>/proc/meminfo, <root>/proc/self/cgroup, the memory
/// controller's mount in <root>/proc/self/mountinfo and the groups' files
/// there (under <root>), from the mount's root down to the process's group.
/// `available` is the least of MemAvailable and what each group with a limit
/// still allows: its limit less its use without reclaimable page cache. A
/// limit that exists but cannot be read allows nothing. Throws
/// std::runtime_error only when MemTotal cannot be read; every other gap, and
/// the limit that applied, is a line in `notes`.
[[nodiscard]] HostMemory probeHostMemory(const std::filesystem::path& root,
                                         std::vector<std::string>& notes);

} // namespace Core::Host
