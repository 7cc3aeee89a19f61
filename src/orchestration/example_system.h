// The fixed three-engine composite system every placement is lowered against.
#pragma once

#include <string>

#include "orchestration/system_spec.h"

namespace Core::Orchestration {

/// A port with the example's shared shape: Vector/1, [2], dtype 6, clock 1.
[[nodiscard]] PortSpec makePort(std::string id, PortDirection direction);

[[nodiscard]] SystemSpec buildExampleSystem();

} // namespace Core::Orchestration
