// The placement parser: one placement text to one PlacementSpec.
#pragma once

#include <string>
#include <string_view>

#include "placement/document.h"
#include "placement/lexer.h"

namespace Core::Placement {

/// Parses the whole text; `file` names it in every location. Throws the
/// first ParseError; no partial document is returned.
[[nodiscard]] PlacementSpec parsePlacement(std::string_view text, std::string file);

} // namespace Core::Placement
