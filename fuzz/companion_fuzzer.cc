// Fuzzes the companion command in-process: each input is written to a file and
// taken through the tool's own run, check's text, and one group of the other
// commands (check's JSON; deploy's text and JSON; explain's text; explain's
// JSON, also behind one extra line feed), chosen by a hash of the input.
// Every answer must have its documented shape, and all of them must tell one
// story: one status, the same diagnostics in either rendering with positions
// inside the input, deploy's text the tool's bytes, explain's report the
// tool's report, peaks that add up to their terms and budgets that add up to
// their engines' peaks, a refused plan's suggestion as the last note of an issue, and a
// leading line feed that moves positions one line down and changes nothing
// else. Anything else is a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <initializer_list>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/driver.h"
#include "companion/companion.h"
#include "fuzz_checks.h"
#include "host/probe.h"
#include "placement/parser.h"

namespace {

using Core::Fuzz::Position;

// Ordered, so that the order of the keys can be checked.
using Json = nlohmann::ordered_json;

constexpr std::string_view kTitle = "Resolved deployment (portable inventory fixture)\n";
constexpr std::string_view kToolErrorPrefix = "deployment example: ";
constexpr std::string_view kRefusedBudgets =
    "device budgets of the refused plan, as far as resolution got\n";

const std::string& inputPath() {
    static const std::string path = Core::Fuzz::scratchPath("talvex_companion_fuzzer");
    return path;
}

struct Outcome {
    int status = 0;
    std::string out;
    std::string err;
};

/// Every run on the current input, the tool's first: what a finding shows.
/// A deque, so that the outcomes handed out stay where they are.
std::deque<std::pair<std::string, Outcome>>& transcript() {
    static std::deque<std::pair<std::string, Outcome>> runs;
    return runs;
}

[[noreturn]] void fail(std::string_view what) {
    std::string detail;
    for (const auto& [command, outcome] : transcript()) {
        detail += "\n" + command + " -> status " + std::to_string(outcome.status) +
                  "\n--- stdout\n" + outcome.out + "--- stderr\n" + outcome.err;
    }
    Core::Fuzz::finding(what, detail);
}

void expect(bool holds, std::string_view what) {
    if (!holds) {
        fail(what);
    }
}

/// One companion run on the scratch file, with the fixture inventory.
const Outcome& companion(const std::vector<std::string>& args, std::string_view note = {}) {
    std::string command = "talvex_composite";
    for (const std::string& arg : args) {
        command += " " + arg;
    }
    command += note;
    std::ostringstream out;
    std::ostringstream err;
    Outcome outcome;
    try {
        outcome.status = Core::Companion::run(args, out, err, Core::Host::HostProbeOptions{});
    } catch (const std::exception& error) {
        Core::Fuzz::finding("an exception escaped the companion", command + ": " + error.what());
    }
    outcome.out = out.str();
    outcome.err = err.str();
    transcript().emplace_back(std::move(command), std::move(outcome));
    const Outcome& added = transcript().back().second;
    expect(added.status == 0 || added.status == 1, "exit status other than 0 and 1");
    // Every command resolves the same file, so it resolves or not for all of them.
    expect(added.status == transcript().front().second.status,
           "a subcommand's status is not the tool's");
    return added;
}

/// The tool's own run on the scratch file; the first of the transcript.
const Outcome& tool() {
    transcript().clear();
    std::ostringstream out;
    std::ostringstream err;
    const int status = Core::App::run({inputPath()}, out, err);
    transcript().emplace_back("talvex_composite_deploy " + inputPath(),
                              Outcome{status, out.str(), err.str()});
    return transcript().back().second;
}

// --- the text form of diagnostics -------------------------------------------

/// Checks that `text` is lines of "FILE:LINE:COLUMN: SEVERITY: MESSAGE" (or
/// "FILE: error: MESSAGE") on `input`'s file, with notes after what they
/// belong to and at its position; gives how many errors it shows.
std::size_t diagnosticLines(std::string_view text, std::string_view input) {
    const std::string& path = inputPath();
    expect(text.empty() || text.back() == '\n', "diagnostics do not end with a newline");
    std::size_t errors = 0;
    std::size_t owners = 0;        // errors and warnings
    std::size_t pathless = 0;      // of which without " [PATH]": errors in the text
    std::optional<Position> owner; // the position of the last error or warning
    bool excerpt = false;          // the line before was a source line, so a caret comes
    while (!text.empty()) {
        const std::string_view line = text.substr(0, text.find('\n'));
        text.remove_prefix(line.size() + 1);
        // The source line a diagnostic points at, and the caret under it.
        if (line.starts_with("    ")) {
            expect(line.find(" | ") != std::string_view::npos || line.ends_with(" |"),
                   "an indented line that is no source excerpt");
            excerpt = !excerpt;
            if (!excerpt) {
                expect(line.find('^') != std::string_view::npos, "a source line without a caret");
            }
            continue;
        }
        expect(!excerpt, "a source line without its caret line");
        expect(line.starts_with(path), "diagnostic line does not start with the file");
        std::optional<Position> position;
        std::string_view rest;
        if (const std::optional<Core::Fuzz::PositionedMessage> split =
                Core::Fuzz::positionPrefix(line, path)) {
            expect(Core::Fuzz::insideText(input, split->position),
                   "diagnostic position outside the input");
            position = split->position;
            rest = split->message;
        } else {
            expect(line.substr(path.size(), 2) == ": ",
                   "diagnostic line is neither 'FILE:LINE:COLUMN: ' nor 'FILE: '");
            rest = line.substr(path.size() + 2);
        }
        const std::size_t colon = rest.find(": ");
        expect(colon != std::string_view::npos && colon + 2 < rest.size(),
               "diagnostic line without 'SEVERITY: MESSAGE'");
        const std::string_view severity = rest.substr(0, colon);
        const std::string_view message = rest.substr(colon + 2);
        if (severity == "note") {
            expect(owner.has_value(), "a note before any error or warning");
            expect(position.has_value(), "a note without a position on a readable file");
            continue;
        }
        expect(severity == "error" || severity == "warning",
               "diagnostic severity other than error, warning and note");
        // The file was written just now, so it can be read: every problem is in its text.
        if (!position) {
            fail("an error without a position on a readable file");
        }
        expect(!owner || owner->line < position->line ||
                   (owner->line == position->line && owner->column <= position->column),
               "diagnostics out of line order");
        owner = *position;
        ++owners;
        errors += severity == "error" ? 1 : 0;
        if (!message.ends_with("]") || message.find(" [") == std::string_view::npos) {
            expect(severity == "error", "a warning without its ' [PATH]'");
            ++pathless;
        }
    }
    expect(!excerpt, "a source line without its caret line");
    // Errors in the text stop the pipeline: nothing else is shown beside them.
    expect(pathless == 0 || pathless == owners, "an error without ' [PATH]' among other problems");
    return errors;
}

// --- JSON --------------------------------------------------------------------

Json parseDocument(const Outcome& outcome) {
    expect(outcome.err.empty(), "standard error written beside a JSON document");
    expect(!outcome.out.empty() && outcome.out.back() == '\n',
           "JSON document does not end with a newline");
    Json document = Json::parse(outcome.out, nullptr, false);
    expect(!document.is_discarded(), "standard output is not exactly one JSON document");
    expect(document.is_object() && !document.empty(), "JSON document is not an object");
    return document;
}

const Json& member(const Json& object, const char* key) {
    if (!object.is_object() || !object.contains(key)) {
        fail(std::string("JSON without \"") + key + "\"");
    }
    return object.at(key);
}

bool isCount(const Json& value) {
    return value.is_number_unsigned() ||
           (value.is_number_integer() && value.get<std::int64_t>() >= 0);
}

std::uint64_t count(const Json& value) {
    expect(isCount(value), "JSON figure is not a non-negative integer");
    return value.get<std::uint64_t>();
}

std::string stringOf(const Json& value) {
    expect(value.is_string(), "JSON value is not a string");
    return value.get<std::string>();
}

bool flag(const Json& value) {
    expect(value.is_boolean(), "JSON value is not a boolean");
    return value.get<bool>();
}

std::uint64_t sum(std::uint64_t a, std::uint64_t b) {
    expect(a + b >= a, "figures that overflow when added up");
    return a + b;
}

/// The bytes over of a budget: the companion saturates them, as a reserve
/// counted as asked for may not fit a count.
std::uint64_t saturatedSum(std::uint64_t a, std::uint64_t b) {
    return a + b >= a ? a + b : UINT64_MAX;
}

/// The documented keys come in the documented order; keys added later may
/// stand between them.
void keysInOrder(const Json& object, std::initializer_list<std::string_view> keys) {
    expect(object.is_object(), "JSON value is not an object");
    const auto* next = keys.begin();
    for (const auto& item : object.items()) {
        if (next != keys.end() && item.key() == *next) {
            ++next;
        }
    }
    expect(next == keys.end(), "JSON keys missing or out of order");
}

/// What every document starts and ends with, and its status.
void checkHeader(const Json& document, std::string_view command, int status) {
    expect(document.begin().key() == "format_version" && document.begin().value() == 1,
           "format_version is not the first key or not 1");
    expect(member(document, "command") == command, "command is not the subcommand");
    expect(member(document, "inventory") == "fixture", "inventory is not the fixture");
    expect(flag(member(document, "resolved")) == (status == 0),
           "resolved does not match the status");
    // The fixture is never probed, so there is nothing to note.
    const auto last = std::prev(document.end());
    expect(last.key() == "notes" && last.value() == Json::array(),
           "notes is not the last key or not empty");
}

/// placement_hash and hardware_fingerprint: decimal strings or both null.
std::optional<std::pair<std::string, std::string>> hashes(const Json& document) {
    const Json& placement = member(document, "placement_hash");
    const Json& hardware = member(document, "hardware_fingerprint");
    if (placement.is_null() && hardware.is_null()) {
        return std::nullopt;
    }
    for (const Json* hash : {&placement, &hardware}) {
        expect(hash->is_string() && Core::Fuzz::plainDecimal(hash->get<std::string>()),
               "a hash that is not a decimal string");
    }
    return std::pair{placement.get<std::string>(), hardware.get<std::string>()};
}

struct DiagnosticCounts {
    std::size_t errors = 0;
    bool textError = false; ///< an error in the text: one without a path
};

DiagnosticCounts checkDiagnostics(const Json& diagnostics, std::string_view input) {
    expect(diagnostics.is_array(), "diagnostics is not an array");
    DiagnosticCounts counts;
    std::size_t pathless = 0;
    std::optional<Position> previous;
    for (const Json& diagnostic : diagnostics) {
        keysInOrder(diagnostic, {"severity", "path", "message", "file", "line", "column", "notes",
                                 "code", "note_positions"});
        const Json& code = member(diagnostic, "code");
        expect(code.is_string() && code.get<std::string>().size() == 4,
               "a diagnostic without its rule's code");
        const Json& severity = member(diagnostic, "severity");
        expect(severity == "error" || severity == "warning",
               "diagnostic severity other than error and warning");
        counts.errors += severity == "error" ? 1 : 0;
        const Json& path = member(diagnostic, "path");
        expect(path.is_null() || path.is_string(), "path neither a string nor null");
        if (path.is_null()) {
            // Errors in the text stop the pipeline: they are all there is.
            expect(severity == "error", "a warning without a path");
            ++pathless;
            counts.textError = true;
        }
        stringOf(member(diagnostic, "message"));
        const Json& line = member(diagnostic, "line");
        const Json& column = member(diagnostic, "column");
        // The file was written just now, so it can be read: every problem is in its text.
        expect(member(diagnostic, "file") == inputPath(),
               "a diagnostic without a position or on another file");
        expect(isCount(line) && isCount(column) && line.get<std::uint64_t>() >= 1 &&
                   line.get<std::uint64_t>() <= UINT32_MAX &&
                   column.get<std::uint64_t>() <= UINT32_MAX,
               "line or column is not a 32-bit count from 1");
        expect(
            Core::Fuzz::insideText(input, {line.get<std::uint32_t>(), column.get<std::uint32_t>()}),
            "diagnostic position outside the input");
        const Position here{line.get<std::uint32_t>(), column.get<std::uint32_t>()};
        expect(!previous || previous->line < here.line ||
                   (previous->line == here.line && previous->column <= here.column),
               "diagnostics out of line order");
        previous = here;
        const Json& notes = member(diagnostic, "notes");
        expect(notes.is_array() && !notes.empty(), "an error or warning without a note");
        for (const Json& note : notes) {
            stringOf(note);
        }
        const Json& positions = member(diagnostic, "note_positions");
        expect(positions.is_array() && positions.size() == notes.size(),
               "note_positions is not one per note");
        for (const Json& at : positions) {
            if (!at.is_null()) {
                expect(isCount(member(at, "line")) && isCount(member(at, "column")) &&
                           Core::Fuzz::insideText(input, {at["line"].get<std::uint32_t>(),
                                                          at["column"].get<std::uint32_t>()}),
                       "a note's position outside the input");
            }
        }
    }
    expect(pathless == 0 || pathless == diagnostics.size(),
           "a diagnostic without a path beside others");
    return counts;
}

/// A refused plan's suggestion: its documented keys, the ones its kind
/// fills, and its note, the last on the first issue.
void checkSuggestion(const Json& suggestion, const Json& diagnostics) {
    keysInOrder(suggestion,
                {"kind", "engine", "device", "reserve", "edit", "line", "column", "note"});
    const Json& kind = member(suggestion, "kind");
    const bool move = kind == "move_engine";
    const bool reserve = kind == "lower_reserve";
    expect(move || reserve || kind == "none", "a suggestion of another kind");
    expect(member(suggestion, "engine").is_string() == move &&
               member(suggestion, "device").is_string() == (move || reserve) &&
               member(suggestion, "edit").is_string() == (move || reserve),
           "a suggestion's engine, device or edit does not match its kind");
    const Json& bytes = member(suggestion, "reserve");
    expect(reserve ? isCount(bytes) : bytes.is_null(), "a suggestion's reserve does not match its kind");
    const Json& line = member(suggestion, "line");
    const Json& column = member(suggestion, "column");
    expect((line.is_null() && column.is_null() && !reserve) ||
               (isCount(line) && isCount(column) && (move || reserve)),
           "a suggestion's position does not match its kind");
    const std::string note = stringOf(member(suggestion, "note"));
    // The first issue resolution found; diagnostics are shown in line order.
    const bool ends = std::any_of(diagnostics.begin(), diagnostics.end(), [&](const Json& d) {
        return d.contains("notes") && !d["notes"].empty() && d["notes"].back() == note;
    });
    expect(ends, "a suggestion that is not the last note of an issue");
}

/// The keys that deploy and explain share, and what they say of the status.
void checkPlacementDocument(const Json& document, std::string_view command, int status,
                            std::string_view input) {
    checkHeader(document, command, status);
    expect(member(document, "file") == inputPath(), "the document names another file");
    const Json& diagnostics = member(document, "diagnostics");
    const DiagnosticCounts counts = checkDiagnostics(diagnostics, input);
    expect((counts.errors == 0) == (status == 0), "errors and resolution disagree");
    const std::optional<std::pair<std::string, std::string>> hashPair = hashes(document);
    expect(!counts.textError || !hashPair, "hashes of a file with an error in its text");
    expect(status != 0 || hashPair, "a resolved placement without hashes");
    // Hashes on a refusal: the placement lowered and resolution refused it.
    const bool refusedByResolution = status != 0 && hashPair;
    for (const char* list : {"engines", "budgets", "first_fit"}) {
        if (document.contains(list)) {
            expect(member(document, list).is_array(), "engines, budgets or first_fit not an array");
            // explain tells as much of a refused plan as resolution got to.
            const bool partial =
                command == "explain" && refusedByResolution && std::string_view(list) != "engines";
            expect(status == 0 || partial || member(document, list).empty(),
                   "engines, budgets or first_fit of a placement that did not resolve");
        }
    }
    const Json& suggestion = member(document, "suggestion");
    if (refusedByResolution) {
        checkSuggestion(suggestion, diagnostics);
    } else {
        expect(suggestion.is_null(), "a suggestion for a plan that resolution did not refuse");
    }
}

/// Budgets in device order, each adding up; gives each device's usable bytes.
std::map<std::string, std::uint64_t> checkBudgets(const Json& budgets) {
    std::map<std::string, std::uint64_t> usable;
    std::string previous;
    for (const Json& budget : budgets) {
        keysInOrder(budget, {"device", "physical_device", "total", "available", "reserve", "usable",
                             "requested", "headroom", "over"});
        const std::string device = stringOf(member(budget, "device"));
        expect(usable.empty() || previous < device, "budgets not in device order");
        previous = device;
        stringOf(member(budget, "physical_device"));
        const std::uint64_t total = count(member(budget, "total"));
        const Json& available = member(budget, "available");
        const std::uint64_t held = available.is_null() ? total : std::min(total, count(available));
        const std::uint64_t left = count(member(budget, "usable"));
        const std::uint64_t reserve = count(member(budget, "reserve"));
        const std::uint64_t requested = count(member(budget, "requested"));
        const std::uint64_t headroom = count(member(budget, "headroom"));
        const std::uint64_t over = count(member(budget, "over"));
        if (reserve > held) {
            // A refused plan's: the reserve that does not fit is asked for too.
            expect(left == 0 && headroom == 0 && over == saturatedSum(reserve - held, requested),
                   "a reserve that does not fit is not counted over");
        } else {
            expect(sum(left, reserve) == held,
                   "usable is not the smaller of total and available minus the reserve");
            expect(over == 0 ? sum(headroom, requested) == left
                             : headroom == 0 && sum(left, over) == requested,
                   "headroom or over is not usable against requested");
        }
        usable[device] = left;
    }
    return usable;
}

/// `text` as a JSON document carries it: JSON text is UTF-8, so each byte
/// that is not becomes U+FFFD, as the companion writes it.
std::string asJsonText(const std::string& text) {
    if (std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) {
        return text;
    }
    return Json::parse(Json(text).dump(-1, ' ', false, Json::error_handler_t::replace))
        .get<std::string>();
}

/// The diagnostics as check's text prints them, but for bytes that are not UTF-8.
std::string diagnosticsText(const Json& diagnostics) {
    std::string text;
    for (const Json& diagnostic : diagnostics) {
        const std::string position = diagnostic["file"].get<std::string>() + ":" +
                                     std::to_string(diagnostic["line"].get<std::uint64_t>()) + ":" +
                                     std::to_string(diagnostic["column"].get<std::uint64_t>());
        text += position + ": " + diagnostic["severity"].get<std::string>() + ": " +
                diagnostic["message"].get<std::string>();
        if (!diagnostic["path"].is_null()) {
            text += " [" + diagnostic["path"].get<std::string>() + "]";
        }
        text += "\n";
        const Json& notes = diagnostic["notes"];
        for (std::size_t i = 0; i < notes.size(); ++i) {
            const Json& at = diagnostic["note_positions"][i];
            const std::string notePosition =
                at.is_null() ? position
                             : diagnostic["file"].get<std::string>() + ":" +
                                   std::to_string(at["line"].get<std::uint64_t>()) + ":" +
                                   std::to_string(at["column"].get<std::uint64_t>());
            text += notePosition + ": note: " + notes[i].get<std::string>() + "\n";
        }
    }
    return text;
}

/// check's text without its source lines and carets.
std::string withoutExcerpts(std::string_view text) {
    std::string kept;
    while (!text.empty()) {
        const std::string_view line = text.substr(0, text.find('\n') + 1);
        text.remove_prefix(line.size());
        if (!line.starts_with("    ")) {
            kept += line;
        }
    }
    return kept;
}

/// The diagnostics with every line moved `lines` up.
Json raised(Json diagnostics, std::uint64_t lines) {
    for (Json& diagnostic : diagnostics) {
        const std::uint64_t line = diagnostic["line"].get<std::uint64_t>();
        expect(line > lines, "a leading line feed left a diagnostic on the first line");
        diagnostic["line"] = line - lines;
        for (Json& at : diagnostic["note_positions"]) {
            if (!at.is_null()) {
                at["line"] = at["line"].get<std::uint64_t>() - lines;
            }
        }
    }
    return diagnostics;
}

// --- the tool's report ---------------------------------------------------------

struct Report {
    std::string placementHash;
    std::string hardwareFingerprint;
    std::vector<std::pair<std::string, std::string>> engines; ///< engine, device
    std::vector<std::string> budgets;                         ///< the budget lines
};

/// The tool's report, split where deploy's JSON must agree with it; its own
/// shape is run_fuzzer's to check.
Report splitReport(std::string_view text) {
    Report report;
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        expect(newline != std::string_view::npos, "report does not end with a newline");
        lines.push_back(text.substr(0, newline));
        text.remove_prefix(newline + 1);
    }
    expect(lines.size() >= 2, "report too short");
    constexpr std::string_view kPlacementKey = "placement_hash=";
    constexpr std::string_view kHardwareKey = " hardware_fingerprint=";
    const std::string_view hashLine = lines[1];
    const std::size_t hardware = hashLine.find(kHardwareKey);
    expect(hashLine.starts_with(kPlacementKey) && hardware != std::string_view::npos,
           "report without its hash line");
    report.placementHash = hashLine.substr(kPlacementKey.size(), hardware - kPlacementKey.size());
    report.hardwareFingerprint = hashLine.substr(hardware + kHardwareKey.size());
    for (std::size_t i = 2; i < lines.size(); ++i) {
        const std::size_t arrow = lines[i].find(" -> ");
        if (arrow != std::string_view::npos) {
            report.engines.emplace_back(lines[i].substr(0, arrow), lines[i].substr(arrow + 4));
        } else {
            report.budgets.emplace_back(lines[i]);
        }
    }
    return report;
}

