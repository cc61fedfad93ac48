#pragma once
// A game's whole state as bytes and back: board, side to move, rights, en-passant square,
// clocks, cached king squares and every history entry, so that a game read back equals the
// game written (FEN, history, hash, take-back) even after square edits. The reader checks
// every field and refuses bytes it could not have written.
#include <cstdint>
#include <string>
#include <string_view>

#include "game.hpp"

namespace murkle {

constexpr std::string_view GAME_BYTES_MAGIC = "MKG1";

class ByteWriter {
public:
    void raw(std::string_view s) { out_.append(s); }
    void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void u16(uint16_t v) { uint(v, 2); }
    void u32(uint32_t v) { uint(v, 4); }
    void u64(uint64_t v) { uint(v, 8); }
    void position(Position p) {
        u64(p.col);
        u64(p.row);
    }
    std::string take() { return std::move(out_); }

private:
    void uint(uint64_t v, int bytes) {
        for (int k = 0; k < bytes; ++k) out_.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
    }
    std::string out_;
};

class ByteReader {
public:
    explicit ByteReader(std::string_view in) : in_(in) {}
    bool ok() const { return ok_; }
    bool at_end() const { return pos_ == in_.size(); }
    bool raw(std::string_view expected) {
        if (in_.substr(pos_, expected.size()) != expected) return ok_ = false;
        pos_ += expected.size();
        return true;
    }
    uint8_t u8() { return static_cast<uint8_t>(uint(1)); }
    uint16_t u16() { return static_cast<uint16_t>(uint(2)); }
    uint32_t u32() { return static_cast<uint32_t>(uint(4)); }
    uint64_t u64() { return uint(8); }
    Position position() {
        const uint64_t col = u64();
        return Position{col, u64()};
    }
    bool boolean() {
        const uint8_t v = u8();
        if (v > 1) ok_ = false;
        return v == 1;
    }
    // A count of items that each take at least `item_bytes`: no more than the bytes left.
    uint64_t count(uint64_t item_bytes) {
        const uint64_t n = u32();
        if (n > (in_.size() - pos_) / item_bytes) ok_ = false;
        return ok_ ? n : 0;
    }
    void fail() { ok_ = false; }

private:
    uint64_t uint(int bytes) {
        if (!ok_ || in_.size() - pos_ < static_cast<size_t>(bytes)) {
            ok_ = false;
            return 0;
        }
        uint64_t v = 0;
        for (int k = 0; k < bytes; ++k) v |= static_cast<uint64_t>(static_cast<uint8_t>(in_[pos_ + k])) << (8 * k);
        pos_ += bytes;
        return v;
    }
    std::string_view in_;
    size_t pos_ = 0;
    bool ok_ = true;
};

template <int NW>
struct GameCodec {
    static constexpr size_t HISTORY_ENTRY_BYTES = 1 + 16 + 16 + 16 + 2 + 4 + 4 + 1 + 4 + 16 + 1 + 5 * 3;

    static std::string write(const Game<NW>& g) {
        ByteWriter w;
        w.raw(GAME_BYTES_MAGIC);
        w.u16(static_cast<uint16_t>(g.width_));
        w.u16(static_cast<uint16_t>(g.height_));
        w.u8(g.castling_enabled_);
        w.u8(g.turn_ == Color::White ? 0 : 1);
        for (bool r : g.castling_) w.u8(r);
        optional_position(w, g.ep_);
        w.u32(g.halfmove_);
        w.u32(g.fullmove_);
        w.position(g.king_[0]);
        w.position(g.king_[1]);
        const uint32_t area = static_cast<uint32_t>(g.width_ * g.height_);
        for (uint32_t i = 0; i < area; ++i) w.u8(encode_piece(g.board_.piece_at(i)));
        w.u32(static_cast<uint32_t>(g.history_.size()));
        for (const HistoryEntry& h : g.history_) {
            optional_position(w, h.prev_en_passant_square);
            w.position(h.mv.src);
            w.position(h.mv.dst);
            w.u8(h.mv.flags);
            w.u8(h.mv.promotion ? static_cast<uint8_t>(*h.mv.promotion) : NO_PROMOTION);
            for (bool r : h.prev_castling_rights) w.u8(r);
            w.u32(h.prev_halfmove_clock);
            w.u8(encode_piece(h.captured));
            w.u32(h.prev_fullmove_number);
            w.position(h.prev_king);
            w.u8(h.change_count);
            for (const SquareChange& c : h.changes) {
                w.u16(c.square);
                w.u8(c.prev);
            }
        }
        return w.take();
    }

