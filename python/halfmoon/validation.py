"""Checks of user input, with errors that name the argument.

Every public entry point takes numbers and arrays through these functions, so that a bad value
is refused in one way everywhere: a :class:`ValueError` whose message starts with the
argument's name.
"""

from __future__ import annotations

import math
import numbers
import operator
from typing import Any

import numpy as np

__all__ = [
    "positive_int",
    "real",
    "real_vector",
    "times",
]


def _is_bool(value: Any) -> bool:
    return isinstance(value, (bool, np.bool_))


def real(name: str, value: Any, *, finite: bool = True) -> float:
    """``value`` as a float, or ValueError naming ``name``.

    Booleans, strings, complex numbers and values that do not fit a double are refused.
    """
    if type(value) is float:  # the common case, checked first
        if finite and not math.isfinite(value):
            raise ValueError(f"{name} must be finite, got {value!r}")
        return value
    if _is_bool(value) or isinstance(value, (str, bytes, complex, np.complexfloating)):
        raise ValueError(f"{name} must be a real number, got {value!r}")
    try:
        number = float(value)
    except OverflowError:
        raise ValueError(
            f"{name} must be a real number that fits a double, got {value!r}"
        ) from None
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a real number, got {value!r}") from None
    if finite and not math.isfinite(number):
        raise ValueError(f"{name} must be finite, got {number!r}")
    return number


def real_vector(name: str, value: Any) -> tuple[float, ...]:
    """A one-dimensional sequence of finite reals as a tuple of floats."""
    if isinstance(value, (str, bytes)) or np.ndim(value) != 1:
        raise ValueError(f"{name} must be a one-dimensional sequence of numbers, got {value!r}")
    return tuple(real(f"{name}[{k}]", v) for k, v in enumerate(value))


def positive_int(name: str, value: Any, minimum: int = 1) -> int:
    """An integer >= ``minimum`` (booleans refused)."""
    if _is_bool(value):
        raise ValueError(f"{name} must be an integer, got {value!r}")
    try:
        count = operator.index(value)
    except TypeError:
        raise ValueError(f"{name} must be an integer, got {value!r}") from None
    if count < minimum:
        raise ValueError(f"{name} must be >= {minimum}, got {count}")
    return count


def times(t: Any, name: str = "t") -> np.ndarray:
    """A read-only, one-dimensional float64 copy of finite times.

    Complex, boolean, date and duration values are refused: times are plain numbers in the
    unit of the orbital period (convert a ``timedelta64`` with ``t / np.timedelta64(1, "D")``).
    """
    array = np.asarray(t)
    kind = array.dtype.kind
    if kind in "mM":
        raise ValueError(
            f"{name} must hold plain numbers in the unit of the period, got {array.dtype} "
            "values; convert them first, e.g. t / np.timedelta64(1, 'D') for days"
        )
    if kind in "cbSUV" or (kind == "O" and any(_not_real(v) for v in array.ravel())):
        raise ValueError(f"{name} must hold real numbers, got values of type {array.dtype}")
    try:
        values = np.array(array, dtype=np.float64)
    except (TypeError, ValueError, OverflowError):
        raise ValueError(f"{name} must be a one-dimensional array of real numbers") from None
    if values.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got {values.ndim} dimension(s)")
    if not np.all(np.isfinite(values)):
        raise ValueError(f"{name} must hold finite values only")
    values.setflags(write=False)
    return values


def _not_real(value: Any) -> bool:
    return _is_bool(value) or not isinstance(value, numbers.Real)
