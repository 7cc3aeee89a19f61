// The report of a resolved deployment, as printed on standard output.
#pragma once

#include <string>

#include "deployment/deployment.h"
#include "placement/ir.h"

namespace Core::App {

/// The title line, the two hashes, one line per engine of `ir` in its order
/// and one line per budget; every line ends with a newline.
[[nodiscard]] std::string formatReport(const Placement::PlacementIR& ir,
                                       const Placement::DeploymentReport& report);

} // namespace Core::App