// --- the commands ---------------------------------------------------------------

/// check FILE: the documented text.
void checkText(const Outcome& outcome, std::string_view input) {
    expect(outcome.err.empty(), "check wrote to standard error");
    const std::size_t errors = diagnosticLines(outcome.out, input);
    if (outcome.status == 0) {
        expect(errors == 0, "an error line from a file that resolves");
    } else {
        expect(errors > 0, "status 1 without an error line");
    }
}

/// A JSON document's diagnostics must be those check printed.
void sameDiagnostics(const Json& diagnostics, const Outcome& checkRun, std::string_view what) {
    expect(diagnosticsText(diagnostics) == asJsonText(withoutExcerpts(checkRun.out)), what);
}

/// check FILE --format json; gives the file's diagnostics.
Json checkJson(const Outcome& outcome, std::string_view input) {
    const Json document = parseDocument(outcome);
    keysInOrder(document, {"format_version", "command", "inventory", "resolved", "files", "notes"});
    checkHeader(document, "check", outcome.status);
    const Json& files = member(document, "files");
    expect(files.is_array() && files.size() == 1, "check's files are not the one file");
    const Json& file = files.front();
    keysInOrder(file, {"file", "resolved", "suggestion", "diagnostics"});
    expect(member(file, "file") == inputPath(), "check's file is another file");
    expect(flag(member(file, "resolved")) == (outcome.status == 0),
           "the file's resolved does not match the status");
    const Json& diagnostics = member(file, "diagnostics");
    expect((checkDiagnostics(diagnostics, input).errors == 0) == (outcome.status == 0),
           "errors and resolution disagree in check's JSON");
    if (const Json& suggestion = member(file, "suggestion"); !suggestion.is_null()) {
        expect(outcome.status != 0, "a suggestion for a plan that resolves");
        checkSuggestion(suggestion, diagnostics);
    }
    return diagnostics;
}

