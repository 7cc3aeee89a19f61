// The five estimators and the fixed workload of the composite system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "estimation/estimate.h"
#include "estimation/model_profile.h"

namespace Core::Estimation {

struct TransformerProfile {
    std::uint64_t vocabSize = 0;
    std::uint64_t layers = 0;
    std::uint64_t modelDim = 0;
    std::uint64_t ffnDim = 0;
    std::uint64_t queryHeads = 0;
    std::uint64_t kvHeads = 0;
    std::uint64_t headDim = 0;
    std::uint64_t contextLength = 0;
    std::uint32_t weightBytes = 0;
    std::uint32_t kvBytes = 0;
    bool tiedEmbeddings = false;
    bool training = false;
    std::uint64_t adapterParameters = 0;
};

struct SyncProfile {
    std::uint64_t neurons = 0;
    std::uint64_t weightEntries = 0;
};

struct DpshProfile {
    std::uint64_t neurons = 0;
    std::uint64_t weightEntries = 0;
    std::uint64_t workspaceEntries = 0;
};

struct AdapterProfile {
    std::uint64_t parameters = 0;
    std::uint32_t parameterWidth = 0;
    std::uint64_t activationBytes = 0;
};

struct OrchestrationPoolProfile {
    std::uint64_t baseBytes = 0;
    std::uint64_t slots = 0;
};

/// The alternative index selects the estimator (0 transformer ... 4 pool,
/// 5 a transformer read from its model's files).
using WorkloadProfile = std::variant<TransformerProfile, SyncProfile, DpshProfile, AdapterProfile,
                                     OrchestrationPoolProfile, ModelProfile>;

/// `estimate` is present exactly when `errors` is empty.
struct EstimateResult {
    std::optional<ResourceEstimate> estimate;
    std::vector<std::string> errors;
};

/// A transformer's parameter count, or the message for why it has none: the
/// first checks of estimateTransformer, which counts with it.
struct ParameterCount {
    std::optional<std::uint64_t> parameters;
    std::string error; ///< empty when `parameters` is present
};
[[nodiscard]] ParameterCount transformerParameters(const TransformerProfile& profile);

// Each estimator either fills `estimate` or appends exactly one message to
// `errors` and stops.
void estimateTransformer(const TransformerProfile& profile, ResourceEstimate& estimate,
                         std::vector<std::string>& errors);
void estimateSync(const SyncProfile& profile, ResourceEstimate& estimate,
                  std::vector<std::string>& errors);
void estimateDpsh(const DpshProfile& profile, ResourceEstimate& estimate,
                  std::vector<std::string>& errors);
void estimateAdapter(const AdapterProfile& profile, ResourceEstimate& estimate,
                     std::vector<std::string>& errors);
void estimateOrchestrationPool(const OrchestrationPoolProfile& profile, ResourceEstimate& estimate,
                               std::vector<std::string>& errors);

[[nodiscard]] EstimateResult estimateWorkload(const WorkloadProfile& profile);
/// Throws std::runtime_error("resource estimate is unknown") when no estimate results.
[[nodiscard]] ResourceEstimate estimateOrThrow(const WorkloadProfile& profile);

/// A requirement before it is estimated: the engine's profile and the counts
/// that multiply its terms.
struct WorkloadSpec {
    std::string engine;
    WorkloadProfile profile;
    std::uint32_t sessions = 0;
    std::uint32_t concurrency = 1;
    bool training = false;
};

/// The requirement, its profile estimated with estimateOrThrow.
[[nodiscard]] WorkloadRequirement estimateRequirement(const WorkloadSpec& spec);

/// The profiles and counts behind compositeWorkload(), in graph order.
[[nodiscard]] std::vector<WorkloadSpec> compositeWorkloadSpecs();

/// One requirement per engine of the example system, in graph order.
[[nodiscard]] std::vector<WorkloadRequirement> compositeWorkload();

/// The most of each count that keeps the workload's peak within `budget` bytes,
/// every other figure held. A count whose term costs nothing reaches the
/// largest value its field holds.
struct WorkloadLimits {
    std::uint32_t sessions = 0;
    std::uint32_t concurrency = 0;
    /// A transformer's longest context; absent for other profiles.
    std::optional<std::uint64_t> contextLength;
    /// The longest context is the model's limit of positions, not what
    /// memory allows.
    bool contextAtModelLimit = false;
};

/// Absent when the workload as given has no peak or does not fit the budget.
[[nodiscard]] std::optional<WorkloadLimits> workloadLimits(const WorkloadSpec& spec,
                                                           std::uint64_t budget);

/// The most of each count, from 1 up to the workload's own, that brings its
/// peak within `budget`, every other figure held; absent for a count that
/// cannot (and the context of a profile without one).
struct WorkloadCuts {
    std::optional<std::uint32_t> sessions;
    std::optional<std::uint32_t> concurrency;
    std::optional<std::uint64_t> contextLength;
};

[[nodiscard]] WorkloadCuts workloadCuts(const WorkloadSpec& spec, std::uint64_t budget);

/// The spec with its transformer's context set to `context`; unchanged for a
/// profile without one.
[[nodiscard]] WorkloadSpec withContext(WorkloadSpec spec, std::uint64_t context);

} // namespace Core::Estimation
