#pragma once
// The game record and the rules: attacks, move generation, legality, making and unmaking
// moves, the FEN reader and writer, and the end of the game. Written once over the size
// class NW; every board size behaves alike except where a rule names the 8 x 8 board.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
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
constexpr uint8_t EMPTY_SQUARE = 0xFF;
inline uint8_t encode_piece(std::optional<Piece> p) {
    if (!p) return EMPTY_SQUARE;
    return static_cast<uint8_t>(static_cast<int>(p->piece_type) * 2 + (p->color == Color::White ? 0 : 1));
}
inline std::optional<Piece> decode_piece(uint8_t v) {
    if (v == EMPTY_SQUARE) return std::nullopt;
    return Piece{(v & 1) ? Color::Black : Color::White, static_cast<PieceType>(v >> 1)};
}

struct HistoryEntry {
    std::optional<Position> prev_en_passant_square;
    Move mv;  // exactly as it was passed in
    std::array<bool, 4> prev_castling_rights;
    uint32_t prev_halfmove_clock;
    std::optional<Piece> captured;  // what stood on the destination square
    // What the move did, for an exact take-back.
    uint32_t prev_fullmove_number;
    Position prev_king;  // the mover's cached king square
    uint8_t change_count;
    std::array<SquareChange, 5> changes;
};

template <int NW>
class Game {
public:
    using Colors = ColorSets<NW>;

    // ----- creation ---------------------------------------------------------------------------

    static Result<Game> from_fen(uint64_t width, uint64_t height, std::string_view fen, bool castling_enabled) {
        // Fields are separated by single spaces: two spaces in a row make an empty field.
        // Counted before any field is taken, so a text with too many costs no memory.
        const size_t part_count = count_pieces(fen, ' ');
        if (part_count != 6) return fail("Invalid FEN: expected 6 parts, got " + std::to_string(part_count));
        std::array<std::string_view, 6> parts;
        Pieces fields(fen, ' ');
        for (auto& part : parts) part = fields.next();

        Game g;
        auto board = Board<NW>::from_fen(width, height, parts[0]);
        if (!board) return fail(board.error());
        g.board_ = board.value();
        g.width_ = static_cast<int>(width);
        g.height_ = static_cast<int>(height);
        g.geo_ = Geometry<NW>::of(g.width_, g.height_);

        if (parts[1] == "w") g.turn_ = Color::White;
        else if (parts[1] == "b") g.turn_ = Color::Black;
        else return fail("Invalid turn in FEN");

        g.castling_enabled_ = castling_enabled;
        if (castling_enabled) {
            for (char c : parts[2]) {
                switch (c) {
                    case 'K': g.castling_[WHITE_KINGSIDE] = true; break;
                    case 'Q': g.castling_[WHITE_QUEENSIDE] = true; break;
                    case 'k': g.castling_[BLACK_KINGSIDE] = true; break;
                    case 'q': g.castling_[BLACK_QUEENSIDE] = true; break;
                    case '-': break;
                    default: return fail("Invalid castling rights in FEN");
                }
            }
        }

        if (parts[3] != "-") {
            // The writer's numeric form for columns from 26 on reads back; otherwise the letter form.
            if (auto numeric = from_numeric_square(parts[3])) {
                g.set_en_passant(*numeric);
            } else {
                auto sq = from_algebraic(parts[3]);
                if (!sq) return fail(sq.error());
                g.set_en_passant(sq.value());
            }
        }

        auto clock = parse_clock(parts[4]);
        if (!clock) return fail("Invalid halfmove clock in FEN");
        g.halfmove_ = *clock;
        auto fullmove = parse_clock(parts[5]);
        if (!fullmove) return fail("Invalid fullmove number in FEN");
        g.fullmove_ = *fullmove;

        auto wk = g.board_.find_king(Color::White);
        if (!wk) return fail("No white king found in FEN position");
        auto bk = g.board_.find_king(Color::Black);
        if (!bk) return fail("No black king found in FEN position");
        g.king_[0] = *wk;
        g.king_[1] = *bk;
        return g;
    }

    static Game standard() {
        return from_fen(8, 8, STANDARD_FEN, true).take();
    }

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

