// The module murkle_chess: its classes, constants and PanicException.
#include "classes.hpp"

namespace murkle::py {

namespace {

// The module is made once per process and belongs to the interpreter that made it.
PyObject* the_module = nullptr;
int64_t owner_interpreter = -1;
PyObject* panic_type = nullptr;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "murkle_chess",
    nullptr,
    0,  // no per-module state, and initialised again (to the same object) on a later import
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Adds `value` (stolen) as `name` and appends the name to __all__, created on first use.
bool add(PyObject* module, const char* name, PyObject* value) {
    Ref owned(value);
    if (!owned) return false;
    PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");
    if (all == nullptr) {
        Ref list(PyList_New(0));
        if (!list || PyModule_AddObjectRef(module, "__all__", list.get()) < 0) return false;
        all = list.get();
    }
    Ref text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all, text.get()) < 0) return false;
    return PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
    return type != nullptr && add(module, name, Py_NewRef(reinterpret_cast<PyObject*>(type)));
}

PyObject* create_module() {
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (panic_type == nullptr) {
        panic_type = PyErr_NewException("murkle_chess.PanicException", PyExc_BaseException, nullptr);
        if (panic_type == nullptr) return nullptr;
    }
    PyObject* m = module.get();
    if (!add_type(m, "Board", create_board_type()) || !add_type(m, "Game", create_game_type()) ||
        !add_type(m, "Move", create_move_type()) || !add_type(m, "Piece", create_piece_type()) ||
        !add_type(m, "Position", create_position_type()) || !add_type(m, "GameOutcome", create_outcome_type()) ||
        !add(m, "WHITE", PyLong_FromLong(static_cast<int>(Color::White))) ||
        !add(m, "BLACK", PyLong_FromLong(static_cast<int>(Color::Black))) ||
        !add(m, "TOTAL_INPUT_PLANES", PyLong_FromLong(TOTAL_INPUT_PLANES)))
        return nullptr;
    return module.release();
}

}  // namespace

PyObject* panic_exception_type() { return panic_type; }

// ------------------------------------------------------------------ shared result conversions

PyObject* to_py_u128(unsigned __int128 v) {
    const uint64_t high = static_cast<uint64_t>(v >> 64), low = static_cast<uint64_t>(v);
    if (high == 0) return PyLong_FromUnsignedLongLong(low);
    Ref h(PyLong_FromUnsignedLongLong(high)), shift(PyLong_FromLong(64)), l(PyLong_FromUnsignedLongLong(low));
    if (!h || !shift || !l) return nullptr;
    Ref shifted(PyNumber_Lshift(h.get(), shift.get()));
    if (!shifted) return nullptr;
    return PyNumber_Or(shifted.get(), l.get());
}

PyObject* to_py_square(Position p) {
    Ref col(to_py_u64(p.col)), row(to_py_u64(p.row));
    if (!col || !row) return nullptr;
    PyObject* t = PyTuple_New(2);
    if (!t) return nullptr;
    PyTuple_SET_ITEM(t, 0, col.release());
    PyTuple_SET_ITEM(t, 1, row.release());
    return t;
}

PyObject* to_py_moves(const std::vector<Move>& moves) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(moves.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < moves.size(); ++i) {
        PyObject* m = MoveObj::make(moves[i]);
        if (!m) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), m);
    }
    return list.release();
}

bool check_board_size(uint64_t width, uint64_t height) {
    if (width < 1 || width > 32) {
        raise_value_error("Board width must be between 1 and 32");
        return false;
    }
    if (height < 1 || height > 32) {
        raise_value_error("Board height must be between 1 and 32");
        return false;
    }
    return true;
}

}  // namespace murkle::py

PyMODINIT_FUNC PyInit_murkle_chess(void) {
    using namespace murkle::py;
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (the_module != nullptr) {
        if (interpreter != owner_interpreter) {
            PyErr_SetString(PyExc_ImportError,
                            "murkle_chess can only be imported by one interpreter per process");
            return nullptr;
        }
        return Py_NewRef(the_module);
    }
    PyObject* module = create_module();
    if (module == nullptr) return nullptr;
    the_module = Py_NewRef(module);
    owner_interpreter = interpreter;
    return module;
}
