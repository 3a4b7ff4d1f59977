"""rs_detect_peaks: 2D detection, windowed localization and the output table."""
import ctypes
import ctypes.util
import os
import subprocess
import sys
import time

import numpy as np
import pytest

import sonaloc
from references import gaussian as spot

f32 = np.float32
NEIGHBOURS = [(-1, -1), (-1, 0), (-1, 1), (0, -1), (0, 1), (1, -1), (1, 0), (1, 1)]
libm = ctypes.CDLL(ctypes.util.find_library("m"))
libm.expf.restype = ctypes.c_float
libm.expf.argtypes = [ctypes.c_float]


def detect(img, extent=None, threshold=0.5, min_distance=0.0, method=None, window=None, cap=None):
    img = np.asarray(img, dtype=np.float32)  # no copy of a float32 array or view
    if extent is None:
        extent = (0.0, img.shape[0] - 1.0, 0.0, img.shape[1] - 1.0)
    return sonaloc.rs_detect_peaks(img, extent, threshold, min_distance, method, window, cap)


# ---------------------------------------------------------------- float32 references


def ref_detect(img, extent, threshold, min_distance):
    img = np.ascontiguousarray(img, dtype=np.float32)
    R, C = img.shape
    if R < 3 or C < 3:
        return []
    x0, x1, y0, y1 = (f32(e) for e in extent)
    qx, qy = (x1 - x0) / (f32(R) - f32(1)), (y1 - y0) / (f32(C) - f32(1))
    c = img[1:-1, 1:-1]
    ok = ~(c < f32(threshold))
    for d0, d1 in NEIGHBOURS:
        u = img[1 + d0:R - 1 + d0, 1 + d1:C - 1 + d1]
        later = d0 > 0 or (d0 == 0 and d1 > 0)
        ok &= (c > u) if later else ~(u > c)
    cands = [(int(i) + 1, int(j) + 1) for i, j in zip(*np.nonzero(ok))]
    cands.sort(key=lambda p: -img[p])  # stable: equal intensities in scan order
    md2 = f32(min_distance) * f32(min_distance)
    kept = []
    for i, j in cands:
        x, y = x0 + f32(i) * qx, y0 + f32(j) * qy
        if not any(md2 > (x - kx) * (x - kx) + (y - ky) * (y - ky) for _, _, kx, ky, _ in kept):
            kept.append((i, j, x, y, img[i, j]))
    return kept


def ref_gaussian_fit(w):
    R, C = w.shape
    M = f32(-np.inf)
    for v in w.ravel():
        if v > M:
            M = v
    if not M > 0:
        return None
    y0 = x0 = f32(0)
    for _ in range(5):
        syy = sxx = sxy = sry = srx = f32(0)
        for i in range(R):
            dy = (f32(i) - f32(R - 1) * f32(0.5)) - y0
            for j in range(C):
                dx = (f32(j) - f32(C - 1) * f32(0.5)) - x0
                G = f32(libm.expf(f32(-0.5) * dx * dx + (f32(-0.5) * dy * dy)))
                r = w[i, j] / M - G
                jy, jx = dy * G, dx * G
                syy, sxx, sxy = syy + jy * jy, sxx + jx * jx, sxy + jy * jx
                sry, srx = sry + jy * r, srx + jx * r
        det = syy * sxx - sxy * sxy
        if abs(det) < f32(1e-10):
            return None
        y0, x0 = y0 + (sxx * sry - sxy * srx) / det, x0 + (syy * srx - sxy * sry) / det
    return y0, x0


def ref_radial_symmetry(w):
    try:
        return tuple(f32(v) for v in sonaloc.rs_radial_symmetry_2d(w))
    except ValueError:
        return None


