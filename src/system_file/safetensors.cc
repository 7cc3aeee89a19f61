// Safetensors headers and indexes read with nlohmann/json's SAX interface:
// the schema is checked event by event, so a duplicate key or nesting that
// the format has no place for stops the parse where it stands, and no
// document is built. Shards are opened without blocking and only their
// headers are read.
#include "system_file/safetensors.h"

#include "common/checked_math.h"
#include "common/text_position.h"
#include "files/regular_file.h"
#include "json_text/tracked_chars.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <deque>
#include <exception>
#include <fcntl.h>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>
#include <numeric>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_set>
#include <utility>

namespace Core::SystemFile {
namespace {

using Json = nlohmann::json;

struct DtypeInfo {
    std::string_view name;
    std::uint32_t bits;
};

constexpr std::array<DtypeInfo, 22> kDtypes = {{
    {"BOOL", 8},        {"F4", 4},      {"F6_E2M3", 6}, {"F6_E3M2", 6}, {"U8", 8},
    {"I8", 8},          {"F8_E5M2", 8}, {"F8_E4M3", 8}, {"F8_E8M0", 8}, {"F8_E4M3FNUZ", 8},
    {"F8_E5M2FNUZ", 8}, {"I16", 16},    {"U16", 16},    {"F16", 16},    {"BF16", 16},
    {"I32", 32},        {"U32", 32},    {"F32", 32},    {"C64", 64},    {"F64", 64},
    {"I64", 64},        {"U64", 64},
}};
static_assert(kDtypes.size() == static_cast<std::size_t>(SafetensorsDtype::u64) + 1);

/// Deeper than this, an index's metadata is refused rather than skipped.
constexpr std::size_t kIndexDepthLimit = 32;
/// Bytes of an input value that a message shows.
constexpr std::size_t kQuotedLimit = 120;
constexpr std::string_view kSingleFile = "model.safetensors";
constexpr std::string_view kIndexFile = "model.safetensors.index.json";

/// Cuts `text` to at most `limit` bytes at the start of a UTF-8 character.
std::size_t cutAt(std::string_view text, std::size_t limit) {
    std::size_t end = std::min(text.size(), limit);
    while (end > 0 && end < text.size() &&
           (static_cast<unsigned char>(text[end]) & 0xC0U) == 0x80U) {
        --end;
    }
    return end;
}

/// A value from the input between single quotes, control bytes escaped and
/// long values cut, so that no input makes a message of any length.
std::string inQuotes(std::string_view text) {
    constexpr std::string_view kHex = "0123456789abcdef";
    const std::size_t end = cutAt(text, kQuotedLimit);
    std::string out = "'";
    for (const char c : text.substr(0, end)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20U || byte == 0x7FU) {
            out += "\\x";
            out += kHex[byte >> 4U];
            out += kHex[byte & 0xFU];
        } else {
            out += c;
        }
    }
    return out + (end < text.size() ? "...'" : "'");
}

/// nlohmann's text without its "[json.exception...] parse error at line L,
/// column C: " prefix, which the position already says, and with the token
/// it quotes as last read cut: that may be a whole unterminated string.
std::string syntaxMessage(std::string_view what, std::string_view token) {
    const std::size_t colon = what.find(": ");
    std::string message(colon == std::string_view::npos ? what : what.substr(colon + 2));
    // Only nlohmann's own words come before the token, so the first match is it.
    constexpr std::string_view kRead = "last read: '";
    const std::size_t read = message.find(kRead);
    if (read == std::string::npos || token.size() <= kQuotedLimit) {
        return message;
    }
    const std::size_t start = read + kRead.size();
    if (std::string_view(message).substr(start, token.size()) == token) {
        const std::size_t keep = cutAt(token, kQuotedLimit);
        message.replace(start + keep, token.size() - keep, "...");
    }
    return message;
}

std::string count(std::uint64_t value) {
    return std::to_string(value);
}

CheckpointProblem problemAt(std::string message, std::string_view json, std::size_t offset) {
    const TextPosition at = positionBefore(json, offset + 1);
    return {std::move(message), {}, at.line, at.column};
}

/// Where the token of each SAX event starts. Between the end of what the
/// lexer had read at one event and the token of the next lie only white
/// space, commas and colons: the lexer reads one byte past a number, and
/// that byte is one of those or the bracket of the next event.
class TokenPositions {
  public:
    explicit TokenPositions(std::string_view text)
        : text_(text), read_(text.data()), from_(text.data()), eventEnd_(text.data()) {}

    const char** readSlot() noexcept { return &read_; }

    /// Every handler callback calls this first.
    void nextEvent() noexcept {
        from_ = eventEnd_;
        eventEnd_ = read_;
    }

    /// How far the lexer had read at the current event: just past the token
    /// for a string or a bracket.
    [[nodiscard]] std::size_t eventEnd() const noexcept {
        return static_cast<std::size_t>(eventEnd_ - text_.data());
    }

    /// The offset of the current event's token.
    [[nodiscard]] std::size_t tokenStart() const noexcept {
        const char* at = from_;
        const char* const end = text_.data() + text_.size();
        if (at == text_.data() && text_.starts_with("\xEF\xBB\xBF")) {
            at += 3; // the lexer skips a byte order mark
        }
        while (at < end && (*at == ' ' || *at == '\t' || *at == '\n' || *at == '\r' || *at == ',' ||
                            *at == ':')) {
            ++at;
        }
        return static_cast<std::size_t>(at - text_.data());
    }

