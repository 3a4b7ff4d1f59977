// The 3D value image: the voxel walk of the 3D density image with the value
// interpolated alongside the intensity, aggregated per voxel like the 2D
// value image.
#pragma once
#include "core/tracks3d.hpp"
#include "core/value_image.hpp"

namespace sonaloc {

ValueImage draw_value_3d(const ImageTracks<ImageTrackValuePoint3D>& tracks, const Grid3D& g);

}  // namespace sonaloc