    std::optional<Piece> get_piece(uint64_t col, uint64_t row) const { return board_.get_piece(col, row); }

    // Edits only the board: the cached king squares, rights and clocks stay as they were.
    void set_piece(uint64_t col, uint64_t row, std::optional<Piece> piece) { board_.set_piece(col, row, piece); }

    // ----- attacks ----------------------------------------------------------------------------

    // Whether a piece of colour `by` attacks the on-board square (col, row). A rook or queen of
    // that colour standing on the square itself counts as attacking it.
    bool is_square_attacked(int col, int row, Color by) const {
        return attacked(board_.color_bitboards, col, row, by);
    }

    // ----- move lists -------------------------------------------------------------------------

    std::vector<Move> pseudo_legal_moves() const {
        MoveList& buf = scratch_moves();
        board_.color_bitboards[color_index(turn_)].for_each([&](uint32_t i) {
            generate_pseudo_legal_moves_for_piece(i, turn_, *board_.kind_at(i), buf);
        });
        return to_moves(buf);
    }

    std::vector<Move> legal_moves() const {
        MoveList& buf = scratch_moves();
        legal_moves_into(buf);
        return to_moves(buf);
    }

    std::vector<Move> legal_moves_for_position(uint64_t col, uint64_t row) const {
        MoveList& buf = scratch_moves();
        if (board_.on_board(col, row)) {
            Colors scratch = board_.color_bitboards;
            legal_moves_for_square(scratch, board_.index(col, row), in_check(), buf);
        }
        return to_moves(buf);
    }

    // The legal moves of the side to move, in ascending source square, each piece's moves in
    // generator order.
    void legal_moves_into(MoveList& out) const {
        out.clear();
        Colors scratch = board_.color_bitboards;
        const bool check = in_check();
        board_.color_bitboards[color_index(turn_)].for_each(
            [&](uint32_t i) { legal_moves_for_square(scratch, i, check, out); });
    }

    bool has_legal_move() const {
        MoveList& buf = scratch_moves();
        Colors scratch = board_.color_bitboards;
        const bool check = in_check();
        bool found = false;
        board_.color_bitboards[color_index(turn_)].for_each([&](uint32_t i) {
            if (found) return;
            legal_moves_for_square(scratch, i, check, buf);
            found = !buf.empty();
        });
        return found;
    }

    // Legality looks at the source and destination squares only.
    bool is_legal_move(const Move& m) const { return find_legal(m).has_value(); }

    bool has_legal_en_passant() const {
        if (ep_index_ < 0) return false;
        MoveList& buf = scratch_moves();
        Colors scratch = board_.color_bitboards;
        const bool check = in_check();
        const int ec = ep_col(), er = ep_row();
        const int row = er - forward(turn_);
        if (row < 0 || row >= height_) return false;
        for (int c : {ec - 1, ec + 1}) {
            if (c < 0 || c >= width_) continue;
            uint32_t i = idx(c, row);
            if (!is_piece(board_, i, turn_, PieceType::Pawn)) continue;
            legal_moves_for_square(scratch, i, check, buf);
            for (const EMove& m : buf)
                if (m.flags & EN_PASSANT) return true;
        }
        return false;
    }

    // Reads LAN and completes the flags from the position; legality is not tested.
    Result<Move> move_from_lan(std::string_view lan) const {
        auto r = from_lan(lan, board_.width, board_.height);
        if (!r) return r;
        Move m = r.value();
        const uint32_t from = board_.index(m.src.col, m.src.row), to = board_.index(m.dst.col, m.dst.row);
        auto kind = board_.kind_at(from);
        if (!kind) return fail("No piece at source square");
        if (board_.occupied(to)) m.flags |= CAPTURE;
        const int64_t dc = static_cast<int64_t>(m.dst.col) - static_cast<int64_t>(m.src.col);
        const int64_t dr = static_cast<int64_t>(m.dst.row) - static_cast<int64_t>(m.src.row);
        if (*kind == PieceType::King && (dc == 2 || dc == -2)) m.flags |= CASTLING;
        if (*kind == PieceType::Pawn) {
            if (is_real_en_passant(board_, from, to, board_.color_at(from))) m.flags |= CAPTURE | EN_PASSANT;
            if (dr == 2 || dr == -2) m.flags |= DOUBLE_PUSH;
        }
        return m;
    }

