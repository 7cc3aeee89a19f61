// The five estimators, the dispatch over a workload profile, and the fixed
// workload of the composite system. Every figure goes through checked
// arithmetic: an estimate that cannot be represented is reported, never
// wrapped.
#include "estimation/estimators.h"

#include "common/checked_math.h"
#include "estimation/checked_terms.h"
#include "estimation/model_profile.h"
#include "estimation/transformer_terms.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace Core::Estimation {

namespace {

constexpr std::uint64_t kMiB = 1048576;

constexpr std::uint64_t kTransformerWorkspaceFloor = 1 * kMiB;
constexpr std::uint64_t kTransformerOverheadLow = 64 * kMiB;
constexpr std::uint64_t kTransformerOverheadHighFloor = 256 * kMiB;
constexpr std::uint64_t kOptimizerBytesPerParameter = 32;
constexpr std::uint64_t kInferenceActivationFactor = 4;
constexpr std::uint64_t kTrainingActivationFactor = 16;

constexpr std::uint64_t kSyncBytesPerNeuron = 64;
constexpr std::uint64_t kSyncBytesPerWeight = 32;
constexpr ByteRange kSyncWorkspace = ByteRange::range(1 * kMiB, 4 * kMiB);

constexpr std::uint64_t kDpshBytesPerNeuron = 128;
constexpr std::uint64_t kDpshBytesPerWeight = 64;
constexpr std::uint64_t kDpshBytesPerWorkspaceEntry = 64;

constexpr ByteRange kNeuralOverhead = ByteRange::range(16 * kMiB, 64 * kMiB);
constexpr ByteRange kSmallOverhead = ByteRange::range(1 * kMiB, 4 * kMiB);

constexpr std::uint64_t kPoolBytesPerSlot = 256;

template <class... Fs> struct Overloaded : Fs... { using Fs::operator()...; };
template <class... Fs> Overloaded(Fs...) -> Overloaded<Fs...>;

} // namespace

ParameterCount transformerParameters(const TransformerProfile& p) {
    if (p.vocabSize == 0 || p.layers == 0 || p.modelDim == 0 || p.ffnDim == 0 ||
        p.queryHeads == 0 || p.kvHeads == 0 || p.headDim == 0 || p.contextLength == 0 ||
        p.weightBytes == 0 || p.kvBytes == 0) {
        return {std::nullopt, "transformer profile is incomplete"};
    }

    const auto qDim = checkedMul(p.queryHeads, p.headDim);
    const auto kvDim = checkedMul(p.kvHeads, p.headDim);
    if (!qDim || !kvDim || *qDim != p.modelDim) {
        return {std::nullopt, "queryHeads * headDim must equal modelDim without overflow"};
    }

    const std::uint64_t d = p.modelDim;
    const auto embed = checkedMul(p.vocabSize, d);
    const auto q = checkedMul(d, *qDim);
    const auto k = checkedMul(d, *kvDim);
    const auto o = checkedMul(*qDim, d);
    const auto ffn = checkedProduct({3, d, p.ffnDim});
    const auto norms = checkedMul(2, d);
    const auto kv = k ? checkedMul(2, *k) : std::nullopt;
    if (!embed || !q || !k || !o || !ffn || !norms || !kv) {
        return {std::nullopt, "transformer parameter count overflow"};
    }

    const auto perLayer = checkedSum({*norms, *q, *kv, *o, *ffn});
    if (!perLayer) {
        return {std::nullopt, "transformer layer parameter count overflow"};
    }

    // Untied embeddings carry a separate output projection of the same size.
    const std::uint64_t head = p.tiedEmbeddings ? 0 : *embed;
    const auto allLayers = checkedMul(*perLayer, p.layers);
    const auto params = allLayers ? checkedSum({*embed, *allLayers, d, head}) : std::nullopt;
    if (!params) {
        return {std::nullopt, "transformer parameter count overflow"};
    }
    return {params, {}};
}

void estimateTransformer(const TransformerProfile& p, ResourceEstimate& estimate,
                         std::vector<std::string>& errors) {
    ParameterCount count = transformerParameters(p);
    if (!count.parameters) {
        errors.push_back(std::move(count.error));
        return;
    }
    const auto params = count.parameters;
    const std::uint64_t d = p.modelDim;

    const auto w = checkedMul(*params, p.weightBytes);
    const auto a = checkedMul(p.adapterParameters, p.weightBytes);
    const auto cache =
        checkedProduct({p.layers, p.contextLength, p.kvHeads, p.headDim, 2, p.kvBytes});
    const auto actBase = checkedProduct({p.contextLength, d, p.weightBytes});
    if (!w || !a || !cache || !actBase) {
        errors.emplace_back("transformer byte estimate overflow");
        return;
    }
    writeTransformerTerms({*params, *w, *a, *cache, *actBase, p.weightBytes, p.training}, estimate,
                          errors);
}

