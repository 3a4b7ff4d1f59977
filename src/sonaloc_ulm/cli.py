"""The command line: ``sonaloc-ulm run``, ``sonaloc-ulm simulate``, ``sonaloc-ulm demo``.

Every error the user can fix is one line on stderr and exit status 2."""
from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Dict, List, Optional

from .errors import UlmError


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # one line, no usage block
        raise UlmError(f"{message} (see {self.prog} --help)")


def _run_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("input", help="acquisition file: .npz, .npy, .mat (v5 or v7.3)")
    p.add_argument("--out", required=True, metavar="DIR", help="output folder (created if needed)")
    p.add_argument("--dataset", metavar="NAME", help="array to read (default: the only one with 3 or 4 axes)")
    p.add_argument("--axes", metavar="LETTERS",
                   help="axis order of the array: z depth, x lateral, y elevation, t frame (default zxt, "
                        "or zxyt for 4 axes; 4 letters mean 3D)")
    p.add_argument("--pixel-size", type=float, nargs="+", metavar="MM",
                   help="pixel size in mm per spatial axis, in the order of --axes (default: dz, dx, dy in the file)")
    p.add_argument("--origin", type=float, nargs="+", metavar="MM",
                   help="centre of the first pixel in mm per spatial axis (default: z0, x0, y0 in the file, else 0)")
    p.add_argument("--frame-rate", type=float, metavar="HZ", help="frames per second (default: frame_rate in the file)")
    p.add_argument("--svd-cutoff", type=int, metavar="K", help="clutter components removed per block (0: none)")
    p.add_argument("--config", metavar="FILE.toml", help="TOML file with any other setting")
    p.add_argument("--truth", metavar="FILE", help="ground truth (.npz: frame, x, z[, y] in mm) for RMSE, "
                                                   "precision, recall, Jaccard")
    p.add_argument("--method", choices=("radial_symmetry", "gaussian_fitting"), help="default: from the PSF")
    p.add_argument("--window", type=int, metavar="N", help="odd window size in pixels (default: from the PSF)")
    p.add_argument("--max-speed", type=float, metavar="MM_S", help="largest expected speed, mm/s (default 75)")
    p.add_argument("--block-frames", type=int, metavar="N", help="frames per block (default: about 64 MB)")
    p.add_argument("--workers", type=int, metavar="N", help="worker processes (default: one per core)")
    p.add_argument("--threads", type=int, metavar="N", help="module threads per worker")
    p.add_argument("--scheduler", metavar="ADDRESS", help="dask.distributed scheduler, e.g. tcp://host:8786")
    p.add_argument("--no-pictures", action="store_true", help="skip the PNG pictures")
    p.add_argument("--quiet", action="store_true", help="no progress bar, no summary")


def _config(args: argparse.Namespace, **extra: Any):
    from .config import config_from

    over: Dict[str, Any] = dict(
        dataset=args.dataset, axes=args.axes,
        pixel_size=tuple(args.pixel_size) if args.pixel_size else None,
        origin=tuple(args.origin) if args.origin else None, frame_rate=args.frame_rate,
        svd_cutoff=args.svd_cutoff, method=args.method, window=args.window, max_speed=args.max_speed,
        block_frames=args.block_frames, workers=args.workers, threads=args.threads, scheduler=args.scheduler)
    if args.no_pictures:
        over["pictures"] = False
    if args.quiet:
        over["progress"] = False
    over.update(extra)
    return config_from(args.config, **over)


def _where(workers: int) -> str:
    if workers == 0:
        return "on the dask cluster"
    return "in this process" if workers == 1 else f"in {workers} worker processes"


def summary(r: Dict[str, Any]) -> str:
    """A few lines on a finished run."""
    c, ch, q, psf = r["counts"], r["choices"], r["quality"], r["psf"]
    axes = list(psf["sigma_px"])
    lines = [
        f"frames {r['input']['frames']} of {' x '.join(str(v) for v in r['input']['frame_shape'].values())} "
        f"pixels ({'complex IQ' if r['input']['complex'] else 'envelope'}), "
        f"{r['execution']['blocks']} blocks " + _where(r["execution"]["workers"]),
        "PSF sigma " + " x ".join(f"{psf['sigma_px'][a]:.2f}" for a in axes) + f" px ({', '.join(axes)}); "
        f"resampling " + " x ".join(f"{ch['resample_factors'][a]:g}" for a in axes) +
        f"; {ch['method']}, window {ch['window']}",
        f"localizations {c['localizations']} ({100 * (q['unrefined_fraction'] or 0):.1f} % unrefined), "
        f"tracks {c['tracks']} of >= {ch['min_track_length']} points ({c['track_points']} points)",
    ]
    frc = q.get("frc") or {}
    if frc.get("resolution_mm"):
        lines.append(f"FRC resolution {1000 * frc['resolution_mm']:.1f} um")
    sat = q.get("saturation") or {}
    if sat.get("filled_fraction"):
        lines.append(f"filled pixels {100 * sat['filled_fraction'][-1]:.1f} % "
                     f"(90 % of it after {sat.get('frames_to_90_percent')} frames)")
    tr = q.get("truth")
    if tr:
        rm = tr["rmse_mm"]
        lines.append(f"against the truth: RMSE {'-' if rm is None else f'{1000 * rm:.1f} um'}, "
                     f"precision {tr['precision']:.3f}, recall {tr['recall']:.3f}, Jaccard {tr['jaccard']:.3f}")
    hm = r["host_vs_module"]
    ratio = hm["ratio"]
    lines.append(f"time {r['timings_s']['total']:.2f} s; module {hm['module_s']:.3f} s, host stages "
                 f"{hm['host_stages_s']:.3f} s ({'-' if ratio is None else f'{ratio:.2f}x'} the module)")
    for w in r.get("warnings", []):
        lines.append(f"warning: {w}")
    return "\n".join(lines)


