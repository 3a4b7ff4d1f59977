"""Properties over arbitrary inputs for all ten functions: every call ends in a
result or a documented exception, inputs stay untouched, outputs are owned
C-contiguous arrays of the documented kind, and the results keep the
invariants of detection, linking and rendering (checked against small
Python references where the rule is exact)."""
import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import sonaloc
from conftest import SANITIZED
from references import ref_line_2d as walk2, ref_line_3d as walk3

# SONALOC_EXAMPLES=2000 runs a long search (a fresh random one without derandomize).
EXAMPLES = int(os.environ.get("SONALOC_EXAMPLES", 0))
settings.register_profile(
    "sonaloc", max_examples=EXAMPLES or (20 if SANITIZED else 60), deadline=None, derandomize=not EXAMPLES,
    database=None if not EXAMPLES else settings.default.database,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much])
settings.load_profile("sonaloc")
few = settings(max_examples=EXAMPLES // 3 or (10 if SANITIZED else 30))

f32 = np.float32
ORDERLY = (TypeError, ValueError, IndexError, OverflowError, MemoryError)
SPECIAL = [0.0, -0.0, 1.0, -1.0, math.nan, math.inf, -math.inf, 1e-45, 3.4e38, -3.4e38, 2.0**31, 1e30]


# ---------------------------------------------------------------- strategies

def values(lo=-1e3, hi=1e3):
    return st.one_of(st.floats(lo, hi, width=32), st.sampled_from(SPECIAL))


LAYOUTS = ["c", "f", "reversed", "strided", "unaligned", "broadcast"]


@st.composite
def laid_out(draw, arr, layouts=LAYOUTS):
    """The array in another memory layout ("broadcast" repeats the first row
    with a zero stride; the others keep the logical content)."""
    kind = draw(st.sampled_from(layouts))
    if kind == "f":
        return np.asfortranarray(arr)
    if kind == "reversed":
        rev = np.ascontiguousarray(arr[tuple(slice(None, None, -1) for _ in arr.shape)])
        return rev[tuple(slice(None, None, -1) for _ in arr.shape)]
    if kind == "strided":
        big = np.zeros(tuple(2 * s + 1 for s in arr.shape), arr.dtype)
        big[tuple(slice(1, None, 2) for _ in arr.shape)] = arr
        return big[tuple(slice(1, None, 2) for _ in arr.shape)]
    if kind == "unaligned":
        rec = np.zeros(arr.shape, dtype=[("pad", "u1"), ("v", arr.dtype)])
        rec["v"] = arr
        return rec["v"]
    if kind == "broadcast" and arr.shape[0] > 0:
        return np.broadcast_to(arr[:1], arr.shape)
    return arr


def float_arrays(ndim, max_side=12, elements=None):
    shapes = hnp.array_shapes(min_dims=ndim, max_dims=ndim, min_side=0, max_side=max_side)
    return hnp.arrays(f32, shapes, elements=elements if elements is not None else values()).flatmap(laid_out)


reals = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(-50, 50),
                  st.sampled_from(SPECIAL), st.just(10**400))
counts = st.one_of(st.none(), st.integers(0, 12), st.sampled_from([True, -1, 2**63, 2**64 - 1, 2**64, 1.0]))
items = st.one_of(st.floats(-20, 40), st.sampled_from(SPECIAL), st.integers(-5, 5), st.just("1"), st.none())


def rarely(unusual, usual, odds=10):
    """unusual once in `odds` draws (hypothesis would otherwise favour the simplest)."""
    return st.integers(1, odds).flatmap(lambda k: unusual if k == odds else usual)


def extents(n):
    return st.one_of(st.tuples(*[st.floats(-10, 30, width=32)] * n),
                     st.lists(items, max_size=n + 2).map(tuple), st.lists(items, min_size=n, max_size=n))


# ---------------------------------------------------------------- outcome checks