def ref_maxima_count(w):
    n = w.shape[0]
    visited, is_max = np.zeros((n, n), bool), np.ones((n, n), bool)
    for p in np.ndindex(n, n):
        if visited[p]:
            continue
        visited[p], comp, k, maximum = True, [p], 0, True
        while k < len(comp):
            a, e = comp[k]
            k += 1
            for d0, d1 in NEIGHBOURS:
                q = (a + d0, e + d1)
                if 0 <= q[0] < n and 0 <= q[1] < n:
                    if w[q] > w[p]:
                        maximum = False
                    elif w[q] == w[p] and not visited[q]:
                        visited[q] = True
                        comp.append(q)
        if not maximum:
            for q in comp:
                is_max[q] = False
    return int((is_max & (w > 0)).sum())


def ref_localize(img, peaks, w, extent, method, cap):
    img = np.ascontiguousarray(img, dtype=np.float32)
    R, C = img.shape
    if not peaks or R < w or C < w:
        return []
    h, b = w // 2, f32(w) * f32(0.5)
    sx = (f32(extent[1]) - f32(extent[0])) / f32(R - 1)
    sy = (f32(extent[3]) - f32(extent[2])) / f32(C - 1)
    fit = ref_radial_symmetry if method == "radial_symmetry" else ref_gaussian_fit
    out = []
    for r, c, _, _, v in peaks:
        if not (h <= r < R - h and h <= c < C - h):
            continue
        win = img[r - h:r + h + 1, c - h:c + h + 1].copy()
        if ref_maxima_count(win) > 2:
            out.append((f32(r) * sx + f32(extent[0]), f32(c) * sy + f32(extent[2]), v))
            continue
        d = fit(win)
        if d is None:
            continue
        if abs(d[0]) > b or abs(d[1]) > b:
            d = centroid(win)
        out.append(((f32(r) + d[0]) * sx + f32(extent[0]), (f32(c) + d[1]) * sy + f32(extent[2]), v))
        if cap is not None and len(out) >= cap:
            break
    return out


def centroid(win):
    s = sa = se = f32(0)
    for (a, e), v in np.ndenumerate(win):
        s, sa, se = s + v, sa + v * f32(a), se + v * f32(e)
    h = f32(win.shape[0] // 2)
    return (f32(0), f32(0)) if s == 0 else (sa / s - h, se / s - h)


def table(rows):
    pos = np.array([[r[-3], r[-2]] for r in rows], np.float32).reshape(-1, 2)
    return pos, np.array([r[-1] for r in rows], np.float32)


def assert_same(got, want):
    assert got[0].dtype == np.float32 and got[1].dtype == np.float32
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])


# ---------------------------------------------------------------- detection


@pytest.mark.parametrize("pos,found", [((3, 4), True), ((0, 4), False), ((10, 4), False),
                                       ((3, 0), False), ((3, 20), False), ((1, 1), True), ((9, 19), True)])
def test_single_pixel_interior_only(pos, found):
    img = np.zeros((11, 21), np.float32)
    img[pos] = 5
    p, v = detect(img, (0, 10, 0, 20), 1.0)
    assert (p.tolist(), v.tolist()) == (([[*pos]], [5.0]) if found else ([], []))


def test_threshold_equality_passes():
    img = np.zeros((5, 5), np.float32)
    img[2, 2] = 0.75
    assert len(detect(img, threshold=0.75)[1]) == 1
    assert len(detect(img, threshold=np.nextafter(f32(0.75), f32(1)))[1]) == 0


@pytest.mark.parametrize("pixels,winner", [
    ([(3, 3), (3, 4)], (3, 4)),  # horizontal: right one
    ([(3, 3), (4, 3)], (4, 3)),  # vertical: lower one
    ([(3, 3), (4, 4)], (4, 4)),  # diagonal
    ([(3, 4), (4, 3)], (4, 3)),  # anti-diagonal: later in row-major order
    ([(3, 3), (3, 4), (4, 3), (4, 4)], (4, 4)),  # plateau
])
def test_equal_neighbours_later_wins(pixels, winner):
    img = np.zeros((8, 40), np.float32)  # wide rows: the block scan and the tail
    for base in (0, 30):
        for i, j in pixels:
            img[i, j + base] = 2.0
    p, _ = detect(img, threshold=1.0)
    assert sorted(map(tuple, p.astype(int).tolist())) == [winner, (winner[0], winner[1] + 30)]


