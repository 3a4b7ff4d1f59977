"""Detection and localization per frame, with the module's detectors.

Detection runs on the processing grid in pixel units (extent = first and
last pixel index per axis), so that the minimum distance and the windows are
in pixels of a round PSF; positions are then converted to mm.
"""
from __future__ import annotations

from typing import List, Sequence, Tuple

import numpy as np

import sonaloc


def pixel_extent(shape: Sequence[int]) -> Tuple[float, ...]:
    """Detection extent in pixel units: (0, n - 1) per axis."""
    out: Tuple[float, ...] = ()
    for n in shape:
        out += (0.0, float(n - 1))
    return out


def detect_frames(clean: np.ndarray, threshold: float, min_distance_px: float, method: str,
                  window: int) -> List[Tuple[np.ndarray, np.ndarray]]:
    """Detects and localizes every frame of ``clean`` (frames, x[, y], z), float32.

    Returns per frame (positions in pixels (n, D), intensities (n,)), float32,
    brightest first."""
    extent = pixel_extent(clean.shape[1:])
    out = []
    if clean.ndim == 3:
        for frame in clean:
            out.append(sonaloc.rs_detect_peaks(frame, extent, threshold, min_distance_px, method, window, None))
    else:
        for vol in clean:
            pos, inten, _ = sonaloc.rs_detect_peaks3d(vol, extent, threshold, min_distance_px, window, method,
                                                      None, None, None)
            out.append((pos, inten))
    return out


def unrefined_count(pos_px: np.ndarray) -> int:
    """Localizations left at a pixel centre (every coordinate a whole pixel index)."""
    if len(pos_px) == 0:
        return 0
    return int(np.all(pos_px == np.round(pos_px), axis=1).sum())


def to_points(pos_px: np.ndarray, inten: np.ndarray, pixel_size: Sequence[float],
              origin: Sequence[float]) -> np.ndarray:
    """float32 rows (x, z[, y...], intensity) in mm, module axis order then intensity."""
    p = np.asarray(pixel_size, dtype=np.float64)
    o = np.asarray(origin, dtype=np.float64)
    pts = np.empty((len(pos_px), pos_px.shape[1] + 1), dtype=np.float32)
    pts[:, :-1] = pos_px.astype(np.float64) * p + o
    pts[:, -1] = inten
    return pts
