"""Ctrl-C during a long call: SIGINT stops a rendering and a 3D detection of
several seconds with KeyboardInterrupt at once, the memory the call held is
released, and the process goes on with correct results. Under the
sanitizers the same runs check the unwinding; the latency and the resident
memory (held back by the sanitizers' quarantine) are not judged there."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import SANITIZED

SETUP = {
    # About 8 M passages on a 4000 x 4000 grid: several seconds on two cores.
    "render": textwrap.dedent(
        """
        n, k = 300_000, 20
        pos = (rng.uniform(0, 1000, (n, 1, 2)) + rng.normal(0, 3, (n, k, 2)).cumsum(1)).reshape(-1, 2)
        m = np.hstack([pos, rng.uniform(0.5, 2, (n * k, 2))]).astype(f32)
        e = (np.arange(1, n + 1) * k).astype(np.int32)
        long_call = lambda: sonaloc.rs_draw_tracks_value(m, e, (0., 1000., 0., 1000.), 0.25)
        small_call = lambda: sonaloc.rs_draw_tracks_value(m[:2000], e[:100], (0., 1000., 0., 1000.), 0.25)
        """
    ),
    "detect3d": textwrap.dedent(
        """
        v = rng.random((300, 300, 300), dtype=f32)
        long_call = lambda: sonaloc.rs_detect_peaks3d(v, (0., 1.) * 3, 0.9, 0.001, 5, "radial_symmetry",
                                                      (1., 1., 1.), None, None)
        small_call = lambda: sonaloc.rs_detect_peaks3d(v[:40, :40, :40], (0., 1.) * 3, 0.9, 0.001, 5,
                                                       "radial_symmetry", (1., 1., 1.), None, None)
        """
    ),
}

CHILD = textwrap.dedent(
    """
    import sys, time
    import numpy as np
    import sonaloc
    f32 = np.float32
    rng = np.random.default_rng(3)
    {setup}
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096 / 2**20
    def same(a, b):
        return all(x.tobytes() == y.tobytes() if isinstance(x, np.ndarray) else x == y for x, y in zip(a, b))
    before = small_call()
    resident = rss()
    print("ready", flush=True)
    started = time.monotonic()
    try:
        long_call()
        print("finished", time.monotonic(), time.monotonic() - started, rss() - resident, flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), time.monotonic() - started, rss() - resident, flush=True)
    print("same" if same(small_call(), before) else "different", flush=True)
    """
)


@pytest.mark.parametrize("case", sorted(SETUP))
@pytest.mark.parametrize("delay", [0.3, 1.2])
def test_sigint_stops_a_long_call(case, delay):
    script = CHILD.format(setup=SETUP[case])
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True,
                             env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(delay)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        outcome, at, ran, grown = child.stdout.readline().split()
        after = child.stdout.readline().strip()
        assert child.wait(timeout=60) == 0
    finally:
        child.kill()
        child.wait()
    assert outcome == "interrupted", f"the call ran to its end ({float(ran):.1f} s)"
    assert after == "same"
    if not SANITIZED:
        assert float(at) - sent < 0.2
        assert float(grown) < 64  # the call's buffers (hundreds of MB) are gone