/// explain FILE: the tool's report and the explanation, or the diagnostics.
void explainText(const Outcome& outcome, const Outcome& toolRun, const Outcome& checkRun,
                 std::string_view input) {
    expect(outcome.err == checkRun.out, "explain's diagnostics are not check's");
    const std::size_t errors = diagnosticLines(outcome.err, input);
    if (outcome.status == 0) {
        expect(errors == 0, "explain succeeded with an error line");
        expect(outcome.out.starts_with(kTitle), "explanation without the title line");
        expect(outcome.out.starts_with(toolRun.out) && outcome.out.size() > toolRun.out.size(),
               "explanation does not start with the tool's report");
        expect(outcome.out.back() == '\n', "explanation does not end with a newline");
    } else {
        // Only a plan that resolution refused has something to show there.
        expect(outcome.out.empty() ||
                   (outcome.out.starts_with(kRefusedBudgets) && outcome.out.back() == '\n'),
               "explain wrote to standard output on failure, other than a refused plan's budgets");
        expect(errors > 0, "explain failed without an error line");
    }
}

/// An engine of explain's JSON, as first fit's steps must repeat it.
struct ExplainedEngine {
    // cppcheck-suppress unusedStructMember ; read through the map's iterators
    std::string device;
    std::uint64_t peak = 0;
};

