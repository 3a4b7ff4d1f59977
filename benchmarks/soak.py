"""Soak run: a host pipeline over many frames, with the resident memory
sampled as it goes. Memory must stay flat once the first blocks are done.

    PYTHONPATH=build python3 benchmarks/soak.py [--frames 20000] [--size 128] [--block 500]

Per frame: simulate microbubbles (Gaussian spots that drift) on a positive
noise floor, subtract the floor (clipped at 0), detect with radial-symmetry
localization. Every `block` frames: link the block's points and render the
tracks (density and value images, 2D), adding the images to running totals.
"""
import argparse
import os
import time

import numpy as np

import sonaloc

f32 = np.float32


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


class Simulator:
    """Bubbles that drift across the field; each frame draws them as
    Gaussian spots on a noise floor."""

    def __init__(self, size, n_bubbles, seed):
        self.rng = np.random.default_rng(seed)
        self.size = size
        self.pos = self.rng.uniform(4, size - 4, (n_bubbles, 2))
        self.vel = self.rng.normal(0, 0.4, (n_bubbles, 2))
        self.amp = self.rng.uniform(1.0, 3.0, n_bubbles)
        self.floor = 0.2
        g = np.arange(-4, 5, dtype=np.float64)
        self.offsets = g

    def frame(self):
        size = self.size
        img = (self.floor + self.rng.random((size, size)) * 0.1).astype(np.float64)
        self.pos += self.vel + self.rng.normal(0, 0.05, self.pos.shape)
        out = (self.pos < 4) | (self.pos > size - 5)
        gone = out.any(axis=1)
        self.pos[gone] = self.rng.uniform(4, size - 4, (gone.sum(), 2))
        for (x, y), a in zip(self.pos, self.amp):
            ix, iy = int(x), int(y)
            gx = np.exp(-((ix + self.offsets - x) ** 2) / 2.0)
            gy = np.exp(-((iy + self.offsets - y) ** 2) / 2.0)
            img[ix - 4:ix + 5, iy - 4:iy + 5] += a * np.outer(gx, gy)
        return img.astype(f32)


def run(frames=20000, size=128, block=500, sample_every=1000, n_bubbles=12, seed=1):
    sim = Simulator(size, n_bubbles, seed)
    extent = (0.0, float(size - 1), 0.0, float(size - 1))
    render_extent = (0.0, float(size), 0.0, float(size))
    totals = None
    samples = [(0, rss_mib())]
    points, n_points, n_tracks = [], 0, 0
    start = time.perf_counter()
    for t in range(1, frames + 1):
        frame = sim.frame()
        clean = np.clip(frame - f32(sim.floor + 0.1), 0, None).astype(f32)
        pos, inten = sonaloc.rs_detect_peaks(clean, extent, 0.3, 2.0, "radial_symmetry", 7, None)
        points.append(np.column_stack([pos, inten]).astype(f32))
        n_points += len(inten)
        if t % block == 0:
            matrix, ends = sonaloc.rs_link_points(points, 1.5, 1, 3.0)
            ends32 = ends.astype(np.int32)
            speed = np.zeros((len(matrix), 1), f32)
            bounds = np.concatenate([[0], ends32])
            for a, b in zip(bounds[:-1], bounds[1:]):
                d = np.diff(matrix[a:b, :2], axis=0)
                speed[a + 1:b, 0] = np.hypot(d[:, 0], d[:, 1])
            density = sonaloc.rs_draw_tracks(matrix, ends32, render_extent, 0.25)
            value = sonaloc.rs_draw_tracks_value(np.hstack([matrix, speed]), ends32, render_extent, 0.25)
            images = [density[0], density[1], value[0], value[2]]
            totals = images if totals is None else [s + i for s, i in zip(totals, images)]
            n_tracks += len(ends)
            points = []
        if t % sample_every == 0:
            samples.append((t, rss_mib()))
    elapsed = time.perf_counter() - start
    return samples, elapsed, n_points, n_tracks, totals


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--frames", type=int, default=20000)
    p.add_argument("--size", type=int, default=128)
    p.add_argument("--block", type=int, default=500)
    p.add_argument("--every", type=int, default=1000)
    a = p.parse_args(argv)
    samples, elapsed, n_points, n_tracks, totals = run(a.frames, a.size, a.block, a.every)
    print(f"{a.frames} frames of {a.size}x{a.size} in {elapsed:.1f} s "
          f"({1e3 * elapsed / a.frames:.2f} ms/frame): {n_points} localizations, {n_tracks} tracks, "
          f"{int(totals[1].sum()) if totals else 0} rendered passages")
    print(f"{'frame':>7} {'RSS MiB':>9} {'change':>8}")
    for t, m in samples:
        print(f"{t:>7} {m:>9.1f} {m - samples[0][1]:>+8.1f}")
    # Flat: after the first sample past warm-up, the resident size may wander
    # by allocator noise but not grow with the number of frames.
    settled = [m for t, m in samples if t >= 2 * a.every]
    growth = settled[-1] - settled[0] if len(settled) > 1 else 0.0
    flat = growth < 8.0
    print(f"growth from frame {2 * a.every} to {a.frames}: {growth:+.1f} MiB -> {'flat' if flat else 'GROWING'}")
    return 0 if flat else 1


if __name__ == "__main__":
    raise SystemExit(main())
