// A machine read from a JSON file: the document `inventory --format json`
// writes, or one written by hand for a machine that is not at hand. Every
// problem names the JSON pointer of its value; a file with any problem gives
// no inventory, so that nothing is answered from half a machine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "deployment/inventory.h"

namespace Core::Companion {

struct InventoryFileProblem {
    std::string message; ///< "/devices/1/total_bytes: ...", or a syntax error's text
    /// A JSON syntax error's position; 0 for a problem of content.
    std::uint32_t line = 0;
    std::uint32_t column = 0;
    std::vector<std::string> notes;
};

struct InventoryFile {
    /// Present exactly when `problems` is empty.
    std::optional<Placement::ResourceInventory> inventory;
    std::vector<InventoryFileProblem> problems;
    /// Derived keys (`hardware_fingerprint`, `canonical_text`, `usable_bytes`)
    /// that disagree with the rest of the file, which wins.
    std::vector<std::string> notes;
};

[[nodiscard]] InventoryFile parseInventoryJson(std::string_view json);

/// The file at `path`; one that cannot be read is a problem, not an exception.
[[nodiscard]] InventoryFile readInventoryFile(const std::string& path);

} // namespace Core::Companion
