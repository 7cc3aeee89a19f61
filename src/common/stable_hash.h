// StableHash: the 64-bit FNV-1a variant behind every hash this tool prints.
#pragma once

#include <cstdint>
#include <string_view>

namespace Core {

/// 64-bit FNV-1a with this system's own offset basis. The basis differs from
/// the published FNV one on purpose; every printed hash depends on it.
class StableHash {
  public:
    static constexpr std::uint64_t kOffsetBasis = 0x14650fb0739d0383ULL;
    static constexpr std::uint64_t kPrime = 0x100000001b3ULL;

    void add(std::uint8_t byte) {
        state_ ^= byte;
        state_ *= kPrime;
    }
    void add(std::string_view bytes) {
        for (const char c : bytes) {
            add(static_cast<std::uint8_t>(c));
        }
    }
    [[nodiscard]] std::uint64_t value() const { return state_; }

    /// The hash of a whole text.
    [[nodiscard]] static std::uint64_t of(std::string_view bytes) {
        StableHash hash;
        hash.add(bytes);
        return hash.value();
    }

  private:
    std::uint64_t state_ = kOffsetBasis;
};

} // namespace Core
