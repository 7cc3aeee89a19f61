// Deployment resolution: the preflight for explicit placements, first fit
// followed by the preflight for first_fit placements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "deployment/deployment.h"
#include "deployment/inventory.h"
#include "estimation/estimate.h"
#include "placement/hints.h"
#include "placement/ir.h"

namespace Core::Placement {

/// One engine as first fit took it up, in placing order.
struct FitStep {
    std::string engine;
    std::uint64_t peak = 0;
    bool pinned = false;
    /// The device it went to; absent when it could not be placed.
    std::optional<std::string> device;
    /// The free bytes the device had left after it; 0 when it was not placed.
    std::uint64_t headroom = 0;
    /// When it could not be placed: the free bytes of the devices it could
    /// have gone to at that point (its own device for a pinned engine), in
    /// device-name order, at most kFitStepDevices of them.
    std::vector<std::pair<std::string, std::uint64_t>> free_bytes;
    std::size_t more_devices = 0; ///< those left out of free_bytes
};

inline constexpr std::size_t kFitStepDevices = 16;

/// What first fit did, for explaining a result: every candidate engine in
/// placing order. Empty for the other policies, which place nothing.
struct FirstFitTrace {
    std::vector<FitStep> steps;
};

/// What resolution can tell beyond its result, for explaining it.
struct ResolutionDetail {
    FirstFitTrace first_fit;
    IssueNotes notes; ///< the figures behind each issue
};

/// validate_only and explicit: exactly oomPreflight. first_fit: binds the
/// declared devices, places unpinned engines largest peak first on the first
/// device (in name order) with room, then runs the preflight on the result.
/// With `detail`, also records what first fit did and the notes on issues.
[[nodiscard]] DeploymentResult
resolveDeployment(const PlacementIR& ir, const ResourceInventory& inventory,
                  const std::vector<Estimation::WorkloadRequirement>& requirements,
                  ResolutionDetail* detail = nullptr);

} // namespace Core::Placement
