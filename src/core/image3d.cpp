#include "core/image3d.hpp"

#include <limits>

#include "core/image.hpp"

namespace sonaloc {

DensityImage3D draw_density_3d(const ImageTracks<ImageTrackPoint3D>& tracks, const Grid3D& g) {
    const std::uint64_t cells = g.cells();
    const std::vector<std::size_t> shape = g.shape();
    DensityImage3D img{{std::vector<float>(cells), shape}, {std::vector<std::uint32_t>(cells), shape}};
    float* sum = img.sum.data.data();
    std::uint32_t* count = img.count.data.data();
    for (std::size_t t = 0; t < tracks.size(); ++t) {
        track_passages_3d<PixelEntry>(tracks.track(t), g, [&](std::uint64_t voxel, PixelEntry e) {
            sum[voxel] += e.intensity;
            if (count[voxel] != std::numeric_limits<std::uint32_t>::max()) ++count[voxel];
        });
    }
    return img;
}

}  // namespace sonaloc
