// Game: one engine game in its size class. Each method is one visit of the held game.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "classes.hpp"
#include "engine/siphash.hpp"

namespace murkle::py {

namespace {

constexpr Text SIGNATURE = "Game(width, height, fen, castling_enabled)";

template <class F>
decltype(auto) on(const GameObj& self, F&& f) {
    return std::visit(std::forward<F>(f), self.value);
}
template <class F>
decltype(auto) on(GameObj& self, F&& f) {
    return std::visit(std::forward<F>(f), self.value);
}

// ------------------------------------------------------------------ creation

PyObject* create(uint64_t width, uint64_t height, std::string_view fen, bool castling_enabled) {
    auto game = make_game_inner(width, height, fen, castling_enabled);
    if (!game) return raise_value_error(game.error());
    return GameObj::make(game.take());
}

PyObject* standard() {
    auto game = Game<1>::from_fen(8, 8, STANDARD_FEN, true);
    if (!game) return raise_panic("Failed to create standard game");
    return GameObj::make(GameVariant(std::in_place_type<Game<1>>, game.take()));
}

PyObject* clone(const GameObj& self) { return GameObj::make(self.value); }

// ------------------------------------------------------------------ state

PyObject* turn(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py_color(g.turn()); });
}
PyObject* fullmove_number(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py_u64(g.fullmove_number()); });
}
PyObject* halfmove_clock(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py_u64(g.halfmove_clock()); });
}
PyObject* castling_enabled(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py(g.castling_enabled()); });
}

// 1 asks for White's right; every other value for Black's.
Color rights_owner(int8_t color) { return color == 1 ? Color::White : Color::Black; }

PyObject* has_kingside_castling_rights(const GameObj& self, int8_t color) {
    return on(self, [&](const auto& g) { return to_py(g.has_kingside_castling_rights(rights_owner(color))); });
}
PyObject* has_queenside_castling_rights(const GameObj& self, int8_t color) {
    return on(self, [&](const auto& g) { return to_py(g.has_queenside_castling_rights(rights_owner(color))); });
}

PyObject* width(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py_u64(g.width()); });
}
PyObject* height(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py_u64(g.height()); });
}

PyObject* get_piece(const GameObj& self, uint64_t col, uint64_t row) {
    return on(self, [&](const auto& g) { return to_py_piece(g.get_piece(col, row)); });
}

PyObject* set_piece(GameObj& self, uint64_t col, uint64_t row, std::optional<Piece> piece) {
    on(self, [&](auto& g) { g.set_piece(col, row, piece); });
    Py_RETURN_NONE;
}

PyObject* en_passant_square(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py_optional(g.en_passant_square(), to_py_position); });
}

PyObject* name(const GameObj& self) {
    return on(self, [](const auto& g) {
        return to_py_str("chess_" + std::to_string(g.width()) + "x" + std::to_string(g.height()));
    });
}

PyObject* to_fen(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py_str(g.to_fen()); });
}

// ------------------------------------------------------------------ play

PyObject* make_move(GameObj& self, Move move_) {
    return on(self, [&](auto& g) { return to_py(g.make_move(move_)); });
}
PyObject* unmake_move(GameObj& self) {
    return on(self, [](auto& g) { return to_py(g.unmake_move()); });
}
PyObject* is_legal_move(const GameObj& self, Move move_) {
    return on(self, [&](const auto& g) { return to_py(g.is_legal_move(move_)); });
}
PyObject* legal_moves(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py_moves(g.legal_moves()); });
}
PyObject* psuedo_legal_moves(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py_moves(g.pseudo_legal_moves()); });
}
PyObject* legal_moves_for_position(const GameObj& self, uint64_t col, uint64_t row) {
    return on(self, [&](const auto& g) { return to_py_moves(g.legal_moves_for_position(col, row)); });
}
PyObject* move_from_lan(const GameObj& self, std::string_view lan) {
    return on(self, [&](const auto& g) -> PyObject* {
        auto m = g.move_from_lan(lan);
        if (!m) return raise_value_error(m.error());
        return to_py_move(m.value());
    });
}
PyObject* has_legal_en_passant(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py(g.has_legal_en_passant()); });
}

// ------------------------------------------------------------------ end of the game

PyObject* is_check(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py(g.is_check()); });
}
PyObject* is_checkmate(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py(g.is_checkmate()); });
}
PyObject* is_stalemate(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py(g.is_stalemate()); });
}
PyObject* is_over(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py(g.is_over()); });
}
PyObject* is_insufficient_material(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py(g.is_insufficient_material()); });
}
PyObject* outcome(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py_optional(g.outcome(), to_py_outcome); });
}
PyObject* reward_absolute(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py_float(g.reward_absolute()); });
}
PyObject* reward_from_perspective(const GameObj& self, int8_t perspective) {
    return on(self, [&](const auto& g) -> PyObject* {
        auto v = g.reward_from_perspective(perspective);
        if (!v) return raise_panic("Invalid perspective");
        return to_py_float(*v);
    });
}

