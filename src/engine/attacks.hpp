#pragma once
// Attack detection: whether a square is attacked, and the checks and pins that the king of the
// side to move faces.
#include "game.hpp"

namespace murkle {

// The squares a slider on `sq` reaches along ray d: up to and including the first occupied one.
// A stop at the far end of the index range (whose ray onwards is empty) spares the test for an
// open ray: the ray then ends where it would anyway.
template <int NW>
[[gnu::always_inline]] inline Bitboard<NW> ray_attacks(const Geometry<NW>& geo, int d, uint32_t sq,
                                                       const Bitboard<NW>& occupied) {
    const Bitboard<NW>& ray = geo.ray[d][sq];
    Bitboard<NW> blockers = ray & occupied;
    uint32_t first;
    if (d % 2 == 0) {
        blockers.words[NW - 1] |= uint64_t{1} << 63;
        first = blockers.lowest();
    } else {
        blockers.words[0] |= 1;
        first = blockers.highest();
    }
    return ray ^ geo.ray[d][first];
}

// Every square a rook (rays 0-3), bishop (4-7) or queen (0-7) on `sq` reaches: looked up on a
// board of one word that has tables, otherwise walked along rays known when compiling.
template <int FirstRay, int LastRay, int NW>
Bitboard<NW> slider_attacks(const Geometry<NW>& geo, uint32_t sq, const Bitboard<NW>& occupied) {
    static_assert(FirstRay % 4 == 0 && LastRay % 4 == 0 && FirstRay < LastRay && LastRay <= 8);
    if constexpr (NW == 1) {
        if (geo.magics) {
            uint64_t out = 0;
            if constexpr (FirstRay == 0) out |= geo.magics->rook(sq, occupied.words[0]);
            if constexpr (LastRay == 8) out |= geo.magics->bishop(sq, occupied.words[0]);
            return Bitboard<NW>{{out}};
        }
    }
    Bitboard<NW> out;
    for_rays<FirstRay, LastRay>([&](auto d) { out |= ray_attacks(geo, d, sq, occupied); });
    return out;
}

// Walks outward from the target square. `colors` may differ from the board's colour sets by a
// move being tried: only the attacker's colour set and the occupancy matter, so the kind sets
// can stay as they are.
template <int NW>
bool Game<NW>::attacked(const Colors& colors, uint32_t sq, Color by) const {
    const Geometry<NW>& geo = *geo_;
    const auto& own = colors[color_index(by)];
    auto mine = [&](PieceType t) { return pieces(t) & own; };
    if (intersects(geo.pawn_attackers[color_index(by)][sq], mine(PieceType::Pawn))) return true;
    if (intersects(geo.knight[sq], mine(PieceType::Knight))) return true;
    if (intersects(geo.king[sq], mine(PieceType::King))) return true;
    const Bitboard<NW> queens = mine(PieceType::Queen);
    const Bitboard<NW> rook_like = mine(PieceType::Rook) | queens;
    const Bitboard<NW> bishop_like = mine(PieceType::Bishop) | queens;
    if (rook_like.test(sq)) return true;  // a rook or queen on the square itself counts
    if (!intersects(geo.lines[sq], rook_like | bishop_like)) return false;
    const Bitboard<NW> occupied = colors[0] | colors[1];
    if constexpr (NW == 1) {
        if (geo.magics)
            return intersects(slider_attacks<0, 4>(geo, sq, occupied), rook_like) ||
                   intersects(slider_attacks<4, 8>(geo, sq, occupied), bishop_like);
    }
    // The nearest occupied square along each ray decides it.
    bool hit = false;
    for_rays<0, 8>([&](auto d) {
        const Bitboard<NW>& sliders = d < 4 ? rook_like : bishop_like;
        if (hit || !intersects(geo.ray[d][sq], sliders)) return;
        hit = sliders.test(first_along(d, geo.ray[d][sq] & occupied));
    });
    return hit;
}

template <int NW>
struct KingSafety {
    Bitboard<NW> check_mask;               // where a move other than the king's must land
    Bitboard<NW> pinned;                   // own pieces that shield the king from a slider
    std::array<Bitboard<NW>, 8> pin_ray{};  // along ray d from the king: up to the pinner, included
    int checkers = 0;
    // Whether the masks decide legality: the side to move has exactly one king, on its cached
    // square. On a board edited by hand that may not hold, and every move is tried instead.
    bool exact = false;

