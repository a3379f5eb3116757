import numpy as np
import numpy.typing as npt

def _orvinth(
    separations: npt.ArrayLike,
    planet_radius: float,
    c1: float,
    c2: float,
    step_factor: float,
    ignored_int: int,
    line_angles: npt.ArrayLike,
    normal_offsets: npt.ArrayLike,
    crossing_index: float,
    second_radius: float,
    with_second_half: int,
    /,
) -> np.ndarray: ...
