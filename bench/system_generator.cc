// The text of a chain system: ids padded to seven digits, so that id order is
// chain order, as in the validation benchmarks.
#include "system_generator.h"

#include <array>
#include <charconv>

namespace Core::Bench {
namespace {

void appendId(std::string& text, char prefix, std::uint64_t i) {
    std::array<char, 24> digits{};
    const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), i);
    const auto length = static_cast<std::size_t>(result.ptr - digits.data());
    text += prefix;
    text.append(length < 7 ? 7 - length : 0, '0');
    text.append(digits.data(), length);
}

} // namespace

std::string generateChainSystem(std::uint64_t engines) {
    std::string text = "# " + std::to_string(engines) + " engines in one loop\nid = \"chain\"\n";
    for (std::uint64_t i = 0; i < engines; ++i) {
        text += "\n[[engines]]\nid = \"";
        appendId(text, 'e', i);
        text += "\"\nclass = \"sync\"\nsemantic_api_version = 1\n"
                "ports = [{ id = \"in\", direction = \"input\", schema = \"Vector/1\", "
                "shape = [2], dtype = \"f32\" }, { id = \"out\", direction = \"output\", "
                "schema = \"Vector/1\", shape = [2], dtype = \"f32\" }]\n"
                "workload = { sync = { neurons = 2 } }\n";
    }
    for (std::uint64_t i = 0; i < engines; ++i) {
        const std::uint64_t next = i + 1 == engines ? 0 : i + 1;
        text += "\n[[connections]]\nid = \"";
        appendId(text, 'c', i);
        text += "\"\nfrom = \"";
        appendId(text, 'e', i);
        text += ".out\"\nto = \"";
        appendId(text, 'e', next);
        text += ".in\"\n";
        if (next == 0) {
            text += "delay = 1\n";
        }
        text += "queue_capacity = 4\noverflow_policy = 1\n";
    }
    return text;
}

} // namespace Core::Bench
