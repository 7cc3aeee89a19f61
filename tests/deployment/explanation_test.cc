// What resolution can tell beyond its result: first fit's steps, the notes
// that give the figures behind each refusal, and memory blocks below their
// estimates.
#include "deployment/first_fit.h"
#include "deployment/inventory.h"
#include "deployment/memory_limits.h"
#include "estimation/estimators.h"
#include "ir_builders.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace Core::Placement {
namespace {

using namespace builders;
using Estimation::WorkloadRequirement;

/// Each issue with its notes, "path: message -> note".
std::vector<std::string> notedIssues(const DeploymentResult& result,
                                     const ResolutionDetail& detail) {
    std::vector<std::string> lines;
    for (const DeploymentIssue& issue : result.report.issues) {
        const auto notes = detail.notes.of(issue.path, issue.message);
        if (notes.empty()) {
            lines.push_back(issue.path + ": " + issue.message);
        }
        for (const std::string& note : notes) {
            lines.push_back(issue.path + ": " + issue.message + " -> " + note);
        }
    }
    return lines;
}

TEST(ResolutionDetail, FirstFitStepsOfTheWorkedExample) {
    ResolutionDetail detail;
    const DeploymentResult result = resolveDeployment(
        makeIr(PlacementPolicy::first_fit, {cpu("cpu0"), cuda("gpu0", 0)}, exampleEngines()),
        portableInventoryFixture(), Estimation::compositeWorkload(), &detail);
    ASSERT_TRUE(result.ir.has_value());
    EXPECT_TRUE(detail.notes.empty());
    const std::vector<FitStep>& steps = detail.first_fit.steps;
    ASSERT_EQ(steps.size(), 3u);
    const std::string order[] = {"intuition-transformer", "sensory-sync", "temporal-dpsh"};
    const std::string devices[] = {"cpu0", "cpu0", "gpu0"};
    const std::uint64_t headroom[] = {133168136, 61864776, 3154112128};
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(steps[i].engine, order[i]);
        EXPECT_FALSE(steps[i].pinned);
        EXPECT_EQ(steps[i].device, devices[i]);
        EXPECT_EQ(steps[i].headroom, headroom[i]);
        EXPECT_TRUE(steps[i].free_bytes.empty());
    }
    // The same result as without detail.
    const DeploymentResult plain = resolveDeployment(
        makeIr(PlacementPolicy::first_fit, {cpu("cpu0"), cuda("gpu0", 0)}, exampleEngines()),
        portableInventoryFixture(), Estimation::compositeWorkload());
    EXPECT_EQ(plain.report.placement_hash, result.report.placement_hash);
}

