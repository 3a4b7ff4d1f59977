"""Type information for the sonaloc extension module.

Arrays are NumPy arrays of the stated dtype (any strides). A real is anything
the interpreter converts to a float (float, int, NumPy scalars); a count is an
int or anything with an index conversion (NumPy integers). Extents and sigmas
are tuples of reals (a list is refused at run time).
"""
from typing import Optional, Sequence, SupportsFloat, SupportsIndex, Tuple, Union

import numpy as np
import numpy.typing as npt

_F32 = npt.NDArray[np.float32]
_U32 = npt.NDArray[np.uint32]
_I32 = npt.NDArray[np.int32]
_Real = Union[SupportsFloat, SupportsIndex]
_Count = SupportsIndex
_Reals = Tuple[_Real, ...]

def rs_detect_peaks(
    array: _F32,
    extent: _Reals,
    threshold: _Real,
    min_distance: _Real,
    localization_method: Optional[str],
    localization_window_size: Optional[_Count],
    max_num_peaks: Optional[_Count],
) -> Tuple[_F32, _F32]: ...
def rs_detect_peaks3d(
    array: _F32,
    extent: _Reals,
    threshold: _Real,
    min_distance: _Real,
    localization_window_size: Optional[_Count],
    localization_method: Optional[str],
    correlation_sigmas: Optional[_Reals],
    correlation_threshold: Optional[_Real],
    max_num_peaks: Optional[_Count],
) -> Tuple[_F32, _F32, Optional[_F32]]: ...
def rs_draw_tracks(
    matrix_x_y_intensity: _F32, track_end_indices: _I32, extent: _Reals, pixel_size: _Real
) -> Tuple[_F32, _U32, Tuple[float, float, float, float]]: ...
def rs_draw_tracks_3d(
    matrix_x_y_z_intensity: _F32, track_end_indices: _I32, extent: _Reals, pixel_size: _Real
) -> Tuple[_F32, _U32, Tuple[float, float, float, float, float, float]]: ...
def rs_draw_tracks_value(
    matrix_x_y_intensity_value: _F32, track_end_indices: _I32, extent: _Reals, pixel_size: _Real
) -> Tuple[_F32, _F32, _U32, Tuple[float, float, float, float]]: ...
def rs_draw_tracks_value_3d(
    matrix_x_y_z_intensity_value: _F32, track_end_indices: _I32, extent: _Reals, pixel_size: _Real
) -> Tuple[_F32, _F32, _U32, Tuple[float, float, float, float, float, float]]: ...
def rs_radial_symmetry_2d(array: _F32) -> Tuple[float, float]: ...
def rs_radial_symmetry_3d(array: _F32) -> Tuple[float, float, float]: ...
def rs_link_points(
    points_list: Sequence[_F32], max_distance: _Real, max_skip: _Count, max_intensity_ratio: _Real
) -> Tuple[_F32, _U32]: ...
def rs_link_points_3d(points_list: Sequence[_F32], max_distance: _Real, max_skip: _Count) -> Tuple[_F32, _U32]: ...
