"""Simulated acquisitions: the phantom and its truth, the file format, the command line,
and (when pymust is installed) a tiny realistic acquisition."""
import importlib.util
import os
import sys

import numpy as np
import pytest

from sonaloc_ulm import simulate as sim


def small(**kw):
    return sim.simulate_phantom(frames=kw.pop("frames", 30), size=kw.pop("size", 48), bubbles=kw.pop("bubbles", 5.0),
                                branch_length_px=25.0, **kw)


def test_phantom_frames_match_their_truth_in_the_file_layout():
    acq = small(seed=3)
    nz, nx, nt = acq.frames.shape
    assert acq.axes == "zxt" and (nz, nx, nt) == (48, 48, 30) and acq.frames.dtype == np.float32
    assert acq.frames.flags.f_contiguous  # frame axis slowest: a frame is one contiguous stretch
    assert acq.pixel_size == (0.1, 0.1) and acq.origin == (0.0, 0.0) and acq.frame_rate == 1000.0
    t = acq.truth
    assert len(t["frame"]) > 20 and np.all(np.diff(t["frame"]) >= 0)
    assert {k: t[k].dtype for k in ("frame", "bubble", "x", "z")} == {
        "frame": np.int64, "bubble": np.int64, "x": np.float64, "z": np.float64}
    # every bubble sits on a bright pixel at (z, x) of its own frame; the background is the floor
    iz, ix = np.rint(t["z"] / 0.1).astype(int), np.rint(t["x"] / 0.1).astype(int)
    assert np.all(acq.frames[iz, ix, t["frame"]] > 0.2 + 0.3)
    assert abs(np.median(acq.frames) - 0.2) < 0.02
    # a bubble keeps its identity from frame to frame and moves by its speed
    b = t["bubble"] == t["bubble"][0]
    step = np.hypot(np.diff(t["x"][b]), np.diff(t["z"][b])) * acq.frame_rate
    np.testing.assert_allclose(step, t["speed"][b][:-1], rtol=0.25)


def test_phantom_is_seeded_and_three_d_is_zxyt():
    a, b = small(seed=5), small(seed=5)
    np.testing.assert_array_equal(a.frames, b.frames)
    for k in a.truth:
        np.testing.assert_array_equal(a.truth[k], b.truth[k])
    assert not np.array_equal(a.frames, small(seed=6).frames)
    assert not np.array_equal(a.frames, small(seed=5, block=1).frames)
    v = sim.simulate_phantom(three_d=True, frames=6, size=(24, 20, 16), bubbles=4.0, branch_length_px=15.0)
    assert v.axes == "zxyt" and v.frames.shape == (20, 24, 16, 6) and v.frames.flags.f_contiguous
    assert set(v.truth) >= {"frame", "x", "y", "z", "bubble", "speed"}
    if len(v.truth["frame"]):
        iz, ix, iy = (np.rint(v.truth[k] / 0.1).astype(int) for k in "zxy")
        assert np.all(v.frames[iz, ix, iy, v.truth["frame"]] > 0.5)


def test_phantom_refuses_bad_settings():
    for kw, words in (({"frames": 0}, "frames"), ({"size": 8}, "16 pixels"), ({"size": (32, 32, 32)}, "1 or 2"),
                      ({"snr": -1.0}, "snr"), ({"bubbles": -2.0}, "bubbles")):
        with pytest.raises(ValueError, match=words):
            sim.simulate_phantom(**kw)
    with pytest.raises(TypeError, match="unknown"):
        sim.simulate_phantom(frames=2, psf_width=3)


def test_file_round_trip_and_nothing_half_written(tmp_path):
    acq = small(frames=12)
    paths = sim.write_acquisition(tmp_path / "acq.npz", acq)
    assert paths == (str(tmp_path / "acq.npz"), str(tmp_path / "acq.truth.npz"))
    assert sorted(os.listdir(tmp_path)) == ["acq.npz", "acq.truth.npz"]  # no temporary left
    with np.load(paths[0]) as z:
        assert sorted(z.files) == ["dx", "dz", "frame_rate", "frames", "x0", "z0"]
        assert z["frames"].flags.f_contiguous and float(z["dx"]) == 0.1
    back = sim.read_acquisition(paths[0])
    np.testing.assert_array_equal(back.frames, acq.frames)
    assert (back.axes, back.pixel_size, back.origin, back.frame_rate) == ("zxt", (0.1, 0.1), (0.0, 0.0), 1000.0)
    for k in acq.truth:
        np.testing.assert_array_equal(back.truth[k], acq.truth[k])
    # refused before anything is written
    with pytest.raises(ValueError, match=".npz"):
        sim.write_acquisition(tmp_path / "acq.mat", acq)
    with pytest.raises(ValueError, match="does not exist"):
        sim.write_acquisition(tmp_path / "no" / "acq.npz", acq)
    with pytest.raises(ValueError, match="axes"):
        sim.write_acquisition(tmp_path / "other.npz", sim.Acquisition(acq.frames[..., 0], "zxt", (0.1, 0.1),
                                                                      (0.0, 0.0), 100.0, acq.truth))


def test_a_failure_while_writing_leaves_nothing(tmp_path, monkeypatch):
    acq = small(frames=4)
    sim.write_acquisition(tmp_path / "acq.npz", acq)
    before = {p: (tmp_path / p).read_bytes() for p in ("acq.npz", "acq.truth.npz")}
    calls = []
    real = np.savez

    def full_disk(f, **arrays):
        calls.append(sorted(arrays))
        if "frames" in arrays:
            raise OSError(28, "No space left on device")
        real(f, **arrays)

    monkeypatch.setattr(np, "savez", full_disk)
    with pytest.raises(OSError):
        sim.write_acquisition(tmp_path / "acq.npz", small(frames=4, seed=9))
    assert len(calls) == 2  # the truth was written, then the frames failed
    assert {p: (tmp_path / p).read_bytes() for p in os.listdir(tmp_path)} == before  # old files intact, no temporaries
    assert sim.truth_path("a/b.NPZ") == "a/b.truth.npz"


