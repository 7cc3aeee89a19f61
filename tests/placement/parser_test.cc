// The placement grammar: every message at its exact position, and the
// documents that valid texts produce.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "placement/parser.h"

namespace Core::Placement {
namespace {

std::string parseError(std::string_view text) {
    try {
        (void)parsePlacement(text, "p.cplace");
    } catch (const ParseError& error) {
        return error.what();
    }
    return "parsed";
}

/// Wraps fields in a valid header and a format line: the body starts on line 2.
std::string body(std::string_view fields) {
    return "placement p for system s {\nformat: 1;\n" + std::string(fields) + "\n}\n";
}

struct ErrorCase {
    std::string text;
    std::string error; ///< "line:column: message" after "p.cplace:"
};

void expectErrors(const std::vector<ErrorCase>& cases) {
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseError(c.text), "p.cplace:" + c.error);
    }
}

TEST(Parser, TopLevelErrors) {
    expectErrors({
        {"", "1:1: expected 'placement'"},
        {"  # only a comment\n", "2:1: expected 'placement'"},
        {"placement \"p\" for system s { format: 1; }", "1:11: expected placement name"},
        {"placement p four system s {}", "1:13: expected 'for'"},
        {"placement p for System s {}", "1:17: expected 'system'"},
        {"placement p for system {}", "1:24: expected system name"},
        {"placement p for system s format", "1:26: expected '{'"},
        {"placement p for system s {", "1:27: expected '}'"},
        {"placement p for system s { format: 1;", "1:38: expected '}'"},
        {"placement p for system s { }", "1:1: missing required format"},
        {"\n  placement p for system s { }", "2:3: missing required format"},
        {"placement p for system s { format: 1; } x", "1:41: unexpected content after placement"},
        {"placement p for system s { } }", "1:30: unexpected content after placement"},
        {"placement p for system s { 5 }", "1:28: expected placement field"},
        {"placement p for system s { size: 1; }", "1:28: unknown placement field 'size'"},
        {"placement p for system s { Format: 1; }", "1:28: unknown placement field 'Format'"},
        {body("format: 1;"), "3:1: duplicate format"},
        {"placement p for system s { format: 2; }", "1:28: unsupported placement format 2"},
        {"placement p for system s { format: 4294967296; }", "1:46: integer exceeds uint32"},
        {"placement p for system s { format: 4294967295; }",
         "1:28: unsupported placement format 4294967295"},
        {"placement p for system s { format: 2 }", "1:38: expected ';'"},
        {"placement p for system s { format 1; }", "1:35: expected ':'"},
        {"placement p for system s { format: x; }", "1:36: expected unsigned integer"},
        {body("policy: \"first_fit\";"), "3:9: expected value"},
        {body("policy: 2;"), "3:9: unknown policy '2'"},
        {body("policy: First_fit;"), "3:9: unknown policy 'First_fit'"},
        {body("policy: explicit;\npolicy: explicit;"), "4:1: duplicate policy"},
        {body("policy: explicit"), "4:1: expected ';'"},
        {body("determinism: loose;"), "3:14: unknown determinism 'loose'"},
        {body("determinism: strict; determinism: strict;"), "3:22: duplicate determinism"},
    });
}

