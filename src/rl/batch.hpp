#pragma once
// N games of one size class stepped together. Every per-game operation works on one slot and
// touches nothing shared, so a thread pool can split the games freely. No Python here.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "engine/game.hpp"

namespace murkle::rl {

// splitmix64: one independent stream per game, so results never depend on the thread count.
inline uint64_t next_random(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Uniform in [0, n) without bias (Lemire's multiply-and-reject), n >= 1.
inline uint64_t uniform_below(uint64_t& state, uint64_t n) {
    unsigned __int128 m = static_cast<unsigned __int128>(next_random(state)) * n;
    uint64_t low = static_cast<uint64_t>(m);
    if (low < n) {
        const uint64_t threshold = -n % n;
        while (low < threshold) {
            m = static_cast<unsigned __int128>(next_random(state)) * n;
            low = static_cast<uint64_t>(m);
        }
    }
    return static_cast<uint64_t>(m >> 64);
}

inline uint64_t stream_seed(uint64_t seed, size_t game) {
    uint64_t s = seed ^ (0xD1B54A32D192ED03ull * (game + 1));
    return next_random(s);
}

constexpr int64_t NO_ACTION = -1;

// The full action of the k-th legal move: plane * area + source square, the layout of the
// input planes.
inline int64_t full_action(const LegalView& v, size_t k, size_t area) {
    return static_cast<int64_t>(v.planes[k]) * static_cast<int64_t>(area) + v.moves[k].from;
}

// What a step did to one game.
struct StepResult {
    float reward = 0.0f;  // reward_absolute() once the game has ended, else 0
    bool done = false;
    bool truncated = false;  // ended by the ply cap, not by the rules
    std::optional<GameOutcome> outcome;
};

// Whether a game has ended: by the rules, by a third occurrence of its position when
// `repetitions` is on, or by a ply cap (0: none). The one judge of a game's end for the batch
// and the search; `legal_moves` is the number of legal moves of the position.
template <int NW>
StepResult game_status(const Game<NW>& g, uint64_t max_plies, size_t legal_moves, bool repetitions = false) {
    StepResult r;
    if (legal_moves == 0 || g.halfmove_clock() >= 150 || g.is_insufficient_material()) {
        r.outcome = g.outcome();
    } else if (repetitions && g.repetition_count() >= 3) {
        r.outcome = GameOutcome::ThreefoldRepetition;
    }
    if (r.outcome) {
        r.done = true;
        r.reward = static_cast<float>(encode_winner_absolute(*r.outcome));
    } else if (max_plies && g.history().size() >= max_plies) {
        r.done = r.truncated = true;
    }
    return r;
}

template <int NW>
StepResult game_status(const Game<NW>& g, uint64_t max_plies) {
    return game_status(g, max_plies, g.legal().size);
}

// Planes 0 to 95 hold pieces (one bit a square); 96 to 104 are constant over the board.
// With repetitions on: plane 96 is 1.0 when the position has occurred before, 97 when twice.
constexpr int REPETITION_PLANE = 96;

// The bytes of one packed plane: a square's bit at (row * width + col) in little bit order.
inline size_t packed_plane_bytes(size_t area) { return (area + 7) / 8; }

// constant(plane, 1.0) for the repetition planes that are set, when `repetitions` is on.
template <int NW, class Constant>
void visit_repetition_planes(const Game<NW>& g, bool repetitions, Constant&& constant) {
    if (!repetitions) return;
    const int seen = g.repetition_count();
    if (seen >= 2) constant(REPETITION_PLANE, 1.0f);
    if (seen >= 3) constant(REPETITION_PLANE + 1, 1.0f);
}

// piece(plane, bitboard) for each of the 12 piece planes of every history step the game has
// (the own side first); returns the number of such steps. A plane's squares are its
// bitboard's bits, square index row * width + col.
template <int NW, class Piece>
size_t visit_piece_planes(const Game<NW>& g, Piece&& piece) {
    const int own = color_index(g.turn());
    size_t steps = 0;
    g.visit_history_boards([&](size_t k, const Board<NW>& b) {
        for (int c = 0; c < 2; ++c)
            for (int t = 0; t < 6; ++t)
                piece(12 * k + (c == own ? 0 : 6) + t, b.piece_bitboards[t] & b.color_bitboards[c]);
        steps = k + 1;
    });
    return steps;
}

// Beyond the engine's 105 planes an observation may hold 12 attack planes of the current
// position: the squares the side to move's pawns, knights, bishops, rooks, queens and king
// attack (105-110), then the other side's (111-116); a slider attacks up to the first piece in
// its way, of either colour. Then 8 check planes: the squares from which a pawn, knight, bishop
// or rook of the side to move would attack the other side's king (117-120), then the same for
// the other side against the side to move's king (121-124); a queen checks from the union of
// the bishop's and the rook's.
constexpr int ATTACK_PLANE = TOTAL_INPUT_PLANES;
constexpr int CHECK_PLANE = ATTACK_PLANE + 12;
constexpr int SELECTABLE_PLANES = CHECK_PLANE + 8;

// Which of the 125 selectable planes an observation holds, in which order: a network that reads
// a few of them has only those written. Default: the engine's 105 in their own order.
struct PlaneSelection {
    std::vector<uint8_t> indices;  // the planes held, in order
    int16_t slot[SELECTABLE_PLANES];  // slot[plane]: its row in the observation, -1 when left out
    size_t history_steps = 8;  // history boards any selected piece plane reads (0: none at all)
    bool all = true;           // all 105 in their own order

    PlaneSelection() : PlaneSelection(std::vector<uint8_t>{}) {}
    bool attacks = false;      // some attack or check plane is held
    // The planes `which` (distinct, each below 125) in that order; empty for the engine's 105.
    explicit PlaneSelection(std::vector<uint8_t> which) : indices(std::move(which)) {
        if (indices.empty())
            for (int p = 0; p < TOTAL_INPUT_PLANES; ++p) indices.push_back(static_cast<uint8_t>(p));
        std::fill(std::begin(slot), std::end(slot), int16_t(-1));
        history_steps = 0;
        all = indices.size() == static_cast<size_t>(TOTAL_INPUT_PLANES);
        for (size_t k = 0; k < indices.size(); ++k) {
            slot[indices[k]] = static_cast<int16_t>(k);
            all = all && indices[k] == k;
            if (indices[k] < 96) history_steps = std::max<size_t>(history_steps, indices[k] / 12 + 1);
            attacks = attacks || indices[k] >= ATTACK_PLANE;
        }
    }
    size_t size() const { return indices.size(); }
};

template <int NW, class Piece>
void visit_attack_planes(const Game<NW>& g, const PlaneSelection& sel, Piece&& piece);

// piece(row, bitboard) for each selected piece or attack plane of game g, `row` its place in
// the selection; only the history boards some selected plane needs are walked.
template <int NW, class Piece>
void visit_selected_piece_planes(const Game<NW>& g, const PlaneSelection& sel, Piece&& piece) {
    const int own = color_index(g.turn());
    auto board = [&](size_t k, const Board<NW>& b) {
        if (k >= sel.history_steps) return;
        for (int c = 0; c < 2; ++c)
            for (int t = 0; t < 6; ++t)
                if (const int s = sel.slot[12 * k + (c == own ? 0 : 6) + t]; s >= 0)
                    piece(static_cast<size_t>(s), b.piece_bitboards[t] & b.color_bitboards[c]);
    };
    if (sel.history_steps == 1) board(0, g.board());  // the current position alone: no walk back
    else if (sel.history_steps > 1) g.visit_history_boards(board);
    visit_attack_planes(g, sel, piece);
}

// piece(row, bitboard) for each selected attack or check plane of game g.
template <int NW, class Piece>
void visit_attack_planes(const Game<NW>& g, const PlaneSelection& sel, Piece&& piece) {
    if (!sel.attacks) return;
    const int own = color_index(g.turn());
    for (int c = 0; c < 2; ++c) {
        const Color side = c == own ? g.turn() : ~g.turn();
        for (int t = 0; t < 6; ++t)
            if (const int s = sel.slot[ATTACK_PLANE + (c == own ? 0 : 6) + t]; s >= 0)
                piece(static_cast<size_t>(s), g.attacks_of(side, static_cast<PieceType>(t)));
        // A piece checks from where the same piece of the king's colour on the king's square
        // attacks (pawns included: theirs attack the other way).
        const Bitboard<NW> kings = g.board().piece_bitboards[static_cast<int>(PieceType::King)] &
                                   g.board().color_bitboards[color_index(~side)];
        for (int t = 0; t < 4; ++t)
            if (const int s = sel.slot[CHECK_PLANE + (c == own ? 0 : 4) + t]; s >= 0)
                piece(static_cast<size_t>(s), g.attacks_from(~side, static_cast<PieceType>(t), kings));
    }
}

// The selected input planes of a game into out[0 .. sel.size() * area), its piece and attack
// planes as visit_pieces(piece) hands them to piece(row, bitboard).
template <int NW, class VisitPieces>
void write_selected_planes(const Game<NW>& g, float* out, const PlaneSelection& sel, bool repetitions,
                           VisitPieces&& visit_pieces) {
    const size_t n = g.width() * g.height();
    std::memset(out, 0, sizeof(float) * sel.size() * n);
    visit_pieces([&](size_t row, const Bitboard<NW>& bb) {
        float* p = out + row * n;
        bb.for_each([&](uint32_t sq) { p[sq] = 1.0f; });
    });
    auto constant = [&](int plane, float v) {
        if (const int s = sel.slot[plane]; s >= 0) std::fill(out + s * n, out + (s + 1) * n, v);
    };
    g.visit_constant_planes(constant);
    visit_repetition_planes(g, repetitions, constant);
}

// The selected input planes of a game into out[0 .. sel.size() * area).
template <int NW>
void write_game_planes(const Game<NW>& g, float* out, const PlaneSelection& sel, bool repetitions) {
    write_selected_planes(g, out, sel, repetitions, [&](auto&& piece) { visit_selected_piece_planes(g, sel, piece); });
}

// The 105 input planes of a game into out[0 .. 105 * area).
template <int NW>
void write_game_planes(const Game<NW>& g, float* out, bool repetitions = false) {
    const size_t n = g.width() * g.height();
    std::memset(out, 0, sizeof(float) * TOTAL_INPUT_PLANES * n);
    auto constant = [&](int plane, float v) {
        float* p = out + static_cast<size_t>(plane) * n;
        std::fill(p, p + n, v);
    };
    g.visit_game_planes([&](size_t offset) { out[offset] = 1.0f; }, constant);
    visit_repetition_planes(g, repetitions, constant);
}

// A bitboard's squares into the `bytes` bytes of a packed plane.
template <int NW>
void pack_plane(uint8_t* row, const Bitboard<NW>& bb, size_t bytes) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(row, bb.words.data(), bytes);  // a square's bit is already where the plane wants it
    } else {
        for (size_t j = 0; j < bytes; ++j) row[j] = static_cast<uint8_t>(bb.words[j / 8] >> (8 * (j % 8)));
    }
}

// The same planes packed: the piece planes as bits into bits[0 .. 105 * bytes) (the constant
// planes' bytes zero) and the value of every constant plane into scalars[0 .. 105) (zero for
// the piece planes).
template <int NW>
void write_game_packed(const Game<NW>& g, uint8_t* bits, float* scalars, bool repetitions = false) {
    const size_t bytes = packed_plane_bytes(g.width() * g.height());
    const size_t steps = visit_piece_planes(
        g, [&](size_t plane, const Bitboard<NW>& bb) { pack_plane(bits + plane * bytes, bb, bytes); });
    std::memset(bits + 12 * steps * bytes, 0, (TOTAL_INPUT_PLANES - 12 * steps) * bytes);
    std::fill(scalars, scalars + TOTAL_INPUT_PLANES, 0.0f);
    auto constant = [&](int plane, float v) { scalars[plane] = v; };
    g.visit_constant_planes(constant);
    visit_repetition_planes(g, repetitions, constant);
}

// The values of the selected constant planes into scalars[0 .. sel.size()), zero for the others.
template <int NW>
void write_selected_scalars(const Game<NW>& g, float* scalars, const PlaneSelection& sel, bool repetitions) {
    std::fill(scalars, scalars + sel.size(), 0.0f);
    auto constant = [&](int plane, float v) {
        if (const int s = sel.slot[plane]; s >= 0) scalars[s] = v;
    };
    g.visit_constant_planes(constant);
    visit_repetition_planes(g, repetitions, constant);
}

// The selected planes packed the same way: bits[0 .. sel.size() * bytes) and
// scalars[0 .. sel.size()), a row for each selected plane in order.
template <int NW>
void write_game_packed(const Game<NW>& g, uint8_t* bits, float* scalars, const PlaneSelection& sel, bool repetitions) {
    if (sel.all) return write_game_packed(g, bits, scalars, repetitions);
    const size_t bytes = packed_plane_bytes(g.width() * g.height());
    std::memset(bits, 0, sel.size() * bytes);
    visit_selected_piece_planes(g, sel, [&](size_t s, const Bitboard<NW>& bb) { pack_plane(bits + s * bytes, bb, bytes); });
    write_selected_scalars(g, scalars, sel, repetitions);
}

// The legal full actions of a game as true entries of out[0 .. planes * area).
template <int NW>
void write_game_mask(const Game<NW>& g, bool* out) {
    const size_t area = g.width() * g.height();
    std::memset(out, 0, g.action_size() * area);
    const LegalView v = g.legal();
    for (size_t k = 0; k < v.size; ++k) out[full_action(v, k, area)] = true;
}

// The same mask packed eight full actions a byte: action a is bit a % 8 of byte a / 8
// (numpy.packbits of the flat mask with bitorder="little").
template <int NW>
void write_game_mask_bits(const Game<NW>& g, uint8_t* out) {
    const size_t area = g.width() * g.height();
    std::memset(out, 0, packed_plane_bytes(g.action_size() * area));
    const LegalView v = g.legal();
    for (size_t k = 0; k < v.size; ++k) {
        const size_t a = static_cast<size_t>(full_action(v, k, area));
        out[a / 8] |= static_cast<uint8_t>(1u << (a % 8));
    }
}

// The piece sets of a game's last positions, kept between plies so that an observation reads
// its history steps without taking moves back: one board is added after each move, and only
// another change of the game (a reset, a restart, a game set) walks the history again.
template <int NW>
struct RecentBoards {
    static constexpr size_t STEPS = 8;
    using Sets = std::array<Bitboard<NW>, 12>;  // [6 * colour + piece type]

