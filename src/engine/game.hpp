#pragma once
// The game record and its public operations. The rules live in one file per rule group,
// included at the end: attacks.hpp, movegen.hpp, legal.hpp, make_unmake.hpp, outcome.hpp,
// fen.hpp, and the network encodings in encode/planes.hpp. Written once over the size class NW;
// every board size behaves alike except where a rule names the 8 x 8 board.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board.hpp"
#include "encode/action.hpp"
#include "encode/values.hpp"
#include "geometry.hpp"
#include "move.hpp"
#include "siphash.hpp"

namespace murkle {

constexpr std::string_view STANDARD_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";
constexpr int TOTAL_INPUT_PLANES = 105;
constexpr uint32_t CLOCK_MAX = UINT32_MAX;

// Castling right slots: White kingside, White queenside, Black kingside, Black queenside.
enum CastlingSlot { WHITE_KINGSIDE = 0, WHITE_QUEENSIDE = 1, BLACK_KINGSIDE = 2, BLACK_QUEENSIDE = 3 };

constexpr uint8_t PROMOTION_ORDER[4] = {static_cast<uint8_t>(PieceType::Queen), static_cast<uint8_t>(PieceType::Rook),
                                        static_cast<uint8_t>(PieceType::Bishop),
                                        static_cast<uint8_t>(PieceType::Knight)};

template <int NW>
using ColorSets = std::array<Bitboard<NW>, 2>;

// A per-thread move buffer for queries that need a list only while they run, so that answering
// them allocates nothing once the buffer has grown. Callers never nest two uses.
inline MoveList& scratch_moves() {
    static thread_local MoveList buf;
    buf.clear();
    return buf;
}

// One square's content before a move changed it, so that the change can be undone exactly.
struct SquareChange {
    uint16_t square;
    uint8_t prev;  // encoded piece, or EMPTY_SQUARE
};

// What taking a move back needs: the state before it, and every square it changed.
struct TakeBack {
    std::optional<Position> prev_en_passant_square;
    std::array<bool, 4> prev_castling_rights;
    uint32_t prev_halfmove_clock;
    uint32_t prev_fullmove_number;
    Position prev_king;  // the mover's cached king square
    uint8_t change_count = 0;
    std::array<SquareChange, 5> changes;
};

// A move of the game's record: the take-back, and the move as it was passed in with what
// stood on its destination square.
struct HistoryEntry : TakeBack {
    Move mv;
    std::optional<Piece> captured;
};

// The checks and pins around the king of the side to move (legal.hpp).
template <int NW>
struct KingSafety;

// Legal moves with their move planes: the remembered list of a game, or a per-thread buffer.
struct LegalView {
    const EMove* moves;
    const uint32_t* planes;
    size_t size;
    const EMove* begin() const { return moves; }
    const EMove* end() const { return moves + size; }
};

// The legal moves of the current position and their planes, remembered until the game changes.
// Const queries on one game may run at the same time: the first to find the memo empty claims
// it with a compare-and-swap and fills it; the others meanwhile answer from their own buffer.
// Writes to the game come with exclusive access, so they simply mark it empty. A copy of a game
// takes the memo only when it is complete.
class LegalMemo {
public:
    LegalMemo() = default;
    LegalMemo(const LegalMemo& other) { copy_from(other); }
    LegalMemo(LegalMemo&& other) noexcept { take_from(other); }
    LegalMemo& operator=(const LegalMemo& other) {
        if (this != &other) copy_from(other);
        return *this;
    }
    LegalMemo& operator=(LegalMemo&& other) noexcept {
        if (this != &other) take_from(other);
        return *this;
    }

    void invalidate() { state_.store(EMPTY, std::memory_order_relaxed); }
    bool ready() const { return state_.load(std::memory_order_acquire) == READY; }
    bool claim() const {
        uint8_t expected = EMPTY;
        return state_.compare_exchange_strong(expected, FILLING, std::memory_order_acquire);
    }
    void publish() const { state_.store(READY, std::memory_order_release); }
    void abandon() const { state_.store(EMPTY, std::memory_order_release); }
    LegalView view() const { return {moves_.data(), planes_.data(), moves_.size()}; }

