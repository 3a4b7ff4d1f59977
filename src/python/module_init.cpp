#define SONALOC_IMPORT_NUMPY
#include "python/module_init.hpp"

#include <string>
#include <vector>

#include "python/numpy_api.hpp"
#include "python/signals.hpp"
#include "core/runtime/thread_state.hpp"

namespace sonaloc::py {
namespace {

int init_numpy() {
    import_array1(-1);
    return 0;
}

}  // namespace

PyObject* create_module(std::span<const Entry> entries) {
    // Single-phase initialisation; the module holds no state, but it is built
    // only once per process.
    static bool initialised = false;
    if (initialised) {
        PyErr_SetString(PyExc_ImportError, "sonaloc can only be initialised once per process");
        return nullptr;
    }
    if (init_numpy() < 0) return nullptr;
    thread_state::prepare();  // the importing thread, usually the main one
    install_signal_check();

    static std::vector<std::string> docs;
    static std::vector<PyMethodDef> methods;
    docs.clear();
    methods.clear();
    docs.reserve(entries.size());
    for (const Entry& e : entries) docs.push_back(e.signature->text_signature());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        methods.push_back({entries[i].signature->function,
                           reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entries[i].function)),
                           METH_VARARGS | METH_KEYWORDS, docs[i].c_str()});
    }
    methods.push_back({nullptr, nullptr, 0, nullptr});

    static PyModuleDef def = {PyModuleDef_HEAD_INIT, "sonaloc", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};
    def.m_methods = methods.data();
    PyObject* module = PyModule_Create(&def);
    if (module != nullptr) initialised = true;
    return module;
}

}  // namespace sonaloc::py
