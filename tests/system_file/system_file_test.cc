// The system file reader: the built-in system written as a file, every
// reading problem at its position, validation issues at the elements they
// name, and the estimator's messages at the workload.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "estimation/estimators.h"
#include "orchestration/canonical_bytes.h"
#include "orchestration/example_system.h"
#include "system_file/system_file.h"

namespace Core::SystemFile {
namespace {

/// Model configs held in memory, by the path the reader asks for.
ConfigReader configs(std::map<std::string, std::string> files) {
    return [files = std::move(files)](const std::string& path) {
        const auto found = files.find(path);
        if (found == files.end()) {
            throw std::runtime_error("no such file");
        }
        return found->second;
    };
}

LoadedSystem parse(const std::string& text, std::map<std::string, std::string> files = {}) {
    return parseSystemText(text, "dir/system.toml", configs(std::move(files)));
}

class SystemFileTest : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::current_path(TALVEX_SOURCE_DIR); }
};

TEST_F(SystemFileTest, TheExampleFileIsTheBuiltInSystemAndWorkload) {
    const LoadedSystem loaded = loadSystemFile("examples/composite-three-engine.toml");
    ASSERT_TRUE(loaded.findings.empty()) << loaded.findings.front().message;
    EXPECT_TRUE(checkSystem(loaded).empty());
    EXPECT_EQ(Orchestration::systemHash(loaded.system), 10080049706816702516ULL);
    EXPECT_EQ(Orchestration::systemHash(loaded.system),
              Orchestration::systemHash(Orchestration::buildExampleSystem()));
    // The same bytes once the file's positions are blanked, as in code.
    Orchestration::SystemSpec blanked = loaded.system;
    for (Orchestration::EngineSpec& engine : blanked.engines) {
        EXPECT_EQ(engine.location.file, "examples/composite-three-engine.toml");
        EXPECT_NE(engine.location.line, 0U);
        engine.location = {};
        for (Orchestration::PortSpec& port : engine.ports) {
            port.location = {};
        }
    }
    EXPECT_EQ(Orchestration::canonicalOrchestrationBytes(blanked),
              Orchestration::canonicalOrchestrationBytes(Orchestration::buildExampleSystem()));

    const std::vector<Estimation::WorkloadRequirement> fromFile = workloadRequirements(loaded);
    const std::vector<Estimation::WorkloadRequirement> builtIn = Estimation::compositeWorkload();
    ASSERT_EQ(fromFile.size(), builtIn.size());
    for (std::size_t i = 0; i < builtIn.size(); ++i) {
        EXPECT_EQ(fromFile[i].engine, builtIn[i].engine);
        EXPECT_EQ(fromFile[i].estimate, builtIn[i].estimate);
        EXPECT_EQ(fromFile[i].sessions, builtIn[i].sessions);
        EXPECT_EQ(fromFile[i].concurrency, builtIn[i].concurrency);
        EXPECT_EQ(fromFile[i].training, builtIn[i].training);
    }
}

constexpr const char* kEngine = R"(
[[engines]]
id = "a"
class = "sync"
semantic_api_version = 1
ports = [{ id = "in", direction = "input", schema = "Vector/1", shape = [2], dtype = "f32" },
         { id = "out", direction = "output", schema = "Vector/1", shape = [2], dtype = "f32" }]
)";

struct ReadingCase {
    std::string text;
    std::uint32_t line;
    std::uint32_t column;
    std::string message;
    std::string note; ///< a note of the first finding, or empty for none
};

