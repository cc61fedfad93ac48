#pragma once
// Arguments in and NumPy arrays out: integers and arrays judged by their values and by the
// memory they export, never by attributes a Python subclass could redefine, and every refusal
// naming its argument.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace murkle::rl {
namespace nb = nanobind;

// Kept for the life of the process: a static object would be released after the interpreter ends.
inline nb::module_& numpy() {
    static nb::module_* np = new nb::module_(nb::module_::import_("numpy"));
    return *np;
}

inline std::string shape_text(const std::vector<size_t>& shape) {
    std::string s = "(";
    for (size_t k = 0; k < shape.size(); ++k) s += (k ? ", " : "") + std::to_string(shape[k]);
    return s + (shape.size() == 1 ? ",)" : ")");
}

inline std::string kind_of(nb::handle v) { return nb::inst_name(v).c_str(); }

// ----- integers ---------------------------------------------------------------------------------

// The integer an argument stands for: an int or anything with __index__ (NumPy integers), never
// a float or a str.
inline nb::int_ integer_value(nb::handle v, const char* name) {
    PyObject* i = PyNumber_Index(v.ptr());
    if (!i) {
        PyErr_Clear();
        throw nb::type_error((std::string(name) + " must be an integer, not " + kind_of(v)).c_str());
    }
    return nb::steal<nb::int_>(i);
}

inline bool less(nb::handle a, nb::handle b) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// An integer argument within [low, high]; ValueError naming the argument outside.
template <class T>
T integer_arg(nb::handle v, const char* name, T low = std::numeric_limits<T>::min(),
              T high = std::numeric_limits<T>::max()) {
    const nb::int_ i = integer_value(v, name);
    const nb::int_ lo(low), hi(high);
    if (less(i, lo))
        throw nb::value_error((std::string(name) + " must be at least " + std::to_string(low) + ", got " +
                               nb::str(i).c_str()).c_str());
    if (less(hi, i))
        throw nb::value_error((std::string(name) + " must be at most " + std::to_string(high) + ", got " +
                               nb::str(i).c_str()).c_str());
    return nb::cast<T>(i);
}

// The same for an argument that may be None.
template <class T>
std::optional<T> optional_integer_arg(nb::handle v, const char* name, T low = std::numeric_limits<T>::min(),
                                      T high = std::numeric_limits<T>::max()) {
    if (v.is_none()) return std::nullopt;
    return integer_arg<T>(v, name, low, high);
}

// A real-number argument (an int, a float or a NumPy scalar; never a str), finite, within
// [low, high]; refusals name the argument.
inline double real_arg(nb::handle v, const char* name, double low, double high) {
    if (PyUnicode_Check(v.ptr()) || PyBytes_Check(v.ptr()) || !PyNumber_Check(v.ptr()))
        throw nb::type_error((std::string(name) + " must be a number, not " + kind_of(v)).c_str());
    const double x = PyFloat_AsDouble(v.ptr());
    if (x == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        throw nb::type_error((std::string(name) + " must be a real number, not " + kind_of(v)).c_str());
    }
    if (!(x >= low && x <= high))
        throw nb::value_error((std::string(name) + " must be between " + nb::str(nb::float_(low)).c_str() + " and " +
                               nb::str(nb::float_(high)).c_str() + ", got " + nb::str(nb::float_(x)).c_str())
                                  .c_str());
    return x;
}

// A truth-value argument: a bool or a NumPy bool, never an int, a str or None.
inline bool bool_arg(nb::handle v, const char* name) {
    if (PyBool_Check(v.ptr())) return v.ptr() == Py_True;
    if (PyObject_TypeCheck(v.ptr(), reinterpret_cast<PyTypeObject*>(numpy().attr("bool_").ptr())))
        return PyObject_IsTrue(v.ptr()) == 1;
    throw nb::type_error((std::string(name) + " must be a bool, not " + kind_of(v)).c_str());
}

// The shortest text that reads back as the same float32 ("1.0000001", "nan", "-inf"); no
// Python involved, so it may run with the GIL released.
inline std::string float_text(float x) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, x).ptr;
    return std::string(text, end);
}

// The int64 value of an integer, or none when it lies beyond int64.
inline std::optional<int64_t> int64_value(const nb::int_& i) {
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (overflow) return std::nullopt;
    if (x == -1 && PyErr_Occurred()) throw nb::python_error();
    return static_cast<int64_t>(x);
}

// ----- buffers ----------------------------------------------------------------------------------

