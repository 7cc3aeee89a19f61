// Reading an inventory document with nlohmann/json. The keys are those that
// `inventory --format json` writes; what a hand-written file may leave out
// takes the defaults the README lists. Derived keys are checked, not read.
#include "companion/inventory_file.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <span>
#include <sstream>
#include <utility>

#include "common/near_words.h"
#include "common/text_position.h"
#include "deployment/deployment.h"
#include "deployment/inventory_text.h"

namespace Core::Companion {
namespace {

using Json = nlohmann::json;
using Placement::DeviceKind;

constexpr std::string_view kDocumentKeys[] = {
    "format_version", "command", "inventory", "hardware_fingerprint", "canonical_text",
    "host",           "devices", "peers",     "transports",           "notes"};
constexpr std::string_view kHostKeys[] = {"os",         "logical_processors", "numa_nodes",
                                          "host_total", "host_available",     "cuda_driver"};
constexpr std::string_view kDeviceKeys[] = {
    "id",           "name",          "kind",          "index",         "total_bytes",
    "available_bytes", "usable_bytes", "compute_major", "compute_minor", "capabilities"};
constexpr std::string_view kPeerKeys[] = {"first", "second", "enabled"};
constexpr std::string_view kKinds[] = {"cpu", "cuda"};
constexpr std::string_view kTransports[] = {"in_process", "windows_shared_memory", "cuda_peer"};

/// A file larger than this is no machine description.
constexpr std::uintmax_t kMaxInventoryBytes = 64ULL << 20;

/// What a value is, for "expected ..., found ...".
std::string typeOf(const Json& value) {
    if (value.is_object()) {
        return "an object";
    }
    if (value.is_array()) {
        return "an array";
    }
    const std::string text = value.dump().substr(0, 40);
    if (value.is_number()) {
        return "the number " + text;
    }
    return value.is_string() ? "the string " + text : text;
}

/// Reads one document, each problem at its pointer.
class Reader {
  public:
    explicit Reader(InventoryFile& out) : out_(out) {}

    void read(const Json& root) {
        if (!root.is_object()) {
            fail("", "an inventory is a JSON object");
            return;
        }
        checkKeys(root, "", kDocumentKeys);
        if (const Json* version = find(root, "format_version");
            version != nullptr && *version != 1) {
            fail("/format_version", "the format version is 1, not " + version->dump());
        }
        Placement::ResourceInventory inventory;
        readHost(root, inventory);
        readDevices(root, inventory);
        readPeers(root, inventory);
        readTransports(root, inventory);
        if (!out_.problems.empty()) {
            return;
        }
        checkDerived(root, inventory);
        out_.inventory = std::move(inventory);
    }

  private:
    void fail(const std::string& pointer, const std::string& message,
              std::vector<std::string> notes = {}) {
        std::string described = pointer;
        if (!described.empty()) {
            described += ": ";
        }
        described += message;
        out_.problems.push_back({std::move(described), 0, 0, std::move(notes)});
    }

    static const Json* find(const Json& object, std::string_view key) {
        const auto found = object.find(std::string(key));
        return found == object.end() ? nullptr : &*found;
    }

    void checkKeys(const Json& object, const std::string& pointer,
                   std::span<const std::string_view> known) {
        for (const auto& [key, value] : object.items()) {
            if (std::find(known.begin(), known.end(), key) != known.end()) {
                continue;
            }
            std::vector<std::string> notes;
            if (std::optional<std::string> note = nameNote(key, known, "the keys here are ")) {
                notes.push_back(std::move(*note));
            }
            std::string where = pointer;
            where += '/';
            where += key;
            fail(where, "unknown key '" + key + "'", std::move(notes));
        }
    }

    /// A whole number from 0 to `max`; absent (and a problem) otherwise.
    std::optional<std::uint64_t> whole(const Json& value, const std::string& pointer,
                                       std::uint64_t max) {
        if (!value.is_number_unsigned() && !(value.is_number_integer() && value.get<std::int64_t>() >= 0)) {
            fail(pointer, "expected a whole number from 0 to " + std::to_string(max) + ", found " +
                              typeOf(value));
            return std::nullopt;
        }
        const std::uint64_t number = value.get<std::uint64_t>();
        if (number > max) {
            fail(pointer, std::to_string(number) + " is above the largest, " + std::to_string(max));
            return std::nullopt;
        }
        return number;
    }