    std::array<Sets, STEPS> ring;
    size_t newest = 0;  // the ring entry of the current position
    size_t count = 0;   // the positions held, as many as the history walk visits
    bool valid = false;
    uint64_t version = 0;  // the version of the game they describe, when valid

    // History step k (0: the current position), for k < count.
    const Sets& step(size_t k) const { return ring[(newest + STEPS - k) % STEPS]; }

    void add(const Board<NW>& b) {
        newest = (newest + 1) % STEPS;
        take(ring[newest], b);
        count = std::min(count + 1, STEPS);
    }
    void rebuild(const Game<NW>& g) {
        newest = 0;
        g.visit_history_boards([&](size_t k, const Board<NW>& b) {
            take(ring[(STEPS - k) % STEPS], b);
            count = k + 1;
        });
    }

private:
    static void take(Sets& out, const Board<NW>& b) {
        for (int c = 0; c < 2; ++c)
            for (int t = 0; t < 6; ++t) out[6 * c + t] = b.piece_bitboards[t] & b.color_bitboards[c];
    }
};

// visit_selected_piece_planes of game g with its history steps read from `recent`, which
// describes g.
template <int NW, class Piece>
void visit_recent_piece_planes(const Game<NW>& g, const RecentBoards<NW>& recent, const PlaneSelection& sel,
                               Piece&& piece) {
    const int own = color_index(g.turn());
    const size_t steps = std::min(recent.count, sel.history_steps);
    for (size_t k = 0; k < steps; ++k) {
        const auto& sets = recent.step(k);
        for (int c = 0; c < 2; ++c)
            for (int t = 0; t < 6; ++t)
                if (const int s = sel.slot[12 * k + (c == own ? 0 : 6) + t]; s >= 0)
                    piece(static_cast<size_t>(s), sets[6 * c + t]);
    }
    visit_attack_planes(g, sel, piece);
}

// write_game_planes (a selection) from the recent boards of g.
template <int NW>
void write_recent_planes(const Game<NW>& g, const RecentBoards<NW>& recent, float* out, const PlaneSelection& sel,
                         bool repetitions) {
    write_selected_planes(g, out, sel, repetitions,
                          [&](auto&& piece) { visit_recent_piece_planes(g, recent, sel, piece); });
}

// write_game_packed (a selection) from the recent boards of g.
template <int NW>
void write_recent_packed(const Game<NW>& g, const RecentBoards<NW>& recent, uint8_t* bits, float* scalars,
                         const PlaneSelection& sel, bool repetitions) {
    const size_t bytes = packed_plane_bytes(g.width() * g.height());
    std::memset(bits, 0, sel.size() * bytes);
    if (std::endian::native == std::endian::little && sel.all && bytes == sizeof(Bitboard<NW>)) {
        // Each side's six sets lie in a row like the six packed planes they become.
        static_assert(sizeof(typename RecentBoards<NW>::Sets) == 12 * sizeof(Bitboard<NW>));
        const int own = color_index(g.turn());
        for (size_t k = 0; k < recent.count; ++k)
            for (int c = 0; c < 2; ++c)
                std::memcpy(bits + (12 * k + (c == own ? 0 : 6)) * bytes, &recent.step(k)[6 * c], 6 * bytes);
    } else {
        visit_recent_piece_planes(g, recent, sel,
                                  [&](size_t s, const Bitboard<NW>& bb) { pack_plane(bits + s * bytes, bb, bytes); });
    }
    write_selected_scalars(g, scalars, sel, repetitions);
}

// A uniform double in [0, 1).
inline double uniform_unit(uint64_t& state) { return static_cast<double>(next_random(state) >> 11) * 0x1.0p-53; }

template <int NW>
class Batch {
public:
    static constexpr int size_class = NW;

