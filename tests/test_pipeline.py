"""The user-facing pipeline: the ULM demo on a tiny acquisition, the host-side
speed computation, and the dask scale-out example on a local cluster."""
import dataclasses
import importlib.util
import pathlib
import sys

import numpy as np
import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))
import ulm_demo  # noqa: E402


def tiny(ndim, **changes):
    cfg = ulm_demo.Config.preset(ndim)
    if ndim == 2:
        cfg = dataclasses.replace(cfg, shape=(64, 64), frames=120, bubbles=6.0, branch_length_px=30.0)
    else:
        cfg = dataclasses.replace(cfg, shape=(32, 32, 24), frames=40, bubbles=6.0, branch_length_px=18.0)
    return dataclasses.replace(cfg, **changes)


def test_simulation_is_reproducible_and_matches_its_truth():
    cfg = tiny(2, frames=30)
    a, b = ulm_demo.simulate(cfg, block=3), ulm_demo.simulate(cfg, block=3)
    np.testing.assert_array_equal(a.frames, b.frames)
    assert not np.array_equal(a.frames, ulm_demo.simulate(cfg, block=4).frames)
    assert a.frames.dtype == np.float32 and a.frames.shape == (30, 64, 64)
    assert a.frames.min() >= 0
    # every bubble sits on a bright pixel; the background is the noise floor
    f = int(a.truth.frame[0])
    pix = np.rint(a.truth.position[a.truth.in_frame(f)]).astype(int)
    assert np.all(a.frames[f][tuple(pix.T)] > cfg.noise_floor + 0.3)
    assert abs(np.median(a.frames) - cfg.noise_floor) < 0.02
    # speeds follow the vessel: parabolic profile, at most twice the mean of a root vessel
    assert 0 < a.truth.speed.min() and a.truth.speed.max() <= 2 * cfg.root_speed_mm_s + 1e-9


def test_point_speeds_use_the_frames_of_the_points():
    cfg = ulm_demo.Config(speed_half_window=1, frame_rate_hz=100.0)
    # one track moving 0.1 mm per frame along x, seen in frames 0, 1, 3 (frame 2 skipped), 4;
    # a second track standing still
    points = [np.array([[0.0, 0.0, 1.0], [5.0, 5.0, 2.0]], np.float32),
              np.array([[0.1, 0.0, 1.1], [5.0, 5.0, 2.1]], np.float32),
              np.zeros((0, 3), np.float32),
              np.array([[0.3, 0.0, 1.2]], np.float32),
              np.array([[0.4, 0.0, 1.3]], np.float32)]
    matrix = np.concatenate([points[0][:1], points[1][:1], points[3], points[4], points[0][1:], points[1][1:]])
    ends = np.array([4, 6], np.uint32)
    frames = ulm_demo.track_frames(matrix, ulm_demo.point_index(points))
    np.testing.assert_array_equal(frames, [0, 1, 3, 4, 0, 1])
    speeds = ulm_demo.point_speeds(matrix, ends, frames, cfg)
    np.testing.assert_allclose(speeds, [10, 10, 10, 10, 0, 0], rtol=1e-5, atol=1e-5)


def test_demo_2d_quality(tmp_path):
    pictures = importlib.util.find_spec("matplotlib") is not None
    r = ulm_demo.run(tiny(2), out_dir=str(tmp_path) if pictures else None, progress=False, verbose=False)
    assert r["rmse_px"] < 0.12
    assert r["precision"] > 0.95 and r["recall"] > 0.9
    assert r["link_fraction"] > 0.95 and r["tracks"] >= 5
    assert r["speed_rel_err"] < 0.25
    maps = r["maps"]
    assert maps["count"].shape == maps["speed"].shape == (63 * 4, 63 * 4)
    assert maps["count"].sum() > 0 and np.all(maps["speed"][maps["count"] == 0] == 0)
    assert set(r["times"]) >= {"simulate", "detect + localize", "link", "render density + speed"}
    if pictures:
        assert [pathlib.Path(p).name for p in r["pictures"]] == ["ulm_2d.png", "density_2d.png", "speed_2d.png",
                                                                  "truth_2d.png"]
        assert all(pathlib.Path(p).stat().st_size > 1000 for p in r["pictures"])


def test_demo_3d_quality():
    r = ulm_demo.run(tiny(3), out_dir=None, progress=False, verbose=False)
    assert r["rmse_px"] < 0.2
    assert r["precision"] > 0.95 and r["recall"] > 0.9
    assert r["link_fraction"] > 0.95 and r["tracks"] >= 3
    assert r["maps"]["count"].ndim == 3 and r["maps"]["count"].sum() > 0


def test_demo_command_line():
    cfg, args = ulm_demo.parse_args(["--3d", "--frames", "7", "--size", "20", "--snr", "8", "--no-pictures"])
    assert (cfg.ndim, cfg.frames, cfg.shape, cfg.snr) == (3, 7, (20, 20, 20), 8.0) and args.no_pictures
    cfg, _ = ulm_demo.parse_args([])
    assert cfg == ulm_demo.Config()
    with pytest.raises(SystemExit):
        ulm_demo.parse_args(["--size", "10", "20", "30"])


