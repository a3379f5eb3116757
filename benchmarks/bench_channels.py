"""Many wavelength channels and many parameter sets in one call.

Run: python benchmarks/bench_channels.py [--runs N]

Prints, in one run (medians; the machine may be shared):

- 100 channels x 1000 in-transit points, unequal radii, quadratic law: one multi-channel
  ``Model.flux`` call against 100 times the single-channel call, single-threaded (target: a
  ratio of at most 1.1), and the speed-up of the multi-channel call with 2 threads (target at
  least 1.8x);
- 32 parameter sets: ``Model.flux_batch`` against a loop of 32 ``Model.flux`` calls, at 1000
  and 100,000 points (target: the batch at least 1.5x faster at 1000 points, and no slower at
  100,000).
"""

from __future__ import annotations

import argparse
import math

import numpy as np
from halfmoon import Model, Parameters
from timing import median_seconds

CHANNELS = 100
SETS = 32


def transit_params(**changes: object) -> Parameters:
    base = {
        "mid_transit": 0.0,
        "period": 3.0,
        "radius_leading": 0.1,
        "radius_trailing": 0.12,
        "semi_major_axis": 8.0,
        "inclination": math.degrees(math.acos(0.3 / 8.0)),
        "rotation": 20.0,
        "law": "quadratic",
        "coefficients": (0.4, 0.25),
    }
    base.update(changes)
    return Parameters(**base)


def in_transit_times(params: Parameters, count: int) -> np.ndarray:
    """Times over which the whole planet stays on the star (separation below 1 - 0.12)."""
    b = 0.3
    half = math.asin(math.sqrt((1.0 - 0.121) ** 2 - b * b) / 8.0) * params.period / (2 * math.pi)
    return np.linspace(-half, half, count)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=9)
    runs = parser.parse_args().runs

    single = transit_params()
    rng = np.random.default_rng(1)
    spectrum = single.replace(
        radius_leading=tuple(0.1 + 0.002 * rng.standard_normal(CHANNELS)),
        radius_trailing=tuple(0.12 + 0.002 * rng.standard_normal(CHANNELS)),
        coefficients=tuple(zip(rng.uniform(0.3, 0.5, CHANNELS), rng.uniform(0.2, 0.3, CHANNELS))),
    )
    t = in_transit_times(single, 1000)
    one = Model(single, t, threads=1)
    many = Model(spectrum, t, threads=1)
    two = Model(spectrum, t, threads=2)
    t_one = median_seconds(lambda: one.flux(), runs=runs, repeats=20)
    t_many = median_seconds(lambda: many.flux(), runs=runs)
    t_two = median_seconds(lambda: two.flux(), runs=runs)
    print(f"{CHANNELS} channels x {t.size} in-transit points, radii 0.1 / 0.12, quadratic law")
    print(f"  one channel:                 {1e3 * t_one:9.3f} ms")
    print(f"  {CHANNELS} channels, one call:      {1e3 * t_many:9.3f} ms")
    print(
        f"  ratio to {CHANNELS} x one channel:   {t_many / (CHANNELS * t_one):9.3f} (target <= 1.1)"
    )
    print(
        f"  {CHANNELS} channels, 2 threads:     {1e3 * t_two:9.3f} ms, speed-up "
        f"{t_many / t_two:.2f}x (target >= 1.8x)"
    )

    for count in (1000, 100_000):
        t = in_transit_times(single, count)
        model = Model(single, t, threads=1)
        sets = [
            single.replace(
                mid_transit=rng.normal(0.0, 1e-3),
                radius_leading=0.1 + 0.002 * rng.standard_normal(),
                rotation=rng.uniform(-40.0, 40.0),
            )
            for _ in range(SETS)
        ]
        repeats = 5 if count == 1000 else 1
        loop = median_seconds(
            lambda m=model, s=sets: [m.flux(p) for p in s], runs=runs, repeats=repeats
        )
        batch = median_seconds(lambda m=model, s=sets: m.flux_batch(s), runs=runs, repeats=repeats)
        print(
            f"{SETS} parameter sets at {count} points: loop {1e3 * loop:9.3f} ms, batch "
            f"{1e3 * batch:9.3f} ms, batch {loop / batch:.2f}x faster"
        )


if __name__ == "__main__":
    main()
