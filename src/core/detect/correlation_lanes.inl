// The Pearson correlation of gaussian_correlation.cpp for candidates whose
// whole 5x5x5 neighbourhood lies inside the volume, one candidate per lane.
// Included once per wide path, inside that path's target region, with the
// path's lane operations in scope (core/simd/lanes.hpp). Each lane performs
// exactly the float operations of the scalar score, in the same order.

// vals: the 125 neighbourhood values in template order, each as kLanes
// floats; dt: the template values less their mean; ss_t: the sum of dt^2 in
// that order. Writes every lane's score to out.
inline void correlation_lanes(const float* vals, const float* dt, float ss_t, float* out) {
    constexpr std::size_t m = 125;
    const F zero = splat(0.0f);
    F sum_v = zero;
    for (std::size_t n = 0; n < m; ++n) sum_v = add(sum_v, load(vals + n * kLanes));
    const F mean_v = div(sum_v, splat(static_cast<float>(m)));
    F num = zero, ss_v = zero;
    for (std::size_t n = 0; n < m; ++n) {
        const F dv = sub(load(vals + n * kLanes), mean_v);
        num = add(num, mul(splat(dt[n]), dv));
        ss_v = add(ss_v, mul(dv, dv));
    }
    const F prod = mul(splat(ss_t), ss_v);
    store(out, select(equal(prod, zero), div(num, sqrt(prod)), zero));
}