    // The game the bytes hold; they must be of this size class.
    static Result<Game<NW>> read(std::string_view bytes) {
        const auto bad = [] { return Result<Game<NW>>(fail("Invalid game bytes")); };
        ByteReader r(bytes);
        if (!r.raw(GAME_BYTES_MAGIC)) return bad();
        const uint64_t width = r.u16(), height = r.u16();
        if (!r.ok() || width < 1 || height < 1 || height > MAX_ROWS || width * height > 64u * NW ||
            width * height <= 64u * (NW - 1))
            return bad();
        Game<NW> g;
        g.board_ = Board<NW>::empty(width, height);
        g.width_ = static_cast<int>(width);
        g.height_ = static_cast<int>(height);
        const uint32_t area = static_cast<uint32_t>(width * height);
        g.castling_enabled_ = r.boolean();
        g.turn_ = r.boolean() ? Color::Black : Color::White;
        for (bool& c : g.castling_) c = r.boolean();
        g.set_en_passant(read_optional_position(r));
        g.halfmove_ = r.u32();
        g.fullmove_ = r.u32();
        for (Position& k : g.king_) {
            k = r.position();
            if (!g.board_.on_board(k.col, k.row)) r.fail();
        }
        for (uint32_t i = 0; i < area; ++i) {
            const uint8_t code = r.u8();
            if (!valid_piece_code(code)) r.fail();
            else if (auto p = decode_piece(code)) g.board_.put(i, *p);
        }
        const uint64_t entries = r.count(HISTORY_ENTRY_BYTES);
        g.history_.reserve(entries);
        for (uint64_t n = 0; n < entries && r.ok(); ++n) {
            HistoryEntry h{};
            h.prev_en_passant_square = read_optional_position(r);
            h.mv.src = r.position();
            h.mv.dst = r.position();
            h.mv.flags = r.u8();
            const uint8_t promo = r.u8();
            if (promo != NO_PROMOTION) {
                if (promo > static_cast<uint8_t>(PieceType::King)) r.fail();
                h.mv.promotion = static_cast<PieceType>(promo);
            }
            for (bool& c : h.prev_castling_rights) c = r.boolean();
            h.prev_halfmove_clock = r.u32();
            const uint8_t captured = r.u8();
            if (!valid_piece_code(captured)) r.fail();
            h.captured = decode_piece(captured);
            h.prev_fullmove_number = r.u32();
            h.prev_king = r.position();
            if (!g.board_.on_board(h.prev_king.col, h.prev_king.row)) r.fail();
            h.change_count = r.u8();
            if (h.change_count > h.changes.size()) r.fail();
            for (SquareChange& c : h.changes) {
                c.square = r.u16();
                c.prev = r.u8();
                if (c.square >= area || !valid_piece_code(c.prev)) r.fail();
            }
            g.history_.push_back(h);
        }
        if (!r.ok() || !r.at_end()) return bad();
        g.geo_ = Geometry<NW>::of(g.width_, g.height_);
        return g;
    }

private:
    static bool valid_piece_code(uint8_t code) { return code == EMPTY_SQUARE || code < 12; }

    static void optional_position(ByteWriter& w, const std::optional<Position>& p) {
        w.u8(p.has_value());
        w.position(p.value_or(Position{}));
    }
    static std::optional<Position> read_optional_position(ByteReader& r) {
        const bool present = r.boolean();
        const Position p = r.position();
        if (!present) return std::nullopt;
        return p;
    }
};

template <int NW>
std::string write_game(const Game<NW>& g) {
    return GameCodec<NW>::write(g);
}

}  // namespace murkle
