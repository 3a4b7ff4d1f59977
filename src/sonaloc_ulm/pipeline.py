"""The whole run: blocks of frames through the host stages and the module, in worker
processes (or on a dask.distributed cluster), then linking, speeds, maps,
quality figures and the output files.

Results do not depend on the number of workers: the blocks are fixed by the
data (``block_frames``), every block's noise floor comes from its own frames
only, the PSF and the choices made from it come from the first block, and
the linking runs once over all frames, in the main process.
"""
from __future__ import annotations

import json
import os
import platform
import sys
import time
from typing import Any, Dict, List, Optional, Tuple, Union

import numpy as np

from . import __version__
from .clutter import ClutterFilter, blas_one_thread, envelope, find_blas
from .config import Config
from .errors import UlmError
from .floor import estimate_floor, sample_frames, subtract_floor
from .io import Source, array_source, auto_block_frames, frame_blocks, open_source, reopen
from .localize import detect_frames, to_points, unrefined_count
from .maps import render, render_extent, write_pictures
from .psf import choose, measure_psf, resample, resampled_pixel_size, resampled_shape
from .quality import frc_halves, load_truth, match, saturation
from .tracks import filter_length, gate, link, speeds, track_frames, track_ids

MODULE_STAGES = ("detect + localize (module)", "link (module)", "render (module)")
HOST_STAGES = ("clutter filter (host)", "envelope (host)", "resample (host)", "noise floor estimate (host)",
               "floor subtraction (host)",
               "points (host)", "track frames (host)", "length filter (host)", "speeds (host)")


def _add(times: Dict[str, float], name: str, t0: float) -> float:
    t1 = time.perf_counter()
    times[name] = times.get(name, 0.0) + t1 - t0
    return t1


UNREFINED_WARNING = 0.05  # share of unrefined localizations above which run.json warns
PARALLEL_BYTES = 256 << 20  # acquisitions from this size on run in worker processes by default
CHUNK_PIXELS = 1 << 18  # frames cleaned and detected together: about 1 MB of float32, cache-resident


def block_floor(raw: np.ndarray, plan: Dict[str, Any], times: Dict[str, float]):
    """Noise floor of one block (frames first, module order; after the clutter filter),
    from a few of its frames: envelope, then :func:`estimate_floor`."""
    idx = sample_frames(raw.shape[0], int(np.prod(raw.shape[1:])), plan["floor_samples"])
    sample = _frames(raw, idx, times)
    t = time.perf_counter()
    floor = estimate_floor(envelope(sample), plan["floor_k"], plan["floor_mode"], plan["floor_samples"])
    _add(times, "noise floor estimate (host)", t)
    return floor


def clean_frames(raw: np.ndarray, floor: Any, plan: Dict[str, Any], times: Dict[str, float]) -> np.ndarray:
    """Envelope, floor subtraction with clipping, then resampling of some frames: new float32 array.

    The floor is subtracted on the acquisition grid (fewer pixels than the
    resampled one); the interpolation of the cleaned frames then only spreads
    the bubbles over the finer grid."""
    t = time.perf_counter()
    env = envelope(raw)
    owned = env is not raw
    t = _add(times, "envelope (host)", t)
    out = subtract_floor(env, floor, out=env if owned else None)
    t = _add(times, "floor subtraction (host)", t)
    if any(f != 1.0 for f in plan["factors"]):
        out = resample(out, plan["factors"])
        _add(times, "resample (host)", t)
    return out


def prepare_block(raw: np.ndarray, plan: Dict[str, Any], times: Dict[str, float]) -> Tuple[np.ndarray, Any]:
    """Clutter filter, envelope, resampling and noise floor of a whole block: (clean frames, floor)."""
    raw = _clutter(raw, plan, times)
    floor = block_floor(raw, plan, times)
    return clean_frames(raw, floor, plan, times), floor


