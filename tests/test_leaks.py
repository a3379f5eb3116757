"""Reference and memory leaks of every Python-visible function.

Each function is called many times with arguments that compute (arrays read in place and
arrays that must be converted first) and with arguments that raise at every stage of a call:
while parsing, while converting an array, on a value check after the conversions, and after
the result has been made. Afterwards every argument object must hold exactly the references it
held before, every result must be a fresh array owned by the caller alone, and neither the
memory that Python and NumPy trace nor the process's resident size may have grown.
"""

from __future__ import annotations

import gc
import os
import sys
import tracemalloc
from typing import Any, Callable, Optional

import _eclipse
import _kestrin
import _orvinth
import _tessaly
import _velmora
import numpy as np
import pytest
from halfmoon import _engine, _geometry, _testing

N = 64
Z = np.linspace(0.0, 2.0, N)  # about half the points on the disc
LINE = np.full(N, 1.8)
OFFSETS = np.full(N, 0.2)
TIMES = np.linspace(-1.0, 1.0, N)

Case = tuple[Callable, tuple, Optional[type]]

# Memory sizes mean something only with the ordinary allocators: under AddressSanitizer freed
# blocks wait in a quarantine, and with PYTHONMALLOC=malloc (as tools/sanitize.sh runs) NumPy's
# own error paths leave a bounded amount of traced memory behind. Reference counts are exact
# everywhere.
ORDINARY_ALLOCATORS = not os.environ.get("PYTHONMALLOC") and "asan" not in os.environ.get(
    "LD_PRELOAD", ""
)


class BadNumber:
    """A number argument whose conversion raises."""

    def __float__(self) -> float:
        raise ZeroDivisionError("no float")


def light_curve_cases(function: Callable, coefficients: tuple[float, ...]) -> list[Case]:
    def args(
        z: Any = Z, line: Any = LINE, offsets: Any = OFFSETS, step: Any = 0.05, flag: Any = 1
    ) -> tuple:
        return (z, 0.1, *coefficients, step, 0, line, offsets, 31.5, 0.12, flag)

    return [
        (function, args(), None),
        (function, args(z=list(Z), line=LINE.astype(np.float32), offsets=OFFSETS[::1]), None),
        (function, args(z=Z.astype(np.float32), offsets=np.repeat(OFFSETS, 2)[::2]), None),
        (function, args(step=0.0), ValueError),  # after the separations were converted
        (function, args(z=list(Z), step=1e-300), ValueError),
        (function, args(z=list(Z), line=LINE[:-1]), ValueError),  # per-point array too short
        (function, args(z=list(Z), offsets=OFFSETS[:-1].astype(np.float32)), ValueError),
        (function, args(line=LINE.astype(np.float32), offsets=OFFSETS.astype(complex)), TypeError),
        (function, args(z=[[0.5, 0.6], [0.7, 0.8]]), ValueError),
        (function, args(z=Z.astype(complex)), TypeError),
        (function, args(flag=256), OverflowError),
        (function, args(step=BadNumber()), ZeroDivisionError),
        (function, args()[:-1], TypeError),
    ]


def orbit_cases(function: Callable) -> list[Case]:
    def args(t: Any = TIMES, e: Any = 0.3) -> tuple:
        return (t, 0.0, 3.0, 10.0, 1.55, e, 1.2, 1, 0)

    return [
        (function, args(), None),
        (function, args(t=TIMES.astype(np.float32)), None),
        (function, args(t=list(TIMES), e=1.0 - 1e-9), None),  # the bracketed Kepler solver
        (function, args(t=TIMES.reshape(8, 8)), ValueError),
        (function, args(t=[str(t) for t in TIMES]), TypeError),
        (function, args(e=BadNumber()), ZeroDivisionError),
        (function, (*args(), 0), TypeError),
    ]