TEST_F(SystemFileTest, ReadingProblemsStandAtTheirPositions) {
    const std::vector<ReadingCase> cases = {
        {"id = \"x\"\nengines = [", 2, 12, "Error while parsing array", ""},
        {"id = \"x\"\nfailure_polcy = 2\n", 2, 1, "unknown key 'failure_polcy' in the system",
         "did you mean 'failure_policy'?"},
        {"id = 7\n", 1, 6, "expected a string for 'id', found an integer", ""},
        {"id = \"x\"\naux_code_1 = 256\n", 2, 14, "'aux_code_1' must be from 0 to 255, not 256",
         ""},
        {"id = \"x\"\n[[engines]]\nid = \"a\"\n", 2, 1, "missing key 'class' in an engine",
         "write class = 'sync', 'dpsh' or 'transformer'"},
        {"id = \"x\"\n[[engines]]\nid = \"a\"\nclass = \"transfomer\"\n", 4, 9,
         "unknown class 'transfomer'", "did you mean 'transformer'?"},
        {"id = \"x\"\n[[engines]]\nclass = \"sync\"\nports = [{ id = \"p\", direction = \"in\", "
         "dtype = \"f32\" }]\n",
         4, 34, "unknown direction 'in'", "expected 'input' or 'output'"},
        {"id = \"x\"\n[[engines]]\nclass = \"sync\"\nports = [{ id = \"p\", direction = "
         "\"input\" }]\n",
         4, 10, "missing key 'dtype' in a port", ""},
        {"id = \"x\"\n[[engines]]\nclass = \"sync\"\nports = [{ direction = \"input\", dtype = "
         "\"float32\" }]\n",
         4, 41, "unknown dtype 'float32'", ""},
        {"id = \"x\"\n[[engines]]\nclass = \"sync\"\nports = [{ direction = \"input\", dtype = 6, "
         "shape = [2, -1] }]\n",
         4, 56, "'shape' must be from 0 to 9223372036854775807, not -1", ""},
        {"id = \"x\"\n[[engines]]\nclass = \"sync\"\nsemantic_api_version = 4294967296\n", 4, 24,
         "'semantic_api_version' must be from 0 to 4294967295, not 4294967296", ""},
        {"id = \"x\"\n[[engines]]\nclass = \"sync\"\n[engines.workload]\nsesions = 2\n"
         "sync = { neurons = 1 }\n",
         5, 1, "unknown key 'sesions' in a workload", "did you mean 'sessions'?"},
        {"id = \"x\"\n[[engines]]\nclass = \"sync\"\n[engines.workload]\nsessions = 2\n", 4, 1,
         "a workload needs a profile", ""},
        {"id = \"x\"\n[[engines]]\nclass = \"sync\"\n[engines.workload]\nsync = { neurons = 1 }\n"
         "dpsh = { neurons = 1 }\n",
         6, 8, "a workload has one profile, but both 'sync' and 'dpsh' are given", ""},
        {"id = \"x\"\n[[engines]]\nclass = \"transformer\"\n[engines.workload]\nsessions = 1\n"
         "[engines.workload.transformer]\nlayer = 2\n",
         7, 1, "unknown key 'layer' in a transformer profile", "did you mean 'layers'?"},
        {"id = \"x\"\n[[engines]]\nclass = \"transformer\"\n[engines.workload.transformer]\n"
         "layers = 2\n",
         4, 1, "a transformer workload needs sessions",
         "write sessions = N: the sequences whose KV cache it holds at once"},
        {"id = \"x\"\n[[connections]]\nid = \"c\"\nfrom = \"nodot\"\n", 4, 8,
         "expected ENGINE.PORT for 'from', found 'nodot'", ""},
        {"id = \"x\"\n[[connections]]\nid = \"c\"\nfrom = \"a.b\"\nsource_engine = \"a\"\n", 4, 8,
         "'from' and 'source_engine' say the same thing; write one of them", ""},
        {"id = \"x\"\nengines = 3\n", 2, 11, "expected an array of tables for 'engines', found an "
                                             "integer", ""},
        {"id = \"x\"\n[[adapters]]\nid = \"ad\"\n", 2, 1, "missing key 'kind' in an adapter", ""},
        // Characters that toml++ once took for undefined whitespace.
        {"id = \"x\"\n[engines.\xd2\x88]\n", 2, 10, "Error while parsing key", ""},
        {"id = \"x\"\naux_code_1 = 1\xc3\xa9\n", 2, 15, "Error while parsing decimal integer", ""},
    };
    for (const ReadingCase& c : cases) {
        SCOPED_TRACE(c.text);
        const LoadedSystem loaded = parse(c.text);
        EXPECT_FALSE(loaded.readable());
        ASSERT_FALSE(loaded.findings.empty());
        const Finding& first = loaded.findings.front();
        EXPECT_EQ(first.location.file, "dir/system.toml");
        EXPECT_EQ(first.location.line, c.line);
        EXPECT_EQ(first.location.column, c.column);
        EXPECT_EQ(first.message.substr(0, c.message.size()), c.message);
        if (!c.note.empty()) {
            ASSERT_FALSE(first.notes.empty());
            EXPECT_EQ(first.notes.front(), c.note);
        }
        // A file that did not read has no system to check beyond that.
        EXPECT_EQ(checkSystem(loaded), loaded.findings);
    }
}