def cmd_run(args: argparse.Namespace) -> int:
    from .pipeline import run

    cfg = _config(args)
    r = run(args.input, cfg, args.out, truth=args.truth,
            log=None if args.quiet else (lambda m: print(m, file=sys.stderr)))
    if not args.quiet:
        print(summary(r))
        print(f"wrote {len(r['outputs'])} files into {args.out}")
    return 0


def cmd_demo(args: argparse.Namespace) -> int:
    from .config import Config
    from .pipeline import check_out_dir, run
    from .simulate import simulate_phantom, write_acquisition

    out = check_out_dir(args.out)
    kw: Dict[str, Any] = {"three_d": args.three_d}
    if args.frames is not None:
        kw["frames"] = args.frames
    if args.seed is not None:
        kw["seed"] = args.seed
    acq = simulate_phantom(**kw)
    path, truth = write_acquisition(os.path.join(out, "acquisition.npz"), acq)
    if not args.quiet:
        print(f"simulated {path} and {os.path.basename(truth)}")
    cfg = Config(axes=acq.axes, progress=not args.quiet, workers=args.workers)
    r = run(path, cfg.check(), os.path.join(out, "results"), truth=truth,
            log=None if args.quiet else (lambda m: print(m, file=sys.stderr)))
    print(summary(r))
    print(f"pictures and results in {os.path.join(out, 'results')}")
    return 0


def build_parser() -> argparse.ArgumentParser:
    ap = _Parser(prog="sonaloc-ulm", description="Ultrasound localization microscopy with sonaloc: "
                                                 "from an acquisition file to super-resolved maps.")
    sub = ap.add_subparsers(dest="command", parser_class=_Parser)
    p = sub.add_parser("run", help="process an acquisition file into DIR")
    _run_arguments(p)
    p.set_defaults(func=cmd_run)
    p = sub.add_parser("simulate", help="write a simulated acquisition and its ground truth")
    from .simulate import add_arguments

    add_arguments(p)
    p.set_defaults(func=_cmd_simulate)
    p = sub.add_parser("demo", help="simulate, run with the truth, write pictures and quality figures")
    p.add_argument("--out", default="sonaloc-ulm-demo", metavar="DIR", help="folder (default sonaloc-ulm-demo)")
    p.add_argument("--frames", type=int, help="frames to simulate (default 2000; 3D 300)")
    p.add_argument("--3d", dest="three_d", action="store_true", help="volumes instead of images")
    p.add_argument("--seed", type=int, help="phantom seed")
    p.add_argument("--workers", type=int, metavar="N", help="worker processes")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    p.set_defaults(func=cmd_demo)
    return ap


def _cmd_simulate(args: argparse.Namespace) -> int:
    from .simulate import main_from_args

    return int(main_from_args(args) or 0)


def main(argv: Optional[List[str]] = None) -> int:
    try:
        ap = build_parser()
        args = ap.parse_args(argv)
        if not getattr(args, "command", None):
            ap.print_help(sys.stderr)
            return 2
        return args.func(args)
    except UlmError as e:
        print(f"sonaloc-ulm: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("sonaloc-ulm: interrupted", file=sys.stderr)
        return 130
    except MemoryError:
        print("sonaloc-ulm: error: out of memory; use smaller blocks (block_frames) or fewer workers",
              file=sys.stderr)
        return 2
    except Exception as e:  # a fault of this program: one line, the traceback on request
        if os.environ.get("SONALOC_ULM_DEBUG"):
            raise
        print(f"sonaloc-ulm: internal error: {type(e).__name__}: {e} (set SONALOC_ULM_DEBUG=1 for the traceback)",
              file=sys.stderr)
        return 3


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
