// The text renderings: diagnostics in the compilers' form, the explanation of
// a resolved placement, the inventory.
#include "app/report.h"
#include "companion/render.h"
#include "deployment/deployment.h"
#include "deployment/inventory_text.h"
#include "estimation/estimate.h"
#include "placement/ir.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace Core::Companion {
namespace {

std::string position(const SourceLocation& location) {
    return location.file.str() + ":" + std::to_string(location.line) + ":" +
           std::to_string(location.column);
}

void appendDiagnostic(std::string& text, const Diagnostic& diagnostic, std::string_view file) {
    text += diagnostic.location ? position(*diagnostic.location) : std::string(file);
    text += ": ";
    text += severityName(diagnostic.severity);
    text += ": ";
    text += diagnostic.message;
    if (!diagnostic.path.empty()) {
        text += " [" + diagnostic.path + "]";
    }
    text += '\n';
    for (const Diagnostic& note : diagnostic.notes) {
        appendDiagnostic(text, note, file);
    }
}

/// "123 bytes", with the size in a larger unit beside it from 1 KiB on.
std::string bytesText(std::uint64_t bytes) {
    std::string text = std::to_string(bytes) + " bytes";
    if (bytes >= 1024) {
        text += " (" + humanBytes(bytes) + ")";
    }
    return text;
}

/// How a term of a peak is shown.
std::string_view termLabel(std::string_view term) {
    constexpr std::pair<std::string_view, std::string_view> kLabels[] = {
        {"weights", "weights"},
        {"adapter_weights", "adapter weights"},
        {"optimizer_state", "optimizer state"},
        {"kv_cache", "KV cache"},
        {"activations", "activations"},
        {"workspace", "workspace"},
        {"pool", "pool"},
        {"runtime_overhead", "runtime overhead"},
    };
    for (const auto& [name, label] : kLabels) {
        if (name == term) {
            return label;
        }
    }
    return term;
}

/// "1 session", "2 sessions".
std::string counted(std::uint64_t count, std::string_view thing) {
    return std::to_string(count) + " " + std::string(thing) + (count == 1 ? "" : "s");
}

std::string padded(std::string text, std::size_t width) {
    if (text.size() < width) {
        text.append(width - text.size(), ' ');
    }
    return text;
}

void appendEngine(std::string& text, const Placement::LoweredEngine& engine,
                  const std::vector<Estimation::WorkloadRequirement>& workload) {
    text += "  " + engine.id + ": class " + std::string(engineClassName(engine.kind)) +
            ", residency " + std::string(Placement::residencyName(engine.residency)) +
            ", priority " + std::string(Placement::priorityName(engine.priority)) + ", device " +
            engine.device.value_or("-") + "\n";
    const auto requirement =
        std::find_if(workload.begin(), workload.end(),
                     [&engine](const Estimation::WorkloadRequirement& r) { return r.engine == engine.id; });
    if (requirement == workload.end()) {
        return;
    }
    const std::optional<Estimation::PeakBreakdown> breakdown =
        Estimation::peakBreakdown(*requirement);
    if (!breakdown) {
        return;
    }
    for (const Estimation::PeakTerm& term : breakdown->terms) {
        std::string line = "    " + padded(std::string(termLabel(term.name)), 18) + bytesText(term.bytes);
        if (term.name == "kv_cache") {
            line += " = " + std::to_string(term.range.high) + " x " +
                    counted(term.multiplier, "session");
        } else if (term.name == "activations" || term.name == "workspace") {
            line += " = " + std::to_string(term.range.high) + " x " +
                    counted(term.multiplier, "concurrent execution");
        }
        if (term.range.kind == Estimation::EstimateKind::range && term.range.low != term.range.high) {
            line += ", range " + std::to_string(term.range.low) + "-" +
                    std::to_string(term.range.high) + ", the high end counted";
        }
        text += line + "\n";
    }
    text += "    " + padded("peak", 18) + bytesText(breakdown->peak) + "\n";
}

/// Control bytes from a driver or the kernel written as JSON writes them
/// (\n, \u001b, ...), so that a device name cannot move the cursor or end a
/// line; `quoted` escapes '"' and '\\' too, for text between double quotes,
/// and `keepLineFeeds` leaves the line feeds that end a text's lines.
std::string escaped(std::string_view text, bool quoted, bool keepLineFeeds = false) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c == '"' || c == '\\') && quoted) {
            out += '\\';
            out += c;
        } else if (byte >= 0x20 || (c == '\n' && keepLineFeeds)) {
            out += c;
        } else if (const std::size_t named = std::string_view("\b\f\n\r\t").find(c);
                   named != std::string_view::npos) {
            out += '\\';
            out += "bfnrt"[named];
        } else {
            constexpr std::string_view kHex = "0123456789abcdef";
            out += "\\u00";
            out += kHex[byte >> 4U];
            out += kHex[byte & 0xFU];
        }
    }
    return out;
}

} // namespace

