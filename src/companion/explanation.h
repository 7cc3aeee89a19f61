// The companion's model of what it explains: each engine's workload with the
// terms of its peak, and, for a resolved plan, where each engine went and how
// much more of it fits there. Built once per answer; the text and JSON forms
// only render it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "companion/session.h"
#include "estimation/estimate.h"
#include "estimation/estimators.h"
#include "placement/ir.h"

namespace Core::Companion {

/// One term of a peak, with how people and programs name it.
struct TermExplanation {
    std::string_view name;  ///< "kv_cache", as the JSON keys it
    std::string_view label; ///< "KV cache", as the text shows it
    /// What the multiplier counts ("session", "concurrent execution"), or
    /// empty for a term counted once.
    std::string_view per;
    Estimation::PeakTerm term;
};

/// An engine's workload: its counts, and its estimate or why there is none.
struct WorkloadExplanation {
    std::uint32_t sessions = 0;
    std::uint32_t concurrency = 0;
    bool training = false;
    /// The estimator's message when it refused the profile.
    std::optional<std::string> estimate_error;
    /// Absent when the estimate is unknown or overflows.
    std::optional<std::uint64_t> peak;
    std::vector<TermExplanation> terms;
    std::optional<std::uint64_t> parameters; ///< a transformer's
    /// A mixture of experts': the parameters each token uses.
    std::optional<std::uint64_t> active_parameters;
    std::optional<std::uint64_t> context_length; ///< a transformer's
    std::optional<std::uint64_t> context_limit;  ///< the positions its model takes
    std::optional<std::string> model_config;
    std::optional<std::string> checkpoint;
};

[[nodiscard]] WorkloadExplanation explainWorkload(const Estimation::WorkloadSpec& spec,
                                                  const ModelSource& source);

/// How much more of an engine fits on the device it went to, with every
/// other engine and figure held.
struct Growth {
    std::string device;
    std::uint64_t headroom = 0; ///< the device's
    Estimation::WorkloadLimits limits;
};

struct EngineExplanation {
    std::string id;
    EngineClassCode kind = EngineClassCode::sync;
    Placement::Residency residency = Placement::Residency::persistent;
    Placement::Priority priority = Placement::Priority::realtime;
    std::optional<std::string> device;
    std::optional<WorkloadExplanation> workload; ///< absent when it has none
    std::optional<Growth> growth;                ///< for a resolved plan
};

/// Each engine of the system with its workload (the first one stated for
/// its id), in the graph's order.
struct SystemEngineExplanation {
    const Orchestration::EngineSpec* engine = nullptr;
    std::optional<WorkloadExplanation> workload;
};

[[nodiscard]] std::vector<SystemEngineExplanation> explainSystem(const SystemSource& system);

/// The engines of a resolved run, in the graph's order.
[[nodiscard]] std::vector<EngineExplanation> explainEngines(const PlacementRun& run,
                                                            const SystemSource& system);

} // namespace Core::Companion
