"""References and peers shared by the tests and the benchmarks.

A reference follows the module's rules literally (exact integers, or float32
in the module's order of operations): the tests compare against it bit for
bit. A peer does the same job the way a NumPy/SciPy user would: the benchmarks
time it against the module, and the tests check that it agrees.

The benchmarks import this module by name: benchmarks/common.py puts this
folder on sys.path.
"""
import numpy as np

f32 = np.float32
I64_MAX = 2**63 - 1


# ---------------------------------------------------------------- synthetic spots

def gaussian(shape, centre, sigma=1.0, amplitude=1.0):
    """A float32 Gaussian spot computed in double precision."""
    grid = np.indices(shape, dtype=np.float64)
    r2 = sum((grid[a] - centre[a]) ** 2 for a in range(len(shape)))
    return (amplitude * np.exp(-r2 / (2.0 * sigma * sigma))).astype(np.float32)


# ---------------------------------------------------------------- line walks of the renderers

T2 = [lambda x, y: (x, y), lambda x, y: (y, x), lambda x, y: (y, -x), lambda x, y: (-x, y),
      lambda x, y: (-x, -y), lambda x, y: (-y, -x), lambda x, y: (-y, x), lambda x, y: (x, -y)]
B2 = [lambda X, Y: (X, Y), lambda X, Y: (Y, X), lambda X, Y: (-Y, X), lambda X, Y: (-X, Y),
      lambda X, Y: (-X, -Y), lambda X, Y: (-Y, -X), lambda X, Y: (Y, -X), lambda X, Y: (X, -Y)]


def ref_line_2d(s, e):
    """The octant-normalised walk, literally, on exact integers."""
    a, b, o = e[0] - s[0], e[1] - s[1], 0
    if b < 0:
        a, b, o = -a, -b, o + 4
    if a < 0:
        a, b, o = b, -a, o + 2
    if a < b:
        o += 1
    (X0, Y0), (X1, Y1) = T2[o](*s), T2[o](*e)
    DX, DY = X1 - X0, Y1 - Y0
    D, Y, out = DY - DX, Y0, []
    for i in range(DX):
        out.append(B2[o](X0 + i, Y))
        if D >= 0:
            Y, D = Y + 1, D - DX
        D += DY
    return out


def ref_line_3d(s, e):
    d = [e[k] - s[k] for k in range(3)]
    N = max(abs(v) for v in d)
    err, cur, out = [N // 2] * 3, list(s), []
    for _ in range(N + 1):
        out.append(tuple(cur))
        for k in range(3):
            err[k] -= abs(d[k])
            if err[k] < 0:
                err[k] += N
                cur[k] += (d[k] > 0) - (d[k] < 0)
    return out


# ---------------------------------------------------------------- linking

def cell(v, size):
    q = np.floor(f32(v) / f32(size))
    if not q >= 1.0:
        return 0
    return 2**64 - 1 if q >= f32(2.0**64) else int(q)


def sat_i64(v):
    if np.isnan(v):
        return 0
    return I64_MAX if v >= f32(2.0**63) else int(v)


def dense_matrix(a, b, max_distance, ratio=None):
    """The R x (C + R) cost matrix of a frame pair, computed as the linker does."""
    md = f32(max_distance)
    u = sat_i64(f32(1e6) * md)
    dims = a.shape[1] - 1
    w = np.full((len(a), len(b) + len(a)), 10 * u, np.int64 if 10 * u <= I64_MAX else object)
    for i, p in enumerate(a):
        w[i, len(b) + i] = u
        for j, q in enumerate(b):
            near = all((cell(q[k], md) - cell(p[k], md)) % 2**64 in (0, 1, 2**64 - 1) for k in range(dims))
            d2 = f32(0)
            for k in range(dims):
                d2 = f32(d2 + (p[k] - q[k]) * (p[k] - q[k]))
            ok = near and md * md >= d2
            if ratio is not None:
                r = f32(ratio)
                ok = ok and not q[dims] > r * p[dims] and not p[dims] > q[dims] * r
            if ok:
                w[i, j] = sat_i64(np.sqrt(d2) * f32(1e6))
    return w, u


def link_by_gap_precedence(frames, max_skip, cost_matrix):
    """Tracks of 2D frames (x, y, intensity) from a dense assignment per frame
    pair: all pairs one frame apart first, then two apart, ...; a link is taken
    only where its earlier point has no successor and its later point no
    predecessor yet. cost_matrix(a, b) is the R x (C + R) matrix of a pair
    (column C + i: row i stays unmatched). Returns (matrix, ends) as the
    linker exports them."""
    from scipy.optimize import linear_sum_assignment

    offsets = np.cumsum([0] + [len(f) for f in frames])
    n = offsets[-1]
    nxt, has_prev = [-1] * n, [False] * n
    for g in range(1, max_skip + 2):
        for t in range(len(frames) - g):
            a, b = frames[t], frames[t + g]
            if len(a) == 0 or len(b) == 0:
                continue
            for i, j in zip(*linear_sum_assignment(cost_matrix(a, b))):
                p, q = offsets[t] + i, offsets[t + g] + j
                if j < len(b) and nxt[p] < 0 and not has_prev[q]:
                    nxt[p], has_prev[q] = q, True
    flat = np.concatenate(frames) if frames else np.zeros((0, 3), f32)
    rows, ends = [], []
    for i in range(n):
        if not has_prev[i] and nxt[i] >= 0:
            p = i
            while p >= 0:
                rows.append(flat[p])
                p = nxt[p]
            ends.append(len(rows))
    return np.array(rows, f32).reshape(-1, 3), np.array(ends, np.uint32)


def reference_link(frames, max_distance, max_skip, ratio):
    """Linking by the exact cost matrix of every frame pair."""
    return link_by_gap_precedence(frames, max_skip, lambda a, b: dense_matrix(a, b, max_distance, ratio)[0])


def peer_link(frames, max_distance, max_skip, ratio):
    """The SciPy way: candidates by scipy.spatial.cKDTree, every frame pair
    solved by scipy.optimize.linear_sum_assignment on the dense matrix
    (forbidden pairs 10 U, private unmatched columns U)."""
    from scipy.spatial import cKDTree

    md = f32(max_distance)
    u = np.int64(min(f32(1e6) * md, f32(2.0**63 - 1)))

    def cost_matrix(a, b):
        r, c = len(a), len(b)
        w = np.full((r, c + r), 10 * u, np.int64)
        w[np.arange(r), c + np.arange(r)] = u
        tree = cKDTree(b[:, :2].astype(np.float64))
        for i, cand in enumerate(tree.query_ball_point(a[:, :2].astype(np.float64), float(md) * 1.001)):
            if not cand:
                continue
            cand = np.asarray(cand)
            d = a[i, :2] - b[cand, :2]
            d2 = d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]
            ok = (md * md >= d2) & ~(b[cand, 2] > f32(ratio) * a[i, 2]) & ~(a[i, 2] > b[cand, 2] * f32(ratio))
            w[i, cand[ok]] = (np.sqrt(d2[ok]) * f32(1e6)).astype(np.int64)
        return w

    return link_by_gap_precedence(frames, max_skip, cost_matrix)


