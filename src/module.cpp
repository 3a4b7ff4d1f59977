// The importable module: PyInit_sonaloc and the ten entries. Each entry binds
// its arguments, runs the computation in core and wraps the result.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/image.hpp"
#include "core/image3d.hpp"
#include "core/radial_symmetry2d.hpp"
#include "core/radial_symmetry3d.hpp"
#include "core/value_image.hpp"
#include "core/value_image3d.hpp"
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

// ---------------------------------------------------------------- track rendering
//
// Every drawing entry reads the extent items first (they may run Python
// code), fixes and checks the grid, then takes the array views, cuts and
// converts the tracks, draws them and hands the images over.

Signature draw_signature(const char* function, const char* matrix) {
    return {function,
            {{matrix, Kind::Matrix},
             {"track_end_indices", Kind::IndexVector},
             {"extent", Kind::Tuple},
             {"pixel_size", Kind::Real}}};
}

const Signature kDrawTracks = draw_signature("rs_draw_tracks", "matrix_x_y_intensity");
const Signature kDrawTracks3D = draw_signature("rs_draw_tracks_3d", "matrix_x_y_z_intensity");
const Signature kDrawTracksValue = draw_signature("rs_draw_tracks_value", "matrix_x_y_intensity_value");
const Signature kDrawTracksValue3D =
    draw_signature("rs_draw_tracks_value_3d", "matrix_x_y_z_intensity_value");

// Images go over in result order; a failure releases those already built.
template <class T>
Ref image_array(Output<T>&& out) {
    return to_array(std::move(out), ShapeError::ValueError);
}

Ref extent_2d(const RenderGrid<2>& g) {
    const auto& [x, y] = g.axes;
    return make_tuple(py_float(x.lo), py_float(x.hi), py_float(y.lo), py_float(y.hi));
}

Ref extent_3d(const Grid3D& g) {
    const Extent3D e = adjusted_extent(g);
    return make_tuple(py_float(e.x_min), py_float(e.x_max), py_float(e.y_min), py_float(e.y_max),
                      py_float(e.z_min), py_float(e.z_max));
}

Extent3D read_extent_3d(PyObject* tuple) {
    const auto e = tuple_reals<6>(tuple);
    return {e[0], e[1], e[2], e[3], e[4], e[5]};
}

PyObject* rs_draw_tracks(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a;
        if (!bind(kDrawTracks, args, kwargs, a)) throw PythonError{};
        const auto grid = render_grid_2d(tuple_reals<4>(a.tuple(2)), a.real(3), 2 * sizeof(float));
        auto img = draw_density_2d(image_tracks<ImageTrackPoint2D>(a.matrix(0), a.index_vector(1), grid), grid);
        Ref intensity = image_array(std::move(img.intensity));
        Ref count = image_array(std::move(img.count));
        return make_tuple(std::move(intensity), std::move(count), extent_2d(grid));
    });
}

PyObject* rs_draw_tracks_value(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a;
        if (!bind(kDrawTracksValue, args, kwargs, a)) throw PythonError{};
        const auto grid = render_grid_2d(tuple_reals<4>(a.tuple(2)), a.real(3), 3 * sizeof(float));
        auto img = draw_value_2d(image_tracks<ImageTrackValuePoint2D>(a.matrix(0), a.index_vector(1), grid), grid);
        Ref intensity = image_array(std::move(img.intensity));
        Ref mean = image_array(std::move(img.mean));
        Ref count = image_array(std::move(img.count));
        return make_tuple(std::move(intensity), std::move(mean), std::move(count), extent_2d(grid));
    });
}

PyObject* rs_draw_tracks_3d(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a;
        if (!bind(kDrawTracks3D, args, kwargs, a)) throw PythonError{};
        const Grid3D grid = get_shape_and_extent(read_extent_3d(a.tuple(2)), a.real(3), 2 * sizeof(float));
        auto img = draw_density_3d(image_tracks<ImageTrackPoint3D>(a.matrix(0), a.index_vector(1), grid), grid);
        Ref sum = image_array(std::move(img.sum));
        Ref count = image_array(std::move(img.count));
        return make_tuple(std::move(sum), std::move(count), extent_3d(grid));
    });
}

PyObject* rs_draw_tracks_value_3d(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a;
        if (!bind(kDrawTracksValue3D, args, kwargs, a)) throw PythonError{};
        const Grid3D grid = get_shape_and_extent(read_extent_3d(a.tuple(2)), a.real(3), 3 * sizeof(float));
        auto img = draw_value_3d(image_tracks<ImageTrackValuePoint3D>(a.matrix(0), a.index_vector(1), grid), grid);
        Ref intensity = image_array(std::move(img.intensity));
        Ref mean = image_array(std::move(img.mean));
        Ref count = image_array(std::move(img.count));
        return make_tuple(std::move(intensity), std::move(mean), std::move(count), extent_3d(grid));
    });
}

// ---------------------------------------------------------------- module table

// In the order the module lists them.
const Entry kEntries[] = {
    // rs_detect_peaks
    // rs_detect_peaks3d
    {&kDrawTracks, rs_draw_tracks},
    {&kDrawTracks3D, rs_draw_tracks_3d},
    {&kDrawTracksValue, rs_draw_tracks_value},
    {&kDrawTracksValue3D, rs_draw_tracks_value_3d},
    {&kRadialSymmetry2D, rs_radial_symmetry_2d},
    {&kRadialSymmetry3D, rs_radial_symmetry_3d},
    // rs_link_points
    // rs_link_points_3d
};

}  // namespace

PyMODINIT_FUNC PyInit_sonaloc() { return sonaloc::py::create_module(kEntries); }
