// Host memory from fixture trees: meminfo; cgroup v1 and v2 found through
// mountinfo wherever they are mounted; limits along the path, page cache,
// containers whose group is not under the mount; files that cannot be read,
// FIFOs and paths too deep to walk; and the notes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
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
constexpr std::uint64_t kMiB = 1ULL << 20U;
constexpr std::uint64_t kGiB = 1ULL << 30U;

/// mountinfo lines: the root file system, then a cgroup hierarchy.
const std::string kRootMount = "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n";
std::string v2Mount(const std::string& mountPoint, const std::string& root = "/") {
    return kRootMount + "30 22 0:26 " + root + " " + mountPoint +
           " rw,nosuid,nodev,noexec,relatime shared:4 - cgroup2 cgroup2 rw,nsdelegate\n";
}
std::string v1Mount(const std::string& mountPoint, const std::string& controllers,
                    const std::string& root = "/") {
    return "35 30 0:31 " + root + " " + mountPoint +
           " rw,nosuid,nodev,noexec,relatime shared:9 - cgroup cgroup rw," + controllers + "\n";
}

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

std::string applied(const std::string& file, std::uint64_t limit, std::uint64_t inUse) {
    return "host_available is the control group's limit in '{root}/" + file + "' (" +
           std::to_string(limit) + " bytes) less its use without reclaimable page cache (" +
           std::to_string(inUse) + " bytes)";
}

struct Case {
    const char* name;
    Files files;
    std::optional<std::uint64_t> available;
    std::vector<std::string> notes;
    std::vector<std::string> fifos = {};   ///< FIFOs where files are expected
    std::vector<std::string> folders = {}; ///< folders where files are expected
};

void expectCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FixtureTree tree;
        tree.write("proc/meminfo", kMeminfo);
        tree.write(c.files);
        for (const std::string& fifo : c.fifos) {
            tree.fifo(fifo);
        }
        for (const std::string& folder : c.folders) {
            tree.folder(folder);
        }
        std::vector<std::string> notes;
        const HostMemory memory = probeHostMemory(tree.root(), notes);
        EXPECT_EQ(memory.total, kTotal);
        EXPECT_EQ(memory.available, c.available);
        EXPECT_EQ(notes, rooted(c.notes, tree));
    }
}

