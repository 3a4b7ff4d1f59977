// Records shared by detection, localization, linking and rendering.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sonaloc {

struct Peak2D {
    std::size_t row = 0;
    std::size_t col = 0;
    float x = 0.0f;
    float y = 0.0f;
    float intensity = 0.0f;
};

struct Peak3D {
    std::optional<float> correlation;
    std::size_t i = 0;
    std::size_t j = 0;
    std::size_t k = 0;
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    float intensity = 0.0f;
};

// Physical coordinates of the first and the last pixel centre along axis 0
// (x) and axis 1 (y). They need not be increasing.
struct Extent2D {
    float x_first = 0.0f, x_last = 0.0f;
    float y_first = 0.0f, y_last = 0.0f;
};

// Physical coordinates of the first and last voxel centre along each axis:
// (x_first, x_last, y_first, y_last, z_first, z_last).
using VolumeExtent = std::array<float, 6>;

// Lower and upper render bounds per axis.
struct Extent3D {
    float x_min = 0.0f, x_max = 0.0f;
    float y_min = 0.0f, y_max = 0.0f;
    float z_min = 0.0f, z_max = 0.0f;
};

// Tracks as one flat row-major point matrix (cols floats per row) and the
// exclusive end row of every track.
struct ExportMatrices2D {
    std::vector<float> points;  // N x 3: x, y, intensity
    std::vector<std::uint32_t> ends;
};

}  // namespace sonaloc
