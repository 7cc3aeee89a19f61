// Parse, lower, resolve: the order every run of the tool follows.
#include "app/pipeline.h"

#include <stdexcept>
#include <utility>

#include "deployment/first_fit.h"
#include "placement/lowering.h"

namespace Core::App {
namespace {

template <class Issue> std::string firstIssue(const std::vector<Issue>& issues) {
    if (issues.empty()) {
        throw std::logic_error("a refused stage reported no issue");
    }
    return issues.front().path + ": " + issues.front().message;
}

} // namespace

Placement::LoweringResult lowerPlacementText(std::string_view text, std::string fileName,
                                             const Orchestration::SystemSpec& system) {
    const Placement::PlacementSpec placement = Placement::parsePlacement(text, std::move(fileName));
    return Placement::lowerPlacement(placement, system);
}

PipelineResult resolvePlacement(std::string_view text, std::string fileName,
                                const Orchestration::SystemSpec& system,
                                const Placement::ResourceInventory& inventory,
                                const std::vector<Estimation::WorkloadRequirement>& workload) {
    Placement::LoweringResult lowered = lowerPlacementText(text, std::move(fileName), system);
    if (!lowered.ir) {
        return {std::move(lowered.issues), std::nullopt};
    }
    return {{}, Placement::resolveDeployment(*lowered.ir, inventory, workload)};
}

bool isResolved(const PipelineResult& result) {
    return result.deployment && result.deployment->ir;
}

std::optional<std::string> refusal(const PipelineResult& result) {
    if (!result.deployment) {
        return firstIssue(result.loweringIssues);
    }
    if (!result.deployment->ir) {
        return firstIssue(result.deployment->report.issues);
    }
    return std::nullopt;
}

} // namespace Core::App
