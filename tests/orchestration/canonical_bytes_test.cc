// Canonical orchestration bytes, system hash and embedding-space digest.
#include "orchestration/canonical_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "common/stable_hash.h"
#include "test_graphs.h"

namespace Core::Orchestration {
namespace {

using namespace Testing;
using Bytes = std::vector<std::uint8_t>;

/// Builds expected byte sequences by hand, independently of the encoder.
struct Expect {
    Bytes bytes;
    Expect& u8(std::uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    Expect& u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            u8(static_cast<std::uint8_t>(v >> (8 * i)));
        }
        return *this;
    }
    Expect& u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) {
            u8(static_cast<std::uint8_t>(v >> (8 * i)));
        }
        return *this;
    }
    Expect& raw(std::string_view s) {
        for (const char c : s) {
            u8(static_cast<std::uint8_t>(c));
        }
        return *this;
    }
    Expect& str(std::string_view s) { return u32(static_cast<std::uint32_t>(s.size())).raw(s); }
    Expect& loc(const SourceLocation& l) { return str(l.file.str()).u32(l.line).u32(l.column); }
    Expect& magic() { return raw("TALVEX-ORCHESTRATION-IR").u8(3); }
};

std::uint64_t hashOf(const Bytes& bytes) {
    StableHash hash;
    for (const std::uint8_t b : bytes) {
        hash.add(b);
    }
    return hash.value();
}

TEST(CanonicalBytes, ExampleSystem) {
    const SystemSpec system = buildExampleSystem();
    const Bytes bytes = canonicalOrchestrationBytes(system);
    EXPECT_EQ(bytes.size(), 560U);

    const Bytes prefix = Expect{}
                             .magic()
                             .str("composite-three-engine")
                             .u8(0)
                             .u8(0)
                             .u8(0)
                             .u8(0)
                             .u32(3)
                             .str("intuition-transformer")
                             .u8(2)
                             .str("transformer-v1")
                             .bytes;
    ASSERT_GE(bytes.size(), prefix.size());
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(prefix.size())), prefix);

    EXPECT_EQ(systemHash(system), 10080049706816702516ULL);
    EXPECT_EQ(systemHash(system), 0x8be387cd4d170834ULL);
    // Its locations are already empty, so blanking changes nothing.
    EXPECT_EQ(hashOf(bytes), systemHash(system));

    // NOLINTNEXTLINE(performance-unnecessary-copy-initialization): the copy is what is hashed
    const SystemSpec copy = system;
    EXPECT_EQ(systemHash(copy), systemHash(system));
}

TEST(CanonicalBytes, EmptySystem) {
    const Bytes expected = Expect{}.magic().u32(0).u8(0).u8(0).u8(0).u8(0).u32(0).u32(0).u32(0).bytes;
    ASSERT_EQ(expected.size(), 44U);
    EXPECT_EQ(canonicalOrchestrationBytes(SystemSpec{}), expected);
    EXPECT_EQ(systemHash(SystemSpec{}), hashOf(expected));
}

