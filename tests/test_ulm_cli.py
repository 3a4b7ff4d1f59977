"""sonaloc-ulm from end to end: outputs, quality, bad input, worker-count independence."""
import json
import os

import numpy as np
import pytest

from sonaloc_ulm import Config, run
from sonaloc_ulm.cli import main
from sonaloc_ulm.simulate import simulate_phantom, write_acquisition

SANITIZED = os.environ.get("SONALOC_SANITIZED") == "1"
OUTPUTS = {"localizations.npz", "tracks.npz", "maps.npz", "run.json", "density.png", "speed.png",
           "direction.png", "frc.png", "saturation.png"}


@pytest.fixture(scope="module")
def acq_file(tmp_path_factory):
    d = tmp_path_factory.mktemp("acq")
    acq = simulate_phantom(frames=120, size=64, seed=3)
    return write_acquisition(str(d / "acq.npz"), acq)


def cli(*args):
    return main([str(a) for a in args])


def test_run_writes_every_output_with_good_figures(acq_file, tmp_path, capsys):
    path, truth = acq_file
    out = tmp_path / "out"
    assert cli("run", path, "--out", out, "--truth", truth, "--quiet") == 0
    assert set(os.listdir(out)) == OUTPUTS  # no temporary names left
    r = json.loads((out / "run.json").read_text())
    assert r["psf"]["sigma_px"]["x"] == pytest.approx(1.0, abs=0.15)
    assert r["choices"]["method"] == "gaussian_fitting" and r["choices"]["window"] == 7
    q = r["quality"]
    assert q["truth"]["jaccard"] > 0.95 and q["truth"]["rmse_mm"] < 0.015  # 0.15 pixel
    assert q["unrefined_fraction"] < 0.05
    assert q["saturation"]["filled_fraction"][-1] > 0
    for stage in ("noise floor estimate (host)", "floor subtraction (host)", "detect + localize (module)",
                  "link (module)", "render (module)"):
        assert stage in r["timings_s"]
    assert r["versions"]["sonaloc_ulm"] and r["config"]["floor_k"] == 3.0
    with np.load(out / "localizations.npz") as z:
        assert {"frame", "x", "z", "intensity"} <= set(z.files) and len(z["x"]) == r["counts"]["localizations"]
        assert np.all(np.diff(z["frame"]) >= 0)
    with np.load(out / "tracks.npz") as t:
        assert {"frame", "x", "z", "track", "speed"} <= set(t.files)
        per_track = np.bincount(t["track"])
        assert per_track.min() >= 3
        # every track point sits in its frame's localizations, bit for bit
        with np.load(out / "localizations.npz") as z:
            for i in range(0, len(t["x"]), 97):
                f = t["frame"][i]
                sel = z["frame"] == f
                assert np.any((z["x"][sel] == t["x"][i]) & (z["z"][sel] == t["z"][i]))
        assert 0 < np.median(t["speed"]) < 100
    with np.load(out / "maps.npz") as m:
        assert m["density"].shape == m["speed"].shape == m["direction"].shape
        assert m["extent"].shape == (4,) and m["density"].sum() > 0


def _fail(capsys, *args):
    rc = cli(*args)
    err = capsys.readouterr().err.strip()
    assert rc != 0
    assert len(err.splitlines()) == 1 and "Traceback" not in err, err
    return err