void writeTransformerTerms(const TransformerBytes& bytes, ResourceEstimate& estimate,
                           std::vector<std::string>& errors) {
    const std::uint64_t activationFactor =
        bytes.training ? kTrainingActivationFactor : kInferenceActivationFactor;
    const auto actPeak = checkedMul(bytes.activationBase, activationFactor);
    if (!actPeak) {
        errors.emplace_back("transformer byte estimate overflow");
        return;
    }

    estimate.weights = ByteRange::exact(bytes.weights);
    estimate.adapterWeights = ByteRange::exact(bytes.adapterWeights);
    estimate.kvCache = ByteRange::exact(bytes.kvCache);
    estimate.activations = ByteRange::range(bytes.activationBase, *actPeak);
    estimate.workspace = ByteRange::range(
        kTransformerWorkspaceFloor, std::max(kTransformerWorkspaceFloor, bytes.activationBase));

    if (bytes.training) {
        const auto opt = checkedMul(bytes.parameters, kOptimizerBytesPerParameter);
        if (!opt) {
            errors.emplace_back("optimizer estimate overflow");
            return;
        }
        estimate.optimizerState = ByteRange::range(*opt, *opt);
    }

    estimate.runtimeOverhead = ByteRange::range(
        kTransformerOverheadLow, std::max(kTransformerOverheadHighFloor, bytes.weights / 10));
    estimate.tags = {"transformer", "dtype_bytes_" + std::to_string(bytes.weightBytes)};
}

void estimateSync(const SyncProfile& p, ResourceEstimate& estimate,
                  std::vector<std::string>& errors) {
    if (p.neurons == 0) {
        errors.emplace_back("sync neuron count is unknown");
        return;
    }
    const auto act = checkedMul(p.neurons, kSyncBytesPerNeuron);
    const auto w = checkedMul(p.weightEntries, kSyncBytesPerWeight);
    if (!act || !w) {
        errors.emplace_back("sync estimate overflow");
        return;
    }
    estimate.weights = ByteRange::exact(*w);
    estimate.activations = ByteRange::range(*act, *act);
    estimate.workspace = kSyncWorkspace;
    estimate.runtimeOverhead = kNeuralOverhead;
    estimate.tags = {"sync"};
}

void estimateDpsh(const DpshProfile& p, ResourceEstimate& estimate,
                  std::vector<std::string>& errors) {
    if (p.neurons == 0) {
        errors.emplace_back("DPSH neuron count is unknown");
        return;
    }
    const auto act = checkedMul(p.neurons, kDpshBytesPerNeuron);
    const auto w = checkedMul(p.weightEntries, kDpshBytesPerWeight);
    const auto ws = checkedMul(p.workspaceEntries, kDpshBytesPerWorkspaceEntry);
    if (!act || !w || !ws) {
        errors.emplace_back("DPSH estimate overflow");
        return;
    }
    estimate.weights = ByteRange::exact(*w);
    estimate.activations = ByteRange::range(*act, *act);
    estimate.workspace = ByteRange::range(*ws, *ws);
    estimate.runtimeOverhead = kNeuralOverhead;
    estimate.tags = {"dpsh"};
}

void estimateAdapter(const AdapterProfile& p, ResourceEstimate& estimate,
                     std::vector<std::string>& errors) {
    if (p.parameterWidth == 0 && p.parameters != 0) {
        errors.emplace_back("adapter parameter width is unknown");
        return;
    }
    const auto aw = checkedMul(p.parameters, p.parameterWidth);
    if (!aw) {
        errors.emplace_back("adapter estimate overflow");
        return;
    }
    estimate.weights = ByteRange::exact(0);
    estimate.adapterWeights = ByteRange::exact(*aw);
    estimate.activations = ByteRange::exact(p.activationBytes);
    estimate.workspace = ByteRange::exact(0);
    estimate.runtimeOverhead = kSmallOverhead;
    estimate.tags = {"adapter"};
}

