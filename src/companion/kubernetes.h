// The hand-off to Kubernetes: one replica of a resolved plan as a manifest
// that `kubectl apply -f` reads, asking the cluster for what the plan needs.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "companion/render.h"
#include "companion/session.h"

namespace Core::Companion {

/// The plan's files, carried into the manifest's ConfigMap.
struct PlanFiles {
    std::string placement; ///< the placement file's text
    std::optional<std::string> system; ///< the system file's text, when there is one
};

/// A List of a ConfigMap holding the plan's files and a Deployment of one
/// replica whose container requests the CPU memory and GPUs the plan uses,
/// with node affinity on the GPUs' memory and count. The error (a message)
/// when the container could not see the plan's GPUs by their indices.
[[nodiscard]] std::variant<Json, std::string> kubernetesManifest(const PlacementRun& run,
                                                                 const PlanFiles& files);

} // namespace Core::Companion
