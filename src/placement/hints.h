// Hints that name the fix for a refused placement. The stages compute them
// beside the rules they explain, when a caller asks for them; each is one
// short line, a note beside the issue it explains.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_order.h"
#include "common/near_words.h"
#include "placement/lexer.h"

namespace Core::Placement {

/// Notes on issues, keyed by an issue's path and message: the stages sort
/// their issues after finding them, so a note cannot ride along by position.
class IssueNotes {
  public:
    void add(std::string_view path, std::string_view message, std::string note);
    /// The notes on the issue with this path and message, in the order added.
    [[nodiscard]] std::span<const std::string> of(std::string_view path,
                                                  std::string_view message) const;
    [[nodiscard]] bool empty() const noexcept { return notes_.empty(); }

  private:
    std::map<std::string, std::vector<std::string>, ByteLess> notes_;
};

/// The block that would declare a device called `name`, its kind guessed
/// from the name: "device gpu1 { kind: cuda; selector: { index: 1; }; }",
/// "device cpu0 { kind: cpu; }".
[[nodiscard]] std::string declarationFor(std::string_view name);

/// Notes for a parse error: the nearest valid word ("did you mean 'policy'?")
/// or the valid ones, the units a size needs, a byte-order mark at the start.
[[nodiscard]] std::vector<std::string> parseErrorNotes(const ParseError& error);

} // namespace Core::Placement