/// explain FILE --format json: peaks that are the sums of their terms,
/// budgets that are the sums of their engines' peaks, and first fit's steps
/// in its order, each taking its peak off what its device had left.
Json explainJson(const Outcome& outcome, std::string_view input) {
    Json document = parseDocument(outcome);
    keysInOrder(document, {"format_version", "command", "file", "inventory", "resolved",
                           "placement_hash", "hardware_fingerprint", "engines", "first_fit",
                           "budgets", "suggestion", "diagnostics", "notes"});
    checkPlacementDocument(document, "explain", outcome.status, input);
    if (outcome.status != 0) {
        // A refused plan's budgets, as far as resolution got, and first fit's
        // steps, an engine it could not place without a device.
        checkBudgets(member(document, "budgets"));
        for (const Json& step : member(document, "first_fit")) {
            keysInOrder(step, {"engine", "peak", "pinned", "device", "headroom"});
            expect(!member(step, "device").is_null() || count(member(step, "headroom")) == 0,
                   "headroom left by an engine that was not placed");
        }
        return document;
    }
    std::map<std::string, ExplainedEngine> engines;
    std::map<std::string, std::uint64_t> requested; // by device
    for (const Json& engine : member(document, "engines")) {
        keysInOrder(engine, {"engine", "class", "residency", "priority", "device", "sessions",
                             "concurrency", "training", "peak", "terms"});
        const std::string device = stringOf(member(engine, "device"));
        const std::uint64_t sessions = count(member(engine, "sessions"));
        const std::uint64_t concurrency = count(member(engine, "concurrency"));
        std::vector<std::string_view> names = {"weights",         "adapter_weights", "kv_cache",
                                               "activations",     "workspace",       "pool",
                                               "runtime_overhead"};
        if (flag(member(engine, "training"))) {
            names.insert(names.begin() + 2, "optimizer_state");
        }
        const Json& terms = member(engine, "terms");
        expect(terms.is_array() && terms.size() == names.size(),
               "an engine's terms are not the documented ones");
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < names.size(); ++i) {
            const Json& term = terms[i];
            keysInOrder(term, {"term", "kind", "low", "high", "multiplier", "bytes"});
            expect(member(term, "term") == names[i], "an engine's terms out of order");
            const Json& kind = member(term, "kind");
            const std::uint64_t low = count(member(term, "low"));
            const std::uint64_t high = count(member(term, "high"));
            expect((kind == "exact" && low == high) || (kind == "range" && low <= high),
                   "a term's kind does not match its low and high");
            std::uint64_t multiplier = 1;
            if (names[i] == "kv_cache") {
                multiplier = sessions;
            } else if (names[i] == "activations" || names[i] == "workspace") {
                multiplier = concurrency;
            }
            expect(count(member(term, "multiplier")) == multiplier,
                   "a term's multiplier is not its sessions or concurrency");
            const std::uint64_t bytes = count(member(term, "bytes"));
            expect(multiplier == 0 ? bytes == 0
                                   : bytes % multiplier == 0 && bytes / multiplier == high,
                   "a term's bytes are not high times multiplier");
            total = sum(total, bytes);
        }
        const std::uint64_t peak = count(member(engine, "peak"));
        expect(total == peak, "an engine's terms do not add up to its peak");
        requested[device] = sum(requested[device], peak);
        expect(
            engines.try_emplace(stringOf(member(engine, "engine")), ExplainedEngine{device, peak})
                .second,
            "an engine listed twice");
    }

    const Json& budgets = member(document, "budgets");
    const std::map<std::string, std::uint64_t> usable = checkBudgets(budgets);
    for (const Json& budget : budgets) {
        const auto found = requested.find(stringOf(member(budget, "device")));
        expect(count(member(budget, "requested")) == (found == requested.end() ? 0 : found->second),
               "a budget's requested is not the sum of its engines' peaks");
    }
    for (const auto& [device, bytes] : requested) {
        expect(usable.contains(device), "an engine's device has no budget");
    }

    // Pinned engines first, then the largest peak; each takes its peak off its device.
    const Json& steps = member(document, "first_fit");
    expect(steps.empty() || steps.size() == engines.size(), "first fit left out an engine");
    std::map<std::string, std::uint64_t> left = usable;
    std::map<std::string, bool> taken;
    std::optional<std::uint64_t> previousPeak; // of the last engine that was not pinned
    for (const Json& step : steps) {
        keysInOrder(step, {"engine", "peak", "pinned", "device", "headroom"});
        const std::string name = stringOf(member(step, "engine"));
        const auto engine = engines.find(name);
        if (engine == engines.end() || taken[name]) {
            fail("first fit took an unknown engine, or one twice");
        }
        taken[name] = true;
        const std::uint64_t peak = count(member(step, "peak"));
        expect(peak == engine->second.peak, "first fit's peak is not the engine's");
        expect(member(step, "device") == engine->second.device,
               "first fit's device is not the engine's");
        if (flag(member(step, "pinned"))) {
            expect(!previousPeak, "a pinned engine after one that was not");
        } else {
            expect(!previousPeak || *previousPeak >= peak, "first fit not by the largest peak");
            previousPeak = peak;
        }
        std::uint64_t& bytes = left[engine->second.device];
        expect(bytes >= peak, "first fit placed more than its device had left");
        bytes -= peak;
        expect(count(member(step, "headroom")) == bytes,
               "first fit's headroom is not what its device had left");
    }
    return document;
}

