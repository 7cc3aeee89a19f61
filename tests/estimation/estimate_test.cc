// Peak memory: which fields are checked, which are counted, the multipliers
// and the 64-bit limit.
#include "estimation/estimate.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace Core::Estimation {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// Every field has a distinct high end and a low end that must not count.
class PeakMemoryTest : public ::testing::Test {
  protected:
    PeakMemoryTest() {
        ResourceEstimate& e = requirement.estimate;
        e.weights = ByteRange::exact(1000);
        e.adapterWeights = ByteRange::exact(200);
        e.optimizerState = ByteRange::range(9, 30000);
        e.kvCache = ByteRange::exact(7);
        e.activations = ByteRange::range(5, 11);
        e.workspace = ByteRange::range(2, 13);
        e.pool = ByteRange::exact(400);
        e.runtimeOverhead = ByteRange::range(1, 50000);
        requirement.engine = "engine";
        requirement.sessions = 3;
        requirement.concurrency = 2;
    }

    // 1000 + 200 + 7*3 + 11*2 + 13*2 + 400 + 50000
    static constexpr std::uint64_t kInferencePeak = 51669;

    WorkloadRequirement requirement;
};

// The peak's terms, in the order they are summed, with their multipliers.
TEST_F(PeakMemoryTest, BreakdownNamesEachTermAndAddsUpToThePeak) {
    for (const bool training : {false, true}) {
        SCOPED_TRACE(training);
        requirement.training = training;
        const std::optional<PeakBreakdown> breakdown = peakBreakdown(requirement);
        ASSERT_TRUE(breakdown.has_value());
        std::vector<std::string_view> names;
        std::uint64_t sum = 0;
        for (const PeakTerm& term : breakdown->terms) {
            names.push_back(term.name);
            EXPECT_EQ(term.bytes, term.range.high * term.multiplier) << term.name;
            sum += term.bytes;
        }
        std::vector<std::string_view> expected = {"weights", "adapter_weights", "kv_cache",
                                                  "activations", "workspace", "pool",
                                                  "runtime_overhead"};
        if (training) {
            expected.insert(expected.begin() + 2, "optimizer_state");
        }
        EXPECT_EQ(names, expected);
        EXPECT_EQ(sum, breakdown->peak);
        EXPECT_EQ(peakMemory(requirement), breakdown->peak);
        EXPECT_EQ(breakdown->terms[training ? 3 : 2].multiplier, 3u); // sessions
    }
    requirement.estimate.weights = ByteRange::unknown();
    EXPECT_FALSE(peakBreakdown(requirement).has_value());
}

TEST_F(PeakMemoryTest, SumsHighEndsWithSessionsAndConcurrency) {
    EXPECT_EQ(peakMemory(requirement), kInferencePeak);
    requirement.training = true;
    EXPECT_EQ(peakMemory(requirement), kInferencePeak + 30000);
}

