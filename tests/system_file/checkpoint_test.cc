// A checkpoint's weights from its safetensors headers: exact sums over every
// dtype width, the rules of headers and indexes with the line and column of
// each error, and checkpoint folders built on disk, hostile ones included.
#include "system_file/safetensors.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace Core::SystemFile {
namespace {

/// `"name":{...}` for one tensor of a header.
std::string tensor(const std::string& name, const std::string& dtype, const std::string& shape,
                   std::uint64_t begin, std::uint64_t end) {
    return "\"" + name + "\":{\"dtype\":\"" + dtype + "\",\"shape\":" + shape +
           ",\"data_offsets\":[" + std::to_string(begin) + "," + std::to_string(end) + "]}";
}

/// A shard file: the header's length in 8 little-endian bytes, the header,
/// then `dataBytes` bytes of data.
std::string shardFile(const std::string& json, std::uint64_t dataBytes) {
    std::string bytes;
    std::uint64_t length = json.size();
    for (int i = 0; i < 8; ++i) {
        bytes += static_cast<char>(length & 0xFFU);
        length >>= 8U;
    }
    return bytes + json + std::string(dataBytes, '\x5a');
}

/// Only a length, then whatever follows.
std::string lengthThen(std::uint64_t length, const std::string& rest) {
    std::string bytes;
    for (int i = 0; i < 8; ++i) {
        bytes += static_cast<char>(length & 0xFFU);
        length >>= 8U;
    }
    return bytes + rest;
}

std::string deepArrays(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

// ---- Headers ---------------------------------------------------------------

TEST(SafetensorsHeaderTest, EveryDtypeHasTheFormatsWidth) {
    const std::vector<std::pair<std::string, std::uint32_t>> widths = {
        {"BOOL", 8},        {"F4", 4},      {"F6_E2M3", 6}, {"F6_E3M2", 6}, {"U8", 8},
        {"I8", 8},          {"F8_E5M2", 8}, {"F8_E4M3", 8}, {"F8_E8M0", 8}, {"F8_E4M3FNUZ", 8},
        {"F8_E5M2FNUZ", 8}, {"I16", 16},    {"U16", 16},    {"F16", 16},    {"BF16", 16},
        {"I32", 32},        {"U32", 32},    {"F32", 32},    {"C64", 64},    {"F64", 64},
        {"I64", 64},        {"U64", 64},
    };
    for (const auto& [name, bits] : widths) {
        SCOPED_TRACE(name);
        const std::optional<SafetensorsDtype> dtype = safetensorsDtypeNamed(name);
        ASSERT_TRUE(dtype.has_value());
        EXPECT_EQ(safetensorsDtypeBits(*dtype), bits);
        EXPECT_EQ(safetensorsDtypeName(*dtype), name);
        // Eight elements are whole bytes for every width.
        const SafetensorsHeaderResult read =
            parseSafetensorsHeader("{" + tensor("t", name, "[2,4]", 0, bits) + "}");
        ASSERT_TRUE(read.header.has_value()) << read.error.message;
        EXPECT_EQ(read.header->dataBytes, bits);
    }
    for (const char* unknown : {"bf16", "F8_E4M3FN", "Q4_0", "F128", ""}) {
        EXPECT_FALSE(safetensorsDtypeNamed(unknown).has_value()) << unknown;
    }
}

TEST(SafetensorsHeaderTest, TensorsTileTheDataInAnyKeyOrder) {
    // Keys out of offset order, a scalar, an empty tensor whose other
    // dimension is huge, metadata, and the space padding writers add.
    const std::string json = "{\"__metadata__\":{\"format\":\"pt\"}," +
                             tensor("b", "F32", "[2]", 4, 12) + "," +
                             tensor("a", "F32", "[]", 0, 4) + "," +
                             tensor("empty", "BF16", "[0,18446744073709551615,2]", 12, 12) + "," +
                             tensor("c", "F6_E3M2", "[2,2]", 12, 15) + "}    ";
    const SafetensorsHeaderResult read = parseSafetensorsHeader(json);
    ASSERT_TRUE(read.header.has_value()) << read.error.message;
    const SafetensorsHeader& header = *read.header;
    EXPECT_EQ(header.dataBytes, 15U);
    EXPECT_EQ(header.elements, 2U + 1U + 0U + 4U);
    ASSERT_EQ(header.tensors.size(), 4U);
    EXPECT_EQ(header.tensors[0].name, "b"); // header order is kept
    EXPECT_EQ(header.tensors[0].elements, 2U);
    EXPECT_EQ(header.tensors[0].bytes, 8U);
    EXPECT_EQ(header.tensors[2].elements, 0U);
    EXPECT_EQ(header.tensors[3].dtype, SafetensorsDtype::f6_e3m2);
    EXPECT_EQ(json.substr(header.tensors[1].offset, 3), "\"a\"");

    for (const std::string empty : {"{}", " { } ", "{\"__metadata__\":{}}"}) {
        const SafetensorsHeaderResult none = parseSafetensorsHeader(empty);
        ASSERT_TRUE(none.header.has_value()) << empty << ": " << none.error.message;
        EXPECT_EQ(none.header->dataBytes, 0U);
        EXPECT_TRUE(none.header->tensors.empty());
    }
}

struct ErrorCase {
    std::string input;
    std::string message;
    std::uint32_t line;
    std::uint32_t column;
};

void expectErrors(const std::vector<ErrorCase>& cases, bool index) {
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 200));
        CheckpointProblem error;
        if (index) {
            const SafetensorsIndexResult read = parseSafetensorsIndex(c.input);
            ASSERT_FALSE(read.index.has_value());
            error = read.error;
        } else {
            const SafetensorsHeaderResult read = parseSafetensorsHeader(c.input);
            ASSERT_FALSE(read.header.has_value());
            error = read.error;
        }
        EXPECT_EQ(error.message, c.message);
        EXPECT_EQ(error.line, c.line);
        EXPECT_EQ(error.column, c.column);
        EXPECT_TRUE(error.file.empty());
    }
}

