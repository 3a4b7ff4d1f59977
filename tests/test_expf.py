"""The vector exponential of the fits gives the C library's expf bit for bit.

The lanes are compiled from the module's own sources into a small sweep
program, which runs every path the CPU offers over a strided sweep of all
float bit patterns, once with the library's default variant and once with its
SSE2 variant forced through glibc's tunables.
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


@pytest.fixture(scope="module")
def sweep(tmp_path_factory):
    exe = tmp_path_factory.mktemp("expf") / "expf_sweep"
    src = ROOT / "src" / "core" / "simd"
    subprocess.run([CXX, "-std=c++20", "-O2", "-ffp-contract=off", "-fno-math-errno", f"-I{ROOT / 'src'}",
                    str(ROOT / "tests" / "native" / "expf_sweep.cpp"), str(src / "expf.cpp"),
                    str(src / "isa.cpp"), "-o", str(exe)], check=True, capture_output=True)

    def run(env_extra=None):
        env = dict(os.environ, **(env_extra or {}))
        out = subprocess.run([str(exe), "61"], check=True, capture_output=True, text=True, env=env).stdout
        return dict(re.findall(r"(\w+)=(\w+)", out))

    return run


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
