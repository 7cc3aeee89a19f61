// The OOM preflight: binding, budgets, every issue and the issue order.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "deployment/deployment.h"
#include "deployment/first_fit.h"
#include "deployment/inventory.h"
#include "deployment/preflight.h"
#include "estimation/estimators.h"
#include "ir_builders.h"
#include "placement/ir_text.h"

namespace Core::Placement {
namespace {

using namespace builders;
using Estimation::WorkloadRequirement;
using Issues = std::vector<DeploymentIssue>;


TEST(OomPreflight, ExampleOnOneCpuDeviceIsOutOfMemory) {
    const PlacementIR ir = makeIr(PlacementPolicy::explicit_, {cpu("cpu0")}, exampleEngines("cpu0"));
    const DeploymentReport report =
        oomPreflight(ir, portableInventoryFixture(), Estimation::compositeWorkload());

    EXPECT_EQ(report.issues,
              (Issues{{"device.cpu0", "OOM preflight: requested 407901752 bytes, usable 402653184 "
                                      "bytes after reserve 0"}}));
    EXPECT_EQ(report.budgets, (std::vector<DeviceBudget>{
                                  {"cpu0", "example-cpu", kFourGiB, kCpuUsable, 0, kCpuUsable,
                                   407901752, 0}}));
    EXPECT_EQ(report.assignments,
              (std::vector<EngineAssignment>{
                  {"intuition-transformer", "cpu0", "example-cpu", 269485048},
                  {"sensory-sync", "cpu0", "example-cpu", 71303360},
                  {"temporal-dpsh", "cpu0", "example-cpu", 67113344},
              }));
    EXPECT_EQ(report.placement_hash, placementHash(ir));
    EXPECT_EQ(report.hardware_fingerprint, kFixtureFingerprint);
}

TEST(OomPreflight, ExampleOnOneCudaDeviceFits) {
    const PlacementIR ir =
        makeIr(PlacementPolicy::explicit_, {cuda("gpu0", 0)}, exampleEngines("gpu0"));
    const DeploymentResult result =
        resolveDeployment(ir, portableInventoryFixture(), Estimation::compositeWorkload());

    EXPECT_TRUE(result.report.issues.empty());
    EXPECT_EQ(result.report.budgets,
              (std::vector<DeviceBudget>{{"gpu0", "example-gpu-0", kFourGiB, kGpuUsable, 0,
                                          kGpuUsable, 407901752, 2813323720}}));
    EXPECT_EQ(result.report.placement_hash, placementHash(ir));
    ASSERT_TRUE(result.ir.has_value());
    EXPECT_EQ(canonicalPlacementText(*result.ir), canonicalPlacementText(ir));
}

TEST(OomPreflight, ReservesAndRequests) {
    struct Case {
        const char* name;
        LoweredDevice device;
        std::vector<std::uint64_t> peaks; // engines e0, e1, ... all on the device
        DeviceBudget budget;
        Issues issues;
    };
    const std::vector<Case> cases = {
        {"unused cuda with reserve",
         cuda("gpu0", 0, 1073741824),
         {},
         {"gpu0", "example-gpu-0", kFourGiB, kGpuUsable, 1073741824, 2147483648, 0, 2147483648},
         {}},
        {"reserve equal to usable memory",
         cuda("gpu0", 0, kGpuUsable),
         {0},
         {"gpu0", "example-gpu-0", kFourGiB, kGpuUsable, kGpuUsable, 0, 0, 0},
         {}},
        {"reserve above usable memory",
         cuda("gpu0", 0, kFourGiB),
         {1},
         {"gpu0", "example-gpu-0", kFourGiB, kGpuUsable, kFourGiB, 0, 1, 0},
         {{"device.gpu0", "OOM preflight: requested 1 bytes, usable 0 bytes after reserve 4294967296"},
          {"device.gpu0", "external reserve exceeds currently usable memory"}}},
        {"request equal to usable memory",
         cpu("cpu0"),
         {kCpuUsable - 1, 1},
         {"cpu0", "example-cpu", kFourGiB, kCpuUsable, 0, kCpuUsable, kCpuUsable, 0},
         {}},
        {"one peak larger than the device",
         cpu("cpu0"),
         {kFourGiB},
         {"cpu0", "example-cpu", kFourGiB, kCpuUsable, 0, kCpuUsable, kFourGiB, 0},
         {{"device.cpu0",
           "OOM preflight: requested 4294967296 bytes, usable 402653184 bytes after reserve 0"}}},
        {"aggregate overflow",
         cpu("cpu0"),
         {1ULL << 63, 1ULL << 63},
         {"cpu0", "example-cpu", kFourGiB, kCpuUsable, 0, kCpuUsable, 1ULL << 63, 0},
         {{"device.cpu0", "OOM preflight: requested 9223372036854775808 bytes, usable "
                          "402653184 bytes after reserve 0"},
          {"device.cpu0", "aggregate requested memory overflowed"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<LoweredEngine> engines;
        std::vector<WorkloadRequirement> requirements;
        for (std::size_t i = 0; i < c.peaks.size(); ++i) {
            const std::string id = "e" + std::to_string(i);
            engines.push_back(onDevice(id, c.device.id));
            requirements.push_back(withPeak(id, c.peaks[i]));
        }
        const DeploymentReport report =
            oomPreflight(makeIr(PlacementPolicy::explicit_, {c.device}, engines),
                         portableInventoryFixture(), requirements);
        EXPECT_EQ(report.issues, c.issues);
        EXPECT_EQ(report.budgets, std::vector<DeviceBudget>{c.budget});
        // Engines on a device with a rejected reserve or an overflow still count.
        EXPECT_EQ(report.assignments.size(), c.peaks.size());
    }
}

TEST(OomPreflight, BudgetsAndAssignmentsAreSorted) {
    const PlacementIR ir = makeIr(
        PlacementPolicy::validate_only, {cuda("zeta", 0), cpu("alpha")},
        {onDevice("b", "alpha"), onDevice("a", "alpha")});
    const DeploymentResult result =
        resolveDeployment(ir, portableInventoryFixture(), {withPeak("a", 5), withPeak("b", 7)});

    EXPECT_TRUE(result.report.issues.empty());
    ASSERT_EQ(result.report.budgets.size(), 2u);
    EXPECT_EQ(result.report.budgets[0].device, "alpha");
    EXPECT_EQ(result.report.budgets[0].requested, 12u);
    EXPECT_EQ(result.report.budgets[1].device, "zeta"); // unused, still budgeted
    EXPECT_EQ(result.report.budgets[1].requested, 0u);
    EXPECT_EQ(result.report.budgets[1].headroom, kGpuUsable);
    ASSERT_EQ(result.report.assignments.size(), 2u);
    EXPECT_EQ(result.report.assignments[0].engine, "a");
    EXPECT_EQ(result.report.assignments[1].engine, "b");
    EXPECT_TRUE(result.ir.has_value());
}

TEST(OomPreflight, DeviceAndEngineIssues) {
    struct Case {
        const char* name;
        PlacementIR ir;
        std::vector<WorkloadRequirement> requirements;
        Issues issues;
    };
    const std::vector<Case> cases = {
        {"device absent from the inventory",
         makeIr(PlacementPolicy::explicit_, {cpu("cpu0"), cuda("gpu1", 1)},
                {onDevice("on-gpu1", "gpu1"),
                 onDevice("on-nothing", "nowhere"),
                 onDevice("fine", "cpu0")}),
         {withPeak("on-gpu1", 1), withPeak("on-nothing", 1), withPeak("fine", 1)},
         {{"device.gpu1", "declared device is absent from resource inventory"},
          {"engine.on-gpu1", "assigned device is unresolved"},
          {"engine.on-nothing", "assigned device is unresolved"}}},
        {"alias of a device whose reserve was rejected",
         makeIr(PlacementPolicy::explicit_, {cpu("cpu0", kFourGiB), cpu("cpu1")},
                {onDevice("e", "cpu1")}),
         {withPeak("e", 1)},
         {{"device.cpu0", "external reserve exceeds currently usable memory"},
          {"device.cpu1", "multiple aliases bind the same physical device"},
          {"engine.e", "assigned device is unresolved"}}},
        {"workload problems",
         makeIr(PlacementPolicy::explicit_, {cpu("cpu0")},
                {onDevice("a", "cpu0"), onDevice("z", "cpu0"),
                 makeEngine("bare")}),
         {withPeak("a", 10), withPeak("ghost", 1), withPeak("a", 20), withoutPeak("z")},
         {{"engine.a", "duplicate workload budget"},
          {"engine.bare", "resource requirements are missing"},
          {"engine.ghost", "workload does not belong to placement IR"},
          {"engine.z", "peak memory is unknown or overflowed"}}},
        // An engine that has nowhere to run reports that, not its unknown peak.
        {"where an engine runs is judged before its peak",
         makeIr(PlacementPolicy::explicit_, {cpu("cpu0")},
                {makeEngine("unpinned"), onDevice("unresolved", "nowhere")}),
         {withoutPeak("unpinned"), withoutPeak("unresolved")},
         {{"engine.unpinned", "explicit engine has no device assignment"},
          {"engine.unresolved", "assigned device is unresolved"}}},
        {"first_fit handed to the preflight",
         makeIr(PlacementPolicy::first_fit, {cpu("cpu0")},
                {makeEngine("a"), onDevice("b", "cpu0"), makeEngine("c")}),
         {withPeak("a", 1), withPeak("b", 1)},
         {{"engine.a", "explicit engine has no device assignment"},
          {"engine.c", "resource requirements are missing"},
          {"placement.policy",
           "P-05 preflight requires explicit assignments; first_fit belongs to P-06"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DeploymentReport report =
            oomPreflight(c.ir, portableInventoryFixture(), c.requirements);
        EXPECT_EQ(report.issues, c.issues);
        EXPECT_EQ(report.placement_hash, placementHash(c.ir));
        EXPECT_EQ(report.hardware_fingerprint, kFixtureFingerprint);
    }
}

TEST(OomPreflight, DuplicateRequirementKeepsTheFirst) {
    const DeploymentReport report =
        oomPreflight(makeIr(PlacementPolicy::explicit_, {cpu("cpu0")},
                            {onDevice("a", "cpu0")}),
                     portableInventoryFixture(), {withPeak("a", 10), withPeak("a", 20)});
    ASSERT_EQ(report.assignments.size(), 1u);
    EXPECT_EQ(report.assignments[0].peak, 10u);
    EXPECT_EQ(report.budgets.at(0).requested, 10u);
}

// The driver reports the first issue, so the sort decides what the user sees:
// by path (bytewise: "device." < "engine." < "placement.", upper case before
// lower case, a prefix first), then by message.
TEST(OomPreflight, IssuesSortByPathThenMessage) {
    const PlacementIR ir =
        makeIr(PlacementPolicy::first_fit, {cuda("gpu9", 9), cpu("cpu0", 500000000)},
               {makeEngine("a-b"), makeEngine("a"), onDevice("B", "cpu0"),
                onDevice("c", "cpu0")});
    const std::vector<WorkloadRequirement> requirements = {withPeak("a", 1), withoutPeak("B"),
                                                           withPeak("c", 1)};
    const Issues expected = {
        {"device.cpu0", "OOM preflight: requested 1 bytes, usable 0 bytes after reserve 500000000"},
        {"device.cpu0", "external reserve exceeds currently usable memory"},
        {"device.gpu9", "declared device is absent from resource inventory"},
        {"engine.B", "peak memory is unknown or overflowed"},
        {"engine.a", "explicit engine has no device assignment"},
        {"engine.a-b", "resource requirements are missing"},
        {"placement.policy",
         "P-05 preflight requires explicit assignments; first_fit belongs to P-06"},
    };
    EXPECT_EQ(oomPreflight(ir, portableInventoryFixture(), requirements).issues, expected);

    PlacementIR explicit_ir = ir;
    explicit_ir.policy = PlacementPolicy::explicit_;
    const DeploymentResult result =
        resolveDeployment(explicit_ir, portableInventoryFixture(), requirements);
    EXPECT_FALSE(result.ir.has_value());
    EXPECT_EQ(result.report.issues, Issues(expected.begin(), expected.end() - 1));
}

// Binding a whole placement must agree with findInventoryDevice, including
// which of several matching inventory devices wins.
TEST(OomPreflight, BindsLikeFindInventoryDevice) {
    ResourceInventory inventory;
    const auto add = [&inventory](DeviceKind kind, std::string id,
                                  std::optional<std::uint32_t> index) {
        InventoryDevice device;
        device.kind = kind;
        device.id = std::move(id);
        device.total_bytes = 1000;
        device.index = index;
        inventory.devices.push_back(device);
    };
    add(DeviceKind::cuda, "g-none", std::nullopt);
    add(DeviceKind::cpu, "c-first", std::nullopt);
    add(DeviceKind::cuda, "g2", 2);
    add(DeviceKind::cpu, "c-second", 4);
    add(DeviceKind::cuda, "g2-later", 2);
    add(DeviceKind::cuda, "g-none-later", std::nullopt);

    for (const LoweredDevice& device :
         {cpu("d"), makeDevice("d", DeviceKind::cpu, 4), cuda("d", 2), cuda("d", std::nullopt),
          cuda("d", 5)}) {
        SCOPED_TRACE(canonicalPlacementText(makeIr(PlacementPolicy::explicit_, {device}, {})));
        const std::optional<InventoryDevice> expected = findInventoryDevice(device, inventory);
        const DeploymentReport report =
            oomPreflight(makeIr(PlacementPolicy::explicit_, {device}, {}), inventory, {});
        if (expected) {
            ASSERT_EQ(report.budgets.size(), 1u);
            EXPECT_EQ(report.budgets[0].physical_device, expected->id);
            EXPECT_TRUE(report.issues.empty());
        } else {
            EXPECT_TRUE(report.budgets.empty());
            EXPECT_EQ(report.issues,
                      (Issues{{"device.d", "declared device is absent from resource inventory"}}));
        }
    }
}

} // namespace
} // namespace Core::Placement
