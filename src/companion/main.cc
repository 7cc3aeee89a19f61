// Entry point of talvex_composite: everything but the process boundary lives
// in the companion library.
#include <iostream>

#include "app/driver.h"
#include "companion/companion.h"

int main(int argc, char** argv) {
    return Core::Companion::run(Core::App::arguments(argc, argv), std::cout, std::cerr,
                                Core::Host::hostProbeOptionsFromEnvironment());
}
