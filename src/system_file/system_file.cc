// Reading a system file with toml++, whose source regions give every key and
// value its line and column. Each table of the file maps onto one record;
// every key is checked against the record's fields, so a typo is an error at
// its position and never silently ignored.
#include "system_file/system_file.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <span>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "system_file/toml.h"

#include "common/near_words.h"
#include "files/regular_file.h"
#include "orchestration/canonical_bytes.h"
#include "orchestration/validation.h"
#include "system_file/model_config.h"
#include "system_file/safetensors.h"
#include "system_file/toml_chunks.h"

namespace Core::SystemFile {
namespace {

using Estimation::AdapterProfile;
using Estimation::DpshProfile;
using Estimation::OrchestrationPoolProfile;
using Estimation::SyncProfile;
using Estimation::TransformerProfile;
using Estimation::WorkloadProfile;
using Orchestration::AdapterSpec;
using Orchestration::ConnectionSpec;
using Orchestration::EmbeddingSpaceId;
using Orchestration::EngineSpec;
using Orchestration::PortDirection;
using Orchestration::PortSpec;

/// The largest system file read: far beyond any real system, and well below
/// what a 32-bit line count or the reader's memory could not hold.
constexpr std::uintmax_t kMaxSystemFileBytes = 1ULL << 30;
constexpr std::uintmax_t kMaxModelConfigBytes = 64ULL << 20;

/// A code's name in the file and its stored value.
struct CodeName {
    std::string_view name;
    std::uint8_t code;
};

constexpr CodeName kClasses[] = {{"sync", 0}, {"dpsh", 1}, {"transformer", 2}};
constexpr CodeName kDirections[] = {{"input", 0}, {"output", 1}};
constexpr CodeName kDtypes[] = {{"u8", 0},  {"i8", 1},   {"i32", 2}, {"i64", 3},
                                {"f16", 4}, {"bf16", 5}, {"f32", 6}, {"f64", 7}};
constexpr CodeName kAdapterKinds[] = {{"identity", 0}, {"cast", 1}, {"reshape", 2}};
constexpr CodeName kFailurePolicies[] = {{"declared_fallback", 2}};

// The keys of each table, in the order the README documents them.
constexpr std::string_view kSystemKeys[] = {"id",         "failure_policy", "fallback_engine",
                                            "aux_code_1", "aux_code_2",     "engines",
                                            "adapters",   "connections"};
constexpr std::string_view kEngineKeys[] = {"id",
                                            "class",
                                            "profile",
                                            "semantic_api_version",
                                            "required_capabilities",
                                            "ports",
                                            "workload"};
constexpr std::string_view kPortKeys[] = {"id",    "direction", "schema",         "shape",
                                          "dtype", "clock",     "embedding_space"};
constexpr std::string_view kSpaceKeys[] = {"model",     "tokenizer", "pooling", "normalization",
                                           "metric",    "dimension", "dtype",   "projection",
                                           "lora",      "digest"};
constexpr std::string_view kAdapterKeys[] = {
    "id",       "kind",    "input",       "output",      "config_hash",
    "stateful", "semantic_api_version",   "required_capabilities",
    "variant",  "latency", "weight_hash", "aux_text",    "low_rank_overlay"};
constexpr std::string_view kConnectionKeys[] = {
    "id",    "from",           "to",          "source_engine",
    "source_port",             "destination_engine",
    "destination_port",        "adapter",     "delay",
    "queue_capacity",          "overflow_policy",
    "destination_realtime_lossy", "aux_code_1", "aux_code_2"};
constexpr std::string_view kWorkloadKeys[] = {"sessions",    "concurrency", "training",
                                              "transformer", "sync",        "dpsh",
                                              "adapter",     "orchestration_pool"};
constexpr std::string_view kProfileKinds[] = {"transformer", "sync", "dpsh", "adapter",
                                              "orchestration_pool"};
constexpr std::string_view kTransformerKeys[] = {
    "config",     "checkpoint",  "vocabSize",   "layers",  "modelDim",       "ffnDim",
    "queryHeads", "kvHeads",     "headDim", "contextLength",  "weightBytes",
    "kvBytes",    "tiedEmbeddings",         "training",       "adapterParameters"};
constexpr std::string_view kSyncKeys[] = {"neurons", "weightEntries"};
constexpr std::string_view kDpshKeys[] = {"neurons", "weightEntries", "workspaceEntries"};
constexpr std::string_view kAdapterProfileKeys[] = {"parameters", "parameterWidth",
                                                    "activationBytes"};
constexpr std::string_view kPoolKeys[] = {"baseBytes", "slots"};

constexpr std::uint64_t kMaxU8 = std::numeric_limits<std::uint8_t>::max();
constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kMaxWhole = std::numeric_limits<std::int64_t>::max();

std::string_view typeName(toml::node_type type) {
    switch (type) {
    case toml::node_type::table:
        return "a table";
    case toml::node_type::array:
        return "an array";
    case toml::node_type::string:
        return "a string";
    case toml::node_type::integer:
        return "an integer";
    case toml::node_type::floating_point:
        return "a floating-point number";
    case toml::node_type::boolean:
        return "a boolean";
    case toml::node_type::date:
        return "a date";
    case toml::node_type::time:
        return "a time";
    case toml::node_type::date_time:
        return "a date-time";
    case toml::node_type::none:
        break;
    }
    return "nothing";
}

std::vector<std::string_view> codeNames(std::span<const CodeName> names) {
    std::vector<std::string_view> words;
    for (const CodeName& entry : names) {
        words.push_back(entry.name);
    }
    return words;
}

/// Reads one document into `out`. Each reading problem becomes a finding.
class Reader {
  public:
    Reader(const std::string& fileName, const ConfigReader& readConfig,
           const CheckpointReader& readCheckpoint, LoadedSystem& out)
        : file_(fileName), folder_(std::filesystem::path(fileName).parent_path()),
          readConfig_(readConfig), readCheckpoint_(readCheckpoint), out_(out) {}

