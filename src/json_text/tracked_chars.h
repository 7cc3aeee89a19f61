// The JSON readers' input: a pointer into the text that leaves, on each step,
// how far nlohmann's lexer has read, since its SAX handlers get values but no
// positions.
#pragma once

#include <cstddef>
#include <iterator>

namespace Core::JsonText {

class TrackedChars {
  public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    /// `read` is set to one past the last byte read after every step.
    TrackedChars(const char* at, const char** read) noexcept : at_(at), read_(read) {}
    reference operator*() const noexcept { return *at_; }
    TrackedChars& operator++() noexcept {
        *read_ = ++at_;
        return *this;
    }
    TrackedChars operator++(int) noexcept {
        const TrackedChars before = *this;
        ++*this;
        return before;
    }
    friend bool operator==(const TrackedChars& a, const TrackedChars& b) noexcept {
        return a.at_ == b.at_;
    }

  private:
    const char* at_;
    const char** read_;
};

} // namespace Core::JsonText