TEST(SafetensorsHeaderTest, EachBrokenRuleIsOneErrorAtItsToken) {
    // Column 30 is the first dimension and 58 the first offset in
    // {"w":{"dtype":"F32","shape":[2],"data_offsets":[0,8]}}.
    const auto w = [](const std::string& shape, const std::string& offsets,
                      const std::string& dtype = "F32") {
        return "{\"w\":{\"dtype\":\"" + dtype + "\",\"shape\":" + shape +
               ",\"data_offsets\":" + offsets + "}}";
    };
    const std::string two = tensor("a", "U8", "[4]", 0, 4);
    expectErrors(
        {
            {"[1]", "expected an object for the header, found an array", 1, 1},
            {"\"x\"", "expected an object for the header, found the string 'x'", 1, 1},
            {w("[2]", "[0,8]", "Q4"), "tensor 'w': unknown dtype 'Q4'", 1, 15},
            {w("[-2]", "[0,8]"), "tensor 'w': expected a whole number in 'shape', found '-2'", 1,
             30},
            {w("[-0]", "[0,0]"), "tensor 'w': expected a whole number in 'shape', found '-0'", 1,
             30},
            {w("[2.5]", "[0,8]"), "tensor 'w': expected a whole number in 'shape', found '2.5'", 1,
             30},
            {w("[2e0]", "[0,8]"), "tensor 'w': expected a whole number in 'shape', found '2e0'", 1,
             30},
            {w("[18446744073709551616]", "[0,8]"),
             "tensor 'w': expected a whole number in 'shape', found '18446744073709551616'", 1, 30},
            {w("[\"2\"]", "[0,8]"),
             "tensor 'w': expected a whole number in 'shape', found the string '2'", 1, 30},
            {w("[null]", "[0,8]"), "tensor 'w': expected a whole number in 'shape', found 'null'",
             1, 30},
            {w("[[2]]", "[0,8]"), "tensor 'w': expected a whole number in 'shape', found an array",
             1, 30},
            {w("2", "[0,8]"), "tensor 'w': expected an array for 'shape', found '2'", 1, 29},
            {w("[2]", "[-1,8]"),
             "tensor 'w': expected a whole number in 'data_offsets', found '-1'", 1, 49},
            {w("[2]", "[0,8.0]"),
             "tensor 'w': expected a whole number in 'data_offsets', found '8.0'", 1, 51},
            {w("[0]", "[8,0]"), "tensor 'w': 'data_offsets' end 0 is before begin 8", 1, 48},
            {w("[2]", "[8]"), "tensor 'w': 'data_offsets' holds 1 number, not two", 1, 48},
            {w("[2]", "[]"), "tensor 'w': 'data_offsets' holds 0 numbers, not two", 1, 48},
            {w("[2]", "[0,8,9]"), "tensor 'w': 'data_offsets' holds more than two numbers", 1, 53},
            {w("[2]", "[0,6]"),
             "tensor 'w': 2 elements of 'F32' take 8 bytes, but 'data_offsets' span 6", 1, 48},
            {w("[3]", "[0,2]", "F4"),
             "tensor 'w': 3 elements of 'F4' are not a whole number of bytes", 1, 28},
            {w("[2,3]", "[0,5]", "F6_E2M3"),
             "tensor 'w': 6 elements of 'F6_E2M3' are not a whole number of bytes", 1, 33},
            {w("[4294967296,4294967296]", "[0,0]", "U8"),
             "tensor 'w': the product of 'shape' overflows 64 bits", 1, 28},
            {w("[4294967296,536870912]", "[0,0]", "U64"),
             "tensor 'w': the size of 2305843009213693952 elements of 'U64' overflows 64 bits", 1,
             29},
            {"{\"w\":5}", "tensor 'w': expected an object, found '5'", 1, 6},
            {"{\"w\":{\"dtype\":\"F32\",\"dtype\":\"F32\"}}", "tensor 'w': duplicate key 'dtype'",
             1, 21},
            {"{\"w\":{\"dtype\":1}}", "tensor 'w': expected a string for 'dtype', found '1'", 1,
             15},
            {"{\"w\":{\"offsets\":[0,1]}}",
             "tensor 'w': unknown key 'offsets'; a tensor has 'dtype', 'shape' and "
             "'data_offsets'",
             1, 7},
            {"{\"w\":{\"dtype\":\"F32\",\"shape\":[2]}}", "tensor 'w' has no 'data_offsets'", 1, 2},
            {"{\"w\":{}}", "tensor 'w' has no 'dtype'", 1, 2},
            {"{" + two + "," + two + "}", "duplicate tensor 'a'", 1, 54},
            // The same name with an escape is the same tensor, in either order.
            {"{" + two + ",\"\\u0061\"" + two.substr(3) + "}", "duplicate tensor 'a'", 1, 54},
            {"{\"\\u0061\"" + two.substr(3) + "," + two + "}", "duplicate tensor 'a'", 1, 59},
            {"{\"w\":{\"dtype\":\"a\\u0001\"}}", "tensor 'w': unknown dtype 'a\\x01'", 1, 15},
            {"{\"__metadata__\":{},\"__metadata__\":{}}", "duplicate key '__metadata__'", 1, 20},
            {"{\"__metadata__\":[]}", "expected an object for '__metadata__', found an array", 1,
             17},
            {"{\"__metadata__\":{\"format\":1}}",
             "expected a string for '__metadata__' key 'format', found '1'", 1, 27},
            {"{\"__metadata__\":{\"k\":\"a\",\"k\":\"b\"}}", "duplicate key 'k' in '__metadata__'",
             1, 26},
            // Offsets are checked once the whole header is read.
            {"{" + two + "," + tensor("b", "U8", "[4]", 2, 6) + "}",
             "tensor 'b' overlaps tensor 'a': it begins at 2, before the other ends at 4", 1, 54},
            {"{" + two + "," + tensor("b", "U8", "[4]", 5, 9) + "}",
             "tensor 'b' begins at 5, leaving a gap after 'a', which ends at 4", 1, 54},
            {"{" + tensor("a", "U8", "[4]", 1, 5) + "}",
             "tensor 'a' begins at 1, but the data begins at 0", 1, 2},
            {"{\n  " + tensor("a", "F32", "[2]", 0, 8) + ",\n  " +
                 tensor("b", "F32", "[2]", 4, 12) + "\n}",
             "tensor 'b' overlaps tensor 'a': it begins at 4, before the other ends at 8", 3, 3},
            // Syntax, with nlohmann's own words.
            {w("[NaN]", "[0,8]"),
             "syntax error while parsing value - invalid literal; last read: '\"shape\":[N'", 1,
             30},
            {"{} x",
             "syntax error while parsing value - invalid literal; last read: '{} x'; expected end "
             "of input",
             1, 4},
            {"",
             "syntax error while parsing value - unexpected end of input; expected '[', "
             "'{', or a literal",
             1, 1},
            {"{\n\"w\": {\n\"dtype\": \"F32\",\n}}",
             "syntax error while parsing object key - unexpected '}'; expected string literal", 4,
             1},
        },
        false);
}