def inputs(args):
    for a in args:
        if isinstance(a, np.ndarray):
            yield a
        elif isinstance(a, (list, tuple)):
            yield from (f for f in a if isinstance(f, np.ndarray))


def expected_conversion_error(args, kinds):
    """The exception type argument conversion must raise first, or None.

    kinds per argument: 'tuple', 'real', 'count', 'ocount' (optional count), or None for
    arguments this helper does not judge."""
    for a, k in zip(args, kinds):
        if k == "tuple":
            if not isinstance(a, tuple):
                return TypeError
        elif k == "real":
            if isinstance(a, str) or a is None:
                return TypeError
            if isinstance(a, int) and abs(a) > 2**1100:
                return OverflowError
        elif k in ("count", "ocount"):
            if a is None and k == "ocount":
                continue
            if isinstance(a, float) or a is None:
                return TypeError
            if a < 0 or a >= 2**64:
                return OverflowError
    return None


def extent_error(ext, n):
    """The interpreter's exception for reading items 0..n-1 of ext as reals, or None."""
    if not isinstance(ext, tuple):
        return TypeError
    for i in range(n):
        if i >= len(ext):
            return IndexError
        if isinstance(ext[i], str) or ext[i] is None:
            return TypeError
    return None


def call(fn, *args):
    """Calls fn; returns its result or the exception instance. Checks that no
    input changed and that outputs never alias an input."""
    before = [(a.tobytes(), a.shape, a.strides) for a in inputs(args)]
    try:
        out = fn(*args)
    except BaseException as e:  # noqa: B902
        out = e
    assert [(a.tobytes(), a.shape, a.strides) for a in inputs(args)] == before, "an input changed"
    if isinstance(out, tuple):
        for o in out:
            if isinstance(o, np.ndarray):
                assert o.flags.c_contiguous and o.flags.writeable
                # Every output, empty or not, is owned by the module's buffer capsule.
                assert type(o.base).__name__ == "PyCapsule" and not o.flags.owndata
                assert not any(np.shares_memory(o, i) for i in inputs(args))
    return out


def is_panic(e):
    return type(e).__name__ == "PanicException" and "index out of bounds" in str(e)


def assert_orderly(out, allowed=ORDERLY):
    if isinstance(out, BaseException):
        assert isinstance(out, allowed), repr(out)
        return False
    return True


# ---------------------------------------------------------------- radial symmetry

RS_MESSAGES = {2: "Radial symmetry localization failed", 3: "3D radial symmetry localization failed"}


@pytest.mark.parametrize("ndim", [2, 3])
@given(data=st.data())
def test_radial_symmetry_any_window(ndim, data):
    arr = data.draw(float_arrays(ndim, max_side=9 if ndim == 2 else 6))
    fn = sonaloc.rs_radial_symmetry_2d if ndim == 2 else sonaloc.rs_radial_symmetry_3d
    out = call(fn, arr)
    if isinstance(out, BaseException):
        assert type(out) is ValueError and str(out) == RS_MESSAGES[ndim]
    else:
        assert len(out) == ndim and all(type(v) is float for v in out)
        assert np.array(out).tobytes() == np.array(call(fn, np.ascontiguousarray(arr))).tobytes()


# ---------------------------------------------------------------- detection

METHODS = st.sampled_from([None, "radial_symmetry", "gaussian_fitting", "gaussian", ""])


@given(arr=float_arrays(2, max_side=24), ext=extents(4), thr=reals, md=reals, method=METHODS,
       w=counts, cap=counts)