    /// The file's own keys, and any elements written inline beside them.
    void readRoot(const toml::table& root) {
        checkKeys(root, kSystemKeys, "the system");
        Orchestration::SystemSpec& system = out_.system;
        out_.id_location = at(root);
        if (const toml::node* id = root.get("id")) {
            out_.id_location = at(*id);
        }
        system.id = text(root, "id").value_or("");
        system.aux_code_1 = code(root, "aux_code_1", {}).value_or(0);
        system.aux_code_2 = code(root, "aux_code_2", {}).value_or(0);
        system.failure_policy = code(root, "failure_policy", kFailurePolicies).value_or(0);
        system.fallback_engine = text(root, "fallback_engine");
        // The fallback engine when there is one: every failure rule but the
        // missing engine is about it.
        out_.failure_location = at(root);
        for (const std::string_view key : {"failure_policy", "fallback_engine"}) {
            if (const toml::node* node = root.get(key)) {
                out_.failure_location = at(*node);
            }
        }
        readElements(root);
    }

    /// The engines, adapters and connections of a document, each in order.
    void readElements(const toml::table& document) {
        eachTable(document, "engines", "an engine",
                  [this](const toml::table& table) { readEngine(table); });
        eachTable(document, "adapters", "an adapter",
                  [this](const toml::table& table) { readAdapter(table); });
        eachTable(document, "connections", "a connection",
                  [this](const toml::table& table) { readConnection(table); });
    }

    /// Positions in a piece of the file count its lines from its own start.
    void setLineOffset(std::uint32_t offset) { lineOffset_ = offset; }

    /// What needs every engine: the "engine.port" endpoints, split by the
    /// engines that exist, wherever the file lists its connections.
    void finish() {
        for (const EngineSpec& engine : out_.system.engines) {
            engineIds_.insert(engine.id);
        }
        for (const PendingEndpoint& pending : endpoints_) {
            if (auto parts = splitEndpoint(pending)) {
                ConnectionSpec& connection = out_.system.connections[pending.connection];
                (pending.source ? connection.source_engine : connection.destination_engine) =
                    std::move(parts->first);
                (pending.source ? connection.source_port : connection.destination_port) =
                    std::move(parts->second);
            }
        }
    }

  private:
    // --- positions and findings ---

    [[nodiscard]] SourceLocation at(const toml::source_position& position) const {
        return {file_, position.line + lineOffset_, position.column};
    }
    [[nodiscard]] SourceLocation at(const toml::node& node) const {
        return at(node.source().begin);
    }

    void error(SourceLocation location, std::string message, std::vector<std::string> notes = {}) {
        out_.findings.push_back(
            {FindingKind::error, std::move(message), {}, std::move(location), std::move(notes)});
    }

    void expected(const toml::node& node, std::string_view key, std::string_view what) {
        error(at(node), "expected " + std::string(what) + " for '" + std::string(key) +
                            "', found " + std::string(typeName(node.type())));
    }

    /// Every key of `table` must be one of `known`.
    void checkKeys(const toml::table& table, std::span<const std::string_view> known,
                   std::string_view owner) {
        for (const auto& [key, value] : table) {
            const std::string_view name = key.str();
            if (std::find(known.begin(), known.end(), name) != known.end()) {
                continue;
            }
            std::vector<std::string> notes;
            if (std::optional<std::string> note = nameNote(name, known, "the keys here are ")) {
                notes.push_back(std::move(*note));
            }
            error(at(key.source().begin),
                  "unknown key '" + std::string(name) + "' in " + std::string(owner),
                  std::move(notes));
        }
    }

    // --- values ---

    std::optional<std::string> text(const toml::table& table, std::string_view key) {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            return std::nullopt;
        }
        if (const auto* value = node->as_string()) {
            return value->get();
        }
        expected(*node, key, "a string");
        return std::nullopt;
    }

    std::optional<bool> flag(const toml::table& table, std::string_view key) {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            return std::nullopt;
        }
        if (const auto* value = node->as_boolean()) {
            return value->get();
        }
        expected(*node, key, "true or false");
        return std::nullopt;
    }

    /// A whole number from 0 to `max`.
    std::optional<std::uint64_t> whole(const toml::node& node, std::string_view key,
                                       std::uint64_t max) {
        const auto* value = node.as_integer();
        if (value == nullptr) {
            expected(node, key, "a whole number");
            return std::nullopt;
        }
        const std::int64_t number = value->get();
        if (number < 0 || static_cast<std::uint64_t>(number) > max) {
            error(at(node), "'" + std::string(key) + "' must be from 0 to " + std::to_string(max) +
                                ", not " + std::to_string(number));
            return std::nullopt;
        }
        return static_cast<std::uint64_t>(number);
    }

    std::optional<std::uint64_t> whole(const toml::table& table, std::string_view key,
                                       std::uint64_t max = kMaxWhole) {
        const toml::node* node = table.get(key);
        return node == nullptr ? std::nullopt : whole(*node, key, max);
    }

