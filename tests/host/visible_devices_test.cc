// CUDA_VISIBLE_DEVICES as the CUDA runtime reads it, and the capability tags
// of a compute capability.
#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "host/cuda_devices.h"
#include "host/visible_devices.h"

namespace Core::Host {
namespace {

TEST(VisibleDevices, EntriesUpToTheFirstInvalidOne) {
    const std::vector<std::string> uuids = {"GPU-aaaa-0", "GPU-aaab-1", "GPU-b-2"};
    const std::string stops = "' names no GPU the probe lists; CUDA shows only the entries "
                              "before it";
    struct Case {
        std::optional<std::string> value;
        std::vector<std::size_t> positions;
        bool uses_device_order;
        std::vector<std::string> notes;
    };
    const std::vector<Case> cases = {
        {std::nullopt, {0, 1, 2}, true, {}},
        {"", {}, false, {"CUDA_VISIBLE_DEVICES shows 0 of the 3 GPUs"}},
        {"2,0,1", {2, 0, 1}, true, {}},
        {"GPU-b", {2}, false, {"CUDA_VISIBLE_DEVICES shows 1 of the 3 GPUs"}},
        {"GPU-aaab-1,GPU-aaaa", {1, 0}, false, {"CUDA_VISIBLE_DEVICES shows 2 of the 3 GPUs"}},
        {"GPU-b,0", {2, 0}, true, {"CUDA_VISIBLE_DEVICES shows 2 of the 3 GPUs"}},
        {"GPU-aaa,0",
         {},
         false,
         {"CUDA_VISIBLE_DEVICES entry 'GPU-aaa" + stops,
          "CUDA_VISIBLE_DEVICES shows 0 of the 3 GPUs"}},
        {"1,-1,0",
         {1},
         true,
         {"CUDA_VISIBLE_DEVICES entry '-1" + stops, "CUDA_VISIBLE_DEVICES shows 1 of the 3 GPUs"}},
        {"0,3",
         {0},
         true,
         {"CUDA_VISIBLE_DEVICES entry '3" + stops, "CUDA_VISIBLE_DEVICES shows 1 of the 3 GPUs"}},
        {"0,1x",
         {0},
         true,
         {"CUDA_VISIBLE_DEVICES entry '1x" + stops, "CUDA_VISIBLE_DEVICES shows 1 of the 3 GPUs"}},
        {"0,,1",
         {0},
         true,
         {"CUDA_VISIBLE_DEVICES entry '" + stops, "CUDA_VISIBLE_DEVICES shows 1 of the 3 GPUs"}},
        {"1,GPU-aaab",
         {1},
         true,
         {"CUDA_VISIBLE_DEVICES entry 'GPU-aaab" + stops,
          "CUDA_VISIBLE_DEVICES shows 1 of the 3 GPUs"}},
        {"MIG-GPU-aaaa-0/1/0,0",
         {},
         false,
         {"CUDA_VISIBLE_DEVICES entry 'MIG-GPU-aaaa-0/1/0" + stops,
          "CUDA_VISIBLE_DEVICES shows 0 of the 3 GPUs"}},
        {"GPU-c", {}, false, {"CUDA_VISIBLE_DEVICES entry 'GPU-c" + stops,
                              "CUDA_VISIBLE_DEVICES shows 0 of the 3 GPUs"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value.value_or("(unset)"));
        const VisibleDevices visible = visibleDevices(c.value, uuids);
        EXPECT_EQ(visible.positions, c.positions);
        EXPECT_EQ(visible.uses_device_order, c.uses_device_order);
        EXPECT_EQ(visible.notes, c.notes);
    }

    // Without GPUs there is nothing to show or hide, and nothing to note.
    const VisibleDevices none = visibleDevices("0,1", {});
    EXPECT_TRUE(none.positions.empty());
    EXPECT_TRUE(none.notes.empty());
}

TEST(CudaCapabilityTags, FromComputeCapability) {
    struct Case {
        std::uint32_t major;
        std::uint32_t minor;
        std::vector<std::string> tags;
    };
    const std::vector<Case> cases = {
        {3, 7, {"fp32"}},
        {5, 2, {"fp32"}},
        {5, 3, {"fp32", "fp16"}},
        {7, 5, {"fp32", "fp16"}},
        {8, 0, {"fp32", "fp16", "bf16_candidate"}},
        {12, 0, {"fp32", "fp16", "bf16_candidate"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor));
        EXPECT_EQ(cudaCapabilityTags(c.major, c.minor), c.tags);
    }
}

} // namespace
} // namespace Core::Host