    /// The text of the current event's number token, as written.
    [[nodiscard]] std::string_view numberText() const noexcept {
        const std::size_t start = tokenStart();
        std::size_t end = start;
        while (end < text_.size() &&
               std::string_view("+-.0123456789eE").find(text_[end]) != std::string_view::npos) {
            ++end;
        }
        return text_.substr(start, end - start);
    }

  private:
    std::string_view text_;
    const char* read_;
    const char* from_;
    const char* eventEnd_;
};

/// Runs `handler` over `json`, its callbacks able to ask `positions` where
/// each token starts.
template <typename Handler>
bool runSax(std::string_view json, TokenPositions& positions, Handler& handler) {
    const char* const first = json.data();
    return Json::sax_parse(JsonText::TrackedChars(first, positions.readSlot()),
                           JsonText::TrackedChars(first + json.size(), positions.readSlot()),
                           &handler);
}

/// Shared by both readers: the first problem, at the current token.
class HandlerBase {
  public:
    HandlerBase(std::string_view json, TokenPositions& at) : json_(json), at_(at) {}

    bool parse_error(std::size_t position, const std::string& token, const Json::exception& error) {
        const TextPosition at = positionBefore(json_, position);
        error_ = CheckpointProblem{syntaxMessage(error.what(), token), {}, at.line, at.column};
        return false;
    }
    bool binary(Json::binary_t& /*value*/) { return fail("unexpected binary value"); }

    [[nodiscard]] const std::optional<CheckpointProblem>& error() const { return error_; }

  protected:
    bool fail(std::string message) { return failAt(at_.tokenStart(), std::move(message)); }
    bool failAt(std::size_t offset, std::string message) {
        error_ = problemAt(std::move(message), json_, offset);
        return false;
    }
    [[nodiscard]] std::string numberFound() const { return inQuotes(at_.numberText()); }

    std::string_view json_;
    TokenPositions& at_;

  private:
    std::optional<CheckpointProblem> error_;
};

class HeaderHandler : public HandlerBase {
  public:
    // A tensor takes some 120 bytes of a header as writers lay it out: room
    // for that many saves growing the tables tensor by tensor.
    HeaderHandler(std::string_view json, TokenPositions& at) : HandlerBase(json, at) {
        tensors_.reserve(json.size() / 128);
        names_.reserve(json.size() / 128);
    }

    bool null() {
        at_.nextEvent();
        return unexpected("'null'");
    }
    bool boolean(bool value) {
        at_.nextEvent();
        return unexpected(value ? "'true'" : "'false'");
    }
    bool number_integer(Json::number_integer_t /*value*/) {
        at_.nextEvent();
        return unexpected(numberFound());
    }
    bool number_float(Json::number_float_t /*value*/, const Json::string_t& raw) {
        at_.nextEvent();
        return unexpected(inQuotes(raw));
    }

    bool number_unsigned(Json::number_unsigned_t value) {
        at_.nextEvent();
        if (state_ == Expect::shapeItem) {
            if (value == 0) {
                zeroDimension_ = true;
            } else if (const auto product = checkedMul(tensor_.elements, value)) {
                tensor_.elements = *product;
            } else {
                overflow_ = true;
            }
            return true;
        }
        if (state_ == Expect::offsetsItem) {
            if (offsetCount_ >= 2) {
                return fail(tensorPrefix() + "'data_offsets' holds more than two numbers");
            }
            (offsetCount_ == 0 ? tensor_.begin : tensor_.end) = value;
            ++offsetCount_;
            return true;
        }
        return unexpected(numberFound());
    }

    bool string(const Json::string_t& value) {
        at_.nextEvent();
        if (state_ == Expect::dtype) {
            const std::optional<SafetensorsDtype> dtype = safetensorsDtypeNamed(value);
            if (!dtype) {
                return fail(tensorPrefix() + "unknown dtype " + inQuotes(value));
            }
            tensor_.dtype = *dtype;
            state_ = Expect::field;
            return true;
        }
        if (state_ == Expect::metadataValue) {
            state_ = Expect::metadataKey;
            return true;
        }
        return unexpected("the string " + inQuotes(value));
    }

    bool start_object(std::size_t /*elements*/) {
        at_.nextEvent();
        switch (state_) {
        case Expect::header:
            state_ = Expect::entry;
            return true;
        case Expect::tensorObject:
            state_ = Expect::field;
            return true;
        case Expect::metadataObject:
            state_ = Expect::metadataKey;
            return true;
        default:
            return unexpected("an object");
        }
    }

    bool key(Json::string_t& name) {
        at_.nextEvent();
        switch (state_) {
        case Expect::entry:
            return headerKey(name);
        case Expect::metadataKey:
            if (!metadataKeys_.insert(name).second) {
                return fail("duplicate key " + inQuotes(name) + " in '__metadata__'");
            }
            metadataKey_ = std::move(name);
            state_ = Expect::metadataValue;
            return true;
        case Expect::field:
            return fieldKey(name);
        default:
            return fail("unexpected key " + inQuotes(name));
        }
    }

    bool end_object() {
        at_.nextEvent();
        switch (state_) {
        case Expect::entry:
            state_ = Expect::done;
            return true;
        case Expect::metadataKey:
            state_ = Expect::entry;
            return true;
        case Expect::field:
            return finishTensor();
        default:
            return fail("unexpected '}'");
        }
    }

