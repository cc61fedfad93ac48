#include "args.hpp"

#include <cstring>
#include <string>

namespace murkle::py {

const char* type_short_name(PyTypeObject* type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot ? dot + 1 : type->tp_name;
}

// ------------------------------------------------------------------ matching

namespace {

std::string qualified(const CallSite& site) {
    std::string s(site.cls);
    s += '.';
    s += site.method;
    s += "()";
    return s;
}

Py_ssize_t find_param(const CallSite& site, PyObject* key) {
    if (!PyUnicode_Check(key)) return -1;
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &len);
    if (!text) {
        PyErr_Clear();
        return -1;
    }
    std::string_view k(text, static_cast<size_t>(len));
    for (size_t i = 0; i < site.count; ++i)
        if (site.params[i] == k) return static_cast<Py_ssize_t>(i);
    return -1;
}

bool keyword(const CallSite& site, PyObject* key, PyObject* value, PyObject** slots) {
    Py_ssize_t i = find_param(site, key);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", qualified(site).c_str(), key);
        return false;
    }
    if (slots[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'", qualified(site).c_str(), key);
        return false;
    }
    slots[i] = value;
    return true;
}

// Surplus positional arguments, then missing ones, worded as the interpreter words them.
bool finish(const CallSite& site, Py_ssize_t nargs, PyObject** slots) {
    if (static_cast<size_t>(nargs) > site.count) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional argument%s but %zd %s given",
                     qualified(site).c_str(), site.count, site.count == 1 ? "" : "s", nargs,
                     nargs == 1 ? "was" : "were");
        return false;
    }
    size_t missing = 0;
    for (size_t i = 0; i < site.count; ++i) missing += slots[i] == nullptr;
    if (missing == 0) return true;
    std::string names;
    size_t seen = 0;
    for (size_t i = 0; i < site.count; ++i) {
        if (slots[i] != nullptr) continue;
        if (seen > 0) {
            if (missing > 2) names += ",";
            names += seen + 1 == missing ? " and " : " ";
        }
        names += '\'';
        names += site.params[i];
        names += '\'';
        ++seen;
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", qualified(site).c_str(),
                 missing, missing == 1 ? "" : "s", names.c_str());
    return false;
}

void take_positional(const CallSite& site, PyObject* const* args, Py_ssize_t nargs, PyObject** slots) {
    for (size_t i = 0; i < site.count; ++i)
        slots[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
}

}  // namespace

bool match_vector(const CallSite& site, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** slots) {
    take_positional(site, args, nargs, slots);
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!keyword(site, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return false;
    }
    return finish(site, nargs, slots);
}

bool match_tuple(const CallSite& site, PyObject* args, PyObject* kwargs, PyObject** slots) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    take_positional(site, reinterpret_cast<PyTupleObject*>(args)->ob_item, nargs, slots);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!keyword(site, key, value, slots)) return false;
    }
    return finish(site, nargs, slots);
}

void prefix_argument_error(std::string_view name) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc);
        return;
    }
#else
    PyObject *type, *exc, *tb;
    PyErr_Fetch(&type, &exc, &tb);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, exc, tb);
        return;
    }
    PyErr_NormalizeException(&type, &exc, &tb);
    if (tb != nullptr) PyException_SetTraceback(exc, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
#endif
    Ref original(exc);
    Ref text(PyObject_Str(exc));
    if (!text) return;
    std::string head = "argument '" + std::string(name) + "': ";
    Ref message(PyUnicode_FromFormat("%s%U", head.c_str(), text.get()));
    if (!message) return;
    Ref error(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!error) return;
    PyException_SetCause(error.get(), original.release());
    PyErr_SetObject(PyExc_TypeError, error.get());
}

// ------------------------------------------------------------------ conversion

bool wrong_type(PyObject* o, const char* expected) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_short_name(Py_TYPE(o)), expected);
    return false;
}

bool Converter<uint64_t>::convert(PyObject* o, uint64_t& out) {
    Ref index;
    if (!PyLong_Check(o)) {
        index = Ref(PyNumber_Index(o));
        if (!index) return false;
        o = index.get();
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool Converter<int8_t>::convert(PyObject* o, int8_t& out) {
    Ref index;
    if (!PyLong_Check(o)) {
        index = Ref(PyNumber_Index(o));
        if (!index) return false;
        o = index.get();
    }
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && v < -128)) {
        PyErr_SetString(PyExc_OverflowError, "signed byte integer is less than minimum");
        return false;
    }
    if (overflow > 0 || v > 127) {
        PyErr_SetString(PyExc_OverflowError, "signed byte integer is greater than maximum");
        return false;
    }
    out = static_cast<int8_t>(v);
    return true;
}

bool Converter<std::string_view>::convert(PyObject* o, std::string_view& out) {
    if (!PyUnicode_Check(o)) return wrong_type(o, "str");
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(o, &len);
    if (!text) return false;
    out = std::string_view(text, static_cast<size_t>(len));
    return true;
}

bool Converter<StrObject>::convert(PyObject* o, StrObject& out) {
    if (!PyUnicode_Check(o)) return wrong_type(o, "str");
    out.obj = o;
    return true;
}

bool Converter<bool>::convert(PyObject* o, bool& out) {
    if (o == Py_True || o == Py_False) {
        out = o == Py_True;
        return true;
    }
    // NumPy's boolean scalar: "numpy.bool_" (NumPy 1) or "numpy.bool" (NumPy 2).
    const char* name = Py_TYPE(o)->tp_name;
    if (std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0) {
        int truth = PyObject_IsTrue(o);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    return wrong_type(o, "bool");
}

namespace {

// The exact text, embedded NUL characters included.
PyObject* raise_text(PyObject* type, std::string_view message) {
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

}  // namespace

PyObject* raise_value_error(const std::string& message) { return raise_text(PyExc_ValueError, message); }

PyObject* raise_panic(const char* message) { return raise_text(panic_exception_type(), message); }

}  // namespace murkle::py
