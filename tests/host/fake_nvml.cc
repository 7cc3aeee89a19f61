// A stand-in for the GPU management library (NVML): it exports the C functions
// the host probe calls and answers with canned GPUs. tests/host/CMakeLists.txt
// builds it once per scenario, chosen by one FAKE_NVML_* definition:
//   NONE          no GPU, driver 12040, and only the older unversioned names
//   ONE           one GPU of capability 8.6
//   TWO_PEER      two different GPUs, listed out of PCI bus order, peer access on
//   FAILING       two GPUs, the first (by PCI bus) fails its memory query; the
//                 driver version fails too
//   INIT_FAILS    initialisation fails, as without a loaded driver
//   UNIDENTIFIED  two GPUs, the second cannot give its PCI bus id
//   SAME_UUID     two GPUs on different buses that report one UUID
//   SAME_BUS      two GPUs that report one PCI bus id
//   IMPOSSIBLE    a GPU with more free memory than in all, named with control
//                 bytes, and a GPU of 0 bytes
#include <array>
#include <cstddef>
#include <cstring>

namespace {

constexpr int kSuccess = 0;
constexpr int kInvalidArgument = 2;
constexpr int kDriverNotLoaded = 9;
constexpr int kLibraryNotFound = 12;
constexpr int kGpuIsLost = 15;
constexpr int kUnknown = 999;
[[maybe_unused]] constexpr unsigned long long kGiB = 1ULL << 30U;

enum class Fails { nothing, memory, pci };

struct FakeGpu {
    const char* uuid;
    const char* name;
    unsigned long long total;
    unsigned long long free;
    unsigned int bus;
    int major;
    int minor;
    Fails fails;
};

struct Memory {
    unsigned long long total;
    unsigned long long free;
    unsigned long long used;
};

struct PciInfo {
    std::array<char, 16> bus_id_legacy;
    unsigned int domain;
    unsigned int bus;
    unsigned int device;
    unsigned int pci_device_id;
    unsigned int pci_subsystem_id;
    std::array<char, 32> bus_id;
};

#if defined(FAKE_NVML_NONE)
constexpr std::array<FakeGpu, 0> kGpus{};
#elif defined(FAKE_NVML_ONE)
constexpr std::array kGpus{
    FakeGpu{"GPU-8f3a6c1e-0b7d-4c55-9e21-6a0f4d2b9c10", "Test GPU A86", 24 * kGiB, 20 * kGiB,
            0x3b, 8, 6, Fails::nothing},
};
#elif defined(FAKE_NVML_TWO_PEER)
constexpr std::array kGpus{
    FakeGpu{"GPU-5b22e0f4-7c31-4d8e-a0b6-3e9d1c7f2a48", "Test GPU B80", 80 * kGiB, 70 * kGiB,
            0x86, 8, 0, Fails::nothing},
    FakeGpu{"GPU-aa11d3c2-95e7-4b0a-8f6d-2c4b7e1a9d35", "Test GPU T75", 16 * kGiB, 15 * kGiB,
            0x18, 7, 5, Fails::nothing},
};
#elif defined(FAKE_NVML_FAILING)
constexpr std::array kGpus{
    FakeGpu{"GPU-0c1d2e3f-4a5b-4c6d-8e7f-901a2b3c4d5e", "Test GPU A86", 24 * kGiB, 20 * kGiB,
            0x18, 8, 6, Fails::memory},
    FakeGpu{"GPU-f1e2d3c4-b5a6-4978-8695-a4b3c2d1e0f9", "Test GPU A86", 24 * kGiB, 22 * kGiB,
            0x3b, 8, 6, Fails::nothing},
};
#elif defined(FAKE_NVML_INIT_FAILS)
constexpr std::array<FakeGpu, 0> kGpus{};
#elif defined(FAKE_NVML_UNIDENTIFIED)
constexpr std::array kGpus{
    FakeGpu{"GPU-8f3a6c1e-0b7d-4c55-9e21-6a0f4d2b9c10", "Test GPU A86", 24 * kGiB, 20 * kGiB,
            0x3b, 8, 6, Fails::nothing},
    FakeGpu{"GPU-9e4b7d2f-1c8e-4d66-af32-7b1e5c3a0d21", "Test GPU A86", 24 * kGiB, 20 * kGiB,
            0x5e, 8, 6, Fails::pci},
};
#elif defined(FAKE_NVML_SAME_UUID)
constexpr std::array kGpus{
    FakeGpu{"GPU-8f3a6c1e-0b7d-4c55-9e21-6a0f4d2b9c10", "Test GPU A86", 24 * kGiB, 20 * kGiB,
            0x3b, 8, 6, Fails::nothing},
    FakeGpu{"GPU-8f3a6c1e-0b7d-4c55-9e21-6a0f4d2b9c10", "Test GPU A86", 24 * kGiB, 20 * kGiB,
            0x5e, 8, 6, Fails::nothing},
};
#elif defined(FAKE_NVML_SAME_BUS)
constexpr std::array kGpus{
    FakeGpu{"GPU-8f3a6c1e-0b7d-4c55-9e21-6a0f4d2b9c10", "Test GPU A86", 24 * kGiB, 20 * kGiB,
            0x3b, 8, 6, Fails::nothing},
    FakeGpu{"GPU-9e4b7d2f-1c8e-4d66-af32-7b1e5c3a0d21", "Test GPU A86", 24 * kGiB, 20 * kGiB,
            0x3b, 8, 6, Fails::nothing},
};
#elif defined(FAKE_NVML_IMPOSSIBLE)
constexpr std::array kGpus{
    FakeGpu{"GPU-8f3a6c1e-0b7d-4c55-9e21-6a0f4d2b9c10", "Test\x1b[2J GPU\n\"A86\"\x7f", 16 * kGiB,
            24 * kGiB, 0x3b, 8, 6, Fails::nothing},
    FakeGpu{"GPU-9e4b7d2f-1c8e-4d66-af32-7b1e5c3a0d21", "Test GPU Z", 0, 0, 0x5e, 8, 6,
            Fails::nothing},
};
#else
#error "define one FAKE_NVML_* scenario"
#endif

#if defined(FAKE_NVML_INIT_FAILS)
constexpr int kInitResult = kDriverNotLoaded;
#else
constexpr int kInitResult = kSuccess;
#endif
#if defined(FAKE_NVML_FAILING)
constexpr int kDriverVersionResult = kLibraryNotFound;
#else
constexpr int kDriverVersionResult = kSuccess;
#endif

int inits = 0;
int shutdowns = 0;

const FakeGpu* gpuOf(const void* device) { return static_cast<const FakeGpu*>(device); }

int copyText(const char* text, char* buffer, unsigned int length) {
    const std::size_t size = std::strlen(text) + 1; // with the terminator
    if (buffer == nullptr || size > length) {
        return kInvalidArgument;
    }
    std::memcpy(buffer, text, size);
    return kSuccess;
}

} // namespace

