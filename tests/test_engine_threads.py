"""The exact engine's run: threads, the interpreter lock, Ctrl-C, and Bulirsch's cel.

``halfmoon._engine.transit`` releases the interpreter lock while it computes, splits the work
over the threads of its ``threads`` keyword and answers SIGINT with KeyboardInterrupt. The
complete elliptic integrals of its equal-radii path come from Bulirsch's ``cel``, reached
through ``halfmoon._testing`` and checked here against mpmath.
"""

from __future__ import annotations

import math
import signal
import subprocess
import sys
import threading
import time

import mpmath
import numpy as np
import pytest
from halfmoon import _engine, _testing

LAW = [0.4, 0.25]


def curve(sets: int, count: int, seed: int) -> tuple[np.ndarray, ...]:
    """(z, x, y, line_angle) of shape (sets, count): transits at different impact parameters,
    with a few points off the star, at a NaN separation and at the orbit's far-side value."""
    rng = np.random.default_rng(seed)
    x = np.linspace(-1.3, 1.3, count)[None] + rng.uniform(-0.01, 0.01, (sets, 1))
    y = np.linspace(0.0, 0.6, sets)[:, None] + 0.0 * x
    z = np.hypot(x, y)
    z[:, 3 :: max(3, count // 7)] = np.nan
    z[:, 1] = 1e3
    angle = rng.uniform(-4.0, 4.0, (sets, count))
    return z, x, y, angle


def call(p1: list, p2: list, points: tuple, **keywords) -> np.ndarray:
    sets, channels = len(p1), len(p1[0])
    coefficients = np.tile(LAW, (sets, channels, 1)) + 0.01 * np.arange(channels)[:, None]
    return _engine.transit("quadratic", coefficients, p1, p2, *points, **keywords)


# Channels of every kind: equal radii (the full disc), unequal ones, one radius of a half or
# more (the annulus integration, costly per point: few points there).
PLANETS = {
    "equal": ([[0.1, 0.05]], [[0.1, 0.05]], 3, 4099),
    "unequal": ([[0.1, 0.2]], [[0.12, 0.01]], 2, 1001),
    "mixed": ([[0.1, 0.6]], [[0.1, 0.1]], 1, 9),
}


@pytest.mark.parametrize("kind", PLANETS)
def test_any_thread_count_gives_the_same_bits(kind: str) -> None:
    p1, p2, sets, count = PLANETS[kind]
    p1, p2 = p1 * sets, p2 * sets
    points = curve(sets, count, seed=len(kind))
    one = call(p1, p2, points, threads=1)
    assert one.shape == (sets, 2, count)
    assert np.isnan(one).any() and (one == 1.0).any() and (one < 1.0).any()
    for threads in (2, 3, None):
        assert np.array_equal(call(p1, p2, points, threads=threads), one, equal_nan=True)


@pytest.mark.parametrize("kind", ["equal", "unequal"])
def test_a_point_does_not_depend_on_its_neighbours(kind: str) -> None:
    """Pieces of a light curve cut at odd places give the bits of the whole curve."""
    p1, p2, _, count = PLANETS[kind]
    points = curve(1, count, seed=3)
    whole = call(p1, p2, points, threads=2)
    for start, stop in ((0, 1), (1, 8), (7, 18), (333, count - 5), (count - 3, count)):
        piece = tuple(a[:, start:stop] for a in points)
        assert np.array_equal(
            call(p1, p2, piece, threads=1), whole[:, :, start:stop], equal_nan=True
        )


@pytest.mark.parametrize("threads", [0, -1, 257, 2**70, 1.5, 2.0, "2", True, [2]], ids=repr)
def test_invalid_thread_counts_raise(threads: object) -> None:
    p1, p2, _, _ = PLANETS["equal"]
    with pytest.raises(ValueError, match="threads"):
        call(p1, p2, curve(1, 5, seed=0), threads=threads)


def test_thread_count_is_a_keyword_and_numpy_integers_are_accepted() -> None:
    p1, p2, _, _ = PLANETS["unequal"]
    points = curve(1, 50, seed=1)
    expected = call(p1, p2, points)
    assert np.array_equal(call(p1, p2, points, threads=np.int64(2)), expected, equal_nan=True)
    with pytest.raises(TypeError):
        _engine.transit("quadratic", [[LAW, LAW]], p1, p2, *points, 2)


# The interrupted call: unequal radii and a quadrature law, seconds of work; afterwards the
# process must still compute, and hold no more threads than before the call.
INTERRUPTED = r"""
import os, sys, time
import numpy as np
from halfmoon import _engine
def os_threads():
    return len(os.listdir("/proc/self/task"))
threads = int(sys.argv[1])
n = 4_000_000
z = np.linspace(0.0, 1.0, n)[None]
small = _engine.transit("quadratic", [[[0.4, 0.25]]], [[0.1]], [[0.12]], z[:, :99], z[:, :99],
                        0.0 * z[:, :99], z[:, :99])
before = os_threads()
print("ready", flush=True)
try:
    # A law whose flux takes quadrature along the boundary: seconds of work on two threads.
    _engine.transit("power2", [[[0.6, 0.7]]], [[0.1]], [[0.12]], z, z, 0.0 * z, z,
                    threads=threads)
    print("finished", flush=True)
except KeyboardInterrupt:
    at = time.perf_counter()
    again = _engine.transit("quadratic", [[[0.4, 0.25]]], [[0.1]], [[0.12]], z[:, :99],
                            z[:, :99], 0.0 * z[:, :99], z[:, :99])
    print("interrupted", at, bool(np.array_equal(again, small)), before, os_threads(),
          flush=True)
"""


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_interrupts_a_long_call_quickly(threads: int) -> None:
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED, str(threads)], stdout=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout is not None
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.4)  # inside the call, which runs for seconds
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        words = child.stdout.readline().split()
        assert child.wait(timeout=30) == 0
    finally:
        child.kill()
    assert words[0] == "interrupted"
    # perf_counter is the system's monotonic clock, shared by both processes.
    assert float(words[1]) - sent < 0.1
    assert words[2] == "True"  # the process computes as before
    assert words[3] == words[4]  # no thread left behind