TEST_F(SystemFileTest, EveryProblemOfAFileIsReportedInPositionOrder) {
    const LoadedSystem loaded = parse("id = \"x\"\nbogus = 1\n[[engines]]\nclass = \"sink\"\n"
                                      "colour = \"red\"\n");
    ASSERT_EQ(loaded.findings.size(), 3U);
    EXPECT_EQ(loaded.findings[0].location.line, 2U);
    EXPECT_EQ(loaded.findings[1].location.line, 4U);
    EXPECT_EQ(loaded.findings[2].location.line, 5U);
}

TEST_F(SystemFileTest, ValidationIssuesStandAtTheElementsTheyName) {
    const std::string text = std::string("id = \"bad id\"\nfailure_policy = \"declared_fallback\"\n") +
                             kEngine + kEngine +
                             R"(
[[connections]]
id = "loop"
from = "a.out"
to = "a.in"
queue_capacity = 4
overflow_policy = 1
)";
    const LoadedSystem loaded = parse(text);
    ASSERT_TRUE(loaded.readable());
    const std::vector<Finding> findings = checkSystem(loaded);
    std::vector<std::tuple<std::string, std::string, std::uint32_t>> seen;
    seen.reserve(findings.size());
    for (const Finding& finding : findings) {
        seen.emplace_back(finding.path, finding.message, finding.location.line);
    }
    const std::vector<std::tuple<std::string, std::string, std::uint32_t>> expected = {
        {"system.id", "invalid or empty system identity", 1},
        {"system.failure", "declared fallback policy requires an engine", 2},
        {"engine.a", "invalid or duplicate engine identity", 11},
        {"connection.loop", "algebraic cycle without delay/state boundary: a -> a", 18},
    };
    EXPECT_EQ(seen, expected);
}

TEST_F(SystemFileTest, EndpointsSplitWhereAnEngineOfTheFileEnds) {
    const LoadedSystem loaded = parse(R"(
id = "x"
[[engines]]
id = "a.b"
class = "sync"
[[connections]]
id = "c"
from = "a.b.out.x"
to = "z.in"
)");
    ASSERT_TRUE(loaded.readable());
    const Orchestration::ConnectionSpec& connection = loaded.system.connections.front();
    EXPECT_EQ(connection.source_engine, "a.b");
    EXPECT_EQ(connection.source_port, "out.x");
    EXPECT_EQ(connection.destination_engine, "z");
    EXPECT_EQ(connection.destination_port, "in");
}

