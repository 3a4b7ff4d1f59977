"""The host stages of sonaloc_ulm one by one, on small synthetic frames."""
import numpy as np
import pytest

from sonaloc_ulm import Config, UlmError, config_from
from sonaloc_ulm.clutter import ClutterFilter, clutter_subspace, envelope, svd_filter
from sonaloc_ulm.floor import estimate_floor, subtract_floor
from sonaloc_ulm.localize import detect_frames, unrefined_count
from sonaloc_ulm.psf import choose, measure_psf, resample, resampled_pixel_size, resampled_shape
from sonaloc_ulm.quality import frc, match, saturation
from sonaloc_ulm.tracks import filter_length, gate, link, speeds, track_frames


def spots(shape=(64, 48), frames=12, sigma=(1.0, 1.0), per_frame=6, amp=20.0, seed=0, noise_by_depth=None):
    """(frames, x, z) envelopes: Gaussian spots of ``amp`` noise sigmas on Rayleigh noise; and the truth."""
    rng = np.random.default_rng(seed)
    nx, nz = shape
    noise = np.abs(rng.standard_normal((frames,) + shape) + 1j * rng.standard_normal((frames,) + shape))
    scale = 1.0 if noise_by_depth is None else noise_by_depth[None, None, :]
    out = (noise * scale).astype(np.float32)
    xs, zs = np.arange(nx)[:, None], np.arange(nz)[None, :]
    truth = []
    for t in range(frames):
        for _ in range(per_frame):
            x0, z0 = rng.uniform(8, nx - 9), rng.uniform(8, nz - 9)
            if any(tt == t and np.hypot(x0 - a, z0 - b) < 8 for tt, a, b in truth):
                continue
            g = amp * 0.65 * np.exp(-0.5 * (((xs - x0) / sigma[0]) ** 2 + ((zs - z0) / sigma[1]) ** 2))
            out[t] += (g * (scale if np.isscalar(scale) else noise_by_depth[None, :])).astype(np.float32)
            truth.append((t, x0, z0))
    return out, np.array(truth)


class TestFloor:
    def test_median_and_sigma_follow_the_noise_per_depth(self):
        depth = np.linspace(1.0, 3.0, 48)
        env, _ = spots(noise_by_depth=depth)
        f = estimate_floor(env, k=3.0, mode="depth", samples=20000)
        assert f.median.shape == (48,)
        # Rayleigh noise of scale s: median 1.1774 s * sqrt(2) for |a + ib| with unit normals
        ratio = f.median / depth
        assert np.allclose(ratio, np.median(ratio), rtol=0.15)
        assert np.all(np.diff(f.sigma[::8]) > 0)
        g = estimate_floor(env, mode="global")
        assert g.median.shape == (1,)

    def test_subtraction_clears_noise_and_keeps_spots(self):
        env, truth = spots()
        f = estimate_floor(env)
        clean = subtract_floor(env.copy(), f)
        assert clean.dtype == np.float32 and clean.min() == 0.0
        assert np.mean(clean > 0) < 0.03  # noise gone (spots and the Rayleigh tail remain)
        t, x, z = truth[0]
        assert clean[int(t), int(round(x)), int(round(z))] > 5  # spot kept, in noise sigmas
        # in place and into a new array give the same
        again = subtract_floor(env, f, out=None)
        assert np.array_equal(again, clean)

    def test_nan_pixels_become_zero_and_bad_blocks_raise(self):
        env, _ = spots()
        env[0, 5, 5] = np.nan
        f = estimate_floor(env)
        assert subtract_floor(env.copy(), f)[0, 5, 5] == 0.0
        with pytest.raises(UlmError, match="NaN"):
            estimate_floor(np.full((4, 16, 16), np.nan, np.float32))
        with pytest.raises(UlmError, match="constant"):
            estimate_floor(np.full((4, 16, 16), 2.5, np.float32))

    def test_zero_padded_rows_detect_nothing(self):
        env, _ = spots()
        env[:, :, :4] = 0.0
        clean = subtract_floor(env.copy(), estimate_floor(env))
        assert not clean[:, :, :4].any()


