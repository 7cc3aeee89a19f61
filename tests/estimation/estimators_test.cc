// The five estimators, their failure messages, the dispatch over a workload
// profile and the fixed workload of the composite system.
#include "estimation/estimators.h"

#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace Core::Estimation {

// Readable failure output for byte figures.
void PrintTo(const ByteRange& range, std::ostream* out) {
    *out << "{" << range.low << ".." << range.high << " kind " << static_cast<int>(range.kind)
         << "}";
}

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kMiB = 1048576;

// The transformer of the composite workload: 62 parameters.
TransformerProfile smallTransformer() {
    return {.vocabSize = 8,
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
            .adapterParameters = 0};
}

// Width 1 with one layer: params = vocabSize + 10, and with 1-byte weights
// the weights are the parameter count.
TransformerProfile unitWidthTransformer(std::uint64_t vocabSize) {
    TransformerProfile p = smallTransformer();
    p.vocabSize = vocabSize;
    p.modelDim = 1;
    p.headDim = 1;
    p.ffnDim = 1;
    p.weightBytes = 1;
    p.kvBytes = 1;
    return p;
}

TransformerProfile transformerWith(const std::function<void(TransformerProfile&)>& change) {
    TransformerProfile p = smallTransformer();
    change(p);
    return p;
}

ResourceEstimate estimateOf(const WorkloadProfile& profile) {
    const EstimateResult result = estimateWorkload(profile);
    EXPECT_EQ(result.errors, std::vector<std::string>{});
    return result.estimate.value_or(ResourceEstimate{});
}

void expectSameEstimate(const ResourceEstimate& actual, const ResourceEstimate& expected) {
    EXPECT_EQ(actual.weights, expected.weights);
    EXPECT_EQ(actual.adapterWeights, expected.adapterWeights);
    EXPECT_EQ(actual.optimizerState, expected.optimizerState);
    EXPECT_EQ(actual.kvCache, expected.kvCache);
    EXPECT_EQ(actual.activations, expected.activations);
    EXPECT_EQ(actual.workspace, expected.workspace);
    EXPECT_EQ(actual.pool, expected.pool);
    EXPECT_EQ(actual.runtimeOverhead, expected.runtimeOverhead);
    EXPECT_EQ(actual.tags, expected.tags);
}

TEST(CompositeWorkload, MatchesTheEstimatesTableAndPeaks) {
    struct Row {
        std::string engine;
        std::uint32_t sessions;
        ResourceEstimate estimate; // unlisted fields keep their start values
        std::uint64_t peak;
    };
    const std::vector<Row> rows = {
        {"sensory-sync",
         0,
         {.weights = ByteRange::exact(64),
          .activations = ByteRange::range(128, 128),
          .workspace = ByteRange::range(1048576, 4194304),
          .runtimeOverhead = ByteRange::range(16777216, 67108864),
          .tags = {"sync"}},
         71303360},
        {"intuition-transformer",
         1,
         {.weights = ByteRange::exact(248),
          .kvCache = ByteRange::exact(256),
          .activations = ByteRange::range(128, 512),
          .workspace = ByteRange::range(1048576, 1048576),
          .runtimeOverhead = ByteRange::range(67108864, 268435456),
          .tags = {"transformer", "dtype_bytes_4"}},
         269485048},
        {"temporal-dpsh",
         0,
         {.weights = ByteRange::exact(128),
          .activations = ByteRange::range(256, 256),
          .workspace = ByteRange::range(4096, 4096),
          .runtimeOverhead = ByteRange::range(16777216, 67108864),
          .tags = {"dpsh"}},
         67113344},
    };

    const std::vector<WorkloadRequirement> workload = compositeWorkload();
    ASSERT_EQ(workload.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].engine);
        const WorkloadRequirement& requirement = workload[i];
        EXPECT_EQ(requirement.engine, rows[i].engine);
        EXPECT_EQ(requirement.sessions, rows[i].sessions);
        EXPECT_EQ(requirement.concurrency, 1u);
        EXPECT_FALSE(requirement.training);
        expectSameEstimate(requirement.estimate, rows[i].estimate);
        EXPECT_EQ(peakMemory(requirement), rows[i].peak);
    }
}

