// Reading, checking and hashing a system file of a long chain of engines, as
// `talvex_composite check --system` and `system` do.
#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>

#include "orchestration/canonical_bytes.h"
#include "system_file/system_file.h"
#include "system_generator.h"

namespace {

void BM_ReadSystemFile(benchmark::State& state) {
    const std::string text =
        Core::Bench::generateChainSystem(static_cast<std::uint64_t>(state.range(0)));
    for (auto _ : state) {
        const Core::SystemFile::LoadedSystem loaded = Core::SystemFile::parseSystemText(
            text, "chain.toml", [](const std::string&) -> std::string {
                throw std::runtime_error("no model config");
            });
        const std::vector<Core::SystemFile::Finding> findings = Core::SystemFile::checkSystem(loaded);
        if (!findings.empty()) {
            state.SkipWithError(findings.front().message.c_str());
            break;
        }
        benchmark::DoNotOptimize(Core::Orchestration::systemHash(loaded.system));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_ReadSystemFile)
    ->ArgName("engines")
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

} // namespace