def eclipse_cases() -> list[Case]:
    f = _eclipse._eclipse
    return [
        (f, (Z, 0.1, 0.01, 0), None),
        (f, (list(Z), 0.5005, 0.01, 0), None),
        (f, (Z.reshape(2, -1), 0.1, 0.01, 0), ValueError),
        (f, (Z.astype(complex), 0.1, 0.01, 0), TypeError),
        (f, (Z, 0.1, 0.01, 2**40), OverflowError),
    ]


def geometry_cases() -> list[Case]:
    g = _geometry
    index = np.arange(N)
    wide_index = index + 2**40
    return [
        (g.area, (Z, np.linspace(0, 1, N), 0.1, LINE - 1.5), None),
        (g.area, (Z[:, None], Z, 0.1, 0.3), None),
        (g.area, (Z, Z[:3], 0.1, 0.3), ValueError),  # shapes that do not broadcast
        (g.configuration, (Z, list(Z), 0.1, 0.3), None),
        (g.configuration, (Z, Z.astype(complex), 0.1, 0.3), TypeError),
        (g.find_theta, (index, LINE, Z, OFFSETS, 31.5), None),
        (g.find_theta, (wide_index, LINE, Z, OFFSETS, 31.5), ValueError),  # after the pass
        (g.line_theta, (index, LINE, Z, OFFSETS, 31.5), None),
        (g.line_theta, (index.astype(float), LINE, Z, OFFSETS, 31.5), TypeError),
        (g.planet_area, (0.5, Z, 0.1, 0.12, 0.3, True), None),
        (g.planet_area, (0.5, list(Z), 0.1, 0.12, 0.3, False), None),
        (g.planet_area, (0.5, Z.reshape(2, -1), 0.1, 0.12, 0.3, True), ValueError),
    ]


def private_module_cases() -> list[Case]:
    t = _testing
    coefficients = [0.4, 0.25]
    lc = (coefficients, Z, LINE, OFFSETS, 0.1, 0.12, 0.05, 31.5)
    return [
        (t.light_curve, ("quadratic", *lc, True, False), None),
        (t.light_curve, ("quadratic", *lc, True, True), None),
        (t.light_curve, ("linear", *lc, True, False), ValueError),  # after every conversion
        (t.light_curve, ("nonlinear", *lc, True, False), ValueError),  # too few coefficients
        (
            t.light_curve,
            ("quadratic", coefficients, Z, LINE[:3], OFFSETS, 0.1, 0.12, 0.05, 31.5, True, False),
            ValueError,
        ),
    ]


CASES: dict[str, list[Case]] = {
    "_velmora": light_curve_cases(_velmora._velmora, (0.4, 0.25)),
    "_tessaly": light_curve_cases(_tessaly._tessaly, (0.6, -0.3, 0.7, -0.3)),
    "_orvinth": light_curve_cases(_orvinth._orvinth, (0.4, 0.05)),
    "_kestrin": orbit_cases(_kestrin._kestrin),
    "_getf": orbit_cases(_kestrin._getf),
    "_eclipse": eclipse_cases(),
    "_geometry": geometry_cases(),
    "_testing": private_module_cases(),
}


def engine_cases() -> list[Case]:
    f = _engine.transit
    planet = ([[[0.4, 0.25]]], [[0.1]], [[0.12]])
    rows = [a[np.newaxis] for a in (Z, Z, OFFSETS, LINE)]
    return [
        (f, ("quadratic", *planet, *rows), None),
        (f, ("quadratic", *planet, rows[0].tolist(), rows[1].astype(np.float32), *rows[2:]), None),
        (f, ("quadratic", *planet, *rows[:3], rows[3][:, :-1]), ValueError),
        (f, ("quadratic", *planet, *rows[:2], rows[2].astype(complex), rows[3]), TypeError),
        (f, ("cubic", *planet, *rows), ValueError),
    ]