/// One element of each kind, with every optional present, so that each
/// field's place in the form is pinned.
TEST(CanonicalBytes, EveryFieldInItsPlace) {
    SystemSpec s;
    s.id = "s";
    s.aux_code_1 = 7;
    s.failure_policy = 2;
    s.fallback_engine = "e";
    s.aux_code_2 = 9;

    EngineSpec e;
    e.id = "e";
    e.engine_class = EngineClassCode::dpsh;
    e.profile = "pr";
    e.location = SourceLocation{"f", 2, 3};
    e.semantic_api_version = 0x01020304;
    e.required_capabilities = {"zz", "Za", "z"};
    PortSpec port = embeddingPort("p", PortDirection::output, sampleSpace());
    port.clock = 5;
    port.location = SourceLocation{"g", 4, 5};
    e.ports = {port};
    s.engines = {e};

    AdapterSpec a;
    a.id = "ad";
    a.kind = 4;
    a.input = makePort("i", PortDirection::input);
    a.output = makePort("o", PortDirection::output);
    a.config_hash = "cf";
    a.stateful = true;
    a.location = SourceLocation{"h", 6, 7};
    a.semantic_api_version = 1;
    a.required_capabilities = {"cap"};
    a.variant = 6;
    a.latency = -2;
    a.weight_hash = "wh";
    a.aux_text = "ax";
    a.low_rank_overlay = true;
    s.adapters = {a};

    ConnectionSpec c;
    c.id = "c";
    c.source_engine = "se";
    c.source_port = "sp";
    c.destination_engine = "de";
    c.destination_port = "dp";
    c.adapter = "ad";
    c.delay = 3;
    c.queue_capacity = 0x1122334455667788ULL;
    c.overflow_policy = 2;
    c.location = SourceLocation{"k", 8, 9};
    c.destination_realtime_lossy = 1;
    c.aux_code_1 = 4;
    c.aux_code_2 = 5;
    s.connections = {c};

    const auto plainPort = [](Expect& x, const char* id, std::uint8_t direction) {
        x.str(id).u8(direction).str("Vector/1").u32(1).u64(2).u8(6).u8(1).loc({}).u8(0);
    };
    Expect x;
    x.magic().str("s").u8(7).u8(2).u8(1).str("e").u8(9);
    x.u32(1).str("e").u8(1).str("pr").loc({"f", 2, 3}).u32(0x01020304);
    x.u32(3).str("Za").str("z").str("zz");
    x.u32(1).str("p").u8(1).str("Embedding/1").u32(2).u64(3).u64(4).u8(6).u8(5).loc({"g", 4, 5});
    x.u8(1).str("m").str("t").str("p").str("n").str("c").u64(4).u8(6).str("").str("").str("7db1778facf6cb3f");
    x.u32(1).str("ad").u8(4);
    plainPort(x, "i", 0);
    plainPort(x, "o", 1);
    x.str("cf").u8(1).loc({"h", 6, 7}).u32(1).u32(1).str("cap").u8(6).u64(0xfffffffffffffffeULL);
    x.str("wh").str("ax").u8(1);
    x.u32(1).str("c").str("se").str("sp").str("de").str("dp").u8(1).str("ad").u64(3);
    x.u8(1).u64(0x1122334455667788ULL).u8(1).u8(2).u8(1).u8(4).u8(5).loc({"k", 8, 9});
    EXPECT_EQ(canonicalOrchestrationBytes(s), x.bytes);

    // Absent optionals are a single 0 byte.
    c.adapter.reset();
    c.queue_capacity.reset();
    c.overflow_policy.reset();
    s.connections = {c};
    Bytes tail = Expect{}.u8(0).u64(3).u8(0).u8(0).u8(1).u8(4).u8(5).loc({"k", 8, 9}).bytes;
    const Bytes bytes = canonicalOrchestrationBytes(s);
    ASSERT_GE(bytes.size(), tail.size());
    EXPECT_TRUE(std::equal(tail.rbegin(), tail.rend(), bytes.rbegin()));
}

/// Three engines with capabilities, an adapter and two connections, each
/// element at its own location.
SystemSpec richSystem() {
    SystemSpec s;
    s.id = "rich";
    s.engines = {engine("b", 1), engine("a", 4), engine("c", 7)};
    s.engines[0].required_capabilities = {"gpu", "avx", "Avx"};
    s.engines[1].ports.push_back(makePort("aux", PortDirection::output));
    s.adapters = {adapter("z", 10), adapter("y", 13)};
    s.connections = {connect("k2", "b", "c", 16), connect("k1", "a", "b", 17), connect("k10", "c", "a", 18)};
    s.connections[0].adapter = "y";
    return s;
}

TEST(CanonicalBytes, DeclarationOrderDoesNotMatter) {
    const SystemSpec base = richSystem();
    const Bytes expected = canonicalOrchestrationBytes(base);
    const std::vector<std::pair<const char*, std::function<void(SystemSpec&)>>> reorders = {
        {"engines", [](SystemSpec& s) { std::reverse(s.engines.begin(), s.engines.end()); }},
        {"ports", [](SystemSpec& s) { std::reverse(s.engines[1].ports.begin(), s.engines[1].ports.end()); }},
        {"capabilities",
         [](SystemSpec& s) {
             auto& caps = s.engines[0].required_capabilities;
             std::rotate(caps.begin(), caps.begin() + 1, caps.end());
         }},
        {"adapters", [](SystemSpec& s) { std::reverse(s.adapters.begin(), s.adapters.end()); }},
        {"connections", [](SystemSpec& s) { std::reverse(s.connections.begin(), s.connections.end()); }},
    };
    for (const auto& [name, reorder] : reorders) {
        SCOPED_TRACE(name);
        SystemSpec s = base;
        reorder(s);
        EXPECT_EQ(canonicalOrchestrationBytes(s), expected);
        EXPECT_EQ(systemHash(s), systemHash(base));
    }
}

