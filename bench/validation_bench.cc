// validate on long chains of engines joined by instantaneous connections: the
// cycle check walks them at full depth.
#include <benchmark/benchmark.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <string>
#include <vector>

#include "orchestration/example_system.h"
#include "orchestration/system_spec.h"
#include "orchestration/validation.h"

namespace {

using namespace Core::Orchestration;

/// `prefix` and `i` padded to seven digits, so id order is chain order.
std::string chainId(char prefix, std::int64_t i) {
    std::array<char, 24> digits{};
    const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), i);
    const auto length = static_cast<std::size_t>(result.ptr - digits.data());
    std::string id(1, prefix);
    id.append(length < 7 ? 7 - length : 0, '0');
    id.append(digits.data(), length);
    return id;
}

/// A valid graph: `length` engines, each feeding the next with delay 0 and no
/// adapter; with `closed`, the last also feeds the first.
SystemSpec chain(std::int64_t length, bool closed) {
    SystemSpec system;
    system.id = "chain";
    system.engines.reserve(static_cast<std::size_t>(length));
    system.connections.reserve(static_cast<std::size_t>(length));
    for (std::int64_t i = 0; i < length; ++i) {
        EngineSpec engine;
        engine.id = chainId('n', i);
        engine.profile = "chain-v1";
        engine.semantic_api_version = 1;
        engine.ports.push_back(makePort("in", PortDirection::input));
        engine.ports.push_back(makePort("out", PortDirection::output));
        system.engines.push_back(std::move(engine));
    }
    const auto connect = [&system](std::string id, std::int64_t from, std::int64_t to) {
        ConnectionSpec connection;
        connection.id = std::move(id);
        connection.source_engine = chainId('n', from);
        connection.source_port = "out";
        connection.destination_engine = chainId('n', to);
        connection.destination_port = "in";
        connection.queue_capacity = 4;
        connection.overflow_policy = 0;
        system.connections.push_back(std::move(connection));
    };
    for (std::int64_t i = 0; i + 1 < length; ++i) {
        connect(chainId('c', i), i, i + 1);
    }
    if (closed) {
        connect("close", length - 1, 0);
    }
    return system;
}

void validateChain(benchmark::State& state, bool closed) {
    const SystemSpec system = chain(state.range(0), closed);
    const std::size_t expected = closed ? 1 : 0;
    for (auto _ : state) {
        const std::vector<ValidationIssue> issues = validate(system);
        if (issues.size() != expected) {
            const std::string first = issues.empty() ? "the closed chain reported no cycle"
                                                     : issues.front().path + ": " +
                                                           issues.front().message.substr(0, 200);
            state.SkipWithError(first.c_str());
            break;
        }
        benchmark::DoNotOptimize(issues);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetComplexityN(state.range(0));
}

/// An open chain: no issue, the search still goes the whole depth.
void BM_ValidateChain(benchmark::State& state) { validateChain(state, false); }
/// The chain closed into one loop: one issue whose cycle text names every engine.
void BM_ValidateLoop(benchmark::State& state) { validateChain(state, true); }

BENCHMARK(BM_ValidateChain)
    ->ArgName("engines")
    ->Arg(62500)
    ->Arg(250000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);
BENCHMARK(BM_ValidateLoop)
    ->ArgName("engines")
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);

} // namespace