class TestPsfAndChoices:
    def test_measured_width_per_axis(self):
        env, _ = spots(shape=(80, 64), sigma=(2.4, 1.2), amp=40.0, frames=8)
        f = estimate_floor(env)
        clean = subtract_floor(env.copy(), f)
        sig, n = measure_psf(clean, threshold=4.0, offset=f.k)
        assert n >= 10
        assert sig[0] == pytest.approx(2.4, rel=0.12) and sig[1] == pytest.approx(1.2, rel=0.12)
        assert measure_psf(np.zeros((3, 32, 32), np.float32), 4.0) == (None, 0)

    def test_choices(self):
        c = choose((4.0, 1.9))  # beamformed lambda/2 grid: resample the axial axis, by a whole factor
        assert c.factors == (1.0, 2.0)
        assert choose((1.55, 1.0)).factors[0] == 1.0 and choose((1.55, 1.0)).factors[1] == pytest.approx(1.55)
        assert c.method == "radial_symmetry" and c.window == 11 and not c.warnings
        assert choose((1.6, 0.76)).window == 7 and choose((2.6, 2.6)).window == 9
        r = choose((1.0, 1.1))
        assert r.factors == (1.0, 1.0) and r.method == "gaussian_fitting" and r.window == 7
        assert choose((1.6, 1.5)).method == "gaussian_fitting" and choose((2.4, 2.3)).method == "radial_symmetry"
        n = choose((0.5, 0.55))  # undersampled: brought to 1 pixel or more
        assert min(s for s in n.sigma_resampled_px) >= 0.99 and n.method == "gaussian_fitting"
        off = choose((4.0, 1.9), resample=False)
        assert off.factors == (1.0, 1.0) and "anisotropic" in off.warnings[0]
        capped = choose((8.0, 1.0), max_resample=4.0)
        assert capped.factors[1] == 4.0 and "limited" in capped.warnings[0]
        fixed = choose((4.0, 1.9), method="gaussian_fitting", window=9)
        assert (fixed.method, fixed.window) == ("gaussian_fitting", 9)
        assert choose((3.0, 3.0, 3.0)).window % 2 == 1

    def test_resample_keeps_the_ends_and_linear_ramps(self):
        ramp = np.broadcast_to(np.arange(20, dtype=np.float32)[None, None, :], (2, 5, 20)).copy()
        out = resample(ramp, (1.0, 2.0))
        assert out.shape == (2, 5, resampled_shape((5, 20), (1.0, 2.0))[1]) == (2, 5, 39)
        assert out[0, 0, 0] == 0 and out[0, 0, -1] == 19
        assert np.allclose(out[0, 0], np.linspace(0, 19, 39), atol=1e-5)
        assert resampled_pixel_size((5, 20), (0.2, 0.1), (1.0, 2.0)) == (0.2, pytest.approx(0.05))
        assert resample(ramp, (1.0, 1.0)) is ramp

    def test_resampling_makes_radial_symmetry_unbiased_on_anisotropic_spots(self):
        env, truth = spots(shape=(96, 64), sigma=(3.0, 1.5), amp=60.0, frames=6, per_frame=4, seed=3)
        errs = {}
        for name, factors in (("raw", (1.0, 1.0)), ("round", (1.0, 2.0))):
            r = resample(env, factors)
            clean = subtract_floor(r.copy(), estimate_floor(r))
            found = detect_frames(clean, 4.0, 4.0, "radial_symmetry", 9)
            px = resampled_pixel_size((96, 64), (1.0, 1.0), factors)
            e = []
            for t, x, z in truth:
                pos = found[int(t)][0] * np.array(px)
                d = np.hypot(pos[:, 0] - x, pos[:, 1] - z)
                if len(d) and d.min() < 1.5:
                    e.append(d.min())
            errs[name] = np.sqrt(np.mean(np.square(e)))
        assert errs["round"] < errs["raw"]


def test_svd_filter_removes_the_strong_component():
    rng = np.random.default_rng(1)
    frames, px = 40, 300
    tissue = np.outer(1 + 0.01 * np.arange(frames), 50 * rng.standard_normal(px)).astype(np.complex64)
    bubble = np.zeros((frames, px), np.complex64)
    bubble[np.arange(frames), rng.integers(0, px, frames)] = 5.0
    out = svd_filter((tissue + bubble).reshape(frames, 15, 20), 1).reshape(frames, px)
    assert np.abs(out - bubble).max() < 1.0
    assert svd_filter(bubble, 0) is bubble
    with pytest.raises(UlmError, match="svd_cutoff"):
        svd_filter(bubble, frames)
    assert envelope(np.array([3 + 4j], np.complex64))[0] == 5.0