    /// A key that may be null or left out: absent then.
    std::optional<std::uint64_t> optionalWhole(const Json& object, const std::string& pointer,
                                               std::string_view key, std::uint64_t max) {
        const Json* value = find(object, key);
        if (value == nullptr || value->is_null()) {
            return std::nullopt;
        }
        return whole(*value, pointer + "/" + std::string(key), max);
    }

    std::optional<std::string> text(const Json& object, const std::string& pointer,
                                    std::string_view key) {
        const Json* value = find(object, key);
        if (value == nullptr) {
            return std::nullopt;
        }
        if (!value->is_string()) {
            fail(pointer + "/" + std::string(key), "expected a string, found " + typeOf(*value));
            return std::nullopt;
        }
        return value->get<std::string>();
    }

    const Json* array(const Json& object, std::string_view key) {
        const Json* value = find(object, key);
        if (value != nullptr && !value->is_array()) {
            fail("/" + std::string(key), "expected an array, found " + typeOf(*value));
            return nullptr;
        }
        return value;
    }

    void readHost(const Json& root, Placement::ResourceInventory& inventory) {
        static const Json kEmpty = Json::object();
        const Json* host = find(root, "host");
        if (host != nullptr && !host->is_object()) {
            fail("/host", "expected an object, found " + typeOf(*host));
            return;
        }
        const Json& fields = host != nullptr ? *host : kEmpty;
        checkKeys(fields, "/host", kHostKeys);
        inventory.os = text(fields, "/host", "os").value_or("unspecified");
        constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();
        constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();
        inventory.logical_processors = static_cast<std::uint32_t>(
            optionalWhole(fields, "/host", "logical_processors", kMaxU32).value_or(1));
        inventory.numa_nodes = static_cast<std::uint32_t>(
            optionalWhole(fields, "/host", "numa_nodes", kMaxU32).value_or(1));
        hostTotal_ = optionalWhole(fields, "/host", "host_total", kMaxU64);
        inventory.host_available = optionalWhole(fields, "/host", "host_available", kMaxU64);
        if (const auto driver = optionalWhole(fields, "/host", "cuda_driver", kMaxU32)) {
            inventory.cuda_driver = static_cast<std::uint32_t>(*driver);
        }
    }

