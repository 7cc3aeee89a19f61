// CUDA devices through NVML: the library is opened with dlopen, so the build
// needs no GPU software and a machine without one simply lists none.
#include "host/cuda_devices.h"

#include "host/host_files.h"
#include "host/visible_devices.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <dlfcn.h>
#include <initializer_list>
#include <memory>
#include <tuple>
#include <utility>

namespace Core::Host {
namespace {

// The part of NVML's C interface the probe calls, declared as the library
// exports it. Enumerations are passed as int, as the C ABI does.
struct NvmlDeviceHandle;
using NvmlDevice = NvmlDeviceHandle*;
using NvmlReturn = int;
constexpr NvmlReturn kNvmlSuccess = 0;
constexpr int kP2PCapsRead = 0;  // NVML_P2P_CAPS_INDEX_READ
constexpr int kP2PCapsWrite = 1; // NVML_P2P_CAPS_INDEX_WRITE
constexpr int kP2PStatusOk = 0;  // NVML_P2P_STATUS_OK
// NVML_DEVICE_UUID_V2_BUFFER_SIZE and NVML_DEVICE_NAME_V2_BUFFER_SIZE.
constexpr unsigned int kTextBufferSize = 96;
// Far above any real machine; a larger count is a broken library.
constexpr unsigned int kMostGpus = 1024;
// The management library is a few megabytes.
constexpr std::size_t kMaxLibraryBytes = std::size_t{1} << 30U;

// The structs keep the library's layout, so fields the probe never reads
// still hold their places.
struct NvmlMemory { // nvmlMemory_t
    unsigned long long total;
    unsigned long long free;
    // cppcheck-suppress unusedStructMember
    unsigned long long used;
};

struct NvmlPciInfo { // nvmlPciInfo_t
    // cppcheck-suppress unusedStructMember
    std::array<char, 16> bus_id_legacy;
    unsigned int domain;
    unsigned int bus;
    unsigned int device;
    // cppcheck-suppress unusedStructMember
    unsigned int pci_device_id;
    // cppcheck-suppress unusedStructMember
    unsigned int pci_subsystem_id;
    // cppcheck-suppress unusedStructMember
    std::array<char, 32> bus_id;
};

using VoidCall = NvmlReturn();
using ErrorStringCall = const char*(NvmlReturn);
using IntCall = NvmlReturn(int*);
using CountCall = NvmlReturn(unsigned int*);
using HandleCall = NvmlReturn(unsigned int, NvmlDevice*);
using TextCall = NvmlReturn(NvmlDevice, char*, unsigned int);
using MemoryCall = NvmlReturn(NvmlDevice, NvmlMemory*);
using PciCall = NvmlReturn(NvmlDevice, NvmlPciInfo*);
using ComputeCall = NvmlReturn(NvmlDevice, int*, int*);
using P2PCall = NvmlReturn(NvmlDevice, NvmlDevice, int, int*);

template <typename Function>
struct Symbol {
    Function* call = nullptr;
    const char* name = ""; ///< the name found, else the preferred one
};

/// The first of `names` the library exports: the versioned names come first,
/// the older ones are for older drivers.
template <typename Function>
Symbol<Function> resolve(void* library, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (void* address = dlsym(library, name)) {
            return {reinterpret_cast<Function*>(address), name};
        }
    }
    return {nullptr, *names.begin()};
}

struct Nvml {
    Symbol<VoidCall> init;
    Symbol<VoidCall> shutdown;
    Symbol<ErrorStringCall> error_string;
    Symbol<IntCall> driver_version;
    Symbol<CountCall> count;
    Symbol<HandleCall> handle;
    Symbol<TextCall> uuid;
    Symbol<TextCall> name;
    Symbol<MemoryCall> memory;
    Symbol<PciCall> pci;
    Symbol<ComputeCall> compute;
    Symbol<P2PCall> p2p;

