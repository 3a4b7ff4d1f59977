// The regional-maximum count of localize.cpp on several windows at once.
// Included once per wide path, inside that path's target region, with the
// path's lane operations in scope (core/simd/lanes.hpp).

// Pixel (a, e) of the framed (w + 2) x (w + 2) windows is the kLanes floats at
// framed + (a * (w + 2) + e) * kLanes, the frame holding -infinity. Writes,
// per lane, the number of window pixels above 0 without a greater or an equal
// neighbour, and returns the mask of the lanes that hold a pixel above 0
// without a greater but with an equal neighbour: a plateau that may be a
// maximum, which the scalar count must settle. For the other lanes the count
// is the scalar one.
//
// "A neighbour is greater" is "the largest neighbour is greater", and for a
// pixel no neighbour exceeds, "a neighbour is equal" is "the largest neighbour
// is equal"; the largest neighbour is taken over the non-NaN ones (NaN
// compares false either way), seeded with -infinity, so it is never NaN.
inline unsigned count_maxima_lanes(const float* framed, std::size_t w, float* counts) {
    const std::size_t rs = w + 2;
    const F zero = splat(0.0f), one = splat(1.0f), lowest = splat(-std::numeric_limits<float>::infinity());
    F count = zero;
    M plateau = mask_andnot(all_lanes(), all_lanes());
    const std::ptrdiff_t s = static_cast<std::ptrdiff_t>(rs * kLanes), l = static_cast<std::ptrdiff_t>(kLanes);
    // max_keep(u, m) is m where u is NaN: the running maximum skips NaN.
    auto row3 = [&](const float* q) { return max_keep(load(q - l), max_keep(load(q), max_keep(load(q + l), lowest))); };
    for (std::size_t a = 1; a <= w; ++a)
        for (std::size_t e = 1; e <= w; ++e) {
            const float* p = framed + (a * rs + e) * kLanes;
            const F z = load(p);
            const F largest = max_keep(load(p - l), max_keep(load(p + l), max_keep(row3(p - s), row3(p + s))));
            const M candidate = mask_andnot(greater(z, zero), greater(largest, z));
            const M equal_any = equal(largest, z);
            plateau = mask_or(plateau, mask_and(candidate, equal_any));
            count = add(count, select(mask_andnot(candidate, equal_any), zero, one));
        }
    store(counts, count);
    return bits(plateau);
}
