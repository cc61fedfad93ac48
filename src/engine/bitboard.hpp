#pragma once
#include <array>
#include <bit>
#include <cstdint>
#include <optional>

namespace murkle {

// A set of squares of a board of up to 64 * NW squares; index = row * width + col.
template <int NW>
struct Bitboard {
    static_assert(NW >= 1 && NW <= 16);
    std::array<uint64_t, NW> words{};

    constexpr bool operator==(const Bitboard&) const = default;

    constexpr bool test(uint32_t i) const { return (words[i >> 6] >> (i & 63)) & 1; }
    constexpr void set(uint32_t i) { words[i >> 6] |= uint64_t{1} << (i & 63); }
    constexpr void clear(uint32_t i) { words[i >> 6] &= ~(uint64_t{1} << (i & 63)); }

    constexpr bool empty() const {
        for (uint64_t w : words)
            if (w) return false;
        return true;
    }
    constexpr int count() const {
        int n = 0;
        for (uint64_t w : words) n += std::popcount(w);
        return n;
    }

    friend constexpr Bitboard operator&(const Bitboard& a, const Bitboard& b) {
        Bitboard r;
        for (int k = 0; k < NW; ++k) r.words[k] = a.words[k] & b.words[k];
        return r;
    }
    friend constexpr Bitboard operator|(const Bitboard& a, const Bitboard& b) {
        Bitboard r;
        for (int k = 0; k < NW; ++k) r.words[k] = a.words[k] | b.words[k];
        return r;
    }
    friend constexpr Bitboard operator^(const Bitboard& a, const Bitboard& b) {
        Bitboard r;
        for (int k = 0; k < NW; ++k) r.words[k] = a.words[k] ^ b.words[k];
        return r;
    }
    // The members of this set that are not in b.
    constexpr Bitboard without(const Bitboard& b) const {
        Bitboard r;
        for (int k = 0; k < NW; ++k) r.words[k] = words[k] & ~b.words[k];
        return r;
    }
    constexpr Bitboard& operator|=(const Bitboard& b) {
        for (int k = 0; k < NW; ++k) words[k] |= b.words[k];
        return *this;
    }
    constexpr Bitboard& operator&=(const Bitboard& b) {
        for (int k = 0; k < NW; ++k) words[k] &= b.words[k];
        return *this;
    }

    // Calls f(index) for every member in ascending index order.
    template <class F>
    constexpr void for_each(F&& f) const {
        for (int k = 0; k < NW; ++k) {
            uint64_t w = words[k];
            while (w) {
                f(static_cast<uint32_t>(k * 64 + std::countr_zero(w)));
                w &= w - 1;
            }
        }
    }

    // The set moved n squares towards higher indices; squares pushed past the last word drop out.
    constexpr Bitboard shifted_up(uint32_t n) const {
        Bitboard r;
        const int skip = static_cast<int>(n / 64), bits = static_cast<int>(n % 64);
        for (int k = NW - 1; k >= skip; --k) {
            r.words[k] = words[k - skip] << bits;
            if (bits && k - skip >= 1) r.words[k] |= words[k - skip - 1] >> (64 - bits);
        }
        return r;
    }
    // The set moved n squares towards lower indices.
    constexpr Bitboard shifted_down(uint32_t n) const {
        Bitboard r;
        const int skip = static_cast<int>(n / 64), bits = static_cast<int>(n % 64);
        for (int k = 0; k + skip < NW; ++k) {
            r.words[k] = words[k + skip] >> bits;
            if (bits && k + skip + 1 < NW) r.words[k] |= words[k + skip + 1] << (64 - bits);
        }
        return r;
    }

    // The same in descending index order.
    template <class F>
    constexpr void for_each_reverse(F&& f) const {
        for (int k = NW - 1; k >= 0; --k) {
            uint64_t w = words[k];
            while (w) {
                const int top = 63 - std::countl_zero(w);
                f(static_cast<uint32_t>(k * 64 + top));
                w ^= uint64_t{1} << top;
            }
        }
    }

    // Whether the sets a and b share a square.
    friend constexpr bool intersects(const Bitboard& a, const Bitboard& b) {
        uint64_t any = 0;
        for (int k = 0; k < NW; ++k) any |= a.words[k] & b.words[k];
        return any != 0;
    }

    // Lowest and highest member of a set known to be non-empty.
    constexpr uint32_t lowest() const {
        if constexpr (NW == 2)
            return words[0] ? static_cast<uint32_t>(std::countr_zero(words[0]))
                            : static_cast<uint32_t>(64 + std::countr_zero(words[1]));
        int k = 0;
        while (!words[k]) ++k;
        return static_cast<uint32_t>(k * 64 + std::countr_zero(words[k]));
    }
    constexpr uint32_t highest() const {
        if constexpr (NW == 2)
            return words[1] ? static_cast<uint32_t>(127 - std::countl_zero(words[1]))
                            : static_cast<uint32_t>(63 - std::countl_zero(words[0]));
        int k = NW - 1;
        while (!words[k]) --k;
        return static_cast<uint32_t>(k * 64 + 63 - std::countl_zero(words[k]));
    }

    constexpr std::optional<uint32_t> first() const {
        for (int k = 0; k < NW; ++k)
            if (words[k]) return static_cast<uint32_t>(k * 64 + std::countr_zero(words[k]));
        return std::nullopt;
    }
};

}  // namespace murkle