TEST(SafetensorsHeaderTest, DeepNestingIsOneErrorNotARecursion) {
    const std::string deep = deepArrays(100000);
    expectErrors(
        {
            {deep, "expected an object for the header, found an array", 1, 1},
            {"{\"w\":{\"dtype\":\"F32\",\"shape\":" + deep + "}}",
             "tensor 'w': expected a whole number in 'shape', found an array", 1, 30},
            {"{\"__metadata__\":{\"k\":" + deep + "}}",
             "expected a string for '__metadata__' key 'k', found an array", 1, 22},
            {"{\"w\":{\"dtype\":" + std::string(100000, '{'),
             "tensor 'w': expected a string for 'dtype', found an object", 1, 15},
        },
        false);
}

TEST(SafetensorsHeaderTest, MessagesQuoteAtMostAShortPieceOfAValue) {
    const std::string name(5000, 'n');
    const SafetensorsHeaderResult read = parseSafetensorsHeader("{\"" + name + "\":{}}");
    ASSERT_FALSE(read.header.has_value());
    EXPECT_EQ(read.error.message, "tensor '" + std::string(120, 'n') + "...' has no 'dtype'");
    // A cut never splits a character: 119 bytes, then a two-byte one.
    const std::string accented = std::string(119, 'a') + "\xC3\xA9" + "b";
    const SafetensorsHeaderResult cut =
        parseSafetensorsHeader("{\"w\":{\"dtype\":\"" + accented + "\"}}");
    EXPECT_EQ(cut.error.message, "tensor 'w': unknown dtype '" + std::string(119, 'a') + "...'");
    // nlohmann quotes the token it stopped in, here a string without its end
    // that holds nlohmann's own words.
    for (const std::string& words : {std::string(), std::string("'; expected ")}) {
        std::string text = "{\"";
        text += words;
        text += name;
        const SafetensorsHeaderResult open = parseSafetensorsHeader(text);
        std::string expected = "syntax error while parsing object key - invalid string: missing "
                               "closing quote; last read: '\"";
        expected += text.substr(2, 119);
        expected += "...'; expected string literal";
        EXPECT_EQ(open.error.message, expected);
    }
}

