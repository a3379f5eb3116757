import numpy as np
import numpy.typing as npt

def _eclipse(z: npt.ArrayLike, p: float, fp: float, ignored_int: int, /) -> np.ndarray: ...
