"""Timing of the orbit module `_kestrin` and the work its Kepler iteration does.

For each eccentricity, prints the median time per point of `_kestrin` and `_getf` over several
runs on 10^6 times spread over 200 periods, and the mean number of Newton steps per point,
found by replaying the iteration in plain Python on a sample of the same times.

Run: python benchmarks/bench_orbit.py [--n N] [--runs R] [--sample S]
"""

from __future__ import annotations

import argparse
import math
import statistics
from typing import Callable

import _kestrin
import numpy as np
from timing import median_seconds

TWO_PI = 6.283185307179586
HALF_PI = 1.5707963267948966
PI = 3.141592653589793
STEP_BUDGET = 1000

# One orbit apart from its eccentricity: tc, period, a, inc, w.
TC, PERIOD, A, INC, W = 0.4, 3.7, 12.0, 1.52, 0.8


def newton_steps(m: float, e: float) -> tuple[int, bool]:
    """Steps the Newton iteration takes on Kepler's equation, and whether it met its tolerance
    within the module's budget (otherwise the module finishes with its bracketed solver)."""
    ea, g, prev = m, (m - e * math.sin(m)) - m, None
    for step in range(STEP_BUDGET + 1):
        if not math.fmod(abs(g), TWO_PI) > 1e-7:
            return step, True
        if step == STEP_BUDGET:
            break
        nxt = ea - math.fmod(g, TWO_PI) / math.fmod(1.0 - e * math.cos(ea), TWO_PI)
        if nxt in (ea, prev):
            return step + 1, False
        prev, ea = ea, nxt
        g = (ea - e * math.sin(ea)) - m
    return STEP_BUDGET, False


def mean_anomalies(t: np.ndarray, e: float) -> list[float]:
    """The mean anomaly of every time, formed as the module forms it."""
    ec = 2.0 * math.atan(math.tan((HALF_PI - W) * 0.5) * math.sqrt((1.0 - e) / (e + 1.0)))
    tp = (((ec - e * math.sin(ec)) * PERIOD) * 0.5) / (-PI) + TC
    mean_motion = TWO_PI / PERIOD
    return [(float(tk) - tp) * mean_motion for tk in t]


def median_ns_per_point(fn: Callable[..., np.ndarray], t: np.ndarray, e: float, runs: int) -> float:
    seconds = median_seconds(lambda: fn(t, TC, PERIOD, A, INC, e, W, 1, 0), runs=runs)
    return seconds / t.size * 1e9


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000, help="times per call")
    parser.add_argument("--runs", type=int, default=7, help="timed calls per case")
    parser.add_argument("--sample", type=int, default=20_000, help="times replayed for steps")
    args = parser.parse_args()

    rng = np.random.default_rng(2024)
    t = TC + PERIOD * rng.uniform(-100.0, 100.0, args.n)
    print(f"n = {args.n}, median of {args.runs} runs, Newton steps over {args.sample} times")
    print(
        f"{'e':>5} {'_kestrin ns/time':>17} {'_getf ns/time':>14} "
        f"{'mean steps':>11} {'max steps':>10} {'not met':>8}"
    )
    for e in (0.0, 0.3, 0.9):
        sep_ns = median_ns_per_point(_kestrin._kestrin, t, e, args.runs)
        f_ns = median_ns_per_point(_kestrin._getf, t, e, args.runs)
        if e < 1e-5:
            steps, unmet = [0], 0  # near-circular orbits skip Kepler's equation
        else:
            replay = [newton_steps(m, e) for m in mean_anomalies(t[: args.sample], e)]
            steps = [s for s, _ in replay]
            unmet = sum(not met for _, met in replay)
        print(
            f"{e:>5.1f} {sep_ns:>17.1f} {f_ns:>14.1f} "
            f"{statistics.fmean(steps):>11.3f} {max(steps):>10d} {unmet:>8d}"
        )


if __name__ == "__main__":
    main()
