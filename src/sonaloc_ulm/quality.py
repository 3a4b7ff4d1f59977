"""Quality figures: Fourier ring correlation, saturation, and (with a ground truth)
RMSE, precision, recall and Jaccard index of the localizations."""
from __future__ import annotations

import math
from typing import Dict, Sequence

import numpy as np

from .errors import UlmError
from .maps import density_only, subset

FRC_THRESHOLD = 1.0 / 7.0


def frc(image_a: np.ndarray, image_b: np.ndarray, pixel: float) -> Dict[str, object]:
    """Fourier ring correlation of two 2D images of ``pixel`` mm.

    Returns the curve over ring frequencies (1/mm) and the resolution: the
    inverse of the first frequency where the curve falls below 1/7 (None when
    it never does, or when an image is empty)."""
    a = np.asarray(image_a, dtype=np.float64)
    b = np.asarray(image_b, dtype=np.float64)
    if a.sum() == 0 or b.sum() == 0:
        return {"frequency": [], "curve": [], "resolution_mm": None}
    win = np.outer(np.hanning(a.shape[0]), np.hanning(a.shape[1]))
    # Real images: the half spectrum, its mirrored columns counted twice,
    # gives the sums over the whole one at half the cost.
    fa = np.fft.rfft2((a - a.mean()) * win)
    fb = np.fft.rfft2((b - b.mean()) * win)
    fx = np.fft.fftfreq(a.shape[0], d=pixel)
    fy = np.fft.rfftfreq(a.shape[1], d=pixel)
    twice = np.full(fy.shape, 2.0)
    twice[0] = 1.0
    if a.shape[1] % 2 == 0:
        twice[-1] = 1.0  # the Nyquist column is its own mirror
    r = np.sqrt(fx[:, None] ** 2 + fy[None, :] ** 2)
    step = 1.0 / (max(a.shape) * pixel)
    nyq = 0.5 / pixel
    ring = np.floor(r / step).astype(np.int64)
    nb = int(nyq / step)
    sel = ring < nb
    weight = np.broadcast_to(twice, ring.shape)[sel]
    num = np.bincount(ring[sel], (fa.real * fb.real + fa.imag * fb.imag)[sel] * weight, nb)
    pa = np.bincount(ring[sel], (fa.real ** 2 + fa.imag ** 2)[sel] * weight, nb)
    pb = np.bincount(ring[sel], (fb.real ** 2 + fb.imag ** 2)[sel] * weight, nb)
    with np.errstate(invalid="ignore", divide="ignore"):
        curve = num / np.sqrt(pa * pb)
    freq = (np.arange(nb) + 0.5) * step
    curve = np.nan_to_num(curve)
    resolution = None
    below = np.nonzero(curve[1:] < FRC_THRESHOLD)[0]
    if len(below):
        i = below[0] + 1
        c0, c1 = curve[i - 1], curve[i]
        f = freq[i - 1] + (c0 - FRC_THRESHOLD) / (c0 - c1) * step if c0 != c1 else freq[i]
        resolution = float(1.0 / f)
    return {"frequency": freq.tolist(), "curve": curve.tolist(), "resolution_mm": resolution}


def _project(img: np.ndarray) -> np.ndarray:
    return img.sum(axis=1) if img.ndim == 3 else img  # 3D (x, y, z): along y


def frc_halves(matrix: np.ndarray, ends: np.ndarray, extent, pixel: float) -> Dict[str, object]:
    """FRC between the density maps of the even- and the odd-numbered tracks (3D: projected along y)."""
    n = len(ends)
    if n < 2:
        return {"frequency": [], "curve": [], "resolution_mm": None}
    even = np.arange(n) % 2 == 0
    maps = []
    for keep in (even, ~even):
        m, e = subset(matrix, ends, keep)
        maps.append(_project(density_only(m, e, extent, pixel)))
    return frc(maps[0], maps[1], pixel)


def saturation(matrix: np.ndarray, ends: np.ndarray, last_frame: np.ndarray, n_frames: int, extent,
               pixel: float, points: int = 12) -> Dict[str, object]:
    """Share of filled pixels (at least one track passage) against the number of frames.

    ``last_frame``: the last frame of every track; a track counts from the
    frame it ends in. Also the frames needed to reach 90 % of the final share."""
    if len(ends) == 0 or n_frames < 1:
        return {"frames": [], "filled_fraction": [], "frames_to_90_percent": None}
    steps = np.unique(np.linspace(0, n_frames, points + 1)[1:].round().astype(np.int64))
    frac = []
    for t in steps:
        m, e = subset(matrix, ends, last_frame < t)
        if len(e) == 0:
            frac.append(0.0)
            continue
        c = density_only(m, e, extent, pixel)
        frac.append(float(np.count_nonzero(c)) / c.size)
    final = frac[-1]
    t90 = next((int(t) for t, f in zip(steps, frac) if final > 0 and f >= 0.9 * final), None)
    return {"frames": steps.tolist(), "filled_fraction": frac, "frames_to_90_percent": t90}


