#include "python/arrays.hpp"

#include <memory>
#include <type_traits>
#include <string>

#include "core/errors.hpp"
#include "python/numpy_api.hpp"

namespace sonaloc::py {
namespace {

template <class T>
constexpr int typenum() {
    if constexpr (std::is_same_v<T, float>) return NPY_FLOAT32;
    else return NPY_UINT32;
}

template <class T>
const char* capsule_name() {
    if constexpr (std::is_same_v<T, float>) return "sonaloc.buffer.float32";
    else return "sonaloc.buffer.uint32";
}

template <class T, class S>
void free_buffer(PyObject* capsule) {
    delete static_cast<S*>(PyCapsule_GetPointer(capsule, capsule_name<T>()));
}

template <class T, class S>
Ref hand_over(Output<T, S>&& out, ShapeError on_mismatch) {
    std::size_t count = 1;
    for (std::size_t s : out.shape) count *= s;
    if (count != out.data.size()) {
        std::string reason = "shape of " + std::to_string(count) + " elements does not match a buffer of " +
                             std::to_string(out.data.size());
        if (on_mismatch == ShapeError::ValueError) throw ValueError("Error creating ndarray: " + reason);
        fault(reason);
    }
    std::vector<npy_intp> dims(out.shape.begin(), out.shape.end());
    const int nd = static_cast<int>(dims.size());

    // A zero-size result goes over the same way: its (empty) buffer needs an
    // address, or NumPy would allocate one of its own.
    if constexpr (std::is_same_v<S, std::vector<T>>) {
        if (out.data.capacity() == 0) out.data.reserve(1);
    }  // (a ZeroedArray always has one)

    // The capsule owns the buffer from here on and is the array's base object,
    // so the memory lives exactly as long as the array and its views.
    auto buffer = std::make_unique<S>(std::move(out.data));
    T* data = buffer->data();
    Ref owner = Ref::steal(PyCapsule_New(buffer.get(), capsule_name<T>(), free_buffer<T, S>));
    if (!owner) throw PythonError{};
    buffer.release();
    Ref array = Ref::steal(PyArray_New(&PyArray_Type, nd, dims.data(), typenum<T>(), nullptr, data, 0,
                                       NPY_ARRAY_CARRAY, nullptr));
    if (!array) throw PythonError{};
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) != 0)
        throw PythonError{};
    return array;
}

}  // namespace

Ref to_array(Output<float>&& out, ShapeError on_mismatch) { return hand_over(std::move(out), on_mismatch); }
Ref to_array(Output<std::uint32_t>&& out, ShapeError on_mismatch) {
    return hand_over(std::move(out), on_mismatch);
}
Ref to_array(Output<float, system::ZeroedArray<float>>&& out, ShapeError on_mismatch) {
    return hand_over(std::move(out), on_mismatch);
}
Ref to_array(Output<std::uint32_t, system::ZeroedArray<std::uint32_t>>&& out, ShapeError on_mismatch) {
    return hand_over(std::move(out), on_mismatch);
}

Ref py_float(float v) { return check(PyFloat_FromDouble(static_cast<double>(v))); }

Ref py_none() { return Ref::borrow(Py_None); }

}  // namespace sonaloc::py
