import math
import time

import numpy as np
import pytest

import sonaloc
from references import ref_line_2d, ref_line_3d

draw = sonaloc.rs_draw_tracks
draw_value = sonaloc.rs_draw_tracks_value
draw3 = sonaloc.rs_draw_tracks_3d
draw_value3 = sonaloc.rs_draw_tracks_value_3d
f32 = np.float32


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


def mat(rows, cols=None):
    a = np.array(rows, np.float32)
    return a.reshape(len(rows), cols) if cols is not None else a


def ends(*e):
    return np.array(e, np.int32)


def panic_type():
    try:
        draw(np.zeros((1, 2), np.float32), ends(1), (0, 1, 0, 1), 1.0)
    except BaseException as e:  # noqa: B902
        return type(e)


# ---------------------------------------------------------------- references

def ref_cell(c, n, signed):
    """Coordinate -> cell with lo = 0, pixel size 1 (so hi' = n), in float32."""
    r = float((f32(c) - f32(0)) / (f32(n) - f32(0)) * f32(n))
    if math.isnan(r):
        return 0
    k = math.copysign(math.floor(abs(r) + 0.5), r) if math.isfinite(r) else r
    lo, hi = (-2**31, 2**31 - 1) if signed else (0, 2**64 - 1)
    return int(min(max(k, lo), hi))


def ref_passages(points, shape, three_d):
    """Passages of one track (points: coords..., intensity) as (cell, float32 value)."""
    cells = []
    for p in points:
        c = tuple(ref_cell(v, n, three_d) for v, n in zip(p[:-1], shape))
        if not cells or cells[-1][0] != c:
            cells.append((c, f32(p[-1])))
    inside = lambda c: all(0 <= v < n for v, n in zip(c, shape))  # noqa: E731
    out = []
    for (c0, i0), (c1, i1) in zip(cells, cells[1:]):
        walk = ref_line_3d(c0, c1) if three_d else ref_line_2d(c0, c1)
        n = f32(len(walk))
        for i, c in enumerate(walk):
            t = f32(i) / n
            v = (f32(1) - t) * i0 + t * i1
            if inside(c) and not np.isnan(v):
                out.append((c, v))
    if cells and inside(cells[-1][0]) and not np.isnan(cells[-1][1]):
        out.append(cells[-1])
    return out


