// Memory-block figures compared with the terms of each engine's peak.
#include "deployment/memory_limits.h"

#include <map>
#include <optional>

#include "common/byte_order.h"

namespace Core::Placement {
namespace {

struct Limit {
    std::string_view field;
    std::optional<std::uint64_t> MemorySpec::*declared;
    std::string_view term;  ///< the PeakTerm it limits
    std::string_view shown; ///< how the message names that term
};

constexpr Limit kLimits[] = {
    {"weights", &MemorySpec::weights, "weights", "weights"},
    {"kv_cache_max", &MemorySpec::kv_cache_max, "kv_cache", "KV cache"},
    {"workspace_max", &MemorySpec::workspace_max, "workspace", "workspace"},
};

std::string_view shownTerm(std::string_view field) {
    for (const Limit& limit : kLimits) {
        if (limit.field == field) {
            return limit.shown;
        }
    }
    return field;
}

} // namespace

std::string MemoryLimitWarning::path() const {
    return IssueSubject{IssueSubject::Kind::engine_memory, engine}.path();
}

std::string MemoryLimitWarning::message() const {
    return std::string(field) + " " + std::to_string(declared) + " bytes is below the estimated " +
           std::string(shownTerm(field)) + " of " + std::to_string(estimated) + " bytes";
}

std::vector<MemoryLimitWarning>
memoryLimitWarnings(const PlacementIR& ir,
                    const std::vector<Estimation::WorkloadRequirement>& requirements) {
    std::map<std::string_view, const Estimation::WorkloadRequirement*, ByteLess> requirementOf;
    for (const Estimation::WorkloadRequirement& requirement : requirements) {
        requirementOf.try_emplace(requirement.engine, &requirement);
    }
    std::vector<MemoryLimitWarning> warnings;
    for (const LoweredEngine& engine : ir.engines) {
        const auto requirement = requirementOf.find(engine.id);
        if (requirement == requirementOf.end()) {
            continue;
        }
        const std::optional<Estimation::PeakBreakdown> breakdown =
            Estimation::peakBreakdown(*requirement->second);
        if (!breakdown) {
            continue;
        }
        for (const Limit& limit : kLimits) {
            const std::optional<std::uint64_t>& declared = engine.memory.*limit.declared;
            if (!declared) {
                continue;
            }
            for (const Estimation::PeakTerm& term : breakdown->terms) {
                if (term.name == limit.term && *declared < term.bytes) {
                    warnings.push_back({engine.id, limit.field, *declared, term.bytes});
                }
            }
        }
    }
    return warnings;
}

} // namespace Core::Placement
