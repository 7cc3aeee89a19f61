// The companion command in-process: its end-to-end cases against their
// expected output, deploy against the tool, the command line's mistakes, bad
// input, and the host inventory on a machine made of fixtures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app/driver.h"
#include "companion/codes.h"
#include "companion/session.h"
#include "companion_support.h"

namespace Core::Companion {
namespace {

namespace fs = std::filesystem;
using testing::Outcome;
using testing::runCommand;
using testing::slurp;

class CompanionTest : public ::testing::Test {
  protected:
    // Paths in expected outputs are relative to the project root.
    void SetUp() override { fs::current_path(TALVEX_SOURCE_DIR); }
};

/// Each NAME.cplace under tests/companion/cases has NAME.check, what check
/// prints for it, and NAME.explain, what explain prints on standard output,
/// unless that is nothing.
TEST_F(CompanionTest, CasesGiveTheirExpectedOutput) {
    int checked = 0;
    for (const auto& entry : fs::directory_iterator("tests/companion/cases")) {
        const fs::path& input = entry.path();
        if (input.extension() != ".cplace") {
            continue;
        }
        SCOPED_TRACE(input.string());
        fs::path expected = input;
        const std::string check = slurp(expected.replace_extension(".check"));
        ASSERT_TRUE(fs::exists(expected)) << "needs its .check";
        const Outcome checkRun = runCommand({"check", input.string()});
        EXPECT_EQ(checkRun.out, check);
        EXPECT_EQ(checkRun.err, "");
        const bool refused = check.find(": error: ") != std::string::npos;
        EXPECT_EQ(checkRun.status, refused ? 1 : 0);

        const Outcome explainRun = runCommand({"explain", input.string()});
        EXPECT_EQ(explainRun.status, checkRun.status);
        // Explain says on standard error what check says on standard output.
        EXPECT_EQ(explainRun.err, check);
        if (fs::exists(expected.replace_extension(".explain"))) {
            EXPECT_EQ(explainRun.out, slurp(expected));
        } else {
            EXPECT_TRUE(refused) << "a case that resolves needs its .explain";
            EXPECT_EQ(explainRun.out, "") << "a refusal with budgets needs its .explain";
        }
        ++checked;
    }
    EXPECT_GE(checked, 10);
}

TEST_F(CompanionTest, ColourOnlyWhereAskedFor) {
    const std::string file = "tests/companion/cases/several_faults.cplace";
    const std::string plain = slurp("tests/companion/cases/several_faults.check");
    // Not a terminal: no colour by default, whatever NO_COLOR says.
    EXPECT_EQ(runCommand({"check", file}).out, plain);
    EXPECT_EQ(runCommand({"check", file, "--color", "never"}).out, plain);
    ::setenv("NO_COLOR", "1", 1);
    const Outcome coloured = runCommand({"check", file, "--color", "always"});
    ::unsetenv("NO_COLOR");
    EXPECT_NE(coloured.out.find("\x1b[1;31merror: \x1b[0m"), std::string::npos);
    EXPECT_NE(coloured.out.find("\x1b[1;36mnote: \x1b[0m"), std::string::npos);
    std::string stripped;
    for (std::size_t i = 0; i < coloured.out.size(); ++i) {
        if (coloured.out[i] == '\x1b') {
            i = coloured.out.find('m', i);
            continue;
        }
        stripped += coloured.out[i];
    }
    EXPECT_EQ(stripped, plain);
    EXPECT_EQ(runCommand({"check", file, "--color", "sometimes"}).status, kUsageError);
}

TEST_F(CompanionTest, EveryRuleIsInTheReadmeTableAndTheManualPage) {
    const std::string readme = slurp("README.md");
    const std::string manual = slurp("talvex_composite.1");
    for (const DiagnosticRule& rule : diagnosticRules()) {
        EXPECT_NE(readme.find("| `" + std::string(rule.code) + "` |"), std::string::npos)
            << rule.code;
        EXPECT_NE(manual.find(".TP\n.B " + std::string(rule.code) + "\n"), std::string::npos)
            << rule.code;
        EXPECT_EQ(ruleOf(std::string(rule.message) + (rule.prefix ? "x'" : "")), &rule)
            << rule.code;
    }
}

TEST_F(CompanionTest, DeployIsTheToolOnEveryPlacementFile) {
    std::vector<std::string> files = testing::placementFiles();
    files.emplace_back("tests/app/cases/no-such-file.cplace");
    files.emplace_back("examples");
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        std::ostringstream out;
        std::ostringstream err;
        const int status = App::run({file}, out, err);
        const Outcome companion = runCommand({"deploy", file});
        EXPECT_EQ(companion.status, status);
        EXPECT_EQ(companion.out, out.str());
        EXPECT_EQ(companion.err, err.str());
    }
}

// The terms of each engine add up to its peak, and the peaks on a device to
// its requested figure: read off explain's text for the worked example.
TEST_F(CompanionTest, ExplanationAddsUp) {
    const Outcome outcome = runCommand({"explain", "examples/demo.cplace"});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(outcome.out.starts_with(slurp("examples/demo.stdout")));
    std::istringstream lines(outcome.out);
    std::string line;
    std::uint64_t sum = 0;
    int peaks = 0;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        std::uint64_t bytes = 0;
        if (first == "peak") {
            words >> bytes;
            EXPECT_EQ(sum, bytes) << line;
            sum = 0;
            ++peaks;
        } else if (line.starts_with("    ") && line.find(" bytes") != std::string::npos &&
                   line.find("requested") == std::string::npos &&
                   line.find("headroom") == std::string::npos) {
            // "    weights           64 bytes": the label may be two words.
            const std::size_t number = line.find_first_of("0123456789", 22);
            ASSERT_NE(number, std::string::npos) << line;
            sum += std::stoull(line.substr(number));
        }
    }
    EXPECT_EQ(peaks, 3);
    EXPECT_NE(outcome.out.find("requested 340788408 bytes (325.0 MiB) = intuition-transformer "
                               "269485048 + sensory-sync 71303360\n"),
              std::string::npos);
    EXPECT_NE(outcome.out.find("  1. intuition-transformer 269485048 bytes (257.0 MiB) -> cpu0, "
                               "133168136 bytes (126.9 MiB) left\n"),
              std::string::npos);
}

