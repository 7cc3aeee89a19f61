// Peak memory of one engine's requirement: every counted quantity must be
// known and valid, and the sum must fit in 64 bits.
#include "estimation/estimate.h"

#include "common/checked_math.h"

namespace Core::Estimation {

namespace {

bool isUsable(const ByteRange& range) {
    return range.isKnown() && range.isValid();
}

} // namespace

std::optional<PeakBreakdown> peakBreakdown(const WorkloadRequirement& requirement) {
    const ResourceEstimate& e = requirement.estimate;
    // A multiplier of 0 removes a term from the sum, not from the checks.
    if (!isUsable(e.weights) || !isUsable(e.adapterWeights) || !isUsable(e.kvCache) ||
        !isUsable(e.activations) || !isUsable(e.workspace) || !isUsable(e.pool) ||
        !isUsable(e.runtimeOverhead)) {
        return std::nullopt;
    }
    if (requirement.training && !isUsable(e.optimizerState)) {
        return std::nullopt;
    }

    PeakBreakdown breakdown;
    const auto add = [&breakdown](std::string_view name, const ByteRange& range,
                                  std::uint32_t multiplier) {
        const std::optional<std::uint64_t> bytes = checkedMul(range.high, multiplier);
        if (bytes) {
            breakdown.terms.push_back({name, range, multiplier, *bytes});
        }
        return bytes.has_value();
    };
    // Products first, then the sum, each checked: any overflow leaves no peak.
    const bool fits = add("weights", e.weights, 1) &&
                      add("adapter_weights", e.adapterWeights, 1) &&
                      (!requirement.training || add("optimizer_state", e.optimizerState, 1)) &&
                      add("kv_cache", e.kvCache, requirement.sessions) &&
                      add("activations", e.activations, requirement.concurrency) &&
                      add("workspace", e.workspace, requirement.concurrency) &&
                      add("pool", e.pool, 1) && add("runtime_overhead", e.runtimeOverhead, 1);
    if (!fits) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> sum = 0;
    for (const PeakTerm& term : breakdown.terms) {
        sum = checkedAdd(sum, term.bytes);
    }
    if (!sum) {
        return std::nullopt;
    }
    breakdown.peak = *sum;
    return breakdown;
}

std::optional<std::uint64_t> peakMemory(const WorkloadRequirement& requirement) {
    const std::optional<PeakBreakdown> breakdown = peakBreakdown(requirement);
    return breakdown ? std::optional(breakdown->peak) : std::nullopt;
}

} // namespace Core::Estimation