    std::optional<std::uint32_t> whole32(const toml::table& table, std::string_view key) {
        const std::optional<std::uint64_t> value = whole(table, key, kMaxU32);
        return value ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*value))
                     : std::nullopt;
    }

    /// Any integer: delays and latencies, whose sign validation judges.
    std::optional<std::int64_t> integer(const toml::table& table, std::string_view key) {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            return std::nullopt;
        }
        if (const auto* value = node->as_integer()) {
            return value->get();
        }
        expected(*node, key, "a whole number");
        return std::nullopt;
    }

    /// A one-byte code: one of `names`, or its number.
    std::optional<std::uint8_t> code(const toml::table& table, std::string_view key,
                                     std::span<const CodeName> names) {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            return std::nullopt;
        }
        if (const auto* value = node->as_string()) {
            const std::string& name = value->get();
            for (const CodeName& entry : names) {
                if (entry.name == name) {
                    return entry.code;
                }
            }
            const std::vector<std::string_view> words = codeNames(names);
            std::vector<std::string> notes;
            if (std::optional<std::string> note =
                    nameNote(name, words, "the names are ")) {
                notes.push_back(std::move(*note));
            }
            notes.push_back("a number from 0 to 255 may be written instead");
            error(at(*node), "unknown " + std::string(key) + " '" + name + "'", std::move(notes));
            return std::nullopt;
        }
        if (node->is_integer()) {
            const std::optional<std::uint64_t> number = whole(*node, key, kMaxU8);
            return number ? std::optional<std::uint8_t>(static_cast<std::uint8_t>(*number))
                          : std::nullopt;
        }
        expected(*node, key, names.empty() ? "a number from 0 to 255" : "a name or a number");
        return std::nullopt;
    }

    /// One of `names` only, for a key that must be given.
    std::optional<std::uint8_t> requiredName(const toml::table& table, std::string_view key,
                                             std::span<const CodeName> names,
                                             std::string_view owner) {
        const toml::node* node = table.get(key);
        const std::vector<std::string_view> words = codeNames(names);
        if (node == nullptr) {
            error(at(table), "missing key '" + std::string(key) + "' in " + std::string(owner),
                  {"write " + std::string(key) + " = " + quotedList(words)});
            return std::nullopt;
        }
        const auto* value = node->as_string();
        if (value == nullptr) {
            expected(*node, key, "one of " + quotedList(words));
            return std::nullopt;
        }
        for (const CodeName& entry : names) {
            if (entry.name == value->get()) {
                return entry.code;
            }
        }
        std::vector<std::string> notes;
        if (std::optional<std::string> note = nameNote(value->get(), words, "expected ")) {
            notes.push_back(std::move(*note));
        }
        error(at(*node), "unknown " + std::string(key) + " '" + value->get() + "'",
              std::move(notes));
        return std::nullopt;
    }

    std::vector<std::string> strings(const toml::table& table, std::string_view key) {
        std::vector<std::string> result;
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            return result;
        }
        const toml::array* array = node->as_array();
        if (array == nullptr) {
            expected(*node, key, "an array of strings");
            return result;
        }
        for (const toml::node& element : *array) {
            if (const auto* value = element.as_string()) {
                result.push_back(value->get());
            } else {
                expected(element, key, "a string");
            }
        }
        return result;
    }

    /// The tables of an array of tables, in file order.
    template <class Visit>
    void eachTable(const toml::table& table, std::string_view key, std::string_view what,
                   Visit&& visit) {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            return;
        }
        const toml::array* array = node->as_array();
        if (array == nullptr) {
            expected(*node, key, "an array of tables");
            return;
        }
        for (const toml::node& element : *array) {
            if (const toml::table* entry = element.as_table()) {
                visit(*entry);
            } else {
                expected(element, key, "a table for " + std::string(what));
            }
        }
    }

    const toml::table* subtable(const toml::table& table, std::string_view key) {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            return nullptr;
        }
        const toml::table* sub = node->as_table();
        if (sub == nullptr) {
            expected(*node, key, "a table");
        }
        return sub;
    }

    // --- records ---

    PortSpec readPort(const toml::table& table, std::optional<PortDirection> role) {
        checkKeys(table, kPortKeys, "a port");
        PortSpec port;
        port.location = at(table);
        port.id = text(table, "id").value_or("");
        if (role && table.get("direction") == nullptr) {
            port.direction = *role;
        } else if (const auto direction = requiredName(table, "direction", kDirections, "a port")) {
            port.direction = static_cast<PortDirection>(*direction);
        }
        port.schema = text(table, "schema").value_or("");
        if (const toml::node* node = table.get("shape")) {
            if (const toml::array* dims = node->as_array()) {
                for (const toml::node& dim : *dims) {
                    if (const std::optional<std::uint64_t> value = whole(dim, "shape", kMaxWhole)) {
                        port.shape.push_back(*value);
                    }
                }
            } else {
                expected(*node, "shape", "an array of whole numbers");
            }
        }
        if (table.get("dtype") == nullptr) {
            error(at(table), "missing key 'dtype' in a port",
                  {"write dtype = " + quotedList(codeNames(kDtypes)) + ", or its code"});
        } else {
            port.dtype = code(table, "dtype", kDtypes).value_or(0);
        }
        port.clock = code(table, "clock", {}).value_or(0);
        if (const toml::table* space = subtable(table, "embedding_space")) {
            port.embedding_space = readSpace(*space, port);
        }
        return port;
    }

    EmbeddingSpaceId readSpace(const toml::table& table, const PortSpec& port) {
        checkKeys(table, kSpaceKeys, "an embedding space");
        EmbeddingSpaceId space;
        space.model = text(table, "model").value_or("");
        space.tokenizer = text(table, "tokenizer").value_or("");
        space.pooling = text(table, "pooling").value_or("");
        space.normalization = text(table, "normalization").value_or("");
        space.metric = text(table, "metric").value_or("");
        space.dimension = whole(table, "dimension")
                              .value_or(port.shape.empty() ? 0 : port.shape.back());
        space.dtype = code(table, "dtype", kDtypes).value_or(port.dtype);
        space.projection = text(table, "projection").value_or("");
        space.lora = text(table, "lora").value_or("");
        const std::string computed = Orchestration::embeddingSpaceDigest(space);
        space.digest = text(table, "digest").value_or(computed);
        if (space.digest != computed) {
            pendingDigestNote_ = "the digest of this embedding space's fields is '" + computed + "'";
        }
        return space;
    }

    void keepDigestNote(const std::string& path) {
        if (pendingDigestNote_) {
            out_.path_notes.emplace_back(path, std::move(*pendingDigestNote_));
            pendingDigestNote_.reset();
        }
    }

    void readEngine(const toml::table& table) {
        checkKeys(table, kEngineKeys, "an engine");
        EngineSpec engine;
        engine.location = at(table);
        engine.id = text(table, "id").value_or("");
        if (const auto engineClass = requiredName(table, "class", kClasses, "an engine")) {
            engine.engine_class = static_cast<EngineClassCode>(*engineClass);
        }
        engine.profile = text(table, "profile").value_or("");
        engine.semantic_api_version = whole32(table, "semantic_api_version").value_or(0);
        engine.required_capabilities = strings(table, "required_capabilities");
        eachTable(table, "ports", "a port", [&](const toml::table& portTable) {
            engine.ports.push_back(readPort(portTable, std::nullopt));
            keepDigestNote("engine." + engine.id + ".port." + engine.ports.back().id);
        });
        if (const toml::table* workload = subtable(table, "workload")) {
            readWorkload(*workload, engine.id);
        }
        out_.system.engines.push_back(std::move(engine));
    }

    void readAdapter(const toml::table& table) {
        checkKeys(table, kAdapterKeys, "an adapter");
        AdapterSpec adapter;
        adapter.location = at(table);
        adapter.id = text(table, "id").value_or("");
        adapter.kind = code(table, "kind", kAdapterKinds).value_or(0);
        if (table.get("kind") == nullptr) {
            error(at(table), "missing key 'kind' in an adapter",
                  {"write kind = " + quotedList(codeNames(kAdapterKinds)) + ", or its code"});
        }
        for (const auto& [key, endpoint, role] :
             {std::tuple{"input", &adapter.input, PortDirection::input},
              std::tuple{"output", &adapter.output, PortDirection::output}}) {
            if (const toml::table* port = subtable(table, key)) {
                *endpoint = readPort(*port, role);
                keepDigestNote("adapter." + adapter.id);
            } else if (table.get(key) == nullptr) {
                error(at(table), "missing key '" + std::string(key) + "' in an adapter",
                      {"an adapter's " + std::string(key) + " is a port table"});
            }
        }
        adapter.config_hash = text(table, "config_hash").value_or("");
        adapter.stateful = flag(table, "stateful").value_or(false);
        adapter.semantic_api_version = whole32(table, "semantic_api_version").value_or(0);
        adapter.required_capabilities = strings(table, "required_capabilities");
        adapter.variant = code(table, "variant", {}).value_or(0);
        adapter.latency = integer(table, "latency").value_or(0);
        adapter.weight_hash = text(table, "weight_hash").value_or("");
        adapter.aux_text = text(table, "aux_text").value_or("");
        adapter.low_rank_overlay = flag(table, "low_rank_overlay").value_or(false);
        out_.system.adapters.push_back(std::move(adapter));
    }

    /// "engine.port" as written, split once every engine is known.
    struct PendingEndpoint {
        std::size_t connection = 0;
        bool source = true;
        std::string written;
        SourceLocation location;
    };

    /// "engine.port" split where the part before the dot names an engine of
    /// the file (ids may hold dots themselves), else at the first dot.
    std::optional<std::pair<std::string, std::string>> splitEndpoint(const PendingEndpoint& pending) {
        const std::string& written = pending.written;
        const std::string_view key = pending.source ? "from" : "to";
        std::optional<std::size_t> split;
        std::size_t matches = 0;
        for (std::size_t dot = written.find('.'); dot != std::string::npos;
             dot = written.find('.', dot + 1)) {
            if (!split) {
                split = dot;
            }
            if (engineIds_.contains(std::string_view(written).substr(0, dot))) {
                if (matches++ == 0) {
                    split = dot;
                }
            }
        }
        if (!split) {
            error(pending.location,
                  "expected ENGINE.PORT for '" + std::string(key) + "', found '" + written + "'");
            return std::nullopt;
        }
        if (matches > 1) {
            const std::string end = pending.source ? "source" : "destination";
            error(pending.location, "'" + written + "' can be read as more than one engine and port",
                  {"write " + end + "_engine and " + end + "_port instead"});
            return std::nullopt;
        }
        return std::pair{written.substr(0, *split), written.substr(*split + 1)};
    }

    void readEndpoint(const toml::table& table, bool source, std::string& engine,
                      std::string& port) {
        const std::string_view joined = source ? "from" : "to";
        const std::string_view engineKey = source ? "source_engine" : "destination_engine";
        const std::string_view portKey = source ? "source_port" : "destination_port";
        if (const toml::node* node = table.get(joined)) {
            if (table.get(engineKey) != nullptr || table.get(portKey) != nullptr) {
                error(at(*node), "'" + std::string(joined) + "' and '" + std::string(engineKey) +
                                     "' say the same thing; write one of them");
            }
            if (const auto* value = node->as_string()) {
                endpoints_.push_back(
                    {out_.system.connections.size(), source, value->get(), at(*node)});
            } else {
                expected(*node, joined, "a string ENGINE.PORT");
            }
            return;
        }
        engine = text(table, engineKey).value_or("");
        port = text(table, portKey).value_or("");
    }

    void readConnection(const toml::table& table) {
        checkKeys(table, kConnectionKeys, "a connection");
        ConnectionSpec connection;
        connection.location = at(table);
        connection.id = text(table, "id").value_or("");
        readEndpoint(table, true, connection.source_engine, connection.source_port);
        readEndpoint(table, false, connection.destination_engine, connection.destination_port);
        connection.adapter = text(table, "adapter");
        connection.delay = integer(table, "delay").value_or(0);
        connection.queue_capacity = whole(table, "queue_capacity");
        connection.overflow_policy = code(table, "overflow_policy", {});
        if (const toml::node* node = table.get("destination_realtime_lossy")) {
            if (const auto* value = node->as_boolean()) {
                connection.destination_realtime_lossy = value->get() ? 1 : 0;
            } else {
                connection.destination_realtime_lossy =
                    code(table, "destination_realtime_lossy", {}).value_or(0);
            }
        }
        connection.aux_code_1 = code(table, "aux_code_1", {}).value_or(0);
        connection.aux_code_2 = code(table, "aux_code_2", {}).value_or(0);
        out_.system.connections.push_back(std::move(connection));
    }

    // --- workloads ---

    void readWorkload(const toml::table& table, const std::string& engine) {
        checkKeys(table, kWorkloadKeys, "a workload");
        EngineWorkload workload;
        workload.spec.engine = engine;
        workload.location = at(table);
        workload.spec.sessions = whole32(table, "sessions").value_or(0);
        workload.sessions_location = at(table);
        workload.concurrency_location = at(table);
        if (const toml::node* node = table.get("sessions")) {
            workload.sessions_location = at(*node);
        }
        if (const toml::node* node = table.get("concurrency")) {
            workload.concurrency_location = at(*node);
        }
        workload.spec.concurrency = whole32(table, "concurrency").value_or(1);
        workload.spec.training = flag(table, "training").value_or(false);

        std::vector<std::pair<std::string_view, const toml::table*>> given;
        for (const std::string_view name : kProfileKinds) {
            if (const toml::table* candidate = subtable(table, name)) {
                given.emplace_back(name, candidate);
            }
        }
        if (given.empty()) {
            error(at(table), "a workload needs a profile",
                  {"add one of the tables " + quotedList(kProfileKinds)});
            return;
        }
        if (given.size() > 1) {
            // Reported where the second one stands.
            std::sort(given.begin(), given.end(), [](const auto& a, const auto& b) {
                const toml::source_position& x = a.second->source().begin;
                const toml::source_position& y = b.second->source().begin;
                return std::pair{x.line, x.column} < std::pair{y.line, y.column};
            });
            error(at(*given[1].second), "a workload has one profile, but both '" +
                                            std::string(given[0].first) + "' and '" +
                                            std::string(given[1].first) + "' are given");
            return;
        }
        const auto [kind, profile] = given.front();
        std::optional<WorkloadProfile> read;
        if (kind == "transformer") {
            read = readTransformer(*profile, workload);
        } else if (kind == "sync") {
            checkKeys(*profile, kSyncKeys, "a sync profile");
            read = SyncProfile{whole(*profile, "neurons").value_or(0),
                               whole(*profile, "weightEntries").value_or(0)};
        } else if (kind == "dpsh") {
            checkKeys(*profile, kDpshKeys, "a DPSH profile");
            read = DpshProfile{whole(*profile, "neurons").value_or(0),
                               whole(*profile, "weightEntries").value_or(0),
                               whole(*profile, "workspaceEntries").value_or(0)};
        } else if (kind == "adapter") {
            checkKeys(*profile, kAdapterProfileKeys, "an adapter profile");
            read = AdapterProfile{whole(*profile, "parameters").value_or(0),
                                  whole32(*profile, "parameterWidth").value_or(0),
                                  whole(*profile, "activationBytes").value_or(0)};
        } else {
            checkKeys(*profile, kPoolKeys, "an orchestration pool profile");
            read = OrchestrationPoolProfile{whole(*profile, "baseBytes").value_or(0),
                                            whole(*profile, "slots").value_or(0)};
        }
        // A transformer without sessions would hold no KV cache at all.
        if (kind == "transformer" && table.get("sessions") == nullptr) {
            error(at(table), "a transformer workload needs sessions",
                  {"write sessions = N: the sequences whose KV cache it holds at once"});
            return;
        }
        if (read) {
            workload.spec.profile = *read;
            out_.workloads.push_back(std::move(workload));
        }
    }

    /// A transformer's figures written by hand, or a model read from its
    /// config.json or its checkpoint folder, with the figures written beside
    /// it in place of the model's.
    std::optional<WorkloadProfile> readTransformer(const toml::table& table,
                                                   EngineWorkload& workload) {
        checkKeys(table, kTransformerKeys, "a transformer profile");
        const toml::node* context = table.get("contextLength");
        workload.context_location = context != nullptr ? at(*context) : at(table);
        const toml::node* configNode = table.get("config");
        const toml::node* checkpointNode = table.get("checkpoint");
        if (configNode != nullptr && checkpointNode != nullptr) {
            error(at(*checkpointNode), "a transformer takes 'config' or 'checkpoint', not both",
                  {"a checkpoint folder's own config.json is its config"});
            return std::nullopt;
        }
        if (configNode != nullptr || checkpointNode != nullptr) {
            return readModel(table, configNode != nullptr ? *configNode : *checkpointNode,
                             checkpointNode != nullptr, workload);
        }
        TransformerProfile p;
        p.vocabSize = whole(table, "vocabSize").value_or(0);
        p.layers = whole(table, "layers").value_or(0);
        p.modelDim = whole(table, "modelDim").value_or(0);
        p.ffnDim = whole(table, "ffnDim").value_or(0);
        p.queryHeads = whole(table, "queryHeads").value_or(0);
        p.kvHeads = whole(table, "kvHeads").value_or(0);
        p.headDim = whole(table, "headDim").value_or(0);
        p.contextLength = whole(table, "contextLength").value_or(0);
        p.weightBytes = whole32(table, "weightBytes").value_or(0);
        p.kvBytes = whole32(table, "kvBytes").value_or(0);
        p.tiedEmbeddings = flag(table, "tiedEmbeddings").value_or(false);
        p.training = flag(table, "training").value_or(workload.spec.training);
        p.adapterParameters = whole(table, "adapterParameters").value_or(0);
        return p;
    }

    std::optional<WorkloadProfile> readModel(const toml::table& table, const toml::node& node,
                                             bool checkpoint, EngineWorkload& workload) {
        const auto* value = node.as_string();
        if (value == nullptr) {
            expected(node, checkpoint ? "checkpoint" : "config",
                     checkpoint ? "a string naming a checkpoint folder"
                                : "a string naming a config.json");
            return std::nullopt;
        }
        const std::string& written = value->get();
        std::optional<ModelConfig> config = readModelConfig(
            node, checkpoint ? (std::filesystem::path(written) / "config.json").string() : written,
            workload);
        if (!config) {
            return std::nullopt;
        }
        (checkpoint ? workload.checkpoint : workload.model_config) = written;

        ModelOverrides overrides;
        overrides.vocabSize = whole(table, "vocabSize");
        overrides.layers = whole(table, "layers");
        overrides.modelDim = whole(table, "modelDim");
        overrides.ffnDim = whole(table, "ffnDim");
        overrides.queryHeads = whole(table, "queryHeads");
        overrides.kvHeads = whole(table, "kvHeads");
        overrides.headDim = whole(table, "headDim");
        overrides.contextLength = whole(table, "contextLength");
        overrides.weightBytes = whole32(table, "weightBytes");
        overrides.kvBytes = whole32(table, "kvBytes");
        overrides.tiedEmbeddings = flag(table, "tiedEmbeddings");
        ModelProfileResult built = buildModelProfile(*config, overrides, checkpoint);
        const std::string named = modelNamed(written, checkpoint);
        const std::string configFile = configPath(written, checkpoint);
        for (ConfigProblem& note : built.notes) {
            report(FindingKind::warning, std::move(note), named, configFile, node, workload);
        }
        if (!built.profile) {
            const toml::node* overridden =
                built.error.overrideKey.empty() ? nullptr : table.get(built.error.overrideKey);
            if (overridden != nullptr) {
                error(at(*overridden), std::move(built.error.problem.message),
                      std::move(built.error.problem.notes));
            } else {
                report(FindingKind::error, std::move(built.error.problem), named, configFile,
                       node, workload);
            }
            return std::nullopt;
        }
        Estimation::ModelProfile profile = std::move(*built.profile);
        profile.training = flag(table, "training").value_or(workload.spec.training);
        profile.adapterParameters = whole(table, "adapterParameters").value_or(0);
        if (checkpoint) {
            const std::optional<CheckpointWeights> weights = readCheckpoint(node, written);
            if (!weights) {
                return std::nullopt;
            }
            profile.checkpointBytes = weights->bytes;
            profile.checkpointElements = weights->elements;
        }
        return profile;
    }

    /// "model config 'm.json'", or "checkpoint 'DIR'": how a message names
    /// where the figures come from.
    static std::string modelNamed(const std::string& written, bool checkpoint) {
        return (checkpoint ? "checkpoint '" : "model config '") + written + "'";
    }

    [[nodiscard]] std::string configPath(const std::string& written, bool checkpoint) const {
        std::filesystem::path path = folder_ / written;
        if (checkpoint) {
            path /= "config.json";
        }
        return path.string();
    }

    /// A problem of a model config: at its key in the config when it has one,
    /// else at the system file's line that names the config.
    void report(FindingKind kind, ConfigProblem problem, const std::string& named,
                const std::string& configFile, const toml::node& node,
                const EngineWorkload& workload) {
        if (problem.key && problem.key->line != 0) {
            problem.notes.push_back("the model config of engine '" + workload.spec.engine + "'");
            out_.findings.push_back(
                {kind,
                 std::move(problem.message),
                 {},
                 {SharedString(configFile), problem.key->line, problem.key->column},
                 std::move(problem.notes)});
            return;
        }
        out_.findings.push_back({kind, named + ": " + problem.message, {}, at(node),
                                 std::move(problem.notes)});
    }

    std::optional<CheckpointWeights> readCheckpoint(const toml::node& node,
                                                    const std::string& written) {
        const std::string folder = (folder_ / written).string();
        auto cached = checkpoints_.find(folder);
        if (cached == checkpoints_.end()) {
            cached = checkpoints_
                         .emplace(folder, readCheckpoint_ ? readCheckpoint_(folder)
                                                          : readCheckpointWeights(folder))
                         .first;
        }
        const CheckpointResult& read = cached->second;
        const auto place = [&](const CheckpointProblem& problem) {
            return problem.line != 0
                       ? SourceLocation{SharedString(problem.file), problem.line, problem.column}
                       : at(node);
        };
        // The analyser loses the file name's reference count in the findings.
        // NOLINTBEGIN(clang-analyzer-cplusplus.NewDeleteLeaks)
        if (!read.weights) {
            error(place(read.error), "checkpoint '" + written + "': " + read.error.message);
            return std::nullopt;
        }
        for (const CheckpointProblem& note : read.weights->notes) {
            out_.findings.push_back({FindingKind::warning,
                                     "checkpoint '" + written + "': " + note.message,
                                     {},
                                     place(note),
                                     {}});
        }
        // NOLINTEND(clang-analyzer-cplusplus.NewDeleteLeaks)
        return read.weights;
    }

    std::optional<ModelConfig> readModelConfig(const toml::node& node, const std::string& written,
                                               const EngineWorkload& workload) {
        const std::filesystem::path path = folder_ / written;
        const std::string resolved = path.string();
        auto cached = configs_.find(resolved);
        if (cached == configs_.end()) {
            Cached entry;
            try {
                entry.result = parseModelConfig(readConfig_(resolved));
            } catch (const std::exception& failure) {
                entry.readError = failure.what();
            }
            cached = configs_.emplace(resolved, std::move(entry)).first;
        }
        const Cached& entry = cached->second;
        const std::string named = "model config '" + written + "'";
        if (entry.readError) {
            error(at(node), "cannot read " + named + ": " + *entry.readError);
            return std::nullopt;
        }
        if (!entry.result.config) {
            report(FindingKind::error, entry.result.error, named, resolved, node, workload);
            return std::nullopt;
        }
        return entry.result.config;
        // The analyser loses the file name's reference count in the findings.
    } // NOLINT(clang-analyzer-cplusplus.NewDeleteLeaks)

    struct Cached {
        ModelConfigResult result;
        std::optional<std::string> readError;
    };

    SharedString file_;
    std::filesystem::path folder_;
    const ConfigReader& readConfig_;
    const CheckpointReader& readCheckpoint_;
    LoadedSystem& out_;
    std::uint32_t lineOffset_ = 0;
    std::vector<PendingEndpoint> endpoints_;
    std::unordered_set<std::string_view> engineIds_;
    std::unordered_map<std::string, Cached> configs_;
    std::unordered_map<std::string, CheckpointResult> checkpoints_;
    std::optional<std::string> pendingDigestNote_;
};