TEST(Parser, DeviceBlockErrors) {
    expectErrors({
        {body("device gpu0 { }"), "3:1: device requires kind"},
        {body("device gpu0 { kind: cuda; kind: cpu; }"), "3:27: duplicate kind"},
        {body("device \"gpu0\" { kind: cpu; }"), "3:8: expected device name"},
        {body("device gpu0 kind: cpu;"), "3:13: expected '{'"},
        {body("device gpu0 { kind: tpu; }"), "3:21: unknown device kind 'tpu'"},
        {body("device gpu0 { kind: cpu }"), "3:25: expected ';'"},
        {body("device gpu0 { size 5; }"), "3:20: expected ':'"},
        {body("device gpu0 { size: 5; }"), "3:15: unknown device field 'size'"},
        {body("device gpu0 { 5: 5; }"), "3:15: expected device field"},
        {"placement p for system s { format: 1; device d { kind: cpu;", "1:60: expected device field"},
        {body("device g { kind: cuda; selector: { index: 1; } }"), "3:48: expected ';'"},
        {body("device g { kind: cuda; selector: { idx: 1; }; }"), "3:36: expected 'index'"},
        {body("device g { kind: cuda; selector: index: 1; }; }"), "3:34: expected '{'"},
        {body("device g { kind: cuda; selector: { index 1; }; }"), "3:42: expected ':'"},
        {body("device g { kind: cuda; selector: { index: 4294967296; }; }"),
         "3:53: integer exceeds uint32"},
        {body("device g { kind: cuda; selector: { index: 0 }; }"), "3:45: expected ';'"},
        {body("device g { kind: cuda; selector: { index: 0; ; }"), "3:46: expected '}'"},
        {body("device g { kind: cpu; reserve: 512; }"), "3:35: expected value"},
        {body("device g { kind: cpu; reserve: 512 mb; }"), "3:36: unknown byte unit 'mb'"},
        {body("device g { kind: cpu; }\ndevice g { kind: cuda; }"), "4:1: duplicate device 'g'"},
        // The second block is read whole before its name is compared.
        {body("device g { kind: cpu; }\ndevice g { kind: tpu; }"), "4:18: unknown device kind 'tpu'"},
    });
    EXPECT_EQ(parseError(body("device g { kind: cpu; }\ndevice G { kind: cpu; }")), "parsed");
}

TEST(Parser, DefaultsBlockErrors) {
    expectErrors({
        {body("defaults gpu { }"), "3:10: unknown engine class 'gpu'"},
        {body("defaults 2 { }"), "3:10: unknown engine class '2'"},
        {body("defaults sync residency: persistent; }"), "3:15: expected '{'"},
        {body("defaults sync { residency: always; }"), "3:28: unknown residency 'always'"},
        {body("defaults sync { priority: high; }"), "3:27: unknown priority 'high'"},
        {body("defaults sync { device: cpu0; }"), "3:17: unknown defaults field 'device'"},
        {body("defaults sync { residency persistent; }"), "3:27: expected ':'"},
        {body("defaults sync { residency: persistent }"), "3:39: expected ';'"},
        {"placement p for system s { format: 1; defaults sync {", "1:54: expected defaults field"},
    });
    for (const char* cls : {"sync", "dpsh", "transformer", "sensory", "controller"}) {
        EXPECT_EQ(parseError(body(std::string("defaults ") + cls + " { }")), "parsed") << cls;
    }
}

TEST(Parser, EngineBlockErrors) {
    expectErrors({
        {body("engine \"e\" { }"), "3:8: expected engine name"},
        {body("engine e device: d; }"), "3:10: expected '{'"},
        {body("engine e { device: \"gpu0\"; }"), "3:20: expected device reference"},
        {body("engine e { device: gpu0 }"), "3:25: expected ';'"},
        {body("engine e { residency: 3; }"), "3:23: unknown residency '3'"},
        {body("engine e { priority: urgent; }"), "3:22: unknown priority 'urgent'"},
        {body("engine e { gpu: 1; }"), "3:12: unknown engine field 'gpu'"},
        {body("engine e { gpu 1; }"), "3:16: expected ':'"},
        {body("engine e { model: { artifact: \"a\"; } }"), "3:17: expected '{'"},
        {body("engine e { model { artifact: \"a\"; } model { oops } }"),
         "3:37: duplicate model block"},
        {body("engine e { memory { } memory { } }"), "3:23: duplicate memory block"},
        {body("engine e { } engine e { }"), "3:14: duplicate engine 'e'"},
        {"placement p for system s { format: 1; engine e {", "1:49: expected engine field"},
        {"placement p for system s { format: 1; engine e { device: d;", "1:60: expected engine field"},
    });
}

