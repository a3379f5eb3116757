"""Call overhead and throughput of the secondary-eclipse module.

Run: python benchmarks/bench_eclipse.py
Prints the median over several runs of the time per call for one point (the fixed cost of the
module frame: argument parsing, array creation and return) and the time per point for a million
points.
"""

from __future__ import annotations

import _eclipse
import numpy as np
from timing import median_seconds


def main() -> None:
    one = np.array([0.95])
    overhead = median_seconds(lambda: _eclipse._eclipse(one, 0.1, 0.001, 0), repeats=20000)
    many = np.random.default_rng(1).uniform(0.0, 1.3, 10**6)
    bulk = median_seconds(lambda: _eclipse._eclipse(many, 0.1, 0.001, 0), runs=5)
    print(f"_eclipse call overhead (n = 1): {overhead * 1e6:.3f} us per call")
    per_point = bulk / many.size * 1e9
    print(f"_eclipse throughput (n = 10^6, z uniform in [0, 1.3]): {per_point:.2f} ns per point")


if __name__ == "__main__":
    main()
