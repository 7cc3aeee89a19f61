// Graph validation: the predicates, and a table of small graphs that each
// break a few rules, with the exact issue list they must produce.
#include "orchestration/validation.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "orchestration/canonical_bytes.h"
#include "test_graphs.h"

namespace Core::Orchestration {
namespace {

using namespace Testing;

TEST(Predicates, IsValidIdentity) {
    struct Case {
        std::string text;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"a.b-c_d9", true},
        {"Z", true},
        {std::string(255, 'a'), true},
        {std::string(256, 'a'), false},
        {"", false},
        {"a b", false},
        {"a/b", false},
        {"a:b", false},
        {"caf\xc3\xa9", false},
        {std::string("a\0b", 3), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(isValidIdentity(c.text), c.valid);
    }
}

TEST(Predicates, IsKnownSchema) {
    struct Case {
        std::string text;
        bool known;
    };
    const std::vector<Case> cases = {
        {"Vector/1", true},
        {"Embedding/1", true},
        {"Vector/01", true},
        {"Vector/0000000000000000000001", true}, // leading zeros never overflow
        {"Vector/2", false},
        {"Vector/0", false},
        {"/1", false},
        {"Vector/", false},
        {"Vector/1a", false},
        {"Vector/+1", false},
        {"a/b/1", false},
        {"Vector", false},
        {"", false},
        {"Vector/4294967297", false}, // 1 modulo 2^32: must not wrap to 1
        {"Vector/4294967296", false},
        {std::string(253, 'V') + "/1", true},
        {std::string(254, 'V') + "/1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(isKnownSchema(c.text), c.known);
    }
}

TEST(Predicates, IsEmbeddingSchema) {
    EXPECT_TRUE(isEmbeddingSchema("Embedding/"));
    EXPECT_TRUE(isEmbeddingSchema("Embedding/1"));
    EXPECT_FALSE(isEmbeddingSchema("Embedding"));
    EXPECT_FALSE(isEmbeddingSchema("embedding/1"));
    EXPECT_FALSE(isEmbeddingSchema("Vector/1"));
}

TEST(Predicates, TensorBytes) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        std::vector<std::uint64_t> shape;
        std::uint8_t dtype;
        std::optional<std::uint64_t> bytes;
    };
    const std::vector<Case> cases = {
        {{2}, 6, 8},
        {{3, 5}, 3, 120},
        {{2}, 0, 2},
        {{7}, 7, 56},
        {{}, 6, std::nullopt},
        {{0}, 6, std::nullopt},
        {{4, 0, 4}, 6, std::nullopt},
        {{2}, 8, std::nullopt},
        {{2}, 255, std::nullopt},
        {{4294967296, 4294967296}, 6, std::nullopt},   // dimensions alone overflow
        {{4294967296, 4294967295}, 1, kMax - 4294967295}, // fits with width 1
        {{4294967296, 4294967295}, 4, std::nullopt},   // the width overflows
        {{kMax}, 0, kMax},
        {{kMax, 1}, 0, kMax},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.shape) + " dtype " + std::to_string(c.dtype));
        EXPECT_EQ(tensorBytes(c.shape, c.dtype), c.bytes);
    }
}

