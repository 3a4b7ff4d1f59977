// The drivers of the wide candidate scans, written once for both paths:
// included by scan_avx2.cpp and scan_avx512.cpp after their kernels, with
// SCAN_TARGET (the path's function attributes), Bits (the bit mask of one
// threshold step), Masks and step_masks (the lane masks of a step),
// splat_threshold, lowest_bit and the step kernels in scope.

SCAN_TARGET inline void scan_rows_body(const PackedFrame& f, std::size_t row_begin, std::size_t row_end, float threshold,
                           Sink2D sink, void* state) {
    const std::size_t interior = f.n_cols - 2;
    const std::size_t full = interior / kStep;
    const std::size_t rest = interior % kStep;
    const Masks tail = step_masks(rest);
    const Masks all = step_masks(kStep);
    const auto t = splat_threshold(threshold);
    for (std::size_t i = row_begin; i < row_end; ++i) {
        const std::byte* row = f.data + static_cast<std::ptrdiff_t>(i) * f.row_stride;
        const Rows2D r{row - f.row_stride, row, row + f.row_stride};
        auto emit = [&](Bits bits, std::size_t j) {
            for (; bits != 0; bits &= bits - 1) {
                const std::size_t q = j + lowest_bit(bits);
                sink(state, i, q, load_float(row + static_cast<std::ptrdiff_t>(q) * kF));
            }
        };
        std::size_t j = 1;
        for (std::size_t s = 0; s < full; ++s, j += kStep)
            if (const Bits bits = step2d<false>(r, j, t, all)) emit(bits, j);
        if (rest != 0)
            if (const Bits bits = step2d<true>(r, j, t, tail)) emit(bits, j);
    }
}

SCAN_TARGET inline void scan_lines_body(const PackedVolume& v, std::size_t line_begin, std::size_t line_end, float threshold,
                            Sink3D sink, void* state) {
    if (line_begin >= line_end) return;
    const std::size_t interior = v.n2 - 2;
    const std::size_t full = interior / kStep;
    const std::size_t rest = interior % kStep;
    const Masks tail = step_masks(rest);
    const Masks all = step_masks(kStep);
    const auto t = splat_threshold(threshold);
    const std::ptrdiff_t s0 = v.stride0, s1 = v.stride1;
    const Lines3D nb{{-s0 - s1, -s0, -s0 + s1, -s1}, {s1, s0 - s1, s0, s0 + s1}};
    const std::size_t per_plane = v.n1 - 2;
    if (s1 == static_cast<std::ptrdiff_t>(v.n2) * kF) {
        // The lines of a plane are adjacent: the chunk's lines of each plane
        // form one run, scanned in steps that cross line ends; the first and
        // last voxel of each line are left out. The neighbour test of a
        // plane's candidates waits for the threshold pass of the next plane,
        // which brings the lines it reads there into cache.
        WaitingLists waiting;
        for (std::size_t l = line_begin; l < line_end;) {
            const std::size_t i = 1 + l / per_plane;
            const std::size_t j0 = 1 + l % per_plane;
            const std::size_t stop = line_end < i * per_plane ? line_end : i * per_plane;
            const std::byte* run =
                v.data + static_cast<std::ptrdiff_t>(i) * s0 + static_cast<std::ptrdiff_t>(j0) * s1;
            const std::size_t length = (stop - l) * v.n2;
            const Masks last = step_masks(length % kStep);
            auto wait = [&](Bits bits, std::size_t o) {
                for (unsigned groups = busy_groups(bits); groups != 0; groups &= groups - 1) {
                    const unsigned g = static_cast<unsigned>(__builtin_ctz(groups));
                    const unsigned lanes = static_cast<unsigned>(bits >> (8 * g)) & 0xFFu;
                    if (waiting.full()) {
                        test_waiting(waiting.previous(), waiting.n_previous(), nb, v.n2, sink, state);
                        test_waiting(waiting.current(), waiting.n_current(), nb, v.n2, sink, state);
                        waiting.clear();
                    }
                    waiting.add({run + static_cast<std::ptrdiff_t>(o + 8 * g) * kF, i, j0, o + 8 * g, lanes});
                }
            };
            std::size_t o = 0;
            for (; o + kStep <= length; o += kStep)
                if (const Bits bits = run_step<false>(run, o, v.n2, t, all)) wait(bits, o);
            if (o < length)
                if (const Bits bits = run_step<true>(run, o, v.n2, t, last)) wait(bits, o);
            test_waiting(waiting.previous(), waiting.n_previous(), nb, v.n2, sink, state);
            waiting.next_plane();
            l = stop;
        }
        test_waiting(waiting.previous(), waiting.n_previous(), nb, v.n2, sink, state);
        return;
    }
    std::size_t i = 1 + line_begin / per_plane;
    std::size_t j = 1 + line_begin % per_plane;
    for (std::size_t l = line_begin; l < line_end; ++l) {
        const std::byte* line =
            v.data + static_cast<std::ptrdiff_t>(i) * s0 + static_cast<std::ptrdiff_t>(j) * s1;
        auto emit = [&](Bits bits, std::size_t k) {
            for (; bits != 0; bits &= bits - 1) {
                const std::size_t q = k + lowest_bit(bits);
                sink(state, i, j, q, load_float(line + static_cast<std::ptrdiff_t>(q) * kF));
            }
        };
        std::size_t k = 1;
        for (std::size_t s = 0; s < full; ++s, k += kStep)
            if (const Bits bits = step3d<false>(line, nb, k, t, all)) emit(bits, k);
        if (rest != 0)
            if (const Bits bits = step3d<true>(line, nb, k, t, tail)) emit(bits, k);
        if (++j == v.n1 - 1) {
            j = 1;
            ++i;
        }
    }
}

