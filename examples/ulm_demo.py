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
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

import numpy as np

import sonaloc

try:
    from sonaloc_ulm.simulate import PhantomBlock, PhantomConfig, Vessel, make_vessels, simulate_block  # noqa: F401
except ImportError:  # a source checkout whose package is not installed
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src"))
    from sonaloc_ulm.simulate import PhantomBlock, PhantomConfig, Vessel, make_vessels, simulate_block  # noqa: F401

try:  # progress bars are a nicety: the demo also runs without tqdm
    from tqdm import tqdm
except ImportError:  # pragma: no cover - depends on the environment
    tqdm = None


# ----------------------------------------------------------------------------- settings


@dataclass
class Config(PhantomConfig):
    """Everything that defines one simulated acquisition (the phantom's
    settings, see sonaloc_ulm.simulate.PhantomConfig) and its processing."""

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

    @classmethod
    def preset(cls, ndim: int) -> "Config":
        cfg = super().preset(ndim)
        return cfg if ndim == 2 else dataclasses.replace(cfg, upsample=2)

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


# The phantom (vessel trees, bubbles, frames) is sonaloc_ulm's simulator; one
# block of frames in pixels of the acquisition grid, axes (t, x, y[, z]).
simulate = simulate_block
Acquisition = PhantomBlock


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
