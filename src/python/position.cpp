// Position: one square coordinate, compared and hashed by identity.
#include <string>

#include "classes.hpp"

namespace murkle::py {

namespace {

constexpr Text SIGNATURE = "Position(col, row)";

PyObject* create(uint64_t col, uint64_t row) { return PositionObj::make(Position{col, row}); }

PyObject* col(const PositionObj& self) { return to_py_u64(self.value.col); }
PyObject* row(const PositionObj& self) { return to_py_u64(self.value.row); }

PyObject* str(const PositionObj& self) { return to_py_str(square_text(self.value)); }

PyObject* repr(const PositionObj& self) {
    return to_py_str("Position(" + std::to_string(self.value.col) + ", " + std::to_string(self.value.row) + ")");
}

PyMethodDef methods[] = {
    method<PositionObj, "col($self)", col>(),
    method<PositionObj, "row($self)", row>(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(SignatureText<SIGNATURE>::doc.data())},
    {Py_tp_new, slot(constructor<PositionObj, SIGNATURE, create>)},
    {Py_tp_dealloc, slot(PositionObj::dealloc)},
    {Py_tp_str, slot(unary_slot<PositionObj, str>)},
    {Py_tp_repr, slot(unary_slot<PositionObj, repr>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyTypeObject* create_position_type() { return create_type<PositionObj>("builtins.Position", slots); }

}  // namespace murkle::py