// A multiplier of 0 drops its terms from the sum, but not from the checks.
TEST_F(PeakMemoryTest, ZeroMultipliersDropTermsButNotTheirChecks) {
    struct Case {
        const char* name;
        std::uint32_t WorkloadRequirement::*multiplier;
        std::vector<ByteRange ResourceEstimate::*> terms;
        std::uint64_t dropped; ///< what the terms added at the fixture's multipliers
    };
    const Case cases[] = {
        {"sessions", &WorkloadRequirement::sessions, {&ResourceEstimate::kvCache}, 7ULL * 3},
        {"concurrency",
         &WorkloadRequirement::concurrency,
         {&ResourceEstimate::activations, &ResourceEstimate::workspace},
         11ULL * 2 + 13ULL * 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WorkloadRequirement zero = requirement;
        zero.*c.multiplier = 0;
        for (ByteRange ResourceEstimate::*term : c.terms) {
            zero.estimate.*term = ByteRange::range(0, kMax);
        }
        EXPECT_EQ(peakMemory(zero), kInferencePeak - c.dropped);
        for (ByteRange ResourceEstimate::*term : c.terms) {
            for (const ByteRange& bad : {ByteRange::unknown(), ByteRange::range(8, 7)}) {
                WorkloadRequirement broken = zero;
                broken.estimate.*term = bad;
                EXPECT_EQ(peakMemory(broken), std::nullopt);
            }
        }
    }
}

TEST_F(PeakMemoryTest, OptimizerStateIsCheckedAndCountedOnlyWhileTraining) {
    for (const ByteRange& bad : {ByteRange::unknown(), ByteRange::range(30001, 30000)}) {
        SCOPED_TRACE(static_cast<int>(bad.kind));
        requirement.estimate.optimizerState = bad;
        requirement.training = false;
        EXPECT_EQ(peakMemory(requirement), kInferencePeak);
        requirement.training = true;
        EXPECT_EQ(peakMemory(requirement), std::nullopt);
    }
}

TEST_F(PeakMemoryTest, AnyUnknownOrInvalidCountedFieldMakesThePeakAbsent) {
    struct Field {
        const char* name;
        ByteRange ResourceEstimate::*member;
    };
    const std::vector<Field> fields = {
        {"weights", &ResourceEstimate::weights},
        {"adapterWeights", &ResourceEstimate::adapterWeights},
        {"optimizerState", &ResourceEstimate::optimizerState},
        {"kvCache", &ResourceEstimate::kvCache},
        {"activations", &ResourceEstimate::activations},
        {"workspace", &ResourceEstimate::workspace},
        {"pool", &ResourceEstimate::pool},
        {"runtimeOverhead", &ResourceEstimate::runtimeOverhead},
    };
    const std::vector<ByteRange> badValues = {
        ByteRange::unknown(),
        ByteRange::range(5, 4),
        // An exact figure built by hand with its bounds apart is no better.
        ByteRange{5, 4, EstimateKind::exact},
        // A kind byte outside the defined ones is not a known figure.
        ByteRange{1, 1, static_cast<EstimateKind>(2)},
    };
    requirement.training = true;
    for (const Field& field : fields) {
        for (const ByteRange& bad : badValues) {
            SCOPED_TRACE(std::string(field.name) + " kind " +
                         std::to_string(static_cast<int>(bad.kind)));
            WorkloadRequirement broken = requirement;
            broken.estimate.*field.member = bad;
            EXPECT_EQ(peakMemory(broken), std::nullopt);
        }
    }
}

TEST_F(PeakMemoryTest, LowEqualToHighIsValid) {
    requirement.estimate.weights = ByteRange::range(1000, 1000);
    EXPECT_EQ(peakMemory(requirement), kInferencePeak);
}

TEST_F(PeakMemoryTest, PeakReachesTheLastByteAndNoFurther) {
    requirement.training = true;
    const std::uint64_t others = kInferencePeak + 30000 - 1000;
    requirement.estimate.weights = ByteRange::exact(kMax - others);
    EXPECT_EQ(peakMemory(requirement), kMax);

    requirement.estimate.weights = ByteRange::exact(kMax - others + 1);
    EXPECT_EQ(peakMemory(requirement), std::nullopt);

    // The last term alone can push the sum over.
    requirement.estimate.weights = ByteRange::exact(kMax - others);
    requirement.estimate.runtimeOverhead = ByteRange::range(1, 50001);
    EXPECT_EQ(peakMemory(requirement), std::nullopt);
}

TEST_F(PeakMemoryTest, OverflowingMultiplierMakesThePeakAbsent) {
    struct Case {
        const char* name;
        ByteRange ResourceEstimate::*member;
        std::uint64_t high;
    };
    // sessions 3 and concurrency 2: each high end fits alone but not multiplied.
    const std::vector<Case> cases = {
        {"kvCache", &ResourceEstimate::kvCache, kMax / 3 + 1},
        {"activations", &ResourceEstimate::activations, kMax / 2 + 1},
        {"workspace", &ResourceEstimate::workspace, kMax / 2 + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WorkloadRequirement big = requirement;
        big.estimate.*c.member = ByteRange::exact(c.high);
        EXPECT_EQ(peakMemory(big), std::nullopt);
    }
}

TEST(PeakMemory, FreshEstimateHasNoPeak) {
    const ResourceEstimate fresh;
    EXPECT_EQ(fresh.weights.kind, EstimateKind::unknown);
    EXPECT_EQ(fresh.adapterWeights, ByteRange::exact(0));
    EXPECT_EQ(fresh.optimizerState, ByteRange::exact(0));
    EXPECT_EQ(fresh.kvCache, ByteRange::exact(0));
    EXPECT_EQ(fresh.activations.kind, EstimateKind::unknown);
    EXPECT_EQ(fresh.workspace.kind, EstimateKind::unknown);
    EXPECT_EQ(fresh.pool, ByteRange::exact(0));
    EXPECT_EQ(fresh.runtimeOverhead.kind, EstimateKind::unknown);
    EXPECT_TRUE(fresh.tags.empty());

    WorkloadRequirement requirement;
    EXPECT_EQ(peakMemory(requirement), std::nullopt);
    requirement.sessions = 1;
    requirement.concurrency = 1;
    EXPECT_EQ(peakMemory(requirement), std::nullopt);

    // Everything but the weights is enough for a peak once they are known.
    requirement.estimate.activations = ByteRange::exact(1);
    requirement.estimate.workspace = ByteRange::exact(2);
    requirement.estimate.runtimeOverhead = ByteRange::exact(4);
    EXPECT_EQ(peakMemory(requirement), std::nullopt);
    requirement.estimate.weights = ByteRange::exact(8);
    EXPECT_EQ(peakMemory(requirement), 15u);
}

} // namespace
} // namespace Core::Estimation
