// Resolves a placement file against this machine, as the README's embedding
// example does: the composite workload and the host probe as the resolution's
// inputs, through the installed talvex::core_app and talvex::core_host. Prints
// what `talvex_composite deploy --inventory host` prints: the report, or one
// error line and exit status 1.
#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "app/pipeline.h"
#include "app/report.h"
#include "estimation/estimators.h"
#include "host/probe.h"
#include "orchestration/example_system.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: host_resolve <file.cplace>\n";
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

        const Core::App::ResolutionInputs inputs{Core::Estimation::compositeWorkload, [] {
            return Core::Host::probeHostInventory(Core::Host::hostProbeOptionsFromEnvironment())
                .inventory;
        }};
        const Core::App::PipelineResult result = Core::App::resolvePlacement(
            text.str(), path, Core::Orchestration::buildExampleSystem(), inputs);
        if (const std::optional<std::string> problem = Core::App::refusal(result)) {
            std::cerr << "deployment example: " << *problem << '\n';
            return 1;
        }
        std::cout << Core::App::formatReport(*result.deployment->ir, result.deployment->report,
                                             "Resolved deployment (host inventory)");
        return 0;
    } catch (const Core::Placement::ParseError& error) {
        std::cerr << "deployment example: " << error.text() << '\n';
    } catch (const std::exception& error) {
        std::cerr << "deployment example: " << error.what() << '\n';
    }
    return 1;
}
