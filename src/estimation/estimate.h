// Memory estimates of one engine, the requirement that resolution consumes,
// and its peak memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Core::Estimation {

enum class EstimateKind : std::uint8_t { exact = 0, range = 1, unknown = 3 };

/// An estimated quantity of bytes. Only `high` enters a peak; `low` is only
/// checked for validity.
struct ByteRange {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    EstimateKind kind = EstimateKind::unknown;

    [[nodiscard]] static constexpr ByteRange exact(std::uint64_t value) {
        return {value, value, EstimateKind::exact};
    }
    [[nodiscard]] static constexpr ByteRange range(std::uint64_t low, std::uint64_t high) {
        return {low, high, EstimateKind::range};
    }
    [[nodiscard]] static constexpr ByteRange unknown() { return {0, 0, EstimateKind::unknown}; }

    /// Only the two defined known kinds count; a stray kind byte is not trusted.
    [[nodiscard]] constexpr bool isKnown() const {
        return kind == EstimateKind::exact || kind == EstimateKind::range;
    }
    /// Unknown, or low not above high.
    [[nodiscard]] constexpr bool isValid() const { return !isKnown() || low <= high; }

    friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

struct ResourceEstimate {
    ByteRange weights = ByteRange::unknown();
    ByteRange adapterWeights = ByteRange::exact(0);
    ByteRange optimizerState = ByteRange::exact(0);
    ByteRange kvCache = ByteRange::exact(0);
    ByteRange activations = ByteRange::unknown();
    ByteRange workspace = ByteRange::unknown();
    ByteRange pool = ByteRange::exact(0);
    ByteRange runtimeOverhead = ByteRange::unknown();
    std::vector<std::string> tags;

    friend bool operator==(const ResourceEstimate&, const ResourceEstimate&) = default;
};

struct WorkloadRequirement {
    std::string engine;
    ResourceEstimate estimate;
    std::uint32_t sessions = 0;    ///< multiplies kvCache
    std::uint32_t concurrency = 0; ///< multiplies activations and workspace
    bool training = false;         ///< counts optimizerState
};

/// One term of a peak: an estimate's field, its multiplier, and the bytes it
/// adds (the range's high end times the multiplier).
struct PeakTerm {
    std::string_view name;        ///< "weights", "kv_cache", ... (static text)
    ByteRange range;              ///< the estimate's field
    std::uint32_t multiplier = 1; ///< sessions, concurrency, or 1
    std::uint64_t bytes = 0;

    friend bool operator==(const PeakTerm&, const PeakTerm&) = default;
};

/// A peak and the terms it adds up, in the order they are summed: weights,
/// adapter_weights, optimizer_state (only while training), kv_cache (times
/// sessions), activations and workspace (times concurrency), pool,
/// runtime_overhead.
struct PeakBreakdown {
    std::vector<PeakTerm> terms;
    std::uint64_t peak = 0;

    friend bool operator==(const PeakBreakdown&, const PeakBreakdown&) = default;
};

/// The peak with its terms, or absent on an unknown or invalid counted field
/// or any overflow. Never throws.
[[nodiscard]] std::optional<PeakBreakdown> peakBreakdown(const WorkloadRequirement& requirement);

/// peakBreakdown's peak. Never throws.
[[nodiscard]] std::optional<std::uint64_t> peakMemory(const WorkloadRequirement& requirement);

} // namespace Core::Estimation
