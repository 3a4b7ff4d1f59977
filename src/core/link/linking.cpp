#include "core/link/linking.hpp"

namespace sonaloc {

ExportMatrices2D link_and_export(const FramePoints<Peak2D>& frames, float max_distance,
                                 std::uint64_t max_skip, float max_intensity_ratio) {
    TrackMatrices m = link_into_tracks(frames, max_distance, max_skip,
                                       IntensityRatioGate{max_intensity_ratio});
    return {std::move(m.points), std::move(m.ends)};
}

}  // namespace sonaloc
