// The importable module: PyInit_sonaloc and the ten entries. Each entry binds
// its arguments, runs the computation in core and wraps the result.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/detect/detection2d.hpp"
#include "core/detect/detection3d.hpp"
#include "core/detect/gaussian_correlation.hpp"
#include "core/detect/tables.hpp"
#include "core/link/linking.hpp"
#include "core/localize/localize.hpp"
#include "core/localize/localize3d.hpp"
#include "core/localize/method.hpp"
#include "core/localize/radial_symmetry2d.hpp"
#include "core/localize/radial_symmetry3d.hpp"
#include "core/render/draw.hpp"
#include "core/render/grid.hpp"
#include "core/render/track_records.hpp"
#include "python/arrays.hpp"
#include "python/binding.hpp"
#include "python/boundary.hpp"
#include "python/module_init.hpp"

namespace {

using namespace sonaloc;
using namespace sonaloc::py;

// ---------------------------------------------------------------- rs_detect_peaks

const Signature kDetectPeaks{"rs_detect_peaks",
                             {{"array", Kind::Matrix},
                              {"extent", Kind::Tuple},
                              {"threshold", Kind::Real},
                              {"min_distance", Kind::Real},
                              {"localization_method", Kind::Text, true},
                              {"localization_window_size", Kind::Count, true},
                              {"max_num_peaks", Kind::Count, true}}};

PyObject* rs_detect_peaks(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a;
        if (!bind(kDetectPeaks, args, kwargs, a)) throw PythonError{};
        const auto [x_first, x_last, y_first, y_last] = tuple_reals<4>(a.tuple("extent"));
        const Extent2D extent{x_first, x_last, y_first, y_last};
        const Matrix image = a.matrix("array");
        std::vector<Peak2D> peaks = detect_peaks(image, extent, a.real("threshold"), a.real("min_distance"));
        if (const auto name = a.optional_text("localization_method")) {
            const std::uint64_t w = a.optional_count("localization_window_size").value_or(7);
            if (w < 3 || w % 2 == 0)
                throw ValueError("localization_window_size must be an odd integer >= 3");
            const LocalizationMethod method = parse_localization_method(*name);
            const ImageGrid grid{image.shape[0], image.shape[1], extent};
            peaks = localize(image, peaks, w, grid, 2, method, a.optional_count("max_num_peaks"));
        }
        DetectionTable t = detection_table(peaks);
        return make_tuple(to_array(std::move(t.positions), ShapeError::Fault),
                          to_array(std::move(t.intensities), ShapeError::Fault));
    });
}

// ---------------------------------------------------------------- rs_detect_peaks3d

const Signature kDetectPeaks3D{"rs_detect_peaks3d",
                               {{"array", Kind::Volume},
                                {"extent", Kind::Tuple},
                                {"threshold", Kind::Real},
                                {"min_distance", Kind::Real},
                                {"localization_window_size", Kind::Count, true},
                                {"localization_method", Kind::Text, true},
                                {"correlation_sigmas", Kind::Tuple, true},
                                {"correlation_threshold", Kind::Real, true},
                                {"max_num_peaks", Kind::Count, true}}};

PyObject* rs_detect_peaks3d(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a;
        if (!bind(kDetectPeaks3D, args, kwargs, a)) throw PythonError{};
        // Tuple items may run Python code: read them all before viewing the volume.
        const VolumeExtent extent = tuple_reals<6>(a.tuple("extent"));
        std::optional<std::array<float, 3>> sigmas;
        if (PyObject* t = a.optional_tuple("correlation_sigmas")) sigmas = tuple_reals<3>(t);
        const Volume volume = a.volume("array");

        std::vector<Peak3D> peaks = detect_peaks_3d(volume, extent, a.real("threshold"), a.real("min_distance"));
        if (sigmas) compute_correlations(volume, extent, peaks, *sigmas);
        if (const auto threshold = a.optional_real("correlation_threshold")) screen_by_correlation(peaks, *threshold);
        const auto max_num_peaks = a.optional_count("max_num_peaks");
        if (const auto name = a.optional_text("localization_method")) {
            const LocalizationMethod method = parse_localization_method(*name);
            const std::uint64_t w = a.optional_count("localization_window_size").value_or(7);
            peaks = localize_3d(volume, peaks, w, extent, method,
                                max_num_peaks);
        } else if (max_num_peaks && *max_num_peaks < peaks.size()) {
            peaks.resize(*max_num_peaks);
        }
        DetectionTable t = detection_table(peaks);
        Ref positions = to_array(std::move(t.positions));
        Ref intensities = to_array(std::move(t.intensities));
        Ref correlations = t.correlations ? to_array(std::move(*t.correlations)) : py_none();
        return make_tuple(std::move(positions), std::move(intensities), std::move(correlations));
    });
}

// ---------------------------------------------------------------- rs_radial_symmetry_2d

const Signature kRadialSymmetry2D{"rs_radial_symmetry_2d", {{"array", Kind::Matrix}}};

PyObject* rs_radial_symmetry_2d(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a;
        if (!bind(kRadialSymmetry2D, args, kwargs, a)) throw PythonError{};
        const Matrix window = a.matrix("array");
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
        const auto r = localize_radial_symmetry_3d(a.volume("array"));
        if (!r) throw ValueError("3D radial symmetry localization failed");
        return make_tuple(py_float((*r)[0]), py_float((*r)[1]), py_float((*r)[2]));
    });
}

// ---------------------------------------------------------------- rs_link_points / rs_link_points_3d

