"""Rendering: density, speed and flow-direction maps from the tracks (module renderers)."""
from __future__ import annotations

from typing import Dict, Sequence, Tuple

import numpy as np

import sonaloc


def render_extent(shape: Sequence[int], pixel_size: Sequence[float], origin: Sequence[float]) -> Tuple[float, ...]:
    """Render bounds of the acquisition field: cell 0 centred on the first pixel centre,
    up to the last pixel centre, per module axis."""
    out: Tuple[float, ...] = ()
    for n, p, o in zip(shape, pixel_size, origin):
        out += (float(o), float(o + (n - 1) * p))
    return out


def render(matrix: np.ndarray, ends: np.ndarray, speed: np.ndarray, direction: np.ndarray,
           extent: Tuple[float, ...], pixel: float) -> Dict[str, np.ndarray]:
    """Density, speed and direction maps on the grid of ``pixel`` mm.

    ``density``: track passages per pixel (uint32); ``intensity``: the
    module's summed intensity; ``speed``: intensity-weighted mean speed
    (mm/s, 0 where nothing passed); ``direction``: in 2D the mean flow angle in
    degrees (0 = +x lateral, 90 = +z deeper; NaN where nothing passed), in 3D the
    mean axial component of the unit flow direction (-1 toward the probe,
    +1 away from it). ``extent``: pixel-edge bounds for display (mm), and
    ``origin``, the centre of cell 0, per axis."""
    three_d = matrix.shape[1] == 4
    ends32 = np.asarray(ends, dtype=np.int32)
    m = np.ascontiguousarray(matrix, dtype=np.float32)

    def with_value(v: np.ndarray) -> np.ndarray:
        return np.ascontiguousarray(np.column_stack([m, v.astype(np.float32)]), dtype=np.float32)

    if three_d:
        intensity, count, ext = sonaloc.rs_draw_tracks_3d(m, ends32, extent, pixel)
        _, mean_speed, _, _ = sonaloc.rs_draw_tracks_value_3d(with_value(speed), ends32, extent, pixel)
        _, axial, _, _ = sonaloc.rs_draw_tracks_value_3d(with_value(direction[:, 2]), ends32, extent, pixel)
        dirmap = np.where(count > 0, axial, np.nan).astype(np.float32)
    else:
        intensity, count, ext = sonaloc.rs_draw_tracks(m, ends32, extent, pixel)
        _, mean_speed, _, _ = sonaloc.rs_draw_tracks_value(with_value(speed), ends32, extent, pixel)
        _, ux, _, _ = sonaloc.rs_draw_tracks_value(with_value(direction[:, 0]), ends32, extent, pixel)
        _, uz, _, _ = sonaloc.rs_draw_tracks_value(with_value(direction[:, 1]), ends32, extent, pixel)
        angle = np.degrees(np.arctan2(uz, ux)).astype(np.float32)
        dirmap = np.where(count > 0, angle, np.nan).astype(np.float32)
    origin = np.asarray(ext[0::2], dtype=np.float64)
    edges = []
    for a, n in enumerate(count.shape):
        edges += [origin[a] - pixel / 2, origin[a] - pixel / 2 + n * pixel]
    return {"density": count, "intensity": intensity, "speed": mean_speed, "direction": dirmap,
            "extent": np.asarray(edges, dtype=np.float64), "origin": origin, "pixel_size": np.float64(pixel)}


def density_only(matrix: np.ndarray, ends: np.ndarray, extent: Tuple[float, ...], pixel: float) -> np.ndarray:
    """Track passages per pixel (uint32) of the given tracks."""
    ends32 = np.asarray(ends, dtype=np.int32)
    m = np.ascontiguousarray(matrix, dtype=np.float32)
    if m.shape[1] == 4:
        return sonaloc.rs_draw_tracks_3d(m, ends32, extent, pixel)[1]
    return sonaloc.rs_draw_tracks(m, ends32, extent, pixel)[1]