/// deploy FILE --format json: the tool's resolution, or the tool's error.
Json deployJson(const Outcome& outcome, const Outcome& toolRun, std::string_view input) {
    Json document = parseDocument(outcome);
    keysInOrder(document,
                {"format_version", "command", "file", "inventory", "resolved", "placement_hash",
                 "hardware_fingerprint", "engines", "budgets", "refusal", "suggestion",
                 "diagnostics", "notes"});
    checkPlacementDocument(document, "deploy", outcome.status, input);
    const Json& refusal = member(document, "refusal");
    if (outcome.status != 0) {
        expect(toolRun.err.starts_with(kToolErrorPrefix) && refusal.is_string() &&
                   asJsonText(toolRun.err.substr(kToolErrorPrefix.size())) ==
                       refusal.get<std::string>() + "\n",
               "deploy's refusal is not the tool's error");
        return document;
    }
    expect(refusal.is_null(), "a refusal on success");
    const Report report = splitReport(toolRun.out);
    const std::optional<std::pair<std::string, std::string>> hashPair = hashes(document);
    expect(hashPair.has_value() && hashPair->first == report.placementHash &&
               hashPair->second == report.hardwareFingerprint,
           "deploy's hashes are not the report's");
    const Json& engines = member(document, "engines");
    expect(engines.size() == report.engines.size(), "deploy's engines are not the report's");
    for (std::size_t i = 0; i < engines.size(); ++i) {
        keysInOrder(engines[i], {"engine", "device"});
        expect(stringOf(member(engines[i], "engine")) == asJsonText(report.engines[i].first) &&
                   stringOf(member(engines[i], "device")) == asJsonText(report.engines[i].second),
               "deploy's engines are not the report's");
    }
    const Json& budgets = member(document, "budgets");
    checkBudgets(budgets);
    expect(budgets.size() == report.budgets.size(), "deploy's budgets are not the report's");
    for (std::size_t i = 0; i < budgets.size(); ++i) {
        const Json& budget = budgets[i];
        const std::string line = stringOf(member(budget, "device")) + " requested=" +
                                 std::to_string(count(member(budget, "requested"))) +
                                 " usable=" + std::to_string(count(member(budget, "usable"))) +
                                 " headroom=" + std::to_string(count(member(budget, "headroom")));
        expect(line == asJsonText(report.budgets[i]), "deploy's budgets are not the report's");
    }
    return document;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // Registered after the path exists, so it runs before the path is destroyed.
    static_cast<void>(inputPath());
    std::atexit([] { std::remove(inputPath().c_str()); });
    return 0;
}

