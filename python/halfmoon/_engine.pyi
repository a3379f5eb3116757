import numpy as np
import numpy.typing as npt

LAWS: dict[str, int | None]
BUILD: str
AVX2_USABLE: bool

def transit(
    law: str,
    coefficients: npt.ArrayLike,
    first_radius: npt.ArrayLike,
    second_radius: npt.ArrayLike,
    z: npt.ArrayLike,
    x: npt.ArrayLike,
    y: npt.ArrayLike,
    line_angle: npt.ArrayLike,
    /,
    *,
    threads: int | None = None,
) -> np.ndarray: ...
def transit_gradient(
    law: str,
    coefficients: npt.ArrayLike,
    first_radius: npt.ArrayLike,
    second_radius: npt.ArrayLike,
    z: npt.ArrayLike,
    x: npt.ArrayLike,
    y: npt.ArrayLike,
    line_angle: npt.ArrayLike,
    /,
    *,
    threads: int | None = None,
) -> tuple[np.ndarray, np.ndarray]: ...
