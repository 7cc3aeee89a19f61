// Memory blocks against the estimates: a limit that a plan records below what
// the engine is estimated to need. Not a refusal, since a memory block does
// not change the bytes requested, but worth a warning.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "estimation/estimate.h"
#include "placement/ir.h"

namespace Core::Placement {

struct MemoryLimitWarning {
    std::string engine;
    std::string_view field;      ///< "weights", "kv_cache_max" or "workspace_max"
    std::uint64_t declared = 0;  ///< the memory block's figure
    std::uint64_t estimated = 0; ///< the term it limits, as the peak counts it

    /// "engine." + engine + ".memory", the path of the memory block.
    [[nodiscard]] std::string path() const;
    /// "kv_cache_max 1024 bytes is below the estimated KV cache of 4096 bytes".
    [[nodiscard]] std::string message() const;
};

/// Every memory block figure below its term: `weights` below the weights,
/// `kv_cache_max` below the KV cache times sessions, `workspace_max` below
/// the workspace times concurrency. Engines in IR order, fields in that order;
/// an engine without requirement or peak has nothing to compare with.
[[nodiscard]] std::vector<MemoryLimitWarning>
memoryLimitWarnings(const PlacementIR& ir,
                    const std::vector<Estimation::WorkloadRequirement>& requirements);

} // namespace Core::Placement
