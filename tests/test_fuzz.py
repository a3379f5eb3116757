"""Random argument tuples for every Python-visible function.

Each call must either return a new float64 array of the promised length, leaving its arguments
untouched, or raise an ordinary Python exception. It must never crash, never return a result
together with a pending exception (CPython turns that into SystemError) and never hang: a
watchdog thread ends the whole process with a traceback when a single call runs too long. Run
under tools/sanitize.sh, the same calls are checked for invalid memory accesses and undefined
behaviour.

The argument tuples mix well-formed calls with random values (NaN, infinities, huge, tiny and
negative numbers, arrays of every dtype, shape, layout and length) and calls with the wrong
number or kind of arguments. Inputs that are merely slow are bounded: step factors below 1e-3
(other than those the modules reject) are not drawn, and arrays hold at most a few dozen points.
"""

from __future__ import annotations

import faulthandler
import math
import subprocess
import sys
import textwrap
from typing import Any, Callable

import _eclipse
import _kestrin
import _orvinth
import _tessaly
import _velmora
import numpy as np
import pytest
from halfmoon import _geometry, _testing
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

# A single call normally takes well under a millisecond; this only catches a loop that never
# ends (generous for the sanitizer build, which is several times slower).
CALL_TIMEOUT = 60.0
FUZZ = settings(
    max_examples=120,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
MAX_POINTS = 24
SMALLEST_STEP = 2.0**-28  # the smallest step factor the light-curve modules accept

# Where the watchdog writes: pytest captures the standard streams, so by default the dump of a
# stuck call would vanish with the process. pytest's faulthandler plugin keeps a duplicate of
# the real stderr; use it where this pytest has one.
WATCHDOG: dict[str, Any] = {"file": sys.stderr}


@pytest.fixture(autouse=True)
def _watchdog_writes_to_the_terminal(request: pytest.FixtureRequest) -> None:
    try:
        from _pytest.faulthandler import fault_handler_stderr_fd_key
    except ImportError:
        return
    WATCHDOG["file"] = request.config.stash.get(fault_handler_stderr_fd_key, sys.stderr)


# ---- Values ----------------------------------------------------------------------------------

EDGE_FLOATS = [
    0.0,
    -0.0,
    0.5,
    1.0,
    -1.0,
    1.0 - 2.0**-53,
    1.0 + 2.0**-52,
    math.pi,
    math.pi / 2 + 1e-9,
    math.nan,
    -math.nan,
    math.inf,
    -math.inf,
    1e300,
    -1e300,
    1.7976931348623157e308,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    1e-300,
    2.0**31,
    -(2.0**31) - 1.0,
    2.45e6,
]
floats = st.one_of(
    st.sampled_from(EDGE_FLOATS),
    st.floats(-2.0, 2.0),
    st.floats(allow_nan=True, allow_infinity=True),
)
# Separations and radii: mostly where a planet covers part of the star.
lengths = st.one_of(st.floats(0.0, 1.2), st.floats(0.0, 1.2), floats)
ints = st.one_of(
    st.integers(-5, 5),
    st.integers(-5, 5),
    st.integers(-(2**31), 2**31 - 1),
    st.sampled_from([2**31 - 1, -(2**31), 2**31, -(2**31) - 1, 2**63, -(2**64)]),
)


class BadNumber:
    """Converts to nothing: its conversions raise, as a user's object may."""

    def __float__(self) -> float:
        raise ZeroDivisionError("no float")

    def __index__(self) -> int:
        raise ZeroDivisionError("no int")

    def __bool__(self) -> bool:
        raise ZeroDivisionError("no bool")


# Objects of the wrong kind for a number or an array argument.
strangers = st.sampled_from(
    [
        None,
        "0.5",
        b"1",
        1 + 2j,
        [],
        {},
        (),
        object(),
        BadNumber(),
        np.float32(0.5),
        np.int64(3),
        True,
        1.5,
        np.array([1.0, 2.0]),
        [0.5, None],
        [[0.5], [0.5, 1.0]],
    ]
)

DTYPES = [
    np.bool_,
    np.int8,
    np.int16,
    np.int32,
    np.int64,
    np.uint8,
    np.uint16,
    np.uint32,
    np.uint64,
    np.float16,
    np.float32,
    np.float64,
    np.longdouble,
    np.complex64,
    np.complex128,
    ">f8",
    ">i4",
    "M8[s]",
    "m8[s]",
    "U3",
    "S3",
    [("a", "<f8"), ("b", "<i4")],
]


def relayout(array: np.ndarray, layout: str) -> Any:
    """The same values (where possible) in another memory layout or container."""
    if layout == "reversed":
        return array[::-1] if array.ndim else array
    if layout == "strided":
        return np.repeat(array, 2, axis=0)[::2] if array.ndim else array
    if layout == "readonly":
        array = array.copy()
        array.flags.writeable = False
        return array
    if layout == "fortran":
        return np.asfortranarray(array)
    if layout == "unaligned" and array.ndim == 1 and array.dtype.itemsize > 1:
        raw = np.empty(array.nbytes + 1, dtype=np.uint8)[1:]
        unaligned = raw.view(array.dtype)
        unaligned[...] = array
        return unaligned
    if layout == "broadcast" and array.size:
        return np.broadcast_to(array.reshape(-1)[:1], (array.size,))
    if layout == "list":
        return array.tolist()
    if layout == "object":
        return array.astype(object)
    return array


layouts = st.sampled_from(
    [
        "plain",
        "plain",
        "plain",
        "reversed",
        "strided",
        "readonly",
        "fortran",
        "unaligned",
        "broadcast",
        "list",
        "object",
    ]
)


@st.composite
def any_array(draw: st.DrawFn, max_side: int = MAX_POINTS) -> Any:
    """An array of any dtype, 0 to 3 dimensions and any layout."""
    array = draw(
        hnp.arrays(
            dtype=st.sampled_from(DTYPES).map(np.dtype),
            shape=hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=max_side),
        )
    )
    return relayout(array, draw(layouts))