// ------------------------------------------------------------------ actions and planes

PyObject* legal_action_indices(const GameObj& self) {
    return on(self, [](const auto& g) -> PyObject* {
        // Straight from the game's remembered list: every legal move has a plane.
        const LegalView legal = g.legal();
        const Py_ssize_t n = std::count_if(legal.planes, legal.planes + legal.size,
                                           [](uint32_t p) { return p != NO_PLANE; });
        Ref list(PyList_New(n));
        if (!list) return nullptr;
        Py_ssize_t i = 0;
        for (size_t k = 0; k < legal.size; ++k) {
            if (legal.planes[k] == NO_PLANE) continue;
            PyObject* v = PyLong_FromUnsignedLong(legal.planes[k]);
            if (!v) return nullptr;
            PyList_SET_ITEM(list.get(), i++, v);
        }
        return list.release();
    });
}
PyObject* apply_action(GameObj& self, uint64_t action) {
    return on(self, [&](auto& g) { return to_py(g.apply_action(action)); });
}
PyObject* decode_action(const GameObj& self, uint64_t action) {
    return on(self, [&](const auto& g) { return to_py_optional(g.decode_action(action), to_py_move); });
}
PyObject* action_size(const GameObj& self) {
    return on(self, [](const auto& g) { return to_py_u64(g.action_size()); });
}
PyObject* get_move_planes_count(uint64_t width, uint64_t height) {
    return to_py_u128(move_planes_count(width, height));
}
PyObject* board_shape(const GameObj& self) {
    return on(self, [](const auto& g) { return Py_BuildValue("(KK)", g.height(), g.width()); });
}
PyObject* input_plane_count(const GameObj&) { return PyLong_FromLong(TOTAL_INPUT_PLANES); }

// The few distinct plane values (0, 1, the two clock fractions) as shared float objects: one
// object per value, not one per square. Uses are counted and become references at the end.
class FloatPool {
public:
    struct Entry {
        uint32_t bits;
        PyObject* object;
        Py_ssize_t uses;
    };

    ~FloatPool() {
        for (size_t i = 0; i < count_; ++i) Py_DECREF(entries_[i].object);
    }

    // The entry of `v`, made on first use; nullptr on failure.
    Entry* find(float v) {
        const uint32_t bits = std::bit_cast<uint32_t>(v);
        for (size_t i = 0; i < count_; ++i)
            if (entries_[i].bits == bits) return &entries_[i];
        if (count_ == entries_.size()) {  // never: the planes hold few distinct values
            PyErr_SetString(PyExc_RuntimeError, "too many distinct plane values");
            return nullptr;
        }
        PyObject* o = PyFloat_FromDouble(static_cast<double>(v));
        if (o == nullptr) return nullptr;
        entries_[count_] = Entry{bits, o, 0};
        return &entries_[count_++];
    }

    // Gives each object one reference per recorded use (the list holding them owns those).
    void commit() {
        for (size_t i = 0; i < count_; ++i) {
            Py_SET_REFCNT(entries_[i].object, Py_REFCNT(entries_[i].object) + entries_[i].uses);
            entries_[i].uses = 0;
        }
    }

private:
    std::array<Entry, 64> entries_{};
    size_t count_ = 0;
};

PyObject* encode_game_planes(GameObj& self) {
    const uint64_t width = on(self, [](const auto& g) { return g.width(); });
    const uint64_t height = on(self, [](const auto& g) { return g.height(); });
    const Py_ssize_t area = static_cast<Py_ssize_t>(width * height);
    const Py_ssize_t n = TOTAL_INPUT_PLANES * area;
    FloatPool pool;
    FloatPool::Entry* zero = pool.find(0.0f);
    FloatPool::Entry* one = pool.find(1.0f);
    if (zero == nullptr || one == nullptr) return nullptr;
    Ref list(PyList_New(n));
    if (!list) return nullptr;
    PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
    // Every square starts at 0.0; the engine names the others.
    std::fill(items, items + n, zero->object);
    zero->uses = n;
    bool failed = false;
    on(self, [&](const auto& g) {
        g.visit_game_planes(
            [&](size_t offset) {
                items[offset] = one->object;
                ++one->uses;
                --zero->uses;
            },
            [&](int plane, float v) {
                FloatPool::Entry* e = pool.find(v);
                if (e == nullptr) {
                    failed = true;
                    return;
                }
                std::fill(items + plane * area, items + (plane + 1) * area, e->object);
                e->uses += area;
                zero->uses -= area;
            });
    });
    if (failed) {
        std::fill(items, items + n, nullptr);  // the items own nothing yet
        return nullptr;
    }
    pool.commit();
    return Py_BuildValue("(NiKK)", list.release(), TOTAL_INPUT_PLANES, height, width);
}

