// Processors and NUMA nodes as the process may use them, from hwloc's view of
// this machine or of a topology saved as XML.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace Core::Host {

struct HostTopology {
    std::uint32_t logical_processors = 0;
    std::uint32_t numa_nodes = 1;
    std::optional<std::string> cpu_model; ///< hwloc's CPUModel of the first usable package
};

/// On this machine the usable processors are the allowed ones (its cpuset
/// control group) within the process's CPU binding. An XML topology is not
/// this machine, so no binding applies: its allowed cpuset (allowed_cpuset of
/// the root object) says which processors count. NUMA nodes are those local
/// to a usable processor, at least 1. When no topology loads, the processors
/// are this process's CPU affinity and there is 1 NUMA node, with a note.
[[nodiscard]] HostTopology probeTopology(const std::optional<std::filesystem::path>& xml,
                                         std::vector<std::string>& notes);

} // namespace Core::Host
