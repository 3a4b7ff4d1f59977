"""Tissue clutter removal: the SVD filter of a block of frames, and the envelope."""
from __future__ import annotations

import numpy as np

from .errors import UlmError


def svd_filter(block: np.ndarray, cutoff: int) -> np.ndarray:
    """Removes the ``cutoff`` strongest singular components of a block of frames.

    ``block`` is (frames, ...) complex IQ (or real); its Casorati matrix has one
    row per frame. Tissue moves slowly and coherently, so it fills the
    strongest components; the bubbles stay in the rest. Computed through the
    frames x frames Gram matrix (eigen-decomposition in float64), then the
    clutter subspace is projected out; returns a new array (``block`` is
    only read). ``cutoff`` 0 returns the block itself."""
    if cutoff <= 0:
        return block
    nt = block.shape[0]
    if cutoff >= nt:
        raise UlmError(f"svd_cutoff {cutoff} removes every component of a block of {nt} frames; "
                       "use a smaller cutoff or longer blocks (block_frames)")
    dtype = np.complex64 if np.iscomplexobj(block) else np.float32
    a = np.ascontiguousarray(block, dtype=dtype).reshape(nt, -1)
    gram = (a @ a.conj().T).astype(np.complex128 if np.iscomplexobj(a) else np.float64)
    _, vecs = np.linalg.eigh(gram)  # ascending eigenvalues
    u = np.ascontiguousarray(vecs[:, nt - cutoff:]).astype(a.dtype)  # strongest components
    return (a - u @ (u.conj().T @ a)).reshape(block.shape)


def envelope(block: np.ndarray) -> np.ndarray:
    """The envelope (magnitude) of complex IQ, a new float32 array; real input is
    returned as float32 (the same array when it is float32 already)."""
    if np.iscomplexobj(block):
        out = np.empty(block.shape, dtype=np.float32)
        return np.abs(block, out=out)
    return np.asarray(block, dtype=np.float32)