    void readDevices(const Json& root, Placement::ResourceInventory& inventory) {
        const Json* devices = array(root, "devices");
        if (devices == nullptr) {
            inventory.host_total = hostTotal_.value_or(0);
            return;
        }
        constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();
        std::set<std::string, std::less<>> ids;
        std::uint32_t cudaSeen = 0;
        for (std::size_t i = 0; i < devices->size(); ++i) {
            const Json& entry = (*devices)[i];
            const std::string pointer = "/devices/" + std::to_string(i);
            if (!entry.is_object()) {
                fail(pointer, "expected an object, found " + typeOf(entry));
                continue;
            }
            checkKeys(entry, pointer, kDeviceKeys);
            Placement::InventoryDevice device;
            const std::optional<std::string> id = text(entry, pointer, "id");
            if (!id) {
                if (find(entry, "id") == nullptr) {
                    fail(pointer, "missing key 'id'");
                }
            } else if (!ids.insert(*id).second) {
                fail(pointer + "/id", "device id '" + *id + "' is listed twice");
            }
            device.id = id.value_or("");
            device.name = text(entry, pointer, "name").value_or(device.id);
            const std::optional<std::string> kind = text(entry, pointer, "kind");
            if (!kind) {
                if (find(entry, "kind") == nullptr) {
                    fail(pointer, "missing key 'kind'", {"a device's kind is 'cpu' or 'cuda'"});
                }
            } else if (*kind == "cpu" || *kind == "cuda") {
                device.kind = *kind == "cpu" ? DeviceKind::cpu : DeviceKind::cuda;
            } else {
                // Not the nearest spelling: 'gpu' is one edit from 'cpu' but means 'cuda'.
                fail(pointer + "/kind", "unknown kind '" + *kind + "'",
                     {"a kind is " + quotedList(kKinds)});
            }
            if (const Json* total = find(entry, "total_bytes")) {
                device.total_bytes =
                    whole(*total, pointer + "/total_bytes", std::numeric_limits<std::uint64_t>::max())
                        .value_or(0);
            } else {
                fail(pointer, "missing key 'total_bytes'");
            }
            device.available_bytes = optionalWhole(entry, pointer, "available_bytes",
                                                   std::numeric_limits<std::uint64_t>::max());
            if (const auto index = optionalWhole(entry, pointer, "index", kMaxU32)) {
                device.index = static_cast<std::uint32_t>(*index);
            } else if (device.kind == DeviceKind::cuda && find(entry, "index") == nullptr) {
                // A hand-written machine numbers its GPUs in the order it lists them.
                device.index = cudaSeen;
            }
            if (device.kind == DeviceKind::cuda) {
                ++cudaSeen;
            }
            for (const std::string_view key : {"compute_major", "compute_minor"}) {
                if (const auto value = optionalWhole(entry, pointer, key, kMaxU32)) {
                    (key == "compute_major" ? device.compute_major : device.compute_minor) =
                        static_cast<std::uint32_t>(*value);
                }
            }
            if (const Json* capabilities = find(entry, "capabilities")) {
                if (!capabilities->is_array()) {
                    fail(pointer + "/capabilities",
                         "expected an array of strings, found " + typeOf(*capabilities));
                } else {
                    for (std::size_t c = 0; c < capabilities->size(); ++c) {
                        const Json& tag = (*capabilities)[c];
                        if (tag.is_string()) {
                            device.capabilities.push_back(tag.get<std::string>());
                        } else {
                            fail(pointer + "/capabilities/" + std::to_string(c),
                                 "expected a string, found " + typeOf(tag));
                        }
                    }
                }
            } else if (device.kind == DeviceKind::cpu) {
                device.capabilities = {"host_memory"};
            }
            if (const Json* usable = find(entry, "usable_bytes")) {
                derivedUsable_.emplace_back(pointer + "/usable_bytes", *usable, inventory.devices.size());
            }
            inventory.devices.push_back(std::move(device));
        }
        if (hostTotal_) {
            inventory.host_total = *hostTotal_;
        } else {
            // The host's memory, when not given, is that of its largest CPU device.
            for (const Placement::InventoryDevice& device : inventory.devices) {
                if (device.kind == DeviceKind::cpu) {
                    inventory.host_total = std::max(inventory.host_total, device.total_bytes);
                }
            }
        }
    }

    void readPeers(const Json& root, Placement::ResourceInventory& inventory) {
        const Json* peers = array(root, "peers");
        if (peers == nullptr) {
            return;
        }
        std::set<std::string_view, std::less<>> ids;
        for (const Placement::InventoryDevice& device : inventory.devices) {
            ids.insert(device.id);
        }
        for (std::size_t i = 0; i < peers->size(); ++i) {
            const Json& entry = (*peers)[i];
            const std::string pointer = "/peers/" + std::to_string(i);
            if (!entry.is_object()) {
                fail(pointer, "expected an object, found " + typeOf(entry));
                continue;
            }
            checkKeys(entry, pointer, kPeerKeys);
            Placement::PeerLink link;
            for (const std::string_view end : {"first", "second"}) {
                const std::optional<std::string> id = text(entry, pointer, end);
                if (!id) {
                    if (find(entry, end) == nullptr) {
                        fail(pointer, "missing key '" + std::string(end) + "'");
                    }
                    continue;
                }
                if (!ids.contains(*id)) {
                    fail(pointer + "/" + std::string(end),
                         "peer names device '" + *id + "', which the inventory does not list");
                }
                (end == "first" ? link.first : link.second) = *id;
            }
            if (const Json* enabled = find(entry, "enabled")) {
                if (enabled->is_boolean()) {
                    link.enabled = enabled->get<bool>();
                } else {
                    fail(pointer + "/enabled", "expected true or false, found " + typeOf(*enabled));
                }
            } else {
                link.enabled = true;
            }
            inventory.peers.push_back(std::move(link));
        }
    }