/// The file's bytes, or the reason they cannot be had. Opened without
/// blocking and read only when it is a regular file: a FIFO swapped in for the
/// file cannot stall the read.
std::string readWhole(const std::string& path, std::uintmax_t maxBytes, std::string_view what) {
    std::variant<Files::RegularFile, std::string> opened = Files::RegularFile::open(path);
    if (std::string* reason = std::get_if<std::string>(&opened)) {
        throw std::runtime_error(*reason);
    }
    const Files::RegularFile& file = std::get<Files::RegularFile>(opened);
    if (file.size() > maxBytes) {
        throw std::runtime_error(std::string(what) + " is larger than " +
                                 std::to_string(maxBytes) + " bytes");
    }
    std::string text(static_cast<std::size_t>(file.size()), '\0');
    if (std::optional<std::string> failed = file.readAt(0, text.data(), text.size())) {
        throw std::runtime_error(*failed);
    }
    return text;
}

/// The notes that say why an estimator refused a profile, by its figures.
std::vector<std::string> estimateNotes(const WorkloadProfile& profile, std::string_view message) {
    std::vector<std::string> notes;
    const auto* p = std::get_if<TransformerProfile>(&profile);
    if (p == nullptr) {
        return notes;
    }
    if (message == "transformer profile is incomplete") {
        std::string missing;
        for (const auto& [name, value] :
             {std::pair<std::string_view, std::uint64_t>{"vocabSize", p->vocabSize},
              {"layers", p->layers},
              {"modelDim", p->modelDim},
              {"ffnDim", p->ffnDim},
              {"queryHeads", p->queryHeads},
              {"kvHeads", p->kvHeads},
              {"headDim", p->headDim},
              {"contextLength", p->contextLength},
              {"weightBytes", p->weightBytes},
              {"kvBytes", p->kvBytes}}) {
            if (value == 0) {
                missing += (missing.empty() ? "" : ", ") + std::string(name);
            }
        }
        notes.push_back("not given, or 0: " + missing);
    } else if (message == "queryHeads * headDim must equal modelDim without overflow") {
        notes.push_back("queryHeads " + std::to_string(p->queryHeads) + " x headDim " +
                        std::to_string(p->headDim) + " against modelDim " +
                        std::to_string(p->modelDim));
    }
    return notes;
}

