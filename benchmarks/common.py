"""Timing helpers shared by the benchmark scripts. Importing this module also
puts tests/ on sys.path, for the references and peers the benchmarks share
with the tests (tests/references.py)."""
import os
import subprocess
import sys
import time

import numpy as np

TESTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests")
if TESTS not in sys.path:
    sys.path.insert(0, TESTS)


def median_time(fn, repeat=7, number=1):
    """Median wall time of `number` calls of fn, over `repeat` runs, in seconds per call."""
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - t0) / number)
    return float(np.median(times))


def run_child(code, threads=None, env=None):
    """Runs python code in a child process; returns (stdout, the child's peak RSS in MB)."""
    e = dict(os.environ)
    if threads is not None:
        e["RAYON_NUM_THREADS"] = str(threads)
    e.update(env or {})
    code += "\nimport resource as _r\nprint('PEAK_RSS_MB', _r.getrusage(_r.RUSAGE_SELF).ru_maxrss / 1024)\n"
    out = subprocess.run([sys.executable, "-c", code], env=e, capture_output=True, text=True, check=True)
    lines = out.stdout.splitlines()
    peak = float(lines[-1].split()[1])
    return "\n".join(lines[:-1]), peak


def run_case(script, name, threads):
    """Runs `script --case NAME` in a child process with RAYON_NUM_THREADS=threads;
    returns the JSON object on the last line of its output."""
    import json
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env["PYTHONPATH"] = os.pathsep.join(p for p in [os.environ.get("PYTHONPATH", ""), *sys.path] if p)
    res = subprocess.run([sys.executable, os.path.abspath(script), "--case", name],
                         env=env, capture_output=True, text=True, check=True)
    return json.loads(res.stdout.strip().splitlines()[-1])


def print_table(title, header, rows):
    print(f"\n{title}")
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    fmt = "  ".join(f"{{:<{w}}}" for w in widths)
    print(fmt.format(*header))
    print(fmt.format(*("-" * w for w in widths)))
    for r in rows:
        print(fmt.format(*r))
