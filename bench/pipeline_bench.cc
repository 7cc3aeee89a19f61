// The whole pipeline on the worked example, in-process: the stages one by one
// and together, and the command-line run reading the shipped file.
#include <benchmark/benchmark.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/placement_file.h"
#include "deployment/first_fit.h"
#include "deployment/inventory.h"
#include "estimation/estimators.h"
#include "orchestration/example_system.h"
#include "placement/lowering.h"
#include "placement/parser.h"

namespace {

namespace Placement = Core::Placement;

const std::string kDemoPath = TALVEX_EXAMPLES_DIR "/demo.cplace";

void BM_WorkedExampleStages(benchmark::State& state) {
    const std::string text = Core::App::readPlacementFile(kDemoPath);
    for (auto _ : state) {
        const Core::Orchestration::SystemSpec system = Core::Orchestration::buildExampleSystem();
        const Placement::PlacementSpec placement = Placement::parsePlacement(text, kDemoPath);
        const Placement::LoweringResult lowered = Placement::lowerPlacement(placement, system);
        if (!lowered.ir) {
            state.SkipWithError("the worked example did not lower");
            break;
        }
        const auto requirements = Core::Estimation::compositeWorkload();
        const Placement::ResourceInventory inventory = Placement::portableInventoryFixture();
        Placement::DeploymentResult result =
            Placement::resolveDeployment(*lowered.ir, inventory, requirements);
        if (!result.ir) {
            state.SkipWithError("the worked example did not resolve");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_WorkedExampleStages)->Unit(benchmark::kMicrosecond);

void BM_WorkedExampleParse(benchmark::State& state) {
    const std::string text = Core::App::readPlacementFile(kDemoPath);
    for (auto _ : state) {
        Placement::PlacementSpec placement = Placement::parsePlacement(text, kDemoPath);
        benchmark::DoNotOptimize(placement);
    }
}
BENCHMARK(BM_WorkedExampleParse)->Unit(benchmark::kMicrosecond);

void BM_WorkedExampleLower(benchmark::State& state) {
    const std::string text = Core::App::readPlacementFile(kDemoPath);
    const Core::Orchestration::SystemSpec system = Core::Orchestration::buildExampleSystem();
    const Placement::PlacementSpec placement = Placement::parsePlacement(text, kDemoPath);
    for (auto _ : state) {
        Placement::LoweringResult lowered = Placement::lowerPlacement(placement, system);
        benchmark::DoNotOptimize(lowered);
    }
}
BENCHMARK(BM_WorkedExampleLower)->Unit(benchmark::kMicrosecond);

void BM_WorkedExampleResolve(benchmark::State& state) {
    const std::string text = Core::App::readPlacementFile(kDemoPath);
    const Core::Orchestration::SystemSpec system = Core::Orchestration::buildExampleSystem();
    const Placement::LoweringResult lowered =
        Placement::lowerPlacement(Placement::parsePlacement(text, kDemoPath), system);
    if (!lowered.ir) {
        state.SkipWithError("the worked example did not lower");
        return;
    }
    for (auto _ : state) {
        const auto requirements = Core::Estimation::compositeWorkload();
        const Placement::ResourceInventory inventory = Placement::portableInventoryFixture();
        Placement::DeploymentResult result =
            Placement::resolveDeployment(*lowered.ir, inventory, requirements);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_WorkedExampleResolve)->Unit(benchmark::kMicrosecond);

/// Core::App::run as main calls it, file read and report formatting included.
void BM_WorkedExampleRun(benchmark::State& state) {
    const std::vector<std::string> args{kDemoPath};
    for (auto _ : state) {
        std::ostringstream out;
        std::ostringstream err;
        if (Core::App::run(args, out, err) != 0) {
            state.SkipWithError(err.str().c_str());
            break;
        }
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_WorkedExampleRun)->Unit(benchmark::kMicrosecond);

} // namespace
