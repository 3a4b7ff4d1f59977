"""The detection scans against frame.max() on the same array.

frame.max() reads every element once with NumPy's widest reduction: the
bandwidth reference of a pass over the frame. The scans run on noise that few
pixels pass (the threshold test is most of the work), without thinning or
localization:

* 2D: a 256 x 256 float32 frame (256 kB, in cache when called again and
  again) and a 4096 x 4096 one (64 MB, from memory);
* 3D: a 64^3 volume (1 MB, in cache) and a 256^3 one (64 MB, from memory).

Each case runs in a child process with RAYON_NUM_THREADS=1 or 2 (the pool
size is fixed per process). Our call and frame.max() are timed alternately,
so a busy machine slows both sides of a ratio alike; small cases time a batch
of calls per sample. One-thread cases are timed in CPU time of the process
(steadier than wall time on a shared machine), two-thread cases in wall time. The table states the CPU and the SIMD path the module
takes there (the widest the CPU offers, capped by the build's SONALOC_SIMD).

    python benchmarks/bench_scan.py            # the table
    python benchmarks/bench_scan.py --repeat 3 # each case three times, medians of the runs
"""
import json
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import print_table  # noqa: E402

THRESHOLD_2D = 4.5  # standard normal noise: about 3e-6 of the pixels pass
THRESHOLD_3D = 0.9999  # uniform noise in [0, 1): 1e-4 of the voxels pass
CASES = {
    # name: (shape, in cache, calls per sample, samples)
    "2d-256": ((256, 256), True, 200, 41),
    "2d-4096": ((4096, 4096), False, 1, 31),
    "3d-64": ((64, 64, 64), True, 20, 41),
    "3d-256": ((256, 256, 256), False, 1, 21),
}
# Targets on peer time / our time, i.e. frame.max() time / scan time.
TARGETS = {("2d-256", 1): ">= 0.33x", ("2d-4096", 1): ">= 1x"}


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown CPU"


def simd_path():
    """The path the module chooses: the CPU's widest (AVX-512 needs F, BW, DQ
    and VL; AVX2 needs AVX2, FMA, BMI1/2 and POPCNT), capped by SONALOC_SIMD of
    the build when the module sits in its CMake build directory."""
    flags = set()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    break
    except OSError:
        pass
    path = "portable"
    if {"avx2", "fma", "bmi1", "bmi2", "popcnt"} <= flags:
        path = "avx2"
        if {"avx512f", "avx512bw", "avx512dq", "avx512vl"} <= flags:
            path = "avx512"
    import sonaloc

    cache = os.path.join(os.path.dirname(os.path.abspath(sonaloc.__file__)), "CMakeCache.txt")
    cap = "auto"
    if os.path.exists(cache):
        with open(cache) as f:
            for line in f:
                if line.startswith("SONALOC_SIMD:"):
                    cap = line.split("=", 1)[1].strip()
    order = ["portable", "avx2", "avx512"]
    if cap in order:
        path = order[min(order.index(path), order.index(cap))]
    return path


def make_array(shape):
    rng = np.random.default_rng(1)
    if len(shape) == 2:
        return rng.standard_normal(shape, dtype=np.float32)
    return rng.random(shape, dtype=np.float32)


def paired_times(fa, fb, number, repeats, clock):
    """Median times per call of fa and fb, timed alternately."""
    for _ in range(2):
        fa(), fb()
    ta, tb = [], []
    for _ in range(repeats):
        for fn, out in ((fa, ta), (fb, tb)):
            t0 = clock()
            for _ in range(number):
                fn()
            out.append((clock() - t0) / number)
    return float(np.median(ta)), float(np.median(tb))


def run_case_here(name):
    import sonaloc

    shape, _, number, repeats = CASES[name]
    frame = make_array(shape)
    extent = tuple(float(v) for n in shape for v in (0, n - 1))
    if len(shape) == 2:
        scan = lambda: sonaloc.rs_detect_peaks(frame, extent, THRESHOLD_2D, 0.0, None, None, None)
    else:
        scan = lambda: sonaloc.rs_detect_peaks3d(frame, extent, THRESHOLD_3D, 0.0, None, None, None, None, None)
    peaks = len(scan()[1])
    one_thread = os.environ.get("RAYON_NUM_THREADS") == "1"
    ours, ref = paired_times(scan, frame.max, number, repeats, time.process_time if one_thread else time.perf_counter)
    return {"ours": ours, "ref": ref, "peaks": peaks}


def run_case(name, threads):
    from common import run_case as run_child_case
    return run_child_case(__file__, name, threads)


def describe(name):
    shape, in_cache, _, _ = CASES[name]
    size = "^".join([str(shape[0]), str(len(shape))]) if len(set(shape)) == 1 else "x".join(map(str, shape))
    kind = "frame" if len(shape) == 2 else "volume"
    return f"scan {size} noise {kind}, {'in cache' if in_cache else 'from memory'}"


def main(repeat=1):
    path = simd_path()
    rows, printed = [], []
    for name in CASES:
        for threads in (1, 2):
            runs = [run_case(name, threads) for _ in range(repeat)]
            ours = float(np.median([r["ours"] for r in runs]))
            ref = float(np.median([r["ref"] for r in runs]))
            target = TARGETS.get((name, threads), "")
            workload = f"{describe(name)}, {threads} thread(s), {path}"
            rows.append({"stage": "detect", "workload": workload, "ours_s": ours, "peer_s": ref,
                         "peer": "frame.max()", "target": target})
            n = int(np.prod(CASES[name][0]))
            printed.append((f"{describe(name)}, {threads} thread(s)", f"{runs[0]['peaks']}",
                            f"{ours * 1e6:.1f} us ({ours / n * 1e9:.3f} ns/px)", f"{ref * 1e6:.1f} us",
                            f"{ours / ref:.2f}x", target and f"<= {1 / float(target.split()[1][:-1]):.1f}x"))
    print_table(f"Detection scans against frame.max() ({cpu_name()}, path {path})",
                ("case", "peaks", "scan", "frame.max()", "scan / max", "target"), printed)
    return rows


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--case":
        print(json.dumps(run_case_here(sys.argv[2])))
    elif len(sys.argv) == 3 and sys.argv[1] == "--repeat":
        main(int(sys.argv[2]))
    else:
        main()
