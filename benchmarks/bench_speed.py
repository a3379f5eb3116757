"""Speed of the exact engine ``halfmoon._engine.transit``, in one run.

Run: python benchmarks/bench_speed.py [--runs R] [--interrupts K] [--parts PART ...]

PART is any of table, builds, threads, overhead, interrupt (all by default).

Prints, with medians of repeated runs (benchmarks/timing.py):

- nanoseconds per in-transit point, one thread, for equal radii (0.1, 0.1) and unequal ones
  (0.1, 0.12), for every law of ``_engine.LAWS`` listed in LAWS below, at n = 100, 1000, 10^4
  and 10^5 points, each also in units of this machine's libm ``acos`` call, measured in the same
  run (``halfmoon._testing.acos_nanoseconds``) over its fastest range |x| < 1/8 and over
  (-1, 1);
- the engine's two builds (``_engine_generic`` and, where the processor has AVX2,
  ``_engine_avx2``) against each other at n = 1000, timed alternately; the table and the rest
  use the build ``halfmoon._engine`` chose;
- the speed-up of two threads over one at n = 10^5 (the two timed alternately);
- the call overhead: one point, default thread count;
- the time from SIGINT to KeyboardInterrupt during a long call, in a subprocess.

Every point lies in transit: the planet's centre crosses the star at impact parameter 0.3
over the part of the chord where the larger half still reaches the star.
"""

from __future__ import annotations

import argparse
import math
import signal
import statistics
import subprocess
import sys
import time
from typing import Callable

import numpy as np
from halfmoon import _engine, _engine_generic, _testing
from timing import median_seconds

try:
    from halfmoon import _engine_avx2
except ImportError:  # another architecture, or a processor without AVX2
    _engine_avx2 = None

# Coefficients of each law to time; adding a law is one entry.
LAWS: dict[str, tuple[float, ...]] = {
    "uniform": (),
    "quadratic": (0.4, 0.25),
}
RADII = {"equal": (0.1, 0.1), "unequal": (0.1, 0.12)}
SIZES = (100, 1000, 10_000, 100_000)
PARTS = ["table", "builds", "threads", "overhead", "interrupt"]
IMPACT = 0.3
LINE_ANGLE = math.pi / 2 + 0.2

# The interrupted call: unequal radii and a law taken by quadrature, long enough to run for
# seconds on two threads.
INTERRUPT_CHILD = r"""
import sys, time
import numpy as np
from halfmoon import _engine
n = 4_000_000
z = np.linspace(0.0, 1.0, n)[None]
threads = None if sys.argv[1] == "None" else int(sys.argv[1])
print("ready", flush=True)
try:
    _engine.transit("power2", [[[0.6, 0.7]]], [[0.1]], [[0.12]], z, z, 0.0 * z, z,
                    threads=threads)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.perf_counter(), flush=True)
"""


def in_transit(count: int, reach: float) -> tuple[np.ndarray, ...]:
    """(z, x, y, line_angle) rows of `count` points, all within `reach` of the star's centre."""
    half = math.sqrt(reach**2 - IMPACT**2) * (1.0 - 1e-9)
    x = np.linspace(-half, half, count)
    y = np.full(count, IMPACT)
    return np.hypot(x, y)[None], x[None], y[None], np.full((1, count), LINE_ANGLE)


def transit_call(
    law: str, radii: tuple[float, float], count: int, engine=_engine, **keywords
) -> Callable:
    coefficients = np.array([[list(LAWS[law])]], dtype=float).reshape(1, 1, len(LAWS[law]))
    first, second = np.array([[radii[0]]]), np.array([[radii[1]]])
    points = in_transit(count, 1.0 + max(radii))
    return lambda: engine.transit(law, coefficients, first, second, *points, **keywords)


def acos_nanoseconds(lo: float, hi: float) -> float:
    return statistics.median(_testing.acos_nanoseconds(2_000_000, lo, hi)[0] for _ in range(5))


