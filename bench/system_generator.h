// Large system files for the benchmarks and for timing talvex_composite as a
// whole process.
#pragma once

#include <cstdint>
#include <string>

namespace Core::Bench {

/// A valid system file of `engines` sync engines in one loop, each feeding
/// the next; the connection back to the first has a delay, so the loop has a
/// state boundary. Each engine has an input and an output port and a
/// workload; every element is an array-of-tables entry of its own.
[[nodiscard]] std::string generateChainSystem(std::uint64_t engines);

} // namespace Core::Bench
