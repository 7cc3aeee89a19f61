// The placement parser: one placement text to one PlacementSpec, or to its
// header and a stream of blocks.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "placement/document.h"
#include "placement/lexer.h"

namespace Core::Placement {

/// The longest placement text: one byte more and the 32-bit column just past
/// the last byte could wrap.
inline constexpr std::uint64_t kMaxPlacementBytes = 0xFFFFFFFEULL;

/// A text longer than kMaxPlacementBytes, refused before any of it is read:
/// "placement file is too large: " + its file name.
class PlacementTooLarge : public std::runtime_error {
  public:
    explicit PlacementTooLarge(const std::string& file)
        : std::runtime_error("placement file is too large: " + file) {}
};

/// Receives a placement's blocks in file order as the parser reads them, so
/// that a caller keeps only what it needs of a wide file.
class PlacementBlockSink {
  public:
    virtual void device(DeviceSpec&& device) = 0;
    virtual void defaults(EngineDefaults&& defaults) = 0;
    virtual void engine(EnginePlacement&& engine) = 0;

  protected:
    PlacementBlockSink() = default;
    PlacementBlockSink(const PlacementBlockSink&) = default;
    PlacementBlockSink& operator=(const PlacementBlockSink&) = default;
    ~PlacementBlockSink() = default;
};

/// Parses the whole text; `file` names it in every location. Throws the
/// first ParseError, or PlacementTooLarge for a text whose positions would
/// not fit; no partial document is returned.
[[nodiscard]] PlacementSpec parsePlacement(std::string_view text, std::string file);

/// The same parse, handing every block to `blocks` as soon as it is read
/// (duplicate names still fail the parse). Returns the header: every field
/// but the three block lists, which stay empty. After a ParseError the sink
/// may have received the blocks before the error.
[[nodiscard]] PlacementSpec parsePlacement(std::string_view text, std::string file,
                                           PlacementBlockSink& blocks);

} // namespace Core::Placement