    explicit Nvml(void* library)
        : init(resolve<VoidCall>(library, {"nvmlInit_v2", "nvmlInit"})),
          shutdown(resolve<VoidCall>(library, {"nvmlShutdown"})),
          error_string(resolve<ErrorStringCall>(library, {"nvmlErrorString"})),
          driver_version(resolve<IntCall>(
              library, {"nvmlSystemGetCudaDriverVersion_v2", "nvmlSystemGetCudaDriverVersion"})),
          count(resolve<CountCall>(library, {"nvmlDeviceGetCount_v2", "nvmlDeviceGetCount"})),
          handle(resolve<HandleCall>(
              library, {"nvmlDeviceGetHandleByIndex_v2", "nvmlDeviceGetHandleByIndex"})),
          uuid(resolve<TextCall>(library, {"nvmlDeviceGetUUID"})),
          name(resolve<TextCall>(library, {"nvmlDeviceGetName"})),
          memory(resolve<MemoryCall>(library, {"nvmlDeviceGetMemoryInfo"})),
          pci(resolve<PciCall>(library, {"nvmlDeviceGetPciInfo_v3", "nvmlDeviceGetPciInfo_v2"})),
          compute(resolve<ComputeCall>(library, {"nvmlDeviceGetCudaComputeCapability"})),
          p2p(resolve<P2PCall>(library, {"nvmlDeviceGetP2PStatus"})) {}

    /// The first function the probe cannot do without that is missing.
    [[nodiscard]] const char* missing() const {
        for (const auto& [present, symbol] :
             {std::pair{init.call != nullptr, init.name},
              std::pair{shutdown.call != nullptr, shutdown.name},
              std::pair{count.call != nullptr, count.name},
              std::pair{handle.call != nullptr, handle.name},
              std::pair{uuid.call != nullptr, uuid.name},
              std::pair{name.call != nullptr, name.name},
              std::pair{memory.call != nullptr, memory.name},
              std::pair{pci.call != nullptr, pci.name},
              std::pair{compute.call != nullptr, compute.name}}) {
            if (!present) {
                return symbol;
            }
        }
        return nullptr;
    }

    [[nodiscard]] std::string failure(const char* function, NvmlReturn code) const {
        const char* text = error_string.call != nullptr ? error_string.call(code) : nullptr;
        return std::string(function) + " failed (" +
               (text != nullptr ? std::string(text) : "error " + std::to_string(code)) + ")";
    }
};

struct LibraryCloser {
    void operator()(void* library) const { dlclose(library); }
};
using Library = std::unique_ptr<void, LibraryCloser>;

/// Shuts NVML down on every path out once its initialisation has succeeded.
class NvmlSession {
  public:
    explicit NvmlSession(const Nvml& nvml) : nvml_(nvml) {}
    ~NvmlSession() { nvml_.shutdown.call(); }
    NvmlSession(const NvmlSession&) = delete;
    NvmlSession& operator=(const NvmlSession&) = delete;
    NvmlSession(NvmlSession&&) = delete;
    NvmlSession& operator=(NvmlSession&&) = delete;

