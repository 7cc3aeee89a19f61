// The algebraic-cycle check as an explicit depth-first search. The search
// order and the reports are those of the plain recursive walk; the explicit
// stack only removes the input-sized recursion.
#include "orchestration/cycle_check.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace Core::Orchestration {
namespace {

enum class VisitState : std::uint8_t { unvisited, on_path, finished };

struct NodeState {
    VisitState state = VisitState::unvisited;
    std::size_t path_position = 0; ///< valid while on_path
};

/// One node on the current path and how far through its edges the walk got.
struct Frame {
    std::string_view node;
    NodeState* state = nullptr; ///< map nodes never move
    const std::vector<CycleEdge>* edges = nullptr; ///< null for a node without edges
    std::size_t next_edge = 0;
};

constexpr std::string_view kCycleMessage = "algebraic cycle without delay/state boundary: ";

ValidationIssue cycleIssue(const CycleEdge& edge, const std::vector<Frame>& path, std::size_t from) {
    std::string message(kCycleMessage);
    for (std::size_t i = from; i < path.size(); ++i) {
        message += path[i].node;
        message += " -> ";
    }
    message += edge.destination;
    ValidationIssue issue;
    issue.path = "connection.";
    issue.path += edge.connection_id;
    issue.message = std::move(message);
    if (edge.location != nullptr) {
        issue.location = *edge.location;
    }
    return issue;
}

} // namespace

void appendAlgebraicCycleIssues(const CycleGraph& graph, const std::vector<std::string_view>& roots,
                                std::vector<ValidationIssue>& issues) {
    std::map<std::string_view, NodeState, ByteLess> states;
    std::vector<Frame> path;

    const auto enter = [&](std::string_view node, NodeState& state) {
        state.state = VisitState::on_path;
        state.path_position = path.size();
        const auto found = graph.find(node);
        path.push_back(Frame{node, &state, found == graph.end() ? nullptr : &found->second, 0});
    };

    for (const std::string_view root : roots) {
        NodeState& root_state = states[root];
        if (root_state.state != VisitState::unvisited) {
            continue;
        }
        enter(root, root_state);
        while (!path.empty()) {
            Frame& top = path.back();
            if (top.edges == nullptr || top.next_edge == top.edges->size()) {
                top.state->state = VisitState::finished;
                path.pop_back();
                continue;
            }
            const CycleEdge& edge = (*top.edges)[top.next_edge++];
            if (edge.boundary) {
                continue;
            }
            NodeState& next = states[edge.destination];
            switch (next.state) {
            case VisitState::unvisited:
                enter(edge.destination, next); // may reallocate path: `top` is dead now
                break;
            case VisitState::on_path:
                issues.push_back(cycleIssue(edge, path, next.path_position));
                break;
            case VisitState::finished:
                break;
            }
        }
    }
}

} // namespace Core::Orchestration
