"""Linking benchmark: rs_link_points against a SciPy peer.

Particles move by random steps inside a square whose area grows with their
number (constant density), a few detections are missed in every frame and the
rows of every frame are shuffled. Each configuration is linked in a child
process so that its peak resident memory (VmHWM) is its own.

The peer (peer_link in tests/references.py) gates with scipy.spatial.cKDTree
and solves every frame pair with scipy.optimize.linear_sum_assignment on the
dense R x (C + R) cost matrix (forbidden pairs 10 U, private unmatched columns
U). It runs on fewer frames and is compared per frame pair.

Run: PYTHONPATH=build python3 benchmarks/bench_linking.py [--quick]
"""
import json
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402,F401  (puts tests/ on the path)
from references import peer_link  # noqa: E402

MAX_DISTANCE = 5.0
MAX_SKIP = 2
RATIO = 2.0
SPACING = 30.0  # mean distance between particles
STEP = 1.5      # standard deviation of a step per axis and frame
MISS = 0.05     # probability that a particle is not detected in a frame


def make_frames(n_points, n_frames, seed=0, centred=False):
    rng = np.random.default_rng(seed)
    side = SPACING * np.sqrt(n_points)
    pos = rng.uniform(-side / 2 if centred else 0.0, side / 2 if centred else side, size=(n_points, 2))
    inten = rng.uniform(1.0, 1.5, size=n_points)
    frames = []
    for _ in range(n_frames):
        keep = rng.random(n_points) >= MISS
        f = np.column_stack([pos[keep], inten[keep]]).astype(np.float32)
        frames.append(np.ascontiguousarray(f[rng.permutation(len(f))]))
        pos = pos + rng.normal(0.0, STEP, size=pos.shape)
    return frames


def frame_pairs(n_frames, max_skip):
    return sum(max(n_frames - g, 0) for g in range(1, max_skip + 2))


# ---------------------------------------------------------------- child runs

CHILD = r"""
import json, resource, sys, time
import numpy as np

def peak_kb():
    # VmHWM: the high-water mark of this process image's resident memory
    # (ru_maxrss would carry over the parent's peak across fork and exec).
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])

sys.path[:0] = json.loads(sys.argv[2])
import bench_linking as b
cfg = json.loads(sys.argv[1])
frames = b.make_frames(cfg["points"], cfg["frames"], centred=cfg.get("centred", False))
base = peak_kb()
times, cpu = [], []

def cpu_now():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime

if cfg["which"] == "sonaloc":
    import sonaloc
    link = sonaloc.rs_link_points
else:
    import scipy.optimize, scipy.spatial
    link = b.peer_link
base = peak_kb()
for _ in range(cfg["repeat"]):
    t0, c0 = time.perf_counter(), cpu_now()
    out = link(frames, b.MAX_DISTANCE, b.MAX_SKIP, b.RATIO)
    times.append(time.perf_counter() - t0)
    cpu.append(cpu_now() - c0)
    del out
peak = peak_kb()
print(json.dumps({"time": float(np.median(times)), "cpu": float(np.median(cpu)),
                  "base_kb": base, "peak_kb": peak}))
"""


def run_child(which, points, frames, repeat, centred=False):
    here = os.path.dirname(os.path.abspath(__file__))
    cfg = json.dumps({"which": which, "points": points, "frames": frames, "repeat": repeat, "centred": centred})
    paths = json.dumps([here] + sys.path)
    res = subprocess.run([sys.executable, "-c", CHILD, cfg, paths], check=True,
                         capture_output=True, text=True)
    return json.loads(res.stdout.strip().splitlines()[-1])


def check_agreement(points, n_frames):
    import sonaloc
    frames = make_frames(points, n_frames, seed=1)
    m1, e1 = sonaloc.rs_link_points(frames, MAX_DISTANCE, MAX_SKIP, RATIO)
    m2, e2 = peer_link(frames, MAX_DISTANCE, MAX_SKIP, RATIO)
    return np.array_equal(e1, e2) and np.array_equal(m1.view(np.uint32), m2.view(np.uint32))


