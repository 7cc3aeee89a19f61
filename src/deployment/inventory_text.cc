// Canonical inventory text: sorted, length-prefixed, one fact per line.
#include "deployment/inventory_text.h"

#include <algorithm>
#include <set>
#include <string_view>
#include <vector>

#include "common/byte_order.h"
#include "common/canonical_text.h"
#include "common/stable_hash.h"

namespace Core::Placement {
namespace {

using CanonicalText::appendFlag;
using CanonicalText::appendNumber;
using CanonicalText::appendOptionalNumber;
using CanonicalText::appendString;

void appendDevice(std::string& out, const InventoryDevice& device) {
    out += deviceKindName(device.kind);
    out += '|';
    appendString(out, device.id);
    out += '|';
    appendString(out, device.name);
    out += '|';
    appendNumber(out, device.total_bytes);
    out += '|';
    appendOptionalNumber(out, device.compute_major);
    out += '|';
    appendOptionalNumber(out, device.compute_minor);
    out += '|';
    appendNumber(out, device.capabilities.size());

    std::vector<std::string_view> tags(device.capabilities.begin(), device.capabilities.end());
    std::sort(tags.begin(), tags.end(), ByteLess{});
    for (const std::string_view tag : tags) {
        out += '|';
        appendString(out, tag);
    }
    out += '\n';
}

} // namespace

std::string canonicalInventoryText(const ResourceInventory& inventory) {
    std::string out = "TALVEX-RESOURCE-INVENTORY/1\n";
    out += "os=";
    appendString(out, inventory.os);
    out += "\nlogical_processors=";
    appendNumber(out, inventory.logical_processors);
    out += "\nnuma_nodes=";
    appendNumber(out, inventory.numa_nodes);
    out += "\nhost_total=";
    appendNumber(out, inventory.host_total);
    out += "\ncuda_driver=";
    appendOptionalNumber(out, inventory.cuda_driver);
    out += "\ndevices=";
    appendNumber(out, inventory.devices.size());
    out += '\n';

    std::vector<const InventoryDevice*> devices;
    devices.reserve(inventory.devices.size());
    for (const InventoryDevice& device : inventory.devices) {
        devices.push_back(&device);
    }
    std::stable_sort(devices.begin(), devices.end(),
                     [](const InventoryDevice* a, const InventoryDevice* b) {
                         return byteLess(a->id, b->id);
                     });
    for (const InventoryDevice* device : devices) {
        appendDevice(out, *device);
    }

    out += "peers=";
    appendNumber(out, inventory.peers.size());
    out += '\n';
    std::vector<const PeerLink*> peers;
    peers.reserve(inventory.peers.size());
    for (const PeerLink& peer : inventory.peers) {
        peers.push_back(&peer);
    }
    std::stable_sort(peers.begin(), peers.end(), [](const PeerLink* a, const PeerLink* b) {
        if (a->first != b->first) {
            return byteLess(a->first, b->first);
        }
        return byteLess(a->second, b->second);
    });
    for (const PeerLink* peer : peers) {
        appendString(out, peer->first);
        out += '|';
        appendString(out, peer->second);
        out += '|';
        appendFlag(out, peer->enabled);
        out += '\n';
    }

    // Each kind counts once, in numeric order, however often it is listed.
    const std::set<TransportKind> kinds(inventory.transports.begin(), inventory.transports.end());
    out += "transports=";
    appendNumber(out, kinds.size());
    for (const TransportKind kind : kinds) {
        out += '|';
        out += transportKindName(kind);
    }
    out += '\n';
    return out;
}

std::uint64_t hardwareFingerprint(const ResourceInventory& inventory) {
    return StableHash::of(canonicalInventoryText(inventory));
}

} // namespace Core::Placement
