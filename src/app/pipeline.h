// The pipeline for programs that embed it: one placement text in, the
// resolved deployment or the reason it was refused out. The command-line tool
// runs on these same calls, so an embedding program resolves the same plan.
//
// The tool's own inputs come from buildExampleSystem()
// ("orchestration/example_system.h"), portableInventoryFixture()
// ("deployment/inventory.h") and compositeWorkload()
// ("estimation/estimators.h"); formatReport() ("app/report.h") prints a
// resolved deployment as the tool does.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "deployment/deployment.h"
#include "deployment/inventory.h"
#include "estimation/estimate.h"
#include "orchestration/system_spec.h"
#include "placement/ir.h"
#include "placement/parser.h"

namespace Core::App {

/// The outcome of one placement. Lowering refused it: `loweringIssues` lists
/// why, in the lowering's order, and `deployment` is absent. Otherwise
/// `loweringIssues` is empty and `deployment` is present; its `ir` is present
/// when the placement resolved, and its report's `issues` say why not.
struct PipelineResult {
    std::vector<Placement::PlacementIssue> loweringIssues;
    std::optional<Placement::DeploymentResult> deployment;
};

/// Parses `text` and lowers it against `system`: the first half of
/// resolvePlacement, for callers that build the inventory and the workload
/// only once the placement has lowered. Throws Placement::ParseError.
[[nodiscard]] Placement::LoweringResult lowerPlacementText(std::string_view text,
                                                           std::string fileName,
                                                           const Orchestration::SystemSpec& system);

/// Parses `text`, lowers it against `system` and resolves it against
/// `inventory` and `workload` (one requirement per engine). `fileName` names
/// the text in every source location and parse message. Throws
/// Placement::ParseError at the first error in the text; a placement that
/// does not fit is not an exception but a result with issues.
[[nodiscard]] PipelineResult resolvePlacement(std::string_view text, std::string fileName,
                                              const Orchestration::SystemSpec& system,
                                              const Placement::ResourceInventory& inventory,
                                              const std::vector<Estimation::WorkloadRequirement>& workload);

/// True when the placement resolved: `deployment` holds the resolved IR.
[[nodiscard]] bool isResolved(const PipelineResult& result);

/// Why the placement was refused, as the tool reports it: the first issue's
/// path, ": " and its message. Absent when it resolved. Throws
/// std::logic_error for a refusal without any issue, which no stage returns.
[[nodiscard]] std::optional<std::string> refusal(const PipelineResult& result);

} // namespace Core::App