@st.composite
def point_array(draw: st.DrawFn, n: int, elements: st.SearchStrategy = floats) -> Any:
    """n points, mostly float64, with values from the whole double range."""
    values = np.array(draw(st.lists(elements, min_size=n, max_size=n)), dtype=np.float64)
    dtype = draw(st.sampled_from([np.float64] * 6 + [np.float32, np.int64, np.uint8, ">f8"]))
    with np.errstate(all="ignore"):
        array = values.astype(dtype)
    return relayout(array, draw(layouts))


def argument_drawer(draw: st.DrawFn) -> Callable[[st.SearchStrategy], Any]:
    """Draws the arguments of one tuple. In a fifth of the tuples any argument may instead be
    an object of the wrong kind; the others are well formed, so that most calls compute."""
    wrong = draw(st.integers(0, 4)) == 0

    def argument(strategy: st.SearchStrategy, wrong_kind: st.SearchStrategy = strangers) -> Any:
        if wrong:
            return draw(st.one_of(strategy, strategy, wrong_kind))
        return draw(strategy)

    return argument


def per_point(n: int) -> st.SearchStrategy:
    """A per-point array: usually n points, sometimes fewer or more."""
    return st.sampled_from([n] * 8 + [n + 3, max(n - 1, 0), 0]).flatmap(point_array)


def any_kind_of_array() -> st.SearchStrategy:
    return st.one_of(any_array(), strangers)


# Step factors: the ordinary range, and values the modules must refuse (non-positive, not
# finite, or too small to move the annulus edges), never the merely slow ones in between.
steps = st.one_of(
    st.floats(1e-3, 1.0),
    st.floats(1e-2, 1.0),
    st.sampled_from(
        [
            0.0,
            -0.0,
            -1e-3,
            math.nan,
            math.inf,
            -math.inf,
            1e-300,
            5e-324,
            1e-20,
            SMALLEST_STEP * (1.0 - 2.0**-53),
            2.0,
            1e300,
            1.7976931348623157e308,
        ]
    ),
)

# ---- Calls and their promises ----------------------------------------------------------------


def points_of(argument: Any) -> int:
    return int(np.asarray(argument).shape[0])


