"""A peer ULM pipeline written with the usual scientific-Python tools, for the benchmark.

The same stages as ``sonaloc-ulm run``, done the way a researcher would write
them without sonaloc:

1. SVD clutter filter over the whole acquisition (NumPy), when asked;
2. envelope (absolute value of the IQ);
3. noise floor per frame: median + k robust standard deviations (MAD) of a
   subsample, subtracted and clipped at 0;
4. detection: scikit-image ``peak_local_max`` above 4 noise standard deviations;
5. localization: scipy ``least_squares`` fit of a free-width 2D Gaussian
   (amplitude, centre, one width per axis) on a 7 x 7 window around each peak;
   a fit that fails or leaves the window keeps the pixel centre (unrefined);
6. linking: scipy ``linear_sum_assignment`` from frame to frame, with a
   distance gate from the largest expected speed and the frame rate.

Positions are in mm, as in the acquisition file (``zxt`` frames with
``dz``, ``dx``, ``z0``, ``x0``, ``frame_rate``).
"""
from __future__ import annotations

import time
from typing import Dict, List, Optional, Tuple

import numpy as np
from scipy.optimize import least_squares, linear_sum_assignment
from skimage.feature import peak_local_max


def load(path: str) -> Tuple[np.ndarray, Dict[str, float]]:
    with np.load(path) as z:
        frames = z["frames"]
        geo = {k: float(z[k]) for k in ("dz", "dx", "z0", "x0", "frame_rate")}
    return frames, geo


def svd_filter(frames: np.ndarray, cutoff: int) -> np.ndarray:
    """Removes the `cutoff` strongest components of the (pixels x frames) Casorati matrix."""
    nz, nx, nt = frames.shape
    c = frames.reshape(nz * nx, nt, order="F").astype(np.complex64)
    u, s, vh = np.linalg.svd(c, full_matrices=False)
    s[:cutoff] = 0
    return ((u * s) @ vh).reshape(nz, nx, nt, order="F")


def floor_subtract(env: np.ndarray, k: float = 3.0) -> Tuple[np.ndarray, float]:
    sample = env.reshape(-1)[::7]
    med = float(np.median(sample))
    sigma = 1.4826 * float(np.median(np.abs(sample - med)))
    return np.clip(env - np.float32(med + k * sigma), 0, None), sigma


def _gauss(p, zz, xx):
    a, z0, x0, sz, sx = p
    return a * np.exp(-((zz - z0) ** 2) / (2 * sz * sz) - ((xx - x0) ** 2) / (2 * sx * sx))


def fit_gaussian(win: np.ndarray) -> Optional[Tuple[float, float, float, float]]:
    """Offset (z, x) in pixels of the spot from the window centre and its widths (sigma z, x)
    in pixels, or None when the fit fails."""
    h = win.shape[0] // 2
    zz, xx = np.mgrid[-h:h + 1, -h:h + 1].astype(np.float64)
    w = win.astype(np.float64)
    p0 = [w[h, h], 0.0, 0.0, 1.5, 1.5]
    try:
        r = least_squares(lambda p: (_gauss(p, zz, xx) - w).ravel(), p0,
                          bounds=([0, -h, -h, 0.3, 0.3], [np.inf, h, h, 3 * h, 3 * h]))
    except (ValueError, np.linalg.LinAlgError):
        return None
    if not r.success or max(abs(r.x[1]), abs(r.x[2])) >= h - 0.5:
        return None
    return float(r.x[1]), float(r.x[2]), float(r.x[3]), float(r.x[4])


def localize(frames: np.ndarray, geo: Dict[str, float], svd_cutoff: int = 0, k: float = 3.0,
             threshold_sigmas: float = 4.0, window: int = 7, min_distance: int = 2) -> Dict[str, np.ndarray]:
    """Localizations of every frame: frame, x, z (mm), intensity, refined (bool), and the fitted
    widths sigma_x, sigma_z (pixels; NaN where unrefined)."""
    if svd_cutoff > 0:
        frames = svd_filter(frames, svd_cutoff)
    h = window // 2
    cols: Dict[str, list] = {"frame": [], "x": [], "z": [], "intensity": [], "refined": [], "sigma_x": [],
                             "sigma_z": []}
    for t in range(frames.shape[2]):
        env = np.abs(frames[:, :, t]).astype(np.float32)
        clean, sigma = floor_subtract(env, k)
        peaks = peak_local_max(clean, min_distance=min_distance, threshold_abs=threshold_sigmas * sigma,
                               exclude_border=h)
        for iz, ix in peaks:
            off = fit_gaussian(clean[iz - h:iz + h + 1, ix - h:ix + h + 1])
            dz, dx, sz, sx = off if off is not None else (0.0, 0.0, np.nan, np.nan)
            cols["frame"].append(t)
            cols["z"].append(geo["z0"] + (iz + dz) * geo["dz"])
            cols["x"].append(geo["x0"] + (ix + dx) * geo["dx"])
            cols["intensity"].append(float(clean[iz, ix]))
            cols["refined"].append(off is not None)
            cols["sigma_x"].append(sx)
            cols["sigma_z"].append(sz)
    return {"frame": np.asarray(cols["frame"], np.int64), "x": np.asarray(cols["x"], np.float64),
            "z": np.asarray(cols["z"], np.float64), "intensity": np.asarray(cols["intensity"], np.float64),
            "refined": np.asarray(cols["refined"], bool), "sigma_x": np.asarray(cols["sigma_x"], np.float64),
            "sigma_z": np.asarray(cols["sigma_z"], np.float64)}


