"""3D detection: the peak scan, correlation screening and windowed localization."""
import ctypes
import ctypes.util
import itertools
import os
import subprocess
import sys

import numpy as np
import pytest

import sonaloc

f32 = np.float32
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.expf.restype = ctypes.c_float
_libm.expf.argtypes = [ctypes.c_float]


def expf(x):
    return f32(_libm.expf(float(x)))


def detect(vol, extent=None, threshold=0.5, min_distance=0.0, window=None, method=None,
           sigmas=None, corr_threshold=None, max_num_peaks=None):
    if extent is None:
        extent = tuple(float(v) for n in vol.shape for v in (0, n - 1))
    return sonaloc.rs_detect_peaks3d(vol, extent, threshold, min_distance, window, method,
                                     sigmas, corr_threshold, max_num_peaks)


def spot_volume(shape, centre, sigma=1.0, amplitude=1.0):
    g = np.indices(shape, dtype=np.float64)
    r2 = sum((g[a] - centre[a]) ** 2 for a in range(3))
    return amplitude * np.exp(-r2 / (2 * sigma * sigma))


# ------------------------------------------------------------------ float32 references

def ref_gauss_fit(w):
    """Index-coordinate centre by five Gauss-Newton steps, float32 throughout."""
    finite = w[~np.isnan(w)]
    peak = finite.max() if finite.size else f32(-np.inf)
    if not peak > 0:
        return None
    cs = [[f32(i) - f32(n - 1) * f32(0.5) for i in range(n)] for n in w.shape]
    half = f32(-0.5)

    def det(m00, m01, m02, m10, m11, m12, m20, m21, m22):
        return (m00 * (m11 * m22 - m12 * m21) - m01 * (m10 * m22 - m12 * m20)
                + m02 * (m10 * m21 - m11 * m20))

    z0 = y0 = x0 = f32(0)
    for _ in range(5):
        s = [f32(0)] * 9
        for i, j, k in np.ndindex(w.shape):
            dz, dy, dx = cs[0][i] - z0, cs[1][j] - y0, cs[2][k] - x0
            g = expf(dx * dx * half + (dy * dy * half + dz * dz * half))
            r = w[i, j, k] / peak - g
            jz, jy, jx = dz * g, dy * g, dx * g
            terms = (jz * jz, jy * jy, jx * jx, jy * jz, jz * jx, jx * jy, jz * r, jy * r, jx * r)
            s = [a + b for a, b in zip(s, terms)]
        szz, syy, sxx, syz, sxz, sxy, srz, sry, srx = s
        d = det(szz, syz, sxz, syz, syy, sxy, sxz, sxy, sxx)
        if abs(d) < f32(1e-10):
            return None
        z0 += det(srz, syz, sxz, sry, syy, sxy, srx, sxy, sxx) / d
        y0 += det(szz, srz, sxz, syz, sry, sxy, sxz, srx, sxx) / d
        x0 += det(szz, syz, srz, syz, syy, sry, sxz, sxy, srx) / d
    return [c + f32(n - 1) * f32(0.5) for c, n in zip((z0, y0, x0), w.shape)]


def ref_correlation(vol, extent, sigmas, p):
    size = [(f32(extent[2 * a + 1]) - f32(extent[2 * a])) / f32(vol.shape[a]) for a in range(3)]
    tmpl = np.empty((5, 5, 5), f32)
    for a, b, c in itertools.product(range(-2, 3), repeat=3):
        q = [(f32(o) * size[ax]) / f32(sigmas[ax]) for ax, o in enumerate((a, b, c))]
        tmpl[a + 2, b + 2, c + 2] = expf(f32(-0.5) * (q[2] * q[2] + (q[1] * q[1] + q[0] * q[0])))
    total = f32(0)
    for t in tmpl.ravel():
        total += t
    tmpl = tmpl / total
    vs, ts = [], []
    for a, b, c in itertools.product(range(-2, 3), repeat=3):
        idx = (p[0] + a, p[1] + b, p[2] + c)
        if all(0 <= idx[ax] < vol.shape[ax] for ax in range(3)):
            vs.append(vol[idx])
            ts.append(tmpl[a + 2, b + 2, c + 2])
    m = f32(len(vs))
    sv = st = f32(0)
    for v, t in zip(vs, ts):
        sv += v
        st += t
    mv, mt = sv / m, st / m
    num = ssv = sst = f32(0)
    for v, t in zip(vs, ts):
        num += (t - mt) * (v - mv)
        ssv += (v - mv) * (v - mv)
        sst += (t - mt) * (t - mt)
    prod = sst * ssv
    return f32(0) if prod == 0 else num / np.sqrt(prod)


