// generate_system: writes a large system file for timing talvex_composite as
// a whole process. Usage: generate_system ENGINES [OUTPUT]
#include <charconv>
#include <cstdint>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

#include "system_generator.h"

int main(int argc, char** argv) {
    std::uint64_t engines = 0;
    const std::string_view count = argc > 1 ? argv[1] : "";
    const auto parsed = std::from_chars(count.data(), count.data() + count.size(), engines);
    if ((argc != 2 && argc != 3) || parsed.ec != std::errc() ||
        parsed.ptr != count.data() + count.size() || engines == 0) {
        std::cerr << "usage: generate_system ENGINES [OUTPUT]\n"
                     "ENGINES engines in one loop, as many connections; without OUTPUT the\n"
                     "text goes to standard output.\n";
        return 2;
    }
    try {
        const std::string text = Core::Bench::generateChainSystem(engines);
        std::ofstream file;
        if (argc == 3) {
            file.open(argv[2], std::ios::binary | std::ios::trunc);
        }
        std::ostream& out = argc == 3 ? file : std::cout;
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) {
            std::cerr << "generate_system: cannot write " << (argc == 3 ? argv[2] : "standard output")
                      << '\n';
            return 1;
        }
    } catch (const std::exception& error) {
        std::cerr << "generate_system: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