bool positionLess(const Finding& a, const Finding& b) {
    return std::pair{a.location.line, a.location.column} <
           std::pair{b.location.line, b.location.column};
}

/// Text of this size or more is read a piece at a time.
constexpr std::size_t kPieceBytes = 1 << 20;

} // namespace

std::optional<LoadedSystem> readSystemTextInPieces(std::string_view text,
                                                   const std::string& fileName,
                                                   const ConfigReader& readConfig,
                                                   const CheckpointReader& readCheckpoint) {
    if (text.size() < kPieceBytes) {
        return std::nullopt;
    }
    const std::vector<TomlChunk> chunks = tomlChunks(text, kPieceBytes / 4);
    if (chunks.size() < 2) {
        return std::nullopt;
    }
    LoadedSystem loaded;
    loaded.file = fileName;
    Reader reader(fileName, readConfig, readCheckpoint, loaded);
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const std::size_t end = i + 1 < chunks.size() ? chunks[i + 1].begin : text.size();
        toml::table document;
        try {
            document = toml::parse(text.substr(chunks[i].begin, end - chunks[i].begin),
                                   std::string_view(fileName));
        } catch (const toml::parse_error&) {
            return std::nullopt;
        }
        reader.setLineOffset(chunks[i].line - 1);
        if (i == 0) {
            // The arrays that pieces add must not be written here too.
            for (std::size_t j = 1; j < chunks.size(); ++j) {
                if (document.contains(chunks[j].array)) {
                    return std::nullopt;
                }
            }
            reader.readRoot(document);
            continue;
        }
        if (document.size() != 1 || !document.contains(chunks[i].array)) {
            return std::nullopt;
        }
        reader.readElements(document);
    }
    reader.finish();
    std::stable_sort(loaded.findings.begin(), loaded.findings.end(), positionLess);
    return loaded;
}