TEST_F(CompanionTest, CommandLineMistakesExitTwoWithTheUsage) {
    const std::vector<std::vector<std::string>> mistakes = {
        {},
        {"frobnicate"},
        {"deploy"},
        {"deploy", "a.cplace", "b.cplace"},
        {"explain"},
        {"check"},
        {"check", "--format", "xml", "examples/demo.cplace"},
        {"deploy", "--bogus", "examples/demo.cplace"},
        {"inventory", "--inventory", "cloud"},
        {"inventory", "extra"},
        {"help", "frobnicate"},
        {"system"},
        {"system", "examples/composite-three-engine.toml", "--format", "xml"},
        {"system", "examples/composite-three-engine.toml", "--inventory", "host"},
        {"--format", "json"},
        {"completion"},
        {"completion", "tcsh"},
    };
    for (const std::vector<std::string>& args : mistakes) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Outcome outcome = runCommand(args);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_TRUE(outcome.err.starts_with("talvex_composite: ")) << outcome.err;
        EXPECT_NE(outcome.err.find("usage: talvex_composite deploy FILE"), std::string::npos);
    }
}

// What a mistake on the command line says before the usage: the line CLI11
// or the command writes, then notes naming what was likely meant.
TEST_F(CompanionTest, CommandLineMistakesNameWhatWasMeant) {
    const std::string notExpected = "talvex_composite: The following argument was not expected: ";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"chek", "examples/demo.cplace"},
         "talvex_composite: unknown subcommand 'chek'\n"
         "talvex_composite: note: did you mean 'check'?\n"},
        {{"frobnicate"}, "talvex_composite: unknown subcommand 'frobnicate'\n"},
        {{"--format", "json", "explian", "examples/demo.cplace"},
         "talvex_composite: unknown subcommand 'explian'\n"
         "talvex_composite: note: did you mean 'explain'?\n"},
        {{"help", "chek"},
         "talvex_composite: no such subcommand: chek\n"
         "talvex_composite: note: did you mean 'check'?\n"},
        {{"help", "nosuch"}, "talvex_composite: no such subcommand: nosuch\n"},
        // An option misspelt is named, not counted as one file too many.
        {{"deploy", "--fromat", "json", "examples/demo.cplace"},
         notExpected + "--fromat\ntalvex_composite: note: did you mean '--format'?\n"},
        {{"check", "examples/demo.cplace", "--fromat=json"},
         notExpected + "--fromat=json\ntalvex_composite: note: did you mean '--format'?\n"},
        {{"explain", "-format", "json", "examples/demo.cplace"},
         notExpected + "-format\ntalvex_composite: note: did you mean '--format'?\n"},
        {{"inventory", "--Inventory", "host"},
         notExpected + "--Inventory\ntalvex_composite: note: did you mean '--inventory'?\n"},
        {{"--fromat", "json", "check", "examples/demo.cplace"},
         notExpected + "--fromat\ntalvex_composite: note: did you mean '--format'?\n"},
        {{"--jbos", "2", "fit", "examples/demo.cplace", "examples/inventories"},
         notExpected + "--jbos\ntalvex_composite: note: did you mean '--jobs'?\n"},
        {{"--bogus"}, notExpected + "--bogus\n"},
        // An option the subcommand does not take, before it or after it.
        {{"system", "examples/composite-three-engine.toml", "--inventory", "host"},
         notExpected + "--inventory\ntalvex_composite: note: system takes '--format'\n"},
        {{"--system", "examples/assistant/assistant.toml", "inventory"},
         notExpected + "--system\ntalvex_composite: note: inventory takes '--format' or "
                       "'--inventory'\n"},
        {{"deploy", "--bogus", "examples/demo.cplace"},
         notExpected + "--bogus\ntalvex_composite: note: deploy takes '--format', '--inventory' "
                       "or '--system'\n"},
        {{"check", "--bogus", "examples/demo.cplace", "--fromat", "json"},
         "talvex_composite: The following arguments were not expected: --bogus --fromat\n"
         "talvex_composite: note: check takes '--format', '--color', '--inventory' or '--system'\n"
         "talvex_composite: note: did you mean '--format'?\n"},
        {{"help", "--format", "json", "check"},
         notExpected + "--format\n"},
        // Words left over come out in the order they were written.
        {{"inventory", "a", "b", "c"},
         "talvex_composite: The following arguments were not expected: a b c\n"},
        {{"inventory", "--", "-a", "b"},
         "talvex_composite: The following arguments were not expected: -a b\n"},
        {{"completion", "bash", "zsh", "fish"},
         "talvex_composite: The following arguments were not expected: zsh fish\n"},
        {{"help", "check", "deploy"}, notExpected + "deploy\n"},
    };
    for (const auto& [args, lines] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Outcome outcome = runCommand(args);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err.substr(0, outcome.err.find("usage: ")), lines);
        EXPECT_NE(outcome.err.find("usage: talvex_composite deploy FILE"), std::string::npos);
    }
}

