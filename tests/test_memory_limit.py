"""Out of memory anywhere in a call, the calling thread's or a worker's,
gives MemoryError and a healthy process: every function runs in a child
process under address-space limits just above what the process already
holds, try after try, each try a MemoryError or the unlimited result.

    PYTHONPATH=build python3 tests/test_memory_limit.py [--tries 100]

runs the same with more tries and prints the counts.
"""
import argparse
import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import SANITIZED

FUNCTIONS = ["rs_detect_peaks", "rs_detect_peaks3d", "rs_draw_tracks", "rs_draw_tracks_3d",
             "rs_draw_tracks_value", "rs_draw_tracks_value_3d", "rs_radial_symmetry_2d",
             "rs_radial_symmetry_3d", "rs_link_points", "rs_link_points_3d"]

# The child: inputs of every function, one call without a limit as the
# reference, then `tries` calls under limits from 0 to `span` MB above the
# current size, alternating over the range. Prints counts as JSON.
CHILD = textwrap.dedent(
    """
    import ctypes, json, resource, sys
    import numpy as np
    import sonaloc
    # A fixed mmap threshold: large buffers go back to the system when freed,
    # so every try starts from the same size.
    ctypes.CDLL(None).mallopt(-3, 1 << 17)  # M_MMAP_THRESHOLD
    name, tries, span = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    f32 = np.float32
    rng = np.random.default_rng(7)
    levels = lambda shape: (rng.integers(0, 8, shape) / 8).astype(f32)
    walk = lambda n, k, d, size: (rng.uniform(0, size, (n, 1, d)) + rng.normal(0, 2, (n, k, d)).cumsum(1))
    def tracks(d, size, value):
        pos = walk(3000, 20, d, size).reshape(-1, d)
        cols = [pos, rng.uniform(0.5, 2, (len(pos), 1))] + ([rng.uniform(0, 5, (len(pos), 1))] if value else [])
        return np.hstack(cols).astype(f32), (np.arange(1, 3001) * 20).astype(np.int32)
    def frames(d, n):
        base = rng.uniform(0, 100, (n, d))
        return [np.hstack([base + rng.normal(0, 0.3, base.shape), np.ones((n, 1))]).astype(f32) for _ in range(5)]
    args = {
        "rs_detect_peaks": (levels((1500, 1500)), (0., 1., 0., 1.), 0.1, 0.0, "radial_symmetry", 5, None),
        "rs_detect_peaks3d": (levels((90, 90, 90)), (0., 1.) * 3, 0.5, 0.0, 5, "radial_symmetry",
                              (1., 1., 1.), None, None),
        "rs_draw_tracks": (*tracks(2, 400, False), (0., 400., 0., 400.), 0.25),
        "rs_draw_tracks_3d": (*tracks(3, 80, False), (0., 80.) * 3, 0.5),
        "rs_draw_tracks_value": (*tracks(2, 400, True), (0., 400., 0., 400.), 0.25),
        "rs_draw_tracks_value_3d": (*tracks(3, 80, True), (0., 80.) * 3, 0.5),
        "rs_radial_symmetry_2d": (rng.random((1200, 1200), dtype=f32),),
        "rs_radial_symmetry_3d": (rng.random((90, 90, 90), dtype=f32),),
        "rs_link_points": (frames(2, 6000), 2.0, 1, 10.0),
        "rs_link_points_3d": (frames(3, 6000), 2.0, 1),
    }[name]
    fn = getattr(sonaloc, name)
    def same(a, b):
        if isinstance(a, tuple):
            return isinstance(b, tuple) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
        if isinstance(a, np.ndarray):
            return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
        return a == b or (a != a and b != b)
    reference = fn(*args)
    def size():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
    counts = {"tries": tries, "MemoryError": 0, "result": 0, "wrong": 0}
    unlimited = resource.getrlimit(resource.RLIMIT_AS)
    for t in range(tries):
        headroom = int(span * 2**20 * ((t * 7919) % tries) / max(1, tries - 1))
        out = None
        resource.setrlimit(resource.RLIMIT_AS, (size() + headroom, unlimited[1]))
        try:
            out = fn(*args)
        except MemoryError:
            pass
        finally:
            resource.setrlimit(resource.RLIMIT_AS, unlimited)
        if out is None:
            counts["MemoryError"] += 1
        elif same(out, reference):
            counts["result"] += 1
        else:
            counts["wrong"] += 1
    print(json.dumps(counts))
    """
)

# Limits reach this far above the process size, about twice what each call
# needs: the tries fail at every stage of the calls, and also succeed.
SPAN_MB = {"rs_detect_peaks": 40, "rs_detect_peaks3d": 4, "rs_draw_tracks": 50, "rs_draw_tracks_3d": 70,
           "rs_draw_tracks_value": 72, "rs_draw_tracks_value_3d": 100, "rs_radial_symmetry_2d": 150,
           "rs_radial_symmetry_3d": 44, "rs_link_points": 8, "rs_link_points_3d": 8}


def run_child(name, tries):
    env = dict(os.environ, RAYON_NUM_THREADS="4", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", CHILD, name, str(tries), str(SPAN_MB[name])], env=env,
                         capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        return {"tries": tries, "died": out.returncode, "stderr": out.stderr[-2000:]}
    return json.loads(out.stdout.strip().splitlines()[-1])


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' allocator does not live under address-space limits")
@pytest.mark.parametrize("name", FUNCTIONS)
def test_memory_error_or_result(name):
    counts = run_child(name, 24)
    assert "died" not in counts, counts
    assert counts["wrong"] == 0, counts
    assert counts["MemoryError"] + counts["result"] == counts["tries"]
    assert counts["MemoryError"] > 0 and counts["result"] > 0, counts  # the limits do bite, and do not always


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tries", type=int, default=100)
    ap.add_argument("--function", action="append")
    args = ap.parse_args()
    total = {"tries": 0, "MemoryError": 0, "result": 0, "wrong": 0, "died": 0}
    for name in args.function or FUNCTIONS:
        counts = run_child(name, args.tries)
        print(name, counts, flush=True)
        for k in ("tries", "MemoryError", "result", "wrong"):
            total[k] += counts.get(k, 0)
        total["died"] += "died" in counts
    print("total", total)


if __name__ == "__main__":
    main()