    // ----- making and unmaking ----------------------------------------------------------------

    // Plays a move whose squares match a legal move; its own flags decide the side effects,
    // each only where it belongs. Answers false and changes nothing otherwise.
    bool make_move(const Move& m) {
        if (!find_legal(m)) return false;
        apply(Move(m), board_.index(m.src.col, m.src.row), board_.index(m.dst.col, m.dst.row));
        return true;
    }

    bool unmake_move() {
        if (history_.empty()) return false;
        const HistoryEntry& h = history_.back();
        turn_ = ~turn_;
        undo_squares(board_, h);
        king_[color_index(turn_)] = h.prev_king;
        set_en_passant(h.prev_en_passant_square);
        castling_ = h.prev_castling_rights;
        halfmove_ = h.prev_halfmove_clock;
        fullmove_ = h.prev_fullmove_number;
        history_.pop_back();
        return true;
    }

    // Plays a move taken from the legal move list (no checks).
    void do_move(const EMove& m) { apply(m.to_move(board_.width), m.from, m.to); }

    // ----- game end ---------------------------------------------------------------------------

    bool is_check() const { return in_check(); }
    bool is_checkmate() const { return in_check() && !has_legal_move(); }
    bool is_stalemate() const { return !in_check() && !has_legal_move(); }

    bool is_over() const {
        if (!has_legal_move()) return true;  // checkmate or stalemate
        if (halfmove_ >= 150) return true;
        return is_insufficient_material();
    }

    std::optional<GameOutcome> outcome() const {
        const bool check = in_check();
        if (!has_legal_move()) {
            if (!check) return GameOutcome::Stalemate;
            return turn_ == Color::White ? GameOutcome::BlackWin : GameOutcome::WhiteWin;
        }
        if (is_insufficient_material()) return GameOutcome::InsufficientMaterial;
        if (halfmove_ >= 150) return GameOutcome::FiftyMoveRule;
        return std::nullopt;
    }

    bool is_insufficient_material() const {
        int minors[2] = {0, 0}, knights = 0, bishops = 0;
        for (int c = 0; c < 2; ++c) {
            const auto& own = board_.color_bitboards[c];
            for (PieceType t : {PieceType::Pawn, PieceType::Rook, PieceType::Queen})
                if (!(board_.piece_bitboards[static_cast<int>(t)] & own).empty()) return false;
            int n = (board_.piece_bitboards[static_cast<int>(PieceType::Knight)] & own).count();
            int b = (board_.piece_bitboards[static_cast<int>(PieceType::Bishop)] & own).count();
            minors[c] = n + b;
            knights += n;
            bishops += b;
        }
        if (knights == 0 && bishops > 0) {
            // Square colour is the parity of col + row, which on even widths differs from the
            // parity of the index on every other row.
            int first = -1;
            bool same = true;
            board_.piece_bitboards[static_cast<int>(PieceType::Bishop)].for_each([&](uint32_t i) {
                int colour = static_cast<int>((i % board_.width + i / board_.width) & 1);
                if (first < 0) first = colour;
                else if (colour != first) same = false;
            });
            if (same) return true;
        }
        return (minors[0] == 0 && minors[1] <= 1) || (minors[0] == 1 && minors[1] == 0);
    }

    double reward_absolute() const {
        auto o = outcome();
        return o ? encode_winner_absolute(*o) : 0.0;
    }

    // None for a perspective other than 1 or -1 once the game is over.
    std::optional<double> reward_from_perspective(int8_t perspective) const {
        auto o = outcome();
        if (!o) return 0.0;
        return encode_winner_from_perspective(*o, perspective);
    }

    // ----- FEN writer and hashing -------------------------------------------------------------

    std::string to_fen() const {
        std::string s = board_.to_fen();
        s += turn_ == Color::White ? " w " : " b ";
        const char letters[4] = {'K', 'Q', 'k', 'q'};
        size_t before = s.size();
        for (int i = 0; i < 4; ++i)
            if (castling_[i]) s += letters[i];
        if (s.size() == before) s += '-';
        s += ' ';
        s += (ep_ && has_legal_en_passant()) ? square_text(*ep_) : "-";
        s += ' ';
        s += std::to_string(halfmove_);
        s += ' ';
        s += std::to_string(fullmove_);
        return s;
    }

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

