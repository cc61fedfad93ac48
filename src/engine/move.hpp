#pragma once
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "pieces.hpp"
#include "position.hpp"
#include "result.hpp"

namespace murkle {

enum MoveFlag : uint8_t {
    CAPTURE = 1,
    DOUBLE_PUSH = 2,
    EN_PASSANT = 4,
    CASTLING = 8,
    PROMOTION = 16,
};

struct Move {
    Position src;
    Position dst;
    uint8_t flags = 0;
    std::optional<PieceType> promotion;

    constexpr bool operator==(const Move&) const = default;
};

// Source and destination square texts, then the promotion letter if a kind is present.
inline std::string to_lan(const Move& m) {
    std::string s = square_text(m.src) + square_text(m.dst);
    if (m.promotion) s += piece_letter(*m.promotion);
    return s;
}

// Reads the short form: two two-character squares and an optional promotion letter.
inline Result<Move> from_lan(std::string_view text, uint64_t width, uint64_t height) {
    if (text.size() < 4) return fail("Invalid LAN move");
    // A non-ASCII byte among the first four is rejected by the square reader itself: a lead
    // byte is never a file letter or a digit, so a split character is never read.
    auto src = from_algebraic(text.substr(0, 2));
    if (!src) return fail(src.error());
    auto dst = from_algebraic(text.substr(2, 2));
    if (!dst) return fail(dst.error());
    Position s = src.value(), d = dst.value();
    if (s.col >= width || s.row >= height || d.col >= width || d.row >= height)
        return fail("Move positions out of bounds");
    Move m{s, d, 0, std::nullopt};
    if (text.size() == 4) return m;
    switch (text[4]) {
        case 'n': m.promotion = PieceType::Knight; break;
        case 'b': m.promotion = PieceType::Bishop; break;
        case 'r': m.promotion = PieceType::Rook; break;
        case 'q': m.promotion = PieceType::Queen; break;
        default: return fail("Invalid promotion piece");
    }
    m.flags = PROMOTION;
    return m;
}

// The engine's own compact move: square indices on a board of known width.
constexpr uint8_t NO_PROMOTION = 0xFF;

struct EMove {
    uint16_t from;
    uint16_t to;
    uint8_t flags;
    uint8_t promo;  // PieceType code, or NO_PROMOTION

    constexpr bool operator==(const EMove&) const = default;

    Move to_move(uint64_t width) const {
        Move m{{from % width, from / width}, {to % width, to / width}, flags, std::nullopt};
        if (promo != NO_PROMOTION) m.promotion = static_cast<PieceType>(promo);
        return m;
    }
};

// A growable list of engine moves whose appends skip the capacity test: a generator first
// asks for room for every move a piece can have, then appends without checks.
class MoveList {
public:
    MoveList() = default;
    MoveList(MoveList&&) noexcept = default;
    MoveList& operator=(MoveList&&) noexcept = default;

    void clear() { size_ = 0; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    EMove& operator[](size_t i) { return data_[i]; }
    const EMove& operator[](size_t i) const { return data_[i]; }
    const EMove* begin() const { return data_.get(); }
    const EMove* end() const { return data_.get() + size_; }

    void reserve_more(size_t n) {
        if (size_ + n <= capacity_) return;
        size_t capacity = std::max(size_ + n, 2 * capacity_);
        std::unique_ptr<EMove[]> data(new EMove[capacity]);
        std::copy(begin(), end(), data.get());
        data_ = std::move(data);
        capacity_ = capacity;
    }
    void push_unchecked(const EMove& m) { data_[size_++] = m; }
    void truncate(size_t n) { size_ = n; }

private:
    std::unique_ptr<EMove[]> data_;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace murkle