TEST(HostMemory, ControlGroupV2) {
    const std::string cg = "sys/fs/cgroup/";
    expectCases({
        {"no limit on the way up",
         {{"proc/self/cgroup", "0::/user.slice/app.scope\n"},
          {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup")},
          {cg + "user.slice/memory.max", "max\n"},
          {cg + "user.slice/app.scope/memory.max", "max\n"},
          {cg + "user.slice/app.scope/memory.current", "123\n"}},
         kAvailable,
         {}},
        {"mounted elsewhere; inactive page cache does not count as used",
         {{"proc/self/cgroup", "0::/app.scope\n"},
          {"proc/self/mountinfo", v2Mount("/run/unified")},
          {"run/unified/app.scope/memory.max", "2147483648\n"},
          {"run/unified/app.scope/memory.current", "1610612736\n"},
          {"run/unified/app.scope/memory.stat", "anon 536870912\nfile 1073741824\n"
                                                "active_file 0\ninactive_file 1073741824\n"}},
         2 * kGiB - 512 * kMiB,
         {applied("run/unified/app.scope/memory.max", 2 * kGiB, 512 * kMiB)}},
        {"without memory.stat, page cache counts as used",
         {{"proc/self/cgroup", "0::/app.scope\n"},
          {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup")},
          {cg + "app.scope/memory.max", "2147483648\n"},
          {cg + "app.scope/memory.current", "1610612736\n"}},
         512 * kMiB,
         {"host_available is the control group's limit in '{root}/sys/fs/cgroup/app.scope/"
          "memory.max' (2147483648 bytes) less its use (1610612736 bytes, page cache "
          "included: its memory.stat gives no inactive_file)"}},
        {"a limit above what the host has leaves the host's figure",
         {{"proc/self/cgroup", "0::/app.scope\n"},
          {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup")},
          {cg + "app.scope/memory.max", "68719476736\n"},
          {cg + "app.scope/memory.current", "1\n"},
          {cg + "app.scope/memory.stat", "inactive_file 0\n"}},
         kAvailable,
         {}},
        {"use above the limit gives 0, not a wrap",
         {{"proc/self/cgroup", "0::/app.scope\n"},
          {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup")},
          {cg + "app.scope/memory.max", "1073741824\n"},
          {cg + "app.scope/memory.current", "2147483648\n"},
          {cg + "app.scope/memory.stat", "inactive_file 4096\n"}},
         0,
         {applied("sys/fs/cgroup/app.scope/memory.max", kGiB, 2 * kGiB - 4096)}},
        {"nested groups: the ancestor leaves less than the group itself",
         {{"proc/self/cgroup", "0::/parent/child\n"},
          {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup")},
          {cg + "parent/memory.max", "2147483648\n"},
          {cg + "parent/memory.current", "1610612736\n"},
          {cg + "parent/memory.stat", "inactive_file 0\n"},
          {cg + "parent/child/memory.max", "4294967296\n"},
          {cg + "parent/child/memory.current", "1073741824\n"},
          {cg + "parent/child/memory.stat", "inactive_file 0\n"}},
         512 * kMiB,
         {applied("sys/fs/cgroup/parent/memory.max", 2 * kGiB, 1536 * kMiB)}},
        {"nested groups: the group leaves less than its unlimited ancestor",
         {{"proc/self/cgroup", "0::/parent/child\n"},
          {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup")},
          {cg + "parent/memory.max", "max\n"},
          {cg + "parent/child/memory.max", "1073741824\n"},
          {cg + "parent/child/memory.current", "1073741824\n"},
          {cg + "parent/child/memory.stat", "inactive_file 805306368\n"}},
         768 * kMiB,
         {applied("sys/fs/cgroup/parent/child/memory.max", kGiB, 256 * kMiB)}},
        {"a mount point with a blank, as mountinfo escapes it",
         {{"proc/self/cgroup", "0::/app\n"},
          {"proc/self/mountinfo", v2Mount("/run/my\\040cgroup")},
          {"run/my cgroup/app/memory.max", "1073741824\n"},
          {"run/my cgroup/app/memory.current", "0\n"},
          {"run/my cgroup/app/memory.stat", "inactive_file 0\n"}},
         kGiB,
         {applied("run/my cgroup/app/memory.max", kGiB, 0)}},
    });
}

TEST(HostMemory, ControlGroupV1) {
    const std::string cg = "sys/fs/cgroup/memory/";
    expectCases({
        {"a limit under the root's unlimited value; the whole subtree's page cache",
         {{"proc/self/cgroup", "5:cpu,cpuacct:/docker/abc\n4:memory:/docker/abc\n"},
          {"proc/self/mountinfo", v1Mount("/sys/fs/cgroup/memory", "memory")},
          {cg + "memory.limit_in_bytes", "9223372036854771712\n"},
          {cg + "memory.usage_in_bytes", "12884901888\n"},
          {cg + "docker/abc/memory.limit_in_bytes", "1073741824\n"},
          {cg + "docker/abc/memory.usage_in_bytes", "536870912\n"},
          {cg + "docker/abc/memory.stat", "inactive_file 1\ntotal_inactive_file 268435456\n"}},
         768 * kMiB,
         {applied("sys/fs/cgroup/memory/docker/abc/memory.limit_in_bytes", kGiB, 256 * kMiB)}},
        {"the memory controller mounted beside others, at an unusual place",
         {{"proc/self/cgroup", "7:cpu,memory,cpuacct:/batch/job\n"},
          {"proc/self/mountinfo",
           kRootMount + v1Mount("/cgroup/cpu", "cpu") + v1Mount("/cgroup/all", "cpu,memory,cpuacct")},
          {"cgroup/all/batch/memory.limit_in_bytes", "4294967296\n"},
          {"cgroup/all/batch/memory.usage_in_bytes", "1073741824\n"},
          {"cgroup/all/batch/job/memory.limit_in_bytes", "9223372036854771712\n"}},
         3 * kGiB,
         {"host_available is the control group's limit in '{root}/cgroup/all/batch/"
          "memory.limit_in_bytes' (4294967296 bytes) less its use (1073741824 bytes, page cache "
          "included: its memory.stat gives no total_inactive_file)"}},
        {"unlimited",
         {{"proc/self/cgroup", "4:memory:/app\n"},
          {"proc/self/mountinfo", v1Mount("/sys/fs/cgroup/memory", "memory")},
          {cg + "app/memory.limit_in_bytes", "9223372036854771712\n"},
          {cg + "app/memory.usage_in_bytes", "268435456\n"}},
         kAvailable,
         {}},
        {"hybrid layout: the v1 memory controller wins over the unified line",
         {{"proc/self/cgroup", "0::/app\n4:memory:/app\n"},
          {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup/unified") +
                                      v1Mount("/sys/fs/cgroup/memory", "memory")},
          {"sys/fs/cgroup/unified/app/memory.max", "max\n"},
          {cg + "app/memory.limit_in_bytes", "1073741824\n"},
          {cg + "app/memory.usage_in_bytes", "0\n"},
          {cg + "app/memory.stat", "total_inactive_file 0\n"}},
         kGiB,
         {applied("sys/fs/cgroup/memory/app/memory.limit_in_bytes", kGiB, 0)}},
    });
}

TEST(HostMemory, ContainersAndGroupsOutsideTheMount) {
    const std::string cg = "sys/fs/cgroup/";
    const Files limitAtRoot = {{cg + "memory.max", "1073741824\n"},
                               {cg + "memory.current", "0\n"},
                               {cg + "memory.stat", "inactive_file 0\n"}};
    const auto with = [&limitAtRoot](Files files) {
        files.insert(files.end(), limitAtRoot.begin(), limitAtRoot.end());
        return files;
    };
    expectCases({
        {"the mount's root is the group (no cgroup namespace)",
         with({{"proc/self/cgroup", "0::/kubepods/pod1/abc\n"},
               {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup", "/kubepods/pod1/abc")}}),
         kGiB,
         {applied("sys/fs/cgroup/memory.max", kGiB, 0)}},
        {"the host's path, not under the mount",
         with({{"proc/self/cgroup", "0::/kubepods/pod1/abc\n"},
               {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup")}}),
         kGiB,
         {"control group '/kubepods/pod1/abc' is not under '{root}/sys/fs/cgroup'; its memory "
          "limit is read at the mount's root",
          applied("sys/fs/cgroup/memory.max", kGiB, 0)}},
        {"a path outside the cgroup namespace is not followed",
         with({{"proc/self/cgroup", "0::/../../etc\n"},
               {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup")},
               {"etc/memory.max", "1\n"},
               {"etc/memory.current", "0\n"}}),
         kGiB,
         {"control group '/../../etc' is not under '{root}/sys/fs/cgroup'; its memory limit is "
          "read at the mount's root",
          applied("sys/fs/cgroup/memory.max", kGiB, 0)}},
        {"a mount of another group is passed over for the one that holds it",
         {{"proc/self/cgroup", "0::/a/b\n"},
          {"proc/self/mountinfo", v2Mount("/elsewhere", "/z") + v2Mount("/sys/fs/cgroup", "/a")},
          {cg + "b/memory.max", "1073741824\n"},
          {cg + "b/memory.current", "0\n"},
          {cg + "b/memory.stat", "inactive_file 0\n"}},
         kGiB,
         {applied("sys/fs/cgroup/b/memory.max", kGiB, 0)}},
    });
}

TEST(HostMemory, WhatCannotBeFoundOrReadIsANote) {
    const std::string cg = "sys/fs/cgroup/";
    const std::string notLowered = ", so host memory is not lowered to a control group's limit";
    const Files app = {{"proc/self/cgroup", "0::/app\n"},
                       {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup")}};
    const auto with = [&app](Files files) {
        files.insert(files.end(), app.begin(), app.end());
        return files;
    };
    expectCases({
        {"no cgroup file",
         {},
         kAvailable,
         {"cannot read '{root}/proc/self/cgroup' (No such file or directory)" + notLowered}},
        {"no memory controller",
         {{"proc/self/cgroup", "3:cpu:/app\n"}},
         kAvailable,
         {"'{root}/proc/self/cgroup' names no memory control group" + notLowered}},
        {"no mountinfo",
         {{"proc/self/cgroup", "0::/\n"}},
         kAvailable,
         {"cannot read '{root}/proc/self/mountinfo' (No such file or directory)" + notLowered}},
        {"the hierarchy is not mounted",
         {{"proc/self/cgroup", "4:memory:/app\n"},
          {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup") + v1Mount("/cg/cpu", "cpu")}},
         kAvailable,
         {"'{root}/proc/self/mountinfo' mounts no cgroup v1 hierarchy with the memory controller" +
          notLowered}},
        {"no folder at the mount point",
         {{"proc/self/cgroup", "0::/\n"}, {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup")}},
         kAvailable,
         {"no control group hierarchy at '{root}/sys/fs/cgroup' (No such file or directory)" +
          notLowered}},
        // A limit that is there but cannot be read may be the tightest: nothing is promised.
        {"a limit that does not parse",
         with({{cg + "app/memory.max", "lots\n"}, {cg + "app/memory.current", "0\n"}}),
         0,
         {"cannot parse the memory limit in '{root}/sys/fs/cgroup/app/memory.max', so "
          "host_available is 0"}},
        {"a folder in place of the limit",
         with({{cg + "app/memory.current", "0\n"}}),
         0,
         {"cannot read the memory limit in '{root}/sys/fs/cgroup/app/memory.max' (it is not a "
          "regular file), so host_available is 0"},
         {},
         {cg + "app/memory.max"}},
        {"a FIFO in place of the limit",
         with({{cg + "app/memory.current", "0\n"}}),
         0,
         {"cannot read the memory limit in '{root}/sys/fs/cgroup/app/memory.max' (it is not a "
          "regular file), so host_available is 0"},
         {cg + "app/memory.max"}},
        {"no use beside a limit",
         with({{cg + "app/memory.max", "1073741824\n"}}),
         0,
         {"cannot read the memory use in '{root}/sys/fs/cgroup/app/memory.current' (No such file "
          "or directory), so host_available is 0"}},
        {"a FIFO in place of the use",
         with({{cg + "app/memory.max", "1073741824\n"}}),
         0,
         {"cannot read the memory use in '{root}/sys/fs/cgroup/app/memory.current' (it is not a "
          "regular file), so host_available is 0"},
         {cg + "app/memory.current"}},
        {"a use that does not parse",
         with({{cg + "app/memory.max", "1073741824\n"}, {cg + "app/memory.current", "-1\n"}}),
         0,
         {"cannot read the memory use in '{root}/sys/fs/cgroup/app/memory.current' (not a "
          "number), so host_available is 0"}},
        {"a file in place of a group's folder",
         {{"proc/self/cgroup", "0::/app/inner\n"},
          {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup")},
          {cg + "app", "not a folder\n"}},
         0,
         {"cannot open the control group folder '{root}/sys/fs/cgroup/app' (Not a directory), so "
          "host_available is 0"}},
        {"FIFOs in place of the process's cgroup and mount lists",
         {},
         kAvailable,
         {"cannot read '{root}/proc/self/cgroup' (it is not a regular file)" + notLowered},
         {"proc/self/cgroup"}},
        {"a FIFO in place of the mount list",
         {{"proc/self/cgroup", "0::/app\n"}},
         kAvailable,
         {"cannot read '{root}/proc/self/mountinfo' (it is not a regular file)" + notLowered},
         {"proc/self/mountinfo"}},
    });
}

// 32,000 levels in a 64 KB file: each level copied the ones above it, 24 GB
// in all. Now the path is split once and not walked past the kernel's depth.
TEST(HostMemory, GroupPathTooDeepIsNotWalked) {
    const FixtureTree tree;
    std::string path;
    for (int level = 0; level < 32000; ++level) {
        path += "/a";
    }
    tree.write({{"proc/meminfo", kMeminfo},
                {"proc/self/cgroup", "0::" + path + "\n"},
                {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup")}});
    tree.folder("sys/fs/cgroup");
    std::vector<std::string> notes;
    const HostMemory memory = probeHostMemory(tree.root(), notes);
    EXPECT_EQ(memory.available, 0U);
    EXPECT_EQ(notes, rooted({"the memory control group in '{root}/proc/self/cgroup' is more than "
                             "2048 levels deep, so host_available is 0"},
                            tree));

    // As deep as the kernel goes, every level is read.
    const FixtureTree deep;
    std::string levels = "sys/fs/cgroup";
    std::string group;
    for (int level = 0; level < 2048; ++level) {
        levels += "/a";
        group += "/a";
    }
    deep.write({{"proc/meminfo", kMeminfo},
                {"proc/self/cgroup", "0::" + group + "\n"},
                {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup")}});
    // Opened level by level, so the path may be longer than PATH_MAX.
    const std::filesystem::path top = deep.root() / "sys/fs/cgroup";
    std::filesystem::create_directories(top);
    const std::filesystem::path workingFolder = std::filesystem::current_path();
    ASSERT_EQ(::chdir(top.c_str()), 0);
    for (int level = 0; level < 2048; ++level) {
        ASSERT_EQ(::mkdir("a", 0700), 0);
        ASSERT_EQ(::chdir("a"), 0);
    }
    std::ofstream("memory.max") << "1073741824\n";
    std::ofstream("memory.current") << "0\n";
    std::ofstream("memory.stat") << "inactive_file 0\n";
    std::filesystem::current_path(workingFolder);
    std::vector<std::string> deepNotes;
    EXPECT_EQ(probeHostMemory(deep.root(), deepNotes).available, kGiB);
    ASSERT_EQ(deepNotes.size(), 1U);
    EXPECT_TRUE(deepNotes[0].ends_with("/a/a/memory.max' (1073741824 bytes) less its use without "
                                       "reclaimable page cache (0 bytes)"));
}

TEST(HostMemory, AvailableFromMeminfo) {
    struct MeminfoCase {
        const char* meminfo;
        std::optional<std::uint64_t> available;
        std::string note;
    };
    const std::vector<MeminfoCase> cases = {
        {"MemTotal: 4096 kB\nMemFree: 1024 kB\n", 1024ULL * 1024,
         "no usable MemAvailable in '{root}/proc/meminfo', so host_available is MemFree"},
        {"MemTotal: 4096 kB\nMemAvailable: 12 MB\n", std::nullopt,
         "no usable MemAvailable or MemFree in '{root}/proc/meminfo', so host_available is "
         "unknown"},
        {"MemTotal: 4096 kB\nMemAvailable: 8192 kB\n", 4096ULL * 1024,
         "available memory in '{root}/proc/meminfo' is above MemTotal, so host_available is "
         "MemTotal"},
    };
    for (const MeminfoCase& c : cases) {
        SCOPED_TRACE(c.meminfo);
        const FixtureTree tree;
        tree.write({{"proc/meminfo", c.meminfo},
                    {"proc/self/cgroup", "0::/\n"},
                    {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup")},
                    {"sys/fs/cgroup/cgroup.controllers", "memory\n"}});
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
                {"proc/self/mountinfo", v2Mount("/sys/fs/cgroup")},
                {"sys/fs/cgroup/app/memory.max", "1000\n"},
                {"sys/fs/cgroup/app/memory.current", "1\n"},
                {"sys/fs/cgroup/app/memory.stat", "inactive_file 0\n"}});
    std::vector<std::string> notes;
    EXPECT_EQ(probeHostMemory(tree.root(), notes).available, 999U);
}

TEST(HostMemory, UnreadableTotalThrows) {
    struct TotalCase {
        const char* name;
        std::optional<std::string> meminfo; ///< absent: no file at all
        std::string message;
    };
    const std::vector<TotalCase> cases = {
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
    for (const TotalCase& c : cases) {
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

    // Files that never end, or never answer, are not read: a device and a FIFO.
    const FixtureTree endless;
    std::filesystem::create_directories(endless.root() / "proc");
    std::filesystem::create_symlink("/dev/zero", endless.root() / "proc/meminfo");
    std::vector<std::string> endlessNotes;
    EXPECT_THROW((void)probeHostMemory(endless.root(), endlessNotes), std::runtime_error);
    const FixtureTree fifo;
    fifo.fifo("proc/meminfo");
    EXPECT_THROW((void)probeHostMemory(fifo.root(), endlessNotes), std::runtime_error);

    // The largest total that fits: 2^54 - 1 kB.
    const FixtureTree tree;
    tree.write("proc/meminfo", "MemTotal: 18014398509481983 kB\n");
    std::vector<std::string> notes;
    EXPECT_EQ(probeHostMemory(tree.root(), notes).total, 18014398509481983ULL * 1024);
}

} // namespace
} // namespace Core::Host