def load_truth(path: str, three_d: bool) -> Dict[str, np.ndarray]:
    """Reads a ground-truth .npz (frame, x, z[, y] in mm)."""
    cols = ("frame", "x", "y", "z") if three_d else ("frame", "x", "z")
    try:
        with np.load(path, allow_pickle=False) as z:
            missing = [c for c in cols if c not in z.files]
            if missing:
                raise UlmError(f"the truth file {path} lacks {', '.join(missing)} "
                               f"(it needs 1-D arrays {', '.join(cols)}, positions in mm)")
            truth = {c: np.asarray(z[c]).reshape(-1) for c in cols}
    except UlmError:
        raise
    except Exception as e:
        raise UlmError(f"cannot read the truth file {path}: {e}") from None
    if len({len(v) for v in truth.values()}) != 1:
        raise UlmError(f"the truth file {path} has columns of different lengths")
    return truth


def _pairs_within(det_frame: np.ndarray, frames: np.ndarray, ct: np.ndarray,
                  ts: np.ndarray) -> "tuple[np.ndarray, np.ndarray]":
    """Every (detection, truth) index pair of the same frame. ``frames``: every frame
    number present (sorted), ``ct``/``ts``: count and first row of the sorted truth per frame."""
    f_of_det = np.searchsorted(frames, det_frame)
    per = ct[f_of_det]
    i = np.repeat(np.arange(len(det_frame)), per)
    within = np.arange(len(i)) - np.repeat(np.cumsum(per) - per, per)
    j = np.repeat(ts[f_of_det], per) + within
    return i, j


def match(det: Dict[str, np.ndarray], truth: Dict[str, np.ndarray], radius: float,
          axes: Sequence[str]) -> Dict[str, object]:
    """One-to-one matching of localizations to truth points of the same frame within
    ``radius`` mm, greedy by increasing distance; RMSE (mm), precision, recall, Jaccard."""
    nd, nt = len(det["frame"]), len(truth["frame"])
    figures: Dict[str, object] = {"localizations": int(nd), "truth_points": int(nt), "match_radius_mm": radius}
    if nd == 0 or nt == 0:
        figures.update(matched=0, rmse_mm=None, precision=0.0 if nd else None, recall=0.0 if nt else None,
                       jaccard=0.0)
        return figures
    od = np.argsort(det["frame"], kind="stable")
    ot = np.argsort(truth["frame"], kind="stable")
    df = np.asarray(det["frame"], np.int64)[od]
    tf = np.asarray(truth["frame"], np.int64)[ot]
    pd_ = np.column_stack([np.asarray(det[a], np.float64)[od] for a in axes])
    pt = np.column_stack([np.asarray(truth[a], np.float64)[ot] for a in axes])
    frames = np.union1d(df, tf)
    ts = np.searchsorted(tf, frames, side="left")
    ct = np.searchsorted(tf, frames, side="right") - ts
    ii, jj, dd = [], [], []
    step = max(4096, len(df) // 16)
    for c0 in range(0, len(df), step):  # bounded memory: pairs of a slice of the detections at a time
        i, j = _pairs_within(df[c0:c0 + step], frames, ct, ts)
        i += c0
        d = np.sqrt(((pd_[i] - pt[j]) ** 2).sum(axis=1))
        keep = d <= radius
        ii.append(i[keep])
        jj.append(j[keep])
        dd.append(d[keep])
    i, j, d = np.concatenate(ii), np.concatenate(jj), np.concatenate(dd)
    order = np.lexsort((j, i, d))
    used_d = np.zeros(nd, bool)
    used_t = np.zeros(nt, bool)
    sq = []
    for a, b, v in zip(i[order].tolist(), j[order].tolist(), d[order].tolist()):
        if not used_d[a] and not used_t[b]:
            used_d[a] = used_t[b] = True
            sq.append(v * v)
    tp = len(sq)
    figures.update(matched=int(tp), rmse_mm=float(math.sqrt(np.mean(sq))) if tp else None,
                   precision=tp / nd, recall=tp / nt, jaccard=tp / (nd + nt - tp))
    return figures