TEST(Parser, ModelBlockErrors) {
    expectErrors({
        {body("engine e { model { } }"), "3:22: model requires artifact"},
        {body("engine e { model { artifact: \"\"; }\n}"), "4:1: model requires artifact"},
        {body("engine e { model { artifact: model-a; } }"), "3:30: expected quoted string"},
        {body("engine e { model { sharing_group: g; } }"), "3:35: expected quoted string"},
        {body("engine e { model { adapter: 1; } }"), "3:29: expected quoted string"},
        {body("engine e { model { weights: shared; } }"), "3:29: weights must be shared_read_only"},
        {body("engine e { model { weights: \"shared_read_only\"; } }"), "3:29: expected value"},
        {body("engine e { model { format: 1; } }"), "3:20: unknown model field 'format'"},
        {body("engine e { model { artifact \"a\"; } }"), "3:29: expected ':'"},
        {body("engine e { model { artifact: \"a\" } }"), "3:34: expected ';'"},
        {"placement p for system s { format: 1; engine e { model {", "1:57: expected model field"},
    });
}

TEST(Parser, MemoryBlockErrors) {
    expectErrors({
        {body("engine e { memory { swap: 1 B; } }"), "3:21: unknown memory field 'swap'"},
        {body("engine e { memory { weights 1 GiB; } }"), "3:29: expected ':'"},
        {body("engine e { memory { weights: big; } }"), "3:30: expected unsigned integer"},
        {body("engine e { memory { weights: 1; } }"), "3:31: expected value"},
        {body("engine e { memory { kv_cache_max: 1.5 GiB; } }"), "3:36: unknown byte unit '.5'"},
        {body("engine e { memory { workspace_max: 17179869184 GiB; } }"),
         "3:36: byte quantity overflow"},
        {body("engine e { memory { weights: auto } }"), "3:35: expected ';'"},
        {"placement p for system s { format: 1; engine e { memory {", "1:58: expected memory field"},
    });
}

TEST(Parser, SmallestDocument) {
    const PlacementSpec spec = parsePlacement("placement p for system s { format: 1; }", "p.cplace");
    EXPECT_EQ(spec.name, "p");
    EXPECT_EQ(spec.system, "s");
    EXPECT_EQ(spec.format, 1U);
    EXPECT_EQ(spec.policy, PlacementPolicy::validate_only);
    EXPECT_EQ(spec.determinism, Determinism::strict);
    EXPECT_TRUE(spec.devices.empty());
    EXPECT_TRUE(spec.defaults.empty());
    EXPECT_TRUE(spec.engines.empty());
    EXPECT_EQ(spec.location, (SourceLocation{"p.cplace", 1, 1}));
}