def test_other_python_threads_run_during_a_long_call() -> None:
    p1, p2 = [[0.1]], [[0.12]]
    z = np.linspace(0.0, 1.1, 400_000)[None]
    points = (z, z, 0.0 * z, z)
    done = threading.Event()

    def long_call() -> None:
        call(p1, p2, points, threads=1)
        done.set()

    worker = threading.Thread(target=long_call)
    ticks = 0
    worker.start()
    started = time.perf_counter()
    while not done.is_set():
        ticks += 1  # pure Python: needs the interpreter lock
        time.sleep(0)
    elapsed = time.perf_counter() - started
    worker.join()
    assert elapsed > 0.05  # the call was long enough to tell
    # Holding the lock for the whole call, the engine would leave this loop one or two turns.
    assert ticks > 200


# cel(kc, p, a, b) = a R_F(0, kc^2, 1) + (b - a p)/3 R_J(0, kc^2, 1, p).
def cel_reference(kc: float, p: float, a: float, b: float) -> tuple[mpmath.mpf, mpmath.mpf]:
    k2 = mpmath.mpf(kc) ** 2
    rf = mpmath.elliprf(0, k2, 1)
    rj = mpmath.elliprj(0, k2, 1, p)
    terms = (a * rf, (mpmath.mpf(b) - a * mpmath.mpf(p)) / 3 * rj)
    return terms[0] + terms[1], abs(terms[0]) + abs(terms[1])


def cel_arguments(count: int, seed: int) -> list[tuple[float, float, float, float]]:
    """kc from 1e-10 to 1e6 (mostly near 1), p from 1e-8 to 1e8, numerators of either sign."""
    rng = np.random.default_rng(seed)
    rows = []
    for i in range(count):
        kc = float(10 ** rng.uniform(-10, 6)) if i % 2 else float(rng.uniform(0.05, 2.0))
        p = float(10 ** rng.uniform(-8, 8))
        a, b = (float(v) for v in rng.normal(size=2))
        rows.append((kc, p, a, b))
    return [*rows, (1.0, 1.0, 1.0, 1.0), (1e-12, 1.0, 1.0, 0.0), (1.0, 1e-12, 0.0, 1.0)]


def test_cel_matches_mpmath_over_its_range() -> None:
    mpmath.mp.dps = 30
    worst = 0.0
    for kc, p, a, b in cel_arguments(400, seed=20261208):
        value, scale = cel_reference(kc, p, a, b)
        worst = max(worst, abs(float((_testing.cel(kc, p, a, b) - value) / scale)))
    assert worst < 2e-15


def test_complete_triple_matches_mpmath() -> None:
    mpmath.mp.dps = 30
    worst = 0.0
    for kc, p, _, _ in cel_arguments(300, seed=7):
        k2 = mpmath.mpf(kc) ** 2
        # The entry takes r and uses sqrt(r); the reference sees that root's square.
        r_used = mpmath.mpf(math.sqrt(p)) ** 2
        references = (
            mpmath.elliprf(0, k2, 1),
            mpmath.elliprd(0, k2, 1),
            mpmath.elliprj(0, k2, 1, r_used),
        )
        for value, reference in zip(_testing.complete_rf_rd_rj(kc, p), references):
            worst = max(worst, abs(float((value - reference) / reference)))
    assert worst < 2e-15


@pytest.mark.parametrize("kc, p", [(0.0, 1.0), (1.0, 0.0), (1.0, -1.0), (math.nan, 1.0)])
def test_cel_outside_its_domain_is_not_finite(kc: float, p: float) -> None:
    assert not math.isfinite(_testing.cel(kc, p, 1.0, 1.0))
