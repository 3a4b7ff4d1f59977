// The module boundary: every C++ failure that reaches an entry becomes a
// Python exception, and nothing ever ends the host process.
#pragma once
#include <Python.h>

#include <exception>
#include <new>

#include "core/errors.hpp"
#include "python/ref.hpp"
#include "python/signals.hpp"

namespace sonaloc::py {

// The PanicException type, created once per process on first use: a direct
// subclass of BaseException, raised for internal faults.
PyObject* panic_exception_type();

// Translates the exception in flight; always returns nullptr.
PyObject* translate_current_exception() noexcept;

// Runs an entry body (returning Ref) and translates any failure.
template <class F>
PyObject* guarded(F&& body) noexcept {
    const EntryScope scope;
    try {
        Ref result = body();
        return result.release();
    } catch (...) {
        return translate_current_exception();
    }
}

}  // namespace sonaloc::py
