#!/usr/bin/env python3
"""Runs every benchmark of this directory and prints one table.

    python benchmarks/run_all.py                  # all bench_*.py scripts
    python benchmarks/run_all.py linking render   # only bench_linking.py and bench_render.py
    python benchmarks/run_all.py --verbose        # also show each script's own output
    python benchmarks/run_all.py --json out.json  # also write the rows as JSON

Convention: every ``bench_*.py`` exposes ``main()``, which returns a list of
rows, one dict per measurement:

    stage      str    pipeline stage ("detect", "localize", "link", "render", ...)
    workload   str    what was measured
    ours_s     float  sonaloc's time in seconds (median of repeated runs)
    peer_s     float  the peer's time for the same work, or None
    target     str    e.g. ">= 20x" (on the ratio), "<= 15 us" (on our time),
                      "< 200 MB" (on memory_mb; MB or GB, 1 GB = 1024 MB),
                      or several separated by commas; "" for none
    memory_mb  float  optional: peak memory of the workload in MB
    peer       str    optional: the peer's name (NumPy, SciPy, scikit-image, ...)

The ratio column is peer_s / ours_s: how many times faster sonaloc is. A script
whose main() returns anything else still runs: its own output is printed and
the table notes it.
"""
from __future__ import annotations

import argparse
import contextlib
import importlib.util
import io
import json
import math
import os
import re
import sys
import time
import traceback
from typing import Dict, List, Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
REQUIRED = ("stage", "workload", "ours_s", "peer_s", "target")
COLUMNS = ("stage", "workload", "ours", "peer", "ratio", "target", "met", "memory")


def discover(names: List[str], directory: str = HERE) -> List[str]:
    scripts = sorted(f for f in os.listdir(directory) if f.startswith("bench_") and f.endswith(".py"))
    if names:
        wanted = {n if n.startswith("bench_") else f"bench_{n}" for n in (n.removesuffix(".py") for n in names)}
        unknown = wanted - {s[:-3] for s in scripts}
        if unknown:
            raise SystemExit(f"no such benchmark: {', '.join(sorted(unknown))} (have: {', '.join(scripts)})")
        scripts = [s for s in scripts if s[:-3] in wanted]
    return scripts


def load(script: str, directory: str = HERE):
    name = script[:-3]
    found = importlib.util.spec_from_file_location(name, os.path.join(directory, script))
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module  # so that child processes and pickling can find it by name
    found.loader.exec_module(module)
    return module


def conforming(rows) -> bool:
    return (isinstance(rows, list) and len(rows) > 0
            and all(isinstance(r, dict) and all(k in r for k in REQUIRED) for r in rows))


def fmt_time(s: Optional[float]) -> str:
    if s is None or not isinstance(s, (int, float)) or math.isnan(s):
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if abs(s) >= scale or unit == "ns":
            v = s / scale
            return f"{v:.3g} {unit}" if v < 100 else f"{v:.0f} {unit}"
    return "-"


_CLAUSE = re.compile(r"^\s*(<=|>=|<|>)\s*([0-9.eE+-]+)\s*(x|s|ms|us|µs|ns|MB|GB)?\s*$")
_SCALE = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "µs": 1e-6, "ns": 1e-9, "MB": 1.0, "GB": 1024.0}


def target_met(target: str, ours: Optional[float], ratio: Optional[float],
               memory_mb: Optional[float] = None) -> str:
    """'yes', 'no', or '-' when the target is empty or not of the simple forms."""
    clauses = [c for c in (target or "").split(",") if c.strip()]
    if not clauses:
        return "-"
    results = []
    for clause in clauses:
        m = _CLAUSE.match(clause)
        if not m:
            return "-"
        op, number, unit = m.group(1), float(m.group(2)), m.group(3) or "x"
        value = ratio if unit == "x" else memory_mb if unit in ("MB", "GB") else ours
        bound = number if unit == "x" else number * _SCALE[unit]
        if value is None:
            return "-"
        results.append({"<=": value <= bound, ">=": value >= bound, "<": value < bound, ">": value > bound}[op])
    return "yes" if all(results) else "no"