bool LoadedSystem::readable() const {
    return std::none_of(findings.begin(), findings.end(),
                        [](const Finding& finding) { return finding.kind == FindingKind::error; });
}

LoadedSystem parseSystemText(std::string_view text, const std::string& fileName,
                             const ConfigReader& readConfig, const CheckpointReader& readCheckpoint) {
    if (std::optional<LoadedSystem> loaded =
            readSystemTextInPieces(text, fileName, readConfig, readCheckpoint)) {
        return std::move(*loaded);
    }
    LoadedSystem loaded;
    loaded.file = fileName;
    toml::table root;
    try {
        root = toml::parse(text, std::string_view(fileName));
    } catch (const toml::parse_error& failure) {
        loaded.findings.push_back({FindingKind::error,
                                   std::string(failure.description()),
                                   {},
                                   {fileName, failure.source().begin.line,
                                    failure.source().begin.column},
                                   {}});
        return loaded;
    }
    Reader reader(fileName, readConfig, readCheckpoint, loaded);
    reader.readRoot(root);
    reader.finish();
    std::stable_sort(loaded.findings.begin(), loaded.findings.end(), positionLess);
    return loaded;
}

LoadedSystem loadSystemFile(const std::string& path) {
    std::string text;
    try {
        text = readWhole(path, kMaxSystemFileBytes, "the system file");
    } catch (const std::exception& failure) {
        LoadedSystem loaded;
        loaded.file = path;
        loaded.findings.push_back(
            {FindingKind::error, "cannot open system file: " + path, {}, {}, {failure.what()}});
        return loaded;
    }
    return parseSystemText(text, path, [](const std::string& config) {
        return readWhole(config, kMaxModelConfigBytes, "the model config");
    });
}

