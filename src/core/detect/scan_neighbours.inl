// The neighbour tests of the wide candidate scans, 8 lanes at a time, written
// once for both paths: included by scan_avx2.cpp and scan_avx512.cpp with
// SCAN_TARGET (the path's function attributes), Pass8 and Mask8 (the path's
// form of the passing lanes and of a load mask), load8, good and kF in scope.

// The two halves of the tie rule: an earlier neighbour u disqualifies when
// u > c, a later one unless c > u.
SCAN_TARGET inline __attribute__((always_inline)) __m256 bad_earlier(__m256 u, __m256 c) {
    return _mm256_cmp_ps(u, c, _CMP_GT_OQ);
}
SCAN_TARGET inline __attribute__((always_inline)) __m256 bad_later(__m256 u, __m256 c) {
    return _mm256_cmp_ps(c, u, _CMP_NGT_UQ);
}

struct Rows2D {
    const std::byte* above;
    const std::byte* row;
    const std::byte* below;
};

// Bits of `pass` (pixels at byte offset `at` of the row and after) that are
// peaks of their eight neighbours.
template <bool Masked>
SCAN_TARGET inline __attribute__((always_inline)) unsigned peaks8(const Rows2D& r, std::ptrdiff_t at,
                                                                          Pass8 pass, Mask8 m) {
    const __m256 c = load8<Masked>(r.row + at, m);
    __m256 bad = bad_earlier(load8<Masked>(r.above + at - kF, m), c);
    bad = _mm256_or_ps(bad, bad_earlier(load8<Masked>(r.above + at, m), c));
    bad = _mm256_or_ps(bad, bad_earlier(load8<Masked>(r.above + at + kF, m), c));
    bad = _mm256_or_ps(bad, bad_earlier(load8<Masked>(r.row + at - kF, m), c));
    bad = _mm256_or_ps(bad, bad_later(load8<Masked>(r.row + at + kF, m), c));
    bad = _mm256_or_ps(bad, bad_later(load8<Masked>(r.below + at - kF, m), c));
    bad = _mm256_or_ps(bad, bad_later(load8<Masked>(r.below + at, m), c));
    bad = _mm256_or_ps(bad, bad_later(load8<Masked>(r.below + at + kF, m), c));
    return good(bad, pass);
}

// The eight other lines of a 3x3 block of lines, as byte offsets from the
// centre line: those before it in the tie order (i - 1, or i and j - 1) and
// those after it (j + 1, or i + 1).
struct Lines3D {
    std::ptrdiff_t earlier[4];
    std::ptrdiff_t later[4];
};

// Bits of `pass` (voxels at byte offset `at` of the line) that are maxima of
// their 26 neighbours. Along the line, k - 1 follows the centre in the tie
// order and k + 1 precedes it.
template <bool Masked>
SCAN_TARGET inline __attribute__((always_inline)) unsigned peaks8(const std::byte* line, const Lines3D& nb,
                                                                          std::ptrdiff_t at, Pass8 pass,
                                                                          Mask8 m) {
    const std::byte* p = line + at;
    const __m256 c = load8<Masked>(p, m);
    __m256 bad = bad_earlier(load8<Masked>(p + kF, m), c);
    bad = _mm256_or_ps(bad, bad_later(load8<Masked>(p - kF, m), c));
    for (std::ptrdiff_t o : nb.earlier) {
        bad = _mm256_or_ps(bad, bad_earlier(load8<Masked>(p + o - kF, m), c));
        bad = _mm256_or_ps(bad, bad_earlier(load8<Masked>(p + o, m), c));
        bad = _mm256_or_ps(bad, bad_earlier(load8<Masked>(p + o + kF, m), c));
    }
    for (std::ptrdiff_t o : nb.later) {
        bad = _mm256_or_ps(bad, bad_later(load8<Masked>(p + o - kF, m), c));
        bad = _mm256_or_ps(bad, bad_later(load8<Masked>(p + o, m), c));
        bad = _mm256_or_ps(bad, bad_later(load8<Masked>(p + o + kF, m), c));
    }
    return good(bad, pass);
}