TEST_F(SystemFileTest, AnEmbeddingSpaceDigestIsComputedOrChecked) {
    const std::string port = R"(
id = "x"
[[engines]]
id = "e"
class = "sync"
semantic_api_version = 1
[[engines.ports]]
id = "v"
direction = "output"
schema = "Embedding/1"
shape = [4]
dtype = "f32"
[engines.ports.embedding_space]
model = "m"
tokenizer = "t"
pooling = "p"
normalization = "n"
metric = "c"
)";
    const LoadedSystem computed = parse(port);
    ASSERT_TRUE(computed.readable());
    EXPECT_EQ(computed.system.engines[0].ports[0].embedding_space->digest, "7db1778facf6cb3f");
    EXPECT_TRUE(checkSystem(computed).empty());

    const std::vector<Finding> findings = checkSystem(parse(port + "digest = \"7db1\"\n"));
    ASSERT_EQ(findings.size(), 1U);
    EXPECT_EQ(findings[0].message,
              "Embedding schema requires a complete, self-consistent EmbeddingSpaceId");
    EXPECT_EQ(findings[0].path, "engine.e.port.v");
    EXPECT_EQ(findings[0].location.line, 7U);
    EXPECT_EQ(findings[0].notes,
              std::vector<std::string>{
                  "the digest of this embedding space's fields is '7db1778facf6cb3f'"});
}

TEST_F(SystemFileTest, EstimatorMessagesStandAtTheWorkload) {
    const LoadedSystem loaded = parse(R"(
id = "x"
[[engines]]
id = "t"
class = "transformer"
semantic_api_version = 1
[engines.workload]
sessions = 1
[engines.workload.transformer]
layers = 2
modelDim = 8
queryHeads = 2
headDim = 4
)");
    ASSERT_TRUE(loaded.readable());
    const std::vector<Finding> findings = checkSystem(loaded);
    ASSERT_EQ(findings.size(), 1U);
    EXPECT_EQ(findings[0].message, "transformer profile is incomplete");
    EXPECT_EQ(findings[0].path, "engine.t.workload");
    EXPECT_EQ(findings[0].location.line, 7U);
    EXPECT_EQ(findings[0].notes,
              std::vector<std::string>{
                  "not given, or 0: vocabSize, ffnDim, kvHeads, contextLength, weightBytes, "
                  "kvBytes"});
    EXPECT_THROW(
        {
            try {
                (void)workloadRequirements(loaded);
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "resource estimate is unknown");
                throw;
            }
        },
        std::runtime_error);
}

TEST_F(SystemFileTest, AnUnreadableFileIsAFindingWithTheReason) {
    // A FIFO where a file should be is refused at once, not waited on: no
    // process ever writes to it.
    const std::filesystem::path fifo =
        std::filesystem::temp_directory_path() / ("talvex-fifo-" + std::to_string(::getpid()));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, std::string> cases[] = {
        {"examples/no-such.toml", "no such file"},
        {"examples", "it is a directory"},
        {fifo.string(), "it is not a regular file but a FIFO"},
    };
    for (const auto& [path, reason] : cases) {
        const LoadedSystem loaded = loadSystemFile(path);
        ASSERT_EQ(loaded.findings.size(), 1U);
        EXPECT_EQ(loaded.findings[0].message, "cannot open system file: " + path);
        EXPECT_EQ(loaded.findings[0].location.line, 0U);
        EXPECT_EQ(loaded.findings[0].notes, std::vector<std::string>{reason});
    }
    // A model config in its place likewise.
    const std::string system = "id = \"x\"\n[[engines]]\nid = \"t\"\nclass = \"transformer\"\n"
                               "semantic_api_version = 1\n[engines.workload]\nsessions = 1\n"
                               "[engines.workload.transformer]\nconfig = \"" +
                               fifo.filename().string() + "\"\n";
    const std::filesystem::path file = fifo.parent_path() / "talvex-system.toml";
    std::ofstream(file) << system;
    const LoadedSystem loaded = loadSystemFile(file.string());
    ASSERT_EQ(loaded.findings.size(), 1U);
    EXPECT_EQ(loaded.findings[0].message, "cannot read model config '" + fifo.filename().string() +
                                              "': it is not a regular file but a FIFO");
    std::filesystem::remove(file);
    std::filesystem::remove(fifo);
}

} // namespace
} // namespace Core::SystemFile
