// generate_checkpoint: writes a sharded checkpoint folder for timing the
// reading of its safetensors headers. Usage: generate_checkpoint SHARDS TENSORS FOLDER
#include "checkpoint_generator.h"

#include <charconv>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string_view>

namespace {

bool count(std::string_view text, std::uint64_t& value) {
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
    return parsed.ec == std::errc() && parsed.ptr == text.data() + text.size() && value > 0;
}

} // namespace

int main(int argc, char** argv) {
    std::uint64_t shards = 0;
    std::uint64_t tensors = 0;
    if (argc != 4 || !count(argv[1], shards) || !count(argv[2], tensors) || tensors < shards) {
        std::cerr << "usage: generate_checkpoint SHARDS TENSORS FOLDER\n"
                     "TENSORS BF16 tensors in SHARDS shards (no more shards than tensors), with\n"
                     "their index and a config.json, written into FOLDER.\n";
        return 2;
    }
    try {
        const Core::Bench::GeneratedCheckpoint made =
            Core::Bench::writeCheckpoint(argv[3], shards, tensors);
        std::cout << made.bytes << " bytes of tensors described by " << made.jsonBytes
                  << " bytes of headers and index\n";
    } catch (const std::exception& error) {
        std::cerr << "generate_checkpoint: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
