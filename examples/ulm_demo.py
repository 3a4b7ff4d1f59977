#!/usr/bin/env python3
"""Ultrasound localization microscopy from end to end, on a simulated acquisition.

The simulation builds a vessel phantom (trees of branching vessels whose
diameters follow Murray's law), lets microbubbles flow along the vessels with
a parabolic speed profile, and renders every frame as Gaussian point-spread
functions on a positive noise floor with Gaussian noise. Every bubble position
(sub-pixel) and speed is known.

The processing is the chain a host script runs with sonaloc:

1. per frame: subtract the noise floor (clipped at 0), then detect and
   localize the bubbles (``rs_detect_peaks`` / ``rs_detect_peaks3d``);
2. link the points of all frames into tracks (``rs_link_points`` /
   ``rs_link_points_3d``);
3. compute a speed for every track point (host code, below);
4. render the density map (``rs_draw_tracks`` / ``rs_draw_tracks_3d``) and the
   speed map (``rs_draw_tracks_value`` / ``rs_draw_tracks_value_3d``).

It prints the quality figures against the ground truth (localization RMSE,
detection precision and recall, fraction of correct links, speed error) and
the time taken by every stage, and writes PNG pictures into the output
directory (default: examples/out/).

    python examples/ulm_demo.py            # 2D, 128 x 128 pixels, 2000 frames
    python examples/ulm_demo.py --3d       # 3D, 64 x 64 x 40 voxels, 300 volumes
    python examples/ulm_demo.py --help

Units: positions in millimetres, speeds in mm/s; quality figures in pixels of
the acquisition grid.
"""
from __future__ import annotations

import argparse
import dataclasses
import os
import sys
import time
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

import numpy as np

import sonaloc

try:  # progress bars are a nicety: the demo also runs without tqdm
    from tqdm import tqdm
except ImportError:  # pragma: no cover - depends on the environment
    tqdm = None


# ----------------------------------------------------------------------------- settings


@dataclass
class Config:
    """Everything that defines one simulated acquisition and its processing."""

    ndim: int = 2
    shape: Tuple[int, ...] = (128, 128)  # pixels along x, y (, z)
    frames: int = 2000
    pitch_mm: float = 0.1  # pixel pitch of the acquisition grid
    frame_rate_hz: float = 1000.0
    seed: int = 1  # vessel tree; each block of bubbles has its own stream
    # vessels
    roots: int = 3
    root_diameter_mm: float = 0.5
    min_diameter_mm: float = 0.1
    root_speed_mm_s: float = 25.0  # mean speed in a root vessel; proportional to the diameter
    branch_length_px: float = 45.0  # length of a root segment; shorter for thinner vessels
    max_depth: int = 4  # branchings from a root to a leaf
    tortuosity: float = 0.06  # random turn of the centreline, radians per sqrt(pixel)
    # bubbles and image formation
    bubbles: float = 15.0  # mean number of bubbles in the field of view
    lifetime_frames: float = 60.0  # mean time a bubble stays in the imaging plane
    min_separation_px: float = 4.0  # closest approach of two bubbles
    psf_sigma_px: float = 1.0
    snr: float = 20.0  # median bubble amplitude / noise standard deviation
    noise_floor: float = 0.2  # mean background level, in median bubble amplitudes
    # processing
    floor_margin: float = 3.0  # the floor subtracted is median + this many noise std
    threshold_sigmas: float = 4.0  # detection threshold above the subtracted floor, in noise std
    min_distance_px: float = 2.0
    window: int = 7
    max_distance_px: float = 1.5
    max_skip: int = 1
    max_intensity_ratio: float = 2.0
    speed_half_window: int = 2  # speeds from points up to this many rows before and after
    upsample: int = 4  # render pixel = pitch / upsample
    match_radius_px: float = 1.0  # a detection this close to a bubble is that bubble

    @staticmethod
    def preset(ndim: int) -> "Config":
        if ndim == 2:
            return Config()
        return Config(ndim=3, shape=(64, 64, 40), frames=300, bubbles=20.0, root_diameter_mm=0.4,
                      branch_length_px=30.0, upsample=2)

    @property
    def dt(self) -> float:
        return 1.0 / self.frame_rate_hz

    @property
    def detection_extent(self) -> Tuple[float, ...]:
        """Centres of the first and last pixel along every axis, in mm."""
        out: List[float] = []
        for n in self.shape:
            out += [0.0, (n - 1) * self.pitch_mm]
        return tuple(out)

    @property
    def render_pixel_mm(self) -> float:
        return self.pitch_mm / self.upsample