def test_bad_input_is_one_line_and_leaves_nothing(acq_file, tmp_path, capsys):
    path, _ = acq_file
    out = tmp_path / "out"
    d = tmp_path
    assert "no such file" in _fail(capsys, "run", d / "missing.npz", "--out", out)
    (d / "junk.npz").write_bytes(b"not a zip file")
    assert "cannot read" in _fail(capsys, "run", d / "junk.npz", "--out", out)
    (d / "junk.txt").write_text("x")
    assert "unknown file type" in _fail(capsys, "run", d / "junk.txt", "--out", out)
    assert "no array named 'IQ'" in _fail(capsys, "run", path, "--out", out, "--dataset", "IQ")
    np.save(d / "flat.npy", np.zeros((8, 8), np.float32))
    assert "2 axes" in _fail(capsys, "run", d / "flat.npy", "--out", out)
    assert "--axes" in _fail(capsys, "run", path, "--out", out, "--axes", "zqt")
    assert "4 letters" in _fail(capsys, "run", path, "--out", out, "--axes", "zxyt")
    np.save(d / "plain.npy", np.ones((16, 16, 4), np.float32))
    assert "--pixel-size" in _fail(capsys, "run", d / "plain.npy", "--out", out)
    assert "--frame-rate" in _fail(capsys, "run", d / "plain.npy", "--out", out, "--pixel-size", 0.1, 0.1)
    assert "pixel_size needs" in _fail(capsys, "run", d / "plain.npy", "--out", out, "--pixel-size", 0.1)
    assert "--pixel-size needs 2" in _fail(capsys, "run", d / "plain.npy", "--out", out, "--pixel-size", 1, 1, 1)
    meta = dict(dz=0.1, dx=0.1, frame_rate=100.0)
    np.savez(d / "nan.npz", frames=np.full((16, 16, 8), np.nan, np.float32), **meta)
    assert "NaN" in _fail(capsys, "run", d / "nan.npz", "--out", out)
    np.savez(d / "const.npz", frames=np.full((16, 16, 8), 3.0, np.float32), **meta)
    assert "constant" in _fail(capsys, "run", d / "const.npz", "--out", out)
    assert "invalid float" in _fail(capsys, "run", path, "--out", out, "--frame-rate", "fast")
    blocker = d / "a_file"
    blocker.write_text("")
    assert "output folder" in _fail(capsys, "run", path, "--out", blocker / "sub")
    (d / "bad.toml").write_text("no_such_setting = 1\n")
    assert "unknown setting" in _fail(capsys, "run", path, "--out", out, "--config", d / "bad.toml")
    assert "truth" in _fail(capsys, "run", path, "--out", out, "--truth", d / "missing.truth.npz")
    assert not out.exists() or os.listdir(out) == []


@pytest.mark.parametrize("workers", [1, pytest.param(2, marks=pytest.mark.skipif(SANITIZED, reason="processes"))])
def test_failing_block_is_reported_with_its_frame_range(tmp_path, capsys, workers):
    frames = np.abs(np.random.default_rng(0).standard_normal((16, 16, 48))).astype(np.float32)
    frames[:, :, 32:] = np.nan
    np.savez(tmp_path / "part.npz", frames=frames, dz=0.1, dx=0.1, frame_rate=100.0)
    out = tmp_path / "out"
    err = _fail(capsys, "run", tmp_path / "part.npz", "--out", out, "--block-frames", 16, "--quiet",
                "--workers", workers)
    assert "frames 32-47" in err and "NaN" in err
    assert os.listdir(out) == []


@pytest.mark.skipif(SANITIZED, reason="worker processes: pipeline logic, not the module")
def test_results_do_not_depend_on_the_worker_count(tmp_path):
    acq = simulate_phantom(frames=150, size=48, seed=4)
    iq = (np.asarray(acq.frames) * np.exp(1j * 0.3)).astype(np.complex64)  # complex input, clutter filter on
    np.savez(tmp_path / "iq.npz", frames=iq, dz=0.1, dx=0.1, frame_rate=1000.0)
    outs = []
    for w in (1, 2):
        out = tmp_path / f"w{w}"
        # blocks of 64 frames (subspace iteration) and a last one of 22 (exact decomposition)
        cfg = Config(workers=w, block_frames=64, svd_cutoff=1, progress=False, pictures=False)
        r = run(str(tmp_path / "iq.npz"), cfg, out)
        assert r["execution"]["workers"] == w and r["execution"]["blocks"] == 3
        outs.append((out, r))
    for name in ("localizations.npz", "tracks.npz", "maps.npz"):
        with np.load(outs[0][0] / name) as a, np.load(outs[1][0] / name) as b:
            assert a.files == b.files
            for k in a.files:
                assert np.array_equal(a[k], b[k], equal_nan=a[k].dtype.kind == "f"), (name, k)
    assert outs[0][1]["quality"] == outs[1][1]["quality"]
    assert outs[0][1]["counts"]["localizations"] > 100


