#pragma once
// The one argument helper of the binding layer: owned references, the borrow counter, the
// object layout shared by every class, argument matching and conversion, and the trampolines
// that turn a plain C++ function into a method with its text signature.
//
// A method is written as a function whose parameters say everything:
//   PyObject* get_piece(const GameObj& self, uint64_t col, uint64_t row);
// a `const X&` receiver takes the shared borrow, a `X&` receiver the exclusive one, and each
// further parameter type picks its converter. The text signature "get_piece($self, col, row)"
// gives the parameter names for matching and error messages.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace murkle::py {

// ------------------------------------------------------------------ references

// An owned reference, released when it goes out of scope.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    static Ref borrowed(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// ------------------------------------------------------------------ borrow counter

// Many queries may overlap; a mutation runs alone. The count is atomic so that overlapping
// calls are refused rather than interleaved, with or without the interpreter lock.
class BorrowFlag {
public:
    bool try_shared() {
        intptr_t cur = state_.load(std::memory_order_relaxed);
        do {
            if (cur == EXCLUSIVE) return false;
        } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
        return true;
    }
    bool try_exclusive() {
        intptr_t expected = 0;
        return state_.compare_exchange_strong(expected, EXCLUSIVE, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void release_shared() { state_.fetch_sub(1, std::memory_order_release); }
    void release_exclusive() { state_.store(0, std::memory_order_release); }

private:
    static constexpr intptr_t EXCLUSIVE = -1;
    std::atomic<intptr_t> state_{0};
};

enum class Access { Shared, Exclusive };

// Holds a borrow for the lifetime of the guard; on refusal it holds nothing and RuntimeError is set.
class Borrow {
public:
    Borrow(BorrowFlag& flag, Access access) : access_(access) {
        bool ok = access == Access::Shared ? flag.try_shared() : flag.try_exclusive();
        if (ok) {
            flag_ = &flag;
        } else {
            PyErr_SetString(PyExc_RuntimeError,
                            access == Access::Shared ? "Already mutably borrowed" : "Already borrowed");
        }
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() {
        if (!flag_) return;
        if (access_ == Access::Shared)
            flag_->release_shared();
        else
            flag_->release_exclusive();
    }
    explicit operator bool() const { return flag_ != nullptr; }

private:
    BorrowFlag* flag_ = nullptr;
    Access access_;
};

// ------------------------------------------------------------------ objects

// The short name of a type ("Move" for "builtins.Move").
const char* type_short_name(PyTypeObject* type);

// The Python object of every class: header, borrow counter and one engine value.
template <class T, const char* Name>
struct Object {
    PyObject_HEAD
    BorrowFlag borrow;
    T value;

    using value_type = T;
    static constexpr const char* name = Name;
    static inline PyTypeObject* type = nullptr;

    static Object& cast(PyObject* o) { return *reinterpret_cast<Object*>(o); }
    static bool check(PyObject* o) { return type != nullptr && PyObject_TypeCheck(o, type); }

    // A new object holding a copy (or move) of `v`.
    template <class V>
    static PyObject* make(V&& v) {
        PyObject* o = type->tp_alloc(type, 0);
        if (!o) return nullptr;
        Object& self = cast(o);
        new (&self.borrow) BorrowFlag();
        try {
            new (&self.value) T(std::forward<V>(v));
        } catch (const std::bad_alloc&) {
            self.borrow.~BorrowFlag();
            type->tp_free(o);
            Py_DECREF(type);
            return PyErr_NoMemory();
        }
        return o;
    }

    static void dealloc(PyObject* o) {
        PyTypeObject* tp = Py_TYPE(o);
        Object& self = cast(o);
        self.value.~T();
        self.borrow.~BorrowFlag();
        tp->tp_free(o);
        Py_DECREF(tp);
    }
};

// ------------------------------------------------------------------ signatures

// A string literal usable as a template argument.
template <size_t N>
struct Text {
    char chars[N]{};
    constexpr Text(const char (&s)[N]) {
        for (size_t i = 0; i < N; ++i) chars[i] = s[i];
    }
    constexpr std::string_view view() const { return {chars, N - 1}; }
};

enum class Kind { Static, Instance, Class };

constexpr size_t MAX_PARAMS = 8;

// "name($self, a, b)" read into its name, kind and parameter names.
struct Signature {
    std::string_view name;
    Kind kind = Kind::Static;
    std::array<std::string_view, MAX_PARAMS> params{};
    size_t count = 0;
};

// Plain index loops: library searches on template argument texts are not constant expressions
// for every compiler configuration (sanitizer builds).
constexpr bool same_text(std::string_view a, const char* b) {
    size_t i = 0;
    for (; i < a.size(); ++i)
        if (b[i] == '\0' || a[i] != b[i]) return false;
    return b[i] == '\0';
}

constexpr Signature parse_signature(std::string_view text) {
    Signature s;
    size_t i = 0;
    while (text[i] != '(') ++i;
    s.name = text.substr(0, i);
    size_t start = ++i;
    for (; i < text.size(); ++i) {
        if (text[i] != ',' && text[i] != ')') continue;
        std::string_view p = text.substr(start, i - start);
        if (same_text(p, "$self"))
            s.kind = Kind::Instance;
        else if (same_text(p, "$cls"))
            s.kind = Kind::Class;
        else if (!p.empty())
            s.params[s.count++] = p;
        start = i + 2;  // past ", "
        if (text[i] == ')') break;
    }
    return s;
}

// The NUL-terminated method name and documentation text ("sig\n--\n\n") of a signature.
template <Text S>
struct SignatureText {
    static constexpr Signature sig = parse_signature(S.view());
    static constexpr auto doc = [] {
        constexpr std::string_view marker = "\n--\n\n";
        std::array<char, sizeof(S.chars) + 5> a{};
        size_t n = 0;
        for (char c : S.view()) a[n++] = c;
        for (char c : marker) a[n++] = c;
        return a;
    }();
    static constexpr auto name = [] {
        std::array<char, sizeof(S.chars)> a{};
        size_t n = 0;
        for (char c : sig.name) a[n++] = c;
        return a;
    }();
};

// ------------------------------------------------------------------ matching

// Who is being called, for the interpreter-style messages ("Game.make_move() ...").
struct CallSite {
    std::string_view cls;
    std::string_view method;
    const std::string_view* params;
    size_t count;
};

// Fill slots[0..count) with borrowed references from positional and keyword arguments.
// A missing, surplus, duplicated or unknown argument raises TypeError and returns false.
bool match_vector(const CallSite& site, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** slots);
bool match_tuple(const CallSite& site, PyObject* args, PyObject* kwargs, PyObject** slots);

// A TypeError raised while converting parameter `name` becomes "argument 'name': ...";
// any other exception (OverflowError, RuntimeError from a callback, ...) is left as it is.
void prefix_argument_error(std::string_view name);

// ------------------------------------------------------------------ conversion

// A str argument kept as the Python object (for methods that need Python's own text services).
struct StrObject {
    PyObject* obj = nullptr;
};

// Converter<T>::convert(obj, out) fills out or raises and returns false.
template <class T>
struct Converter;

template <>
struct Converter<uint64_t> {
    static bool convert(PyObject* o, uint64_t& out);
};
template <>
struct Converter<int8_t> {
    static bool convert(PyObject* o, int8_t& out);
};
template <>
struct Converter<std::string_view> {
    static bool convert(PyObject* o, std::string_view& out);
};
template <>
struct Converter<StrObject> {
    static bool convert(PyObject* o, StrObject& out);
};
template <>
struct Converter<bool> {
    static bool convert(PyObject* o, bool& out);
};

// Raises TypeError "'int' object cannot be converted to 'Move'".
bool wrong_type(PyObject* o, const char* expected);

// An object of one of our classes: its value is copied out.
template <class O>
struct ObjectConverter {
    static bool convert(PyObject* o, typename O::value_type& out) {
        if (!O::check(o)) return wrong_type(o, O::name);
        out = O::cast(o).value;
        return true;
    }
};

// The same, with None accepted as "nothing".
template <class O>
struct OptionalObjectConverter {
    static bool convert(PyObject* o, std::optional<typename O::value_type>& out) {
        if (o == Py_None) {
            out.reset();
            return true;
        }
        if (!O::check(o)) return wrong_type(o, O::name);
        out = O::cast(o).value;
        return true;
    }
};

// ------------------------------------------------------------------ errors

PyObject* panic_exception_type();
// Raise PanicException with `message`; returns nullptr.
PyObject* raise_panic(const char* message);
// Raise ValueError with the engine's text unchanged; returns nullptr.
PyObject* raise_value_error(const std::string& message);

// Runs `f`, turning a C++ exception (which the engine never means to throw) into a Python one;
// then the result is `failure`.
template <class F, class R = decltype(std::declval<F>()())>
R guarded(F&& f, R failure = R()) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unexpected failure");
    }
    return failure;
}

// ------------------------------------------------------------------ trampolines

template <class F>
struct FunctionTraits;
template <class R, class... A>
struct FunctionTraits<R (*)(A...)> {
    using args = std::tuple<A...>;
    static constexpr size_t arity = sizeof...(A);
};

template <class T>
using bare = std::remove_cvref_t<T>;

template <class Tuple, size_t First, class Seq>
struct TupleTail;
template <class Tuple, size_t First, size_t... I>
struct TupleTail<Tuple, First, std::index_sequence<I...>> {
    using type = std::tuple<bare<std::tuple_element_t<First + I, Tuple>>...>;
};

// Converter for a parameter type (defined for the class objects in classes.hpp).
template <class T>
struct ConverterFor {
    using type = Converter<T>;
};

template <class Values, size_t... I>
bool convert_all(const Signature& sig, PyObject** slots, Values& values, std::index_sequence<I...>) {
    auto one = [&](auto& out, size_t i) {
        using V = bare<decltype(out)>;
        if (ConverterFor<V>::type::convert(slots[i], out)) return true;
        prefix_argument_error(sig.params[i]);
        return false;
    };
    (void)one;
    return (one(std::get<I>(values), I) && ...);
}

// Steps of every call once the arguments are matched: check the receiver, take its borrow,
// convert the arguments in order, run the body. The borrow is released on every path.
template <Text S, auto Body>
PyObject* invoke(PyObject* self, PyObject** slots) {
    using Sig = SignatureText<S>;
    constexpr Kind kind = Sig::sig.kind;
    constexpr size_t count = Sig::sig.count;
    using Traits = FunctionTraits<decltype(Body)>;
    using Params = typename Traits::args;
    constexpr size_t receiver = kind == Kind::Static ? 0 : 1;
    static_assert(Traits::arity == receiver + count, "body parameters must match the text signature");
    using Values = typename TupleTail<Params, receiver, std::make_index_sequence<count>>::type;

    return guarded([&]() -> PyObject* {
        Values values{};
        auto convert = [&] { return convert_all(Sig::sig, slots, values, std::make_index_sequence<count>{}); };
        if constexpr (kind == Kind::Instance) {
            using R = std::tuple_element_t<0, Params>;
            using O = bare<R>;
            constexpr Access access =
                std::is_const_v<std::remove_reference_t<R>> ? Access::Shared : Access::Exclusive;
            if (self == nullptr || !O::check(self)) {
                PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
                             self ? type_short_name(Py_TYPE(self)) : "NoneType", O::name);
                return nullptr;
            }
            O& obj = O::cast(self);
            Borrow borrow(obj.borrow, access);
            if (!borrow) return nullptr;
            if (!convert()) return nullptr;
            return std::apply([&](auto&... v) { return Body(obj, v...); }, values);
        } else if constexpr (kind == Kind::Class) {
            if (!convert()) return nullptr;
            return std::apply([&](auto&... v) { return Body(reinterpret_cast<PyTypeObject*>(self), v...); }, values);
        } else {
            if (!convert()) return nullptr;
            return std::apply([&](auto&... v) { return Body(v...); }, values);
        }
    });
}