def call_checked(function: Callable, args: tuple, promised: Callable[[tuple], Any]) -> None:
    """Calls function(*args) under the watchdog and checks the outcome against `promised`,
    which gives the promised result shape (a tuple) or, for a scalar result, None."""
    before = [a.tobytes() if isinstance(a, np.ndarray) else None for a in args]
    faulthandler.dump_traceback_later(CALL_TIMEOUT, exit=True, file=WATCHDOG["file"])
    try:
        result = function(*args)
    except SystemError:
        raise  # a C-level contract broken: null without an exception, or both
    except Exception:
        return
    finally:
        faulthandler.cancel_dump_traceback_later()
    for argument, snapshot in zip(args, before):
        if snapshot is not None:
            assert argument.tobytes() == snapshot, "an argument was written"
    shape = promised(args)
    if shape is None:
        assert isinstance(result, float)
        return
    if shape == ():
        assert isinstance(result, (np.floating, np.integer))
        return
    assert isinstance(result, np.ndarray)
    assert result.shape == shape
    assert result.dtype == (np.int64 if function is _geometry.configuration else np.float64)
    assert result.flags.c_contiguous and result.flags.writeable and result.flags.owndata
    assert all(result is not a for a in args)


def one_per_point(args: tuple) -> tuple[int]:
    return (points_of(args[0]),)


def four_per_point(args: tuple) -> tuple[int]:
    return (4 * points_of(args[0]),)


def broadcast_shape(args: tuple) -> tuple[int, ...]:
    return np.broadcast(*[np.asarray(a) for a in args]).shape


@st.composite
def light_curve_args(draw: st.DrawFn, n_coefficients: int) -> tuple:
    n = draw(st.integers(0, MAX_POINTS))
    argument = argument_drawer(draw)
    return (
        argument(point_array(n, lengths), any_kind_of_array()),  # separations
        argument(lengths),  # planet radius
        *[argument(floats) for _ in range(n_coefficients)],
        argument(steps),
        argument(ints),
        argument(per_point(n), any_kind_of_array()),  # line angles
        argument(per_point(n), any_kind_of_array()),  # normal offsets
        argument(floats),  # crossing index
        argument(lengths),  # second radius
        argument(st.integers(-2, 258)),  # with_second_half, a byte
    )


LIGHT_CURVES = {
    "_velmora": (_velmora._velmora, 2),
    "_tessaly": (_tessaly._tessaly, 4),
    "_orvinth": (_orvinth._orvinth, 2),
}


@pytest.mark.parametrize("name", list(LIGHT_CURVES))
def test_light_curve_functions_survive_random_arguments(name: str) -> None:
    function, n_coefficients = LIGHT_CURVES[name]

    @settings(FUZZ, max_examples=250)
    @given(light_curve_args(n_coefficients))
    def run(args: tuple) -> None:
        call_checked(function, args, one_per_point)

    run()


@st.composite
def orbit_args(draw: st.DrawFn) -> tuple:
    n = draw(st.integers(0, MAX_POINTS))
    argument = argument_drawer(draw)
    times = argument(point_array(n), any_kind_of_array())
    elements = [argument(floats) for _ in range(6)]
    # Periods and eccentricities near the troublesome values of Kepler's equation.
    if draw(st.booleans()):
        elements[1] = draw(st.sampled_from([0.01, 1e-300, 0.0, -3.0, 1e300]))
        elements[4] = draw(st.sampled_from([1e-5, 0.5, 0.999, 1.0 - 1e-12, 1.0, 1.0 + 1e-12]))
    return (times, *elements, argument(ints), argument(ints))


@pytest.mark.parametrize("function", [_kestrin._kestrin, _kestrin._getf], ids=["_kestrin", "_getf"])
def test_orbit_functions_survive_random_arguments(function: Callable) -> None:
    @FUZZ
    @given(orbit_args())
    def run(args: tuple) -> None:
        call_checked(function, args, four_per_point)

    run()


@st.composite
def eclipse_args(draw: st.DrawFn) -> tuple:
    n = draw(st.integers(0, MAX_POINTS))
    argument = argument_drawer(draw)
    return (
        argument(point_array(n), any_kind_of_array()),
        argument(floats),
        argument(floats),
        argument(ints),
    )


@FUZZ
@given(eclipse_args())
def test_eclipse_survives_random_arguments(args: tuple) -> None:
    call_checked(_eclipse._eclipse, args, one_per_point)


# ---- The private geometry module ---------------------------------------------------------------


