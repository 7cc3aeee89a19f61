// The canonical inventory text and the hardware fingerprint hashed from it.
#pragma once

#include <cstdint>
#include <string>

#include "deployment/inventory.h"

namespace Core::Placement {

/// Lists sorted by their text keys, strings length-prefixed; leaves out
/// available memory and CUDA indexes, which do not identify hardware.
[[nodiscard]] std::string canonicalInventoryText(const ResourceInventory& inventory);
/// StableHash of canonicalInventoryText.
[[nodiscard]] std::uint64_t hardwareFingerprint(const ResourceInventory& inventory);

} // namespace Core::Placement