// ---- Indexes ---------------------------------------------------------------

TEST(SafetensorsIndexTest, MapsEachTensorToOneShardAndSkipsWhatItDoesNotRead) {
    const std::string json = "{\"metadata\":{\"total_size\":160,\"format\":{\"x\":[1,[2]]}},"
                             "\"extra\":[true,null,{\"a\":-1.5}],\"weight_map\":{"
                             "\"w1\":\"a.safetensors\",\"w2\":\"sub/b.safetensors\","
                             "\"w3\":\"a.safetensors\"}}";
    const SafetensorsIndexResult read = parseSafetensorsIndex(json);
    ASSERT_TRUE(read.index.has_value()) << read.error.message;
    const SafetensorsIndex& index = *read.index;
    EXPECT_EQ(index.totalSize, 160U);
    EXPECT_EQ(json.substr(index.totalSizeOffset, 3), "160");
    EXPECT_EQ(index.shards, (std::vector<std::string>{"a.safetensors", "sub/b.safetensors"}));
    ASSERT_EQ(index.weightMap.size(), 3U);
    EXPECT_EQ(index.weightMap.at("w1").shard, 0U);
    EXPECT_EQ(index.weightMap.at("w2").shard, 1U);
    EXPECT_EQ(index.weightMap.at("w3").shard, 0U);
    EXPECT_EQ(json.substr(index.weightMap.at("w2").offset, 4), "\"w2\"");

    const SafetensorsIndexResult bare = parseSafetensorsIndex("{\"weight_map\":{}}");
    ASSERT_TRUE(bare.index.has_value());
    EXPECT_FALSE(bare.index->totalSize.has_value());
}