    std::vector<uint32_t> legal_action_indices() const {
        MoveList& buf = scratch_moves();
        legal_moves_into(buf);
        std::vector<uint32_t> out;
        out.reserve(buf.size());
        for (const EMove& m : buf)
            if (auto p = plane_of(m)) out.push_back(*p);
        return out;
    }

    std::optional<Move> decode_action(uint64_t action) const {
        MoveList& buf = scratch_moves();
        legal_moves_into(buf);
        for (const EMove& m : buf)
            if (plane_of(m) == action) return m.to_move(board_.width);
        return std::nullopt;
    }

    bool apply_action(uint64_t action) {
        MoveList& buf = scratch_moves();
        legal_moves_into(buf);
        for (const EMove& m : buf) {
            if (plane_of(m) == action) {
                do_move(m);
                return true;
            }
        }
        return false;
    }

    // ----- input planes -----------------------------------------------------------------------

    // The 105 input planes, flat (plane, row, col), as single-precision values.
    void encode_game_planes(std::vector<float>& out) const {
        const size_t area = static_cast<size_t>(width_) * static_cast<size_t>(height_);
        out.clear();
        out.resize(TOTAL_INPUT_PLANES * area);  // zero-filled
        visit_game_planes([&](size_t offset) { out[offset] = 1.0f; },
                          [&](int plane, float v) {
                              std::fill(out.begin() + plane * area, out.begin() + (plane + 1) * area, v);
                          });
    }

    // The non-zero values of the input planes: one(offset) for each 1.0 of a piece plane, and
    // constant(plane, value) for each constant plane that is not all 0.0. Earlier positions
    // are found by taking moves back on a scratch board; the game itself is never touched.
    template <class One, class Constant>
    void visit_game_planes(One&& one, Constant&& constant) const {
        const size_t area = static_cast<size_t>(width_) * static_cast<size_t>(height_);
        fill_chess_planes(one, board_, turn_, 0, area);
        const size_t steps = std::min<size_t>(history_.size(), 7);
        if (steps > 0) {
            Board<NW> scratch = board_;
            for (size_t k = 1; k <= steps; ++k) {
                undo_squares(scratch, history_[history_.size() - k]);
                fill_chess_planes(one, scratch, turn_, k, area);
            }
        }
        const Color them = ~turn_;
        auto fill = [&](int plane, float v) {
            if (v != 0.0f) constant(plane, v);
        };
        fill(98, turn_ == Color::White ? 1.0f : 0.0f);
        fill(99, static_cast<float>(fullmove_) / 100.0f);
        fill(100, has_kingside_castling_rights(turn_) ? 1.0f : 0.0f);
        fill(101, has_queenside_castling_rights(turn_) ? 1.0f : 0.0f);
        fill(102, has_kingside_castling_rights(them) ? 1.0f : 0.0f);
        fill(103, has_queenside_castling_rights(them) ? 1.0f : 0.0f);
        fill(104, static_cast<float>(halfmove_) / 50.0f);
    }

    // ----- perft ------------------------------------------------------------------------------

    // Leaf nodes at `depth`; the last ply is counted without making its moves.
    uint64_t perft(int depth) {
        std::vector<MoveList> buffers(depth > 0 ? depth : 1);
        return perft_at(depth, buffers);
    }

