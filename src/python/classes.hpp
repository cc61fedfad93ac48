#pragma once
// The six classes of the module: their object layouts, their creation, and the conversions
// of engine values into new Python objects that the class files share.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "engine/encode/values.hpp"
#include "engine/move.hpp"
#include "engine/pieces.hpp"
#include "engine/position.hpp"
#include "engine/variant.hpp"
#include "instances/games.hpp"

namespace murkle::py {

inline constexpr char BOARD_NAME[] = "Board";
inline constexpr char GAME_NAME[] = "Game";
inline constexpr char MOVE_NAME[] = "Move";
inline constexpr char PIECE_NAME[] = "Piece";
inline constexpr char POSITION_NAME[] = "Position";
inline constexpr char OUTCOME_NAME[] = "GameOutcome";

using BoardObj = Object<BoardVariant, BOARD_NAME>;
using GameObj = Object<GameVariant, GAME_NAME>;
using MoveObj = Object<Move, MOVE_NAME>;
using PieceObj = Object<Piece, PIECE_NAME>;
using PositionObj = Object<Position, POSITION_NAME>;
using OutcomeObj = Object<GameOutcome, OUTCOME_NAME>;

// Each creates its class (named "builtins.X") and records it in X::type; nullptr on failure.
PyTypeObject* create_board_type();
PyTypeObject* create_game_type();
PyTypeObject* create_move_type();
PyTypeObject* create_piece_type();
PyTypeObject* create_position_type();
PyTypeObject* create_outcome_type();

// Makes class O from its slots (kept alive by the caller) under the name "builtins.X".
template <class O>
PyTypeObject* create_type(const char* qualified_name, PyType_Slot* slots, unsigned long extra_flags = 0) {
    PyType_Spec type_shape{qualified_name, static_cast<int>(sizeof(O)), 0,
                           static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | extra_flags),
                           slots};
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_shape));
    if (type == nullptr) return nullptr;
    // The class text carries only the constructor's signature, not a docstring.
    if (PyDict_SetItemString(type->tp_dict, "__doc__", Py_None) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    PyType_Modified(type);
    O::type = type;
    return type;
}

// A function pointer as a type slot value.
template <class F>
void* slot(F* f) {
    return reinterpret_cast<void*>(f);
}

// Parameters of class types: a Move argument, and a Piece argument that may be None.
template <>
struct ConverterFor<Move> {
    using type = ObjectConverter<MoveObj>;
};
template <>
struct ConverterFor<std::optional<Piece>> {
    using type = OptionalObjectConverter<PieceObj>;
};

// ------------------------------------------------------------------ results

inline PyObject* to_py(bool v) { return PyBool_FromLong(v); }
inline PyObject* to_py_u64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* to_py_float(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_py_color(Color c) { return PyLong_FromLong(static_cast<int>(c)); }
inline PyObject* to_py_str(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// An exact Python int of an unsigned 128-bit value.
PyObject* to_py_u128(unsigned __int128 v);

// (col, row)
PyObject* to_py_square(Position p);

inline PyObject* to_py_move(const Move& m) { return MoveObj::make(m); }
inline PyObject* to_py_position(Position p) { return PositionObj::make(p); }
inline PyObject* to_py_outcome(GameOutcome o) { return OutcomeObj::make(o); }

template <class T, class F>
PyObject* to_py_optional(const std::optional<T>& v, F&& convert) {
    if (!v) Py_RETURN_NONE;
    return convert(*v);
}
inline PyObject* to_py_piece(const std::optional<Piece>& p) {
    return to_py_optional(p, [](Piece v) { return PieceObj::make(v); });
}

// A new list of new Move objects, in the given order.
PyObject* to_py_moves(const std::vector<Move>& moves);

inline PyObject* none() { Py_RETURN_NONE; }

// Board size check of the Board constructors (width first).
bool check_board_size(uint64_t width, uint64_t height);

}  // namespace murkle::py