    Batch() = default;
    // Game i starts (and restarts) from starts[i], or from starts[0] when there is one start.
    Batch(size_t n, std::vector<Game<NW>> starts, uint64_t seed, uint64_t max_plies, bool repetitions = false,
          PlaneSelection selection = {})
        : starts_(std::move(starts)), max_plies_(max_plies), repetitions_(repetitions),
          selection_(std::move(selection)), slots_(n) {
        for (size_t i = 0; i < n; ++i) {
            slots_[i].game = start(i);
            slots_[i].rng = stream_seed(seed, i);
        }
    }

    size_t size() const { return slots_.size(); }
    const std::vector<Game<NW>>& starts() const { return starts_; }
    const Game<NW>& start(size_t i) const { return starts_[starts_.size() == 1 ? 0 : i]; }
    uint64_t max_plies() const { return max_plies_; }
    bool repetitions() const { return repetitions_; }
    // The input planes an observation holds (all 105 by default).
    const PlaneSelection& selection() const { return selection_; }
    size_t width() const { return starts_[0].width(); }
    size_t height() const { return starts_[0].height(); }
    size_t area() const { return width() * height(); }
    size_t planes() const { return static_cast<size_t>(starts_[0].action_size()); }

    const Game<NW>& game(size_t i) const { return slots_[i].game; }
    bool restarting(size_t i) const { return slots_[i].restart; }
    uint64_t rng_state(size_t i) const { return slots_[i].rng; }

