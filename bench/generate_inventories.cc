// generate_inventories: writes COUNT machines of 8 GPUs each as inventory
// files into a folder, for timing `talvex_composite fit` over a fleet. Every
// machine differs (its ids and free memory), so none is resolved twice.
// Usage: generate_inventories COUNT FOLDER
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

int main(int argc, char** argv) {
    std::uint64_t count = 0;
    const std::string_view written = argc == 3 ? argv[1] : "";
    const auto parsed = std::from_chars(written.data(), written.data() + written.size(), count);
    if (argc != 3 || parsed.ec != std::errc() || parsed.ptr != written.data() + written.size()) {
        std::cerr << "usage: generate_inventories COUNT FOLDER\n";
        return 2;
    }
    const std::filesystem::path folder = argv[2];
    std::error_code code;
    std::filesystem::create_directories(folder, code);
    constexpr std::uint64_t kGiB = 1073741824ULL;
    for (std::uint64_t m = 0; m < count; ++m) {
        // Appended piece by piece: GCC 12 warns falsely on chains of string +.
        std::string machine = "m";
        machine += std::to_string(m);
        std::string text = "{\n  \"host\": { \"os\": \"Linux 6.1 x86_64\", \"logical_processors\": 64 },\n"
                           "  \"devices\": [\n    { \"id\": \"";
        text += machine;
        text += "-cpu\", \"kind\": \"cpu\", \"total_bytes\": ";
        text += std::to_string(512 * kGiB);
        text += " }";
        for (int g = 0; g < 8; ++g) {
            text += ",\n    { \"id\": \"";
            text += machine;
            text += "-gpu-";
            text += std::to_string(g);
            text += "\", \"name\": \"80 GiB GPU\", \"kind\": \"cuda\", \"total_bytes\": ";
            text += std::to_string(80 * kGiB);
            text += ", \"available_bytes\": ";
            text += std::to_string(80 * kGiB - (m % 4096) * 1048576);
            text += ", \"compute_major\": 9, \"compute_minor\": 0 }";
        }
        text += "\n  ]\n}\n";
        std::ofstream file(folder / (machine + ".json"), std::ios::binary | std::ios::trunc);
        file << text;
        if (!file) {
            std::cerr << "generate_inventories: cannot write into " << folder << '\n';
            return 1;
        }
    }
    return 0;
}
