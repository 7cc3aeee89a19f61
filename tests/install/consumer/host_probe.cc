// Probes this machine with the installed host library and prints the
// inventory's canonical text, then the probe's notes on standard error: proof
// that the package brings hwloc and the dynamic loader with talvex::core_host.
#include <exception>
#include <iostream>
#include <string>

#include "deployment/inventory_text.h"
#include "host/probe.h"

int main() {
    try {
        const Core::Host::HostProbe probe =
            Core::Host::probeHostInventory(Core::Host::hostProbeOptionsFromEnvironment());
        std::cout << Core::Placement::canonicalInventoryText(probe.inventory);
        for (const std::string& note : probe.notes) {
            std::cerr << "note: " << note << '\n';
        }
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "host probe: " << error.what() << '\n';
    }
    return 1;
}
