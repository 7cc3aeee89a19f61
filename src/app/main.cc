// Entry point: everything but the process boundary lives in the driver.
#include <iostream>

#include "app/driver.h"

int main(int argc, char** argv) {
    return Core::App::run(Core::App::arguments(argc, argv), std::cout, std::cerr);
}