def test_long_blocks_find_the_same_clutter_subspace_as_the_exact_decomposition():
    rng = np.random.default_rng(2)
    frames, px = 160, 500  # long enough for the subspace iteration
    t = np.arange(frames)[:, None]
    tissue = sum(np.exp(0.02j * k * t) * (30 / (k + 1)) * rng.standard_normal((1, px)) for k in range(2))
    a = (tissue + rng.standard_normal((frames, px)) + 1j * rng.standard_normal((frames, px))).astype(np.complex64)
    u = clutter_subspace(a, 2)
    gram = (a @ a.conj().T).astype(np.complex128)
    exact = np.linalg.eigh(gram)[1][:, -2:]
    assert np.linalg.norm(u @ u.conj().T - exact @ exact.conj().T) < 1e-3
    assert np.array_equal(clutter_subspace(a, 2), u)  # fixed start: the same every time


def test_clutter_filter_by_runs_of_frames_matches_the_whole_block_and_the_exact_projection():
    rng = np.random.default_rng(3)
    frames, nx, nz = 120, 40, 60  # more pixels than the subspace sample: sampled lines, Ritz on all
    t = np.arange(frames)[:, None]
    tissue = sum(np.exp(0.03j * (k + 1) * t) * (40 / (k + 1)) * rng.standard_normal((1, nx * nz))
                 for k in range(3))
    noise = rng.standard_normal((frames, nx * nz)) + 1j * rng.standard_normal((frames, nx * nz))
    block = (tissue + noise).astype(np.complex64).reshape(frames, nx, nz)
    before = block.copy()
    f = ClutterFilter(block, 3)
    whole = svd_filter(block, 3)
    runs = np.concatenate([f[c:c + 17] for c in range(0, frames, 17)])
    # the same frames (to the rounding of the BLAS kernels for other row counts)
    assert np.allclose(runs, whole, atol=1e-4) and np.allclose(f[[5, 70]], whole[[5, 70]], atol=1e-4)
    assert np.array_equal(f[0:17], runs[:17])  # and the same bits for the same runs
    assert np.array_equal(block, before)  # only read
    a = block.reshape(frames, -1).astype(np.complex128)
    u = np.linalg.svd(a, full_matrices=False)[0][:, :3]
    exact = a - u @ (u.conj().T @ a)
    # off the exact projection by far less than the noise (rms sqrt(2))
    assert np.sqrt(np.mean(np.abs(whole.reshape(frames, -1) - exact) ** 2)) < 0.1


class TestTracks:
    def test_frames_recovered_also_for_identical_points(self):
        # a bubble at rest at a pixel centre: the same bytes in frames 0..4; another one moving
        rest = np.array([[1.0, 2.0, 7.0]], np.float32)
        points = []
        for t in range(5):
            moving = np.array([[5.0 + 0.01 * t, 3.0, 9.0]], np.float32)
            points.append(np.concatenate([moving, rest]) if t != 2 else rest.copy())
        points.append(rest.copy())
        matrix, ends = link(points, 0.05, 1, 2.0)
        rec = track_frames(matrix, ends, points, 1)
        assert rec.ambiguous == 6 and rec.unresolved == 0
        got = {tuple(r): [] for r in matrix.tolist()}
        starts = np.concatenate([[0], ends[:-1]])
        for s, e in zip(starts, ends):
            fr = rec.frame[s:e]
            assert np.all(np.diff(fr) >= 1) and np.all(np.diff(fr) <= 2)
            got_rows = matrix[s:e]
            for f, row in zip(fr, got_rows):
                assert any(np.array_equal(row, p) for p in points[f])
        del got
        assert sorted(rec.frame[rec.frame >= 0].tolist()).count(2) == 1  # frame 2 holds only the resting one

    def test_speeds_directions_and_length_filter(self):
        rate = 500.0
        pts = [np.array([[0.1 * t, 1.0, 5.0], [3.0, 0.05 * t, 5.0]], np.float32) for t in range(6)]
        pts.append(np.zeros((0, 3), np.float32))
        pts.append(np.array([[9.0, 9.0, 1.0]], np.float32))
        pts.append(np.array([[9.0, 9.01, 1.0]], np.float32))  # a track of 2 points
        g = gate(60.0, rate, 1)
        assert g == pytest.approx(0.24)
        matrix, ends = link(pts, g, 1, 2.0)
        rec = track_frames(matrix, ends, pts, 1)
        m, e, fr = filter_length(matrix, ends, rec.frame, 3)
        assert len(e) == 2 and len(m) == 12
        sp, dr = speeds(m, e, fr, rate, 2)
        first = m[:, 1] == 1.0
        assert np.allclose(sp[first], 50.0, rtol=1e-4) and np.allclose(sp[~first], 25.0, rtol=1e-4)
        assert np.allclose(dr[first], [1, 0], atol=1e-5) and np.allclose(dr[~first], [0, 1], atol=1e-5)