def test_nan_pixels():
    img = np.zeros((6, 24), np.float32)
    img[2, 2] = np.nan  # never a peak, even with a NaN threshold
    img[2, 10], img[2, 9] = 3, np.nan  # NaN earlier: still a peak
    img[2, 18], img[3, 18] = 3, np.nan  # NaN later: disqualifies
    p, _ = detect(img, threshold=1.0)
    assert p.tolist() == [[2, 10]]
    assert detect(img, threshold=np.nan)[0].tolist() == [[2, 10]]


def test_min_distance_rules():
    img = np.zeros((20, 20), np.float32)
    img[5, 5], img[5, 10], img[12, 5] = 3, 2, 2  # distances 5 and 7
    pix = lambda md: detect(img, threshold=1.0, min_distance=md)[0].tolist()
    assert pix(5.0) == [[5, 5], [5, 10], [12, 5]]  # exactly equal: kept
    assert pix(5.001) == [[5, 5], [12, 5]]
    assert pix(-5.001) == [[5, 5], [12, 5]]
    assert pix(7.5) == [[5, 5]]
    assert pix(0.0) == pix(np.nan) == [[5, 5], [5, 10], [12, 5]]
    # equal intensities: scan order decides who is kept
    img[5, 5] = 2
    assert pix(5.5) == [[5, 5], [12, 5]]


@pytest.mark.parametrize("shape,extent,pixel,where", [
    ((11, 21), (0, 10, 0, 20), (3, 4), (3, 4)),
    ((11, 21), (10, 0, 0, 20), (3, 4), (7, 4)),
    ((5, 9), (0.0, 2.0, -1.0, 1.0), (2, 4), (1, 0)),
    ((7, 7), (3, 3, 1, 1), (2, 2), (3, 1)),
])
def test_extent_mapping(shape, extent, pixel, where):
    img = np.zeros(shape, np.float32)
    img[pixel] = 1
    assert detect(img, extent, 0.5)[0].tolist() == [list(where)]


@pytest.mark.parametrize("shape", [(2, 9), (9, 2), (0, 5), (5, 0), (0, 0)])
def test_small_images_are_empty(shape):
    p, v = detect(np.ones(shape, np.float32), threshold=0.0)
    assert p.shape == (0, 2) and v.shape == (0,) and p.dtype == v.dtype == np.float32


@pytest.mark.parametrize("seed", range(6))
def test_matches_reference(seed):
    rng = np.random.default_rng(seed)
    shape = tuple(rng.integers(3, 70, 2))
    img = rng.integers(0, 6, shape).astype(np.float32)  # many ties
    extent = tuple(rng.uniform(-50, 50, 4))
    md = float(rng.choice([0.0, 1.5, 4.0, -3.0, 40.0]))
    assert_same(detect(img, extent, 2.0, md), table(ref_detect(img, extent, 2.0, md)))


@pytest.mark.parametrize("seed", range(2))
def test_order_and_thinning_of_many_peaks_match_reference(seed):
    # Hundreds of peaks whose intensities differ in every byte, some of them
    # repeated (ties kept in scan order), negative ones and both zeros.
    rng = np.random.default_rng(100 + seed)
    base = rng.standard_normal(60).astype(np.float32).view(np.uint32)
    near = (base[:, None] + np.arange(5, dtype=np.uint32)).ravel().view(np.float32)  # a few ulps apart
    pool = np.concatenate([near, [0.0, -0.0]]).astype(np.float32)
    img = rng.choice(pool, size=(120, 90))
    # Axes growing, falling, finely spaced, and one collapsed to a point (every
    # row at the same x, so every row is near every other).
    for extent, scale in (((0.0, 119.0, 0.0, 89.0), 1.0), ((119.0, 0.0, 89.0, 0.0), 1.0),
                          ((-0.6, 0.59, 3.0, 3.89), 0.01), ((5.0, 5.0, 0.0, 89.0), 1.0)):
        for md in (0.0, 1.5 * scale, 3.0 * scale, 2.0 * scale):
            assert_same(detect(img, extent, -1.0, md), table(ref_detect(img, extent, -1.0, md)))


