// Canonical Placement IR text, placement hash, spellings and hex identities,
// on IRs built directly so that no graph is needed.
#include <gtest/gtest.h>

#include <string>

#include "placement/ir.h"
#include "placement/ir_text.h"

namespace Core::Placement {
namespace {

/// The demo IR against a graph "demo-graph" whose system hash is 0x1234.
PlacementIR demoIr() {
    PlacementIR ir;
    ir.placement = "demo";
    ir.system = "demo-graph";
    ir.system_hash = 0x1234;
    ir.policy = PlacementPolicy::first_fit;
    ir.determinism = Determinism::portable;
    ir.devices.push_back(LoweredDevice{"gpu0", DeviceKind::cuda, 0, 536870912, "e39d967d81fd3c2c"});

    // Graph order puts sensory-sync first; the text sorts by id.
    LoweredEngine sync;
    sync.id = "sensory-sync";
    sync.kind = EngineClassCode::sync;
    sync.residency = Residency::persistent;
    sync.priority = Priority::realtime;
    sync.identity = "b4bb71ae8dfe734c";
    sync.session = "153ec9f5b9289fe1";
    ir.engines.push_back(sync);

    LoweredEngine transformer;
    transformer.id = "intuition-transformer";
    transformer.kind = EngineClassCode::transformer;
    transformer.device = "gpu0";
    transformer.residency = Residency::evictable;
    transformer.priority = Priority::interactive;
    transformer.memory.weights_auto = true;
    ModelRequest model;
    model.artifact = "model-a";
    model.request_id = "2e3dc080df4b4c5c";
    model.allocation_id = "dc135e41da2b2ba1";
    transformer.model = model;
    transformer.identity = "9bd78822a669efc6";
    transformer.session = "4dec1b9ecc3cc7d1";
    ir.engines.push_back(transformer);
    return ir;
}

const char* const kDemoText =
    "TALVEX-PLACEMENT-IR/1\n"
    "placement=4:demo\n"
    "system=10:demo-graph\n"
    "system_hash=0000000000001234\n"
    "policy=first_fit\n"
    "determinism=portable\n"
    "devices=1\n"
    "4:gpu0|cuda|0|536870912|e39d967d81fd3c2c\n"
    "engines=2\n"
    "21:intuition-transformer|transformer|4:gpu0|evictable|interactive|9bd78822a669efc6|"
    "4dec1b9ecc3cc7d1|-|1|-|-|model|7:model-a|0:|0|-|2e3dc080df4b4c5c|-|dc135e41da2b2ba1\n"
    "12:sensory-sync|sync|-|persistent|realtime|b4bb71ae8dfe734c|153ec9f5b9289fe1|-|0|-|-|no-model\n";

TEST(PlacementIrText, DemoIrGivesPinnedTextAndHash) {
    const PlacementIR ir = demoIr();
    EXPECT_EQ(canonicalPlacementText(ir), kDemoText);
    EXPECT_EQ(placementHash(ir), 8624383940550879533ULL);
    EXPECT_EQ(placementHash(ir), 0x77aff77fff1e692dULL);
}

TEST(PlacementIrText, DeclarationOrderDoesNotChangeTextAndTextDoesNotReorderIr) {
    PlacementIR ir = demoIr();
    ir.devices.push_back(LoweredDevice{"cpu0", DeviceKind::cpu, std::nullopt, 0, "0123456789abcdef"});
    PlacementIR reversed = ir;
    std::swap(reversed.devices[0], reversed.devices[1]);
    std::swap(reversed.engines[0], reversed.engines[1]);

    EXPECT_EQ(canonicalPlacementText(ir), canonicalPlacementText(reversed));
    EXPECT_EQ(placementHash(ir), placementHash(reversed));
    EXPECT_EQ(ir.devices[0].id, "gpu0");
    EXPECT_EQ(ir.engines[0].id, "sensory-sync");
}

TEST(PlacementIrText, SortsIdsByUnsignedBytesWithPrefixFirst) {
    PlacementIR ir;
    for (const char* id : {"\xc3\xa9", "ab", "a", "B"}) {
        ir.devices.push_back(LoweredDevice{id, DeviceKind::cpu, std::nullopt, 0, "x"});
    }
    const std::string text = canonicalPlacementText(ir);
    const std::string lines = "devices=4\n1:B|cpu|-|0|x\n1:a|cpu|-|0|x\n2:ab|cpu|-|0|x\n2:\xc3\xa9|cpu|-|0|x\n"
                              "engines=0\n";
    EXPECT_NE(text.find(lines), std::string::npos) << text;
}

TEST(PlacementIrText, EncodesAbsentEmptyAndPresentValues) {
    PlacementIR ir;
    ir.system_hash = 0xffffffffffffffffULL;
    ir.policy = PlacementPolicy::validate_only;
    ir.determinism = Determinism::strict;
    // A "|" inside a length-prefixed name cannot be taken for a separator.
    ir.devices.push_back(LoweredDevice{"a|b", DeviceKind::cpu, std::nullopt, 0, "d1"});
    LoweredEngine engine;
    engine.id = "e";
    engine.kind = EngineClassCode::transformer;
    engine.device = "";
    engine.residency = Residency::session_pinned;
    engine.priority = Priority::batch;
    engine.identity = "i";
    engine.session = "s";
    engine.memory.weights = 0;
    engine.memory.kv_cache_max = 18446744073709551615ULL;
    engine.memory.workspace_max = 7;
    ModelRequest model;
    model.artifact = "m:1";
    model.sharing_group = "g";
    model.weights_shared_read_only = true;
    model.adapter = "";
    model.request_id = "r";
    model.adapter_request_id = "q";
    model.allocation_id = "a";
    engine.model = model;
    ir.engines.push_back(engine);

    EXPECT_EQ(canonicalPlacementText(ir),
              "TALVEX-PLACEMENT-IR/1\n"
              "placement=0:\n"
              "system=0:\n"
              "system_hash=ffffffffffffffff\n"
              "policy=validate_only\n"
              "determinism=strict\n"
              "devices=1\n"
              "3:a|b|cpu|-|0|d1\n"
              "engines=1\n"
              "1:e|transformer|0:|session_pinned|batch|i|s|0|0|18446744073709551615|7|"
              "model|3:m:1|1:g|1|0:|r|1:q|a\n");
}

TEST(PlacementIrText, EmptyIrHasZeroCountsOnConsecutiveLines) {
    PlacementIR ir;
    ir.policy = PlacementPolicy::explicit_;
    const std::string text = canonicalPlacementText(ir);
    EXPECT_NE(text.find("policy=explicit\n"), std::string::npos);
    EXPECT_TRUE(text.ends_with("\ndevices=0\nengines=0\n")) << text;
}

TEST(PlacementIrSpellings, OutOfRangeValuesUseTheirFallbacks) {
    EXPECT_EQ(deviceKindName(DeviceKind::cpu), "cpu");
    EXPECT_EQ(deviceKindName(static_cast<DeviceKind>(7)), "cuda");
    EXPECT_EQ(engineClassName(EngineClassCode::dpsh), "dpsh");
    EXPECT_EQ(engineClassName(EngineClassCode::transformer), "transformer");
    // The byte of sensory (3) and controller (4), or any other, has no spelling.
    EXPECT_EQ(engineClassName(static_cast<EngineClassCode>(3)), "");
    EXPECT_EQ(engineClassName(static_cast<EngineClassCode>(4)), "");
    // Defaults of the placement's class apply; an unknown byte takes sync's.
    EXPECT_EQ(placementClassOf(EngineClassCode::transformer), EngineClass::transformer);
    EXPECT_EQ(placementClassOf(static_cast<EngineClassCode>(9)), EngineClass::sync);
    EXPECT_EQ(policyName(static_cast<PlacementPolicy>(3)), "");
    EXPECT_EQ(determinismName(Determinism::strict), "strict");
    EXPECT_EQ(determinismName(static_cast<Determinism>(9)), "portable");
    EXPECT_EQ(residencyName(Residency::on_demand), "on_demand");
    EXPECT_EQ(residencyName(static_cast<Residency>(4)), "");
    EXPECT_EQ(priorityName(Priority::interactive), "interactive");
    EXPECT_EQ(priorityName(static_cast<Priority>(3)), "");
}

TEST(PlacementIrSpellings, HexIsSixteenLowerCaseDigits) {
    EXPECT_EQ(toHex16(0), "0000000000000000");
    EXPECT_EQ(toHex16(255), "00000000000000ff");
    EXPECT_EQ(toHex16(0xfedcba9876543210ULL), "fedcba9876543210");
    EXPECT_EQ(hashHex(""), "14650fb0739d0383");
    EXPECT_EQ(hashHex("abc"), "e16801510db89efd");
}

} // namespace
} // namespace Core::Placement
