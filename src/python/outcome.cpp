// GameOutcome: the result of a finished game; equal by value, unhashable, not constructible.
#include <string>

#include "classes.hpp"

namespace murkle::py {

namespace {

PyObject* winner(const OutcomeObj& self) {
    return to_py_optional(murkle::winner(self.value), to_py_color);
}

PyObject* encode_winner_absolute(const OutcomeObj& self) {
    return to_py_float(murkle::encode_winner_absolute(self.value));
}

// The perspective is checked before the result is looked at.
PyObject* encode_winner_from_perspective(const OutcomeObj& self, int8_t perspective) {
    auto v = murkle::encode_winner_from_perspective(self.value, perspective);
    if (!v) return raise_panic("Unrecognized perspective");
    return to_py_float(*v);
}

PyObject* is_draw(const OutcomeObj& self) { return to_py(murkle::is_draw(self.value)); }
PyObject* name(const OutcomeObj& self) { return to_py_str(outcome_name(self.value)); }

PyObject* repr(const OutcomeObj& self) {
    return to_py_str(std::string("GameOutcome(") + outcome_name(self.value) + ")");
}

PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    if (!OutcomeObj::check(other) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = OutcomeObj::cast(self).value == OutcomeObj::cast(other).value;
    return to_py(op == Py_EQ ? equal : !equal);
}

PyMethodDef methods[] = {
    method<OutcomeObj, "winner($self)", winner>(),
    method<OutcomeObj, "encode_winner_absolute($self)", encode_winner_absolute>(),
    method<OutcomeObj, "encode_winner_from_perspective($self, perspective)", encode_winner_from_perspective>(),
    method<OutcomeObj, "is_draw($self)", is_draw>(),
    method<OutcomeObj, "name($self)", name>(),
    {nullptr, nullptr, 0, nullptr},
};

// Equality without a hash slot: the interpreter makes the class unhashable.
PyType_Slot slots[] = {
    {Py_tp_dealloc, slot(OutcomeObj::dealloc)},
    {Py_tp_str, slot(unary_slot<OutcomeObj, name>)},
    {Py_tp_repr, slot(unary_slot<OutcomeObj, repr>)},
    {Py_tp_richcompare, slot(richcompare)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyTypeObject* create_outcome_type() {
    return create_type<OutcomeObj>("builtins.GameOutcome", slots, Py_TPFLAGS_DISALLOW_INSTANTIATION);
}

}  // namespace murkle::py
