// Loads a system file with the installed library and resolves a placement
// against it and its workload, as `talvex_composite deploy --system` does:
// the report, or the file's problems, or one error line.
#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include "app/pipeline.h"
#include "app/report.h"
#include "deployment/inventory.h"
#include "orchestration/canonical_bytes.h"
#include "system_file/system_file.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: system_resolve <system.toml> <file.cplace>\n";
        return 2;
    }
    const Core::SystemFile::LoadedSystem loaded = Core::SystemFile::loadSystemFile(argv[1]);
    if (!loaded.readable()) {
        for (const Core::SystemFile::Finding& finding : loaded.findings) {
            std::cerr << finding.location.file << ':' << finding.location.line << ':'
                      << finding.location.column << ": " << finding.message << '\n';
        }
        return 1;
    }
    std::cout << "system_hash=" << Core::Orchestration::systemHash(loaded.system) << '\n';
    try {
        std::ifstream file(argv[2], std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        const Core::App::PipelineResult result = Core::App::resolvePlacement(
            text.str(), argv[2], loaded.system, Core::Placement::portableInventoryFixture(),
            Core::SystemFile::workloadRequirements(loaded));
        if (const std::optional<std::string> problem = Core::App::refusal(result)) {
            std::cerr << "deployment example: " << *problem << '\n';
            return 1;
        }
        std::cout << Core::App::formatReport(*result.deployment->ir, result.deployment->report);
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "deployment example: " << error.what() << '\n';
        return 1;
    }
}
