// The command-line run as a function, so it can be tested and fuzzed in-process.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace Core::App {

/// The command-line arguments after the program name.
[[nodiscard]] std::vector<std::string> arguments(int argc, char** argv);

/// One run of the tool: the report on `out` and exit status 0, or one error
/// line on `err` and exit status 1.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace Core::App