  private:
    const Nvml& nvml_;
};

struct Gpu {
    NvmlDevice handle = nullptr;
    std::string uuid;
    std::tuple<unsigned int, unsigned int, unsigned int> bus; ///< domain, bus, device
    std::optional<Placement::InventoryDevice> device; ///< absent when a query failed
    std::string failure;
};

std::optional<std::string> queryText(const Nvml& nvml, const Symbol<TextCall>& function,
                                     NvmlDevice device, std::string& failure) {
    std::array<char, kTextBufferSize> buffer{};
    const NvmlReturn code = function.call(device, buffer.data(), kTextBufferSize);
    if (code != kNvmlSuccess) {
        failure = nvml.failure(function.name, code);
        return std::nullopt;
    }
    // A library that fills the whole buffer without a terminator is cut at its end.
    return std::string(buffer.begin(), std::find(buffer.begin(), buffer.end(), '\0'));
}

/// The handle, UUID and PCI bus id that place a GPU in CUDA's numbering.
std::optional<Gpu> identify(const Nvml& nvml, unsigned int nvmlIndex, std::string& failure) {
    Gpu gpu;
    NvmlReturn code = nvml.handle.call(nvmlIndex, &gpu.handle);
    if (code != kNvmlSuccess) {
        failure = nvml.failure(nvml.handle.name, code);
        return std::nullopt;
    }
    std::optional<std::string> uuid = queryText(nvml, nvml.uuid, gpu.handle, failure);
    if (!uuid) {
        return std::nullopt;
    }
    if (uuid->empty()) {
        failure = std::string(nvml.uuid.name) + " gave an empty UUID";
        return std::nullopt;
    }
    gpu.uuid = std::move(*uuid);
    NvmlPciInfo pci{};
    code = nvml.pci.call(gpu.handle, &pci);
    if (code != kNvmlSuccess) {
        failure = nvml.failure(nvml.pci.name, code);
        return std::nullopt;
    }
    gpu.bus = {pci.domain, pci.bus, pci.device};
    return gpu;
}

/// Name, memory and compute capability; on failure the GPU keeps its place in
/// the numbering but is not listed.
void describe(const Nvml& nvml, Gpu& gpu, std::vector<std::string>& notes) {
    std::optional<std::string> name = queryText(nvml, nvml.name, gpu.handle, gpu.failure);
    if (!name) {
        return;
    }
    NvmlMemory memory{};
    NvmlReturn code = nvml.memory.call(gpu.handle, &memory);
    if (code != kNvmlSuccess) {
        gpu.failure = nvml.failure(nvml.memory.name, code);
        return;
    }
    int major = -1;
    int minor = -1;
    code = nvml.compute.call(gpu.handle, &major, &minor);
    if (code != kNvmlSuccess) {
        gpu.failure = nvml.failure(nvml.compute.name, code);
        return;
    }
    if (major < 0 || minor < 0) {
        gpu.failure = std::string(nvml.compute.name) + " gave " + std::to_string(major) + "." +
                      std::to_string(minor);
        return;
    }
    // Figures no GPU can have are clamped, so that none promises more than it has.
    if (memory.total == 0) {
        notes.push_back("GPU " + gpu.uuid + " reports a total of 0 bytes of memory");
    }
    if (memory.free > memory.total) {
        notes.push_back("GPU " + gpu.uuid + " reports " + std::to_string(memory.free) +
                        " bytes free of " + std::to_string(memory.total) +
                        ", so its available memory is its total");
        memory.free = memory.total;
    }
    Placement::InventoryDevice device;
    device.kind = Placement::DeviceKind::cuda;
    device.id = gpu.uuid;
    device.name = std::move(*name);
    device.total_bytes = memory.total;
    device.available_bytes = memory.free;
    device.compute_major = static_cast<std::uint32_t>(major);
    device.compute_minor = static_cast<std::uint32_t>(minor);
    device.capabilities = cudaCapabilityTags(*device.compute_major, *device.compute_minor);
    gpu.device = std::move(device);
}

std::string busId(const Gpu& gpu) {
    const auto [domain, bus, device] = gpu.bus;
    std::array<char, 32> text{};
    const int length =
        std::snprintf(text.data(), text.size(), "%04x:%02x:%02x", domain, bus, device);
    return {text.data(), static_cast<std::size_t>(std::max(length, 0))};
}

/// Two GPUs that one id names: CUDA's numbering cannot be told, and a
/// placement naming the device would be refused as naming it twice. `gpus`
/// are in PCI bus order.
std::optional<std::string> ambiguity(const std::vector<Gpu>& gpus) {
    for (std::size_t i = 1; i < gpus.size(); ++i) {
        if (gpus[i].bus == gpus[i - 1].bus) {
            return "GPUs " + gpus[i - 1].uuid + " and " + gpus[i].uuid +
                   " report the same PCI bus id " + busId(gpus[i]);
        }
    }
    std::vector<const std::string*> uuids;
    uuids.reserve(gpus.size());
    for (const Gpu& gpu : gpus) {
        uuids.push_back(&gpu.uuid);
    }
    std::sort(uuids.begin(), uuids.end(),
              [](const std::string* a, const std::string* b) { return *a < *b; });
    const auto same =
        std::adjacent_find(uuids.begin(), uuids.end(),
                           [](const std::string* a, const std::string* b) { return *a == *b; });
    if (same != uuids.end()) {
        return "two GPUs report the UUID " + **same;
    }
    return std::nullopt;
}

/// Under CUDA's default order (FASTEST_FIRST) GPUs of one model are numbered by
/// PCI bus id too; only different models may be numbered otherwise. A GPU that
/// could not be described may be of another model.
bool modelsMayDiffer(const std::vector<Gpu>& gpus) {
    if (gpus.size() < 2) {
        return false;
    }
    const Placement::InventoryDevice* first = nullptr;
    for (const Gpu& gpu : gpus) {
        if (!gpu.device) {
            return true;
        }
        if (first == nullptr) {
            first = &*gpu.device;
        } else if (gpu.device->name != first->name ||
                   gpu.device->compute_major != first->compute_major ||
                   gpu.device->compute_minor != first->compute_minor) {
            return true;
        }
    }
    return false;
}

/// Peer access in both directions of use (read and write) from the first
/// device of the pair, by id order, to the second.
Placement::PeerLink peerLink(const Nvml& nvml, const Gpu& a, const Gpu& b,
                             std::vector<std::string>& notes) {
    const auto [first, second] = a.uuid < b.uuid ? std::pair{&a, &b} : std::pair{&b, &a};
    Placement::PeerLink link{first->uuid, second->uuid, nvml.p2p.call != nullptr};
    for (const int capability : {kP2PCapsRead, kP2PCapsWrite}) {
        if (!link.enabled) {
            break;
        }
        int status = -1;
        const NvmlReturn code = nvml.p2p.call(first->handle, second->handle, capability, &status);
        if (code != kNvmlSuccess) {
            notes.push_back("peer link " + first->uuid + " to " + second->uuid + " counts as " +
                            "disabled: " + nvml.failure(nvml.p2p.name, code));
        }
        link.enabled = code == kNvmlSuccess && status == kP2PStatusOk;
    }
    return link;
}

void listDevices(const Nvml& nvml, const CudaProbeOptions& options, CudaDevices& result,
                 std::vector<std::string>& notes) {
    unsigned int count = 0;
    const NvmlReturn code = nvml.count.call(&count);
    if (code != kNvmlSuccess) {
        notes.push_back(nvml.failure(nvml.count.name, code) + ", so no CUDA device is listed");
        return;
    }
    if (count > kMostGpus) {
        notes.push_back(std::string(nvml.count.name) + " reports " + std::to_string(count) +
                        " GPUs, more than any machine has, so no CUDA device is listed");
        return;
    }

    std::vector<Gpu> gpus;
    bool identified = true;
    for (unsigned int i = 0; i < count; ++i) {
        std::string failure;
        if (std::optional<Gpu> gpu = identify(nvml, i, failure)) {
            gpus.push_back(std::move(*gpu));
        } else {
            notes.push_back("GPU " + std::to_string(i) + " in the management library's order " +
                            "cannot be identified: " + failure);
            identified = false;
        }
    }
    if (!identified) {
        // A wrong index would put an engine on the wrong GPU; none is safer.
        notes.push_back("without every GPU's UUID and PCI bus id, CUDA's device numbering is "
                        "unknown, so no CUDA device is listed");
        return;
    }
    std::stable_sort(gpus.begin(), gpus.end(),
                     [](const Gpu& a, const Gpu& b) { return a.bus < b.bus; });
    if (const std::optional<std::string> clash = ambiguity(gpus)) {
        notes.push_back(*clash + ", so CUDA's device numbering is unknown and no CUDA device is "
                                 "listed");
        return;
    }
    for (Gpu& gpu : gpus) {
        describe(nvml, gpu, notes);
    }

    std::vector<std::string> uuids;
    uuids.reserve(gpus.size());
    for (const Gpu& gpu : gpus) {
        uuids.push_back(gpu.uuid);
    }
    const VisibleDevices visible = visibleDevices(options.visible_devices, uuids);
    notes.insert(notes.end(), visible.notes.begin(), visible.notes.end());
    if (options.device_order != "PCI_BUS_ID" && visible.uses_device_order &&
        modelsMayDiffer(gpus)) {
        notes.push_back("CUDA_DEVICE_ORDER is not PCI_BUS_ID and the GPUs are not known to be "
                        "of one model, so the CUDA runtime may number them fastest first; these "
                        "indexes follow the PCI bus order");
    }

    std::vector<const Gpu*> listed;
    for (std::size_t index = 0; index < visible.positions.size(); ++index) {
        const Gpu& gpu = gpus[visible.positions[index]];
        if (!gpu.device) {
            notes.push_back("GPU " + gpu.uuid + " is left out: " + gpu.failure);
            continue;
        }
        Placement::InventoryDevice device = *gpu.device;
        device.index = static_cast<std::uint32_t>(index);
        result.devices.push_back(std::move(device));
        listed.push_back(&gpu);
    }

    if (listed.size() > 1 && nvml.p2p.call == nullptr) {
        notes.push_back(std::string("the management library has no ") + nvml.p2p.name +
                        ", so every peer link counts as disabled");
    }
    for (std::size_t i = 0; i < listed.size(); ++i) {
        for (std::size_t j = i + 1; j < listed.size(); ++j) {
            result.peers.push_back(peerLink(nvml, *listed[i], *listed[j], notes));
        }
    }
}

} // namespace