void estimateOrchestrationPool(const OrchestrationPoolProfile& p, ResourceEstimate& estimate,
                               std::vector<std::string>& errors) {
    const auto slotBytes = checkedMul(p.slots, kPoolBytesPerSlot);
    const auto total = slotBytes ? checkedAdd(p.baseBytes, *slotBytes) : std::nullopt;
    if (!total) {
        errors.emplace_back("orchestration pool estimate overflow");
        return;
    }
    estimate.weights = ByteRange::exact(0);
    estimate.activations = ByteRange::exact(0);
    estimate.workspace = ByteRange::exact(0);
    estimate.pool = ByteRange::exact(*total);
    estimate.runtimeOverhead = kSmallOverhead;
    estimate.tags = {"orchestration_pool"};
}

EstimateResult estimateWorkload(const WorkloadProfile& profile) {
    EstimateResult result;
    ResourceEstimate working;
    std::visit(
        Overloaded{
            [&](const TransformerProfile& p) { estimateTransformer(p, working, result.errors); },
            [&](const SyncProfile& p) { estimateSync(p, working, result.errors); },
            [&](const DpshProfile& p) { estimateDpsh(p, working, result.errors); },
            [&](const AdapterProfile& p) { estimateAdapter(p, working, result.errors); },
            [&](const OrchestrationPoolProfile& p) {
                estimateOrchestrationPool(p, working, result.errors);
            },
            [&](const ModelProfile& p) { estimateModel(p, working, result.errors); },
        },
        profile);
    // A failed estimator may have written some fields already; none of them
    // may leak out as an estimate.
    if (result.errors.empty()) {
        result.estimate = std::move(working);
    }
    return result;
}

ResourceEstimate estimateOrThrow(const WorkloadProfile& profile) {
    EstimateResult result = estimateWorkload(profile);
    if (!result.estimate) {
        throw std::runtime_error("resource estimate is unknown");
    }
    return std::move(*result.estimate);
}

WorkloadRequirement estimateRequirement(const WorkloadSpec& spec) {
    return {spec.engine, estimateOrThrow(spec.profile), spec.sessions, spec.concurrency,
            spec.training};
}

std::vector<WorkloadSpec> compositeWorkloadSpecs() {
    const SyncProfile sensory{.neurons = 2, .weightEntries = 2};
    const TransformerProfile intuition{
        .vocabSize = 8,
        .layers = 1,
        .modelDim = 2,
        .ffnDim = 4,
        .queryHeads = 1,
        .kvHeads = 1,
        .headDim = 2,
        .contextLength = 16,
        .weightBytes = 4,
        .kvBytes = 4,
        .tiedEmbeddings = true,
        .training = false,
        .adapterParameters = 0,
    };
    const DpshProfile temporal{.neurons = 2, .weightEntries = 2, .workspaceEntries = 64};
    return {
        {.engine = "sensory-sync", .profile = sensory, .sessions = 0, .concurrency = 1,
         .training = false},
        {.engine = "intuition-transformer", .profile = intuition, .sessions = 1,
         .concurrency = 1, .training = false},
        {.engine = "temporal-dpsh", .profile = temporal, .sessions = 0, .concurrency = 1,
         .training = false},
    };
}

std::vector<WorkloadRequirement> compositeWorkload() {
    std::vector<WorkloadRequirement> requirements;
    for (const WorkloadSpec& spec : compositeWorkloadSpecs()) {
        requirements.push_back(estimateRequirement(spec));
    }
    return requirements;
}

namespace {

/// The largest count from `low` up to `high` for which `fits` holds, given
/// that it holds for `low` and, once false, stays false.
template <class Fits>
std::uint64_t largestFitting(std::uint64_t low, std::uint64_t high, Fits fits) {
    while (low < high) {
        const std::uint64_t middle = low + (high - low) / 2 + 1;
        if (fits(middle)) {
            low = middle;
        } else {
            high = middle - 1;
        }
    }
    return low;
}

} // namespace

