"""Simulated acquisitions with their ground truth.

Two simulators write acquisitions in the format ``sonaloc-ulm run`` reads by
default (see :func:`write_acquisition`):

* :func:`simulate_phantom`, fast: vessel trees (branching vessels whose
  diameters follow Murray's law), microbubbles flowing along them with a
  parabolic speed profile, every frame the sum of Gaussian point-spread
  functions on a positive noise floor with Gaussian noise (a real envelope);
* :func:`simulate_realistic`, slow: a linear probe transmitting tilted plane
  waves, radio-frequency echoes of the bubbles (and of tissue scatterers)
  simulated with the pymust ultrasound simulator, channel noise, delay-and-sum
  beamforming and compounding into complex IQ frames (needs the optional
  extra ``sim``: ``pip install 'sonaloc[sim]'``).

Both are seeded: the same arguments give the same frames and truth, bit for
bit. The truth lists every bubble in every frame: ``frame``, ``x``, ``z``
(, ``y``) in mm, ``bubble`` (identity), ``speed`` (mm/s) and ``amplitude``.

From the command line::

    sonaloc-ulm simulate --out acq.npz                 # phantom, 2000 frames of 128 x 128
    sonaloc-ulm simulate --out acq.npz --3d            # phantom volumes
    sonaloc-ulm simulate --out acq.npz --realistic     # pymust linear probe (slow)
"""
from __future__ import annotations

import argparse
import contextlib
import dataclasses
import os
import sys
import tempfile
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

__all__ = ["Acquisition", "PhantomConfig", "RealisticConfig", "simulate_phantom", "simulate_realistic",
           "simulate_realistic_set", "realistic_psf", "simulate_block", "make_vessels", "parse_grid",
           "MissingSimulator",
           "write_acquisition", "read_acquisition", "truth_path", "add_arguments", "main_from_args", "main"]


# ----------------------------------------------------------------------------- acquisitions


@dataclass
class Acquisition:
    """A stack of beamformed frames with its geometry and ground truth.

    ``frames`` has the axes named by ``axes``: ``"zxt"`` (depth, lateral,
    frame) or ``"zxyt"`` (depth, lateral, elevation, frame). ``pixel_size``
    and ``origin`` (centre of the first pixel) are in mm, one value per
    spatial axis in the order of ``axes``. ``truth`` holds 1-D arrays
    ``frame`` (int64), ``x``, ``z`` (, ``y``) in mm, ``bubble`` (int64),
    ``speed`` (mm/s) and ``amplitude``, sorted by frame. ``info`` describes
    the simulation (not written to the file)."""

    frames: np.ndarray
    axes: str
    pixel_size: Tuple[float, ...]
    origin: Tuple[float, ...]
    frame_rate: float
    truth: Dict[str, np.ndarray]
    info: Dict[str, object] = field(default_factory=dict)

    @property
    def spatial_axes(self) -> str:
        return self.axes.replace("t", "")

    @property
    def n_frames(self) -> int:
        return int(self.frames.shape[self.axes.index("t")])


# ----------------------------------------------------------------------------- phantom


@dataclass
class PhantomConfig:
    """Everything that defines one simulated phantom acquisition.

    Arrays of the phantom are indexed in pixels along axes (a0, a1[, a2]):
    a0 is lateral (x), a1 is depth (z), a2 is elevation (y)."""

    ndim: int = 2
    shape: Tuple[int, ...] = (128, 128)  # pixels along a0, a1 (, a2)
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

    @classmethod
    def preset(cls, ndim: int):
        """The defaults in 2D (128 x 128 pixels, 2000 frames) or 3D (64 x 64 x 40 voxels, 300 volumes)."""
        if ndim == 2:
            return cls()
        return cls(ndim=3, shape=(64, 64, 40), frames=300, bubbles=20.0, root_diameter_mm=0.4,
                   branch_length_px=30.0)

    @property
    def dt(self) -> float:
        return 1.0 / self.frame_rate_hz

    def check(self) -> None:
        """Raises ValueError for settings the phantom cannot be made with."""
        if self.ndim not in (2, 3):
            raise ValueError(f"the phantom is 2D or 3D, not {self.ndim}D")
        if len(self.shape) != self.ndim:
            raise ValueError(f"the grid size needs {self.ndim} values, got {len(self.shape)}")
        if any(int(n) != n or n < 16 for n in self.shape):
            raise ValueError(f"the grid needs at least 16 pixels per axis, got {tuple(self.shape)}")
        if int(self.frames) != self.frames or self.frames < 1:
            raise ValueError(f"the number of frames must be a positive integer, got {self.frames}")
        for name in ("pitch_mm", "frame_rate_hz", "snr", "psf_sigma_px", "lifetime_frames", "root_diameter_mm",
                     "min_diameter_mm", "root_speed_mm_s", "branch_length_px"):
            v = getattr(self, name)
            if not (np.isfinite(v) and v > 0):
                raise ValueError(f"{name} must be a positive finite number, got {v}")
        if not (np.isfinite(self.bubbles) and self.bubbles >= 0):
            raise ValueError(f"the number of bubbles must be >= 0, got {self.bubbles}")


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


def make_vessels(cfg: PhantomConfig, rng: np.random.Generator) -> List[Vessel]:
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
class PhantomBlock:
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


