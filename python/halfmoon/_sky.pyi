import numpy as np
import numpy.typing as npt

def sky(
    t: npt.ArrayLike,
    tc: npt.ArrayLike,
    period: npt.ArrayLike,
    a: npt.ArrayLike,
    inc: npt.ArrayLike,
    e: npt.ArrayLike,
    omega: npt.ArrayLike,
    line_offset: npt.ArrayLike,
    /,
) -> np.ndarray: ...
def sky_gradient(
    t: npt.ArrayLike,
    tc: npt.ArrayLike,
    period: npt.ArrayLike,
    a: npt.ArrayLike,
    inc: npt.ArrayLike,
    e: npt.ArrayLike,
    omega: npt.ArrayLike,
    line_offset: npt.ArrayLike,
    /,
) -> tuple[np.ndarray, np.ndarray]: ...
