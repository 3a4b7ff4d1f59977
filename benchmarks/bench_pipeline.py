"""The per-frame 2D chain a host runs, as frames per second.

256 x 256 frames with about 150 moving bubbles (Gaussian spots, sigma 1 px)
on a floor-subtracted noise background; per frame rs_detect_peaks with radial
symmetry (7 x 7), then rs_link_points over the block and rs_draw_tracks of its
tracks. Measured in one process (the default pool) and in two processes of one
thread each, every process taking its own block of frames, as a block-parallel
host does. The target is on the time per frame: 50 us is 20,000 frames/s.

The chain makes no BLAS call, so BLAS runs on one thread here, as a
block-parallel host sets it: otherwise the idle BLAS threads that NumPy's
library starts again in the parent after each fork spin for about 0.1 s each
and take a core's share from the timed workers.

    python benchmarks/bench_pipeline.py [--frames N]
"""
import argparse
import multiprocessing as mp
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402,F401  (puts tests/ on sys.path)

SIZE, BUBBLES, WINDOW = 256, 150, 7


def make_frames(n_frames, seed=0):
    rng = np.random.default_rng(seed)
    frames = np.empty((n_frames, SIZE, SIZE), np.float32)
    pos = rng.uniform(8, SIZE - 8, (BUBBLES, 2))
    vel = rng.normal(0, 0.4, (BUBBLES, 2))
    amp = rng.uniform(1.0, 3.0, BUBBLES).astype(np.float32)
    g = np.arange(-4, 5)
    for f in range(n_frames):
        frame = np.maximum(rng.normal(0.0, 0.05, (SIZE, SIZE)), 0.0).astype(np.float32)
        pos += vel
        out = (pos < 6) | (pos > SIZE - 7)
        vel[out] *= -1
        pos = np.clip(pos, 6, SIZE - 7)
        for (x, y), a in zip(pos, amp):
            ix, iy = int(x), int(y)
            gx = np.exp(-0.5 * (g + ix - x) ** 2)
            gy = np.exp(-0.5 * (g + iy - y) ** 2)
            frame[ix - 4:ix + 5, iy - 4:iy + 5] += (a * np.outer(gx, gy)).astype(np.float32)
        frames[f] = frame
    return frames


def chain(frames):
    """The host's chain over a block of frames; returns its wall time in seconds."""
    import sonaloc
    extent = (0.0, float(SIZE - 1), 0.0, float(SIZE - 1))
    t0 = time.perf_counter()
    points = []
    for frame in frames:
        pos, inten = sonaloc.rs_detect_peaks(frame, extent, 0.5, 3.0, "radial_symmetry", WINDOW, None)
        points.append(np.column_stack([pos, inten]))
    matrix, ends = sonaloc.rs_link_points(points, 1.5, 1, 3.0)
    sonaloc.rs_draw_tracks(matrix, ends.astype(np.int32), (0.0, float(SIZE), 0.0, float(SIZE)), 0.25)
    return time.perf_counter() - t0


def _worker(args):
    frames, start = args
    os.environ["RAYON_NUM_THREADS"] = "1"
    chain(frames[:8])  # warm up the pool and the caches
    return min(chain(frames) for _ in range(3))


def two_processes(frames):
    half = len(frames) // 2
    ctx = mp.get_context("fork")
    with ctx.Pool(2) as pool:
        times = pool.map(_worker, [(frames[:half], 0), (frames[half:], half)])
    return max(times)


def main(frames=400):
    from threadpoolctl import threadpool_limits

    data = make_frames(frames)
    with threadpool_limits(limits=1, user_api="blas"):
        chain(data[:8])
        one = min(chain(data) for _ in range(3))
        two = min(two_processes(data) for _ in range(5))
    n = len(data)
    work = f"256^2 frames, ~{BUBBLES} bubbles: detect + radial symmetry w={WINDOW}, link, density render"
    return [
        {"stage": "pipeline", "workload": f"{work}, 1 process (default pool), per frame", "ours_s": one / n,
         "peer_s": None, "target": ""},
        {"stage": "pipeline", "workload": f"same, 2 processes x 1 thread, per frame ({n / two:,.0f} frames/s)",
         "ours_s": two / n, "peer_s": None, "target": "<= 50 us"},
    ]


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=400)
    args = ap.parse_args()
    for r in main(args.frames):
        print(f"{r['workload']}: {r['ours_s'] * 1e6:.1f} us per frame ({1 / r['ours_s']:,.0f} frames/s)")
