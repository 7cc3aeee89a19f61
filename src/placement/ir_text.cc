// The canonical Placement IR text: one text per IR content, whatever the
// declaration order, so that its hash identifies the placement.
#include "placement/ir_text.h"

#include <algorithm>
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
using CanonicalText::appendOptionalString;
using CanonicalText::appendString;

/// Pointers to the records in ascending byte order of their ids; the IR's own
/// vectors keep their order.
template <typename Record>
std::vector<const Record*> sortedById(const std::vector<Record>& records) {
    std::vector<const Record*> sorted;
    sorted.reserve(records.size());
    for (const Record& record : records) {
        sorted.push_back(&record);
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const Record* a, const Record* b) { return byteLess(a->id, b->id); });
    return sorted;
}

void appendDeviceLine(std::string& out, const LoweredDevice& device) {
    appendString(out, device.id);
    out += '|';
    out += deviceKindName(device.kind);
    out += '|';
    appendOptionalNumber(out, device.index);
    out += '|';
    appendNumber(out, device.reserve);
    out += '|';
    out += device.identity;
    out += '\n';
}

void appendModelTail(std::string& out, const ModelRequest& model) {
    out += "|model|";
    appendString(out, model.artifact);
    out += '|';
    appendString(out, model.sharing_group);
    out += '|';
    appendFlag(out, model.weights_shared_read_only);
    out += '|';
    appendOptionalString(out, model.adapter);
    out += '|';
    out += model.request_id;
    out += '|';
    appendOptionalString(out, model.adapter_request_id);
    out += '|';
    out += model.allocation_id;
}

void appendEngineLine(std::string& out, const LoweredEngine& engine) {
    appendString(out, engine.id);
    out += '|';
    out += engineClassName(engine.kind);
    out += '|';
    appendOptionalString(out, engine.device);
    out += '|';
    out += residencyName(engine.residency);
    out += '|';
    out += priorityName(engine.priority);
    out += '|';
    out += engine.identity;
    out += '|';
    out += engine.session;
    out += '|';
    appendOptionalNumber(out, engine.memory.weights);
    out += '|';
    appendFlag(out, engine.memory.weights_auto);
    out += '|';
    appendOptionalNumber(out, engine.memory.kv_cache_max);
    out += '|';
    appendOptionalNumber(out, engine.memory.workspace_max);
    if (engine.model) {
        appendModelTail(out, *engine.model);
    } else {
        out += "|no-model";
    }
    out += '\n';
}

} // namespace

std::string canonicalPlacementText(const PlacementIR& ir) {
    std::string out = "TALVEX-PLACEMENT-IR/1\n";
    out += "placement=";
    appendString(out, ir.placement);
    out += "\nsystem=";
    appendString(out, ir.system);
    out += "\nsystem_hash=";
    out += toHex16(ir.system_hash);
    out += "\npolicy=";
    out += policyName(ir.policy);
    out += "\ndeterminism=";
    out += determinismName(ir.determinism);
    out += "\ndevices=";
    appendNumber(out, ir.devices.size());
    out += '\n';
    for (const LoweredDevice* device : sortedById(ir.devices)) {
        appendDeviceLine(out, *device);
    }
    out += "engines=";
    appendNumber(out, ir.engines.size());
    out += '\n';
    for (const LoweredEngine* engine : sortedById(ir.engines)) {
        appendEngineLine(out, *engine);
    }
    return out;
}

std::uint64_t placementHash(const PlacementIR& ir) {
    return StableHash::of(canonicalPlacementText(ir));
}

} // namespace Core::Placement
