"""Tissue clutter removal: the SVD filter of a block of frames, and the envelope."""
from __future__ import annotations

import contextlib

import numpy as np

from .errors import UlmError


OVERSAMPLE = 5  # extra directions of the subspace iteration
SUBSPACE_PIXELS = 2048  # pixels (at least) the clutter subspace is estimated on
POWER_STEPS = 2  # subspace iterations


def _blas_one_thread():
    """One BLAS thread for the filter: the same sums whatever the process, and no
    spinning threads on a busy machine. A no-op without threadpoolctl."""
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:  # pragma: no cover - depends on the environment
        return contextlib.nullcontext()
    return threadpool_limits(1, user_api="blas")


def clutter_subspace(a: np.ndarray, cutoff: int) -> np.ndarray:
    """The ``cutoff`` strongest temporal singular vectors (frames x cutoff) of the
    Casorati matrix ``a`` (frames x pixels).

    Exact (eigen-decomposition of the frames x frames Gram matrix, in
    float64) for short blocks; for blocks much longer than the cutoff, a
    subspace iteration from a fixed start (``POWER_STEPS`` steps,
    ``OVERSAMPLE`` extra directions), which costs a fraction of the Gram
    matrix and converges fast because tissue is far stronger than blood."""
    nt = a.shape[0]
    m = cutoff + OVERSAMPLE
    wide = np.complex128 if np.iscomplexobj(a) else np.float64
    if 4 * m >= nt:
        gram = (a @ a.conj().T).astype(wide)
        _, vecs = np.linalg.eigh(gram)  # ascending eigenvalues
        return np.ascontiguousarray(vecs[:, nt - cutoff:][:, ::-1]).astype(a.dtype)
    rng = np.random.default_rng(12345)  # fixed: the same start for every block and worker
    q = rng.standard_normal((nt, m)).astype(a.dtype)
    for _ in range(POWER_STEPS + 1):
        q, _ = np.linalg.qr((a @ (a.conj().T @ q)).astype(wide))
        q = q.astype(a.dtype)
    b = (q.conj().T @ a)  # m x pixels
    _, vecs = np.linalg.eigh((b @ b.conj().T).astype(wide))
    return np.ascontiguousarray((q.astype(wide) @ vecs[:, m - cutoff:][:, ::-1])).astype(a.dtype)


def svd_filter(block: np.ndarray, cutoff: int) -> np.ndarray:
    """Removes the ``cutoff`` strongest singular components of a block of frames.

    ``block`` is (frames, ...) complex IQ (or real); its Casorati matrix has one
    row per frame. Tissue moves slowly and coherently, so it fills the
    strongest components; the bubbles stay in the rest. The clutter subspace
    (:func:`clutter_subspace`) is estimated on every s-th pixel (at least
    ``SUBSPACE_PIXELS`` of them: tissue fills the field, so its temporal
    modes show in any large sample of pixels) and projected out of all
    pixels; returns a new array (``block`` is only read). ``cutoff`` 0
    returns the block itself."""
    if cutoff <= 0:
        return block
    nt = block.shape[0]
    if cutoff >= nt:
        raise UlmError(f"svd_cutoff {cutoff} removes every component of a block of {nt} frames; "
                       "use a smaller cutoff or longer blocks (block_frames)")
    dtype = np.complex64 if np.iscomplexobj(block) else np.float32
    a = np.ascontiguousarray(block, dtype=dtype).reshape(nt, -1)
    stride = max(1, a.shape[1] // SUBSPACE_PIXELS)
    with _blas_one_thread():
        u = clutter_subspace(a if stride == 1 else np.ascontiguousarray(a[:, ::stride]), cutoff)
        out = u @ (u.conj().T @ a)
        np.subtract(a, out, out=out)
    return out.reshape(block.shape)


def envelope(block: np.ndarray) -> np.ndarray:
    """The envelope (magnitude) of complex IQ, a new float32 array; real input is
    returned as float32 (the same array when it is float32 already)."""
    if np.iscomplexobj(block):
        out = np.empty(block.shape, dtype=np.float32)
        return np.abs(block, out=out)
    return np.asarray(block, dtype=np.float32)
