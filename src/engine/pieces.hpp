#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "color.hpp"
#include "result.hpp"

namespace murkle {

enum class PieceType : uint8_t { Pawn = 0, Knight = 1, Bishop = 2, Rook = 3, Queen = 4, King = 5 };

constexpr int PIECE_TYPE_COUNT = 6;
constexpr std::array<PieceType, 6> ALL_PIECE_TYPES = {PieceType::Pawn,  PieceType::Knight,
                                                      PieceType::Bishop, PieceType::Rook,
                                                      PieceType::Queen, PieceType::King};

constexpr char piece_letter(PieceType t) { return "pnbrqk"[static_cast<int>(t)]; }

constexpr const char* piece_debug_name(PieceType t) {
    constexpr const char* names[] = {"Pawn", "Knight", "Bishop", "Rook", "Queen", "King"};
    return names[static_cast<int>(t)];
}

constexpr const char* piece_lower_name(PieceType t) {
    constexpr const char* names[] = {"pawn", "knight", "bishop", "rook", "queen", "king"};
    return names[static_cast<int>(t)];
}

// p, n, b, r, q, k in either case; the case gives the colour.
struct Piece;
constexpr std::optional<PieceType> piece_type_from_letter(char32_t c) {
    switch (c) {
        case 'p': case 'P': return PieceType::Pawn;
        case 'n': case 'N': return PieceType::Knight;
        case 'b': case 'B': return PieceType::Bishop;
        case 'r': case 'R': return PieceType::Rook;
        case 'q': case 'Q': return PieceType::Queen;
        case 'k': case 'K': return PieceType::King;
        default: return std::nullopt;
    }
}

// The text has already been lower-cased by the caller (Unicode lower-casing is the
// Python layer's job); only the exact short or long names are accepted.
inline Result<PieceType> piece_type_from_name(std::string_view lowered) {
    for (PieceType t : ALL_PIECE_TYPES) {
        if (lowered.size() == 1 && lowered[0] == piece_letter(t)) return t;
        if (lowered == piece_lower_name(t)) return t;
    }
    return fail("Invalid piece type");
}

struct Piece {
    Color color;
    PieceType piece_type;

    constexpr bool operator==(const Piece&) const = default;

    constexpr char symbol() const {
        char c = piece_letter(piece_type);
        return color == Color::White ? static_cast<char>(c - 'a' + 'A') : c;
    }
};

// A piece in one byte: its kind times two plus its colour's index; EMPTY_SQUARE for none.
constexpr uint8_t EMPTY_SQUARE = 0xFF;
constexpr uint8_t piece_code(Color c, PieceType t) {
    return static_cast<uint8_t>(static_cast<int>(t) * 2 + (c == Color::White ? 0 : 1));
}
constexpr uint8_t encode_piece(std::optional<Piece> p) { return p ? piece_code(p->color, p->piece_type) : EMPTY_SQUARE; }
constexpr std::optional<Piece> decode_piece(uint8_t v) {
    if (v == EMPTY_SQUARE) return std::nullopt;
    return Piece{(v & 1) ? Color::Black : Color::White, static_cast<PieceType>(v >> 1)};
}

}  // namespace murkle
