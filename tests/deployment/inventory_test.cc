// The portable inventory fixture, its canonical text and fingerprint, and
// the device binding rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "deployment/deployment.h"
#include "deployment/inventory.h"
#include "deployment/inventory_text.h"
#include "ir_builders.h"

namespace Core::Placement {
namespace {

using namespace builders;

constexpr char kFixtureText[] =
    "TALVEX-RESOURCE-INVENTORY/1\n"
    "os=24:portable-example-fixture\n"
    "logical_processors=8\n"
    "numa_nodes=1\n"
    "host_total=4294967296\n"
    "cuda_driver=-\n"
    "devices=2\n"
    "cpu|11:example-cpu|11:Example CPU|4294967296|-|-|1|11:host_memory\n"
    "cuda|13:example-gpu-0|16:Example CUDA GPU|4294967296|8|9|2|14:bf16_candidate|4:fp32\n"
    "peers=0\n"
    "transports=1|in_process\n";

TEST(InventoryFixture, CanonicalTextAndFingerprint) {
    const ResourceInventory fixture = portableInventoryFixture();
    const std::string text = canonicalInventoryText(fixture);
    EXPECT_EQ(text, kFixtureText);
    EXPECT_EQ(text.size(), 321u);
    EXPECT_EQ(hardwareFingerprint(fixture), 12899266385732286141ULL);
    EXPECT_EQ(hardwareFingerprint(fixture), 0xb303666f40b5b6bdULL);

    EXPECT_EQ(portableInventoryFixture(), fixture);
}

TEST(InventoryFixture, DevicesAndSpellings) {
    const ResourceInventory fixture = portableInventoryFixture();
    ASSERT_EQ(fixture.devices.size(), 2u);
    EXPECT_EQ(deviceKindName(fixture.devices[0].kind), "cpu");
    EXPECT_EQ(deviceKindName(fixture.devices[1].kind), "cuda");
    EXPECT_EQ(usableMemory(fixture.devices[0]), kCpuUsable);
    EXPECT_EQ(usableMemory(fixture.devices[1]), kGpuUsable);
    EXPECT_EQ(fixture.devices[1].index, 0u);
    EXPECT_FALSE(fixture.devices[0].index.has_value());
    EXPECT_EQ(fixture.host_available, 402653184u);
    EXPECT_FALSE(fixture.cuda_driver.has_value());

    EXPECT_EQ(transportKindName(TransportKind::in_process), "in_process");
    EXPECT_EQ(transportKindName(TransportKind::windows_shared_memory), "windows_shared_memory");
    EXPECT_EQ(transportKindName(TransportKind::cuda_peer), "cuda_peer");
    EXPECT_EQ(transportKindName(static_cast<TransportKind>(3)), "");
}

TEST(InventoryText, OrderAndUnidentifyingFieldsDoNotCount) {
    struct Case {
        const char* name;
        std::function<void(ResourceInventory&)> change;
    };
    const std::vector<Case> cases = {
        {"devices reversed",
         [](ResourceInventory& inv) { std::reverse(inv.devices.begin(), inv.devices.end()); }},
        {"tags reversed",
         [](ResourceInventory& inv) {
             auto& tags = inv.devices[1].capabilities;
             std::reverse(tags.begin(), tags.end());
         }},
        {"available bytes",
         [](ResourceInventory& inv) {
             inv.devices[0].available_bytes.reset();
             inv.devices[1].available_bytes = 1;
         }},
        {"cuda index", [](ResourceInventory& inv) { inv.devices[1].index = 7; }},
        {"host available", [](ResourceInventory& inv) { inv.host_available.reset(); }},
        {"transport repeated",
         [](ResourceInventory& inv) {
             inv.transports = {TransportKind::in_process, TransportKind::in_process};
         }},
    };
    const std::string reference = canonicalInventoryText(portableInventoryFixture());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResourceInventory inventory = portableInventoryFixture();
        c.change(inventory);
        EXPECT_EQ(canonicalInventoryText(inventory), reference);
    }
}

TEST(InventoryText, IdentifyingFieldsChangeTheFingerprint) {
    struct Case {
        const char* name;
        std::function<void(ResourceInventory&)> change;
    };
    const std::vector<Case> cases = {
        {"os", [](ResourceInventory& inv) { inv.os = "other"; }},
        {"processors", [](ResourceInventory& inv) { inv.logical_processors = 9; }},
        {"host total", [](ResourceInventory& inv) { inv.host_total += 1; }},
        {"cuda driver 0", [](ResourceInventory& inv) { inv.cuda_driver = 0; }},
        {"device name", [](ResourceInventory& inv) { inv.devices[0].name = "CPU"; }},
        {"device total", [](ResourceInventory& inv) { inv.devices[1].total_bytes -= 1; }},
        {"compute minor", [](ResourceInventory& inv) { inv.devices[1].compute_minor.reset(); }},
        {"kind", [](ResourceInventory& inv) { inv.devices[0].kind = DeviceKind::cuda; }},
        {"duplicate tag",
         [](ResourceInventory& inv) { inv.devices[0].capabilities.push_back("host_memory"); }},
        {"peer", [](ResourceInventory& inv) { inv.peers.push_back({"a", "b", false}); }},
        {"transport", [](ResourceInventory& inv) {
             inv.transports.push_back(TransportKind::cuda_peer);
         }},
    };
    const std::uint64_t reference = hardwareFingerprint(portableInventoryFixture());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResourceInventory inventory = portableInventoryFixture();
        c.change(inventory);
        EXPECT_NE(hardwareFingerprint(inventory), reference);
    }
}