    bool start_array(std::size_t /*elements*/) {
        at_.nextEvent();
        if (state_ == Expect::shape) {
            shapeOffset_ = at_.tokenStart();
            tensor_.elements = 1;
            zeroDimension_ = false;
            overflow_ = false;
            state_ = Expect::shapeItem;
            return true;
        }
        if (state_ == Expect::offsets) {
            offsetsOffset_ = at_.tokenStart();
            offsetCount_ = 0;
            state_ = Expect::offsetsItem;
            return true;
        }
        return unexpected("an array");
    }

    bool end_array() {
        at_.nextEvent();
        if (state_ == Expect::shapeItem) {
            // A zero anywhere makes an empty tensor, however large the rest.
            if (zeroDimension_) {
                tensor_.elements = 0;
            } else if (overflow_) {
                return failAt(shapeOffset_,
                              tensorPrefix() + "the product of 'shape' overflows 64 bits");
            }
            state_ = Expect::field;
            return true;
        }
        if (state_ == Expect::offsetsItem) {
            if (offsetCount_ != 2) {
                return failAt(offsetsOffset_,
                              tensorPrefix() + "'data_offsets' holds " + count(offsetCount_) +
                                  (offsetCount_ == 1 ? " number" : " numbers") + ", not two");
            }
            if (tensor_.begin > tensor_.end) {
                return failAt(offsetsOffset_, tensorPrefix() + "'data_offsets' end " +
                                                  count(tensor_.end) + " is before begin " +
                                                  count(tensor_.begin));
            }
            state_ = Expect::field;
            return true;
        }
        return fail("unexpected ']'");
    }

    /// After a whole parse: the tensors must tile the data from 0.
    [[nodiscard]] SafetensorsHeaderResult finish() && {
        SafetensorsHeaderResult result;
        std::vector<std::size_t> order(tensors_.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
            return std::pair(tensors_[a].begin, tensors_[a].end) <
                   std::pair(tensors_[b].begin, tensors_[b].end);
        });
        SafetensorsHeader header;
        const SafetensorsTensor* previous = nullptr;
        for (const std::size_t i : order) {
            const SafetensorsTensor& tensor = tensors_[i];
            if (tensor.begin != header.dataBytes) {
                std::string message = "tensor " + inQuotes(tensor.name);
                if (previous == nullptr) {
                    message += " begins at " + count(tensor.begin) + ", but the data begins at 0";
                } else if (tensor.begin < header.dataBytes) {
                    message += " overlaps tensor " + inQuotes(previous->name) + ": it begins at " +
                               count(tensor.begin) + ", before the other ends at " +
                               count(header.dataBytes);
                } else {
                    message += " begins at " + count(tensor.begin) + ", leaving a gap after " +
                               inQuotes(previous->name) + ", which ends at " +
                               count(header.dataBytes);
                }
                result.error = problemAt(std::move(message), json_, tensor.offset);
                return result;
            }
            header.dataBytes = tensor.end;
            previous = &tensor;
            const std::optional<std::uint64_t> elements =
                checkedAdd(header.elements, tensor.elements);
            if (!elements) {
                result.error.message = "the tensors' element count overflows 64 bits";
                return result;
            }
            header.elements = *elements;
        }
        header.tensors = std::move(tensors_);
        result.header = std::move(header);
        return result;
    }

  private:
    enum class Expect : std::uint8_t {
        header,         // the header object
        entry,          // a tensor's name or __metadata__, or the header's end
        tensorObject,   // the object that describes a tensor
        field,          // dtype, shape or data_offsets, or the tensor's end
        dtype,          // dtype's string
        shape,          // shape's array
        shapeItem,      // a dimension, or the shape's end
        offsets,        // data_offsets' array
        offsetsItem,    // an offset, or their end
        metadataObject, // __metadata__'s object
        metadataKey,    // a metadata key, or the object's end
        metadataValue,  // a metadata value
        done,
    };

    enum Field : std::uint8_t { kDtype = 1, kShape = 2, kOffsets = 4 };

    [[nodiscard]] std::string tensorPrefix() const {
        return "tensor " + inQuotes(tensor_.name) + ": ";
    }

    bool unexpected(const std::string& found) {
        switch (state_) {
        case Expect::header:
            return fail("expected an object for the header, found " + found);
        case Expect::tensorObject:
            return fail(tensorPrefix() + "expected an object, found " + found);
        case Expect::dtype:
            return fail(tensorPrefix() + "expected a string for 'dtype', found " + found);
        case Expect::shape:
            return fail(tensorPrefix() + "expected an array for 'shape', found " + found);
        case Expect::shapeItem:
            return fail(tensorPrefix() + "expected a whole number in 'shape', found " + found);
        case Expect::offsets:
            return fail(tensorPrefix() + "expected an array for 'data_offsets', found " + found);
        case Expect::offsetsItem:
            return fail(tensorPrefix() + "expected a whole number in 'data_offsets', found " +
                        found);
        case Expect::metadataObject:
            return fail("expected an object for '__metadata__', found " + found);
        case Expect::metadataValue:
            return fail("expected a string for '__metadata__' key " + inQuotes(metadataKey_) +
                        ", found " + found);
        default:
            return fail("unexpected " + found);
        }
    }