# ------------------------------------------------------------------ peak scan

def later_in_tie_order(d):
    """(i ascending, j ascending, k descending)."""
    if d[0]:
        return d[0] > 0
    if d[1]:
        return d[1] > 0
    return d[2] < 0


@pytest.mark.parametrize("d", [d for d in itertools.product((-1, 0, 1), repeat=3) if any(d)])
def test_equal_neighbours_leave_exactly_one_peak(d):
    # Along axes 0 and 1 the greater index survives, along axis 2 the smaller;
    # diagonal pairs such as (0, +1, +1) must not cancel each other out.
    vol = np.zeros((7, 7, 7), f32)
    a = np.array([3, 3, 3])
    b = a + d
    vol[tuple(a)] = vol[tuple(b)] = 2.0
    pos, inten, corr = detect(vol)
    survivor = b if later_in_tie_order(d) else a
    np.testing.assert_array_equal(pos, [survivor])
    assert corr is None


def ref_scan(vol, threshold):
    """Candidates of the 26-neighbour scan, brightest first, then scan order."""
    v = np.ascontiguousarray(vol)
    n0, n1, n2 = v.shape
    c = v[1:-1, 1:-1, 1:-1]
    ok = ~(c < f32(threshold))
    for d in itertools.product((-1, 0, 1), repeat=3):
        if any(d):
            u = v[1 + d[0]:n0 - 1 + d[0], 1 + d[1]:n1 - 1 + d[1], 1 + d[2]:n2 - 1 + d[2]]
            ok &= (c > u) if later_in_tie_order(d) else ~(u > c)
    idx = np.argwhere(ok) + 1
    values = v[tuple(idx.T)]
    order = np.argsort(-values, kind="stable")
    return idx[order].astype(f32), values[order]


def misaligned(a):
    """A packed copy of `a` whose floats start at an odd byte address."""
    out = np.zeros(a.nbytes + 1, np.uint8)[1:].view(a.dtype).reshape(a.shape)
    out[...] = a
    return out


def test_every_line_length_and_layout_matches_reference():
    # Line lengths 3 .. 69 leave every remainder after the 32- and 64-voxel
    # steps (and steps across line ends where a plane's lines are adjacent);
    # ties, NaN voxels, a NaN threshold; planes apart, strides reversed, lines
    # apart, floats at an odd byte address.
    rng = np.random.default_rng(12)
    for n2 in range(3, 70):
        base = rng.integers(0, 4, (5, 6, n2)).astype(f32)
        base[rng.random(base.shape) < 0.03] = np.nan
        views = (base, np.repeat(base, 2, axis=0)[::2], base[::-1, ::-1], np.repeat(base, 2, axis=1)[:, ::2],
                 misaligned(base))
        for view in views:
            for t in (1.0, np.nan):
                pos, inten, _ = detect(view, threshold=t)
                want_pos, want_inten = ref_scan(view, t)
                np.testing.assert_array_equal(pos, want_pos)
                np.testing.assert_array_equal(inten, want_inten)
    # Long lines of many candidates: more groups of a plane wait for their
    # neighbour test than a waiting list holds.
    vol = rng.integers(0, 3, (5, 40, 600)).astype(f32)
    pos, inten, _ = detect(vol, threshold=0.0)
    want_pos, want_inten = ref_scan(vol, 0.0)
    np.testing.assert_array_equal(pos, want_pos)
    np.testing.assert_array_equal(inten, want_inten)


def test_faces_threshold_and_nan():
    vol = np.zeros((6, 7, 8), f32)
    for face in [(0, 3, 3), (5, 3, 3), (2, 0, 3), (2, 6, 3), (2, 3, 0), (2, 3, 7)]:
        vol[face] = 9.0
    assert detect(vol)[0].shape == (0, 3)
    vol[3, 4, 5] = 0.5  # exactly the threshold
    vol[2, 2, 2] = np.nan
    pos, inten, corr = detect(vol, threshold=0.5)
    np.testing.assert_array_equal(pos, [[3, 4, 5]])
    np.testing.assert_array_equal(inten, [0.5])
    assert detect(np.ones((2, 9, 9), f32))[0].shape == (0, 3)