std::vector<std::string> cudaCapabilityTags(std::uint32_t major, std::uint32_t minor) {
    std::vector<std::string> tags{"fp32"};
    const auto capability = std::pair{major, minor};
    if (capability >= std::pair{5U, 3U}) {
        tags.emplace_back("fp16");
    }
    if (capability >= std::pair{8U, 0U}) {
        tags.emplace_back("bf16_candidate");
    }
    return tags;
}

CudaDevices probeCudaDevices(const CudaProbeOptions& options, std::vector<std::string>& notes) {
    CudaDevices result;
    // A bare name is looked up by the dynamic loader in the system's folders;
    // a path is the caller's, and dlopen would block on a FIFO there.
    if (options.library.find('/') != std::string::npos) {
        if (const std::optional<std::string> refused =
                notRegularFile(options.library, kMaxLibraryBytes)) {
            notes.push_back("no GPU management library: cannot load '" + options.library + "' (" +
                            *refused + "), so no CUDA device is listed");
            return result;
        }
    }
    const Library library(dlopen(options.library.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!library) {
        const char* error = dlerror();
        notes.push_back("no GPU management library: cannot load '" + options.library + "' (" +
                        (error != nullptr ? error : "unknown error") +
                        "), so no CUDA device is listed");
        return result;
    }
    const Nvml nvml(library.get());
    if (const char* missing = nvml.missing()) {
        notes.push_back("'" + options.library + "' has no " + missing +
                        ", so no CUDA device is listed");
        return result;
    }
    const NvmlReturn code = nvml.init.call();
    if (code != kNvmlSuccess) {
        notes.push_back(nvml.failure(nvml.init.name, code) + ", so no CUDA device is listed");
        return result;
    }
    const NvmlSession session(nvml);

    if (nvml.driver_version.call == nullptr) {
        notes.push_back(std::string("the management library has no ") + nvml.driver_version.name +
                        ", so cuda_driver is unknown");
    } else {
        int version = -1;
        const NvmlReturn versionCode = nvml.driver_version.call(&version);
        if (versionCode != kNvmlSuccess) {
            notes.push_back(nvml.failure(nvml.driver_version.name, versionCode) +
                            ", so cuda_driver is unknown");
        } else if (version < 0) {
            notes.push_back(std::string(nvml.driver_version.name) + " gave " +
                            std::to_string(version) + ", so cuda_driver is unknown");
        } else {
            result.driver = static_cast<std::uint32_t>(version);
        }
    }
    listDevices(nvml, options, result, notes);
    return result;
}

} // namespace Core::Host
