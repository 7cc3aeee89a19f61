// generate_placement: writes a large placement file for timing the tool as a
// whole process. Usage: generate_placement comments|mixed|dense SIZE [OUTPUT]
//                       generate_placement wide|wide-fields COUNT [OUTPUT]
#include <cstdint>
#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "placement_generator.h"

namespace {

constexpr std::string_view kUsage =
    "usage: generate_placement comments|mixed|dense SIZE [OUTPUT]\n"
    "       generate_placement wide|wide-fields COUNT [OUTPUT]\n"
    "SIZE is bytes, or a number with B, KiB, MiB or GiB (100MiB); COUNT is the number\n"
    "of device blocks and of engine blocks. Without OUTPUT the text goes to standard output.\n";

bool write(std::ostream& out, const std::string& text) {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::cerr << kUsage;
        return 2;
    }
    const std::optional<Core::Bench::PlacementShape> shape = Core::Bench::shapeNamed(argv[1]);
    const bool counted = shape == Core::Bench::PlacementShape::wide ||
                         shape == Core::Bench::PlacementShape::wideFields;
    const std::optional<std::uint64_t> amount =
        shape ? Core::Bench::parseAmount(argv[2], !counted) : std::nullopt;
    if (!amount) {
        std::cerr << kUsage;
        return 2;
    }
    try {
        const std::string text = Core::Bench::generatePlacement(*shape, *amount);
        if (argc == 3) {
            if (!write(std::cout, text)) {
                std::cerr << "generate_placement: cannot write standard output\n";
                return 1;
            }
            return 0;
        }
        std::ofstream file(argv[3], std::ios::binary | std::ios::trunc);
        if (!file || !write(file, text)) {
            std::cerr << "generate_placement: cannot write " << argv[3] << '\n';
            return 1;
        }
    } catch (const std::exception& error) {
        std::cerr << "generate_placement: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