    bool headerKey(const Json::string_t& name) {
        if (name == "__metadata__") {
            if (metadataSeen_) {
                return fail("duplicate key '__metadata__'");
            }
            metadataSeen_ = true;
            state_ = Expect::metadataObject;
            return true;
        }
        const std::size_t start = at_.tokenStart();
        if (!names_.insert(stableView(name, start)).second) {
            return fail("duplicate tensor " + inQuotes(name));
        }
        tensor_ = SafetensorsTensor{};
        tensor_.name = name; // a copy: the lexer keeps its buffer for the next string
        tensor_.offset = start;
        fields_ = 0;
        state_ = Expect::tensorObject;
        return true;
    }

    /// `name` in storage that outlives the parse; `start` is its key's quote.
    /// An escape takes more bytes than the text it stands for, so a key
    /// written in as many bytes as its name is the name itself.
    std::string_view stableView(const std::string& name, std::size_t start) {
        if (at_.eventEnd() - start == name.size() + 2) {
            return json_.substr(start + 1, name.size());
        }
        return unescaped_.emplace_back(name);
    }

    bool fieldKey(const Json::string_t& name) {
        Field field = kDtype;
        Expect next = Expect::dtype;
        if (name == "shape") {
            field = kShape;
            next = Expect::shape;
        } else if (name == "data_offsets") {
            field = kOffsets;
            next = Expect::offsets;
        } else if (name != "dtype") {
            return fail(tensorPrefix() + "unknown key " + inQuotes(name) +
                        "; a tensor has 'dtype', 'shape' and 'data_offsets'");
        }
        if ((fields_ & field) != 0) {
            return fail(tensorPrefix() + "duplicate key " + inQuotes(name));
        }
        fields_ = static_cast<std::uint8_t>(fields_ | field);
        state_ = next;
        return true;
    }

    bool finishTensor() {
        for (const auto& [field, name] : {std::pair(kDtype, "dtype"), std::pair(kShape, "shape"),
                                          std::pair(kOffsets, "data_offsets")}) {
            if ((fields_ & field) == 0) {
                return failAt(tensor_.offset,
                              "tensor " + inQuotes(tensor_.name) + " has no '" + name + "'");
            }
        }
        const std::uint32_t bits = safetensorsDtypeBits(tensor_.dtype);
        const auto elementsOf = [this] {
            return count(tensor_.elements) + " elements of '" +
                   std::string(safetensorsDtypeName(tensor_.dtype)) + "'";
        };
        // Whole bytes from elements / 8 and the rest apart: no intermediate
        // product can overflow where the byte count itself fits.
        if ((tensor_.elements % 8) * bits % 8 != 0) {
            return failAt(shapeOffset_,
                          tensorPrefix() + elementsOf() + " are not a whole number of bytes");
        }
        const std::optional<std::uint64_t> bytes =
            checkedAdd(checkedMul(tensor_.elements / 8, bits), (tensor_.elements % 8) * bits / 8);
        if (!bytes) {
            return failAt(shapeOffset_,
                          tensorPrefix() + "the size of " + elementsOf() + " overflows 64 bits");
        }
        if (*bytes != tensor_.end - tensor_.begin) {
            return failAt(offsetsOffset_, tensorPrefix() + elementsOf() + " take " + count(*bytes) +
                                              " bytes, but 'data_offsets' span " +
                                              count(tensor_.end - tensor_.begin));
        }
        tensor_.bytes = *bytes;
        tensors_.push_back(std::move(tensor_));
        state_ = Expect::entry;
        return true;
    }

    Expect state_ = Expect::header;
    std::vector<SafetensorsTensor> tensors_;
    /// The tensors' names, viewing the JSON text where it holds a name as it
    /// is, else a copy in `unescaped_`: a set of strings would copy each.
    std::unordered_set<std::string_view> names_;
    std::deque<std::string> unescaped_;
    SafetensorsTensor tensor_;
    std::uint8_t fields_ = 0;
    bool zeroDimension_ = false;
    bool overflow_ = false;
    std::uint32_t offsetCount_ = 0;
    std::size_t shapeOffset_ = 0;
    std::size_t offsetsOffset_ = 0;
    bool metadataSeen_ = false;
    std::unordered_set<std::string> metadataKeys_;
    std::string metadataKey_;
};

class IndexHandler : public HandlerBase {
  public:
    // An entry of weight_map takes 60 to 100 bytes as writers lay it out.
    IndexHandler(std::string_view json, TokenPositions& at) : HandlerBase(json, at) {
        index_.weightMap.reserve(json.size() / 64);
    }

    bool null() { return scalar("'null'"); }
    bool boolean(bool value) { return scalar(value ? "'true'" : "'false'"); }
    bool number_integer(Json::number_integer_t /*value*/) {
        at_.nextEvent();
        return skipped() || unexpected(numberFound());
    }
    bool number_float(Json::number_float_t /*value*/, const Json::string_t& raw) {
        at_.nextEvent();
        return skipped() || unexpected(inQuotes(raw));
    }
    bool number_unsigned(Json::number_unsigned_t value) {
        at_.nextEvent();
        if (state_ == Expect::totalSize) {
            index_.totalSize = value;
            index_.totalSizeOffset = at_.tokenStart();
            state_ = Expect::metadataKey;
            return true;
        }
        return skipped() || unexpected(numberFound());
    }

