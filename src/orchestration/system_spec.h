// The orchestration graph of a composite system: engines, typed ports,
// schema adapters, connections and the failure policy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/engine_class.h"
#include "common/source_location.h"

namespace Core::Orchestration {

enum class PortDirection : std::uint8_t { input = 0, output = 1 };

/// Element width in bytes of a dtype code; 0 for an unknown code.
[[nodiscard]] constexpr std::uint64_t dtypeWidth(std::uint8_t dtype) {
    constexpr std::uint64_t kWidths[] = {1, 1, 4, 8, 2, 2, 4, 8};
    return dtype < 8 ? kWidths[dtype] : 0;
}

struct EmbeddingSpaceId {
    std::string model;
    std::string tokenizer;
    std::string pooling;
    std::string normalization;
    std::string metric;
    std::uint64_t dimension = 0;
    std::uint8_t dtype = 0;
    std::string projection;
    std::string lora;
    std::string digest;

    friend bool operator==(const EmbeddingSpaceId&, const EmbeddingSpaceId&) = default;
};

struct PortSpec {
    std::string id;
    PortDirection direction = PortDirection::input;
    std::string schema;
    std::vector<std::uint64_t> shape;
    std::uint8_t dtype = 0;
    std::uint8_t clock = 0;
    SourceLocation location;
    std::optional<EmbeddingSpaceId> embedding_space;
};

struct EngineSpec {
    std::string id;
    EngineClassCode engine_class = EngineClassCode::sync;
    std::string profile;
    std::vector<PortSpec> ports;
    SourceLocation location;
    std::uint32_t semantic_api_version = 0;
    std::vector<std::string> required_capabilities;
};

struct AdapterSpec {
    std::string id;
    std::uint8_t kind = 0; ///< 0 identity, 1 cast, 2 reshape, 3-5 parameterized
    PortSpec input;
    PortSpec output;
    std::string config_hash;
    bool stateful = false;
    SourceLocation location;
    std::uint32_t semantic_api_version = 0;
    std::vector<std::string> required_capabilities;
    std::uint8_t variant = 0;
    std::int64_t latency = 0;
    std::string weight_hash;
    std::string aux_text;
    bool low_rank_overlay = false;
};

struct ConnectionSpec {
    std::string id;
    std::string source_engine;
    std::string source_port;
    std::string destination_engine;
    std::string destination_port;
    std::optional<std::string> adapter;
    std::int64_t delay = 0;
    std::optional<std::uint64_t> queue_capacity;
    std::optional<std::uint8_t> overflow_policy; ///< 2 and 3 are drop policies
    SourceLocation location;
    std::uint8_t destination_realtime_lossy = 0;
    std::uint8_t aux_code_1 = 0;
    std::uint8_t aux_code_2 = 0;
};

struct SystemSpec {
    std::string id;
    std::vector<EngineSpec> engines;
    std::vector<AdapterSpec> adapters;
    std::vector<ConnectionSpec> connections;
    std::uint8_t aux_code_1 = 0;
    std::uint8_t failure_policy = 0; ///< 2 = declared fallback
    std::optional<std::string> fallback_engine;
    std::uint8_t aux_code_2 = 0;
};

struct ValidationIssue {
    std::string path;
    std::string message;
    SourceLocation location;

    friend bool operator==(const ValidationIssue&, const ValidationIssue&) = default;
};

} // namespace Core::Orchestration
