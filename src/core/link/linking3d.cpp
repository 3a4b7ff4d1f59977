#include "core/link/linking3d.hpp"

namespace sonaloc {

TrackMatrices link_and_export_3d(const FramePoints<Peak3D>& frames, float max_distance,
                                 std::uint64_t max_skip) {
    return link_into_tracks(frames, max_distance, max_skip, NoGate{});
}

}  // namespace sonaloc