TEST(SafetensorsIndexTest, EachBrokenRuleIsOneErrorAtItsToken) {
    // Column 20 is the first shard name in {"weight_map":{"w":"..."}}.
    const auto shard = [](const std::string& name) {
        return "{\"weight_map\":{\"w\":\"" + name + "\"}}";
    };
    expectErrors(
        {
            {"[]", "expected an object for the index, found an array", 1, 1},
            {"{}", "the index has no 'weight_map'", 0, 0},
            {"{\"weight_map\":[]}", "expected an object for 'weight_map', found an array", 1, 15},
            {"{\"weight_map\":{},\"weight_map\":{}}", "duplicate key 'weight_map'", 1, 18},
            {"{\"weight_map\":{\"w\":1}}", "expected a shard file name for tensor 'w', found '1'",
             1, 20},
            {"{\"weight_map\":{\"w\":\"a\",\"w\":\"a\"}}", "duplicate tensor 'w' in 'weight_map'",
             1, 24},
            {shard(""), "tensor 'w': the shard name is empty", 1, 20},
            {shard("/etc/a.safetensors"),
             "tensor 'w': shard '/etc/a.safetensors' is outside the checkpoint folder", 1, 20},
            {shard("../a.safetensors"),
             "tensor 'w': shard '../a.safetensors' is outside the checkpoint folder", 1, 20},
            {shard("sub/../../a.safetensors"),
             "tensor 'w': shard 'sub/../../a.safetensors' is outside the checkpoint folder", 1, 20},
            {shard("a\\u0000.safetensors"),
             "tensor 'w': shard 'a\\x00.safetensors' holds a NUL byte", 1, 20},
            {shard("./"), "tensor 'w': shard './' names the checkpoint folder itself", 1, 20},
            {"{\"weight_map\":{\"w\":\"a.safetensors\",\"v\":\"./a.safetensors\"}}",
             "tensor 'v': shard './a.safetensors' is the same file as 'a.safetensors'", 1, 40},
            {"{\"weight_map\":{\"w\":\"a.safetensors\",\"v\":\"b//../a.safetensors\"}}",
             "tensor 'v': shard 'b//../a.safetensors' is outside the checkpoint folder", 1, 40},
            {"{\"weight_map\":{\"w\":\"x/a.safetensors\",\"v\":\"x//./a.safetensors\"}}",
             "tensor 'v': shard 'x//./a.safetensors' is the same file as 'x/a.safetensors'", 1, 42},
            {"{\"metadata\":{\"total_size\":1.5e10},\"weight_map\":{}}",
             "expected a whole number for 'total_size', found '1.5e10'", 1, 27},
            {"{\"metadata\":{\"total_size\":-4},\"weight_map\":{}}",
             "expected a whole number for 'total_size', found '-4'", 1, 27},
            {"{\"metadata\":{\"total_size\":\"4\"},\"weight_map\":{}}",
             "expected a whole number for 'total_size', found the string '4'", 1, 27},
            {"{\"metadata\":{\"total_size\":4,\"total_size\":4}}",
             "duplicate key 'total_size' in 'metadata'", 1, 29},
            {"{\"metadata\":5}", "expected an object for 'metadata', found '5'", 1, 13},
            {"{\"metadata\":{\"a\":" + deepArrays(100000) + "}}", "nesting deeper than 32 levels",
             1, 48},
            {"{\"x\":" + deepArrays(100000) + "}", "nesting deeper than 32 levels", 1, 37},
        },
        true);
}

// ---- Checkpoint folders ----------------------------------------------------

class CheckpointFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "checkpoint_test_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    void write(const std::string& name, const std::string& content) const {
        const std::filesystem::path path = folder_ / name;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    /// The read's one error, its file given relative to the folder.
    [[nodiscard]] CheckpointProblem errorOf(const CheckpointResult& read) const {
        EXPECT_FALSE(read.weights.has_value());
        CheckpointProblem error = read.error;
        const std::string prefix = folder_.string() + "/";
        if (error.file.starts_with(prefix)) {
            error.file.erase(0, prefix.size());
        }
        return error;
    }

    std::filesystem::path folder_;
};