template <class O, Text S, auto Body>
struct Method {
    static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        using Sig = SignatureText<S>;
        PyObject* slots[Sig::sig.count > 0 ? Sig::sig.count : 1];
        const CallSite site{O::name, Sig::sig.name, Sig::sig.params.data(), Sig::sig.count};
        if (!match_vector(site, args, nargs, kwnames, slots)) return nullptr;
        return invoke<S, Body>(self, slots);
    }
};

// The method table entry of `Body` on class O with text signature S.
template <class O, Text S, auto Body>
PyMethodDef method() {
    constexpr Kind kind = SignatureText<S>::sig.kind;
    int flags = METH_FASTCALL | METH_KEYWORDS;
    if (kind == Kind::Static) flags |= METH_STATIC;
    if (kind == Kind::Class) flags |= METH_CLASS;
    return {SignatureText<S>::name.data(),
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&Method<O, S, Body>::call)), flags,
            SignatureText<S>::doc.data()};
}

// tp_new of class O, whose class signature S ("Game(width, ...)") lists the constructor's
// parameters; Body builds the new object.
template <class O, Text S, auto Body>
PyObject* constructor(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    using Sig = SignatureText<S>;
    PyObject* slots[Sig::sig.count > 0 ? Sig::sig.count : 1];
    const CallSite site{O::name, "__new__", Sig::sig.params.data(), Sig::sig.count};
    if (!match_tuple(site, args, kwargs, slots)) return nullptr;
    return invoke<S, Body>(nullptr, slots);
}

// Slots that take only the receiver (__str__, __repr__): a shared borrow around Body.
template <class O, PyObject* (*Body)(const O&)>
PyObject* unary_slot(PyObject* self) {
    Borrow borrow(O::cast(self).borrow, Access::Shared);
    if (!borrow) return nullptr;
    return guarded([&] { return Body(O::cast(self)); });
}

template <class O, Py_hash_t (*Body)(const O&)>
Py_hash_t hash_slot(PyObject* self) {
    Borrow borrow(O::cast(self).borrow, Access::Shared);
    if (!borrow) return -1;
    return guarded([&] { return Body(O::cast(self)); }, Py_hash_t{-1});
}

}  // namespace murkle::py
