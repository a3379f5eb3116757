import numpy as np
import numpy.typing as npt

def _kestrin(
    t: npt.ArrayLike,
    tc: float,
    per: float,
    a: float,
    inc: float,
    ecc: float,
    w: float,
    transit_type: int,
    ignored_int: int,
    /,
) -> np.ndarray: ...
def _getf(
    t: npt.ArrayLike,
    tc: float,
    per: float,
    a: float,
    inc: float,
    ecc: float,
    w: float,
    transit_type: int,
    ignored_int: int,
    /,
) -> np.ndarray: ...
