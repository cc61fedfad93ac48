// Piece: a coloured piece, compared and hashed by identity.
#include <string>

#include "classes.hpp"

namespace murkle::py {

namespace {

constexpr Text SIGNATURE = "Piece(piece_type, color)";

// The kind is tested before the colour; the kind name is lower-cased by Python's own str.lower.
PyObject* create(StrObject piece_type, int8_t color) {
    Ref lower(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower"));
    if (!lower) return nullptr;
    Ref lowered(PyObject_CallOneArg(lower.get(), piece_type.obj));
    if (!lowered) return nullptr;
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(lowered.get(), &len);
    if (!text) return nullptr;
    auto kind = piece_type_from_name(std::string_view(text, static_cast<size_t>(len)));
    if (!kind) return raise_value_error(kind.error());
    auto c = color_from_int(color);
    if (!c) return raise_value_error(invalid_color_message(color));
    return PieceObj::make(Piece{*c, kind.value()});
}

PyObject* piece_type(const PieceObj& self) { return to_py_str(piece_lower_name(self.value.piece_type)); }
PyObject* color(const PieceObj& self) { return to_py_color(self.value.color); }
PyObject* symbol(const PieceObj& self) { return to_py_str(std::string(1, self.value.symbol())); }

PyObject* repr(const PieceObj& self) {
    return to_py_str(std::string("Piece(") + piece_debug_name(self.value.piece_type) + ", " +
                     color_name(self.value.color) + ")");
}

PyMethodDef methods[] = {
    method<PieceObj, "piece_type($self)", piece_type>(),
    method<PieceObj, "color($self)", color>(),
    method<PieceObj, "symbol($self)", symbol>(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(SignatureText<SIGNATURE>::doc.data())},
    {Py_tp_new, slot(constructor<PieceObj, SIGNATURE, create>)},
    {Py_tp_dealloc, slot(PieceObj::dealloc)},
    {Py_tp_str, slot(unary_slot<PieceObj, symbol>)},
    {Py_tp_repr, slot(unary_slot<PieceObj, repr>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyTypeObject* create_piece_type() { return create_type<PieceObj>("builtins.Piece", slots); }

}  // namespace murkle::py