def test_command_line(tmp_path, capsys):
    out = tmp_path / "p.npz"
    assert sim.main(["--out", str(out), "--frames", "5", "--size", "32", "--seed", "2"]) == 0
    assert "wrote" in capsys.readouterr().out and out.exists() and (tmp_path / "p.truth.npz").exists()
    with np.load(out) as z:
        assert z["frames"].shape == (32, 32, 5)
    for argv, words in ((["--out", str(tmp_path / "q.txt")], ".npz"),
                        (["--out", str(tmp_path / "none" / "q.npz")], "folder"),
                        (["--out", str(tmp_path / "q.npz"), "--size", "4"], "16 pixels"),
                        (["--out", str(tmp_path / "q.npz"), "--bubbles", "many"], "number"),
                        (["--out", str(tmp_path / "q.npz"), "--realistic", "--3d"], "2D"),
                        (["--out", str(tmp_path / "q.npz"), "--realistic", "--grid", "fine"], "lambda/N")):
        assert sim.main(argv) == 2
        err = capsys.readouterr().err.strip().splitlines()
        assert len(err) == 1 and err[0].startswith("sonaloc-ulm simulate: error:") and words in err[0]
    assert not (tmp_path / "q.npz").exists() and not (tmp_path / "q.truth.npz").exists()


def test_grids_by_wavelength():
    assert sim.parse_grid("lambda/2") == (2, 2)
    assert sim.parse_grid("lambda/2 x lambda/4") == (2, 4)
    assert sim.parse_grid((2, 4)) == (2, 4) and sim.grid_name((2, 4)) == "lambda/2xlambda/4"
    for bad in ("lambda", "lambda/0", "2", "lambda/2xlambda/4xlambda/8"):
        with pytest.raises(ValueError):
            sim.parse_grid(bad)


def test_realistic_without_the_simulator_says_how_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "pymust", None)  # import pymust now fails
    with pytest.raises(sim.MissingSimulator, match=r"pip install 'sonaloc\[sim\]'"):
        sim.simulate_realistic(frames=1)


@pytest.mark.skipif(importlib.util.find_spec("pymust") is None, reason="pymust (extra 'sim') not installed")
@pytest.mark.skipif(os.environ.get("SONALOC_SANITIZED") == "1", reason="slow simulator; covered by the plain build")
def test_realistic_tiny_acquisition():
    acqs = sim.simulate_realistic_set(grids=("lambda/2", "lambda/2xlambda/4"), clutter=(False, True), frames=3,
                                      seed=2,
                                      bubbles=3.0, min_separation_mm=0.3, width_mm=3.0, depth_mm=(10.0, 13.0),
                                      tissue_density_per_mm2=3.0, tissue_keys=2, angles_deg=(-4.0, 4.0))
    assert set(acqs) == {("lambda/2", False), ("lambda/2", True), ("lambda/2xlambda/4", False),
                         ("lambda/2xlambda/4", True)}
    half, fine = acqs[("lambda/2", False)], acqs[("lambda/2xlambda/4", False)]
    lam = half.info["lambda_mm"]
    assert abs(lam - 1540 / 7.6e6 * 1e3) < 1e-9
    assert half.frames.shape == (30, 30, 3) and fine.frames.shape == (59, 30, 3)
    assert half.frames.dtype == np.complex64 and half.frames.flags.f_contiguous
    np.testing.assert_allclose(half.pixel_size, (lam / 2, lam / 2))
    np.testing.assert_allclose(fine.pixel_size, (lam / 4, lam / 2))
    # the PSF: about twice as wide laterally as axially in physical units, so round on lambda/2 x lambda/4
    fx, fz = half.info["psf"]["fwhm_px"]
    assert 1.6 < fx / fz < 2.5
    fx, fz = fine.info["psf"]["fwhm_px"]
    assert 0.8 < fx / fz < 1.25
    assert max(abs(o) for o in half.info["psf"]["centre_offset_mm"]) < 0.01  # no offset between truth and image
    # each bubble is at a local maximum of the envelope (within a pixel), well above the noise
    t = half.truth
    env = np.abs(half.frames)
    noise = np.median(env)
    for f, x, z in zip(t["frame"], t["x"], t["z"]):
        iz = int(round((z - half.origin[0]) / half.pixel_size[0]))
        ix = int(round((x - half.origin[1]) / half.pixel_size[1]))
        patch = env[max(iz - 1, 0):iz + 2, max(ix - 1, 0):ix + 2, f]
        assert patch.max() > 4 * noise
    assert len(t["frame"]) >= 3
    # the same bubbles and noise with tissue added: the tissue is bright, and its slow motion
    # spans as few dimensions over time as tissue positions were simulated (what an SVD filter removes)
    diff = (acqs[("lambda/2", True)].frames - half.frames).astype(np.complex128)
    assert np.sqrt(np.mean(np.abs(diff) ** 2)) > 5 * np.abs(half.frames).max()
    s = np.linalg.svd(diff.reshape(-1, 3, order="F"), compute_uv=False)
    assert s[1] > 1e-2 * s[0] and s[2] < 1e-4 * s[0]
