"""Call overhead and throughput of the secondary-eclipse module.

Run: python benchmarks/bench_eclipse.py
Prints the median over several runs of the time per call for one point (the fixed cost of the
module frame: argument parsing, array creation and return) and the time per point for a million
points.
"""

from __future__ import annotations

import statistics
import time

import _eclipse
import numpy as np


def median_seconds(function, repeats: int, runs: int = 7) -> float:
    """Median over `runs` of the mean time of `repeats` calls of `function`."""
    timings = []
    for _ in range(runs):
        start = time.perf_counter()
        for _ in range(repeats):
            function()
        timings.append((time.perf_counter() - start) / repeats)
    return statistics.median(timings)


def main() -> None:
    one = np.array([0.95])
    overhead = median_seconds(lambda: _eclipse._eclipse(one, 0.1, 0.001, 0), 20000)
    many = np.random.default_rng(1).uniform(0.0, 1.3, 10**6)
    bulk = median_seconds(lambda: _eclipse._eclipse(many, 0.1, 0.001, 0), 5)
    print(f"_eclipse call overhead (n = 1): {overhead * 1e6:.3f} us per call")
    per_point = bulk / many.size * 1e9
    print(f"_eclipse throughput (n = 10^6, z uniform in [0, 1.3]): {per_point:.2f} ns per point")


if __name__ == "__main__":
    main()