def _clutter(raw: np.ndarray, plan: Dict[str, Any], times: Dict[str, float]) -> Any:
    """The block itself, or a :class:`ClutterFilter` of it (frames filtered when indexed)."""
    if not plan["svd_cutoff"]:
        return raw
    t = time.perf_counter()
    raw = ClutterFilter(raw, plan["svd_cutoff"])
    _add(times, "clutter filter (host)", t)
    return raw


def _frames(raw: Any, frames: Any, times: Dict[str, float]) -> np.ndarray:
    """Frames of a block; through the clutter filter (and timed with it) when there is one."""
    if not isinstance(raw, ClutterFilter):
        return raw[frames]
    t = time.perf_counter()
    out = raw[frames]
    _add(times, "clutter filter (host)", t)
    return out


_SOURCES: Dict[str, Source] = {}


def process_block(task: Dict[str, Any], on_frames: Any = None) -> Dict[str, Any]:
    """One block of frames: read, clutter filter, floor, then cleaning and detection
    in cache-sized chunks of frames. Runs in a worker.

    Returns the points of every frame (float32 (n, D + 1): position in mm in
    module order, intensity), the unrefined count, the floor and the timings.
    ``on_frames(n)``, when given, is called as chunks of frames are done."""
    with blas_one_thread():  # one limit for the whole block, not one per run of frames
        return _process_block(task, on_frames)


