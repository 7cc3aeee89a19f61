// Large placement texts for the benchmarks and for generate_placement: the
// same bytes whether they are lexed in-process or written to a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Core::Bench {

enum class PlacementShape {
    comments,   ///< one sensory-sync block of commented residency and priority lines
    mixed,      ///< the same block of comment lines, fields with comments and bare fields
    dense,      ///< the same fields without comments or white space
    wide,       ///< distinct device blocks plus engine blocks for engines not in the graph
    wideFields, ///< the same blocks, each with the fields a real block has (twice the bytes)
};

/// "comments", "mixed", "dense", "wide" or "wide-fields".
[[nodiscard]] std::optional<PlacementShape> shapeNamed(std::string_view name);

/// A size in bytes written as digits with an optional unit B, KiB, MiB or
/// GiB ("100MiB", "4096"); a count for the wide shape takes no unit.
[[nodiscard]] std::optional<std::uint64_t> parseAmount(std::string_view text, bool unitAllowed);

/// A first_fit placement with a cpu and a cuda index 0 device that resolves
/// like the worked example; a sensory-sync block of commented lines fills it
/// to exactly `bytes` (never less than the fixed frame around them).
[[nodiscard]] std::string commentHeavyPlacement(std::uint64_t bytes);

/// The same frame and size, its block repeating a comment line, a field with
/// a trailing comment and a bare field: about 40 % of the bytes are comments.
[[nodiscard]] std::string mixedPlacement(std::uint64_t bytes);

/// The same placement with only the white space that separates two words; at
/// most `bytes` long and less than one field pair short of it.
[[nodiscard]] std::string densePlacement(std::uint64_t bytes);

struct WideBlocks {
    bool fields =
        false; ///< a reserve in each device block, a residency and priority in each engine block
    bool engines = true; ///< false: the device blocks alone, and the placement resolves no engine
};

/// `count` cpu device blocks of distinct names and `count` engine blocks
/// naming engines the graph does not have: lowering refuses it with one issue
/// per engine block.
[[nodiscard]] std::string widePlacement(std::uint64_t count, WideBlocks blocks = {});

/// `amount` is a byte size for comments, mixed and dense, a block count for the wide shapes.
[[nodiscard]] std::string generatePlacement(PlacementShape shape, std::uint64_t amount);

} // namespace Core::Bench
