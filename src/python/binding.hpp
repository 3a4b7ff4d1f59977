// Argument binding and conversion for the module's entries.
//
// Every entry describes its parameters in a table (name and kind, in order);
// `bind` fills the parameters from the positional tuple and the keyword dict
// and converts each one by its kind, raising the interpreter-style TypeError
// messages. Array parameters are only type-checked here; their data pointers
// are taken by `Args::view` after every Python-level conversion has run.
#pragma once
#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/view.hpp"
#include "python/ref.hpp"

namespace sonaloc::py {

enum class Kind : std::uint8_t {
    Matrix,      // float32, 2 dimensions
    Volume,      // float32, 3 dimensions
    IndexVector, // int32, 1 dimension
    Real,        // float (through the interpreter's float conversion), narrowed to float32
    Count,       // unsigned 64-bit (through the interpreter's index conversion)
    Text,        // str
    Tuple,       // tuple or tuple subclass
    MatrixList,  // any sequence except str, of float32 matrices
};

struct Param {
    const char* name;
    Kind kind;
    bool optional = false;  // None is accepted and becomes "absent"
};

inline constexpr std::size_t kMaxParams = 9;

struct Signature {
    const char* function;
    std::vector<Param> params;
    // "name(p1, p2, ...)\n--\n\n": the docstring that makes the signature
    // introspectable.
    std::string text_signature() const;
};

// A converted parameter.
struct Value {
    bool present = false;   // false for None given to an optional parameter
    float real = 0.0f;
    std::uint64_t count = 0;
    std::string text;
    Ref object;             // arrays and tuples: a reference held for the call
    std::vector<Ref> items; // MatrixList: one array per item
};

// The converted parameters of one call, read by parameter name. Each reader
// states the kind it expects and whether the parameter may be None; a name
// the signature lacks, another kind, or a required reader on an optional
// parameter (or the reverse) is an internal fault, so a slip in an entry
// fails loudly in every call instead of reading the wrong argument.
class Args {
public:
    float real(std::string_view name) const { return value(name, Kind::Real, false).real; }
    std::optional<float> optional_real(std::string_view name) const;
    std::uint64_t count(std::string_view name) const { return value(name, Kind::Count, false).count; }
    std::optional<std::uint64_t> optional_count(std::string_view name) const;
    std::optional<std::string> optional_text(std::string_view name) const;
    PyObject* tuple(std::string_view name) const { return value(name, Kind::Tuple, false).object.get(); }
    // The tuple object, or nullptr when the optional tuple was None.
    PyObject* optional_tuple(std::string_view name) const;

    // Views: take them only after all Python-level conversions of the call
    // (tuple items included) have run.
    Matrix matrix(std::string_view name) const;
    Volume volume(std::string_view name) const;
    IndexVector index_vector(std::string_view name) const;
    std::vector<Matrix> matrices(std::string_view name) const;

private:
    friend bool bind(const Signature&, PyObject*, PyObject*, Args&);
    const Value& value(std::string_view name, Kind kind, bool optional) const;

    const Signature* signature_ = nullptr;
    std::array<Value, kMaxParams> values_;
};

// Binds and converts; false with a Python exception set on failure.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Args& out);

// Reads items 0..N-1 of a tuple with the real conversion, in order. A short
// tuple raises the interpreter's IndexError, a non-number its TypeError
// (thrown as PythonError, no argument prefix).
template <std::size_t N>
std::array<float, N> tuple_reals(PyObject* tuple);
float tuple_real(PyObject* tuple, std::size_t index);

template <std::size_t N>
std::array<float, N> tuple_reals(PyObject* tuple) {
    std::array<float, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = tuple_real(tuple, i);
    return out;
}

}  // namespace sonaloc::py
