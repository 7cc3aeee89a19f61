// Host memory from fixture trees: meminfo, cgroup v1 and v2 limits along the
// path, containers whose cgroup path is not under the mount, and the notes.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "fixture_tree.h"
#include "host/memory.h"

namespace Core::Host {
namespace {

using testing::FixtureTree;
using Files = std::vector<std::pair<std::string, std::string>>;

constexpr char kMeminfo[] = "MemTotal:       16318460 kB\n"
                            "MemFree:         1000000 kB\n"
                            "MemAvailable:    8000000 kB\n"
                            "HugePages_Total:       0\n";
constexpr std::uint64_t kTotal = 16318460ULL * 1024;
constexpr std::uint64_t kAvailable = 8000000ULL * 1024;
constexpr std::uint64_t kGiB = 1ULL << 30U;

/// Notes name fixture paths; "{root}" stands for the tree's folder.
std::vector<std::string> rooted(std::vector<std::string> notes, const FixtureTree& tree) {
    for (std::string& note : notes) {
        for (std::size_t at = note.find("{root}"); at != std::string::npos;
             at = note.find("{root}")) {
            note.replace(at, 6, tree.root().string());
        }
    }
    return notes;
}

TEST(HostMemory, ControlGroupLimits) {
    struct Case {
        const char* name;
        Files files;
        std::optional<std::uint64_t> available;
        std::vector<std::string> notes;
    };
    const std::string v2 = "sys/fs/cgroup/";
    const std::string v1 = "sys/fs/cgroup/memory/";
    const std::vector<Case> cases = {
        {"v2 without a limit",
         {{"proc/self/cgroup", "0::/user.slice/app.scope\n"},
          {v2 + "user.slice/memory.max", "max\n"},
          {v2 + "user.slice/app.scope/memory.max", "max\n"},
          {v2 + "user.slice/app.scope/memory.current", "123\n"}},
         kAvailable,
         {}},
        {"v2 limit below available",
         {{"proc/self/cgroup", "0::/app.scope\n"},
          {v2 + "app.scope/memory.max", "2147483648\n"},
          {v2 + "app.scope/memory.current", "536870912\n"}},
         2 * kGiB - 512 * (1ULL << 20U),
         {}},
        {"v2 limit above available",
         {{"proc/self/cgroup", "0::/app.scope\n"},
          {v2 + "app.scope/memory.max", "68719476736\n"},
          {v2 + "app.scope/memory.current", "1\n"}},
         kAvailable,
         {}},
        {"v2 use above the limit gives 0, not a wrap",
         {{"proc/self/cgroup", "0::/app.scope\n"},
          {v2 + "app.scope/memory.max", "1073741824\n"},
          {v2 + "app.scope/memory.current", "2147483648\n"}},
         0,
         {}},
        {"v2 ancestor leaves less than the group itself",
         {{"proc/self/cgroup", "0::/parent/child\n"},
          {v2 + "parent/memory.max", "2147483648\n"},
          {v2 + "parent/memory.current", "1610612736\n"},
          {v2 + "parent/child/memory.max", "4294967296\n"},
          {v2 + "parent/child/memory.current", "1073741824\n"}},
         512 * (1ULL << 20U),
         {}},
        {"v1 limit, with the root's unlimited value",
         {{"proc/self/cgroup", "5:cpu,cpuacct:/docker/abc\n4:memory:/docker/abc\n"},
          {v1 + "memory.limit_in_bytes", "9223372036854771712\n"},
          {v1 + "memory.usage_in_bytes", "12884901888\n"},
          {v1 + "docker/abc/memory.limit_in_bytes", "1073741824\n"},
          {v1 + "docker/abc/memory.usage_in_bytes", "268435456\n"}},
         768 * (1ULL << 20U),
         {}},
        {"v1 unlimited",
         {{"proc/self/cgroup", "4:memory:/app\n"},
          {v1 + "app/memory.limit_in_bytes", "9223372036854771712\n"},
          {v1 + "app/memory.usage_in_bytes", "268435456\n"}},
         kAvailable,
         {}},
        {"hybrid layout: the v1 memory controller wins over the unified line",
         {{"proc/self/cgroup", "0::/app\n4:memory:/app\n"},
          {v2 + "app/memory.max", "max\n"},
          {v1 + "app/memory.limit_in_bytes", "1073741824\n"},
          {v1 + "app/memory.usage_in_bytes", "0\n"}},
         kGiB,
         {}},
        {"container: its host's path is not under the mount",
         {{"proc/self/cgroup", "0::/kubepods/pod1/abc\n"},
          {v2 + "memory.max", "1073741824\n"},
          {v2 + "memory.current", "0\n"}},
         kGiB,
         {"control group '/kubepods/pod1/abc' is not under '{root}/sys/fs/cgroup'; its memory "
          "limit is read at the mount's root"}},
        {"a path outside the cgroup namespace is not followed",
         {{"proc/self/cgroup", "0::/../../etc\n"},
          {"etc/memory.max", "1\n"},
          {"etc/memory.current", "0\n"},
          {v2 + "memory.max", "1073741824\n"},
          {v2 + "memory.current", "0\n"}},
         kGiB,
         {"control group '/../../etc' is not under '{root}/sys/fs/cgroup'; its memory limit is "
          "read at the mount's root"}},
        {"no cgroup file",
         {},
         kAvailable,
         {"cannot read '{root}/proc/self/cgroup', so host memory is not lowered to a control "
          "group's limit"}},
        {"no memory controller",
         {{"proc/self/cgroup", "3:cpu:/app\n"}},
         kAvailable,
         {"'{root}/proc/self/cgroup' names no memory control group, so host memory is not "
          "lowered to a control group's limit"}},
        {"no hierarchy mounted",
         {{"proc/self/cgroup", "0::/\n"}},
         kAvailable,
         {"no control group hierarchy at '{root}/sys/fs/cgroup', so host memory is not lowered "
          "to a control group's limit"}},
        {"unreadable limit",
         {{"proc/self/cgroup", "0::/app\n"},
          {v2 + "app/memory.max", "lots\n"},
          {v2 + "app/memory.current", "0\n"}},
         kAvailable,
         {"unreadable memory limit in '{root}/sys/fs/cgroup/app/memory.max' is ignored"}},
        {"unreadable use",
         {{"proc/self/cgroup", "0::/app\n"}, {v2 + "app/memory.max", "1073741824\n"}},
         kGiB,
         {"cannot read the memory use in '{root}/sys/fs/cgroup/app/memory.current', so the "
          "whole limit counts as available"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FixtureTree tree;
        tree.write("proc/meminfo", kMeminfo);
        tree.write(c.files);
        std::vector<std::string> notes;
        const HostMemory memory = probeHostMemory(tree.root(), notes);
        EXPECT_EQ(memory.total, kTotal);
        EXPECT_EQ(memory.available, c.available);
        EXPECT_EQ(notes, rooted(c.notes, tree));
    }
}

TEST(HostMemory, AvailableWithoutMemAvailable) {
    struct Case {
        const char* meminfo;
        std::optional<std::uint64_t> available;
        std::string note;
    };
    const std::vector<Case> cases = {
        {"MemTotal: 4096 kB\nMemFree: 1024 kB\n", 1024ULL * 1024,
         "no usable MemAvailable in '{root}/proc/meminfo', so host_available is MemFree"},
        {"MemTotal: 4096 kB\nMemAvailable: 12 MB\n", std::nullopt,
         "no usable MemAvailable or MemFree in '{root}/proc/meminfo', so host_available is "
         "unknown"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.meminfo);
        const FixtureTree tree;
        tree.write({{"proc/meminfo", c.meminfo}, {"proc/self/cgroup", "0::/\n"}});
        tree.write("sys/fs/cgroup/cgroup.controllers", "memory\n");
        std::vector<std::string> notes;
        const HostMemory memory = probeHostMemory(tree.root(), notes);
        EXPECT_EQ(memory.total, 4096U * 1024);
        EXPECT_EQ(memory.available, c.available);
        EXPECT_EQ(notes, rooted({c.note}, tree));
    }

    // Without MemAvailable a control group's limit still applies.
    const FixtureTree tree;
    tree.write({{"proc/meminfo", "MemTotal: 4096 kB\n"},
                {"proc/self/cgroup", "0::/app\n"},
                {"sys/fs/cgroup/app/memory.max", "1000\n"},
                {"sys/fs/cgroup/app/memory.current", "1\n"}});
    std::vector<std::string> notes;
    EXPECT_EQ(probeHostMemory(tree.root(), notes).available, 999U);
}

TEST(HostMemory, UnreadableTotalThrows) {
    struct Case {
        const char* name;
        std::optional<std::string> meminfo; ///< absent: no file at all
        std::string message;
    };
    const std::vector<Case> cases = {
        {"no meminfo", std::nullopt,
         "cannot read host memory: '{root}/proc/meminfo' is unreadable"},
        {"no MemTotal line", "MemFree: 1 kB\n",
         "cannot read host memory: no usable MemTotal in '{root}/proc/meminfo'"},
        {"not in kB", "MemTotal: 4096\n",
         "cannot read host memory: no usable MemTotal in '{root}/proc/meminfo'"},
        {"kB to bytes overflows", "MemTotal: 18014398509481984 kB\n",
         "cannot read host memory: no usable MemTotal in '{root}/proc/meminfo'"},
        {"beyond 64 bits", "MemTotal: 99999999999999999999 kB\n",
         "cannot read host memory: no usable MemTotal in '{root}/proc/meminfo'"},
        {"zero", "MemTotal: 0 kB\n",
         "cannot read host memory: no usable MemTotal in '{root}/proc/meminfo'"},
        {"a prefix of the key is not the key", "MemTotalX: 4096 kB\n",
         "cannot read host memory: no usable MemTotal in '{root}/proc/meminfo'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FixtureTree tree;
        if (c.meminfo) {
            tree.write("proc/meminfo", *c.meminfo);
        }
        std::vector<std::string> notes;
        try {
            (void)probeHostMemory(tree.root(), notes);
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), rooted({c.message}, tree).front());
        }
    }

    // A root whose files never end is not read to the end.
    const FixtureTree endless;
    std::filesystem::create_directories(endless.root() / "proc");
    std::filesystem::create_symlink("/dev/zero", endless.root() / "proc/meminfo");
    std::vector<std::string> endlessNotes;
    EXPECT_THROW((void)probeHostMemory(endless.root(), endlessNotes), std::runtime_error);

    // The largest total that fits: 2^54 - 1 kB.
    const FixtureTree tree;
    tree.write("proc/meminfo", "MemTotal: 18014398509481983 kB\n");
    std::vector<std::string> notes;
    EXPECT_EQ(probeHostMemory(tree.root(), notes).total, 18014398509481983ULL * 1024);
}

} // namespace
} // namespace Core::Host