    // Written only between a successful claim() and publish().
    mutable std::vector<EMove> moves_;
    mutable std::vector<uint32_t> planes_;

private:
    enum : uint8_t { EMPTY, FILLING, READY };
    mutable std::atomic<uint8_t> state_{EMPTY};

    void copy_from(const LegalMemo& other) {
        const bool ready = other.ready();
        if (ready) {
            moves_ = other.moves_;
            planes_ = other.planes_;
        }
        state_.store(ready ? READY : EMPTY, std::memory_order_relaxed);
    }
    // A game being moved is owned by the mover: nobody queries it meanwhile.
    void take_from(LegalMemo& other) {
        const bool ready = other.ready();
        moves_ = std::move(other.moves_);
        planes_ = std::move(other.planes_);
        other.invalidate();
        state_.store(ready ? READY : EMPTY, std::memory_order_relaxed);
    }
};

template <int NW>
class Game {
public:
    using Colors = ColorSets<NW>;

    // ----- creation (fen.hpp) -----------------------------------------------------------------

    static Result<Game> from_fen(uint64_t width, uint64_t height, std::string_view fen, bool castling_enabled);
    static Game standard() { return from_fen(8, 8, STANDARD_FEN, true).take(); }

    // ----- state ------------------------------------------------------------------------------

    const Board<NW>& board() const { return board_; }
    uint64_t width() const { return board_.width; }
    uint64_t height() const { return board_.height; }
    Color turn() const { return turn_; }
    bool castling_enabled() const { return castling_enabled_; }
    std::optional<Position> en_passant_square() const { return ep_; }
    uint32_t halfmove_clock() const { return halfmove_; }
    uint32_t fullmove_number() const { return fullmove_; }
    const std::array<bool, 4>& castling_rights() const { return castling_; }
    bool has_kingside_castling_rights(Color c) const {
        return castling_[c == Color::White ? WHITE_KINGSIDE : BLACK_KINGSIDE];
    }
    bool has_queenside_castling_rights(Color c) const {
        return castling_[c == Color::White ? WHITE_QUEENSIDE : BLACK_QUEENSIDE];
    }
    Position king_square(Color c) const { return king_[color_index(c)]; }
    const std::vector<HistoryEntry>& history() const { return history_; }
    // Room for `plies` more moves, so that making them allocates no history: growing as the
    // moves themselves would, at least doubling.
    void reserve_history(size_t plies) {
        const size_t need = history_.size() + plies;
        if (need > history_.capacity()) history_.reserve(std::max(need, 2 * history_.capacity()));
    }

    std::optional<Piece> get_piece(uint64_t col, uint64_t row) const { return board_.get_piece(col, row); }

    // Edits only the board: the cached king squares, rights and clocks stay as they were.
    void set_piece(uint64_t col, uint64_t row, std::optional<Piece> piece) {
        memo_.invalidate();
        board_.set_piece(col, row, piece);
    }

    // ----- attacks (attacks.hpp) --------------------------------------------------------------

    // Whether a piece of colour `by` attacks the on-board square (col, row). A rook or queen of
    // that colour standing on the square itself counts as attacking it.
    bool is_square_attacked(int col, int row, Color by) const {
        return attacked(board_.color_bitboards, idx(col, row), by);
    }

    // ----- move lists (movegen.hpp, legal.hpp) ------------------------------------------------

    std::vector<Move> pseudo_legal_moves() const;
    std::vector<Move> legal_moves() const;
    std::vector<Move> legal_moves_for_position(uint64_t col, uint64_t row) const;

    // The legal moves of the side to move, in ascending source square, each piece's moves in
    // generator order.
    void legal_moves_into(MoveList& out) const;
    // The same by trying every pseudo-legal move on the board: the reference for the above.
    void legal_moves_reference(MoveList& out) const;
    // How many legal moves the side to move has.
    uint64_t count_legal_moves() const;
    // The legal moves with their planes, generated once per position.
    LegalView legal() const;

    bool has_legal_move() const { return legal().size > 0; }
    // Legality looks at the source and destination squares only.
    bool is_legal_move(const Move& m) const { return find_legal(m).has_value(); }
    bool has_legal_en_passant() const;

