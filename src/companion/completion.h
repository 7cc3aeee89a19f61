// Shell completion for talvex_composite: scripts for bash, zsh and fish,
// written from a plain description of the subcommands and their options, so
// that they cannot fall out of step with the command that describes itself.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace Core::Companion {

/// What a shell offers for a value: these words, and files ending in one of
/// the extensions (with folders, to reach them).
struct ValueHint {
    std::vector<std::string> words;
    std::vector<std::string> extensions; ///< ".cplace"
};

struct CompletedOption {
    std::vector<std::string> names; ///< "-h", "--help"
    std::string help;
    bool takes_value = false;
    ValueHint values;
};

struct CompletedCommand {
    std::string name;
    std::string summary;
    std::vector<CompletedOption> options;
    std::vector<ValueHint> operands; ///< one per position
    bool last_operand_repeats = false;
};

struct CompletedProgram {
    std::string name;
    /// The options of the program itself. Every option of a subcommand that
    /// takes a value may also stand before the subcommand.
    std::vector<CompletedOption> options;
    std::vector<CompletedCommand> commands;
};

inline constexpr std::array<std::string_view, 3> kShells = {"bash", "zsh", "fish"};

/// The completion script for `shell`, one of kShells.
std::string completionScript(std::string_view shell, const CompletedProgram& program);

} // namespace Core::Companion