def test_grid_mapping_multiplies_before_dividing():
    vol = np.zeros((11, 11, 11), f32)
    vol[9, 3, 7] = 1.0
    pos = detect(vol, extent=(0.0, 1.0, 0.1, 0.7, -1.0, 2.0))[0]
    expect = [(f32(last) - f32(first)) * f32(i) / f32(10) + f32(first)
              for i, first, last in [(9, 0.0, 1.0), (3, 0.1, 0.7), (7, -1.0, 2.0)]]
    np.testing.assert_array_equal(pos[0], expect)  # 0.9, 0.28, 1.0999999
    vol = np.zeros((5, 5, 9), f32)
    vol[1, 2, 3] = 1.0
    np.testing.assert_array_equal(detect(vol, extent=(0, 4, 0, 4, 0, 8))[0], [[1, 2, 3]])


def test_thinning_and_order():
    vol = np.zeros((12, 12, 12), f32)
    vol[5, 5, 2], vol[5, 5, 5], vol[8, 8, 8] = 3.0, 2.0, 1.0
    pos, inten, _ = detect(vol, min_distance=3.0)
    np.testing.assert_array_equal(inten, [3.0, 2.0, 1.0])
    pos, inten, _ = detect(vol, min_distance=3.01)
    np.testing.assert_array_equal(pos, [[5, 5, 2], [8, 8, 8]])
    assert len(detect(vol, min_distance=-3.01)[0]) == 2


@pytest.mark.parametrize("min_distance", [2.0, 3.3, -1.7])
def test_thinning_of_many_candidates_matches_greedy_reference(min_distance):
    vol = np.random.default_rng(3).random((40, 30, 50), dtype=f32)
    extent = (0.0, 39.0, 0.0, 29.0, -10.0, 39.0)  # unit spacing: many exact distances
    cand, inten, _ = detect(vol, extent, threshold=0.0)
    assert len(cand) > 1500  # through the cell index
    limit = f32(min_distance) * f32(min_distance)
    kept = np.empty((0, 3), f32)
    for p in cand:
        d = p - kept
        if not (limit > (d[:, 1] * d[:, 1] + d[:, 0] * d[:, 0]) + d[:, 2] * d[:, 2]).any():
            kept = np.vstack([kept, p])
    np.testing.assert_array_equal(detect(vol, extent, threshold=0.0, min_distance=min_distance)[0], kept)


def test_strided_and_threaded_scans_agree():
    rng = np.random.default_rng(5)
    vol = rng.integers(0, 6, size=(30, 20, 40)).astype(f32)  # many equal intensities
    ref = detect(vol, threshold=3.0)
    packed = np.zeros(vol.shape, dtype=[("v", "<f4"), ("flag", "u1")])  # 5-byte strides
    packed["v"] = vol
    for view in (np.asfortranarray(vol), vol[::-1, :, ::-1].copy()[::-1, :, ::-1], packed["v"]):
        np.testing.assert_array_equal(detect(view, threshold=3.0)[0], ref[0])
        kw = dict(threshold=3.0, method="gaussian_fitting", sigmas=(1.0, 2.0, 1.5))
        for got, want in zip(detect(view, **kw), detect(vol, **kw)):
            np.testing.assert_array_equal(got, want)
    code = ("import numpy as np, sonaloc, sys;"
            "v=np.random.default_rng(5).integers(0,6,size=(30,20,40)).astype(np.float32);"
            "p,i,_=sonaloc.rs_detect_peaks3d(v,(0,29,0,19,0,39),3.0,0.0,None,None,None,None,None);"
            "sys.stdout.buffer.write(p.tobytes()+i.tobytes())")
    outs = [subprocess.run([sys.executable, "-c", code], capture_output=True, check=True,
                           env={**os.environ, "RAYON_NUM_THREADS": t}).stdout
            for t in ("1", "3")]
    assert outs[0] == outs[1] == ref[0].tobytes() + ref[1].tobytes()


# ------------------------------------------------------------------ correlation

def test_correlation_scores():
    extent = (0.0, 13.0, 0.0, 14.0, 0.0, 15.0)  # voxel sizes 1, 1, 1 (extent / n)
    sigmas = (1.0, 1.5, 2.0)
    g = np.indices((5, 5, 5)) - 2
    tmpl = np.exp(-0.5 * ((g[0] / 1.0) ** 2 + (g[1] / 1.5) ** 2 + (g[2] / 2.0) ** 2))
    vol = np.zeros((13, 14, 15), f32)
    vol[4:9, 5:10, 6:11] = (3 + 10 * tmpl).astype(f32)  # constant plus scaled template
    vol[10, 3, 3] = 1e-25  # in zeros: ss_v underflows to 0, score 0
    _, inten, corr = detect(vol, extent=extent, threshold=1e-26, sigmas=sigmas)
    np.testing.assert_array_equal(inten, [13, f32(1e-25)])
    assert abs(corr[0] - 1.0) < 1e-5
    assert corr[1] == 0.0 and corr.dtype == np.float32


