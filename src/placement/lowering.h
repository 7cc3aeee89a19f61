// Lowering a parsed placement against the orchestration graph.
#pragma once

#include "orchestration/system_spec.h"
#include "placement/document.h"
#include "placement/ir.h"

namespace Core::Placement {

/// Checks the placement against the graph and builds the IR. Never throws on
/// a bad placement: every problem becomes an issue, in a fixed order.
[[nodiscard]] LoweringResult lowerPlacement(const PlacementSpec& placement,
                                            const Orchestration::SystemSpec& system);

} // namespace Core::Placement