    // Reads LAN and completes the flags from the position; legality is not tested.
    Result<Move> move_from_lan(std::string_view lan) const;

    // ----- making and unmaking (make_unmake.hpp) ----------------------------------------------

    // Plays a move whose squares match a legal move; its own flags decide the side effects,
    // each only where it belongs. Answers false and changes nothing otherwise.
    bool make_move(const Move& m);
    bool unmake_move();
    // Plays a move taken from the legal move list (no checks).
    void do_move(const EMove& m) { apply(to_move(m), m.from, m.to); }
    // The same without the game's record: `tb` alone can take it back (take_back), and until
    // then the game's history and remembered legal moves belong to the position before it.
    void play(const EMove& m, TakeBack& tb) { play(tb, m.from, m.to, m.flags, m.promo); }
    void take_back(const TakeBack& tb);

    // ----- game end (outcome.hpp) -------------------------------------------------------------

    bool is_check() const { return in_check(); }
    // Every square the pieces of kind t and colour `by` attack (attacks.hpp): a slider's ray
    // ends on the first occupied square, which it attacks whoever stands there.
    Bitboard<NW> attacks_of(Color by, PieceType t) const {
        return attacks_from(by, t, pieces(t) & board_.color_bitboards[color_index(by)]);
    }
    // Every square that pieces of kind t and colour `by` would attack from the squares `from`.
    Bitboard<NW> attacks_from(Color by, PieceType t, const Bitboard<NW>& from) const;
    bool is_checkmate() const { return in_check() && !has_legal_move(); }
    bool is_stalemate() const { return !in_check() && !has_legal_move(); }
    bool is_over() const;
    std::optional<GameOutcome> outcome() const;
    bool is_insufficient_material() const;
    // How many times the current position has occurred in this game's history, itself included:
    // the same placement, side to move, castling rights and en-passant capture. The rules never
    // end a game by it; a caller may.
    int repetition_count() const;
    double reward_absolute() const;
    // None for a perspective other than 1 or -1 once the game is over.
    std::optional<double> reward_from_perspective(int8_t perspective) const;

    // ----- FEN writer (fen.hpp) and hashing ---------------------------------------------------

    std::string to_fen() const;

    uint64_t hash() const {
        HashBytes h;
        h.bytes.reserve(8 * (NW + 1) * 8 + 64);
        auto bitboard = [&](const Bitboard<NW>& bb) {
            h.u64(NW);
            for (uint64_t w : bb.words) h.u64(w);
        };
        for (const auto& bb : board_.piece_bitboards) bitboard(bb);
        for (const auto& bb : board_.color_bitboards) bitboard(bb);
        h.u64(board_.width);
        h.u64(board_.height);
        h.u8(turn_ == Color::White ? 0x01 : 0xFF);
        for (bool r : castling_) h.u8(r ? 1 : 0);
        if (ep_) {
            h.u64(ep_->col);
            h.u64(ep_->row);
        }
        h.u32(halfmove_);
        return h.finish();
    }

    // ----- action space -----------------------------------------------------------------------

    uint64_t action_size() const { return static_cast<uint64_t>(move_planes_count(board_.width, board_.height)); }

    // The plane of a move of this board, if it has one.
    std::optional<uint32_t> move_plane(const EMove& m) const {
        // Moves on the board have small steps; a board has at most 8 * 1024 + 18 planes.
        const Geometry<NW>& geo = *geo_;
        const int32_t dc = static_cast<int32_t>(geo.col[m.to]) - static_cast<int32_t>(geo.col[m.from]);
        const int32_t dr = static_cast<int32_t>(geo.row[m.to]) - static_cast<int32_t>(geo.row[m.from]);
        // Only an underpromotion has a plane of its own; every other move's follows its step.
        const bool under = m.promo != NO_PROMOTION && m.promo != static_cast<uint8_t>(PieceType::Queen);
        if (!under) {
            const uint32_t p = geo.step_plane[geo.step_index(dc, dr)];
            if (p == NO_PLANE) return std::nullopt;
            return p;
        }
        auto p = plane_of_step<int32_t>(dc, dr, static_cast<PieceType>(m.promo), std::max(width_, height_) - 1);
        if (!p) return std::nullopt;
        return static_cast<uint32_t>(*p);
    }

