"""Replacements of C library functions that must give its results bit for bit.

Each is compiled from the module's own sources into a small sweep program over
a strided sweep of all float bit patterns (a stride of 1 sweeps them all):
- the vector exponential of the fits against expf, on every path the CPU
  offers, once with the library's default variant and once with its SSE2
  variant forced through glibc's tunables;
- the branch-free rounding of the renderers against saturate_cast(roundf(v)).
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
CXX = shutil.which(os.environ.get("CXX", "g++"))

pytestmark = [
    pytest.mark.skipif(CXX is None, reason="needs a C++ compiler"),
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="glibc only"),
    pytest.mark.skipif(os.environ.get("SONALOC_SANITIZED") == "1", reason="runs once, in the optimised job"),
]


def build(tmp_path_factory, name, *sources):
    exe = tmp_path_factory.mktemp(name) / name
    subprocess.run([CXX, "-std=c++20", "-O2", "-ffp-contract=off", "-fno-math-errno", f"-I{ROOT / 'src'}",
                    str(ROOT / "tests" / "native" / f"{name}.cpp"), *map(str, sources), "-o", str(exe)],
                   check=True, capture_output=True)

    def run(stride, env_extra=None):
        env = dict(os.environ, **(env_extra or {}))
        out = subprocess.run([str(exe), str(stride)], check=True, capture_output=True, text=True, env=env).stdout
        return dict(re.findall(r"(\w+)=(\w+)", out))

    return run


@pytest.fixture(scope="module")
def sweep(tmp_path_factory):
    src = ROOT / "src" / "core" / "simd"
    run = build(tmp_path_factory, "expf_sweep", src / "expf.cpp", src / "isa.cpp")
    return lambda env_extra=None: run(61, env_extra)


def test_lanes_match_expf_in_both_library_variants(sweep):
    native = sweep()
    if native["isa"] == "portable":
        pytest.skip("no vector path on this CPU")
    forced = sweep({"GLIBC_TUNABLES": "glibc.cpu.hwcaps=-AVX2,-FMA"})
    for result in (native, forced):
        assert int(result["checked"]) > 70_000_000
        assert result["mismatches"] == "0"
    # The library's own choice is followed: the fused build where the CPU has
    # FMA and AVX2, the separate one when it is forced.
    assert native["variant"] in ("1", "2")
    assert forced["variant"] == "1"


def test_branch_free_rounding_matches_roundf(tmp_path_factory):
    result = build(tmp_path_factory, "round_sweep")(31)
    assert int(result["checked"]) > 130_000_000
    assert result["mismatches"] == "0"