def misaligned(a):
    """A packed copy of `a` whose floats start at an odd byte address."""
    out = np.zeros(a.nbytes + 1, np.uint8)[1:].view(a.dtype).reshape(a.shape)
    out[...] = a
    return out


def test_every_row_length_matches_reference():
    # Widths 3 .. 133 leave every remainder after the 32- and 64-pixel steps of
    # the wide scans; ties, NaN pixels, a NaN threshold, rows read upwards,
    # floats at an odd byte address.
    rng = np.random.default_rng(11)
    for cols in range(3, 134):
        img = rng.integers(0, 5, (5, cols)).astype(np.float32)
        img[rng.random(img.shape) < 0.05] = np.nan
        extent = (0.0, 4.0, 0.0, cols - 1.0)
        for view in (img, img[::-1], misaligned(img)):
            for t in (2.0, np.nan):
                assert_same(detect(view, extent, t), table(ref_detect(view, extent, t, 0.0)))


@pytest.mark.parametrize("extent", [(0, np.inf, 0, 1), (np.nan, 1, 0, 1), (0, 1e38, -1e38, 0)])
def test_non_finite_coordinates_thin_like_reference(extent):
    img = np.random.default_rng(7).random((30, 30)).astype(np.float32)
    with np.errstate(all="ignore"):
        want = table(ref_detect(img, extent, 0.3, 2.0))
    assert_same(detect(img, extent, 0.3, 2.0), want)


def test_strided_views_match_contiguous_copy():
    rng = np.random.default_rng(3)
    base = (rng.random((90, 70)) ** 4).astype(np.float32)
    packed = np.zeros(base.shape, dtype=[("pad", "u1"), ("v", "<f4")])  # byte strides not multiples of 4
    packed["v"] = base
    views = [base.T, base[::-1], base[:, ::-1], base[::2, 1::3], base[::-1, ::-1].T, packed["v"],
             np.broadcast_to(base[3], (20, 70)), np.broadcast_to(base[:, 5:6], (90, 30))]
    for view in views:
        copy = np.ascontiguousarray(view)
        for method in (None, "radial_symmetry", "gaussian_fitting"):
            args = ((0, 1, 0, 2), 0.2, 0.0, method, 5, None)
            assert_same(sonaloc.rs_detect_peaks(view, *args), sonaloc.rs_detect_peaks(copy, *args))


def test_same_result_for_any_thread_count(tmp_path):
    script = ("import numpy as np, sonaloc, sys\n"
              "img = np.random.default_rng(5).integers(0, 50, (700, 700)).astype(np.float32)\n"
              "p, v = sonaloc.rs_detect_peaks(img, (0, 1, 0, 1), 10.0, 0.004, None, None, None)\n"
              "sys.stdout.write(p.tobytes().hex() + v.tobytes().hex())\n")
    outs = []
    for threads in ("1", "2", "3"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads, PYTHONPATH=os.pathsep.join(sys.path))
        outs.append(subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                                   text=True, check=True).stdout)
    assert outs[0] == outs[1] == outs[2] and len(outs[0]) > 0


# ---------------------------------------------------------------- entry checks and table