    std::vector<uint32_t> legal_action_indices() const {
        const LegalView v = legal();
        std::vector<uint32_t> out;
        out.reserve(v.size);
        for (size_t n = 0; n < v.size; ++n)
            if (v.planes[n] != NO_PLANE) out.push_back(v.planes[n]);
        return out;
    }

    std::optional<Move> decode_action(uint64_t action) const {
        const LegalView v = legal();
        for (size_t n = 0; n < v.size; ++n)
            if (v.planes[n] == action) return to_move(v.moves[n]);
        return std::nullopt;
    }

    bool apply_action(uint64_t action) {
        const LegalView v = legal();
        for (size_t n = 0; n < v.size; ++n) {
            if (v.planes[n] == action) {
                do_move(v.moves[n]);
                return true;
            }
        }
        return false;
    }

    // ----- input planes (encode/planes.hpp) ---------------------------------------------------

    // The 105 input planes, flat (plane, row, col), as single-precision values.
    void encode_game_planes(std::vector<float>& out) const;

    // The non-zero values of the input planes: one(offset) for each 1.0 of a piece plane, and
    // constant(plane, value) for each constant plane that is not all 0.0. Earlier positions
    // are found by taking moves back on a scratch board; the game itself is never touched.
    template <class One, class Constant>
    void visit_game_planes(One&& one, Constant&& constant) const;
    // step(k, board) for the boards of the current position (k = 0) and of up to seven earlier
    // ones (k plies ago), as the piece planes read them.
    template <class Step>
    void visit_history_boards(Step&& step) const;
    // constant(plane, value) for each of the planes 98 to 104 that is not all 0.0.
    template <class Constant>
    void visit_constant_planes(Constant&& constant) const;

    // ----- perft ------------------------------------------------------------------------------

    // Leaf nodes at `depth`; the last ply is counted without making its moves. The reference
    // count tries every move on the board instead.
    uint64_t perft(int depth, bool reference = false) {
        std::vector<MoveList> buffers(depth > 0 ? depth : 1);
        return perft_at(depth, buffers, reference);
    }

    uint64_t perft_at(int depth, std::vector<MoveList>& buffers, bool reference = false) {
        if (depth <= 0) return 1;
        if (depth == 1 && !reference) return count_legal_moves();
        MoveList& moves = buffers[depth - 1];
        reference ? legal_moves_reference(moves) : legal_moves_into(moves);
        if (depth == 1) return moves.size();
        // Nothing below reads the history or the remembered moves, and the position comes back
        // exactly, so the moves are played without the record.
        uint64_t nodes = 0;
        for (const EMove& m : moves) {
            TakeBack tb;
            play(m, tb);
            nodes += perft_at(depth - 1, buffers, reference);
            take_back(tb);
        }
        return nodes;
    }

    // The engine move as a move with squares.
    Move to_move(const EMove& m) const {
        const Geometry<NW>& geo = *geo_;
        Move out{{geo.col[m.from], geo.row[m.from]}, {geo.col[m.to], geo.row[m.to]}, m.flags, std::nullopt};
        if (m.promo != NO_PROMOTION) out.promotion = static_cast<PieceType>(m.promo);
        return out;
    }

private:
    template <int> friend struct GameCodec;  // the byte form reads and writes every field

    Board<NW> board_{};
    std::shared_ptr<const Geometry<NW>> geo_;
    std::vector<HistoryEntry> history_;
    std::optional<Position> ep_;
    int32_t ep_index_ = -1;  // the stored en-passant square's index when it lies on the board
    Position king_[2]{};
    std::array<bool, 4> castling_{};
    uint32_t halfmove_ = 0;
    uint32_t fullmove_ = 1;
    int width_ = 0;
    int height_ = 0;
    bool castling_enabled_ = false;
    Color turn_ = Color::White;
    LegalMemo memo_;

    // ----- small helpers ----------------------------------------------------------------------

    static std::optional<uint32_t> parse_clock(std::string_view s);

    static constexpr int forward(Color c) { return c == Color::White ? 1 : -1; }

