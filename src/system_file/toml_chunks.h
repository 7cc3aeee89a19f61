// Where a large system file may be cut so that toml++ parses it a piece at a
// time: toml++ builds a tree several times the size of the text it reads, so
// the tree of a whole file of 100,000 engines would dwarf the records made of
// it. The cuts fall only before a top-level [[engines]], [[adapters]] or
// [[connections]] header; the reader parses the whole file at once instead
// whenever a piece turns out not to stand on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace Core::SystemFile {

struct TomlChunk {
    std::size_t begin = 0;    ///< byte offset of its first line
    std::uint32_t line = 1;   ///< that line's number
    /// The array its header opens ("engines", ...); empty for the piece
    /// before the first cut, which holds the file's own keys.
    std::string_view array;
};

/// Consecutive pieces covering `text`, each at least about `targetBytes`
/// long unless an array changes; one piece when the text has no cut.
[[nodiscard]] std::vector<TomlChunk> tomlChunks(std::string_view text, std::size_t targetBytes);

} // namespace Core::SystemFile