    bool string(Json::string_t& value) {
        at_.nextEvent();
        if (state_ == Expect::shardName) {
            // Runs of tensors share a shard: the last one is checked first.
            if (!lastShard_ || value != index_.shards[*lastShard_]) {
                lastShard_ = shardOf(value);
                if (!lastShard_) {
                    return false;
                }
            }
            pending_->shard = *lastShard_;
            state_ = Expect::weightMapKey;
            return true;
        }
        return skipped() || unexpected("the string " + inQuotes(value));
    }

    bool start_object(std::size_t /*elements*/) {
        at_.nextEvent();
        switch (state_) {
        case Expect::index:
            state_ = Expect::entry;
            return true;
        case Expect::weightMap:
            state_ = Expect::weightMapKey;
            return true;
        case Expect::metadata:
            state_ = Expect::metadataKey;
            return true;
        case Expect::skip:
            return deeper();
        default:
            return unexpected("an object");
        }
    }
    bool start_array(std::size_t /*elements*/) {
        at_.nextEvent();
        return state_ == Expect::skip ? deeper() : unexpected("an array");
    }
    bool end_object() { return end(); }
    bool end_array() { return end(); }

    bool key(Json::string_t& name) {
        at_.nextEvent();
        switch (state_) {
        case Expect::entry:
            if (!rootKeys_.insert(name).second) {
                return fail("duplicate key " + inQuotes(name));
            }
            if (name == "weight_map") {
                state_ = Expect::weightMap;
                weightMapSeen_ = true;
            } else if (name == "metadata") {
                state_ = Expect::metadata;
            } else {
                skipFrom(Expect::entry, 1);
            }
            return true;
        case Expect::metadataKey:
            if (!metadataKeys_.insert(name).second) {
                return fail("duplicate key " + inQuotes(name) + " in 'metadata'");
            }
            if (name == "total_size") {
                state_ = Expect::totalSize;
            } else {
                skipFrom(Expect::metadataKey, 2);
            }
            return true;
        case Expect::weightMapKey: {
            const std::size_t offset = at_.tokenStart();
            auto [entry, inserted] =
                index_.weightMap.try_emplace(name, SafetensorsIndexEntry{0, offset});
            if (!inserted) {
                return fail("duplicate tensor " + inQuotes(entry->first) + " in 'weight_map'");
            }
            pendingName_ = &entry->first;
            pending_ = &entry->second;
            state_ = Expect::shardName;
            return true;
        }
        case Expect::skip:
            return true;
        default:
            return fail("unexpected key " + inQuotes(name));
        }
    }

    [[nodiscard]] SafetensorsIndexResult finish() && {
        SafetensorsIndexResult result;
        if (!weightMapSeen_) {
            result.error.message = "the index has no 'weight_map'";
            return result;
        }
        result.index = std::move(index_);
        return result;
    }

  private:
    enum class Expect : std::uint8_t {
        index,        // the index object
        entry,        // a key of the index, or its end
        weightMap,    // weight_map's object
        weightMapKey, // a tensor's name, or weight_map's end
        shardName,    // the tensor's shard
        metadata,     // metadata's object
        metadataKey,  // a key of metadata, or its end
        totalSize,    // total_size's number
        skip,         // a value that no rule reads, to its end
        done,
    };

    bool scalar(const std::string& found) {
        at_.nextEvent();
        return skipped() || unexpected(found);
    }

    /// A scalar in a skipped value: the skip ends when it was the value.
    bool skipped() {
        if (state_ != Expect::skip) {
            return false;
        }
        if (skipDepth_ == 0) {
            state_ = skipReturn_;
        }
        return true;
    }

    void skipFrom(Expect returnTo, std::size_t depth) {
        skipReturn_ = returnTo;
        skipBase_ = depth;
        skipDepth_ = 0;
        state_ = Expect::skip;
    }

    bool deeper() {
        ++skipDepth_;
        if (skipBase_ + skipDepth_ > kIndexDepthLimit) {
            return fail("nesting deeper than " + count(kIndexDepthLimit) + " levels");
        }
        return true;
    }

    bool end() {
        at_.nextEvent();
        switch (state_) {
        case Expect::skip:
            if (skipDepth_ == 0) {
                return fail("unexpected end of a value"); // the grammar allows none here
            }
            if (--skipDepth_ == 0) {
                state_ = skipReturn_;
            }
            return true;
        case Expect::entry:
            state_ = Expect::done;
            return true;
        case Expect::weightMapKey:
        case Expect::metadataKey:
            state_ = Expect::entry;
            return true;
        default:
            return fail("unexpected end of a value");
        }
    }

    bool unexpected(const std::string& found) {
        switch (state_) {
        case Expect::index:
            return fail("expected an object for the index, found " + found);
        case Expect::weightMap:
            return fail("expected an object for 'weight_map', found " + found);
        case Expect::shardName:
            return fail("expected a shard file name for tensor " + inQuotes(*pendingName_) +
                        ", found " + found);
        case Expect::metadata:
            return fail("expected an object for 'metadata', found " + found);
        case Expect::totalSize:
            return fail("expected a whole number for 'total_size', found " + found);
        default:
            return fail("unexpected " + found);
        }
    }

