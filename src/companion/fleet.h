// Fitting one plan to many machines: the placement is lowered once and
// resolved against every inventory file, on several threads, each identical
// machine once; the answers come back in the order the machines were named.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "deployment/deployment.h"
#include "estimation/estimate.h"
#include "placement/ir.h"

namespace Core::Companion {

/// One machine's answer.
struct MachineFit {
    std::string file;
    /// Why the file gave no machine: it cannot be read, or is not an inventory.
    std::vector<std::string> problems;
    bool fits = false;
    std::uint64_t hardware_fingerprint = 0;
    /// For a machine that fits: its device with the least headroom.
    std::optional<Placement::DeviceBudget> tightest;
    /// For one that does not: the first issue, as the tool reports it.
    std::optional<std::string> refusal;
};

/// The inventory files that `paths` name: each file as given, and each
/// folder's `.json` files in name order.
[[nodiscard]] std::vector<std::string> inventoryFiles(const std::vector<std::string>& paths);

/// The lowered plan against each file, on `threads` threads (at least one).
[[nodiscard]] std::vector<MachineFit>
fitMachines(const Placement::PlacementIR& ir,
            const std::vector<Estimation::WorkloadRequirement>& workload,
            const std::vector<std::string>& files, unsigned threads);

} // namespace Core::Companion