TEST(Parser, FullDocumentFieldByField) {
    const std::string text = R"(# a comment before the header
placement demo for system composite-three-engine {
  format: 1;
  policy: first_fit;
  determinism: portable;
  device gpu0 { kind: cuda; selector: { index: 0; }; reserve: 512 MiB; }
  device cpu0 { kind: cpu; reserve: 1 B; reserve: 2 B; selector: { index: 4; }; selector: { index: 0; }; }
  defaults transformer { residency: persistent; priority: interactive; }
  defaults transformer { priority: batch; priority: realtime; }
  engine intuition-transformer {
    device: gpu0;
    model { artifact: "model-a"; weights: shared_read_only; sharing_group: "g1"; adapter: ""; }
    memory { weights: auto; kv_cache_max: 2 GiB; weights: 1 GiB; workspace_max: 0 B; }
  }
  engine other { device: a; device: b; residency: on_demand; model { artifact: "x"; adapter: "p"; adapter: "q"; sharing_group: ""; } memory { weights: "auto"; } }
  engine empty { }
}
)";
    const PlacementSpec spec = parsePlacement(text, "demo.cplace");
    EXPECT_EQ(spec.name, "demo");
    EXPECT_EQ(spec.system, "composite-three-engine");
    EXPECT_EQ(spec.policy, PlacementPolicy::first_fit);
    EXPECT_EQ(spec.determinism, Determinism::portable);
    EXPECT_EQ(spec.location, (SourceLocation{"demo.cplace", 2, 1}));

    ASSERT_EQ(spec.devices.size(), 2U);
    const DeviceSpec& gpu = spec.devices[0];
    EXPECT_EQ(gpu.name, "gpu0");
    EXPECT_EQ(gpu.kind, DeviceKind::cuda);
    EXPECT_EQ(gpu.selector.index, 0U);
    EXPECT_EQ(gpu.reserve, 536870912U);
    EXPECT_EQ(gpu.location, (SourceLocation{"demo.cplace", 6, 3}));
    const DeviceSpec& cpu = spec.devices[1];
    EXPECT_EQ(cpu.kind, DeviceKind::cpu);
    EXPECT_EQ(cpu.reserve, 2U); // the last occurrence wins
    EXPECT_EQ(cpu.selector.index, 0U);

    ASSERT_EQ(spec.defaults.size(), 2U); // both kept; the lowering judges them
    EXPECT_EQ(spec.defaults[0].engine_class, EngineClass::transformer);
    EXPECT_EQ(spec.defaults[0].residency, Residency::persistent);
    EXPECT_EQ(spec.defaults[0].priority, Priority::interactive);
    EXPECT_EQ(spec.defaults[1].residency, std::nullopt);
    EXPECT_EQ(spec.defaults[1].priority, Priority::realtime);
    EXPECT_EQ(spec.defaults[1].location, (SourceLocation{"demo.cplace", 9, 3}));

    ASSERT_EQ(spec.engines.size(), 3U);
    const EnginePlacement& transformer = spec.engines[0];
    EXPECT_EQ(transformer.name, "intuition-transformer");
    EXPECT_EQ(transformer.device, "gpu0");
    EXPECT_EQ(transformer.residency, std::nullopt);
    EXPECT_EQ(transformer.priority, std::nullopt);
    EXPECT_EQ(transformer.location, (SourceLocation{"demo.cplace", 10, 3}));
    ASSERT_TRUE(transformer.model.has_value());
    EXPECT_EQ(transformer.model->artifact, "model-a");
    EXPECT_EQ(transformer.model->sharing_group, "g1");
    EXPECT_TRUE(transformer.model->weights_shared_read_only);
    EXPECT_EQ(transformer.model->adapter, std::optional<std::string>(""));
    ASSERT_TRUE(transformer.memory.has_value());
    EXPECT_TRUE(transformer.memory->weights_auto);
    EXPECT_EQ(transformer.memory->weights, 1073741824U);
    EXPECT_EQ(transformer.memory->kv_cache_max, 2147483648U);
    EXPECT_EQ(transformer.memory->workspace_max, 0U);

    const EnginePlacement& other = spec.engines[1];
    EXPECT_EQ(other.device, "b");
    EXPECT_EQ(other.residency, Residency::on_demand);
    ASSERT_TRUE(other.model.has_value());
    EXPECT_EQ(other.model->adapter, "q");
    EXPECT_EQ(other.model->sharing_group, "");
    EXPECT_FALSE(other.model->weights_shared_read_only);
    ASSERT_TRUE(other.memory.has_value());
    EXPECT_TRUE(other.memory->weights_auto);
    EXPECT_EQ(other.memory->weights, std::nullopt);

    const EnginePlacement& empty = spec.engines[2];
    EXPECT_EQ(empty.device, std::nullopt);
    EXPECT_FALSE(empty.model.has_value());
    EXPECT_FALSE(empty.memory.has_value());
}

