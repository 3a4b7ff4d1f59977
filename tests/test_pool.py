"""The worker pool: sizing from the environment, fork safety and results that
do not depend on the number of threads."""
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import SANITIZED

THREADS_SCRIPT = textwrap.dedent(
    """
    import os, numpy as np, sonaloc
    def tasks():
        return len(os.listdir("/proc/self/task"))
    before = tasks()
    sonaloc.rs_detect_peaks(np.zeros((64, 64), np.float32), (0., 1., 0., 1.), 1., 0., None, None, None)
    print(tasks() - before + 1)
    """
)


def run(script, **env):
    full = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    for k in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        full.pop(k, None)
    full.update(env)
    out = subprocess.run([sys.executable, "-c", script], env=full, capture_output=True, timeout=300)
    assert out.returncode == 0, out.stderr.decode()
    return out.stdout


def pool_size(**env):
    return int(run(THREADS_SCRIPT, **env))


def default_size():
    return max(1, min(len(os.sched_getaffinity(0)), 1024))


class TestSizing:
    @pytest.mark.parametrize("n", [1, 3])
    def test_rayon_num_threads(self, n):
        assert pool_size(RAYON_NUM_THREADS=str(n)) == n

    def test_fallback_to_rs_num_cpus(self):
        assert pool_size(RAYON_NUM_THREADS="many", RAYON_RS_NUM_CPUS="3") == 3
        assert pool_size(RAYON_RS_NUM_CPUS="2") == 2

    def test_zero_selects_the_default(self):
        # 0 is a number: the default applies and RAYON_RS_NUM_CPUS is not read.
        assert pool_size(RAYON_NUM_THREADS="0", RAYON_RS_NUM_CPUS="5") <= default_size()

    def test_absurd_size_still_runs(self):
        n = pool_size(RAYON_NUM_THREADS="100000000000")
        assert 1 <= n <= 1024


DETERMINISM_SCRIPT = textwrap.dedent(
    """
    import hashlib, sys, numpy as np, sonaloc
    rng = np.random.default_rng(7)
    h = hashlib.sha256()
    # Many equal intensities: the order among ties must not depend on threads.
    img = np.round(rng.random((700, 500), dtype=np.float32) * 8) / 8
    for out in sonaloc.rs_detect_peaks(img, (0., 69.9, 5., -44.9), 0.5, 0.15, None, None, None):
        h.update(out.tobytes())
    for out in sonaloc.rs_detect_peaks(img, (0., 69.9, 5., -44.9), 0.5, 0.3, "radial_symmetry", 5, 300):
        h.update(out.tobytes())
    frames = []
    pts = rng.random((400, 2), dtype=np.float32) * 50
    for t in range(30):
        pts = pts + rng.normal(0, 0.3, pts.shape).astype(np.float32)
        keep = rng.random(len(pts)) > 0.1
        frames.append(np.column_stack([pts[keep], rng.random(keep.sum())]).astype(np.float32))
    for out in sonaloc.rs_link_points(frames, 1.0, 3, 4.0):
        h.update(out.tobytes())
    print(h.hexdigest())
    """
)


@pytest.mark.skipif(SANITIZED, reason="timing-heavy; the optimised build covers it")
def test_results_do_not_depend_on_thread_count():
    digests = {run(DETERMINISM_SCRIPT, RAYON_NUM_THREADS=str(n)) for n in (1, 2, 4)}
    assert len(digests) == 1


FORK_SCRIPT = textwrap.dedent(
    """
    import os, numpy as np, sonaloc
    img = np.random.default_rng(1).random((512, 512), dtype=np.float32)
    args = (img, (0., 1., 0., 1.), 0.9, 0., None, None, None)
    expected = sonaloc.rs_detect_peaks(*args)[1].tobytes()
    pid = os.fork()
    if pid == 0:
        ok = sonaloc.rs_detect_peaks(*args)[1].tobytes() == expected
        os._exit(0 if ok else 3)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, status
    print("ok")
    """
)


def test_pool_works_in_a_forked_child():
    assert run(FORK_SCRIPT, RAYON_NUM_THREADS="2").strip() == b"ok"
