// Building the explanation: each workload estimated once, its peak's terms
// labelled once, and the limits of each engine on its device.
#include "companion/explanation.h"

#include <map>
#include <utility>

#include "common/byte_order.h"
#include "deployment/deployment.h"

namespace Core::Companion {
namespace {

struct TermNames {
    std::string_view name;
    std::string_view label;
    std::string_view per;
};

constexpr TermNames kTerms[] = {
    {"weights", "weights", ""},
    {"adapter_weights", "adapter weights", ""},
    {"optimizer_state", "optimizer state", ""},
    {"kv_cache", "KV cache", "session"},
    {"activations", "activations", "concurrent execution"},
    {"workspace", "workspace", "concurrent execution"},
    {"pool", "pool", ""},
    {"runtime_overhead", "runtime overhead", ""},
};

TermExplanation explainTerm(const Estimation::PeakTerm& term) {
    for (const TermNames& names : kTerms) {
        if (names.name == term.name) {
            return {names.name, names.label, names.per, term};
        }
    }
    return {term.name, term.name, "", term};
}

/// Each workload's index by engine id; a repeated id keeps its first, as
/// resolution does.
std::map<std::string_view, std::size_t, ByteLess> workloadsByEngine(const SystemSource& system) {
    std::map<std::string_view, std::size_t, ByteLess> indices;
    const std::vector<Estimation::WorkloadSpec>& specs = system.workloadSpecs();
    for (std::size_t i = 0; i < specs.size(); ++i) {
        indices.try_emplace(specs[i].engine, i);
    }
    return indices;
}

WorkloadExplanation explainAt(const SystemSource& system, std::size_t index) {
    return explainWorkload(system.workloadSpecs()[index], system.modelSources()[index]);
}

} // namespace

WorkloadExplanation explainWorkload(const Estimation::WorkloadSpec& spec,
                                    const ModelSource& source) {
    WorkloadExplanation explanation;
    explanation.sessions = spec.sessions;
    explanation.concurrency = spec.concurrency;
    explanation.training = spec.training;
    explanation.model_config = source.config;
    explanation.checkpoint = source.checkpoint;
    if (const auto* transformer = std::get_if<Estimation::TransformerProfile>(&spec.profile)) {
        explanation.parameters = Estimation::transformerParameters(*transformer).parameters;
        explanation.context_length = transformer->contextLength;
    } else if (const auto* model = std::get_if<Estimation::ModelProfile>(&spec.profile)) {
        if (const std::optional<Estimation::ModelParameters> counted =
                Estimation::modelParameters(*model)) {
            explanation.parameters = counted->total;
            if (counted->active != counted->total) {
                explanation.active_parameters = counted->active;
            }
        }
        explanation.context_length = model->contextLength;
        explanation.context_limit = model->contextLimit;
    }
    Estimation::EstimateResult estimated = Estimation::estimateWorkload(spec.profile);
    if (!estimated.estimate) {
        explanation.estimate_error = estimated.errors.front();
        return explanation;
    }
    const Estimation::WorkloadRequirement requirement{spec.engine, std::move(*estimated.estimate),
                                                      spec.sessions, spec.concurrency,
                                                      spec.training};
    if (const std::optional<Estimation::PeakBreakdown> breakdown =
            Estimation::peakBreakdown(requirement)) {
        explanation.peak = breakdown->peak;
        for (const Estimation::PeakTerm& term : breakdown->terms) {
            explanation.terms.push_back(explainTerm(term));
        }
    }
    return explanation;
}

std::vector<SystemEngineExplanation> explainSystem(const SystemSource& system) {
    std::map<std::string_view, std::size_t, ByteLess> workloads = workloadsByEngine(system);
    std::vector<SystemEngineExplanation> engines;
    for (const Orchestration::EngineSpec& engine : system.spec().engines) {
        SystemEngineExplanation explanation{&engine, std::nullopt};
        if (const auto found = workloads.find(engine.id); found != workloads.end()) {
            explanation.workload = explainAt(system, found->second);
            workloads.erase(found); // a repeated engine id is explained once
        }
        engines.push_back(std::move(explanation));
    }
    return engines;
}

std::vector<EngineExplanation> explainEngines(const PlacementRun& run, const SystemSource& system) {
    std::vector<EngineExplanation> engines;
    if (!run.resolved()) {
        return engines;
    }
    const Placement::DeploymentResult& deployment = *run.result.deployment;
    const std::map<std::string_view, std::size_t, ByteLess> workloads = workloadsByEngine(system);
    std::map<std::string_view, const Placement::DeviceBudget*, ByteLess> budgets;
    for (const Placement::DeviceBudget& budget : deployment.report.budgets) {
        budgets.try_emplace(budget.device, &budget);
    }
    for (const Placement::LoweredEngine& engine : deployment.ir->engines) {
        EngineExplanation explanation{engine.id,        engine.kind,   engine.residency,
                                      engine.priority,  engine.device, std::nullopt,
                                      std::nullopt};
        const auto found = workloads.find(engine.id);
        if (found != workloads.end()) {
            const Estimation::WorkloadSpec& spec = system.workloadSpecs()[found->second];
            explanation.workload = explainAt(system, found->second);
            const auto budget = engine.device ? budgets.find(*engine.device) : budgets.end();
            if (budget != budgets.end() && explanation.workload->peak) {
                // The engine may grow into its device's headroom, no further.
                const std::uint64_t room = *explanation.workload->peak + budget->second->headroom;
                if (const std::optional<Estimation::WorkloadLimits> limits =
                        Estimation::workloadLimits(spec, room)) {
                    explanation.growth = Growth{*engine.device, budget->second->headroom, *limits};
                }
            }
        }
        engines.push_back(std::move(explanation));
    }
    return engines;
}

} // namespace Core::Companion
