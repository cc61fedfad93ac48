// Move: two squares, flags and an optional promotion kind; equal and hashed by value.
#include <string>

#include "classes.hpp"
#include "engine/encode/action.hpp"
#include "engine/siphash.hpp"

namespace murkle::py {

namespace {

PyObject* from_rowcol(uint64_t src_col, uint64_t src_row, uint64_t dst_col, uint64_t dst_row) {
    return to_py_move(Move{{src_col, src_row}, {dst_col, dst_row}, 0, std::nullopt});
}

PyObject* from_lan(PyTypeObject*, std::string_view lan, uint64_t board_width, uint64_t board_height) {
    auto m = murkle::from_lan(lan, board_width, board_height);
    if (!m) return raise_value_error(m.error());
    return to_py_move(m.value());
}

PyObject* src_square(const MoveObj& self) { return to_py_square(self.value.src); }
PyObject* dst_square(const MoveObj& self) { return to_py_square(self.value.dst); }

// The flag, not the stored kind, decides whether there is a letter.
PyObject* promotion(const MoveObj& self) {
    const Move& m = self.value;
    if (!(m.flags & PROMOTION)) Py_RETURN_NONE;
    char letter = 'q';
    if (m.promotion == PieceType::Knight || m.promotion == PieceType::Bishop || m.promotion == PieceType::Rook)
        letter = piece_letter(*m.promotion);
    return to_py_str(std::string(1, letter));
}

PyObject* to_lan(const MoveObj& self) { return to_py_str(murkle::to_lan(self.value)); }

PyObject* encode(const MoveObj& self, uint64_t width, uint64_t height) {
    return to_py_optional(encode_move(self.value, width, height), to_py_u128);
}

PyObject* decode_from_plane(uint64_t plane_idx, uint64_t src_col, uint64_t src_row, uint64_t width,
                            uint64_t height) {
    return to_py_optional(murkle::decode_from_plane(plane_idx, src_col, src_row, width, height), to_py_move);
}

PyObject* repr(const MoveObj& self) { return to_py_str("Move(" + murkle::to_lan(self.value) + ")"); }

// The four coordinates only: flags and promotion kind are not hashed.
Py_hash_t hash(const MoveObj& self) {
    HashBytes bytes;
    bytes.u64(self.value.src.col);
    bytes.u64(self.value.src.row);
    bytes.u64(self.value.dst.col);
    bytes.u64(self.value.dst.row);
    return static_cast<Py_hash_t>(python_hash(bytes.finish()));
}

PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    if (!MoveObj::check(other) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = MoveObj::cast(self).value == MoveObj::cast(other).value;
    return to_py(op == Py_EQ ? equal : !equal);
}

PyMethodDef methods[] = {
    method<MoveObj, "from_rowcol(src_col, src_row, dst_col, dst_row)", from_rowcol>(),
    method<MoveObj, "from_lan($cls, lan, board_width, board_height)", from_lan>(),
    method<MoveObj, "src_square($self)", src_square>(),
    method<MoveObj, "dst_square($self)", dst_square>(),
    method<MoveObj, "promotion($self)", promotion>(),
    method<MoveObj, "to_lan($self)", to_lan>(),
    method<MoveObj, "encode($self, width, height)", encode>(),
    method<MoveObj, "decode_from_plane(plane_idx, src_col, src_row, width, height)", decode_from_plane>(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, slot(MoveObj::dealloc)},
    {Py_tp_str, slot(unary_slot<MoveObj, to_lan>)},
    {Py_tp_repr, slot(unary_slot<MoveObj, repr>)},
    {Py_tp_hash, slot(hash_slot<MoveObj, hash>)},
    {Py_tp_richcompare, slot(richcompare)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyTypeObject* create_move_type() {
    return create_type<MoveObj>("builtins.Move", slots, Py_TPFLAGS_DISALLOW_INSTANTIATION);
}

}  // namespace murkle::py
