// Where a construct was written. Shared by the placement language and the
// orchestration graph, so it lives below both.
#pragma once

#include <cstdint>

#include "common/shared_string.h"

namespace Core {

/// A position in a named text; line and column count from 1 in parsed text
/// (columns in bytes). Records built in code carry an empty file and 0, 0.
/// Every location of one parse shares its file name.
struct SourceLocation {
    SharedString file;
    std::uint32_t line = 0;
    std::uint32_t column = 0;

    friend bool operator==(const SourceLocation&, const SourceLocation&) = default;
};

} // namespace Core
