"""Speed of the light-curve model and the share of its time spent outside the compiled modules.

Run: python benchmarks/bench_model.py [--runs N]

A hot Jupiter (period 3 d, semi-major axis 8 stellar radii, impact parameter 0.3) is sampled
at 1000 times spanning one transit. For each limb-darkening law and method (the exact closed
form where the law has one, and the annulus integration), with equal radii (0.11) and with a
smaller leading than trailing limb (0.10 and 0.12, the dividing line rotated by 20 deg), the
model chooses its step factor for a 1 ppm error bound. The script prints the step factor,
the time to build the model (which includes choosing it), the best time per light curve out of
many, the best time of the compiled calls alone (sky geometry and light curve, on the same
arrays), and the share of the light-curve time spent outside them (Python and NumPy glue).
"""

from __future__ import annotations

import argparse
import itertools
import math
import time
from typing import Callable

import numpy as np
from halfmoon import Model, Parameters, _sky
from halfmoon import sky as sky_module
from halfmoon.laws import LAWS as LAW_TABLE

N_POINTS = 1000
LAWS = {
    "uniform": (),
    "quadratic": (0.4, 0.25),
    "nonlinear": (0.6, -0.3, 0.7, -0.3),
    "exponential": (0.4, 0.05),
}
SHAPES = {
    "symmetric": {"radius_leading": 0.11, "radius_trailing": 0.11, "rotation": 0.0},
    "asymmetric": {"radius_leading": 0.10, "radius_trailing": 0.12, "rotation": 20.0},
}


def best_seconds(
    first: Callable[[], object], second: Callable[[], object], runs: int
) -> tuple[float, float]:
    """Shortest durations of single calls of two functions, timed alternately.

    Alternating the two keeps a load change on the machine from favouring either of them, and
    the shortest of many calls is the one least disturbed by other processes.
    """
    first()
    second()
    durations: tuple[list[float], list[float]] = ([], [])
    for _ in range(runs):
        for function, store in zip((first, second), durations):
            start = time.perf_counter()
            function()
            store.append(time.perf_counter() - start)
    return min(durations[0]), min(durations[1])


def compiled_calls(model: Model, params: Parameters) -> Callable[[], object]:
    """The model's compiled calls (the sky geometry, then the method's light curve) with the
    arguments it passes them, and nothing else."""
    grid = model._grid
    elements = sky_module._elements([params])
    sky = sky_module.sky_points([params], grid)
    planet = sky_module.planet_arrays([params], 1)
    method = model._method

    def run() -> object:
        _sky.sky(grid, *elements)
        return method.transit(sky, planet)

    return run


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=200, help="timed calls per case")
    runs = parser.parse_args().runs

    base = Parameters(
        mid_transit=0.0,
        period=3.0,
        radius_leading=0.11,
        radius_trailing=0.11,
        semi_major_axis=8.0,
        inclination=math.degrees(math.acos(0.3 / 8.0)),
    )
    t = np.linspace(-0.08, 0.08, N_POINTS)
    print(f"{N_POINTS} points across one transit, 1 ppm error bound, {runs} runs per case")
    header = (
        f"{'law':<12} {'shape':<11} {'method':>7} {'step':>6} {'build ms':>9} {'ms/curve':>9} "
        f"{'compiled ms':>12} {'outside':>8}"
    )
    print(header)
    print("-" * len(header))
    shares = []
    for law, coefficients in LAWS.items():
        methods = ("exact", "annulus") if LAW_TABLE[law].exact else ("annulus",)
        for (shape, changes), method in itertools.product(SHAPES.items(), methods):
            params = base.replace(law=law, coefficients=coefficients, **changes)
            start = time.perf_counter()
            model = Model(params, t, method=method)
            build = time.perf_counter() - start
            total, compiled = best_seconds(
                lambda: model.flux(params),  # noqa: B023
                compiled_calls(model, params),
                runs,
            )
            share = max(0.0, 1.0 - compiled / total)
            shares.append(share)
            print(
                f"{law:<12} {shape:<11} {method:>7} {model.step_factor or '-':>6} "
                f"{1e3 * build:>9.1f} "
                f"{1e3 * total:>9.3f} {1e3 * compiled:>12.3f} {100 * share:>7.1f}%"
            )
    print(f"largest share outside the compiled modules: {100 * max(shares):.1f}% (target < 10%)")


if __name__ == "__main__":
    main()
