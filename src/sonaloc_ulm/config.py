"""Processing parameters: the :class:`Config` dataclass and its TOML loading.

Every field can be given in a TOML file (``--config FILE.toml``), top level or
under a ``[run]`` table, with the field names below; the command-line options
override the file. ``None`` means "choose from the data" (the choices made are
written to run.json).
"""
from __future__ import annotations

import dataclasses
import math
import sys
from dataclasses import dataclass
from typing import Any, Dict, Optional, Tuple

from .errors import UlmError

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - depends on the interpreter
    import tomli as tomllib

METHODS = ("radial_symmetry", "gaussian_fitting")


@dataclass
class Config:
    """Everything that defines one run of the pipeline.

    Units: mm, Hz, mm/s; pixel counts where the name says ``_px``.
    Spatial tuples (``pixel_size``, ``origin``) follow the spatial letters of
    ``axes`` (for ``"zxt"``: z then x)."""

    # -- input
    dataset: Optional[str] = None  # array name in the file; None: the only array with 3 or 4 axes
    axes: Optional[str] = None  # z depth, x lateral, y elevation, t frame; 4 letters mean 3D; None: zxt (zxyt for 4 axes)
    pixel_size: Optional[Tuple[float, ...]] = None  # mm; None: dz, dx, dy in the file
    origin: Optional[Tuple[float, ...]] = None  # mm, centre of the first pixel; None: z0, x0, y0 or 0
    frame_rate: Optional[float] = None  # Hz; None: frame_rate in the file
    block_frames: Optional[int] = None  # frames per block; None: about 64 MB per block, 32 to 500 frames
    # -- clutter and noise floor
    svd_cutoff: int = 0  # singular components removed per block (tissue clutter); 0: none
    floor_k: float = 3.0  # floor = median + floor_k robust sigma, subtracted and clipped at 0
    floor_mode: str = "depth"  # "depth": one floor per depth row; "global": one per block
    floor_samples: int = 32768  # pixels sampled per block for the floor estimate (a few frames)
    threshold: float = 4.0  # detection threshold above the floor, in robust noise sigmas
    # -- PSF and localization
    method: Optional[str] = None  # "radial_symmetry" / "gaussian_fitting"; None: from the PSF
    window: Optional[int] = None  # odd window size in pixels; None: 2 sigma/pixel + 5
    resample: bool = True  # resample frames so that an anisotropic PSF becomes round
    max_resample: float = 4.0  # largest resampling factor per axis
    psf_sigma_px: Optional[Tuple[float, ...]] = None  # PSF sigma per spatial axis (order of `axes`); None: measured
    min_distance: Optional[float] = None  # mm between two detections; None: 2 PSF sigmas
    # -- tracks
    max_speed: float = 75.0  # mm/s, largest expected flow speed: the linking gate
    max_skip: int = 1  # frames a track may skip
    max_intensity_ratio: float = 2.0  # 2D linking: largest intensity ratio of linked points
    min_track_length: int = 3  # points; shorter tracks are dropped
    speed_half_window: int = 2  # speed from the points this many rows before and after
    # -- maps and quality
    render_pixel: Optional[float] = None  # mm; None: the finest acquisition pixel / 4 (3D: / 2)
    match_radius: Optional[float] = None  # mm, for --truth; None: half the coarsest pixel
    # -- execution
    workers: Optional[int] = None  # worker processes; None: from the cores and the blocks
    threads: Optional[int] = None  # module threads per worker; None: cores // workers
    scheduler: Optional[str] = None  # dask.distributed scheduler address
    progress: bool = True
    pictures: bool = True

    # -- derived
    @property
    def spatial_axes(self) -> Optional[str]:
        return None if self.axes is None else self.axes.replace("t", "")

    def replace(self, **changes: Any) -> "Config":
        return dataclasses.replace(self, **changes)

    def check(self) -> "Config":
        """Validates the fields; raises :class:`UlmError` naming the field."""
        if self.axes is not None:
            check_axes(self.axes)
        n = None if self.axes is None else len(self.spatial_axes)
        for name in ("pixel_size", "origin", "psf_sigma_px"):
            v = getattr(self, name)
            if v is not None:
                try:
                    v = tuple(float(x) for x in (v if isinstance(v, (list, tuple)) else [v]))
                except (TypeError, ValueError):
                    raise UlmError(f"{name} must be numbers, one per spatial axis") from None
                if n is None and len(v) not in (2, 3):
                    raise UlmError(f"{name} needs one value per spatial axis (2 in 2D, 3 in 3D); got {len(v)}")
                if n is not None and len(v) != n:
                    raise UlmError(f"{name} needs {n} values, one per spatial axis in the order "
                                   f"{' '.join(self.spatial_axes)} of --axes {self.axes}; got {len(v)}")
                if not all(math.isfinite(x) for x in v):
                    raise UlmError(f"{name} values must be finite numbers")
                object.__setattr__(self, name, v)
        if self.pixel_size is not None and min(self.pixel_size) <= 0:
            raise UlmError("pixel size must be positive (mm), one value per spatial axis")
        if self.psf_sigma_px is not None and min(self.psf_sigma_px) <= 0:
            raise UlmError("psf_sigma_px must be positive")
        if self.frame_rate is not None and not (math.isfinite(self.frame_rate) and self.frame_rate > 0):
            raise UlmError("frame rate must be a positive number of Hz")
        if self.method is not None and self.method not in METHODS:
            raise UlmError(f"method must be one of {', '.join(METHODS)}; got {self.method!r}")
        if self.window is not None and (self.window < 3 or self.window % 2 == 0):
            raise UlmError(f"window must be an odd number of pixels >= 3; got {self.window}")
        if self.floor_mode not in ("depth", "global"):
            raise UlmError(f"floor_mode must be 'depth' or 'global'; got {self.floor_mode!r}")
        positive = {"max_speed": self.max_speed, "max_intensity_ratio": self.max_intensity_ratio,
                    "max_resample": self.max_resample}
        for name, v in positive.items():
            if not (math.isfinite(v) and v > 0):
                raise UlmError(f"{name} must be a positive number; got {v}")
        for name in ("svd_cutoff", "max_skip", "speed_half_window"):
            if getattr(self, name) < 0:
                raise UlmError(f"{name} must be >= 0; got {getattr(self, name)}")
        if self.min_track_length < 2:
            raise UlmError(f"min_track_length must be >= 2 points; got {self.min_track_length}")
        if self.floor_samples < 100:
            raise UlmError("floor_samples must be at least 100")
        for name in ("block_frames", "workers", "threads"):
            v = getattr(self, name)
            if v is not None and v < 1:
                raise UlmError(f"{name} must be a positive integer; got {v}")
        for name in ("render_pixel", "match_radius", "min_distance"):
            v = getattr(self, name)
            if v is not None and not (math.isfinite(v) and v > 0):
                raise UlmError(f"{name} must be a positive number of mm; got {v}")
        if not math.isfinite(self.threshold) or not math.isfinite(self.floor_k):
            raise UlmError("threshold and floor_k must be finite numbers")
        return self

    def to_dict(self) -> Dict[str, Any]:
        return {f.name: getattr(self, f.name) for f in dataclasses.fields(self)}


