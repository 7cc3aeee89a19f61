// Lexing and parsing throughput on comment-heavy and token-dense texts, and
// parse plus lowering of wide placements (many devices, many absent engines)
// at 20,000 and 200,000 blocks, whose ratio shows how the cost grows.
#include <benchmark/benchmark.h>
#include <cstdint>
#include <exception>
#include <string>

#include "app/pipeline.h"
#include "orchestration/example_system.h"
#include "placement/lexer.h"
#include "placement/parser.h"
#include "placement_generator.h"

namespace {

using Core::Bench::PlacementShape;
using Core::Placement::PlacementLexer;
using Core::Placement::Token;
using Core::Placement::TokenKind;

constexpr std::uint64_t kMiB = 1024 * 1024;

/// Tokens up to and including the end token.
std::int64_t lexAll(const std::string& text) {
    PlacementLexer lexer(text);
    Token token;
    std::int64_t tokens = 1;
    for (lexer.next(token); token.kind != TokenKind::end; lexer.next(token)) {
        ++tokens;
    }
    return tokens;
}

void lexThroughput(benchmark::State& state, PlacementShape shape) {
    const std::string text =
        Core::Bench::generatePlacement(shape, static_cast<std::uint64_t>(state.range(0)) * kMiB);
    std::int64_t tokens = 0;
    for (auto _ : state) {
        tokens = lexAll(text);
        benchmark::DoNotOptimize(tokens);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
    state.counters["tokens"] = benchmark::Counter(static_cast<double>(tokens * state.iterations()),
                                                  benchmark::Counter::kIsRate);
}

void parseThroughput(benchmark::State& state, PlacementShape shape) {
    const std::string text =
        Core::Bench::generatePlacement(shape, static_cast<std::uint64_t>(state.range(0)) * kMiB);
    for (auto _ : state) {
        try {
            Core::Placement::PlacementSpec spec =
                Core::Placement::parsePlacement(text, "bench.cplace");
            benchmark::DoNotOptimize(spec);
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_LexCommentHeavy(benchmark::State& state) {
    lexThroughput(state, PlacementShape::comments);
}
void BM_LexDense(benchmark::State& state) {
    lexThroughput(state, PlacementShape::dense);
}
void BM_ParseCommentHeavy(benchmark::State& state) {
    parseThroughput(state, PlacementShape::comments);
}
void BM_ParseDense(benchmark::State& state) {
    parseThroughput(state, PlacementShape::dense);
}

BENCHMARK(BM_LexCommentHeavy)->ArgName("MiB")->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LexDense)->ArgName("MiB")->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseCommentHeavy)->ArgName("MiB")->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseDense)->ArgName("MiB")->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);

/// N device blocks plus N absent engine blocks, each with its fields; N is
/// the argument.
void BM_ParseWide(benchmark::State& state) {
    const auto count = static_cast<std::uint64_t>(state.range(0));
    const std::string text = Core::Bench::widePlacement(count, {.fields = true});
    for (auto _ : state) {
        Core::Placement::PlacementSpec spec = Core::Placement::parsePlacement(text, "wide.cplace");
        benchmark::DoNotOptimize(spec);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

/// Parse and lowering as the tools run them, block by block: with the engine
/// blocks, one issue per block; with the device blocks alone, the IR.
void lowerWide(benchmark::State& state, bool engines) {
    const auto count = static_cast<std::uint64_t>(state.range(0));
    const std::string text =
        Core::Bench::widePlacement(count, {.fields = true, .engines = engines});
    const Core::Orchestration::SystemSpec system = Core::Orchestration::buildExampleSystem();
    for (auto _ : state) {
        const Core::Placement::LoweringResult lowered =
            Core::App::lowerPlacementText(text, "wide.cplace", system);
        if (engines ? lowered.ir || lowered.issues.size() != count : !lowered.ir) {
            state.SkipWithError("the wide placement did not lower as generated");
            break;
        }
        benchmark::DoNotOptimize(lowered);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_LowerWide(benchmark::State& state) {
    lowerWide(state, true);
}
void BM_LowerWideDevices(benchmark::State& state) {
    lowerWide(state, false);
}

// A single cold iteration would mostly measure page faults, hence MinTime.
BENCHMARK(BM_ParseWide)
    ->ArgName("blocks")
    ->Arg(20000)
    ->Arg(200000)
    ->MinTime(1.0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LowerWide)
    ->ArgName("blocks")
    ->Arg(20000)
    ->Arg(200000)
    ->MinTime(1.0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LowerWideDevices)
    ->ArgName("blocks")
    ->Arg(20000)
    ->Arg(200000)
    ->MinTime(1.0)
    ->Unit(benchmark::kMillisecond);

} // namespace
