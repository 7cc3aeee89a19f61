// Graph validation: every rule, in a fixed order, one issue per failed rule.
// Lookup tables hold views into the SystemSpec, so the walk copies no records.
#include "orchestration/validation.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "common/byte_order.h"
#include "common/checked_math.h"
#include "common/identifier.h"
#include "orchestration/canonical_bytes.h"
#include "orchestration/cycle_check.h"

namespace Core::Orchestration {

bool isValidIdentity(std::string_view text) {
    if (text.empty() || text.size() > 255) {
        return false;
    }
    return std::ranges::all_of(text, isIdentifierByte);
}

bool isKnownSchema(std::string_view text) {
    if (text.empty() || text.size() > 255) {
        return false;
    }
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos || slash == 0 || slash + 1 == text.size()) {
        return false;
    }
    // Digits only, and a version that fits in 32 bits: "Vector/0001" is version 1.
    const std::string_view digits = text.substr(slash + 1);
    if (!std::ranges::all_of(digits, isDigitByte)) {
        return false;
    }
    std::uint32_t version = 0;
    const char* const last = digits.data() + digits.size();
    const auto [end, error] = std::from_chars(digits.data(), last, version);
    return error == std::errc{} && end == last && version == 1;
}

bool isEmbeddingSchema(std::string_view text) {
    return text.substr(0, 10) == "Embedding/";
}

std::optional<std::uint64_t> tensorBytes(const std::vector<std::uint64_t>& shape, std::uint8_t dtype) {
    if (shape.empty()) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> product = 1;
    for (const std::uint64_t dimension : shape) {
        if (dimension == 0) {
            return std::nullopt;
        }
        product = checkedMul(product, dimension);
    }
    const std::uint64_t width = dtypeWidth(dtype);
    if (width == 0) {
        return std::nullopt;
    }
    return checkedMul(product, width);
}

bool isCompleteEmbeddingSpace(const EmbeddingSpaceId& space, const PortSpec& port) {
    return !space.model.empty() && !space.tokenizer.empty() && !space.pooling.empty() &&
           !space.normalization.empty() && !space.metric.empty() && space.dimension != 0 &&
           !port.shape.empty() && port.shape.back() == space.dimension && space.dtype == port.dtype &&
           space.digest == embeddingSpaceDigest(space);
}

bool portsCompatible(const PortSpec& a, const PortSpec& b) {
    return a.schema == b.schema && a.shape == b.shape && a.dtype == b.dtype && a.clock == b.clock &&
           a.embedding_space == b.embedding_space;
}

namespace {

using IdSet = std::set<std::string_view, ByteLess>;
/// Port id to the first port with that id on one engine.
using PortIndex = std::map<std::string_view, const PortSpec*, ByteLess>;

/// Adds a valid, new id to the set; false when the identity rule fails.
bool admitIdentity(IdSet& seen, std::string_view id) {
    return isValidIdentity(id) && seen.insert(id).second;
}

class Validator {
  public:
    explicit Validator(const SystemSpec& spec) : spec_(spec) {}

    std::vector<ValidationIssue> run() {
        if (!isValidIdentity(spec_.id)) {
            addSystem("system.id", "invalid or empty system identity");
        }
        for (const EngineSpec& engine : spec_.engines) {
            checkEngine(engine);
        }
        checkFailurePolicy();
        for (const AdapterSpec& adapter : spec_.adapters) {
            checkAdapter(adapter);
        }
        for (const ConnectionSpec& connection : spec_.connections) {
            checkConnection(connection);
        }
        std::vector<std::string_view> roots;
        roots.reserve(engines_.size());
        for (const auto& entry : engines_) {
            roots.push_back(entry.first);
        }
        appendAlgebraicCycleIssues(cycle_graph_, roots, issues_);
        return std::move(issues_);
    }

  private:
    void add(std::string path, std::string_view message, const SourceLocation& location) {
        issues_.push_back(ValidationIssue{std::move(path), std::string(message), location});
    }
    void addSystem(std::string path, std::string_view message) {
        issues_.push_back(ValidationIssue{std::move(path), std::string(message), SourceLocation{}});
    }

    /// One issue per capability that is invalid or repeats an earlier one.
    void checkCapabilities(const std::vector<std::string>& capabilities, const std::string& path,
                           const SourceLocation& location) {
        IdSet seen;
        for (const std::string& capability : capabilities) {
            if (!admitIdentity(seen, capability)) {
                add(path, "invalid or duplicate required capability", location);
            }
        }
    }