/// Six dtypes, sub-byte ones included, in a file of exactly its header and data.
const std::string kMixedHeader =
    "{\"__metadata__\":{\"format\":\"pt\"}," + tensor("packed", "F4", "[2,4]", 41, 45) + "," +
    tensor("embed", "BF16", "[2,3]", 0, 12) + "," + tensor("norm", "F32", "[4]", 12, 28) + "," +
    tensor("scale", "F8_E4M3", "[5]", 28, 33) + "," + tensor("ids", "I32", "[1,2]", 33, 41) + "," +
    tensor("mx", "F6_E2M3", "[4]", 45, 48) + "}";

TEST_F(CheckpointFolderTest, ASingleFileSumsEveryDtypeExactly) {
    write("model.safetensors", shardFile(kMixedHeader, 48));
    write("config.json", "{}");
    const CheckpointResult read = readCheckpointWeights(folder_);
    ASSERT_TRUE(read.weights.has_value()) << read.error.message;
    EXPECT_EQ(read.weights->bytes, 48U); // 12 + 16 + 5 + 8 + 4 + 3
    EXPECT_EQ(read.weights->elements, 29U);
    EXPECT_EQ(read.weights->tensors, 6U);
    EXPECT_EQ(read.weights->shards, 1U);
    EXPECT_TRUE(read.weights->notes.empty());
}

TEST_F(CheckpointFolderTest, AnIndexedCheckpointSumsItsShards) {
    const std::string first = "model-00001-of-00002.safetensors";
    const std::string second = "model-00002-of-00002.safetensors";
    write(first, shardFile("{" + tensor("model.embed_tokens.weight", "BF16", "[8,4]", 0, 64) + "," +
                               tensor("model.norm.weight", "F32", "[4]", 64, 80) + "}",
                           80));
    write(second,
          shardFile("{" +
                        tensor("model.layers.0.mlp.gate_proj.weight", "F8_E5M2", "[4,4]", 64, 80) +
                        "," + tensor("lm_head.weight", "F16", "[8,4]", 0, 64) + "}",
                    80));
    write("model.safetensors.index.json",
          "{\n  \"metadata\": {\"total_size\": 160},\n  \"weight_map\": {\n"
          "    \"lm_head.weight\": \"" +
              second +
              "\",\n"
              "    \"model.embed_tokens.weight\": \"" +
              first +
              "\",\n"
              "    \"model.layers.0.mlp.gate_proj.weight\": \"" +
              second +
              "\",\n"
              "    \"model.norm.weight\": \"" +
              first + "\"\n  }\n}\n");
    const CheckpointResult read = readCheckpointWeights(folder_);
    ASSERT_TRUE(read.weights.has_value()) << read.error.message;
    EXPECT_EQ(read.weights->bytes, 160U);
    EXPECT_EQ(read.weights->elements, 32U + 4U + 16U + 32U);
    EXPECT_EQ(read.weights->tensors, 4U);
    EXPECT_EQ(read.weights->shards, 2U);
    EXPECT_TRUE(read.weights->notes.empty());
}

TEST_F(CheckpointFolderTest, ShardsAreFoundThroughLinksAsInADownloadedSnapshot) {
    const std::filesystem::path blobs = folder_ / "blobs";
    std::filesystem::create_directories(blobs);
    std::ofstream(blobs / "9f2c", std::ios::binary) << shardFile(kMixedHeader, 48);
    std::filesystem::create_directories(folder_ / "snapshot");
    std::filesystem::create_symlink("../blobs/9f2c", folder_ / "snapshot" / "model.safetensors");
    const CheckpointResult read = readCheckpointWeights(folder_ / "snapshot");
    ASSERT_TRUE(read.weights.has_value()) << read.error.message;
    EXPECT_EQ(read.weights->bytes, 48U);
}