TEST(EstimateTransformer, WorkedExample) {
    // With 1-byte weights the weights show the parameter count itself.
    TransformerProfile oneByte = smallTransformer();
    oneByte.weightBytes = 1;
    EXPECT_EQ(estimateOf(oneByte).weights, ByteRange::exact(62));

    const ResourceEstimate e = estimateOf(smallTransformer());
    EXPECT_EQ(e.weights, ByteRange::exact(248));
    EXPECT_EQ(e.kvCache, ByteRange::exact(256));
    EXPECT_EQ(e.activations, ByteRange::range(128, 512));
    EXPECT_EQ(e.workspace, ByteRange::range(1048576, 1048576));
    EXPECT_EQ(e.runtimeOverhead, ByteRange::range(67108864, 268435456));
    EXPECT_EQ(e.optimizerState, ByteRange::exact(0));
    EXPECT_EQ(e.adapterWeights, ByteRange::exact(0));
}

TEST(EstimateTransformer, UntiedEmbeddingsCountTwice) {
    TransformerProfile untied = smallTransformer();
    untied.tiedEmbeddings = false;
    // 62 + vocabSize * modelDim = 78 parameters of 4 bytes.
    EXPECT_EQ(estimateOf(untied).weights, ByteRange::exact(312));
}

TEST(EstimateTransformer, TrainingWidensActivationsAndAddsOptimizerState) {
    TransformerProfile training = smallTransformer();
    training.training = true;
    const ResourceEstimate e = estimateOf(training);
    EXPECT_EQ(e.activations, ByteRange::range(128, 2048));
    EXPECT_EQ(e.optimizerState, ByteRange::range(62ULL * 32, 62ULL * 32));
    EXPECT_EQ(e.weights, ByteRange::exact(248));
}

TEST(EstimateTransformer, AdapterWeightsAndTagFollowTheWeightWidth) {
    TransformerProfile p = smallTransformer();
    p.weightBytes = 2;
    p.adapterParameters = 100;
    const ResourceEstimate e = estimateOf(p);
    EXPECT_EQ(e.adapterWeights, ByteRange::exact(200));
    EXPECT_EQ(e.tags, (std::vector<std::string>{"transformer", "dtype_bytes_2"}));
}

TEST(EstimateTransformer, WorkspaceFollowsActivationBaseAboveTheFloor) {
    TransformerProfile p = smallTransformer();
    p.contextLength = 16ULL * 1024 * 16; // actBase = 16 * 16 * 1024 * 2 * 4 = 2 MiB
    const ResourceEstimate e = estimateOf(p);
    EXPECT_EQ(e.activations, ByteRange::range(2 * kMiB, 8 * kMiB));
    EXPECT_EQ(e.workspace, ByteRange::range(kMiB, 2 * kMiB));
}

TEST(EstimateTransformer, RuntimeOverheadSwitchesToATenthOfTheWeights) {
    struct Case {
        std::uint64_t weights;
        std::uint64_t overheadHigh;
    };
    const std::vector<Case> cases = {
        {2684354560, 268435456}, // exactly ten times the floor
        {2684354569, 268435456},
        {2684354570, 268435457},
        {26843545609, 2684354560},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.weights);
        const ResourceEstimate e = estimateOf(unitWidthTransformer(c.weights - 10));
        ASSERT_EQ(e.weights, ByteRange::exact(c.weights));
        EXPECT_EQ(e.runtimeOverhead, ByteRange::range(67108864, c.overheadHigh));
    }
}

