// The four renderers: every track walked through the grid, its passages
// grouped by cell, and each cell aggregated.
#pragma once
#include <cstdint>

#include "core/render/grid.hpp"
#include "core/render/track_records.hpp"
#include "core/runtime/system.hpp"
#include "core/view.hpp"

namespace sonaloc {

// An image on zero pages: only the cells with passages are ever written.
template <class T>
using Image = Output<T, system::ZeroedArray<T>>;

struct DensityImage {
    Image<float> intensity;
    Image<std::uint32_t> count;
};

struct ValueImage {
    Image<float> intensity;
    Image<float> mean;
    Image<std::uint32_t> count;
};

// The 2D density image: per pixel the number of passages (saturated at
// 2^32 - 1) and the sum of their intensities after the weakest quarter has
// been discarded.
DensityImage draw_density_2d(const ImageTracks<ImageTrackPoint2D>& tracks, const RenderGrid<2>& g);

// The 3D density image: per voxel the plain sum, in drawing order, of the
// interpolated intensities and the number of passages.
DensityImage draw_density_3d(const ImageTracks<ImageTrackPoint3D>& tracks, const Grid3D& g);

// The value images, 2D and 3D: the walks of the density images with the value
// interpolated alongside the intensity; per cell the count, the trimmed
// intensity sum S_I and the intensity-weighted mean S_IV / S_I where S_I > 0
// (else 0).
ValueImage draw_value_2d(const ImageTracks<ImageTrackValuePoint2D>& tracks, const RenderGrid<2>& g);
ValueImage draw_value_3d(const ImageTracks<ImageTrackValuePoint3D>& tracks, const Grid3D& g);

}  // namespace sonaloc
