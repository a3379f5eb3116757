"""Timing shared by the benchmark scripts: medians of repeated runs, which are robust against
the occasional run that another process on a shared machine slows down."""

from __future__ import annotations

import statistics
import time
from typing import Callable


def median_seconds(function: Callable[[], object], runs: int = 7, repeats: int = 1) -> float:
    """Median over `runs` of the mean time of `repeats` calls of `function`, in seconds.

    One untimed call comes first, so that first-call costs (imports, caches) are left out.
    """
    function()
    timings = []
    for _ in range(runs):
        start = time.perf_counter()
        for _ in range(repeats):
            function()
        timings.append((time.perf_counter() - start) / repeats)
    return statistics.median(timings)
