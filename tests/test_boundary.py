"""The module as the interpreter sees it: signatures, binding and conversion
errors, array exchange and the exception boundary."""
import ctypes
import gc
import inspect
import sys

import numpy as np
import pytest

import sonaloc

SIGNATURES = {
    "rs_detect_peaks": "array, extent, threshold, min_distance, localization_method, "
    "localization_window_size, max_num_peaks",
    "rs_detect_peaks3d": "array, extent, threshold, min_distance, localization_window_size, "
    "localization_method, correlation_sigmas, correlation_threshold, max_num_peaks",
    "rs_draw_tracks": "matrix_x_y_intensity, track_end_indices, extent, pixel_size",
    "rs_draw_tracks_3d": "matrix_x_y_z_intensity, track_end_indices, extent, pixel_size",
    "rs_draw_tracks_value": "matrix_x_y_intensity_value, track_end_indices, extent, pixel_size",
    "rs_draw_tracks_value_3d": "matrix_x_y_z_intensity_value, track_end_indices, extent, pixel_size",
    "rs_radial_symmetry_2d": "array",
    "rs_radial_symmetry_3d": "array",
    "rs_link_points": "points_list, max_distance, max_skip, max_intensity_ratio",
    "rs_link_points_3d": "points_list, max_distance, max_skip",
}

IMG = np.zeros((5, 5), np.float32)
EXTENT = (0.0, 4.0, 0.0, 4.0)


def detect(*args, **kwargs):
    return sonaloc.rs_detect_peaks(*args, **kwargs)


def message(excinfo):
    return str(excinfo.value)


class TestModule:
    def test_exactly_the_ten_functions_in_order(self):
        public = [n for n in vars(sonaloc) if not n.startswith("__")]
        assert public == list(SIGNATURES)
        assert sonaloc.__doc__ == ""

    @pytest.mark.parametrize("name", SIGNATURES)
    def test_text_signature(self, name):
        f = getattr(sonaloc, name)
        assert f.__doc__ is None or f.__doc__ == ""
        assert f.__text_signature__ == f"({SIGNATURES[name]})"
        params = inspect.signature(f).parameters.values()
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in params)

    def test_second_initialisation_raises_import_error(self):
        lib = ctypes.PyDLL(sonaloc.__file__)
        init = lib.PyInit_sonaloc
        init.restype = ctypes.py_object
        with pytest.raises(ImportError):
            init()

    def test_functions_pickle_by_reference(self):
        # What lets a host ship them to worker processes (dask, multiprocessing).
        import pickle

        for name in SIGNATURES:
            f = getattr(sonaloc, name)
            assert pickle.loads(pickle.dumps(f)) is f


class TestBinding:
    def test_too_many_positional(self):
        with pytest.raises(TypeError) as e:
            sonaloc.rs_radial_symmetry_2d(IMG, 1)
        assert message(e) == "rs_radial_symmetry_2d() takes 1 positional arguments but 2 were given"
        with pytest.raises(TypeError) as e:
            sonaloc.rs_link_points_3d([], 1, 0, 4, 5)
        assert message(e) == "rs_link_points_3d() takes 3 positional arguments but 5 were given"

    def test_unexpected_keyword(self):
        with pytest.raises(TypeError) as e:
            sonaloc.rs_radial_symmetry_2d(IMG, window=3)
        assert message(e) == "rs_radial_symmetry_2d() got an unexpected keyword argument 'window'"

    def test_multiple_values(self):
        with pytest.raises(TypeError) as e:
            sonaloc.rs_radial_symmetry_2d(IMG, array=IMG)
        assert message(e) == "rs_radial_symmetry_2d() got multiple values for argument 'array'"

    @pytest.mark.parametrize(
        "args, missing",
        [
            ((IMG, EXTENT, 0.5, 1.0, None, None), "1 required positional argument: 'max_num_peaks'"),
            ((IMG, EXTENT, 0.5, 1.0, None), "2 required positional arguments: "
             "'localization_window_size' and 'max_num_peaks'"),
            ((IMG, EXTENT, 0.5, 1.0), "3 required positional arguments: "
             "'localization_method', 'localization_window_size', and 'max_num_peaks'"),
            ((), "7 required positional arguments: 'array', 'extent', 'threshold', 'min_distance', "
             "'localization_method', 'localization_window_size', and 'max_num_peaks'"),
        ],
    )
    def test_missing_arguments(self, args, missing):
        with pytest.raises(TypeError) as e:
            detect(*args)
        assert message(e) == f"rs_detect_peaks() missing {missing}"

    def test_keywords_fill_by_name_in_any_order(self):
        a = detect(max_num_peaks=None, localization_window_size=None, localization_method=None,
                   min_distance=1.0, threshold=0.5, extent=EXTENT, array=IMG)
        b = detect(IMG, EXTENT, 0.5, 1.0, None, None, None)
        assert [x.tolist() for x in a] == [x.tolist() for x in b]

    def test_missing_reported_after_keywords_are_placed(self):
        with pytest.raises(TypeError) as e:
            detect(IMG, EXTENT, threshold=0.5, max_num_peaks=None)
        assert "missing 3 required positional arguments: 'min_distance', " in message(e)


