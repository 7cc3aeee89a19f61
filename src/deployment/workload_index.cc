// The engine-requirement checks that both resolution stages make.
#include "deployment/workload_index.h"

#include <string>

namespace Core::Placement {

using Estimation::WorkloadRequirement;

WorkloadIndex::WorkloadIndex(const std::vector<WorkloadRequirement>& requirements,
                             std::vector<DeploymentIssue>& issues)
    : issues_(issues) {
    for (const WorkloadRequirement& requirement : requirements) {
        if (!byEngine_.try_emplace(requirement.engine, Entry{&requirement}).second) {
            issues_.emplace_back(IssueSubject{IssueSubject::Kind::engine, requirement.engine},
                                 "duplicate workload budget");
        }
    }
}

const WorkloadRequirement* WorkloadIndex::claim(const LoweredEngine& engine) {
    const auto found = byEngine_.find(engine.id);
    if (found == byEngine_.end()) {
        issues_.emplace_back(IssueSubject{IssueSubject::Kind::engine, engine.id},
                             "resource requirements are missing");
        return nullptr;
    }
    found->second.claimed = true;
    return found->second.requirement;
}

std::optional<std::uint64_t> WorkloadIndex::peakOf(const LoweredEngine& engine,
                                                   const WorkloadRequirement& requirement) {
    const std::optional<std::uint64_t> peak = Estimation::peakMemory(requirement);
    if (!peak) {
        issues_.emplace_back(IssueSubject{IssueSubject::Kind::engine, engine.id},
                             "peak memory is unknown or overflowed");
    }
    return peak;
}

void WorkloadIndex::reportUnclaimed() {
    for (const auto& [engine, entry] : byEngine_) {
        if (!entry.claimed) {
            issues_.emplace_back(IssueSubject{IssueSubject::Kind::engine, std::string(engine)},
                                 "workload does not belong to placement IR");
        }
    }
}

} // namespace Core::Placement
