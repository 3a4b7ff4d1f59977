"""One radial-symmetry localization per call, against the same method written
as vectorised NumPy (the way a host would without the module)."""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import median_time, print_table  # noqa: E402

import sonaloc  # noqa: E402


def numpy_rs2(I):
    I = I.astype(np.float32)
    R, C = I.shape
    y = (np.arange(R - 1, dtype=np.float32) + np.float32(0.5 - (R - 1) * 0.5))[:, None]
    x = (np.arange(C - 1, dtype=np.float32) + np.float32(0.5 - (C - 1) * 0.5))[None, :]
    d1 = I[1:, :-1] - I[:-1, 1:]
    d2 = I[:-1, :-1] - I[1:, 1:]

    def smooth(a):
        p = np.pad(a, 1)
        return sum(p[i:i + a.shape[0], j:j + a.shape[1]] for i in range(3) for j in range(3)) / np.float32(9)

    s1, s2 = smooth(d1), smooth(d2)
    with np.errstate(divide="ignore", invalid="ignore"):
        m = -(s1 + s2) / (s1 - s2)
    m[np.isnan(m)] = 0
    m[np.isinf(m)] = 1e6
    b = x - m * y
    g = s1 * s1 + s2 * s2
    S = g.sum() or np.float32(1)
    xc, yc = (g * x).sum() / S, (g * y).sum() / S
    w = g / np.maximum(np.float32(1e-4), np.sqrt((y - yc) ** 2 + (x - xc) ** 2))
    v = w / (m * m + 1)
    A, B, M, P, Q = v.sum(), (v * m).sum(), (v * m * m).sum(), (v * m * b).sum(), (v * b).sum()
    det = B * B - A * M
    return (P * A - Q * B) / det, (P * B - Q * M) / det


def numpy_rs3(I):
    from scipy.ndimage import uniform_filter

    I = I.astype(np.float32)
    D = I.shape
    u = [np.arange(d - 1, dtype=np.float32) + np.float32(0.5 - (d - 1) * 0.5) for d in D]
    u0, u1, u2 = np.meshgrid(*u, indexing="ij")
    E1 = I[1:, 1:, 1:] - I[:-1, :-1, :-1]
    E2 = I[1:, :-1, :-1] - I[:-1, 1:, 1:]
    E3 = I[1:, 1:, :-1] - I[:-1, :-1, 1:]
    S1, S2, S3 = (uniform_filter(E, 3, mode="constant") for E in (E1, E2, E3))
    c = np.stack([(S1 - S3) / 2 + (E1 - E3) / 2, (S2 - S1) / 2 + (E2 - E1) / 2, (S3 - S2) / 2 + (E3 - E2) / 2])
    g = S1 * S1 + S2 * S2 + S3 * S3
    T = g.sum()
    cm = [(g * uu).sum() / T for uu in (u0, u1, u2)]
    q = (c * c).sum(0)
    d2 = sum((uu - m) ** 2 for uu, m in zip((u0, u1, u2), cm))
    with np.errstate(divide="ignore", invalid="ignore"):
        w = np.where((d2 > 0) & (q > 0), g / q / np.sqrt(d2), 0)
    mat = -2 * (q[None, None] * np.eye(3)[:, :, None, None, None] - c[:, None] * c[None, :])
    A = (w * mat).reshape(3, 3, -1).sum(-1)
    pos = np.stack([u0, u1, u2])
    b = np.einsum("abijk,bijk->a", mat * w, pos)
    p = np.linalg.solve(A, b)
    return tuple(np.asarray(D) * 0.5 + p - 0.5)


def spot(shape, centre, sigma):
    g = np.indices(shape, dtype=np.float64)
    return np.exp(-sum((g[a] - centre[a]) ** 2 for a in range(len(shape))) / (2 * sigma**2)).astype(np.float32)


def main():
    w2 = spot((7, 7), (3.3, 2.8), 1.0)
    w3 = spot((7, 7, 7), (3.3, 2.8, 3.1), 1.2)
    assert np.allclose(numpy_rs2(w2), sonaloc.rs_radial_symmetry_2d(w2), atol=1e-4)
    assert np.allclose(numpy_rs3(w3), sonaloc.rs_radial_symmetry_3d(w3), atol=1e-3)
    rows = []
    for name, ours, peer in (
        ("rs_radial_symmetry_2d, 7x7 window", lambda: sonaloc.rs_radial_symmetry_2d(w2), lambda: numpy_rs2(w2)),
        ("rs_radial_symmetry_3d, 7x7x7 window", lambda: sonaloc.rs_radial_symmetry_3d(w3), lambda: numpy_rs3(w3)),
    ):
        t_ours = median_time(ours, repeat=15, number=2000)
        t_peer = median_time(peer, repeat=7, number=50)
        rows.append({"stage": "localize", "workload": f"{name}, one call", "ours_s": t_ours, "peer_s": t_peer,
                     "peer": "NumPy", "target": ">= 20x"})
    print_table("Radial symmetry, one window per call (median)", ("workload", "sonaloc", "NumPy peer", "speed-up"),
                [(r["workload"], f"{r['ours_s'] * 1e6:.2f} us", f"{r['peer_s'] * 1e6:.1f} us",
                  f"{r['peer_s'] / r['ours_s']:.0f}x") for r in rows])
    return rows


if __name__ == "__main__":
    main()
