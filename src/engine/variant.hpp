#pragma once
// The sixteen size classes: a game or board holds exactly one of them for its lifetime.
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "board.hpp"
#include "game.hpp"

namespace murkle {

template <template <int> class T, class Seq>
struct SizeClassVariant;
template <template <int> class T, int... I>
struct SizeClassVariant<T, std::integer_sequence<int, I...>> {
    using type = std::variant<T<I + 1>...>;
};

using GameVariant = SizeClassVariant<Game, std::make_integer_sequence<int, 16>>::type;
using BoardVariant = SizeClassVariant<Board, std::make_integer_sequence<int, 16>>::type;

// ceil(width * height / 64), exact for any 64-bit width and height.
inline unsigned __int128 size_class(uint64_t width, uint64_t height) {
    return (static_cast<unsigned __int128>(width) * height + 63) / 64;
}

// Calls f(std::integral_constant<int, NW>) for NW in 1..16.
template <class F>
decltype(auto) with_size_class(int nw, F&& f) {
    using R = decltype(f(std::integral_constant<int, 1>{}));
    R result{};
    [&]<int... I>(std::integer_sequence<int, I...>) {
        ((nw == I + 1 ? (void)(result = f(std::integral_constant<int, I + 1>{})) : void()), ...);
    }(std::make_integer_sequence<int, 16>{});
    return result;
}

inline Result<GameVariant> make_game_inner(uint64_t width, uint64_t height, std::string_view fen,
                                           bool castling_enabled) {
    const auto nw = size_class(width, height);
    if (nw == 0 || nw > 16) return fail("NW out of range: " + u128_to_string(nw));
    return with_size_class(static_cast<int>(nw), [&](auto NW) -> std::optional<Result<GameVariant>> {
               auto g = Game<NW()>::from_fen(width, height, fen, castling_enabled);
               if (!g) return Result<GameVariant>(fail(g.error()));
               return Result<GameVariant>(GameVariant(std::in_place_type<Game<NW()>>, g.take()));
           })
        .value();
}

// The placement reader of the board's size class; width and height are checked by the caller.
inline Result<BoardVariant> make_board_inner(uint64_t width, uint64_t height, std::string_view placement) {
    const auto nw = size_class(width, height);
    if (nw == 0 || nw > 16) return fail("NW out of range: " + u128_to_string(nw));
    return with_size_class(static_cast<int>(nw), [&](auto NW) -> std::optional<Result<BoardVariant>> {
               auto b = Board<NW()>::from_fen(width, height, placement);
               if (!b) return Result<BoardVariant>(fail(b.error()));
               return Result<BoardVariant>(BoardVariant(std::in_place_type<Board<NW()>>, b.take()));
           })
        .value();
}

// Caller guarantees 1 <= width * height <= 1024.
inline BoardVariant make_empty_board(uint64_t width, uint64_t height) {
    return with_size_class(static_cast<int>(size_class(width, height)), [&](auto NW) -> std::optional<BoardVariant> {
               return BoardVariant(std::in_place_type<Board<NW()>>, Board<NW()>::empty(width, height));
           })
        .value();
}

}  // namespace murkle
