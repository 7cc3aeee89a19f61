// The OOM preflight: checks an explicit placement against inventory memory.
#pragma once

#include <vector>

#include "deployment/deployment.h"
#include "deployment/inventory.h"
#include "estimation/estimate.h"
#include "placement/hints.h"
#include "placement/ir.h"

namespace Core::Placement {

/// Binds the declared devices, sums each device's engine peaks and reports
/// every device asked for more than it can give. Every problem becomes an
/// issue; a first_fit placement is rejected, not placed. With `notes`, each
/// issue gets the figures behind it.
[[nodiscard]] DeploymentReport
oomPreflight(const PlacementIR& ir, const ResourceInventory& inventory,
             const std::vector<Estimation::WorkloadRequirement>& requirements,
             IssueNotes* notes = nullptr);

} // namespace Core::Placement