    uint32_t idx(int col, int row) const { return static_cast<uint32_t>(row * width_ + col); }
    uint32_t idx(Position p) const { return idx(static_cast<int>(p.col), static_cast<int>(p.row)); }
    int col_of(uint32_t i) const { return geo_->col[i]; }
    int row_of(uint32_t i) const { return geo_->row[i]; }
    int ep_col() const { return col_of(static_cast<uint32_t>(ep_index_)); }
    int ep_row() const { return row_of(static_cast<uint32_t>(ep_index_)); }
    const Bitboard<NW>& pieces(PieceType t) const { return board_.piece_bitboards[static_cast<int>(t)]; }

    void set_en_passant(std::optional<Position> sq) {
        ep_ = sq;
        ep_index_ = (sq && board_.on_board(sq->col, sq->row)) ? static_cast<int32_t>(board_.index(sq->col, sq->row)) : -1;
    }

    static bool is_piece(const Board<NW>& b, uint32_t i, Color c, PieceType t) {
        return b.piece_bitboards[static_cast<int>(t)].test(i) && b.color_bitboards[color_index(c)].test(i);
    }

    std::vector<Move> to_moves(const MoveList& buf) const {
        std::vector<Move> out;
        out.reserve(buf.size());
        for (const EMove& m : buf) out.push_back(to_move(m));
        return out;
    }

    bool in_check() const { return attacked(board_.color_bitboards, idx(king_[color_index(turn_)]), ~turn_); }

    // attacks.hpp
    bool attacked(const Colors& colors, uint32_t sq, Color by) const;
    Bitboard<NW> attacks_through_king(Color by) const;
    KingSafety<NW> king_safety() const;

    // movegen.hpp
    bool is_real_en_passant(const Board<NW>& b, uint32_t from, uint32_t to, Color c) const;
    template <class Sink, class Exact>
    void generate_piece(uint32_t from, PieceType kind, const Bitboard<NW>& allowed, Sink& out, Exact&& exact) const;
    template <int FirstRay, int LastRay, class Sink>
    void generate_slider(uint32_t from, const Bitboard<NW>& allowed, Sink& out) const;
    template <class Sink, class Exact>
    void generate_pawn_moves(uint32_t from, const Bitboard<NW>& allowed, Sink& out, Exact&& exact) const;
    template <class Sink, class Exact>
    void generate_king_moves(uint32_t from, Sink& out, Exact&& exact) const;
    template <class Sink, class Exact>
    void generate_castling(uint32_t from, Sink& out, Exact&& exact) const;

    // legal.hpp
    template <class Sink>
    void legal_moves_of(const KingSafety<NW>& ks, Colors& scratch, uint32_t from, PieceType kind, Sink& out) const;
    void legal_moves_for_square(const KingSafety<NW>& ks, Colors& scratch, uint32_t from, MoveList& out) const;
    void reference_moves_for_square(Colors& scratch, uint32_t from, MoveList& out) const;
    bool leaves_king_safe(Colors& colors, const EMove& m, PieceType kind) const;
    uint64_t count_pawn_moves(const Bitboard<NW>& pawns, const Bitboard<NW>& allowed, Colors& scratch) const;
    std::optional<EMove> find_legal(const Move& m) const;
    void fill_legal(std::vector<EMove>& moves, std::vector<uint32_t>& planes) const;

    // make_unmake.hpp
    void apply(const Move& mv, uint32_t from, uint32_t to);
    // Plays the move into `h`; answers the code of what stood on `to`.
    uint8_t play(TakeBack& h, uint32_t from, uint32_t to, uint8_t flags, uint8_t promo);
    void clear_corner_rights(int c, int r);
    static void undo_squares(Board<NW>& b, const TakeBack& h);

    // encode/planes.hpp
    template <class One>
    static void fill_chess_planes(One& one, const Board<NW>& b, Color own, size_t k, size_t area);
};

}  // namespace murkle

#include "attacks.hpp"
#include "movegen.hpp"
#include "legal.hpp"
#include "make_unmake.hpp"
#include "outcome.hpp"
#include "fen.hpp"
#include "encode/planes.hpp"
