// The 3D Gaussian fit of gaussian_fitting3d.cpp, one window per lane.
// Included once per wide path, inside that path's target region, with the
// path's lane operations in scope (core/simd/lanes.hpp). Each lane performs
// exactly the float operations of the scalar fit, in the same order; a lane
// whose system turns near-singular is frozen and reported as failed.

// 3x3 determinant expanded along the first row.
inline F determinant_lanes(F m00, F m01, F m02, F m10, F m11, F m12, F m20, F m21, F m22) {
    return add(sub(mul(m00, sub(mul(m11, m22), mul(m12, m21))), mul(m01, sub(mul(m10, m22), mul(m12, m20)))),
               mul(m02, sub(mul(m10, m21), mul(m11, m20))));
}

// Voxel (i, j, k) of the w^3 windows is the kLanes floats at win + ((i * w + j)
// * w + k) * kLanes; `work` has room for w^3 * kLanes floats. Writes every
// lane's result in index coordinates of its window to out0..out2 and returns
// the mask of the lanes whose fit succeeded.
template <bool Fused>
unsigned fit_3d_lanes(const float* win, std::size_t w, float* work, float* out0, float* out1, float* out2) {
    const std::size_t count = w * w * w;
    F peak = splat(-std::numeric_limits<float>::infinity());
    for (std::size_t p = 0; p < count; ++p) peak = max_keep(load(win + p * kLanes), peak);
    M ok = greater(peak, splat(0.0f));
    if (bits(ok) == 0) return 0;
    // The normalised data, divided once.
    for (std::size_t p = 0; p < count; ++p) store(work + p * kLanes, div(load(win + p * kLanes), peak));

    const float half = static_cast<float>(w - 1) * 0.5f;
    auto c = [&](std::size_t i) { return splat(static_cast<float>(i) - half); };
    const F zero = splat(0.0f), minus_half = splat(-0.5f), min_det = splat(1e-10f);
    F p0 = zero, p1 = zero, p2 = zero;
    for (int iteration = 0; iteration < 5; ++iteration) {
        F s00 = zero, s11 = zero, s22 = zero, s01 = zero, s02 = zero, s12 = zero;
        F sr0 = zero, sr1 = zero, sr2 = zero;
        const float* data = work;
        for (std::size_t i = 0; i < w; ++i) {
            const F d0 = sub(c(i), p0);
            const F e0 = mul(mul(d0, d0), minus_half);
            for (std::size_t j = 0; j < w; ++j) {
                const F d1 = sub(c(j), p1);
                const F e01 = add(mul(mul(d1, d1), minus_half), e0);
                for (std::size_t k = 0; k < w; ++k, data += kLanes) {
                    const F d2 = sub(c(k), p2);
                    const F g = exp<Fused>(add(mul(mul(d2, d2), minus_half), e01));
                    const F r = sub(load(data), g);
                    const F j0 = mul(d0, g), j1 = mul(d1, g), j2 = mul(d2, g);
                    s00 = add(s00, mul(j0, j0));
                    s11 = add(s11, mul(j1, j1));
                    s22 = add(s22, mul(j2, j2));
                    s01 = add(s01, mul(j1, j0));
                    s02 = add(s02, mul(j0, j2));
                    s12 = add(s12, mul(j2, j1));
                    sr0 = add(sr0, mul(j0, r));
                    sr1 = add(sr1, mul(j1, r));
                    sr2 = add(sr2, mul(j2, r));
                }
            }
        }
        const F det = determinant_lanes(s00, s01, s02, s01, s11, s12, s02, s12, s22);
        ok = mask_andnot(ok, less(abs(det), min_det));
        if (bits(ok) == 0) return 0;
        const F delta0 = div(determinant_lanes(sr0, s01, s02, sr1, s11, s12, sr2, s12, s22), det);
        const F delta1 = div(determinant_lanes(s00, sr0, s02, s01, sr1, s12, s02, sr2, s22), det);
        const F delta2 = div(determinant_lanes(s00, s01, sr0, s01, s11, sr1, s02, s12, sr2), det);
        p0 = select(ok, p0, add(p0, delta0));
        p1 = select(ok, p1, add(p1, delta1));
        p2 = select(ok, p2, add(p2, delta2));
    }
    const F centre = splat(static_cast<float>(w - 1) * 0.5f);
    store(out0, add(p0, centre));
    store(out1, add(p1, centre));
    store(out2, add(p2, centre));
    return bits(ok);
}