// The memory an object exports (shape, item format, strides, writability), held for as long as
// the returned memoryview lives; TypeError naming the argument when it exports none.
inline nb::object exported_buffer(nb::handle v, const char* name) {
    PyObject* view = PyMemoryView_FromObject(v.ptr());
    if (!view) {
        PyErr_Clear();
        throw nb::type_error((std::string(name) + " exports no buffer: " + kind_of(v)).c_str());
    }
    return nb::steal(view);
}

inline const Py_buffer& buffer_of(const nb::object& view) { return *PyMemoryView_GET_BUFFER(view.ptr()); }

// The item type of a buffer, read from its format and item size.
struct ItemType {
    char kind = 0;  // 'b' bool, 'i' signed, 'u' unsigned, 'f' float, 'c' complex, 0 anything else
    size_t size = 0;
    bool swapped = false;  // not in the machine's byte order
    std::string format;

    explicit ItemType(const Py_buffer& b) : size(static_cast<size_t>(b.itemsize)), format(b.format ? b.format : "B") {
        std::string f = format;
        if (!f.empty() && std::string("@=<>!").find(f[0]) != std::string::npos) {
            const bool little = f[0] == '<', big = f[0] == '>' || f[0] == '!';
            swapped = size > 1 && ((little && std::endian::native != std::endian::little) ||
                                   (big && std::endian::native != std::endian::big));
            f.erase(0, 1);
        }
        auto one_of = [&](const char* set) { return f.size() == 1 && std::string(set).find(f[0]) != std::string::npos; };
        if (f == "?") kind = 'b';
        else if (one_of("bhilqn")) kind = 'i';
        else if (one_of("BHILQN")) kind = 'u';
        else if (one_of("efdg")) kind = 'f';
        else if (f.size() == 2 && f[0] == 'Z') kind = 'c';
    }

    // The NumPy name ("float32", "int64", "bool"...), preceded by the byte order when that is
    // not the machine's; the buffer format for anything else.
    std::string name() const {
        const std::string bits = std::to_string(8 * size);
        std::string n;
        switch (kind) {
            case 'b': n = "bool"; break;
            case 'i': n = "int" + bits; break;
            case 'u': n = "uint" + bits; break;
            case 'f': n = "float" + bits; break;
            case 'c': n = "complex" + bits; break;
            default: return "format '" + format + "'";
        }
        if (swapped) n = (std::endian::native == std::endian::little ? "big-endian " : "little-endian ") + n;
        return n;
    }
};

inline std::vector<size_t> buffer_shape(const Py_buffer& b) {
    std::vector<size_t> shape;
    for (int k = 0; k < b.ndim; ++k) shape.push_back(static_cast<size_t>(b.shape[k]));
    return shape;
}

// A writable array of T handed to the caller: `array` is the Python object, `data` its first
// item, and the buffer export is held (so the memory cannot be resized away) while this lives.
// Binds as `auto [array, data] = output_array<T>(...)`.
template <class T>
struct Output {
    nb::object array;
    T* data;
    nb::object held;

    template <size_t I>
    auto& get() {
        if constexpr (I == 0) return array;
        else return data;
    }
};

// A C-contiguous, writable array of the given dtype and shape: `out` itself when it is one, a
// new array when `out` is None; anything else is refused with the reason, judged from the
// memory `out` exports.
template <class T>
Output<T> output_array(nb::handle out, const std::vector<size_t>& shape, const char* dtype, const char* name = "out") {
    if (out.is_none()) {
        nb::object array = numpy().attr("empty")(nb::tuple(nb::cast(shape)), dtype);
        nb::object held = exported_buffer(array, "out");
        return {array, static_cast<T*>(buffer_of(held).buf), held};
    }
    if (!PyObject_TypeCheck(out.ptr(), reinterpret_cast<PyTypeObject*>(numpy().attr("ndarray").ptr())))
        throw nb::type_error((std::string(name) + " must be a numpy.ndarray, not " + kind_of(out)).c_str());
    nb::object held = exported_buffer(out, name);
    const Py_buffer& b = buffer_of(held);
    const std::string got = ItemType(b).name();
    if (got != dtype || b.itemsize != static_cast<Py_ssize_t>(sizeof(T)))
        throw nb::type_error((std::string(name) + " must have dtype " + std::string(dtype) + ", got " + got).c_str());
    const auto got_shape = buffer_shape(b);
    if (got_shape != shape)
        throw nb::value_error((std::string(name) + " must have shape " + shape_text(shape) + ", got " + shape_text(got_shape)).c_str());
    if (!PyBuffer_IsContiguous(&b, 'C')) throw nb::value_error((std::string(name) + " must be C-contiguous").c_str());
    if (b.readonly) throw nb::value_error((std::string(name) + " must be writeable").c_str());
    return {nb::borrow(out), static_cast<T*>(b.buf), held};
}