def ref_density(tracks, shape, three_d):
    lists = {}
    for tr in tracks:
        for c, v in ref_passages(tr, shape, three_d):
            lists.setdefault(c, []).append(v)
    img, cnt = np.zeros(shape, np.float32), np.zeros(shape, np.uint32)
    for c, vals in lists.items():
        cnt[c] = len(vals)
        if three_d:
            s = f32(0)
            for v in vals:
                s = f32(s + v)
        else:
            s = f32(-0.0)
            for v in sorted(vals)[len(vals) // 4:]:
                s = f32(s + v)
        img[c] = s
    return img, cnt


def random_points(rng, m, shape):
    """Points near the grid mixed with points far outside it, on every side."""
    near = rng.uniform(-3, np.array(shape) + 3, (m, len(shape)))
    far = rng.uniform(-2000, 2000, (m, len(shape)))
    return np.where(rng.random((m, len(shape))) < 0.7, near, far)


def as_matrix(tracks):
    rows = [p for tr in tracks for p in tr]
    e = np.cumsum([len(tr) for tr in tracks]).astype(np.int32)
    return np.array(rows, np.float32).reshape(len(rows), -1), e


def assert_clipped_walks_match_reference(rng, fn, shape, max_points):
    """200 random sets of up to three tracks of 1 to max_points points, near
    and far from the grid: the density image of fn is the reference's, bit for bit."""
    for _ in range(200):
        tracks = []
        for _ in range(rng.integers(1, 4)):
            pts = random_points(rng, int(rng.integers(1, max_points + 1)), shape)
            tracks.append(np.column_stack([pts, rng.uniform(0, 10, len(pts))]).tolist())
        ref_img, ref_cnt = ref_density(tracks, shape, len(shape) == 3)
        img, cnt, _ = fn(*as_matrix(tracks), tuple(v for n in shape for v in (0, n)), 1.0)
        np.testing.assert_array_equal(cnt, ref_cnt)
        np.testing.assert_array_equal(img.view(np.uint32), ref_img.view(np.uint32))


# ---------------------------------------------------------------- track records


class TestCutting:
    # Rows at x = 0, 2, 4, 6, 8 on y = 0: a track's rows show as its cells.
    ROWS = [[0, 0, 1], [2, 0, 1], [4, 0, 1], [6, 0, 1], [8, 0, 1]]

    @pytest.mark.parametrize("e, rows, counts", [
        ((2, 5), 5, [1, 1, 1, 0, 1, 1, 1, 1, 1, 0]),
        ((3, 3, 5), 5, [1, 1, 1, 1, 1, 0, 1, 1, 1, 0]),
        ((2, 1, 4), 5, [1, 1, 2, 1, 1, 1, 1, 0, 0, 0]),   # the start falls back to 1
        ((10,), 4, [1, 1, 1, 1, 1, 1, 1, 0, 0, 0]),       # rows beyond the matrix cut off
        ((), 5, [0] * 10),
    ])
    def test_ends(self, e, rows, counts):
        _, c, _ = draw(mat(self.ROWS[:rows]), ends(*e), (0, 10, 0, 1), 1.0)
        assert c[:, 0].tolist() == counts

    @pytest.mark.parametrize("fn, cols", [(sonaloc.rs_draw_tracks_value, 4), (sonaloc.rs_draw_tracks_3d, 4)])
    def test_irregular_ends_over_many_rows_draw_as_their_explicit_rows(self, rng, fn, cols):
        # Ends that step back, repeat or run past the matrix, over enough rows
        # that the tracks are converted in several blocks: each track is the
        # rows from the previous end to its own, cut at the matrix.
        rows, n_tracks = 150_000, 6_000
        m = np.column_stack([rng.uniform(0, 60, (rows, cols - 1)), rng.uniform(0.5, 2, rows)]).astype(np.float32)
        e = np.sort(rng.integers(0, rows + 5_000, n_tracks)).astype(np.int32)
        back = rng.choice(n_tracks, 300, replace=False)
        e[back] = np.maximum(e[back] - rng.integers(0, 400, 300), 0)
        starts = np.concatenate([[0], e[:-1]])
        pieces = [m[s:min(t, rows)] for s, t in zip(starts, e)]
        explicit = np.concatenate(pieces)
        explicit_ends = np.cumsum([len(p) for p in pieces]).astype(np.int32)
        ext = (0.0, 60.0) * (cols - 1 if fn is sonaloc.rs_draw_tracks_3d else 2)
        got, want = fn(m, e, ext, 1.0), fn(explicit, explicit_ends, ext, 1.0)
        for a, b in zip(got[:-1], want[:-1]):
            np.testing.assert_array_equal(a, b)

    def test_negative_end_is_refused(self):
        with pytest.raises(ValueError, match="track_end_indices"):
            draw(mat(self.ROWS), ends(2, -1), (0, 10, 0, 1), 1.0)

    def test_uint32_ends_are_refused(self):
        with pytest.raises(TypeError, match="track_end_indices"):
            draw(mat(self.ROWS), np.array([5], np.uint32), (0, 10, 0, 1), 1.0)

    @pytest.mark.parametrize("fn, cols, ext", [
        (draw, 3, (0, 4, 0, 4)), (draw_value, 4, (0, 4, 0, 4)),
        (draw3, 4, (0, 4, 0, 4, 0, 4)), (draw_value3, 5, (0, 4, 0, 4, 0, 4)),
    ])
    def test_narrow_matrix_faults_only_when_a_row_is_read(self, fn, cols, ext):
        narrow = np.zeros((3, cols - 1), np.float32)
        for e in [(), (0,), (0, 0), (5, 5)]:   # no row read (the last: rows beyond)
            fn(np.zeros((0, cols - 1), np.float32), ends(*e), ext, 1.0)
        fn(narrow, ends(0, 0), ext, 1.0)
        with pytest.raises(panic_type(), match="index out of bounds"):
            fn(narrow, ends(0, 2), ext, 1.0)


class TestGrid:
    @pytest.mark.parametrize("hi, n, hi2", [(10, 10, 10.0), (10.5, 11, 11.0), (10.0005, 10, 10.0), (0, 0, 0.0)])
    def test_grid_rule(self, hi, n, hi2):
        img, cnt, ext = draw(np.zeros((0, 3), np.float32), ends(), (0, hi, 0, 5), 1.0)
        assert img.shape == cnt.shape == (n, 5) and ext == (0.0, hi2, 0.0, 5.0)
        assert img.dtype == np.float32 and cnt.dtype == np.uint32 and not cnt.any()
        assert all(type(v) is float for v in ext)

    def test_3d_shape_and_extent(self):
        s, c, ext = draw3(np.zeros((0, 4), np.float32), ends(), (0, 4, 0, 3, 0, 2), 1.0)
        assert s.shape == c.shape == (4, 3, 2) and ext == (0.0, 4.0, 0.0, 3.0, 0.0, 2.0)
        out = draw_value3(np.zeros((0, 5), np.float32), ends(), (0, 4, 0, 3, 0, 2, "ignored"), 1.0)
        assert [a.shape for a in out[:3]] == [(4, 3, 2)] * 3 and len(out[3]) == 6

    @pytest.mark.parametrize("x, cell2, cell3", [
        (0.49, 0, 0), (2.5, 3, 3), (9.5, None, None), (-2.5, 0, None), (float("nan"), 0, 0),
    ])
    def test_conversion(self, x, cell2, cell3):
        _, c, _ = draw(mat([[x, 0, 1]]), ends(1), (0, 10, 0, 1), 1.0)
        assert np.flatnonzero(c[:, 0]).tolist() == ([] if cell2 is None else [cell2])
        _, c, _ = draw3(mat([[x, 0, 0, 1]]), ends(1), (0, 10, 0, 1, 0, 1), 1.0)
        assert np.flatnonzero(c[:, 0, 0]).tolist() == ([] if cell3 is None else [cell3])

    def test_consecutive_repeats_keep_the_first_point(self):
        # x 1.0, 1.2, 3.0, 1.1 -> cells 1, 3, 1 with intensities 10, 30, 50.
        m = mat([[1.0, 0, 10], [1.2, 0, 99], [3.0, 0, 30], [1.1, 0, 50]])
        img, cnt, _ = draw(m, ends(4), (0, 10, 0, 1), 1.0)
        assert cnt[:5, 0].tolist() == [0, 2, 2, 1, 0]  # the track crosses cells 1 and 2 twice
        assert img[:5, 0].tolist() == [0, 60, 60, 30, 0]

    @pytest.mark.parametrize("ps", [0.0, -1.0, float("inf"), float("nan")])
    def test_pixel_size_that_describes_no_grid(self, ps):
        for fn, ext in [(draw, (0, 4, 0, 4)), (draw3, (0, 4, 0, 4, 0, 4))]:
            with pytest.raises(ValueError, match="pixel_size"):
                fn(np.zeros((0, 4), np.float32), ends(), ext, ps)

    @pytest.mark.parametrize("fn, ext, shape", [
        (draw, (0, 2.0**40, 0, 2.0**40), r"\(1099511627776, 1099511627776\)"),
        (draw, (0, 3e38, 0, 3e38), r"\(18446744073709551615, 18446744073709551615\)"),
        (draw, (-math.inf, 0, 0, 0), r"\(18446744073709551615, 0\)"),
        (draw_value, (0, 2.0**20, 0, 2.0**20), r"\(1048577, 1048577\)"),
        (draw3, (0, 2.0**14, 0, 2.0**14, 0, 2.0**14), r"\(16384, 16384, 16384\)"),
        (draw3, (0, 3e9, 0, 0, 0, 0), r"2147483647"),
        (draw_value3, (0, 1, 0, 1, 0, 5e9), r"2147483647"),
    ])
    def test_absurd_grids_are_refused_before_allocation(self, fn, ext, shape):
        with pytest.raises(ValueError, match=shape):
            fn(np.zeros((0, 5), np.float32), ends(), ext, 1.0)


# ---------------------------------------------------------------- 2D images


def walk_counts(a, b, shape=(8, 8)):
    _, c, _ = draw(mat([[*a, 1], [*b, 1]]), ends(2), (0, shape[0], 0, shape[1]), 1.0)
    return [tuple(p) for p in np.argwhere(c)]


class TestDensity2D:
    @pytest.mark.parametrize("a, b, cells", [
        ((0, 0), (5, 2), [(0, 0), (1, 0), (2, 0), (3, 1), (4, 1)]),
        ((5, 2), (0, 0), [(5, 2), (4, 2), (3, 2), (2, 1), (1, 1)]),
        ((0, 0), (1, 3), [(0, 0), (0, 1), (0, 2)]),
        ((0, 0), (3, 3), [(0, 0), (1, 1), (2, 2)]),
    ])
    def test_line_walk_examples(self, a, b, cells):
        assert ref_line_2d(a, b) == cells
        assert sorted(walk_counts(a, b)) == sorted(cells + [b])  # the last point adds b

    def test_interpolation_and_last_point(self):
        img, cnt, _ = draw(mat([[0, 0, 1], [4, 0, 5]]), ends(2), (0, 10, 0, 5), 1.0)
        assert img[:6, 0].tolist() == [1, 2, 3, 4, 5, 0] and cnt[:6, 0].tolist() == [1] * 5 + [0]

    @pytest.mark.parametrize("vals, total", [([4, 1, 3, 2], 9), ([1, 2, 3], 6), (list(range(1, 9)), 33)])
    def test_lower_quartile_trim(self, vals, total):
        m = mat([[1, 1, v] for v in vals])
        img, cnt, _ = draw(m, np.arange(1, len(vals) + 1, dtype=np.int32), (0, 3, 0, 3), 1.0)
        assert img[1, 1] == total and cnt[1, 1] == len(vals) and cnt.sum() == len(vals)

    def test_nan_intensity_removes_its_segments(self):
        m = mat([[0, 0, 1], [3, 0, np.nan], [6, 0, 1], [8, 0, 1]])
        img, cnt, _ = draw(m, ends(4), (0, 10, 0, 1), 1.0)
        assert cnt[:, 0].tolist() == [0] * 6 + [1, 1, 1, 0]
        _, cnt, _ = draw(m[:2], ends(2), (0, 10, 0, 1), 1.0)
        assert not cnt.any()

    def test_points_below_and_beyond_the_grid(self):
        # Below: clamped to cell 0 and drawn. Beyond: not drawn, the inside part is.
        assert walk_counts((-5, 3), (2, 3)) == [(0, 3), (1, 3), (2, 3)]
        assert walk_counts((5, -9), (5, 2)) == [(5, 0), (5, 1), (5, 2)]
        assert walk_counts((6, 1), (20, 1)) == [(6, 1), (7, 1)]

    @pytest.mark.parametrize("far", [math.inf, 1e18, 3e38, 2.0**63, 2.0**64])
    def test_far_points_draw_toward_their_own_side(self, far):
        t0 = time.perf_counter()
        assert walk_counts((2, 3), (far, 3)) == [(x, 3) for x in range(2, 8)]
        assert walk_counts((3, 2), (3, far)) == [(3, y) for y in range(2, 8)]
        assert walk_counts((far, 3), (2, 3)) == [(x, 3) for x in range(2, 8)]
        assert walk_counts((2, 2), (far, far)) == [(i, i) for i in range(2, 8)]
        assert walk_counts((far, 0), (0, far)) == []        # passes nowhere near the grid
        assert time.perf_counter() - t0 < 1.0

    def test_clipped_walk_matches_reference(self, rng):
        assert_clipped_walks_match_reference(rng, draw, (11, 7), max_points=5)

    def test_inputs_by_strided_views(self, rng):
        m = rng.uniform(0, 20, (40, 6)).astype(np.float32)
        e = np.array([0, 10, 25, 40, 40, 40], np.int32)
        want = draw(np.ascontiguousarray(m[::2, :3]), e[::2].copy(), (0, 20, 0, 20), 0.5)
        got = draw(m[::2, :3], e[::2], (0, 20, 0, 20), 0.5)
        for a, b in zip(want[:2], got[:2]):
            np.testing.assert_array_equal(a, b)


class TestValue2D:
    def cell(self, entries):
        m = mat([[1, 1, i, v] for i, v in entries])
        out = draw_value(m, np.arange(1, len(entries) + 1, dtype=np.int32), (0, 3, 0, 3), 1.0)
        return out[0][1, 1], out[1][1, 1], out[2][1, 1]

    @pytest.mark.parametrize("entries, want", [
        ([(1, 10), (3, 20)], (4, 17.5, 2)),
        ([(4, 1), (1, 100), (3, 1), (2, 1)], (9, 1, 4)),
        ([(0, 5), (0, 7)], (0, 0, 2)),
        ([(-1, 5), (-2, 7)], (-3, 0, 2)),
        # Equal intensities stay in drawing order: the first drawn is discarded.
        ([(1, 10), (1, 20), (1, 30), (1, 40)], (3, 30, 4)),
    ])
    def test_aggregation(self, entries, want):
        assert self.cell(entries) == want

    @pytest.mark.parametrize("shape", [(2048, 1024), (8192, 1024)])  # two and three sort passes
    def test_ties_keep_drawing_order_on_large_grids(self, rng, shape):
        # One-point tracks of one intensity: the trim drops the first-drawn
        # quarter of every pixel, so the mean tells whether the sort by pixel
        # kept the drawing order, for crowded and for lone pixels.
        hot = [(int(rng.integers(shape[0])), int(rng.integers(shape[1]))) for _ in range(6)]
        warm = [(int(rng.integers(shape[0])), int(rng.integers(shape[1]))) for _ in range(20)]
        cells = [c for c in hot for _ in range(int(rng.integers(40, 120)))]
        cells += [c for c in warm for _ in range(int(rng.integers(3, 9)))]
        cells += [(int(rng.integers(shape[0])), int(rng.integers(shape[1]))) for _ in range(3000)]
        cells = [cells[i] for i in rng.permutation(len(cells))]
        values = rng.uniform(0, 100, len(cells)).astype(np.float32)
        m = np.array([[x, y, 1.0, v] for (x, y), v in zip(cells, values)], np.float32)
        img, mean, cnt, _ = draw_value(m, np.arange(1, len(cells) + 1, dtype=np.int32),
                                       (0.0, shape[0], 0.0, shape[1]), 1.0)
        drawn = {}
        for c, v in zip(cells, values):
            drawn.setdefault(c, []).append(v)
        for c, vs in drawn.items():
            kept = vs[len(vs) // 4:]
            s_i = s_iv = f32(-0.0)
            for v in kept:
                s_i, s_iv = f32(s_i + f32(1)), f32(s_iv + f32(1) * v)
            assert (cnt[c], img[c], mean[c]) == (len(vs), s_i, f32(s_iv / s_i)), c

    def test_segment_interpolates_value(self):
        img, mean, cnt, ext = draw_value(mat([[0, 0, 1, 0], [2, 0, 3, 10]]), ends(2), (0, 4, 0, 1), 1.0)
        assert img[:, 0].tolist() == [1, 2, 3, 0] and mean[:, 0].tolist() == [0, 5, 10, 0]
        assert cnt[:, 0].tolist() == [1, 1, 1, 0] and ext == (0.0, 4.0, 0.0, 1.0)

    def test_nan_value_removes_segments_and_last_point(self):
        m = mat([[0, 0, 1, 1], [2, 0, 1, np.nan], [4, 0, 1, 1], [6, 0, 1, np.nan]])
        _, _, cnt, _ = draw_value(m[:3], ends(3), (0, 8, 0, 1), 1.0)
        assert cnt[:, 0].tolist() == [0, 0, 0, 0, 1, 0, 0, 0]
        _, _, cnt, _ = draw_value(m[2:], ends(2), (0, 8, 0, 1), 1.0)
        assert not cnt.any()


# ---------------------------------------------------------------- 3D images


class TestImages3D:
    def test_line_walk_example(self):
        assert ref_line_3d((0, 0, 0), (5, 2, 0)) == [(0, 0, 0), (1, 0, 0), (2, 1, 0), (3, 1, 0), (4, 2, 0), (5, 2, 0)]
        _, c, _ = draw3(mat([[0, 0, 0, 1], [5, 2, 0, 1]]), ends(2), (0, 6, 0, 3, 0, 1), 1.0)
        assert sorted(map(tuple, np.argwhere(c))) == ref_line_3d((0, 0, 0), (5, 2, 0))
        assert c[5, 2, 0] == 2

    def test_two_contributions_at_joins_and_last_point(self):
        s, c, _ = draw3(mat([[0, 0, 0, 1], [2, 0, 0, 4]]), ends(2), (0, 4, 0, 1, 0, 1), 1.0)
        assert s[:, 0, 0].tolist() == [1, 2, 7, 0] and c[:, 0, 0].tolist() == [1, 1, 2, 0]
        _, c, _ = draw3(mat([[0, 0, 0, 1], [2, 0, 0, 1], [4, 0, 0, 1]]), ends(3), (0, 5, 0, 1, 0, 1), 1.0)
        assert c[:, 0, 0].tolist() == [1, 1, 2, 1, 2]

    def test_points_below_the_grid_are_not_drawn(self):
        _, c, _ = draw3(mat([[-2, 1, 1, 1], [2, 1, 1, 1]]), ends(2), (0, 4, 0, 3, 0, 3), 1.0)
        assert c[:, 1, 1].tolist() == [1, 1, 2, 0] and c.sum() == 4
        _, c, _ = draw3(mat([[1, 1, -1, 1]]), ends(1), (0, 4, 0, 3, 0, 3), 1.0)
        assert not c.any()

    def test_value_image(self):
        m = mat([[0, 0, 0, 1, 0], [2, 0, 0, 3, 10], [2, 0, 1, 1, np.nan]])
        img, mean, cnt, ext = draw_value3(m, ends(3), (0, 3, 0, 1, 0, 2), 1.0)
        # t = 0, 1/3, 2/3 along the segment, then the last point (2, 0, 0) again.
        t1, t2 = f32(1) / f32(3), f32(2) / f32(3)
        i1, i2 = (f32(1) - t1) * f32(1) + t1 * f32(3), (f32(1) - t2) * f32(1) + t2 * f32(3)
        assert cnt[:, 0, 0].tolist() == [1, 1, 1] and cnt.sum() == 3
        assert img[:, 0, 0].tolist() == [1, i1, i2]
        assert ext == (0.0, 3.0, 0.0, 1.0, 0.0, 2.0)

    @pytest.mark.parametrize("far", [math.inf, 1e18, 2.0**31])
    def test_far_points(self, far):
        t0 = time.perf_counter()
        ext = (0, 6, 0, 6, 0, 6)
        _, c, _ = draw3(mat([[1, 2, 3, 1], [far, 2, 3, 1]]), ends(2), ext, 1.0)
        assert [tuple(p) for p in np.argwhere(c)] == [(x, 2, 3) for x in range(1, 6)]
        _, c, _ = draw3(mat([[-far, -far, 2, 1], [far, far, 2, 1]]), ends(2), ext, 1.0)
        assert [tuple(p) for p in np.argwhere(c)] == [(i, i, 2) for i in range(6)]
        assert time.perf_counter() - t0 < 1.0

    def test_clipped_walk_matches_reference(self, rng):
        assert_clipped_walks_match_reference(rng, draw3, (7, 5, 6), max_points=4)


class TestLargePassageLists:
    """Lists long enough to be sorted and aggregated in parallel blocks."""

    @staticmethod
    def tracks(rng, n_tracks, length, dims, span):
        start = rng.uniform(0, span, (n_tracks, 1, dims))
        xyz = (start + np.cumsum(rng.normal(0, 1.5, (n_tracks, length, dims)), axis=1)).reshape(-1, dims)
        m = np.column_stack([xyz, rng.uniform(0.5, 2.0, n_tracks * length)]).astype(np.float32)
        return m, (np.arange(1, n_tracks + 1) * length).astype(np.int32)

    @pytest.mark.parametrize("fn, dims, span", [(sonaloc.rs_draw_tracks, 2, 400.0),
                                                (sonaloc.rs_draw_tracks_3d, 3, 60.0)])
    def test_counts_add_up_over_subsets_of_tracks(self, rng, fn, dims, span):
        # Counts are additive over tracks: the whole list (sorted in blocks)
        # and eight subsets (each short) must agree cell by cell.
        m, e = self.tracks(rng, 24_000, 12, dims, span)
        ext = tuple(v for _ in range(dims) for v in (0.0, span))
        whole = fn(m, e, ext, 1.0)
        assert whole[1].sum() > 300_000
        parts = np.zeros_like(whole[1], dtype=np.int64)
        rows = len(e) // 8 * 12
        for k in range(8):
            sub = m[k * rows:(k + 1) * rows]
            parts += fn(np.ascontiguousarray(sub), (np.arange(1, len(e) // 8 + 1) * 12).astype(np.int32), ext, 1.0)[1]
        np.testing.assert_array_equal(whole[1], parts)
