"""Repeated calls, on success and on every kind of error path, leave the
reference counts of their inputs and the process's resident memory flat."""
import gc
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import sonaloc
from conftest import SANITIZED
from references import gaussian

f32 = np.float32
CALLS = 300 if SANITIZED else 3000


def spots(shape, n, seed=3):
    rng = np.random.default_rng(seed)
    img = rng.random(shape, dtype=f32) * 0.05
    for _ in range(n):
        img += gaussian(shape, [rng.uniform(3, s - 3) for s in shape], 1.2)
    return img


IMG = spots((64, 64), 12)
VOL = spots((20, 20, 20), 5)
E2 = (0.0, 6.3, 0.0, 6.3)
E3 = (0.0, 1.9, 0.0, 1.9, 0.0, 1.9)
_rng = np.random.default_rng(5)
_pts = _rng.uniform(0, 20, (40, 2)).astype(f32)
FRAMES = [np.column_stack([_pts + _rng.normal(0, 0.1, _pts.shape), np.ones(40)]).astype(f32) for _ in range(6)]
FRAMES3 = [np.column_stack([f[:, :2], f[:, :1] * 0.5, f[:, 2:]]).astype(f32) for f in FRAMES]
TRACK = np.column_stack([np.linspace(0, 30, 60), np.linspace(5, 25, 60), np.ones(60), np.ones(60),
                         np.ones(60)]).astype(f32)
ENDS = np.array([20, 40, 60], np.int32)


def panic():
    try:
        sonaloc.rs_link_points([np.zeros((1, 2), f32)], 1.0, 0, 2.0)
    except BaseException as e:  # noqa: B902
        return type(e)


# name -> [(args, expected exception or None)]
CASES = {
    "rs_detect_peaks": [
        ((IMG, E2, 0.3, 0.2, "radial_symmetry", 7, 50), None),
        ((IMG, E2, 0.3, 0.2, "gaussian_fitting", 5, None), None),
        ((IMG, E2, 0.3, 0.2, "bad", 7, None), ValueError),
        ((IMG, E2, 0.3, 0.2, "radial_symmetry", 4, None), ValueError),
        ((IMG, E2[:3], 0.3, 0.2, None, None, None), IndexError),
        ((IMG, list(E2), 0.3, 0.2, None, None, None), TypeError),
        ((IMG, E2, 0.3, 0.2, None, None, -1), OverflowError),
    ],
    "rs_detect_peaks3d": [
        ((VOL, E3, 0.3, 0.2, 5, "radial_symmetry", (1.0, 1.0, 1.0), 0.2, 20), None),
        ((VOL, E3, 0.3, 0.2, 5, "gaussian_fitting", None, None, None), None),
        ((VOL, E3, 0.3, 0.2, 5, "nope", None, None, None), ValueError),
        ((VOL, E3, 0.3, 0.2, 5, None, (1.0, "x", 1.0), 0.2, None), TypeError),
    ],
    "rs_radial_symmetry_2d": [((IMG[10:17, 10:17],), None), ((np.zeros((1, 5), f32),), ValueError)],
    "rs_radial_symmetry_3d": [((VOL[5:10, 5:10, 5:10],), None), ((np.zeros((1, 1, 5), f32),), ValueError)],
    "rs_link_points": [
        ((FRAMES, 1.0, 2, 2.0), None),
        (([np.zeros((1, 2), f32)], 1.0, 0, 2.0), "panic"),
        ((FRAMES, 1.0, -1, 2.0), OverflowError),
        ((FRAMES + [np.zeros((2, 3))], 1.0, 0, 2.0), TypeError),
    ],
    "rs_link_points_3d": [
        ((FRAMES3, 1.0, 2), None),
        ((FRAMES, 1.0, 0), "panic"),
    ],
    "rs_draw_tracks": [
        ((TRACK, ENDS, (0, 32, 0, 32), 0.5), None),
        ((TRACK, ENDS, (0, 32, 0, 32), 0.0), ValueError),
        ((TRACK[:, :2], ENDS, (0, 32, 0, 32), 0.5), "panic"),
        ((TRACK, ENDS.astype(np.uint32), (0, 32, 0, 32), 0.5), TypeError),
    ],
    "rs_draw_tracks_value": [
        ((TRACK, ENDS, (0, 32, 0, 32), 0.5), None),
        ((TRACK, np.array([-1], np.int32), (0, 32, 0, 32), 0.5), ValueError),
    ],
    "rs_draw_tracks_3d": [
        ((TRACK, ENDS, (0, 32, 0, 32, 0, 4), 1.0), None),
        ((TRACK, ENDS, (0, 32, 0, 32, 0), 1.0), IndexError),
    ],
    "rs_draw_tracks_value_3d": [
        ((TRACK, ENDS, (0, 32, 0, 32, 0, 4), 1.0), None),
        ((TRACK[:, :4], ENDS, (0, 32, 0, 32, 0, 4), 1.0), "panic"),
    ],
}


