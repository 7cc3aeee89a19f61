// The pipeline: one placement text in, the resolved deployment or the reason
// it was refused out. The command-line tools and embedding programs all run
// it, so they resolve the same plan the same way.
//
// The tool's own inputs come from buildExampleSystem()
// ("orchestration/example_system.h") and portableInputs() below;
// formatReport() ("app/report.h") prints a resolved deployment as the tool does.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/source_location.h"
#include "deployment/deployment.h"
#include "deployment/first_fit.h"
#include "deployment/inventory.h"
#include "estimation/estimate.h"
#include "orchestration/system_spec.h"
#include "placement/hints.h"
#include "placement/ir.h"
#include "placement/lowering.h"
#include "placement/parser.h"

namespace Core::App {

/// What a lowered placement is resolved against. Both are built only once the
/// placement has lowered, the workload first, so that a refused placement
/// costs neither (the inventory may come from probing a machine).
struct ResolutionInputs {
    std::function<std::vector<Estimation::WorkloadRequirement>()> workload;
    std::function<Placement::ResourceInventory()> inventory;
};

/// The tool's inputs: compositeWorkload() and portableInventoryFixture().
[[nodiscard]] ResolutionInputs portableInputs();

/// The outcome of one placement. Lowering refused it: `loweringIssues` lists
/// why, in the lowering's order, and `deployment` is absent. Otherwise
/// `loweringIssues` is empty and `deployment` is present; its `ir` is present
/// when the placement resolved, and its report's `issues` say why not.
struct PipelineResult {
    std::vector<Placement::PlacementIssue> loweringIssues;
    std::optional<Placement::DeploymentResult> deployment;
};

/// What a run can tell beyond its result, for a caller that explains it: the
/// notes that name the fix for each issue, where the blocks that issues name
/// were written, the workload it resolved against and what first fit did.
struct PipelineDetail {
    /// The placement's name, target, policy, determinism and location; its
    /// block lists stay empty. Filled once the text has parsed.
    Placement::PlacementSpec header;
    /// Each device block, and each block of a graph engine, with where it
    /// stands; filled when the placement lowered.
    std::vector<std::pair<std::string, SourceLocation>> deviceBlocks;
    std::vector<std::pair<std::string, SourceLocation>> engineBlocks;
    Placement::IssueNotes loweringNotes;
    /// The lowered IR (before first fit gave its engines devices), and the
    /// workload it was resolved against; filled when the placement lowered.
    std::optional<Placement::PlacementIR> ir;
    std::vector<Estimation::WorkloadRequirement> workload;
    Placement::ResolutionDetail resolution;
};

/// Parses `text` and lowers it against `system`, block by block, so that a
/// wide placement is never held whole. Throws Placement::ParseError.
[[nodiscard]] Placement::LoweringResult lowerPlacementText(std::string_view text,
                                                           std::string fileName,
                                                           const Orchestration::SystemSpec& system);

/// Parses `text`, lowers it against `system` and resolves it against the
/// inputs. `fileName` names the text in every source location and parse
/// message. Throws Placement::ParseError at the first error in the text; a
/// placement that does not fit is not an exception but a result with issues.
[[nodiscard]] PipelineResult resolvePlacement(std::string_view text, std::string fileName,
                                              const Orchestration::SystemSpec& system,
                                              const ResolutionInputs& inputs,
                                              PipelineDetail* detail = nullptr);

/// The same against a given inventory and workload (one requirement per engine).
[[nodiscard]] PipelineResult
resolvePlacement(std::string_view text, std::string fileName,
                 const Orchestration::SystemSpec& system,
                 const Placement::ResourceInventory& inventory,
                 const std::vector<Estimation::WorkloadRequirement>& workload);

/// Reads the file as readPlacementFile does ("app/placement_file.h") and
/// resolves it, naming it `path`; the text is freed as soon as it is parsed.
/// Throws std::runtime_error when the file cannot be read, as well.
[[nodiscard]] PipelineResult resolvePlacementFile(const std::string& path,
                                                  const Orchestration::SystemSpec& system,
                                                  const ResolutionInputs& inputs,
                                                  PipelineDetail* detail = nullptr);
/// The same, naming the text `name` where a caller reads it from elsewhere
/// (standard input, say). With IssueScope::first, a refused lowering lists
/// only its first issue, all that refusal() shows.
[[nodiscard]] PipelineResult
resolvePlacementFile(const std::string& path, std::string name,
                     const Orchestration::SystemSpec& system, const ResolutionInputs& inputs,
                     PipelineDetail* detail = nullptr,
                     Placement::IssueScope scope = Placement::IssueScope::every);

/// True when the placement resolved: `deployment` holds the resolved IR.
[[nodiscard]] bool isResolved(const PipelineResult& result);

/// Why the placement was refused, as the tool reports it: the first issue's
/// path, ": " and its message. Absent when it resolved. Throws
/// std::logic_error for a refusal without any issue, which no stage returns.
[[nodiscard]] std::optional<std::string> refusal(const PipelineResult& result);

} // namespace Core::App
