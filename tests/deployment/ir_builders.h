// Builders for hand-made Placement IRs and workloads in deployment tests.
// Identities are built from the lowering's identity texts so that placement
// hashes match a lowered placement bit for bit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "estimation/estimate.h"
#include "placement/ir.h"

namespace Core::Placement::builders {

/// The portable fixture's fingerprint, and its devices' total memory.
inline constexpr std::uint64_t kFixtureFingerprint = 12899266385732286141ULL;
inline constexpr std::uint64_t kFourGiB = 4294967296ULL;

inline constexpr std::uint64_t kExampleSystemHash = 10080049706816702516ULL;
inline constexpr std::uint64_t kCpuUsable = 402653184ULL;
inline constexpr std::uint64_t kGpuUsable = 3221225472ULL;

inline LoweredDevice makeDevice(std::string id, DeviceKind kind,
                                std::optional<std::uint32_t> index = std::nullopt,
                                std::uint64_t reserve = 0) {
    LoweredDevice device;
    device.identity = hashHex("placement-device-v1;id=" + id + ";kind=" +
                              std::string(deviceKindName(kind)) + ";index=" +
                              (index ? std::to_string(*index) : std::string("-")) +
                              ";reserve=" + std::to_string(reserve));
    device.id = std::move(id);
    device.kind = kind;
    device.index = index;
    device.reserve = reserve;
    return device;
}

inline LoweredDevice cpu(std::string id, std::uint64_t reserve = 0) {
    return makeDevice(std::move(id), DeviceKind::cpu, std::nullopt, reserve);
}

inline LoweredDevice cuda(std::string id, std::optional<std::uint32_t> index,
                          std::uint64_t reserve = 0) {
    return makeDevice(std::move(id), DeviceKind::cuda, index, reserve);
}

inline LoweredEngine makeEngine(std::string id, EngineClassCode kind = EngineClassCode::sync,
                                std::optional<std::string> device = std::nullopt,
                                Priority priority = Priority::realtime,
                                Residency residency = Residency::persistent) {
    const std::string system = toHex16(kExampleSystemHash);
    LoweredEngine engine;
    engine.identity = hashHex("placement-engine-v1;system=" + system + ";engine=" + id +
                              ";kind=" + std::string(engineClassName(kind)));
    engine.session = hashHex("placement-session-v1;system=" + system + ";engine=" + id);
    engine.id = std::move(id);
    engine.kind = kind;
    engine.device = std::move(device);
    engine.priority = priority;
    engine.residency = residency;
    return engine;
}

/// A sync engine pinned to `device`.
inline LoweredEngine onDevice(std::string id, std::string device) {
    return makeEngine(std::move(id), EngineClassCode::sync, std::move(device));
}

/// The example system's three engines in graph order, with class defaults.
inline std::vector<LoweredEngine> exampleEngines(const std::optional<std::string>& device = std::nullopt) {
    return {
        makeEngine("sensory-sync", EngineClassCode::sync, device),
        makeEngine("intuition-transformer", EngineClassCode::transformer, device,
                   Priority::interactive, Residency::evictable),
        makeEngine("temporal-dpsh", EngineClassCode::dpsh, device),
    };
}

inline PlacementIR makeIr(PlacementPolicy policy, std::vector<LoweredDevice> devices,
                          std::vector<LoweredEngine> engines) {
    PlacementIR ir;
    ir.placement = "demo";
    ir.system = "composite-three-engine";
    ir.system_hash = kExampleSystemHash;
    ir.policy = policy;
    ir.determinism = Determinism::strict;
    ir.devices = std::move(devices);
    ir.engines = std::move(engines);
    return ir;
}

/// A requirement whose peak is exactly `peak` bytes.
inline Estimation::WorkloadRequirement withPeak(std::string engine, std::uint64_t peak) {
    Estimation::WorkloadRequirement requirement;
    requirement.engine = std::move(engine);
    requirement.estimate.weights = Estimation::ByteRange::exact(peak);
    requirement.estimate.activations = Estimation::ByteRange::exact(0);
    requirement.estimate.workspace = Estimation::ByteRange::exact(0);
    requirement.estimate.runtimeOverhead = Estimation::ByteRange::exact(0);
    requirement.sessions = 1;
    requirement.concurrency = 1;
    return requirement;
}

/// A requirement whose weights are unknown, so it has no peak.
inline Estimation::WorkloadRequirement withoutPeak(std::string engine) {
    Estimation::WorkloadRequirement requirement = withPeak(std::move(engine), 0);
    requirement.estimate.weights = Estimation::ByteRange::unknown();
    return requirement;
}

} // namespace Core::Placement::builders
