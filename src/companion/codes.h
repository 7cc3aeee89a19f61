// The stable code of every rule a diagnostic can report, so that programs
// need not match English text, and the help each gives where nothing more
// particular is known. One table: the README's and the manual page's list
// of codes is this table (a test keeps them in step).
#pragma once

#include <span>
#include <string_view>

namespace Core::Companion {

struct DiagnosticRule {
    std::string_view code;    ///< "P010": a letter for the stage, three digits
    std::string_view message; ///< the message, or the part before the name or figure it names
    bool prefix = false;      ///< true when `message` is the start of the messages of the rule
    std::string_view help;    ///< one line on what the rule wants
};

/// Every rule, grouped by stage.
[[nodiscard]] std::span<const DiagnosticRule> diagnosticRules();

/// The rule a message comes from: the exact message first, else the longest
/// prefix. Null for a message no rule knows (how a system file is written:
/// its TOML, keys and types, and its model configs).
[[nodiscard]] const DiagnosticRule* ruleOf(std::string_view message);

} // namespace Core::Companion
