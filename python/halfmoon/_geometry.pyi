import numpy as np
import numpy.typing as npt

def area(
    z: npt.ArrayLike, r: npt.ArrayLike, p: npt.ArrayLike, theta: npt.ArrayLike, /
) -> np.ndarray: ...
def configuration(
    z: npt.ArrayLike, r: npt.ArrayLike, p: npt.ArrayLike, theta: npt.ArrayLike, /
) -> np.ndarray: ...
def find_theta(
    index: npt.ArrayLike,
    line_angle: npt.ArrayLike,
    separation: npt.ArrayLike,
    normal_offset: npt.ArrayLike,
    crossing_index: npt.ArrayLike,
    /,
) -> np.ndarray: ...
def line_theta(
    index: npt.ArrayLike,
    line_angle: npt.ArrayLike,
    separation: npt.ArrayLike,
    normal_offset: npt.ArrayLike,
    crossing_index: npt.ArrayLike,
    /,
) -> np.ndarray: ...
def planet_area(
    z: float,
    radii: npt.ArrayLike,
    planet_radius: float,
    second_radius: float,
    theta: float,
    with_second_half: bool,
    /,
) -> np.ndarray: ...
