// First-fit resolution: the worked example, slot and candidate order, every
// first_fit issue, and the size of inputs it must handle.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "deployment/deployment.h"
#include "deployment/first_fit.h"
#include "deployment/inventory.h"
#include "estimation/estimators.h"
#include "ir_builders.h"
#include "orchestration/example_system.h"
#include "placement/document.h"
#include "placement/lowering.h"
#include "placement/ir_text.h"

namespace Core::Placement {
namespace {

using namespace builders;
using Estimation::WorkloadRequirement;
using Issues = std::vector<DeploymentIssue>;


TEST(FirstFit, WorkedExample) {
    const PlacementIR ir =
        makeIr(PlacementPolicy::first_fit, {cpu("cpu0"), cuda("gpu0", 0)}, exampleEngines());
    EXPECT_EQ(placementHash(ir), 5687478458403194927ULL);

    const DeploymentResult result =
        resolveDeployment(ir, portableInventoryFixture(), Estimation::compositeWorkload());
    EXPECT_TRUE(result.report.issues.empty());
    ASSERT_TRUE(result.ir.has_value());
    EXPECT_EQ(result.ir->policy, PlacementPolicy::first_fit);
    ASSERT_EQ(result.ir->engines.size(), 3u);
    EXPECT_EQ(result.ir->engines[0].id, "sensory-sync");
    EXPECT_EQ(result.ir->engines[0].device, "cpu0");
    EXPECT_EQ(result.ir->engines[1].id, "intuition-transformer");
    EXPECT_EQ(result.ir->engines[1].device, "cpu0");
    EXPECT_EQ(result.ir->engines[2].id, "temporal-dpsh");
    EXPECT_EQ(result.ir->engines[2].device, "gpu0");

    // The hash of the assigned IR, not of the input nor of the explicit copy.
    EXPECT_EQ(result.report.placement_hash, 11152568837546336102ULL);
    EXPECT_EQ(result.report.placement_hash, placementHash(*result.ir));
    EXPECT_EQ(result.report.hardware_fingerprint, kFixtureFingerprint);

    EXPECT_EQ(result.report.budgets,
              (std::vector<DeviceBudget>{
                  {"cpu0", "example-cpu", kFourGiB, kCpuUsable, 0, kCpuUsable, 340788408, 61864776},
                  {"gpu0", "example-gpu-0", kFourGiB, kGpuUsable, 0, kGpuUsable, 67113344,
                   3154112128},
              }));
    EXPECT_EQ(result.report.assignments,
              (std::vector<EngineAssignment>{
                  {"intuition-transformer", "cpu0", "example-cpu", 269485048},
                  {"sensory-sync", "cpu0", "example-cpu", 71303360},
                  {"temporal-dpsh", "gpu0", "example-gpu-0", 67113344},
              }));
}

// The hand-built IRs of these tests stand for lowered placements; the demo
// one must be exactly what lowering makes of the demo placement.
TEST(FirstFit, WorkedExampleIrMatchesLowering) {
    PlacementSpec spec;
    spec.name = "demo";
    spec.system = "composite-three-engine";
    spec.policy = PlacementPolicy::first_fit;
    spec.determinism = Determinism::strict;
    spec.devices.push_back({"cpu0", DeviceKind::cpu, {}, std::nullopt, {}});
    spec.devices.push_back({"gpu0", DeviceKind::cuda, {0}, std::nullopt, {}});

    const LoweringResult lowered = lowerPlacement(spec, Orchestration::buildExampleSystem());
    ASSERT_TRUE(lowered.ir.has_value());
    EXPECT_EQ(canonicalPlacementText(*lowered.ir),
              canonicalPlacementText(makeIr(PlacementPolicy::first_fit,
                                            {cpu("cpu0"), cuda("gpu0", 0)}, exampleEngines())));
}

struct Engine {
    std::string id;
    std::optional<std::uint64_t> peak; ///< absent: no peak
    Priority priority = Priority::realtime;
    std::optional<std::string> pinned = std::nullopt;
};

PlacementIR firstFitIr(std::vector<LoweredDevice> devices, const std::vector<Engine>& engines) {
    std::vector<LoweredEngine> lowered;
    lowered.reserve(engines.size());
    for (const Engine& engine : engines) {
        lowered.push_back(
            makeEngine(engine.id, EngineClassCode::sync, engine.pinned, engine.priority));
    }
    return makeIr(PlacementPolicy::first_fit, std::move(devices), std::move(lowered));
}

std::vector<WorkloadRequirement> requirementsOf(const std::vector<Engine>& engines) {
    std::vector<WorkloadRequirement> requirements;
    requirements.reserve(engines.size());
    for (const Engine& engine : engines) {
        requirements.push_back(engine.peak ? withPeak(engine.id, *engine.peak)
                                           : withoutPeak(engine.id));
    }
    return requirements;
}

TEST(FirstFit, PlacementOrder) {
    struct Case {
        const char* name;
        std::vector<LoweredDevice> devices;
        std::vector<Engine> engines;
        std::vector<std::string> placed_on; ///< per engine, in engine order
    };
    const std::vector<Case> cases = {
        {"slots in name order, not declaration order; reserves shrink them",
         {cuda("gpu0", 0, 1073741824), cpu("cpu0")},
         {{"mid", 1000}, {"gpu-exact", 2147483648}, {"small", 1}},
         {"cpu0", "gpu0", "cpu0"}},
        {"a reserve equal to usable memory leaves room for a peak of 0 only",
         {cpu("cpu0", kCpuUsable), cuda("gpu0", 0)},
         {{"one", 1}, {"zero", 0}},
         {"gpu0", "cpu0"}},
        {"largest peak first",
         {cpu("cpu0", kCpuUsable - 100), cuda("gpu0", 0)},
         {{"a-small", 60}, {"b-large", 70}},
         {"gpu0", "cpu0"}},
        {"equal peaks: interactive before batch",
         {cpu("cpu0", kCpuUsable - 100), cuda("gpu0", 0)},
         {{"a-batch", 100, Priority::batch}, {"m-interactive", 100, Priority::interactive}},
         {"gpu0", "cpu0"}},
        {"equal peaks and priorities: smaller id first",
         {cpu("cpu0", kCpuUsable - 100), cuda("gpu0", 0)},
         {{"y", 100}, {"x", 100}},
         {"gpu0", "cpu0"}},
        {"pinned engines claim their devices first",
         {cpu("cpu0"), cuda("gpu0", 0)},
         {{"a-big", kCpuUsable}, {"z-pinned", 1, Priority::batch, "cpu0"}},
         {"gpu0", "cpu0"}},
        {"a full slot is skipped, a later one with room is taken",
         {cpu("a", kCpuUsable - 10), cuda("b", 0, kGpuUsable - 5), makeDevice("c", DeviceKind::cuda)},
         {{"e1", 10}, {"e2", 6}, {"e3", 5}, {"e4", 4}},
         {"a", "c", "b", "c"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResourceInventory inventory = portableInventoryFixture();
        InventoryDevice unindexed = inventory.devices[1];
        unindexed.id = "unindexed-gpu";
        unindexed.index.reset();
        inventory.devices.push_back(unindexed);

        const DeploymentResult result =
            resolveDeployment(firstFitIr(c.devices, c.engines), inventory, requirementsOf(c.engines));
        EXPECT_EQ(result.report.issues, Issues{});
        ASSERT_TRUE(result.ir.has_value());
        for (std::size_t i = 0; i < c.engines.size(); ++i) {
            EXPECT_EQ(result.ir->engines[i].device, c.placed_on[i]) << c.engines[i].id;
        }
    }
}

TEST(FirstFit, TwoSlotsWithReservesAreBudgeted) {
    const DeploymentResult result = resolveDeployment(
        firstFitIr({cuda("gpu0", 0, 1073741824), cpu("cpu0")}, {}), portableInventoryFixture(), {});
    ASSERT_TRUE(result.ir.has_value());
    ASSERT_EQ(result.report.budgets.size(), 2u);
    EXPECT_EQ(result.report.budgets[0].device, "cpu0");
    EXPECT_EQ(result.report.budgets[0].usable, kCpuUsable);
    EXPECT_EQ(result.report.budgets[1].device, "gpu0");
    EXPECT_EQ(result.report.budgets[1].usable, 2147483648u);
    EXPECT_EQ(result.report.budgets[1].headroom, 2147483648u);
}

TEST(FirstFit, Failures) {
    struct Case {
        const char* name;
        std::vector<LoweredDevice> devices;
        std::vector<Engine> engines;
        /// The workload, when it is not one requirement per engine.
        std::optional<std::vector<WorkloadRequirement>> requirements;
        Issues issues;
    };
    const std::vector<Case> cases = {
        {"cuda index 1 is not in the inventory",
         {cpu("cpu0"), cuda("gpu1", 1)},
         {{"e", 1}},
         {},
         {{"device.gpu1", "declared device is absent from resource inventory"}}},
        {"two cpu devices alias one physical device",
         {cpu("cpu0"), cpu("cpu1")},
         {{"e", 1}},
         {},
         {{"device.cpu1", "multiple aliases bind the same physical device"}}},
        {"every device fails to bind",
         {cuda("gpu1", 1), cpu("cpu0", kFourGiB), cpu("cpu1")},
         {{"e", 5}, {"u", std::nullopt}, {"p", 1, Priority::realtime, "cpu0"}},
         {},
         {{"device.cpu0", "external reserve exceeds currently usable memory"},
          {"device.cpu1", "multiple aliases bind the same physical device"},
          {"device.gpu1", "declared device is absent from resource inventory"},
          {"engine.e", "first_fit cannot place peak 5 bytes on any allowed device"},
          {"engine.p", "pinned device is not a usable allowed device"},
          {"engine.u", "peak memory is unknown or overflowed"},
          {"placement.devices", "first_fit has no usable allowed device"}}},
        {"one engine fits nowhere, the others are placed",
         {cpu("cpu0"), cuda("gpu0", 0)},
         {{"ok", 10}, {"huge", kFourGiB}, {"also-ok", kGpuUsable}},
         {},
         {{"engine.huge", "first_fit cannot place peak 4294967296 bytes on any allowed device"}}},
        {"pinned engines beyond their device",
         {cpu("cpu0"), cuda("gpu0", 0)},
         {{"p1", 300000000, Priority::batch, "cpu0"},
          {"p2", 200000000, Priority::realtime, "cpu0"},
          {"p3", 1, Priority::realtime, "gpu7"},
          {"free", 1}},
         {},
         {{"engine.p2", "pinned peak 200000000 bytes exceeds device headroom"},
          {"engine.p3", "pinned device is not a usable allowed device"}}},
        // In peak order the large engine would fit and the small one fail.
        {"pinned engines claim in engine-id order, whatever their peaks",
         {cpu("cpu0")},
         {{"a-small", 100, Priority::batch, "cpu0"},
          {"b-large", kCpuUsable, Priority::realtime, "cpu0"}},
         {},
         {{"engine.b-large", "pinned peak 402653184 bytes exceeds device headroom"}}},
        {"workload that does not match the placement",
         {cpu("cpu0")},
         {{"a", 1}},
         std::vector<WorkloadRequirement>{withPeak("a", 1), withPeak("a", 2), withPeak("stray", 1)},
         {{"engine.a", "duplicate workload budget"},
          {"engine.stray", "workload does not belong to placement IR"}}},
        {"an engine without requirement",
         {cpu("cpu0")},
         {{"a", 1}},
         std::vector<WorkloadRequirement>{},
         {{"engine.a", "resource requirements are missing"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PlacementIR ir = firstFitIr(c.devices, c.engines);
        const std::vector<WorkloadRequirement> requirements =
            c.requirements.value_or(requirementsOf(c.engines));

        const DeploymentResult result =
            resolveDeployment(ir, portableInventoryFixture(), requirements);
        EXPECT_EQ(result.report.issues, c.issues);
        EXPECT_FALSE(result.ir.has_value());
        // A failed first fit names the input placement and carries no accounts.
        EXPECT_EQ(result.report.placement_hash, placementHash(ir));
        EXPECT_EQ(result.report.hardware_fingerprint, kFixtureFingerprint);
        EXPECT_TRUE(result.report.assignments.empty());
        EXPECT_TRUE(result.report.budgets.empty());
    }
}

TEST(FirstFit, ValidateOnlyIsDecidedByThePreflight) {
    const PlacementIR ir =
        makeIr(PlacementPolicy::validate_only, {cpu("cpu0"), cuda("gpu0", 0)}, exampleEngines());
    const DeploymentResult result =
        resolveDeployment(ir, portableInventoryFixture(), Estimation::compositeWorkload());
    EXPECT_FALSE(result.ir.has_value());
    EXPECT_EQ(result.report.issues,
              (Issues{{"engine.intuition-transformer", "explicit engine has no device assignment"},
                      {"engine.sensory-sync", "explicit engine has no device assignment"},
                      {"engine.temporal-dpsh", "explicit engine has no device assignment"}}));
    EXPECT_EQ(result.report.budgets.size(), 2u);
}

std::string numbered(const char* prefix, std::size_t i) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%06zu", i);
    return prefix + std::string(digits);
}

// Indexes are maps and the slot search a tree, so a large placement stays
// n log n: 200,000 devices, with every engine fitting only near the end of
// the slot order, where a scan from the first slot would be quadratic.
TEST(FirstFit, LargePlacementsResolve) {
    constexpr std::size_t kDevices = 200000;
    constexpr std::size_t kEngines = 2000;

    ResourceInventory inventory;
    std::vector<LoweredDevice> devices;
    for (std::size_t i = 0; i < kDevices; ++i) {
        InventoryDevice device;
        device.kind = DeviceKind::cuda;
        device.id = numbered("phys-", i);
        device.total_bytes = i < kDevices - kEngines ? 999 : 1000;
        device.index = static_cast<std::uint32_t>(i);
        inventory.devices.push_back(std::move(device));
        // Declared in reverse so that the slot order has to come from the sort.
        const std::size_t j = kDevices - 1 - i;
        devices.push_back(cuda(numbered("d", j), static_cast<std::uint32_t>(j)));
    }
    std::vector<LoweredEngine> engines;
    std::vector<WorkloadRequirement> requirements;
    for (std::size_t i = 0; i < kEngines; ++i) {
        engines.push_back(makeEngine(numbered("e", i)));
        requirements.push_back(withPeak(numbered("e", i), 1000));
    }

    const DeploymentResult fitted = resolveDeployment(
        makeIr(PlacementPolicy::first_fit, devices, engines), inventory, requirements);
    EXPECT_TRUE(fitted.report.issues.empty());
    ASSERT_TRUE(fitted.ir.has_value());
    EXPECT_EQ(fitted.ir->engines[0].device, numbered("d", kDevices - kEngines));
    EXPECT_EQ(fitted.ir->engines[kEngines - 1].device, numbered("d", kDevices - 1));
    EXPECT_EQ(fitted.report.budgets.size(), kDevices);

    // As many aliases of one physical device; the alias check is a set lookup.
    std::vector<LoweredDevice> aliases;
    for (std::size_t i = 0; i < kDevices; ++i) {
        aliases.push_back(cpu(numbered("c", i)));
    }
    std::vector<LoweredEngine> pinned;
    for (std::size_t i = 0; i < kEngines; ++i) {
        pinned.push_back(onDevice(numbered("e", i), numbered("c", i)));
    }
    const DeploymentReport report = resolveDeployment(
        makeIr(PlacementPolicy::explicit_, aliases, pinned), portableInventoryFixture(),
        requirements).report;
    EXPECT_EQ(report.issues.size(), (kDevices - 1) + (kEngines - 1));
    EXPECT_EQ(report.issues.front(),
              (DeploymentIssue{{IssueSubject::Kind::device, "c000001"},
                               "multiple aliases bind the same physical device"}));
    EXPECT_EQ(report.issues.back(),
              (DeploymentIssue{{IssueSubject::Kind::engine, numbered("e", kEngines - 1)},
                               "assigned device is unresolved"}));
}

} // namespace
} // namespace Core::Placement