    void readTransports(const Json& root, Placement::ResourceInventory& inventory) {
        const Json* transports = array(root, "transports");
        if (transports == nullptr) {
            inventory.transports = {Placement::TransportKind::in_process};
            return;
        }
        for (std::size_t i = 0; i < transports->size(); ++i) {
            const Json& entry = (*transports)[i];
            const std::string pointer = "/transports/" + std::to_string(i);
            const auto* const known = entry.is_string()
                                   ? std::find(std::begin(kTransports), std::end(kTransports),
                                               entry.get<std::string>())
                                   : std::end(kTransports);
            if (known == std::end(kTransports)) {
                std::vector<std::string> notes;
                if (entry.is_string()) {
                    if (std::optional<std::string> note =
                            nameNote(entry.get<std::string>(), kTransports, "a transport is ")) {
                        notes.push_back(std::move(*note));
                    }
                }
                fail(pointer, "unknown transport " + entry.dump(), std::move(notes));
                continue;
            }
            inventory.transports.push_back(static_cast<Placement::TransportKind>(
                std::distance(std::begin(kTransports), known)));
        }
    }

    /// The derived keys are computed from the rest; where the file says
    /// otherwise, the rest wins and a note says so.
    void checkDerived(const Json& root, const Placement::ResourceInventory& inventory) {
        const std::uint64_t fingerprint = Placement::hardwareFingerprint(inventory);
        if (const Json* stated = find(root, "hardware_fingerprint");
            stated != nullptr && *stated != std::to_string(fingerprint)) {
            out_.notes.push_back("/hardware_fingerprint: the file says " + stated->dump() +
                                 "; the machine it describes has " + std::to_string(fingerprint));
        }
        if (const Json* stated = find(root, "canonical_text");
            stated != nullptr && *stated != Placement::canonicalInventoryText(inventory)) {
            out_.notes.push_back("/canonical_text: differs from the text of the machine the file "
                                 "describes, which is used");
        }
        for (const auto& [pointer, stated, index] : derivedUsable_) {
            const std::uint64_t usable = Placement::usableMemory(inventory.devices[index]);
            if (stated != usable) {
                out_.notes.push_back(pointer + ": the file says " + stated.dump() +
                                     "; total and available bytes give " + std::to_string(usable));
            }
        }
    }

    InventoryFile& out_;
    std::optional<std::uint64_t> hostTotal_;
    std::vector<std::tuple<std::string, Json, std::size_t>> derivedUsable_;
};

} // namespace

InventoryFile parseInventoryJson(std::string_view json) {
    InventoryFile file;
    Json root;
    try {
        root = Json::parse(json.begin(), json.end());
    } catch (const Json::parse_error& error) {
        // `byte` is one past the last byte read: the line and column of that byte.
        const TextPosition at = positionBefore(json, error.byte);
        const std::string what = error.what();
        const std::size_t colon = what.find(": ");
        file.problems.push_back(
            {colon == std::string::npos ? what : what.substr(colon + 2), at.line, at.column, {}});
        return file;
    }
    Reader(file).read(root);
    return file;
}

InventoryFile readInventoryFile(const std::string& path) {
    std::error_code code;
    const bool regular = std::filesystem::is_regular_file(path, code);
    std::ifstream in;
    if (regular && std::filesystem::file_size(path, code) <= kMaxInventoryBytes) {
        in.open(path, std::ios::binary);
    }
    if (!in.is_open()) {
        InventoryFile file;
        file.problems.push_back({"cannot open inventory file: " + path, 0, 0,
                                 {regular ? "it cannot be read, or is larger than 64 MiB"
                                          : "no such file, or not a file"}});
        return file;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return parseInventoryJson(content.str());
}

} // namespace Core::Companion
