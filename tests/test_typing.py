"""The type stub: a typed host script using all ten functions type-checks,
misuses that fail at run time are flagged, the stub matches the module, and
an installed distribution ships it."""
import importlib.metadata
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

from conftest import SANITIZED

REPO_STUB = pathlib.Path(__file__).resolve().parents[1] / "stubs" / "sonaloc-stubs" / "__init__.pyi"

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")

HOST = '''
from typing import List, Optional, Tuple

import numpy as np
import numpy.typing as npt

import sonaloc

F32 = npt.NDArray[np.float32]


def detect_2d(frames: List[F32], noise_floor: float) -> List[F32]:
    points: List[F32] = []
    for frame in frames:
        clean = np.clip(frame - noise_floor, 0, None).astype(np.float32)
        pos, inten = sonaloc.rs_detect_peaks(clean, (0.0, 12.7, 0.0, 12.7), 0.2, np.float32(0.2),
                                             "radial_symmetry", 7, None)
        points.append(np.column_stack([pos, inten]).astype(np.float32))
    return points


def detect_3d(volume: F32) -> Tuple[F32, Optional[F32]]:
    extent = (0.0, 6.3, 0.0, 6.3, np.float32(0.0), 3)
    pos, inten, corr = sonaloc.rs_detect_peaks3d(volume, extent, 0.2, 0.2, np.int64(7), "radial_symmetry",
                                                 (0.1, 0.1, 0.1), None, None)
    return np.column_stack([pos, inten]).astype(np.float32), corr


def render_2d(points: List[F32]) -> Tuple[F32, float]:
    matrix, ends = sonaloc.rs_link_points(points, 0.15, 1, 2.0)
    ends32 = ends.astype(np.int32)
    intensity, count, extent = sonaloc.rs_draw_tracks(matrix, ends32, (0.0, 12.7, 0.0, 12.7), 0.025)
    speed = np.ones(len(matrix), dtype=np.float32)
    with_speed = np.column_stack([matrix, speed]).astype(np.float32)
    _, mean, _, (x0, x1, y0, y1) = sonaloc.rs_draw_tracks_value(with_speed, ends32, extent, 0.025)
    total: int = int(count.sum())
    return mean, (x1 - x0) * (y1 - y0) + total + float(intensity.sum())


def render_3d(points: List[F32]) -> F32:
    matrix, ends = sonaloc.rs_link_points_3d(points, 0.15, 1)
    ends32 = ends.astype(np.int32)
    _, count, extent = sonaloc.rs_draw_tracks_3d(matrix, ends32, (0.0, 6.3, 0.0, 6.3, 0.0, 3.9), 0.05)
    assert len(extent) == 6
    values = np.column_stack([matrix, np.zeros(len(matrix), np.float32)]).astype(np.float32)
    _, mean, count_v, _ = sonaloc.rs_draw_tracks_value_3d(values, ends32, extent, 0.05)
    return mean


def refine(window: F32, volume: F32) -> Tuple[float, float, float, float, float]:
    d0, d1 = sonaloc.rs_radial_symmetry_2d(window)
    c0, c1, c2 = sonaloc.rs_radial_symmetry_3d(volume)
    return d0, d1, c0, c1, c2
'''

# Each line is a misuse the module refuses at run time; mypy must flag every one.
MISUSE = '''
import numpy as np
import sonaloc

frame = np.zeros((9, 9), np.float32)
points = [np.zeros((0, 3), np.float32)]
sonaloc.rs_detect_peaks(frame, [0.0, 1.0, 0.0, 1.0], 0.5, 1.0, None, None, None)  # MISUSE extent as a list
sonaloc.rs_detect_peaks(frame, (0.0, 1.0, 0.0, 1.0), 0.5, 1.0, None, None)  # MISUSE missing max_num_peaks
matrix, ends = sonaloc.rs_link_points(points, 1.0, 0, 2.0)
sonaloc.rs_draw_tracks(matrix, ends, (0.0, 1.0, 0.0, 1.0), 0.1)  # MISUSE uint32 ends
sonaloc.rs_link_points(points, 1.0, 0.5, 2.0)  # MISUSE max_skip is a count
a, b, c = sonaloc.rs_radial_symmetry_2d(frame)  # MISUSE two values
sonaloc.rs_detect_peaks3d(frame, (0.0,) * 6, 0.5, 1.0, "radial_symmetry", 7, None, None, None)  # MISUSE order
sonaloc.rs_no_such_function()  # MISUSE
'''


