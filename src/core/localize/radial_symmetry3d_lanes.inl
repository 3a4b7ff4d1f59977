// The 3D radial symmetry of radial_symmetry3d.cpp, one window per lane.
// Included once per wide path, inside that path's target region, with the
// path's lane operations in scope (core/simd/lanes.hpp). Each lane performs
// exactly the float operations of the scalar localizer, in the same order.

// 3x3x3 sums over the grid points that exist, in index order from 0, each
// divided by 27; `in` and `out` hold g^3 points of kLanes floats.
inline void filter27_lanes(const float* in, float* out, std::size_t g) {
    const F d = splat(27.0f);
    auto at = [&](std::size_t i, std::size_t j, std::size_t k) { return ((i * g + j) * g + k) * kLanes; };
    for (std::size_t i = 0; i < g; ++i) {
        const std::size_t a0 = i == 0 ? 0 : i - 1, a1 = std::min(i + 1, g - 1);
        for (std::size_t j = 0; j < g; ++j) {
            const std::size_t b0 = j == 0 ? 0 : j - 1, b1 = std::min(j + 1, g - 1);
            for (std::size_t k = 0; k < g; ++k) {
                const std::size_t c0 = k == 0 ? 0 : k - 1, c1 = std::min(k + 1, g - 1);
                F sum = splat(0.0f);
                for (std::size_t x = a0; x <= a1; ++x)
                    for (std::size_t y = b0; y <= b1; ++y)
                        for (std::size_t z = c0; z <= c1; ++z) sum = add(sum, load(in + at(x, y, z)));
                store(out + at(i, j, k), div(sum, d));
            }
        }
    }
}

// Half a difference, an exact zero difference giving +0.
inline F half_lanes(F v) { return select(equal(v, splat(0.0f)), mul(v, splat(0.5f)), splat(0.0f)); }