def test_detect_peaks_any_input(arr, ext, thr, md, method, w, cap):
    out = call(sonaloc.rs_detect_peaks, arr, ext, thr, md, method, w, cap)
    first = expected_conversion_error([ext, thr, md, None, w, cap],
                                      ["tuple", "real", "real", None, "ocount", "ocount"])
    if first is None:
        first = extent_error(ext, 4)
    if first is not None:
        assert type(out) is first or (isinstance(out, TypeError) and first is TypeError), repr(out)
        return
    if method is not None:
        size = 7 if w is None else int(w)
        if size < 3 or size % 2 == 0:
            assert type(out) is ValueError and str(out) == "localization_window_size must be an odd integer >= 3"
            return
        if method not in ("radial_symmetry", "gaussian_fitting"):
            assert type(out) is ValueError and str(out).startswith(f"Unknown localization method '{method}'")
            return
    assert assert_orderly(out, ()), repr(out)
    pos, inten = out
    n = inten.shape[0]
    assert pos.shape == (n, 2) and pos.dtype == inten.dtype == f32
    interior = arr[1:-1, 1:-1]
    assert n <= interior.size
    # Intensities are interior pixel values at or above the threshold, brightest first.
    vals = set(interior[~np.isnan(interior)].tolist())
    assert all(v in vals for v in inten.tolist())
    assert not (inten[1:] > inten[:-1]).any()
    with np.errstate(over="ignore"):
        if not math.isnan(thr):
            assert (inten >= f32(thr)).all()
    # The cap bounds only refined entries (pixel-position fallbacks count
    # without ending the scan, and a cap of 0 still returns one), so it is
    # not a bound on n here.


@given(arr=float_arrays(3, max_side=9), ext=extents(6), thr=reals, md=reals,
       method=METHODS, w=counts, sig=st.one_of(st.none(), extents(3)), ct=st.one_of(st.none(), reals), cap=counts)
def test_detect_peaks3d_any_input(arr, ext, thr, md, method, w, sig, ct, cap):
    out = call(sonaloc.rs_detect_peaks3d, arr, ext, thr, md, w, method, sig, ct, cap)
    if isinstance(out, BaseException):
        assert isinstance(out, ORDERLY), repr(out)
        return
    pos, inten, corr = out
    n = inten.shape[0]
    assert pos.shape == (n, 3) and pos.dtype == inten.dtype == f32
    assert corr is None or (corr.shape == (n,) and corr.dtype == f32)
    assert not (inten[1:] > inten[:-1]).any()
    assert n <= arr[1:-1, 1:-1, 1:-1].size
    if cap is not None and method is None:
        assert n <= cap  # without a method the cap keeps the first candidates


def spots_image(rng, shape, n_spots, noise):
    grid = np.indices(shape, dtype=np.float64)
    img = rng.random(shape) * noise
    for _ in range(n_spots):
        c = [rng.uniform(0, s) for s in shape]
        img += np.exp(-sum((g - ci) ** 2 for g, ci in zip(grid, c)) / 2.0)
    return img.astype(f32)


@given(seed=st.integers(0, 2**32 - 1), shape=st.tuples(st.integers(1, 40), st.integers(1, 40)),
       method=st.sampled_from([None, "radial_symmetry", "gaussian_fitting"]), w=st.sampled_from([3, 5, 7, 9, 17]))
def test_detection_views_equal_contiguous_copy(seed, shape, method, w):
    rng = np.random.default_rng(seed)
    img = spots_image(rng, shape, 4, 0.3)
    ext = (0.0, 3.5, -1.0, 2.0)
    want = [a.tobytes() for a in sonaloc.rs_detect_peaks(img, ext, 0.4, 0.2, method, w, 50)]
    t = np.ascontiguousarray(img.T).T       # column-major
    r = np.ascontiguousarray(img[::-1, ::-1])[::-1, ::-1]
    s = np.zeros((2 * shape[0], 3 * shape[1]), f32)
    s[::2, ::3] = img
    u = np.ascontiguousarray(img[::-1])[::-1]  # rows read upwards, columns packed
    for view in (t, r, s[::2, ::3], u):
        got = [a.tobytes() for a in sonaloc.rs_detect_peaks(view, ext, 0.4, 0.2, method, w, 50)]
        assert got == want


