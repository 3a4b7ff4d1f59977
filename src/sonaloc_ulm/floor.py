"""The noise floor: estimate on a subsample per block, subtraction with clipping.

Beamformed noise is positive and full of small maxima; the 2D localizer
refines only windows with at most two positive maxima. Subtracting the median
plus ``k`` robust standard deviations (1.4826 x the median absolute
deviation) and clipping at 0 leaves the bubbles on a background of zeros.

The floor is estimated per depth row (``mode="depth"``, the default: the
noise of beamformed images changes with depth) or once per block
(``"global"``), from a deterministic subsample of the block (a few frames
spread over it, a stride over the lateral axes), so it costs a small part of
the detection and depends only on the block's content.

The subtraction also divides by the robust sigma, so the cleaned frames are in
units of noise standard deviations above the floor and one threshold holds at
every depth: ``clean = max((envelope - median) / sigma - k, 0)``.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .errors import UlmError


@dataclass
class Floor:
    """Background median and robust sigma, per depth row (shape (nz,)) or scalar (shape (1,))."""

    median: np.ndarray
    sigma: np.ndarray
    k: float

    def summary(self) -> dict:
        return {"median": float(np.median(self.median)), "sigma": float(np.median(self.sigma)),
                "sigma_min": float(self.sigma.min()), "sigma_max": float(self.sigma.max())}


def sample_frames(n_frames: int, frame_pixels: int, samples: int) -> np.ndarray:
    """Indices of the frames of a block that the floor is estimated on: evenly spread,
    as few as give ``samples`` pixels."""
    frames = max(1, min(n_frames, int(np.ceil(samples / max(frame_pixels, 1)))))
    return np.unique(np.linspace(0, n_frames - 1, frames).round().astype(np.int64))


def floor_sample(env: np.ndarray, samples: int, per_depth: bool) -> np.ndarray:
    """A deterministic subsample of ``env`` (frames, ..., z): shape (nz, m) or (1, m).

    Every ``s``-th pixel along the lateral axes of the given frames, every
    depth row; about ``samples`` values in all."""
    nt = env.shape[0]
    nz = env.shape[-1]
    lateral = int(np.prod(env.shape[1:-1]))
    stride = max(1, int(lateral * nz * nt // samples))
    sub = env.reshape(nt, lateral, nz)[:, ::stride, :]
    sub = np.moveaxis(sub, -1, 0).reshape(nz, -1)
    return sub if per_depth else sub.reshape(1, -1)


def _median(s: np.ndarray) -> np.ndarray:
    """Median of every row (the upper middle value for an even count), by partition."""
    k = s.shape[1] // 2
    return np.partition(s, k, axis=1)[:, k]


def _smooth(v: np.ndarray, rows: int = 5) -> np.ndarray:
    """Moving average over ``rows`` depth rows (edges: the rows there are)."""
    if len(v) < 3:
        return v
    kern = np.ones(min(rows, len(v) | 1))
    num = np.convolve(v, kern, mode="same")
    den = np.convolve(np.ones_like(v), kern, mode="same")
    return num / den


def estimate_floor(env: np.ndarray, k: float = 3.0, mode: str = "depth", samples: int = 32768) -> Floor:
    """Median and robust sigma of the background of envelopes (frames, x[, y], z).

    ``env`` holds the sampled frames of a block (:func:`sample_frames`); the
    estimate uses about ``samples`` of their pixels. Per depth row, the two
    profiles are smoothed over 5 rows. Raises :class:`UlmError` when the
    frames are all NaN or constant (nothing to detect)."""
    s = floor_sample(env, samples, mode == "depth")
    if np.isnan(s).any():
        if np.isnan(s).all():
            raise UlmError("the frames are all NaN; check the dataset (--dataset) and the file")
        med = np.nanmedian(s, axis=1)
        mad = np.nanmedian(np.abs(s - med[:, None]), axis=1)
    else:
        med = _median(s)
        mad = _median(np.abs(s - med[:, None]))
    med = np.nan_to_num(med).astype(np.float64)
    sigma = 1.4826 * np.nan_to_num(mad).astype(np.float64)
    flat = sigma <= 0
    if flat.any():  # more than half the samples equal (zero padding, saturation): fall back on the std
        std = np.nanstd(s[flat], axis=1) if s.shape[0] > 1 else np.atleast_1d(np.nanstd(s))
        sigma[flat] = np.nan_to_num(std)
    if not (sigma > 0).any():
        v = float(np.nanmedian(s))
        raise UlmError(f"the frames are constant (every sampled pixel is {v:g}): nothing to detect; "
                       "check the dataset (--dataset) and the file")
    if mode == "depth":
        good = sigma > 0
        med = np.where(good, _smooth(med), med)
        sigma = np.where(good, _smooth(sigma), 0.0)
    return Floor(median=med.astype(np.float32), sigma=sigma.astype(np.float32), k=float(k))


def subtract_floor(env: np.ndarray, floor: Floor, out: "np.ndarray | None" = None) -> np.ndarray:
    """``max((env - median) / sigma - k, 0)`` per depth row, float32; NaN becomes 0.

    ``env`` is (frames, x[, y], z); the result goes to ``out`` (may be
    ``env`` itself; None: a new array). Rows whose sigma is 0 become 0."""
    with np.errstate(divide="ignore"):
        inv = np.where(floor.sigma > 0, 1.0 / floor.sigma.astype(np.float64), 0.0)
    a = inv.astype(np.float32)
    b = (-(floor.median.astype(np.float64) * inv) - floor.k).astype(np.float32)
    b[floor.sigma <= 0] = 0.0
    # per depth row, spread over a whole frame: long inner loops, not one per row
    frame = env.shape[1:]
    a = np.broadcast_to(a, frame).copy() if len(a) > 1 else a[0]
    b = np.broadcast_to(b, frame).copy() if len(b) > 1 else b[0]
    if env.dtype != np.float32:
        env = env.astype(np.float32)
    out = np.multiply(env, a, out=out)
    np.add(out, b, out=out)
    np.fmax(out, np.zeros(frame, dtype=np.float32), out=out)  # (an array: faster than a scalar 0)
    return out
