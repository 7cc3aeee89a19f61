// Graph validation: every rule, in a fixed order, one issue per failed rule.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "orchestration/system_spec.h"

namespace Core::Orchestration {

[[nodiscard]] bool isValidIdentity(std::string_view text);
[[nodiscard]] bool isKnownSchema(std::string_view text);
[[nodiscard]] bool isEmbeddingSchema(std::string_view text);
[[nodiscard]] std::optional<std::uint64_t> tensorBytes(const std::vector<std::uint64_t>& shape,
                                                       std::uint8_t dtype);
[[nodiscard]] bool isCompleteEmbeddingSpace(const EmbeddingSpaceId& space, const PortSpec& port);
[[nodiscard]] bool portsCompatible(const PortSpec& a, const PortSpec& b);

/// An empty list means the graph is valid. Never throws on bad content.
[[nodiscard]] std::vector<ValidationIssue> validate(const SystemSpec& spec);

} // namespace Core::Orchestration
