"""The array-in/array-out conventions every extension module shares."""

from __future__ import annotations

import gc
import sys
import tracemalloc
from typing import Callable

import _eclipse
import _kestrin
import _orvinth
import _tessaly
import _velmora
import numpy as np
import pytest

ArrayCall = Callable[[object], np.ndarray]


def _per_point(z: object) -> tuple[np.ndarray, np.ndarray]:
    """Line angles and normal offsets for as many points as `z` holds (capped: an oversized
    `z` must be refused before the per-point arrays are looked at)."""
    sized = isinstance(z, list) or (isinstance(z, np.ndarray) and z.ndim > 0)
    n = len(z) if sized else 1
    n = min(n, 10**6)
    return np.full(n, 1.8), np.full(n, 0.2)


# One valid call per Python-visible function, built around its first (point) argument, and the
# number of result values per point.
CALLS: dict[str, tuple[ArrayCall, int]] = {
    "_eclipse": (lambda z: _eclipse._eclipse(z, 0.1, 0.01, 0), 1),
    "_velmora": (
        lambda z: _velmora._velmora(z, 0.1, 0.4, 0.25, 1e-2, 0, *_per_point(z), 0.5, 0.12, 1),
        1,
    ),
    "_tessaly": (
        lambda z: _tessaly._tessaly(
            z, 0.1, 0.6, -0.3, 0.7, -0.3, 1e-2, 0, *_per_point(z), 0.5, 0.12, 1
        ),
        1,
    ),
    "_orvinth": (
        lambda z: _orvinth._orvinth(z, 0.1, 0.4, 0.05, 1e-2, 0, *_per_point(z), 0.5, 0.12, 1),
        1,
    ),
    "_kestrin": (lambda t: _kestrin._kestrin(t, 0.0, 3.0, 10.0, 1.55, 0.1, 1.2, 1, 0), 4),
    "_getf": (lambda t: _kestrin._getf(t, 0.0, 3.0, 10.0, 1.55, 0.1, 1.2, 1, 0), 4),
}
FUNCTIONS = {
    "_eclipse": _eclipse._eclipse,
    "_velmora": _velmora._velmora,
    "_tessaly": _tessaly._tessaly,
    "_orvinth": _orvinth._orvinth,
    "_kestrin": _kestrin._kestrin,
    "_getf": _kestrin._getf,
}
ARG_COUNTS = {
    "_eclipse": 4,
    "_velmora": 11,
    "_tessaly": 13,
    "_orvinth": 11,
    "_kestrin": 9,
    "_getf": 9,
}
POINTS = np.array([0.05, 0.3, 0.95, 1.05, 2.0])

names = pytest.mark.parametrize("name", list(CALLS))


@names
def test_empty_input_gives_empty_float64_array(name: str) -> None:
    call, _ = CALLS[name]
    result = call(np.array([], dtype=np.float64))
    assert isinstance(result, np.ndarray)
    assert result.shape == (0,)
    assert result.dtype == np.float64


@names
def test_result_is_a_new_array_of_the_promised_length(name: str) -> None:
    call, per_point = CALLS[name]
    points = POINTS.copy()
    result = call(points)
    assert result is not points
    assert not np.shares_memory(result, points)
    assert result.shape == (per_point * len(points),)
    assert result.flags.c_contiguous and result.flags.writeable
    np.testing.assert_array_equal(points, POINTS)  # arguments are only read


@names
@pytest.mark.parametrize(
    "convert",
    [
        list,
        lambda a: a.astype(np.float32).astype(np.float64),  # exactly representable below
        lambda a: np.repeat(a, 2)[::2],  # strided view
        lambda a: a.astype(">f8"),  # non-native byte order
        lambda a: a.reshape(1, -1)[0],
    ],
    ids=["list", "float64-copy", "strided", "big-endian", "row-view"],
)
def test_safely_convertible_inputs_give_the_same_result(name: str, convert: Callable) -> None:
    call, _ = CALLS[name]
    points = POINTS.astype(np.float32).astype(np.float64)  # values exact in float32 too
    expected = call(points)
    np.testing.assert_array_equal(call(convert(points)), expected)
    np.testing.assert_array_equal(call(points.astype(np.float32)), expected)