@few
@given(seed=st.integers(0, 2**32 - 1), shape=st.tuples(st.integers(1, 14), st.integers(1, 14), st.integers(1, 14)),
       method=st.sampled_from([None, "radial_symmetry", "gaussian_fitting"]), w=st.sampled_from([3, 5, 9]))
def test_detection3d_views_equal_contiguous_copy(seed, shape, method, w):
    rng = np.random.default_rng(seed)
    vol = spots_image(rng, shape, 3, 0.3)
    args = ((0.0, 3.0, 0.0, 2.0, -1.0, 1.0), 0.4, 0.1, w, method, (1.0, 1.0, 1.0), 0.1, 20)
    want = [a.tobytes() for a in sonaloc.rs_detect_peaks3d(vol, *args) if a is not None]
    r = np.ascontiguousarray(vol[::-1, :, ::-1])[::-1, :, ::-1]
    for view in (np.asfortranarray(vol), r, np.moveaxis(np.ascontiguousarray(np.moveaxis(vol, 0, 2)), 2, 0)):
        assert [a.tobytes() for a in sonaloc.rs_detect_peaks3d(view, *args) if a is not None] == want


@given(seed=st.integers(0, 2**32 - 1), shape=st.tuples(st.integers(0, 30), st.integers(0, 30)),
       md=st.sampled_from([0.0, 1.0, 2.5, 4.0]))
def test_detection_follows_the_image_under_transposition_and_reversal(seed, shape, md):
    # Distinct values: no tie rule can tell the layouts apart. With the extent
    # (0, n-1) every pixel maps to its own index exactly, and a reversed axis
    # with the reversed extent maps to the same positions.
    rng = np.random.default_rng(seed)
    img = rng.permutation(shape[0] * shape[1]).reshape(shape).astype(f32)
    nx, ny = float(shape[0] - 1), float(shape[1] - 1)
    thr = f32(img.size * 0.3)
    pos, inten = sonaloc.rs_detect_peaks(img, (0.0, nx, 0.0, ny), thr, md, None, None, None)
    pt, it = sonaloc.rs_detect_peaks(img.T, (0.0, ny, 0.0, nx), thr, md, None, None, None)
    assert it.tobytes() == inten.tobytes() and pt[:, ::-1].tobytes() == pos.tobytes()
    pr, ir = sonaloc.rs_detect_peaks(img[::-1, ::-1], (nx, 0.0, ny, 0.0), thr, md, None, None, None)
    assert ir.tobytes() == inten.tobytes() and pr.tobytes() == pos.tobytes()
    # Each detection is a strict 3x3 maximum of the interior, at its own pixel.
    for (x, y), v in zip(pos.astype(int), inten):
        assert img[x, y] == v and 0 < x < shape[0] - 1 and 0 < y < shape[1] - 1
        assert v == img[x - 1:x + 2, y - 1:y + 2].max()
    # Thinning: no two kept peaks closer than min_distance.
    d2 = ((pos[:, None, :] - pos[None, :, :]) ** 2).sum(-1)
    assert (d2[~np.eye(len(pos), dtype=bool)] >= f32(md) * f32(md)).all()


# ---------------------------------------------------------------- linking

@st.composite
def frame_lists(draw, dims):
    """Frames of points with unique (bitwise) coordinates, some special values."""
    n_frames = draw(rarely(st.integers(0, 7), st.integers(2, 7)))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    n0 = draw(st.integers(1, 12))
    base = rng.uniform(-5, 15, (n0, dims))
    frames = []
    for _ in range(n_frames):
        keep = rng.random(n0) < draw(st.sampled_from([0.5, 0.9, 1.0]))
        pts = base[keep] + rng.normal(0, draw(st.sampled_from([0.05, 0.3, 2.0])), (keep.sum(), dims))
        extra = rng.uniform(-5, 15, (draw(st.integers(0, 3)), dims))
        pts = np.concatenate([pts, extra])
        cols = dims + 1 + draw(st.integers(0, 2))
        f = np.zeros((len(pts), cols), f32)
        f[:, :dims] = pts
        f[:, dims] = rng.uniform(0.5, 4.0, len(pts))
        if len(f) and draw(st.booleans()):
            i, j = rng.integers(len(f)), rng.integers(cols)
            f[i, j] = draw(st.sampled_from(SPECIAL))
        frames.append(draw(laid_out(f, LAYOUTS[:-1])))
    return frames


