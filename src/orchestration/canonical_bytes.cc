// The canonical orchestration bytes, the system hash and the embedding-space
// digest. One encoder writes the bytes either into a buffer or straight into
// the hash, so the hashed form can never drift from the materialised one.
#include "orchestration/canonical_bytes.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "common/stable_hash.h"

namespace Core::Orchestration {
namespace {

constexpr std::string_view kMagic = "TALVEX-ORCHESTRATION-IR";
constexpr std::uint8_t kFormatVersion = 3;

struct ByteVectorSink {
    std::vector<std::uint8_t>& bytes;
    void add(std::uint8_t byte) { bytes.push_back(byte); }
};

/// Writes the canonical form to any sink with add(uint8_t). With blank_locations
/// every location is written as an empty one, which equals encoding a copy
/// whose locations were cleared.
template <typename Sink> class Encoder {
  public:
    Encoder(Sink& sink, bool blank_locations) : sink_(sink), blank_locations_(blank_locations) {}

    void system(const SystemSpec& spec) {
        for (const char c : kMagic) {
            u8(static_cast<std::uint8_t>(c));
        }
        u8(kFormatVersion);

        text(spec.id);
        u8(spec.aux_code_1);
        u8(spec.failure_policy);
        optionalText(spec.fallback_engine);
        u8(spec.aux_code_2);

        const auto engines = sortedById(spec.engines);
        count(engines.size());
        for (const EngineSpec* e : engines) {
            engine(*e);
        }
        const auto adapters = sortedById(spec.adapters);
        count(adapters.size());
        for (const AdapterSpec* a : adapters) {
            adapter(*a);
        }
        const auto connections = sortedById(spec.connections);
        count(connections.size());
        for (const ConnectionSpec* c : connections) {
            connection(*c);
        }
    }

  private:
    // Sorting pointers keeps the records where they are. The sort is stable
    // so that even duplicate ids (an invalid graph) encode deterministically.
    template <typename Record>
    static std::vector<const Record*> sortedById(const std::vector<Record>& records) {
        std::vector<const Record*> sorted;
        sorted.reserve(records.size());
        for (const Record& r : records) {
            sorted.push_back(&r);
        }
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const Record* a, const Record* b) { return a->id < b->id; });
        return sorted;
    }

    void engine(const EngineSpec& e) {
        text(e.id);
        u8(static_cast<std::uint8_t>(e.engine_class));
        text(e.profile);
        location(e.location);
        u32(e.semantic_api_version);
        capabilities(e.required_capabilities);
        const auto ports = sortedById(e.ports);
        count(ports.size());
        for (const PortSpec* p : ports) {
            port(*p);
        }
    }

    void adapter(const AdapterSpec& a) {
        text(a.id);
        u8(a.kind);
        port(a.input);
        port(a.output);
        text(a.config_hash);
        u8(a.stateful ? 1 : 0);
        location(a.location);
        u32(a.semantic_api_version);
        capabilities(a.required_capabilities);
        u8(a.variant);
        i64(a.latency);
        text(a.weight_hash);
        text(a.aux_text);
        u8(a.low_rank_overlay ? 1 : 0);
    }

    void connection(const ConnectionSpec& c) {
        text(c.id);
        text(c.source_engine);
        text(c.source_port);
        text(c.destination_engine);
        text(c.destination_port);
        optionalText(c.adapter);
        i64(c.delay);
        u8(c.queue_capacity ? 1 : 0);
        if (c.queue_capacity) {
            u64(*c.queue_capacity);
        }
        u8(c.overflow_policy ? 1 : 0);
        if (c.overflow_policy) {
            u8(*c.overflow_policy);
        }
        u8(c.destination_realtime_lossy);
        u8(c.aux_code_1);
        u8(c.aux_code_2);
        location(c.location);
    }

    void port(const PortSpec& p) {
        text(p.id);
        u8(static_cast<std::uint8_t>(p.direction));
        text(p.schema);
        count(p.shape.size());
        for (const std::uint64_t dimension : p.shape) {
            u64(dimension);
        }
        u8(p.dtype);
        u8(p.clock);
        location(p.location);
        u8(p.embedding_space ? 1 : 0);
        if (p.embedding_space) {
            const EmbeddingSpaceId& s = *p.embedding_space;
            text(s.model);
            text(s.tokenizer);
            text(s.pooling);
            text(s.normalization);
            text(s.metric);
            u64(s.dimension);
            u8(s.dtype);
            text(s.projection);
            text(s.lora);
            text(s.digest); // as stored: a wrong digest must show in the hash
        }
    }

    void capabilities(const std::vector<std::string>& list) {
        std::vector<std::string_view> sorted(list.begin(), list.end());
        std::sort(sorted.begin(), sorted.end());
        count(sorted.size());
        for (const std::string_view capability : sorted) {
            text(capability);
        }
    }

    void location(const SourceLocation& where) {
        if (blank_locations_) {
            text({});
            u32(0);
            u32(0);
            return;
        }
        text(where.file.str());
        u32(where.line);
        u32(where.column);
    }

    void optionalText(const std::optional<std::string>& value) {
        u8(value ? 1 : 0);
        if (value) {
            text(*value);
        }
    }

    void text(std::string_view bytes) {
        count(bytes.size());
        for (const char c : bytes) {
            u8(static_cast<std::uint8_t>(c));
        }
    }

    // Lengths and counts are u32 in this form; no graph comes near 4 GiB.
    void count(std::size_t n) { u32(static_cast<std::uint32_t>(n)); }

    void u8(std::uint8_t value) { sink_.add(value); }
    void u32(std::uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8) {
            u8(static_cast<std::uint8_t>(value >> shift));
        }
    }
    void u64(std::uint64_t value) {
        for (int shift = 0; shift < 64; shift += 8) {
            u8(static_cast<std::uint8_t>(value >> shift));
        }
    }
    void i64(std::int64_t value) { u64(static_cast<std::uint64_t>(value)); }

    Sink& sink_;
    bool blank_locations_;
};

} // namespace

std::vector<std::uint8_t> canonicalOrchestrationBytes(const SystemSpec& spec) {
    std::vector<std::uint8_t> bytes;
    ByteVectorSink sink{bytes};
    Encoder<ByteVectorSink>(sink, false).system(spec);
    return bytes;
}

std::uint64_t systemHash(const SystemSpec& spec) {
    StableHash hash;
    Encoder<StableHash>(hash, true).system(spec);
    return hash.value();
}

std::string embeddingSpaceText(const EmbeddingSpaceId& space) {
    std::string text = "embedding-space-v1;model=";
    text += space.model;
    text += ";tokenizer=";
    text += space.tokenizer;
    text += ";pooling=";
    text += space.pooling;
    text += ";normalization=";
    text += space.normalization;
    text += ";metric=";
    text += space.metric;
    text += ";dimension=";
    text += std::to_string(space.dimension);
    text += ";dtype=";
    text += std::to_string(static_cast<unsigned>(space.dtype));
    text += ";projection=";
    text += space.projection;
    text += ";lora=";
    text += space.lora;
    return text;
}

std::string embeddingSpaceDigest(const EmbeddingSpaceId& space) {
    // Unpadded on purpose: unlike the IR identities, a small hash gives fewer
    // than 16 digits.
    char digits[16];
    const auto result =
        std::to_chars(digits, digits + sizeof digits, StableHash::of(embeddingSpaceText(space)), 16);
    return std::string(digits, result.ptr);
}

} // namespace Core::Orchestration
