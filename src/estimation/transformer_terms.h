// The terms every transformer estimate shares once its weights, cache and
// activation base are known: both the hand-written profile and a model read
// from its files write them here, so the two cannot drift apart.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "estimation/estimate.h"

namespace Core::Estimation {

/// Figures already checked for overflow by the caller.
struct TransformerBytes {
    std::uint64_t parameters = 0; ///< for the optimizer state
    std::uint64_t weights = 0;
    std::uint64_t adapterWeights = 0;
    std::uint64_t kvCache = 0;
    std::uint64_t activationBase = 0;
    std::uint32_t weightBytes = 0; ///< the tag's width
    bool training = false;
};

/// Writes the fields, or appends "transformer byte estimate overflow" or
/// "optimizer estimate overflow" and stops.
void writeTransformerTerms(const TransformerBytes& bytes, ResourceEstimate& estimate,
                           std::vector<std::string>& errors);

} // namespace Core::Estimation
