#include "python/boundary.hpp"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace sonaloc::py {
namespace {

void raise_panic(const char* message) {
    // The one line the module ever writes: a fault is a bug worth reporting.
    std::fprintf(stderr, "sonaloc: internal fault: %s\n", message);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the failure to create it is already set
    PyErr_SetString(type, message);
}

}  // namespace

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;  // created once per process, kept forever
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "sonaloc.PanicException",
            "An internal fault of sonaloc (a broken invariant). Derives from BaseException, so "
            "`except Exception` does not catch it.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

PyObject* translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) raise_panic("a Python error was reported but none is set");
    } catch (const interrupt::Interrupted&) {
        // The signal check that stopped the call has set its exception.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const ValueError& e) {
        const std::string_view text = e.message();
        Ref message = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    } catch (const InternalFault& e) {
        raise_panic(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();  // a container asked for more than can ever exist
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown failure");
    }
    return nullptr;
}

}  // namespace sonaloc::py
