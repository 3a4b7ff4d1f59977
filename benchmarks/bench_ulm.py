#!/usr/bin/env python3
"""The whole pipeline, ``sonaloc-ulm run``, against a peer pipeline on realistic acquisitions.

The acquisitions are beamformed IQ of a simulated linear probe
(``sonaloc_ulm.simulate.simulate_realistic``: 7.6 MHz, three compounded
plane waves, delay-and-sum, channel noise at 20 dB): sparse and dense
bubbles, with and without tissue clutter (30 dB above the bubbles, removed by
an SVD filter of 3 components in both pipelines), on a lambda/2 grid and on a
lambda/2 lateral x lambda/4 axial grid. They are simulated once and cached in
the temporary folder (``$TMPDIR/sonaloc-bench-ulm``; a few minutes the first
time).

The peer (``ulm_peer.py``) is scikit-image ``peak_local_max``, a scipy
``least_squares`` free-width Gaussian fit on 7 x 7 windows and scipy
``linear_sum_assignment`` linking. Ours is the command ``sonaloc-ulm run``
in a child process (start-up, reading, maps and quality figures included;
``--no-pictures``, as the peer draws none), with ``--truth``.
Both are scored by the same matcher (``ulm_peer.match``: one-to-one per frame
within half the lateral FWHM of the PSF).

Targets: localization RMSE at most 1.10x the peer's, Jaccard at least the
peer's minus 0.03, at most 10 % of our localizations unrefined, time per frame
at least 10x shorter than the peer's, and our host stages at most 3x the
module's own time.

    python benchmarks/bench_ulm.py                 # 512 frames per acquisition
    python benchmarks/bench_ulm.py --frames 128    # quicker (start-up weighs more per frame)
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Dict, List

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from common import print_table  # noqa: E402
import ulm_peer  # noqa: E402

GRIDS = ("lambda/2", "lambda/2xlambda/4")
BUBBLES = ("sparse", "dense")
SVD_CUTOFF = 3  # the tissue moves slowly: three components hold it


def cache_dir() -> str:
    d = os.environ.get("SONALOC_BENCH_CACHE") or os.path.join(tempfile.gettempdir(), "sonaloc-bench-ulm")
    os.makedirs(d, exist_ok=True)
    return d


def _name(bubbles: str, grid: str, clutter: bool, frames: int, seed: int) -> str:
    g = grid.replace("lambda/", "l").replace("x", "-")
    return f"{bubbles}_{g}_{'clutter' if clutter else 'clean'}_f{frames}_s{seed}.npz"


def acquisitions(frames: int, seed: int = 0, log=print) -> List[Dict[str, object]]:
    """The eight acquisitions (cached); each a dict with path, truth path, bubbles, grid, clutter, psf."""
    from sonaloc_ulm.simulate import simulate_realistic_set, truth_path, write_acquisition

    d = cache_dir()
    out = []
    for bubbles in BUBBLES:
        names = {(g, c): os.path.join(d, _name(bubbles, g, c, frames, seed)) for g in GRIDS for c in (False, True)}
        meta = os.path.join(d, _name(bubbles, "all", False, frames, seed).replace(".npz", ".json"))
        if not (os.path.exists(meta) and all(os.path.exists(p) for p in names.values())):
            log(f"simulating {bubbles} bubbles, {frames} frames (pymust; cached in {d}) ...")
            t0 = time.perf_counter()
            acqs = simulate_realistic_set(grids=GRIDS, clutter=(False, True), frames=frames, bubbles=bubbles,
                                          seed=seed, progress=sys.stderr.isatty())
            info = {}
            for (g, c), acq in acqs.items():
                write_acquisition(names[(g, c)], acq)
                info[g] = {"psf": acq.info["psf"], "lambda_mm": acq.info["lambda_mm"],
                           "pixel_size": acq.pixel_size, "shape": acq.frames.shape}
            info["seconds"] = time.perf_counter() - t0
            with open(meta, "w") as f:
                json.dump(info, f, default=float)
            log(f"  {info['seconds']:.0f} s")
        with open(meta) as f:
            info = json.load(f)
        for g in GRIDS:
            for c in (False, True):
                out.append({"path": names[(g, c)], "truth": truth_path(names[(g, c)]), "bubbles": bubbles,
                            "grid": g, "clutter": c, "psf": info[g]["psf"], "pixel_size": info[g]["pixel_size"],
                            "shape": info[g]["shape"]})
    return out


def _command() -> List[str]:
    exe = os.path.join(os.path.dirname(sys.executable), "sonaloc-ulm")
    if os.path.exists(exe):
        return [exe]
    found = shutil.which("sonaloc-ulm")
    if found:
        return [found]
    return [sys.executable, "-c", "import sys; from sonaloc_ulm.cli import main; sys.exit(main())"]


def run_ours(acq: Dict[str, object], out_dir: str, repeat: int = 3) -> Dict[str, object]:
    """`sonaloc-ulm run` as a child process; the median wall time of `repeat` runs, and the
    median host and module times of their run.json."""
    cmd = _command() + ["run", acq["path"], "--out", out_dir, "--truth", acq["truth"], "--quiet",
                        "--no-pictures", "--svd-cutoff", str(SVD_CUTOFF if acq["clutter"] else 0)]
    times, host, module = [], [], []
    # Bytecode cached, as an installed package has it (pip compiles it at install).
    env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
    for _ in range(repeat):
        t0 = time.perf_counter()
        p = subprocess.run(cmd, capture_output=True, text=True, env=env)
        times.append(time.perf_counter() - t0)
        if p.returncode != 0:
            raise RuntimeError(f"sonaloc-ulm run failed on {acq['path']}: {p.stderr.strip()}")
        with open(os.path.join(out_dir, "run.json")) as f:
            report = json.load(f)
        hv = report.get("host_vs_module") or {}
        if hv.get("host_stages_s") is not None and hv.get("module_s"):
            host.append(hv["host_stages_s"])
            module.append(hv["module_s"])
    if host:
        h, m = float(np.median(host)), float(np.median(module))
        report["host_vs_module"] = {"host_stages_s": h, "module_s": m, "ratio": h / m}
    with np.load(os.path.join(out_dir, "localizations.npz")) as z:
        loc = {k: z[k] for k in z.files}
    return {"seconds": float(np.median(times)), "report": report, "localizations": loc}


def load_truth(path: str) -> Dict[str, np.ndarray]:
    with np.load(path) as z:
        return {k: z[k] for k in z.files}


def measure(frames: int = 512, repeat: int = 3, log=print) -> List[Dict[str, object]]:
    results = []
    work = tempfile.mkdtemp(prefix="bench-ulm-")
    try:
        for acq in acquisitions(frames, log=log):
            truth = load_truth(acq["truth"])
            radius = 0.5 * acq["psf"]["fwhm_mm"][0]  # half the lateral FWHM
            peer = ulm_peer.run(acq["path"], svd_cutoff=SVD_CUTOFF if acq["clutter"] else 0)
            out_dir = os.path.join(work, os.path.basename(acq["path"])[:-4])
            ours = run_ours(acq, out_dir, repeat)
            rep = ours["report"]
            q_ours = ulm_peer.match(ours["localizations"], truth, radius)
            q_peer = ulm_peer.match(peer["localizations"], truth, radius)
            hv = rep.get("host_vs_module", {})
            results.append({
                "acq": acq, "radius_mm": radius, "ours": q_ours, "peer": q_peer,
                "ours_s": ours["seconds"], "peer_s": peer["seconds"], "frames": peer["frames"],
                "unrefined_ours": rep.get("quality", {}).get("unrefined_fraction"),
                "unrefined_peer": 1.0 - float(np.mean(peer["localizations"]["refined"]))
                if len(peer["localizations"]["refined"]) else float("nan"),
                "host_s": hv.get("host_stages_s"), "module_s": hv.get("module_s"), "host_ratio": hv.get("ratio"),
                "psf_measured_px": rep.get("psf", {}).get("sigma_px"), "choices": rep.get("choices", {}),
                "psf_peer_px": (float(np.nanmedian(peer["localizations"]["sigma_x"])),
                                float(np.nanmedian(peer["localizations"]["sigma_z"]))),
                "their_truth": rep.get("quality", {}).get("truth"),
                "frc_mm": (rep.get("quality", {}).get("frc") or {}).get("resolution_mm"),
                "saturation": rep.get("quality", {}).get("saturation") or {},
                "tracks": rep.get("counts", {}).get("tracks"),
            })
            r = results[-1]
            log(f"  {os.path.basename(acq['path'])}: RMSE {1e3 * q_ours['rmse_mm']:.1f} / "
                f"{1e3 * q_peer['rmse_mm']:.1f} um, Jaccard {q_ours['jaccard']:.3f} / {q_peer['jaccard']:.3f}, "
                f"{r['ours_s']:.2f} s / {r['peer_s']:.1f} s")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return results


def _yes(ok) -> str:
    return "-" if ok is None else ("yes" if ok else "no")


def main(argv=None) -> List[Dict[str, object]]:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--frames", type=int, default=512, help="frames per acquisition (default 512)")
    ap.add_argument("--repeat", type=int, default=3, help="runs of ours per file (median; default 3)")
    ap.add_argument("--json", metavar="PATH", help="also write the measurements as JSON")
    args = ap.parse_args(argv)
    results = measure(args.frames, args.repeat, log=lambda m: print(m, file=sys.stderr, flush=True))

    psf_rows = []
    seen = set()
    for r in results:
        a = r["acq"]
        if a["grid"] in seen:
            continue
        seen.add(a["grid"])
        p = a["psf"]
        psf_rows.append((a["grid"], " x ".join(f"{v * 1e3:.1f}" for v in a["pixel_size"][::-1]),
                         f"{p['sigma_px'][0]:.2f} x {p['sigma_px'][1]:.2f}",
                         f"{p['fwhm_px'][0]:.2f} x {p['fwhm_px'][1]:.2f}",
                         f"{p['fwhm_mm'][0] * 1e3:.0f} x {p['fwhm_mm'][1] * 1e3:.0f}"))
    print_table("PSF of a bubble at the centre of the field, noise-free (lateral x axial)",
                ("grid", "pixel (um)", "sigma (px)", "FWHM (px)", "FWHM (um)"), psf_rows)

    from sonaloc_ulm.simulate import realistic_psf

    spots = [(x, z) for z in (9.0, 12.0, 15.0) for x in (-3.0, 0.0, 3.0)]
    across = {g: realistic_psf(spots, grid=g) for g in GRIDS}
    print_table("PSF across the field, noise-free bubbles: FWHM lateral x axial in um (sigma in px)",
                ("depth (mm)",) + tuple(f"{g}, x = {x:g} mm" for g in GRIDS for x in (-3.0, 0.0, 3.0)),
                [(f"{z:g}",) + tuple(f"{1e3 * p['fwhm_mm'][0]:.0f} x {1e3 * p['fwhm_mm'][1]:.0f} "
                                     f"({p['sigma_px'][0]:.2f} x {p['sigma_px'][1]:.2f})"
                                     for g in GRIDS for p in across[g] if p["position_mm"][1] == z)
                 for z in (9.0, 12.0, 15.0)])

    table = []
    for r in results:
        a, qo, qp = r["acq"], r["ours"], r["peer"]
        rmse_ratio = qo["rmse_mm"] / qp["rmse_mm"] if qp["rmse_mm"] > 0 else float("nan")
        speed = r["peer_s"] / r["ours_s"]
        unref = r["unrefined_ours"]
        sig = r["psf_measured_px"] or {}
        ch = r["choices"]
        table.append((
            a["bubbles"], "clutter" if a["clutter"] else "clean", a["grid"],
            f"{1e3 * qo['rmse_mm']:.1f} / {1e3 * qp['rmse_mm']:.1f} ({rmse_ratio:.2f}x {_yes(rmse_ratio <= 1.10)})",
            f"{qo['jaccard']:.3f} / {qp['jaccard']:.3f} ({_yes(qo['jaccard'] >= qp['jaccard'] - 0.03)})",
            f"{qo['precision']:.2f}/{qo['recall']:.2f} | {qp['precision']:.2f}/{qp['recall']:.2f}",
            "-" if unref is None
            else f"{100 * unref:.1f} % ({_yes(unref <= 0.10)}) | {100 * r['unrefined_peer']:.1f} %",
            f"{1e3 * r['ours_s'] / r['frames']:.2f} / {1e3 * r['peer_s'] / r['frames']:.1f} ({speed:.1f}x "
            f"{_yes(speed >= 10)})",
            "-" if r["host_ratio"] is None else f"{r['host_ratio']:.2f}x ({_yes(r['host_ratio'] <= 3)})",
            " x ".join(f"{v:.2f}" for v in sig.values()) + " | " + " x ".join(f"{v:.2f}" for v in r["psf_peer_px"]),
            f"{ch.get('method', '-')}, {ch.get('window', '-')}, z x{ch.get('resample_factors', {}).get('z', 1):.2f}",
        ))
    print_table(f"sonaloc-ulm run vs peer pipeline, {results[0]['frames'] if results else 0} frames per file "
                f"(ours / peer; match radius half the lateral FWHM)",
                ("bubbles", "tissue", "grid", "RMSE um (<= 1.10x)", "Jaccard (>= peer - 0.03)", "prec/rec ours | peer",
                 "unrefined ours (<= 10 %) | peer", "ms per frame (>= 10x)", "host/module (<= 3x)",
                 "PSF sigma x, z px: ours | peer fits", "our method, window, resampling"), table)
    quality = []
    for r in results:
        a, sat = r["acq"], r["saturation"]
        filled = sat.get("filled_fraction") or [None]
        quality.append((a["bubbles"], "clutter" if a["clutter"] else "clean", a["grid"], str(r["tracks"]),
                        "-" if r["frc_mm"] is None else f"{1e3 * r['frc_mm']:.0f}",
                        "-" if filled[-1] is None else f"{100 * filled[-1]:.2f} %",
                        str(sat.get("frames_to_90_percent", "-"))))
    print_table("Our quality figures without ground truth (run.json)",
                ("bubbles", "tissue", "grid", "tracks", "FRC resolution (um)", "filled pixels at the end",
                 "frames to 90 % of it"), quality)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1, default=lambda o: o.tolist() if hasattr(o, "tolist") else str(o))

    rows = []
    for r in results:
        a, qo, qp = r["acq"], r["ours"], r["peer"]
        what = (f"{a['bubbles']}, {'clutter' if a['clutter'] else 'clean'}, {a['grid']}, {r['frames']} frames")
        quality = (f"RMSE {1e3 * qo['rmse_mm']:.1f}/{1e3 * qp['rmse_mm']:.1f} um, "
                   f"Jaccard {qo['jaccard']:.2f}/{qp['jaccard']:.2f}")
        if r["unrefined_ours"] is not None:
            quality += f", unrefined {100 * r['unrefined_ours']:.0f} %"
        rows.append({"stage": "ulm run", "workload": f"per frame, {what}; {quality}",
                     "ours_s": r["ours_s"] / r["frames"], "peer_s": r["peer_s"] / r["frames"],
                     "target": ">= 10x", "peer": "skimage+SciPy"})
        if r["host_s"] is not None and r["module_s"]:
            rows.append({"stage": "ulm host", "workload": f"host stages vs module (host <= 3x module), {what}",
                         "ours_s": r["host_s"], "peer_s": r["module_s"], "target": ">= 0.333x",
                         "peer": "module's own time"})
    return rows


if __name__ == "__main__":
    main()