    void checkEngine(const EngineSpec& engine) {
        const std::string path = "engine." + engine.id;
        const auto [entry, admitted] =
            isValidIdentity(engine.id) ? engines_.try_emplace(engine.id)
                                       : std::pair{engines_.end(), false};
        if (!admitted) {
            add(path, "invalid or duplicate engine identity", engine.location);
        }
        if (engine.semantic_api_version == 0) {
            add(path, "semantic API version must be explicit and positive", engine.location);
        }
        checkCapabilities(engine.required_capabilities, path, engine.location);

        // Every port enters under its first occurrence, whatever its id, so
        // the same table answers both the duplicate rule and the connections.
        PortIndex ports;
        for (const PortSpec& port : engine.ports) {
            const std::string port_path = path + ".port." + port.id;
            const bool first = ports.try_emplace(port.id, &port).second;
            if (!isValidIdentity(port.id) || !first) {
                add(port_path, "invalid or duplicate port identity", port.location);
            }
            if (!isKnownSchema(port.schema)) {
                add(port_path, "unknown schema family/version (v4 alpha supports version 1)",
                    port.location);
            }
            if (!tensorBytes(port.shape, port.dtype)) {
                add(port_path, "empty, zero, unknown-dtype or overflowing tensor shape", port.location);
            }
            if (isEmbeddingSchema(port.schema)) {
                if (!hasCompleteSpace(port)) {
                    add(port_path, "Embedding schema requires a complete, self-consistent EmbeddingSpaceId",
                        port.location);
                }
            } else if (port.embedding_space) {
                add(port_path, "non-Embedding schema must not carry EmbeddingSpaceId", port.location);
            }
        }
        if (admitted) {
            entry->second = std::move(ports);
        }
    }

    static bool hasCompleteSpace(const PortSpec& port) {
        return port.embedding_space && isCompleteEmbeddingSpace(*port.embedding_space, port);
    }

    void checkFailurePolicy() {
        constexpr std::uint8_t kDeclaredFallback = 2;
        if (spec_.failure_policy == kDeclaredFallback) {
            if (!spec_.fallback_engine) {
                addSystem("system.failure", "declared fallback policy requires an engine");
            } else if (!engines_.contains(*spec_.fallback_engine)) {
                addSystem("system.failure", "declared fallback engine does not exist");
            }
        } else if (spec_.fallback_engine) {
            addSystem("system.failure", "fallback engine is only valid with declared fallback policy");
        }
    }

    void checkAdapter(const AdapterSpec& adapter) {
        const std::string path = "adapter." + adapter.id;
        const SourceLocation& where = adapter.location;
        if (!isValidIdentity(adapter.id) || !adapters_.try_emplace(adapter.id, &adapter).second) {
            add(path, "invalid or duplicate adapter identity", where);
        }
        if (adapter.input.direction != PortDirection::input ||
            adapter.output.direction != PortDirection::output) {
            add(path, "adapter endpoints must be input then output", where);
        }
        if (!isKnownSchema(adapter.input.schema) || !isKnownSchema(adapter.output.schema)) {
            add(path, "adapter uses unknown schema version", where);
        }
        if (!tensorBytes(adapter.input.shape, adapter.input.dtype) ||
            !tensorBytes(adapter.output.shape, adapter.output.dtype)) {
            add(path, "adapter has invalid tensor shape/dtype", where);
        }
        for (const PortSpec* endpoint : {&adapter.input, &adapter.output}) {
            if (isEmbeddingSchema(endpoint->schema)) {
                if (!hasCompleteSpace(*endpoint)) {
                    add(path, "Embedding port requires a complete, self-consistent EmbeddingSpaceId",
                        endpoint->location);
                }
            } else if (endpoint->embedding_space) {
                add(path, "non-Embedding port must not carry EmbeddingSpaceId", endpoint->location);
            }
        }
        if (adapter.semantic_api_version == 0) {
            add(path, "semantic API version must be explicit and positive", where);
        }
        checkCapabilities(adapter.required_capabilities, path, where);
        if (adapter.config_hash.empty()) {
            add(path, "adapter config hash is required", where);
        }
        if (adapter.latency < 0) {
            add(path, "adapter latency cannot be negative", where);
        }
        if (adapter.variant > 6) {
            add(path, "unknown adapter variant", where);
        }
        if (adapter.low_rank_overlay) {
            add(path, "LoRA/low-rank overlay cannot be registered as schema adapter", where);
        }
        const bool parameterized = adapter.kind >= 3 && adapter.kind <= 5;
        if (parameterized && adapter.weight_hash.empty()) {
            add(path, "parameterized adapter requires weight hash", where);
        }
        // Shape, dtype and clock may change: a cast changes the dtype, a reshape the shape.
        const bool preserving = adapter.kind <= 2;
        if (preserving && (adapter.input.schema != adapter.output.schema ||
                           adapter.input.embedding_space != adapter.output.embedding_space)) {
            add(path, "identity/cast/reshape must preserve schema and embedding space", where);
        }
    }

