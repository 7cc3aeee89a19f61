// The canonical orchestration bytes, the system hash and the embedding-space digest.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "orchestration/system_spec.h"

namespace Core::Orchestration {

[[nodiscard]] std::vector<std::uint8_t> canonicalOrchestrationBytes(const SystemSpec& spec);

/// StableHash of the canonical bytes with every source location blanked.
[[nodiscard]] std::uint64_t systemHash(const SystemSpec& spec);

[[nodiscard]] std::string embeddingSpaceText(const EmbeddingSpaceId& space);
/// StableHash of the descriptor in lower-case hex without padding.
[[nodiscard]] std::string embeddingSpaceDigest(const EmbeddingSpaceId& space);

} // namespace Core::Orchestration