def run(fn, args, expected, times):
    exc = panic() if expected == "panic" else expected
    for _ in range(times):
        if exc is None:
            out = fn(*args)
            assert out is not None
        else:
            try:
                fn(*args)
            except exc:
                pass
            else:
                raise AssertionError(f"{fn.__name__} did not raise {exc}")


def referenced(args):
    """The containers and arrays of a call (shared singletons such as None or
    small ints are referenced from everywhere and would only add noise)."""
    objs = []
    for a in args:
        if isinstance(a, (list, tuple, np.ndarray)):
            objs.append(a)
        if isinstance(a, (list, tuple)):
            objs.extend(x for x in a if isinstance(x, np.ndarray))
    return objs


def refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("name", list(CASES))
def test_reference_counts_of_inputs_stay_flat(name):
    fn = getattr(sonaloc, name)
    for args, expected in CASES[name]:
        objs = referenced(args)
        run(fn, args, expected, 3)
        before = refcounts(objs)
        run(fn, args, expected, CALLS // 10)
        assert refcounts(objs) == before, (name, expected)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator keeps freed memory in quarantine")
@pytest.mark.parametrize("name", list(CASES))
def test_resident_memory_stays_flat(name):
    fn = getattr(sonaloc, name)
    for args, expected in CASES[name]:
        run(fn, args, expected, 200)
        gc.collect()
        before = rss()
        run(fn, args, expected, CALLS)
        gc.collect()
        grown = rss() - before
        # A leak of one small object per call would already pass 1 MiB here.
        assert grown < (1 << 20), f"{name} {expected}: resident memory grew by {grown} bytes"


def test_refused_grid_leaves_no_trace():
    before = rss()
    for _ in range(50):
        with pytest.raises(ValueError):
            sonaloc.rs_draw_tracks_value(TRACK, ENDS, (0, 2.0**40, 0, 2.0**20), 1.0)
    assert SANITIZED or rss() - before < (1 << 20)


FAILED_ALLOCATION_SCRIPT = textwrap.dedent(
    """
    import resource, numpy as np, sonaloc
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096
    m = np.array([[1, 1, 1, 1], [20, 9, 1, 1]], np.float32)
    e = np.array([2], np.int32)
    sonaloc.rs_draw_tracks_value(m, e, (0, 32, 0, 32), 1.0)
    with open("/proc/self/statm") as f:
        vm = int(f.read().split()[0]) * 4096
    resource.setrlimit(resource.RLIMIT_AS, (vm + (256 << 20), resource.RLIM_INFINITY))
    # 2^28 cells (2 to 3 GiB of images) pass the memory check on a machine
    # with that much free, but not the address-space limit: the allocation
    # itself fails.
    fns = [sonaloc.rs_draw_tracks, sonaloc.rs_draw_tracks_value, sonaloc.rs_draw_tracks_3d,
           sonaloc.rs_draw_tracks_value_3d]
    exts = [(0, 2**14, 0, 2**14)] * 2 + [(0, 2**10, 0, 2**9, 0, 2**9)] * 2
    outcomes = set()
    before = None
    for i in range(12):
        for fn, ext in zip(fns, exts):
            try:
                fn(np.column_stack([m, m[:, :1]]), e, ext, 1.0)
                outcomes.add("ok")
            except MemoryError:
                outcomes.add("MemoryError")
            except ValueError:
                outcomes.add("ValueError")
        if i == 2:
            before = rss()
    grown = rss() - before
    img = sonaloc.rs_draw_tracks_value(m, e, (0, 32, 0, 32), 1.0)[2]
    print(sorted(outcomes), grown, int(img.sum()))
    """
)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's operator new aborts instead of throwing")
def test_failed_allocation_is_a_memory_error_and_leaves_no_trace():
    out = subprocess.run([sys.executable, "-c", FAILED_ALLOCATION_SCRIPT], capture_output=True, timeout=300)
    assert out.returncode == 0, out.stderr.decode()
    outcomes, grown, count = out.stdout.decode().rsplit(maxsplit=2)
    # MemoryError where the machine has the memory free, ValueError where it has not.
    assert set(eval(outcomes)) <= {"MemoryError", "ValueError"}
    assert "MemoryError" in outcomes or os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") < 4 << 30
    assert int(grown) < (1 << 20) and int(count) > 0
