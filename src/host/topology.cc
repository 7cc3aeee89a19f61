// Usable processors, their NUMA nodes and the CPU model, through hwloc.
#include "host/topology.h"

#include "host/host_files.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <hwloc.h>
#include <memory>
#include <new>
#include <sched.h>
#include <string_view>
#include <system_error>

namespace Core::Host {
namespace {

struct TopologyDeleter {
    void operator()(hwloc_topology* topology) const { hwloc_topology_destroy(topology); }
};
struct BitmapDeleter {
    void operator()(hwloc_bitmap_s* bitmap) const { hwloc_bitmap_free(bitmap); }
};
using Topology = std::unique_ptr<hwloc_topology, TopologyDeleter>;
using Bitmap = std::unique_ptr<hwloc_bitmap_s, BitmapDeleter>;

Bitmap copyOf(hwloc_const_bitmap_t bitmap) {
    Bitmap copy(hwloc_bitmap_dup(bitmap));
    if (!copy) {
        throw std::bad_alloc();
    }
    return copy;
}

/// hwloc's bitmap operations fail only when they cannot allocate; a set
/// left half-filled must not be counted.
void check(int status) {
    if (status < 0) {
        throw std::bad_alloc();
    }
}

std::string errnoText() { return std::generic_category().message(errno); }

// Topologies of the largest machines are a few megabytes of XML.
constexpr std::size_t kMaxTopologyBytes = std::size_t{64} << 20U;

Topology loadFailed(const std::string& source, std::vector<std::string>& notes) {
    notes.push_back("cannot load " + source + " (" + errnoText() + ")");
    return nullptr;
}

/// The topology of this machine, or of the XML file; null with a note when
/// hwloc cannot build it.
Topology loadTopology(const std::optional<std::filesystem::path>& xml,
                      std::vector<std::string>& notes) {
    const std::string source = xml ? "the topology file '" + xml->string() + "'"
                                   : std::string("this machine's topology");
    hwloc_topology_t raw = nullptr;
    if (hwloc_topology_init(&raw) != 0) {
        notes.push_back("cannot start hwloc (" + errnoText() + ")");
        return nullptr;
    }
    Topology topology(raw);
    if (xml) {
        // hwloc would block on a FIFO and read a device without end, so the
        // file is read here, as a regular file of bounded size.
        const HostFile file = readHostFile(AT_FDCWD, xml->string(), kMaxTopologyBytes);
        if (!file.text) {
            notes.push_back("cannot use " + source + " (" + file.failure + ")");
            return nullptr;
        }
        // With its terminating NUL, as hwloc's own export gives it.
        if (hwloc_topology_set_xmlbuffer(raw, file.text->c_str(),
                                         static_cast<int>(file.text->size() + 1)) != 0) {
            notes.push_back("cannot use " + source + " (" + errnoText() + ")");
            return nullptr;
        }
        return hwloc_topology_load(raw) == 0 ? std::move(topology) : loadFailed(source, notes);
    }
    if (hwloc_topology_load(raw) != 0) {
        return loadFailed(source, notes);
    }
    return topology;
}

/// Processors in this process's CPU affinity, as sched_getaffinity gives them,
/// growing the set until the kernel's CPU count fits.
std::optional<std::uint32_t> affinityCount() {
    constexpr int kMostCpus = 1 << 20;
    for (int cpus = 1024; cpus <= kMostCpus; cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(static_cast<std::size_t>(cpus));
        if (set == nullptr) {
            throw std::bad_alloc();
        }
        const std::size_t size = CPU_ALLOC_SIZE(static_cast<std::size_t>(cpus));
        const int status = sched_getaffinity(0, size, set);
        const int error = errno;
        // Counted only when the call filled the set.
        const int count = status == 0 ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (status == 0) {
            return static_cast<std::uint32_t>(count);
        }
        if (error != EINVAL) {
            break;
        }
    }
    return std::nullopt;
}

std::optional<std::string> trimmedInfo(hwloc_obj_t object, const char* name) {
    const char* value = hwloc_obj_get_info_by_name(object, name);
    if (value == nullptr) {
        return std::nullopt;
    }
    // x86 model strings come padded with blanks, which would otherwise enter
    // the device's name.
    std::string_view text(value);
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    text = text.substr(first, text.find_last_not_of(' ') - first + 1);
    return std::string(text);
}

std::optional<std::string> cpuModel(hwloc_topology_t topology, hwloc_const_cpuset_t usable) {
    hwloc_obj_t package = nullptr;
    while ((package = hwloc_get_next_obj_by_type(topology, HWLOC_OBJ_PACKAGE, package)) !=
           nullptr) {
        if (hwloc_bitmap_intersects(package->cpuset, usable) != 0) {
            if (std::optional<std::string> model = trimmedInfo(package, "CPUModel")) {
                return model;
            }
        }
    }
    // Some platforms describe the processor on the machine object instead.
    return trimmedInfo(hwloc_get_root_obj(topology), "CPUModel");
}

std::uint32_t weight(hwloc_const_bitmap_t bitmap) {
    const int count = hwloc_bitmap_weight(bitmap);
    return count < 0 ? 0U : static_cast<std::uint32_t>(count);
}

} // namespace

HostTopology probeTopology(const std::optional<std::filesystem::path>& xml,
                           std::vector<std::string>& notes) {
    HostTopology result;
    const Topology topology = loadTopology(xml, notes);
    if (!topology) {
        const std::optional<std::uint32_t> count = affinityCount();
        result.logical_processors = count.value_or(1);
        notes.push_back(count ? "without a topology, logical_processors is this process's CPU "
                                "affinity and numa_nodes is 1"
                              : "without a topology or CPU affinity, logical_processors and "
                                "numa_nodes are 1");
        return result;
    }
    hwloc_topology_t raw = topology.get();

    const Bitmap allowed = copyOf(hwloc_topology_get_topology_cpuset(raw));
    check(hwloc_bitmap_and(allowed.get(), allowed.get(), hwloc_topology_get_allowed_cpuset(raw)));
    const Bitmap usable = copyOf(allowed.get());
    if (hwloc_topology_is_thissystem(raw) != 0) {
        const Bitmap binding = copyOf(allowed.get());
        if (hwloc_get_cpubind(raw, binding.get(), HWLOC_CPUBIND_PROCESS) == 0) {
            check(hwloc_bitmap_and(usable.get(), usable.get(), binding.get()));
        } else {
            notes.push_back("cannot read this process's CPU binding (" + errnoText() +
                            "), so every allowed processor counts");
        }
        if (hwloc_bitmap_iszero(usable.get()) != 0) {
            notes.push_back("this process's CPU binding holds no allowed processor, so every "
                            "allowed processor counts");
            check(hwloc_bitmap_copy(usable.get(), allowed.get()));
        }
    }
    result.logical_processors = weight(usable.get());

    const Bitmap nodes = copyOf(hwloc_topology_get_allowed_nodeset(raw));
    check(hwloc_cpuset_to_nodeset(raw, usable.get(), nodes.get()));
    check(hwloc_bitmap_and(nodes.get(), nodes.get(), hwloc_topology_get_allowed_nodeset(raw)));
    // A machine without NUMA structure still has its memory in one node.
    result.numa_nodes = std::max(weight(nodes.get()), 1U);

    result.cpu_model = cpuModel(raw, usable.get());
    return result;
}

} // namespace Core::Host