def check_axes(axes: str) -> None:
    """Checks an axis-order string such as ``zxt`` or ``zxyt``."""
    if not isinstance(axes, str) or len(axes) not in (3, 4):
        raise UlmError(f"--axes must have 3 letters (2D) or 4 (3D) from z, x, y, t; got {axes!r}")
    need = set("zxt") if len(axes) == 3 else set("zxyt")
    if set(axes) != need or len(set(axes)) != len(axes):
        letters = "z, x, t" if len(axes) == 3 else "z, x, y, t"
        raise UlmError(f"--axes {axes!r} must hold each of {letters} exactly once "
                       "(z depth, x lateral, y elevation, t frame), e.g. zxt or zxyt")


def load_toml(path: str) -> Dict[str, Any]:
    """Reads the fields of a TOML file (top level or under ``[run]``)."""
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as e:
        raise UlmError(f"cannot read the configuration file {path}: {e.strerror or e}") from None
    except tomllib.TOMLDecodeError as e:
        raise UlmError(f"the configuration file {path} is not valid TOML: {e}") from None
    if isinstance(data.get("run"), dict):
        data = {**{k: v for k, v in data.items() if k != "run"}, **data["run"]}
    names = {f.name: f for f in dataclasses.fields(Config)}
    unknown = sorted(set(data) - set(names))
    if unknown:
        raise UlmError(f"unknown setting(s) in {path}: {', '.join(unknown)} "
                       f"(known: {', '.join(sorted(names))})")
    out: Dict[str, Any] = {}
    for k, v in data.items():
        if isinstance(v, list):
            v = tuple(v)
        out[k] = v
    return out


def config_from(toml_path: Optional[str] = None, **overrides: Any) -> Config:
    """Config from an optional TOML file, then the overrides that are not None; checked."""
    values: Dict[str, Any] = {}
    if toml_path:
        values.update(load_toml(toml_path))
    values.update({k: v for k, v in overrides.items() if v is not None})
    try:
        cfg = Config(**values)
    except TypeError as e:
        raise UlmError(f"bad setting: {e}") from None
    try:
        return cfg.check()
    except TypeError as e:
        raise UlmError(f"a setting has the wrong type: {e}") from None
