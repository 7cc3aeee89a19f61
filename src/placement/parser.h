// The placement parser: one placement text to one PlacementSpec, or to its
// header and a stream of blocks.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

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

/// A recovering parse stops after this many errors: past them a file is
/// rarely a placement at all.
inline constexpr std::size_t kMaxParseErrors = 100;

/// Every parse error of a text, for a caller that shows them all at once.
struct PlacementParseErrors {
    /// In the order the parse met them; the first is the one parsePlacement
    /// throws. Empty when the text parses.
    std::vector<ParseError> errors;
    /// True when the parse stopped at kMaxParseErrors.
    bool stopped_early = false;
};

/// Parses the whole text, and after an error resynchronises (at the next
/// ';' or '}' of the field's block, or at the next top-level block where a
/// block's '}' is missing) and goes on. One fault gives one error: what
/// recovery skips is not reported again, nor are checks that follow from a
/// broken block. Throws only PlacementTooLarge.
[[nodiscard]] PlacementParseErrors collectParseErrors(std::string_view text, std::string file);

} // namespace Core::Placement