Ref export_tracks(std::vector<float>&& points, std::vector<std::uint32_t>&& ends, std::size_t cols) {
    const std::size_t rows = points.size() / cols;
    const std::size_t tracks = ends.size();
    return make_tuple(to_array(Output<float>{std::move(points), {rows, cols}}),
                      to_array(Output<std::uint32_t>{std::move(ends), {tracks}}));
}

const Signature kLinkPoints{"rs_link_points",
                            {{"points_list", Kind::MatrixList},
                             {"max_distance", Kind::Real},
                             {"max_skip", Kind::Count},
                             {"max_intensity_ratio", Kind::Real}}};

PyObject* rs_link_points(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a;
        if (!bind(kLinkPoints, args, kwargs, a)) throw PythonError{};
        const auto frames = frame_points_2d(a.matrices("points_list"));
        ExportMatrices2D m = link_and_export(frames, a.real("max_distance"), a.count("max_skip"),
                                             a.real("max_intensity_ratio"));
        return export_tracks(std::move(m.points), std::move(m.ends), 3);
    });
}

const Signature kLinkPoints3D{"rs_link_points_3d",
                              {{"points_list", Kind::MatrixList},
                               {"max_distance", Kind::Real},
                               {"max_skip", Kind::Count}}};

PyObject* rs_link_points_3d(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a;
        if (!bind(kLinkPoints3D, args, kwargs, a)) throw PythonError{};
        const auto frames = frame_points_3d(a.matrices("points_list"));
        TrackMatrices m = link_and_export_3d(frames, a.real("max_distance"), a.count("max_skip"));
        return export_tracks(std::move(m.points), std::move(m.ends), 4);
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

constexpr const char* kTracks2D = "matrix_x_y_intensity";
constexpr const char* kTracks3D = "matrix_x_y_z_intensity";
constexpr const char* kValueTracks2D = "matrix_x_y_intensity_value";
constexpr const char* kValueTracks3D = "matrix_x_y_z_intensity_value";

const Signature kDrawTracks = draw_signature("rs_draw_tracks", kTracks2D);
const Signature kDrawTracks3D = draw_signature("rs_draw_tracks_3d", kTracks3D);
const Signature kDrawTracksValue = draw_signature("rs_draw_tracks_value", kValueTracks2D);
const Signature kDrawTracksValue3D = draw_signature("rs_draw_tracks_value_3d", kValueTracks3D);

// Images go over in result order; a failure releases those already built.
template <class T, class S>
Ref image_array(Output<T, S>&& out) {
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
        const auto grid = render_grid_2d(tuple_reals<4>(a.tuple("extent")), a.real("pixel_size"), 2 * sizeof(float));
        const auto tracks = image_tracks<ImageTrackPoint2D>(a.matrix(kTracks2D), a.index_vector("track_end_indices"), grid);
        auto img = draw_density_2d(tracks, grid);
        Ref intensity = image_array(std::move(img.intensity));
        Ref count = image_array(std::move(img.count));
        return make_tuple(std::move(intensity), std::move(count), extent_2d(grid));
    });
}

PyObject* rs_draw_tracks_value(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a;
        if (!bind(kDrawTracksValue, args, kwargs, a)) throw PythonError{};
        const auto grid = render_grid_2d(tuple_reals<4>(a.tuple("extent")), a.real("pixel_size"), 3 * sizeof(float));
        const auto tracks = image_tracks<ImageTrackValuePoint2D>(a.matrix(kValueTracks2D), a.index_vector("track_end_indices"), grid);
        auto img = draw_value_2d(tracks, grid);
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
        const Grid3D grid =
            get_shape_and_extent(read_extent_3d(a.tuple("extent")), a.real("pixel_size"), 2 * sizeof(float));
        const auto tracks = image_tracks<ImageTrackPoint3D>(a.matrix(kTracks3D), a.index_vector("track_end_indices"), grid);
        auto img = draw_density_3d(tracks, grid);
        Ref sum = image_array(std::move(img.intensity));
        Ref count = image_array(std::move(img.count));
        return make_tuple(std::move(sum), std::move(count), extent_3d(grid));
    });
}

PyObject* rs_draw_tracks_value_3d(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a;
        if (!bind(kDrawTracksValue3D, args, kwargs, a)) throw PythonError{};
        const Grid3D grid =
            get_shape_and_extent(read_extent_3d(a.tuple("extent")), a.real("pixel_size"), 3 * sizeof(float));
        const auto tracks = image_tracks<ImageTrackValuePoint3D>(a.matrix(kValueTracks3D), a.index_vector("track_end_indices"), grid);
        auto img = draw_value_3d(tracks, grid);
        Ref intensity = image_array(std::move(img.intensity));
        Ref mean = image_array(std::move(img.mean));
        Ref count = image_array(std::move(img.count));
        return make_tuple(std::move(intensity), std::move(mean), std::move(count), extent_3d(grid));
    });
}

// ---------------------------------------------------------------- module table

// In the order the module lists them.
const Entry kEntries[] = {
    {&kDetectPeaks, rs_detect_peaks},
    {&kDetectPeaks3D, rs_detect_peaks3d},
    {&kDrawTracks, rs_draw_tracks},
    {&kDrawTracks3D, rs_draw_tracks_3d},
    {&kDrawTracksValue, rs_draw_tracks_value},
    {&kDrawTracksValue3D, rs_draw_tracks_value_3d},
    {&kRadialSymmetry2D, rs_radial_symmetry_2d},
    {&kRadialSymmetry3D, rs_radial_symmetry_3d},
    {&kLinkPoints, rs_link_points},
    {&kLinkPoints3D, rs_link_points_3d},
};

}  // namespace

PyMODINIT_FUNC PyInit_sonaloc() { return sonaloc::py::create_module(kEntries); }
