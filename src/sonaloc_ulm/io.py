"""Reading acquisitions: files, the frame stack, blocks of frames and axis views.

An acquisition is a stack of beamformed frames (complex IQ or real envelope)
with 3 axes (2D) or 4 (3D), in a ``.npz``, ``.npy``, MATLAB ``.mat`` v5 or
v7.3 (HDF5) file. The file's axis order is given by letters (z depth,
x lateral, y elevation, t frame; default ``zxt``); the pipeline works in the
module's order, frame first, then x, (y,) z: ``(t, x, z)`` or ``(t, x, y, z)``.
That order is a view of the stored array (a transpose of a memory map), and
blocks of frames are read one at a time: ``.npy``, uncompressed ``.npz`` and
HDF5 files are never loaded whole.

MATLAB v7.3 files store arrays in column-major order: h5py shows their axes
reversed. The axis letters always describe the array as MATLAB shows it, so
the reader reverses them back.
"""
from __future__ import annotations

import math
import os
import struct
import zipfile
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from .config import Config, check_axes
from .errors import UlmError

SCALARS = ("dz", "dx", "dy", "z0", "x0", "y0", "frame_rate")
BLOCK_BYTES = 64 << 20  # default block size in bytes of frames


def module_order(axes: str) -> str:
    """The module's axis order for the file letters: ``txz`` (2D) or ``txyz`` (3D)."""
    return "txz" if len(axes) == 3 else "txyz"


def axis_view(array: Any, axes: str) -> Any:
    """A view of ``array`` (file axes ``axes``) in the module's order, frame first.

    Works on NumPy arrays and memory maps without copying (``np.transpose``)."""
    perm = [axes.index(c) for c in module_order(axes)]
    return np.transpose(array, perm)


def frame_blocks(n_frames: int, block_frames: int) -> List[Tuple[int, int]]:
    """Consecutive (first, end) frame ranges of ``block_frames`` frames (the last may be shorter)."""
    return [(t0, min(t0 + block_frames, n_frames)) for t0 in range(0, n_frames, block_frames)]


