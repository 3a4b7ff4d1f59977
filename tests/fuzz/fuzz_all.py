"""Bounded fuzzer: calls every function with random arguments in child
processes, so that a crash is caught together with its reproduction.

    python tests/fuzz/fuzz_all.py --minutes 10 [--seed 1] [--out fuzz-findings]

Each child runs a batch of calls; before every call it writes the call's
arguments (pickled) to a file, so when a child dies (a signal, an abort from a
sanitizer) the parent keeps that file as the reproduction. Calls that raise an
exception other than the orderly ones are findings too.
"""
import argparse
import os
import pickle
import subprocess
import sys
import time

import numpy as np

ORDERLY = (TypeError, ValueError, IndexError, OverflowError, MemoryError)
FUNCTIONS = [
    "rs_detect_peaks", "rs_detect_peaks3d", "rs_draw_tracks", "rs_draw_tracks_3d", "rs_draw_tracks_value",
    "rs_draw_tracks_value_3d", "rs_radial_symmetry_2d", "rs_radial_symmetry_3d", "rs_link_points",
    "rs_link_points_3d",
]
SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, np.nan, np.inf, -np.inf, 1e-30, 1e30, 3.4e38, -3.4e38, 1e-45, 7.0, 2.0**31, 2.0**63]


def real(rng):
    r = rng.random()
    if r < 0.4:
        return float(SPECIAL[rng.integers(len(SPECIAL))])
    if r < 0.8:
        return float(rng.normal(0, 10))
    if r < 0.9:
        return int(rng.integers(-5, 50))
    return float(rng.normal(0, 1e10))


def count(rng, optional=True):
    r = rng.random()
    if optional and r < 0.2:
        return None
    if r < 0.7:
        return int(rng.integers(0, 12))
    choices = [0, 1, 2, 3, 2**31, 2**32, 2**40, 2**63, 2**64 - 1, -1, True]
    return choices[rng.integers(len(choices))]


def array(rng, ndim, dtype=np.float32, max_side=24, values="image"):
    shape = tuple(int(rng.choice([0, 1, 2, 3, 5, 7, rng.integers(0, max_side)])) for _ in range(ndim))
    if values == "image":
        a = rng.random(shape).astype(np.float64) * rng.choice([1, 10, 1e6])
    else:
        a = rng.normal(0, rng.choice([1, 10, 100]), shape)
    if a.size and rng.random() < 0.4:
        flat = a.reshape(-1)
        for _ in range(rng.integers(1, 4)):
            flat[rng.integers(flat.size)] = SPECIAL[rng.integers(len(SPECIAL))]
    a = a.astype(dtype)
    r = rng.random()
    if r < 0.15 and ndim >= 2:
        a = np.ascontiguousarray(a.swapaxes(0, 1)).swapaxes(0, 1)  # Fortran-like strides
    elif r < 0.3 and a.ndim >= 1:
        a = a[::-1]
    elif r < 0.4 and a.size:
        rec = np.zeros(a.shape, dtype=[("pad", "u1"), ("v", a.dtype)])  # unaligned, odd strides
        rec["v"] = a
        a = rec["v"]
    elif r < 0.45:
        a = a.astype(np.float64)  # wrong dtype on purpose
    return a


