// A JSON document read with nlohmann/json, keeping where its keys stand, so
// that a problem of a model config is shown at its line and column. Reading
// refuses what a DOM would silently take or could not hold: a key given twice
// in one object, and nesting past a bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/text_position.h"

namespace Core::JsonText {

// nlohmann's move asserts its invariants, which the analyser takes for a throw.
struct JsonDocument { // NOLINT(bugprone-exception-escape)
    nlohmann::json root;
    /// Where each key's opening quote stands, by the JSON pointer of its
    /// value ("/text_config/vocab_size"), for keys down to `keyDepth`.
    std::unordered_map<std::string, TextPosition> keyPositions;
};

struct JsonReadError {
    std::string message;
    std::size_t offset = 0; ///< one past the last byte read
};

struct JsonReadResult {
    std::optional<JsonDocument> document;
    JsonReadError error; ///< meaningful when `document` is absent
};

/// Reads `text` whole. Keys of objects nested up to `keyDepth` deep (1: the
/// top object's) have their offsets kept.
[[nodiscard]] JsonReadResult readJsonDocument(std::string_view text, std::size_t maxDepth,
                                              std::size_t keyDepth);

} // namespace Core::JsonText