def test_correlation_matches_float32_reference_at_faces():
    rng = np.random.default_rng(2)
    vol = rng.random((10, 11, 12)).astype(f32)
    for n, p in enumerate([(1, 5, 5), (8, 1, 10), (5, 9, 1), (1, 1, 10), (4, 5, 6)]):
        vol[p] = 3.0 + n
    extent = (0.0, 4.5, -1.0, 3.0, 2.0, -4.0)
    sigmas = (0.7, 0.9, 1.3)
    pos, inten, corr = detect(vol, extent=extent, threshold=2.0, sigmas=sigmas)
    assert len(corr) == 5
    for row, c in zip(inten, corr):
        p = tuple(int(v) for v in np.argwhere(vol == row)[0])
        assert c == ref_correlation(vol, extent, sigmas, p), p


def test_screening():
    vol = np.zeros((12, 12, 12), f32)
    vol[3, 3, 3] = 2.0
    vol[7:10, 7:10, 7:10] = 0.2
    vol[8, 8, 8] = 1.0
    full = detect(vol, sigmas=(1.0, 1.0, 1.0))
    assert full[2] is not None and len(full[2]) == 2
    cut = float(full[2].max())
    kept = detect(vol, sigmas=(1.0, 1.0, 1.0), corr_threshold=cut)
    np.testing.assert_array_equal(kept[2], [cut])
    assert detect(vol, sigmas=(1.0, 1.0, 1.0), corr_threshold=float("nan"))[0].shape == (0, 3)
    # Without sigmas every score counts as 0.
    assert detect(vol, corr_threshold=0.5)[0].shape == (0, 3)
    pos, _, corr = detect(vol, corr_threshold=0.0)
    assert len(pos) == 2 and corr is None
    # Scores present but nothing left: no third array.
    assert detect(vol, sigmas=(1.0, 1.0, 1.0), corr_threshold=2.0)[2] is None


# ------------------------------------------------------------------ localization

def test_gaussian_fit_finds_spot_centres():
    ext = (0.0, 20.0, 0.0, 20.0, 0.0, 20.0)
    for centre in [(10, 10, 10), (10.3, 9.8, 10.1)]:
        vol = spot_volume((21, 21, 21), centre).astype(f32)
        pos = detect(vol, ext, method="gaussian_fitting")[0]
        np.testing.assert_allclose(pos[0], centre, atol=1e-3)
    # All values at or below zero: the fit fails and the peak is dropped.
    vol = np.full((9, 9, 9), -5.0, f32)
    vol[4, 4, 4] = -1.0
    assert len(detect(vol, threshold=-10.0)[0]) == 1
    assert len(detect(vol, threshold=-10.0, method="gaussian_fitting")[0]) == 0


def test_gaussian_fit_matches_float32_reference():
    # Windows the five steps do not settle, where any change in the arithmetic shows.
    rng = np.random.default_rng(4)
    for n, w in enumerate([7] * 12 + [5, 6]):
        if n % 2 == 0:
            vol = sum(spot_volume((7, 7, 7), rng.uniform(1, 5, 3), rng.uniform(0.8, 2))
                      for _ in range(2)) + 0.05 * rng.random((7, 7, 7))
        else:
            vol = rng.random((7, 7, 7))
        vol[3, 3, 3] = vol.max() + 0.1
        vol = vol.astype(f32)
        start = 3 - w // 2
        pos = detect(vol, threshold=-1.0, window=w, method="gaussian_fitting", max_num_peaks=1)[0]
        fit = ref_gauss_fit(vol[start:start + w, start:start + w, start:start + w])
        np.testing.assert_array_equal(pos, [[f32(c) + f32(start) for c in fit]])


def _window(params):
    vol = sum(spot_volume((7, 7, 7), c, s, a) for c, s, a in params)
    vol[3, 3, 3] = np.abs(vol).max() + 0.1
    return vol.astype(f32)