def test_window_size_and_method_checks():
    img = np.zeros((9, 9), np.float32)
    img[4, 4] = 1
    msg = "localization_window_size must be an odd integer >= 3"
    for w in (0, 1, 2, 8, True):
        with pytest.raises(ValueError, match=f"^{msg}$"):
            detect(img, method="radial_symmetry", window=w)
    with pytest.raises(ValueError, match=f"^{msg}$"):  # size first, then the name
        detect(img, method="nonsense", window=4)
    with pytest.raises(ValueError) as e:
        detect(img, method="Radial_Symmetry")
    assert str(e.value) == ("Unknown localization method 'Radial_Symmetry'. "
                            "Choose 'radial_symmetry' or 'gaussian_fitting'.")
    assert len(detect(img, method=None, window=4, cap=0)[1]) == 1  # unchecked without a method
    assert detect(img, method="radial_symmetry")[0].tolist() == [[4, 4]]  # default window 7 fits
    assert len(detect(img[:6, :6], method="radial_symmetry")[1]) == 0


def test_output_arrays():
    img = np.zeros((6, 6), np.float32)
    img[2, 3] = 4
    p, v = detect(img)
    for a in (p, v):
        assert a.flags.c_contiguous and a.flags.writeable and a.flags.owndata is False
    assert p.shape == (1, 2) and v.shape == (1,)
    del img
    p[0, 0] = 9  # writeable and alive on its own
    assert p.tolist() == [[9, 3]] and v.tolist() == [4]


# ---------------------------------------------------------------- localization


@pytest.mark.parametrize("w", [3, 5, 7])
def test_window_border_rule(w):
    h, n = w // 2, 15
    for pos, kept in ((h - 1, False), (h, True), (n - h - 1, True), (n - h, False)):
        for pixel in ((pos, 7), (7, pos)):
            if min(pixel) < 1 or max(pixel) > n - 2:
                continue
            img = spot((n, n), pixel)
            assert detect(img)[0].tolist() == [list(pixel)]
            assert len(detect(img, method="gaussian_fitting", window=w)[1]) == int(kept), pixel


@pytest.mark.parametrize("others,pixel_position", [
    ([(6, 9)], False),                    # two single maxima: localized
    ([(6, 9), (10, 4)], True),            # three: pixel position
    ([(5, 9), (6, 9), (7, 9)], True),     # maximal plateau of three
    ([(4, 9), (10, 4), (10, 9)], False),  # other maxima at or below 0 do not count
])
def test_regional_maxima_rule(others, pixel_position):
    img = np.full((15, 15), -1.0, np.float32)
    img[6:9, 5:8] = spot((3, 3), (1.3, 0.8))  # off-centre spot around (7, 6)
    for p in others:
        img[p] = 0.0 if (10, 9) in others else 0.5
    p, _ = detect(img, threshold=0.9, method="gaussian_fitting", window=7)
    assert len(p) == 1
    assert (p[0].tolist() == [7.0, 6.0]) == pixel_position


def test_regional_maxima_skip_nan_neighbours():
    # (10, 5) has a greater neighbour and a NaN one: it is no maximum, so the
    # window holds two (the spot and (10, 6)) and is localized.
    img = np.full((15, 15), -1.0, np.float32)
    img[6:9, 5:8] = spot((3, 3), (1.3, 0.8))
    img[10, 4], img[10, 5], img[10, 6] = np.nan, 0.5, 0.7
    for method in ("gaussian_fitting", "radial_symmetry"):
        p, _ = detect(img, threshold=0.9, method=method, window=7)
        assert len(p) == 1 and p[0].tolist() != [7.0, 6.0], method
    img[4, 8], img[4, 9] = np.nan, 0.4  # a third maximum, next to a NaN: pixel position
    for method in ("gaussian_fitting", "radial_symmetry"):
        assert detect(img, threshold=0.9, method=method, window=7)[0].tolist() == [[7.0, 6.0]], method


def test_centroid_fallback():
    win = np.array([[0.99, -1, 0], [-0.5, 1, 0], [0.9, -1, 0.5]], np.float32)
    assert abs(ref_gaussian_fit(win)[1]) > 1.5  # the fit strays past the bound
    img = np.full((5, 5), -2.0, np.float32)
    img[1:4, 1:4] = win
    d = centroid(win)
    p, v = detect(img, threshold=0.95, method="gaussian_fitting", window=3)
    assert p.tolist() == [[f32(2) + d[0], f32(2) + d[1]]] and v.tolist() == [1.0]
    # a symmetric window has its centroid on the centre pixel
    assert centroid(np.array([[1, 2, 1], [2, 4, 2], [1, 2, 1]], np.float32)) == (0, 0)