class TestConversion:
    @pytest.mark.parametrize(
        "array",
        [IMG.astype(np.float64), np.zeros((3, 3, 3), np.float32), np.zeros(3, np.float32),
         IMG.astype(">f4"), IMG.astype(np.int32), [[0.0]]],
    )
    def test_wrong_arrays(self, array):
        with pytest.raises(TypeError) as e:
            detect(array, EXTENT, 0.5, 1.0, None, None, None)
        tname = type(array).__qualname__
        assert message(e) == f"argument 'array': '{tname}' object cannot be converted to 'PyArray<T, D>'"

    def test_tuple_kind_refuses_list(self):
        with pytest.raises(TypeError) as e:
            detect(IMG, list(EXTENT), 0.5, 1.0, None, None, None)
        assert message(e) == "argument 'extent': 'list' object cannot be converted to 'PyTuple'"

    def test_tuple_subclass_accepted(self):
        from collections import namedtuple

        E = namedtuple("E", "a b c d")
        detect(IMG, E(*EXTENT), 0.5, 1.0, None, None, None)

    def test_text_kind(self):
        with pytest.raises(TypeError) as e:
            detect(IMG, EXTENT, 0.5, 1.0, b"radial_symmetry", None, None)
        assert message(e) == "argument 'localization_method': 'bytes' object cannot be converted to 'PyString'"

    def test_sequence_kind(self):
        with pytest.raises(TypeError) as e:
            sonaloc.rs_link_points("abc", 1.0, 0, 2.0)
        assert message(e) == "argument 'points_list': Can't extract `str` to `Vec`"
        with pytest.raises(TypeError) as e:
            sonaloc.rs_link_points(5, 1.0, 0, 2.0)
        assert message(e) == "argument 'points_list': 'int' object cannot be converted to 'Sequence'"
        with pytest.raises(TypeError) as e:
            sonaloc.rs_link_points([np.zeros((2, 3), np.float64)], 1.0, 0, 2.0)
        assert message(e) == "argument 'points_list': 'ndarray' object cannot be converted to 'PyArray<T, D>'"
        # Tuples and other sequences are fine.
        sonaloc.rs_link_points((np.zeros((0, 3), np.float32),), 1.0, 0, 2.0)

    def test_reals(self):
        class F:
            def __float__(self):
                return 0.5

        class I:
            def __index__(self):
                return 1

        detect(IMG, EXTENT, F(), I(), None, None, None)
        with pytest.raises(TypeError) as e:
            detect(IMG, EXTENT, "0.5", 1.0, None, None, None)
        assert message(e).startswith("argument 'threshold': ")
        # 1e300 narrows to inf like any double-to-float conversion.
        detect(IMG, EXTENT, 1e300, 1.0, None, None, None)

    def test_counts(self):
        with pytest.raises(OverflowError) as e:
            detect(IMG, EXTENT, 0.5, 1.0, None, None, -1)
        assert not message(e).startswith("argument")
        with pytest.raises(OverflowError):
            detect(IMG, EXTENT, 0.5, 1.0, None, None, 2**64)
        detect(IMG, EXTENT, 0.5, 1.0, None, None, 2**64 - 1)
        with pytest.raises(TypeError) as e:
            detect(IMG, EXTENT, 0.5, 1.0, None, None, 1.0)
        assert message(e).startswith("argument 'max_num_peaks': ")
        with pytest.raises(ValueError, match="odd integer"):  # True is a count of 1
            detect(IMG, EXTENT, 0.5, 1.0, "radial_symmetry", True, None)

    def test_prefixed_error_takes_over_the_cause_only(self):
        cause = KeyError("inner")

        class Bad:
            def __index__(self):
                raise TypeError("no index here") from cause

        with pytest.raises(TypeError) as e:
            detect(IMG, EXTENT, 0.5, 1.0, None, None, Bad())
        assert message(e) == "argument 'max_num_peaks': no index here"
        assert e.value.__cause__ is cause

    def test_other_exceptions_pass_unchanged(self):
        class Boom:
            def __float__(self):
                raise ZeroDivisionError("boom")

        with pytest.raises(ZeroDivisionError, match="^boom$"):
            detect(IMG, EXTENT, Boom(), 1.0, None, None, None)

    def test_tuple_items(self):
        with pytest.raises(IndexError):
            detect(IMG, (0.0, 1.0, 2.0), 0.5, 1.0, None, None, None)
        with pytest.raises(TypeError) as e:
            detect(IMG, (0.0, "1", 2.0, 3.0), 0.5, 1.0, None, None, None)
        assert not message(e).startswith("argument")
        detect(IMG, EXTENT + (9.0,), 0.5, 1.0, None, None, None)