def _process_block(task: Dict[str, Any], on_frames: Any) -> Dict[str, Any]:
    times: Dict[str, float] = {}
    t = time.perf_counter()
    plan = task["plan"]
    if task.get("filtered") is not None:  # clutter-filtered already (the PSF stage, same process)
        raw = task["filtered"]
        times.update(task["filter_times"])
    elif task.get("frames") is not None:
        raw = task["frames"]
        raw = np.ascontiguousarray(raw, dtype=np.complex64 if np.iscomplexobj(raw) else np.float32)
    else:
        key = repr(sorted(task["source"].items()))
        src = _SOURCES.get(key)
        if src is None:
            src = _SOURCES[key] = reopen(task["source"])
        raw = src.read_block(task["t0"], task["t1"])
    _add(times, "read", t)
    if task.get("filtered") is None:
        raw = _clutter(raw, plan, times)
    floor = block_floor(raw, plan, times)
    out_pixels = int(np.prod(resampled_shape(raw.shape[1:], plan["factors"])))
    chunk = max(1, CHUNK_PIXELS // out_pixels)
    points, unrefined, n = [], 0, 0
    for c0 in range(0, raw.shape[0], chunk):
        clean = clean_frames(_frames(raw, slice(c0, c0 + chunk), times), floor, plan, times)
        t = time.perf_counter()
        found = detect_frames(clean, plan["threshold"], plan["min_distance_px"], plan["method"], plan["window"])
        t = _add(times, "detect + localize (module)", t)
        sizes = [len(p) for p, _ in found]
        pos = np.concatenate([p for p, _ in found])
        inten = np.concatenate([i for _, i in found])
        unrefined += unrefined_count(pos)
        n += len(pos)
        pts = to_points(pos, inten, plan["pixel_size"], plan["origin"])
        ends = np.cumsum(sizes).tolist()
        points.extend(pts[e - k:e] for e, k in zip(ends, sizes))
        _add(times, "points (host)", t)
        if on_frames is not None:
            on_frames(len(found))
    return {"index": task["index"], "points": points, "unrefined": unrefined, "detections": n,
            "floor": floor.summary(), "times": times}


def _init_worker(threads: int) -> None:
    os.environ["RAYON_NUM_THREADS"] = str(threads)
    find_blas()


def _cores() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # pragma: no cover - not Linux
        return max(1, os.cpu_count() or 1)


def _block_error(task: Dict[str, Any], exc: BaseException) -> UlmError:
    span = f"frames {task['t0']}-{task['t1'] - 1}"
    if isinstance(exc, UlmError):
        return UlmError(f"{span}: {exc}")
    from concurrent.futures.process import BrokenProcessPool  # loaded with the worker pool

    if isinstance(exc, BrokenProcessPool):
        return UlmError(f"the worker processing {span} died (out of memory?); try fewer workers or "
                        "smaller blocks (block_frames)")
    return UlmError(f"the block of {span} failed in a worker: {type(exc).__name__}: {exc}")


def _run_blocks(tasks: List[Dict[str, Any]], workers: int, threads: int, scheduler: Optional[str],
                bar: Any) -> List[Dict[str, Any]]:
    results: List[Optional[Dict[str, Any]]] = [None] * len(tasks)
    if scheduler:
        try:
            from distributed import Client, as_completed
        except ImportError:
            raise UlmError("--scheduler needs dask.distributed: pip install 'sonaloc[dask]'") from None
        try:
            client = Client(scheduler, timeout="10s")
        except Exception as e:
            raise UlmError(f"cannot reach the dask scheduler at {scheduler}: {e}") from None
        try:
            futs = {client.submit(process_block, tk, pure=False): tk for tk in tasks}
            for fut in as_completed(list(futs)):
                tk = futs[fut]
                try:
                    r = fut.result()
                except Exception as e:
                    raise _block_error(tk, e) from None
                results[tk["index"]] = r
                bar.update(tk["t1"] - tk["t0"])
        finally:
            client.close()
        return results  # type: ignore[return-value]
    if workers <= 1:
        for tk in tasks:
            try:
                results[tk["index"]] = process_block(tk, bar.update)
            except (UlmError, MemoryError) as e:
                raise _block_error(tk, e) from None
        return results  # type: ignore[return-value]
    import multiprocessing as mp
    from concurrent.futures import ProcessPoolExecutor  # only runs with workers pay for its import

    blas = {k: os.environ.get(k) for k in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")}
    for k in blas:  # workers' BLAS on one thread: the cores are the workers'
        os.environ[k] = "1"
    try:
        with ProcessPoolExecutor(max_workers=workers, mp_context=mp.get_context("spawn"),
                                 initializer=_init_worker, initargs=(threads,)) as pool:
            pending: Dict[Any, Dict[str, Any]] = {}
            queue = list(tasks)
            in_flight = 2 * workers  # bounded: frames of in-memory input travel with their task
            try:
                while queue or pending:
                    while queue and len(pending) < in_flight:
                        tk = queue.pop(0)
                        pending[pool.submit(process_block, tk)] = tk
                    from concurrent.futures import FIRST_COMPLETED, wait

                    done, _ = wait(list(pending), return_when=FIRST_COMPLETED)
                    for fut in done:
                        tk = pending.pop(fut)
                        exc = fut.exception()
                        if exc is not None:
                            raise _block_error(tk, exc)
                        results[tk["index"]] = fut.result()
                        bar.update(tk["t1"] - tk["t0"])
            except BaseException:
                for fut in pending:
                    fut.cancel()
                raise
    finally:
        for k, v in blas.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
    return results  # type: ignore[return-value]


class _NoBar:
    def update(self, n: int) -> None:
        pass

    def close(self) -> None:
        pass


def _progress(total: int, enabled: bool) -> Any:
    if not enabled:
        return _NoBar()
    try:
        from tqdm import tqdm
    except ImportError:  # pragma: no cover
        return _NoBar()
    return tqdm(total=total, unit="frame", desc="sonaloc-ulm", file=sys.stderr, dynamic_ncols=True, leave=False)


def check_out_dir(out_dir: str) -> str:
    """Creates the output folder if needed and checks that it can be written."""
    out_dir = os.fspath(out_dir)
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as e:
        raise UlmError(f"cannot create the output folder {out_dir}: {e.strerror or e}; "
                       "choose another --out") from None
    probe = os.path.join(out_dir, f".sonaloc-ulm-probe-{os.getpid()}")
    try:
        with open(probe, "wb"):
            pass
        os.remove(probe)
    except OSError as e:
        raise UlmError(f"the output folder {out_dir} is not writable: {e.strerror or e}; "
                       "choose another --out") from None
    return out_dir


class _Outputs:
    """Files written under temporary names in the output folder, renamed when all are complete."""

    def __init__(self, out_dir: str):
        self.dir = out_dir
        self.pending: Dict[str, str] = {}

    def tmp(self, name: str) -> str:
        path = os.path.join(self.dir, f".{name}.{os.getpid()}.tmp")
        self.pending[name] = path
        return path

    def savez(self, name: str, arrays: Dict[str, Any]) -> None:
        with open(self.tmp(name), "wb") as f:
            np.savez(f, **arrays)

    def commit(self) -> List[str]:
        done = []
        for name, tmp in self.pending.items():
            final = os.path.join(self.dir, name)
            os.replace(tmp, final)
            done.append(final)
        self.pending = {}
        return done

    def discard(self) -> None:
        for tmp in self.pending.values():
            try:
                os.remove(tmp)
            except OSError:
                pass
        self.pending = {}


def _versions() -> Dict[str, str]:
    # The module and this package ship in one distribution, of this version
    # (reading the distribution's metadata would cost a fifth of a small run's start-up).
    return {"sonaloc_ulm": __version__, "sonaloc": __version__, "python": platform.python_version(),
            "numpy": np.__version__}


def _json_safe(obj: Any) -> Any:
    if isinstance(obj, dict):
        return {str(k): _json_safe(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return [_json_safe(v) for v in obj]
    if isinstance(obj, np.generic):
        return obj.item()
    if isinstance(obj, float) and not np.isfinite(obj):
        return None
    return obj


def run(data: Union[str, os.PathLike, np.ndarray], config: Optional[Config] = None,
        out_dir: Optional[Union[str, os.PathLike]] = None, truth: Optional[Union[str, os.PathLike]] = None,
        *, log: Any = None) -> Dict[str, Any]:
    """Runs the pipeline on an acquisition file (or an array with the axes of ``config``).

    Writes localizations.npz, tracks.npz, maps.npz, the pictures and run.json
    into ``out_dir`` (when given) and returns the content of run.json. Raises
    :class:`UlmError` for input the user can fix."""
    cfg = (config or Config()).check()
    t_start = time.perf_counter()
    times: Dict[str, float] = {}
    notes: List[str] = []

    def warn(msg: str) -> None:
        notes.append(msg)
        if log is not None:
            log(f"warning: {msg}")

    if out_dir is not None:
        out_dir = check_out_dir(os.fspath(out_dir))
    t = time.perf_counter()
    if isinstance(data, np.ndarray):
        src = array_source(data, cfg)
        frames_array: Optional[np.ndarray] = data
    else:
        src = open_source(os.fspath(data), cfg)
        frames_array = None
    truth_cols = load_truth(os.fspath(truth), src.three_d) if truth is not None else None
    if cfg.svd_cutoff:
        find_blas()  # process set-up, like the imports: not a cost of the frames
    t = _add(times, "open", t)
    mod_axes = "xyz" if src.three_d else "xz"
    n_frames = src.n_frames
    block_frames = min(cfg.block_frames or auto_block_frames(src.frame_bytes, n_frames), n_frames)
    blocks = frame_blocks(n_frames, block_frames)
    if cfg.svd_cutoff and not src.is_complex:
        warn("the SVD clutter filter runs on a real envelope; it works best on complex IQ")

    cores = _cores()
    if cfg.scheduler:
        workers = 0
        threads = cfg.threads or 1
    else:
        # worker processes pay for their start-up only on larger acquisitions
        big = n_frames * src.frame_bytes >= PARALLEL_BYTES and len(blocks) >= 2
        workers = cfg.workers or (min(cores, len(blocks)) if big else 1)
        threads = cfg.threads or max(1, cores // workers)
        if workers * threads > cores:
            warn(f"{workers} workers x {threads} module threads exceed the {cores} cores")
        if workers == 1 and cfg.threads:  # in this process: effective if the module's pool is not started yet
            os.environ["RAYON_NUM_THREADS"] = str(cfg.threads)
    # PSF and the choices from it, on the first block (before resampling)
    base_plan = {"svd_cutoff": cfg.svd_cutoff, "floor_k": cfg.floor_k, "floor_mode": cfg.floor_mode,
                 "floor_samples": cfg.floor_samples, "factors": (1.0,) * len(mod_axes)}
    psf_info: Dict[str, Any] = {}
    first_block = None
    try:
        if cfg.psf_sigma_px is not None:
            if len(cfg.psf_sigma_px) != len(mod_axes):
                raise UlmError(f"psf_sigma_px needs {len(mod_axes)} values, one per spatial axis")
            order = {c: v for c, v in zip(src.axes.replace("t", ""), cfg.psf_sigma_px)}
            sigma = tuple(order[c] for c in mod_axes)
            psf_info.update(source="given", spots=0)
        else:
            b0, b1 = blocks[0]
            t_clutter: Dict[str, float] = {}
            raw0 = _clutter(src.read_block(b0, b1), base_plan, t_clutter)
            if workers == 1 and cfg.svd_cutoff:  # in this process: the filtered block is used again
                first_block = (raw0, t_clutter)
            floor0 = block_floor(raw0, base_plan, {})
            pick = np.unique(np.linspace(0, b1 - b0 - 1, min(b1 - b0, 40)).round().astype(np.int64))
            clean0 = clean_frames(_frames(raw0, pick, {}), floor0, base_plan, {})
            del raw0
            sigma, spots = measure_psf(clean0, cfg.threshold, offset=cfg.floor_k)
            del clean0
            psf_info.update(source="measured on frames %d-%d" % (b0, b1 - 1), spots=spots)
            if sigma is None:
                sigma = (1.0,) * len(mod_axes)
                warn("no spot bright enough to measure the PSF in the first block; assuming sigma 1 pixel "
                     "(set psf_sigma_px in the configuration)")
                psf_info["source"] = "assumed (no spot found)"
    except UlmError as e:
        raise UlmError(f"frames {blocks[0][0]}-{blocks[0][1] - 1}: {e}") from None
    choices = choose(sigma, resample=cfg.resample, max_resample=cfg.max_resample, method=cfg.method,
                     window=cfg.window, axis_names=mod_axes)
    grid_shape = resampled_shape(src.frame_shape, choices.factors)
    grid_pixel = resampled_pixel_size(src.frame_shape, src.pixel_size, choices.factors)
    if cfg.min_distance is not None:
        choices.min_distance_px = float(cfg.min_distance / min(grid_pixel))
    for w in choices.warnings:
        warn(w)
    t = _add(times, "psf", t)
    if first_block is not None:  # its clutter filter is counted with the blocks
        times["psf"] -= sum(first_block[1].values())

    plan = dict(base_plan, factors=choices.factors, threshold=float(cfg.threshold),
                min_distance_px=choices.min_distance_px, method=choices.method, window=choices.window,
                pixel_size=grid_pixel, origin=src.origin)
    tasks = []
    for i, (b0, b1) in enumerate(blocks):
        tk: Dict[str, Any] = {"index": i, "t0": b0, "t1": b1, "plan": plan}
        if frames_array is not None:
            tk["frames"] = src._view[b0:b1]  # a view: copied when the block is processed
        else:
            tk["source"] = src.reopening()
        if i == 0 and first_block is not None:
            tk["filtered"], tk["filter_times"] = first_block
        tasks.append(tk)
    first_block = None
    bar = _progress(n_frames, cfg.progress)
    t_blocks = time.perf_counter()
    try:
        results = _run_blocks(tasks, workers, threads, cfg.scheduler, bar)
    finally:
        bar.close()
        src.close()
        del tasks  # the first block's filtered frames, when kept
    wall_blocks = time.perf_counter() - t_blocks
    points: List[np.ndarray] = []
    unrefined = detections = 0
    floors = []
    for r in results:
        points.extend(r["points"])
        unrefined += r["unrefined"]
        detections += r["detections"]
        floors.append(r["floor"])
        for k, v in r["times"].items():
            times[k] = times.get(k, 0.0) + v

    if detections and unrefined > UNREFINED_WARNING * detections:
        warn(f"{100 * unrefined / detections:.1f} % of the localizations were not refined (their window holds "
             f"more than two positive maxima): raise floor_k (now {cfg.floor_k:g}) or lower the window")

    # tracks
    t = time.perf_counter()
    dims = len(mod_axes)
    gate_mm = gate(cfg.max_speed, src.frame_rate, cfg.max_skip)
    empty = np.zeros((0, dims + 1), np.float32)
    points = [p if len(p) else empty for p in points]
    matrix, ends = link(points, gate_mm, cfg.max_skip, cfg.max_intensity_ratio)
    t = _add(times, "link (module)", t)
    rec = track_frames(matrix, ends, points, cfg.max_skip)
    t = _add(times, "track frames (host)", t)
    if rec.unresolved:
        warn(f"{rec.unresolved} track points could not be given a consistent frame")
    n_linked = len(ends)
    matrix, ends64, frames = filter_length(matrix, ends, rec.frame, cfg.min_track_length)
    t = _add(times, "length filter (host)", t)
    speed, direction = speeds(matrix, ends64, frames, src.frame_rate, cfg.speed_half_window)
    t = _add(times, "speeds (host)", t)
    render_pixel = cfg.render_pixel or min(src.pixel_size) / (2.0 if src.three_d else 4.0)
    extent = render_extent(src.frame_shape, src.pixel_size, src.origin)
    maps = render(matrix, ends64, speed, direction, extent, render_pixel)
    t = _add(times, "render (module)", t)

    # quality
    quality: Dict[str, Any] = {"unrefined_fraction": unrefined / detections if detections else None}
    quality["frc"] = frc_halves(matrix, ends64, extent, render_pixel)
    last = frames[ends64 - 1] if len(ends64) else np.zeros(0, np.int64)
    quality["saturation"] = saturation(matrix, ends64, last, n_frames, extent, render_pixel)
    counts = np.array([len(p) for p in points], dtype=np.int64)
    loc_frame = np.repeat(np.arange(len(points), dtype=np.int64), counts)
    allp = np.concatenate(points) if points else empty
    loc = {"frame": loc_frame}
    for a, c in enumerate(mod_axes):
        loc[c] = allp[:, a]
    loc["intensity"] = allp[:, dims]
    if truth_cols is not None:
        radius = cfg.match_radius or max(src.pixel_size) / 2.0
        quality["truth"] = match(loc, truth_cols, radius, mod_axes)
    t = _add(times, "quality", t)

    module_s = sum(times.get(k, 0.0) for k in MODULE_STAGES)
    host_s = sum(times.get(k, 0.0) for k in HOST_STAGES)
    result: Dict[str, Any] = {
        "versions": _versions(),
        "input": {"path": None if frames_array is not None else os.path.abspath(os.fspath(data)),
                  "kind": src.kind, "dataset": src.dataset, "axes": src.axes, "dtype": src.file_dtype,
                  "complex": src.is_complex, "frames": n_frames,
                  "frame_shape": dict(zip(mod_axes, src.frame_shape))},
        "geometry": {"pixel_size_mm": dict(zip(mod_axes, src.pixel_size)), "origin_mm": dict(zip(mod_axes, src.origin)),
                     "frame_rate_hz": src.frame_rate},
        "config": cfg.to_dict(),
        "psf": dict(psf_info, sigma_px=dict(zip(mod_axes, choices.sigma_px)),
                    sigma_mm=dict(zip(mod_axes, [s * p for s, p in zip(choices.sigma_px, src.pixel_size)])),
                    anisotropy=choices.anisotropy),
        "choices": {"resample_factors": dict(zip(mod_axes, choices.factors)),
                    "processing_grid": dict(zip(mod_axes, grid_shape)),
                    "processing_pixel_mm": dict(zip(mod_axes, grid_pixel)),
                    "sigma_processing_px": dict(zip(mod_axes, choices.sigma_resampled_px)),
                    "method": choices.method, "window": choices.window,
                    "min_distance_px": choices.min_distance_px, "threshold_sigmas": cfg.threshold,
                    "floor": f"median + {cfg.floor_k:g} robust sigma per {'depth row' if cfg.floor_mode == 'depth' else 'block'}, clipped at 0",
                    "linking_gate_mm": gate_mm, "max_skip": cfg.max_skip,
                    "max_intensity_ratio": None if src.three_d else cfg.max_intensity_ratio,
                    "min_track_length": cfg.min_track_length, "render_pixel_mm": render_pixel},
        "execution": {"blocks": len(blocks), "block_frames": block_frames, "workers": workers,
                      "module_threads_per_worker": threads, "cores": cores, "scheduler": cfg.scheduler},
        "floor_per_block": floors,
        "counts": {"localizations": int(detections), "unrefined": int(unrefined), "tracks_linked": int(n_linked),
                   "tracks": int(len(ends64)), "track_points": int(len(matrix)),
                   "ambiguous_track_points": rec.ambiguous},
        "quality": quality,
        "warnings": notes,
    }
    if out_dir is not None:
        out = _Outputs(out_dir)
        try:
            t = time.perf_counter()
            out.savez("localizations.npz", loc)
            tr = {"frame": frames, "track": track_ids(ends64)}
            for a, c in enumerate(mod_axes):
                tr[c] = matrix[:, a]
            tr.update(intensity=matrix[:, dims], speed=speed)
            for a, c in enumerate(mod_axes):
                tr["direction_" + c] = direction[:, a]
            out.savez("tracks.npz", tr)
            mp_ = {k: v for k, v in maps.items()}
            mp_["axes"] = np.array(mod_axes)
            if src.three_d:
                for a, c in enumerate(mod_axes):
                    mp_["density_mip_" + c] = maps["density"].max(axis=a)
            out.savez("maps.npz", mp_)
            t = _add(times, "write", t)
            if cfg.pictures:
                paths = {n: out.tmp(f"{n}.png") for n in ("density", "speed", "direction", "frc", "saturation")}
                write_pictures(maps, quality, paths)
                t = _add(times, "pictures", t)
            times["total"] = time.perf_counter() - t_start
            result["timings_s"] = dict(times, blocks_wall=wall_blocks)
            result["host_vs_module"] = {"module_s": module_s, "host_stages_s": host_s,
                                        "ratio": host_s / module_s if module_s > 0 else None}
            result["outputs"] = sorted(list(out.pending) + ["run.json"])
            with open(out.tmp("run.json"), "w") as f:
                json.dump(_json_safe(result), f, indent=1)
            out.commit()
        except OSError as e:
            out.discard()
            raise UlmError(f"cannot write the outputs into {out_dir}: {e.strerror or e}") from None
        except BaseException:
            out.discard()
            raise
    else:
        times["total"] = time.perf_counter() - t_start
        result["timings_s"] = dict(times, blocks_wall=wall_blocks)
        result["host_vs_module"] = {"module_s": module_s, "host_stages_s": host_s,
                                    "ratio": host_s / module_s if module_s > 0 else None}
    return _json_safe(result)
