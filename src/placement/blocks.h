// Block parsers of the placement grammar. Each is called on the token after
// the block's keyword and returns on the token after its closing brace.
#pragma once

#include "common/source_location.h"
#include "placement/document.h"
#include "placement/lexer.h"

namespace Core::Placement {

[[nodiscard]] DeviceSpec parseDeviceBlock(PlacementParser& parser, SourceLocation keyword);
[[nodiscard]] EngineDefaults parseDefaultsBlock(PlacementParser& parser, SourceLocation keyword);
[[nodiscard]] EnginePlacement parseEngineBlock(PlacementParser& parser, SourceLocation keyword);
[[nodiscard]] ModelSpec parseModelBlock(PlacementParser& parser);
[[nodiscard]] MemorySpec parseMemoryBlock(PlacementParser& parser);

} // namespace Core::Placement
