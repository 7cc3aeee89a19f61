// The whole probe: inventories and canonical texts against a fixture tree, an
// XML topology and a fake GPU management library per scenario; the notes;
// CUDA's numbering; and a smoke run against this machine.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "deployment/inventory_text.h"
#include "fixture_tree.h"
#include "host/probe.h"

namespace Core::Host {
namespace {

using Placement::canonicalInventoryText;
using Placement::hardwareFingerprint;
using Placement::ResourceInventory;
using testing::FixtureTree;

const std::filesystem::path kTopologies = TALVEX_HOST_TOPOLOGIES;
constexpr std::uint64_t kGiB = 1ULL << 30U;
constexpr std::uint64_t kAvailable = 8000000ULL * 1024;

// GPU lines of the canonical text, as the fake libraries describe the GPUs.
constexpr char kA86Line[] = "cuda|40:GPU-8f3a6c1e-0b7d-4c55-9e21-6a0f4d2b9c10|12:Test GPU A86|"
                            "25769803776|8|6|3|14:bf16_candidate|4:fp16|4:fp32\n";
constexpr char kB80Line[] = "cuda|40:GPU-5b22e0f4-7c31-4d8e-a0b6-3e9d1c7f2a48|12:Test GPU B80|"
                            "85899345920|8|0|3|14:bf16_candidate|4:fp16|4:fp32\n";
constexpr char kT75Line[] = "cuda|40:GPU-aa11d3c2-95e7-4b0a-8f6d-2c4b7e1a9d35|12:Test GPU T75|"
                            "17179869184|7|5|2|4:fp16|4:fp32\n";
constexpr char kB80[] = "GPU-5b22e0f4-7c31-4d8e-a0b6-3e9d1c7f2a48";
constexpr char kT75[] = "GPU-aa11d3c2-95e7-4b0a-8f6d-2c4b7e1a9d35";

/// The text of the fixture host (two_sockets.xml, the fixture meminfo) with
/// these GPU lines, which sort before "host-cpu".
std::string expectedText(const std::string& cudaDriver, const std::vector<std::string>& gpuLines,
                         const std::string& peers, const std::string& transports) {
    std::string text = "TALVEX-RESOURCE-INVENTORY/1\n"
                       "os=23:Linux 6.1.0-test x86_64\n"
                       "logical_processors=32\n"
                       "numa_nodes=4\n"
                       "host_total=16710103040\n"
                       "cuda_driver=" +
                       cudaDriver + "\ndevices=" + std::to_string(gpuLines.size() + 1) + "\n";
    for (const std::string& line : gpuLines) {
        text += line;
    }
    return text +
           "cpu|8:host-cpu|26:Example Server CPU 16-Core|16710103040|-|-|1|11:host_memory\n" +
           peers + "transports=" + transports + "\n";
}

/// The CUDA devices of an inventory as (id, index), in inventory order.
std::vector<std::pair<std::string, std::optional<std::uint32_t>>>
cudaDevices(const ResourceInventory& inventory) {
    std::vector<std::pair<std::string, std::optional<std::uint32_t>>> devices;
    for (const Placement::InventoryDevice& device : inventory.devices) {
        if (device.kind == Placement::DeviceKind::cuda) {
            devices.emplace_back(device.id, device.index);
        }
    }
    return devices;
}

/// Keeps a fake library loaded across the probe's dlopen and dlclose, so its
/// call counts can be read afterwards.
class FakeLibrary {
  public:
    explicit FakeLibrary(const char* path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
        if (handle_ == nullptr) {
            throw std::runtime_error(std::string("cannot load the fake library ") + path);
        }
    }
    ~FakeLibrary() { dlclose(handle_); }
    FakeLibrary(const FakeLibrary&) = delete;
    FakeLibrary& operator=(const FakeLibrary&) = delete;
    FakeLibrary(FakeLibrary&&) = delete;
    FakeLibrary& operator=(FakeLibrary&&) = delete;

    /// How often the library was initialised and shut down.
    [[nodiscard]] std::pair<int, int> calls() const {
        using CallsFunction = void(int*, int*);
        auto* function = reinterpret_cast<CallsFunction*>(dlsym(handle_, "fakeNvmlCalls"));
        std::pair<int, int> counts{-1, -1};
        if (function != nullptr) {
            function(&counts.first, &counts.second);
        }
        return counts;
    }

