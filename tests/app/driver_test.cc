// The command-line run in-process: argument check, file reading, the error
// line, and every placement under tests/app/cases and examples against its
// expected output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/driver.h"
#include "app/placement_file.h"

namespace Core::App {
namespace {

namespace fs = std::filesystem;

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

RunResult runTool(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = run(args, out, err);
    return {status, out.str(), err.str()};
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

class DriverTest : public ::testing::Test {
  protected:
    // Paths in expected outputs are relative to the project root.
    void SetUp() override { fs::current_path(TALVEX_SOURCE_DIR); }
};

TEST_F(DriverTest, ArgumentCount) {
    const std::string usage = "deployment example: usage: talvex_composite_deploy <file.cplace>\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"examples/demo.cplace", "x"}}) {
        const RunResult result = runTool(args);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, usage);
    }
}

TEST_F(DriverTest, FilesThatCannotBeRead) {
    for (const std::string path : {"tests/app/cases/no-such-file.cplace", "tests/app/cases",
                                   "tests/app/cases/"}) {
        SCOPED_TRACE(path);
        const RunResult result = runTool({path});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "deployment example: cannot open placement file: " + path + "\n");
    }
}

TEST_F(DriverTest, ParseErrorsShowThePathAsGiven) {
    const RunResult result = runTool({"./tests/app/cases/../cases/empty.cplace"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "deployment example: ./tests/app/cases/../cases/empty.cplace:1:1: expected "
              "'placement'\n");
}

/// Each NAME.cplace has NAME.stdout (a report, status 0) or NAME.stderr (one
/// error line, status 1) beside it.
TEST_F(DriverTest, PlacementFilesGiveTheirExpectedOutput) {
    int checked = 0;
    for (const char* folder : {"tests/app/cases", "examples"}) {
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
            const fs::path& input = entry.path();
            if (input.extension() != ".cplace") {
                continue;
            }
            SCOPED_TRACE(input.string());
            fs::path stdoutFile = input;
            stdoutFile.replace_extension(".stdout");
            fs::path stderrFile = input;
            stderrFile.replace_extension(".stderr");
            const bool succeeds = fs::exists(stdoutFile);
            ASSERT_NE(succeeds, fs::exists(stderrFile)) << "needs exactly one expected output";

            const RunResult result = runTool({input.string()});
            EXPECT_EQ(result.status, succeeds ? 0 : 1);
            EXPECT_EQ(result.out, succeeds ? slurp(stdoutFile) : "");
            EXPECT_EQ(result.err, succeeds ? "" : slurp(stderrFile));
            ++checked;
        }
    }
    EXPECT_GT(checked, 0);
}

class FailingBuffer : public std::streambuf {
  protected:
    int_type overflow(int_type /*c*/) override { return traits_type::eof(); }
    std::streamsize xsputn(const char* /*s*/, std::streamsize /*n*/) override { return 0; }
};

TEST_F(DriverTest, ReportThatCannotBeWrittenIsAFailure) {
    FailingBuffer buffer;
    std::ostream out(&buffer);
    std::ostringstream err;
    EXPECT_EQ(run({"examples/demo.cplace"}, out, err), 1);
    EXPECT_EQ(err.str(), "deployment example: cannot write report to standard output\n");
}

TEST(PlacementFile, ReadsBytesUnchanged) {
    const fs::path path = fs::temp_directory_path() / "talvex_read_test.cplace";
    const std::string content = std::string("a\r\nb\0c\xff", 7);
    {
        std::ofstream file(path, std::ios::binary);
        file << content;
    }
    EXPECT_EQ(readPlacementFile(path.string()), content);
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
    }
    EXPECT_EQ(readPlacementFile(path.string()), "");
    fs::remove(path);
}

