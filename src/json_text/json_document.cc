// The DOM is built from nlohmann's SAX events, so that each key's position is
// known as it is read: the input iterator records how far the lexer has got,
// and a key's callback comes right after its closing quote.
#include "json_text/json_document.h"

#include "json_text/tracked_chars.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <unordered_set>
#include <utility>
#include <vector>

namespace Core::JsonText {
namespace {

using Json = nlohmann::json;

/// nlohmann's text without its "[json.exception...] parse error at line L,
/// column C: " prefix, which the position already says.
std::string syntaxMessage(const std::string& what) {
    const std::size_t colon = what.find(": ");
    return colon == std::string::npos ? what : what.substr(colon + 2);
}

/// "/a~1b": a key as a JSON pointer's token.
std::string pointerToken(const std::string& key) {
    std::string token;
    token.reserve(key.size());
    for (const char c : key) {
        if (c == '~') {
            token += "~0";
        } else if (c == '/') {
            token += "~1";
        } else {
            token += c;
        }
    }
    return token;
}

class Builder {
  public:
    Builder(std::string_view text, const char** reached, std::size_t maxDepth,
            std::size_t keyDepth, JsonDocument& out)
        : text_(text), reached_(reached), maxDepth_(maxDepth), keyDepth_(keyDepth), out_(out) {}

    // The SAX interface nlohmann's sax_parse calls; returning false stops it.
    bool null() { return value(nullptr); }
    bool boolean(bool v) { return value(v); }
    bool number_integer(Json::number_integer_t v) { return value(v); }
    bool number_unsigned(Json::number_unsigned_t v) { return value(v); }
    bool number_float(Json::number_float_t v, const std::string& /*text*/) { return value(v); }
    bool string(std::string& v) { return value(std::move(v)); }
    bool binary(Json::binary_t& v) { return value(std::move(v)); }

    bool start_object(std::size_t /*elements*/) { return open(Json::object()); }
    bool start_array(std::size_t /*elements*/) { return open(Json::array()); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(std::string& name) {
        Frame& frame = stack_.back();
        // The lexer stops right after the key's closing quote.
        const std::size_t closingQuote = offset() - 1;
        if (!frame.keys.insert(name).second) {
            fail("duplicate key '" + name + "'", openingQuote(closingQuote));
            return false;
        }
        frame.element = &(*frame.value)[name];
        if (frame.keepKeys && stack_.size() <= keyDepth_) {
            frame.child = frame.pointer + "/" + pointerToken(name);
            offsets_.emplace_back(openingQuote(closingQuote), frame.child);
        }
        return true;
    }

    bool parse_error(std::size_t position, const std::string& /*token*/,
                     const nlohmann::detail::exception& e) {
        fail(syntaxMessage(e.what()), position);
        return false;
    }

    [[nodiscard]] const std::optional<JsonReadError>& error() const { return error_; }

    /// Each kept key's line and column, found in one pass over the text.
    void placeKeys() {
        std::sort(offsets_.begin(), offsets_.end());
        TextPosition at;
        std::size_t scanned = 0;
        for (const auto& [keyOffset, pointer] : offsets_) {
            for (; scanned < keyOffset; ++scanned) {
                if (text_[scanned] == '\n') {
                    ++at.line;
                    at.column = 1;
                } else if (at.column < std::numeric_limits<std::uint32_t>::max()) {
                    ++at.column;
                }
            }
            out_.keyPositions.insert_or_assign(pointer, at);
        }
    }

  private:
    struct Frame {
        Json* value = nullptr;
        Json* element = nullptr; ///< an object's value being read
        std::unordered_set<std::string> keys;
        bool keepKeys = true; ///< false within an array
        std::string pointer;  ///< this container's, when its keys are kept
        std::string child;   ///< the pointer of the key just read
    };

    [[nodiscard]] std::size_t offset() const {
        return static_cast<std::size_t>(*reached_ - text_.data());
    }

    /// The opening quote of a string whose closing quote is at `closing`: the
    /// first quote before it that no backslash escapes.
    [[nodiscard]] std::size_t openingQuote(std::size_t closing) const {
        for (std::size_t i = closing; i-- > 0;) {
            if (text_[i] != '"') {
                continue;
            }
            std::size_t slashes = 0;
            while (i > slashes && text_[i - slashes - 1] == '\\') {
                ++slashes;
            }
            if (slashes % 2 == 0) {
                return i;
            }
        }
        return closing;
    }

    template <class Value> Json* place(Value&& v) {
        if (stack_.empty()) {
            out_.root = Json(std::forward<Value>(v));
            return &out_.root;
        }
        Frame& frame = stack_.back();
        if (frame.value->is_array()) {
            frame.value->push_back(Json(std::forward<Value>(v)));
            return &frame.value->back();
        }
        *frame.element = Json(std::forward<Value>(v));
        return frame.element;
    }

    template <class Value> bool value(Value&& v) {
        place(std::forward<Value>(v));
        return true;
    }

    bool open(Json container) {
        if (stack_.size() >= maxDepth_) {
            fail("nested deeper than " + std::to_string(maxDepth_) + " levels", offset());
            return false;
        }
        const bool keepKeys =
            stack_.empty() || (stack_.back().keepKeys && stack_.back().value->is_object());
        std::string pointer = keepKeys && !stack_.empty() ? stack_.back().child : std::string();
        Json* placed = place(std::move(container));
        stack_.push_back({placed, nullptr, {}, keepKeys, std::move(pointer), {}});
        return true;
    }

    bool close() {
        stack_.pop_back();
        return true;
    }

    void fail(std::string message, std::size_t at) {
        if (!error_) {
            error_ = JsonReadError{std::move(message), at};
        }
    }

    std::string_view text_;
    const char** reached_;
    std::size_t maxDepth_;
    std::size_t keyDepth_;
    JsonDocument& out_;
    std::vector<Frame> stack_;
    std::vector<std::pair<std::size_t, std::string>> offsets_;
    std::optional<JsonReadError> error_;
};

} // namespace

JsonReadResult readJsonDocument(std::string_view text, std::size_t maxDepth,
                                std::size_t keyDepth) {
    JsonReadResult result;
    JsonDocument document;
    const char* reached = text.data();
    Builder builder(text, &reached, maxDepth, keyDepth, document);
    const TrackedChars first(text.data(), &reached);
    const TrackedChars last(text.data() + text.size(), &reached);
    const bool read = Json::sax_parse(first, last, &builder);
    if (!read || builder.error()) {
        result.error = builder.error().value_or(JsonReadError{"cannot be read", text.size()});
        return result;
    }
    builder.placeKeys();
    result.document = std::move(document);
    return result;
}

} // namespace Core::JsonText
