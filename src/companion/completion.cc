// The completion scripts. Each shell gets the same facts: the subcommands
// with their summaries, each subcommand's options with the words or files
// their values take, the operands by position, and the options that may
// stand before the subcommand.
#include "companion/completion.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <map>
#include <stdexcept>
#include <utility>

namespace Core::Companion {
namespace {

/// `text` as one word for a POSIX shell (bash and zsh alike).
std::string shellQuoted(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

/// `text` as one word for fish, whose single quotes take \' and \\.
std::string fishQuoted(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "'";
}

std::string joined(const std::vector<std::string>& words, std::string_view separator = " ") {
    std::string text;
    for (const std::string& word : words) {
        if (!text.empty()) {
            text += separator;
        }
        text += word;
    }
    return text;
}

/// A name shells take for a function: the program's name with anything but
/// letters, digits and '_' made '_'.
std::string identifier(std::string_view name) {
    std::string id(name);
    for (char& c : id) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0) {
            c = '_';
        }
    }
    return id;
}

/// Every option that takes a value, once, with the words and files of all the
/// subcommands that take it: what completes before the subcommand.
std::vector<CompletedOption> leadingValueOptions(const CompletedProgram& program) {
    std::vector<CompletedOption> merged;
    for (const CompletedCommand& command : program.commands) {
        for (const CompletedOption& option : command.options) {
            if (!option.takes_value) {
                continue;
            }
            auto same = std::find_if(merged.begin(), merged.end(), [&](const CompletedOption& m) {
                return m.names == option.names;
            });
            if (same == merged.end()) {
                merged.push_back(option);
                continue;
            }
            if (same->help != option.help) {
                same->help = "as after the subcommand";
            }
            for (const std::string& word : option.values.words) {
                if (std::find(same->values.words.begin(), same->values.words.end(), word) ==
                    same->values.words.end()) {
                    same->values.words.push_back(word);
                }
            }
            for (const std::string& extension : option.values.extensions) {
                if (std::find(same->values.extensions.begin(), same->values.extensions.end(),
                              extension) == same->values.extensions.end()) {
                    same->values.extensions.push_back(extension);
                }
            }
        }
    }
    for (CompletedOption& option : merged) {
        std::sort(option.values.words.begin(), option.values.words.end());
    }
    return merged;
}

/// The options that complete before the subcommand: the program's own, then
/// those it moves after the subcommand.
std::vector<CompletedOption> leadingOptions(const CompletedProgram& program) {
    std::vector<CompletedOption> options = program.options;
    for (CompletedOption& option : leadingValueOptions(program)) {
        options.push_back(std::move(option));
    }
    return options;
}

std::vector<std::string> optionNames(const std::vector<CompletedOption>& options) {
    std::vector<std::string> names;
    for (const CompletedOption& option : options) {
        names.insert(names.end(), option.names.begin(), option.names.end());
    }
    return names;
}

std::vector<std::string> commandNames(const CompletedProgram& program) {
    std::vector<std::string> names;
    for (const CompletedCommand& command : program.commands) {
        names.push_back(command.name);
    }
    return names;
}

// ---- bash -----------------------------------------------------------------

/// The call that offers `hint` for the word being completed.
std::string bashOffer(const std::string& function, const ValueHint& hint) {
    std::string call = function + "_offer \"$cur\" " + shellQuoted(joined(hint.words));
    for (const std::string& extension : hint.extensions) {
        call += ' ' + shellQuoted(extension);
    }
    return call;
}

/// A case branch per option of `options` that takes a value, offering it.
std::string bashValueCases(const std::string& function, const std::vector<CompletedOption>& options,
                           std::string_view indent) {
    std::string text;
    for (const CompletedOption& option : options) {
        if (option.takes_value) {
            text += std::string(indent) + joined(option.names, " | ") + ") " +
                    bashOffer(function, option.values) + " ;;\n";
        }
    }
    return text;
}

std::string bashScript(const CompletedProgram& program) {
    const std::string function = "_" + identifier(program.name);
    const std::vector<CompletedOption> leading = leadingOptions(program);
    std::vector<std::string> valueOptions;
    for (const CompletedOption& option : leadingValueOptions(program)) {
        valueOptions.insert(valueOptions.end(), option.names.begin(), option.names.end());
    }
    std::string text = "# bash completion for " + program.name + ", written by '" + program.name +
                       " completion bash'.\n\n";
    text += "# Offers the words of $2 that begin with $1, and the files that end in one of\n"
            "# the further arguments, with folders to reach them.\n";
    text += function + "_offer() {\n"
            "    local cur=$1 words=$2 extension\n"
            "    shift 2\n"
            "    mapfile -t COMPREPLY < <(compgen -W \"$words\" -- \"$cur\")\n"
            "    if (($# > 0)); then\n"
            "        compopt -o filenames 2>/dev/null\n"
            "        for extension; do\n"
            "            mapfile -t -O \"${#COMPREPLY[@]}\" COMPREPLY \\\n"
            "                < <(compgen -f -X \"!*$extension\" -- \"$cur\")\n"
            "        done\n"
            "        mapfile -t -O \"${#COMPREPLY[@]}\" COMPREPLY < <(compgen -d -- \"$cur\")\n"
            "    fi\n"
            "}\n\n";
    text += function + "() {\n"
            "    local cur=${COMP_WORDS[COMP_CWORD]} prev=\n"
            "    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}\n"
            "    # bash splits --option=value at the '=': the value follows it.\n"
            "    if [[ $cur == = ]]; then\n"
            "        cur=\n"
            "    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then\n"
            "        prev=${COMP_WORDS[COMP_CWORD - 2]}\n"
            "    fi\n"
            "    # The subcommand is the first word that is neither an option nor an\n"
            "    # option's value; options may stand before it.\n"
            "    local command= operands=0 value= word i\n"
            "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
            "        word=${COMP_WORDS[i]}\n"
            "        if [[ $word == = ]]; then\n"
            "            value=1\n"
            "        elif [[ -n $value ]]; then\n"
            "            value=\n"
            "        else\n"
            "            case $word in\n";
    if (!valueOptions.empty()) {
        text += "            " + joined(valueOptions, " | ") + ") value=1 ;;\n";
    }
    text += "            -?*) ;;\n"
            "            *)\n"
            "                if [[ -z $command ]]; then command=$word; else operands=$((operands + 1)); fi\n"
            "                ;;\n"
            "            esac\n"
            "        fi\n"
            "    done\n\n";

    // The value of an option.
    text += "    case $prev in\n";
    if (!valueOptions.empty()) {
        text += "    " + joined(valueOptions, " | ") + ")\n"
                "        case $command in\n"
                "        \"\")\n"
                "            case $prev in\n" +
                bashValueCases(function, leading, "            ") +
                "            esac\n"
                "            ;;\n";
        for (const CompletedCommand& command : program.commands) {
            const std::string cases = bashValueCases(function, command.options, "            ");
            if (!cases.empty()) {
                text += "        " + command.name + ")\n"
                        "            case $prev in\n" + cases +
                        "            esac\n"
                        "            ;;\n";
            }
        }
        text += "        esac\n"
                "        return\n"
                "        ;;\n";
    }
    text += "    esac\n\n";

    // An option's name.
    text += "    if [[ $cur == -* ]]; then\n"
            "        case $command in\n"
            "        \"\") " + function + "_offer \"$cur\" " +
            shellQuoted(joined(optionNames(leading))) + " ;;\n";
    for (const CompletedCommand& command : program.commands) {
        text += "        " + command.name + ") " + function + "_offer \"$cur\" " +
                shellQuoted(joined(optionNames(command.options))) + " ;;\n";
    }
    text += "        esac\n"
            "        return\n"
            "    fi\n\n";

    // The subcommand, or an operand by its position.
    text += "    case $command in\n"
            "    \"\") " + bashOffer(function, ValueHint{commandNames(program), {}}) + " ;;\n";
    for (const CompletedCommand& command : program.commands) {
        if (command.operands.empty()) {
            continue;
        }
        text += "    " + command.name + ")\n"
                "        case $operands in\n";
        for (std::size_t i = 0; i < command.operands.size(); ++i) {
            const bool last = i + 1 == command.operands.size();
            const std::string position =
                last && command.last_operand_repeats ? "*" : std::to_string(i);
            text +=
                "        " + position + ") " + bashOffer(function, command.operands[i]) + " ;;\n";
        }
        text += "        esac\n"
                "        ;;\n";
    }
    text += "    esac\n"
            "}\n\n"
            "complete -F " + function + " " + program.name + "\n";
    return text;
}

// ---- zsh ------------------------------------------------------------------

/// An explanation in an _arguments spec, where ']' and '\' are quoted.
std::string zshExplanation(std::string_view help) {
    std::string text;
    for (const char c : help) {
        if (c == ']' || c == '[' || c == '\\') {
            text += '\\';
        }
        text += c;
    }
    return text;
}

/// Names a completion function per distinct hint and writes them all.
class ZshHints {
  public:
    explicit ZshHints(std::string prefix) : prefix_(std::move(prefix)) {}

