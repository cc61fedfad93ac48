#pragma once
// Slider attacks looked up rather than walked, for boards of at most 64 squares: for every
// square the squares that can block a rook (or bishop) there, and a multiplier that maps each
// way of occupying them to its own slot of a table of attack sets. The multipliers are found
// by trying sparse pseudo-random numbers, from a fixed seed, once per board size in a process.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace murkle {

// The multipliers this search finds for the 8 x 8 board with no limit on its tries, stored so
// that the board used most needs neither the search nor the larger tables of a limited one.
constexpr uint64_t ROOK_MAGICS_8X8[64] = {
    0x1080004008801020ull, 0x0840092002c03000ull, 0x1900200010400900ull, 0x0880100008000480ull,
    0x4200100420080200ull, 0x8100020100080400ull, 0x0200040110886200ull, 0x0200008040220411ull,
    0x0404800084400220ull, 0x0000401000402000ull, 0x0086001081220440ull, 0x0408800800100280ull,
    0x000a001201040820ull, 0x8848800200840080ull, 0x4001000100040200ull, 0x0442000102105084ull,
    0x9080010020804100ull, 0x0040404000201009ull, 0x0000808010002009ull, 0x2200090021d00100ull,
    0x0008008008040080ull, 0x0004004002010040ull, 0x0011040008015042ull, 0x00000a0001768104ull,
    0x0000800080204009ull, 0x2010004140002001ull, 0x9800200280100080ull, 0x1000100080080080ull,
    0x0050500500080100ull, 0x0000020080040080ull, 0x0c10010400420810ull, 0x1040008200005104ull,
    0x01808240088004a0ull, 0x0882804004802000ull, 0x0880402001001100ull, 0x2000210409001000ull,
    0x2000480131001500ull, 0x0000800400800200ull, 0x000002380c001003ull, 0x4600084882000431ull,
    0x0080002000504000ull, 0x0300500020004002ull, 0x0040408200220011ull, 0x0010040008004040ull,
    0x0000080004008080ull, 0x0010040002008080ull, 0x2012004881020004ull, 0x8300842444820011ull,
    0x0088403882010200ull, 0x0820400080210100ull, 0x0110910040a00300ull, 0x0801100280080480ull,
    0x0242009008200600ull, 0x1002000489500200ull, 0x0040800200010080ull, 0x0091800041000080ull,
    0x0000209300488001ull, 0x04c1002414824001ull, 0x020020000b001041ull, 0x7000100004200901ull,
    0x8002002004100802ull, 0x30010002084c0007ull, 0x0888221800813004ull, 0x4000002840840112ull,
};
constexpr uint64_t BISHOP_MAGICS_8X8[64] = {
    0x20c0090901061081ull, 0x7020024202006004ull, 0x008c0c4082080010ull, 0x0011040484620000ull,
    0x0081104002221000ull, 0x0009012011001350ull, 0x1001421220210000ull, 0x0000420210010408ull,
    0x0080402405140300ull, 0x0001028484040044ull, 0x2a00880810408804ull, 0x7020022282000100ull,
    0x0084040420100a50ull, 0x000401010840e000ull, 0x010046010c210d04ull, 0x0008084202012010ull,
    0x0408602006044800ull, 0x0445122008020840ull, 0x0804100808002008ull, 0x0008002104110100ull,
    0x0061005820080800ull, 0x2001000200820100ull, 0x480c210084010800ull, 0x3004442500480420ull,
    0x1010102240048100ull, 0x00182009084220a3ull, 0x8803090a10004205ull, 0x0208080040202020ull,
    0x000c044084010040ull, 0x00a1010002004106ull, 0x6008210020640202ull, 0x1401005221024800ull,
    0x0008200400308c12ull, 0x008c0c2011242344ull, 0x5022080200040820ull, 0x0402004042940100ull,
    0x0860108400008020ull, 0x000c080022021000ull, 0x0208050300304810ull, 0x4005031221010401ull,
    0x2001902460005011ull, 0x1004040404201280ull, 0x0415094050080800ull, 0x080000201800a104ull,
    0x4022a80304000110ull, 0x4012140802028020ull, 0x1012501200800201ull, 0x000408008b000020ull,
    0x0104208414200200ull, 0x2002120084045420ull, 0x0704020062080002ull, 0x0000001084040001ull,
    0x8000605026020104ull, 0x0800200a04084401ull, 0x0140824832008042ull, 0x0882860206060400ull,
    0x0083042805141020ull, 0x002c12009a011000ull, 0x0041a00044140400ull, 0x0007108002840400ull,
    0x0000140010020210ull, 0x8000400a30210200ull, 0x2048184841440c00ull, 0xa010041108003100ull,
};

class SliderMagics {
public:
    struct Square {
        uint64_t mask;   // the squares whose occupation matters
        uint64_t magic;  // the multiplier
        uint32_t offset;  // where the square's slots begin in the table
        uint32_t shift;
        uint32_t slot(uint64_t occupied) const {
            return offset + static_cast<uint32_t>(((occupied & mask) * magic) >> shift);
        }
    };

    size_t table_size() const { return table_.size(); }
    uint64_t rook(uint32_t sq, uint64_t occupied) const { return table_[rook_[sq].slot(occupied)]; }
    uint64_t bishop(uint32_t sq, uint64_t occupied) const { return table_[bishop_[sq].slot(occupied)]; }