    const Bitboard<NW>& pin_ray_through(uint32_t sq) const {
        int d = 0;
        while (!pin_ray[d].test(sq)) ++d;
        return pin_ray[d];
    }
};

template <int NW>
KingSafety<NW> Game<NW>::king_safety() const {
    KingSafety<NW> ks;
    const Color them = ~turn_;
    const uint32_t k = idx(king_[color_index(turn_)]);
    const Bitboard<NW>& mine = board_.color_bitboards[color_index(turn_)];
    const Bitboard<NW>& theirs = board_.color_bitboards[color_index(them)];
    const Bitboard<NW> kings = pieces(PieceType::King) & mine;
    ks.exact = kings.test(k) && kings.count() == 1;
    if (!ks.exact) return ks;

    const Geometry<NW>& geo = *geo_;
    ks.check_mask = ((geo.pawn_attackers[color_index(them)][k] & pieces(PieceType::Pawn)) |
                     (geo.knight[k] & pieces(PieceType::Knight)) | (geo.king[k] & pieces(PieceType::King))) &
                    theirs;
    ks.checkers = ks.check_mask.count();
    const Bitboard<NW> queens = pieces(PieceType::Queen) & theirs;
    const Bitboard<NW> rook_like = (pieces(PieceType::Rook) & theirs) | queens;
    const Bitboard<NW> bishop_like = (pieces(PieceType::Bishop) & theirs) | queens;
    const Bitboard<NW> occupied = mine | theirs;
    if (intersects(geo.lines[k], rook_like | bishop_like)) for_rays<0, 8>([&](auto d) {
        const Bitboard<NW>& sliders = d < 4 ? rook_like : bishop_like;
        const Bitboard<NW>& ray = geo.ray[d][k];
        if (!intersects(ray, sliders)) return;
        const uint32_t first = first_along(d, ray & occupied);
        if (sliders.test(first)) {
            ++ks.checkers;
            ks.check_mask |= ray ^ geo.ray[d][first];
            return;
        }
        if (!mine.test(first)) return;
        const Bitboard<NW> behind = geo.ray[d][first] & occupied;
        if (behind.empty()) return;
        const uint32_t second = first_along(d, behind);
        if (!sliders.test(second)) return;
        ks.pinned.set(first);
        ks.pin_ray[d] = ray ^ geo.ray[d][second];
    });
    if (ks.checkers == 0) ks.check_mask = geo.all;
    else if (ks.checkers > 1) ks.check_mask = Bitboard<NW>{};
    return ks;
}

template <int NW>
Bitboard<NW> Game<NW>::attacks_from(Color by, PieceType t, const Bitboard<NW>& from) const {
    const Geometry<NW>& geo = *geo_;
    const Bitboard<NW> occupied = board_.color_bitboards[0] | board_.color_bitboards[1];
    const bool rook_like = t == PieceType::Rook || t == PieceType::Queen;
    const bool bishop_like = t == PieceType::Bishop || t == PieceType::Queen;
    Bitboard<NW> out;
    from.for_each([&](uint32_t p) {
        switch (t) {
            // A pawn of colour `by` attacks from p what a pawn of the other colour would be attacked from.
            case PieceType::Pawn: out |= geo.pawn_attackers[color_index(~by)][p]; break;
            case PieceType::Knight: out |= geo.knight[p]; break;
            case PieceType::King: out |= geo.king[p]; break;
            default:
                for (int d = rook_like ? 0 : 4; d < (bishop_like ? 8 : 4); ++d) out |= ray_attacks(geo, d, p, occupied);
        }
    });
    return out;
}

}  // namespace murkle