    /// The action that completes `hint`: a function of its own, or nothing.
    std::string action(const ValueHint& hint) {
        if (hint.words.empty() && hint.extensions.empty()) {
            return " ";
        }
        const std::string key = joined(hint.words) + "|" + joined(hint.extensions);
        auto [found, added] = names_.try_emplace(key, prefix_ + std::to_string(names_.size() + 1));
        if (added) {
            std::string body = "  _alternative";
            if (!hint.words.empty()) {
                body += ' ' + shellQuoted("words:value:(" + joined(hint.words) + ")");
            }
            if (!hint.extensions.empty()) {
                std::vector<std::string> patterns;
                for (const std::string& extension : hint.extensions) {
                    patterns.push_back("*" + extension);
                }
                const std::string glob = patterns.size() == 1 ? patterns.front()
                                                              : "(" + joined(patterns, "|") + ")";
                body += ' ' + shellQuoted("files:file:_files -g \"" + glob + "(-.)\"");
            }
            functions_ += found->second + "() {\n" + body + "\n}\n\n";
        }
        return found->second;
    }

    const std::string& functions() const { return functions_; }

  private:
    std::string prefix_;
    std::map<std::string, std::string> names_;
    std::string functions_;
};

/// The _arguments specs of `options`, one a line, each ending in " \".
std::string zshOptionSpecs(const std::vector<CompletedOption>& options, ZshHints& hints,
                           std::string_view indent) {
    std::string text;
    for (const CompletedOption& option : options) {
        for (const std::string& name : option.names) {
            std::string spec;
            if (!option.takes_value) {
                // Help and version end the command line.
                spec = "(- *)" + name + "[" + zshExplanation(option.help) + "]";
            } else {
                spec = name + "=[" + zshExplanation(option.help) + "]:value:" +
                       hints.action(option.values);
            }
            text += std::string(indent) + shellQuoted(spec) + " \\\n";
        }
    }
    return text;
}

std::string zshScript(const CompletedProgram& program) {
    const std::string function = "_" + identifier(program.name);
    ZshHints hints(function + "_values_");
    std::string body;
    body += function + "() {\n"
            "  local curcontext=$curcontext state state_descr line ret=1\n"
            "  typeset -A opt_args\n"
            "  _arguments -C \\\n" +
            zshOptionSpecs(leadingOptions(program), hints, "    ") +
            "    '(-)1:subcommand:->subcommand' \\\n"
            "    '(-)*::argument:->argument' && ret=0\n"
            "  case $state in\n"
            "  subcommand)\n"
            "    local -a subcommands=(\n";
    for (const CompletedCommand& command : program.commands) {
        body += "      " + shellQuoted(command.name + ":" + command.summary) + "\n";
    }
    body += "    )\n"
            "    _describe -t subcommands subcommand subcommands && ret=0\n"
            "    ;;\n"
            "  argument)\n"
            "    curcontext=${curcontext%:*:*}:" + program.name + "-$words[1]:\n"
            "    case $words[1] in\n";
    for (const CompletedCommand& command : program.commands) {
        body += "    " + command.name + ")\n"
                "      _arguments \\\n" +
                zshOptionSpecs(command.options, hints, "        ");
        for (std::size_t i = 0; i < command.operands.size(); ++i) {
            const bool last = i + 1 == command.operands.size();
            const std::string position =
                last && command.last_operand_repeats ? "*" : std::to_string(i + 1);
            body += "        " +
                    shellQuoted(position + ":operand:" + hints.action(command.operands[i])) +
                    " \\\n";
        }
        body += "        && ret=0\n"
                "      ;;\n";
    }
    body += "    esac\n"
            "    ;;\n"
            "  esac\n"
            "  return ret\n"
            "}\n\n";
    return "#compdef " + program.name + "\n# zsh completion for " + program.name +
           ", written by '" + program.name + " completion zsh'.\n\n" + hints.functions() + body +
           "if [[ $funcstack[1] == " + function + " ]]; then\n"
           "  " + function + " \"$@\"\n"
           "else\n"
           "  compdef " + function + " " + program.name + "\n"
           "fi\n";
}

// ---- fish -----------------------------------------------------------------

/// The -a argument that offers `hint`, or nothing for a free value.
std::string fishArguments(const std::string& function, const ValueHint& hint) {
    std::vector<std::string> items = hint.words;
    for (const std::string& extension : hint.extensions) {
        std::string files = "(";
        files += function;
        files += "_files ";
        files += extension;
        files += ')';
        items.push_back(std::move(files));
    }
    return items.empty() ? std::string() : " -a " + fishQuoted(joined(items));
}

std::string fishOptionLines(const std::string& function, const std::string& head,
                            const std::vector<CompletedOption>& options) {
    std::string text;
    for (const CompletedOption& option : options) {
        std::string line = head;
        for (const std::string& name : option.names) {
            line += name.starts_with("--") ? " -l " + name.substr(2) : " -s " + name.substr(1);
        }
        if (option.takes_value) {
            line += " -x" + fishArguments(function, option.values);
        }
        text += line + " -d " + fishQuoted(option.help) + "\n";
    }
    return text;
}

std::string fishScript(const CompletedProgram& program) {
    const std::string function = "__" + identifier(program.name);
    std::vector<std::string> valueOptions;
    for (const CompletedOption& option : leadingValueOptions(program)) {
        valueOptions.insert(valueOptions.end(), option.names.begin(), option.names.end());
    }
    std::string text = "# fish completion for " + program.name + ", written by '" + program.name +
                       " completion fish'.\n\n";
    text += "# The subcommand on the line so far and how many operands follow it; nothing\n"
            "# before the subcommand. Options may stand before it.\n"
            "function " + function + "_position\n"
            "    set -l words (commandline -opc)\n"
            "    set -e words[1]\n"
            "    set -l command\n"
            "    set -l operands 0\n"
            "    set -l value 0\n"
            "    for word in $words\n"
            "        if test $value = 1\n"
            "            set value 0\n"
            "            continue\n"
            "        end\n"
            "        if contains -- $word " + joined(valueOptions) + "\n"
            "            set value 1\n"
            "        else if not string match -qr -- '^-.' $word\n"
            "            if test -z \"$command\"\n"
            "                set command $word\n"
            "            else\n"
            "                set operands (math $operands + 1)\n"
            "            end\n"
            "        end\n"
            "    end\n";
    text += "    test -n \"$command\"; and printf '%s\\n' $command $operands\n"
            "end\n\n"
            "function " + function + "_needs_subcommand\n"
            "    not " + function + "_position >/dev/null\n"
            "end\n\n"
            "# The files that end in one of the arguments, and folders to reach them.\n"
            "function " + function + "_files\n"
            "    set -l files \\\n"
            "        (complete -C \"__fish_command_without_completions \"(commandline -ct))\n"
            "    for suffix in $argv\n"
            "        string match -r -- '^.*'(string escape --style=regex -- $suffix)'$' $files\n"
            "    end\n"
            "    string match -r -- '^.*/$' $files\n"
            "end\n\n"
            "# True in SUBCOMMAND; with POSITION, also when the next operand is there\n"
            "# (counted from 0; N+ for N and after).\n"
            "function " + function + "_in\n"
            "    set -l position (" + function + "_position)\n"
            "    test \"$position[1]\" = \"$argv[1]\"; or return 1\n"
            "    set -q argv[2]; or return 0\n"
            "    if string match -q -- '*+' $argv[2]\n"
            "        test $position[2] -ge (string trim -r -c + -- $argv[2])\n"
            "    else\n"
            "        test $position[2] -eq $argv[2]\n"
            "    end\n"
            "end\n\n";
    const std::string complete = "complete -c " + program.name;
    text += complete + " -f\n\n";
    const std::string before = complete + " -n " + function + "_needs_subcommand";
    for (const CompletedCommand& command : program.commands) {
        text += before + " -a " + command.name + " -d " + fishQuoted(command.summary) + "\n";
    }
    text += fishOptionLines(function, before, leadingOptions(program));
    for (const CompletedCommand& command : program.commands) {
        text += "\n";
        const std::string in = complete + " -n " + fishQuoted(function + "_in " + command.name);
        text += fishOptionLines(function, in, command.options);
        for (std::size_t i = 0; i < command.operands.size(); ++i) {
            const std::string arguments = fishArguments(function, command.operands[i]);
            if (arguments.empty()) {
                continue;
            }
            const bool last = i + 1 == command.operands.size();
            std::string condition = function + "_in " + command.name + " " + std::to_string(i);
            if (last && command.last_operand_repeats) {
                condition += '+';
            }
            text += complete;
            text += " -n ";
            text += fishQuoted(condition);
            text += arguments;
            text += '\n';
        }
    }
    return text;
}

} // namespace

std::string completionScript(std::string_view shell, const CompletedProgram& program) {
    if (shell == "bash") {
        return bashScript(program);
    }
    if (shell == "zsh") {
        return zshScript(program);
    }
    if (shell == "fish") {
        return fishScript(program);
    }
    throw std::invalid_argument("no completion for the shell '" + std::string(shell) + "'");
}

} // namespace Core::Companion