TEST(ResolutionDetail, NotesGiveTheFiguresBehindEachRefusal) {
    struct Case {
        const char* name;
        PlacementIR ir;
        std::vector<WorkloadRequirement> requirements;
        std::vector<std::string> noted;
    };
    const std::vector<Case> cases = {
        {"a reserve above usable memory, an alias, a device the inventory lacks",
         makeIr(PlacementPolicy::explicit_, {cpu("cpu0", kFourGiB), cpu("cpu1"), cuda("gpu3", 3)},
                {}),
         {},
         {"device.cpu0: external reserve exceeds currently usable memory -> reserve 4294967296 "
          "bytes against 402653184 bytes usable on 'example-cpu'",
          "device.cpu1: multiple aliases bind the same physical device -> 'example-cpu' is bound "
          "by 'cpu0' already; declare each physical device once",
          "device.gpu3: declared device is absent from resource inventory -> the inventory's cuda "
          "devices: 'example-gpu-0' (index 0)"}},
        {"an OOM refusal names the peaks behind it; unresolved devices say why",
         makeIr(PlacementPolicy::explicit_, {cpu("cpu0"), cuda("gpu1", 1)},
                {onDevice("a", "cpu0"), onDevice("b", "cpu0"), onDevice("c", "gpu1"),
                 onDevice("d", "nowhere"), makeEngine("e")}),
         {withPeak("a", 400000000), withPeak("b", 3000000), withPeak("c", 1), withPeak("d", 1),
          withPeak("e", 1)},
         // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): rows split over two lines
         {"device.cpu0: OOM preflight: requested 403000000 bytes, usable 402653184 bytes after "
          "reserve 0 -> requested by 'a' (400000000 bytes), 'b' (3000000 bytes)",
          "device.gpu1: declared device is absent from resource inventory -> the inventory's cuda "
          "devices: 'example-gpu-0' (index 0)",
          "engine.c: assigned device is unresolved -> 'gpu1' did not bind to the inventory (see "
          "the error at its device block)",
          "engine.d: assigned device is unresolved -> 'nowhere' is not a declared device; to "
          "declare it: device nowhere { kind: cuda; selector: { index: 0; }; }",
          "engine.e: explicit engine has no device assignment -> name its device in its engine "
          "block, or let policy: first_fit place it"}},
        {"first fit: a peak against each device's free bytes, a pinned one against its device",
         makeIr(PlacementPolicy::first_fit,
                {cpu("cpu0", kCpuUsable - 1000), cuda("gpu0", 0, kGpuUsable - 500)},
                {makeEngine("big"), onDevice("pinned", "gpu0"), makeEngine("small")}),
         {withPeak("big", 2000), withPeak("pinned", 600), withPeak("small", 900)},
         {"engine.big: first_fit cannot place peak 2000 bytes on any allowed device -> a peak of "
          "2000 bytes against 'cpu0' 1000, 'gpu0' 500 bytes free at that point of first fit",
          "engine.pinned: pinned peak 600 bytes exceeds device headroom -> a peak of 600 bytes "
          "against 'gpu0' 500 bytes free at that point of first fit"}},
        // The same faults pinned under first fit read as they do assigned above.
        {"first fit: a pinned device that did not bind or is not declared says which",
         makeIr(PlacementPolicy::first_fit, {cpu("cpu0"), cuda("gpu1", 1)},
                {onDevice("c", "gpu1"), onDevice("d", "nowhere")}),
         {withPeak("c", 1), withPeak("d", 1)},
         {"device.gpu1: declared device is absent from resource inventory -> the inventory's cuda "
          "devices: 'example-gpu-0' (index 0)",
          "engine.c: pinned device is not a usable allowed device -> 'gpu1' did not bind to the "
          "inventory (see the error at its device block)",
          "engine.d: pinned device is not a usable allowed device -> 'nowhere' is not a declared "
          "device; to declare it: device nowhere { kind: cuda; selector: { index: 0; }; }"}},
        // Two oversized reserves: what follows from them says so.
        {"first fit: no device left after two oversized reserves",
         makeIr(PlacementPolicy::first_fit, {cpu("cpu0", kFourGiB), cuda("gpu0", 0, kFourGiB)},
                {makeEngine("a"), onDevice("b", "gpu0")}),
         {withPeak("a", 1), withPeak("b", 1)},
         // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): rows split over two lines
         {"device.cpu0: external reserve exceeds currently usable memory -> reserve 4294967296 "
          "bytes against 402653184 bytes usable on 'example-cpu'",
          "device.gpu0: external reserve exceeds currently usable memory -> reserve 4294967296 "
          "bytes against 3221225472 bytes usable on 'example-gpu-0'",
          "engine.a: first_fit cannot place peak 1 bytes on any allowed device -> this may follow "
          "from the devices left out above: 'cpu0' (its reserve), 'gpu0' (its reserve)",
          "engine.b: pinned device is not a usable allowed device -> 'gpu0' keeps back more than "
          "it has: its reserve is 1073741824 bytes over the 3221225472 bytes usable",
          "placement.devices: first_fit has no usable allowed device -> declare a device that the "
          "inventory has, with a reserve that fits",
          "placement.devices: first_fit has no usable allowed device -> this follows from the "
          "devices left out above: 'cpu0' (its reserve), 'gpu0' (its reserve)"}},
        {"explicit: an oversized reserve, and the memory refusal that follows from it",
         makeIr(PlacementPolicy::explicit_, {cpu("cpu0", kFourGiB)}, {onDevice("a", "cpu0")}),
         {withPeak("a", 1)},
         {"device.cpu0: OOM preflight: requested 1 bytes, usable 0 bytes after reserve "
          "4294967296 -> requested by 'a' (1 bytes)",
          "device.cpu0: OOM preflight: requested 1 bytes, usable 0 bytes after reserve "
          "4294967296 -> this follows from the reserve: 'cpu0' keeps back more than it has: its "
          "reserve is 3892314112 bytes over the 402653184 bytes usable",
          "device.cpu0: external reserve exceeds currently usable memory -> reserve 4294967296 "
          "bytes against 402653184 bytes usable on 'example-cpu'"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResolutionDetail detail;
        const DeploymentResult result =
            resolveDeployment(c.ir, portableInventoryFixture(), c.requirements, &detail);
        EXPECT_EQ(notedIssues(result, detail), c.noted);
        // Notes change nothing about the result.
        EXPECT_EQ(resolveDeployment(c.ir, portableInventoryFixture(), c.requirements).report.issues,
                  result.report.issues);
    }
}

// A wide first fit shows the first devices and counts the rest, so that a
// note stays one line however many devices there are.
TEST(ResolutionDetail, ManyDevicesAreCounted) {
    ResourceInventory inventory;
    std::vector<LoweredDevice> devices;
    for (std::uint32_t i = 0; i < 20; ++i) {
        InventoryDevice device;
        device.kind = DeviceKind::cuda;
        device.id = "phys-" + std::to_string(i);
        device.total_bytes = 10;
        device.index = i;
        inventory.devices.push_back(device);
        devices.push_back(cuda("d" + std::to_string(100 + i), i));
    }
    ResolutionDetail detail;
    const DeploymentResult result =
        resolveDeployment(makeIr(PlacementPolicy::first_fit, devices, {makeEngine("e")}), inventory,
                          {withPeak("e", 11)}, &detail);
    ASSERT_EQ(detail.first_fit.steps.size(), 1u);
    EXPECT_EQ(detail.first_fit.steps[0].free_bytes.size(), kFitStepDevices);
    EXPECT_EQ(detail.first_fit.steps[0].more_devices, 4u);
    const auto notes = detail.notes.of("engine.e", result.report.issues.at(0).message);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_TRUE(notes[0].ends_with("'d115' 10 bytes free, and 4 more devices at that point of "
                                   "first fit"))
        << notes[0];
}

TEST(MemoryLimits, FiguresBelowTheirTermsWarn) {
    std::vector<LoweredEngine> engines = exampleEngines();
    engines[1].memory.weights = 247;      // the transformer's weights are 248 bytes
    engines[1].memory.kv_cache_max = 256; // its KV cache: exactly 256, not below
    engines[1].memory.workspace_max = 1;  // its workspace: 1048576
    engines[0].memory.weights = 1ULL << 40;
    const std::vector<MemoryLimitWarning> warnings = memoryLimitWarnings(
        makeIr(PlacementPolicy::first_fit, {}, engines), Estimation::compositeWorkload());
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0].path(), "engine.intuition-transformer.memory");
    EXPECT_EQ(warnings[0].message(),
              "weights 247 bytes is below the estimated weights of 248 bytes");
    EXPECT_EQ(warnings[1].message(),
              "workspace_max 1 bytes is below the estimated workspace of 1048576 bytes");
    // No requirement, or no peak: nothing to compare with.
    EXPECT_TRUE(memoryLimitWarnings(makeIr(PlacementPolicy::first_fit, {}, engines),
                                    {withoutPeak("intuition-transformer")})
                    .empty());
}

} // namespace
} // namespace Core::Placement
