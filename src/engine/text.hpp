#pragma once
// Small text helpers shared by the readers and writers.
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The pieces of `text` between separators; empty pieces count ("a//b" has three).
inline std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> out;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        if (at == std::string_view::npos) {
            out.push_back(text.substr(start));
            return out;
        }
        out.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

}  // namespace murkle
