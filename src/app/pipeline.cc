// Parse, lower, resolve: the order every run follows.
#include "app/pipeline.h"

#include <stdexcept>
#include <utility>

#include "app/placement_file.h"
#include "deployment/first_fit.h"
#include "estimation/estimators.h"
#include "placement/lowering.h"

namespace Core::App {
namespace {

template <class Issue> std::string firstIssue(const std::vector<Issue>& issues) {
    if (issues.empty()) {
        throw std::logic_error("a refused stage reported no issue");
    }
    return issues.front().path + ": " + issues.front().message;
}

/// Parse and lower, block by block. `ownedText`, when given, holds the bytes
/// that `text` views and is released once they are parsed.
Placement::LoweringResult lower(std::string_view text, PlacementBytes* ownedText,
                                std::string fileName, const Orchestration::SystemSpec& system,
                                PipelineDetail* detail,
                                Placement::IssueScope scope = Placement::IssueScope::every) {
    Placement::PlacementLowering lowering(
        system, detail != nullptr ? &detail->loweringNotes : nullptr, scope);
    Placement::PlacementSpec header = Placement::parsePlacement(text, std::move(fileName), lowering);
    if (ownedText != nullptr) {
        ownedText->release(); // the blocks own copies of what they keep
    }
    Placement::LoweringResult lowered = lowering.finish(header);
    if (detail != nullptr) {
        if (lowered.ir) {
            for (const Placement::DeviceSpec& device : lowering.devices()) {
                detail->deviceBlocks.emplace_back(device.name, device.location);
            }
            for (const Orchestration::EngineSpec& engine : system.engines) {
                if (const Placement::EnginePlacement* block = lowering.engineBlock(engine.id)) {
                    detail->engineBlocks.emplace_back(engine.id, block->location);
                }
            }
        }
        detail->header = std::move(header);
    }
    return lowered;
}

/// The one path every run takes.
PipelineResult run(std::string_view text, PlacementBytes* ownedText, std::string fileName,
                   const Orchestration::SystemSpec& system, const ResolutionInputs& inputs,
                   PipelineDetail* detail,
                   Placement::IssueScope scope = Placement::IssueScope::every) {
    Placement::LoweringResult lowered =
        lower(text, ownedText, std::move(fileName), system, detail, scope);
    if (!lowered.ir) {
        return {std::move(lowered.issues), std::nullopt};
    }
    std::vector<Estimation::WorkloadRequirement> workload = inputs.workload();
    const Placement::ResourceInventory inventory = inputs.inventory();
    PipelineResult result{{},
                          Placement::resolveDeployment(*lowered.ir, inventory, workload,
                                                       detail != nullptr ? &detail->resolution
                                                                         : nullptr)};
    if (detail != nullptr) {
        detail->ir = std::move(lowered.ir);
        detail->workload = std::move(workload);
    }
    return result;
}

} // namespace

ResolutionInputs portableInputs() {
    return {Estimation::compositeWorkload, Placement::portableInventoryFixture};
}

Placement::LoweringResult lowerPlacementText(std::string_view text, std::string fileName,
                                             const Orchestration::SystemSpec& system) {
    return lower(text, nullptr, std::move(fileName), system, nullptr);
}

PipelineResult resolvePlacement(std::string_view text, std::string fileName,
                                const Orchestration::SystemSpec& system,
                                const ResolutionInputs& inputs, PipelineDetail* detail) {
    return run(text, nullptr, std::move(fileName), system, inputs, detail);
}

PipelineResult resolvePlacement(std::string_view text, std::string fileName,
                                const Orchestration::SystemSpec& system,
                                const Placement::ResourceInventory& inventory,
                                const std::vector<Estimation::WorkloadRequirement>& workload) {
    const ResolutionInputs given{[&workload] { return workload; },
                                 [&inventory] { return inventory; }};
    return run(text, nullptr, std::move(fileName), system, given, nullptr);
}

PipelineResult resolvePlacementFile(const std::string& path,
                                    const Orchestration::SystemSpec& system,
                                    const ResolutionInputs& inputs, PipelineDetail* detail) {
    return resolvePlacementFile(path, path, system, inputs, detail);
}

PipelineResult resolvePlacementFile(const std::string& path, std::string name,
                                    const Orchestration::SystemSpec& system,
                                    const ResolutionInputs& inputs, PipelineDetail* detail,
                                    Placement::IssueScope scope) {
    PlacementBytes bytes = readPlacementBytes(path);
    return run(bytes.view(), &bytes, std::move(name), system, inputs, detail, scope);
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
