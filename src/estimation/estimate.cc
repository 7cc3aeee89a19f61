// Peak memory of one engine's requirement: every counted quantity must be
// known and valid, and the sum must fit in 64 bits.
#include "estimation/estimate.h"

#include "common/checked_math.h"
#include "estimation/checked_terms.h"

namespace Core::Estimation {

namespace {

bool isUsable(const ByteRange& range) {
    return range.isKnown() && range.isValid();
}

} // namespace

std::optional<std::uint64_t> peakMemory(const WorkloadRequirement& requirement) {
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

    const auto kv = checkedMul(e.kvCache.high, requirement.sessions);
    const auto act = checkedMul(e.activations.high, requirement.concurrency);
    const auto ws = checkedMul(e.workspace.high, requirement.concurrency);
    if (!kv || !act || !ws) {
        return std::nullopt;
    }
    const std::uint64_t optimizer = requirement.training ? e.optimizerState.high : 0;

    return checkedSum({e.weights.high, e.adapterWeights.high, optimizer, *kv, *act, *ws,
                       e.pool.high, e.runtimeOverhead.high});
}

} // namespace Core::Estimation