def tracked_objects(cases: list[Case]) -> list[Any]:
    """The argument objects whose reference counts are watched: every array, list and other
    object that is not a plain number or string (those may be shared and cached)."""
    plain = (int, float, str, bool, type(None))
    seen: dict[int, Any] = {}
    for _, args, _ in cases:
        for argument in args:
            if not isinstance(argument, plain):
                seen[id(argument)] = argument
    return list(seen.values())


def run_cases(cases: list[Case], repeats: int) -> None:
    for _ in range(repeats):
        for function, args, raises in cases:
            if raises is None:
                result = function(*args)
                # The caller's variable and getrefcount's own argument: nothing else holds it.
                assert sys.getrefcount(result) == 2
                assert result.base is None
            else:
                try:
                    function(*args)
                except raises:
                    pass
                else:
                    pytest.fail(f"{function.__name__}{args!r} did not raise {raises.__name__}")


def assert_no_leak(cases: list[Case], repeats: int) -> None:
    run_cases(cases, 20)  # warm caches, interned objects and NumPy's small-buffer cache
    gc.collect()
    objects = tracked_objects(cases)
    before = [sys.getrefcount(o) for o in objects]
    tracemalloc.start()
    try:
        first, _ = tracemalloc.get_traced_memory()
        run_cases(cases, repeats)
        gc.collect()
        last, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    after = [sys.getrefcount(o) for o in objects]
    changed = [(type(o).__name__, b, a) for o, b, a in zip(objects, before, after) if a != b]
    assert not changed, f"reference counts changed: {changed}"
    # repeats * len(cases) calls; a result or converted copy of N doubles kept per call would
    # hold well over 500 bytes each, a leaked exception or number some 50.
    if ORDINARY_ALLOCATORS:
        assert last - first < 20_000


@pytest.mark.parametrize("name", list(CASES))
def test_no_reference_or_traced_memory_leak(name: str) -> None:
    assert_no_leak(CASES[name], repeats=2000)


def test_engine_does_not_leak() -> None:
    assert_no_leak(engine_cases(), repeats=1000)


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs Linux /proc")
@pytest.mark.skipif(not ORDINARY_ALLOCATORS, reason="resident size follows another allocator")
def test_resident_memory_does_not_grow_with_large_arrays() -> None:
    """Untraced memory too: 100k-point arrays (800 kB each, mostly off the disc so that the
    calls are quick), converted and not, with results and raising calls. 200 rounds of these
    would leave hundreds of megabytes behind if any array or copy were kept."""
    n = 100_000
    z = np.linspace(1.2, 3.0, n)
    z32 = z.astype(np.float32)
    line, offsets = np.full(n, 1.8), np.full(n, 0.2)
    short = offsets[:-1].astype(np.float32)
    t = np.linspace(-1.0, 1.0, n, dtype=np.float32)
    cases: list[Case] = [
        (_velmora._velmora, (z32, 0.1, 0.4, 0.25, 0.05, 0, line, offsets, 0.5, 0.12, 1), None),
        (
            _tessaly._tessaly,
            (z, 0.1, 0.6, -0.3, 0.7, -0.3, 0.05, 0, line.astype(np.float32), offsets, 0.5, 0.12, 1),
            None,
        ),
        (_orvinth._orvinth, (z32, 0.1, 0.4, 0.05, 0.05, 0, line, short, 0.5, 0.12, 1), ValueError),
        (_kestrin._kestrin, (t, 0.0, 3.0, 10.0, 1.55, 0.0, 1.2, 1, 0), None),
        (_eclipse._eclipse, (z32, 0.1, 0.01, 0), None),
        (_geometry.area, (z32, 0.5, 0.1, 0.3), None),
    ]
    run_cases(cases, 5)
    gc.collect()
    before = resident_bytes()
    run_cases(cases, 200)
    gc.collect()
    grown = resident_bytes() - before
    assert grown < 64 * 2**20, f"resident memory grew by {grown / 2**20:.1f} MiB"