// ------------------------------------------------------------------ slots

PyObject* str(const GameObj& self) {
    return on(self, [](const auto& g) {
        auto o = g.outcome();
        std::string s = "Game(current_player: ";
        s += color_name(g.turn());
        s += ", is_over: ";
        s += g.is_over() ? "true" : "false";
        s += ", outcome: ";
        s += o ? std::string("Some(") + outcome_variant_name(*o) + ")" : std::string("None");
        s += ")\n";
        s += g.board().picture();
        return to_py_str(s);
    });
}

PyObject* repr(const GameObj& self) {
    return on(self, [](const auto& g) {
        return to_py_str("Game(width=" + std::to_string(g.width()) + ", height=" + std::to_string(g.height()) +
                         ", turn=" + color_name(g.turn()) + ", over=" + (g.is_over() ? "true" : "false") + ")");
    });
}

Py_hash_t hash(const GameObj& self) {
    return on(self, [](const auto& g) { return static_cast<Py_hash_t>(python_hash(g.hash())); });
}

PyMethodDef methods[] = {
    method<GameObj, "standard()", standard>(),
    method<GameObj, "turn($self)", turn>(),
    method<GameObj, "fullmove_number($self)", fullmove_number>(),
    method<GameObj, "halfmove_clock($self)", halfmove_clock>(),
    method<GameObj, "castling_enabled($self)", castling_enabled>(),
    method<GameObj, "has_kingside_castling_rights($self, color)", has_kingside_castling_rights>(),
    method<GameObj, "has_queenside_castling_rights($self, color)", has_queenside_castling_rights>(),
    method<GameObj, "make_move($self, move_)", make_move>(),
    method<GameObj, "unmake_move($self)", unmake_move>(),
    method<GameObj, "is_legal_move($self, move_)", is_legal_move>(),
    method<GameObj, "legal_moves($self)", legal_moves>(),
    method<GameObj, "psuedo_legal_moves($self)", psuedo_legal_moves>(),
    method<GameObj, "legal_moves_for_position($self, col, row)", legal_moves_for_position>(),
    method<GameObj, "move_from_lan($self, lan)", move_from_lan>(),
    method<GameObj, "is_check($self)", is_check>(),
    method<GameObj, "is_checkmate($self)", is_checkmate>(),
    method<GameObj, "is_stalemate($self)", is_stalemate>(),
    method<GameObj, "is_over($self)", is_over>(),
    method<GameObj, "width($self)", width>(),
    method<GameObj, "height($self)", height>(),
    method<GameObj, "get_piece($self, col, row)", get_piece>(),
    method<GameObj, "set_piece($self, col, row, piece)", set_piece>(),
    method<GameObj, "legal_action_indices($self)", legal_action_indices>(),
    method<GameObj, "apply_action($self, action)", apply_action>(),
    method<GameObj, "action_size($self)", action_size>(),
    method<GameObj, "board_shape($self)", board_shape>(),
    method<GameObj, "input_plane_count($self)", input_plane_count>(),
    method<GameObj, "reward_absolute($self)", reward_absolute>(),
    method<GameObj, "reward_from_perspective($self, perspective)", reward_from_perspective>(),
    method<GameObj, "name($self)", name>(),
    method<GameObj, "is_insufficient_material($self)", is_insufficient_material>(),
    method<GameObj, "has_legal_en_passant($self)", has_legal_en_passant>(),
    method<GameObj, "en_passant_square($self)", en_passant_square>(),
    method<GameObj, "outcome($self)", outcome>(),
    method<GameObj, "to_fen($self)", to_fen>(),
    method<GameObj, "clone($self)", clone>(),
    method<GameObj, "encode_game_planes($self)", encode_game_planes>(),
    method<GameObj, "get_move_planes_count(width, height)", get_move_planes_count>(),
    method<GameObj, "decode_action($self, action)", decode_action>(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(SignatureText<SIGNATURE>::doc.data())},
    {Py_tp_new, slot(constructor<GameObj, SIGNATURE, create>)},
    {Py_tp_dealloc, slot(GameObj::dealloc)},
    {Py_tp_str, slot(unary_slot<GameObj, str>)},
    {Py_tp_repr, slot(unary_slot<GameObj, repr>)},
    {Py_tp_hash, slot(hash_slot<GameObj, hash>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyTypeObject* create_game_type() { return create_type<GameObj>("builtins.Game", slots); }

}  // namespace murkle::py