def test_detection_counts_unrefined_peaks():
    env, _ = spots(frames=2)
    clean = subtract_floor(env.copy(), estimate_floor(env))
    found = detect_frames(clean, 4.0, 3.0, "radial_symmetry", 7)
    assert all(p.dtype == np.float32 for p, _ in found)
    assert unrefined_count(np.array([[3.0, 4.0], [3.5, 4.0]], np.float32)) == 1


class TestQuality:
    def test_frc(self):
        rng = np.random.default_rng(0)
        a = rng.random((64, 64))
        assert frc(a, a, 0.01)["resolution_mm"] is None  # identical halves never decorrelate
        img = np.zeros((64, 64))
        img[tuple(rng.integers(0, 64, (2, 80)))] = 1.0
        k = np.exp(-0.5 * (np.arange(-6, 7) / 1.5) ** 2)
        smooth = np.apply_along_axis(np.convolve, 0, np.apply_along_axis(np.convolve, 1, img, k, "same"), k, "same")
        res = []
        for noise in (0.05, 0.5):
            r = frc(smooth + noise * rng.random((64, 64)), smooth + noise * rng.random((64, 64)), 0.01)
            res.append(r["resolution_mm"])
            assert len(r["curve"]) == len(r["frequency"]) == 32
        assert 0.01 < res[0] < res[1] < 0.3  # more noise, coarser resolution
        assert frc(np.zeros((8, 8)), a[:8, :8], 0.01)["resolution_mm"] is None

    def test_truth_matching(self):
        truth = {"frame": np.array([0, 0, 1, 2]), "x": np.array([1.0, 2.0, 1.0, 5.0]),
                 "z": np.array([1.0, 1.0, 1.0, 5.0])}
        det = {"frame": np.array([0, 0, 1, 1]), "x": np.array([1.03, 2.0, 1.0, 3.0]),
               "z": np.array([1.04, 1.0, 1.0, 3.0])}
        q = match(det, truth, 0.1, "xz")
        assert q["matched"] == 3 and q["precision"] == 0.75 and q["recall"] == 0.75
        assert q["jaccard"] == pytest.approx(3 / 5)
        assert q["rmse_mm"] == pytest.approx(np.sqrt(0.05 ** 2 / 3))
        # a detection in another frame never matches
        assert match({k: v[2:3] for k, v in det.items()}, {k: v[3:] for k, v in truth.items()},
                     10.0, "xz")["matched"] == 0

    def test_saturation_grows(self):
        m = np.array([[0.1, 0.1, 1], [0.5, 0.1, 1], [0.1, 0.5, 1], [0.5, 0.5, 1]], np.float32)
        s = saturation(m, np.array([2, 4]), np.array([3, 9]), 10, (0.0, 1.0, 0.0, 1.0), 0.05, points=5)
        assert s["frames"] == [2, 4, 6, 8, 10]
        assert s["filled_fraction"][0] == 0 and 0 < s["filled_fraction"][1] < s["filled_fraction"][-1]


def test_config_checks(tmp_path):
    with pytest.raises(UlmError, match="axes"):
        Config(axes="zxq").check()
    with pytest.raises(UlmError, match="pixel_size needs 2"):
        Config(axes="zxt", pixel_size=(0.1, 0.1, 0.1)).check()
    with pytest.raises(UlmError, match="pixel_size needs one value per spatial axis"):
        Config(pixel_size=(0.1,)).check()
    with pytest.raises(UlmError, match="odd"):
        Config(window=8).check()
    toml = tmp_path / "c.toml"
    toml.write_text('[run]\nfloor_k = 2.5\npixel_size = [0.05, 0.1]\n')
    cfg = config_from(str(toml), svd_cutoff=3)
    assert cfg.floor_k == 2.5 and cfg.pixel_size == (0.05, 0.1) and cfg.svd_cutoff == 3
    toml.write_text("flor_k = 2\n")
    with pytest.raises(UlmError, match="unknown setting"):
        config_from(str(toml))
    toml.write_text("floor_k = [\n")
    with pytest.raises(UlmError, match="TOML"):
        config_from(str(toml))
    toml.write_text('max_speed = "fast"\n')
    with pytest.raises(UlmError):
        config_from(str(toml))