def test_dask_blocks_on_a_local_cluster_of_processes():
    pytest.importorskip("dask")
    pytest.importorskip("distributed")
    import dask_blocks

    cfg = tiny(2, frames=40)
    total = dask_blocks.run(cfg, blocks=3, workers=2, threads=1, progress=False)
    assert total["workers"] == 2 and total["blocks"] == 3
    # the same blocks processed here give the same sums, bit for bit
    local = dask_blocks.combine([dask_blocks.process_block(cfg, b) for b in (2, 0, 1)])
    for key in ("count", "intensity", "speed"):
        np.testing.assert_array_equal(total[key], local[key])
    assert total["points"] == local["points"] > 0 and total["count"].sum() > 0
    assert total["count"].dtype == np.uint64


def test_run_all_collects_rows_and_tolerates_other_benchmarks(tmp_path, capsys):
    found = importlib.util.spec_from_file_location("run_all", EXAMPLES.parent / "benchmarks" / "run_all.py")
    run_all = importlib.util.module_from_spec(found)
    found.loader.exec_module(run_all)
    (tmp_path / "bench_a.py").write_text(
        "def main():\n"
        "    return [{'stage': 'link', 'workload': 'w', 'ours_s': 0.002, 'peer_s': 0.1, 'target': '>= 20x',"
        " 'memory_mb': 12.0}, {'stage': 'link', 'workload': 'v', 'ours_s': 2e-5, 'peer_s': None,"
        " 'target': '<= 10 us'}]\n")
    (tmp_path / "bench_b.py").write_text("def main():\n    print('my own table')\n")
    (tmp_path / "bench_c.py").write_text("import sys\ndef main():\n    raise SystemExit(2)\n")
    (tmp_path / "helper.py").write_text("raise RuntimeError('not a benchmark')\n")
    rows, notes, failed = run_all.collect(run_all.discover([], str(tmp_path)), str(tmp_path))
    assert [r["workload"] for r in rows] == ["w", "v"] and failed
    assert "my own table" in capsys.readouterr().out
    assert [n.split(":")[0] for n in notes] == ["bench_b.py", "bench_c.py"]
    assert run_all.table_row(rows[0])[2:] == ("2 ms", "100 ms", "50x", ">= 20x", "yes", "12 MB")
    assert run_all.table_row(rows[1])[2:] == ("20 us", "-", "-", "<= 10 us", "no", "-")
    assert run_all.discover(["a"], str(tmp_path)) == ["bench_a.py"]
    with pytest.raises(SystemExit):
        run_all.discover(["nope"], str(tmp_path))


def _peer():
    pytest.importorskip("skimage")
    found = importlib.util.spec_from_file_location("ulm_peer", EXAMPLES.parent / "benchmarks" / "ulm_peer.py")
    peer = importlib.util.module_from_spec(found)
    found.loader.exec_module(peer)
    return peer


def test_benchmark_scores_and_peer_pipeline():
    peer = _peer()
    truth = {"frame": np.array([0, 0, 1, 2]), "x": np.array([0.0, 1.0, 0.0, 5.0]), "z": np.zeros(4)}
    # frame 0: both found (0.03 and 0.04 mm off); frame 1: one found, one false; frame 2: missed
    loc = {"frame": np.array([0, 0, 1, 1]), "x": np.array([1.04, 0.03, 0.0, 3.0]), "z": np.zeros(4)}
    q = peer.match(loc, truth, radius=0.1)
    assert (q["matched"], q["localizations"], q["truth"]) == (3, 4, 4)
    np.testing.assert_allclose([q["rmse_mm"], q["precision"], q["recall"], q["jaccard"]],
                               [np.sqrt((0.03 ** 2 + 0.04 ** 2) / 3), 0.75, 0.75, 3 / 5])
    # the peer localizes phantom spots to a fraction of a pixel and links them into tracks
    acq = ulm_demo.simulate_block(dataclasses.replace(ulm_demo.Config(), shape=(48, 48), frames=6, bubbles=4.0,
                                                      branch_length_px=25.0))
    frames = acq.frames.transpose(2, 1, 0)  # zxt, as in a file
    geo = {"dz": 0.1, "dx": 0.1, "z0": 0.0, "x0": 0.0, "frame_rate": 1000.0}
    loc = peer.localize(frames, geo)
    t = acq.truth
    inner = np.all((t.position >= 3) & (t.position <= 44), axis=1)
    q = peer.match(loc, {"frame": t.frame[inner], "x": t.position[inner, 0] * 0.1,
                         "z": t.position[inner, 1] * 0.1}, radius=0.1)
    assert q["recall"] > 0.9 and q["rmse_mm"] < 0.015 and loc["refined"].mean() > 0.9
    track = peer.link(loc, max_distance=0.15)
    assert len(np.unique(track)) < len(track) / 2  # most points continue a track