@names
def test_integer_input_is_converted(name: str) -> None:
    call, _ = CALLS[name]
    np.testing.assert_array_equal(call(np.array([0, 1, 2])), call(np.array([0.0, 1.0, 2.0])))


@names
@pytest.mark.parametrize(
    "bad",
    [np.array([1 + 1j]), ["a"], ["0.5"], None, [None], [[1.0], [1.0, 2.0]], {"a": 1}],
    ids=["complex", "strings", "numeric-strings", "none", "objects", "ragged", "dict"],
)
def test_unconvertible_input_raises_type_error(name: str, bad: object) -> None:
    call, _ = CALLS[name]
    with pytest.raises(TypeError, match="one-dimensional float64 array"):
        call(bad)


@names
@pytest.mark.parametrize("bad", [np.float64(0.5), 0.5, np.zeros((2, 2)), np.zeros((1, 1, 1))])
def test_wrong_dimensions_raise_value_error(name: str, bad: object) -> None:
    call, _ = CALLS[name]
    with pytest.raises(ValueError, match="one-dimensional"):
        call(bad)


@names
def test_more_points_than_a_32_bit_index_raise_before_any_copy(name: str) -> None:
    call, _ = CALLS[name]
    huge = np.broadcast_to(np.float64(0.5), (2**31,))  # 16 GiB if it were ever copied
    with pytest.raises(ValueError, match="exceed the limit of 2147483647"):
        call(huge)


@pytest.mark.parametrize("name", list(FUNCTIONS))
@pytest.mark.parametrize("delta", [-1, 1])
def test_wrong_argument_count_raises_type_error(name: str, delta: int) -> None:
    function = FUNCTIONS[name]
    count = ARG_COUNTS[name] + delta
    args = [POINTS] + [0] * (count - 1)
    with pytest.raises(TypeError):
        function(*args)


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_wrong_argument_kind_raises_type_error(name: str) -> None:
    args = [POINTS] + ["x"] * (ARG_COUNTS[name] - 1)
    with pytest.raises(TypeError):
        FUNCTIONS[name](*args)
    with pytest.raises(TypeError):  # keywords are not accepted
        FUNCTIONS[name](POINTS, **{"p": 0.1})


@pytest.mark.parametrize(
    ("module", "doc"),
    [
        (_velmora, "quadratic"),
        (_tessaly, "nonlinear"),
        (_orvinth, "exponential"),
        (_eclipse, "uniform"),
    ],
)
def test_module_and_function_docstrings(module: object, doc: str) -> None:
    function = getattr(module, module.__name__)
    expected = (
        f"This extension module returns a limb darkened light curve for a {doc} "
        "stellar intensity profile."
    )
    assert module.__doc__ == expected
    assert function.__doc__ == expected


def test_orbit_docstrings() -> None:
    assert _kestrin.__doc__ == _kestrin._kestrin.__doc__
    assert _kestrin.__doc__.startswith(
        " This module computes the distance between the centers of the star and the planet in "
        "the plane of the sky.  "
    )
    assert _kestrin._getf.__doc__.startswith(" This module computes the true anomaly. ")
    assert not _kestrin._getf.__doc__.startswith(" This module computes the true anomaly.  ")


@names
def test_no_reference_or_memory_leak(name: str) -> None:
    call, _ = CALLS[name]
    arrays = {
        "native": np.linspace(0.0, 1.2, 50),
        "converted": list(np.linspace(0.0, 1.2, 50)),
        "float32": np.linspace(0.0, 1.2, 50, dtype=np.float32),
    }

    def run(repeats: int) -> None:
        for _ in range(repeats):
            for argument in arrays.values():
                call(argument)
            with pytest.raises(ValueError):
                call(np.zeros((2, 2)))

    run(50)  # warm up caches and interned objects
    gc.collect()
    before_refs = {key: sys.getrefcount(value) for key, value in arrays.items()}
    tracemalloc.start()
    first, _ = tracemalloc.get_traced_memory()
    run(2000)
    gc.collect()
    last, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert {key: sys.getrefcount(value) for key, value in arrays.items()} == before_refs
    # 8000 results of 50 doubles were made; a leak of one per call would hold > 3 MB.
    assert last - first < 100_000