# ----------------------------------------------------------------------------- phantom


@dataclass
class Vessel:
    points: np.ndarray  # (K, D) centreline samples, in pixels of the acquisition grid
    diameter: float  # pixels
    speed: float  # mean speed, mm/s
    basis: np.ndarray  # (K, D, D - 1) unit vectors spanning the cross-section
    children: List[int] = field(default_factory=list)

    @property
    def length(self) -> float:
        return float(np.linalg.norm(np.diff(self.points, axis=0), axis=1).sum())


def _unit(v: np.ndarray) -> np.ndarray:
    return v / np.linalg.norm(v, axis=-1, keepdims=True)


def _random_perpendicular(rng: np.random.Generator, t: np.ndarray) -> np.ndarray:
    v = rng.standard_normal(t.shape)
    v -= (v @ t) * t
    return _unit(v)


def _cross_section_basis(points: np.ndarray) -> np.ndarray:
    t = _unit(np.gradient(points, axis=0))
    if points.shape[1] == 2:
        return np.stack([-t[:, 1], t[:, 0]], axis=-1)[:, :, None]
    ref = np.array([0.0, 0.0, 1.0]) if abs(t.mean(0)[2]) < 0.7 else np.array([1.0, 0.0, 0.0])
    n1 = _unit(ref[None, :] - (t @ ref)[:, None] * t)
    n2 = np.cross(t, n1)
    return np.stack([n1, n2], axis=-1)