@st.composite
def broadcast_arguments(draw: st.DrawFn, count: int, integer_first: bool = False) -> tuple:
    """Arguments that usually broadcast against each other: scalars and small float arrays."""
    shapes = draw(hnp.mutually_broadcastable_shapes(num_shapes=count, max_dims=2, max_side=4))
    argument = argument_drawer(draw)
    args = []
    for j, shape in enumerate(shapes.input_shapes):
        if integer_first and j == 0:
            # Point indices: integers, a few of them outside the 32-bit range.
            dtype = draw(st.sampled_from([np.int64] * 4 + [np.int32, np.int8]))
            values = hnp.arrays(dtype, shape, elements=st.integers(-30, 30))
            wide = hnp.arrays(np.int64, shape, elements=st.integers(-(2**40), 2**40))
            args.append(
                argument(
                    st.one_of(values, values, wide, ints),
                    st.one_of(floats, any_array(4), strangers),
                )
            )
            continue
        values = hnp.arrays(np.float64, shape, elements=floats)
        args.append(argument(st.one_of(values, floats), st.one_of(any_array(4), strangers)))
    return tuple(args)


@pytest.mark.parametrize(
    ("name", "count", "integer_first"),
    [
        ("area", 4, False),
        ("configuration", 4, False),
        ("find_theta", 5, True),
        ("line_theta", 5, True),
    ],
)
def test_elementwise_functions_survive_random_arguments(
    name: str, count: int, integer_first: bool
) -> None:
    function = getattr(_geometry, name)

    @FUZZ
    @given(broadcast_arguments(count, integer_first=integer_first))
    def run(args: tuple) -> None:
        call_checked(function, args, broadcast_shape)

    run()


@st.composite
def planet_area_args(draw: st.DrawFn) -> tuple:
    n = draw(st.integers(0, MAX_POINTS))
    argument = argument_drawer(draw)
    return (
        argument(floats),
        argument(point_array(n), any_kind_of_array()),
        argument(floats),
        argument(floats),
        argument(floats),
        argument(st.booleans()),
    )


@FUZZ
@given(planet_area_args())
def test_planet_area_survives_random_arguments(args: tuple) -> None:
    call_checked(_geometry.planet_area, args, lambda a: (points_of(a[1]),))


@st.composite
def geometry_light_curve_args(draw: st.DrawFn) -> tuple:
    n = draw(st.integers(0, MAX_POINTS))
    argument = argument_drawer(draw)
    law = argument(st.sampled_from(["quadratic", "nonlinear", "exponential"] * 3 + ["linear", ""]))
    # Mostly the right number of coefficients for the law.
    count = 4 if isinstance(law, str) and law == "nonlinear" else 2
    if draw(st.integers(0, 3)) == 0:
        count = draw(st.integers(0, 5))
    return (
        law,
        argument(
            st.lists(floats, min_size=count, max_size=count), st.one_of(any_array(5), strangers)
        ),
        argument(point_array(n, lengths), any_kind_of_array()),
        argument(per_point(n), any_kind_of_array()),
        argument(per_point(n), any_kind_of_array()),
        argument(lengths),
        argument(lengths),
        argument(steps),
        argument(floats),
        argument(st.booleans()),
        argument(st.booleans()),
    )


@FUZZ
@given(geometry_light_curve_args())
def test_geometry_light_curve_survives_random_arguments(args: tuple) -> None:
    call_checked(_testing.light_curve, args, lambda a: (points_of(a[2]),))


# ---- Wrong argument counts and kinds for every function ----------------------------------------

FUNCTIONS: dict[str, tuple[Callable, int, Callable[[tuple], Any]]] = {
    "_velmora": (_velmora._velmora, 11, one_per_point),
    "_tessaly": (_tessaly._tessaly, 13, one_per_point),
    "_orvinth": (_orvinth._orvinth, 11, one_per_point),
    "_kestrin": (_kestrin._kestrin, 9, four_per_point),
    "_getf": (_kestrin._getf, 9, four_per_point),
    "_eclipse": (_eclipse._eclipse, 4, one_per_point),
    "area": (_geometry.area, 4, broadcast_shape),
    "configuration": (_geometry.configuration, 4, broadcast_shape),
    "find_theta": (_geometry.find_theta, 5, broadcast_shape),
    "line_theta": (_geometry.line_theta, 5, broadcast_shape),
    "planet_area": (_geometry.planet_area, 6, lambda a: (points_of(a[1]),)),
    "light_curve": (_testing.light_curve, 11, lambda a: (points_of(a[2]),)),
}