    // Replaces game i (same board size) as if it had been played there.
    // The copy is made before the slot changes, so a failed copy leaves the game as it was.
    void set_game(size_t i, const Game<NW>& g, bool restart = false) {
        Game<NW> copy(g);
        slots_[i].game = std::move(copy);
        slots_[i].restart = restart;
        ++slots_[i].version;
    }
    // How many times game i has changed (a move played, or the game set, reset or restarted):
    // a search tells from it, without looking at the position, whether its tree still
    // describes the game, and a game put back to the same position is a new one.
    uint64_t version(size_t i) const { return slots_[i].version; }
    void set_rng_state(size_t i, uint64_t state) { slots_[i].rng = state; }
    void reserve_history(size_t i, size_t plies) { slots_[i].game.reserve_history(plies); }

    void reset(size_t i) { set_game(i, start(i)); }

    // ----- observations -----------------------------------------------------------------------

    // The observations of game i: see write_game_planes, write_game_packed, write_game_mask(_bits).
    // Each holds the selected planes only.
    // A selection that reads earlier positions reads them from the game's recent boards.
    void write_planes(size_t i, float* out) const {
        if (selection_.history_steps > 1) write_recent_planes(game(i), recent(i), out, selection_, repetitions_);
        else write_leaf_planes(game(i), out);
    }
    void write_packed(size_t i, uint8_t* bits, float* scalars) const {
        if (selection_.history_steps > 1) write_recent_packed(game(i), recent(i), bits, scalars, selection_, repetitions_);
        else write_leaf_packed(game(i), bits, scalars);
    }
    // The selected planes of a game of this batch (a search's leaf), into out[0 .. k * area).
    void write_leaf_planes(const Game<NW>& g, float* out) const {
        if (selection_.all) write_game_planes(g, out, repetitions_);
        else write_game_planes(g, out, selection_, repetitions_);
    }
    // The same packed, into bits[0 .. k * bytes) and scalars[0 .. k).
    void write_leaf_packed(const Game<NW>& g, uint8_t* bits, float* scalars) const {
        write_game_packed(g, bits, scalars, selection_, repetitions_);
    }
    // None for a game that takes no action.
    void write_mask(size_t i, bool* out) const {
        if (takes_action(i)) write_game_mask(game(i), out);
        else std::memset(out, 0, planes() * area());
    }
    void write_mask_bits(size_t i, uint8_t* out) const {
        if (takes_action(i)) write_game_mask_bits(game(i), out);
        else std::memset(out, 0, packed_plane_bytes(planes() * area()));
    }