    uint64_t perft_at(int depth, std::vector<MoveList>& buffers) {
        if (depth <= 0) return 1;
        MoveList& moves = buffers[depth - 1];
        legal_moves_into(moves);
        if (depth == 1) return moves.size();
        uint64_t nodes = 0;
        for (const EMove& m : moves) {
            do_move(m);
            nodes += perft_at(depth - 1, buffers);
            unmake_move();
        }
        return nodes;
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

    // ----- small helpers ----------------------------------------------------------------------

    static std::optional<uint32_t> parse_clock(std::string_view s) {
        auto v = parse_u64(s);
        if (!v || *v > CLOCK_MAX) return std::nullopt;
        return static_cast<uint32_t>(*v);
    }

    static constexpr int forward(Color c) { return c == Color::White ? 1 : -1; }

    uint32_t idx(int col, int row) const { return static_cast<uint32_t>(row * width_ + col); }
    int col_of(uint32_t i) const { return static_cast<int>(i % static_cast<uint32_t>(width_)); }
    int row_of(uint32_t i) const { return static_cast<int>(i / static_cast<uint32_t>(width_)); }
    int ep_col() const { return col_of(static_cast<uint32_t>(ep_index_)); }
    int ep_row() const { return row_of(static_cast<uint32_t>(ep_index_)); }

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
        for (const EMove& m : buf) out.push_back(m.to_move(board_.width));
        return out;
    }

    std::optional<uint32_t> plane_of(const EMove& m) const {
        // Moves on the board have small steps; a board has at most 8 * 1024 + 18 planes.
        auto p = encode_move(m.to_move(board_.width), board_.width, board_.height);
        if (!p) return std::nullopt;
        return static_cast<uint32_t>(*p);
    }

    bool in_check() const {
        const Position k = king_[color_index(turn_)];
        return attacked(board_.color_bitboards, static_cast<int>(k.col), static_cast<int>(k.row), ~turn_);
    }

    // A pawn of colour `c` going from `from` to `to` takes en passant: a diagonal step forward
    // onto the empty stored square with a pawn of the other colour beside it.
    bool is_real_en_passant(const Board<NW>& b, uint32_t from, uint32_t to, Color c) const {
        if (ep_index_ < 0 || to != static_cast<uint32_t>(ep_index_) || b.occupied(to)) return false;
        const int fc = col_of(from), fr = row_of(from), tc = col_of(to), tr = row_of(to);
        if (std::abs(tc - fc) != 1 || tr - fr != forward(c)) return false;
        return is_piece(b, idx(tc, fr), ~c, PieceType::Pawn);
    }

    // ----- attack test, walking outward from the target ---------------------------------------

    // `colors` may differ from the board's colour sets by a move being tried: only the
    // attacker's colour set and the occupancy matter, so the kind sets can stay as they are.
    bool attacked(const Colors& colors, int col, int row, Color by) const {
        const Geometry<NW>& geo = *geo_;
        const uint32_t sq = idx(col, row);
        const auto& own = colors[color_index(by)];
        const auto& kinds = board_.piece_bitboards;
        auto mine = [&](PieceType t) { return kinds[static_cast<int>(t)] & own; };
        if (intersects(geo.pawn_attackers[color_index(by)][sq], mine(PieceType::Pawn))) return true;
        if (intersects(geo.knight[sq], mine(PieceType::Knight))) return true;
        if (intersects(geo.king[sq], mine(PieceType::King))) return true;
        const Bitboard<NW> queens = mine(PieceType::Queen);
        const Bitboard<NW> rook_like = mine(PieceType::Rook) | queens;
        const Bitboard<NW> bishop_like = mine(PieceType::Bishop) | queens;
        if (rook_like.test(sq)) return true;  // a rook or queen on the square itself counts
        if (!intersects(geo.lines[sq], rook_like | bishop_like)) return false;
        const Bitboard<NW> occupied = colors[0] | colors[1];
        // The nearest occupied square along each ray decides it.
        for (int d = 0; d < 8; ++d) {
            const Bitboard<NW>& sliders = d < 4 ? rook_like : bishop_like;
            if (!intersects(geo.ray[d][sq], sliders)) continue;
            const Bitboard<NW> blockers = geo.ray[d][sq] & occupied;
            if (sliders.test(d % 2 == 0 ? blockers.lowest() : blockers.highest())) return true;
        }
        return false;
    }

    // ----- pseudo-legal generation ------------------------------------------------------------

    void add(MoveList& out, uint32_t from, uint32_t to, uint8_t flags, uint8_t promo = NO_PROMOTION) const {
        out.push_unchecked(EMove{static_cast<uint16_t>(from), static_cast<uint16_t>(to), flags, promo});
    }