anything = st.one_of(floats, ints, strangers, any_array(6), st.sampled_from(["quadratic"]))


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_any_argument_tuple_returns_or_raises(name: str) -> None:
    function, count, promised = FUNCTIONS[name]

    @settings(FUZZ, max_examples=60)
    @given(st.integers(0, count + 2).flatmap(lambda k: st.lists(anything, min_size=k, max_size=k)))
    def run(args: list) -> None:
        call_checked(function, tuple(args), promised)

    run()
    with pytest.raises(TypeError):  # and keywords are never accepted
        function(*[0.0] * count, extra=1)


# ---- The exact engine and the private testing entry points ------------------------------------


def test_engine_and_testing_modules_survive_random_arguments() -> None:
    from halfmoon import _engine

    @FUZZ
    @given(light_curve_args(2))
    def run_light_curve(args: tuple) -> None:
        # The engine takes the points as (sets, points) arrays and the planet per channel.
        z, p, c1, c2, _, _, line, offsets, _, p2, _ = args

        def transit(z, p, c1, c2, line, offsets, p2):
            z2 = np.atleast_2d(np.asarray(z, dtype=np.float64))
            return _engine.transit(
                "quadratic",
                [[[c1, c2]]],
                [[p]],
                [[p2]],
                z2,
                z2,
                np.atleast_2d(offsets),
                np.atleast_2d(line),
            )

        # Arrays that do not match in shape are refused with an exception.
        call_checked(transit, (z, p, c1, c2, line, offsets, p2), lambda a: (1, 1, points_of(a[0])))

    counts = {
        "halves": 6,
        "carlson_rf": 3,
        "carlson_rd": 3,
        "carlson_rj": 4,
        "carlson_rc": 2,
        "carlson_rf_rd_rj": 4,
    }

    @st.composite
    def scalar_calls(draw: st.DrawFn) -> tuple[str, tuple]:
        name = draw(st.sampled_from(sorted(counts)))
        count = counts[name] if draw(st.integers(0, 5)) else draw(st.integers(0, 7))
        argument = argument_drawer(draw)
        return name, tuple(argument(floats) for _ in range(count))

    @FUZZ
    @given(scalar_calls())
    def run_scalars(case: tuple[str, tuple]) -> None:
        name, args = case
        if name == "carlson_rf_rd_rj":  # three values in a tuple
            call_checked(lambda *a: _testing.carlson_rf_rd_rj(*a)[0], args, lambda a: None)
        else:
            call_checked(getattr(_testing, name), args, lambda a: None)

    run_light_curve()
    run_scalars()


# ---- Inputs that could make a call run forever, each in a process of its own ---------------------

HANG_PRELUDE = """
import math
import numpy as np
import _eclipse, _kestrin, _orvinth, _tessaly, _velmora
from halfmoon import _geometry, _testing

def light_curve(z, p=0.1, p2=0.12, step=1e-2, crossing=0.5, line=1.8, offset=0.2, law="velmora"):
    z = np.asarray(z, dtype=np.float64)
    line = np.full(len(z), line)
    offset = np.full(len(z), offset)
    if law == "tessaly":
        return _tessaly._tessaly(z, p, 0.6, -0.3, 0.7, -0.3, step, 0, line, offset, crossing, p2, 1)
    if law == "orvinth":
        return _orvinth._orvinth(z, p, 0.4, 0.05, step, 0, line, offset, crossing, p2, 1)
    return _velmora._velmora(z, p, 0.4, 0.25, step, 0, line, offset, crossing, p2, 1)

def orbit(t, per=3.0, e=0.1, function=_kestrin._kestrin):
    return function(np.asarray(t, dtype=np.float64), 0.0, per, 10.0, 1.55, e, 1.2, 1, 0)

try:
    result = {call}
except ValueError as error:
    print("ValueError", error)
else:
    print("array", len(result), bool(np.isfinite(result).all()))
"""

