// Host memory: MemTotal and MemAvailable from /proc/meminfo, lowered to what
// the process's memory control group (v1 or v2) still lets it use.
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

/// Reads <root>/proc/meminfo, <root>/proc/self/cgroup and the control group's
/// files under <root>/sys/fs/cgroup. Throws std::runtime_error only when
/// MemTotal cannot be read; every other gap becomes a line in `notes`.
[[nodiscard]] HostMemory probeHostMemory(const std::filesystem::path& root,
                                         std::vector<std::string>& notes);

} // namespace Core::Host