    /// The shard a name in weight_map reaches. Names are checked as text:
    /// in a downloaded snapshot every file is a link to a blob outside the
    /// folder, so where links lead says nothing.
    std::optional<std::uint32_t> shardOf(Json::string_t& name) {
        if (const auto known = spellings_.find(name); known != spellings_.end()) {
            return known->second;
        }
        const std::string tensor = "tensor " + inQuotes(*pendingName_) + ": ";
        if (name.empty()) {
            fail(tensor + "the shard name is empty");
            return std::nullopt;
        }
        if (name.find('\0') != std::string::npos) {
            fail(tensor + "shard " + inQuotes(name) + " holds a NUL byte");
            return std::nullopt;
        }
        const std::filesystem::path path(name);
        const bool climbs =
            std::any_of(path.begin(), path.end(), [](const auto& part) { return part == ".."; });
        if (name.front() == '/' || climbs) {
            fail(tensor + "shard " + inQuotes(name) + " is outside the checkpoint folder");
            return std::nullopt;
        }
        std::string normal = path.lexically_normal().generic_string();
        if (normal == "." || normal == "./") {
            fail(tensor + "shard " + inQuotes(name) + " names the checkpoint folder itself");
            return std::nullopt;
        }
        const auto shard = static_cast<std::uint32_t>(index_.shards.size());
        const auto [same, inserted] = normalForms_.try_emplace(std::move(normal), shard);
        if (!inserted) {
            fail(tensor + "shard " + inQuotes(name) + " is the same file as " +
                 inQuotes(index_.shards[same->second]));
            return std::nullopt;
        }
        index_.shards.push_back(name);
        spellings_.try_emplace(std::move(name), shard);
        return shard;
    }

    Expect state_ = Expect::index;
    SafetensorsIndex index_;
    std::unordered_set<std::string> rootKeys_;
    std::unordered_set<std::string> metadataKeys_;
    bool weightMapSeen_ = false;
    const std::string* pendingName_ = nullptr;
    SafetensorsIndexEntry* pending_ = nullptr;
    std::unordered_map<std::string, std::uint32_t> spellings_;
    std::optional<std::uint32_t> lastShard_;
    std::unordered_map<std::string, std::uint32_t> normalForms_;
    Expect skipReturn_ = Expect::entry;
    std::size_t skipBase_ = 0;
    std::size_t skipDepth_ = 0;
};

/// `json` read by nlohmann's parser into `Handler`'s result.
template <typename Handler> auto parseWith(std::string_view json, const char* unreadable) {
    TokenPositions positions(json);
    Handler handler(json, positions);
    if (!runSax(json, positions, handler)) {
        decltype(std::move(handler).finish()) result;
        result.error = handler.error().value_or(CheckpointProblem{unreadable, {}, 0, 0});
        return result;
    }
    return std::move(handler).finish();
}

// ---- Files ---------------------------------------------------------------

/// Shards read at once: a folder of many shards is read at the pace of the
/// cores, a few of them.
constexpr std::size_t kMaxWorkers = 8;

struct Shard {
    std::string json; ///< the header's JSON, kept for the positions of later problems
    SafetensorsHeader header;
};

/// One shard's header; a note in `notes` when the file's size disagrees
/// with it. Messages start with the shard's name: a problem without a
/// position is shown where the checkpoint is named, not in the shard.
std::optional<CheckpointProblem> readShard(const std::filesystem::path& folder,
                                           const std::string& name, Shard& shard,
                                           std::vector<CheckpointProblem>& notes) {
    const std::string path = (folder / name).string();
    const std::string named = inQuotes(name) + ": ";
    const auto problem = [&](const std::string& message) {
        return CheckpointProblem{named + message, path, 0, 0};
    };
    std::variant<Files::RegularFile, std::string> opened = Files::RegularFile::open(path);
    if (const std::string* refused = std::get_if<std::string>(&opened)) {
        return problem("cannot open: " + *refused);
    }
    const Files::RegularFile& file = std::get<Files::RegularFile>(opened);
    const std::uint64_t size = file.size();
    if (size < 8) {
        return problem("the file is " + count(size) +
                       " bytes, shorter than the 8-byte length of its header");
    }
    std::array<char, 8> bytes{};
    if (std::optional<std::string> failed = file.readAt(0, bytes.data(), bytes.size())) {
        return problem(*failed);
    }
    std::uint64_t length = 0;
    for (auto byte = bytes.rbegin(); byte != bytes.rend(); ++byte) {
        length = (length << 8U) | static_cast<unsigned char>(*byte);
    }
    if (length > kSafetensorsHeaderLimit) {
        return problem("header length " + count(length) + " is over the format's limit of " +
                       count(kSafetensorsHeaderLimit) + " bytes");
    }
    if (length > size - 8) {
        return problem("header length " + count(length) + " reaches past the end of the file (" +
                       count(size) + " bytes)");
    }
    shard.json.resize(static_cast<std::size_t>(length));
    if (std::optional<std::string> failed = file.readAt(8, shard.json.data(), shard.json.size())) {
        return problem(*failed);
    }
    SafetensorsHeaderResult parsed = parseSafetensorsHeader(shard.json);
    if (!parsed.header) {
        parsed.error.message.insert(0, named);
        parsed.error.file = path;
        return parsed.error;
    }
    shard.header = std::move(*parsed.header);
    const std::optional<std::uint64_t> described = checkedAdd(8 + length, shard.header.dataBytes);
    if (!described || size < *described) {
        notes.push_back(problem("the file is " + count(size) + " bytes, shorter than the " +
                                (described ? count(*described) : std::string("more than 2^64")) +
                                " its header describes (an incomplete download)"));
    } else if (size > *described) {
        notes.push_back(problem("the file is " + count(size) + " bytes, longer than the " +
                                count(*described) + " its header describes"));
    }
    return std::nullopt;
}