    // ----- actions ----------------------------------------------------------------------------

    int64_t full_action(const LegalView& v, size_t k) const { return rl::full_action(v, k, area()); }

    // The legal move of game i named by a full action, or by a move plane (the first legal
    // move with that plane, in legal-move order).
    std::optional<EMove> find_full(size_t i, int64_t action) const {
        const LegalView v = legal(i);
        for (size_t k = 0; k < v.size; ++k)
            if (full_action(v, k) == action) return v.moves[k];
        return std::nullopt;
    }
    std::optional<EMove> find_plane(size_t i, int64_t plane) const {
        const LegalView v = legal(i);
        for (size_t k = 0; k < v.size; ++k)
            if (v.planes[k] == plane) return v.moves[k];
        return std::nullopt;
    }

    // A game that restarts or is over (by the rules or the ply cap) takes no action.
    bool takes_action(size_t i) const { return !slots_[i].restart && !status(i).done; }

    // A uniformly chosen legal full action, or NO_ACTION for a game that takes none.
    int64_t random_action(size_t i) {
        if (!takes_action(i)) return NO_ACTION;
        const LegalView v = legal(i);
        return full_action(v, uniform_below(slots_[i].rng, v.size));
    }

    enum class SampleError { None, NotFinite, NoWeight };

    // A legal full action of game i drawn from the softmax of logits[action] / temperature
    // over its legal moves (temperature 0: the first legal move of highest logit), or
    // NO_ACTION for a game that takes none. The game's stream advances only into `rng`, so a
    // caller can drop the draw. NaN and +inf logits of legal actions are refused, and so is a
    // game whose legal actions all have -inf.
    template <class T>
    SampleError sample_action(size_t i, const T* logits, double temperature, int64_t& action, uint64_t& rng) const {
        rng = slots_[i].rng;
        action = NO_ACTION;
        if (!takes_action(i)) return SampleError::None;
        const LegalView v = legal(i);
        double top = -std::numeric_limits<double>::infinity();
        size_t best = 0;
        for (size_t k = 0; k < v.size; ++k) {
            const double x = static_cast<double>(logits[full_action(v, k)]);
            if (std::isnan(x) || x == std::numeric_limits<double>::infinity()) return SampleError::NotFinite;
            if (x > top) top = x, best = k;
        }
        if (top == -std::numeric_limits<double>::infinity()) return SampleError::NoWeight;
        if (temperature == 0.0) {
            action = full_action(v, best);
            return SampleError::None;
        }
        double total = 0.0;
        for (size_t k = 0; k < v.size; ++k)
            total += std::exp((static_cast<double>(logits[full_action(v, k)]) - top) / temperature);
        double target = uniform_unit(rng) * total;
        size_t chosen = best;  // rounding can leave a sliver past the last weight
        for (size_t k = 0; k < v.size; ++k) {
            const double w = std::exp((static_cast<double>(logits[full_action(v, k)]) - top) / temperature);
            if (w > 0.0 && target < w) {
                chosen = k;
                break;
            }
            target -= w;
        }
        action = full_action(v, chosen);
        return SampleError::None;
    }