// Names are kept in a table that grows; a repeat is found however far back
// its first use lies, and the first repeat in the text is the one reported.
TEST(Parser, DuplicateNamesAmongManyBlocks) {
    std::string blocks;
    for (int i = 0; i < 3000; ++i) {
        blocks += "device d" + std::to_string(i) + " { kind: cpu; }\n";
        blocks += "engine e" + std::to_string(i) + " { }\n";
    }
    EXPECT_EQ(parseError(body(blocks)), "parsed");
    EXPECT_EQ(parseError(body(blocks + "engine e0 { }\ndevice d1 { kind: cpu; }")),
              "p.cplace:6003:1: duplicate engine 'e0'");
    EXPECT_EQ(parseError(body(blocks + "device d2999 { kind: cpu; }\nengine e5 { }")),
              "p.cplace:6003:1: duplicate device 'd2999'");
    // A name that differs only in case, or is a prefix, is another name.
    EXPECT_EQ(parseError(body(blocks + "device D0 { kind: cpu; }\ndevice d { kind: cpu; }")),
              "parsed");
}

// "name: value;" fields are read without their tokens where they sit on one
// line; every other layout takes the token path. Both must read the same
// values and leave the parse at the same place, so the error that follows
// each field is pinned to its column.
TEST(Parser, SimpleFieldsReadAlikeInEveryLayout) {
    const std::vector<std::string> layouts = {
        "residency: persistent; priority: realtime; device: gpu-0.a;",
        "residency:persistent;priority:realtime;device:gpu-0.a;",
        "residency \t: \r persistent\t ;  priority : realtime ; device :gpu-0.a ;",
        "residency: # a comment\n persistent; priority:\nrealtime; device: gpu-0.a // note\n;",
        "residency\n: persistent; priority: realtime\n; device\n:\ngpu-0.a\n;",
    };
    for (const std::string& fields : layouts) {
        SCOPED_TRACE(fields);
        const PlacementSpec spec = parsePlacement(
            body("engine e { " + fields + " }\ndefaults sync { " + fields.substr(0, fields.find("device")) +
                 " }"),
            "p.cplace");
        ASSERT_EQ(spec.engines.size(), 1U);
        EXPECT_EQ(spec.engines[0].residency, Residency::persistent);
        EXPECT_EQ(spec.engines[0].priority, Priority::realtime);
        EXPECT_EQ(spec.engines[0].device, "gpu-0.a");
        ASSERT_EQ(spec.defaults.size(), 1U);
        EXPECT_EQ(spec.defaults[0].residency, Residency::persistent);
        EXPECT_EQ(spec.defaults[0].priority, Priority::realtime);
    }
    expectErrors({
        {body("engine e { residency: persistent; oops: 1; }"), "3:35: unknown engine field 'oops'"},
        {body("engine e { device: d;\n  residency: on_demand;  x }"),
         "4:28: expected ':'"},
        {body("engine e { residency: persistent7; }"), "3:23: unknown residency 'persistent7'"},
        {body("engine e { residency: persistent;; }"), "3:34: expected engine field"},
        {body("engine e { priority: realtime"), "4:1: expected ';'"},
        {body("defaults sync { priority: batch; residency: persistent ; x: y; }"),
         "3:58: unknown defaults field 'x'"},
        {"placement p for system s { format: 1; engine e { device: d;", "1:60: expected engine field"},
        {"placement p for system s { format: 1; engine e { device: d", "1:59: expected ';'"},
    });
}

TEST(Parser, CrlfLineEndsKeepLineNumbers) {
    EXPECT_EQ(parseError("placement p for system s {\r\nformat: 1;\r\npolicy: x;\r\n}\r\n"),
              "p.cplace:3:9: unknown policy 'x'");
    EXPECT_EQ(parseError("placement p for system s {\r\nformat: 1\r\n}"),
              "p.cplace:3:1: expected ';'");
}

TEST(Parser, ErrorMessageCarriesTheFileNameAsGiven) {
    try {
        (void)parsePlacement("placement p for system s {\nformat: 1;\n    x", "./plans/a.cplace");
        FAIL() << "expected a parse error";
    } catch (const ParseError& error) {
        EXPECT_STREQ(error.what(), "./plans/a.cplace:3:5: unknown placement field 'x'");
    }
}

} // namespace
} // namespace Core::Placement
