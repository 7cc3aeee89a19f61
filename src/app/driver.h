// The command-line run as a function, so it can be tested and fuzzed in-process.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "app/pipeline.h"
#include "orchestration/system_spec.h"

namespace Core::App {

/// The command-line arguments after the program name.
[[nodiscard]] std::vector<std::string> arguments(int argc, char** argv);

/// One run of the tool: the report on `out` and exit status 0, or one error
/// line on `err` and exit status 1.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

/// The tool's work on one file, against `system` and `inputs`, with `title`
/// as the report's first line: the report on `out` and status 0, or one
/// error line on `err` and status 1. The companion's deploy is this same call.
int deploy(const std::string& path, const Orchestration::SystemSpec& system,
           const ResolutionInputs& inputs, std::string_view title, std::ostream& out,
           std::ostream& err);
/// The same on the file at `path`, named `name` in messages.
int deploy(const std::string& path, const std::string& name,
           const Orchestration::SystemSpec& system, const ResolutionInputs& inputs,
           std::string_view title, std::ostream& out, std::ostream& err);

} // namespace Core::App