@pytest.mark.parametrize("method,shift,sigma,want,tol", [
    ("gaussian_fitting", (0.0, 0.0), 1.0, (0.0, 0.0), 1e-5),
    ("gaussian_fitting", (0.3, -0.2), 1.0, (0.3, -0.2), 1e-3),
    ("gaussian_fitting", (0.3, -0.2), 1.2, (0.3, -0.2), 5e-3),
    ("radial_symmetry", (0.0, 0.0), 1.0, (0.0, 0.0), 1e-5),
    ("radial_symmetry", (0.3, -0.2), 1.0, (0.301, -0.201), 2e-3),
])
def test_localizer_accuracy(method, shift, sigma, want, tol):
    img = spot((21, 21), (10 + shift[0], 10 + shift[1]), sigma)
    p, v = detect(img, (0, 20, 0, 20), 0.5, method=method, window=7)
    assert v.tolist() == [img[10, 10]]
    assert np.abs(p[0] - (10 + np.array(want))).max() < tol
    p7, _ = detect(img * f32(7), (0, 20, 0, 20), 0.5, method=method, window=7)
    assert np.abs(p7 - p).max() < 1e-5  # scale invariant up to rounding


def test_non_positive_window():
    img = np.full((9, 9), -3.0, np.float32)
    img[4, 4] = -1.0
    assert len(detect(img, threshold=-2, method="gaussian_fitting")[1]) == 0  # fit refuses
    assert detect(img, threshold=-2, method="radial_symmetry")[0].tolist() == [[4, 4]]


def test_max_num_peaks_counting():
    img = np.zeros((40, 12), np.float32)
    for k, r in enumerate((5, 15, 25, 35)):
        img[r - 1:r + 2, 5:8] = spot((3, 3), (1.2, 1.1), amplitude=4 - k)
    rows = lambda cap: detect(img, threshold=0.5, method="radial_symmetry", window=7, cap=cap)[0][:, 0]
    assert len(rows(None)) == 4 and len(rows(2)) == 2 and len(rows(0)) == 1
    # a pixel-position entry counts but does not stop the scan
    img[2, 3], img[8, 9] = 0.1, 0.1
    r = rows(1)
    assert r.tolist()[0] == 5.0 and len(r) == 2 and r[1] != 15.0


def test_huge_window_costs_nothing():
    img = np.zeros((5, 5), np.float32)
    img[2, 2] = 1
    t0 = time.perf_counter()
    for w in (7, 2 ** 40 + 1, 2 ** 64 - 1):
        assert detect(img, method="gaussian_fitting", window=w)[0].shape == (0, 2)
    assert time.perf_counter() - t0 < 0.5


@pytest.mark.parametrize("method", ["radial_symmetry", "gaussian_fitting"])
@pytest.mark.parametrize("w,seed", [(3, 0), (5, 1), (7, 2), (9, 3)])
def test_localize_matches_reference(method, w, seed):
    rng = np.random.default_rng(seed)
    img = rng.normal(0.0, 0.05, (48, 40)).astype(np.float32)
    for c in rng.uniform(1, 46, (25, 2)):
        img += spot(img.shape, c, rng.uniform(0.8, 1.5), rng.uniform(0.5, 2))
    img[rng.integers(0, 48, 30), rng.integers(0, 40, 30)] = 1.0  # plateaus and ties
    extent = (1.0, -3.0, 0.5, 9.0)
    peaks = ref_detect(img, extent, 0.3, 0.1)
    for cap in (None, 7):
        want = table(ref_localize(img, peaks, w, extent, method, cap))
        assert_same(detect(img, extent, 0.3, 0.1, method, w, cap), want)