TEST(Predicates, IsCompleteEmbeddingSpace) {
    const PortSpec port = embeddingPort("e", PortDirection::input, sampleSpace());
    EXPECT_TRUE(isCompleteEmbeddingSpace(sampleSpace(), port));

    struct Case {
        const char* name;
        std::function<void(EmbeddingSpaceId&, PortSpec&)> change;
        bool complete;
    };
    const std::vector<Case> cases = {
        {"empty model", [](EmbeddingSpaceId& s, PortSpec&) { s.model.clear(); }, false},
        {"empty tokenizer", [](EmbeddingSpaceId& s, PortSpec&) { s.tokenizer.clear(); }, false},
        {"empty pooling", [](EmbeddingSpaceId& s, PortSpec&) { s.pooling.clear(); }, false},
        {"empty normalization", [](EmbeddingSpaceId& s, PortSpec&) { s.normalization.clear(); }, false},
        {"empty metric", [](EmbeddingSpaceId& s, PortSpec&) { s.metric.clear(); }, false},
        {"zero dimension", [](EmbeddingSpaceId& s, PortSpec& p) { s.dimension = 0; p.shape = {0}; }, false},
        {"last dimension differs", [](EmbeddingSpaceId&, PortSpec& p) { p.shape = {4, 3}; }, false},
        {"empty shape", [](EmbeddingSpaceId&, PortSpec& p) { p.shape.clear(); }, false},
        {"dtype differs", [](EmbeddingSpaceId&, PortSpec& p) { p.dtype = 2; }, false},
        {"stale digest", [](EmbeddingSpaceId& s, PortSpec&) { s.projection = "proj"; }, false},
        {"uppercase digest", [](EmbeddingSpaceId& s, PortSpec&) { s.digest = "7DB1778FACF6CB3F"; }, false},
        {"projection and lora with matching digest",
         [](EmbeddingSpaceId& s, PortSpec&) {
             s.projection = "proj";
             s.lora = "l";
             s.digest = embeddingSpaceDigest(s);
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EmbeddingSpaceId space = sampleSpace();
        PortSpec p = port;
        c.change(space, p);
        EXPECT_EQ(isCompleteEmbeddingSpace(space, p), c.complete);
    }
}

TEST(Predicates, PortsCompatibleIgnoresIdsDirectionsAndLocations) {
    PortSpec a = makePort("x", PortDirection::output);
    PortSpec b = makePort("y", PortDirection::input);
    b.location = at(9);
    EXPECT_TRUE(portsCompatible(a, b));

    struct Case {
        const char* name;
        std::function<void(PortSpec&)> change;
    };
    const std::vector<Case> cases = {
        {"schema", [](PortSpec& p) { p.schema = "Vector/01"; }},
        {"shape length", [](PortSpec& p) { p.shape = {2, 1}; }},
        {"shape value", [](PortSpec& p) { p.shape = {3}; }},
        {"dtype", [](PortSpec& p) { p.dtype = 2; }},
        {"clock", [](PortSpec& p) { p.clock = 2; }},
        {"one space present", [](PortSpec& p) { p.embedding_space = sampleSpace(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PortSpec changed = b;
        c.change(changed);
        EXPECT_FALSE(portsCompatible(a, changed));
    }

    PortSpec e1 = embeddingPort("e1", PortDirection::output, sampleSpace());
    PortSpec e2 = embeddingPort("e2", PortDirection::input, sampleSpace());
    EXPECT_TRUE(portsCompatible(e1, e2));
    e2.embedding_space->lora = "l"; // any of the ten fields counts
    EXPECT_FALSE(portsCompatible(e1, e2));
}

TEST(Validate, EmptySystemHasOnlyTheSystemIdIssue) {
    const std::vector<ValidationIssue> expected = {issue("system.id", "invalid or empty system identity")};
    EXPECT_EQ(validate(SystemSpec{}), expected);
}

// Messages, each written once here so the table stays readable.
const std::string kSystemId = "invalid or empty system identity";
const std::string kEngineId = "invalid or duplicate engine identity";
const std::string kApiVersion = "semantic API version must be explicit and positive";
const std::string kCapability = "invalid or duplicate required capability";
const std::string kPortId = "invalid or duplicate port identity";
const std::string kSchema = "unknown schema family/version (v4 alpha supports version 1)";
const std::string kShape = "empty, zero, unknown-dtype or overflowing tensor shape";
const std::string kNeedsSpace = "Embedding schema requires a complete, self-consistent EmbeddingSpaceId";
const std::string kNoSpace = "non-Embedding schema must not carry EmbeddingSpaceId";
const std::string kF1 = "declared fallback policy requires an engine";
const std::string kF2 = "declared fallback engine does not exist";
const std::string kF3 = "fallback engine is only valid with declared fallback policy";
const std::string kA1 = "invalid or duplicate adapter identity";
const std::string kA2 = "adapter endpoints must be input then output";
const std::string kA3 = "adapter uses unknown schema version";
const std::string kA4 = "adapter has invalid tensor shape/dtype";
const std::string kA5 = "Embedding port requires a complete, self-consistent EmbeddingSpaceId";
const std::string kA6 = "non-Embedding port must not carry EmbeddingSpaceId";
const std::string kA9 = "adapter config hash is required";
const std::string kA10 = "adapter latency cannot be negative";
const std::string kA11 = "unknown adapter variant";
const std::string kA12 = "LoRA/low-rank overlay cannot be registered as schema adapter";
const std::string kA13 = "parameterized adapter requires weight hash";
const std::string kA14 = "identity/cast/reshape must preserve schema and embedding space";
const std::string kC1 = "invalid or duplicate connection identity";
const std::string kC2 = "source engine/port does not exist";
const std::string kC3 = "destination engine/port does not exist";
const std::string kC4 = "source port is not an output";
const std::string kC5 = "destination port is not an input";
const std::string kC6 = "named adapter does not exist";
const std::string kC7 = "source schema/shape/dtype/clock mismatch without a compatible adapter input";
const std::string kC8 = "adapter output is incompatible with destination";
const std::string kC9 = "negative connection delay";
const std::string kC10 = "queue capacity must be explicit, finite and positive";
const std::string kC11 = "overflow policy must be explicit";
const std::string kC12 = "drop policy requires destination port realtime_lossy";
const std::string kCycle = "algebraic cycle without delay/state boundary: ";

// Locations of the base graph's elements.
constexpr std::uint32_t kEngineA = 1, kPortAIn = 2, kPortAOut = 3;
constexpr std::uint32_t kEngineB = 4;
constexpr std::uint32_t kAdapter = 7, kAdapterIn = 8, kAdapterOut = 9;
constexpr std::uint32_t kConnection = 10, kExtra = 20;
const std::string kC1Path = "connection.c1 (a.out -> b.in)";

/// Engines a and b, an unused identity adapter "ad", and c1 from a.out to b.in.
class ValidateTable : public ::testing::Test {
  protected:
    static SystemSpec base() {
        SystemSpec s;
        s.id = "sys";
        s.engines = {engine("a", kEngineA), engine("b", kEngineB)};
        s.adapters = {adapter("ad", kAdapter)};
        s.connections = {connect("c1", "a", "b", kConnection)};
        return s;
    }

    struct Case {
        const char* name;
        std::function<void(SystemSpec&)> change;
        std::vector<ValidationIssue> expected;
    };

    static void run(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            SystemSpec s = base();
            c.change(s);
            EXPECT_EQ(validate(s), c.expected);
        }
    }
};

TEST_F(ValidateTable, BaseGraphIsValid) {
    EXPECT_TRUE(validate(base()).empty());
}

TEST_F(ValidateTable, SystemAndEngines) {
    run({
        {"255-byte system id", [](SystemSpec& s) { s.id = std::string(255, 'q'); }, {}},
        {"256-byte system id", [](SystemSpec& s) { s.id = std::string(256, 'q'); },
         {issue("system.id", kSystemId)}},
        {"empty engine id keeps the bare path",
         [](SystemSpec& s) { s.engines[0].id.clear(); },
         {issue("engine.", kEngineId, kEngineA), issue(kC1Path, kC2, kConnection)}},
        {"duplicate engine: only the second",
         [](SystemSpec& s) { s.engines[1].id = "a"; },
         {issue("engine.a", kEngineId, kEngineB), issue(kC1Path, kC3, kConnection)}},
        {"same invalid id twice: each once",
         [](SystemSpec& s) {
             s.engines[0].id = "x y";
             s.engines[1].id = "x y";
         },
         {issue("engine.x y", kEngineId, kEngineA), issue("engine.x y", kEngineId, kEngineB),
          issue(kC1Path, kC2, kConnection), issue(kC1Path, kC3, kConnection)}},
        {"invalid id and version 0 give two issues",
         [](SystemSpec& s) {
             s.engines[1].id = "b/2";
             s.engines[1].semantic_api_version = 0;
         },
         {issue("engine.b/2", kEngineId, kEngineB), issue("engine.b/2", kApiVersion, kEngineB),
          issue(kC1Path, kC3, kConnection)}},
        {"capabilities: one issue per bad or repeated entry",
         [](SystemSpec& s) { s.engines[0].required_capabilities = {"gpu", "gpu", "bad cap", "ok", "gpu"}; },
         {issue("engine.a", kCapability, kEngineA), issue("engine.a", kCapability, kEngineA),
          issue("engine.a", kCapability, kEngineA)}},
        {"same capability on two engines is fine",
         [](SystemSpec& s) {
             s.engines[0].required_capabilities = {"gpu"};
             s.engines[1].required_capabilities = {"gpu"};
         },
         {}},
    });
}

TEST_F(ValidateTable, Ports) {
    const std::string aIn = "engine.a.port.in";
    run({
        {"duplicate port id; connections resolve the first",
         [](SystemSpec& s) { s.engines[0].ports[1].id = "in"; },
         {issue(aIn, kPortId, kPortAOut), issue("connection.c1 (a.out -> b.in)", kC2, kConnection)}},
        {"connection reaches the first of two same-named ports",
         [](SystemSpec& s) { s.engines[0].ports[0].id = "out"; },
         {issue("engine.a.port.out", kPortId, kPortAOut), issue(kC1Path, kC4, kConnection)}},
        {"same port id on two engines is fine", [](SystemSpec& s) { s.engines[1].ports[0].id = "x"; },
         {issue(kC1Path, kC3, kConnection)}},
        {"invalid port id", [](SystemSpec& s) { s.engines[0].ports[0].id = "i n"; },
         {issue("engine.a.port.i n", kPortId, kPortAIn)}},
        {"Vector/01 is known", [](SystemSpec& s) { s.engines[0].ports[0].schema = "Vector/01"; }, {}},
        {"Vector/4294967297", [](SystemSpec& s) { s.engines[0].ports[0].schema = "Vector/4294967297"; },
         {issue(aIn, kSchema, kPortAIn)}},
        {"shape [0]", [](SystemSpec& s) { s.engines[0].ports[0].shape = {0}; },
         {issue(aIn, kShape, kPortAIn)}},
        {"empty shape", [](SystemSpec& s) { s.engines[0].ports[0].shape.clear(); },
         {issue(aIn, kShape, kPortAIn)}},
        {"dtype 8", [](SystemSpec& s) { s.engines[0].ports[0].dtype = 8; },
         {issue(aIn, kShape, kPortAIn)}},
        {"overflowing shape",
         [](SystemSpec& s) { s.engines[0].ports[0].shape = {4294967296, 4294967296}; },
         {issue(aIn, kShape, kPortAIn)}},
        {"Embedding/1 without space", [](SystemSpec& s) { s.engines[0].ports[0].schema = "Embedding/1"; },
         {issue(aIn, kNeedsSpace, kPortAIn)}},
        {"Embedding/1 with a complete space",
         [](SystemSpec& s) {
             s.engines[0].ports[0] = embeddingPort("in", PortDirection::input, sampleSpace());
         },
         {}},
        {"Embedding/1 with a space of another dimension",
         [](SystemSpec& s) {
             s.engines[0].ports[0] = embeddingPort("in", PortDirection::input, sampleSpace());
             s.engines[0].ports[0].shape = {4, 5};
             s.engines[0].ports[0].location = at(kPortAIn);
         },
         {issue(aIn, kNeedsSpace, kPortAIn)}},
        {"Vector/1 with a space", [](SystemSpec& s) { s.engines[0].ports[0].embedding_space = sampleSpace(); },
         {issue(aIn, kNoSpace, kPortAIn)}},
        {"Vector/2 with a space",
         [](SystemSpec& s) {
             s.engines[0].ports[0].schema = "Vector/2";
             s.engines[0].ports[0].embedding_space = sampleSpace();
         },
         {issue(aIn, kSchema, kPortAIn), issue(aIn, kNoSpace, kPortAIn)}},
        {"every port rule at once",
         [](SystemSpec& s) {
             PortSpec& p = s.engines[0].ports[0];
             p.id = "";
             p.schema = "Embedding/x";
             p.shape = {};
         },
         {issue("engine.a.port.", kPortId, kPortAIn), issue("engine.a.port.", kSchema, kPortAIn),
          issue("engine.a.port.", kShape, kPortAIn), issue("engine.a.port.", kNeedsSpace, kPortAIn)}},
    });
}

TEST(EmbeddingDigest, ZeroPaddedDigestDoesNotMatch) {
    // This space hashes below 2^60, so its digest has only 15 digits.
    EmbeddingSpaceId space = sampleSpace();
    space.model = "m28";
    space.digest = "0fae273ab2869219";
    SystemSpec s;
    s.id = "sys";
    s.engines = {engine("a", kEngineA)};
    s.engines[0].ports[0] = embeddingPort("in", PortDirection::input, space);
    s.engines[0].ports[0].location = at(kPortAIn);
    const std::vector<ValidationIssue> expected = {issue("engine.a.port.in", kNeedsSpace, kPortAIn)};
    EXPECT_EQ(validate(s), expected);

    s.engines[0].ports[0].embedding_space->digest = "fae273ab2869219";
    EXPECT_TRUE(validate(s).empty());
}

TEST_F(ValidateTable, FailurePolicy) {
    run({
        {"declared fallback to an engine", [](SystemSpec& s) {
             s.failure_policy = 2;
             s.fallback_engine = "b";
         },
         {}},
        {"F1 no fallback engine", [](SystemSpec& s) { s.failure_policy = 2; }, {issue("system.failure", kF1)}},
        {"F2 unknown fallback engine",
         [](SystemSpec& s) {
             s.failure_policy = 2;
             s.fallback_engine = "zz";
         },
         {issue("system.failure", kF2)}},
        {"F2 even when an engine carries the invalid id",
         [](SystemSpec& s) {
             s.engines[1].id = "b b";
             s.failure_policy = 2;
             s.fallback_engine = "b b";
         },
         {issue("engine.b b", kEngineId, kEngineB), issue("system.failure", kF2),
          issue(kC1Path, kC3, kConnection)}},
        {"F3 fallback without the policy", [](SystemSpec& s) { s.fallback_engine = "a"; },
         {issue("system.failure", kF3)}},
        {"F3 with another policy code",
         [](SystemSpec& s) {
             s.failure_policy = 3;
             s.fallback_engine = "a";
         },
         {issue("system.failure", kF3)}},
        {"other policy codes alone are fine", [](SystemSpec& s) { s.failure_policy = 7; }, {}},
    });
}

TEST_F(ValidateTable, Adapters) {
    const std::string ad = "adapter.ad";
    run({
        {"A1 invalid id", [](SystemSpec& s) { s.adapters[0].id = "a d"; }, {issue("adapter.a d", kA1, kAdapter)}},
        {"A1 duplicate: only the second",
         [](SystemSpec& s) { s.adapters.push_back(adapter("ad", kExtra)); },
         {issue(ad, kA1, kExtra)}},
        {"A2 input endpoint is an output",
         [](SystemSpec& s) { s.adapters[0].input.direction = PortDirection::output; },
         {issue(ad, kA2, kAdapter)}},
        {"A2 output endpoint is an input",
         [](SystemSpec& s) { s.adapters[0].output.direction = PortDirection::input; },
         {issue(ad, kA2, kAdapter)}},
        {"A3 once for both endpoints",
         [](SystemSpec& s) {
             s.adapters[0].input.schema = "Vector/2";
             s.adapters[0].output.schema = "Vector/2";
         },
         {issue(ad, kA3, kAdapter)}},
        {"A4 once for both endpoints",
         [](SystemSpec& s) {
             s.adapters[0].input.shape.clear();
             s.adapters[0].output.shape = {0};
         },
         {issue(ad, kA4, kAdapter)}},
        {"A6 then A5, each at its endpoint",
         [](SystemSpec& s) {
             AdapterSpec& a = s.adapters[0];
             a.kind = 3;
             a.weight_hash = "w";
             a.input.embedding_space = sampleSpace();
             a.output.schema = "Embedding/1";
         },
         {issue(ad, kA6, kAdapterIn), issue(ad, kA5, kAdapterOut)}},
        {"A5 for an incomplete space",
         [](SystemSpec& s) {
             AdapterSpec& a = s.adapters[0];
             EmbeddingSpaceId stale = sampleSpace();
             stale.metric = "l2";
             a.input = embeddingPort("in", PortDirection::input, stale);
             a.output = embeddingPort("out", PortDirection::output, stale);
             a.output.location = at(kAdapterOut);
         },
         {issue(ad, kA5, 0), issue(ad, kA5, kAdapterOut)}},
        {"A7 and the scalar rules in order",
         [](SystemSpec& s) {
             AdapterSpec& a = s.adapters[0];
             a.semantic_api_version = 0;
             a.required_capabilities = {"x", "x"};
             a.config_hash.clear();
             a.latency = -1;
             a.variant = 7;
             a.low_rank_overlay = true;
         },
         {issue(ad, kApiVersion, kAdapter), issue(ad, kCapability, kAdapter), issue(ad, kA9, kAdapter),
          issue(ad, kA10, kAdapter), issue(ad, kA11, kAdapter), issue(ad, kA12, kAdapter)}},
        {"variant 6 is known", [](SystemSpec& s) { s.adapters[0].variant = 6; }, {}},
        {"A13 for kinds 3 and 5",
         [](SystemSpec& s) {
             s.adapters[0].kind = 3;
             s.adapters.push_back(adapter("ad5", kExtra));
             s.adapters[1].kind = 5;
         },
         {issue(ad, kA13, kAdapter), issue("adapter.ad5", kA13, kExtra)}},
        {"kind 6 breaks no rule", [](SystemSpec& s) { s.adapters[0].kind = 6; }, {}},
        {"a cast may change the dtype and a reshape the shape",
         [](SystemSpec& s) {
             s.adapters[0].kind = 1;
             s.adapters[0].output.dtype = 2;
             s.adapters.push_back(adapter("rs", kExtra));
             s.adapters[1].kind = 2;
             s.adapters[1].output.shape = {1, 2};
         },
         {}},
        {"A14 reshape changing the schema",
         [](SystemSpec& s) {
             s.adapters[0].kind = 2;
             s.adapters[0].output.schema = "Other/1";
         },
         {issue(ad, kA14, kAdapter)}},
        {"A14 identity between two embedding spaces",
         [](SystemSpec& s) {
             EmbeddingSpaceId other = sampleSpace();
             other.model = "m2";
             other.digest = embeddingSpaceDigest(other);
             s.adapters[0].input = embeddingPort("in", PortDirection::input, sampleSpace());
             s.adapters[0].output = embeddingPort("out", PortDirection::output, other);
         },
         {issue(ad, kA14, kAdapter)}},
        {"a parameterized kind may change the schema",
         [](SystemSpec& s) {
             s.adapters[0].kind = 4;
             s.adapters[0].weight_hash = "w";
             s.adapters[0].output.schema = "Other/1";
         },
         {}},
    });
}

TEST_F(ValidateTable, Connections) {
    run({
        {"C1 invalid id", [](SystemSpec& s) { s.connections[0].id = "c 1"; },
         {issue("connection.c 1 (a.out -> b.in)", kC1, kConnection)}},
        {"C1 duplicate: only the second",
         [](SystemSpec& s) { s.connections.push_back(connect("c1", "a", "b", kExtra)); },
         {issue(kC1Path, kC1, kExtra)}},
        {"C2 unknown engine, and no C7",
         [](SystemSpec& s) {
             s.connections[0].source_engine = "zz";
             s.engines[1].ports[0].dtype = 2;
         },
         {issue("connection.c1 (zz.out -> b.in)", kC2, kConnection)}},
        {"C3 unknown port", [](SystemSpec& s) { s.connections[0].destination_port = "nope"; },
         {issue("connection.c1 (a.out -> b.nope)", kC3, kConnection)}},
        {"C4 and C5 for a reversed connection",
         [](SystemSpec& s) {
             s.connections[0].source_port = "in";
             s.connections[0].destination_port = "out";
         },
         {issue("connection.c1 (a.in -> b.out)", kC4, kConnection),
          issue("connection.c1 (a.in -> b.out)", kC5, kConnection)}},
        {"C6 then a direct comparison with the destination",
         [](SystemSpec& s) {
             s.connections[0].adapter = "nope";
             s.engines[1].ports[0].dtype = 2;
         },
         {issue(kC1Path, kC6, kConnection), issue(kC1Path, kC7, kConnection)}},
        {"C6 alone when the ports match", [](SystemSpec& s) { s.connections[0].adapter = "nope"; },
         {issue(kC1Path, kC6, kConnection)}},
        {"C6 for an adapter whose id is invalid",
         [](SystemSpec& s) {
             s.adapters[0].id = "a d";
             s.connections[0].adapter = "a d";
         },
         {issue("adapter.a d", kA1, kAdapter), issue(kC1Path, kC6, kConnection)}},
        {"C7 clock mismatch", [](SystemSpec& s) { s.engines[1].ports[0].clock = 2; },
         {issue(kC1Path, kC7, kConnection)}},
        {"named adapter that fits", [](SystemSpec& s) { s.connections[0].adapter = "ad"; }, {}},
        {"a cast adapter bridges a dtype change",
         [](SystemSpec& s) {
             s.adapters[0].kind = 1;
             s.adapters[0].output.dtype = 2;
             s.engines[1].ports[0].dtype = 2;
             s.connections[0].adapter = "ad";
         },
         {}},
        {"C7 against the adapter input",
         [](SystemSpec& s) {
             s.adapters[0].kind = 1;
             s.adapters[0].input.dtype = 2;
             s.connections[0].adapter = "ad";
         },
         {issue(kC1Path, kC7, kConnection)}},
        {"C8 adapter output against the destination",
         [](SystemSpec& s) {
             s.adapters[0].kind = 1;
             s.adapters[0].output.dtype = 2;
             s.connections[0].adapter = "ad";
         },
         {issue(kC1Path, kC8, kConnection)}},
        {"C9, C10 and C11 in order",
         [](SystemSpec& s) {
             s.connections[0].delay = -1;
             s.connections[0].queue_capacity.reset();
             s.connections[0].overflow_policy.reset();
         },
         {issue(kC1Path, kC9, kConnection), issue(kC1Path, kC10, kConnection),
          issue(kC1Path, kC11, kConnection)}},
        {"C10 zero capacity", [](SystemSpec& s) { s.connections[0].queue_capacity = 0; },
         {issue(kC1Path, kC10, kConnection)}},
        {"C12 drop policy 2 without lossy destination",
         [](SystemSpec& s) { s.connections[0].overflow_policy = 2; },
         {issue(kC1Path, kC12, kConnection)}},
        {"drop policy 3 with lossy destination",
         [](SystemSpec& s) {
             s.connections[0].overflow_policy = 3;
             s.connections[0].destination_realtime_lossy = 1;
         },
         {}},
        {"policy 4 is not a drop policy", [](SystemSpec& s) { s.connections[0].overflow_policy = 4; }, {}},
        {"every stage in its order",
         [](SystemSpec& s) {
             s.id.clear();
             s.engines[1].semantic_api_version = 0;
             s.fallback_engine = "a";
             s.adapters[0].config_hash.clear();
             s.connections[0].delay = -1;
             s.connections.push_back(connect("c0", "b", "a", kExtra));
         },
         {issue("system.id", kSystemId), issue("engine.b", kApiVersion, kEngineB),
          issue("system.failure", kF3), issue("adapter.ad", kA9, kAdapter), issue(kC1Path, kC9, kConnection),
          issue("connection.c0", kCycle + "a -> b -> a", kExtra)}},
    });
}

} // namespace
} // namespace Core::Orchestration
