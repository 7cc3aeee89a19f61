// Fuzzes the whole command-line run in-process: the input is written to a
// file, the tool runs on it, and every run must end in one of two shapes.
// Status 0: a report that starts with the title line, with well-formed hash,
// engine and budget lines, and nothing on standard error. Status 1: nothing
// on standard output and exactly one line on standard error, "deployment
// example: " and the message. The input then runs again behind one extra line
// feed and must give the same report or error, a parse error one line lower.
// Anything else is a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/driver.h"
#include "fuzz_checks.h"

namespace {

using Core::Fuzz::require;

constexpr std::string_view kTitle = "Resolved deployment (portable inventory fixture)\n";
constexpr std::string_view kErrorPrefix = "deployment example: ";
constexpr std::string_view kHardwareFingerprint = "12899266385732286141";
constexpr std::string_view kEngines[] = {"sensory-sync", "intuition-transformer", "temporal-dpsh"};

const std::string& inputPath() {
    static const std::string path = Core::Fuzz::scratchPath("talvex_run_fuzzer");
    return path;
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        require(newline != std::string_view::npos, "report does not end with a newline",
                std::string(text));
        lines.push_back(text.substr(0, newline));
        text.remove_prefix(newline + 1);
    }
    return lines;
}

/// "key=" and a decimal number at the front of `line`, which is advanced past it.
std::uint64_t takeField(std::string_view& line, std::string_view key, std::string_view report) {
    require(line.substr(0, key.size()) == key, "report line lacks a field", report);
    line.remove_prefix(key.size());
    const std::size_t end = std::min(line.find(' '), line.size());
    const std::optional<std::uint64_t> value = Core::Fuzz::plainDecimal(line.substr(0, end));
    require(value.has_value(), "report field is not a plain number", report);
    line.remove_prefix(end == line.size() ? end : end + 1);
    return *value;
}

void checkReport(const std::string& report) {
    require(report.starts_with(kTitle), "report without the title line", report);
    const std::vector<std::string_view> lines = splitLines(report);
    require(lines.size() >= 2 + std::size(kEngines), "report too short", report);

    std::string_view hashes = lines[1];
    takeField(hashes, "placement_hash=", report);
    require(hashes == "hardware_fingerprint=" + std::string(kHardwareFingerprint),
            "hardware fingerprint is not the fixture's", report);

    std::set<std::string_view> used;
    for (std::size_t i = 0; i < std::size(kEngines); ++i) {
        const std::string_view line = lines[2 + i];
        const std::string prefix = std::string(kEngines[i]) + " -> ";
        require(line.starts_with(prefix) && line.size() > prefix.size(),
                "engine line out of order or malformed", report);
        used.insert(line.substr(prefix.size()));
    }

    std::set<std::string_view> budgeted;
    std::string_view previous;
    for (std::size_t i = 2 + std::size(kEngines); i < lines.size(); ++i) {
        std::string_view line = lines[i];
        const std::size_t space = line.find(' ');
        require(space != std::string_view::npos && space > 0, "budget line malformed", report);
        const std::string_view device = line.substr(0, space);
        require(budgeted.empty() || previous < device, "budgets not sorted by device", report);
        previous = device;
        budgeted.insert(device);
        line.remove_prefix(space + 1);
        const std::uint64_t requested = takeField(line, "requested=", report);
        const std::uint64_t usable = takeField(line, "usable=", report);
        const std::uint64_t headroom = takeField(line, "headroom=", report);
        require(line.empty(), "budget line has more fields", report);
        require(requested <= usable && usable - requested == headroom,
                "a budget that does not add up passed", report);
    }
    for (const std::string_view device : used) {
        require(budgeted.contains(device), "an engine's device has no budget line", report);
    }
}

/// The message after the prefix when it is a parse error of `path`: those
/// must name a line and a column inside the input.
std::optional<Core::Fuzz::PositionedMessage>
checkErrorLine(const std::string& err, const std::string& path, std::string_view input) {
    require(err.starts_with(kErrorPrefix), "error line without the prefix", err);
    require(!err.empty() && err.back() == '\n' && err.find('\n') == err.size() - 1,
            "standard error is not exactly one line", err);
    const std::string_view message =
        std::string_view(err).substr(kErrorPrefix.size(), err.size() - kErrorPrefix.size() - 1);
    if (!message.starts_with(path + ":")) {
        return std::nullopt;
    }
    const std::optional<Core::Fuzz::PositionedMessage> split =
        Core::Fuzz::positionPrefix(message, path);
    require(split.has_value(), "parse error without 'file:LINE:COLUMN: '", err);
    require(Core::Fuzz::insideText(input, split->position), "parse error outside the input", err);
    return split;
}

struct RunOutcome {
    int status = 0;
    std::string out;
    std::string err;
};

/// Runs the tool on `input` and checks the shape of what it wrote.
RunOutcome runOn(std::string_view input) {
    const std::string& path = inputPath();
    Core::Fuzz::writeFile(path, input);
    std::ostringstream out;
    std::ostringstream err;
    RunOutcome outcome{Core::App::run({path}, out, err), out.str(), err.str()};
    if (outcome.status == 0) {
        require(outcome.err.empty(), "standard error written on success", outcome.err);
        checkReport(outcome.out);
    } else if (outcome.status == 1) {
        require(outcome.out.empty(), "standard output written on failure", outcome.out);
        checkErrorLine(outcome.err, path, input);
    } else {
        Core::Fuzz::finding("exit status other than 0 and 1", std::to_string(outcome.status));
    }
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // Registered after the path exists, so it runs before the path is destroyed.
    static_cast<void>(inputPath());
    std::atexit([] { std::remove(inputPath().c_str()); });
    return 0;
}

/// Runs the input, then the input behind one extra line feed. No hash or
/// report line may depend on layout, so the second run must give the same
/// report or the same error, a parse error only one line lower.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const RunOutcome plain = runOn(input);
    const std::string shiftedInput = "\n" + input;
    const RunOutcome shifted = runOn(shiftedInput);
    require(plain.status == shifted.status && plain.out == shifted.out,
            "a leading line feed changed the result", plain.err + shifted.err);
    if (plain.status == 0) {
        return 0;
    }
    const std::optional<Core::Fuzz::PositionedMessage> before =
        checkErrorLine(plain.err, inputPath(), input);
    const std::optional<Core::Fuzz::PositionedMessage> after =
        checkErrorLine(shifted.err, inputPath(), shiftedInput);
    if (!before || !after) {
        require(plain.err == shifted.err, "a leading line feed changed the error",
                plain.err + shifted.err);
        return 0;
    }
    require(before->message == after->message &&
                after->position.line == before->position.line + 1 &&
                after->position.column == before->position.column,
            "a leading line feed did not move the parse error one line down",
            plain.err + shifted.err);
    return 0;
}