// An array-like as NumPy makes it (`array`), judged from the memory it exports (`held`, kept
// while this lives).
struct ArrayInput {
    nb::object array, held;
    const Py_buffer& buffer() const { return buffer_of(held); }
    ItemType item() const { return ItemType(buffer()); }
    std::vector<size_t> shape() const { return buffer_shape(buffer()); }
};

inline ArrayInput array_input(nb::handle values, const char* name) {
    nb::object a = numpy().attr("asarray")(values);
    nb::object held = exported_buffer(a, name);
    return {a, held};
}

// The items of an input as C-contiguous, native `dtype` items of type T, converted and copied
// only when they are not already; `data` stays valid while `held` lives.
template <class T>
struct CArray {
    nb::object held;
    const T* data;
};

template <class T>
CArray<T> c_array(const ArrayInput& in, const char* dtype, const char* name) {
    nb::object held = exported_buffer(numpy().attr("ascontiguousarray")(in.array, dtype), name);
    return {held, static_cast<const T*>(buffer_of(held).buf)};
}

// Integers of a one-dimensional array-like of length n, as int64; values beyond int64 are
// refused by index.
inline std::vector<int64_t> integer_vector(nb::handle values, size_t n, const char* name) {
    const ArrayInput in = array_input(values, name);
    if (in.shape() != std::vector<size_t>{n})
        throw nb::value_error((std::string(name) + " must have shape " + shape_text({n}) + ", got " + shape_text(in.shape())).c_str());
    if (n == 0) return {};  // an empty list holds no number, whatever dtype NumPy gives it
    const ItemType item = in.item();
    if (item.kind != 'i' && item.kind != 'u')
        throw nb::type_error((std::string(name) + " must hold integers, got dtype " + item.name()).c_str());
    if (item.kind == 'u' && item.size == 8) {
        const nb::object& a = in.array;
        nb::object beyond = numpy().attr("flatnonzero")(numpy().attr("greater")(a, nb::int_(std::numeric_limits<int64_t>::max())));
        if (nb::len(beyond)) {
            const nb::object at = beyond.attr("__getitem__")(0), value = a.attr("__getitem__")(at);
            throw nb::value_error((std::string(name) + "[" + nb::str(at).c_str() + "] is " + nb::str(value).c_str() +
                                   ", beyond the int64 range")
                                      .c_str());
        }
    }
    const CArray<int64_t> c = c_array<int64_t>(in, "int64", name);
    return std::vector<int64_t>(c.data, c.data + n);
}

// An array-like of real numbers (floats, integers or bools: any dtype NumPy converts to a float
// without loss of meaning) of one of the given shapes; refused with the reason otherwise.
inline ArrayInput real_input(nb::handle values, const std::vector<std::vector<size_t>>& shapes, const char* name,
                             bool squeeze_last = false) {
    ArrayInput in = array_input(values, name);
    const ItemType item = in.item();
    if (item.kind != 'f' && item.kind != 'i' && item.kind != 'u' && item.kind != 'b')
        throw nb::type_error((std::string(name) + " must hold real numbers, got dtype " + item.name()).c_str());
    const auto got = in.shape();
    for (const auto& shape : shapes) {
        if (got == shape) return in;
        if (squeeze_last && got.size() == shape.size() + 1 && got.back() == 1 &&
            std::equal(shape.begin(), shape.end(), got.begin()))
            return in;
    }
    std::string wanted;
    for (size_t k = 0; k < shapes.size(); ++k) wanted += (k ? " or " : "") + shape_text(shapes[k]);
    throw nb::value_error((std::string(name) + " must have shape " + wanted + ", got " + shape_text(in.shape())).c_str());
}

// The same as float32 items in C order (float64 and the other real dtypes converted, copied
// only when they are not float32 in C order already).
inline CArray<float> float32_input(nb::handle values, const std::vector<std::vector<size_t>>& shapes, const char* name,
                                   bool squeeze_last = false) {
    return c_array<float>(real_input(values, shapes, name, squeeze_last), "float32", name);
}

}  // namespace murkle::rl

template <class T>
struct std::tuple_size<murkle::rl::Output<T>> : std::integral_constant<size_t, 2> {};
template <class T>
struct std::tuple_element<0, murkle::rl::Output<T>> {
    using type = nanobind::object;
};
template <class T>
struct std::tuple_element<1, murkle::rl::Output<T>> {
    using type = T*;
};
