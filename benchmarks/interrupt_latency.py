"""Ctrl-C latency: a child process starts a long call, SIGINT arrives after a
chosen delay, and the time until the child catches KeyboardInterrupt is
printed per case and delay (the monotonic clock is shared between processes).

    PYTHONPATH=build python3 benchmarks/interrupt_latency.py [--delays 0.05,0.5,1.5,3] [--case NAME]
"""
import argparse
import os
import signal
import subprocess
import sys
import textwrap
import time

SETUP = textwrap.dedent(
    """
    import sys, time
    import numpy as np
    import sonaloc
    sys.path.insert(0, {bench!r})
    from bench_render import make_tracks
    f32 = np.float32
    rng = np.random.default_rng(1)
    """
)

# name -> (setup, call): each call takes a few seconds on two cores.
CASES = {
    "draw_tracks": ("m, e = make_tracks(400_000, 20, 2000, 2, 3.0); m = np.ascontiguousarray(m[:, :3])",
                    "sonaloc.rs_draw_tracks(m, e, (0., 2000., 0., 2000.), 0.25)"),
    "draw_tracks_value": ("m, e = make_tracks(400_000, 20, 2000, 2, 3.0); m = np.ascontiguousarray(m[:, :4])",
                          "sonaloc.rs_draw_tracks_value(m, e, (0., 2000., 0., 2000.), 0.25)"),
    "draw_tracks_3d": ("m, e = make_tracks(300_000, 20, 300, 3, 2.0); m = np.ascontiguousarray(m[:, :4])",
                       "sonaloc.rs_draw_tracks_3d(m, e, (0., 300.) * 3, 0.5)"),
    "draw_tracks_value_3d": ("m, e = make_tracks(300_000, 20, 300, 3, 2.0); m = np.ascontiguousarray(m[:, :5])",
                             "sonaloc.rs_draw_tracks_value_3d(m, e, (0., 300.) * 3, 0.5)"),
    "detect_peaks3d": ("v = rng.random((300, 300, 300), dtype=f32)",
                       "sonaloc.rs_detect_peaks3d(v, (0., 1.) * 3, 0.5, 0.001, None, None, None, None, None)"),
    "detect_peaks3d_localized": ("v = rng.random((300, 300, 300), dtype=f32)",
                                 "sonaloc.rs_detect_peaks3d(v, (0., 1.) * 3, 0.9, 0.001, 5, 'radial_symmetry',"
                                 " None, None, None)"),
    "detect_peaks3d_scored": ("v = rng.random((300, 300, 300), dtype=f32)",
                              "sonaloc.rs_detect_peaks3d(v, (0., 1.) * 3, 0.9, 0.001, None, None, (1., 1., 1.),"
                              " None, None)"),
    "detect_peaks": ("img = rng.random((6000, 6000), dtype=f32)",
                     "sonaloc.rs_detect_peaks(img, (0., 1., 0., 1.), 0.5, 0.0001, 'gaussian_fitting', 7, None)"),
    "link_points": ("fr = [np.column_stack([rng.uniform(0, 200, (20000, 2)), np.ones(20000)]).astype(f32)"
                    " for _ in range(40)]",
                    "sonaloc.rs_link_points(fr, 2.0, 3, 10.0)"),
}

CHILD = SETUP + textwrap.dedent(
    """
    {setup}
    t0 = time.monotonic(); {call}; full = time.monotonic() - t0
    print("ready", full, flush=True)
    try:
        {call}
        print("finished", time.monotonic(), flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
    {call}
    print("healthy", flush=True)
    """
)


def measure(name, delay):
    setup, call = CASES[name]
    script = CHILD.format(bench=os.path.dirname(os.path.abspath(__file__)), setup=setup, call=call)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    ready = child.stdout.readline().split()
    full = float(ready[1])
    time.sleep(delay)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    outcome, when = child.stdout.readline().split()
    healthy = child.stdout.readline().strip() == "healthy"
    child.wait()
    return full, outcome, float(when) - sent, healthy and child.returncode == 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--delays", default="0.05,0.5,1.5,3")
    ap.add_argument("--case", action="append")
    args = ap.parse_args()
    delays = [float(d) for d in args.delays.split(",")]
    for name in args.case or CASES:
        cells = []
        for d in delays:
            full, outcome, latency, healthy = measure(name, d)
            if outcome == "finished":
                mark = " (the call ended before the signal)"
            else:
                mark = "" if healthy else " (the process did not go on)"
            cells.append(f"{d:g}s: {latency * 1e3:.0f} ms{mark}")
        print(f"{name:26s} call {full:.1f} s | " + " | ".join(cells), flush=True)


if __name__ == "__main__":
    main()
