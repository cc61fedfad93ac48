#pragma once
// The network's answers to a round of leaves, read where they lie: logits and values of any
// real dtype and any strides, from NumPy or from any object that exports DLPack (PyTorch, JAX),
// each item converted to float32 as it is read and only the items the search needs read.
#include <nanobind/ndarray.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "rl/arrays.hpp"

namespace murkle::rl {

namespace answers_detail {

struct Half {
    uint16_t bits;
};
struct BFloat {
    uint16_t bits;
};

inline float to_float(Half h) {
    const uint32_t sign = static_cast<uint32_t>(h.bits & 0x8000u) << 16, exponent = (h.bits >> 10) & 0x1fu,
                   mantissa = h.bits & 0x3ffu;
    uint32_t bits;
    if (exponent == 0x1f) bits = sign | 0x7f800000u | (mantissa << 13);  // inf, nan
    else if (exponent) bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
    else if (!mantissa) bits = sign;
    else {  // subnormal: mantissa * 2^-24, exact in float32
        const float f = static_cast<float>(mantissa) * 0x1p-24f;
        return sign ? -f : f;
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

inline float to_float(BFloat b) {
    const uint32_t bits = static_cast<uint32_t>(b.bits) << 16;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

template <class T>
float to_float(T x) {
    return static_cast<float>(x);
}

template <class T>
void read_items(const void* base, const int64_t* offsets, size_t count, float* out) {
    const T* p = static_cast<const T*>(base);
    for (size_t j = 0; j < count; ++j) out[j] = to_float(p[offsets[j]]);
}

}  // namespace answers_detail

// out[j] = the item at base + offsets[j] (in items), as float32.
using ItemReader = void (*)(const void* base, const int64_t* offsets, size_t count, float* out);

// The reader of a DLPack item type, or null for one that holds no real number.
inline ItemReader item_reader(nb::dlpack::dtype t) {
    using namespace answers_detail;
    using C = nb::dlpack::dtype_code;
    if (t.lanes != 1) return nullptr;
    switch (static_cast<C>(t.code)) {
        case C::Float:
            if (t.bits == 16) return read_items<Half>;
            if (t.bits == 32) return read_items<float>;
            if (t.bits == 64) return read_items<double>;
            return nullptr;
        case C::Bfloat: return t.bits == 16 ? read_items<BFloat> : nullptr;
        case C::Int:
            if (t.bits == 8) return read_items<int8_t>;
            if (t.bits == 16) return read_items<int16_t>;
            if (t.bits == 32) return read_items<int32_t>;
            if (t.bits == 64) return read_items<int64_t>;
            return nullptr;
        case C::UInt:
        case C::Bool:
            if (t.bits == 8) return read_items<uint8_t>;
            if (t.bits == 16) return read_items<uint16_t>;
            if (t.bits == 32) return read_items<uint32_t>;
            if (t.bits == 64) return read_items<uint64_t>;
            return nullptr;
        default: return nullptr;
    }
}

inline std::string dtype_name(nb::dlpack::dtype t) {
    using C = nb::dlpack::dtype_code;
    const std::string bits = std::to_string(t.bits);
    switch (static_cast<C>(t.code)) {
        case C::Int: return "int" + bits;
        case C::UInt: return "uint" + bits;
        case C::Float: return "float" + bits;
        case C::Bfloat: return "bfloat" + bits;
        case C::Complex: return "complex" + bits;
        case C::Bool: return "bool";
        default: return "DLPack type code " + std::to_string(t.code) + " of " + bits + " bits";
    }
}

// An array a callback returned, as the search reads it.
struct InputArray {
    const void* data = nullptr;
    ItemReader reader = nullptr;
    std::vector<size_t> shape;
    std::vector<int64_t> strides;  // in items
    nb::ndarray<nb::ro> exported;  // the export read in place, held while this lives
    nb::object held;               // or NumPy's converted copy
};

// Logits (rows, A) or (rows, P, H, W) over full actions and values (rows,) or (rows, 1) for the
// rows of a round, held (with whatever exports them) while this lives.
struct Answers {
    const void* logits = nullptr;
    const void* values = nullptr;
    ItemReader logit_reader = nullptr, value_reader = nullptr;
    int64_t row = 0;             // a logit row's stride, in items
    int64_t plane = 0, rank = 0, file = 1;  // the strides of (P, H, W); for (rows, A): A's in `file`
    bool flat = true;            // the full action's index times `file` is its offset
    int64_t value_stride = 1;
    size_t width = 1, area = 1;
    bool own_values = false;     // the values are the search's own array, filled with NaN before the round
    InputArray held_logits, held_values;  // returned arrays, held while they are read

    int64_t logit_offset(size_t r, int32_t action) const {
        const int64_t base = static_cast<int64_t>(r) * row;
        if (flat) return base + action * file;
        const size_t a = static_cast<size_t>(action), sq = a % area;
        return base + static_cast<int64_t>(a / area) * plane + static_cast<int64_t>(sq / width) * rank +
               static_cast<int64_t>(sq % width) * file;
    }
    float value(size_t r) const {
        const int64_t offset = static_cast<int64_t>(r) * value_stride;
        float v;
        value_reader(values, &offset, 1, &v);
        return v;
    }
};

// A returned array read in place when it exports DLPack or a buffer of real items in CPU
// memory; otherwise converted by NumPy as `expand` converts its arguments (a list, an array of
// another dtype). `shapes` lists the shapes it may have, `squeeze_last` allows a trailing 1;
// refusals name the array.
inline InputArray input_array(nb::handle v, const std::vector<std::vector<size_t>>& shapes, const char* name,
                              bool squeeze_last = false) {
    InputArray out;
    nb::ndarray<nb::ro> a;
    if (nb::try_cast(v, a, false)) {
        const int device = a.device_type();
        if (device != nb::device::cpu::value && device != nb::device::cuda_host::value)
            throw nb::value_error((std::string(name) + " must be in CPU memory, got an array on device type " +
                                   std::to_string(device) + " (move it to the CPU first)")
                                      .c_str());
        out.reader = item_reader(a.dtype());
        if (!out.reader)
            throw nb::type_error(
                (std::string(name) + " must hold real numbers, got dtype " + dtype_name(a.dtype())).c_str());
        for (size_t k = 0; k < a.ndim(); ++k) {
            out.shape.push_back(a.shape(k));
            out.strides.push_back(a.stride(k));
        }
        out.data = a.data();
        out.exported = std::move(a);
    } else {
        const ArrayInput in = real_input(v, shapes, name, squeeze_last);
        const CArray<float> c = c_array<float>(in, "float32", name);
        out.data = c.data;
        out.reader = answers_detail::read_items<float>;
        out.shape = in.shape();
        int64_t stride = 1;
        out.strides.assign(out.shape.size(), 1);
        for (size_t k = out.shape.size(); k-- > 0;) {
            out.strides[k] = stride;
            stride *= static_cast<int64_t>(out.shape[k]);
        }
        out.held = c.held;
        return out;
    }
    for (const auto& shape : shapes) {
        if (out.shape == shape) return out;
        if (squeeze_last && out.shape.size() == shape.size() + 1 && out.shape.back() == 1 &&
            std::equal(shape.begin(), shape.end(), out.shape.begin()))
            return out;
    }
    std::string wanted;
    for (size_t k = 0; k < shapes.size(); ++k) wanted += (k ? " or " : "") + shape_text(shapes[k]);
    throw nb::value_error((std::string(name) + " must have shape " + wanted + ", got " + shape_text(out.shape)).c_str());
}

}  // namespace murkle::rl
