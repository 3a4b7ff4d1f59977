#!/usr/bin/env python3
"""Scale-out: many acquisition blocks processed on a dask.distributed cluster.

A long acquisition is cut into blocks of frames. Every block is processed on
a worker from end to end: the block is acquired (here simulated with the demo's
phantom; a real host reads it from storage on the worker), its noise floor is
subtracted, every frame is detected and localized, the points are linked into
tracks, the speeds are computed and the tracks are rendered. Only the images
travel back; the client sums them in block order.

    python examples/dask_blocks.py                           # LocalCluster: 2 worker processes
    python examples/dask_blocks.py --blocks 16 --workers 4
    python examples/dask_blocks.py --scheduler tcp://scheduler-host:8786   # any running scheduler

Tracks end at block boundaries (each block is linked on its own). Every
worker process runs sonaloc's own thread pool, sized by --threads.

sonaloc's functions are builtins of the `sonaloc` module and pickle by
reference, so they can also be submitted directly, for example
``client.submit(sonaloc.rs_link_points, points, 0.15, 1, 2.0)``. The host
code of this example and of ulm_demo.py is sent to the workers by value, so
the workers only need numpy and sonaloc installed.
"""
from __future__ import annotations

import argparse
import dataclasses
import os
import sys
import time
from typing import Dict, List, Optional

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ulm_demo  # noqa: E402


def process_block(cfg: ulm_demo.Config, block: int) -> Dict[str, object]:
    """Everything for one block of frames, on a worker; returns its images."""
    t0 = time.perf_counter()
    acq = ulm_demo.simulate(cfg, block)
    t1 = time.perf_counter()
    points = ulm_demo.localize_frames(acq.frames, cfg, progress=False)
    matrix, ends = ulm_demo.link(points, cfg)
    rows_frame = ulm_demo.track_frames(matrix, ulm_demo.point_index(points))
    speeds = ulm_demo.point_speeds(matrix, ends, rows_frame, cfg)
    maps = ulm_demo.render(matrix, ends, speeds, cfg)
    t2 = time.perf_counter()
    weight = np.asarray(maps["speed_weight"])
    return {
        "block": block,
        "count": maps["count"],
        "intensity": maps["intensity"],
        "speed_weight": weight,
        "speed_sum": np.asarray(maps["speed"]) * weight,  # undoes the weighted mean, so blocks add up
        "extent": maps["extent"],
        "points": int(sum(len(p) for p in points)),
        "tracks": int(len(ends)),
        "acquire_s": t1 - t0,
        "process_s": t2 - t1,
    }


def combine(results: List[Dict[str, object]]) -> Dict[str, object]:
    """Sums the block images (in block order, so the sums are reproducible)."""
    results = sorted(results, key=lambda r: r["block"])
    count = np.sum([np.asarray(r["count"], dtype=np.uint64) for r in results], axis=0)
    intensity = np.sum([r["intensity"] for r in results], axis=0, dtype=np.float64)
    weight = np.sum([r["speed_weight"] for r in results], axis=0, dtype=np.float64)
    speed_sum = np.sum([r["speed_sum"] for r in results], axis=0, dtype=np.float64)
    speed = np.divide(speed_sum, weight, out=np.zeros_like(weight), where=weight > 0)
    return {"count": count, "intensity": intensity, "speed": speed, "speed_weight": weight,
            "extent": results[0]["extent"], "points": sum(r["points"] for r in results),
            "tracks": sum(r["tracks"] for r in results), "blocks": len(results),
            "acquire_s": sum(r["acquire_s"] for r in results),
            "process_s": sum(r["process_s"] for r in results)}


def run(cfg: ulm_demo.Config, blocks: int, scheduler: Optional[str] = None, workers: int = 2,
        threads: int = 1, progress: bool = True) -> Dict[str, object]:
    """Processes `blocks` blocks on a LocalCluster of worker processes, or on the
    cluster of `scheduler` (an address such as tcp://host:8786)."""
    import cloudpickle
    from dask.distributed import Client, LocalCluster, as_completed

    # Ship the host code by value: workers need not have these files.
    cloudpickle.register_pickle_by_value(ulm_demo)
    if __name__ != "__main__":
        cloudpickle.register_pickle_by_value(sys.modules[__name__])

    cluster = None
    if scheduler is None:
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                               dashboard_address=None, env={"RAYON_NUM_THREADS": str(threads)})
        client = Client(cluster)
        client.wait_for_workers(workers, timeout=120)
    else:
        client = Client(scheduler)
    try:
        t0 = time.perf_counter()
        futures = client.map(process_block, [cfg] * blocks, range(blocks), pure=False)
        done = as_completed(futures)
        if progress and ulm_demo.tqdm is not None:
            done = ulm_demo.tqdm(done, total=blocks, desc="blocks", unit="block", leave=False)
        results = [f.result() for f in done]
        total = combine(results)
        total["wall_s"] = time.perf_counter() - t0
        total["workers"] = len(client.scheduler_info()["workers"])
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return total


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--blocks", type=int, default=8, help="number of acquisition blocks (default 8)")
    ap.add_argument("--frames", type=int, default=500, help="frames per block (default 500)")
    ap.add_argument("--scheduler", help="address of a running dask scheduler (default: a LocalCluster)")
    ap.add_argument("--workers", type=int, default=2, help="worker processes of the LocalCluster (default 2)")
    ap.add_argument("--threads", type=int, default=1, help="sonaloc threads per worker process (default 1)")
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "out"),
                    help="directory for the pictures (default: examples/out)")
    ap.add_argument("--no-pictures", action="store_true", help="skip the pictures (no matplotlib needed)")
    args = ap.parse_args(argv)
    cfg = dataclasses.replace(ulm_demo.Config(), frames=args.frames)
    total = run(cfg, args.blocks, args.scheduler, args.workers, args.threads)
    print(f"{total['blocks']} blocks of {cfg.frames} frames on {total['workers']} workers: "
          f"{total['points']} points, {total['tracks']} tracks, {int(total['count'].sum())} track passages")
    print(f"  wall time {total['wall_s']:.2f} s; on the workers: acquisition (simulation) {total['acquire_s']:.2f} s, "
          f"processing {total['process_s']:.2f} s")
    if not args.no_pictures:
        vessels = ulm_demo.make_vessels(cfg, np.random.default_rng(cfg.seed))
        title = f"sonaloc ULM, {total['blocks']} blocks of {cfg.frames} frames on dask workers"
        paths = ulm_demo.write_pictures(cfg, vessels, total, os.path.join(args.out, "dask"), title)
        for p in paths:
            print(f"  wrote {p}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
