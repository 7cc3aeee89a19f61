// The workload as the preflight and first fit both read it: indexed by engine
// id, with every check of an engine's requirement and its message written
// once. Internal to the deployment library.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "common/byte_order.h"
#include "deployment/deployment.h"
#include "estimation/estimate.h"
#include "placement/ir.h"

namespace Core::Placement {

class WorkloadIndex {
  public:
    /// Indexes the requirements in list order: a repeated engine id is
    /// reported ("duplicate workload budget") and the first one kept. Keeps
    /// pointers into both arguments.
    WorkloadIndex(const std::vector<Estimation::WorkloadRequirement>& requirements,
                  std::vector<DeploymentIssue>& issues);

    /// The engine's requirement, which the engine thereby claims; null, and
    /// "resource requirements are missing" reported, when there is none.
    [[nodiscard]] const Estimation::WorkloadRequirement* claim(const LoweredEngine& engine);

    /// The requirement's peak; absent, and "peak memory is unknown or
    /// overflowed" reported on the engine, when it has none.
    [[nodiscard]] std::optional<std::uint64_t>
    peakOf(const LoweredEngine& engine, const Estimation::WorkloadRequirement& requirement);

    /// Reports, in ascending engine id, every requirement that no engine
    /// claimed: "workload does not belong to placement IR".
    void reportUnclaimed();

  private:
    struct Entry {
        const Estimation::WorkloadRequirement* requirement = nullptr;
        bool claimed = false;
    };

    std::map<std::string_view, Entry, ByteLess> byEngine_;
    std::vector<DeploymentIssue>& issues_;
};

} // namespace Core::Placement
