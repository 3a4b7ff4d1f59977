"""Tissue clutter removal: the SVD filter of a block of frames, and the envelope."""
from __future__ import annotations

import contextlib
from typing import Tuple

import numpy as np

from .errors import UlmError


OVERSAMPLE = 5  # extra directions of the subspace iteration
SUBSPACE_PIXELS = 1024  # pixels (at least) the clutter subspace is estimated on
POWER_STEPS = 1  # subspace iterations


_CONTROLLER = []  # the process's BLAS libraries, found once


def find_blas() -> None:
    """Finds the process's BLAS libraries (a few ms, once per process), so that the
    filter's thread limit costs microseconds; a process that filters calls it at start."""
    if _CONTROLLER:
        return
    try:
        from threadpoolctl import ThreadpoolController
    except ImportError:  # pragma: no cover - depends on the environment
        _CONTROLLER.append(None)
        return
    _CONTROLLER.append(ThreadpoolController())


def blas_one_thread():
    """One BLAS thread for the filter: the same sums whatever the process, and no
    spinning threads next to the module's own. A no-op without threadpoolctl."""
    find_blas()
    if _CONTROLLER[0] is None:  # pragma: no cover - depends on the environment
        return contextlib.nullcontext()
    return _CONTROLLER[0].limit(limits=1, user_api="blas")


def _start(nt: int, m: int) -> np.ndarray:
    """A fixed, well-spread start for the subspace iteration (nt x m): the same for every
    block and worker, without the cost of loading a random generator."""
    i = np.arange(1, nt + 1, dtype=np.float64)[:, None]
    j = np.arange(1, m + 1, dtype=np.float64)[None, :]
    return np.cos(i * j * 2.399963229728653 + j * j)  # golden-angle phases


def _iterate(a: np.ndarray, m: int) -> np.ndarray:
    """An orthonormal basis (frames x m) of the ``m`` strongest temporal directions of
    ``a`` (frames x pixels), by ``POWER_STEPS`` + 1 subspace iterations from a fixed start."""
    wide = np.complex128 if np.iscomplexobj(a) else np.float64
    q = _start(a.shape[0], m).astype(a.dtype)
    for _ in range(POWER_STEPS + 1):  # q <- orth(a a^H q)
        q, _ = np.linalg.qr((a @ _adjoint_times(q, a).conj().T).astype(wide))
        q = q.astype(a.dtype)
    return q


def _adjoint_times(x: np.ndarray, a: np.ndarray) -> np.ndarray:
    """``x^H a`` (x: frames x k, a: frames x pixels); only the small factor conjugated."""
    return x.conj().T @ a


def _ritz(q: np.ndarray, a: np.ndarray, cutoff: int) -> np.ndarray:
    """The ``cutoff`` strongest directions of ``a`` within the span of ``q`` (frames x
    cutoff): the Rayleigh-Ritz step."""
    wide = np.complex128 if np.iscomplexobj(a) else np.float64
    b = _adjoint_times(q, a)  # m x pixels
    _, vecs = np.linalg.eigh((b @ b.conj().T).astype(wide))  # ascending eigenvalues
    top = vecs[:, ::-1][:, :cutoff]
    return np.ascontiguousarray(q.astype(wide) @ top).astype(a.dtype)


def _exact(a: np.ndarray, cutoff: int) -> np.ndarray:
    """The ``cutoff`` strongest temporal singular vectors of a short block, from its
    frames x frames Gram matrix (float64)."""
    nt = a.shape[0]
    wide = np.complex128 if np.iscomplexobj(a) else np.float64
    _, vecs = np.linalg.eigh((a @ a.conj().T).astype(wide))  # ascending eigenvalues
    return np.ascontiguousarray(vecs[:, nt - cutoff:][:, ::-1]).astype(a.dtype)


def _short(nt: int, cutoff: int) -> bool:
    return 4 * (cutoff + OVERSAMPLE) >= nt


def clutter_subspace(a: np.ndarray, cutoff: int) -> np.ndarray:
    """The ``cutoff`` strongest temporal singular vectors (frames x cutoff) of the
    Casorati matrix ``a`` (frames x pixels).

    Exact (eigen-decomposition of the frames x frames Gram matrix, in
    float64) for short blocks; for blocks much longer than the cutoff, a
    subspace iteration from a fixed start (``POWER_STEPS`` steps,
    ``OVERSAMPLE`` extra directions) and a Rayleigh-Ritz step, which cost a
    fraction of the Gram matrix and converge fast because tissue is far
    stronger than blood."""
    if _short(a.shape[0], cutoff):
        return _exact(a, cutoff)
    return _ritz(_iterate(a, cutoff + OVERSAMPLE), a, cutoff)


