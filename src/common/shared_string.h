// An immutable string that many records hold without copying its bytes: the
// file name of every source location in a placement is one allocation.
#pragma once

#include <atomic>
#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

namespace Core {

/// A plain value (copied, compared and printed like the text it holds) whose
/// copies share one buffer. One pointer wide, so that a source location in
/// each of a wide placement's records stays small.
class SharedString {
  public:
    SharedString() noexcept = default;
    // Implicit, so that records are built from literals and strings alike.
    // cppcheck-suppress noExplicitConstructor
    SharedString(std::string text) : body_(new Body{std::move(text)}) {}
    // cppcheck-suppress noExplicitConstructor
    SharedString(std::string_view text) : SharedString(std::string(text)) {}
    // cppcheck-suppress noExplicitConstructor
    SharedString(const char* text) : SharedString(std::string(text)) {}

    SharedString(const SharedString& other) noexcept : body_(other.body_) {
        if (body_ != nullptr) {
            body_->references.fetch_add(1, std::memory_order_relaxed);
        }
    }
    SharedString(SharedString&& other) noexcept : body_(std::exchange(other.body_, nullptr)) {}
    SharedString& operator=(SharedString other) noexcept {
        std::swap(body_, other.body_);
        return *this;
    }
    ~SharedString() {
        if (body_ != nullptr && body_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete body_;
        }
    }

    [[nodiscard]] const std::string& str() const noexcept {
        return body_ != nullptr ? body_->text : emptyText();
    }
    operator const std::string&() const noexcept { return str(); }
    [[nodiscard]] bool empty() const noexcept { return str().empty(); }

    friend bool operator==(const SharedString& a, const SharedString& b) noexcept {
        return a.body_ == b.body_ || a.str() == b.str();
    }
    // One overload per kind of text, so that none needs a conversion and
    // none is ambiguous with the comparison of two SharedStrings.
    friend bool operator==(const SharedString& a, std::string_view b) noexcept {
        return a.str() == b;
    }
    friend bool operator==(const SharedString& a, const std::string& b) noexcept {
        return a.str() == b;
    }
    friend bool operator==(const SharedString& a, const char* b) noexcept { return a.str() == b; }
    friend std::ostream& operator<<(std::ostream& out, const SharedString& text) {
        return out << text.str();
    }

  private:
    struct Body {
        explicit Body(std::string value) : text(std::move(value)) {}
        const std::string text;
        std::atomic<std::size_t> references{1};
    };

    static const std::string& emptyText() noexcept {
        static const std::string kEmpty;
        return kEmpty;
    }

    Body* body_ = nullptr;
};

} // namespace Core
