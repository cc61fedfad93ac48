#pragma once
// Games and moves cross to and from the exact module's objects by value: read and made through
// the binding's own object layout, under the objects' borrow counters.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <string>

#include "engine/variant.hpp"
#include "python/classes.hpp"

namespace murkle::rl {
namespace nb = nanobind;

// A game's board size as text: "8x8".
inline std::string size_text(const GameVariant& g) {
    return std::visit([](const auto& x) { return std::to_string(x.width()) + "x" + std::to_string(x.height()); }, g);
}

// The classes of the exact module, looked up once. Objects of them are read and made here
// through their shared layout, under their borrow counters.
inline void bind_exact_module() {
    if (py::GameObj::type) return;
    nb::module_ exact = nb::module_::import_("murkle_chess");
    nb::object game = exact.attr("Game"), move = exact.attr("Move");
    py::GameObj::type = reinterpret_cast<PyTypeObject*>(game.release().ptr());
    py::MoveObj::type = reinterpret_cast<PyTypeObject*>(move.release().ptr());
}

// A copy of the engine game held by a murkle_chess.Game.
inline GameVariant game_value(nb::handle obj, const char* what = "game") {
    bind_exact_module();
    if (Py_TYPE(obj.ptr()) != py::GameObj::type)
        throw nb::type_error((std::string(what) + " must be a murkle_chess.Game, not " +
                              nb::inst_name(obj).c_str()).c_str());
    auto& self = py::GameObj::cast(obj.ptr());
    py::Borrow borrow(self.borrow, py::Access::Shared);
    if (!borrow) throw nb::python_error();
    return self.value;
}

inline nb::object game_object(GameVariant&& value) {
    bind_exact_module();
    PyObject* o = py::GameObj::make(std::move(value));
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

inline Move move_value(nb::handle obj) {
    bind_exact_module();
    if (Py_TYPE(obj.ptr()) != py::MoveObj::type)
        throw nb::type_error((std::string("move must be a murkle_chess.Move, not ") + nb::inst_name(obj).c_str()).c_str());
    return py::MoveObj::cast(obj.ptr()).value;
}

inline nb::object move_object(const Move& m) {
    bind_exact_module();
    PyObject* o = py::MoveObj::make(m);
    if (!o) throw nb::python_error();
    return nb::steal(o);
}
}  // namespace murkle::rl
