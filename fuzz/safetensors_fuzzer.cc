// Fuzzes the safetensors header and index readers with the same input: each
// gives a result or one error with a message at a position inside the text,
// never both; a header's tensors tile its data and their bytes are what
// dtype and shape say; an index's shards are distinct names inside the
// folder; and reading again gives the same answer.
#include "fuzz_checks.h"
#include "system_file/safetensors.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Core::Fuzz::require;
using namespace Core::SystemFile;

void checkError(const CheckpointProblem& error, std::string_view text) {
    require(!error.message.empty(), "an error without a message", text.substr(0, 200));
    require(error.message.back() != '.', "a message ending in a full stop", error.message);
    require(error.message.size() < 1000, "a message of unbounded length",
            error.message.substr(0, 200));
    require(error.file.empty(), "a pure reader named a file", error.file);
    if (error.line == 0) {
        require(error.column == 0, "a column without a line", error.message);
        return;
    }
    require(Core::Fuzz::insideText(text, {error.line, error.column}), "an error outside the text",
            error.message);
}

void checkHeader(std::string_view text) {
    const SafetensorsHeaderResult read = parseSafetensorsHeader(text);
    if (!read.header) {
        checkError(read.error, text);
        require(parseSafetensorsHeader(text).error == read.error,
                "reading a header twice gave another error", read.error.message);
        return;
    }
    require(read.error.message.empty(), "a header and an error", read.error.message);
    const SafetensorsHeader& header = *read.header;
    std::vector<const SafetensorsTensor*> order;
    std::set<std::string_view> names;
    std::uint64_t elements = 0;
    for (const SafetensorsTensor& tensor : header.tensors) {
        require(names.insert(tensor.name).second, "a tensor read twice", tensor.name);
        require(tensor.begin <= tensor.end && tensor.bytes == tensor.end - tensor.begin,
                "bytes that are not the offsets' span", tensor.name);
        // bytes × 8 == elements × bits, checked without overflow as
        // elements == bytes × 8 / bits with no remainder.
        const std::uint32_t bits = Core::SystemFile::safetensorsDtypeBits(tensor.dtype);
        const std::uint64_t whole = tensor.bytes / bits;
        const std::uint64_t rest = tensor.bytes % bits;
        require(rest * 8 % bits == 0 && tensor.elements == whole * 8 + rest * 8 / bits,
                "bytes that dtype and shape do not give", tensor.name);
        require(tensor.offset < text.size() && text[tensor.offset] == '"',
                "a tensor's offset not at its key", tensor.name);
        elements += tensor.elements;
        order.push_back(&tensor);
    }
    require(elements == header.elements, "elements that are not the tensors' sum", "");
    std::stable_sort(order.begin(), order.end(), [](const auto* a, const auto* b) {
        return std::pair(a->begin, a->end) < std::pair(b->begin, b->end);
    });
    std::uint64_t next = 0;
    for (const SafetensorsTensor* tensor : order) {
        require(tensor->begin == next, "tensors that do not tile the data", tensor->name);
        next = tensor->end;
    }
    require(next == header.dataBytes, "data bytes that are not where the tiles end", "");
    require(parseSafetensorsHeader(text).header == read.header,
            "reading a header twice gave another header", "");
}

void checkIndex(std::string_view text) {
    const SafetensorsIndexResult read = parseSafetensorsIndex(text);
    if (!read.index) {
        checkError(read.error, text);
        return;
    }
    require(read.error.message.empty(), "an index and an error", read.error.message);
    const SafetensorsIndex& index = *read.index;
    std::set<std::string> normal;
    for (const std::string& shard : index.shards) {
        const std::filesystem::path path(shard);
        require(!shard.empty() && shard.front() != '/' && shard.find('\0') == std::string::npos &&
                    std::none_of(path.begin(), path.end(),
                                 [](const auto& part) { return part == ".."; }),
                "a shard outside the folder", shard);
        require(normal.insert(path.lexically_normal().generic_string()).second,
                "one file reached by two shard names", shard);
    }
    for (const auto& [name, entry] : index.weightMap) {
        require(entry.shard < index.shards.size(), "a tensor in no shard", name);
        require(entry.offset < text.size() && text[entry.offset] == '"',
                "a tensor's offset not at its key", name);
    }
    if (index.totalSize) {
        require(index.totalSizeOffset < text.size(), "total_size outside the text", "");
    }
    require(parseSafetensorsIndex(text).index == read.index,
            "reading an index twice gave another index", "");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkHeader(text);
    checkIndex(text);
    return 0;
}