class TestArrays:
    def test_outputs_own_their_buffers(self):
        img = np.zeros((9, 9), np.float32)
        img[4, 4] = 1.0
        pos, inten = detect(img, (0.0, 8.0, 0.0, 8.0), 0.5, 1.0, None, None, None)
        del img
        gc.collect()
        for a in (pos, inten):
            assert a.dtype == np.float32
            assert a.flags.c_contiguous and a.flags.writeable
            assert a.base is not None and not isinstance(a.base, np.ndarray)
        assert pos.tolist() == [[4.0, 4.0]] and inten.tolist() == [1.0]
        view = pos[0]
        del pos
        gc.collect()
        assert view.tolist() == [4.0, 4.0]

    def test_empty_outputs_keep_their_shape(self):
        pos, inten = detect(np.zeros((2, 2), np.float32), EXTENT, 0.5, 1.0, None, None, None)
        assert pos.shape == (0, 2) and inten.shape == (0,)
        assert pos.dtype == inten.dtype == np.float32

    def test_zero_size_outputs_are_owned_like_the_others(self):
        f = np.float32
        empty_frames = [np.zeros((0, 3), f), np.zeros((0, 3), f)]
        outputs = [
            *detect(np.zeros((9, 9), f), EXTENT, 0.5, 1.0, "radial_symmetry", 3, None),
            *sonaloc.rs_detect_peaks3d(np.zeros((4, 4, 4), f), (0.0, 1.0) * 3, 0.5, 1.0, None, None,
                                       (1.0, 1.0, 1.0), None, None)[:2],
            *sonaloc.rs_link_points(empty_frames, 1.0, 1, 2.0),
            *sonaloc.rs_link_points_3d([np.zeros((0, 4), f)] * 2, 1.0, 1),
            *sonaloc.rs_draw_tracks(np.zeros((0, 3), f), np.zeros(0, np.int32), (0.0, 0.0, 0.0, 4.0), 1.0)[:2],
            *sonaloc.rs_draw_tracks_value_3d(np.zeros((0, 5), f), np.zeros(0, np.int32), (0.0, 4.0, 0.0, 4.0,
                                             0.0, 0.0), 1.0)[:3],
        ]
        assert min(a.size for a in outputs) == 0
        for a in outputs:
            assert a.size == 0 or a.shape[0] > 0
            assert type(a.base).__name__ == "PyCapsule" and not a.flags.owndata
            assert a.flags.c_contiguous and a.flags.writeable
        assert [a.shape for a in outputs[:2]] == [(0, 2), (0,)]

    def test_inputs_are_never_written(self):
        img = np.random.default_rng(0).random((32, 32), dtype=np.float32)
        img.flags.writeable = False
        detect(img, EXTENT, 0.5, 1.0, "gaussian_fitting", 5, None)


class TestMessages:
    """Messages that quote caller text keep all of it, embedded NULs included."""

    def test_method_names(self):
        img = np.zeros((9, 9), np.float32)
        tail = "'. Choose 'radial_symmetry' or 'gaussian_fitting'."
        for name in ("gaussian_fitting\x00x", "\x00", "a\x00\x00b\u00e9"):
            with pytest.raises(ValueError) as e:
                detect(img, (0.0, 1.0, 0.0, 1.0), 0.0, 0.0, name, 7, None)
            assert message(e) == "Unknown localization method '" + name + tail
            with pytest.raises(ValueError) as e:
                sonaloc.rs_detect_peaks3d(np.ones((5, 5, 5), np.float32), (0.0, 1.0) * 3, 0.5, 0.0, 3, name,
                                          None, None, None)
            assert message(e) == "Unknown localization method '" + name + tail

    def test_type_names(self):
        odd = type("Odd", (), {})
        odd.__qualname__ = "Odd\x00Name"
        with pytest.raises(TypeError) as e:
            detect(odd(), EXTENT, 0.5, 1.0, None, None, None)
        assert message(e) == "argument 'array': 'Odd\x00Name' object cannot be converted to 'PyArray<T, D>'"
        with pytest.raises(TypeError) as e:
            sonaloc.rs_link_points([odd()], 1.0, 0, 2.0)
        assert message(e) == "argument 'points_list': 'Odd\x00Name' object cannot be converted to 'PyArray<T, D>'"


class TestPanic:
    def test_internal_fault_is_a_base_exception(self):
        with pytest.raises(BaseException) as e:
            sonaloc.rs_link_points([np.zeros((1, 2), np.float32)], 1.0, 0, 2.0)
        t = type(e.value)
        assert t.__name__ == "PanicException"
        assert t.__bases__ == (BaseException,)
        assert not isinstance(e.value, Exception)
        assert "index out of bounds" in str(e.value)

    def test_type_is_created_once(self):
        types = set()
        for _ in range(3):
            try:
                sonaloc.rs_link_points([np.zeros((1, 2), np.float32)], 1.0, 0, 2.0)
            except BaseException as e:  # noqa: B902
                types.add(type(e))
        assert len(types) == 1

    def test_refcounts_unchanged_on_error_paths(self):
        img = np.zeros((5, 5), np.float32)
        extent = (0.0, 1.0)
        before = sys.getrefcount(img), sys.getrefcount(extent)
        for _ in range(100):
            with pytest.raises(IndexError):
                detect(img, extent, 0.5, 1.0, None, None, None)
        assert (sys.getrefcount(img), sys.getrefcount(extent)) == before
