import numpy as np
import pytest

import sonaloc
from references import gaussian, peer_radial_symmetry_2d, peer_radial_symmetry_3d

rs2 = sonaloc.rs_radial_symmetry_2d
rs3 = sonaloc.rs_radial_symmetry_3d


def noisy_spots(ndim, count=100):
    """Off-centre spots of random width and height on weak noise, in windows
    of 5 to 11 (2D) or 5 to 9 (3D) pixels per side."""
    rng = np.random.default_rng(ndim)
    for _ in range(count):
        shape = tuple(int(n) for n in rng.integers(5, 12 if ndim == 2 else 10, ndim))
        centre = [rng.uniform(n / 2 - 1.5, n / 2 + 0.5) for n in shape]
        w = gaussian(shape, centre, rng.uniform(0.8, 1.8), rng.uniform(0.5, 5.0))
        yield w + rng.random(shape, dtype=np.float32) * np.float32(0.05)


class TestRadialSymmetry2D:
    def test_centred_spot_gives_zero_offset(self):
        r = rs2(gaussian((7, 7), (3, 3)))
        assert r == pytest.approx((0.0, 0.0), abs=1e-6)

    @pytest.mark.parametrize(
        "shape, centre, expected",
        [((7, 7), (3.3, 2.8), (0.301, -0.201)), ((5, 9), (2.3, 3.8), (0.322, -0.201))],
    )
    def test_shifted_spot(self, shape, centre, expected):
        assert rs2(gaussian(shape, centre)) == pytest.approx(expected, abs=0.002)

    def test_result_is_exact_float32(self):
        r = rs2(gaussian((7, 7), (3.3, 2.8)))
        assert all(np.float32(v) == v for v in r)

    @pytest.mark.parametrize("shape", [(3, 3), (1, 7), (7, 1), (0, 5), (5, 0), (0, 0)])
    def test_constant_thin_and_empty_windows_fail(self, shape):
        with pytest.raises(ValueError, match="^Radial symmetry localization failed$"):
            rs2(np.full(shape, 2.0, np.float32))

    def test_nan_window_gives_nan_pair(self):
        w = gaussian((7, 7), (3, 3))
        w[1, 1] = np.nan
        r = rs2(w)
        assert np.isnan(r[0]) and np.isnan(r[1])

    def test_row_gradient_uses_large_slope(self):
        # Intensity rising along axis 1 only: every gradient runs along a row
        # (s1 == s2), the slope guard takes over and the call does not fail.
        w = np.tile(np.arange(7, dtype=np.float32), (7, 1))
        r = rs2(w)
        assert np.all(np.isfinite(r))

    def test_strided_and_reversed_views_agree_with_copies(self):
        base = gaussian((7, 9), (3.4, 4.7))
        views = [base.T, base[::-1], base[:, ::-1], base[::-1, ::-1].T, np.asfortranarray(base)]
        for v in views:
            assert rs2(v) == rs2(np.ascontiguousarray(v))
        big = np.zeros((14, 18), np.float32)
        big[::2, ::2] = base
        assert rs2(big[::2, ::2]) == rs2(base)

    def test_unaligned_strides_are_read_correctly(self):
        base = gaussian((7, 7), (3.2, 2.9))
        rec = np.zeros((7, 7), dtype=[("pad", "u1"), ("v", "<f4")])  # packed: 5-byte records
        rec["v"] = base
        field = rec["v"]
        assert field.strides[1] == 5
        assert rs2(field) == rs2(base)

    def test_agrees_with_the_numpy_formulation(self):
        # The benchmarks' NumPy peer sums in other orders: equal up to rounding.
        for w in noisy_spots(2):
            assert rs2(w) == pytest.approx([float(v) for v in peer_radial_symmetry_2d(w)], abs=1e-5)

    def test_input_is_not_modified(self):
        w = gaussian((7, 7), (3.3, 2.8))
        before = w.copy()
        rs2(w)
        assert np.array_equal(w, before)


class TestRadialSymmetry3D:
    def test_centred_spot_in_index_coordinates(self):
        assert rs3(gaussian((7, 7, 7), (3, 3, 3), 1.2)) == pytest.approx((3, 3, 3), abs=1e-5)

    @pytest.mark.parametrize(
        "centre, expected",
        [
            ((3.3, 3, 3), (3.235, 2.986, 3.006)),
            ((3, 3, 3.3), (2.980, 3.086, 3.160)),
            ((3.3, 2.8, 3.1), (3.230, 2.835, 3.096)),
        ],
    )
    def test_shifted_spot(self, centre, expected):
        assert rs3(gaussian((7, 7, 7), centre, 1.2)) == pytest.approx(expected, abs=0.01)

    @pytest.mark.parametrize("shape", [(2, 7, 7), (7, 2, 7), (7, 7, 1), (0, 7, 7), (3, 3, 3)])
    def test_small_and_flat_windows_fail(self, shape):
        with pytest.raises(ValueError, match="^3D radial symmetry localization failed$"):
            rs3(np.ones(shape, np.float32))

    def test_variation_along_axis0_only_gives_strength_centroid(self):
        # All diagonal differences are equal, every direction vanishes and the
        # centroid of the gradient strength is returned.
        w = np.broadcast_to(np.array([0, 1, 3, 9, 3, 1, 0], np.float32)[:, None, None], (7, 7, 7))
        r = rs3(np.ascontiguousarray(w))
        assert r[1] == pytest.approx(3.0) and r[2] == pytest.approx(3.0)
        assert np.isfinite(r[0])

    def test_nan_window_gives_nan(self):
        w = gaussian((7, 7, 7), (3, 3, 3))
        w[2, 3, 4] = np.nan
        assert all(np.isnan(v) for v in rs3(w))

    def test_agrees_with_the_numpy_formulation(self):
        for w in noisy_spots(3):
            assert rs3(w) == pytest.approx(peer_radial_symmetry_3d(w), abs=1e-4)

    def test_views_agree_with_copies(self):
        base = gaussian((7, 8, 9), (3.3, 3.6, 4.1), 1.2)
        for v in (base.transpose(2, 0, 1), base[::-1, :, ::-1], base[:, ::-1]):
            assert rs3(v) == rs3(np.ascontiguousarray(v))
