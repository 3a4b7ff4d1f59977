// The importable module: PyInit_sonaloc and the ten entries. Each entry binds
// its arguments, runs the computation in core and wraps the result.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/radial_symmetry2d.hpp"
#include "core/radial_symmetry3d.hpp"
#include "python/arrays.hpp"
#include "python/binding.hpp"
#include "python/boundary.hpp"
#include "python/module_init.hpp"

namespace {

using namespace sonaloc;
using namespace sonaloc::py;

// ---------------------------------------------------------------- rs_radial_symmetry_2d

const Signature kRadialSymmetry2D{"rs_radial_symmetry_2d", {{"array", Kind::Matrix}}};

PyObject* rs_radial_symmetry_2d(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a;
        if (!bind(kRadialSymmetry2D, args, kwargs, a)) throw PythonError{};
        const Matrix window = a.matrix(0);
        // An empty window has no pixel to localize: the same refusal as 1 x N.
        const auto r = window.count() == 0 ? std::nullopt : localize_radial_symmetry(window);
        if (!r) throw ValueError("Radial symmetry localization failed");
        return make_tuple(py_float(r->first), py_float(r->second));
    });
}

// ---------------------------------------------------------------- rs_radial_symmetry_3d

const Signature kRadialSymmetry3D{"rs_radial_symmetry_3d", {{"array", Kind::Volume}}};

PyObject* rs_radial_symmetry_3d(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a;
        if (!bind(kRadialSymmetry3D, args, kwargs, a)) throw PythonError{};
        const auto r = localize_radial_symmetry_3d(a.volume(0));
        if (!r) throw ValueError("3D radial symmetry localization failed");
        return make_tuple(py_float((*r)[0]), py_float((*r)[1]), py_float((*r)[2]));
    });
}

// ---------------------------------------------------------------- module table

// In the order the module lists them.
const Entry kEntries[] = {
    // rs_detect_peaks
    // rs_detect_peaks3d
    // rs_draw_tracks
    // rs_draw_tracks_3d
    // rs_draw_tracks_value
    // rs_draw_tracks_value_3d
    {&kRadialSymmetry2D, rs_radial_symmetry_2d},
    {&kRadialSymmetry3D, rs_radial_symmetry_3d},
    // rs_link_points
    // rs_link_points_3d
};

}  // namespace

PyMODINIT_FUNC PyInit_sonaloc() { return sonaloc::py::create_module(kEntries); }