def mypy(tmp_path, stub_dir, *files):
    """Runs mypy in a child process; returns (exit code, output)."""
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "MYPYPATH", "PYTHONPATH")}
    if stub_dir is not None:
        env["MYPYPATH"] = str(stub_dir)
    cmd = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
           "--cache-dir", str(tmp_path / ".mypy_cache"), *map(str, files)]
    out = subprocess.run(cmd, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    return out.returncode, out.stdout + out.stderr


def check_host_and_misuse(tmp_path, stub_dir):
    host = tmp_path / "host.py"
    misuse = tmp_path / "misuse.py"
    host.write_text(HOST)
    misuse.write_text(MISUSE)
    code, out = mypy(tmp_path, stub_dir, host, misuse)
    assert code == 1, out
    # nothing reported in the host script or in the stub itself
    assert all(line.startswith("misuse.py:") for line in out.splitlines() if line.strip()), out
    flagged = {int(line.split(":")[1]) for line in out.splitlines() if line.startswith("misuse.py:")}
    expected = {i + 1 for i, line in enumerate(MISUSE.splitlines()) if "# MISUSE" in line}
    assert expected <= flagged, out
    assert "Module has no attribute" in out or 'has no attribute "rs_no_such_function"' in out, out


def test_repository_stub(tmp_path):
    """The stub of the source tree, as a plain module stub on MYPYPATH."""
    stub_dir = tmp_path / "stub"
    stub_dir.mkdir()
    shutil.copy(REPO_STUB, stub_dir / "sonaloc.pyi")
    check_host_and_misuse(tmp_path, stub_dir)


def installed_distribution():
    try:
        return importlib.metadata.distribution("sonaloc")
    except importlib.metadata.PackageNotFoundError:
        return None


@pytest.mark.skipif(installed_distribution() is None, reason="sonaloc is not installed (development build)")
def test_installed_stub_package(tmp_path):
    """An installed sonaloc ships the stub-only package, and mypy finds it by itself."""
    files = [str(f).replace(os.sep, "/") for f in installed_distribution().files or []]
    assert "sonaloc-stubs/__init__.pyi" in files
    installed = pathlib.Path(installed_distribution().locate_file("sonaloc-stubs/__init__.pyi"))
    assert installed.read_text() == REPO_STUB.read_text()
    check_host_and_misuse(tmp_path, None)


def test_package_version_is_the_distributions():
    # run.json reports the module's version as the package's: they ship together.
    import sonaloc_ulm

    try:
        import tomllib
    except ImportError:  # Python < 3.11
        import tomli as tomllib

    with open(pathlib.Path(__file__).parent.parent / "pyproject.toml", "rb") as f:
        assert tomllib.load(f)["project"]["version"] == sonaloc_ulm.__version__
    if installed_distribution() is not None:
        assert installed_distribution().version == sonaloc_ulm.__version__


@pytest.mark.skipif(SANITIZED, reason="stubtest imports the module in a child without the sanitizer runtime")
def test_stub_matches_module(tmp_path):
    """Every name, parameter name and parameter order of the stub is that of the module."""
    stub_dir = tmp_path / "stub"
    stub_dir.mkdir()
    shutil.copy(REPO_STUB, stub_dir / "sonaloc.pyi")
    env = dict(os.environ, MYPYPATH=str(stub_dir))
    cmd = [sys.executable, "-m", "mypy.stubtest", "sonaloc", "--mypy-config-file", os.devnull]
    out = subprocess.run(cmd, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