def main(quick=False):
    threads = os.environ.get("RAYON_NUM_THREADS") or str(len(os.sched_getaffinity(0)))
    cases = [(1000, 200, 40 if not quick else 10), (10000, 200 if not quick else 20, 0)]
    print(f"rs_link_points, max_distance {MAX_DISTANCE}, max_skip {MAX_SKIP}, "
          f"worker threads {threads}; time = median of 3 runs")
    agree = check_agreement(1000, 6)
    print(f"tracks identical to the peer (1,000 points, 6 frames): {'yes' if agree else 'NO'}")
    print(f"{'points/frame':>12} {'frames':>6} {'pairs':>6} {'time s':>8} {'us/pair':>9} {'cpu us/pair':>11} "
          f"{'peak MB':>8} {'(+ MB)':>7} {'peer us/pair':>13} {'peer frames':>11} {'speed-up':>9}")
    per_pair, cpu_pair = {}, {}
    table = []
    for points, frames, peer_frames in cases:
        ours = run_child("sonaloc", points, frames, 3)
        pairs = frame_pairs(frames, MAX_SKIP)
        us = ours["time"] / pairs * 1e6
        per_pair[points] = us
        cpu_pair[points] = ours["cpu"] / pairs * 1e6
        peer_txt, ratio_txt, pf_txt = "n/a", "n/a", "-"
        peer_us = None
        if peer_frames:
            peer = run_child("peer", points, peer_frames, 1)
            peer_us = peer["time"] / frame_pairs(peer_frames, MAX_SKIP) * 1e6
            peer_txt, ratio_txt, pf_txt = f"{peer_us:13.0f}", f"{peer_us / us:8.1f}x", str(peer_frames)
        print(f"{points:12,d} {frames:6d} {pairs:6d} {ours['time']:8.3f} {us:9.0f} {cpu_pair[points]:11.0f} "
              f"{ours['peak_kb'] / 1024:8.1f} {(ours['peak_kb'] - ours['base_kb']) / 1024:7.1f} "
              f"{peer_txt:>13} {pf_txt:>11} {ratio_txt:>9}")
        table.append({"stage": "link",
                      "workload": f"{points:,} points/frame, max_skip {MAX_SKIP}, per frame pair "
                                  f"({frames} frames; peer: {peer_frames or 'not run'})",
                      "ours_s": us * 1e-6, "peer_s": None if peer_us is None else peer_us * 1e-6,
                      "peer": "SciPy" if peer_us is not None else None,
                      "target": ">= 20x, < 200 MB" if peer_us is not None else "< 200 MB",
                      "memory_mb": ours["peak_kb"] / 1024})
    print(f"cost per frame pair, 10,000 vs 1,000 points: {per_pair[10000] / per_pair[1000]:.1f}x wall, "
          f"{cpu_pair[10000] / cpu_pair[1000]:.1f}x cpu (linear would be 10x, cubic 1000x)")
    centred = run_child("sonaloc", 10000, 20, 3, centred=True)
    print(f"10,000 points centred on 0 (half the coordinates negative): "
          f"{centred['time'] / frame_pairs(20, MAX_SKIP) * 1e6:.0f} us/pair")
    table.append({"stage": "link", "workload": "10,000 points/frame centred on 0, 20 frames, per frame pair",
                  "ours_s": centred["time"] / frame_pairs(20, MAX_SKIP), "peer_s": None, "target": "",
                  "memory_mb": centred["peak_kb"] / 1024})
    print("peer at 10,000 points: not run (its dense matrix is 10,000 x 20,000 x 8 bytes = 1.6 GB per pair)")
    print("peak MB: whole child process (Python, NumPy, input frames); (+ MB): growth during linking; "
          "speed-up: wall time per frame pair, peer / sonaloc")
    if not agree:
        for r in table:
            r["workload"] += " [tracks differ from the peer]"
    return table


if __name__ == "__main__":
    main(quick="--quick" in sys.argv)
