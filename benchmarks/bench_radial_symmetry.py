"""One radial-symmetry localization per call, against the same method written
as vectorised NumPy (the way a host would without the module)."""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from common import median_time, print_table  # noqa: E402
from references import gaussian, peer_radial_symmetry_2d, peer_radial_symmetry_3d  # noqa: E402

import sonaloc  # noqa: E402


def main():
    w2 = gaussian((7, 7), (3.3, 2.8), 1.0)
    w3 = gaussian((7, 7, 7), (3.3, 2.8, 3.1), 1.2)
    assert np.allclose(peer_radial_symmetry_2d(w2), sonaloc.rs_radial_symmetry_2d(w2), atol=1e-4)
    assert np.allclose(peer_radial_symmetry_3d(w3), sonaloc.rs_radial_symmetry_3d(w3), atol=1e-3)
    rows = []
    for name, ours, peer in (
        ("rs_radial_symmetry_2d, 7x7 window",
         lambda: sonaloc.rs_radial_symmetry_2d(w2), lambda: peer_radial_symmetry_2d(w2)),
        ("rs_radial_symmetry_3d, 7x7x7 window",
         lambda: sonaloc.rs_radial_symmetry_3d(w3), lambda: peer_radial_symmetry_3d(w3)),
    ):
        t_ours = median_time(ours, repeat=15, number=2000)
        t_peer = median_time(peer, repeat=7, number=50)
        rows.append({"stage": "localize", "workload": f"{name}, one call", "ours_s": t_ours, "peer_s": t_peer,
                     "peer": "NumPy", "target": ">= 20x"})
    print_table("Radial symmetry, one window per call (median)", ("workload", "sonaloc", "NumPy peer", "speed-up"),
                [(r["workload"], f"{r['ours_s'] * 1e6:.2f} us", f"{r['peer_s'] * 1e6:.1f} us",
                  f"{r['peer_s'] / r['ours_s']:.0f}x") for r in rows])
    return rows


if __name__ == "__main__":
    main()
