// The typed arguments a body receives, and the rows derived from bodies.
//
// A body is a function `PyObject* name(ModuleState&, T1 p1, T2 p2, ...)`
// whose parameter types say how each argument is converted (the `_impl`
// layer of the module: named C++ parameters, converted values only):
//
//   PyObject*               Kind::Object, passed on unconverted
//   int32_t, double         Kind::Int32, Kind::Double
//   const LchBounds&        Kind::BoundsMapping
//   PointList&, ...         the array kinds, one type each (below)
//
// define<body>("name", {"p1", "p2", ...}) makes the function's row: one
// name per parameter of the body (checked at compile time), the kinds
// taken from the body's types, defaults and message labels from the names
// (defaults_to, defaults_to_none, labelled), and the call that converts the
// bound arguments left to right and runs the body.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "buffer_view.h"
#include "color/color.h"
#include "signature.h"

namespace quorvane {

/// Array arguments: views checked (and, except PointListView, packed)
/// before the body runs; released when the call ends.
template <Kind K>
struct ArrayOf : ArrayArg {
    static constexpr Kind kKind = K;
};
using PointList = ArrayOf<Kind::PointList>;
using PointListView = ArrayOf<Kind::PointListView>;
using PointMask = ArrayOf<Kind::PointMask>;
using RgbImage = ArrayOf<Kind::RgbImage>;
using RgbImageUchar = ArrayOf<Kind::RgbImageUchar>;
using ByteImage = ArrayOf<Kind::ByteImage>;

/// Converts one array argument as `kind` says (view, checks, packing);
/// `shape_label` names it in the packed-shape messages.
bool convert_array(PyObject* obj, Kind kind, const char* shape_label, ArrayArg& out);

/// The Python names of a body's parameters, in order, with their defaults.
struct Name {
    const char* name;
    Default fallback = Default::Required;
    long int_default = 0;
    const char* shape_label = nullptr;  ///< name in the packed-shape messages, if not `name`
    constexpr Name(const char* n) noexcept : name(n) {}  // NOLINT: rows list plain strings
    constexpr Name(const char* n, Default f, long v, const char* label) noexcept
        : name(n), fallback(f), int_default(v), shape_label(label) {}
};
constexpr Name defaults_to(const char* name, long value) noexcept { return {name, Default::Int, value, nullptr}; }
constexpr Name defaults_to_none(const char* name) noexcept { return {name, Default::None, 0, nullptr}; }
constexpr Name labelled(const char* name, const char* label) noexcept {
    return {name, Default::Required, 0, label};
}

namespace args_detail {

/// How a body parameter of type T is converted.
template <class T>
struct Arg;  // a body parameter of any other type does not compile

template <>
struct Arg<PyObject*> {
    static constexpr Kind kind = Kind::Object;
    using Value = PyObject*;
    static bool convert(PyObject* o, const Param&, Value& v) noexcept {
        v = o;
        return true;
    }
};
template <>
struct Arg<int32_t> {
    static constexpr Kind kind = Kind::Int32;
    using Value = int32_t;
    static bool convert(PyObject* o, const Param&, Value& v);
};
template <>
struct Arg<double> {
    static constexpr Kind kind = Kind::Double;
    using Value = double;
    static bool convert(PyObject* o, const Param&, Value& v);
};
template <>
struct Arg<const LchBounds&> {
    static constexpr Kind kind = Kind::BoundsMapping;
    using Value = LchBounds;
    static bool convert(PyObject* o, const Param&, Value& v);
};
template <Kind K>
struct Arg<ArrayOf<K>&> {
    static constexpr Kind kind = K;
    using Value = ArrayOf<K>;
    static bool convert(PyObject* o, const Param& p, Value& v) {
        return convert_array(o, K, p.shape_label ? p.shape_label : p.name, v);
    }
};

/// The converted values of one call. The last is destroyed first (array
/// views released in reverse order, as locals are).
template <class... T>
struct Values {};
template <class H, class... T>
struct Values<H, T...> {
    H head{};
    Values<T...> tail;
};
template <std::size_t I, class H, class... T>
auto& get(Values<H, T...>& v) noexcept {
    if constexpr (I == 0) {
        return v.head;
    } else {
        return get<I - 1>(v.tail);
    }
}

template <class F>
struct BodyTraits;
template <class... A>
struct BodyTraits<PyObject* (*)(ModuleState&, A...)> {
    static constexpr std::size_t arity = sizeof...(A);
    static constexpr std::array<Kind, sizeof...(A)> kinds{Arg<A>::kind...};

    template <auto Body, std::size_t... I>
    static PyObject* run(ModuleState& state, const Param* params, PyObject* const* args, std::index_sequence<I...>) {
        Values<typename Arg<A>::Value...> values;
        if (!(Arg<A>::convert(args[I], params[I], get<I>(values)) && ...)) return nullptr;
        return Body(state, get<I>(values)...);
    }
    template <auto Body>
    static PyObject* call(ModuleState& state, const Param* params, PyObject* const* args) {
        return run<Body>(state, params, args, std::index_sequence_for<A...>{});
    }
};

/// Called only in a malformed row: stops the compilation there.
void invalid_row(const char* why);

}  // namespace args_detail

/// A function's row, derived from its body: the parameters and the call.
template <auto Body, std::size_t N>
struct Definition {
    const char* name;
    std::array<Param, N> params;

    constexpr FunctionSpec spec() const noexcept {
        return {name, params.data(), static_cast<int>(N), &args_detail::BodyTraits<decltype(Body)>::template call<Body>};
    }
};

template <auto Body, std::size_t N>
consteval Definition<Body, N> define(const char* name, const Name (&names)[N]) {
    using Traits = args_detail::BodyTraits<decltype(Body)>;
    static_assert(Traits::arity == N, "one name for every parameter of the body");
    static_assert(N <= kMaxParams);
    Definition<Body, N> d{name, {}};
    bool defaulted = false;
    for (std::size_t k = 0; k < N; ++k) {
        const Name& p = names[k];
        d.params[k] = Param{p.name, Traits::kinds[k], p.fallback, p.int_default, p.shape_label};
        if (p.fallback != Default::Required) {
            defaulted = true;
            // A default is an object the body converts itself.
            if (Traits::kinds[k] != Kind::Object) args_detail::invalid_row("a default for a converted parameter");
        } else if (defaulted) {
            args_detail::invalid_row("a required parameter after one with a default");
        }
    }
    return d;
}

}  // namespace quorvane