TEST(InventoryText, EmptyInventory) {
    EXPECT_EQ(canonicalInventoryText(ResourceInventory{}),
              "TALVEX-RESOURCE-INVENTORY/1\n"
              "os=0:\n"
              "logical_processors=0\n"
              "numa_nodes=0\n"
              "host_total=0\n"
              "cuda_driver=-\n"
              "devices=0\n"
              "peers=0\n"
              "transports=0\n");
}

TEST(InventoryText, SortedListsAndRawStrings) {
    ResourceInventory inventory;
    inventory.os = "a|b:\nc";
    inventory.cuda_driver = 0;
    // Unsigned byte order: a prefix first, high bytes after ASCII.
    inventory.devices = {
        {DeviceKind::cpu, "\xc3\xa9", "hi", 1, std::nullopt, std::nullopt, std::nullopt,
         std::nullopt, {}},
        {DeviceKind::cpu, "ab", "x", 2, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
         {"z", "Z", "a"}},
        {DeviceKind::cuda, "a", "y", 3, 5, 1, 7, 0, {}},
    };
    inventory.peers = {{"b", "a", true}, {"a", "c", false}, {"a", "b", true}};
    inventory.transports = {TransportKind::in_process, TransportKind::cuda_peer,
                            TransportKind::in_process};
    EXPECT_EQ(canonicalInventoryText(inventory),
              "TALVEX-RESOURCE-INVENTORY/1\n"
              "os=6:a|b:\nc\n"
              "logical_processors=0\n"
              "numa_nodes=0\n"
              "host_total=0\n"
              "cuda_driver=0\n"
              "devices=3\n"
              "cuda|1:a|1:y|3|7|0|0\n"
              "cpu|2:ab|1:x|2|-|-|3|1:Z|1:a|1:z\n"
              "cpu|2:\xc3\xa9|2:hi|1|-|-|0\n"
              "peers=3\n"
              "1:a|1:b|1\n"
              "1:a|1:c|0\n"
              "1:b|1:a|1\n"
              "transports=2|in_process|cuda_peer\n");
}

TEST(DeviceBinding, FindInventoryDevice) {
    ResourceInventory inventory = portableInventoryFixture();
    InventoryDevice unindexed = inventory.devices[1];
    unindexed.id = "unindexed-gpu";
    unindexed.index.reset();
    InventoryDevice second_cpu = inventory.devices[0];
    second_cpu.id = "second-cpu";
    second_cpu.index = 3;
    inventory.devices.push_back(unindexed);
    inventory.devices.push_back(second_cpu);

    struct Case {
        LoweredDevice declared;
        std::optional<std::string> bound;
    };
    const std::vector<Case> cases = {
        {cpu("c"), "example-cpu"},
        {makeDevice("c", DeviceKind::cpu, 3), "example-cpu"}, // index plays no part for cpu
        {cuda("g", 0), "example-gpu-0"},
        {cuda("g", 1), std::nullopt},
        {cuda("g", std::nullopt), "unindexed-gpu"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.declared.id + " " + std::string(deviceKindName(c.declared.kind)));
        const std::optional<InventoryDevice> bound = findInventoryDevice(c.declared, inventory);
        EXPECT_EQ(bound ? std::optional<std::string>(bound->id) : std::nullopt, c.bound);
    }

    // Without an unindexed cuda device, a declared one without index binds nothing.
    EXPECT_FALSE(findInventoryDevice(cuda("g", std::nullopt), portableInventoryFixture()));
}

TEST(DeviceBinding, UsableMemory) {
    InventoryDevice device;
    device.total_bytes = 100;
    EXPECT_EQ(usableMemory(device), 100u);
    device.available_bytes = 40;
    EXPECT_EQ(usableMemory(device), 40u);
    device.available_bytes = 400;
    EXPECT_EQ(usableMemory(device), 100u);
}

} // namespace
} // namespace Core::Placement