def table_row(r: Dict) -> Tuple[str, ...]:
    ours, peer = r.get("ours_s"), r.get("peer_s")
    ratio = peer / ours if isinstance(ours, (int, float)) and isinstance(peer, (int, float)) and ours > 0 else None
    peer_text = fmt_time(peer)
    if peer is not None and r.get("peer"):
        peer_text += f" ({r['peer']})"
    mem = r.get("memory_mb")
    return (str(r["stage"]), str(r["workload"]), fmt_time(ours), peer_text,
            "-" if ratio is None else (f"{ratio:.2f}x" if ratio < 10 else f"{ratio:.0f}x"),
            str(r.get("target") or "-"), target_met(r.get("target", ""), ours, ratio, r.get("memory_mb")),
            "-" if mem is None else f"{mem:.0f} MB")


def print_table(rows: List[Tuple[str, ...]]) -> None:
    widths = [max(len(x) for x in col) for col in zip(COLUMNS, *rows)]
    line = "  ".join(f"{{:<{w}}}" for w in widths)
    print(line.format(*COLUMNS))
    print(line.format(*("-" * w for w in widths)))
    for r in rows:
        print(line.format(*r))


def threads_note() -> str:
    for var in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        if os.environ.get(var, "0").strip() not in ("", "0"):
            return f"{var}={os.environ[var]}"
    try:
        n = len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not Linux
        n = os.cpu_count()
    return f"default pool: {n} threads"


def collect(scripts: List[str], directory: str = HERE, verbose: bool = False) -> Tuple[List[Dict], List[str], bool]:
    """Runs the scripts' main() in turn; returns (rows, notes, whether any failed)."""
    if directory not in sys.path:
        sys.path.insert(0, directory)  # for their shared helpers (common.py)
    rows: List[Dict] = []
    notes: List[str] = []
    failed = False
    for script in scripts:
        print(f"running {script} ...", file=sys.stderr, flush=True)
        out = io.StringIO()
        t0 = time.perf_counter()
        argv = sys.argv
        try:
            sys.argv = [os.path.join(directory, script)]  # main() sees no arguments of ours
            with contextlib.redirect_stdout(out):
                module = load(script, directory)
                if not callable(getattr(module, "main", None)):
                    raise AttributeError("no main()")
                result = module.main()
        except (Exception, SystemExit) as e:  # a benchmark's failure must not stop the others
            failed = True
            print(out.getvalue(), end="")
            traceback.print_exc()
            notes.append(f"{script}: failed ({type(e).__name__}: {e})")
            continue
        finally:
            sys.argv = argv
        elapsed = time.perf_counter() - t0
        if conforming(result):
            if verbose:
                print(f"\n== {script} ({elapsed:.1f} s)\n{out.getvalue()}")
            rows.extend(dict(r, script=script) for r in result)
        else:
            print(f"\n== {script} ({elapsed:.1f} s): its own output\n{out.getvalue()}")
            notes.append(f"{script}: main() returned {type(result).__name__}, not a list of row dicts; "
                         "its own output is printed above")
    return rows, notes, failed


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description="Run every benchmark and print one table.")
    ap.add_argument("names", nargs="*", help="benchmarks to run (e.g. linking or bench_linking.py); default all")
    ap.add_argument("--verbose", action="store_true", help="also print each script's own output")
    ap.add_argument("--json", metavar="PATH", help="write the collected rows as JSON")
    args = ap.parse_args(argv)

    rows, notes, failed = collect(discover(args.names), HERE, args.verbose)
    print(f"\nsonaloc benchmarks (medians; {threads_note()}; ratio = peer time / our time)")
    if rows:
        print_table([table_row(r) for r in rows])
    else:
        print("(no rows)")
    for n in notes:
        print(f"note: {n}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1, default=str)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
