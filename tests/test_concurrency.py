"""The module under concurrent use: interpreter threads calling at once, a
child forked after the worker pool started, and results that are the same
bytes for every worker count, for all ten functions."""
import hashlib
import multiprocessing
import os
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import sonaloc
from conftest import SANITIZED
from references import gaussian

f32 = np.float32


def spots(rng, shape, n, noise=0.05):
    img = rng.random(shape, dtype=f32) * f32(noise)
    for _ in range(n):
        centre = [rng.uniform(2, s - 2) for s in shape]
        img += gaussian(shape, centre, rng.uniform(0.8, 1.6), rng.uniform(0.5, 2.0))
    return img


def frames(rng, n_frames, n_points, dims):
    pts = rng.uniform(0, 60, (n_points, dims)).astype(f32)
    out = []
    for _ in range(n_frames):
        pts = pts + rng.normal(0, 0.3, pts.shape).astype(f32)
        keep = rng.random(n_points) > 0.15
        out.append(np.column_stack([pts[keep], rng.uniform(1, 2, keep.sum())]).astype(f32))
    return out


def workload(scale=1, seed=11):
    """Every function on inputs of a size set by scale; yields (name, result)."""
    rng = np.random.default_rng(seed)
    side = 48 * scale
    img = spots(rng, (side, side + 7), 8 * scale * scale)
    ext = (0.0, 10.0, -2.0, 9.0)
    yield "detect rs", sonaloc.rs_detect_peaks(img, ext, 0.3, 0.25, "radial_symmetry", 7, None)
    yield "detect gf", sonaloc.rs_detect_peaks(img.T, ext, 0.3, 0.25, "gaussian_fitting", 5, 40 * scale)
    yield "detect", sonaloc.rs_detect_peaks(np.round(img * 4) / 4, ext, 0.5, 0.0, None, None, None)
    vol = spots(rng, (12 + 8 * scale, 14 + 8 * scale, 16), 4 * scale)
    ext3 = (0.0, 5.0, 0.0, 5.0, 0.0, 3.0)
    yield "detect3d rs", sonaloc.rs_detect_peaks3d(vol, ext3, 0.3, 0.2, 5, "radial_symmetry",
                                                    (1.0, 1.0, 1.0), 0.3, None)
    yield "detect3d gf", sonaloc.rs_detect_peaks3d(vol[::-1], ext3, 0.3, 0.2, 7, "gaussian_fitting",
                                                    None, None, 10 * scale)
    windows = [spots(rng, (7, 7), 1) for _ in range(20)]
    yield "rs2d", tuple(sonaloc.rs_radial_symmetry_2d(w) for w in windows)
    cubes = [spots(rng, (5, 7, 5), 1) for _ in range(20)]
    yield "rs3d", tuple(sonaloc.rs_radial_symmetry_3d(c) for c in cubes)
    m2, e2 = sonaloc.rs_link_points(frames(rng, 10 * scale, 60 * scale, 2), 1.5, 2, 3.0)
    yield "link", (m2, e2)
    m3, e3 = sonaloc.rs_link_points_3d(frames(rng, 10 * scale, 60 * scale, 3), 1.5, 2)
    yield "link3d", (m3, e3)
    ends2, ends3 = e2.astype(np.int32), e3.astype(np.int32)
    value2 = np.column_stack([m2, rng.random(len(m2))]).astype(f32)
    value3 = np.column_stack([m3, rng.random(len(m3))]).astype(f32)
    yield "draw", sonaloc.rs_draw_tracks(m2, ends2, (0, 60, 0, 60), 0.25)
    yield "draw value", sonaloc.rs_draw_tracks_value(value2, ends2, (0, 60, 0, 60), 0.25)
    yield "draw3d", sonaloc.rs_draw_tracks_3d(m3, ends3, (0, 60, 0, 60, 0, 60), 1.0)
    yield "draw value3d", sonaloc.rs_draw_tracks_value_3d(value3, ends3, (0, 60, 0, 60, 0, 60), 1.0)
    if scale >= 3:
        # Enough candidates (many of equal intensity) for the parallel sorts.
        noise = np.round(rng.random((700, 500), dtype=f32) * 8) / 8
        yield "detect many", sonaloc.rs_detect_peaks(noise, ext, 0.0, 0.0, None, None, None)
        noise3 = np.round(rng.random((110, 110, 110), dtype=f32) * 8) / 8
        yield "detect3d many", sonaloc.rs_detect_peaks3d(noise3, ext3, 0.0, 0.0, None, None, None, None, None)


def flatten(result):
    for item in result if isinstance(result, tuple) else (result,):
        if isinstance(item, tuple):
            yield from flatten(item)
        elif isinstance(item, np.ndarray):
            yield item.dtype.str.encode() + str(item.shape).encode() + item.tobytes()
        else:
            yield repr(item).encode()


def digests(scale=1):
    """One digest per function call of the workload, by name."""
    return {name: hashlib.sha256(b"".join(flatten(r))).hexdigest() for name, r in workload(scale)}


def test_workload_is_not_trivial():
    results = dict(workload())
    assert len(results["detect rs"][1]) > 3 and len(results["detect3d rs"][1]) > 0
    assert len(results["link"][1]) > 10 and len(results["link3d"][1]) > 10
    assert results["draw value3d"][2].sum() > 0


def test_threads_calling_at_once_match_sequential_calls():
    want = digests()
    errors_seen = []

    def job(i):
        got = [digests() for _ in range(2)]
        # An error path between the calls of other threads changes nothing.
        try:
            sonaloc.rs_detect_peaks(np.zeros((9, 9), f32), (0.0, 1.0), 0.0, 0.0, None, None, None)
        except IndexError:
            errors_seen.append(i)
        return got

    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(job, range(4)))
    assert all(g == want for got in results for g in got)
    assert sorted(errors_seen) == [0, 1, 2, 3]


def child_digests(queue):
    queue.put(digests())


@pytest.mark.skipif(sys.platform != "linux", reason="fork start method")
def test_forked_child_after_the_pool_started():
    want = digests(2)  # large enough for the pool's workers to run
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    procs = [ctx.Process(target=child_digests, args=(queue,)) for _ in range(2)]
    for p in procs:
        p.start()
    got = [queue.get(timeout=300) for _ in procs]
    for p in procs:
        p.join(timeout=60)
        assert p.exitcode == 0
    small = digests()
    assert got == [small, small]
    assert digests(2) == want  # and the parent's pool still works


THREAD_COUNT_SCRIPT = textwrap.dedent(
    """
    import json, sys
    sys.path.insert(0, {tests!r})
    from test_concurrency import digests
    print(json.dumps(digests({scale})))
    """
)


@pytest.mark.skipif(SANITIZED, reason="heavy under the sanitizers; the optimised build covers it")
def test_every_function_gives_the_same_bytes_for_1_2_and_4_threads():
    import json

    script = THREAD_COUNT_SCRIPT.format(tests=os.path.dirname(__file__), scale=4)
    results = []
    for n in (1, 2, 4):
        env = dict(os.environ, RAYON_NUM_THREADS=str(n))
        env.pop("RAYON_RS_NUM_CPUS", None)
        out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, timeout=600)
        assert out.returncode == 0, out.stderr.decode()
        results.append(json.loads(out.stdout))
    assert len(results[0]) == 15
    assert results[0] == results[1] == results[2]
