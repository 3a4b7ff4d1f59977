#include "core/detect/tables.hpp"

namespace sonaloc {

DetectionTable detection_table(const std::vector<Peak2D>& peaks) {
    const std::size_t n = peaks.size();
    DetectionTable t{{std::vector<float>(2 * n), {n, 2}}, {std::vector<float>(n), {n}}, std::nullopt};
    for (std::size_t k = 0; k < n; ++k) {
        t.positions.data[2 * k] = peaks[k].x;
        t.positions.data[2 * k + 1] = peaks[k].y;
        t.intensities.data[k] = peaks[k].intensity;
    }
    return t;
}

DetectionTable detection_table(const std::vector<Peak3D>& peaks) {
    const std::size_t n = peaks.size();
    DetectionTable t{{std::vector<float>(3 * n), {n, 3}}, {std::vector<float>(n), {n}}, std::nullopt};
    bool scored = false;
    for (std::size_t k = 0; k < n; ++k) {
        const Peak3D& p = peaks[k];
        t.positions.data[3 * k] = p.x;
        t.positions.data[3 * k + 1] = p.y;
        t.positions.data[3 * k + 2] = p.z;
        t.intensities.data[k] = p.intensity;
        scored = scored || p.correlation.has_value();
    }
    if (scored) {
        t.correlations = Output<float>{std::vector<float>(n), {n}};
        for (std::size_t k = 0; k < n; ++k) t.correlations->data[k] = peaks[k].correlation.value_or(0.0f);
    }
    return t;
}

}  // namespace sonaloc