    // The tables of a board size, kept for the process's lifetime; rays(d, sq) gives the
    // squares along ray d from sq (rook rays 0-3, bishop rays 4-7, even rays towards higher
    // indices). None for a board on which a slider's blockers can number more than twelve (one
    // wider or taller than eight squares, roughly), whose tables would be too large to pay.
    template <class Rays>
    static const SliderMagics* of(int width, int height, Rays&& rays) {
        if (width * height > 64) return nullptr;
        for (int sq = 0; sq < width * height; ++sq)
            for (int first : {0, 4})
                if (std::popcount(blockers(static_cast<uint32_t>(sq), first, rays)) > MAX_BITS) return nullptr;
        // Never freed: a game still in use while the process ends keeps its tables.
        static auto* mutex = new std::mutex;
        static auto* cache = new std::map<std::pair<int, int>, std::unique_ptr<const SliderMagics>>;
        std::lock_guard<std::mutex> lock(*mutex);
        auto& slot = (*cache)[{width, height}];
        if (!slot) slot.reset(new SliderMagics(width, height, rays));
        return slot.get();
    }

private:
    static constexpr int MAX_BITS = 12;
    static constexpr uint32_t MAX_ATTEMPTS = 2000;
    std::array<Square, 64> rook_{}, bishop_{};
    std::vector<uint64_t> table_;

    template <class Rays>
    SliderMagics(int width, int height, Rays& rays) {
        const bool standard = width == 8 && height == 8;
        uint64_t seed = 0x9E3779B97F4A7C15ull;
        for (int sq = 0; sq < width * height; ++sq) {
            fill(rook_[sq], static_cast<uint32_t>(sq), 0, rays, seed, standard ? ROOK_MAGICS_8X8[sq] : 0);
            fill(bishop_[sq], static_cast<uint32_t>(sq), 4, rays, seed, standard ? BISHOP_MAGICS_8X8[sq] : 0);
        }
    }

    // The squares a slider on sq reaches along rays first..first+3, with `occupied` blocking.
    template <class Rays>
    static uint64_t walk(uint32_t sq, int first, uint64_t occupied, Rays& rays) {
        uint64_t out = 0;
        for (int d = first; d < first + 4; ++d) {
            const uint64_t ray = rays(d, sq);
            const uint64_t blockers = ray & occupied;
            if (!blockers) {
                out |= ray;
                continue;
            }
            const uint32_t stop = d % 2 == 0 ? static_cast<uint32_t>(std::countr_zero(blockers))
                                             : static_cast<uint32_t>(63 - std::countl_zero(blockers));
            out |= ray & ~rays(d, stop);
        }
        return out;
    }

    // The squares that can block a slider on sq along rays first..first+3: the last square of
    // a ray never blocks anything beyond it.
    template <class Rays>
    static uint64_t blockers(uint32_t sq, int first, Rays& rays) {
        uint64_t mask = 0;
        for (int d = first; d < first + 4; ++d) {
            const uint64_t ray = rays(d, sq);
            if (!ray) continue;
            const uint64_t last = d % 2 == 0 ? uint64_t{1} << (63 - std::countl_zero(ray)) : ray & (0 - ray);
            mask |= ray & ~last;
        }
        return mask;
    }

    template <class Rays>
    void fill(Square& s, uint32_t sq, int first, Rays& rays, uint64_t& seed, uint64_t known) {
        const uint64_t mask = blockers(sq, first, rays);
        const int bits = std::popcount(mask);
        const uint32_t size = uint32_t{1} << bits;
        std::vector<uint64_t> occupancy, attacks;
        occupancy.reserve(size);
        attacks.reserve(size);
        uint64_t sub = 0;
        do {
            occupancy.push_back(sub);
            attacks.push_back(walk(sq, first, sub, rays));
            sub = (sub - mask) & mask;
        } while (sub);

        s.mask = mask;
        s.offset = static_cast<uint32_t>(table_.size());
        if (bits == 0) {
            s.magic = 0;
            s.shift = 63;
            table_.resize(table_.size() + 2, attacks[0]);
            return;
        }
        // A square whose multiplier is slow to find gets a table twice as large, where one is
        // quick to find, so that building the tables stays quick for every board size.
        for (int slots_bits = bits;; ++slots_bits) {
            s.shift = static_cast<uint32_t>(64 - slots_bits);
            table_.resize(s.offset + (size_t{1} << slots_bits));
            // Each try is marked with its number so that the slots need no clearing between tries.
            std::vector<uint32_t> tried(size_t{1} << slots_bits, 0);
            for (uint32_t attempt = 1; attempt <= MAX_ATTEMPTS; ++attempt) {
                // A stored multiplier is tried first, and checked like any other.
                uint64_t magic = attempt == 1 && slots_bits == bits ? known : 0;
                if (!magic) {
                    // Sparse numbers whose products spread the blockers over the slot bits.
                    do {
                        magic = next(seed) & next(seed) & next(seed);
                    } while (std::popcount((mask * magic) >> (64 - slots_bits)) < slots_bits / 2);
                }
                bool ok = true;
                for (uint32_t n = 0; n < size && ok; ++n) {
                    const uint32_t slot = static_cast<uint32_t>((occupancy[n] * magic) >> s.shift);
                    uint64_t& entry = table_[s.offset + slot];
                    if (tried[slot] != attempt) {
                        tried[slot] = attempt;
                        entry = attacks[n];
                    } else if (entry != attacks[n]) {
                        ok = false;
                    }
                }
                if (ok) {
                    s.magic = magic;
                    return;
                }
            }
        }
    }

    static uint64_t next(uint64_t& s) {
        // xorshift64*
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 0x2545F4914F6CDD1Dull;
    }
};

}  // namespace murkle
