"""Bounded fuzzer: calls every function with random arguments in child
processes, so that a crash is caught together with its reproduction.

    python tests/fuzz/fuzz_all.py --minutes 10 [--seed 1] [--out /tmp/sonaloc-fuzz]
    python tests/fuzz/fuzz_all.py --minutes 5 --sanitized     # children under ASan+UBSan
    python tests/fuzz/fuzz_all.py --replay /tmp/sonaloc-fuzz/call-7.pkl

The module is imported from PYTHONPATH (for --sanitized, a build configured
with -DSONALOC_SANITIZE=ON); the sanitizer runtimes are preloaded into the
children only.

Each child runs a batch of calls; before every call it writes the call's
arguments (pickled) to a file, so when a child dies (a signal, an abort from a
sanitizer) the parent keeps that file as the reproduction. Findings besides
crashes: exceptions other than the orderly ones, outputs of the wrong kind or
shape or sharing memory with an input, inputs that changed, batches that hang.
Each child caps its allocations (--memory-mb), so that a large render grid
that the module accepts fails with MemoryError rather than waking the OOM
killer.
"""
import argparse
import math
import os
import pickle
import subprocess
import sys
import tempfile
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
                  rng.normal(0, 5, (f.shape[0], cols)).astype(np.float32) for f in frames]
        if frames and rng.random() < 0.3:  # tracks to find: jittered copies of one frame
            base = rng.uniform(0, 20, (int(rng.integers(1, 12)), cols)).astype(np.float32)
            frames += [base + rng.normal(0, 0.2, base.shape).astype(np.float32) for _ in range(3)]
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


OUTPUT_DTYPES = {
    "rs_detect_peaks": ("f", "f"),
    "rs_detect_peaks3d": ("f", "f", None),
    "rs_draw_tracks": ("f", "u", 4),
    "rs_draw_tracks_3d": ("f", "u", 6),
    "rs_draw_tracks_value": ("f", "f", "u", 4),
    "rs_draw_tracks_value_3d": ("f", "f", "u", 6),
    "rs_radial_symmetry_2d": (float, float),
    "rs_radial_symmetry_3d": (float, float, float),
    "rs_link_points": ("f", "u"),
    "rs_link_points_3d": ("f", "u"),
}


def input_arrays(args):
    for a in args:
        if isinstance(a, np.ndarray):
            yield a
        elif isinstance(a, list):
            yield from (f for f in a if isinstance(f, np.ndarray))


def snapshot(args):
    return [(a.tobytes(), a.shape, a.strides) for a in input_arrays(args)]


def check_output(name, args, out):
    """Raises AssertionError with a reason when the result breaks the contract."""
    kinds = OUTPUT_DTYPES[name]
    assert isinstance(out, tuple) and len(out) == len(kinds), f"{name}: result {type(out)}"
    inputs = list(input_arrays(args))
    for o, kind in zip(out, kinds):
        if kind is float:
            assert type(o) is float, f"{name}: {type(o)} instead of float"
        elif isinstance(kind, int):
            assert type(o) is tuple and len(o) == kind and all(type(v) is float for v in o), name
        elif kind is None:
            assert o is None or (isinstance(o, np.ndarray) and o.dtype == np.float32), name
        else:
            assert isinstance(o, np.ndarray), f"{name}: {type(o)}"
            assert o.dtype == (np.float32 if kind == "f" else np.uint32), f"{name}: dtype {o.dtype}"
            assert o.flags.c_contiguous and o.flags.writeable, name
            assert not isinstance(o.base, np.ndarray), f"{name}: output is a view of an array"
            assert not any(np.shares_memory(o, i) for i in inputs), f"{name}: output shares an input"
    arrays = [o for o in out if isinstance(o, np.ndarray)]
    if name.startswith("rs_detect_peaks"):
        d = 3 if name.endswith("3d") else 2
        n = arrays[1].shape[0]
        assert arrays[0].shape == (n, d) and all(a.shape == (n,) for a in arrays[1:]), name
        if args[4 if d == 2 else 5] is None or n == 0:
            inten = arrays[1]
            assert not (inten[1:] > inten[:-1]).any(), f"{name}: not brightest first"
    elif name.startswith("rs_link_points"):
        m, e = arrays
        cols = 3 if name == "rs_link_points" else 4
        assert m.ndim == 2 and m.shape[1] == cols and e.ndim == 1, name
        bounds = np.concatenate([[0], e.astype(np.int64)])
        assert (np.diff(bounds) >= 2).all() and bounds[-1] == m.shape[0], f"{name}: track ends {e}"
    elif name.startswith("rs_draw_tracks"):
        shape = arrays[0].shape
        assert all(a.shape == shape for a in arrays) and len(shape) == (3 if "3d" in name else 2), name
        nonzero_count = arrays[-1].sum(dtype=np.uint64)
        assert nonzero_count == 0 or arrays[-1].size, name


def run_one(sonaloc, name, args):
    """None when the call ended in an orderly way, else a description."""
    before = snapshot(args)
    try:
        out = getattr(sonaloc, name)(*args)
    except ORDERLY:
        out = None
    except BaseException as e:  # noqa: B902
        if type(e).__name__ == "PanicException" and "index out of bounds" in str(e) and narrow_input(name, args):
            out = None  # a matrix narrower than the rows it must read: documented
        else:
            return repr(e)
    if snapshot(args) != before:
        return "an input array changed"
    if out is not None:
        try:
            check_output(name, args, out)
        except AssertionError as e:
            return f"contract: {e}"
    return None


