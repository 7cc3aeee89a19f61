// The rules and their codes. A code, once given, keeps its meaning: a rule
// that goes away leaves its code unused.
#include "companion/codes.h"

#include <array>

namespace Core::Companion {
namespace {

constexpr bool kPrefix = true;

// In code order; P: the placement's text, L: lowering against the system,
// R: resolution on the machine, W: warnings, F: files.
constexpr std::array kRules = {
    DiagnosticRule{"F001", "cannot open placement file: ", kPrefix,
                   "check the path; '-' reads standard input"},
    DiagnosticRule{"F002", "placement file is too large: ", kPrefix,
                   "a placement file holds at most 4294967294 bytes"},
    DiagnosticRule{"F003", "the system file cannot be read", false,
                   "its own errors, above, say why"},
    DiagnosticRule{"F004", "resource estimate is unknown", false,
                   "the system file's workloads, checked above, need every figure their "
                   "profile names"},

    DiagnosticRule{"P001", "unexpected character '", kPrefix,
                   "a placement is made of names, numbers, quoted strings, '{', '}', ':', ';' "
                   "and comments ('#' or '//')"},
    DiagnosticRule{"P002", "newline in string", false,
                   "close the string with '\"' on the same line"},
    DiagnosticRule{"P003", "unterminated string", false, "close the string with '\"'"},
    DiagnosticRule{"P004", "unterminated escape", false,
                   "a string may escape only '\\\"', '\\\\' and '\\n'"},
    DiagnosticRule{"P005", "unsupported string escape", false,
                   "a string may escape only '\\\"', '\\\\' and '\\n'"},
    DiagnosticRule{"P010", "expected ';'", false, "every field ends with ';'"},
    DiagnosticRule{"P011", "expected ':'", false, "a field is written NAME: VALUE;"},
    DiagnosticRule{"P012", "expected '{'", false, "a block's fields stand between '{' and '}'"},
    DiagnosticRule{"P013", "expected '}'", false, "every '{' needs its '}'"},
    DiagnosticRule{"P014", "expected value", false,
                   "a value is a word or a number, written without quotes"},
    DiagnosticRule{"P015", "expected unsigned integer", false, "write a whole number in digits"},
    DiagnosticRule{"P016", "expected quoted string", false, "this field takes a string in '\"'"},
    DiagnosticRule{"P017", "expected 'placement'", false,
                   "a placement file begins: placement NAME for system SYSTEM {"},
    DiagnosticRule{"P018", "expected 'for'", false,
                   "a placement file begins: placement NAME for system SYSTEM {"},
    DiagnosticRule{"P019", "expected 'system'", false,
                   "a placement file begins: placement NAME for system SYSTEM {"},
    DiagnosticRule{"P020", "expected 'index'", false, "a selector is written selector: { index: N; };"},
    DiagnosticRule{"P021", "expected device reference", false,
                   "name a declared device: device: NAME;"},
    DiagnosticRule{"P022", "expected ", kPrefix,
                   "a name is letters, digits, '_', '-' and '.', unquoted, not starting with a "
                   "digit; a field name is followed by ':'; '}' closes the block"},
    DiagnosticRule{"P030", "unknown placement field '", kPrefix,
                   "placement fields: format, policy, determinism, device, defaults, engine"},
    DiagnosticRule{"P031", "unknown device field '", kPrefix,
                   "device fields: kind, selector, reserve"},
    DiagnosticRule{"P032", "unknown defaults field '", kPrefix,
                   "defaults fields: residency, priority"},
    DiagnosticRule{"P033", "unknown engine field '", kPrefix,
                   "engine fields: model, memory, device, residency, priority"},
    DiagnosticRule{"P034", "unknown model field '", kPrefix,
                   "model fields: artifact, sharing_group, weights, adapter"},
    DiagnosticRule{"P035", "unknown memory field '", kPrefix,
                   "memory fields: weights, kv_cache_max, workspace_max"},
    DiagnosticRule{"P040", "unknown policy '", kPrefix,
                   "policies: validate_only, explicit, first_fit"},
    DiagnosticRule{"P041", "unknown determinism '", kPrefix, "determinism: strict or portable"},
    DiagnosticRule{"P042", "unknown device kind '", kPrefix,
                   "device kinds: cpu, cuda (any NVIDIA GPU)"},
    DiagnosticRule{"P043", "unknown engine class '", kPrefix,
                   "engine classes: sync, dpsh, transformer, sensory, controller"},
    DiagnosticRule{"P044", "unknown residency '", kPrefix,
                   "residencies: persistent, evictable, on_demand, session_pinned"},
    DiagnosticRule{"P045", "unknown priority '", kPrefix, "priorities: realtime, interactive, batch"},
    DiagnosticRule{"P046", "unknown byte unit '", kPrefix,
                   "sizes are whole numbers in B, KiB, MiB or GiB"},
    DiagnosticRule{"P050", "duplicate format", false, "give each field once"},
    DiagnosticRule{"P051", "duplicate policy", false, "give each field once"},
    DiagnosticRule{"P052", "duplicate determinism", false, "give each field once"},
    DiagnosticRule{"P053", "duplicate kind", false, "give each field once"},
    DiagnosticRule{"P054", "duplicate device '", kPrefix, "every device block needs its own name"},
    DiagnosticRule{"P055", "duplicate engine '", kPrefix, "one block per engine"},
    DiagnosticRule{"P056", "duplicate model block", false, "one model block per engine"},
    DiagnosticRule{"P057", "duplicate memory block", false, "one memory block per engine"},
    DiagnosticRule{"P060", "missing required format", false, "add format: 1; to the placement"},
    DiagnosticRule{"P061", "unsupported placement format ", kPrefix,
                   "this version reads format: 1;"},
    DiagnosticRule{"P062", "device requires kind", false,
                   "add kind: cpu; or kind: cuda; to the block"},
    DiagnosticRule{"P063", "model requires artifact", false,
                   "add artifact: \"NAME\"; to the model block"},
    DiagnosticRule{"P064", "weights must be shared_read_only", false,
                   "in a model block, weights: shared_read_only; is the only form"},
    DiagnosticRule{"P070", "invalid unsigned integer", false,
                   "the largest number is 18446744073709551615"},
    DiagnosticRule{"P071", "integer exceeds uint32", false, "the largest here is 4294967295"},
    DiagnosticRule{"P072", "byte quantity overflow", false,
                   "a size is at most 18446744073709551615 bytes"},
    DiagnosticRule{"P080", "unexpected content after placement", false,
                   "the placement ends at the '}' that closes its first '{': an extra '}' "
                   "earlier ends it too soon"},

    DiagnosticRule{"L001", "placement targets system '", kPrefix,
                   "write for system NAME with the system's id"},
    DiagnosticRule{"L002", "cannot lower placement for an invalid orchestration graph", false,
                   "the system's own errors say why"},
    DiagnosticRule{"L003", "placement references an engine absent from SystemSpec", false,
                   "an engine block names an engine of the system"},
    DiagnosticRule{"L004", "explicit placement requires an entry for every system engine", false,
                   "policy: explicit places only what its engine blocks name"},
    DiagnosticRule{"L005", "explicit placement requires device", false,
                   "policy: explicit needs device: NAME; in every engine block"},
    DiagnosticRule{"L006", "references unknown device '", kPrefix,
                   "an engine's device names a device block of the placement"},
    DiagnosticRule{"L007", "duplicate defaults for one engine class", false,
                   "one defaults block per engine class"},
    DiagnosticRule{"L008", "model block is only valid for transformer engines", false,
                   "remove the model block"},
    DiagnosticRule{"L009", "weights cannot be both auto and explicit", false,
                   "keep one of weights: auto; and weights: SIZE;"},
    DiagnosticRule{"L010", "shared_read_only weights require sharing_group", false,
                   "add sharing_group: \"NAME\";"},
    DiagnosticRule{"L011", "sharing_group requires shared_read_only weights", false,
                   "add weights: shared_read_only;"},
    DiagnosticRule{"L012", "CUDA device requires selector.index", false,
                   "add selector: { index: N; };"},
    DiagnosticRule{"L013", "CPU device must not declare CUDA index", false, "remove the selector"},

    DiagnosticRule{"R001", "declared device is absent from resource inventory", false,
                   "declare a device that the machine has"},
    DiagnosticRule{"R002", "multiple aliases bind the same physical device", false,
                   "declare each physical device once"},
    DiagnosticRule{"R003", "external reserve exceeds currently usable memory", false,
                   "lower the reserve below what the device has free"},
    DiagnosticRule{"R004", "first_fit has no usable allowed device", false,
                   "declare a device that the machine has, with a reserve that fits"},
    DiagnosticRule{"R005", "first_fit cannot place peak ", kPrefix,
                   "no device has room for the engine's peak"},
    DiagnosticRule{"R006", "pinned device is not a usable allowed device", false,
                   "the engine's device did not bind, or has no room left after its reserve"},
    DiagnosticRule{"R007", "pinned peak ", kPrefix, "the engine's device has too little room left"},
    DiagnosticRule{"R008", "explicit engine has no device assignment", false,
                   "add device: NAME; to the engine block"},
    DiagnosticRule{"R009", "assigned device is unresolved", false,
                   "the engine's device did not bind to the machine"},
    DiagnosticRule{"R010", "aggregate requested memory overflowed", false,
                   "the peaks on one device add up past 2^64 bytes"},
    DiagnosticRule{"R011", "OOM preflight: requested ", kPrefix,
                   "the engines on the device need more than it has after its reserve"},
    DiagnosticRule{"R012", "duplicate workload budget", false, "the workload lists an engine twice"},
    DiagnosticRule{"R013", "resource requirements are missing", false,
                   "the workload has no entry for the engine"},
    DiagnosticRule{"R014", "peak memory is unknown or overflowed", false,
                   "the engine's workload cannot be estimated"},
    DiagnosticRule{"R015", "workload does not belong to placement IR", false,
                   "the workload names an engine the placement does not have"},

    DiagnosticRule{"W001", "weights ", kPrefix,
                   "a memory limit below the estimate: the engine may run out of memory"},
    DiagnosticRule{"W002", "kv_cache_max ", kPrefix,
                   "a memory limit below the estimate: the engine may run out of memory"},
    DiagnosticRule{"W003", "workspace_max ", kPrefix,
                   "a memory limit below the estimate: the engine may run out of memory"},
};

} // namespace

std::span<const DiagnosticRule> diagnosticRules() { return kRules; }

const DiagnosticRule* ruleOf(std::string_view message) {
    const DiagnosticRule* best = nullptr;
    for (const DiagnosticRule& rule : kRules) {
        if (!rule.prefix && rule.message == message) {
            return &rule;
        }
        if (rule.prefix && message.starts_with(rule.message) &&
            (best == nullptr || rule.message.size() > best->message.size())) {
            best = &rule;
        }
    }
    return best;
}

} // namespace Core::Companion