// Options written before the subcommand give exactly what they give after it,
// refusals included.
TEST_F(CompanionTest, OptionsBeforeTheSubcommandActAsAfterIt) {
    using Args = std::vector<std::string>;
    const std::vector<std::tuple<Args, Args, int>> cases = {
        {{"--format", "json", "check", "examples/demo.cplace"},
         {"check", "examples/demo.cplace", "--format", "json"}, 0},
        {{"--format=json", "--inventory", "examples/inventories/workstation.json", "explain",
          "examples/demo.cplace"},
         {"explain", "--format=json", "examples/demo.cplace", "--inventory",
          "examples/inventories/workstation.json"},
         0},
        {{"--system", "examples/assistant/assistant.toml", "deploy",
          "examples/assistant/assistant.cplace"},
         {"deploy", "examples/assistant/assistant.cplace", "--system",
          "examples/assistant/assistant.toml"},
         0},
        {{"--jobs", "1", "--format", "json", "fit", "examples/demo.cplace", "examples/inventories"},
         {"fit", "examples/demo.cplace", "examples/inventories", "--jobs", "1", "--format", "json"},
         0},
        {{"--format", "dot", "system", "examples/assistant/assistant.toml"},
         {"system", "examples/assistant/assistant.toml", "--format", "dot"}, 0},
        {{"--format", "json", "check", "examples/oom.cplace"},
         {"check", "examples/oom.cplace", "--format", "json"}, 1},
        {{"--format", "dot", "check", "examples/demo.cplace"},
         {"check", "examples/demo.cplace", "--format", "dot"}, 2},
        {{"--inventory", "cloud", "inventory"}, {"inventory", "--inventory", "cloud"}, 2},
        {{"--jobs", "1", "explain", "examples/demo.cplace"},
         {"explain", "examples/demo.cplace", "--jobs", "1"}, 2},
        {{"--format", "json", "inventory", "--format", "text"},
         {"inventory", "--format", "json", "--format", "text"}, 2},
        {{"--format", "json", "deploy"}, {"deploy", "--format", "json"}, 2},
        {{"--format", "json", "--help", "check"}, {"--help", "check", "--format", "json"}, 0},
    };
    for (const auto& [before, after, status] : cases) {
        SCOPED_TRACE(::testing::PrintToString(before));
        const Outcome moved = runCommand(before);
        const Outcome written = runCommand(after);
        EXPECT_EQ(moved.status, status) << moved.err;
        EXPECT_EQ(moved.status, written.status);
        EXPECT_EQ(moved.out, written.out);
        EXPECT_EQ(moved.err, written.err);
    }
}

