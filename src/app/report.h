// The report of a resolved deployment, as printed on standard output.
#pragma once

#include <string>
#include <string_view>

#include "deployment/deployment.h"
#include "placement/ir.h"

namespace Core::App {

/// The report's first line when it was resolved against the portable fixture.
inline constexpr std::string_view kPortableReportTitle =
    "Resolved deployment (portable inventory fixture)";

/// The title line, the two hashes, one line per engine of `ir` in its order
/// and one line per budget; every line ends with a newline.
[[nodiscard]] std::string formatReport(const Placement::PlacementIR& ir,
                                       const Placement::DeploymentReport& report,
                                       std::string_view title = kPortableReportTitle);

} // namespace Core::App
