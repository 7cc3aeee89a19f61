// Builds the large placement texts: a fixed frame that resolves like the
// worked example, filled with repeated fields, or many small blocks.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <span>
#include <utility>

#include "common/checked_math.h"
#include "placement_generator.h"

namespace Core::Bench {
namespace {

constexpr std::string_view kCommentHead =
    "# Comment-heavy placement made by generate_placement: it resolves like\n"
    "# examples/demo.cplace; the engine block repeats its two fields, each with a comment.\n"
    "placement demo for system composite-three-engine {\n"
    "  format: 1;\n"
    "  policy: first_fit;\n"
    "  device cpu0 { kind: cpu; }\n"
    "  device gpu0 { kind: cuda; selector: { index: 0; }; }\n"
    "  engine sensory-sync {\n";
constexpr std::string_view kCommentTail = "  }\n}\n";
constexpr std::array<std::string_view, 2> kCommentLines{
    "    residency: persistent;  # the sensory engine is read on every step, so it stays loaded\n",
    "    priority: realtime;     // sensor frames arrive on a fixed clock and cannot wait\n",
};

// A comment line, a field with a trailing comment and a bare field: about 40 %
// of the bytes are comments, as in a placement people annotate.
constexpr std::array<std::string_view, 3> kMixedLines{
    "    # read on every step\n",
    "    residency: persistent;  # it stays loaded\n",
    "    priority: realtime;\n",
};

constexpr std::string_view kDenseHead =
    "placement demo for system composite-three-engine{format:1;policy:first_fit;"
    "device cpu0{kind:cpu;}device gpu0{kind:cuda;selector:{index:0;};}engine sensory-sync{";
constexpr std::string_view kDenseTail = "}}";
constexpr std::array<std::string_view, 2> kDenseFields{
    "residency:persistent;",
    "priority:realtime;",
};

/// Appends the fields in turn for as long as the next one leaves room for the tail.
void fill(std::string& text, std::uint64_t bytes, std::size_t tail,
          std::span<const std::string_view> fields) {
    for (std::size_t next = 0;; next = (next + 1) % fields.size()) {
        const std::string_view field = fields[next];
        if (text.size() + field.size() + tail > bytes) {
            return;
        }
        text += field;
    }
}

/// `number` in decimal, zero-padded to `width` digits.
void appendPadded(std::string& text, std::uint64_t number, std::size_t width) {
    std::array<char, 24> digits{};
    const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), number);
    const auto length = static_cast<std::size_t>(result.ptr - digits.data());
    if (length < width) {
        text.append(width - length, '0');
    }
    text.append(digits.data(), length);
}

std::size_t decimalDigits(std::uint64_t number) {
    std::size_t digits = 1;
    for (; number >= 10; number /= 10) {
        ++digits;
    }
    return digits;
}

} // namespace

std::optional<PlacementShape> shapeNamed(std::string_view name) {
    if (name == "comments") {
        return PlacementShape::comments;
    }
    if (name == "mixed") {
        return PlacementShape::mixed;
    }
    if (name == "dense") {
        return PlacementShape::dense;
    }
    if (name == "wide") {
        return PlacementShape::wide;
    }
    if (name == "wide-fields") {
        return PlacementShape::wideFields;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> parseAmount(std::string_view text, bool unitAllowed) {
    std::uint64_t count = 0;
    const char* const end = text.data() + text.size();
    const auto [unitStart, error] = std::from_chars(text.data(), end, count);
    if (error != std::errc{} || unitStart == text.data()) {
        return std::nullopt;
    }
    const std::string_view unit(unitStart, static_cast<std::size_t>(end - unitStart));
    if (unit.empty()) {
        return count;
    }
    if (!unitAllowed) {
        return std::nullopt;
    }
    constexpr std::array<std::pair<std::string_view, std::uint64_t>, 4> kUnits{{
        {"B", 1},
        {"KiB", 1024},
        {"MiB", 1024 * 1024},
        {"GiB", 1024 * 1024 * 1024},
    }};
    for (const auto& [name, multiplier] : kUnits) {
        if (unit == name) {
            return checkedMul(count, multiplier);
        }
    }
    return std::nullopt;
}

namespace {

/// The commented frame filled with `lines` to exactly `bytes`.
std::string commentedPlacement(std::uint64_t bytes, std::span<const std::string_view> lines) {
    std::string text;
    text.reserve(static_cast<std::size_t>(bytes));
    text += kCommentHead;
    fill(text, bytes, kCommentTail.size(), lines);
    // A last comment line takes up what no whole field line fits into.
    const std::uint64_t used = text.size() + kCommentTail.size();
    if (used < bytes) {
        const auto rest = static_cast<std::size_t>(bytes - used);
        if (rest >= 2) {
            text += '#';
            text.append(rest - 2, '-');
        }
        text += '\n';
    }
    text += kCommentTail;
    return text;
}

} // namespace

std::string commentHeavyPlacement(std::uint64_t bytes) {
    return commentedPlacement(bytes, kCommentLines);
}

std::string mixedPlacement(std::uint64_t bytes) { return commentedPlacement(bytes, kMixedLines); }

std::string densePlacement(std::uint64_t bytes) {
    std::string text;
    text.reserve(static_cast<std::size_t>(bytes));
    text += kDenseHead;
    fill(text, bytes, kDenseTail.size(), kDenseFields);
    text += kDenseTail;
    return text;
}

std::string widePlacement(std::uint64_t count, WideBlocks blocks) {
    // Equal widths keep the name order the same as the number order.
    const std::size_t width = std::max<std::size_t>(6, decimalDigits(count > 0 ? count - 1 : 0));
    const std::string_view deviceBody =
        blocks.fields ? " { kind: cpu; reserve: 64 MiB; }\n" : " { kind: cpu; }\n";
    const std::string_view engineBody =
        blocks.fields ? " { residency: persistent; priority: batch; }\n" : " { }\n";
    std::string text = "# Wide placement made by generate_placement: distinct devices, and engine\n"
                       "# blocks for engines that the graph does not have.\n"
                       "placement wide for system composite-three-engine {\n"
                       "  format: 1;\n"
                       "  policy: first_fit;\n";
    const std::size_t perBlock = 2 * (16 + width) + deviceBody.size() + engineBody.size();
    text.reserve(text.size() + static_cast<std::size_t>(count) * perBlock);
    for (std::uint64_t i = 0; i < count; ++i) {
        text += "  device cpu-";
        appendPadded(text, i, width);
        text += deviceBody;
    }
    for (std::uint64_t i = 0; blocks.engines && i < count; ++i) {
        text += "  engine ghost-";
        appendPadded(text, i, width);
        text += engineBody;
    }
    text += "}\n";
    return text;
}

std::string generatePlacement(PlacementShape shape, std::uint64_t amount) {
    switch (shape) {
    case PlacementShape::comments:
        return commentHeavyPlacement(amount);
    case PlacementShape::mixed:
        return mixedPlacement(amount);
    case PlacementShape::dense:
        return densePlacement(amount);
    case PlacementShape::wide:
        return widePlacement(amount);
    case PlacementShape::wideFields:
        return widePlacement(amount, {.fields = true});
    }
    return {};
}

} // namespace Core::Bench