TEST_F(CompanionTest, HelpAndVersionGoToStandardOutput) {
    const Outcome help = runCommand({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    for (const char* command : {"deploy", "check", "explain", "inventory"}) {
        EXPECT_NE(help.out.find(command), std::string::npos) << command;
    }
    const Outcome version = runCommand({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "talvex_composite 0.1.0\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"help", "check"}, std::vector<std::string>{"check", "--help"}}) {
        const Outcome subcommand = runCommand(args);
        EXPECT_EQ(subcommand.status, 0);
        EXPECT_NE(subcommand.out.find("--format"), std::string::npos) << subcommand.out;
        EXPECT_NE(subcommand.out.find("check"), std::string::npos);
    }
    EXPECT_EQ(runCommand({"help"}).out, help.out);
    const Outcome helpOfHelp = runCommand({"help", "help"});
    EXPECT_EQ(helpOfHelp.status, 0);
    EXPECT_NE(helpOfHelp.out.find("SUBCOMMAND"), std::string::npos) << helpOfHelp.out;
    EXPECT_EQ(helpOfHelp.out, runCommand({"help", "--help"}).out);
}

/// Lines of `text` from the one after `heading` to the next blank line.
std::vector<std::string> section(const std::string& text, const std::string& heading) {
    std::vector<std::string> lines;
    const std::size_t at = text.find("\n" + heading + "\n");
    if (at == std::string::npos) {
        return lines;
    }
    std::istringstream in(text.substr(at + heading.size() + 2));
    for (std::string line; std::getline(in, line) && !line.empty();) {
        lines.push_back(line);
    }
    return lines;
}

// The scripts come from the command's own table: each names every subcommand
// that --help lists, and every option and --format value that the
// subcommand's help lists.
TEST_F(CompanionTest, CompletionScriptsNameEverySubcommandAndOption) {
    std::vector<std::string> subcommands;
    for (const std::string& line : section(runCommand({"--help"}).out, "Subcommands:")) {
        subcommands.push_back(line.substr(2, line.find(' ', 2) - 2));
    }
    ASSERT_GE(subcommands.size(), 7U);
    for (const char* shell : {"bash", "zsh", "fish"}) {
        SCOPED_TRACE(shell);
        const Outcome script = runCommand({"completion", shell});
        ASSERT_EQ(script.status, 0) << script.err;
        EXPECT_EQ(script.err, "");
        const auto names = [&](const std::string& word) {
            return script.out.find(word) != std::string::npos;
        };
        for (const std::string& subcommand : subcommands) {
            EXPECT_TRUE(names(" " + subcommand + " ") || names(" " + subcommand + ")") ||
                        names("'" + subcommand + ":"))
                << subcommand;
            const std::string help = runCommand({"help", subcommand}).out;
            for (const std::string& line : section(help, "Options:")) {
                if (!line.starts_with("  -")) {
                    continue; // a long help text goes on the next line
                }
                std::istringstream words(line);
                std::string spelling;
                std::string type;
                words >> spelling >> type;
                for (std::string name; !spelling.empty();) {
                    name = spelling.substr(0, spelling.find(','));
                    spelling.erase(0, name.size() + (name.size() < spelling.size() ? 1 : 0));
                    // fish writes --format as -l format, -h as -s h.
                    const std::string written =
                        shell != std::string("fish") ? name
                        : name.starts_with("--")     ? "-l " + name.substr(2)
                                                     : "-s " + name.substr(1);
                    EXPECT_TRUE(names(written)) << subcommand << ' ' << name;
                }
                // "ENUM:{json,kubernetes,text}:{json->1,...}": the values of --format.
                if (type.starts_with("ENUM:{")) {
                    std::istringstream values(type.substr(6, type.find('}') - 6));
                    for (std::string value; std::getline(values, value, ',');) {
                        EXPECT_TRUE(names(value)) << subcommand << ' ' << value;
                    }
                }
            }
        }
        // Hidden: the scripts do not offer it.
        EXPECT_FALSE(names(" completion)") || names("-a completion") || names("'completion:"));
    }
}

// Files that cannot be read are reported in place and the others still checked.
TEST_F(CompanionTest, CheckGoesOnPastFilesThatCannotBeRead) {
    const Outcome outcome =
        runCommand({"check", "examples/demo.cplace", "tests/no-such.cplace", "examples",
                    "tests/companion/cases/misspelled_field.cplace"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out,
              "tests/no-such.cplace: error: cannot open placement file: tests/no-such.cplace\n"
              "tests/no-such.cplace: note: no such file\n"
              "examples: error: cannot open placement file: examples\n"
              "examples: note: it is a directory\n" +
                  slurp("tests/companion/cases/misspelled_field.check"));
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(runCommand({"check", "examples/demo.cplace", "examples/tour.cplace"}).status, 0);
}

class FailingBuffer : public std::streambuf {
  protected:
    int_type overflow(int_type /*c*/) override { return traits_type::eof(); }
    std::streamsize xsputn(const char* /*s*/, std::streamsize /*n*/) override { return 0; }
};

TEST_F(CompanionTest, OutputThatCannotBeWrittenIsAFailure) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"check", "examples/oom.cplace"},
         "talvex_composite: error: cannot write to standard output\n"},
        {{"explain", "examples/demo.cplace", "--format", "json"},
         "talvex_composite: error: cannot write to standard output\n"},
        {{"inventory"}, "talvex_composite: error: cannot write to standard output\n"},
        {{"deploy", "examples/demo.cplace"},
         "deployment example: cannot write report to standard output\n"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(args.front());
        FailingBuffer buffer;
        std::ostream out(&buffer);
        std::ostringstream err;
        EXPECT_EQ(run(args, out, err, testing::noGpuProbe()), 1);
        EXPECT_EQ(err.str(), message);
    }
}

/// A machine made of fixtures: meminfo without control group limits, an hwloc
/// topology of two sockets, no GPU management library and a fixed kernel.
class HostInventoryTest : public CompanionTest {
  protected:
    void SetUp() override {
        CompanionTest::SetUp();
        root_ = fs::temp_directory_path() / ("talvex_companion_host_" + std::to_string(::getpid()));
        fs::create_directories(root_ / "proc/self");
        std::ofstream(root_ / "proc/meminfo") << "MemTotal:       16777216 kB\n"
                                                 "MemFree:         1048576 kB\n"
                                                 "MemAvailable:    8388608 kB\n";
        std::ofstream(root_ / "proc/self/cgroup") << "0::/\n";
        probe_ = testing::noGpuProbe();
        probe_.root = root_;
        probe_.topology_xml = fs::path(TALVEX_SOURCE_DIR) / "tests/host/topologies/two_sockets.xml";
        probe_.os = "TestOS 1.0 x86_64";
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path root_;
    Host::HostProbeOptions probe_;
};

TEST_F(HostInventoryTest, ResolvesAgainstTheProbedMachine) {
    const Outcome deploy =
        runCommand({"deploy", "--inventory", "host", "tests/companion/cases/host_cpu.cplace"}, probe_);
    EXPECT_EQ(deploy.status, 0) << deploy.err;
    EXPECT_TRUE(deploy.out.starts_with("Resolved deployment (host inventory)\n")) << deploy.out;
    EXPECT_NE(deploy.out.find("cpu0 requested=407901752 usable=8589934592 headroom=8182032840\n"),
              std::string::npos)
        << deploy.out;
    EXPECT_NE(deploy.err.find("talvex_composite: note: no GPU management library"),
              std::string::npos)
        << deploy.err;

    // The fixture's GPU is not this machine's: the same placement as the tool
    // resolves it, refused here.
    const Outcome gpu = runCommand({"deploy", "--inventory", "host", "examples/demo.cplace"}, probe_);
    EXPECT_EQ(gpu.status, 1);
    EXPECT_NE(gpu.err.find("deployment example: device.gpu0: declared device is absent from "
                           "resource inventory\n"),
              std::string::npos)
        << gpu.err;

    const Outcome inventory = runCommand({"inventory", "--inventory", "host"}, probe_);
    EXPECT_EQ(inventory.status, 0);
    EXPECT_TRUE(inventory.out.starts_with("inventory: host inventory\n")) << inventory.out;
    EXPECT_NE(inventory.out.find("os TestOS 1.0 x86_64, 32 logical processors, 4 NUMA nodes\n"),
              std::string::npos)
        << inventory.out;
    EXPECT_NE(inventory.out.find("host_total=17179869184\n"), std::string::npos);
    // Two probes of an unchanged machine: the same fingerprint.
    EXPECT_EQ(runCommand({"inventory", "--inventory", "host"}, probe_).out, inventory.out);
}

// A probe saved as JSON on one machine and read on another: the same
// canonical text, fingerprint and answers as the probe gave.
TEST_F(HostInventoryTest, ASavedProbeReadsBackAsTheSameMachine) {
    const Outcome probed = runCommand({"inventory", "--inventory", "host", "--format", "json"}, probe_);
    ASSERT_EQ(probed.status, 0) << probed.err;
    const fs::path saved = root_ / "machine.json";
    std::ofstream(saved) << probed.out;
    const Outcome read = runCommand({"inventory", "--inventory", saved.string(), "--format", "json"});
    ASSERT_EQ(read.status, 0) << read.err;
    const nlohmann::json before = nlohmann::json::parse(probed.out);
    const nlohmann::json after = nlohmann::json::parse(read.out);
    EXPECT_EQ(after["canonical_text"], before["canonical_text"]);
    EXPECT_EQ(after["hardware_fingerprint"], before["hardware_fingerprint"]);
    EXPECT_EQ(after["devices"], before["devices"]);
    EXPECT_EQ(after["host"], before["host"]);

    const Outcome onHost = runCommand(
        {"deploy", "--inventory", "host", "tests/companion/cases/host_cpu.cplace"}, probe_);
    const Outcome onFile = runCommand(
        {"deploy", "--inventory", saved.string(), "tests/companion/cases/host_cpu.cplace"});
    ASSERT_EQ(onFile.status, 0) << onFile.err;
    EXPECT_EQ(onFile.out.substr(onFile.out.find('\n')), onHost.out.substr(onHost.out.find('\n')));
}

// Names come from the driver: control bytes in them are escaped as the JSON
// escapes them, so that a name cannot end a line or drive the terminal.
TEST_F(HostInventoryTest, DeviceNamesAreEscaped) {
    probe_.gpu_library = FAKE_NVML_LIBRARY_IMPOSSIBLE;
    const Outcome text = runCommand({"inventory", "--inventory", "host"}, probe_);
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find(" \"Test\\u001b[2J GPU\\n\\\"A86\\\"\x7f\": usable "),
              std::string::npos)
        << text.out;
    EXPECT_EQ(text.out.find('\x1b'), std::string::npos);
    // The canonical text keeps its line feeds, a name's too: only they are not escaped.
    EXPECT_NE(text.out.find("|19:Test\\u001b[2J GPU\n\"A86\"\x7f|"), std::string::npos) << text.out;

    const Outcome json =
        runCommand({"inventory", "--inventory", "host", "--format", "json"}, probe_);
    EXPECT_NE(json.out.find("\"Test\\u001b[2J GPU\\n\\\"A86\\\"\x7f\""), std::string::npos)
        << json.out;
}

// A probe that fails is no file's problem: the run ends with one error line
// and status 1, and the probe is not tried again for the next file.
TEST_F(HostInventoryTest, FailedProbeEndsTheRun) {
    const fs::path meminfo = root_ / "proc/meminfo";
    fs::rename(meminfo, root_ / "meminfo");
    const std::string failure =
        "cannot read host memory: '" + meminfo.string() + "' is unreadable\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"check", "--inventory", "host", "examples/demo.cplace", "examples/tour.cplace"},
         "talvex_composite: error: " + failure},
        {{"check", "--inventory", "host", "--format", "json", "examples/demo.cplace"},
         "talvex_composite: error: " + failure},
        {{"explain", "--inventory", "host", "examples/demo.cplace"},
         "talvex_composite: error: " + failure},
        {{"inventory", "--inventory", "host"}, "talvex_composite: error: " + failure},
        {{"deploy", "--inventory", "host", "examples/demo.cplace"},
         "deployment example: " + failure},
    };
    for (const auto& [args, err] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Outcome outcome = runCommand(args, probe_);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, err);
    }

    // A file's own problems are still reported before the probe is needed.
    const Outcome unreadable =
        runCommand({"check", "--inventory", "host", "tests/no-such.cplace"}, probe_);
    EXPECT_EQ(unreadable.out,
              "tests/no-such.cplace: error: cannot open placement file: tests/no-such.cplace\n"
              "tests/no-such.cplace: note: no such file\n");

    Inventories inventories(InventorySource::host, probe_);
    EXPECT_THROW((void)inventories.get(), std::runtime_error);
    fs::rename(root_ / "meminfo", meminfo); // the machine mends, but the probe ran once
    EXPECT_THROW((void)inventories.get(), std::runtime_error);
    EXPECT_NO_THROW((void)Inventories(InventorySource::host, probe_).get());
}

} // namespace
} // namespace Core::Companion
