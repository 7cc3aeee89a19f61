// The text renderings: diagnostics in the compilers' form, the explanation of
// a resolved placement and the budgets of a refused one, the inventory.
#include "app/report.h"
#include "common/identifier.h"
#include "common/byte_order.h"
#include "companion/explanation.h"
#include "companion/render.h"
#include "deployment/deployment.h"
#include "deployment/inventory_text.h"
#include "estimation/estimate.h"
#include "orchestration/canonical_bytes.h"
#include "placement/ir.h"

#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace Core::Companion {
namespace {

std::string position(const SourceLocation& location) {
    return location.file.str() + ":" + std::to_string(location.line) + ":" +
           std::to_string(location.column);
}

constexpr std::string_view kReset = "\x1b[0m";
constexpr std::string_view kBold = "\x1b[1m";
constexpr std::string_view kCaretColour = "\x1b[1;32m";

std::string_view severityColour(Severity severity) {
    switch (severity) {
    case Severity::error:
        return "\x1b[1;31m";
    case Severity::warning:
        return "\x1b[1;35m";
    case Severity::note:
        break;
    }
    return "\x1b[1;36m";
}

/// The lines of a text that diagnostics point at, found in one pass.
class SourceLines {
  public:
    SourceLines(std::string_view source, const std::vector<Diagnostic>& diagnostics)
        : source_(source) {
        if (source.empty()) {
            return;
        }
        for (const Diagnostic& diagnostic : diagnostics) {
            want(diagnostic);
            for (const Diagnostic& note : diagnostic.notes) {
                want(note);
            }
        }
        auto wanted = lines_.begin();
        std::uint32_t number = 1;
        std::size_t start = 0;
        while (wanted != lines_.end() && start <= source.size()) {
            const std::size_t newline = source.find('\n', start);
            const std::size_t end = newline == std::string_view::npos ? source.size() : newline;
            if (wanted->first == number) {
                wanted->second = source.substr(start, end - start);
                ++wanted;
            }
            if (newline == std::string_view::npos) {
                break;
            }
            start = newline + 1;
            ++number;
        }
    }

    [[nodiscard]] std::optional<std::string_view> line(std::uint32_t number) const {
        const auto found = lines_.find(number);
        if (found == lines_.end() || !found->second) {
            return std::nullopt;
        }
        return found->second;
    }

  private:
    void want(const Diagnostic& diagnostic) {
        if (diagnostic.location) {
            lines_.try_emplace(diagnostic.location->line);
        }
    }