CheckpointResult failure(CheckpointProblem problem) {
    CheckpointResult result;
    result.error = std::move(problem);
    return result;
}

/// `problem` of the file `name` at `path`: its message starts with the name.
CheckpointProblem in(CheckpointProblem problem, std::string_view name, const std::string& path) {
    problem.message.insert(0, inQuotes(name) + ": ");
    problem.file = path;
    return problem;
}

/// Adds a shard's figures; false when a sum overflows.
bool add(CheckpointWeights& weights, const SafetensorsHeader& header) {
    const std::optional<std::uint64_t> bytes = checkedAdd(weights.bytes, header.dataBytes);
    const std::optional<std::uint64_t> elements = checkedAdd(weights.elements, header.elements);
    if (!bytes || !elements) {
        return false;
    }
    weights.bytes = *bytes;
    weights.elements = *elements;
    weights.tensors += header.tensors.size();
    ++weights.shards;
    return true;
}

CheckpointResult readSingle(const std::filesystem::path& folder) {
    CheckpointWeights weights;
    Shard shard;
    if (std::optional<CheckpointProblem> problem =
            readShard(folder, std::string(kSingleFile), shard, weights.notes)) {
        return failure(std::move(*problem));
    }
    (void)add(weights, shard.header); // one header's sums always fit
    return {std::move(weights), {}};
}

/// The tensor that the index places in shard `shard` and its header lacks:
/// the first in the index's text.
CheckpointProblem missingTensor(const SafetensorsIndex& index, std::uint32_t shard,
                                const Shard& read, std::string_view indexJson) {
    std::unordered_set<std::string_view> inShard;
    for (const SafetensorsTensor& tensor : read.header.tensors) {
        inShard.insert(tensor.name);
    }
    const std::pair<const std::string, SafetensorsIndexEntry>* first = nullptr;
    for (const auto& entry : index.weightMap) {
        if (entry.second.shard == shard && !inShard.contains(entry.first) &&
            (first == nullptr || entry.second.offset < first->second.offset)) {
            first = &entry;
        }
    }
    if (first == nullptr) { // unreachable: the counts disagreed
        return {"a tensor is missing from shard " + inQuotes(index.shards[shard]), {}, 0, 0};
    }
    return problemAt("tensor " + inQuotes(first->first) + " is not in its shard " +
                         inQuotes(index.shards[shard]),
                     indexJson, first->second.offset);
}

/// What one shard of an indexed checkpoint adds, or why it cannot.
struct ShardOutcome {
    std::optional<CheckpointProblem> problem;
    /// The header, kept when the index places a tensor here that it lacks.
    std::optional<Shard> missing;
    std::uint64_t bytes = 0;
    std::uint64_t elements = 0;
    std::uint64_t tensors = 0;
    std::vector<CheckpointProblem> notes;
};

/// Reads shard `s` into `shard` (reused, for its buffers) and checks it
/// against the index, which places `mapped` tensors there.
ShardOutcome checkShard(const std::filesystem::path& folder, const SafetensorsIndex& index,
                        std::uint32_t s, std::uint64_t mapped, Shard& shard) {
    ShardOutcome outcome;
    const std::string& name = index.shards[s];
    if (std::optional<CheckpointProblem> unread = readShard(folder, name, shard, outcome.notes)) {
        outcome.problem = std::move(unread);
        return outcome;
    }
    const std::string path = (folder / name).string();
    // Names are unique in a header and each maps to one shard, so equal
    // counts mean that every tensor the index places here is here.
    for (const SafetensorsTensor& tensor : shard.header.tensors) {
        const auto entry = index.weightMap.find(tensor.name);
        if (entry == index.weightMap.end()) {
            outcome.problem = in(problemAt("tensor " + inQuotes(tensor.name) + " is not in the index",
                                           shard.json, tensor.offset),
                                 name, path);
            return outcome;
        }
        if (entry->second.shard != s) {
            outcome.problem = in(problemAt("tensor " + inQuotes(tensor.name) +
                                               " is in this shard, but the index places it in " +
                                               inQuotes(index.shards[entry->second.shard]),
                                           shard.json, tensor.offset),
                                 name, path);
            return outcome;
        }
    }
    if (shard.header.tensors.size() != mapped) {
        outcome.missing = std::move(shard);
        shard = Shard{};
        return outcome;
    }
    outcome.bytes = shard.header.dataBytes;
    outcome.elements = shard.header.elements;
    outcome.tensors = shard.header.tensors.size();
    return outcome;
}

