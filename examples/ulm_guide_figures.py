#!/usr/bin/env python3
"""The figures of the README's user guide, measured with sonaloc-ulm on acquisition files.

For every file (with its ground truth beside it, ``NAME.truth.npz``): the
measured PSF and the choices made from it, then the localization RMSE,
Jaccard index and share of unrefined localizations for

- the noise-floor margin k = 0, 1, 2, 3, 4 (median + k robust sigma);
- both methods, with and without the resampling that makes the PSF round.

    python examples/ulm_guide_figures.py acq.npz [more.npz ...] [--svd-cutoff K]
    sonaloc-ulm simulate --out acq.npz            # a file to try it on
"""
from __future__ import annotations

import argparse
import os
import sys

from sonaloc_ulm import Config, UlmError, run
from sonaloc_ulm.simulate import truth_path


def measure(path: str, base: Config) -> None:
    truth = truth_path(path)
    ref = run(path, base, None, truth=truth)
    psf, ch = ref["psf"], ref["choices"]
    axes = list(psf["sigma_px"])
    print(f"{os.path.basename(path)}: {ref['input']['frames']} frames of "
          f"{' x '.join(str(v) for v in ref['input']['frame_shape'].values())} pixels "
          f"({', '.join(axes)}), pixel " + " x ".join(f"{ref['geometry']['pixel_size_mm'][a]:.3f}" for a in axes)
          + " mm")
    print("  PSF sigma " + " x ".join(f"{psf['sigma_px'][a]:.2f}" for a in axes) + " px, "
          f"anisotropy {psf['anisotropy']:.2f}:1 -> resampling "
          + " x ".join(f"{ch['resample_factors'][a]:.2f}" for a in axes)
          + f", {ch['method']}, window {ch['window']}")

    def row(label: str, cfg: Config) -> None:
        try:
            r = run(path, cfg, None, truth=truth)
        except UlmError as e:
            print(f"  {label:<34} failed: {e}")
            return
        t = r["quality"]["truth"]
        rm = "-" if t["rmse_mm"] is None else f"{1000 * t['rmse_mm']:6.1f} um"
        print(f"  {label:<34} RMSE {rm}  Jaccard {t['jaccard']:.3f}  "
              f"unrefined {100 * (r['quality']['unrefined_fraction'] or 0):5.1f} %  "
              f"window {r['choices']['window']}")

    for k in (0.0, 1.0, 2.0, 3.0, 4.0):
        row(f"floor k = {k:g}", base.replace(floor_k=k))
    for method in ("radial_symmetry", "gaussian_fitting"):
        for resample in (True, False):
            row(f"{method}, {'resampled' if resample else 'as acquired'}",
                base.replace(method=method, resample=resample))


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("files", nargs="+")
    ap.add_argument("--svd-cutoff", type=int, default=0)
    args = ap.parse_args(argv)
    base = Config(progress=False, pictures=False, svd_cutoff=args.svd_cutoff)
    for path in args.files:
        measure(path, base)
    return 0


if __name__ == "__main__":
    sys.exit(main())
