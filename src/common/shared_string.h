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

namespace Detail {

/// SharedString's reference count: an intrusive shared pointer to an
/// immutable text. Kept apart and named as what it is because clang's
/// analyser cannot follow an atomic count: it recognises a reference-counting
/// pointer class by its name, and would otherwise report the last release as
/// a double free.
class SharedTextPtr {
  public:
    SharedTextPtr() noexcept = default;
    explicit SharedTextPtr(std::string text) : body_(new Body{std::move(text)}) {}
    SharedTextPtr(const SharedTextPtr& other) noexcept : body_(other.body_) {
        if (body_ != nullptr) {
            body_->references.fetch_add(1, std::memory_order_relaxed);
        }
    }
    SharedTextPtr(SharedTextPtr&& other) noexcept : body_(std::exchange(other.body_, nullptr)) {}
    SharedTextPtr& operator=(SharedTextPtr other) noexcept {
        std::swap(body_, other.body_);
        return *this;
    }
    ~SharedTextPtr() {
        if (body_ != nullptr && body_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete body_;
        }
    }

    /// Null for the empty text that a default SharedString holds.
    [[nodiscard]] const std::string* get() const noexcept {
        return body_ != nullptr ? &body_->text : nullptr;
    }
    friend bool operator==(const SharedTextPtr& a, const SharedTextPtr& b) noexcept {
        return a.body_ == b.body_;
    }

  private:
    struct Body {
        explicit Body(std::string value) : text(std::move(value)) {}
        const std::string text;
        std::atomic<std::size_t> references{1};
    };

    Body* body_ = nullptr;
};

} // namespace Detail

/// A plain value (copied, compared and printed like the text it holds) whose
/// copies share one buffer. One pointer wide, so that a source location in
/// each of a wide placement's records stays small.
class SharedString {
  public:
    SharedString() noexcept = default;
    // Implicit, so that records are built from literals and strings alike.
    // cppcheck-suppress noExplicitConstructor
    SharedString(std::string text) : text_(std::move(text)) {}
    // cppcheck-suppress noExplicitConstructor
    SharedString(std::string_view text) : SharedString(std::string(text)) {}
    // cppcheck-suppress noExplicitConstructor
    SharedString(const char* text) : SharedString(std::string(text)) {}

    [[nodiscard]] const std::string& str() const noexcept {
        const std::string* text = text_.get();
        return text != nullptr ? *text : emptyText();
    }
    operator const std::string&() const noexcept { return str(); }
    [[nodiscard]] bool empty() const noexcept { return str().empty(); }

    friend bool operator==(const SharedString& a, const SharedString& b) noexcept {
        return a.text_ == b.text_ || a.str() == b.str();
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
    static const std::string& emptyText() noexcept {
        static const std::string kEmpty;
        return kEmpty;
    }

    Detail::SharedTextPtr text_;
};
static_assert(sizeof(SharedString) == sizeof(void*));

} // namespace Core
