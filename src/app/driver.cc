#include "app/driver.h"

#include <ostream>

namespace Core::App {

std::vector<std::string> arguments(int argc, char** argv) {
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{};
}

int run(const std::vector<std::string>&, std::ostream&, std::ostream&) { return 0; }

} // namespace Core::App