CheckpointResult readIndexed(const std::filesystem::path& folder) {
    const std::string indexPath = (folder / kIndexFile).string();
    const auto problem = [&indexPath](CheckpointProblem found) {
        return failure(in(std::move(found), kIndexFile, indexPath));
    };
    std::variant<Files::RegularFile, std::string> opened = Files::RegularFile::open(indexPath);
    if (const std::string* refused = std::get_if<std::string>(&opened)) {
        return problem({"cannot open: " + *refused, {}, 0, 0});
    }
    const Files::RegularFile& file = std::get<Files::RegularFile>(opened);
    const std::uint64_t size = file.size();
    if (size > kSafetensorsHeaderLimit) {
        return problem({"the file is " + count(size) + " bytes, over the limit of " +
                            count(kSafetensorsHeaderLimit),
                        {},
                        0,
                        0});
    }
    std::string json(static_cast<std::size_t>(size), '\0');
    if (std::optional<std::string> failed = file.readAt(0, json.data(), json.size())) {
        return problem({std::move(*failed), {}, 0, 0});
    }
    SafetensorsIndexResult parsed = parseSafetensorsIndex(json);
    if (!parsed.index) {
        return problem(std::move(parsed.error));
    }
    const SafetensorsIndex& index = *parsed.index;
    std::vector<std::uint64_t> mapped(index.shards.size());
    for (const auto& [name, entry] : index.weightMap) {
        ++mapped[entry.shard];
    }

    // Shards are independent: each worker takes the next in order, so that
    // the first problem in shard order is among those read, and the result
    // does not depend on how the shards fell to the workers.
    std::vector<ShardOutcome> outcomes(index.shards.size());
    std::atomic<std::size_t> next = 0;
    std::atomic<bool> failed = false;
    std::exception_ptr thrown;
    std::mutex thrownLock;
    const auto work = [&]() noexcept {
        try {
            Shard shard;
            for (std::size_t s = next++; s < outcomes.size() && !failed; s = next++) {
                outcomes[s] = checkShard(folder, index, static_cast<std::uint32_t>(s), mapped[s],
                                         shard);
                failed = failed || outcomes[s].problem || outcomes[s].missing;
            }
        } catch (...) {
            const std::lock_guard<std::mutex> lock(thrownLock);
            thrown = std::current_exception();
            failed = true;
        }
    };
    {
        std::vector<std::jthread> workers;
        const std::size_t threads =
            std::min<std::size_t>({std::max(1U, std::thread::hardware_concurrency()), kMaxWorkers,
                                   outcomes.size()});
        for (std::size_t i = 1; i < threads; ++i) {
            workers.emplace_back(work);
        }
        work();
    }
    if (thrown) {
        std::rethrow_exception(thrown);
    }
    CheckpointWeights weights;
    for (std::uint32_t s = 0; s < outcomes.size(); ++s) {
        ShardOutcome& outcome = outcomes[s];
        if (outcome.problem) {
            return failure(std::move(*outcome.problem));
        }
        if (outcome.missing) {
            return problem(missingTensor(index, s, *outcome.missing, json));
        }
        weights.notes.insert(weights.notes.end(), outcome.notes.begin(), outcome.notes.end());
        const std::optional<std::uint64_t> bytes = checkedAdd(weights.bytes, outcome.bytes);
        const std::optional<std::uint64_t> elements = checkedAdd(weights.elements, outcome.elements);
        weights.tensors += outcome.tensors;
        ++weights.shards;
        if (bytes) {
            weights.bytes = *bytes;
        }
        if (elements) {
            weights.elements = *elements;
        }
        if (!bytes || !elements) {
            const std::string& name = index.shards[s];
            return failure(in({"the checkpoint's sums overflow 64 bits", {}, 0, 0}, name,
                              (folder / name).string()));
        }
    }
    if (index.totalSize && *index.totalSize != weights.bytes) {
        return problem(problemAt("'total_size' is " + count(*index.totalSize) +
                                     ", but the shards' tensors take " + count(weights.bytes) +
                                     " bytes",
                                 json, index.totalSizeOffset));
    }
    return {std::move(weights), {}};
}

bool present(const std::filesystem::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

} // namespace

std::string_view safetensorsDtypeName(SafetensorsDtype dtype) {
    return kDtypes[static_cast<std::size_t>(dtype)].name;
}

std::uint32_t safetensorsDtypeBits(SafetensorsDtype dtype) {
    return kDtypes[static_cast<std::size_t>(dtype)].bits;
}

std::optional<SafetensorsDtype> safetensorsDtypeNamed(std::string_view name) {
    for (std::size_t i = 0; i < kDtypes.size(); ++i) {
        if (kDtypes[i].name == name) {
            return static_cast<SafetensorsDtype>(i);
        }
    }
    return std::nullopt;
}

SafetensorsHeaderResult parseSafetensorsHeader(std::string_view json) {
    return parseWith<HeaderHandler>(json, "unreadable header");
}

SafetensorsIndexResult parseSafetensorsIndex(std::string_view json) {
    return parseWith<IndexHandler>(json, "unreadable index");
}

CheckpointResult readCheckpointWeights(const std::filesystem::path& folder) {
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) {
        return failure(
            {"cannot open the checkpoint folder: " + Files::reasonOf(errno), folder.string(), 0, 0});
    }
    if (!S_ISDIR(status.st_mode)) {
        return failure({"the checkpoint is not a folder", folder.string(), 0, 0});
    }
    // A link counts as present even when it leads nowhere: its error says more.
    if (present(folder / kSingleFile)) {
        return readSingle(folder);
    }
    if (present(folder / kIndexFile)) {
        return readIndexed(folder);
    }
    return failure({"no " + std::string(kSingleFile) + " or " + std::string(kIndexFile) +
                        " in the checkpoint folder",
                    folder.string(), 0, 0});
}

} // namespace Core::SystemFile
