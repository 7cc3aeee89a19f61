// Resolves a placement file in-process with the installed library and prints
// what the tool would: the report, or one error line and exit status 1.
#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "app/pipeline.h"
#include "app/report.h"
#include "deployment/inventory.h"
#include "estimation/estimators.h"
#include "orchestration/example_system.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: consumer <file.cplace>\n";
        return 1;
    }
    const std::string path = argv[1];
    try {
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            throw std::runtime_error("cannot open placement file: " + path);
        }
        std::ostringstream text;
        text << file.rdbuf();

        const Core::App::PipelineResult result = Core::App::resolvePlacement(
            text.str(), path, Core::Orchestration::buildExampleSystem(),
            Core::Placement::portableInventoryFixture(), Core::Estimation::compositeWorkload());
        if (const std::optional<std::string> problem = Core::App::refusal(result)) {
            std::cerr << "deployment example: " << *problem << '\n';
            return 1;
        }
        std::cout << Core::App::formatReport(*result.deployment->ir, result.deployment->report);
        return 0;
    } catch (const Core::Placement::ParseError& error) {
        std::cerr << "deployment example: " << error.text() << '\n';
    } catch (const std::exception& error) {
        std::cerr << "deployment example: " << error.what() << '\n';
    }
    return 1;
}
