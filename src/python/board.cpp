// Board: a bare board of 1..32 by 1..32 squares in its size class; compared by identity.
#include <string>
#include <variant>

#include "classes.hpp"

namespace murkle::py {

namespace {

constexpr Text SIGNATURE = "Board(width, height, fen)";

PyObject* create(uint64_t width, uint64_t height, std::string_view fen) {
    if (!check_board_size(width, height)) return nullptr;
    auto board = make_board_inner(width, height, fen);
    if (!board) return raise_value_error(board.error());
    return BoardObj::make(board.take());
}

PyObject* standard() {
    auto board = make_board_inner(8, 8, STANDARD_PLACEMENT);
    if (!board) return raise_panic("Failed to create standard board");
    return BoardObj::make(board.take());
}

PyObject* empty(uint64_t width, uint64_t height) {
    if (!check_board_size(width, height)) return nullptr;
    return BoardObj::make(make_empty_board(width, height));
}

PyObject* to_fen(const BoardObj& self) {
    return std::visit([](const auto& b) { return to_py_str(b.to_fen()); }, self.value);
}

PyObject* clear(BoardObj& self) {
    std::visit([](auto& b) { b.clear(); }, self.value);
    Py_RETURN_NONE;
}

PyObject* width(const BoardObj& self) {
    return std::visit([](const auto& b) { return to_py_u64(b.width); }, self.value);
}

PyObject* height(const BoardObj& self) {
    return std::visit([](const auto& b) { return to_py_u64(b.height); }, self.value);
}

PyObject* get_piece(const BoardObj& self, uint64_t col, uint64_t row) {
    return std::visit([&](const auto& b) { return to_py_piece(b.get_piece(col, row)); }, self.value);
}

PyObject* set_piece(BoardObj& self, uint64_t col, uint64_t row, std::optional<Piece> piece) {
    std::visit([&](auto& b) { b.set_piece(col, row, piece); }, self.value);
    Py_RETURN_NONE;
}

PyObject* str(const BoardObj& self) {
    return std::visit([](const auto& b) { return to_py_str(b.picture()); }, self.value);
}

PyObject* repr(const BoardObj& self) {
    return std::visit(
        [](const auto& b) {
            return to_py_str("Board(width=" + std::to_string(b.width) + ", height=" + std::to_string(b.height) + ")");
        },
        self.value);
}

PyMethodDef methods[] = {
    method<BoardObj, "standard()", standard>(),
    method<BoardObj, "empty(width, height)", empty>(),
    method<BoardObj, "to_fen($self)", to_fen>(),
    method<BoardObj, "clear($self)", clear>(),
    method<BoardObj, "width($self)", width>(),
    method<BoardObj, "height($self)", height>(),
    method<BoardObj, "get_piece($self, col, row)", get_piece>(),
    method<BoardObj, "set_piece($self, col, row, piece)", set_piece>(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(SignatureText<SIGNATURE>::doc.data())},
    {Py_tp_new, slot(constructor<BoardObj, SIGNATURE, create>)},
    {Py_tp_dealloc, slot(BoardObj::dealloc)},
    {Py_tp_str, slot(unary_slot<BoardObj, str>)},
    {Py_tp_repr, slot(unary_slot<BoardObj, repr>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyTypeObject* create_board_type() { return create_type<BoardObj>("builtins.Board", slots); }

}  // namespace murkle::py