def make_vessels(cfg: Config, rng: np.random.Generator) -> List[Vessel]:
    """Trees of branching vessels grown from the border into the field of view."""
    D = cfg.ndim
    shape = np.asarray(cfg.shape, dtype=float)
    lo, hi = np.full(D, 3.0), shape - 4.0
    d_root = cfg.root_diameter_mm / cfg.pitch_mm
    d_min = cfg.min_diameter_mm / cfg.pitch_mm
    step = 0.5
    vessels: List[Vessel] = []

    def grow(start: np.ndarray, direction: np.ndarray, diameter: float, depth: int) -> Optional[int]:
        length = cfg.branch_length_px * np.sqrt(diameter / d_root) * rng.uniform(0.7, 1.3)
        pts, p, t = [start], start.copy(), direction.copy()
        complete = True
        for _ in range(max(int(length / step), 4)):
            t = _unit(t + cfg.tortuosity * np.sqrt(step) * rng.standard_normal() * _random_perpendicular(rng, t))
            if D == 3:  # volumes are slabs: vessels turn back towards the x-y plane
                t = _unit(t * np.array([1.0, 1.0, 0.97]))
            p = p + step * t
            if np.any(p < lo) or np.any(p > hi):
                complete = False
                break
            pts.append(p)
        points = np.asarray(pts)
        if len(points) < 4:  # ran into the border at once
            return None
        index = len(vessels)
        vessels.append(Vessel(points, diameter, cfg.root_speed_mm_s * diameter / d_root,
                              _cross_section_basis(points)))
        a = rng.uniform(0.65, 0.9)  # Murray's law: d^3 = d1^3 + d2^3
        d1, d2 = diameter * a, diameter * (1.0 - a**3) ** (1.0 / 3.0)
        if complete and depth < cfg.max_depth and min(d1, d2) >= d_min:
            u = _random_perpendicular(rng, t)
            for d_child, sign in ((d1, 1.0), (d2, -1.0)):
                angle = np.radians(rng.uniform(20.0, 50.0))
                child = grow(points[-1], _unit(np.cos(angle) * t + sign * np.sin(angle) * u), d_child, depth + 1)
                if child is not None:
                    vessels[index].children.append(child)
        return index

    for r in range(cfg.roots):
        axis, side = (r // 2) % D, r % 2
        start = lo + (hi - lo) * rng.uniform(0.3, 0.7, D)
        start[axis] = lo[axis] + 0.5 if side == 0 else hi[axis] - 0.5
        direction = np.zeros(D)
        direction[axis] = 1.0 if side == 0 else -1.0
        direction = _unit(direction + 0.4 * _random_perpendicular(rng, direction))
        grow(start, direction, d_root, 0)
    return vessels


@dataclass
class Truth:
    """Every bubble in every frame, sorted by frame."""

    frame: np.ndarray  # (M,) frame number
    position: np.ndarray  # (M, D) in pixels of the acquisition grid
    amplitude: np.ndarray  # (M,)
    speed: np.ndarray  # (M,) mm/s
    bubble: np.ndarray  # (M,) bubble identity
    starts: np.ndarray  # (frames + 1,) rows of frame f are starts[f]:starts[f + 1]

    def in_frame(self, f: int) -> slice:
        return slice(int(self.starts[f]), int(self.starts[f + 1]))


@dataclass
class Acquisition:
    frames: np.ndarray  # (T, *shape) float32
    truth: Truth
    vessels: List[Vessel]


def _bubble_path(vessels: List[Vessel], first: int, rng: np.random.Generator):
    """Samples of the path from vessel `first` downstream to a leaf (children chosen by flow)."""
    chain = [first]
    while vessels[chain[-1]].children:
        kids = vessels[chain[-1]].children
        flow = np.array([vessels[k].diameter ** 3 for k in kids])
        chain.append(kids[rng.choice(len(kids), p=flow / flow.sum())])
    parts = [(vessels[v], 0 if i == 0 else 1) for i, v in enumerate(chain)]
    P = np.concatenate([v.points[s:] for v, s in parts])
    B = np.concatenate([v.basis[s:] for v, s in parts])
    R = np.concatenate([np.full(len(v.points) - s, v.diameter / 2) for v, s in parts])
    V = np.concatenate([np.full(len(v.points) - s, v.speed) for v, s in parts])
    arc = np.concatenate([[0.0], np.cumsum(np.linalg.norm(np.diff(P, axis=0), axis=1))])
    return P, B, R, V, arc, len(vessels[first].points)


def _trajectory(cfg: Config, vessels: List[Vessel], weights: np.ndarray, f0: int, n_frames: int,
                rng: np.random.Generator):
    """Positions (px) and speeds (mm/s) of one bubble over at most n_frames frames from f0."""
    D = cfg.ndim
    P, B, R, V, arc, first_len = _bubble_path(vessels, int(rng.choice(len(vessels), p=weights)), rng)
    if D == 2:
        u = rng.uniform(-0.9, 0.9, 1)  # lateral position, in vessel radii
    else:
        rho, phi = 0.9 * np.sqrt(rng.uniform()), rng.uniform(0, 2 * np.pi)
        u = np.array([rho * np.cos(phi), rho * np.sin(phi)])
    profile = 2.0 * (1.0 - float(u @ u))  # parabolic (Poiseuille) profile, mean 1
    seg_speed = V[:-1] * profile  # mm/s on each sample interval
    seg_time = np.diff(arc) * cfg.pitch_mm / seg_speed * cfg.frame_rate_hz  # frames
    clock = np.concatenate([[0.0], np.cumsum(seg_time)])
    t = np.interp(rng.uniform(0.0, arc[first_len - 1]), arc, clock) + np.arange(n_frames)
    s = np.interp(t[t <= clock[-1]], clock, arc)  # the bubble leaves at the end of its path
    P_s = np.stack([np.interp(s, arc, P[:, a]) for a in range(D)], axis=-1)
    B_s = np.stack([np.interp(s, arc, B[:, a, c]) for a in range(D) for c in range(D - 1)], -1)
    R_s = np.interp(s, arc, R)
    k = np.minimum(np.searchsorted(arc, s, side="right") - 1, len(seg_speed) - 1)
    return P_s + R_s[:, None] * (B_s.reshape(len(s), D, D - 1) @ u), seg_speed[k]


def _bubbles(cfg: Config, vessels: List[Vessel], rng: np.random.Generator) -> Truth:
    """Bubbles enter anywhere along the vessels, flow downstream, and leave the
    imaging plane after a random time (or at the end of their path). A bubble
    that would come closer than `min_separation_px` to another one is not
    injected (another is drawn): localization needs isolated bubbles."""
    D, T = cfg.ndim, cfg.frames
    weights = np.array([v.length for v in vessels])
    weights /= weights.sum()
    n = rng.poisson(cfg.bubbles * (T + cfg.lifetime_frames) / cfg.lifetime_frames)
    occupied: List[List[np.ndarray]] = [[] for _ in range(T)]
    cols: Dict[str, list] = {k: [] for k in ("frame", "position", "amplitude", "speed", "bubble")}
    for b in range(n):
        t0 = int(rng.integers(-int(cfg.lifetime_frames), T))
        life = int(rng.exponential(cfg.lifetime_frames)) + 5
        f0, f1 = max(t0, 0), min(t0 + life, T)
        if f1 - f0 < 2:
            continue
        for _ in range(20):
            pos, speed = _trajectory(cfg, vessels, weights, f0, f1 - f0, rng)
            if len(pos) >= 2 and all(
                    not occupied[f0 + i]
                    or np.min(np.linalg.norm(np.asarray(occupied[f0 + i]) - p, axis=1)) >= cfg.min_separation_px
                    for i, p in enumerate(pos)):
                break
        else:
            continue
        for i, p in enumerate(pos):
            occupied[f0 + i].append(p)
        cols["position"].append(pos)
        cols["frame"].append(np.arange(f0, f0 + len(pos)))
        cols["speed"].append(speed)
        cols["amplitude"].append(np.full(len(pos), rng.lognormal(0.0, 0.25)))
        cols["bubble"].append(np.full(len(pos), b))
    if not cols["frame"]:
        cols = {"frame": [np.zeros(0, int)], "position": [np.zeros((0, D))], "amplitude": [np.zeros(0)],
                "speed": [np.zeros(0)], "bubble": [np.zeros(0, int)]}
    c = {k: np.concatenate(v) for k, v in cols.items()}
    order = np.argsort(c["frame"], kind="stable")
    c = {k: v[order] for k, v in c.items()}
    starts = np.searchsorted(c["frame"], np.arange(T + 1))
    return Truth(starts=starts, **c)


def _render_frames(cfg: Config, truth: Truth, rng: np.random.Generator) -> np.ndarray:
    """Gaussian point-spread functions on a noise floor, plus Gaussian noise."""
    D, T, shape = cfg.ndim, cfg.frames, tuple(cfg.shape)
    sigma = cfg.psf_sigma_px
    r = int(np.ceil(4 * sigma))
    offs = np.stack(np.meshgrid(*[np.arange(-r, r + 1)] * D, indexing="ij"), -1).reshape(-1, D)
    frames = rng.standard_normal((T,) + shape, dtype=np.float32)
    frames *= np.float32(1.0 / cfg.snr)
    frames += np.float32(cfg.noise_floor)
    flat = frames.reshape(T, -1)
    per_frame = int(np.prod(shape))
    chunk = max(1, 200_000 // len(offs))  # bubbles per batch
    for b0 in range(0, len(truth.frame), chunk):
        pos = truth.position[b0:b0 + chunk]
        cells = np.floor(pos + 0.5).astype(np.int64)[:, None, :] + offs[None]
        d2 = ((cells - pos[:, None, :]) ** 2).sum(-1)
        val = truth.amplitude[b0:b0 + chunk, None] * np.exp(-d2 / (2 * sigma * sigma))
        inside = np.all((cells >= 0) & (cells < np.asarray(shape)), axis=-1)
        idx = np.ravel_multi_index(tuple(np.where(inside[..., None], cells, 0).reshape(-1, D).T), shape)
        idx = idx + truth.frame[b0:b0 + chunk, None].repeat(len(offs), 1).ravel() * per_frame
        np.add.at(flat.reshape(-1), idx[inside.ravel()], val.ravel()[inside.ravel()].astype(np.float32))
    np.maximum(frames, 0, out=frames)  # an envelope is never negative
    return frames


def simulate(cfg: Config, block: int = 0) -> Acquisition:
    """One block of frames; the vessel tree depends on cfg.seed only, the bubbles also on `block`."""
    vessels = make_vessels(cfg, np.random.default_rng(cfg.seed))
    rng = np.random.default_rng([cfg.seed, block, 1])
    truth = _bubbles(cfg, vessels, rng)
    return Acquisition(_render_frames(cfg, truth, rng), truth, vessels)


# ----------------------------------------------------------------------------- the host chain


def noise_floor(frame: np.ndarray, margin: float) -> Tuple[float, float]:
    """Level to subtract (median + margin robust standard deviations) and the noise std.

    Bubbles are sparse, so the median and the median absolute deviation of a
    sample of the pixels estimate the background level and the noise."""
    sample = frame.reshape(-1)[::7]
    med = float(np.median(sample))
    sigma = 1.4826 * float(np.median(np.abs(sample - med)))
    return med + margin * sigma, sigma


def localize_frames(frames: np.ndarray, cfg: Config, progress: bool = True,
                    times: Optional[Dict[str, float]] = None) -> List[np.ndarray]:
    """Detect and localize every frame; one float32 (n, D + 1) array x, y[, z], intensity per frame."""
    extent = cfg.detection_extent
    min_distance = cfg.min_distance_px * cfg.pitch_mm
    it = range(len(frames))
    if progress and tqdm is not None:
        it = tqdm(it, desc="detect + localize", unit="frame", leave=False)
    points = []
    t_floor = t_detect = 0.0
    for t in it:
        t0 = time.perf_counter()
        frame = frames[t]
        floor, sigma = noise_floor(frame, cfg.floor_margin)
        # Subtract the noise floor, clipped at 0: what remains are the bubbles.
        clean = np.clip(frame - np.float32(floor), 0, None).astype(np.float32, copy=False)
        threshold = cfg.threshold_sigmas * sigma
        t1 = time.perf_counter()
        if cfg.ndim == 2:
            pos, inten = sonaloc.rs_detect_peaks(clean, extent, threshold, min_distance,
                                                 "radial_symmetry", cfg.window, None)
        else:
            pos, inten, _ = sonaloc.rs_detect_peaks3d(clean, extent, threshold, min_distance,
                                                      cfg.window, "radial_symmetry", None, None, None)
        points.append(np.column_stack([pos, inten]).astype(np.float32))
        t2 = time.perf_counter()
        t_floor += t1 - t0
        t_detect += t2 - t1
    if times is not None:
        times["noise floor (host)"] = times.get("noise floor (host)", 0.0) + t_floor
        times["detect + localize"] = times.get("detect + localize", 0.0) + t_detect
    return points


def link(points: List[np.ndarray], cfg: Config) -> Tuple[np.ndarray, np.ndarray]:
    max_distance = cfg.max_distance_px * cfg.pitch_mm
    if cfg.ndim == 2:
        return sonaloc.rs_link_points(points, max_distance, cfg.max_skip, cfg.max_intensity_ratio)
    return sonaloc.rs_link_points_3d(points, max_distance, cfg.max_skip)


def point_index(points: List[np.ndarray]) -> Dict[bytes, Tuple[int, int]]:
    """(frame, row) of every detection, keyed by its row's bytes.

    The linker returns coordinates and intensities bit for bit, so a track
    row finds its frame (which the point matrix does not hold) by its bytes."""
    index: Dict[bytes, Tuple[int, int]] = {}
    for f, p in enumerate(points):
        for r, row in enumerate(np.ascontiguousarray(p)):
            index[row.tobytes()] = (f, r)
    return index


def track_frames(matrix: np.ndarray, index: Dict[bytes, Tuple[int, int]]) -> np.ndarray:
    rows = np.ascontiguousarray(matrix)
    return np.array([index[r.tobytes()][0] for r in rows], dtype=np.int64)


def point_speeds(matrix: np.ndarray, ends: np.ndarray, frames_of_rows: np.ndarray, cfg: Config) -> np.ndarray:
    """Speed (mm/s) of every track point: distance between the points `h` rows
    before and after it (clamped to the track) over the time between them."""
    ends = ends.astype(np.int64)
    starts = np.concatenate([[0], ends[:-1]])
    track = np.repeat(np.arange(len(ends)), ends - starts)
    k = np.arange(len(matrix))
    h = cfg.speed_half_window
    a = np.maximum(k - h, starts[track])
    b = np.minimum(k + h, ends[track] - 1)
    D = cfg.ndim
    dist = np.linalg.norm(matrix[b, :D].astype(np.float64) - matrix[a, :D], axis=1)
    return (dist / ((frames_of_rows[b] - frames_of_rows[a]) * cfg.dt)).astype(np.float32)


def render(matrix: np.ndarray, ends: np.ndarray, speeds: np.ndarray, cfg: Config) -> Dict[str, object]:
    """Density (track passages) and speed maps on the super-resolved grid."""
    ends32 = ends.astype(np.int32)  # the renderers take int32 track ends
    extent = cfg.detection_extent  # render from the first to the last pixel centre
    ps = cfg.render_pixel_mm
    with_speed = np.column_stack([matrix, speeds]).astype(np.float32)
    if cfg.ndim == 2:
        intensity, count, ext = sonaloc.rs_draw_tracks(matrix, ends32, extent, ps)
        weight, speed, _, _ = sonaloc.rs_draw_tracks_value(with_speed, ends32, extent, ps)
    else:
        intensity, count, ext = sonaloc.rs_draw_tracks_3d(matrix, ends32, extent, ps)
        weight, speed, _, _ = sonaloc.rs_draw_tracks_value_3d(with_speed, ends32, extent, ps)
    # `speed` is the intensity-weighted mean over the passages of a pixel and
    # `weight` the intensity it is weighted by (what maps of blocks sum with).
    return {"intensity": intensity, "count": count, "speed": speed, "speed_weight": weight, "extent": ext}


# ----------------------------------------------------------------------------- quality


def _match(det: np.ndarray, tru: np.ndarray, radius: float) -> Tuple[np.ndarray, np.ndarray]:
    """Greedy one-to-one matching by increasing distance, within `radius`."""
    if len(det) == 0 or len(tru) == 0:
        return np.zeros(0, int), np.zeros(0, int)
    d = np.linalg.norm(det[:, None, :] - tru[None, :, :], axis=-1)
    i, j = np.nonzero(d <= radius)
    order = np.argsort(d[i, j], kind="stable")
    used_d, used_t = np.zeros(len(det), bool), np.zeros(len(tru), bool)
    mi, mj = [], []
    for a, b in zip(i[order], j[order]):
        if not used_d[a] and not used_t[b]:
            used_d[a] = used_t[b] = True
            mi.append(a)
            mj.append(b)
    return np.asarray(mi, int), np.asarray(mj, int)


def quality(cfg: Config, acq: Acquisition, points: List[np.ndarray], matrix: np.ndarray, ends: np.ndarray,
            frames_of_rows: np.ndarray, index: Dict[bytes, Tuple[int, int]], speeds: np.ndarray) -> Dict[str, float]:
    D, truth = cfg.ndim, acq.truth
    border = cfg.window // 2  # bubbles closer to the border cannot be localized in 2D
    inner_lo, inner_hi = border, np.asarray(cfg.shape) - 1 - border
    sq_err, n_det, n_tp, n_truth, n_found = [], 0, 0, 0, 0
    det_bubble: List[np.ndarray] = []
    det_speed: List[np.ndarray] = []
    for f, p in enumerate(points):
        det = p[:, :D].astype(np.float64) / cfg.pitch_mm
        sl = truth.in_frame(f)
        tru = truth.position[sl]
        mi, mj = _match(det, tru, cfg.match_radius_px)
        ids = np.full(len(det), -1)
        ids[mi] = truth.bubble[sl][mj]
        spd = np.full(len(det), np.nan)
        spd[mi] = truth.speed[sl][mj]
        det_bubble.append(ids)
        det_speed.append(spd)
        sq_err.append(((det[mi] - tru[mj]) ** 2).sum(1))
        n_det += len(det)
        n_tp += len(mi)
        inner = np.all((tru >= inner_lo) & (tru <= inner_hi), axis=1)
        n_truth += int(inner.sum())
        n_found += int(inner[mj].sum())
    err = np.concatenate(sq_err) if sq_err else np.zeros(0)
    # links: consecutive rows of a track; correct when both ends are the same bubble
    rows = [index[r.tobytes()] for r in np.ascontiguousarray(matrix)]
    row_bubble = np.array([det_bubble[f][r] for f, r in rows], dtype=np.int64)
    row_true_speed = np.array([det_speed[f][r] for f, r in rows], dtype=np.float64)
    last = np.zeros(len(matrix), bool)
    last[ends.astype(np.int64) - 1] = True
    k = np.nonzero(~last)[0]
    good = (row_bubble[k] >= 0) & (row_bubble[k] == row_bubble[k + 1])
    ok = np.isfinite(row_true_speed)
    speed_err = np.abs(speeds[ok] - row_true_speed[ok])
    return {
        "rmse_px": float(np.sqrt(err.mean())) if len(err) else float("nan"),
        "precision": n_tp / n_det if n_det else float("nan"),
        "recall": n_found / n_truth if n_truth else float("nan"),
        "link_fraction": float(good.mean()) if len(k) else float("nan"),
        "links": int(len(k)),
        "tracks": int(len(ends)),
        "detections": int(n_det),
        "matched": int(n_tp),
        "speed_mae_mm_s": float(speed_err.mean()) if len(speed_err) else float("nan"),
        "speed_rel_err": float(np.median(speed_err / row_true_speed[ok])) if len(speed_err) else float("nan"),
    }


# ----------------------------------------------------------------------------- pictures


def vessel_map(cfg: Config, vessels: List[Vessel], grid_shape: Tuple[int, ...]) -> np.ndarray:
    """The vessel lumens on the render grid (1 inside a vessel)."""
    up = cfg.upsample
    out = np.zeros(grid_shape, dtype=np.float32)
    for v in vessels:
        rad = v.diameter / 2 * up
        r = int(np.ceil(rad))
        offs = np.stack(np.meshgrid(*[np.arange(-r, r + 1)] * cfg.ndim, indexing="ij"), -1).reshape(-1, cfg.ndim)
        centres = v.points * up
        cells = np.unique((np.rint(centres)[:, None, :] + offs[None]).reshape(-1, cfg.ndim).astype(np.int64), axis=0)
        inside = np.all((cells >= 0) & (cells < np.asarray(grid_shape)), axis=1)
        cells = cells[inside]
        # exact distance to the centreline samples (0.5 px apart), in chunks
        keep = np.zeros(len(cells), bool)
        for c0 in range(0, len(cells), 4096):
            c = cells[c0:c0 + 4096]
            d = np.min(((c[:, None, :] - centres[None]) ** 2).sum(-1), axis=1)
            keep[c0:c0 + 4096] = d <= rad * rad
        out[tuple(cells[keep].T)] = 1.0
    return out


def write_pictures(cfg: Config, vessels: List[Vessel], maps: Dict[str, object], out_dir: str,
                   title: str = "") -> List[str]:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    os.makedirs(out_dir, exist_ok=True)
    count = np.asarray(maps["count"], dtype=np.float64)
    speed = np.asarray(maps["speed"], dtype=np.float64)
    weight = np.asarray(maps["speed_weight"], dtype=np.float64)
    truth = vessel_map(cfg, vessels, count.shape)
    ext = maps["extent"]
    tag = f"{cfg.ndim}d"
    if cfg.ndim == 3:  # project along z: summed passages, intensity-weighted mean speed
        w = weight.sum(2)
        speed = np.divide((speed * weight).sum(2), w, out=np.zeros_like(w), where=w > 0)
        count, truth = count.sum(2), truth.max(2)
    # axis 0 is x (drawn left to right), axis 1 is y (drawn top to bottom, as depth)
    shown = (ext[0], ext[1], ext[3], ext[2])
    density = np.sqrt(count)
    vmax_speed = float(np.percentile(speed[count > 0], 99)) if np.any(count > 0) else 1.0
    speed_masked = np.ma.masked_where(count == 0, speed)
    panels = [
        ("density (sqrt of track passages)", density, "inferno", None, None),
        ("speed (mm/s)", speed_masked, "turbo", 0.0, vmax_speed),
        ("ground-truth vessels", truth, "gray", 0.0, 1.0),
    ]
    proj = " (projection along z)" if cfg.ndim == 3 else ""
    fig, axes = plt.subplots(1, 3, figsize=(16, 5.6), constrained_layout=True)
    for ax, (label, img, cmap, vmin, vmax) in zip(axes, panels):
        cm = plt.get_cmap(cmap).with_extremes(bad="black")
        im = ax.imshow(img.T, origin="upper", extent=shown, cmap=cm, vmin=vmin, vmax=vmax, interpolation="nearest")
        ax.set_title(label + proj)
        ax.set_xlabel("x (mm)")
        ax.set_ylabel("y (mm)")
        if cmap == "turbo":
            fig.colorbar(im, ax=ax, shrink=0.8, label="mm/s")
    fig.suptitle(title or f"sonaloc ULM demo, {tag.upper()}: {cfg.frames} frames, SNR {cfg.snr:g}")
    paths = [os.path.join(out_dir, f"ulm_{tag}.png")]
    fig.savefig(paths[0], dpi=110)
    plt.close(fig)
    for name, img, cmap, vmin, vmax in (("density", density, "inferno", None, None),
                                        ("speed", speed_masked, "turbo", 0.0, vmax_speed),
                                        ("truth", truth, "gray", 0.0, 1.0)):
        cm = plt.get_cmap(cmap).with_extremes(bad="black")
        path = os.path.join(out_dir, f"{name}_{tag}.png")
        plt.imsave(path, np.ma.filled(np.ma.asarray(img).T.astype(float), np.nan), cmap=cm, vmin=vmin, vmax=vmax)
        paths.append(path)
    return paths


# ----------------------------------------------------------------------------- driver


def run(cfg: Config, out_dir: Optional[str] = None, progress: bool = True, verbose: bool = True) -> Dict[str, object]:
    """Simulates, processes and assesses one acquisition; returns the figures and images."""
    times: Dict[str, float] = {}

    def stage(name, fn, *args):
        t0 = time.perf_counter()
        r = fn(*args)
        times[name] = times.get(name, 0.0) + time.perf_counter() - t0
        return r

    acq = stage("simulate", simulate, cfg)
    points = localize_frames(acq.frames, cfg, progress, times)
    matrix, ends = stage("link", link, points, cfg)
    index = stage("speeds (host)", point_index, points)
    rows_frame = stage("speeds (host)", track_frames, matrix, index)
    speeds = stage("speeds (host)", point_speeds, matrix, ends, rows_frame, cfg)
    maps = stage("render density + speed", render, matrix, ends, speeds, cfg)
    q = stage("assess", quality, cfg, acq, points, matrix, ends, rows_frame, index, speeds)
    pictures: List[str] = []
    if out_dir is not None:
        pictures = stage("pictures", write_pictures, cfg, acq.vessels, maps, out_dir)
    result = dict(q, times=times, maps=maps, pictures=pictures, vessels=len(acq.vessels),
                  bubbles=int(len(np.unique(acq.truth.bubble))), truth_points=int(len(acq.truth.frame)))
    if verbose:
        report(cfg, result)
    return result


def report(cfg: Config, r: Dict[str, object]) -> None:
    size = " x ".join(str(n) for n in cfg.shape)
    unit = "pixels" if cfg.ndim == 2 else "voxels"
    px_um = cfg.pitch_mm * 1000
    print(f"sonaloc ULM demo, {cfg.ndim}D: {size} {unit} of {cfg.pitch_mm:g} mm, {cfg.frames} frames "
          f"at {cfg.frame_rate_hz:g} Hz, {r['vessels']} vessels, {r['bubbles']} bubbles")
    print(f"  SNR {cfg.snr:g} ({20 * np.log10(cfg.snr):.0f} dB; median bubble amplitude over noise std), "
          f"noise floor {cfg.noise_floor:g}, PSF sigma {cfg.psf_sigma_px:g} px")
    print(f"  localization RMSE  {r['rmse_px']:.3f} px ({r['rmse_px'] * px_um:.1f} um), radial symmetry, "
          f"{r['matched']} matched detections")
    print(f"  detection          precision {r['precision']:.3f}, recall {r['recall']:.3f} "
          f"(match radius {cfg.match_radius_px:g} px)")
    print(f"  linking            {r['tracks']} tracks, {r['links']} links, {r['link_fraction']:.3f} correct")
    print(f"  speed              mean abs error {r['speed_mae_mm_s']:.2f} mm/s, "
          f"median relative error {100 * r['speed_rel_err']:.1f} %")
    print("  time per stage:")
    for name, t in r["times"].items():
        print(f"    {name:<28}{t:8.3f} s")
    for p in r["pictures"]:
        print(f"  wrote {p}")


def parse_args(argv: Optional[List[str]] = None) -> Tuple[Config, argparse.Namespace]:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--3d", dest="three_d", action="store_true", help="simulate and process volumes")
    ap.add_argument("--frames", type=int, help="number of frames (default 2000 in 2D, 300 in 3D)")
    ap.add_argument("--size", type=int, nargs="+", help="grid size per axis in pixels (one value for all)")
    ap.add_argument("--snr", type=float, help="median bubble amplitude over noise std (default 20)")
    ap.add_argument("--bubbles", type=float, help="mean number of bubbles in the field of view")
    ap.add_argument("--seed", type=int, help="seed of the vessel tree and bubbles")
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "out"),
                    help="directory for the pictures (default: examples/out)")
    ap.add_argument("--no-pictures", action="store_true", help="skip the pictures (no matplotlib needed)")
    ap.add_argument("--quiet", action="store_true", help="no progress bar")
    args = ap.parse_args(argv)
    cfg = Config.preset(3 if args.three_d else 2)
    changes = {}
    if args.frames is not None:
        changes["frames"] = args.frames
    if args.size is not None:
        changes["shape"] = tuple(args.size) * cfg.ndim if len(args.size) == 1 else tuple(args.size)
    for name in ("snr", "bubbles", "seed"):
        if getattr(args, name) is not None:
            changes[name] = getattr(args, name)
    cfg = dataclasses.replace(cfg, **changes)
    if len(cfg.shape) != cfg.ndim:
        ap.error(f"--size needs 1 or {cfg.ndim} values")
    return cfg, args


def main(argv: Optional[List[str]] = None) -> int:
    cfg, args = parse_args(argv)
    run(cfg, out_dir=None if args.no_pictures else args.out, progress=not args.quiet)
    return 0


if __name__ == "__main__":
    sys.exit(main())
