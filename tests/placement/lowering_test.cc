// Lowering a placement against the example system: the issue rows and their
// order, effective residency and priority, identities, and the lowered text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "orchestration/example_system.h"
#include "placement/ir_text.h"
#include "placement/lowering.h"
#include "placement/parser.h"

namespace Core::Placement {
namespace {

SourceLocation at(std::uint32_t line) { return SourceLocation{"demo.cplace", line, 3}; }

DeviceSpec cudaDevice(std::string name, std::uint32_t index, std::uint32_t line) {
    DeviceSpec device;
    device.name = std::move(name);
    device.kind = DeviceKind::cuda;
    device.selector.index = index;
    device.location = at(line);
    return device;
}

DeviceSpec cpuDevice(std::string name, std::uint32_t line) {
    DeviceSpec device;
    device.name = std::move(name);
    device.location = at(line);
    return device;
}

EnginePlacement engineBlock(std::string name, std::uint32_t line) {
    EnginePlacement block;
    block.name = std::move(name);
    block.location = at(line);
    return block;
}

/// A placement for the example system with nothing but its header.
PlacementSpec bareSpec(PlacementPolicy policy = PlacementPolicy::first_fit) {
    PlacementSpec spec;
    spec.name = "demo";
    spec.system = "composite-three-engine";
    spec.policy = policy;
    spec.location = at(1);
    return spec;
}

/// The example placement file, as the parser would build it.
PlacementSpec exampleSpec() {
    PlacementSpec spec = bareSpec();
    spec.determinism = Determinism::portable;
    DeviceSpec gpu = cudaDevice("gpu0", 0, 5);
    gpu.reserve = 536870912;
    spec.devices.push_back(gpu);
    spec.defaults.push_back(
        EngineDefaults{EngineClass::transformer, Residency::persistent, Priority::interactive, at(6)});
    EnginePlacement block = engineBlock("intuition-transformer", 7);
    block.device = "gpu0";
    block.model = ModelSpec{"model-a", "g1", true, std::nullopt};
    MemorySpec memory;
    memory.weights_auto = true;
    memory.kv_cache_max = 2147483648ULL;
    block.memory = memory;
    spec.engines.push_back(block);
    return spec;
}

/// Issues as one readable line each, so a failing comparison shows all of them.
std::vector<std::string> describe(const std::vector<PlacementIssue>& issues) {
    std::vector<std::string> lines;
    lines.reserve(issues.size());
    for (const PlacementIssue& issue : issues) {
        lines.push_back(issue.path + " | " + issue.message + " | " + issue.location.file.str() +
                        ":" +
                        std::to_string(issue.location.line) + ":" +
                        std::to_string(issue.location.column));
    }
    return lines;
}

const LoweredEngine& engineById(const PlacementIR& ir, const std::string& id) {
    const auto it = std::find_if(ir.engines.begin(), ir.engines.end(),
                                 [&](const LoweredEngine& engine) { return engine.id == id; });
    if (it == ir.engines.end()) {
        throw std::runtime_error("no engine " + id);
    }
    return *it;
}

TEST(Lowering, ExamplePlacementGivesPinnedTextAndHash) {
    const LoweringResult result = lowerPlacement(exampleSpec(), Orchestration::buildExampleSystem());
    ASSERT_TRUE(result.issues.empty()) << ::testing::PrintToString(describe(result.issues));
    ASSERT_TRUE(result.ir.has_value());
    EXPECT_EQ(canonicalPlacementText(*result.ir),
              "TALVEX-PLACEMENT-IR/1\n"
              "placement=4:demo\n"
              "system=22:composite-three-engine\n"
              "system_hash=8be387cd4d170834\n"
              "policy=first_fit\n"
              "determinism=portable\n"
              "devices=1\n"
              "4:gpu0|cuda|0|536870912|e39d967d81fd3c2c\n"
              "engines=3\n"
              "21:intuition-transformer|transformer|4:gpu0|persistent|interactive|6fa7924b12f67f29|"
              "7bd1a659f560ff7c|-|1|2147483648|-|model|7:model-a|2:g1|1|-|8fa88a3a201dd650|-|"
              "0a54830384d9db3e\n"
              "12:sensory-sync|sync|-|persistent|realtime|905f6e0dba524913|7bc5540130d9a192|-|0|-|-|"
              "no-model\n"
              "13:temporal-dpsh|dpsh|-|persistent|realtime|218e605cd5ecdbfc|810335759c289929|-|0|-|-|"
              "no-model\n");
    EXPECT_EQ(placementHash(*result.ir), 13805627325824552108ULL);

    const PlacementIR& ir = *result.ir;
    EXPECT_EQ(ir.system_hash, 10080049706816702516ULL);
    ASSERT_EQ(ir.engines.size(), 3U);
    EXPECT_EQ(ir.engines[0].id, "sensory-sync");
    EXPECT_EQ(ir.engines[1].id, "intuition-transformer");
    EXPECT_EQ(ir.engines[2].id, "temporal-dpsh");
    EXPECT_EQ(ir.engines[2].kind, EngineClassCode::dpsh);
}

TEST(Lowering, ParsedExampleFileLowersToThePinnedHashWhateverItsLayout) {
    const char* const kFile =
        "placement demo for system composite-three-engine {\n"
        "  format: 1;\n"
        "  policy: first_fit;\n"
        "  determinism: portable;\n"
        "  device gpu0 { kind: cuda; selector: { index: 0; }; reserve: 512 MiB; }\n"
        "  defaults transformer { residency: persistent; priority: interactive; }\n"
        "  engine intuition-transformer {\n"
        "    device: gpu0;\n"
        "    model { artifact: \"model-a\"; weights: shared_read_only; sharing_group: \"g1\"; }\n"
        "    memory { weights: auto; kv_cache_max: 2 GiB; }\n"
        "  }\n"
        "}\n";
    // The same placement with comments, blank lines and its blocks in another order.
    const char* const kRearranged =
        "# rearranged\n\n"
        "placement demo for system composite-three-engine {\n"
        "  engine intuition-transformer {\n"
        "    memory { kv_cache_max: 2GiB; weights: auto; }\n"
        "    model { sharing_group: \"g1\"; weights: shared_read_only; artifact: \"model-a\"; }\n"
        "    device: gpu0;\n"
        "  }\n\n"
        "  defaults transformer { priority: interactive; residency: persistent; }\n"
        "  // devices last\n"
        "  device gpu0 { reserve: 536870912 B; selector: { index: 0; }; kind: cuda; }\n"
        "  determinism: portable; policy: first_fit; format: 1;\n"
        "}\n";
    const Orchestration::SystemSpec system = Orchestration::buildExampleSystem();
    for (const char* text : {kFile, kRearranged}) {
        const LoweringResult result = lowerPlacement(parsePlacement(text, "demo.cplace"), system);
        ASSERT_TRUE(result.ir.has_value()) << ::testing::PrintToString(describe(result.issues));
        EXPECT_EQ(placementHash(*result.ir), 13805627325824552108ULL);
    }
}

TEST(Lowering, TypicalRunLowersEveryEngineWithClassDefaults) {
    PlacementSpec spec = bareSpec();
    spec.devices.push_back(cpuDevice("cpu0", 5));
    spec.devices.push_back(cudaDevice("gpu0", 0, 6));
    const LoweringResult result = lowerPlacement(spec, Orchestration::buildExampleSystem());
    ASSERT_TRUE(result.ir.has_value()) << ::testing::PrintToString(describe(result.issues));
    const PlacementIR& ir = *result.ir;

    ASSERT_EQ(ir.devices.size(), 2U);
    EXPECT_EQ(ir.devices[0].id, "cpu0");
    EXPECT_FALSE(ir.devices[0].index.has_value());
    EXPECT_EQ(ir.devices[0].reserve, 0U);
    EXPECT_EQ(ir.devices[0].identity,
              hashHex("placement-device-v1;id=cpu0;kind=cpu;index=-;reserve=0"));
    EXPECT_EQ(ir.devices[1].index, 0U);

    ASSERT_EQ(ir.engines.size(), 3U);
    for (const LoweredEngine& engine : ir.engines) {
        SCOPED_TRACE(engine.id);
        EXPECT_FALSE(engine.device.has_value());
        EXPECT_FALSE(engine.model.has_value());
        EXPECT_FALSE(engine.memory.weights || engine.memory.weights_auto ||
                     engine.memory.kv_cache_max || engine.memory.workspace_max);
        const bool transformer = engine.id == "intuition-transformer";
        EXPECT_EQ(engine.residency, transformer ? Residency::evictable : Residency::persistent);
        EXPECT_EQ(engine.priority, transformer ? Priority::interactive : Priority::realtime);
        EXPECT_EQ(engine.session,
                  hashHex("placement-session-v1;system=8be387cd4d170834;engine=" + engine.id));
    }
}

TEST(Lowering, ResidencyAndPriorityComeFromBlockThenDefaultsThenClass) {
    struct Case {
        const char* name;
        std::vector<EngineDefaults> defaults;
        std::optional<Residency> blockResidency;
        std::optional<Priority> blockPriority;
        Residency residency;
        Priority priority;
    };
    const std::vector<Case> cases = {
        {"class defaults", {}, std::nullopt, std::nullopt, Residency::evictable, Priority::interactive},
        {"defaults block",
         {{EngineClass::transformer, Residency::on_demand, Priority::batch, at(4)}},
         std::nullopt,
         std::nullopt,
         Residency::on_demand,
         Priority::batch},
        {"defaults block gives residency only",
         {{EngineClass::transformer, Residency::on_demand, std::nullopt, at(4)}},
         std::nullopt,
         std::nullopt,
         Residency::on_demand,
         Priority::interactive},
        {"engine block beats defaults",
         {{EngineClass::transformer, Residency::on_demand, Priority::batch, at(4)}},
         Residency::session_pinned,
         Priority::realtime,
         Residency::session_pinned,
         Priority::realtime},
        {"defaults for other classes do not apply",
         {{EngineClass::sync, Residency::on_demand, Priority::batch, at(4)},
          {EngineClass::sensory, Residency::on_demand, Priority::batch, at(5)},
          {EngineClass::controller, Residency::on_demand, Priority::batch, at(6)}},
         std::nullopt,
         std::nullopt,
         Residency::evictable,
         Priority::interactive},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PlacementSpec spec = bareSpec();
        spec.defaults = c.defaults;
        EnginePlacement block = engineBlock("intuition-transformer", 8);
        block.residency = c.blockResidency;
        block.priority = c.blockPriority;
        spec.engines.push_back(block);
        const LoweringResult result = lowerPlacement(spec, Orchestration::buildExampleSystem());
        ASSERT_TRUE(result.ir.has_value()) << ::testing::PrintToString(describe(result.issues));
        const LoweredEngine& engine = engineById(*result.ir, "intuition-transformer");
        EXPECT_EQ(engine.residency, c.residency);
        EXPECT_EQ(engine.priority, c.priority);
    }

    // A sensory defaults block never reaches sensory-sync, whose graph class is sync.
    PlacementSpec spec = bareSpec();
    spec.defaults.push_back({EngineClass::sensory, Residency::on_demand, Priority::batch, at(4)});
    spec.defaults.push_back({EngineClass::dpsh, Residency::evictable, std::nullopt, at(5)});
    const LoweringResult result = lowerPlacement(spec, Orchestration::buildExampleSystem());
    ASSERT_TRUE(result.ir.has_value());
    EXPECT_EQ(engineById(*result.ir, "sensory-sync").residency, Residency::persistent);
    EXPECT_EQ(engineById(*result.ir, "temporal-dpsh").residency, Residency::evictable);
    EXPECT_EQ(engineById(*result.ir, "temporal-dpsh").priority, Priority::realtime);
}

TEST(Lowering, DeclarationOrderAndLocationsDoNotChangeTheText) {
    PlacementSpec spec = exampleSpec();
    spec.devices.push_back(cpuDevice("cpu0", 9));
    spec.devices.push_back(cudaDevice("gpu1", 1, 10));
    EnginePlacement dpsh = engineBlock("temporal-dpsh", 11);
    dpsh.device = "cpu0";
    spec.engines.push_back(dpsh);
    spec.defaults.push_back({EngineClass::sync, std::nullopt, Priority::batch, at(12)});

    PlacementSpec shuffled = spec;
    std::reverse(shuffled.devices.begin(), shuffled.devices.end());
    std::reverse(shuffled.engines.begin(), shuffled.engines.end());
    std::reverse(shuffled.defaults.begin(), shuffled.defaults.end());
    shuffled.location = SourceLocation{"other.cplace", 40, 1};
    for (DeviceSpec& device : shuffled.devices) {
        device.location.line += 100;
    }
    for (EnginePlacement& block : shuffled.engines) {
        block.location = SourceLocation{"other.cplace", 7, 7};
    }

    const Orchestration::SystemSpec system = Orchestration::buildExampleSystem();
    const LoweringResult a = lowerPlacement(spec, system);
    const LoweringResult b = lowerPlacement(shuffled, system);
    ASSERT_TRUE(a.ir && b.ir);
    EXPECT_EQ(canonicalPlacementText(*a.ir), canonicalPlacementText(*b.ir));
    EXPECT_EQ(placementHash(*a.ir), placementHash(*b.ir));
    EXPECT_NE(placementHash(*a.ir), 13805627325824552108ULL);
    // The IR keeps declaration order; only the text sorts.
    EXPECT_EQ(a.ir->devices.front().id, "gpu0");
    EXPECT_EQ(b.ir->devices.front().id, "gpu1");
}

TEST(Lowering, ReportsEveryIssueInOrder) {
    using Spec = PlacementSpec;
    using System = Orchestration::SystemSpec;
    struct Case {
        const char* name;
        std::function<void(Spec&, System&)> change;
        std::vector<std::string> issues;
    };
    const std::vector<Case> cases = {
        {"wrong system",
         [](Spec& s, System&) { s.system = "other-system"; },
         {"placement.system | placement targets system 'other-system' but graph is "
          "'composite-three-engine' | demo.cplace:1:3"}},
        {"invalid graph gives one issue however many validation issues",
         [](Spec&, System& g) {
             g.engines[0].semantic_api_version = 0;
             g.engines[2].ports[0].schema = "Vector/2";
             g.failure_policy = 2;
         },
         {"system | cannot lower placement for an invalid orchestration graph | demo.cplace:1:3"}},
        {"wrong system before invalid graph",
         [](Spec& s, System& g) {
             s.system = "composite";
             g.id = "";
         },
         {"placement.system | placement targets system 'composite' but graph is '' | demo.cplace:1:3",
          "system | cannot lower placement for an invalid orchestration graph | demo.cplace:1:3"}},
        {"device selectors in declaration order",
         [](Spec& s, System&) {
             DeviceSpec noIndex = cudaDevice("gpu1", 0, 20);
             noIndex.selector.index.reset();
             DeviceSpec cpuWithIndex = cpuDevice("cpu0", 21);
             cpuWithIndex.selector.index = 0;
             s.devices.push_back(noIndex);
             s.devices.push_back(cpuWithIndex);
             s.devices.push_back(cudaDevice("gpu2", 2, 22));
         },
         {"device.gpu1 | CUDA device requires selector.index | demo.cplace:20:3",
          "device.cpu0 | CPU device must not declare CUDA index | demo.cplace:21:3"}},
        {"duplicate defaults located at the later block",
         [](Spec& s, System&) {
             s.defaults.push_back({EngineClass::sync, std::nullopt, Priority::batch, at(30)});
             s.defaults.push_back({EngineClass::transformer, Residency::evictable, std::nullopt, at(31)});
         },
         {"defaults | duplicate defaults for one engine class | demo.cplace:31:3"}},
        {"blocks for absent engines in name order",
         [](Spec& s, System&) {
             s.engines.push_back(engineBlock("zeta-engine", 40));
             s.engines.push_back(engineBlock("Sensory-sync", 41));
             s.engines.push_back(engineBlock("alpha-engine", 42));
             s.engines.push_back(engineBlock("Sensory-sync", 43)); // the first block counts
         },
         {"engine.Sensory-sync | placement references an engine absent from SystemSpec | "
          "demo.cplace:41:3",
          "engine.alpha-engine | placement references an engine absent from SystemSpec | "
          "demo.cplace:42:3",
          "engine.zeta-engine | placement references an engine absent from SystemSpec | "
          "demo.cplace:40:3"}},
        {"explicit policy with missing blocks",
         [](Spec& s, System&) { s.policy = PlacementPolicy::explicit_; },
         {"engine.sensory-sync | explicit placement requires an entry for every system engine | "
          "demo.cplace:1:3",
          "engine.temporal-dpsh | explicit placement requires an entry for every system engine | "
          "demo.cplace:1:3"}},
        {"explicit policy with a block that names no device",
         [](Spec& s, System&) {
             s.policy = PlacementPolicy::explicit_;
             s.engines.front().device.reset();
             EnginePlacement sync = engineBlock("sensory-sync", 50);
             sync.device = "gpu0";
             s.engines.push_back(sync);
             EnginePlacement dpsh = engineBlock("temporal-dpsh", 51);
             dpsh.device = "gpu0";
             s.engines.push_back(dpsh);
         },
         {"engine.intuition-transformer | explicit placement requires device | demo.cplace:7:3"}},
        {"unknown device, not also missing device under explicit",
         [](Spec& s, System&) {
             s.policy = PlacementPolicy::explicit_;
             s.engines.front().device = "gpu9";
         },
         {"engine.sensory-sync | explicit placement requires an entry for every system engine | "
          "demo.cplace:1:3",
          "engine.intuition-transformer | references unknown device 'gpu9' | demo.cplace:7:3",
          "engine.temporal-dpsh | explicit placement requires an entry for every system engine | "
          "demo.cplace:1:3"}},
        {"weights both auto and explicit",
         [](Spec& s, System&) { s.engines.front().memory->weights = 1024; },
         {"engine.intuition-transformer.memory | weights cannot be both auto and explicit | "
          "demo.cplace:7:3"}},
        {"model blocks on sync and dpsh engines, then their sharing rule",
         [](Spec& s, System&) {
             EnginePlacement sync = engineBlock("sensory-sync", 60);
             sync.model = ModelSpec{"m", "", true, std::nullopt};
             EnginePlacement dpsh = engineBlock("temporal-dpsh", 61);
             dpsh.model = ModelSpec{"m", "g", false, "a"};
             s.engines.push_back(dpsh);
             s.engines.push_back(sync);
         },
         {"engine.sensory-sync.model | model block is only valid for transformer engines | "
          "demo.cplace:60:3",
          "engine.sensory-sync.model | shared_read_only weights require sharing_group | "
          "demo.cplace:60:3",
          "engine.temporal-dpsh.model | model block is only valid for transformer engines | "
          "demo.cplace:61:3",
          "engine.temporal-dpsh.model | sharing_group requires shared_read_only weights | "
          "demo.cplace:61:3"}},
        {"every row of one engine in table order",
         [](Spec& s, System&) {
             s.policy = PlacementPolicy::explicit_;
             EnginePlacement sync = engineBlock("sensory-sync", 70);
             sync.model = ModelSpec{"m", "g", false, std::nullopt};
             MemorySpec memory;
             memory.weights = 1;
             memory.weights_auto = true;
             sync.memory = memory;
             s.engines.push_back(sync);
             EnginePlacement dpsh = engineBlock("temporal-dpsh", 71);
             dpsh.device = "nowhere";
             s.engines.push_back(dpsh);
         },
         {"engine.sensory-sync | explicit placement requires device | demo.cplace:70:3",
          "engine.sensory-sync.memory | weights cannot be both auto and explicit | demo.cplace:70:3",
          // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one row split over two lines
          "engine.sensory-sync.model | model block is only valid for transformer engines | "
          "demo.cplace:70:3",
          "engine.sensory-sync.model | sharing_group requires shared_read_only weights | "
          "demo.cplace:70:3",
          "engine.temporal-dpsh | references unknown device 'nowhere' | demo.cplace:71:3"}},
        {"steps in order",
         [](Spec& s, System&) {
             s.system = "x";
             s.policy = PlacementPolicy::explicit_;
             s.engines.push_back(engineBlock("ghost", 80));
             s.defaults.push_back({EngineClass::transformer, std::nullopt, std::nullopt, at(81)});
             s.devices.push_back(cudaDevice("gpu1", 1, 82));
             s.devices.back().selector.index.reset();
         },
         // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one row split over two lines
         {"placement.system | placement targets system 'x' but graph is 'composite-three-engine' | "
          "demo.cplace:1:3",
          "device.gpu1 | CUDA device requires selector.index | demo.cplace:82:3",
          "defaults | duplicate defaults for one engine class | demo.cplace:81:3",
          "engine.ghost | placement references an engine absent from SystemSpec | demo.cplace:80:3",
          "engine.sensory-sync | explicit placement requires an entry for every system engine | "
          "demo.cplace:1:3",
          "engine.temporal-dpsh | explicit placement requires an entry for every system engine | "
          "demo.cplace:1:3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PlacementSpec spec = exampleSpec();
        Orchestration::SystemSpec system = Orchestration::buildExampleSystem();
        c.change(spec, system);
        const LoweringResult result = lowerPlacement(spec, system);
        EXPECT_EQ(describe(result.issues), c.issues);
        EXPECT_FALSE(result.ir.has_value());

        // Under the first-issue scope the lowering lists that one issue alone.
        const LoweringResult first = lowerPlacement(spec, system, IssueScope::first);
        ASSERT_EQ(first.issues.size(), 1U);
        EXPECT_EQ(first.issues.front(), result.issues.front());
        EXPECT_FALSE(first.ir.has_value());
    }
}

/// The example system with a second transformer engine.
Orchestration::SystemSpec twoTransformerSystem() {
    Orchestration::SystemSpec system = Orchestration::buildExampleSystem();
    Orchestration::EngineSpec second = system.engines[1];
    second.id = "reasoning-transformer";
    system.engines.push_back(second);
    return system;
}

TEST(Lowering, SharedWeightsShareOneAllocationButNotAdapterRequests) {
    PlacementSpec spec = bareSpec();
    for (const char* name : {"intuition-transformer", "reasoning-transformer"}) {
        EnginePlacement block = engineBlock(name, 10);
        block.model = ModelSpec{"model-a", "g1", true, "adapter-x"};
        spec.engines.push_back(block);
    }
    const LoweringResult result = lowerPlacement(spec, twoTransformerSystem());
    ASSERT_TRUE(result.ir.has_value()) << ::testing::PrintToString(describe(result.issues));
    const LoweredEngine& a = engineById(*result.ir, "intuition-transformer");
    const LoweredEngine& b = engineById(*result.ir, "reasoning-transformer");
    ASSERT_TRUE(a.model && b.model);
    EXPECT_EQ(a.model->request_id, b.model->request_id);
    EXPECT_EQ(a.model->allocation_id, b.model->allocation_id);
    EXPECT_EQ(a.model->allocation_id,
              hashHex("placement-allocation-v1;model=" + a.model->request_id + ";scope=g1"));
    EXPECT_EQ(a.model->adapter, "adapter-x");
    EXPECT_NE(a.model->adapter_request_id, b.model->adapter_request_id);
    EXPECT_EQ(a.model->adapter_request_id,
              hashHex("placement-adapter-request-v1;artifact=adapter-x;engine=intuition-transformer"));
    EXPECT_NE(a.identity, b.identity);
    EXPECT_NE(a.session, b.session);

    // Without sharing, each engine's allocation is scoped by its own id.
    for (EnginePlacement& block : spec.engines) {
        block.model = ModelSpec{"model-a", "", false, std::nullopt};
    }
    const LoweringResult unshared = lowerPlacement(spec, twoTransformerSystem());
    ASSERT_TRUE(unshared.ir.has_value());
    const LoweredEngine& c = engineById(*unshared.ir, "intuition-transformer");
    const LoweredEngine& d = engineById(*unshared.ir, "reasoning-transformer");
    EXPECT_EQ(c.model->request_id, d.model->request_id);
    EXPECT_NE(c.model->allocation_id, d.model->allocation_id);
    EXPECT_EQ(d.model->allocation_id, hashHex("placement-allocation-v1;model=" + d.model->request_id +
                                              ";scope=reasoning-transformer"));
    EXPECT_FALSE(c.model->adapter_request_id.has_value());
}

TEST(Lowering, ManyDevicesAndAbsentEngineBlocksStayNearLinear) {
    constexpr int kCount = 200000;
    PlacementSpec spec = bareSpec();
    spec.devices.reserve(kCount);
    spec.engines.reserve(kCount);
    char name[32];
    for (int i = 0; i < kCount; ++i) {
        std::snprintf(name, sizeof name, "cpu-%06d", i);
        spec.devices.push_back(cpuDevice(name, 2));
        // Declared in descending order; reported in ascending order.
        std::snprintf(name, sizeof name, "ghost-%06d", kCount - 1 - i);
        spec.engines.push_back(engineBlock(name, 3));
    }
    const Orchestration::SystemSpec system = Orchestration::buildExampleSystem();
    const LoweringResult result = lowerPlacement(spec, system);
    ASSERT_EQ(result.issues.size(), static_cast<std::size_t>(kCount));
    EXPECT_EQ(result.issues.front().path, "engine.ghost-000000");
    EXPECT_EQ(result.issues.back().path, "engine.ghost-199999");
    EXPECT_TRUE(std::is_sorted(result.issues.begin(), result.issues.end(),
                               [](const PlacementIssue& a, const PlacementIssue& b) {
                                   return a.path < b.path;
                               }));

    spec.engines.clear();
    const LoweringResult lowered = lowerPlacement(spec, system);
    ASSERT_TRUE(lowered.ir.has_value());
    EXPECT_EQ(lowered.ir->devices.size(), static_cast<std::size_t>(kCount));
    EXPECT_NE(canonicalPlacementText(*lowered.ir).find("devices=200000\n10:cpu-000000|cpu|-|0|"),
              std::string::npos);
}

} // namespace
} // namespace Core::Placement

namespace Core::Placement {
namespace {

// Every issue's path is written from its subject, in this one place.
TEST(IssueSubjectPath, EachKind) {
    using Kind = IssueSubject::Kind;
    const std::vector<std::pair<IssueSubject, std::string>> cases = {
        {{Kind::system, ""}, "system"},
        {{Kind::placement_system, ""}, "placement.system"},
        {{Kind::placement_policy, ""}, "placement.policy"},
        {{Kind::placement_devices, ""}, "placement.devices"},
        {{Kind::defaults, ""}, "defaults"},
        {{Kind::device, "gpu0"}, "device.gpu0"},
        {{Kind::engine, "a.b"}, "engine.a.b"},
        {{Kind::engine_model, "e"}, "engine.e.model"},
        {{Kind::engine_memory, "e"}, "engine.e.memory"},
    };
    for (const auto& [subject, path] : cases) {
        EXPECT_EQ(subject.path(), path);
        EXPECT_EQ(PlacementIssue(subject, "m", {}).path, path);
    }
}

} // namespace
} // namespace Core::Placement
