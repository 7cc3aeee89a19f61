// The canonical text of a Placement IR and the placement hash.
#pragma once

#include <cstdint>
#include <string>

#include "placement/ir.h"

namespace Core::Placement {

/// Deterministic: devices and engines sorted by id, strings length-prefixed.
[[nodiscard]] std::string canonicalPlacementText(const PlacementIR& ir);
/// StableHash of canonicalPlacementText; rebuilt on every call.
[[nodiscard]] std::uint64_t placementHash(const PlacementIR& ir);

} // namespace Core::Placement
