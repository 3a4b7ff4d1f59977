"""Reading acquisitions in every format, axis views, and the pipeline on each of them."""
import os

import numpy as np
import pytest

from sonaloc_ulm import Config, UlmError, run
from sonaloc_ulm.io import axis_view, frame_blocks, open_source
from sonaloc_ulm.simulate import simulate_phantom, write_acquisition

h5py = pytest.importorskip("h5py")
scipy_io = pytest.importorskip("scipy.io")


@pytest.fixture(scope="module")
def acq():
    return simulate_phantom(frames=40, size=(48, 40), seed=2)


def _meta(acq):
    return {"dz": acq.pixel_size[0], "dx": acq.pixel_size[1], "z0": 0.0, "x0": 0.0, "frame_rate": acq.frame_rate}


def write_formats(acq, d):
    """The same frames (zxt) in every supported format; returns {name: path}."""
    frames = np.asarray(acq.frames, dtype=np.float32)
    meta = _meta(acq)
    paths = {}
    paths["npz"] = write_acquisition(os.path.join(d, "a.npz"), acq)[0]
    paths["npz_compressed"] = os.path.join(d, "c.npz")
    np.savez_compressed(paths["npz_compressed"], frames=frames, **meta)
    paths["npy"] = os.path.join(d, "a.npy")
    np.save(paths["npy"], frames)
    paths["mat5"] = os.path.join(d, "a5.mat")
    scipy_io.savemat(paths["mat5"], dict(frames=frames, **meta))
    paths["mat73"] = os.path.join(d, "a73.mat")
    with h5py.File(paths["mat73"], "w", userblock_size=512) as f:  # MATLAB: column-major, axes reversed
        f["frames"] = np.ascontiguousarray(frames.transpose(2, 1, 0))
        for k, v in meta.items():
            f[k] = np.array([[v]])
    return paths


def test_every_format_reads_the_same_frames(acq, tmp_path):
    paths = write_formats(acq, str(tmp_path))
    expected = np.transpose(np.asarray(acq.frames), (2, 1, 0))  # (t, x, z)
    for name, path in paths.items():
        cfg = Config(pixel_size=acq.pixel_size, frame_rate=acq.frame_rate) if name == "npy" else Config()
        src = open_source(path, cfg.check())
        assert src.shape == expected.shape, name
        assert src.pixel_size == (acq.pixel_size[1], acq.pixel_size[0]) and src.frame_rate == acq.frame_rate
        assert np.array_equal(src.read_block(7, 19), expected[7:19]), name
        if name in ("npz", "npy"):  # memory-mapped, never loaded whole
            assert isinstance(src._view.base, np.memmap) or isinstance(src._view, np.memmap), name
        src.close()


def test_pipeline_gives_the_same_results_on_every_format(acq, tmp_path):
    paths = write_formats(acq, str(tmp_path))
    locs = {}
    for name, path in paths.items():
        cfg = Config(progress=False, pictures=False)
        if name == "npy":
            cfg = cfg.replace(pixel_size=acq.pixel_size, frame_rate=acq.frame_rate)
        out = tmp_path / f"out_{name}"
        run(path, cfg, out)
        with np.load(out / "localizations.npz") as z:
            locs[name] = {k: z[k] for k in z.files}
    ref = locs.pop("npz")
    assert len(ref["x"]) > 100
    for name, loc in locs.items():
        for k in ref:
            assert np.array_equal(loc[k], ref[k]), (name, k)


def test_axis_orders_are_views_and_map_to_the_module_order(acq, tmp_path):
    frames = np.asarray(acq.frames)  # zxt
    txz = np.ascontiguousarray(frames.transpose(2, 1, 0))
    xtz = np.ascontiguousarray(frames.transpose(1, 2, 0))
    for axes, arr in (("txz", txz), ("xtz", xtz), ("zxt", frames)):
        v = axis_view(arr, axes)
        assert np.shares_memory(v, arr) and np.array_equal(v, txz)
    path = str(tmp_path / "txz.npz")
    np.savez(path, frames=txz, **_meta(acq))
    src = open_source(path, Config(axes="txz"))
    assert np.array_equal(src.read_block(0, 40), txz)
    vol = np.zeros((5, 6, 7, 3), np.float32)  # z x y t
    assert axis_view(vol, "zxyt").shape == (3, 6, 7, 5)


def test_metadata_and_selection(acq, tmp_path):
    frames = np.asarray(acq.frames, np.float32)
    path = str(tmp_path / "two.npz")
    np.savez(path, iq=frames, bmode=frames, dz=0.05, dx=0.1, x0=-2.0, frame_rate=500.0)
    with pytest.raises(UlmError, match="several stacks"):
        open_source(path, Config())
    src = open_source(path, Config(dataset="bmode"))
    assert src.pixel_size == (0.1, 0.05) and src.origin == (-2.0, 0.0) and src.frame_rate == 500.0
    src = open_source(path, Config(dataset="iq", pixel_size=(0.2, 0.3), origin=(1.0, 2.0), frame_rate=9.0))
    assert src.pixel_size == (0.3, 0.2) and src.origin == (2.0, 1.0) and src.frame_rate == 9.0


def test_complex_iq_in_hdf5(tmp_path):
    rng = np.random.default_rng(0)
    iq = (rng.standard_normal((20, 16, 6)) + 1j * rng.standard_normal((20, 16, 6))).astype(np.complex64)
    path = str(tmp_path / "iq.mat")
    with h5py.File(path, "w") as f:
        comp = np.empty(iq.T.shape, dtype=[("real", "<f4"), ("imag", "<f4")])
        comp["real"], comp["imag"] = iq.T.real, iq.T.imag
        f["IQ"] = comp
        f["frame_rate"] = np.array([[100.0]])
    src = open_source(path, Config(pixel_size=(0.1, 0.2)))
    assert src.is_complex and src.shape == (6, 16, 20)
    assert np.array_equal(src.read_block(2, 5), np.transpose(iq, (2, 1, 0))[2:5])
    src.close()


def test_blocks_cover_the_frames():
    assert frame_blocks(10, 4) == [(0, 4), (4, 8), (8, 10)]
    assert frame_blocks(3, 8) == [(0, 3)]
