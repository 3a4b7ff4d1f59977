// Output hand-over: native buffers become NumPy arrays without a copy.
#pragma once
#include <Python.h>

#include <cstdint>
#include <vector>

#include "core/runtime/system.hpp"
#include "core/view.hpp"
#include "python/ref.hpp"

namespace sonaloc::py {

// How a shape that does not match the buffer length is reported.
enum class ShapeError {
    Fault,       // internal fault (PanicException)
    ValueError,  // ValueError "Error creating ndarray: <reason>"
};

// Moves the buffer into a new C-ordered, writeable array whose base object
// owns the buffer. Throws PythonError / InternalFault on failure.
Ref to_array(Output<float>&& out, ShapeError on_mismatch = ShapeError::Fault);
Ref to_array(Output<std::uint32_t>&& out, ShapeError on_mismatch = ShapeError::Fault);
Ref to_array(Output<float, system::ZeroedArray<float>>&& out, ShapeError on_mismatch = ShapeError::Fault);
Ref to_array(Output<std::uint32_t, system::ZeroedArray<std::uint32_t>>&& out,
             ShapeError on_mismatch = ShapeError::Fault);

// Builds a tuple, stealing the references.
template <class... R>
Ref make_tuple(R&&... items) {
    PyObject* t = PyTuple_New(sizeof...(R));
    if (t == nullptr) throw PythonError{};
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(t, i++, items.release())), ...);
    return Ref::steal(t);
}

Ref py_float(float v);
Ref py_none();

}  // namespace sonaloc::py
