#pragma once
// NumPy arrays in and out of the core: caller-owned outputs checked before anything is
// written, integer vectors read from any array-like.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <string>
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

// A C-contiguous, writable array of dtype T and the given shape: `out` itself when it is
// one, a new array when `out` is None; anything else is refused with the reason.
template <class T>
std::pair<nb::object, T*> output_array(nb::handle out, const std::vector<size_t>& shape, const char* dtype) {
    nb::object array;
    if (out.is_none()) {
        array = numpy().attr("empty")(nb::tuple(nb::cast(shape)), dtype);
    } else {
        if (!nb::isinstance(out, numpy().attr("ndarray")))
            throw nb::type_error(("out must be a numpy.ndarray, not " + std::string(nb::inst_name(out).c_str())).c_str());
        const std::string got = nb::cast<std::string>(out.attr("dtype").attr("name"));
        if (got != dtype)
            throw nb::type_error(("out must have dtype " + std::string(dtype) + ", got " + got).c_str());
        const auto got_shape = nb::cast<std::vector<size_t>>(out.attr("shape"));
        if (got_shape != shape)
            throw nb::value_error(("out must have shape " + shape_text(shape) + ", got " + shape_text(got_shape)).c_str());
        if (!nb::cast<bool>(out.attr("flags").attr("c_contiguous")))
            throw nb::value_error("out must be C-contiguous");
        if (!nb::cast<bool>(out.attr("flags").attr("writeable"))) throw nb::value_error("out must be writeable");
        array = nb::borrow(out);
    }
    nb::ndarray<T, nb::c_contig, nb::device::cpu> view;
    if (!nb::try_cast(array, view, false)) throw nb::type_error("out could not be viewed as a C array");
    return {array, view.data()};
}

// Integers of a one-dimensional array-like of length n, as int64.
inline std::vector<int64_t> integer_vector(nb::handle values, size_t n, const char* name) {
    nb::object a = numpy().attr("asarray")(values);
    const std::string kind = nb::cast<std::string>(a.attr("dtype").attr("kind"));
    if (kind != "i" && kind != "u" && !(kind == "b" && n == 0))
        throw nb::type_error((std::string(name) + " must hold integers, got dtype " +
                              nb::cast<std::string>(a.attr("dtype").attr("name")))
                                 .c_str());
    const auto shape = nb::cast<std::vector<size_t>>(a.attr("shape"));
    if (shape != std::vector<size_t>{n})
        throw nb::value_error((std::string(name) + " must have shape " + shape_text({n}) + ", got " + shape_text(shape)).c_str());
    nb::object c = numpy().attr("ascontiguousarray")(a, "int64");
    nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> view;
    if (!nb::try_cast(c, view, false)) throw nb::type_error(std::string(name).append(" could not be read").c_str());
    return std::vector<int64_t>(view.data(), view.data() + n);
}

template <class T>
nb::object vector_array(const std::vector<T>& v, const char* dtype) {
    auto [array, data] = output_array<T>(nb::none(), {v.size()}, dtype);
    std::copy(v.begin(), v.end(), data);
    return array;
}

// The data of a C-contiguous array of element type T (made so by the caller).
template <class T>
T* array_data(nb::handle array) {
    nb::ndarray<T, nb::c_contig, nb::device::cpu> view;
    if (!nb::try_cast(array, view, false)) throw nb::type_error("array could not be viewed as a C array");
    return view.data();
}

}  // namespace murkle::rl
