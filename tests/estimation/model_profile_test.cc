// A model read from its files: the weights as each checkpoint format packs
// a projection, the experts a token uses, the KV cache of sliding and latent
// layers, and the messages for what cannot be estimated.
#include "estimation/model_profile.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "estimation/estimators.h"

namespace Core::Estimation {
namespace {

/// One layer with one head of width 64 over a model of width 64, an MLP of
/// 128, a vocabulary of 32 and tied embeddings: every projection 64 wide.
ModelProfile tinyModel() {
    ModelProfile p;
    ModelArchitecture& a = p.architecture;
    a.family = "llama";
    a.vocabSize = 32;
    a.modelDim = 64;
    a.ffnDim = 128;
    a.queryHeads = 1;
    a.kvHeads = 1;
    a.headDim = 64;
    a.layers = {LayerPlan{}};
    a.tiedEmbeddings = true;
    p.contextLength = 16;
    p.weightBytes = 2;
    p.kvBytes = 2;
    return p;
}

std::vector<std::string> errorsOf(const ModelProfile& p) {
    return estimateWorkload(p).errors;
}

TEST(ModelProfileTest, EachFormatPacksTheProjectionsItsOwnWay) {
    // Four 64 x 64 attention projections and three 64 x 128 MLP ones; the
    // embeddings (32 x 64), two norms and the final norm (64 each) stay at 2 bytes.
    // Figures in 64 bits throughout.
    constexpr std::uint64_t k64 = 64;
    constexpr std::uint64_t k128 = 128;
    constexpr std::uint64_t k4 = 4; // a float32 scale
    constexpr std::uint64_t kUnpacked = (32 * k64 + 3 * k64) * 2;
    const struct {
        const char* name;
        Quantization quantization;
        std::uint64_t weights;
    } cases[] = {
        {"bf16", {}, kUnpacked + (4 * k64 * 64 + 3 * k64 * 128) * 2},
        // 4 bits a weight, and per group of 32 inputs a 4-bit zero and a
        // 2-byte scale for each output.
        {"awq", {QuantMethod::awq, 4, 32, {}, {}, false},
         kUnpacked + 4 * (k64 * 64 / 2 + 2 * k64 / 2 + 2 * k64 * 2) +
             2 * (k64 * 128 / 2 + 2 * k128 / 2 + 2 * k128 * 2) +
             (k128 * 64 / 2 + 4 * k64 / 2 + 4 * k64 * 2)},
        // GPTQ adds an int32 group index per input.
        {"gptq", {QuantMethod::gptq, 4, 32, {}, {}, false},
         kUnpacked + 4 * (k64 * 64 / 2 + 2 * k64 / 2 + 2 * k64 * 2 + k64 * 4) +
             2 * (k64 * 128 / 2 + 2 * k128 / 2 + 2 * k128 * 2 + k64 * 4) +
             (k128 * 64 / 2 + 4 * k64 / 2 + 4 * k64 * 2 + k128 * 4)},
        // Without a group size, one group spans every input.
        {"gptq one group", {QuantMethod::gptq, 8, {}, {}, {}, false},
         kUnpacked + 4 * (k64 * 64 + 64 + k64 * 2 + k64 * 4) +
             2 * (k64 * 128 + 128 + k128 * 2 + k64 * 4) + (k128 * 64 + 64 + k64 * 2 + k128 * 4)},
        // One byte a weight and a float32 scale per block of 48 x 48 (2 x 2
        // blocks of a 64 x 64 projection, 3 x 2 of a 128 x 64 one).
        {"fp8 blocks", {QuantMethod::fp8, 0, {}, 48, 48, false},
         kUnpacked + 4 * (k64 * 64 + 4 * k4) + 2 * (k128 * 64 + 6 * k4) + (k64 * 128 + 6 * k4)},
        {"fp8 static", {QuantMethod::fp8, 0, {}, {}, {}, true},
         kUnpacked + 4 * (k64 * 64 + 8) + 3 * (k64 * 128 + 8)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModelProfile p = tinyModel();
        p.quantization = c.quantization;
        const EstimateResult result = estimateWorkload(p);
        ASSERT_TRUE(result.estimate) << result.errors.front();
        EXPECT_EQ(result.estimate->weights, ByteRange::exact(c.weights));
    }
    // 4-bit AWQ packs eight outputs into a word: 60 outputs do not fill one.
    ModelProfile odd = tinyModel();
    odd.architecture.ffnDim = 60;
    odd.quantization = {QuantMethod::awq, 4, 32, {}, {}, false};
    EXPECT_EQ(errorsOf(odd), std::vector<std::string>{"projection 'gate_proj' of 60 x 64 does not "
                                                      "pack into 32-bit words at 4 bits"});
}

TEST(ModelProfileTest, ExpertsCountWhollyAndATokenUsesItsShare) {
    ModelProfile p = tinyModel();
    ModelArchitecture& a = p.architecture;
    a.layers = {LayerPlan{AttentionKind::full, false}, LayerPlan{AttentionKind::full, true}};
    a.experts = 4;
    a.expertsPerToken = 1;
    a.expertFfnDim = 32;
    a.sharedExpertFfnDim = 16;
    a.layout.sharedExpertGate = true;
    constexpr std::uint64_t k64 = 64;
    const std::uint64_t attention = 4 * k64 * 64 + 2 * k64;
    const std::uint64_t expert = 3 * k64 * 32;
    const std::uint64_t shared = 3 * k64 * 16 + 64;
    const std::uint64_t router = 4 * k64;
    const std::uint64_t rest = 32 * k64 + 64 + 2 * attention + 3 * k64 * 128;
    ASSERT_TRUE(modelParameters(p));
    EXPECT_EQ(modelParameters(p)->total, rest + 4 * expert + shared + router);
    EXPECT_EQ(modelParameters(p)->active, rest + expert + shared + router);
}

TEST(ModelProfileTest, TheCacheHoldsEachLayersTokens) {
    ModelProfile p = tinyModel();
    p.contextLength = 100;
    p.architecture.layers = {LayerPlan{AttentionKind::sliding, false}, LayerPlan{}};
    p.architecture.slidingWindow = 10;
    // (10 + 100) tokens x 2 x 64 wide x 2 bytes.
    EXPECT_EQ(estimateWorkload(p).estimate->kvCache, ByteRange::exact(110ULL * 2 * 64 * 2));
    // A latent cache of 72 elements a token in place of keys and values.
    p.architecture.latentCacheWidth = 72;
    EXPECT_EQ(estimateWorkload(p).estimate->kvCache, ByteRange::exact(110ULL * 72 * 2));
}

TEST(ModelProfileTest, WhatCannotBeEstimatedSaysWhy) {
    ModelProfile past = tinyModel();
    past.contextLimit = 8;
    EXPECT_EQ(errorsOf(past),
              std::vector<std::string>{"a context of 16 tokens is past the model's limit of 8"});

    ModelProfile empty = tinyModel();
    empty.architecture.layers.clear();
    EXPECT_EQ(errorsOf(empty), std::vector<std::string>{"transformer profile is incomplete"});

    ModelProfile huge = tinyModel();
    huge.architecture.vocabSize = std::numeric_limits<std::uint64_t>::max() / 2;
    EXPECT_EQ(errorsOf(huge), std::vector<std::string>{"transformer parameter count overflow"});

    // A checkpoint without a family gives its weights, not its parameters.
    ModelProfile unknown = tinyModel();
    unknown.architecture.family.clear();
    unknown.checkpointBytes = 1000;
    unknown.checkpointElements = 500;
    EXPECT_EQ(estimateWorkload(unknown).estimate->weights, ByteRange::exact(1000));
    EXPECT_EQ(modelParameters(unknown)->total, 500U);
    unknown.quantization.method = QuantMethod::gptq;
    EXPECT_FALSE(modelParameters(unknown));
    unknown.training = true;
    EXPECT_EQ(errorsOf(unknown), std::vector<std::string>{"optimizer estimate overflow"});
}

TEST(ModelProfileTest, TheLongestContextStopsAtTheModelsLimit) {
    ModelProfile p = tinyModel();
    p.contextLimit = 64;
    const WorkloadSpec spec{.engine = "m", .profile = p, .sessions = 1, .concurrency = 1,
                            .training = false};
    const std::optional<WorkloadLimits> limits = workloadLimits(spec, std::uint64_t{1} << 40);
    ASSERT_TRUE(limits);
    EXPECT_EQ(limits->contextLength, 64U);
    EXPECT_TRUE(limits->contextAtModelLimit);

    // Cut to fit: the most sessions that bring the peak within a budget.
    const WorkloadRequirement one{"m", estimateOrThrow(p), 1, 1, false};
    const std::uint64_t perSession = estimateOrThrow(p).kvCache.high;
    WorkloadSpec many = spec;
    many.sessions = 10;
    const WorkloadCuts cuts = workloadCuts(many, *peakMemory(one) + 3 * perSession);
    EXPECT_EQ(cuts.sessions, 4U);
    EXPECT_FALSE(cuts.concurrency); // it is 1 already
}

} // namespace
} // namespace Core::Estimation
