"""Type information for the sonaloc extension module."""
from typing import Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

F32 = npt.NDArray[np.float32]
U32 = npt.NDArray[np.uint32]
I32 = npt.NDArray[np.int32]
_Real = float | int

def rs_detect_peaks(
    array: F32,
    extent: Tuple[float, ...],
    threshold: _Real,
    min_distance: _Real,
    localization_method: Optional[str],
    localization_window_size: Optional[int],
    max_num_peaks: Optional[int],
) -> Tuple[F32, F32]: ...
def rs_detect_peaks3d(
    array: F32,
    extent: Tuple[float, ...],
    threshold: _Real,
    min_distance: _Real,
    localization_window_size: Optional[int],
    localization_method: Optional[str],
    correlation_sigmas: Optional[Tuple[float, ...]],
    correlation_threshold: Optional[_Real],
    max_num_peaks: Optional[int],
) -> Tuple[F32, F32, Optional[F32]]: ...
def rs_draw_tracks(
    matrix_x_y_intensity: F32, track_end_indices: I32, extent: Tuple[float, ...], pixel_size: _Real
) -> Tuple[F32, U32, Tuple[float, float, float, float]]: ...
def rs_draw_tracks_3d(
    matrix_x_y_z_intensity: F32, track_end_indices: I32, extent: Tuple[float, ...], pixel_size: _Real
) -> Tuple[F32, U32, Tuple[float, float, float, float, float, float]]: ...
def rs_draw_tracks_value(
    matrix_x_y_intensity_value: F32, track_end_indices: I32, extent: Tuple[float, ...], pixel_size: _Real
) -> Tuple[F32, F32, U32, Tuple[float, float, float, float]]: ...
def rs_draw_tracks_value_3d(
    matrix_x_y_z_intensity_value: F32, track_end_indices: I32, extent: Tuple[float, ...], pixel_size: _Real
) -> Tuple[F32, F32, U32, Tuple[float, float, float, float, float, float]]: ...
def rs_radial_symmetry_2d(array: F32) -> Tuple[float, float]: ...
def rs_radial_symmetry_3d(array: F32) -> Tuple[float, float, float]: ...
def rs_link_points(
    points_list: Sequence[F32], max_distance: _Real, max_skip: int, max_intensity_ratio: _Real
) -> Tuple[F32, U32]: ...
def rs_link_points_3d(points_list: Sequence[F32], max_distance: _Real, max_skip: int) -> Tuple[F32, U32]: ...