TEST(PlacementFile, StopsAtTheSizeLimit) {
    const fs::path path = fs::temp_directory_path() / "talvex_limit_test.cplace";
    {
        std::ofstream file(path, std::ios::binary);
        file << "0123456789";
    }
    EXPECT_EQ(readPlacementFile(path.string(), 10), "0123456789");
    // No limit at all: one past it would wrap to 0 and read nothing.
    EXPECT_EQ(readPlacementFile(path.string(), UINT64_MAX), "0123456789");
    EXPECT_EQ(readPlacementFile(path.string(), UINT64_MAX - 1), "0123456789");
    try {
        (void)readPlacementFile(path.string(), 9);
        ADD_FAILURE() << "a file past the limit was read";
    } catch (const Placement::PlacementTooLarge& error) {
        EXPECT_STREQ(error.what(), ("placement file is too large: " + path.string()).c_str());
    }
    fs::remove(path);
}

/// Writes `content` into a pipe from another thread; its read end is open as
/// /dev/fd/N, a stream without a size.
class PipeWriter {
  public:
    explicit PipeWriter(std::string content) {
        std::array<int, 2> ends{};
        if (::pipe(ends.data()) != 0) {
            throw std::runtime_error("cannot make a pipe");
        }
        readEnd_ = ends[0];
        writer_ = std::thread([content = std::move(content), fd = ends[1]] {
            std::string_view rest = content;
            while (!rest.empty()) {
                const ::ssize_t written = ::write(fd, rest.data(), rest.size());
                if (written <= 0) {
                    break; // the reader stopped early
                }
                rest.remove_prefix(static_cast<std::size_t>(written));
            }
            ::close(fd);
        });
    }
    ~PipeWriter() {
        ::close(readEnd_);
        writer_.join();
    }
    PipeWriter(const PipeWriter&) = delete;
    PipeWriter& operator=(const PipeWriter&) = delete;
    PipeWriter(PipeWriter&&) = delete;
    PipeWriter& operator=(PipeWriter&&) = delete;

    [[nodiscard]] std::string path() const { return "/dev/fd/" + std::to_string(readEnd_); }

  private:
    int readEnd_ = -1;
    std::thread writer_;
};

// Small and large files (a large one is read into another kind of buffer), as
// regular files and through pipes: the same bytes, the same limit.
TEST(PlacementFile, FilesAndStreamsGiveTheSameBytes) {
    const fs::path path = fs::temp_directory_path() / "talvex_stream_test.cplace";
    for (const std::size_t size : {std::size_t{0}, std::size_t{100}, std::size_t{65536},
                                   (std::size_t{5} << 20U) + 3}) {
        SCOPED_TRACE(size);
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            content[i] = static_cast<char>((i * 7919) >> 3U);
        }
        {
            std::ofstream file(path, std::ios::binary | std::ios::trunc);
            file << content;
        }
        EXPECT_EQ(readPlacementFile(path.string()), content);
        {
            const PipeWriter pipe(content);
            EXPECT_EQ(readPlacementFile(pipe.path()), content);
        }
        if (size > 0) {
            const PipeWriter pipe(content);
            EXPECT_THROW((void)readPlacementFile(pipe.path(), size - 1), Placement::PlacementTooLarge);
            EXPECT_THROW((void)readPlacementFile(path.string(), size - 1),
                         Placement::PlacementTooLarge);
        }
    }
    fs::remove(path);
}

TEST(PlacementFile, RegularFileOverTheLimitIsRefusedUnread) {
    // Sparse, so it takes no disk; read up to the limit it would take seconds
    // and 4 GiB of memory before being refused.
    const fs::path path = fs::temp_directory_path() / "talvex_sparse_test.cplace";
    {
        std::ofstream file(path, std::ios::binary);
    }
    fs::resize_file(path, std::uintmax_t{5} << 30);
    const std::string message = "placement file is too large: " + path.string();
    try {
        (void)readPlacementBytes(path.string());
        ADD_FAILURE() << "a file over the limit was read";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(error.what(), message);
    }
    const RunResult result = runTool({path.string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "deployment example: " + message + "\n");
    fs::remove(path);
}

TEST(PlacementFile, EndlessStreamStopsAtTheLimit) {
    // A device without end and without size: reading must stop, not exhaust memory.
    try {
        (void)readPlacementFile("/dev/zero", 1 << 20);
        ADD_FAILURE() << "an endless stream was read to its end";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "placement file is too large: /dev/zero");
    }
}

} // namespace
} // namespace Core::App
