"""The point-spread function: its width measured from the data, the choices made from
it (resampling, window, method, minimum distance), and the resampling itself.

Widths are Gaussian sigmas in pixels per module axis (x, z) or (x, y, z),
from the full width at half maximum of the brightest isolated spots
(sigma = FWHM / 2.3548), median over the spots.

Choices:
- a PSF anisotropic beyond 1.5:1 is made round by resampling the finer axes
  (linear interpolation, upsampling only, at most ``max_resample`` per axis;
  a whole factor where it leaves the spot round within 1.25:1, which
  interpolates by slices): radial symmetry assumes a round spot. Where that
  is switched off or not enough, a warning says so;
- sigma below 0.8 pixel on an axis is brought to 1 pixel the same way;
- the window is 2 sigma/pixel + 3 pixels, odd, at least 7 (7 up to sigma 2):
  on floor-subtracted frames the spot is narrower than its sigma says, and
  every larger window takes in more noise maxima;
- Gaussian fitting (the module's fit has a fixed width of 1 pixel) where every
  sigma lies in 0.8-2.0 pixels, else radial symmetry: the fit is best at
  0.8-1.2, and on beamformed PSFs of 1.5-1.7 pixels it still localizes as well
  as radial symmetry or better, with fewer outliers;
- the minimum distance between detections is 2 sigmas (at least 1.5 pixel).
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Sequence, Tuple

import numpy as np

import sonaloc

FWHM_PER_SIGMA = 2.0 * math.sqrt(2.0 * math.log(2.0))
ANISOTROPY_LIMIT = 1.5
ROUND_ENOUGH = 1.25  # a whole resampling factor is taken when it leaves the PSF this round
GAUSSIAN_FIT_MAX = 2.0  # sigma/pixel up to which the fixed-width Gaussian fit is chosen


def _half_width(profile: np.ndarray) -> np.ndarray:
    """Distance (pixels, sub-pixel) from the centre of each row of ``profile`` (m, 2R+1),
    normalised to 1 at the centre, to the first sample below 0.5, on each side; NaN if none."""
    m, n = profile.shape
    r = n // 2
    out = np.full((m, 2), np.nan)
    for side, seg in enumerate((profile[:, r:], profile[:, r::-1])):
        below = seg < 0.5
        has = below.any(axis=1)
        i = np.argmax(below, axis=1)
        ok = has & (i > 0)
        rows = np.nonzero(ok)[0]
        hi = seg[rows, i[ok] - 1]
        lo = seg[rows, i[ok]]
        frac = (hi - 0.5) / np.where(hi - lo > 0, hi - lo, 1.0)
        out[rows, side] = i[ok] - 1 + frac
    return out


def measure_psf(clean: np.ndarray, threshold: float, offset: float = 0.0, max_frames: int = 40,
                per_frame: int = 20, radius: int = 15) -> Tuple[Optional[Tuple[float, ...]], int]:
    """PSF sigma per module axis (pixels) from floor-subtracted frames (frames, x[, y], z).

    ``offset`` is what the subtraction took off above the background (k of
    the floor, in the frames' units): the half maximum is taken above the
    background, not above the clipped floor.

    Uses the ``per_frame`` brightest peaks of up to ``max_frames`` frames
    spread over the stack, at least 3 sigma-units above the threshold and at
    least 2 radius apart from each other; returns (sigmas or None when no spot
    was found, the number of spots used)."""
    nt = clean.shape[0]
    shape = clean.shape[1:]
    dims = len(shape)
    idx = np.unique(np.linspace(0, nt - 1, min(nt, max_frames)).round().astype(np.int64))
    extent: Tuple[float, ...] = ()
    for n in shape:
        extent += (0.0, float(n - 1))
    widths: List[np.ndarray] = []
    level = max(float(threshold), 0.0) + 3.0
    for t in idx:
        frame = clean[t]
        if dims == 2:
            pos, inten = sonaloc.rs_detect_peaks(frame, extent, level, float(radius), None, None, None)
        else:
            pos, inten, _ = sonaloc.rs_detect_peaks3d(frame, extent, level, float(radius), None, None, None,
                                                      None, per_frame)
        if len(pos) == 0:
            continue
        # keep peaks isolated from every other peak above the threshold
        pos = np.rint(pos[:per_frame]).astype(np.int64)
        inten = inten[:per_frame]
        per_axis = np.full((len(pos), dims), np.nan)
        for a in range(dims):
            offs = np.arange(-radius, radius + 1)
            coords = pos[:, a][:, None] + offs[None, :]
            inside = (coords >= 0) & (coords < shape[a])
            coords = np.clip(coords, 0, shape[a] - 1)
            index = [np.repeat(pos[:, b][:, None], len(offs), 1) for b in range(dims)]
            index[a] = coords
            vals = frame[tuple(index)].astype(np.float64)
            vals = np.where(vals > 0, vals + offset, 0.0)
            prof = vals / (inten[:, None] + offset)
            prof[~inside] = np.nan
            hw = _half_width(np.nan_to_num(prof, nan=-1.0))
            hw[~np.isfinite(hw).all(axis=1)] = np.nan
            per_axis[:, a] = hw.sum(axis=1)  # full width at half maximum
        widths.append(per_axis)
    if not widths:
        return None, 0
    w = np.concatenate(widths)
    w = w[np.isfinite(w).all(axis=1)]
    if len(w) == 0:
        return None, 0
    sig = np.median(w, axis=0) / FWHM_PER_SIGMA
    return tuple(float(s) for s in sig), int(len(w))


@dataclass
class Choices:
    """What the pipeline does from the PSF (module axis order)."""

    sigma_px: Tuple[float, ...]  # measured (or given) sigma per axis, pixels of the acquisition
    factors: Tuple[float, ...]  # resampling factor per axis (1 = none)
    sigma_resampled_px: Tuple[float, ...]  # sigma per axis on the processing grid
    method: str
    window: int
    min_distance_px: float
    warnings: List[str] = field(default_factory=list)

    @property
    def anisotropy(self) -> float:
        return max(self.sigma_px) / min(self.sigma_px)

    def to_dict(self) -> Dict[str, object]:
        return {"sigma_px": list(self.sigma_px), "anisotropy": self.anisotropy, "resample_factors": list(self.factors),
                "sigma_resampled_px": list(self.sigma_resampled_px), "method": self.method, "window": self.window,
                "min_distance_px": self.min_distance_px}


def choose(sigma_px: Sequence[float], *, resample: bool = True, max_resample: float = 4.0,
           method: Optional[str] = None, window: Optional[int] = None, min_distance_px: Optional[float] = None,
           axis_names: str = "xz") -> Choices:
    """The resampling, window, method and minimum distance for a PSF of ``sigma_px`` (pixels per axis)."""
    s = np.asarray(sigma_px, dtype=float)
    warnings: List[str] = []
    target = None
    if s.max() / s.min() > ANISOTROPY_LIMIT:
        target = float(s.max())
    if s.min() < 0.8:
        target = max(target or 0.0, 1.0)
    factors = np.ones_like(s)
    if target is not None:
        want = np.maximum(target / s, 1.0)
        if resample:
            factors = np.minimum(want, max_resample)
            factors[factors < 1.05] = 1.0
            whole = np.maximum(np.round(factors), 1.0)  # whole factors interpolate by slices, several times faster
            after = s * whole
            if after.max() / after.min() <= ROUND_ENOUGH and after.min() >= 0.8:
                factors = whole
        after = s * factors
        ratio = after.max() / after.min()
        desc = " x ".join(f"{v:.2f}" for v in s)
        if ratio > ANISOTROPY_LIMIT:
            why = ("resampling is off (resample = false)" if not resample else
                   f"the resampling is limited to {max_resample:g}x per axis (max_resample)")
            warnings.append(f"the PSF is anisotropic ({desc} pixels along {', '.join(axis_names)}, "
                            f"{ratio:.1f}:1 after resampling) and {why}: radial symmetry assumes a round spot "
                            "and loses part of the offsets along the wide axis")
        if after.min() < 0.8:
            warnings.append(f"the PSF is narrower than 0.8 pixel ({desc} pixels): localization is off by "
                            "0.1-0.2 pixel; use a finer grid or allow resampling")
    after = s * factors
    if method is None:
        method = "gaussian_fitting" if bool(np.all((after >= 0.8) & (after <= GAUSSIAN_FIT_MAX))) else "radial_symmetry"
    if window is None:
        window = int(round(2.0 * after.max() + 3.0))
        window += 1 - window % 2
        window = min(max(window, 7), 31)
    if min_distance_px is None:
        min_distance_px = max(1.5, 2.0 * float(after.max()))
    return Choices(sigma_px=tuple(float(v) for v in s), factors=tuple(float(f) for f in factors),
                   sigma_resampled_px=tuple(float(v) for v in after), method=method, window=int(window),
                   min_distance_px=float(min_distance_px), warnings=warnings)


def resampled_shape(shape: Sequence[int], factors: Sequence[float]) -> Tuple[int, ...]:
    """Pixels per axis after resampling by ``factors`` (first and last pixel centres kept)."""
    return tuple(n if f == 1.0 else int(round((n - 1) * f)) + 1 for n, f in zip(shape, factors))


def resampled_pixel_size(shape: Sequence[int], pixel_size: Sequence[float],
                         factors: Sequence[float]) -> Tuple[float, ...]:
    """Pixel size per axis after resampling (the grid spans the same first to last centre)."""
    new = resampled_shape(shape, factors)
    return tuple(p if n == m else p * (n - 1) / (m - 1) for n, m, p in zip(shape, new, pixel_size))


def _resample_whole(block: np.ndarray, ks: Sequence[int]) -> np.ndarray:
    """Resampling by whole factors: the old pixels keep their values on the new grid
    (every k-th pixel per axis); the new ones are linear blends of their two
    neighbours, one axis after the other (read from ``block`` for the first axis,
    from the axes done before for the next)."""
    res = np.empty((block.shape[0],) + resampled_shape(block.shape[1:], ks), dtype=np.float32)
    res[(slice(None),) + tuple(slice(None, None, k) for k in ks)] = block
    src = block
    for a, k in enumerate(ks):
        if k == 1:
            continue
        ax = a + 1
        m = res.shape[ax]
        # along the axes done already every pixel is set; along the others only the old ones
        base = [slice(None)] + [slice(None) if b < a else slice(None, None, kb) for b, kb in enumerate(ks)]

        def along(arr: np.ndarray, sl: slice) -> np.ndarray:
            idx = list(base) if arr is res else [slice(None)] * arr.ndim
            idx[ax] = sl
            return arr[tuple(idx)]

        n = src.shape[ax]
        lo = along(src, slice(0, n - 1) if src is block else slice(0, m - 1, k))
        hi = along(src, slice(1, n) if src is block else slice(k, m, k))
        for r in range(1, k):  # each blend computed contiguous, then put in its strided place
            if k == 2:  # the midpoint
                blend = lo + hi
                blend *= np.float32(0.5)
            else:
                blend = hi - lo
                blend *= np.float32(r / k)
                blend += lo
            along(res, slice(r, m - 1, k))[...] = blend
        src = res
    return res


def resample(block: np.ndarray, factors: Sequence[float]) -> np.ndarray:
    """Linear interpolation of a block (frames, x[, y], z) onto the grid of ``factors`` per spatial axis.

    float32 in, float32 out; the first and last pixel centres of every axis are kept."""
    if all(f == 1.0 for f in factors):
        return block
    if all(float(f).is_integer() and f >= 1 for f in factors):
        return _resample_whole(block, [int(f) for f in factors])
    out = block
    for a, f in enumerate(factors):
        if f == 1.0:
            continue
        if float(f).is_integer():  # this axis alone by its whole factor
            out = _resample_whole(out, [int(f) if b == a else 1 for b in range(len(factors))])
            continue
        ax = a + 1
        n = out.shape[ax]
        m = resampled_shape([n], [f])[0]
        u = np.arange(m, dtype=np.float64) * ((n - 1) / (m - 1))
        i0 = np.minimum(np.floor(u).astype(np.int64), n - 2)
        w = (u - i0).astype(np.float32)
        shape = [1] * out.ndim
        shape[ax] = m
        w = w.reshape(shape)
        lo = np.take(out, i0, axis=ax)
        hi = np.take(out, i0 + 1, axis=ax)
        hi -= lo
        hi *= w
        lo += hi
        out = lo
    return out