@pytest.mark.skipif(SANITIZED, reason="dask cluster: pipeline logic, not the module")
def test_dask_scheduler_gives_the_same_results(acq_file, tmp_path):
    distributed = pytest.importorskip("distributed")
    path, _ = acq_file
    ref = run(path, Config(progress=False, pictures=False, block_frames=50), None)
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster:
        r = run(path, Config(progress=False, pictures=False, block_frames=50, scheduler=cluster.scheduler_address),
                None)
    assert r["counts"] == ref["counts"] and r["quality"] == ref["quality"]


def test_three_d_acquisition(tmp_path):
    acq = simulate_phantom(frames=24, size=(32, 32, 20), three_d=True, seed=1)
    path, truth = write_acquisition(str(tmp_path / "vol.npz"), acq)
    out = tmp_path / "out"
    assert cli("run", path, "--out", out, "--truth", truth, "--quiet") == 0  # 4 axes: zxyt by default
    r = json.loads((out / "run.json").read_text())
    assert set(r["psf"]["sigma_px"]) == {"x", "y", "z"}
    assert r["quality"]["truth"]["jaccard"] > 0.9
    with np.load(out / "maps.npz") as m:
        assert m["density"].ndim == 3 and m["extent"].shape == (6,)
        assert m["density_mip_y"].ndim == 2
    with np.load(out / "localizations.npz") as z:
        assert {"x", "y", "z"} <= set(z.files)


def test_anisotropic_psf_is_resampled_round(tmp_path):
    acq = simulate_phantom(frames=40, size=(48, 64), seed=5)
    # stretch laterally: PSF 3 pixels along x, 1 along z (axes zxt: x is axis 1)
    f = np.asarray(acq.frames)
    from scipy.ndimage import gaussian_filter1d

    wide = gaussian_filter1d(f.astype(np.float64), np.sqrt(3.0 ** 2 - 1.0), axis=1).astype(np.float32)
    np.savez(tmp_path / "wide.npz", frames=wide * 3.0, dz=0.1, dx=0.1, frame_rate=1000.0)
    r = run(str(tmp_path / "wide.npz"), Config(progress=False, pictures=False), None)
    s = r["psf"]["sigma_px"]
    assert s["x"] / s["z"] > 1.5
    f_ = r["choices"]["resample_factors"]
    assert f_["x"] == 1.0 and f_["z"] == 3.0
    assert r["choices"]["processing_grid"]["z"] > 48 and r["choices"]["method"] == "radial_symmetry"
    assert not any("anisotropic" in w for w in r["warnings"])
    off = run(str(tmp_path / "wide.npz"), Config(progress=False, pictures=False, resample=False), None)
    assert any("anisotropic" in w for w in off["warnings"])


def test_demo_command(tmp_path, capsys):
    assert cli("demo", "--out", tmp_path / "demo", "--frames", 60, "--quiet") == 0
    text = capsys.readouterr().out
    assert "Jaccard" in text and "FRC" in text
    assert OUTPUTS <= set(os.listdir(tmp_path / "demo" / "results"))


def test_memory_stays_at_a_few_blocks(tmp_path):
    tracemalloc = pytest.importorskip("tracemalloc")
    frames, n = 2400, 64  # 39 MB of frames on disk, blocks of 1.6 MB
    path = tmp_path / "long.npy"
    mm = np.lib.format.open_memmap(path, mode="w+", dtype=np.float32, shape=(frames, n, n))  # axes t x z
    rng = np.random.default_rng(0)
    for t0 in range(0, frames, 200):
        block = np.abs(rng.standard_normal((200, n, n), dtype=np.float32)) + 0.5
        t = np.arange(t0, t0 + 200)
        block[np.arange(200), 10 + (t // 40) % 40, 20] += 12.0  # a bubble moving along x
        mm[t0:t0 + 200] = block
    mm.flush()
    del mm, block
    cfg = Config(axes="txz", pixel_size=(0.1, 0.1), frame_rate=500.0, block_frames=100, workers=1,
                 progress=False, pictures=False)
    tracemalloc.start()
    try:
        r = run(str(path), cfg, tmp_path / "out")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert r["execution"]["blocks"] == 24 and r["counts"]["localizations"] >= frames * 0.9
    assert peak < 12e6, peak  # a few blocks and the maps, not the 39 MB acquisition
