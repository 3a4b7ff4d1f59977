"""3D detection: the peak scan against a plain pass over the volume, and the
per-peak cost of the two 3D localizers and of the correlation score against
the same steps written as vectorised NumPy/SciPy (one window per peak, the
way a host would do it without the module).

Localizer and correlation costs are differences of rs_detect_peaks3d calls
with and without the step, divided by the number of peaks; they and the
one-thread scan are measured in a child process with RAYON_NUM_THREADS=1, as
CPU time of that process (steadier than wall time on a shared machine)."""
import json
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import median_time, print_table, run_child  # noqa: E402
from references import peer_radial_symmetry_3d  # noqa: E402

import sonaloc  # noqa: E402

SCAN_SHAPE = (256, 256, 256)
SPOT_GRID = 8  # spot spacing of the localization volume, in voxels


def scan_volume(shape=SCAN_SHAPE, spots=64, seed=0):
    """Uniform noise in [0, 1) with a few bright voxels: few candidates."""
    rng = np.random.default_rng(seed)
    vol = rng.random(shape, dtype=np.float32)
    idx = tuple(rng.integers(1, n - 1, spots) for n in shape)
    vol[idx] = 2.0 + rng.random(spots, dtype=np.float32)
    return vol


def spot_volume(side=128, seed=1):
    """Gaussian spots (width 1.2 voxels) on a jittered grid plus weak noise."""
    rng = np.random.default_rng(seed)
    vol = 0.02 * rng.random((side,) * 3, dtype=np.float32)
    g = np.indices((9, 9, 9), dtype=np.float32) - 4
    for c in np.ndindex(*(((side - SPOT_GRID) // SPOT_GRID,) * 3)):
        centre = (np.array(c) + 1) * SPOT_GRID + rng.uniform(-0.4, 0.4, 3)
        base = np.round(centre).astype(int)
        off = (centre - base).astype(np.float32)
        r2 = sum((g[a] - off[a]) ** 2 for a in range(3))
        sl = tuple(slice(b - 4, b + 5) for b in base)
        vol[sl] += np.exp(-r2 / (2 * 1.2**2))
    return vol


def extent_of(vol):
    return tuple(float(v) for n in vol.shape for v in (0, n - 1))


def detect(vol, **kw):
    args = dict(threshold=0.5, min_distance=0.0, localization_window_size=None,
                localization_method=None, correlation_sigmas=None,
                correlation_threshold=None, max_num_peaks=None)
    args.update(kw)
    return sonaloc.rs_detect_peaks3d(vol, extent_of(vol), **args)


# ------------------------------------------------------------------ NumPy/SciPy peers

def numpy_scan(vol, threshold):
    from scipy.ndimage import maximum_filter

    interior = np.zeros(vol.shape, bool)
    interior[1:-1, 1:-1, 1:-1] = True
    mask = interior & (vol >= threshold) & (vol == maximum_filter(vol, size=3, mode="nearest"))
    idx = np.argwhere(mask)
    order = np.argsort(-vol[mask], kind="stable")
    return idx[order]


def numpy_gauss3(w):
    w = w.astype(np.float32)
    m = np.nanmax(w)
    if not m > 0:
        return None
    z, y, x = (np.arange(n, dtype=np.float32) - np.float32((n - 1) * 0.5) for n in w.shape)
    z, y, x = np.meshgrid(z, y, x, indexing="ij")
    d = w / m
    p = np.zeros(3, np.float32)
    for _ in range(5):
        dz, dy, dx = z - p[0], y - p[1], x - p[2]
        g = np.exp(-0.5 * (dx * dx + dy * dy + dz * dz))
        r = d - g
        J = np.stack([dz * g, dy * g, dx * g]).reshape(3, -1)
        N = J @ J.T
        if abs(np.linalg.det(N)) < 1e-10:
            return None
        p = p + np.linalg.solve(N, J @ r.ravel())
    return p + (np.asarray(w.shape, np.float32) - 1) * np.float32(0.5)


def numpy_localize(vol, peaks, localizer, w=7):
    """The window steps of the module: cut (shifted inward), localize, bound, map."""
    h = w // 2
    out = []
    for p in peaks:
        start = np.minimum(np.maximum(p - h, 0), np.asarray(vol.shape) - w)
        win = vol[start[0]:start[0] + w, start[1]:start[1] + w, start[2]:start[2] + w]
        d = localizer(np.ascontiguousarray(win))
        if d is None:
            continue
        d = np.asarray(d, np.float32)
        if (np.abs(d) - w * 0.5 > w * 0.5).any():
            d[:] = w * 0.5
        out.append(d + start)
    return out


def numpy_correlation_template(sigmas, size):
    g = np.indices((5, 5, 5), dtype=np.float32) - 2
    t = np.exp(-0.5 * sum(((g[a] * size[a]) / sigmas[a]) ** 2 for a in range(3)))
    return t / t.sum()


def numpy_correlations(vol, peaks, tmpl):
    out = np.empty(len(peaks), np.float32)
    for n, (i, j, k) in enumerate(peaks):
        lo = np.maximum([i - 2, j - 2, k - 2], 0)
        hi = np.minimum([i + 3, j + 3, k + 3], vol.shape)
        v = vol[lo[0]:hi[0], lo[1]:hi[1], lo[2]:hi[2]].ravel()
        t = tmpl[lo[0] - i + 2:hi[0] - i + 2, lo[1] - j + 2:hi[1] - j + 2,
                 lo[2] - k + 2:hi[2] - k + 2].ravel()
        dv, dt = v - v.mean(), t - t.mean()
        p = (dt * dt).sum() * (dv * dv).sum()
        out[n] = 0.0 if p == 0 else (dt * dv).sum() / np.sqrt(p)
    return out


# ------------------------------------------------------------------ measurements

def cpu_time(fn, repeat=7):
    """Median CPU time of one call, in seconds (for single-threaded runs)."""
    times = []
    for _ in range(repeat):
        t0 = time.process_time()
        fn()
        times.append(time.process_time() - t0)
    return float(np.median(times))


def measure_scan(vol, timer=median_time):
    t_scan = timer(lambda: detect(vol, threshold=1.5), repeat=15)
    t_max = timer(vol.max, repeat=15)
    return t_scan, t_max


def measure_per_peak():
    """Run with one worker thread: per-peak costs of the module and the peers."""
    vol = scan_volume()
    t_scan, t_max = measure_scan(vol, cpu_time)
    t_peer_scan = cpu_time(lambda: numpy_scan(vol, 1.5), repeat=3)
    assert len(numpy_scan(vol, 1.5)) == len(detect(vol, threshold=1.5)[0])
    del vol

    vol = spot_volume()
    pos, inten, _ = detect(vol)
    n = len(pos)
    peaks = np.rint(pos).astype(int)
    base = cpu_time(lambda: detect(vol), repeat=9)
    res = {"scan_1t": t_scan, "max_1t": t_max, "scan_peer": t_peer_scan, "peaks": n}
    subset = peaks[:: max(1, n // 150)]
    for name, method, peer in (("radial_symmetry", "radial_symmetry", peer_radial_symmetry_3d),
                               ("gaussian_fitting", "gaussian_fitting", numpy_gauss3)):
        out = detect(vol, localization_method=method)[0]
        assert len(out) == n
        ref = numpy_localize(vol, peaks[:20], peer)
        assert np.allclose(ref, out[:20], atol=2e-3), name
        t = cpu_time(lambda: detect(vol, localization_method=method), repeat=5)
        t_peer = cpu_time(lambda: numpy_localize(vol, subset, peer), repeat=3)
        res[name] = ((t - base) / n, t_peer / len(subset))

    sigmas = (1.2, 1.2, 1.2)
    corr = detect(vol, correlation_sigmas=sigmas)[2]
    tmpl = numpy_correlation_template(np.float32(sigmas), np.float32([(s - 1) / s for s in vol.shape]))
    assert np.allclose(numpy_correlations(vol, peaks, tmpl), corr, atol=1e-4)
    t = cpu_time(lambda: detect(vol, correlation_sigmas=sigmas), repeat=9)
    t_peer = cpu_time(lambda: numpy_correlations(vol, subset, tmpl), repeat=3)
    res["correlation"] = ((t - base) / n, t_peer / len(subset))
    return res


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    code = (f"import sys, json; sys.path.insert(0, {here!r}); import bench_detect3d as b;"
            "print(json.dumps(b.measure_per_peak()))")
    out, _ = run_child(code, threads=1)
    one = json.loads(out.splitlines()[-1])
    vol = scan_volume()
    t_scan, t_max = measure_scan(vol)
    threads = os.environ.get("RAYON_NUM_THREADS", f"default ({os.cpu_count()} CPUs)")

    pool = os.environ.get("RAYON_NUM_THREADS") or str(len(os.sched_getaffinity(0)))
    table = [
        {"stage": "detect", "workload": "scan 256^3 noise volume, 1 thread", "ours_s": one["scan_1t"],
         "peer_s": one["max_1t"], "peer": "volume.max()", "target": ">= 0.667x"},
        {"stage": "detect", "workload": f"scan 256^3 noise volume, {pool} threads", "ours_s": t_scan,
         "peer_s": t_max, "peer": "volume.max()", "target": ""},
        {"stage": "detect", "workload": "scan 256^3 noise volume, 1 thread", "ours_s": one["scan_1t"],
         "peer_s": one["scan_peer"], "peer": "SciPy", "target": ""},
    ]
    rows = [
        ("scan 256^3, 1 thread", f"{one['scan_1t'] * 1e3:.1f} ms", f"max {one['max_1t'] * 1e3:.1f} ms",
         f"{one['scan_1t'] / one['max_1t']:.2f}x of max", "<= 1.5x"),
        (f"scan 256^3, {threads} threads", f"{t_scan * 1e3:.1f} ms", f"max {t_max * 1e3:.1f} ms",
         f"{t_scan / t_max:.2f}x of max", ""),
        ("scan 256^3, 1 thread", f"{one['scan_1t'] * 1e3:.1f} ms",
         f"SciPy {one['scan_peer'] * 1e3:.0f} ms", f"{one['scan_peer'] / one['scan_1t']:.0f}x faster", ""),
    ]
    for key, label, target in (("radial_symmetry", "radial symmetry 3D, 7^3", "<= 15 us, >= 20x"),
                               ("gaussian_fitting", "Gaussian fitting 3D, 7^3", "<= 20 us, >= 20x"),
                               ("correlation", "correlation 5^3", "<= 1 us, >= 20x")):
        ours, peer = one[key]
        rows.append((f"{label}, per peak, 1 thread", f"{ours * 1e6:.2f} us", f"NumPy {peer * 1e6:.0f} us",
                     f"{peer / ours:.0f}x faster", target))
        table.append({"stage": "detect+localize" if key != "correlation" else "detect+correlate",
                      "workload": f"{label}, per peak ({one['peaks']} peaks), 1 thread",
                      "ours_s": ours, "peer_s": peer, "peer": "NumPy", "target": target})
    print_table(f"3D detection (median; {one['peaks']} peaks for the per-peak rows)",
                ("workload", "sonaloc", "reference", "ratio", "target"), rows)
    return table


if __name__ == "__main__":
    main()