std::vector<Finding> checkSystem(const LoadedSystem& loaded) {
    std::vector<Finding> findings = loaded.findings;
    if (!loaded.readable()) {
        return findings;
    }
    for (Orchestration::ValidationIssue& issue : Orchestration::validate(loaded.system)) {
        Finding finding{FindingKind::error, std::move(issue.message), std::move(issue.path),
                        std::move(issue.location), {}};
        if (finding.location.line == 0) {
            finding.location = finding.path == "system.id" ? loaded.id_location
                                                           : loaded.failure_location;
        }
        for (const auto& [path, note] : loaded.path_notes) {
            if (path == finding.path) {
                finding.notes.push_back(note);
            }
        }
        findings.push_back(std::move(finding));
    }
    for (const EngineWorkload& workload : loaded.workloads) {
        Estimation::EstimateResult result = Estimation::estimateWorkload(workload.spec.profile);
        for (std::string& message : result.errors) {
            std::vector<std::string> notes = estimateNotes(workload.spec.profile, message);
            findings.push_back({FindingKind::error, std::move(message),
                                "engine." + workload.spec.engine + ".workload", workload.location,
                                std::move(notes)});
        }
    }
    std::stable_sort(findings.begin(), findings.end(), positionLess);
    return findings;
}

std::vector<Estimation::WorkloadRequirement> workloadRequirements(const LoadedSystem& loaded) {
    std::vector<Estimation::WorkloadRequirement> requirements;
    requirements.reserve(loaded.workloads.size());
    for (const EngineWorkload& workload : loaded.workloads) {
        requirements.push_back(Estimation::estimateRequirement(workload.spec));
    }
    return requirements;
}

std::optional<std::string_view> dtypeName(std::uint8_t code) {
    for (const CodeName& entry : kDtypes) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return std::nullopt;
}

} // namespace Core::SystemFile