/// Which of the commands beside check's text an input goes through: a hash
/// of it, so that the same input always takes the same way.
std::uint64_t selector(std::string_view input) {
    std::uint64_t hash = 14695981039346656037ULL; // FNV-1a
    for (const char c : input) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    return hash;
}

/// Every input goes through the tool and check's text, then one group: under
/// the sanitizers a command takes about half a millisecond (CLI11 builds its
/// parser each time), and all seven on every input would allow only a few
/// hundred inputs a second.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string& path = inputPath();
    Core::Fuzz::writeFile(path, input);

    const Outcome& toolRun = tool();
    const Outcome& checkRun = companion({"check", path});
    checkText(checkRun, input);
    // Recovery goes on past the first error in the text, which is the tool's.
    const Core::Placement::PlacementParseErrors recovered =
        Core::Placement::collectParseErrors(input, path);
    if (!recovered.errors.empty()) {
        expect(toolRun.err == std::string(kToolErrorPrefix) + recovered.errors.front().text() + "\n",
               "recovery's first error is not the tool's");
        expect(recovered.errors.size() <= Core::Placement::kMaxParseErrors,
               "recovery reported past its limit");
        for (const Core::Placement::ParseError& error : recovered.errors) {
            expect(Core::Fuzz::insideText(input, {error.location().line, error.location().column}),
                   "recovery reported an error past the end of the file");
        }
    } else {
        expect(!toolRun.err.starts_with(std::string(kToolErrorPrefix) + path + ":"),
               "recovery found no error where the tool did");
    }
    switch (selector(input) % 4) {
    case 0: {
        const Json diagnostics = checkJson(companion({"check", path, "--format", "json"}), input);
        sameDiagnostics(diagnostics, checkRun, "check's text and its JSON differ");
        break;
    }
    case 1: {
        const Outcome& deployText = companion({"deploy", path});
        expect(deployText.out == toolRun.out && deployText.err == toolRun.err,
               "deploy's text is not the tool's");
        const Json document =
            deployJson(companion({"deploy", path, "--format", "json"}), toolRun, input);
        sameDiagnostics(document["diagnostics"], checkRun, "deploy's diagnostics are not check's");
        break;
    }
    case 2:
        explainText(companion({"explain", path}), toolRun, checkRun, input);
        break;
    default: {
        const std::vector<std::string> command = {"explain", path, "--format", "json"};
        const Json explanation = explainJson(companion(command), input);
        sameDiagnostics(explanation["diagnostics"], checkRun,
                        "explain's diagnostics are not check's");
        // Nothing but positions may depend on where the placement starts.
        const std::string shiftedInput = "\n" + input;
        Core::Fuzz::writeFile(path, shiftedInput);
        Json shifted = explainJson(companion(command, " (behind a line feed)"), shiftedInput);
        shifted["diagnostics"] = raised(shifted["diagnostics"], 1);
        if (Json& suggestion = shifted["suggestion"]; suggestion.is_object() &&
                                                      suggestion["line"].is_number()) {
            suggestion["line"] = suggestion["line"].get<std::uint64_t>() - 1;
        }
        expect(shifted == explanation, "a leading line feed changed more than the lines");
        break;
    }
    }
    return 0;
}
