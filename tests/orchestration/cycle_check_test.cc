// The algebraic-cycle check, through validate: which loops are reported, on
// which connection, with which cycle text, and that deep graphs are safe.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "orchestration/validation.h"
#include "test_graphs.h"

namespace Core::Orchestration {
namespace {

using namespace Testing;

const std::string kCycle = "algebraic cycle without delay/state boundary: ";

SystemSpec systemOf(const std::vector<std::string>& engine_ids) {
    SystemSpec s;
    s.id = "sys";
    for (const std::string& id : engine_ids) {
        s.engines.push_back(engine(id));
    }
    return s;
}

struct CycleCase {
    const char* name;
    std::function<SystemSpec()> build;
    std::vector<ValidationIssue> expected;
};

TEST(CycleCheck, Table) {
    const std::vector<CycleCase> cases = {
        {"no connections", [] { return systemOf({"a", "b"}); }, {}},
        {"self loop",
         [] {
             SystemSpec s = systemOf({"a"});
             s.connections = {connect("self", "a", "a", 3)};
             return s;
         },
         {issue("connection.self", kCycle + "a -> a", 3)}},
        {"two-node loop is reported on the closing connection",
         [] {
             SystemSpec s = systemOf({"a", "b"});
             s.connections = {connect("c1", "a", "b", 1), connect("c2", "b", "a", 2)};
             return s;
         },
         {issue("connection.c2", kCycle + "a -> b -> a", 2)}},
        {"roots go in byte order, not declaration order",
         [] {
             // "B" sorts before "a" byte-wise, so the search starts at B.
             SystemSpec s = systemOf({"a", "B"});
             s.connections = {connect("c1", "a", "B", 1), connect("c2", "B", "a", 2)};
             return s;
         },
         {issue("connection.c1", kCycle + "B -> a -> B", 1)}},
        {"a delay on either connection breaks the loop",
         [] {
             SystemSpec s = systemOf({"a", "b"});
             s.connections = {connect("c1", "a", "b"), connect("c2", "b", "a")};
             s.connections[0].delay = 1;
             return s;
         },
         {}},
        {"a stateful adapter breaks the loop",
         [] {
             SystemSpec s = systemOf({"a", "b"});
             s.adapters = {adapter("hold")};
             s.adapters[0].stateful = true;
             s.connections = {connect("c1", "a", "b"), connect("c2", "b", "a")};
             s.connections[1].adapter = "hold";
             return s;
         },
         {}},
        {"adapter latency breaks the loop",
         [] {
             SystemSpec s = systemOf({"a", "b"});
             s.adapters = {adapter("slow")};
             s.adapters[0].latency = 1;
             s.connections = {connect("c1", "a", "b"), connect("c2", "b", "a")};
             s.connections[1].adapter = "slow";
             return s;
         },
         {}},
        {"an instantaneous stateless adapter does not",
         [] {
             SystemSpec s = systemOf({"a", "b"});
             s.adapters = {adapter("pass")};
             s.connections = {connect("c1", "a", "b"), connect("c2", "b", "a", 2)};
             s.connections[1].adapter = "pass";
             return s;
         },
         {issue("connection.c2", kCycle + "a -> b -> a", 2)}},
        {"a missing adapter counts as none",
         [] {
             SystemSpec s = systemOf({"a", "b"});
             s.connections = {connect("c1", "a", "b"), connect("c2", "b", "a", 2)};
             s.connections[1].adapter = "gone";
             return s;
         },
         {issue("connection.c2 (b.out -> a.in)", "named adapter does not exist", 2),
          issue("connection.c2", kCycle + "a -> b -> a", 2)}},
        {"negative delay and latency are no boundary",
         [] {
             SystemSpec s = systemOf({"a"});
             s.adapters = {adapter("neg", 5)};
             s.adapters[0].latency = -3;
             s.connections = {connect("c1", "a", "a", 2)};
             s.connections[0].delay = -1;
             s.connections[0].adapter = "neg";
             return s;
         },
         {issue("adapter.neg", "adapter latency cannot be negative", 5),
          issue("connection.c1 (a.out -> a.in)", "negative connection delay", 2),
          issue("connection.c1", kCycle + "a -> a", 2)}},
        {"the cycle text starts where the loop closes",
         [] {
             SystemSpec s = systemOf({"a", "b", "c"});
             s.connections = {connect("ab", "a", "b"), connect("bc", "b", "c"), connect("cb", "c", "b", 4)};
             return s;
         },
         {issue("connection.cb", kCycle + "b -> c -> b", 4)}},
        {"an edge into a finished node is no cycle",
         [] {
             SystemSpec s = systemOf({"a", "b", "c"});
             s.connections = {connect("ab", "a", "b"), connect("ac", "a", "c"), connect("cb", "c", "b")};
             return s;
         },
         {}},
        {"every closing edge is reported once",
         [] {
             SystemSpec s = systemOf({"a", "b", "c"});
             s.connections = {connect("ab", "a", "b"), connect("bc", "b", "c"), connect("ca", "c", "a", 1),
                              connect("cb", "c", "b", 2), connect("ba", "b", "a", 3)};
             return s;
         },
         {issue("connection.ca", kCycle + "a -> b -> c -> a", 1),
          issue("connection.cb", kCycle + "b -> c -> b", 2), issue("connection.ba", kCycle + "a -> b -> a", 3)}},
        {"a name outside the system is searched when reached",
         [] {
             SystemSpec s = systemOf({"a"});
             s.connections = {connect("to", "a", "x", 1), connect("back", "x", "a", 2)};
             return s;
         },
         {issue("connection.to (a.out -> x.in)", "destination engine/port does not exist", 1),
          issue("connection.back (x.out -> a.in)", "source engine/port does not exist", 2),
          issue("connection.back", kCycle + "a -> x -> a", 2)}},
        {"a loop among names outside the system is never reached",
         [] {
             SystemSpec s = systemOf({"a"});
             s.connections = {connect("xx", "x", "x", 1)};
             return s;
         },
         {issue("connection.xx (x.out -> x.in)", "source engine/port does not exist", 1),
          issue("connection.xx (x.out -> x.in)", "destination engine/port does not exist", 1)}},
        {"an engine with an invalid id is no root",
         [] {
             SystemSpec s = systemOf({"a a"});
             s.connections = {connect("loop", "a a", "a a", 1)};
             return s;
         },
         {issue("engine.a a", "invalid or duplicate engine identity"),
          issue("connection.loop (a a.out -> a a.in)", "source engine/port does not exist", 1),
          issue("connection.loop (a a.out -> a a.in)", "destination engine/port does not exist", 1)}},
    };
    for (const CycleCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(validate(c.build()), c.expected);
    }
}

/// Engines n000000, n000001, ... so that id order is chain order.
std::string chainId(std::size_t i, char prefix = 'n') {
    char id[16];
    std::snprintf(id, sizeof id, "%c%06zu", prefix, i);
    return id;
}

SystemSpec chain(std::size_t length) {
    SystemSpec s;
    s.id = "chain";
    s.engines.reserve(length);
    s.connections.reserve(2 * length);
    for (std::size_t i = 0; i < length; ++i) {
        s.engines.push_back(engine(chainId(i)));
    }
    for (std::size_t i = 0; i + 1 < length; ++i) {
        s.connections.push_back(connect(chainId(i, 'f'), chainId(i), chainId(i + 1)));
    }
    return s;
}

TEST(CycleCheck, DeepInstantaneousChainDoesNotExhaustTheStack) {
    // A loop through 200,000 engines, found at full depth; being the only
    // issue also shows that the long open path reports nothing.
    constexpr std::size_t kLength = 200000;
    SystemSpec s = chain(kLength);
    s.connections.push_back(connect("close", chainId(kLength - 1), chainId(0)));
    const std::vector<ValidationIssue> issues = validate(s);
    ASSERT_EQ(issues.size(), 1U);
    EXPECT_EQ(issues[0].path, "connection.close");
    const std::string& message = issues[0].message;
    EXPECT_EQ(message.rfind(kCycle + "n000000 -> n000001 -> ", 0), 0U);
    const std::string tail = " -> n199999 -> n000000";
    ASSERT_GE(message.size(), tail.size());
    EXPECT_EQ(message.substr(message.size() - tail.size()), tail);
    EXPECT_EQ(message.size(), kCycle.size() + (kLength + 1) * 7 + kLength * 4);
}

TEST(CycleCheck, ManyShortLoopsAtDepth) {
    // Every engine also feeds back to its predecessor: each back edge closes a
    // two-node loop deep in the path, and each is reported exactly once. A
    // search that scanned the path for the loop start would be quadratic here.
    constexpr std::size_t kLength = 50000;
    SystemSpec s = chain(kLength);
    for (std::size_t i = 1; i < kLength; ++i) {
        s.connections.push_back(connect(chainId(i, 'b'), chainId(i), chainId(i - 1)));
    }
    const std::vector<ValidationIssue> issues = validate(s);
    ASSERT_EQ(issues.size(), kLength - 1);
    // The deepest node finishes first, so its back edge comes first.
    EXPECT_EQ(issues.front().path, "connection.b049999");
    EXPECT_EQ(issues.front().message, kCycle + "n049998 -> n049999 -> n049998");
    EXPECT_EQ(issues.back().path, "connection.b000001");
    EXPECT_EQ(issues.back().message, kCycle + "n000000 -> n000001 -> n000000");
}

} // namespace
} // namespace Core::Orchestration