TEST(CanonicalBytes, SortsByBytesNotByCase) {
    // "B" (0x42) sorts before "a" (0x61), and a prefix before its extensions.
    SystemSpec s;
    s.engines = {engine("ab"), engine("a"), engine("B")};
    const Bytes bytes = canonicalOrchestrationBytes(s);
    const std::string text(bytes.begin(), bytes.end());
    const std::size_t upper = text.find(std::string("\x01\0\0\0B", 5));
    const std::size_t a = text.find(std::string("\x01\0\0\0a", 5));
    const std::size_t ab = text.find(std::string("\x02\0\0\0ab", 6));
    ASSERT_NE(upper, std::string::npos);
    ASSERT_NE(a, std::string::npos);
    ASSERT_NE(ab, std::string::npos);
    EXPECT_LT(upper, a);
    EXPECT_LT(a, ab);
}

TEST(SystemHash, IgnoresEveryLocation) {
    const SystemSpec base = richSystem();
    SystemSpec moved = base;
    const SourceLocation elsewhere{"other.txt", 99, 42};
    for (EngineSpec& e : moved.engines) {
        e.location = elsewhere;
        for (PortSpec& p : e.ports) {
            p.location = elsewhere;
        }
    }
    for (AdapterSpec& a : moved.adapters) {
        a.location = elsewhere;
        a.input.location = elsewhere;
        a.output.location = elsewhere;
    }
    for (ConnectionSpec& c : moved.connections) {
        c.location = elsewhere;
    }
    EXPECT_NE(canonicalOrchestrationBytes(moved), canonicalOrchestrationBytes(base));
    EXPECT_EQ(systemHash(moved), systemHash(base));

    // The hash is that of the bytes of a copy whose locations were cleared.
    SystemSpec blank = moved;
    for (EngineSpec& e : blank.engines) {
        e.location = {};
        for (PortSpec& p : e.ports) {
            p.location = {};
        }
    }
    for (AdapterSpec& a : blank.adapters) {
        a.location = {};
        a.input.location = {};
        a.output.location = {};
    }
    for (ConnectionSpec& c : blank.connections) {
        c.location = {};
    }
    EXPECT_EQ(systemHash(moved), hashOf(canonicalOrchestrationBytes(blank)));
}

TEST(SystemHash, ContentChangesIt) {
    const SystemSpec base = buildExampleSystem();
    const std::vector<std::pair<const char*, std::function<void(SystemSpec&)>>> changes = {
        {"profile", [](SystemSpec& s) { s.engines[0].profile = "sync-reference-v2"; }},
        {"clock", [](SystemSpec& s) { s.engines[2].ports[1].clock = 2; }},
        {"aux_code_1", [](SystemSpec& s) { s.aux_code_1 = 1; }},
        {"aux_code_2", [](SystemSpec& s) { s.aux_code_2 = 1; }},
        {"fallback engine", [](SystemSpec& s) { s.fallback_engine = "temporal-dpsh"; }},
        {"engine class", [](SystemSpec& s) { s.engines[1].engine_class = EngineClassCode::sync; }},
    };
    for (const auto& [name, change] : changes) {
        SCOPED_TRACE(name);
        SystemSpec s = base;
        change(s);
        EXPECT_NE(systemHash(s), systemHash(base));
    }
}

TEST(EmbeddingSpace, DescriptorAndDigest) {
    EmbeddingSpaceId space = sampleSpace();
    space.digest = "ignored by the descriptor";
    EXPECT_EQ(embeddingSpaceText(space),
              "embedding-space-v1;model=m;tokenizer=t;pooling=p;normalization=n;metric=c;dimension=4;"
              "dtype=6;projection=;lora=");
    EXPECT_EQ(embeddingSpaceDigest(space), "7db1778facf6cb3f");

    space.projection = "a;b=c";
    space.lora = "r";
    space.dimension = 18446744073709551615ULL;
    space.dtype = 255;
    EXPECT_EQ(embeddingSpaceText(space),
              "embedding-space-v1;model=m;tokenizer=t;pooling=p;normalization=n;metric=c;"
              "dimension=18446744073709551615;dtype=255;projection=a;b=c;lora=r");
}

TEST(EmbeddingSpace, DigestHasNoLeadingZeros) {
    EmbeddingSpaceId space = sampleSpace();
    space.model = "m28"; // hashes below 2^60
    EXPECT_EQ(StableHash::of(embeddingSpaceText(space)), 0x0fae273ab2869219ULL);
    EXPECT_EQ(embeddingSpaceDigest(space), "fae273ab2869219");
}

} // namespace
} // namespace Core::Orchestration