    std::string_view source_;
    std::map<std::uint32_t, std::optional<std::string_view>> lines_;
};

/// How many bytes from `column` the token there spans: a word or number,
/// a quoted string, or one character.
std::size_t tokenWidth(std::string_view line, std::size_t offset) {
    if (offset >= line.size()) {
        return 1;
    }
    const char first = line[offset];
    std::size_t end = offset + 1;
    if (isIdentifierByte(first)) {
        while (end < line.size() && isIdentifierByte(line[end])) {
            ++end;
        }
    } else if (first == '"') {
        while (end < line.size() && line[end] != '"') {
            end += line[end] == '\\' ? 2 : 1;
        }
        end = std::min(line.size(), end + 1);
    } else {
        while (end < line.size() && (static_cast<unsigned char>(line[end]) & 0xC0U) == 0x80U) {
            ++end;
        }
    }
    return end - offset;
}

/// "    3 |   policy: frist_fit;" and "      |           ^~~~~~~~~": the
/// line, its control bytes shown as '?', a long one cut around the column.
void appendExcerpt(std::string& text, std::string_view line, std::uint32_t lineNumber,
                   std::uint32_t column, bool colour) {
    constexpr std::size_t kContext = 80;
    std::size_t offset = std::min<std::size_t>(column - 1, line.size());
    std::size_t from = offset > kContext ? offset - kContext : 0;
    while (from > 0 && (static_cast<unsigned char>(line[from]) & 0xC0U) == 0x80U) {
        --from; // never start inside a character
    }
    const std::size_t to = std::min(line.size(), offset + kContext);
    const std::size_t width = std::min(tokenWidth(line, offset), to > offset ? to - offset : 1);
    std::string shown = from > 0 ? "..." : "";
    std::string under(shown.size(), ' ');
    for (std::size_t i = from; i < to; ++i) {
        const auto byte = static_cast<unsigned char>(line[i]);
        const bool continuation = (byte & 0xC0U) == 0x80U;
        shown += byte == '\t' || byte >= 0x20U ? (byte == 0x7FU ? '?' : line[i]) : '?';
        if (i < offset && !continuation) {
            under += byte == '\t' ? '\t' : ' ';
        }
    }
    if (to < line.size()) {
        shown += "...";
    }
    std::size_t marks = 0;
    for (std::size_t i = offset; i < offset + width && i < line.size(); ++i) {
        marks += (static_cast<unsigned char>(line[i]) & 0xC0U) == 0x80U ? 0 : 1;
    }
    const std::string number = std::to_string(lineNumber);
    const std::string gutter(number.size() + 5, ' ');
    text += std::string(4, ' ') + number + " | " + shown + "\n";
    text += gutter + "| " + under;
    if (colour) {
        text += kCaretColour;
    }
    text += '^';
    text.append(marks > 1 ? marks - 1 : 0, '~');
    if (colour) {
        text += kReset;
    }
    text += "\n";
}

void appendDiagnostic(std::string& text, const Diagnostic& diagnostic, std::string_view file,
                      const SourceLines& lines, bool colour,
                      const std::optional<SourceLocation>& owner) {
    if (colour) {
        text += kBold;
    }
    text += diagnostic.location ? position(*diagnostic.location) : std::string(file);
    text += ": ";
    if (colour) {
        text += kReset;
        text += severityColour(diagnostic.severity);
    }
    text += severityName(diagnostic.severity);
    text += ": ";
    if (colour) {
        text += kReset;
        text += kBold;
    }
    text += diagnostic.message;
    if (colour) {
        text += kReset;
    }
    if (!diagnostic.path.empty()) {
        text += " [" + diagnostic.path + "]";
    }
    text += '\n';
    // A note at its error's position needs no second excerpt.
    const bool sameAsOwner = owner && diagnostic.location &&
                             owner->line == diagnostic.location->line &&
                             owner->column == diagnostic.location->column;
    if (diagnostic.location && !sameAsOwner) {
        if (const std::optional<std::string_view> line = lines.line(diagnostic.location->line)) {
            appendExcerpt(text, *line, diagnostic.location->line, diagnostic.location->column,
                          colour);
        }
    }
    for (const Diagnostic& note : diagnostic.notes) {
        appendDiagnostic(text, note, file, lines, colour, diagnostic.location);
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

/// "3 sessions"; "any number of sessions" at the largest a count holds.
std::string upTo(std::uint32_t count, std::string_view thing) {
    return count == std::numeric_limits<std::uint32_t>::max()
               ? "any number of " + std::string(thing) + "s"
               : counted(count, thing);
}

/// The terms of a workload's peak and the peak, or why it has none.
void appendTerms(std::string& text, const WorkloadExplanation& workload) {
    if (workload.estimate_error) {
        text += "    no estimate: " + *workload.estimate_error + "\n";
        return;
    }
    if (!workload.peak) {
        text += "    no peak: the estimate overflows with these counts\n";
        return;
    }
    for (const TermExplanation& entry : workload.terms) {
        const Estimation::PeakTerm& term = entry.term;
        std::string line = "    " + padded(std::string(entry.label), 18) + bytesText(term.bytes);
        if (!entry.per.empty()) {
            line += " = " + std::to_string(term.range.high) + " x " +
                    counted(term.multiplier, entry.per);
        }
        if (term.range.kind == Estimation::EstimateKind::range && term.range.low != term.range.high) {
            line += ", range " + std::to_string(term.range.low) + "-" +
                    std::to_string(term.range.high) + ", the high end counted";
        }
        text += line + "\n";
    }
    text += "    " + padded("peak", 18) + bytesText(*workload.peak) + "\n";
}

void appendEngine(std::string& text, const EngineExplanation& engine) {
    text += "  " + engine.id + ": class " + std::string(engineClassName(engine.kind)) +
            ", residency " + std::string(Placement::residencyName(engine.residency)) +
            ", priority " + std::string(Placement::priorityName(engine.priority)) + ", device " +
            engine.device.value_or("-") + "\n";
    if (!engine.workload) {
        return;
    }
    if (engine.workload->parameters && engine.workload->active_parameters) {
        // A mixture of experts holds more than a token uses.
        text += "    " + counted(*engine.workload->parameters, "parameter") + ", " +
                std::to_string(*engine.workload->active_parameters) + " active for each token\n";
    }
    appendTerms(text, *engine.workload);
    if (engine.growth) {
        const Estimation::WorkloadLimits& limits = engine.growth->limits;
        text += "    most that fits on " + engine.growth->device + ", the rest held: " +
                upTo(limits.sessions, "session") + ", " +
                upTo(limits.concurrency, "concurrent execution");
        if (limits.contextLength) {
            text += ", a context of " + counted(*limits.contextLength, "token");
            if (limits.contextAtModelLimit) {
                text += ", the model's limit";
            }
        }
        text += "\n";
    }
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

/// "  cpu0 on example-cpu: usable ..., total ..., available ..., reserve ...".
std::string budgetLine(const Placement::DeviceBudget& budget) {
    return "  " + budget.device + " on " + budget.physical_device + ": usable " +
           bytesText(budget.usable) + ", total " + std::to_string(budget.total) + ", available " +
           (budget.available ? std::to_string(*budget.available) : std::string("-")) +
           ", reserve " + std::to_string(budget.reserve) + "\n";
}

} // namespace

std::string diagnosticsText(const std::vector<Diagnostic>& diagnostics, std::string_view file,
                            DiagnosticStyle style) {
    const SourceLines lines(style.source, diagnostics);
    std::string text;
    for (const Diagnostic& diagnostic : diagnostics) {
        appendDiagnostic(text, diagnostic, file, lines, style.colour, std::nullopt);
    }
    return text;
}

std::string explanationText(const PlacementRun& run, const std::vector<EngineExplanation>& engines,
                            std::string_view reportTitle) {
    const Placement::DeploymentResult& deployment = *run.result.deployment;
    const Placement::PlacementIR& ir = *deployment.ir;
    const Placement::DeploymentReport& report = deployment.report;
    std::string text = App::formatReport(ir, report, reportTitle);

    text += "\nengines, each with the terms of its peak\n";
    for (const EngineExplanation& engine : engines) {
        appendEngine(text, engine);
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
        text += budgetLine(budget);
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

std::string refusalText(const RefusedPlan& refused) {
    const RefusalFigures& figures = refused.figures;
    if (figures.budgets.empty() && figures.unplaced.empty()) {
        return {};
    }
    std::string text = "device budgets of the refused plan, as far as resolution got\n";
    std::map<std::string_view, std::string, ByteLess> sums;
    for (const Placement::EngineAssignment& assignment : figures.assignments) {
        std::string& sum = sums[assignment.device];
        sum += (sum.empty() ? " = " : " + ") + assignment.engine + " " +
               std::to_string(assignment.peak);
    }
    for (const Placement::DeviceBudget& budget : figures.budgets) {
        text += budgetLine(budget);
        const auto sum = sums.find(budget.device);
        text += "    requested " + bytesText(budget.requested) +
                (sum != sums.end() ? sum->second : std::string()) + "\n";
        const std::uint64_t over = bytesOver(budget);
        text += over > 0 ? "    over      " + bytesText(over) + "\n"
                         : "    headroom  " + bytesText(budget.headroom) + "\n";
    }
    if (!figures.unplaced.empty()) {
        text += "not placed by first fit\n";
        for (const auto& [engine, peak] : figures.unplaced) {
            text += "  " + padded(engine, 22) + bytesText(peak) + "\n";
        }
    }
    return text;
}

std::string systemText(const SystemSource& system,
                       const std::vector<SystemEngineExplanation>& engines, std::size_t errors) {
    const Orchestration::SystemSpec& spec = system.spec();
    const std::uint64_t hash = Orchestration::systemHash(spec);
    std::string text = "system " + spec.id;
    if (system.file() != nullptr) {
        text += " (" + system.file()->file + ")";
    }
    text += "\nsystem_hash=" + std::to_string(hash) + " (" + Placement::toHex16(hash) + ")\n";
    text += counted(spec.engines.size(), "engine") + ", " + counted(spec.adapters.size(), "adapter") +
            ", " + counted(spec.connections.size(), "connection") + "; ";
    text += errors == 0 ? "no problems\n"
                        : counted(errors, "problem") + ", shown on standard error\n";
    text += "\nengines, each with the terms of its peak\n";
    for (const SystemEngineExplanation& entry : engines) {
        const Orchestration::EngineSpec& engine = *entry.engine;
        text += "  " + engine.id + ": class " + std::string(engineClassName(engine.engine_class)) +
                ", profile " + (engine.profile.empty() ? "-" : engine.profile) + ", " +
                counted(engine.ports.size(), "port") + "\n";
        if (!entry.workload) {
            text += "    no workload\n";
            continue;
        }
        const WorkloadExplanation& workload = *entry.workload;
        std::string counts = "    " + counted(workload.sessions, "session") + ", " +
                             counted(workload.concurrency, "concurrent execution");
        if (workload.training) {
            counts += ", training";
        }
        if (workload.context_length) {
            counts += ", a context of " + counted(*workload.context_length, "token");
        }
        if (workload.parameters) {
            counts += ", " + counted(*workload.parameters, "parameter");
        }
        if (workload.active_parameters) {
            counts += ", " + std::to_string(*workload.active_parameters) + " active for each token";
        }
        if (workload.model_config) {
            counts += ", figures from " + *workload.model_config;
        }
        if (workload.checkpoint) {
            counts += ", figures and weights from checkpoint " + *workload.checkpoint;
        }
        text += counts + "\n";
        appendTerms(text, workload);
    }
    return text;
}

std::string fitText(const std::vector<MachineFit>& fits) {
    std::string text;
    std::size_t fitting = 0;
    for (const MachineFit& fit : fits) {
        text += fit.file + ": ";
        if (!fit.problems.empty()) {
            text += "error: " + fit.problems.front() + "\n";
            continue;
        }
        const std::string fingerprint = "fingerprint " + std::to_string(fit.hardware_fingerprint);
        if (!fit.fits) {
            text += "refused, " + fingerprint + ": " + fit.refusal.value_or("-") + "\n";
            continue;
        }
        ++fitting;
        text += "fits, " + fingerprint;
        if (fit.tightest) {
            text += ", tightest " + fit.tightest->device + " on " + fit.tightest->physical_device +
                    " with " + bytesText(fit.tightest->headroom) + " of headroom";
        }
        text += "\n";
    }
    return text + std::to_string(fitting) + " of " + counted(fits.size(), "machine") +
           (fitting == 1 ? " fits" : " fit") + " the plan\n";
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