#if defined(FAKE_NVML_NONE)
#define FAKE_NVML_NAME(versioned, legacy) legacy
#else
#define FAKE_NVML_NAME(versioned, legacy) versioned
#endif

extern "C" {

/// How often the probe initialised and shut the library down.
void fakeNvmlCalls(int* initCalls, int* shutdownCalls) {
    *initCalls = inits;
    *shutdownCalls = shutdowns;
}

int FAKE_NVML_NAME(nvmlInit_v2, nvmlInit)() {
    ++inits;
    return kInitResult;
}

int nvmlShutdown() {
    ++shutdowns;
    return kSuccess;
}

const char* nvmlErrorString(int result) {
    switch (result) {
    case kSuccess:
        return "Success";
    case kDriverNotLoaded:
        return "Driver Not Loaded";
    case kLibraryNotFound:
        return "Library Not Found";
    case kGpuIsLost:
        return "GPU is lost";
    default:
        return "Unknown Error";
    }
}

int FAKE_NVML_NAME(nvmlSystemGetCudaDriverVersion_v2, nvmlSystemGetCudaDriverVersion)(
    int* version) {
    if (kDriverVersionResult != kSuccess) {
        return kDriverVersionResult;
    }
    *version = 12040;
    return kSuccess;
}

int FAKE_NVML_NAME(nvmlDeviceGetCount_v2, nvmlDeviceGetCount)(unsigned int* count) {
    *count = static_cast<unsigned int>(kGpus.size());
    return kSuccess;
}

int FAKE_NVML_NAME(nvmlDeviceGetHandleByIndex_v2, nvmlDeviceGetHandleByIndex)(unsigned int index,
                                                                              const void** device) {
    if (index >= kGpus.size()) {
        return kInvalidArgument;
    }
    *device = &kGpus.at(index);
    return kSuccess;
}

int nvmlDeviceGetUUID(const void* device, char* uuid, unsigned int length) {
    return copyText(gpuOf(device)->uuid, uuid, length);
}

int nvmlDeviceGetName(const void* device, char* name, unsigned int length) {
    return copyText(gpuOf(device)->name, name, length);
}

int nvmlDeviceGetMemoryInfo(const void* device, Memory* memory) {
    const FakeGpu* gpu = gpuOf(device);
    if (gpu->fails == Fails::memory) {
        return kUnknown;
    }
    *memory = Memory{gpu->total, gpu->free, gpu->total > gpu->free ? gpu->total - gpu->free : 0};
    return kSuccess;
}

int FAKE_NVML_NAME(nvmlDeviceGetPciInfo_v3, nvmlDeviceGetPciInfo_v2)(const void* device,
                                                                     PciInfo* pci) {
    const FakeGpu* gpu = gpuOf(device);
    if (gpu->fails == Fails::pci) {
        return kGpuIsLost;
    }
    *pci = PciInfo{};
    pci->bus = gpu->bus;
    return kSuccess;
}

int nvmlDeviceGetCudaComputeCapability(const void* device, int* major, int* minor) {
    *major = gpuOf(device)->major;
    *minor = gpuOf(device)->minor;
    return kSuccess;
}

int nvmlDeviceGetP2PStatus(const void* first, const void* second, int capability, int* status) {
    if (first == second || capability < 0) {
        return kInvalidArgument;
    }
    *status = 0; // NVML_P2P_STATUS_OK
    return kSuccess;
}

} // extern "C"