std::string diagnosticsText(const std::vector<Diagnostic>& diagnostics, std::string_view file) {
    std::string text;
    for (const Diagnostic& diagnostic : diagnostics) {
        appendDiagnostic(text, diagnostic, file);
    }
    return text;
}

std::string explanationText(const PlacementRun& run, std::string_view reportTitle) {
    const Placement::DeploymentResult& deployment = *run.result.deployment;
    const Placement::PlacementIR& ir = *deployment.ir;
    const Placement::DeploymentReport& report = deployment.report;
    std::string text = App::formatReport(ir, report, reportTitle);

    text += "\nengines, each with the terms of its peak\n";
    for (const Placement::LoweredEngine& engine : ir.engines) {
        appendEngine(text, engine, run.detail.workload);
    }

    const std::vector<Placement::FitStep>& steps = run.detail.resolution.first_fit.steps;
    if (ir.policy == Placement::PlacementPolicy::first_fit) {
        text += "\nfirst fit, pinned engines first, then the largest peak\n";
        std::size_t number = 0;
        for (const Placement::FitStep& step : steps) {
            text += "  " + std::to_string(++number) + ". " + padded(step.engine, 22) +
                    bytesText(step.peak) + (step.pinned ? ", pinned" : "") + " -> " +
                    step.device.value_or("-") + ", " + bytesText(step.headroom) + " left\n";
        }
    }

    text += "\ndevice budgets\n";
    for (const Placement::DeviceBudget& budget : report.budgets) {
        text += "  " + budget.device + " on " + budget.physical_device + ": usable " +
                bytesText(budget.usable) + ", total " + std::to_string(budget.total) +
                ", available " +
                (budget.available ? std::to_string(*budget.available) : std::string("-")) +
                ", reserve " + std::to_string(budget.reserve) + "\n";
        std::string sum;
        for (const Placement::EngineAssignment& assignment : report.assignments) {
            if (assignment.device == budget.device) {
                sum += (sum.empty() ? " = " : " + ") + assignment.engine + " " +
                       std::to_string(assignment.peak);
            }
        }
        text += "    requested " + bytesText(budget.requested) + sum + "\n";
        text += "    headroom  " + bytesText(budget.headroom) + "\n";
    }
    return text;
}

std::string inventoryText(const Placement::ResourceInventory& inventory, std::string_view label) {
    const std::string canonical = Placement::canonicalInventoryText(inventory);
    std::string text = "inventory: " + std::string(label) + "\n";
    text += "hardware_fingerprint=" + std::to_string(Placement::hardwareFingerprint(inventory)) + "\n";
    text += "os " + escaped(inventory.os, false) + ", " +
            counted(inventory.logical_processors, "logical processor") + ", " +
            counted(inventory.numa_nodes, "NUMA node") + "\n";
    text += "devices\n";
    for (const Placement::InventoryDevice& device : inventory.devices) {
        text += "  " + escaped(device.id, false) + " (" +
                std::string(Placement::deviceKindName(device.kind));
        if (device.index) {
            text += " index " + std::to_string(*device.index);
        }
        text +=
            ") \"" + escaped(device.name, true) + "\": usable " +
            bytesText(Placement::usableMemory(device)) + ", total " +
            std::to_string(device.total_bytes) + ", available " +
            (device.available_bytes ? std::to_string(*device.available_bytes) : std::string("-")) +
            "\n";
    }
    text += "canonical text (" + std::to_string(canonical.size()) + " bytes)\n" +
            escaped(canonical, false, true);
    return text;
}

} // namespace Core::Companion
