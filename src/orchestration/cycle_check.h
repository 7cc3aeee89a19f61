// The algebraic-cycle check: loops of instantaneous connections, which no
// step could ever resolve. Internal to validation; views point into the
// SystemSpec being validated and must not outlive it.
#pragma once

#include <map>
#include <string_view>
#include <vector>

#include "common/byte_order.h"
#include "orchestration/system_spec.h"

namespace Core::Orchestration {

/// One connection seen from its source engine.
struct CycleEdge {
    std::string_view destination;
    std::string_view connection_id;
    bool boundary = false; ///< a delay, a stateful adapter or adapter latency
    const SourceLocation* location = nullptr;
};

/// Source engine id (any text, not only engines of the system) to its edges
/// in connection order.
using CycleGraph = std::map<std::string_view, std::vector<CycleEdge>, ByteLess>;

/// Searches depth first from each root (ascending byte order, no duplicates)
/// and appends one issue per non-boundary edge that closes a loop on the
/// current path. Iterative, so any path length is fine.
void appendAlgebraicCycleIssues(const CycleGraph& graph, const std::vector<std::string_view>& roots,
                                std::vector<ValidationIssue>& issues);

} // namespace Core::Orchestration
