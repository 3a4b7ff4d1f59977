// Module object creation from the entry table.
#pragma once
#include <Python.h>

#include <span>

#include "python/binding.hpp"

namespace sonaloc::py {

using EntryFunction = PyObject* (*)(PyObject*, PyObject*, PyObject*);

struct Entry {
    const Signature* signature;
    EntryFunction function;
};

// Builds the module once per process (a second initialisation raises
// ImportError); NULL with an exception set on failure.
PyObject* create_module(std::span<const Entry> entries);

}  // namespace sonaloc::py