  private:
    void* handle_;
};

class HostProbeTest : public ::testing::Test {
  protected:
    HostProbeTest() {
        tree.write({{"proc/meminfo", "MemTotal:       16318460 kB\n"
                                     "MemFree:         1000000 kB\n"
                                     "MemAvailable:    8000000 kB\n"},
                    {"proc/self/cgroup", "0::/\n"},
                    {"proc/self/mountinfo", "30 22 0:26 / /sys/fs/cgroup rw,relatime - cgroup2 "
                                            "cgroup2 rw\n"},
                    {"sys/fs/cgroup/cgroup.controllers", "cpu memory\n"}});
        options.root = tree.root();
        options.topology_xml = kTopologies / "two_sockets.xml";
        options.os = "Linux 6.1.0-test x86_64";
        options.cuda_device_order = "PCI_BUS_ID";
    }

    HostProbe probe(const char* library) {
        options.gpu_library = library;
        return probeHostInventory(options);
    }

    FixtureTree tree;
    HostProbeOptions options;
};

TEST_F(HostProbeTest, WithoutManagementLibraryOnlyTheHostIsListed) {
    const HostProbe result = probe("libtalvex-no-such-nvml.so.1");
    EXPECT_EQ(canonicalInventoryText(result.inventory),
              expectedText("-", {}, "peers=0\n", "1|in_process"));
    ASSERT_EQ(result.notes.size(), 1U);
    EXPECT_TRUE(result.notes[0].starts_with(
        "no GPU management library: cannot load 'libtalvex-no-such-nvml.so.1' ("))
        << result.notes[0];
    EXPECT_TRUE(result.notes[0].ends_with("), so no CUDA device is listed")) << result.notes[0];

    // The figures the text leaves out.
    const ResourceInventory& inventory = result.inventory;
    EXPECT_EQ(inventory.host_available, kAvailable);
    ASSERT_EQ(inventory.devices.size(), 1U);
    EXPECT_EQ(inventory.devices[0].id, kHostCpuId);
    EXPECT_EQ(inventory.devices[0].available_bytes, kAvailable);
    EXPECT_FALSE(inventory.devices[0].index.has_value());

    // A library that is there but is not the management library.
    EXPECT_EQ(probe("libm.so.6").notes,
              std::vector<std::string>{"'libm.so.6' has no nvmlInit_v2, so no CUDA device is listed"});
}

TEST_F(HostProbeTest, OneGpu) {
    const FakeLibrary library(FAKE_NVML_LIBRARY_ONE);
    const HostProbe result = probe(FAKE_NVML_LIBRARY_ONE);
    EXPECT_EQ(canonicalInventoryText(result.inventory),
              expectedText("12040", {kA86Line}, "peers=0\n", "1|in_process"));
    EXPECT_TRUE(result.notes.empty()) << ::testing::PrintToString(result.notes);

    ASSERT_EQ(result.inventory.devices.size(), 2U);
    EXPECT_EQ(result.inventory.devices[0].id, kHostCpuId);
    const Placement::InventoryDevice& gpu = result.inventory.devices[1];
    EXPECT_EQ(gpu.index, 0U);
    EXPECT_EQ(gpu.available_bytes, 20 * kGiB);
    EXPECT_EQ(library.calls(), std::pair(1, 1));

    // An unchanged machine gives the same fingerprint, however often it is probed.
    EXPECT_EQ(hardwareFingerprint(probe(FAKE_NVML_LIBRARY_ONE).inventory),
              hardwareFingerprint(result.inventory));
    EXPECT_EQ(library.calls(), std::pair(2, 2));
}

TEST_F(HostProbeTest, TwoGpusByPciBusWithPeerLink) {
    const HostProbe result = probe(FAKE_NVML_LIBRARY_TWO_PEER);
    const std::string peers =
        std::string("peers=1\n40:") + kB80 + "|40:" + kT75 + "|1\n";
    EXPECT_EQ(canonicalInventoryText(result.inventory),
              expectedText("12040", {kB80Line, kT75Line}, peers, "2|in_process|cuda_peer"));
    EXPECT_TRUE(result.notes.empty()) << ::testing::PrintToString(result.notes);
    // The library lists B80 first, but T75 sits on the lower PCI bus.
    EXPECT_EQ(cudaDevices(result.inventory),
              (std::vector<std::pair<std::string, std::optional<std::uint32_t>>>{{kT75, 0},
                                                                                 {kB80, 1}}));
    EXPECT_EQ(result.inventory.devices[1].available_bytes, 15 * kGiB);

    // In CUDA's default order different models may be numbered fastest first.
    options.cuda_device_order.reset();
    const HostProbe unordered = probe(FAKE_NVML_LIBRARY_TWO_PEER);
    EXPECT_EQ(unordered.inventory, result.inventory);
    EXPECT_EQ(unordered.notes,
              std::vector<std::string>{
                  "CUDA_DEVICE_ORDER is not PCI_BUS_ID and the GPUs are not known to be of one "
                  "model, so the CUDA runtime may number them fastest first; these indexes "
                  "follow the PCI bus order"});

    // Named by UUID, the listed order decides and the device order does not matter.
    options.cuda_visible_devices = std::string(kB80) + "," + kT75;
    EXPECT_TRUE(probe(FAKE_NVML_LIBRARY_TWO_PEER).notes.empty());
}

TEST_F(HostProbeTest, CudaVisibleDevicesRenumbers) {
    using Devices = std::vector<std::pair<std::string, std::optional<std::uint32_t>>>;
    struct Case {
        std::string value;
        Devices devices;
        std::size_t peers;
        std::size_t notes;
    };
    const std::vector<Case> cases = {
        {"1,0", {{kB80, 0}, {kT75, 1}}, 1, 0},
        {"GPU-aa11", {{kT75, 0}}, 0, 1},
        {"0,7,1", {{kT75, 0}}, 0, 2},
        {"", {}, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("CUDA_VISIBLE_DEVICES=" + c.value);
        options.cuda_visible_devices = c.value;
        const HostProbe result = probe(FAKE_NVML_LIBRARY_TWO_PEER);
        EXPECT_EQ(cudaDevices(result.inventory), c.devices);
        EXPECT_EQ(result.inventory.peers.size(), c.peers);
        EXPECT_EQ(result.inventory.transports.size(), c.peers + 1);
        EXPECT_EQ(result.notes.size(), c.notes) << ::testing::PrintToString(result.notes);
    }
}

TEST_F(HostProbeTest, GpuWhoseCallsFailIsLeftOutAndKeepsItsIndex) {
    const FakeLibrary library(FAKE_NVML_LIBRARY_FAILING);
    const HostProbe result = probe(FAKE_NVML_LIBRARY_FAILING);
    EXPECT_EQ(canonicalInventoryText(result.inventory),
              expectedText("-",
                           {"cuda|40:GPU-f1e2d3c4-b5a6-4978-8695-a4b3c2d1e0f9|12:Test GPU A86|"
                            "25769803776|8|6|3|14:bf16_candidate|4:fp16|4:fp32\n"},
                           "peers=0\n", "1|in_process"));
    EXPECT_EQ(cudaDevices(result.inventory),
              (std::vector<std::pair<std::string, std::optional<std::uint32_t>>>{
                  {"GPU-f1e2d3c4-b5a6-4978-8695-a4b3c2d1e0f9", 1}}));
    EXPECT_EQ(result.notes,
              (std::vector<std::string>{
                  "nvmlSystemGetCudaDriverVersion_v2 failed (Library Not Found), so cuda_driver "
                  "is unknown",
                  "GPU GPU-0c1d2e3f-4a5b-4c6d-8e7f-901a2b3c4d5e is left out: "
                  "nvmlDeviceGetMemoryInfo failed (Unknown Error)"}));
    EXPECT_EQ(library.calls(), std::pair(1, 1));

    // The GPU left out may be of another model, so CUDA's default order may differ.
    options.cuda_device_order.reset();
    const std::vector<std::string> notes = probe(FAKE_NVML_LIBRARY_FAILING).notes;
    ASSERT_EQ(notes.size(), 3U);
    EXPECT_TRUE(notes[1].starts_with("CUDA_DEVICE_ORDER is not PCI_BUS_ID")) << notes[1];
}

TEST_F(HostProbeTest, UnidentifiedGpuLeavesTheNumberingUnknown) {
    const FakeLibrary library(FAKE_NVML_LIBRARY_UNIDENTIFIED);
    const HostProbe result = probe(FAKE_NVML_LIBRARY_UNIDENTIFIED);
    EXPECT_EQ(canonicalInventoryText(result.inventory),
              expectedText("12040", {}, "peers=0\n", "1|in_process"));
    EXPECT_EQ(result.notes,
              (std::vector<std::string>{
                  "GPU 1 in the management library's order cannot be identified: "
                  "nvmlDeviceGetPciInfo_v3 failed (GPU is lost)",
                  "without every GPU's UUID and PCI bus id, CUDA's device numbering is unknown, "
                  "so no CUDA device is listed"}));
    EXPECT_EQ(library.calls(), std::pair(1, 1));
}

// One UUID or one PCI bus id for two GPUs: which is which to CUDA cannot be
// told, and listing both would refuse a placement as naming one device twice.
TEST_F(HostProbeTest, GpusThatShareAnIdLeaveTheNumberingUnknown) {
    const std::string unknown = ", so CUDA's device numbering is unknown and no CUDA device is "
                                "listed";
    const std::vector<std::pair<const char*, std::string>> cases = {
        {FAKE_NVML_LIBRARY_SAME_UUID,
         "two GPUs report the UUID GPU-8f3a6c1e-0b7d-4c55-9e21-6a0f4d2b9c10" + unknown},
        {FAKE_NVML_LIBRARY_SAME_BUS,
         "GPUs GPU-8f3a6c1e-0b7d-4c55-9e21-6a0f4d2b9c10 and "
         "GPU-9e4b7d2f-1c8e-4d66-af32-7b1e5c3a0d21 report the same PCI bus id 0000:3b:00" +
             unknown},
    };
    for (const auto& [library, note] : cases) {
        SCOPED_TRACE(library);
        const HostProbe result = probe(library);
        EXPECT_EQ(canonicalInventoryText(result.inventory),
                  expectedText("12040", {}, "peers=0\n", "1|in_process"));
        EXPECT_EQ(result.notes, std::vector<std::string>{note});
    }
}

TEST_F(HostProbeTest, ImpossibleGpuMemoryIsClampedAndNoted) {
    const HostProbe result = probe(FAKE_NVML_LIBRARY_IMPOSSIBLE);
    ASSERT_EQ(result.inventory.devices.size(), 3U);
    const Placement::InventoryDevice& more = result.inventory.devices[1];
    EXPECT_EQ(more.name, "Test\x1b[2J GPU\n\"A86\"\x7f"); // the text renders it, not the probe
    EXPECT_EQ(more.total_bytes, 16 * kGiB);
    EXPECT_EQ(more.available_bytes, 16 * kGiB);
    const Placement::InventoryDevice& empty = result.inventory.devices[2];
    EXPECT_EQ(empty.total_bytes, 0U);
    EXPECT_EQ(empty.available_bytes, 0U);
    EXPECT_EQ(result.notes,
              (std::vector<std::string>{
                  "GPU GPU-8f3a6c1e-0b7d-4c55-9e21-6a0f4d2b9c10 reports 25769803776 bytes free of "
                  "17179869184, so its available memory is its total",
                  "GPU GPU-9e4b7d2f-1c8e-4d66-af32-7b1e5c3a0d21 reports a total of 0 bytes of "
                  "memory"}));
}

// A FIFO blocks whoever opens it to read, a device never ends, a folder is
// not a file: each is a note, and the probe goes on.
TEST_F(HostProbeTest, TopologyAndLibraryPathsThatAreNotFiles) {
    tree.fifo("fifo");
    tree.folder("folder");
    const std::string fifo = (tree.root() / "fifo").string();
    const std::string folder = (tree.root() / "folder").string();
    const std::string fallback = "without a topology, logical_processors is this process's CPU "
                                 "affinity and numa_nodes is 1";
    for (const std::string& path : {fifo, std::string("/dev/zero"), folder}) {
        SCOPED_TRACE(path);
        options.topology_xml = path;
        const HostProbe result = probe("libtalvex-no-such-nvml.so.1");
        ASSERT_EQ(result.notes.size(), 3U) << ::testing::PrintToString(result.notes);
        EXPECT_EQ(result.notes[0],
                  "cannot use the topology file '" + path + "' (it is not a regular file)");
        EXPECT_EQ(result.notes[1], fallback);
        EXPECT_EQ(result.inventory.numa_nodes, 1U);

        options.topology_xml = kTopologies / "two_sockets.xml";
        EXPECT_EQ(probe(path.c_str()).notes,
                  std::vector<std::string>{"no GPU management library: cannot load '" + path +
                                           "' (it is not a regular file), so no CUDA device is "
                                           "listed"});
    }
}

TEST_F(HostProbeTest, FailedInitialisationIsNotShutDown) {
    const FakeLibrary library(FAKE_NVML_LIBRARY_INIT_FAILS);
    const HostProbe result = probe(FAKE_NVML_LIBRARY_INIT_FAILS);
    EXPECT_EQ(canonicalInventoryText(result.inventory),
              expectedText("-", {}, "peers=0\n", "1|in_process"));
    EXPECT_EQ(result.notes, std::vector<std::string>{"nvmlInit_v2 failed (Driver Not Loaded), so "
                                                     "no CUDA device is listed"});
    EXPECT_EQ(library.calls(), std::pair(1, 0));
}

TEST_F(HostProbeTest, OlderUnversionedNamesAndNoGpu) {
    const FakeLibrary library(FAKE_NVML_LIBRARY_NONE);
    const HostProbe result = probe(FAKE_NVML_LIBRARY_NONE);
    EXPECT_EQ(canonicalInventoryText(result.inventory),
              expectedText("12040", {}, "peers=0\n", "1|in_process"));
    EXPECT_TRUE(result.notes.empty()) << ::testing::PrintToString(result.notes);
    EXPECT_EQ(library.calls(), std::pair(1, 1));
}

TEST_F(HostProbeTest, UnreadableHostMemoryThrows) {
    const FixtureTree empty;
    options.root = empty.root();
    EXPECT_THROW((void)probe(FAKE_NVML_LIBRARY_ONE), std::runtime_error);
}

TEST(HostProbeOptions, FromEnvironment) {
    struct Variable {
        const char* name;
        std::optional<std::string> saved;
    };
    std::vector<Variable> variables = {{"CUDA_VISIBLE_DEVICES", {}}, {"CUDA_DEVICE_ORDER", {}}};
    for (Variable& variable : variables) {
        if (const char* value = getenv(variable.name)) {
            variable.saved = value;
        }
    }

    unsetenv("CUDA_VISIBLE_DEVICES");
    setenv("CUDA_DEVICE_ORDER", "PCI_BUS_ID", 1);
    HostProbeOptions options = hostProbeOptionsFromEnvironment();
    EXPECT_FALSE(options.cuda_visible_devices.has_value());
    EXPECT_EQ(options.cuda_device_order, "PCI_BUS_ID");
    EXPECT_EQ(options.root, "/");
    EXPECT_EQ(options.gpu_library, "libnvidia-ml.so.1");

    // Set but empty hides every GPU, which unset does not.
    setenv("CUDA_VISIBLE_DEVICES", "", 1);
    options = hostProbeOptionsFromEnvironment();
    EXPECT_EQ(options.cuda_visible_devices, "");

    for (const Variable& variable : variables) {
        if (variable.saved) {
            setenv(variable.name, variable.saved->c_str(), 1);
        } else {
            unsetenv(variable.name);
        }
    }
}

std::uint64_t memTotalBytes() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    std::uint64_t kilobytes = 0;
    std::string unit;
    while (in >> key >> kilobytes >> unit) {
        if (key == "MemTotal:") {
            return kilobytes * 1024;
        }
    }
    return 0;
}

TEST(HostProbeThisMachine, ListsTheHostAndNotesTheMissingGpuLibrary) {
    const HostProbe result = probeHostInventory(HostProbeOptions{});
    const ResourceInventory& inventory = result.inventory;

    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
    EXPECT_EQ(inventory.logical_processors, static_cast<std::uint32_t>(CPU_COUNT(&set)));
    EXPECT_GE(inventory.numa_nodes, 1U);
    EXPECT_EQ(inventory.host_total, memTotalBytes());
    ASSERT_TRUE(inventory.host_available.has_value());
    EXPECT_LE(*inventory.host_available, inventory.host_total);
    EXPECT_TRUE(inventory.os.starts_with("Linux ")) << inventory.os;

    // This machine has no GPU and no management library.
    ASSERT_EQ(inventory.devices.size(), 1U);
    EXPECT_EQ(inventory.devices[0].id, kHostCpuId);
    EXPECT_EQ(inventory.devices[0].total_bytes, inventory.host_total);
    EXPECT_EQ(inventory.devices[0].capabilities, std::vector<std::string>{"host_memory"});
    EXPECT_FALSE(inventory.cuda_driver.has_value());
    // Other notes depend on the machine (a container's control group, say).
    EXPECT_TRUE(std::any_of(result.notes.begin(), result.notes.end(), [](const std::string& note) {
        return note.starts_with("no GPU management library: cannot load 'libnvidia-ml.so.1' (");
    })) << ::testing::PrintToString(result.notes);

    EXPECT_EQ(canonicalInventoryText(probeHostInventory(HostProbeOptions{}).inventory),
              canonicalInventoryText(inventory));
}

} // namespace
} // namespace Core::Host
