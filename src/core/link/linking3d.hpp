// Track linking of 3D points (x, y, z, intensity): the 2D linking with a
// 27-cell neighbourhood, three coordinates and no intensity gate.
#pragma once
#include <cstdint>

#include "core/link/linking.hpp"

namespace sonaloc {

template <>
struct LinkTraits<Peak3D> {
    static constexpr std::size_t dims = 3;
    static constexpr std::size_t columns = 4;  // x, y, z, intensity
    static std::array<float, 3> coords(const Peak3D& p) noexcept { return {p.x, p.y, p.z}; }
    static float squared_distance(const Peak3D& p, const Peak3D& q) noexcept {
        const float dx = p.x - q.x;
        const float dy = p.y - q.y;
        const float dz = p.z - q.z;
        return dx * dx + dy * dy + dz * dz;
    }
    static void write(const Peak3D& p, float* out) noexcept {
        out[0] = p.x;
        out[1] = p.y;
        out[2] = p.z;
        out[3] = p.intensity;
    }
};

// Every distance-admissible pair is allowed; intensities are not compared.
struct NoGate {
    bool operator()(const Peak3D&, const Peak3D&) const noexcept { return true; }
};

// Links 3D points into tracks; the matrix has 4 columns.
TrackMatrices link_and_export_3d(const FramePoints<Peak3D>& frames, float max_distance,
                                 std::uint64_t max_skip);

}  // namespace sonaloc