def per_point_table(runs: int, acos_fast: float, acos_full: float) -> None:
    laws = [law for law in _engine.LAWS if law in LAWS]
    print("\nns per in-transit point, one thread (in acos calls: |x| < 1/8 | (-1, 1))")
    print(f"  {'law':10s} {'radii':8s}" + "".join(f"{'n = ' + str(n):>24s}" for n in SIZES))
    for law in laws:
        for name, radii in RADII.items():
            cells = []
            for count in SIZES:
                call = transit_call(law, radii, count, threads=1)
                repeats = max(1, 20_000 // count)
                ns = 1e9 * median_seconds(call, runs=runs, repeats=repeats) / count
                cells.append(f"{ns:8.1f} ({ns / acos_fast:4.1f} | {ns / acos_full:4.1f})")
            print(f"  {law:10s} {name:8s}" + "".join(f"{c:>24s}" for c in cells))


def build_comparison(runs: int) -> None:
    print("\nthe engine's builds, n = 1000, quadratic law, one thread (timed alternately)")
    if _engine_avx2 is None:
        print("  only the generic build here")
        return
    builds = {"generic": _engine_generic, "avx2": _engine_avx2}
    for name, radii in RADII.items():
        calls = {
            b: transit_call("quadratic", radii, 1000, engine=m, threads=1)
            for b, m in builds.items()
        }
        assert np.array_equal(calls["generic"](), calls["avx2"]())
        times: dict[str, list[float]] = {b: [] for b in builds}
        for _ in range(runs):
            for build, call in calls.items():
                times[build].append(median_seconds(call, runs=1, repeats=20))
        ns = {b: 1e9 * statistics.median(t) / 1000 for b, t in times.items()}
        print(
            f"  {name:8s} generic {ns['generic']:7.1f} ns per point   avx2 {ns['avx2']:7.1f}   "
            f"generic / avx2 {ns['generic'] / ns['avx2']:.2f}"
        )


def thread_speed_up(runs: int) -> None:
    print("\ntwo threads against one, n = 10^5, quadratic law (timed alternately)")
    for name, radii in RADII.items():
        one = transit_call("quadratic", radii, 100_000, threads=1)
        two = transit_call("quadratic", radii, 100_000, threads=2)
        assert np.array_equal(one(), two())
        times: dict[int, list[float]] = {1: [], 2: []}
        for _ in range(runs):
            times[1].append(median_seconds(one, runs=1))
            times[2].append(median_seconds(two, runs=1))
        t1, t2 = statistics.median(times[1]), statistics.median(times[2])
        print(
            f"  {name:8s} 1 thread {1e3 * t1:8.2f} ms   2 threads {1e3 * t2:8.2f} ms   "
            f"speed-up {t1 / t2:.2f}x"
        )


def call_overhead(runs: int) -> None:
    call = transit_call("quadratic", RADII["equal"], 1)
    us = 1e6 * median_seconds(call, runs=runs, repeats=5000)
    print(f"\ncall overhead (n = 1, quadratic, default threads): {us:.2f} us")


def interrupt_latency(tries: int) -> None:
    print("\nSIGINT to KeyboardInterrupt during a long call (subprocess)")
    for threads in ("1", "2", "None"):
        delays = []
        for _ in range(tries):
            child = subprocess.Popen(
                [sys.executable, "-c", INTERRUPT_CHILD, threads],
                stdout=subprocess.PIPE,
                text=True,
            )
            assert child.stdout is not None
            assert child.stdout.readline().strip() == "ready"
            time.sleep(0.3)  # well inside the call
            sent = time.perf_counter()
            child.send_signal(signal.SIGINT)
            words = child.stdout.readline().split()
            child.wait()
            if words[:1] != ["interrupted"]:
                raise RuntimeError(f"the call was not interrupted: {words}")
            delays.append(float(words[1]) - sent)
        print(
            f"  threads={threads:4s} median {1e3 * statistics.median(delays):6.2f} ms, "
            f"worst {1e3 * max(delays):6.2f} ms over {tries}"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--interrupts", type=int, default=5)
    parser.add_argument("--parts", nargs="+", default=PARTS, choices=PARTS)
    args = parser.parse_args()

    print(f"engine build in use: {_engine.BUILD}")
    if "table" in args.parts:
        acos_fast = acos_nanoseconds(-0.125, 0.125)
        acos_full = acos_nanoseconds(-1.0, 1.0)
        print(
            f"libm acos: {acos_fast:.2f} ns per call for |x| < 1/8, {acos_full:.2f} ns over (-1, 1)"
        )
        per_point_table(args.runs, acos_fast, acos_full)
    if "builds" in args.parts:
        build_comparison(args.runs)
    if "threads" in args.parts:
        thread_speed_up(args.runs)
    if "overhead" in args.parts:
        call_overhead(args.runs)
    if "interrupt" in args.parts:
        interrupt_latency(args.interrupts)


if __name__ == "__main__":
    main()
