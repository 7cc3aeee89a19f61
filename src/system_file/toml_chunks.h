// Where a large system file may be cut so that toml++ parses it a piece at a
// time: toml++ builds a tree several times the size of the text it reads, so
// the tree of a whole file of 100,000 engines would dwarf the records made of
// it. The cuts fall only before a top-level [[engines]], [[adapters]] or
// [[connections]] header; the reader parses the whole file at once instead
// whenever a piece turns out not to stand on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "system_file/system_file.h"

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

/// The file read piece by piece, so that only one piece's tree is ever held;
/// absent when it is small, has no cut, or a piece does not stand on its own
/// (a syntax error, or a key outside its array), and parseSystemText then
/// reads it whole, so that toml++ judges it whole.
[[nodiscard]] std::optional<LoadedSystem>
readSystemTextInPieces(std::string_view text, const std::string& fileName,
                       const ConfigReader& readConfig, const CheckpointReader& readCheckpoint = {});

} // namespace Core::SystemFile
