// Building the manifest. Quantities are whole bytes and counts written as
// strings, as the Kubernetes API takes them; the GPU labels are those that
// GPU feature discovery puts on a node.
#include "companion/kubernetes.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

#include "deployment/deployment.h"
#include "placement/ir.h"

namespace Core::Companion {
namespace {

constexpr std::uint64_t kMiB = 1048576;
constexpr std::string_view kMountPath = "/etc/talvex";
constexpr std::string_view kImage = "talvex-composite-runtime:0.1.0";

/// A DNS-1123 label from the placement's name: lower case, letters, digits
/// and '-', starting and ending with a letter or digit, at most 57 bytes so
/// that "-plan" still fits.
std::string objectName(std::string_view placement) {
    std::string name;
    for (const char c : placement) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            name += c;
        } else if (c >= 'A' && c <= 'Z') {
            name += static_cast<char>(c - 'A' + 'a');
        } else if (!name.empty() && name.back() != '-') {
            name += '-';
        }
        if (name.size() == 57) {
            break;
        }
    }
    while (!name.empty() && name.back() == '-') {
        name.pop_back();
    }
    return name.empty() ? "composite" : name;
}

} // namespace

std::variant<Json, std::string> kubernetesManifest(const PlacementRun& run, const PlanFiles& files) {
    const Placement::DeploymentResult& deployment = *run.result.deployment;
    const Placement::PlacementIR& ir = *deployment.ir;
    std::map<std::string, const Placement::DeviceBudget*> budgets;
    for (const Placement::DeviceBudget& budget : deployment.report.budgets) {
        budgets.emplace(budget.device, &budget);
    }

    // What the plan asks of the node: CPU memory as requested plus reserves,
    // and each GPU it puts an engine on, by index.
    std::uint64_t memory = 0;
    std::uint64_t largestGpuNeed = 0;
    std::vector<std::uint32_t> gpuIndices;
    for (const Placement::LoweredDevice& device : ir.devices) {
        const auto budget = budgets.find(device.id);
        if (budget == budgets.end()) {
            continue;
        }
        const std::uint64_t need = budget->second->requested + device.reserve;
        if (device.kind == Placement::DeviceKind::cpu) {
            memory += need;
            continue;
        }
        if (budget->second->requested == 0) {
            continue; // declared, but no engine runs on it
        }
        if (!device.index) {
            return "device." + device.id +
                   ": a container sees its GPUs by index; give the device a selector index";
        }
        gpuIndices.push_back(*device.index);
        largestGpuNeed = std::max(largestGpuNeed, need);
    }
    std::sort(gpuIndices.begin(), gpuIndices.end());
    for (std::size_t i = 0; i < gpuIndices.size(); ++i) {
        if (gpuIndices[i] != i) {
            std::string used;
            for (const std::uint32_t index : gpuIndices) {
                used += (used.empty() ? "" : ", ") + std::to_string(index);
            }
            return "a container sees its " + std::to_string(gpuIndices.size()) +
                   " GPUs as indices 0 to " + std::to_string(gpuIndices.size() - 1) +
                   ", but the plan's CUDA devices use indices " + used +
                   "; number them from 0 in the placement";
        }
    }

    const std::string name = objectName(ir.placement);
    const std::string plan = name + "-plan";
    const Json annotations = {
        {"talvex-composite/placement-hash", std::to_string(deployment.report.placement_hash)},
        {"talvex-composite/system-hash", std::to_string(ir.system_hash)},
        {"talvex-composite/hardware-fingerprint",
         std::to_string(deployment.report.hardware_fingerprint)}};
    const Json labels = {{"app.kubernetes.io/name", name},
                         {"app.kubernetes.io/part-of", "talvex-composite"}};

    Json data = {{"placement.cplace", files.placement}};
    Json args = {"deploy", std::string(kMountPath) + "/placement.cplace"};
    if (files.system) {
        data["system.toml"] = *files.system;
        args.push_back("--system");
        args.push_back(std::string(kMountPath) + "/system.toml");
    }
    Json requests = {{"memory", std::to_string(memory)}};
    Json limits = Json::object();
    if (!gpuIndices.empty()) {
        requests["nvidia.com/gpu"] = std::to_string(gpuIndices.size());
        // Extended resources are asked for as limits equal to the requests.
        limits["nvidia.com/gpu"] = std::to_string(gpuIndices.size());
    }
    Json container = {{"name", "composite"},
                      {"image", kImage},
                      {"args", std::move(args)},
                      {"resources", {{"requests", std::move(requests)}}},
                      {"volumeMounts",
                       Json::array({{{"name", "plan"},
                                     {"mountPath", kMountPath},
                                     {"readOnly", true}}})}};
    if (!limits.empty()) {
        container["resources"]["limits"] = std::move(limits);
    }
    Json podSpec = {{"containers", Json::array({std::move(container)})},
                    {"volumes", Json::array({{{"name", "plan"},
                                              {"configMap", {{"name", plan}}}}})}};
    if (!gpuIndices.empty()) {
        // Gt is strict: one less than what is needed. Memory in whole MiB, rounded up.
        const std::uint64_t needMiB = largestGpuNeed / kMiB + (largestGpuNeed % kMiB != 0 ? 1 : 0);
        const Json expressions = Json::array(
            {{{"key", "nvidia.com/gpu.memory"},
              {"operator", "Gt"},
              {"values", Json::array({std::to_string(needMiB == 0 ? 0 : needMiB - 1)})}},
             {{"key", "nvidia.com/gpu.count"},
              {"operator", "Gt"},
              {"values", Json::array({std::to_string(gpuIndices.size() - 1)})}}});
        podSpec["affinity"] = {
            {"nodeAffinity",
             {{"requiredDuringSchedulingIgnoredDuringExecution",
               {{"nodeSelectorTerms", Json::array({{{"matchExpressions", expressions}}})}}}}}};
    }

    Json configMap = {{"apiVersion", "v1"},
                      {"kind", "ConfigMap"},
                      {"metadata", {{"name", plan}, {"labels", labels}, {"annotations", annotations}}},
                      {"data", std::move(data)}};
    Json deploymentObject = {
        {"apiVersion", "apps/v1"},
        {"kind", "Deployment"},
        {"metadata", {{"name", name}, {"labels", labels}, {"annotations", annotations}}},
        {"spec",
         {{"replicas", 1},
          {"selector", {{"matchLabels", {{"app.kubernetes.io/name", name}}}}},
          {"template",
           {{"metadata", {{"labels", labels}, {"annotations", annotations}}},
            {"spec", std::move(podSpec)}}}}}};
    return Json{{"apiVersion", "v1"},
                {"kind", "List"},
                {"items", Json::array({std::move(configMap), std::move(deploymentObject)})}};
}

} // namespace Core::Companion