def point_ids(frames, dims):
    """(frame, row) of every point, keyed by the bit pattern of its coordinates."""
    ids = {}
    for t, f in enumerate(frames):
        for r, row in enumerate(np.ascontiguousarray(f)):
            key = row[:dims].tobytes()
            assume(key not in ids)  # coordinates identify points
            ids[key] = (t, r)
    return ids


def check_tracks(frames, matrix, ends, dims, max_distance, max_skip, ratio=None):
    cols = dims + 1
    assert matrix.dtype == f32 and ends.dtype == np.uint32
    assert matrix.shape == (matrix.shape[0], cols) and ends.ndim == 1
    ids = point_ids(frames, dims)
    bounds = [0] + ends.astype(np.int64).tolist()
    assert bounds[-1] == matrix.shape[0]
    seen, firsts = set(), []
    m2 = f32(max_distance) * f32(max_distance)
    r = f32(ratio) if ratio is not None else None
    for k in range(len(ends)):
        rows = matrix[bounds[k]:bounds[k + 1]]
        assert len(rows) >= 2
        where = [ids[row[:dims].tobytes()] for row in rows]
        firsts.append(where[0])
        for (t, i), row in zip(where, rows):
            assert (t, i) not in seen
            seen.add((t, i))
            assert row.tobytes() == np.ascontiguousarray(frames[t])[i, :cols].tobytes()
        for (ta, _), (tb, _), a, b in zip(where, where[1:], rows, rows[1:]):
            assert 1 <= tb - ta <= max_skip + 1
            d2 = f32(0)
            for c in range(dims):
                d2 = f32(d2 + f32(a[c] - b[c]) * f32(a[c] - b[c]))
            assert m2 >= d2
            if r is not None:
                ia, ib = a[2], b[2]
                with np.errstate(over="ignore", invalid="ignore"):
                    assert not (ib > r * ia) and not (ia > ib * r)
    assert firsts == sorted(firsts)  # tracks in order of their first point
    event(f"tracks: {min(len(ends), 3)}")


@given(frames=frame_lists(2), md=st.floats(0.0625, 20, width=32), skip=st.integers(0, 3),
       ratio=rarely(st.sampled_from([math.nan, math.inf, 1.0, 0.5]), st.floats(1.5, 10, width=32), 5))
def test_link_points_invariants(frames, md, skip, ratio):
    out = call(sonaloc.rs_link_points, frames, md, skip, ratio)
    check_tracks(frames, *out, 2, md, skip, ratio)


@given(frames=frame_lists(3), md=st.floats(0.0625, 20, width=32), skip=st.integers(0, 3))
def test_link_points_3d_invariants(frames, md, skip):
    out = call(sonaloc.rs_link_points_3d, frames, md, skip)
    check_tracks(frames, *out, 3, md, skip)


@given(frames=st.lists(float_arrays(2, max_side=6), max_size=5), md=reals, skip=counts, ratio=reals,
       three=st.booleans())
def test_linking_any_input(frames, md, skip, ratio, three):
    if three:
        out = call(sonaloc.rs_link_points_3d, frames, md, skip)
    else:
        out = call(sonaloc.rs_link_points, frames, md, skip, ratio)
    if isinstance(out, BaseException):
        narrow = any(f.shape[0] and f.shape[1] < (4 if three else 3) for f in frames)
        assert isinstance(out, ORDERLY) or (narrow and is_panic(out)), repr(out)
        return
    m, e = out
    assert m.shape[1] == (4 if three else 3) and m.dtype == f32 and e.dtype == np.uint32
    assert (np.diff(np.concatenate([[0], e.astype(np.int64)])) >= 2).all() and (e[-1:] == len(m)).all()