def link(loc: Dict[str, np.ndarray], max_distance: float) -> np.ndarray:
    """Track id of every localization: frame-to-frame assignment within `max_distance` (mm)."""
    n = len(loc["frame"])
    track = np.full(n, -1, np.int64)
    if n == 0:
        return track
    order = np.argsort(loc["frame"], kind="stable")
    frames = loc["frame"][order]
    starts = np.searchsorted(frames, np.arange(frames.max() + 2))
    pos = np.column_stack([loc["x"], loc["z"]])[order]
    next_id = 0
    prev: Optional[np.ndarray] = None
    for f in range(len(starts) - 1):
        rows = np.arange(starts[f], starts[f + 1])
        ids = np.full(len(rows), -1, np.int64)
        if prev is not None and len(prev) and len(rows):
            d = np.linalg.norm(pos[prev][:, None, :] - pos[rows][None, :, :], axis=-1)
            cost = np.where(d <= max_distance, d, 1e9)
            i, j = linear_sum_assignment(cost)
            ok = cost[i, j] < 1e9
            ids[j[ok]] = track[order[prev[i[ok]]]]
        new = ids < 0
        ids[new] = np.arange(next_id, next_id + int(new.sum()))
        next_id += int(new.sum())
        track[order[rows]] = ids
        prev = rows
    return track


def run(path: str, svd_cutoff: int = 0, max_speed_mm_s: float = 75.0) -> Dict[str, object]:
    """The whole peer pipeline on one file; returns localizations, tracks and the time taken (s)."""
    t0 = time.perf_counter()
    frames, geo = load(path)
    loc = localize(frames, geo, svd_cutoff)
    track = link(loc, max_speed_mm_s / geo["frame_rate"])
    return {"localizations": loc, "track": track, "seconds": time.perf_counter() - t0,
            "frames": int(frames.shape[2])}


# ----------------------------------------------------------------------------- metrics (shared by both pipelines)


def match(loc: Dict[str, np.ndarray], truth: Dict[str, np.ndarray], radius: float) -> Dict[str, float]:
    """One-to-one matching per frame (optimal assignment within `radius`, mm): RMSE over the matches,
    precision, recall and Jaccard = TP / (TP + FP + FN)."""
    lf, tf = np.asarray(loc["frame"]), np.asarray(truth["frame"])
    sq: List[np.ndarray] = []
    tp = 0
    for f in np.union1d(np.unique(lf), np.unique(tf)):
        a = np.column_stack([loc["x"][lf == f], loc["z"][lf == f]])
        b = np.column_stack([truth["x"][tf == f], truth["z"][tf == f]])
        if len(a) == 0 or len(b) == 0:
            continue
        d = np.linalg.norm(a[:, None, :] - b[None, :, :], axis=-1)
        i, j = linear_sum_assignment(np.where(d <= radius, d, 1e9))
        ok = d[i, j] <= radius
        tp += int(ok.sum())
        sq.append(d[i[ok], j[ok]] ** 2)
    n_loc, n_truth = len(lf), len(tf)
    err = np.concatenate(sq) if sq else np.zeros(0)
    fp, fn = n_loc - tp, n_truth - tp
    return {"rmse_mm": float(np.sqrt(err.mean())) if len(err) else float("nan"),
            "precision": tp / n_loc if n_loc else float("nan"),
            "recall": tp / n_truth if n_truth else float("nan"),
            "jaccard": tp / (tp + fp + fn) if tp + fp + fn else float("nan"),
            "matched": tp, "localizations": n_loc, "truth": n_truth}
