// The companion command, talvex_composite, as a function of its arguments and
// two output streams, so that it can be tested and fuzzed in-process.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "host/probe.h"

namespace Core::Companion {

/// Exit statuses: 0 success, 1 a placement refused or an issue found, 2 a
/// mistake on the command line (with a short usage on `err`).
inline constexpr int kSuccess = 0;
inline constexpr int kRefused = 1;
inline constexpr int kUsageError = 2;

/// One run of talvex_composite; `args` come after the program name. With
/// --inventory host the machine is probed with `probe`.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const Host::HostProbeOptions& probe);

} // namespace Core::Companion