    void generate_pseudo_legal_moves_for_piece(uint32_t from, Color us, PieceType kind, MoveList& out) const {
        // Room for the most moves any piece has here: a queen's lines, or a pawn's twelve.
        out.reserve_more(2 * static_cast<size_t>(width_ + height_) + 16);
        switch (kind) {
            case PieceType::Pawn: generate_pawn_moves(from, us, out); break;
            case PieceType::Knight: generate_steps(from, us, KNIGHT_OFFSETS, out); break;
            case PieceType::Bishop: generate_sliding_moves(from, us, BISHOP_RAYS, 4, out); break;
            case PieceType::Rook: generate_sliding_moves(from, us, ROOK_RAYS, 4, out); break;
            case PieceType::Queen:
                generate_sliding_moves(from, us, ROOK_RAYS, 4, out);
                generate_sliding_moves(from, us, BISHOP_RAYS, 4, out);
                break;
            case PieceType::King:
                generate_steps(from, us, KING_STEPS, out);
                generate_castling(from, us, out);
                break;
        }
    }

    void generate_steps(uint32_t from, Color us, const Step (&steps)[8], MoveList& out) const {
        const int col = col_of(from), row = row_of(from);
        const auto& mine = board_.color_bitboards[color_index(us)];
        const auto& theirs = board_.color_bitboards[color_index(~us)];
        for (const Step& s : steps) {
            const int c = col + s.dc, r = row + s.dr;
            if (c < 0 || c >= width_ || r < 0 || r >= height_) continue;
            const uint32_t to = idx(c, r);
            if (mine.test(to)) continue;
            add(out, from, to, theirs.test(to) ? CAPTURE : 0);
        }
    }

    void generate_sliding_moves(uint32_t from, Color us, const Step* rays, int n, MoveList& out) const {
        const int col = col_of(from), row = row_of(from);
        const auto& mine = board_.color_bitboards[color_index(us)];
        const auto& theirs = board_.color_bitboards[color_index(~us)];
        for (int k = 0; k < n; ++k) {
            const Step s = rays[k];
            int c = col + s.dc, r = row + s.dr;
            while (c >= 0 && c < width_ && r >= 0 && r < height_) {
                const uint32_t to = idx(c, r);
                if (mine.test(to)) break;
                if (theirs.test(to)) {
                    add(out, from, to, CAPTURE);
                    break;
                }
                add(out, from, to, 0);
                c += s.dc;
                r += s.dr;
            }
        }
    }

    void generate_pawn_moves(uint32_t from, Color us, MoveList& out) const {
        const int col = col_of(from), row = row_of(from), fwd = forward(us);
        const int promotion_row = us == Color::White ? height_ - 2 : 1;
        const int start_row = us == Color::White ? 1 : height_ - 2;
        const bool promotes = row == promotion_row;
        const int r1 = row + fwd;
        if (r1 < 0 || r1 >= height_) return;
        const auto& theirs = board_.color_bitboards[color_index(~us)];

        const uint32_t push = idx(col, r1);
        if (!board_.occupied(push)) {
            if (promotes) {
                for (uint8_t p : PROMOTION_ORDER) add(out, from, push, PROMOTION, p);
            } else {
                add(out, from, push, 0);
            }
            const int r2 = row + 2 * fwd;
            if (row == start_row && r2 >= 0 && r2 < height_ && !board_.occupied(idx(col, r2)))
                add(out, from, idx(col, r2), DOUBLE_PUSH);
        }
        for (int c : {col - 1, col + 1}) {
            if (c < 0 || c >= width_) continue;
            const uint32_t to = idx(c, r1);
            if (theirs.test(to)) {
                if (promotes) {
                    for (uint8_t p : PROMOTION_ORDER) add(out, from, to, CAPTURE | PROMOTION, p);
                } else {
                    add(out, from, to, CAPTURE);
                }
            }
            if (is_real_en_passant(board_, from, to, us)) add(out, from, to, CAPTURE | EN_PASSANT);
        }
    }