def extent(rng, n):
    r = rng.random()
    if r < 0.05:
        return [real(rng) for _ in range(n)]  # a list: refused
    if r < 0.1:
        return tuple(real(rng) for _ in range(rng.integers(0, n + 2)))
    if r < 0.5:
        return tuple(real(rng) for _ in range(n))
    lo = rng.normal(0, 5, n // 2)
    hi = lo + rng.uniform(-1, 30, n // 2)
    return tuple(float(v) for pair in zip(lo, hi) for v in pair)


def method(rng):
    return [None, "radial_symmetry", "gaussian_fitting", "Radial_Symmetry", "", 3][rng.integers(6)]


def ends(rng, rows):
    r = rng.random()
    if r < 0.6 and rows:
        cuts = np.sort(rng.integers(0, rows + 3, rng.integers(0, 6)))
        e = np.append(cuts, rows)
    else:
        e = rng.integers(-3, rows + 5, rng.integers(0, 6))
    if rng.random() < 0.05:
        return e.astype(np.uint32)
    return e.astype(np.int32)


def args_for(name, rng):
    if name == "rs_detect_peaks":
        return (array(rng, 2, max_side=40), extent(rng, 4), real(rng), real(rng), method(rng), count(rng), count(rng))
    if name == "rs_detect_peaks3d":
        sig = None if rng.random() < 0.4 else extent(rng, 3)
        thr = None if rng.random() < 0.5 else real(rng)
        return (array(rng, 3, max_side=14), extent(rng, 6), real(rng), real(rng), count(rng), method(rng), sig, thr, count(rng))
    if name in ("rs_radial_symmetry_2d", "rs_radial_symmetry_3d"):
        return (array(rng, 2 if name.endswith("2d") else 3, max_side=10),)
    if name.startswith("rs_link_points"):
        cols = 3 if name == "rs_link_points" else 4
        frames = [array(rng, 2, max_side=30, values="coords") for _ in range(rng.integers(0, 6))]
        frames = [f if f.ndim != 2 or f.shape[1] >= cols or rng.random() < 0.1 else
                  np.zeros((f.shape[0], cols), np.float32) + f[:, :1] for f in frames]
        a = (frames, real(rng), count(rng, optional=False))
        return a + (real(rng),) if cols == 3 else a
    dims = 3 if name.endswith("3d") else 2
    cols = dims + (2 if "value" in name else 1)
    m = array(rng, 2, max_side=40, values="coords")
    if m.ndim == 2 and m.shape[1] < cols and rng.random() < 0.9:
        m = np.abs(rng.normal(5, 5, (m.shape[0], cols))).astype(np.float32)
    e = extent(rng, 2 * dims)
    ps = real(rng) if rng.random() < 0.4 else float(rng.choice([0.5, 1.0, 2.0, 0.1]))
    return (m, ends(rng, m.shape[0] if m.ndim else 0), e, ps)


def check_output(name, out):
    arrays = [o for o in (out if isinstance(out, tuple) else (out,)) if isinstance(o, np.ndarray)]
    for a in arrays:
        assert a.flags.c_contiguous and a.flags.writeable, name
        assert a.dtype in (np.float32, np.uint32), name


def child(seed, iterations, crash_file):
    import sonaloc

    rng = np.random.default_rng(seed)
    findings = []
    for it in range(iterations):
        name = FUNCTIONS[rng.integers(len(FUNCTIONS))]
        args = args_for(name, rng)
        with open(crash_file, "wb") as f:
            pickle.dump((name, args), f)
        try:
            out = getattr(sonaloc, name)(*args)
            check_output(name, out)
        except ORDERLY:
            pass
        except BaseException as e:  # noqa: B902
            if type(e).__name__ == "PanicException" and "index out of bounds" in str(e):
                continue  # a matrix narrower than its rows need: documented
            findings.append((name, args, repr(e)))
    os.unlink(crash_file)
    print(len(findings))
    if findings:
        with open(crash_file + ".exc", "wb") as f:
            pickle.dump(findings, f)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--minutes", type=float, default=10.0)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--batch", type=int, default=2000)
    p.add_argument("--out", default="fuzz-findings")
    p.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child:
        child(int(a.child[0]), int(a.child[1]), a.child[2])
        return
    os.makedirs(a.out, exist_ok=True)
    deadline = time.time() + a.minutes * 60
    seed, calls, crashes, odd = a.seed, 0, 0, 0
    while time.time() < deadline:
        crash_file = os.path.join(a.out, f"call-{seed}.pkl")
        r = subprocess.run([sys.executable, __file__, "--child", str(seed), str(a.batch), crash_file],
                           capture_output=True, text=True, timeout=600)
        calls += a.batch
        if r.returncode != 0:
            crashes += 1
            with open(crash_file + ".log", "w") as f:
                f.write(r.stdout + r.stderr)
            print(f"seed {seed}: child died ({r.returncode}); reproduction in {crash_file}", flush=True)
        elif os.path.exists(crash_file + ".exc"):
            odd += 1
            print(f"seed {seed}: unexpected exceptions, see {crash_file}.exc", flush=True)
        seed += 1
    print(f"{calls} calls in {seed - a.seed} batches: {crashes} crashes, {odd} batches with unexpected exceptions")


if __name__ == "__main__":
    main()