std::optional<WorkloadLimits> workloadLimits(const WorkloadSpec& spec, std::uint64_t budget) {
    EstimateResult estimated = estimateWorkload(spec.profile);
    if (!estimated.estimate) {
        return std::nullopt;
    }
    WorkloadRequirement requirement{spec.engine, std::move(*estimated.estimate), spec.sessions,
                                    spec.concurrency, spec.training};
    const auto fitsWith = [&](auto change) {
        WorkloadRequirement changed = requirement;
        change(changed);
        const std::optional<std::uint64_t> peak = peakMemory(changed);
        return peak && *peak <= budget;
    };
    if (!fitsWith([](WorkloadRequirement&) {})) {
        return std::nullopt;
    }
    constexpr std::uint64_t kMaxCount = std::numeric_limits<std::uint32_t>::max();
    WorkloadLimits limits;
    limits.sessions = static_cast<std::uint32_t>(
        largestFitting(spec.sessions, kMaxCount, [&](std::uint64_t sessions) {
            return fitsWith([sessions](WorkloadRequirement& r) {
                r.sessions = static_cast<std::uint32_t>(sessions);
            });
        }));
    limits.concurrency = static_cast<std::uint32_t>(
        largestFitting(spec.concurrency, kMaxCount, [&](std::uint64_t concurrency) {
            return fitsWith([concurrency](WorkloadRequirement& r) {
                r.concurrency = static_cast<std::uint32_t>(concurrency);
            });
        }));
    // The context changes the estimate itself: estimate it anew at each step.
    const auto fitsContext = [&](const WorkloadProfile& changedProfile) {
        EstimateResult result = estimateWorkload(changedProfile);
        if (!result.estimate) {
            return false;
        }
        WorkloadRequirement changed = requirement;
        changed.estimate = std::move(*result.estimate);
        const std::optional<std::uint64_t> peak = peakMemory(changed);
        return peak && *peak <= budget;
    };
    if (const auto* transformer = std::get_if<TransformerProfile>(&spec.profile)) {
        limits.contextLength = largestFitting(
            transformer->contextLength, std::numeric_limits<std::uint64_t>::max(),
            [&](std::uint64_t context) {
                TransformerProfile longer = *transformer;
                longer.contextLength = context;
                return fitsContext(longer);
            });
    } else if (const auto* model = std::get_if<ModelProfile>(&spec.profile)) {
        const std::uint64_t limit =
            model->contextLimit.value_or(std::numeric_limits<std::uint64_t>::max());
        limits.contextLength =
            largestFitting(model->contextLength, limit, [&](std::uint64_t context) {
                ModelProfile longer = *model;
                longer.contextLength = context;
                return fitsContext(longer);
            });
        limits.contextAtModelLimit = model->contextLimit && *limits.contextLength == limit;
    }
    return limits;
}

WorkloadSpec withContext(WorkloadSpec spec, std::uint64_t context) {
    if (auto* transformer = std::get_if<TransformerProfile>(&spec.profile)) {
        transformer->contextLength = context;
    } else if (auto* model = std::get_if<ModelProfile>(&spec.profile)) {
        model->contextLength = context;
    }
    return spec;
}

WorkloadCuts workloadCuts(const WorkloadSpec& spec, std::uint64_t budget) {
    const auto fits = [budget](const WorkloadSpec& changed) {
        EstimateResult estimated = estimateWorkload(changed.profile);
        if (!estimated.estimate) {
            return false;
        }
        const std::optional<std::uint64_t> peak =
            peakMemory({changed.engine, std::move(*estimated.estimate), changed.sessions,
                        changed.concurrency, changed.training});
        return peak && *peak <= budget;
    };
    // Each search keeps the others' figures and finds the largest value that
    // fits, fewer of a count never costing more.
    const auto largest = [&](std::uint64_t current, auto change) -> std::optional<std::uint64_t> {
        if (current <= 1 || !fits(change(1))) {
            return std::nullopt;
        }
        return largestFitting(1, current - 1, [&](std::uint64_t value) { return fits(change(value)); });
    };
    WorkloadCuts cuts;
    if (const auto sessions = largest(spec.sessions, [&spec](std::uint64_t value) {
            WorkloadSpec changed = spec;
            changed.sessions = static_cast<std::uint32_t>(value);
            return changed;
        })) {
        cuts.sessions = static_cast<std::uint32_t>(*sessions);
    }
    if (const auto concurrency = largest(spec.concurrency, [&spec](std::uint64_t value) {
            WorkloadSpec changed = spec;
            changed.concurrency = static_cast<std::uint32_t>(value);
            return changed;
        })) {
        cuts.concurrency = static_cast<std::uint32_t>(*concurrency);
    }
    std::uint64_t context = 0;
    if (const auto* transformer = std::get_if<TransformerProfile>(&spec.profile)) {
        context = transformer->contextLength;
    } else if (const auto* model = std::get_if<ModelProfile>(&spec.profile)) {
        context = model->contextLength;
    }
    cuts.contextLength = largest(context, [&spec](std::uint64_t value) { return withContext(spec, value); });
    return cuts;
}

} // namespace Core::Estimation