    // One step of game i: a game that ended at the previous step restarts (its move is
    // ignored); a game already over reports its end and plays nothing; otherwise the move is
    // played. `move` is a legal move of game i whenever takes_action(i).
    StepResult step(size_t i, const std::optional<EMove>& move) {
        Slot& s = slots_[i];
        if (s.restart) {
            reset(i);
            return {};
        }
        if (const StepResult before = status(i); before.done) {
            s.restart = true;
            return before;
        }
        if (move) {
            s.game.do_move(*move);
            s.moved_to = ++s.version;
        }
        StepResult r = status(i);
        s.restart = r.done;
        return r;
    }

    // Whether game i has ended, by the rules or by the ply cap.
    StepResult status(size_t i) const { return game_status(game(i), max_plies_, legal(i).size, repetitions_); }

    // The legal moves of game i with their move planes, remembered by the game.
    LegalView legal(size_t i) const { return slots_[i].game.legal(); }

private:
    struct Slot {
        Game<NW> game;
        bool restart = false;  // ended at the last step: restarts at the next one
        uint64_t rng = 0;
        uint64_t version = 0;
        uint64_t moved_to = 0;  // the version the last move played by step() made
        // Its recent boards: none until an observation reads the history (kept off the slot,
        // whose size a batch that never asks would pay for); only the thread writing game i's
        // observations touches them.
        mutable std::vector<RecentBoards<NW>> recent;
    };

    // The recent boards of game i brought up to date: the new position added when a single
    // move was played since they were last read, the history walked again after anything else.
    const RecentBoards<NW>& recent(size_t i) const {
        const Slot& s = slots_[i];
        if (s.recent.empty()) s.recent.emplace_back();
        RecentBoards<NW>& r = s.recent.front();
        if (!r.valid || r.version != s.version) {
            if (r.valid && r.version + 1 == s.version && s.moved_to == s.version) r.add(s.game.board());
            else r.rebuild(s.game);
            r.valid = true;
            r.version = s.version;
        }
        return r;
    }

    std::vector<Game<NW>> starts_;
    uint64_t max_plies_ = 0;
    bool repetitions_ = false;  // a third occurrence of a position ends the game drawn
    PlaneSelection selection_;
    std::vector<Slot> slots_;
};

}  // namespace murkle::rl