    // Castling exists on the 8 x 8 board only, for a king on its original square with the rook
    // in its corner, not in check, over empty and unattacked squares.
    void generate_castling(uint32_t from, Color us, MoveList& out) const {
        if (width_ != 8 || height_ != 8 || !castling_enabled_) return;
        const int back = us == Color::White ? 0 : 7;
        if (from != idx(4, back)) return;
        const Position k = king_[color_index(us)];
        const Color them = ~us;
        if (attacked(board_.color_bitboards, static_cast<int>(k.col), static_cast<int>(k.row), them)) return;
        auto empty = [&](int c) { return !board_.occupied(idx(c, back)); };
        auto safe = [&](int c) { return !attacked(board_.color_bitboards, c, back, them); };
        auto rook_in = [&](int c) { return is_piece(board_, idx(c, back), us, PieceType::Rook); };
        if (has_kingside_castling_rights(us) && rook_in(7) && empty(5) && empty(6) && safe(5) && safe(6))
            add(out, from, idx(6, back), CASTLING);
        if (has_queenside_castling_rights(us) && rook_in(0) && empty(1) && empty(2) && empty(3) && safe(2) &&
            safe(3) && safe(4))
            add(out, from, idx(2, back), CASTLING);
    }

    // ----- legality ---------------------------------------------------------------------------

    // Appends the legal moves of the piece on square i (nothing for an empty square or a piece
    // of the side not to move). `scratch` equals the board and is restored after each try.
    void legal_moves_for_square(Colors& scratch, uint32_t i, bool check, MoveList& out) const {
        if (!board_.color_bitboards[color_index(turn_)].test(i)) {
            return;
        }
        const PieceType kind = *board_.kind_at(i);
        const size_t start = out.size();
        generate_pseudo_legal_moves_for_piece(i, turn_, kind, out);
        const Position k = king_[color_index(turn_)];
        const int kc = static_cast<int>(k.col), kr = static_cast<int>(k.row);
        // A move that is not the king's, made while not in check, can expose the king only by
        // opening a line through its source square or by removing a pawn taken en passant.
        const bool aligned = i == idx(kc, kr) || geo_->lines[idx(kc, kr)].test(i);
        const bool needs_test = check || kind == PieceType::King || aligned;
        size_t kept = start;
        for (size_t n = start; n < out.size(); ++n) {
            const EMove m = out[n];
            if ((needs_test || (m.flags & EN_PASSANT)) && !leaves_king_safe(scratch, m, kind, kc, kr)) continue;
            out[kept++] = m;
        }
        out.truncate(kept);
    }

    // Tries the move on the colour sets alone and asks whether the king is then attacked.
    bool leaves_king_safe(Colors& colors, const EMove& m, PieceType kind, int kc, int kr) const {
        auto& mine = colors[color_index(turn_)];
        auto& theirs = colors[color_index(~turn_)];
        const bool took = theirs.test(m.to);
        mine.clear(m.from);
        mine.set(m.to);
        theirs.clear(m.to);
        const uint32_t passed = idx(col_of(m.to), row_of(m.from));
        const bool en_passant = (m.flags & EN_PASSANT) && theirs.test(passed);
        if (en_passant) theirs.clear(passed);
        if (kind == PieceType::King) {
            kc = col_of(m.to);
            kr = row_of(m.to);
        }
        const bool safe = !attacked(colors, kc, kr, ~turn_);
        if (en_passant) theirs.set(passed);
        if (took) theirs.set(m.to);
        mine.clear(m.to);
        mine.set(m.from);
        return safe;
    }

    // The legal move with the squares of m, if there is one.
    std::optional<EMove> find_legal(const Move& m) const {
        if (!board_.on_board(m.src.col, m.src.row) || !board_.on_board(m.dst.col, m.dst.row)) return std::nullopt;
        const uint32_t from = board_.index(m.src.col, m.src.row), to = board_.index(m.dst.col, m.dst.row);
        MoveList& buf = scratch_moves();
        Colors scratch = board_.color_bitboards;
        legal_moves_for_square(scratch, from, in_check(), buf);
        for (const EMove& e : buf)
            if (e.to == to) return e;
        return std::nullopt;
    }

    // ----- the move itself --------------------------------------------------------------------