CROSSING = [0.0, 0.3, 0.95, 1.0, 1.05]
REFUSED = "ValueError"
HANG_CASES = {
    # Positive step factors too small to move an annulus edge: refused, never run.
    "step 1e-300 from the centre": ("light_curve([0.0, 0.5], step=1e-300)", REFUSED),
    "step 1e-300 mid-disc": ("light_curve([0.5], step=1e-300, law='tessaly')", REFUSED),
    "step 5e-324": ("light_curve([0.5], step=5e-324, law='orvinth')", REFUSED),
    "step 1e-20": ("light_curve([0.0], step=1e-20)", REFUSED),
    "step just below 2**-28": (
        f"light_curve([0.5], step={SMALLEST_STEP * (1 - 2**-53)!r})",
        REFUSED,
    ),
    "geometry step 1e-300": (
        "_testing.light_curve('quadratic', [0.4, 0.25], [0.5], [1.8], [0.2], 0.1, 0.12, "
        "1e-300, 0.5, True, False)",
        REFUSED,
    ),
    # The smallest accepted step factor on a band at the limb, where the steps are tiniest.
    "step 2**-28 at the limb": (
        "light_curve([1.0 - 5e-7, 1.0], p=1e-6, p2=1e-6, step=2**-28)",
        "array 2 True",
    ),
    "step 1e300": (f"light_curve({CROSSING}, step=1e300)", "array 5 True"),
    # The first step overflows to infinity: one annulus whose width is NaN, but the call ends.
    "largest step": (f"light_curve({CROSSING}, step=1.7976931348623157e308)", "array 5"),
    # Radii that describe no planet: refused before anything is integrated.
    "NaN radius": (f"light_curve({CROSSING}, p=math.nan)", REFUSED),
    "infinite radii": (f"light_curve({CROSSING}, p=math.inf, p2=-math.inf)", REFUSED),
    "negative radii": (f"light_curve({CROSSING}, p=-0.3, p2=-5.0)", REFUSED),
    "huge radii": (f"light_curve({CROSSING}, p=1e300, p2=1e300, law='tessaly')", "array 5"),
    "NaN crossing index": (f"light_curve({CROSSING}, crossing=math.nan)", "array 5 True"),
    "NaN angles and offsets": (
        f"light_curve({CROSSING}, line=math.nan, offset=math.nan)",
        "array 5 True",
    ),
    "infinite separations": ("light_curve([math.inf, -math.inf, -1e300, 1e300])", "array 4 True"),
    "10**5 NaN points": (
        "light_curve(np.full(10**5, math.nan), line=math.nan, offset=math.nan, law='orvinth')",
        "array 100000",
    ),
    # Kepler's equation where Newton's method cycles or crawls.
    "two-step Newton cycle": (
        "orbit(2.45e6 + np.linspace(0, 1, 2000), per=0.01, e=0.5)",
        "array 8000 True",
    ),
    "nearly parabolic": ("orbit(np.linspace(-1e4, 1e4, 2000), e=1.0 - 1e-12)", "array 8000"),
    "parabolic": (
        "orbit(np.linspace(-1e4, 1e4, 2000), e=1.0, function=_kestrin._getf)",
        "array 8000",
    ),
    "hyperbolic": ("orbit(np.linspace(-1e4, 1e4, 200), e=1.5)", "array 800"),
    "huge times": (
        "orbit([1e300, -1e300, math.inf, math.nan, 1.7976931348623157e308])",
        "array 20",
    ),
    "tiny period": ("orbit(np.linspace(0, 1, 200), per=1e-300, e=0.5)", "array 800"),
    "eclipse of NaN": (
        "_eclipse._eclipse(np.full(10**5, math.nan), math.nan, math.inf, 0)",
        "array 100000",
    ),
}


@pytest.mark.parametrize("case", list(HANG_CASES))
def test_no_input_makes_a_call_run_forever(case: str) -> None:
    call, expected = HANG_CASES[case]
    script = textwrap.dedent(HANG_PRELUDE).replace("{call}", call)
    completed = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=CALL_TIMEOUT
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.startswith(expected), completed.stdout
    if expected == REFUSED:
        refused = "planet_radius" if "radi" in case else "step_factor"
        assert refused in completed.stdout