def test_plausibility_bound():
    # In a 7-voxel volume every window is the whole volume, started at 0.
    wide = _window([((5.29, 3.49, -1.37), 2.71, 0.4), ((-0.58, 2.26, 1.52), 2.81, -1.42),
                    ((9.16, 1.93, 3.56), 1.94, 2.18)])
    far = _window([((2.76, 2.56, 2.58), 1.61, -1.77), ((3.01, 5.9, 2.9), 0.88, 1.36),
                   ((5.42, 3.34, 1.88), 0.37, -0.16)])
    fit = ref_gauss_fit(wide)
    assert 3.5 < fit[0] < 7.0  # |d| - 3.5 <= 3.5: kept as it is
    pos = detect(wide, threshold=-100.0, method="gaussian_fitting", max_num_peaks=1)[0]
    np.testing.assert_array_equal(pos, [fit])
    assert 7.0 < ref_gauss_fit(far)[1] < 7.5
    pos = detect(far, threshold=-100.0, method="gaussian_fitting", max_num_peaks=1)[0]
    np.testing.assert_array_equal(pos, [[3.5, 3.5, 3.5]])
    # A NaN result component is not replaced.
    wide[0, 0, 0] = np.nan
    pos = detect(wide, threshold=-100.0, method="gaussian_fitting", max_num_peaks=1)[0]
    assert np.isnan(pos).all()


@pytest.mark.parametrize("w", [7, 4])
def test_windows_shift_inward_at_faces(w):
    rng = np.random.default_rng(9)
    vol = (0.1 * rng.random((12, 13, 14))).astype(f32)
    peaks = [(1, 6, 7), (10, 6, 7), (6, 1, 12), (5, 11, 3), (6, 7, 6)]
    for n, p in enumerate(peaks):
        vol[p] = 5.0 - n
    extent = (0.0, 5.5, 1.0, -2.0, 3.0, 4.0)
    pos, inten, _ = detect(vol, extent, window=w, method="radial_symmetry")
    np.testing.assert_array_equal(inten, [5, 4, 3, 2, 1])
    for p, got in zip(peaks, pos):
        start = [min(max(i - w // 2, 0), n - w) for i, n in zip(p, vol.shape)]
        win = vol[start[0]:start[0] + w, start[1]:start[1] + w, start[2]:start[2] + w]
        d = sonaloc.rs_radial_symmetry_3d(np.ascontiguousarray(win))
        expect = [(f32(d[a]) + f32(start[a])) * ((f32(extent[2 * a + 1]) - f32(extent[2 * a]))
                                                  / f32(vol.shape[a] - 1)) + f32(extent[2 * a])
                  for a in range(3)]
        np.testing.assert_array_equal(got, expect)


def test_window_sizes_and_cap():
    vol = np.zeros((16, 16, 16), f32)
    for n, p in enumerate([(4, 4, 4), (11, 4, 11), (4, 11, 11)]):
        vol[p] = 3.0 - n
        vol[p[0] - 1:p[0] + 2, p[1] - 1:p[1] + 2, p[2] - 1:p[2] + 2] += 0.5
    assert len(detect(vol, window=4, method="radial_symmetry")[0]) == 3
    for w in (0, 1, 2):
        assert len(detect(vol, window=w, method="radial_symmetry")[0]) == 0
    assert len(detect(vol, window=1, method="gaussian_fitting")[0]) == 0
    assert len(detect(vol, window=17, method="radial_symmetry")[0]) == 0
    assert len(detect(vol, window=2**40, method="gaussian_fitting")[0]) == 0
    np.testing.assert_array_equal(detect(vol, max_num_peaks=2)[1], [3.5, 2.5])
    assert detect(vol, max_num_peaks=0)[0].shape == (0, 3)
    for cap, n in [(0, 1), (1, 1), (2, 2), (5, 3)]:
        assert len(detect(vol, method="gaussian_fitting", max_num_peaks=cap)[0]) == n


def test_entry_errors():
    vol = np.zeros((5, 5, 5), f32)
    vol[2, 2, 2] = 1.0
    with pytest.raises(IndexError):
        detect(vol, extent=(0, 1, 0, 1, 0))
    with pytest.raises(IndexError):
        detect(vol, sigmas=(1.0, 1.0), method="nope")
    with pytest.raises(ValueError, match="Unknown localization method 'Radial_symmetry'"):
        detect(vol, method="Radial_symmetry")
    with pytest.raises(TypeError, match="argument 'correlation_sigmas'"):
        detect(vol, sigmas=[1.0, 1.0, 1.0])
