#pragma once
// SipHash-1-3 with both keys zero: one compression round per 8-byte block, three final rounds.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace murkle {

inline uint64_t siphash13(const uint8_t* data, size_t len) {
    uint64_t v0 = 0x736f6d6570736575ULL, v1 = 0x646f72616e646f6dULL;
    uint64_t v2 = 0x6c7967656e657261ULL, v3 = 0x7465646279746573ULL;
    auto round = [&] {
        v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
        v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
    };
    size_t full = len & ~size_t{7};
    for (size_t i = 0; i < full; i += 8) {
        uint64_t m = 0;
        for (int b = 0; b < 8; ++b) m |= uint64_t{data[i + b]} << (8 * b);
        v3 ^= m;
        round();
        v0 ^= m;
    }
    uint64_t last = uint64_t(len & 0xff) << 56;
    for (size_t b = 0; b < (len & 7); ++b) last |= uint64_t{data[full + b]} << (8 * b);
    v3 ^= last;
    round();
    v0 ^= last;
    v2 ^= 0xff;
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
}

// Python reserves -1 as a hash value.
inline int64_t python_hash(uint64_t h) {
    int64_t v = static_cast<int64_t>(h);
    return v == -1 ? -2 : v;
}

// Little-endian byte sink for hashing.
struct HashBytes {
    std::string bytes;
    void u8(uint8_t v) { bytes.push_back(static_cast<char>(v)); }
    void u32(uint32_t v) {
        for (int b = 0; b < 4; ++b) u8(static_cast<uint8_t>(v >> (8 * b)));
    }
    void u64(uint64_t v) {
        for (int b = 0; b < 8; ++b) u8(static_cast<uint8_t>(v >> (8 * b)));
    }
    uint64_t finish() const { return siphash13(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()); }
};

}  // namespace murkle
