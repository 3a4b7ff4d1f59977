// Owning references to interpreter objects and the exception that carries an
// already-set Python error through C++ code to the entry.
#pragma once
#include <Python.h>

#include <utility>

namespace sonaloc::py {

// Thrown when a Python exception is already set; the entry returns NULL.
struct PythonError {};

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) { return Ref(o); }
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
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

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

// Steals a new reference; throws PythonError when it is NULL.
inline Ref check(PyObject* o) {
    if (o == nullptr) throw PythonError{};
    return Ref::steal(o);
}

}  // namespace sonaloc::py