def narrow_input(name, args):
    """Whether the call has a matrix with fewer columns than it reads (the documented fault)."""
    need = {"rs_link_points": 3, "rs_link_points_3d": 4, "rs_draw_tracks": 3, "rs_draw_tracks_3d": 4,
            "rs_draw_tracks_value": 4, "rs_draw_tracks_value_3d": 5}.get(name)
    if need is None:
        return False
    return any(a.ndim == 2 and a.shape[0] and a.shape[1] < need for a in input_arrays(args))


def limit_memory(mb):
    """Large grids are allowed up to the memory available now; in a fuzzer
    several such calls would race for it. Capping the child's allocations
    turns them into the documented MemoryError instead of the OOM killer."""
    if os.environ.get("SONALOC_SANITIZED") == "1":
        return  # ASan reserves address space; max_allocation_size_mb caps it instead
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (mb << 20, mb << 20))


def grid_bytes(name, args):
    """Bytes of the images a drawing call would allocate (grid rule in float32), or 0."""
    if not name.startswith("rs_draw_tracks"):
        return 0
    dims = 3 if name.endswith("3d") else 2
    try:
        ext = [np.float32(v) for v in args[2][:2 * dims]]
        ps = np.float32(args[3])
        with np.errstate(all="ignore"):
            cells = 1.0
            for a in range(dims):
                f = ((ext[2 * a + 1] - ext[2 * a]) + np.float32(0.999) * ps) / ps
                cells *= float(f) if f > 0 else 0.0
    except Exception:  # noqa: BLE001 - the call itself will refuse these arguments
        return 0
    return cells * 16 if math.isfinite(cells) else math.inf


def child(seed, iterations, crash_file, memory_mb):
    limit_memory(memory_mb)
    import sonaloc

    sanitized = os.environ.get("SONALOC_SANITIZED") == "1"
    rng = np.random.default_rng(seed)
    findings = []
    for _ in range(iterations):
        name = FUNCTIONS[rng.integers(len(FUNCTIONS))]
        args = args_for(name, rng)
        # Under ASan a failed operator new aborts instead of throwing, so grids
        # that pass the module's memory check but exceed the cap are skipped
        # there (the optimised children see them fail with MemoryError).
        if sanitized and (memory_mb << 20) < grid_bytes(name, args) < 2**64:
            continue
        with open(crash_file, "wb") as f:
            pickle.dump((name, args), f)
        problem = run_one(sonaloc, name, args)
        if problem is not None:
            findings.append((name, args, problem))
    os.unlink(crash_file)
    print(len(findings))
    if findings:
        with open(crash_file + ".exc", "wb") as f:
            pickle.dump(findings, f)


def replay(path):
    import sonaloc

    with open(path, "rb") as f:
        data = pickle.load(f)
    calls = data if isinstance(data, list) else [data + ("",)]
    for name, args, *_ in calls:
        print(name, [getattr(a, "shape", a) for a in args], flush=True)
        print("  ->", run_one(sonaloc, name, args) or "orderly", flush=True)


def sanitizer_env(memory_mb):
    def lib(name):
        return subprocess.run(["g++", f"-print-file-name={name}"], capture_output=True, text=True).stdout.strip()

    env = dict(os.environ)
    env.update(LD_PRELOAD=f"{lib('libasan.so')} {lib('libubsan.so')}", PYTHONMALLOC="malloc",
               ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:"
               f"max_allocation_size_mb={memory_mb}",
               UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1", SONALOC_SANITIZED="1")
    return env


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--minutes", type=float, default=10.0)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--batch", type=int, default=2000)
    p.add_argument("--out", default=os.path.join(tempfile.gettempdir(), "sonaloc-fuzz"))
    p.add_argument("--sanitized", action="store_true", help="preload ASan+UBSan into the children")
    p.add_argument("--timeout", type=float, default=600.0, help="seconds before a batch counts as hung")
    p.add_argument("--replay", help="run the call(s) pickled in this file in this process")
    p.add_argument("--memory-mb", type=int, default=4096, help="allocation cap of a child")
    p.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child:
        child(int(a.child[0]), int(a.child[1]), a.child[2], a.memory_mb)
        return
    if a.replay:
        limit_memory(a.memory_mb)
        replay(a.replay)
        return
    os.makedirs(a.out, exist_ok=True)
    env = sanitizer_env(a.memory_mb) if a.sanitized else None
    deadline = time.time() + a.minutes * 60
    seed, calls, crashes, odd, hangs = a.seed, 0, 0, 0, 0
    while time.time() < deadline:
        crash_file = os.path.join(a.out, f"call-{seed}.pkl")
        try:
            r = subprocess.run([sys.executable, __file__, "--memory-mb", str(a.memory_mb),
                                "--child", str(seed), str(a.batch), crash_file],
                               capture_output=True, text=True, timeout=a.timeout, env=env)
        except subprocess.TimeoutExpired:
            hangs += 1
            print(f"seed {seed}: batch hung; the call in {crash_file} was running", flush=True)
            seed += 1
            continue
        calls += a.batch
        if r.returncode != 0:
            crashes += 1
            with open(crash_file + ".log", "w") as f:
                f.write(r.stdout + r.stderr)
            print(f"seed {seed}: child died ({r.returncode}); reproduction in {crash_file}", flush=True)
        elif os.path.exists(crash_file + ".exc"):
            odd += 1
            print(f"seed {seed}: unexpected outcomes, see {crash_file}.exc", flush=True)
        seed += 1
    print(f"{calls} calls in {seed - a.seed} batches: {crashes} crashes, {hangs} hangs, "
          f"{odd} batches with unexpected outcomes")
    sys.exit(1 if crashes or hangs or odd else 0)


if __name__ == "__main__":
    main()