# ---------------------------------------------------------------- rendering

def grid_axis(lo, hi, ps):
    f = (f32(hi) - f32(lo) + f32(0.999) * f32(ps)) / f32(ps)
    n = int(f) if f > 0 else 0
    return n, f32(f32(lo) + f32(ps) * f32(n))


def cells(coord, lo, hi2, n, signed):
    r = (f32(coord) - f32(lo)) / (hi2 - f32(lo)) * f32(n)
    if math.isnan(r):
        return 0
    k = math.floor(abs(r) + 0.5) * (1 if r >= 0 else -1) if math.isfinite(r) else r
    return int(k) if signed else max(int(k), 0)


def reference_counts(matrix, ends, ext, ps, dims, with_value):
    """Count image of the drawing rules, walked literally in Python."""
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        return _reference_counts(matrix, ends, ext, ps, dims, with_value)


def _reference_counts(matrix, ends, ext, ps, dims, with_value):
    axes = [grid_axis(ext[2 * a], ext[2 * a + 1], ps) for a in range(dims)]
    shape = tuple(n for n, _ in axes)
    count = np.zeros(shape, np.int64)
    start = 0
    for e in ends.tolist():
        rows = matrix[start:min(e, matrix.shape[0])] if e > start else matrix[:0]
        start = e
        pts = []
        for row in rows:
            c = tuple(cells(row[a], ext[2 * a], axes[a][1], axes[a][0], dims == 3) for a in range(dims))
            if not pts or pts[-1][0] != c:
                pts.append((c, row[dims], row[dims + 1] if with_value else f32(0)))

        def add(c, inten, val):
            if math.isnan(inten) or math.isnan(val):
                return
            if all(0 <= c[a] < shape[a] for a in range(dims)):
                count[c] += 1

        for (c0, i0, v0), (c1, i1, v1) in zip(pts, pts[1:]):
            w = walk2(c0, c1) if dims == 2 else walk3(c0, c1)
            for i, c in enumerate(w):
                if dims == 3 and min(c) < 0:
                    continue
                t = f32(i) / f32(len(w))
                one = f32(1) - t
                add(c, f32(one * i0) + f32(t * i1), f32(one * v0) + f32(t * v1))
        if pts:
            add(*pts[-1])
    return count


@st.composite
def track_matrices(draw, dims, with_value):
    """Tracks mostly inside a small grid, some points just outside, special values."""
    cols = dims + 1 + with_value
    ps = draw(st.sampled_from([1.0, 0.5, 0.7, 2.0]))
    ext = []
    for _ in range(dims):
        lo = draw(st.floats(-5, 5, width=32))
        ext += [lo, lo + draw(rarely(st.just(0.0), st.floats(1, 12, width=32), 40)) * ps]
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    rows = draw(rarely(st.integers(0, 30), st.integers(2, 30)))
    m = np.empty((rows, cols + draw(st.integers(0, 1))), f32)
    for a in range(dims):
        m[:, a] = rng.uniform(ext[2 * a] - 2 * ps, ext[2 * a + 1] + 2 * ps, rows)
    m[:, dims:] = rng.uniform(0, 5, (rows, m.shape[1] - dims))
    for _ in range(draw(rarely(st.integers(1, 2), st.just(0)))):
        if rows:
            m[rng.integers(rows), dims + rng.integers(1 + with_value)] = draw(st.sampled_from([math.nan, 0.0, -1.0]))
    if draw(st.booleans()):
        cuts = np.sort(rng.integers(0, rows + 3, draw(st.integers(0, 5))))
    else:
        cuts = rng.integers(0, rows + 3, draw(st.integers(0, 5)))
    e = cuts.astype(np.int32) if draw(rarely(st.just(True), st.just(False))) else np.append(cuts, rows).astype(np.int32)
    return draw(laid_out(m, LAYOUTS[:-1])), e, tuple(ext), ps


