"""Calls from several Python threads at once give exactly the serial results.

The functions keep no state between calls, so threads that interleave calls with different
arguments (the interpreter switches between them as often as it can) must each get the same
bits as one thread calling alone, in any order.
"""

from __future__ import annotations

import sys
import threading
from typing import Callable

import _eclipse
import _kestrin
import _orvinth
import _tessaly
import _velmora
import numpy as np
import pytest
from halfmoon import _geometry, _testing

THREADS = 8
ROUNDS = 3
N = 200


def light_curve_call(function: Callable, coefficients: tuple[float, ...], k: int) -> Callable:
    z = np.linspace(0.0, 1.3, N) + 0.01 * k
    line = np.linspace(-3.0, 3.0, N)
    offsets = np.linspace(-0.4, 0.4, N)
    p, p2 = 0.08 + 0.01 * k, 0.12 - 0.005 * k
    return lambda: function(z, p, *coefficients, 0.02, 0, line, offsets, N / 2, p2, k % 2)


def orbit_call(function: Callable, k: int) -> Callable:
    t = np.linspace(-2.0, 2.0, N)
    return lambda: function(t, 0.1 * k, 3.0, 10.0 + k, 1.5, 0.1 * k, 0.3 * k, 1 + k % 2, 0)


# For each function, one call per thread with arguments of its own.
WORKLOADS: dict[str, list[Callable[[], np.ndarray]]] = {
    "_velmora": [light_curve_call(_velmora._velmora, (0.4, 0.25), k) for k in range(THREADS)],
    "_tessaly": [
        light_curve_call(_tessaly._tessaly, (0.6, -0.3, 0.7, -0.3), k) for k in range(THREADS)
    ],
    "_orvinth": [light_curve_call(_orvinth._orvinth, (0.4, 0.05), k) for k in range(THREADS)],
    "_kestrin": [orbit_call(_kestrin._kestrin, k) for k in range(THREADS)],
    "_getf": [orbit_call(_kestrin._getf, k) for k in range(THREADS)],
    "_eclipse": [
        (lambda k=k: _eclipse._eclipse(np.linspace(0.5, 1.5, N), 0.05 * (k + 1), 0.001 * k, 0))
        for k in range(THREADS)
    ],
    "_geometry.area": [
        (
            lambda k=k: _geometry.area(
                np.linspace(0.0, 1.2, N), 0.1 * k + 0.3, 0.1, np.linspace(-1.5, 1.5, N)
            )
        )
        for k in range(THREADS)
    ],
    "_testing.light_curve": [
        (
            lambda k=k: _testing.light_curve(
                "exponential",
                [0.4, 0.05],
                np.linspace(0.0, 1.2, N),
                np.full(N, 0.3 * k),
                np.full(N, 0.1),
                0.1,
                0.11,
                0.02,
                N / 2,
                True,
                k % 2 == 0,
            )
        )
        for k in range(THREADS)
    ],
}


@pytest.fixture
def fast_thread_switching():
    """Let the interpreter switch threads as often as it can, between and inside calls."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_threads(jobs: list[list[Callable[[], np.ndarray]]]) -> list[list[bytes]]:
    """Runs each thread's list of calls, all threads released at once; returns the results'
    bytes per thread and call."""
    barrier = threading.Barrier(len(jobs))
    results: list[list[bytes]] = [[] for _ in jobs]
    errors: list[BaseException] = []

    def work(j: int) -> None:
        try:
            barrier.wait()
            for call in jobs[j]:
                results[j].append(call().tobytes())
        except BaseException as error:  # reported in the main thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(j,)) for j in range(len(jobs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors
    return results


@pytest.mark.usefixtures("fast_thread_switching")
@pytest.mark.parametrize("name", list(WORKLOADS))
def test_threads_get_the_serial_results(name: str) -> None:
    calls = WORKLOADS[name]
    serial = [call().tobytes() for call in calls]
    assert len(set(serial)) == len(serial)  # the threads' arguments really differ
    # Thread j makes every call, starting with its own, so that different arguments run side
    # by side.
    orders = [[(j + i) % THREADS for i in range(THREADS)] * ROUNDS for j in range(THREADS)]
    results = run_threads([[calls[k] for k in order] for order in orders])
    for order, got in zip(orders, results):
        assert got == [serial[k] for k in order]


@pytest.mark.usefixtures("fast_thread_switching")
def test_different_modules_side_by_side() -> None:
    """Each thread calls a different function, so that every module runs beside the others."""
    names = list(WORKLOADS)
    jobs = [WORKLOADS[names[j % len(names)]] * ROUNDS for j in range(THREADS)]
    serial = [[call().tobytes() for call in job] for job in jobs]
    assert run_threads(jobs) == serial