    /// The first port with this id on the engine found by id, if any.
    const PortSpec* findPort(std::string_view engine, std::string_view port) const {
        const auto found_engine = engines_.find(engine);
        if (found_engine == engines_.end()) {
            return nullptr;
        }
        const PortIndex& ports = found_engine->second;
        const auto found = ports.find(port);
        return found == ports.end() ? nullptr : found->second;
    }

    void checkConnection(const ConnectionSpec& connection) {
        const std::string path = "connection." + connection.id + " (" + connection.source_engine + "." +
                                 connection.source_port + " -> " + connection.destination_engine + "." +
                                 connection.destination_port + ")";
        const SourceLocation& where = connection.location;
        const PortSpec* source = findPort(connection.source_engine, connection.source_port);
        const PortSpec* destination = findPort(connection.destination_engine, connection.destination_port);

        if (!admitIdentity(connection_ids_, connection.id)) {
            add(path, "invalid or duplicate connection identity", where);
        }
        if (source == nullptr) {
            add(path, "source engine/port does not exist", where);
        }
        if (destination == nullptr) {
            add(path, "destination engine/port does not exist", where);
        }
        if (source != nullptr && source->direction != PortDirection::output) {
            add(path, "source port is not an output", where);
        }
        if (destination != nullptr && destination->direction != PortDirection::input) {
            add(path, "destination port is not an input", where);
        }
        const AdapterSpec* adapter = nullptr;
        if (connection.adapter) {
            const auto found = adapters_.find(*connection.adapter);
            if (found == adapters_.end()) {
                add(path, "named adapter does not exist", where);
            } else {
                adapter = found->second;
            }
        }
        if (source != nullptr && destination != nullptr) {
            const PortSpec& target = adapter != nullptr ? adapter->input : *destination;
            if (!portsCompatible(*source, target)) {
                add(path, "source schema/shape/dtype/clock mismatch without a compatible adapter input", where);
            }
            if (adapter != nullptr && !portsCompatible(adapter->output, *destination)) {
                add(path, "adapter output is incompatible with destination", where);
            }
        }
        if (connection.delay < 0) {
            add(path, "negative connection delay", where);
        }
        if (!connection.queue_capacity || *connection.queue_capacity == 0) {
            add(path, "queue capacity must be explicit, finite and positive", where);
        }
        if (!connection.overflow_policy) {
            add(path, "overflow policy must be explicit", where);
        } else if ((*connection.overflow_policy == 2 || *connection.overflow_policy == 3) &&
                   connection.destination_realtime_lossy == 0) {
            add(path, "drop policy requires destination port realtime_lossy", where);
        }

        // Every connection, valid or not, takes part in the cycle search.
        const bool boundary =
            connection.delay >= 1 || (adapter != nullptr && (adapter->stateful || adapter->latency >= 1));
        cycle_graph_[connection.source_engine].push_back(
            CycleEdge{connection.destination_engine, connection.id, boundary, &connection.location});
    }

    const SystemSpec& spec_;
    std::vector<ValidationIssue> issues_;
    std::map<std::string_view, PortIndex, ByteLess> engines_; ///< engines by id, first occurrence
    std::map<std::string_view, const AdapterSpec*, ByteLess> adapters_; ///< first occurrence
    IdSet connection_ids_;
    CycleGraph cycle_graph_;
};

} // namespace

std::vector<ValidationIssue> validate(const SystemSpec& spec) {
    return Validator(spec).run();
}

} // namespace Core::Orchestration