// Voxel (i, j, k) of the w^3 windows is the kLanes floats at win + ((i * w + j)
// * w + k) * kLanes; `work` has room for 6 (w - 1)^3 * kLanes floats. Writes
// every lane's result in index coordinates of its window to out0..out2 and
// returns the mask of the lanes that have one (w >= 3).
inline unsigned radial_symmetry_3d_lanes(const float* win, std::size_t w, float* work, float* out0,
                                         float* out1, float* out2) {
    const std::size_t g = w - 1, n = g * g * g;
    const float K = 0.5f - (static_cast<float>(w) - 1.0f) * 0.5f;
    auto I = [&](std::size_t i, std::size_t j, std::size_t k) { return load(win + ((i * w + j) * w + k) * kLanes); };
    float* E[3] = {work, work + n * kLanes, work + 2 * n * kLanes};
    float* S[3] = {work + 3 * n * kLanes, work + 4 * n * kLanes, work + 5 * n * kLanes};
    // Differences along three body diagonals of every 2x2x2 block.
    for (std::size_t i = 0; i < g; ++i)
        for (std::size_t j = 0; j < g; ++j)
            for (std::size_t k = 0; k < g; ++k) {
                const std::size_t p = ((i * g + j) * g + k) * kLanes;
                store(E[0] + p, sub(I(i + 1, j + 1, k + 1), I(i, j, k)));
                store(E[1] + p, sub(I(i + 1, j, k), I(i, j + 1, k + 1)));
                store(E[2] + p, sub(I(i + 1, j + 1, k), I(i, j, k + 1)));
            }
    for (int c = 0; c < 3; ++c) filter27_lanes(E[c], S[c], g);

    const F zero = splat(0.0f);
    auto u = [&](std::size_t i) { return splat(static_cast<float>(i) + K); };
    // Strength and its centroid (centred frame).
    F T = zero, T0 = zero, T1 = zero, T2 = zero;
    for (std::size_t i = 0, p = 0; i < g; ++i)
        for (std::size_t j = 0; j < g; ++j)
            for (std::size_t k = 0; k < g; ++k, p += kLanes) {
                const F s1 = load(S[0] + p), s2 = load(S[1] + p), s3 = load(S[2] + p);
                const F gp = add(add(mul(s1, s1), mul(s2, s2)), mul(s3, s3));
                T = add(T, gp);
                T0 = add(T0, mul(gp, u(i)));
                T1 = add(T1, mul(gp, u(j)));
                T2 = add(T2, mul(gp, u(k)));
            }
    const M found = mask_andnot(all_lanes(), equal(T, zero));
    if (bits(found) == 0) return 0;
    const F c0m = div(T0, T), c1m = div(T1, T), c2m = div(T2, T);
    const F to_index_base = splat(static_cast<float>(w) * 0.5f);
    const F minus_half = splat(-0.5f);
    auto to_index = [&](F p) { return add(add(to_index_base, p), minus_half); };

    F A00 = zero, A01 = zero, A02 = zero, A11 = zero, A12 = zero, A22 = zero;
    F b0 = zero, b1 = zero, b2 = zero;
    const F minus_two = splat(-2.0f), two = splat(2.0f);
    for (std::size_t i = 0, p = 0; i < g; ++i)
        for (std::size_t j = 0; j < g; ++j)
            for (std::size_t k = 0; k < g; ++k, p += kLanes) {
                const F s1 = load(S[0] + p), s2 = load(S[1] + p), s3 = load(S[2] + p);
                const F e1 = load(E[0] + p), e2 = load(E[1] + p), e3 = load(E[2] + p);
                const F c0 = add(half_lanes(sub(s1, s3)), half_lanes(sub(e1, e3)));
                const F c1 = add(half_lanes(sub(s2, s1)), half_lanes(sub(e2, e1)));
                const F c2 = add(half_lanes(sub(s3, s2)), half_lanes(sub(e3, e2)));
                const F gp = add(add(mul(s1, s1), mul(s2, s2)), mul(s3, s3));
                const F q = add(add(mul(c0, c0), mul(c1, c1)), mul(c2, c2));
                const F r0 = sub(u(i), c0m), r1 = sub(u(j), c1m), r2 = sub(u(k), c2m);
                const F d2 = add(mul(r2, r2), add(mul(r1, r1), mul(r0, r0)));
                const M weighted = mask_and(greater(d2, zero), greater(q, zero));
                const F wt = select(weighted, zero, div(div(gp, q), sqrt(d2)));

                const F m00 = mul(add(mul(c1, c1), mul(c2, c2)), minus_two);
                const F m11 = mul(add(mul(c2, c2), mul(c0, c0)), minus_two);
                const F m22 = mul(add(mul(c1, c1), mul(c0, c0)), minus_two);
                const F m01 = mul(mul(two, c1), c0);
                const F m02 = mul(mul(two, c2), c0);
                const F m12 = mul(mul(two, c2), c1);

                A00 = add(A00, mul(wt, m00));
                A01 = add(A01, mul(wt, m01));
                A02 = add(A02, mul(wt, m02));
                A11 = add(A11, mul(wt, m11));
                A12 = add(A12, mul(wt, m12));
                A22 = add(A22, mul(wt, m22));
                b0 = add(b0, mul(add(mul(u(k), m02), add(mul(u(j), m01), mul(u(i), m00))), wt));
                b1 = add(b1, mul(add(mul(u(k), m12), add(mul(u(j), m11), mul(u(i), m01))), wt));
                b2 = add(b2, mul(add(mul(u(k), m22), add(mul(u(j), m12), mul(u(i), m02))), wt));
            }

    const F m_a = sub(mul(A11, A22), mul(A12, A12));
    const F m_b = sub(mul(A01, A22), mul(A02, A12));
    const F m_c = sub(mul(A01, A12), mul(A02, A11));
    const F det = add(sub(mul(A00, m_a), mul(A01, m_b)), mul(A02, m_c));
    const F r = div(splat(1.0f), det);
    const F p0 = mul(add(sub(mul(b0, m_a), mul(b1, m_b)), mul(b2, m_c)), r);
    const F p1 = mul(sub(sub(mul(b1, sub(mul(A00, A22), mul(A02, A02))), mul(b0, m_b)),
                         mul(b2, sub(mul(A00, A12), mul(A01, A02)))), r);
    const F p2 = mul(add(sub(mul(b0, m_c), mul(b1, sub(mul(A00, A12), mul(A01, A02)))),
                         mul(b2, sub(mul(A00, A11), mul(A01, A01)))), r);
    // A zero or NaN determinant, or a NaN component, gives the centroid.
    M fallback = mask_or(equal(det, zero), unordered(det));
    fallback = mask_or(fallback, mask_or(unordered(p0), mask_or(unordered(p1), unordered(p2))));
    store(out0, select(fallback, to_index(p0), to_index(c0m)));
    store(out1, select(fallback, to_index(p1), to_index(c1m)));
    store(out2, select(fallback, to_index(p2), to_index(c2m)));
    return bits(found);
}