def _trajectory(cfg: PhantomConfig, vessels: List[Vessel], weights: np.ndarray, f0: int, n_frames: int,
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


def _bubbles(cfg: PhantomConfig, vessels: List[Vessel], rng: np.random.Generator) -> Truth:
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


def _render_frames(cfg: PhantomConfig, truth: Truth, rng: np.random.Generator) -> np.ndarray:
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


def simulate_block(cfg: PhantomConfig, block: int = 0) -> PhantomBlock:
    """One block of frames; the vessel tree depends on cfg.seed only, the bubbles also on `block`."""
    vessels = make_vessels(cfg, np.random.default_rng(cfg.seed))
    rng = np.random.default_rng([cfg.seed, block, 1])
    truth = _bubbles(cfg, vessels, rng)
    return PhantomBlock(_render_frames(cfg, truth, rng), truth, vessels)



def _phantom_config(frames, size, three_d, snr, bubbles, seed, kw) -> PhantomConfig:
    cfg = PhantomConfig.preset(3 if three_d else 2)
    changes: Dict[str, object] = {"seed": int(seed), "snr": float(snr)}
    if frames is not None:
        changes["frames"] = frames
    if size is not None:
        sizes = (size,) if np.isscalar(size) else tuple(size)
        if len(sizes) not in (1, cfg.ndim):
            raise ValueError(f"the grid size needs 1 or {cfg.ndim} values, got {len(sizes)}")
        changes["shape"] = tuple(int(n) for n in sizes) * (cfg.ndim if len(sizes) == 1 else 1)
    if bubbles is not None:
        changes["bubbles"] = float(bubbles)
    unknown = set(kw) - {f.name for f in dataclasses.fields(PhantomConfig)} - {"ndim"}
    if unknown:
        raise TypeError(f"unknown phantom setting(s): {', '.join(sorted(unknown))}")
    changes.update(kw)
    cfg = dataclasses.replace(cfg, **changes)
    cfg.check()
    return cfg


def simulate_phantom(*, frames: Optional[int] = None, size: Union[int, Sequence[int], None] = None,
                     three_d: bool = False, snr: float = 20.0, bubbles: Optional[float] = None, seed: int = 0,
                     block: int = 0, **kw) -> Acquisition:
    """The fast phantom: Gaussian spots on a vessel tree, a real envelope (float32).

    Defaults: 2000 frames of 128 x 128 pixels of 0.1 mm at 1000 Hz in 2D,
    300 volumes of 64 x 64 x 40 voxels in 3D (``three_d=True``); PSF sigma
    1 pixel, noise floor 0.2, ``snr`` = median bubble amplitude over the
    noise standard deviation, ``bubbles`` = mean number of bubbles in the
    field of view (15 in 2D, 20 in 3D). ``seed`` draws the vessel tree and,
    with ``block``, the bubbles. Any other field of :class:`PhantomConfig`
    can be given by name (e.g. ``psf_sigma_px=1.5``, ``pitch_mm=0.05``).

    The frames are ``zxt`` (``zxyt`` in 3D) with the frame axis slowest in
    memory (Fortran order, as MATLAB stores such arrays): one frame, or a
    block of frames, is one contiguous stretch. The origin is 0 mm."""
    cfg = _phantom_config(frames, size, three_d, snr, bubbles, seed, kw)
    blk = simulate_block(cfg, block)
    return _as_acquisition(cfg, blk)


def _as_acquisition(cfg: PhantomConfig, blk: PhantomBlock) -> Acquisition:
    pitch = float(cfg.pitch_mm)
    pos = blk.truth.position * pitch
    truth = {"frame": blk.truth.frame.astype(np.int64), "x": pos[:, 0].astype(np.float64),
             "z": pos[:, 1].astype(np.float64)}
    if cfg.ndim == 2:
        frames = blk.frames.transpose(2, 1, 0)  # (t, x, z) C order is (z, x, t) Fortran order: a view
        axes = "zxt"
    else:
        truth["y"] = pos[:, 2].astype(np.float64)
        frames = np.asfortranarray(blk.frames.transpose(2, 1, 3, 0))  # (t, x, z, y) -> (z, x, y, t)
        axes = "zxyt"
    truth.update(bubble=blk.truth.bubble.astype(np.int64), speed=blk.truth.speed.astype(np.float64),
                 amplitude=blk.truth.amplitude.astype(np.float64))
    n_spatial = len(axes) - 1
    info = {"kind": "phantom", "config": dataclasses.asdict(cfg), "vessels": blk.vessels,
            "psf_sigma_px": (cfg.psf_sigma_px,) * n_spatial}
    return Acquisition(frames=frames, axes=axes, pixel_size=(pitch,) * n_spatial, origin=(0.0,) * n_spatial,
                       frame_rate=float(cfg.frame_rate_hz), truth=truth, info=info)


# ----------------------------------------------------------------------------- realistic (pymust)


class MissingSimulator(ImportError):
    """The optional ultrasound simulator (pymust) is not installed."""


def _pymust():
    try:
        import pymust  # noqa: F401  (the optional extra `sim`)
    except ImportError as e:
        raise MissingSimulator("realistic acquisitions need the pymust ultrasound simulator: "
                               "pip install 'sonaloc[sim]' (or pip install pymust)") from e
    return pymust


def parse_grid(grid: Union[str, Sequence[int]]) -> Tuple[int, int]:
    """Pixel size as fractions of the wavelength: ``"lambda/2"`` -> (2, 2) (lateral, axial),
    ``"lambda/2xlambda/4"`` -> (2, 4) (lambda/2 lateral, lambda/4 axial)."""
    if not isinstance(grid, str):
        parts = tuple(int(v) for v in grid)
    else:
        text = grid.replace(" ", "").lower()
        pieces = text.split("x")
        parts = ()
        for p in pieces:
            if not p.startswith("lambda/") or not p[7:].isdigit():
                parts = ()
                break
            parts += (int(p[7:]),)
    if len(parts) == 1:
        parts = parts * 2
    if len(parts) != 2 or min(parts) < 1:
        raise ValueError(f"grid {grid!r} is not of the form lambda/N or lambda/NxLambda/M "
                         "(lateral x axial), e.g. lambda/2 or lambda/2xlambda/4")
    return parts


def grid_name(grid: Union[str, Sequence[int]]) -> str:
    a, b = parse_grid(grid)
    return f"lambda/{a}" if a == b else f"lambda/{a}xlambda/{b}"


BUBBLE_PRESETS = {  # mean bubbles in the field of view, closest approach (mm)
    "sparse": (4.0, 1.0),
    "dense": (16.0, 0.4),
}


@dataclass
class RealisticConfig:
    """A linear probe imaging microbubbles in vessels (and tissue) with compounded plane waves.

    Lengths in mm, the field is centred laterally on the probe. ``snr_db`` is
    the beamformed peak envelope of a median bubble over the root mean square
    envelope of the beamformed channel noise; ``clutter_db`` the root mean
    square envelope of the tissue over the same bubble peak."""

    frames: int = 128
    frame_rate_hz: float = 1000.0  # compounded frames per second
    probe: str = "L11-5v"  # 128 elements, pitch 0.3 mm, 7.6 MHz, 77 % bandwidth
    angles_deg: Tuple[float, ...] = (-5.0, 0.0, 5.0)
    fnumber: float = 1.5  # receive aperture of the delay-and-sum
    width_mm: float = 8.0
    depth_mm: Tuple[float, float] = (8.0, 16.0)
    bubbles: float = 4.0  # mean number of bubbles in the field of view
    min_separation_mm: float = 1.0
    snr_db: float = 20.0
    tissue_density_per_mm2: float = 20.0
    clutter_db: float = 30.0
    tissue_drift_mm: float = 0.02  # axial drift of the tissue over the acquisition
    tissue_keys: int = 3  # tissue positions simulated; frames interpolate between them
    root_speed_mm_s: float = 25.0
    seed: int = 0

    def check(self) -> None:
        if int(self.frames) != self.frames or self.frames < 1:
            raise ValueError(f"the number of frames must be a positive integer, got {self.frames}")
        for name in ("frame_rate_hz", "fnumber", "width_mm", "root_speed_mm_s", "min_separation_mm"):
            v = getattr(self, name)
            if not (np.isfinite(v) and v > 0):
                raise ValueError(f"{name} must be a positive finite number, got {v}")
        if not (0 < self.depth_mm[0] < self.depth_mm[1]):
            raise ValueError(f"depth_mm must be (start, end) with 0 < start < end, got {self.depth_mm}")
        if self.width_mm < 2 or self.depth_mm[1] - self.depth_mm[0] < 2:
            raise ValueError("the field of view must be at least 2 mm wide and deep")
        if not (np.isfinite(self.bubbles) and self.bubbles >= 0):
            raise ValueError(f"the number of bubbles must be >= 0, got {self.bubbles}")
        if len(self.angles_deg) < 1 or any(abs(a) >= 45 for a in self.angles_deg):
            raise ValueError(f"plane-wave angles must be one or more values within +-45 degrees, got {self.angles_deg}")
        if not (np.isfinite(self.snr_db) and np.isfinite(self.clutter_db)):
            raise ValueError("snr_db and clutter_db must be finite")
        if int(self.tissue_keys) != self.tissue_keys or self.tissue_keys < 1:
            raise ValueError(f"tissue_keys must be a positive integer, got {self.tissue_keys}")


def _realistic_config(frames, bubbles, seed, kw) -> RealisticConfig:
    changes: Dict[str, object] = {"seed": int(seed)}
    if frames is not None:
        changes["frames"] = frames
    if isinstance(bubbles, str):
        if bubbles not in BUBBLE_PRESETS:
            raise ValueError(f"bubbles must be {' or '.join(map(repr, BUBBLE_PRESETS))} or a number, got {bubbles!r}")
        changes["bubbles"], changes["min_separation_mm"] = BUBBLE_PRESETS[bubbles]
    elif bubbles is not None:
        changes["bubbles"] = float(bubbles)
    unknown = set(kw) - {f.name for f in dataclasses.fields(RealisticConfig)}
    if unknown:
        raise TypeError(f"unknown realistic setting(s): {', '.join(sorted(unknown))}")
    changes.update(kw)
    cfg = dataclasses.replace(RealisticConfig(), **changes)
    cfg.check()
    return cfg


class _Scanner:
    """Channel data of scatterers for every plane wave, demodulated and beamformed onto grids.

    Every step is linear in the reflection coefficients (the simulator sums
    the echoes of the scatterers), so the frames are sums of parts simulated
    apart: bubbles and noise per frame, tissue once per position."""

    def __init__(self, cfg: RealisticConfig, grids: Sequence[Tuple[int, int]]):
        self.pm = pm = _pymust()
        p = pm.getparam(cfg.probe)
        p.fs = 4 * p.fc
        p.c = 1540.0
        self.param = p
        self.cfg = cfg
        self.lam_mm = p.c / p.fc * 1e3
        self.angles = np.deg2rad(np.asarray(cfg.angles_deg, dtype=float))
        self.delays = [pm.txdelay(p.copy(), float(a)) for a in self.angles]
        # scatterers of zero reflection at the far corners fix the length of every RF record
        half = cfg.width_mm / 2 + 2.0
        self.anchor_x = np.array([-half, half]) * 1e-3
        self.anchor_z = np.full(2, cfg.depth_mm[1] + 2.0) * 1e-3
        self.grids = []
        for lat, ax in grids:
            dx, dz = self.lam_mm / lat, self.lam_mm / ax
            nx = int(round(cfg.width_mm / dx))
            nz = int(round((cfg.depth_mm[1] - cfg.depth_mm[0]) / dz))
            x = -nx * dx / 2 + (np.arange(nx) + 0.5) * dx
            z = cfg.depth_mm[0] + (np.arange(nz) + 0.5) * dz
            self.grids.append({"dx": dx, "dz": dz, "x": x, "z": z})
        # the record length of every plane wave (its delays lengthen it)
        self.shape_rf = [self._record_shape(k) for k in range(len(self.delays))]
        for g in self.grids:
            X, Z = np.meshgrid(g["x"] * 1e-3, g["z"] * 1e-3)  # (nz, nx)
            g["das"] = []
            for d in self.delays:
                q = p.copy()
                q.fnumber = cfg.fnumber
                g["das"].append(pm.dasmtx(1j * np.array(self.shape_rf[len(g["das"])]), X, Z, d, q).tocsr())

    def _options(self):
        opt = self.pm.utils.Options()
        opt.WaitBar = False
        opt.dBThresh = -40  # spectral components 40 dB down change the records by < 1e-4
        return opt

    def _record_shape(self, k: int) -> Tuple[int, int]:
        part, _ = self.pm.simus(self.anchor_x.reshape(1, -1), self.anchor_z.reshape(1, -1), np.full((1, 2), 1e-30),
                                self.delays[k], self.param.copy(), self._options())
        return part.shape

    def rf(self, x_mm, z_mm, rc, k: int) -> np.ndarray:
        """RF channel data (time, element) of scatterers for plane wave k."""
        out = np.zeros(self.shape_rf[k], np.float32)
        rc = np.asarray(rc, dtype=float)
        n = 400  # scatterers per call: the simulator slows down on large sets
        for c0 in range(0, len(rc), n):
            r = np.concatenate([rc[c0:c0 + n], np.zeros(2)])
            if not np.any(r):
                continue
            x = np.concatenate([np.asarray(x_mm[c0:c0 + n]) * 1e-3, self.anchor_x])
            z = np.concatenate([np.asarray(z_mm[c0:c0 + n]) * 1e-3, self.anchor_z])
            part, _ = self.pm.simus(x.reshape(1, -1), z.reshape(1, -1), r.reshape(1, -1), self.delays[k],
                                    self.param.copy(), self._options())
            out += part
        return out

    def beamform(self, rfs: Sequence[np.ndarray]) -> List[np.ndarray]:
        """Compounded complex IQ (nz, nx) on every grid of the RF records of all plane waves."""
        out = [np.zeros((len(g["z"]), len(g["x"])), np.complex128) for g in self.grids]
        for k, r in enumerate(rfs):
            if not np.any(r):
                continue
            iq = self.pm.rf2iq(r, self.param.copy()).ravel(order="F")
            for g, o in zip(self.grids, out):
                o += (g["das"][k] @ iq).reshape(o.shape, order="F")
        return out

    def image(self, x_mm, z_mm, rc, noise: Optional[Tuple[np.random.Generator, float]] = None) -> List[np.ndarray]:
        rfs = []
        for k in range(len(self.angles)):
            r = self.rf(x_mm, z_mm, rc, k)
            if noise is not None:
                rng, std = noise
                r = r + (std * rng.standard_normal(r.shape)).astype(np.float32)
            rfs.append(r)
        return self.beamform(rfs)


def _gaussian_width(env: np.ndarray) -> Tuple[Tuple[float, float], Tuple[float, float]]:
    """Free-width Gaussian fitted around the maximum: ((sigma_x, sigma_z) px, (offset_x, offset_z) px)."""
    from scipy.optimize import least_squares

    iz, ix = np.unravel_index(int(np.argmax(env)), env.shape)
    h = 8
    w = env[max(iz - h, 0):iz + h + 1, max(ix - h, 0):ix + h + 1]
    zz, xx = np.mgrid[max(iz - h, 0) - iz:min(iz + h + 1, env.shape[0]) - iz,
                      max(ix - h, 0) - ix:min(ix + h + 1, env.shape[1]) - ix]

    def resid(p):
        return (p[0] * np.exp(-(xx - p[1]) ** 2 / (2 * p[3] ** 2) - (zz - p[2]) ** 2 / (2 * p[4] ** 2)) - w).ravel()

    s = least_squares(resid, [w.max(), 0.0, 0.0, 2.0, 2.0]).x
    return (abs(float(s[3])), abs(float(s[4]))), (float(ix + s[1]), float(iz + s[2]))


def simulate_realistic_set(*, grids: Sequence[Union[str, Sequence[int]]] = ("lambda/2",),
                           clutter: Sequence[bool] = (True,), frames: Optional[int] = None,
                           bubbles: Union[str, float, None] = "sparse", seed: int = 0, progress: bool = False,
                           **kw) -> Dict[Tuple[str, bool], Acquisition]:
    """Several realistic acquisitions of the same bubbles and noise: one per
    grid and clutter setting, keyed by (grid name, clutter). The channel data
    are simulated once and beamformed onto every grid; the tissue is added to
    the frames of the clutter=True ones. See :func:`simulate_realistic`."""
    cfg = _realistic_config(frames, bubbles, seed, kw)
    grid_parts = [parse_grid(g) for g in grids]
    with _one_blas_thread():
        return _simulate_realistic(cfg, grid_parts, [bool(c) for c in clutter], progress)


@contextlib.contextmanager
def _one_blas_thread():
    """The simulator's small matrix products run far slower on several BLAS threads
    (they spin for work), the more so on a busy machine: one thread while simulating."""
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:  # pragma: no cover - depends on the environment
        yield
        return
    with threadpool_limits(1, user_api="blas"):
        yield


def _realistic_bubbles(cfg: RealisticConfig):
    """The phantom's vessel trees and bubbles on a 0.1 mm grid over the field; positions in mm."""
    pitch = 0.1
    nx_v = int(round(cfg.width_mm / pitch))
    nz_v = int(round((cfg.depth_mm[1] - cfg.depth_mm[0]) / pitch))
    pcfg = PhantomConfig(ndim=2, shape=(nx_v, nz_v), frames=int(cfg.frames), pitch_mm=pitch,
                         frame_rate_hz=cfg.frame_rate_hz, seed=cfg.seed, root_speed_mm_s=cfg.root_speed_mm_s,
                         branch_length_px=45.0 * max(nx_v, nz_v) / 128, bubbles=cfg.bubbles,
                         min_separation_px=cfg.min_separation_mm / pitch)
    vessels = make_vessels(pcfg, np.random.default_rng([cfg.seed, 0, 2]))
    rng = np.random.default_rng([cfg.seed, 1, 2])
    tb = _bubbles(pcfg, vessels, rng)
    bx = -nx_v * pitch / 2 + (tb.position[:, 0] + 0.5) * pitch
    bz = cfg.depth_mm[0] + (tb.position[:, 1] + 0.5) * pitch

    return vessels, tb, bx, bz


def _simulate_realistic(cfg: RealisticConfig, grid_parts: List[Tuple[int, int]], clutter: List[bool],
                        progress: bool) -> Dict[Tuple[str, bool], Acquisition]:
    if not grid_parts or not clutter:
        raise ValueError("at least one grid and one clutter setting are needed")
    scan = _Scanner(cfg, grid_parts)

    vessels, tb, bx, bz = _realistic_bubbles(cfg)

    # calibration: a median bubble at the centre of the field, and unit channel noise
    cx, cz = 0.0, (cfg.depth_mm[0] + cfg.depth_mm[1]) / 2
    ref = scan.image(np.array([cx]), np.array([cz]), np.array([1.0]))
    peak = [float(np.abs(r).max()) for r in ref]
    urng = np.random.default_rng([cfg.seed, 2, 2])
    unit = scan.beamform([urng.standard_normal(shape).astype(np.float32) for shape in scan.shape_rf])
    unit_rms = [float(np.sqrt(np.mean(np.abs(u) ** 2))) for u in unit]
    noise_std = peak[0] / (10 ** (cfg.snr_db / 20) * unit_rms[0])
    psf = []
    for g, r in zip(scan.grids, ref):
        (sx, sz), (ox, oz) = _gaussian_width(np.abs(r))
        psf.append({"sigma_px": (sx, sz), "fwhm_px": (2.3548 * sx, 2.3548 * sz),
                    "fwhm_mm": (2.3548 * sx * g["dx"], 2.3548 * sz * g["dz"]),
                    "centre_offset_mm": (g["x"][0] + ox * g["dx"] - cx, g["z"][0] + oz * g["dz"] - cz)})

    # tissue: static scatterers drifting slowly in depth, simulated at a few positions
    tissue = None
    if any(clutter):
        trng = np.random.default_rng([cfg.seed, 3, 2])
        tw, tz0, tz1 = cfg.width_mm + 2.0, cfg.depth_mm[0] - 1.0, cfg.depth_mm[1] + 1.0
        n_t = int(round(cfg.tissue_density_per_mm2 * tw * (tz1 - tz0)))
        tx = trng.uniform(-tw / 2, tw / 2, n_t)
        tz = trng.uniform(tz0, tz1, n_t)
        trc = trng.standard_normal(n_t)
        keys = []
        for k in range(int(cfg.tissue_keys)):
            shift = cfg.tissue_drift_mm * (k / (cfg.tissue_keys - 1) if cfg.tissue_keys > 1 else 0.0)
            keys.append(scan.image(tx, tz + shift, trc))
        # the tissue's brightness: its rms envelope over the median bubble peak
        rms = float(np.sqrt(np.mean(np.abs(keys[0][0]) ** 2)))
        scale = peak[0] * 10 ** (cfg.clutter_db / 20) / rms
        tissue = [[(key[i] * scale) for i in range(len(scan.grids))] for key in keys]

    T = int(cfg.frames)
    out_frames = {(gi, c): np.zeros((len(g["z"]), len(g["x"]), T), np.complex64, order="F")
                  for gi, g in enumerate(scan.grids) for c in set(clutter)}
    nrng = np.random.default_rng([cfg.seed, 4, 2])
    it = range(T)
    if progress:
        try:
            from tqdm import tqdm
            it = tqdm(it, desc="simulate (pymust)", unit="frame", leave=False)
        except ImportError:  # pragma: no cover - depends on the environment
            pass
    for t in it:
        sl = tb.in_frame(t)
        imgs = scan.image(bx[sl], bz[sl], tb.amplitude[sl], noise=(nrng, noise_std))
        if tissue is not None:
            u = t / (T - 1) * (len(tissue) - 1) if T > 1 and len(tissue) > 1 else 0.0
            k0 = min(int(u), len(tissue) - 1)
            k1 = min(k0 + 1, len(tissue) - 1)
            w = u - k0
        for gi, img in enumerate(imgs):
            for c in set(clutter):
                frame = img
                if c:
                    frame = img + (1 - w) * tissue[k0][gi] + w * tissue[k1][gi]
                out_frames[(gi, c)][:, :, t] = frame

    truth = {"frame": tb.frame.astype(np.int64), "x": bx.astype(np.float64), "z": bz.astype(np.float64),
             "bubble": tb.bubble.astype(np.int64), "speed": tb.speed.astype(np.float64),
             "amplitude": tb.amplitude.astype(np.float64)}
    result: Dict[Tuple[str, bool], Acquisition] = {}
    for gi, (g, parts) in enumerate(zip(scan.grids, grid_parts)):
        for c in clutter:
            info = {"kind": "realistic", "config": dataclasses.asdict(cfg), "grid": grid_name(parts),
                    "clutter": c, "lambda_mm": scan.lam_mm, "noise_std": noise_std,
                    "snr_db_measured": 20 * np.log10(peak[gi] / (noise_std * unit_rms[gi])),
                    "psf": psf[gi], "psf_sigma_px": psf[gi]["sigma_px"], "vessels": vessels}
            result[(grid_name(parts), c)] = Acquisition(
                frames=out_frames[(gi, c)], axes="zxt", pixel_size=(g["dz"], g["dx"]),
                origin=(float(g["z"][0]), float(g["x"][0])), frame_rate=float(cfg.frame_rate_hz),
                truth=dict(truth), info=info)
    return result


def realistic_psf(positions_mm: Sequence[Tuple[float, float]], *, grid: Union[str, Sequence[int]] = "lambda/2",
                  **kw) -> List[Dict[str, Tuple[float, float]]]:
    """The PSF of the realistic probe at (x, z) positions in mm, one noise-free bubble at a time: a free-width
    Gaussian fitted to the envelope gives ``sigma_px``, ``fwhm_px``, ``fwhm_mm`` (x, z) and the offset of its
    centre from the bubble, ``centre_offset_mm``. Settings as for :func:`simulate_realistic`."""
    cfg = _realistic_config(1, None, 0, kw)
    with _one_blas_thread():
        scan = _Scanner(cfg, [parse_grid(grid)])
        g = scan.grids[0]
        out = []
        for x, z in positions_mm:
            env = np.abs(scan.image(np.array([x]), np.array([z]), np.array([1.0]))[0])
            (sx, sz), (ox, oz) = _gaussian_width(env)
            out.append({"position_mm": (float(x), float(z)), "sigma_px": (sx, sz),
                        "fwhm_px": (2.3548 * sx, 2.3548 * sz),
                        "fwhm_mm": (2.3548 * sx * g["dx"], 2.3548 * sz * g["dz"]),
                        "centre_offset_mm": (float(g["x"][0] + ox * g["dx"] - x), float(g["z"][0] + oz * g["dz"] - z))})
    return out


def simulate_realistic(*, frames: Optional[int] = None, grid: Union[str, Sequence[int]] = "lambda/2",
                       bubbles: Union[str, float, None] = "sparse", clutter: bool = True, seed: int = 0,
                       progress: bool = False, **kw) -> Acquisition:
    """Beamformed complex IQ of a linear probe imaging microbubbles (needs ``pip install 'sonaloc[sim]'``).

    A 128-element 7.6 MHz linear array (L11-5v-like, pitch 0.3 mm) sends
    plane waves at -5, 0 and +5 degrees; the simulator (pymust) computes the
    echoes of the bubbles on every element, white Gaussian channel noise is
    added, the records are I/Q-demodulated, delay-and-sum beamformed
    (f-number 1.5) and the three angles compounded coherently, at 1000
    compounded frames per second (the bubbles are taken as still during the
    transmissions of one frame, 0.67 ms apart at most: at 25 mm/s they move
    17 um, a sixth of a pixel). The field is 8 mm wide (centred on the
    probe) from 8 to 16 mm deep; ``grid`` sets its pixel size:
    ``"lambda/2"`` (default, 0.101 mm, 79 x 79 pixels) or
    ``"lambda/2xlambda/4"`` (lambda/2 lateral, lambda/4 axial: the PSF
    is then about round, 158 x 79 pixels).

    The bubbles flow in the phantom's vessel trees: ``"sparse"`` (4 in the
    field on average, at least 1 mm apart), ``"dense"`` (16, at least
    0.4 mm apart: their spots touch) or a mean number. With ``clutter``
    the frames also hold tissue: 20 scatterers per mm^2, 30 dB brighter
    (``clutter_db``) than a median bubble, drifting 20 um in depth over the
    acquisition (slow motion: an SVD filter removes it). ``snr_db``
    (default 20) sets the channel noise. Other settings of
    :class:`RealisticConfig` can be given by name.

    Frames are ``zxt`` complex64, frame axis slowest. ``info["psf"]`` holds
    the PSF measured on a bubble at the centre of the field (Gaussian sigma
    and FWHM per axis, x then z).

    Run time (one core of a shared 2-core machine): about 0.3 s per frame
    plus 10-20 s of set-up (beamforming matrices, calibration, tissue); the
    default 128 frames take about 50 s. :func:`simulate_realistic_set`
    makes several grids and clutter settings for little more than one."""
    acqs = simulate_realistic_set(grids=(grid,), clutter=(clutter,), frames=frames, bubbles=bubbles, seed=seed,
                                  progress=progress, **kw)
    return next(iter(acqs.values()))


# ----------------------------------------------------------------------------- files

_SPATIAL_NAMES = {"z": ("dz", "z0"), "x": ("dx", "x0"), "y": ("dy", "y0")}
TRUTH_COLUMNS = ("frame", "x", "z", "y", "bubble", "speed", "amplitude")


def truth_path(path: Union[str, os.PathLike]) -> str:
    """The ground-truth file beside an acquisition: ``acq.npz`` -> ``acq.truth.npz``."""
    p = os.fspath(path)
    base = p[:-4] if p.lower().endswith(".npz") else p
    return base + ".truth.npz"


def _save_npz(final: str, arrays: Dict[str, np.ndarray]) -> str:
    """Writes an uncompressed .npz under a temporary name beside `final`; returns that name."""
    directory = os.path.dirname(os.path.abspath(final))
    fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(final) + ".", suffix=".part", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            np.savez(f, **arrays)
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(tmp, 0o666 & ~mask)  # the permissions of a file created the ordinary way
    except BaseException:
        os.unlink(tmp)
        raise
    return tmp


def write_acquisition(path: Union[str, os.PathLike], acq: Acquisition) -> Tuple[str, str]:
    """Writes `acq` to `path` (.npz) and its truth to :func:`truth_path` (path).

    The acquisition file holds ``frames`` and the scalars ``dz``, ``dx``
    (, ``dy``) in mm, ``z0``, ``x0`` (, ``y0``) in mm (centre of the first
    pixel) and ``frame_rate`` in Hz; the truth file the 1-D truth arrays.
    Both are written to temporary names in the target folder and renamed
    when complete, so a failure leaves nothing under the final names.
    Returns both paths."""
    path = os.fspath(path)
    if not path.lower().endswith(".npz"):
        raise ValueError(f"acquisitions are written as .npz files: give a name ending in .npz, not {path!r}")
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise ValueError(f"the folder {directory!r} does not exist: create it first")
    if not os.access(directory, os.W_OK):
        raise ValueError(f"the folder {directory!r} is not writable: choose another --out")
    spatial = acq.axes.replace("t", "")
    if acq.frames.ndim != len(acq.axes) or sorted(acq.axes) not in (sorted("zxt"), sorted("zxyt")):
        raise ValueError(f"axes {acq.axes!r} do not fit frames of shape {acq.frames.shape}")
    arrays: Dict[str, np.ndarray] = {"frames": acq.frames}
    for axis, size, origin in zip(spatial, acq.pixel_size, acq.origin):
        d, o = _SPATIAL_NAMES[axis]
        arrays[d] = np.float64(size)
        arrays[o] = np.float64(origin)
    arrays["frame_rate"] = np.float64(acq.frame_rate)
    truth = {k: np.asarray(acq.truth[k]) for k in TRUTH_COLUMNS if k in acq.truth}
    tpath = truth_path(path)
    tmp_truth = _save_npz(tpath, truth)
    try:
        tmp_acq = _save_npz(path, arrays)
    except BaseException:
        os.unlink(tmp_truth)
        raise
    try:
        os.replace(tmp_truth, tpath)
        os.replace(tmp_acq, path)
    except BaseException:
        for p in (tmp_truth, tmp_acq):
            if os.path.exists(p):
                os.unlink(p)
        raise
    return path, tpath


def read_acquisition(path: Union[str, os.PathLike], truth: Optional[Union[str, os.PathLike]] = None) -> Acquisition:
    """Reads a file written by :func:`write_acquisition` (and its truth, when present)."""
    path = os.fspath(path)
    with np.load(path) as z:
        frames = z["frames"]
        axes = {3: "zxt", 4: "zxyt"}.get(frames.ndim)
        if axes is None:
            raise ValueError(f"{path}: frames of rank {frames.ndim}; expected 3 (zxt) or 4 (zxyt)")
        spatial = axes[:-1]
        pixel = tuple(float(z[_SPATIAL_NAMES[a][0]]) for a in spatial)
        origin = tuple(float(z[_SPATIAL_NAMES[a][1]]) if _SPATIAL_NAMES[a][1] in z else 0.0 for a in spatial)
        rate = float(z["frame_rate"])
    tpath = os.fspath(truth) if truth is not None else truth_path(path)
    t: Dict[str, np.ndarray] = {}
    if truth is not None or os.path.exists(tpath):
        with np.load(tpath) as z:
            t = {k: z[k] for k in z.files}
    return Acquisition(frames, axes, pixel, origin, rate, t)


# ----------------------------------------------------------------------------- command line


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The options of ``sonaloc-ulm simulate``."""
    parser.add_argument("--out", required=True, metavar="FILE",
                        help="acquisition to write (.npz); the truth goes to FILE with .truth.npz")
    parser.add_argument("--realistic", action="store_true",
                        help="beamformed IQ of a linear probe simulated with pymust (slow; pip install 'sonaloc[sim]')")
    parser.add_argument("--frames", type=int, metavar="N",
                        help="number of frames (phantom: 2000 in 2D, 300 in 3D; realistic: 128)")
    parser.add_argument("--seed", type=int, default=0, metavar="S", help="seed of the simulation (default 0)")
    parser.add_argument("--bubbles", metavar="B",
                        help="mean number of bubbles in the field of view (phantom: 15 in 2D, 20 in 3D); "
                             "realistic: sparse (default), dense or a number")
    phantom = parser.add_argument_group("phantom (default)")
    phantom.add_argument("--3d", dest="three_d", action="store_true", help="volumes (zxyt)")
    phantom.add_argument("--size", type=int, nargs="+", metavar="N",
                         help="grid size in pixels, one value or one per axis (x, z[, y])")
    phantom.add_argument("--snr", type=float, default=20.0,
                         help="median bubble amplitude over noise std (default 20)")
    real = parser.add_argument_group("realistic (--realistic)")
    real.add_argument("--grid", default="lambda/2",
                      help="pixel size: lambda/2 (default) or lambda/2xlambda/4 (lateral x axial)")
    real.add_argument("--no-clutter", dest="clutter", action="store_false", help="no tissue, only bubbles and noise")
    real.add_argument("--snr-db", type=float, default=20.0,
                      help="beamformed median bubble peak over rms noise, in dB (default 20)")
    real.add_argument("--clutter-db", type=float, default=30.0,
                      help="tissue rms over median bubble peak, in dB (default 30)")
    parser.add_argument("--quiet", action="store_true", help="print nothing but errors")


def _number(text: str, what: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise ValueError(f"{what} must be a number, got {text!r}") from None


def main_from_args(args: argparse.Namespace) -> int:
    """Runs ``sonaloc-ulm simulate`` with parsed arguments; 0 on success, 2 (one line on stderr) on bad input."""
    try:
        out = os.fspath(args.out)
        if not out.lower().endswith(".npz"):
            raise ValueError(f"acquisitions are written as .npz files: give --out a name ending in .npz, not {out!r}")
        directory = os.path.dirname(os.path.abspath(out))
        if not os.path.isdir(directory) or not os.access(directory, os.W_OK):
            raise ValueError(f"cannot write into {directory!r}: the folder must exist and be writable")
        if args.realistic:
            if args.three_d or args.size is not None:
                raise ValueError("--3d and --size are phantom options; realistic acquisitions are 2D, 8 x 8 mm")
            bubbles = args.bubbles
            if bubbles is not None and bubbles not in BUBBLE_PRESETS:
                bubbles = _number(bubbles, "--bubbles")
            acq = simulate_realistic(frames=args.frames, grid=args.grid, bubbles=bubbles, clutter=args.clutter,
                                     seed=args.seed, snr_db=args.snr_db, clutter_db=args.clutter_db,
                                     progress=not args.quiet)
        else:
            bubbles = None if args.bubbles is None else _number(args.bubbles, "--bubbles")
            acq = simulate_phantom(frames=args.frames, size=args.size, three_d=args.three_d, snr=args.snr,
                                   bubbles=bubbles, seed=args.seed)
        paths = write_acquisition(out, acq)
    except (ValueError, TypeError, OSError) as e:  # MissingSimulator is an ImportError, an OSError is not
        print(f"sonaloc-ulm simulate: error: {e}", file=sys.stderr)
        return 2
    except ImportError as e:
        print(f"sonaloc-ulm simulate: error: {e}", file=sys.stderr)
        return 2
    if not args.quiet:
        shape = " x ".join(f"{n}{a}" for n, a in zip(acq.frames.shape, acq.axes))
        psf = ""
        if "psf" in acq.info:
            fx, fz = acq.info["psf"]["fwhm_px"]
            psf = f", PSF FWHM {fx:.1f} x {fz:.1f} px (x, z)"
        print(f"wrote {paths[0]} ({acq.info.get('kind', 'simulated')}, {acq.frames.dtype} {shape}, "
              f"{acq.n_frames / acq.frame_rate:g} s at {acq.frame_rate:g} Hz{psf}) and {paths[1]} "
              f"({len(acq.truth['frame'])} bubble positions)")
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="sonaloc-ulm simulate",
                                     description="Write a simulated acquisition and its ground truth.")
    add_arguments(parser)
    return main_from_args(parser.parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