def subset(matrix: np.ndarray, ends: np.ndarray, keep: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """The tracks where ``keep`` (one bool per track) holds: (matrix, ends)."""
    ends = np.asarray(ends, dtype=np.int64)
    starts = np.concatenate([[0], ends[:-1]]) if len(ends) else ends
    length = ends - starts
    rows = np.repeat(keep, length)
    return matrix[rows], np.cumsum(length[keep])


def _tall(shown) -> bool:
    """True when equal aspect would make the picture very thin (a narrow deep field)."""
    w, h = abs(shown[1] - shown[0]), abs(shown[3] - shown[2])
    return max(w, h) > 3 * min(w, h)


def write_pictures(maps: Dict[str, np.ndarray], quality: Dict[str, object], out: Dict[str, str],
                   title: str = "") -> None:
    """PNG pictures: density, speed, direction, FRC curve, saturation curve (paths in ``out`` by name).

    3D maps are shown as projections along y (x lateral, z depth): maximum
    for the density and the speed, the mean over the passages for the direction."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    count = np.asarray(maps["density"], dtype=np.float64)
    speed = np.asarray(maps["speed"], dtype=np.float64)
    direction = np.asarray(maps["direction"], dtype=np.float64)
    ext = maps["extent"]
    if count.ndim == 3:  # (x, y, z): project along y
        with np.errstate(invalid="ignore"):
            w = count.sum(1)
            d = np.nansum(np.nan_to_num(direction) * count, axis=1) / np.where(w > 0, w, 1)
        direction = np.where(w > 0, d, np.nan)
        speed = speed.max(1)
        count = count.max(1)
        ext = (ext[0], ext[1], ext[4], ext[5])
    shown = (ext[0], ext[1], ext[3], ext[2])  # x left to right, depth downward
    filled = count > 0
    vmax = float(np.percentile(speed[filled], 99)) if filled.any() else 1.0
    panels = {
        "density": (np.sqrt(count), "inferno", None, None, "sqrt(track passages)"),
        "speed": (np.ma.masked_where(~filled, speed), "turbo", 0.0, vmax, "mm/s"),
        "direction": (np.ma.masked_where(~np.isfinite(direction), direction),
                      "twilight_shifted" if maps["density"].ndim == 2 else "coolwarm",
                      -180.0 if maps["density"].ndim == 2 else -1.0, 180.0 if maps["density"].ndim == 2 else 1.0,
                      "flow angle (deg, 90 = deeper)" if maps["density"].ndim == 2 else "axial direction"),
    }
    for name, (img, cmap, vmin, vmax_, label) in panels.items():
        fig = plt.figure(figsize=(6.4, 5.6))  # fixed axes: no layout engine (it costs more than the drawing)
        ax = fig.add_axes((0.11, 0.09, 0.7, 0.84))
        cax = fig.add_axes((0.84, 0.09, 0.03, 0.84))
        cm = plt.get_cmap(cmap).with_extremes(bad="black")
        im = ax.imshow(np.ma.asarray(img).T, origin="upper", extent=shown, cmap=cm, vmin=vmin, vmax=vmax_,
                       interpolation="nearest", aspect="auto" if _tall(shown) else "equal")
        ax.set_xlabel("x (mm)")
        ax.set_ylabel("z (mm)")
        ax.set_title(f"{title}{name}" + (" (projection along y)" if maps["density"].ndim == 3 else ""))
        fig.colorbar(im, cax=cax, label=label)
        fig.savefig(out[name], dpi=100, format="png")
        plt.close(fig)
    frc = quality.get("frc") or {}
    fig = plt.figure(figsize=(6, 4))
    ax = fig.add_axes((0.12, 0.13, 0.83, 0.78))
    if frc.get("frequency"):
        ax.plot(frc["frequency"], frc["curve"], label="FRC")
        ax.axhline(1 / 7, color="gray", ls="--", label="1/7")
        if frc.get("resolution_mm"):
            ax.axvline(1 / frc["resolution_mm"], color="C3", ls=":",
                       label=f"resolution {1000 * frc['resolution_mm']:.1f} um")
        ax.legend()
    ax.set_xlabel("spatial frequency (1/mm)")
    ax.set_ylabel("Fourier ring correlation")
    ax.set_ylim(-0.1, 1.05)
    ax.set_title(f"{title}FRC between two halves of the tracks")
    fig.savefig(out["frc"], dpi=100, format="png")
    plt.close(fig)
    sat = quality.get("saturation") or {}
    fig = plt.figure(figsize=(6, 4))
    ax = fig.add_axes((0.12, 0.13, 0.83, 0.78))
    if sat.get("frames"):
        ax.plot(sat["frames"], sat["filled_fraction"], marker="o")
    ax.set_xlabel("frames")
    ax.set_ylabel("share of filled pixels")
    ax.set_title(f"{title}saturation")
    fig.savefig(out["saturation"], dpi=100, format="png")
    plt.close(fig)
