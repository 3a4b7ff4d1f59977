"""Tracks: linking, the frame of every track point, speed and flow direction, length filter."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Sequence, Tuple

import numpy as np

import sonaloc


def gate(max_speed: float, frame_rate: float, max_skip: int) -> float:
    """Linking gate (mm): the distance a bubble at ``max_speed`` covers over the longest gap.

    The module applies one gate to every linked pair, also to pairs
    ``max_skip`` + 1 frames apart."""
    return float(max_speed) * (int(max_skip) + 1) / float(frame_rate)


def link(points: Sequence[np.ndarray], max_distance: float, max_skip: int,
         max_intensity_ratio: float) -> Tuple[np.ndarray, np.ndarray]:
    """Links per-frame points (x, z, intensity) or (x, y, z, intensity) in mm into tracks.

    Returns the point matrix and the track ends (uint32) of ``rs_link_points``
    / ``rs_link_points_3d``."""
    three_d = len(points) > 0 and points[0].shape[1] == 4
    if three_d:
        return sonaloc.rs_link_points_3d(list(points), max_distance, max_skip)
    return sonaloc.rs_link_points(list(points), max_distance, max_skip, max_intensity_ratio)


def _keys(rows: np.ndarray) -> np.ndarray:
    """64-bit key of each row's position bytes (equal rows have equal keys)."""
    u = np.ascontiguousarray(rows, dtype=np.float32).view(np.uint32).astype(np.uint64)
    k = (u[:, 0] << np.uint64(32)) | u[:, 1]
    for c in range(2, u.shape[1]):
        k = k * np.uint64(0x9E3779B97F4A7C15) + u[:, c]  # wraps; only a sort key
    return k


@dataclass
class FrameRecovery:
    frame: np.ndarray  # (N,) int64 frame of every track row
    ambiguous: int  # rows whose bytes occur in more than one frame
    unresolved: int  # of those, rows no consistent frame was found for


def track_frames(matrix: np.ndarray, ends: np.ndarray, points: Sequence[np.ndarray],
                 max_skip: int) -> FrameRecovery:
    """The frame of every row of the point matrix.

    The linker returns every point's bytes unchanged, so a row's frame is the
    frame of the detection with the same bytes. Identical detections in
    several frames (a bubble at rest at a pixel centre, say) are assigned in
    track order: each row takes the earliest unused candidate frame after the
    previous row of its track and within ``max_skip`` + 1 frames of it (and
    before the next row's frame when that one is known)."""
    n = len(matrix)
    if n == 0:
        return FrameRecovery(np.zeros(0, np.int64), 0, 0)
    counts = np.array([len(p) for p in points], dtype=np.int64)
    det = np.ascontiguousarray(np.concatenate([np.asarray(p, np.float32) for p in points]), dtype=np.float32)
    det_frame = np.repeat(np.arange(len(points), dtype=np.int64), counts)
    rows = np.ascontiguousarray(matrix, dtype=np.float32)
    dk = _keys(det)
    order = np.argsort(dk, kind="stable")
    sk = dk[order]
    mk = _keys(rows)
    lo = np.searchsorted(sk, mk, side="left")
    hi = np.searchsorted(sk, mk, side="right")
    frame = np.full(n, -1, dtype=np.int64)
    single = (hi - lo) == 1
    cand = order[np.minimum(lo, len(order) - 1)]
    exact = single & np.all(det[cand].view(np.uint32) == rows.view(np.uint32), axis=1)
    frame[exact] = det_frame[cand[exact]]
    todo = np.nonzero(~exact)[0]
    ambiguous = unresolved = 0
    if len(todo):
        used = set()
        rv = rows.view(np.uint32)
        dv = det.view(np.uint32)
        ends64 = np.asarray(ends, dtype=np.int64)
        track_of = np.searchsorted(ends64, np.arange(n), side="right")
        starts = np.concatenate([[0], ends64[:-1]])
        gap = int(max_skip) + 1
        for r in todo:  # ascending rows: track order, time order within a track
            idx = order[lo[r]:hi[r]]
            idx = idx[np.all(dv[idx] == rv[r], axis=1)]
            cands = sorted((int(det_frame[i]), int(i)) for i in idx if int(i) not in used)
            if len(idx) > 1:
                ambiguous += 1
            t = track_of[r]
            prev = frame[r - 1] if r > starts[t] and frame[r - 1] >= 0 else None
            nxt = frame[r + 1] if r + 1 < ends64[t] and frame[r + 1] >= 0 else None
            pick = None
            for f, i in cands:
                if prev is not None and not (prev < f <= prev + gap):
                    continue
                if nxt is not None and not (f < nxt <= f + gap):
                    continue
                pick = (f, i)
                break
            if pick is None and cands:
                unresolved += 1
                pick = cands[0]
            if pick is None:  # cannot happen for rows the linker returned
                unresolved += 1
                continue
            frame[r] = pick[0]
            used.add(pick[1])
    return FrameRecovery(frame, ambiguous, unresolved)


def filter_length(matrix: np.ndarray, ends: np.ndarray, frames: np.ndarray,
                  min_points: int) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Keeps the tracks of at least ``min_points`` points: (matrix, ends as int64, frames)."""
    ends = np.asarray(ends, dtype=np.int64)
    starts = np.concatenate([[0], ends[:-1]]) if len(ends) else ends
    length = ends - starts
    keep = length >= min_points
    row_keep = np.repeat(keep, length)
    new_ends = np.cumsum(length[keep])
    return matrix[row_keep], new_ends, frames[row_keep]


def track_ids(ends: np.ndarray) -> np.ndarray:
    """Track number of every row."""
    ends = np.asarray(ends, dtype=np.int64)
    if len(ends) == 0:
        return np.zeros(0, np.int64)
    starts = np.concatenate([[0], ends[:-1]])
    return np.repeat(np.arange(len(ends), dtype=np.int64), ends - starts)


def speeds(matrix: np.ndarray, ends: np.ndarray, frames: np.ndarray, frame_rate: float,
           half_window: int = 2) -> Tuple[np.ndarray, np.ndarray]:
    """Speed (mm/s) and unit flow direction of every track point.

    Both from the points ``half_window`` rows before and after (clamped to
    the track) and the time between their frames. Returns (speed (N,),
    direction (N, D)) as float32; D = 2 (x, z) or 3 (x, y, z)."""
    ends = np.asarray(ends, dtype=np.int64)
    n = len(matrix)
    dims = matrix.shape[1] - 1
    if n == 0:
        return np.zeros(0, np.float32), np.zeros((0, dims), np.float32)
    starts = np.concatenate([[0], ends[:-1]])
    track = track_ids(ends)
    k = np.arange(n)
    h = int(half_window) if half_window > 0 else 1
    a = np.maximum(k - h, starts[track])
    b = np.minimum(k + h, ends[track] - 1)
    d = matrix[b, :dims].astype(np.float64) - matrix[a, :dims]
    dist = np.linalg.norm(d, axis=1)
    dt = (frames[b] - frames[a]) / float(frame_rate)
    with np.errstate(invalid="ignore", divide="ignore"):
        speed = np.where(dt > 0, dist / dt, 0.0)
        unit = np.where(dist[:, None] > 0, d / dist[:, None], 0.0)
    return speed.astype(np.float32), unit.astype(np.float32)
