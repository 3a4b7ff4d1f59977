// The 2D radial symmetry of radial_symmetry2d.cpp, one window per lane.
// Included once per wide path, inside that path's target region, with the
// path's lane operations in scope (core/simd/lanes.hpp). Each lane performs
// exactly the float operations of the scalar localizer, in the same order;
// a lane whose system is singular is reported as failed.

// 3x3 sums over the grid points that exist, in row-major order from 0, each
// divided by 9; `in` and `out` hold gr x gc points of kLanes floats.
inline void filter_lanes(const float* in, float* out, std::size_t gr, std::size_t gc) {
    const F ninth = splat(9.0f);
    for (std::size_t i = 0; i < gr; ++i) {
        const std::size_t r0 = i == 0 ? 0 : i - 1, r1 = std::min(i + 1, gr - 1);
        for (std::size_t j = 0; j < gc; ++j) {
            const std::size_t c0 = j == 0 ? 0 : j - 1, c1 = std::min(j + 1, gc - 1);
            F sum = splat(0.0f);
            for (std::size_t r = r0; r <= r1; ++r)
                for (std::size_t c = c0; c <= c1; ++c) sum = add(sum, load(in + (r * gc + c) * kLanes));
            store(out + (i * gc + j) * kLanes, div(sum, ninth));
        }
    }
}

// Pixel (i, j) of the w x w windows is the kLanes floats at win + (i * rs +
// j) * kLanes; `work` has room for 4 * (w - 1)^2 * kLanes floats. Results go
// to x_out, y_out; the mask of the lanes that succeeded is returned.
inline unsigned radial_symmetry_lanes(const float* win, std::size_t w, std::size_t rs, float* work,
                                      float* x_out, float* y_out) {
    const std::size_t g = w - 1, n = g * g;
    // u0, u1: a grid point's centred coordinates along axes 0 and 1; its
    // gradient line is u1 = m u0 + b.
    const float K = 0.5f - (static_cast<float>(w) - 1.0f) * 0.5f;
    float* d1 = work;
    float* d2 = d1 + n * kLanes;
    float* s1 = d2 + n * kLanes;
    float* s2 = s1 + n * kLanes;
    auto at = [&](std::size_t i, std::size_t j) { return load(win + (i * rs + j) * kLanes); };
    // Differences across each 2x2 block, along its two diagonals.
    for (std::size_t i = 0; i < g; ++i)
        for (std::size_t j = 0; j < g; ++j) {
            const std::size_t p = (i * g + j) * kLanes;
            store(d1 + p, sub(at(i + 1, j), at(i, j + 1)));
            store(d2 + p, sub(at(i, j), at(i + 1, j + 1)));
        }
    filter_lanes(d1, s1, g, g);
    filter_lanes(d2, s2, g, g);

    const F zero = splat(0.0f);
    const F inf = splat(std::numeric_limits<float>::infinity());
    const F steep = splat(1000000.0f);
    // The squared gradient and the slope of every grid point's line, kept
    // for the second pass in the room of the differences.
    float* gs = d1;
    float* ms = d2;
    F S = zero, Sg1 = zero, Sg0 = zero;
    for (std::size_t p = 0; p < n; ++p) {
        const F a = load(s1 + p * kLanes), b = load(s2 + p * kLanes);
        const F gp = add(mul(a, a), mul(b, b));
        // Slope -(s1 + s2) / (s1 - s2): NaN -> 0, an infinity -> 1e6.
        F m = div(neg(add(a, b)), sub(a, b));
        m = select(unordered(m), m, zero);
        m = select(equal(abs(m), inf), m, steep);
        store(gs + p * kLanes, gp);
        store(ms + p * kLanes, m);
        const F u1 = splat(static_cast<float>(p % g) + K);
        const F u0 = splat(static_cast<float>(p / g) + K);
        S = add(S, gp);
        Sg1 = add(Sg1, mul(gp, u1));
        Sg0 = add(Sg0, mul(gp, u0));
    }
    S = select(equal(S, zero), S, splat(1.0f));
    const F c1 = div(Sg1, S);
    const F c0 = div(Sg0, S);

    F A = zero, B = zero, Mm = zero, P = zero, Q = zero;
    const F floor_dist = splat(0.0001f);
    const F one = splat(1.0f);
    for (std::size_t p = 0; p < n; ++p) {
        const F u1 = splat(static_cast<float>(p % g) + K);
        const F u0 = splat(static_cast<float>(p / g) + K);
        const F gp = load(gs + p * kLanes), m = load(ms + p * kLanes);
        const F b = sub(u1, mul(m, u0));
        const F d0 = sub(u0, c0), d1 = sub(u1, c1);
        const F dist = sqrt(add(mul(d0, d0), mul(d1, d1)));
        // A NaN distance compares false and is kept.
        const F wgt = div(gp, select(less(dist, floor_dist), dist, floor_dist));
        const F v = div(wgt, add(mul(m, m), one));
        const F vm = mul(v, m);
        A = add(A, v);
        B = add(B, vm);
        Mm = add(Mm, mul(vm, m));
        P = add(P, mul(vm, b));
        Q = add(Q, mul(v, b));
    }
    const F det = sub(mul(B, B), mul(A, Mm));
    store(x_out, div(sub(mul(P, A), mul(Q, B)), det));
    store(y_out, div(sub(mul(P, B), mul(Q, Mm)), det));
    return bits(mask_andnot(all_lanes(), equal(det, zero)));
}
