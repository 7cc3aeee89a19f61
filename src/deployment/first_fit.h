// Deployment resolution: the preflight for explicit placements, first fit
// followed by the preflight for first_fit placements.
#pragma once

#include <vector>

#include "deployment/deployment.h"
#include "deployment/inventory.h"
#include "estimation/estimate.h"
#include "placement/ir.h"

namespace Core::Placement {

/// validate_only and explicit: exactly oomPreflight. first_fit: binds the
/// declared devices, places unpinned engines largest peak first on the first
/// device (in name order) with room, then runs the preflight on the result.
[[nodiscard]] DeploymentResult
resolveDeployment(const PlacementIR& ir, const ResourceInventory& inventory,
                  const std::vector<Estimation::WorkloadRequirement>& requirements);

} // namespace Core::Placement