def auto_block_frames(frame_bytes: int, n_frames: int) -> int:
    """Frames per block from the frame size alone: about 64 MB, 32 to 500 frames."""
    b = int(BLOCK_BYTES // max(frame_bytes, 1))
    return max(1, min(n_frames, max(32, min(500, b))))


# ----------------------------------------------------------------------------- file access


def _npz_members(path: str) -> Dict[str, Tuple[Tuple[int, ...], np.dtype]]:
    """Name -> (shape, dtype) of every array of an .npz, from the headers only."""
    out = {}
    with zipfile.ZipFile(path) as zf:
        for name in zf.namelist():
            if not name.endswith(".npy"):
                continue
            with zf.open(name) as f:
                version = np.lib.format.read_magic(f)
                if version == (1, 0):
                    shape, _, dtype = np.lib.format.read_array_header_1_0(f)
                else:
                    shape, _, dtype = np.lib.format.read_array_header_2_0(f)
            out[name[:-4]] = (tuple(shape), dtype)
    return out


def _npz_memmap(path: str, name: str) -> Optional[np.memmap]:
    """A memory map of an uncompressed .npz member, or None when it is compressed."""
    with zipfile.ZipFile(path) as zf:
        info = zf.getinfo(name + ".npy")
        if info.compress_type != zipfile.ZIP_STORED:
            return None
    with open(path, "rb") as f:
        f.seek(info.header_offset)
        local = f.read(30)
        if local[:4] != b"PK\x03\x04":
            return None
        n_name, n_extra = struct.unpack("<HH", local[26:30])
        f.seek(info.header_offset + 30 + n_name + n_extra)
        version = np.lib.format.read_magic(f)
        if version == (1, 0):
            shape, fortran, dtype = np.lib.format.read_array_header_1_0(f)
        else:
            shape, fortran, dtype = np.lib.format.read_array_header_2_0(f)
        offset = f.tell()
    if dtype.hasobject:
        return None
    return np.memmap(path, dtype=dtype, mode="r", shape=tuple(shape), order="F" if fortran else "C",
                     offset=offset)


def _h5_complex(dtype: np.dtype) -> bool:
    return dtype.names is not None and set(dtype.names) >= {"real", "imag"}


class _H5Array:
    """Minimal array face of an h5py dataset: shape, dtype, and reading a block of frames."""

    def __init__(self, path: str, name: str):
        import h5py

        self.path, self.name = path, name
        self._file = h5py.File(path, "r")
        self._ds = self._file[name]
        self.shape = tuple(self._ds.shape)
        self.dtype = self._ds.dtype

    def read(self, t_axis: int, t0: int, t1: int) -> np.ndarray:
        sl = [slice(None)] * len(self.shape)
        sl[t_axis] = slice(t0, t1)
        a = self._ds[tuple(sl)]
        if _h5_complex(a.dtype):
            out = np.empty(a.shape, np.complex64)
            out.real = a["real"]
            out.imag = a["imag"]
            return out
        return a

    def close(self) -> None:
        self._file.close()


@dataclass
class Source:
    """An opened acquisition: the frame stack in module order and its geometry.

    ``shape`` is (frames, x, z) or (frames, x, y, z); ``pixel_size`` and
    ``origin`` are in mm in module order (x, z) / (x, y, z)."""

    path: Optional[str]
    kind: str  # npy, npz, mat5, mat73, array
    dataset: str
    axes: str  # the file's axis letters, as given
    shape: Tuple[int, ...]
    is_complex: bool
    pixel_size: Tuple[float, ...]
    origin: Tuple[float, ...]
    frame_rate: float
    file_dtype: str = ""
    _view: Any = field(default=None, repr=False)  # module-order view (NumPy / memory map)
    _h5: Optional[_H5Array] = field(default=None, repr=False)
    _t_axis: int = field(default=-1, repr=False)  # frame axis of the stored HDF5 array

    @property
    def n_frames(self) -> int:
        return self.shape[0]

    @property
    def frame_shape(self) -> Tuple[int, ...]:
        return self.shape[1:]

    @property
    def three_d(self) -> bool:
        return len(self.shape) == 4

    @property
    def frame_bytes(self) -> int:
        return int(np.prod(self.frame_shape)) * (8 if self.is_complex else 4)

    def reopening(self) -> Dict[str, Any]:
        """What a worker process needs to open the same source (no frames)."""
        return {"path": self.path, "dataset": self.dataset, "axes": self.axes, "pixel_size": self.pixel_size,
                "origin": self.origin, "frame_rate": self.frame_rate}

    def read_block(self, t0: int, t1: int) -> np.ndarray:
        """Frames t0..t1-1 in module order, C-contiguous complex64 / float32.

        A view of the memory map (read-only; pages are read as they are used)
        where the stored layout allows, else a copy of the block only."""
        if self._h5 is not None:
            stored = self._h5.read(self._t_axis, t0, t1)
            axes = self._h5_axes
            block = np.transpose(stored, [axes.index(c) for c in module_order(self.axes)])
        else:
            block = self._view[t0:t1]
        dtype = np.complex64 if self.is_complex else np.float32
        return np.ascontiguousarray(block, dtype=dtype)

    def close(self) -> None:
        if self._h5 is not None:
            self._h5.close()
            self._h5 = None
        self._view = None

    @property
    def _h5_axes(self) -> str:
        return self.axes[::-1] if self.kind == "mat73" else self.axes


def _file_kind(path: str) -> str:
    ext = os.path.splitext(path)[1].lower()
    if ext == ".npy":
        return "npy"
    if ext == ".npz":
        return "npz"
    if ext == ".mat":
        import h5py

        return "mat73" if h5py.is_hdf5(path) else "mat5"
    if ext in (".h5", ".hdf5"):
        return "h5"
    raise UlmError(f"{path}: unknown file type {ext or '(no extension)'}; "
                   "give a .npz, .npy, .mat (v5 or v7.3) or .h5 file")


def _pick_dataset(path: str, shapes: Dict[str, Tuple[int, ...]], dataset: Optional[str]) -> str:
    if dataset is not None:
        if dataset not in shapes:
            raise UlmError(f"{path} has no array named {dataset!r}; it holds: "
                           f"{', '.join(sorted(shapes)) or 'nothing'} (choose with --dataset)")
        return dataset
    stacks = [n for n, s in shapes.items() if len(s) in (3, 4)]
    if len(stacks) == 1:
        return stacks[0]
    if not stacks:
        desc = ", ".join(f"{n} {tuple(s)}" for n, s in sorted(shapes.items())) or "nothing"
        raise UlmError(f"{path} holds no array with 3 or 4 axes (a stack of frames); it holds: {desc}")
    raise UlmError(f"{path} holds several stacks of frames ({', '.join(sorted(stacks))}); "
                   "choose one with --dataset NAME")


def _scalar(value: Any) -> Optional[float]:
    try:
        a = np.asarray(value)
        if a.dtype.kind not in "biuf" or a.size != 1:
            return None
        v = float(a.reshape(-1)[0])
    except (TypeError, ValueError):
        return None
    return v if math.isfinite(v) else None


def _check_dtype(path: str, name: str, dtype: np.dtype) -> bool:
    """True for complex data; raises for dtypes that are not numbers."""
    if _h5_complex(dtype):
        return True
    if dtype.kind == "c":
        return True
    if dtype.kind in "fiub":
        return False
    raise UlmError(f"{path}: array {name!r} has dtype {dtype}, not numbers (give real envelope or complex IQ)")


def open_source(path: str, cfg: Config) -> Source:
    """Opens the acquisition ``path`` with the axis letters, names and geometry of ``cfg``.

    Raises :class:`UlmError` for a missing or unreadable file, a wrong dataset
    name, an array of the wrong rank, axis letters that do not fit it, and a
    missing pixel size or frame rate."""
    if cfg.axes is not None:
        check_axes(cfg.axes)
    path = os.fspath(path)
    if not os.path.exists(path):
        raise UlmError(f"{path}: no such file (give the path of an acquisition file)")
    if os.path.isdir(path):
        raise UlmError(f"{path} is a folder; give an acquisition file (.npz, .npy, .mat)")
    kind = _file_kind(path)
    scalars: Dict[str, float] = {}
    view = h5 = None
    t_axis = -1
    try:
        if kind == "npy":
            arr = np.load(path, mmap_mode="r", allow_pickle=False)
            name, shapes = "(array)", {"(array)": arr.shape}
            if cfg.dataset not in (None, name):
                raise UlmError(f"{path} is a .npy file holding one array; leave out --dataset")
            file_arr = arr
        elif kind == "npz":
            members = _npz_members(path)
            shapes = {n: s for n, (s, _) in members.items()}
            name = _pick_dataset(path, shapes, cfg.dataset)
            file_arr = _npz_memmap(path, name)
            with np.load(path, allow_pickle=False) as z:
                if file_arr is None:  # compressed: read whole
                    file_arr = z[name]
                for k in SCALARS:
                    if k in members and k != name and int(np.prod(members[k][0])) == 1:
                        v = _scalar(z[k])
                        if v is not None:
                            scalars[k] = v
        elif kind == "mat5":
            import scipy.io

            info = scipy.io.whosmat(path)
            shapes = {n: tuple(s) for n, s, _ in info}
            name = _pick_dataset(path, shapes, cfg.dataset)
            wanted = [name] + [k for k in SCALARS if k in shapes and k != name]
            m = scipy.io.loadmat(path, variable_names=wanted, squeeze_me=False)
            file_arr = m[name]
            for k in wanted[1:]:
                v = _scalar(m[k])
                if v is not None:
                    scalars[k] = v
        else:  # mat73 / h5
            import h5py

            with h5py.File(path, "r") as f:
                shapes = {}
                for k, obj in f.items():
                    if isinstance(obj, h5py.Dataset):
                        s = tuple(obj.shape)
                        shapes[k] = s[::-1] if kind == "mat73" else s
                name = _pick_dataset(path, shapes, cfg.dataset)
                for k in SCALARS:
                    if k in shapes and k != name and int(np.prod(shapes[k])) == 1:
                        v = _scalar(f[k][()])
                        if v is not None:
                            scalars[k] = v
            h5 = _H5Array(path, name)
            file_arr = None
    except UlmError:
        raise
    except (OSError, ValueError, zipfile.BadZipFile, EOFError, NotImplementedError, KeyError) as e:
        raise UlmError(f"cannot read {path}: {e} (is it a valid {kind} file?)") from None
    except Exception as e:  # scipy / h5py raise their own classes for broken files
        raise UlmError(f"cannot read {path}: {type(e).__name__}: {e}") from None

    shape_file = tuple(h5.shape[::-1] if kind == "mat73" else h5.shape) if h5 is not None else tuple(file_arr.shape)
    dtype = h5.dtype if h5 is not None else file_arr.dtype
    ndim = len(shape_file)
    if ndim not in (3, 4):
        if h5 is not None:
            h5.close()
        raise UlmError(f"{path}: array {name!r} has {ndim} axes {shape_file}; a stack of frames needs 3 "
                       "(2D, e.g. z x t) or 4 (3D, e.g. z x y t)")
    axes = cfg.axes or ("zxyt" if ndim == 4 else "zxt")
    if ndim != len(axes):
        if h5 is not None:
            h5.close()
        hint = "zxyt" if ndim == 4 else "zxt"
        raise UlmError(f"{path}: array {name!r} has {ndim} axes {shape_file} but --axes {axes} has "
                       f"{len(axes)} letters; give --axes with {ndim} letters (e.g. {hint})")
    for what, v in (("--pixel-size", cfg.pixel_size), ("--origin", cfg.origin)):
        if v is not None and len(v) != ndim - 1:
            if h5 is not None:
                h5.close()
            raise UlmError(f"{what} needs {ndim - 1} values, one per spatial axis in the order "
                           f"{' '.join(axes.replace('t', ''))}; got {len(v)}")
    try:
        is_complex = _check_dtype(path, name, dtype)
    except UlmError:
        if h5 is not None:
            h5.close()
        raise
    sizes = dict(zip(axes, shape_file))
    spatial = axes.replace("t", "")
    mod = module_order(axes)
    for c in spatial:
        if sizes[c] < 3:
            if h5 is not None:
                h5.close()
            raise UlmError(f"{path}: axis {c} of {name!r} has {sizes[c]} pixels; at least 3 are needed "
                           f"(check --axes {axes} against the shape {shape_file})")
    if sizes["t"] < 1:
        raise UlmError(f"{path}: {name!r} holds no frames (axis t has length 0)")

    # geometry, in the order of the file's spatial letters
    if cfg.pixel_size is not None:
        px = dict(zip(spatial, cfg.pixel_size))
    else:
        missing = [c for c in spatial if "d" + c not in scalars]
        if missing:
            if h5 is not None:
                h5.close()
            raise UlmError(f"{path}: no pixel size (the file has no {', '.join('d' + c for c in missing)}); "
                           f"give --pixel-size in mm, one value per spatial axis in the order {' '.join(spatial)}")
        px = {c: scalars["d" + c] for c in spatial}
    if min(px.values()) <= 0:
        raise UlmError(f"{path}: pixel sizes must be positive, got {px}")
    if cfg.origin is not None:
        org = dict(zip(spatial, cfg.origin))
    else:
        org = {c: scalars.get(c + "0", 0.0) for c in spatial}
    rate = cfg.frame_rate if cfg.frame_rate is not None else scalars.get("frame_rate")
    if rate is None or not rate > 0:
        if h5 is not None:
            h5.close()
        raise UlmError(f"{path}: no frame rate (the file has no positive frame_rate); give --frame-rate in Hz")
    if h5 is None:
        view = axis_view(file_arr, axes)
    else:
        h5_axes = axes[::-1] if kind == "mat73" else axes
        t_axis = h5_axes.index("t")
    return Source(path=path, kind=kind, dataset=name, axes=axes,
                  shape=tuple(sizes[c] for c in mod), is_complex=is_complex,
                  pixel_size=tuple(float(px[c]) for c in mod[1:]), origin=tuple(float(org[c]) for c in mod[1:]),
                  frame_rate=float(rate), file_dtype=str(dtype), _view=view, _h5=h5, _t_axis=t_axis)


def array_source(frames: np.ndarray, cfg: Config) -> Source:
    """A :class:`Source` over an in-memory array (axes, pixel size, frame rate from ``cfg``)."""
    frames = np.asarray(frames)
    axes = cfg.axes or ("zxyt" if frames.ndim == 4 else "zxt")
    check_axes(axes)
    if frames.ndim != len(axes):
        raise UlmError(f"the frames have {frames.ndim} axes {frames.shape}; with axes {axes!r} "
                       f"they need {len(axes)}")
    is_complex = _check_dtype("(array)", "frames", frames.dtype)
    if cfg.pixel_size is None:
        raise UlmError("no pixel size: give pixel_size in mm, one value per spatial axis")
    if cfg.frame_rate is None:
        raise UlmError("no frame rate: give frame_rate in Hz")
    if len(cfg.pixel_size) != len(axes) - 1 or (cfg.origin is not None and len(cfg.origin) != len(axes) - 1):
        raise UlmError(f"pixel_size and origin need {len(axes) - 1} values, one per spatial axis of {axes!r}")
    spatial = axes.replace("t", "")
    mod = module_order(axes)
    px = dict(zip(spatial, cfg.pixel_size))
    org = dict(zip(spatial, cfg.origin)) if cfg.origin is not None else {c: 0.0 for c in spatial}
    sizes = dict(zip(axes, frames.shape))
    if min(sizes[c] for c in spatial) < 3 or sizes["t"] < 1:
        raise UlmError(f"the frames {frames.shape} need at least 3 pixels per spatial axis and one frame")
    return Source(path=None, kind="array", dataset="(array)", axes=axes, shape=tuple(sizes[c] for c in mod),
                  is_complex=is_complex, pixel_size=tuple(float(px[c]) for c in mod[1:]),
                  origin=tuple(float(org[c]) for c in mod[1:]), frame_rate=float(cfg.frame_rate),
                  file_dtype=str(frames.dtype), _view=axis_view(frames, axes))


def reopen(how: Dict[str, Any]) -> Source:
    """Opens a source again from :meth:`Source.reopening` (in a worker process)."""
    cfg = Config(dataset=None if how["dataset"] == "(array)" else how["dataset"], axes=how["axes"],
                 pixel_size=None, origin=None, frame_rate=how["frame_rate"])
    src = open_source(how["path"], cfg.replace(pixel_size=_file_order(how["pixel_size"], how["axes"]),
                                                origin=_file_order(how["origin"], how["axes"])))
    return src


def _file_order(values: Tuple[float, ...], axes: str) -> Tuple[float, ...]:
    """Module-order spatial values back into the order of the file's letters."""
    mod = module_order(axes)[1:]
    d = dict(zip(mod, values))
    return tuple(d[c] for c in axes.replace("t", ""))


def detection_extent(shape: Tuple[int, ...], pixel_size: Tuple[float, ...],
                     origin: Tuple[float, ...]) -> Tuple[float, ...]:
    """Detection extent of a frame: (first, last pixel centre) per module axis, in mm."""
    out: List[float] = []
    for n, p, o in zip(shape, pixel_size, origin):
        out += [float(o), float(o + (n - 1) * p)]
    return tuple(out)