def _sample(block: np.ndarray) -> np.ndarray:
    """Casorati matrix (frames x pixels) of every s-th line along the last axis (whole
    depth lines: contiguous reads), at least ``SUBSPACE_PIXELS`` pixels."""
    nt, nz = block.shape[0], block.shape[-1]
    lines = block.reshape(nt, -1, nz)
    step = max(1, lines.shape[1] // max(1, -(-SUBSPACE_PIXELS // nz)))
    return np.ascontiguousarray(lines[:, ::step]).reshape(nt, -1)


class ClutterFilter:
    """A block of frames with its ``cutoff`` strongest singular components removed,
    computed frame by frame on demand.

    The clutter subspace ``u`` (frames x cutoff, :func:`clutter_subspace`) is
    estimated on every s-th line of pixels (at least ``SUBSPACE_PIXELS`` of
    them: tissue fills the field, so its temporal modes show in any large
    sample of pixels; what the sample misses stays far below the noise), and
    its pixel weights ``w = u^H a`` on all pixels. Indexing along the frames,
    ``f[i0:i1]`` or ``f[indices]``, gives those frames filtered,
    ``a[i] - u[i] w``, as a new array: a caller that works through the block
    in cache-sized runs of frames never holds the filtered block in memory.
    The block is only read; it is held, not copied (unless it must be made
    contiguous complex64 / float32)."""

    def __init__(self, block: np.ndarray, cutoff: int):
        nt = block.shape[0]
        if cutoff >= nt:
            raise UlmError(f"svd_cutoff {cutoff} removes every component of a block of {nt} frames; "
                           "use a smaller cutoff or longer blocks (block_frames)")
        dtype = np.complex64 if np.iscomplexobj(block) else np.float32
        self.block = np.ascontiguousarray(block, dtype=dtype)
        a = self.block.reshape(nt, -1)
        with blas_one_thread():
            # a short block whole, a long one on its sample; the weights on all pixels
            self.u = clutter_subspace(a if _short(nt, cutoff) else _sample(self.block), cutoff)
            self.weights = _adjoint_times(self.u, a)
        self._u_parts, self._w_parts = _real_product_parts(self.u, self.weights)

    @property
    def shape(self) -> tuple:
        return self.block.shape

    @property
    def dtype(self) -> np.dtype:
        return self.block.dtype

    def __len__(self) -> int:
        return self.block.shape[0]

    def __getitem__(self, frames) -> np.ndarray:
        a = self.block[frames]
        n = a.shape[0]
        with blas_one_thread():
            out = self._u_parts[frames] @ self._w_parts
        rows = a.reshape(n, -1)
        np.subtract(rows.view(np.float32) if np.iscomplexobj(rows) else rows, out, out=out)
        return out.view(self.block.dtype).reshape(a.shape)


def _real_product_parts(u: np.ndarray, w: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Real factors (frames x 2k, 2k x 2 pixels) whose product is ``u w`` with real and
    imaginary parts interleaved, as complex64 memory holds them (for real input: u and
    w themselves). One real product then costs about half the complex one."""
    if not np.iscomplexobj(u):
        return u, w
    k = u.shape[1]
    left = np.ascontiguousarray(np.concatenate([u.real, u.imag], axis=1))
    right = np.empty((2 * k, 2 * w.shape[1]), dtype=np.float32)
    right[:k, 0::2], right[:k, 1::2] = w.real, w.imag  # times Re u
    right[k:, 0::2], right[k:, 1::2] = -w.imag, w.real  # times Im u
    return left, right


def svd_filter(block: np.ndarray, cutoff: int) -> np.ndarray:
    """Removes the ``cutoff`` strongest singular components of a block of frames.

    ``block`` is (frames, ...) complex IQ (or real); its Casorati matrix has one
    row per frame. Tissue moves slowly and coherently, so it fills the
    strongest components; the bubbles stay in the rest. Returns a new array
    (``block`` is only read), all frames of :class:`ClutterFilter`; ``cutoff``
    0 returns the block itself."""
    if cutoff <= 0:
        return block
    return ClutterFilter(block, cutoff)[:]


def envelope(block: np.ndarray) -> np.ndarray:
    """The envelope (magnitude) of complex IQ, a new float32 array; real input is
    returned as float32 (the same array when it is float32 already)."""
    if np.iscomplexobj(block):
        out = np.empty(block.shape, dtype=np.float32)
        return np.abs(block, out=out)
    return np.asarray(block, dtype=np.float32)
