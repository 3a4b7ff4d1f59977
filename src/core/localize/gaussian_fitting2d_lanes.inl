// The 2D Gaussian fit of gaussian_fitting2d.cpp, one window per lane.
// Included once per wide path, inside that path's target region, with the
// path's lane operations in scope (core/simd/lanes.hpp). Each lane performs
// exactly the float operations of the scalar fit, in the same order; a lane
// whose system turns near-singular is frozen and reported as failed.

// Pixel (i, j) of the w x w windows is the kLanes floats at win + (i * rs +
// j) * kLanes (one per window); `work` has room for w * w * kLanes floats.
// Results go to x0_out, y0_out, and the mask of the lanes whose fit succeeded
// is returned.
template <bool Fused>
unsigned fit_lanes(const float* win, std::size_t w, std::size_t rs, float* work, float* x0_out,
                   float* y0_out) {
    // Largest value, NaN never replacing the running maximum.
    F m = splat(-std::numeric_limits<float>::infinity());
    for (std::size_t i = 0; i < w; ++i)
        for (std::size_t j = 0; j < w; ++j) m = max_keep(load(win + (i * rs + j) * kLanes), m);
    M ok = greater(m, splat(0.0f));
    if (bits(ok) == 0) return 0;
    // The normalised window d = I / M, the same in every step.
    for (std::size_t i = 0; i < w; ++i)
        for (std::size_t j = 0; j < w; ++j)
            store(work + (i * w + j) * kLanes, div(load(win + (i * rs + j) * kLanes), m));

    const F centre = splat(static_cast<float>(w - 1) * 0.5f);
    const F minus_half = splat(-0.5f);
    const F min_det = splat(1e-10f);
    F x0 = splat(0.0f), y0 = splat(0.0f);
    for (int step = 0; step < 5; ++step) {
        F sxx = splat(0.0f), syy = splat(0.0f), sxy = splat(0.0f), srx = splat(0.0f), sry = splat(0.0f);
        const float* v = work;
        for (std::size_t i = 0; i < w; ++i) {
            const F dx = sub(sub(splat(static_cast<float>(i)), centre), x0);
            const F ex = mul(mul(minus_half, dx), dx);
            for (std::size_t j = 0; j < w; ++j, v += kLanes) {
                const F dy = sub(sub(splat(static_cast<float>(j)), centre), y0);
                const F g = exp<Fused>(add(mul(mul(minus_half, dy), dy), ex));
                const F d = load(v);
                const F r = sub(d, g);
                const F jx = mul(dx, g);
                const F jy = mul(dy, g);
                sxx = add(sxx, mul(jx, jx));
                syy = add(syy, mul(jy, jy));
                sxy = add(sxy, mul(jx, jy));
                srx = add(srx, mul(jx, r));
                sry = add(sry, mul(jy, r));
            }
        }
        const F det = sub(mul(sxx, syy), mul(sxy, sxy));
        ok = mask_andnot(ok, less(abs(det), min_det));
        if (bits(ok) == 0) return 0;
        const F delta_x = div(sub(mul(syy, srx), mul(sxy, sry)), det);
        const F delta_y = div(sub(mul(sxx, sry), mul(sxy, srx)), det);
        x0 = select(ok, x0, add(x0, delta_x));
        y0 = select(ok, y0, add(y0, delta_y));
    }
    store(x0_out, x0);
    store(y0_out, y0);
    return bits(ok);
}