    // Makes the move whole or not at all: the history's room is taken before anything changes,
    // so running out of memory leaves the game as it was.
    void apply(const Move& mv, uint32_t from, uint32_t to) {
        if (history_.size() == history_.capacity()) history_.reserve(std::max<size_t>(8, 2 * history_.size()));
        const Color us = turn_;
        const PieceType mover = *board_.kind_at(from);
        const auto captured = board_.piece_at(to);
        HistoryEntry h{ep_, mv, castling_, halfmove_, captured, fullmove_, king_[color_index(us)], 0, {}};
        auto change = [&](uint32_t sq, std::optional<Piece> p) {
            h.changes[h.change_count++] = SquareChange{static_cast<uint16_t>(sq), encode_piece(board_.piece_at(sq))};
            board_.remove(sq);
            if (p) board_.put(sq, *p);
        };

        const int fc = col_of(from), fr = row_of(from), tc = col_of(to), tr = row_of(to);
        const int last_row = us == Color::White ? height_ - 1 : 0;
        const bool en_passant = (mv.flags & EN_PASSANT) && mover == PieceType::Pawn && is_real_en_passant(board_, from, to, us);
        PieceType placed = mover;
        if ((mv.flags & PROMOTION) && mover == PieceType::Pawn && tr == last_row)
            placed = mv.promotion.value_or(PieceType::Queen);

        change(from, std::nullopt);
        change(to, Piece{us, placed});
        if (mover == PieceType::King) king_[color_index(us)] = Position{static_cast<uint64_t>(tc), static_cast<uint64_t>(tr)};
        if (en_passant) change(idx(tc, fr), std::nullopt);
        if ((mv.flags & CASTLING) && mover == PieceType::King) {
            const bool kingside = tc > fc;
            const uint32_t rook_from = idx(kingside ? width_ - 1 : 0, fr);
            if (auto rook = board_.piece_at(rook_from)) {
                const int rc = kingside ? tc - 1 : tc + 1;
                if (rc >= 0 && rc < width_) {
                    change(rook_from, std::nullopt);
                    change(idx(rc, tr), *rook);
                }
            }
        }

        if (mover == PieceType::King) {
            castling_[us == Color::White ? WHITE_KINGSIDE : BLACK_KINGSIDE] = false;
            castling_[us == Color::White ? WHITE_QUEENSIDE : BLACK_QUEENSIDE] = false;
        } else if (mover == PieceType::Rook) {
            clear_corner_rights(fc, fr);
        }
        clear_corner_rights(tc, tr);

        set_en_passant(std::nullopt);
        if (mover == PieceType::Pawn && std::abs(tr - fr) == 2)
            set_en_passant(Position{static_cast<uint64_t>(fc), static_cast<uint64_t>((fr + tr) / 2)});

        if (mover == PieceType::Pawn || captured) halfmove_ = 0;
        else if (halfmove_ < CLOCK_MAX) ++halfmove_;
        if (us == Color::Black && fullmove_ < CLOCK_MAX) ++fullmove_;

        history_.push_back(h);
        turn_ = ~us;
    }

    void clear_corner_rights(int c, int r) {
        if (c == 0 && r == 0) castling_[WHITE_QUEENSIDE] = false;
        if (c == width_ - 1 && r == 0) castling_[WHITE_KINGSIDE] = false;
        if (c == 0 && r == height_ - 1) castling_[BLACK_QUEENSIDE] = false;
        if (c == width_ - 1 && r == height_ - 1) castling_[BLACK_KINGSIDE] = false;
    }

    static void undo_squares(Board<NW>& b, const HistoryEntry& h) {
        for (int n = h.change_count; n-- > 0;) {
            const SquareChange& ch = h.changes[n];
            b.remove(ch.square);
            if (auto p = decode_piece(ch.prev)) b.put(ch.square, *p);
        }
    }

    // The 1.0 squares of the twelve piece planes of history step k, the own side first.
    template <class One>
    static void fill_chess_planes(One& one, const Board<NW>& b, Color own, size_t k, size_t area) {
        for (int c = 0; c < 2; ++c) {
            const bool is_own = (c == color_index(own));
            for (int t = 0; t < 6; ++t) {
                const size_t plane = (12 * k + (is_own ? 0 : 6) + t) * area;
                (b.piece_bitboards[t] & b.color_bitboards[c]).for_each([&](uint32_t i) { one(plane + i); });
            }
        }
    }
};

}  // namespace murkle
