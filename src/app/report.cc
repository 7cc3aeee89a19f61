// Formatting of the report; the values come from resolution unchanged.
#include "app/report.h"

namespace Core::App {

std::string formatReport(const Placement::PlacementIR& ir,
                         const Placement::DeploymentReport& report, std::string_view title) {
    std::string text(title);
    text += '\n';
    text += "placement_hash=" + std::to_string(report.placement_hash) +
            " hardware_fingerprint=" + std::to_string(report.hardware_fingerprint) + "\n";
    for (const Placement::LoweredEngine& engine : ir.engines) {
        // A resolved IR gives every engine a device.
        text += engine.id + " -> " + engine.device.value_or("") + "\n";
    }
    for (const Placement::DeviceBudget& budget : report.budgets) {
        text += budget.device + " requested=" + std::to_string(budget.requested) +
                " usable=" + std::to_string(budget.usable) +
                " headroom=" + std::to_string(budget.headroom) + "\n";
    }
    return text;
}

} // namespace Core::App
