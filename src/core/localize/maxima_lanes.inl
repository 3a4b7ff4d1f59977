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
inline unsigned count_maxima_lanes(const float* framed, std::size_t w, float* counts) {
    const std::size_t rs = w + 2;
    const F zero = splat(0.0f), one = splat(1.0f);
    F count = zero;
    M plateau = mask_andnot(all_lanes(), all_lanes());
    const std::ptrdiff_t s = static_cast<std::ptrdiff_t>(rs * kLanes), l = static_cast<std::ptrdiff_t>(kLanes);
    const std::ptrdiff_t offsets[8] = {-s - l, -s, -s + l, -l, l, s - l, s, s + l};
    for (std::size_t a = 1; a <= w; ++a)
        for (std::size_t e = 1; e <= w; ++e) {
            const float* p = framed + (a * rs + e) * kLanes;
            const F z = load(p);
            M greater_any = mask_andnot(all_lanes(), all_lanes());
            M equal_any = greater_any;
            for (const std::ptrdiff_t d : offsets) {
                const F u = load(p + d);
                greater_any = mask_or(greater_any, greater(u, z));
                equal_any = mask_or(equal_any, equal(u, z));
            }
            const M candidate = mask_andnot(greater(z, zero), greater_any);
            plateau = mask_or(plateau, mask_and(candidate, equal_any));
            count = add(count, select(mask_andnot(candidate, equal_any), zero, one));
        }
    store(counts, count);
    return bits(plateau);
}