TEST(EstimateOtherEngines, WriteTheirFieldsAndLeaveTheRestAtStartValues) {
    struct Case {
        const char* name;
        WorkloadProfile profile;
        ResourceEstimate expected; // unlisted fields keep their start values
    };
    const ByteRange zero = ByteRange::exact(0);
    const ByteRange neural = ByteRange::range(16 * kMiB, 64 * kMiB);
    const ByteRange small = ByteRange::range(kMiB, 4 * kMiB);
    const std::vector<Case> cases = {
        {"sync without weights",
         SyncProfile{.neurons = 3, .weightEntries = 0},
         {.weights = zero,
          .activations = ByteRange::range(192, 192),
          .workspace = small,
          .runtimeOverhead = neural,
          .tags = {"sync"}}},
        {"dpsh",
         DpshProfile{.neurons = 1, .weightEntries = 3, .workspaceEntries = 5},
         {.weights = ByteRange::exact(192),
          .activations = ByteRange::range(128, 128),
          .workspace = ByteRange::range(320, 320),
          .runtimeOverhead = neural,
          .tags = {"dpsh"}}},
        {"adapter",
         AdapterProfile{.parameters = 10, .parameterWidth = 2, .activationBytes = 7},
         {.weights = zero,
          .adapterWeights = ByteRange::exact(20),
          .activations = ByteRange::exact(7),
          .workspace = zero,
          .runtimeOverhead = small,
          .tags = {"adapter"}}},
        {"adapter without parameters or width",
         AdapterProfile{.parameters = 0, .parameterWidth = 0, .activationBytes = 0},
         {.weights = zero,
          .adapterWeights = zero,
          .activations = zero,
          .workspace = zero,
          .runtimeOverhead = small,
          .tags = {"adapter"}}},
        {"pool",
         OrchestrationPoolProfile{.baseBytes = 1000, .slots = 3},
         {.weights = zero,
          .activations = zero,
          .workspace = zero,
          .pool = ByteRange::exact(1768),
          .runtimeOverhead = small,
          .tags = {"orchestration_pool"}}},
        {"pool without slots",
         OrchestrationPoolProfile{.baseBytes = 1000, .slots = 0},
         {.weights = zero,
          .activations = zero,
          .workspace = zero,
          .pool = ByteRange::exact(1000),
          .runtimeOverhead = small,
          .tags = {"orchestration_pool"}}},
        {"pool filling 64 bits",
         OrchestrationPoolProfile{.baseBytes = kMax - 256, .slots = 1},
         {.weights = zero,
          .activations = zero,
          .workspace = zero,
          .pool = ByteRange::exact(kMax),
          .runtimeOverhead = small,
          .tags = {"orchestration_pool"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expectSameEstimate(estimateOf(c.profile), c.expected);
    }
}

TEST(EstimateWorkload, ReportsOneMessageAndNoEstimate) {
    struct Case {
        const char* name;
        WorkloadProfile profile;
        std::string message;
    };
    const std::string incomplete = "transformer profile is incomplete";
    const std::string heads = "queryHeads * headDim must equal modelDim without overflow";
    const std::string params = "transformer parameter count overflow";
    const std::string layer = "transformer layer parameter count overflow";
    const std::string bytes = "transformer byte estimate overflow";

    const std::vector<Case> cases = {
        {"vocabSize 0", transformerWith([](auto& p) { p.vocabSize = 0; }), incomplete},
        {"layers 0", transformerWith([](auto& p) { p.layers = 0; }), incomplete},
        {"modelDim 0", transformerWith([](auto& p) { p.modelDim = 0; }), incomplete},
        {"ffnDim 0", transformerWith([](auto& p) { p.ffnDim = 0; }), incomplete},
        {"queryHeads 0", transformerWith([](auto& p) { p.queryHeads = 0; }), incomplete},
        {"kvHeads 0", transformerWith([](auto& p) { p.kvHeads = 0; }), incomplete},
        {"headDim 0", transformerWith([](auto& p) { p.headDim = 0; }), incomplete},
        {"contextLength 0", transformerWith([](auto& p) { p.contextLength = 0; }), incomplete},
        {"weightBytes 0", transformerWith([](auto& p) { p.weightBytes = 0; }), incomplete},
        {"kvBytes 0", transformerWith([](auto& p) { p.kvBytes = 0; }), incomplete},

        // Every parameter term would overflow here too; the head check comes first.
        {"head width one short of modelDim", transformerWith([](auto& p) {
             p.modelDim = std::uint64_t{1} << 40;
             p.headDim = (std::uint64_t{1} << 40) - 1;
             p.vocabSize = kMax;
         }),
         heads},
        {"query head product overflows", transformerWith([](auto& p) {
             p.queryHeads = std::uint64_t{1} << 32;
             p.headDim = std::uint64_t{1} << 32;
         }),
         heads},
        {"key/value head product overflows",
         transformerWith([](auto& p) { p.kvHeads = std::uint64_t{1} << 63; }), heads},

        {"embedding overflows",
         transformerWith([](auto& p) { p.vocabSize = std::uint64_t{1} << 63; }), params},
        {"query projection overflows", transformerWith([](auto& p) {
             p.modelDim = std::uint64_t{1} << 32;
             p.headDim = std::uint64_t{1} << 32;
         }),
         params},
        {"feed-forward overflows",
         transformerWith([](auto& p) { p.ffnDim = std::uint64_t{1} << 62; }), params},
        {"doubled key projection overflows", transformerWith([](auto& p) {
             p.modelDim = std::uint64_t{1} << 31;
             p.headDim = std::uint64_t{1} << 31;
             p.kvHeads = 2;
         }),
         params},
        {"per-layer sum overflows", transformerWith([](auto& p) {
             p = unitWidthTransformer(8);
             p.ffnDim = kMax / 3; // ffn alone is exactly 2^64 - 1
         }),
         layer},
        // The cache would overflow as well, but the parameter count is checked first.
        {"layer count overflows the total",
         transformerWith([](auto& p) { p.layers = std::uint64_t{1} << 62; }), params},
        {"untied head overflows the total", transformerWith([](auto& p) {
             p.vocabSize = std::uint64_t{1} << 62;
             p.tiedEmbeddings = false;
         }),
         params},

        {"tied: same table fits but its bytes do not",
         transformerWith([](auto& p) { p.vocabSize = std::uint64_t{1} << 62; }), bytes},
        {"adapter bytes overflow",
         transformerWith([](auto& p) { p.adapterParameters = std::uint64_t{1} << 62; }), bytes},
        {"cache bytes overflow", transformerWith([](auto& p) {
             p.contextLength = std::uint64_t{1} << 40;
             p.kvBytes = std::numeric_limits<std::uint32_t>::max();
         }),
         bytes},
        {"training activation peak overflows", transformerWith([](auto& p) {
             p = unitWidthTransformer(8);
             p.contextLength = std::uint64_t{1} << 61;
             p.training = true;
         }),
         bytes},
        {"optimizer state overflows", transformerWith([](auto& p) {
             p = unitWidthTransformer(std::uint64_t{1} << 60);
             p.weightBytes = 4;
             p.training = true;
         }),
         "optimizer estimate overflow"},

        {"sync without neurons", SyncProfile{.neurons = 0, .weightEntries = 5},
         "sync neuron count is unknown"},
        {"sync neurons overflow",
         SyncProfile{.neurons = std::uint64_t{1} << 58, .weightEntries = 1},
         "sync estimate overflow"},
        {"sync weights overflow",
         SyncProfile{.neurons = 1, .weightEntries = std::uint64_t{1} << 59},
         "sync estimate overflow"},

        {"dpsh without neurons",
         DpshProfile{.neurons = 0, .weightEntries = 1, .workspaceEntries = 1},
         "DPSH neuron count is unknown"},
        {"dpsh neurons overflow",
         DpshProfile{.neurons = std::uint64_t{1} << 57, .weightEntries = 1, .workspaceEntries = 1},
         "DPSH estimate overflow"},
        {"dpsh weights overflow",
         DpshProfile{.neurons = 1, .weightEntries = std::uint64_t{1} << 58, .workspaceEntries = 1},
         "DPSH estimate overflow"},
        {"dpsh workspace overflows",
         DpshProfile{.neurons = 1, .weightEntries = 1, .workspaceEntries = std::uint64_t{1} << 58},
         "DPSH estimate overflow"},

        {"adapter without width",
         AdapterProfile{.parameters = 5, .parameterWidth = 0, .activationBytes = 0},
         "adapter parameter width is unknown"},
        {"adapter bytes overflow",
         AdapterProfile{
             .parameters = std::uint64_t{1} << 62, .parameterWidth = 4, .activationBytes = 0},
         "adapter estimate overflow"},

        {"pool slots overflow",
         OrchestrationPoolProfile{.baseBytes = 0, .slots = std::uint64_t{1} << 56},
         "orchestration pool estimate overflow"},
        {"pool sum overflows", OrchestrationPoolProfile{.baseBytes = kMax - 255, .slots = 1},
         "orchestration pool estimate overflow"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const EstimateResult result = estimateWorkload(c.profile);
        EXPECT_EQ(result.errors, std::vector<std::string>{c.message});
        EXPECT_FALSE(result.estimate.has_value());
        try {
            (void)estimateOrThrow(c.profile);
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "resource estimate is unknown");
        }
    }
}

TEST(EstimateWorkload, TheSameProfilesWithoutTrainingSucceed) {
    TransformerProfile activations = unitWidthTransformer(8);
    activations.contextLength = std::uint64_t{1} << 61;
    EXPECT_EQ(estimateOf(activations).activations,
              ByteRange::range(std::uint64_t{1} << 61, std::uint64_t{1} << 63));

    TransformerProfile optimizer = unitWidthTransformer(std::uint64_t{1} << 60);
    optimizer.weightBytes = 4;
    EXPECT_EQ(estimateOf(optimizer).optimizerState, ByteRange::exact(0));
}

TEST(EstimateWorkload, DropsWhatAFailedEstimatorAlreadyWrote) {
    TransformerProfile p = unitWidthTransformer(std::uint64_t{1} << 60);
    p.weightBytes = 4;
    p.training = true;

    // Called directly, the estimator has written the weights before the
    // optimizer state overflows.
    ResourceEstimate working;
    std::vector<std::string> errors;
    estimateTransformer(p, working, errors);
    ASSERT_EQ(errors, std::vector<std::string>{"optimizer estimate overflow"});
    EXPECT_TRUE(working.weights.isKnown());

    const EstimateResult result = estimateWorkload(p);
    EXPECT_EQ(result.errors, errors);
    EXPECT_FALSE(result.estimate.has_value());
}

TEST(EstimateWorkload, EveryProducedEstimateHasAPeak) {
    const std::vector<WorkloadProfile> profiles = {
        smallTransformer(),
        SyncProfile{.neurons = 1, .weightEntries = 1},
        DpshProfile{.neurons = 1, .weightEntries = 1, .workspaceEntries = 1},
        AdapterProfile{.parameters = 1, .parameterWidth = 1, .activationBytes = 1},
        OrchestrationPoolProfile{.baseBytes = 1, .slots = 1},
    };
    for (const WorkloadProfile& profile : profiles) {
        SCOPED_TRACE(profile.index());
        WorkloadRequirement requirement{.engine = "e",
                                        .estimate = estimateOrThrow(profile),
                                        .sessions = 1,
                                        .concurrency = 1,
                                        .training = true};
        EXPECT_TRUE(peakMemory(requirement).has_value());
    }
}

// How much more fits: each count at its largest within a budget, the next
// one over it; a count whose term costs nothing reaches its field's largest.
TEST(WorkloadLimits, EachCountAtItsLargestWithinTheBudget) {
    const std::vector<WorkloadSpec> specs = compositeWorkloadSpecs();
    const WorkloadSpec& sync = specs[0];
    const WorkloadSpec& transformer = specs[1];
    ASSERT_EQ(transformer.engine, "intuition-transformer");

    // 1000 bytes over the transformer's peak: 256 per session, 1049088 per
    // execution, and 48 per token of context (16 of cache, 32 of activations).
    const std::optional<WorkloadLimits> limits = workloadLimits(transformer, 269485048 + 1000);
    ASSERT_TRUE(limits);
    EXPECT_EQ(limits->sessions, 4U);
    EXPECT_EQ(limits->concurrency, 1U);
    EXPECT_EQ(limits->contextLength, 36U);

    const std::optional<WorkloadLimits> syncLimits =
        workloadLimits(sync, 71303360 + 2 * 4194432);
    ASSERT_TRUE(syncLimits);
    EXPECT_EQ(syncLimits->sessions, std::numeric_limits<std::uint32_t>::max());
    EXPECT_EQ(syncLimits->concurrency, 3U);
    EXPECT_EQ(syncLimits->contextLength, std::nullopt);

    EXPECT_EQ(workloadLimits(sync, 71303359), std::nullopt);
    WorkloadSpec unknown = transformer;
    std::get<TransformerProfile>(unknown.profile).vocabSize = 0;
    EXPECT_EQ(workloadLimits(unknown, std::numeric_limits<std::uint64_t>::max()), std::nullopt);
}

TEST(CompositeWorkload, IsItsSpecsEstimated) {
    const std::vector<WorkloadSpec> specs = compositeWorkloadSpecs();
    const std::vector<WorkloadRequirement> requirements = compositeWorkload();
    ASSERT_EQ(specs.size(), requirements.size());
    for (std::size_t i = 0; i < specs.size(); ++i) {
        EXPECT_EQ(requirements[i].engine, specs[i].engine);
        EXPECT_EQ(requirements[i].estimate, estimateOrThrow(specs[i].profile));
        EXPECT_EQ(requirements[i].sessions, specs[i].sessions);
    }
}

} // namespace
} // namespace Core::Estimation