TEST_F(CheckpointFolderTest, AShardOfAnotherSizeThanItsHeaderIsANote) {
    const std::uint64_t full = 8 + kMixedHeader.size() + 48;
    const std::vector<std::pair<std::uint64_t, std::string>> cases = {
        {47, "'model.safetensors': the file is " + std::to_string(full - 1) +
                 " bytes, shorter than the " + std::to_string(full) +
                 " its header describes (an incomplete download)"},
        {0, "'model.safetensors': the file is " + std::to_string(full - 48) +
                " bytes, shorter than the " + std::to_string(full) +
                " its header describes (an incomplete download)"},
        {49, "'model.safetensors': the file is " + std::to_string(full + 1) +
                 " bytes, longer than the " + std::to_string(full) + " its header describes"},
    };
    for (const auto& [data, note] : cases) {
        write("model.safetensors", shardFile(kMixedHeader, data));
        const CheckpointResult read = readCheckpointWeights(folder_);
        ASSERT_TRUE(read.weights.has_value()) << read.error.message;
        EXPECT_EQ(read.weights->bytes, 48U); // the header's figure, whatever the file holds
        ASSERT_EQ(read.weights->notes.size(), 1U);
        EXPECT_EQ(read.weights->notes[0].message, note);
        EXPECT_EQ(read.weights->notes[0].file, (folder_ / "model.safetensors").string());
        EXPECT_EQ(read.weights->notes[0].line, 0U);
    }
}

TEST_F(CheckpointFolderTest, AModelSafetensorsIsUsedBeforeAnIndex) {
    write("model.safetensors", shardFile(kMixedHeader, 48));
    write("model.safetensors.index.json", "not even JSON");
    const CheckpointResult read = readCheckpointWeights(folder_);
    ASSERT_TRUE(read.weights.has_value()) << read.error.message;
    EXPECT_EQ(read.weights->bytes, 48U);
}

struct FolderCase {
    std::string what;
    std::vector<std::pair<std::string, std::string>> files;
    std::string message;
    std::string file; ///< relative to the folder; empty for the folder itself
    std::uint32_t line = 0;
    std::uint32_t column = 0;
};