# ---------------------------------------------------------------- radial symmetry peers

def peer_radial_symmetry_2d(w):
    """Radial-symmetry offsets from the window centre, vectorised over a window
    (R, C) or a stack of windows (n, R, C): (axis 0, axis 1), each one value
    per window."""
    R, C = w.shape[-2:]
    y = (np.arange(R - 1, dtype=np.float32) + np.float32(0.5 - (R - 1) * 0.5))[:, None]
    x = (np.arange(C - 1, dtype=np.float32) + np.float32(0.5 - (C - 1) * 0.5))[None, :]
    d1 = w[..., 1:, :-1] - w[..., :-1, 1:]
    d2 = w[..., :-1, :-1] - w[..., 1:, 1:]
    window_axes = (-2, -1)

    def smooth(d):  # 3 x 3 mean, zero outside the window
        p = np.pad(d, 1 if d.ndim == 2 else ((0, 0), (1, 1), (1, 1)))  # a single window: np.pad's short path
        return sum(p[..., a:a + d.shape[-2], b:b + d.shape[-1]] for a in range(3) for b in range(3)) / np.float32(9)

    s1, s2 = smooth(d1), smooth(d2)
    with np.errstate(divide="ignore", invalid="ignore"):
        m = -(s1 + s2) / (s1 - s2)
    m[np.isnan(m)] = 0
    m[np.isinf(m)] = 1e6
    b = x - m * y
    g = s1 * s1 + s2 * s2
    S = g.sum(axis=window_axes, keepdims=True)
    S[S == 0] = 1
    xc = (g * x).sum(axis=window_axes, keepdims=True) / S
    yc = (g * y).sum(axis=window_axes, keepdims=True) / S
    v = g / np.maximum(np.sqrt((y - yc) ** 2 + (x - xc) ** 2), np.float32(1e-4)) / (m * m + 1)
    A, B, M, P, Q = (t.sum(axis=window_axes) for t in (v, v * m, v * m * m, v * m * b, v * b))
    det = B * B - A * M
    with np.errstate(divide="ignore", invalid="ignore"):
        return (P * A - Q * B) / det, (P * B - Q * M) / det


def peer_radial_symmetry_3d(window):
    """The 3D radial-symmetry centre of one window, in index coordinates, with
    NumPy and scipy.ndimage."""
    from scipy.ndimage import uniform_filter

    I = window.astype(np.float32)
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
