// What one passage of a track through a cell carries: the interpolated
// intensity (density images), or intensity and value (value images).
#pragma once
#include <cmath>

namespace sonaloc {

// Linear interpolation between two track points at t in [0, 1): both products
// rounded, then added.
inline float interpolate(float t, float a, float b) { return (1.0f - t) * a + t * b; }

// One passage of a track through a pixel: its interpolated intensity.
struct PixelEntry {
    float intensity;

    // False when the passage carries a NaN and is not drawn.
    template <class P>
    static bool segment_drawable(const P& a, const P& b) {
        return !std::isnan(a.intensity) && !std::isnan(b.intensity);
    }
    template <class P>
    static bool at(float t, const P& a, const P& b, PixelEntry& out) {
        out.intensity = interpolate(t, a.intensity, b.intensity);
        return !std::isnan(out.intensity);
    }
    template <class P>
    static bool at_point(const P& p, PixelEntry& out) {
        out.intensity = p.intensity;
        return !std::isnan(out.intensity);
    }
};

// One passage: interpolated intensity and value; a NaN in either is not drawn.
struct ValuePixelEntry {
    float intensity;
    float value;

    template <class P>
    static bool segment_drawable(const P& a, const P& b) {
        return !std::isnan(a.intensity) && !std::isnan(b.intensity) && !std::isnan(a.value) &&
               !std::isnan(b.value);
    }
    template <class P>
    static bool at(float t, const P& a, const P& b, ValuePixelEntry& out) {
        out.intensity = interpolate(t, a.intensity, b.intensity);
        out.value = interpolate(t, a.value, b.value);
        return !std::isnan(out.intensity) && !std::isnan(out.value);
    }
    template <class P>
    static bool at_point(const P& p, ValuePixelEntry& out) {
        out = {p.intensity, p.value};
        return !std::isnan(out.intensity) && !std::isnan(out.value);
    }
};

}  // namespace sonaloc
