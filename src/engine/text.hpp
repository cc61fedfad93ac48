#pragma once
// Small text helpers shared by the readers and writers.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

namespace murkle {

// Decimal text of an unsigned 128-bit value (row numbers are shown one above the row index,
// which for the largest 64-bit row needs a 65th bit).
inline std::string u128_to_string(unsigned __int128 v) {
    char buf[48];
    int n = 0;
    do {
        buf[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    } while (v != 0);
    return std::string(std::make_reverse_iterator(buf + n), std::make_reverse_iterator(buf));
}

// An optional '+', then one or more ASCII digits, fitting in 64 bits.
inline std::optional<uint64_t> parse_u64(std::string_view s) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

// Byte length of the UTF-8 character starting with lead byte b (1 for a stray byte).
inline size_t utf8_length(unsigned char b) {
    if (b >= 0xF0 && b < 0xF8) return 4;
    if (b >= 0xE0) return b < 0xF0 ? 3 : 1;
    if (b >= 0xC0) return 2;
    return 1;
}

// How many pieces `text` has between separators: one more than it has separators. Counting
// first lets a reader refuse a text with too many pieces without building any of them.
inline size_t count_pieces(std::string_view text, char separator) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), separator)) + 1;
}

// The pieces of `text` between separators, one at a time; empty pieces count ("a//b" has
// three). Nothing is stored, so a reader holds only the pieces it has room for.
class Pieces {
public:
    Pieces(std::string_view text, char separator) : rest_(text), separator_(separator) {}

    // The next piece; after the last one, empty pieces.
    std::string_view next() {
        const size_t at = rest_.find(separator_);
        std::string_view piece = rest_.substr(0, at);
        rest_.remove_prefix(at == std::string_view::npos ? rest_.size() : at + 1);
        return piece;
    }

private:
    std::string_view rest_;
    char separator_;
};

}  // namespace murkle