TEST_F(CheckpointFolderTest, EachHostileFolderIsOneError) {
    const std::string a = "a.safetensors";
    const std::string b = "b.safetensors";
    const std::string index = "model.safetensors.index.json";
    const std::string oneTensor = "{" + tensor("x", "U8", "[4]", 0, 4) + "}";
    const auto indexOf = [](const std::string& entries, const std::string& metadata = "") {
        return "{" + metadata + "\"weight_map\":{" + entries + "}}";
    };
    const std::vector<FolderCase> cases = {
        {"neither file",
         {{"config.json", "{}"}},
         "no model.safetensors or model.safetensors.index.json in the checkpoint folder",
         ""},
        {"length past the file",
         {{"model.safetensors", lengthThen(1000, "{}")}},
         "'model.safetensors': header length 1000 reaches past the end of the file (10 bytes)",
         "model.safetensors"},
        {"a 100 MB+ length",
         {{"model.safetensors", lengthThen(100000001, "{}")}},
         "'model.safetensors': header length 100000001 is over the format's limit of "
         "100000000 bytes",
         "model.safetensors"},
        {"the largest length",
         {{"model.safetensors", lengthThen(~std::uint64_t{0}, "{}")}},
         "'model.safetensors': header length 18446744073709551615 is over the format's limit "
         "of 100000000 bytes",
         "model.safetensors"},
        {"no length",
         {{"model.safetensors", "\x02"}},
         "'model.safetensors': the file is 1 bytes, shorter than the 8-byte length of its "
         "header",
         "model.safetensors"},
        {"deep JSON",
         {{"model.safetensors", shardFile(deepArrays(100000), 0)}},
         "'model.safetensors': expected an object for the header, found an array",
         "model.safetensors",
         1,
         1},
        {"an unknown dtype in a shard",
         {{"model.safetensors", shardFile("{\n" + tensor("x", "Q4", "[4]", 0, 4) + "}", 4)}},
         "'model.safetensors': tensor 'x': unknown dtype 'Q4'",
         "model.safetensors",
         2,
         14},
        {"a missing shard",
         {{index, indexOf("\"x\":\"a.safetensors\"")}},
         "'a.safetensors': cannot open: no such file",
         a},
        {"a shard that is a folder",
         {{index, indexOf("\"x\":\"sub\"")}, {"sub/y", ""}},
         "'sub': cannot open: it is a directory",
         "sub"},
        {"a shard named twice",
         {{index, indexOf("\"x\":\"a.safetensors\",\"y\":\"./a.safetensors\"")}},
         "'model.safetensors.index.json': tensor 'y': shard './a.safetensors' is the same file "
         "as 'a.safetensors'",
         index,
         1,
         40},
        {"a shard outside the folder",
         {{index, indexOf("\"x\":\"../a.safetensors\"")}},
         "'model.safetensors.index.json': tensor 'x': shard '../a.safetensors' is outside the "
         "checkpoint folder",
         index,
         1,
         20},
        {"a tensor that the index lacks",
         {{index, indexOf("\"x\":\"a.safetensors\"")},
          {a, shardFile("{" + tensor("x", "U8", "[4]", 0, 4) + "," +
                            tensor("y", "U8", "[4]", 4, 8) + "}",
                        8)}},
         "'a.safetensors': tensor 'y' is not in the index",
         a,
         1,
         54},
        {"a tensor missing from its shard",
         {{index, indexOf("\"x\":\"a.safetensors\",\n\"y\":\"a.safetensors\"")},
          {a, shardFile(oneTensor, 4)}},
         "'model.safetensors.index.json': tensor 'y' is not in its shard 'a.safetensors'",
         index,
         2,
         1},
        {"a tensor in two shards",
         {{index, indexOf("\"x\":\"a.safetensors\",\"z\":\"b.safetensors\"")},
          {a, shardFile(oneTensor, 4)},
          {b, shardFile("{" + tensor("z", "U8", "[4]", 0, 4) + "," +
                            tensor("x", "U8", "[4]", 4, 8) + "}",
                        8)}},
         "'b.safetensors': tensor 'x' is in this shard, but the index places it in "
         "'a.safetensors'",
         b,
         1,
         54},
        {"a duplicate tensor key",
         {{"model.safetensors", shardFile("{" + tensor("x", "U8", "[4]", 0, 4) + "," +
                                              tensor("x", "U8", "[4]", 0, 4) + "}",
                                          4)}},
         "'model.safetensors': duplicate tensor 'x'",
         "model.safetensors",
         1,
         54},
        {"total_size disagreeing",
         {{index, indexOf("\"x\":\"a.safetensors\"", "\"metadata\":{\"total_size\":5},")},
          {a, shardFile(oneTensor, 4)}},
         "'model.safetensors.index.json': 'total_size' is 5, but the shards' tensors take 4 "
         "bytes",
         index,
         1,
         27},
        {"an index that is not JSON",
         {{index, "{\"weight_map\":{]"}},
         "'model.safetensors.index.json': syntax error while parsing object key - unexpected "
         "']'; expected string literal",
         index,
         1,
         16},
    };
    for (const FolderCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        for (const auto& [name, content] : c.files) {
            write(name, content);
        }
        const CheckpointProblem error = errorOf(readCheckpointWeights(folder_));
        EXPECT_EQ(error.message, c.message);
        EXPECT_EQ(error.file, c.file.empty() ? folder_.string() : c.file);
        EXPECT_EQ(error.line, c.line);
        EXPECT_EQ(error.column, c.column);
    }
}

TEST_F(CheckpointFolderTest, AFifoOrAMissingFolderIsAnErrorNotAWait) {
    ASSERT_EQ(::mkfifo((folder_ / "model.safetensors").c_str(), 0600), 0);
    EXPECT_EQ(errorOf(readCheckpointWeights(folder_)).message,
              "'model.safetensors': cannot open: it is not a regular file but a FIFO");

    const CheckpointProblem missing = errorOf(readCheckpointWeights(folder_ / "nowhere"));
    EXPECT_EQ(missing.message, "cannot open the checkpoint folder: no such file");
    EXPECT_EQ(missing.file, "nowhere");

    write("file", "");
    EXPECT_EQ(errorOf(readCheckpointWeights(folder_ / "file")).message,
              "the checkpoint is not a folder");
}

} // namespace
} // namespace Core::SystemFile