DRAW = {(2, False): sonaloc.rs_draw_tracks, (2, True): sonaloc.rs_draw_tracks_value,
        (3, False): sonaloc.rs_draw_tracks_3d, (3, True): sonaloc.rs_draw_tracks_value_3d}


@pytest.mark.parametrize("dims, with_value", list(DRAW))
@given(data=st.data())
def test_render_counts_equal_the_walked_passages(dims, with_value, data):
    m, e, ext, ps = data.draw(track_matrices(dims, with_value))
    out = call(DRAW[dims, with_value], m, e, ext, ps)
    *images, ext2 = out
    want = reference_counts(np.ascontiguousarray(m), e, ext, ps, dims, with_value)
    assert images[-1].dtype == np.uint32 and images[-1].shape == want.shape
    assert (images[-1] == want).all()
    event(f"passages: {min(int(want.sum()), 10) // 5 * 5}")
    assert all(i.dtype == f32 and i.shape == want.shape for i in images[:-1])
    assert len(ext2) == 2 * dims and ext2[::2] == tuple(float(f32(v)) for v in ext[::2])
    if dims == 3 and not with_value:
        assert (images[0][want == 0] == 0).all()


@pytest.mark.parametrize("dims, with_value", list(DRAW))
@given(data=st.data())
def test_render_counts_inside_the_grid(dims, with_value, data):
    # Points well inside: every passage lands, so the total is the sum of the
    # walk lengths (2D: the end cell comes from the next segment; 3D: both
    # ends) plus the extra last point of each track.
    n = data.draw(st.integers(2, 12))
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    rows = data.draw(st.integers(1, 20))
    m = np.ones((rows, dims + 1 + with_value), f32)
    m[:, :dims] = rng.integers(0, n, (rows, dims))
    cuts = np.unique(rng.integers(1, rows + 1, data.draw(st.integers(0, 4))))
    e = np.append(cuts[cuts < rows], rows).astype(np.int32)
    out = DRAW[dims, with_value](m, e, (0.0, float(n)) * dims, 1.0)
    total = 0
    for track in np.split(m[:, :dims].astype(int), e[:-1]):
        keep = [tuple(p) for i, p in enumerate(track) if i == 0 or (p != track[i - 1]).any()]
        steps = [max(abs(a - b) for a, b in zip(p, q)) for p, q in zip(keep, keep[1:])]
        total += sum(steps) + (len(steps) if dims == 3 else 0) + 1
    assert int(out[-2].sum()) == total


def reads_a_narrow_row(m, ends, needs):
    start = 0
    for e in ends.tolist():
        if e > start and start < m.shape[0] and m.shape[1] < needs:
            return True
        start = e
    return False


@pytest.mark.parametrize("dims, with_value", list(DRAW))
@given(m=float_arrays(2, max_side=8, elements=values(-1e6, 1e6)),
       e=hnp.arrays(np.int32, st.integers(0, 5), elements=st.integers(-3, 12)),
       ext=st.one_of(extents(6), st.just((0.0, 1e30, 0.0, 1e30, 0.0, 1e30))),
       ps=st.one_of(st.sampled_from([0.0, -1.0, math.nan, math.inf, 1e-30]), st.floats(0.5, 4)))
def test_render_any_input(dims, with_value, m, e, ext, ps):
    out = call(DRAW[dims, with_value], m, e, ext, ps)
    first = extent_error(ext, 2 * dims)
    if first is not None:
        assert isinstance(out, first), repr(out)
        return
    if isinstance(out, BaseException):
        assert isinstance(out, ORDERLY) or (reads_a_narrow_row(m, e, dims + 1 + with_value) and is_panic(out)), \
            repr(out)
        return
    *images, ext2 = out
    assert all(i.shape == images[0].shape and i.ndim == dims for i in images)
    assert images[-1].dtype == np.uint32 and len(ext2) == 2 * dims
