// NumPy's C API, shared by the binding layer's translation units. The table
// of API pointers is filled once, at module initialisation.
#pragma once
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL sonaloc_ARRAY_API
#ifndef SONALOC_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
