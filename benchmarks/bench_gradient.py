"""Cost of the flux with its full gradient against the flux alone, and the gradient's accuracy.

Run: python benchmarks/bench_gradient.py [--points N] [--runs R] [--threads T]

The transit of the other benchmarks: N points (default 1000), radii 0.1 and 0.12, impact
parameter 0.3, the dividing line a quarter turn plus 0.2 rad from the reference axis, the centre
moving along x from -1 to 1 so that every point is in transit. For every law:

- engine level: the median time of ``halfmoon._engine.transit`` and of
  ``halfmoon._engine.transit_gradient`` (flux and all 5 + K partials), both in the same run, and
  their ratio;
- model level: ``Model.flux`` against ``Model.flux_and_gradient`` (every column: the orbit's
  elements, the rotation, both radii and the coefficients) on a transit of the same planet,
  N times over the transit;
- accuracy: the largest error of each engine partial at 40 points of the transit against a
  Richardson-extrapolated central difference (step 4e-3, two levels) of the flux, relative to
  the largest |partial| of its kind (at least 1e-3: a uniform star's flux does not move with the
  planet inside it); of the engine for the closed-form laws and of the
  independent reference (tests/oracle.py) for the laws with a remainder, whose quadrature noise
  would dominate differences of the engine. Points within 0.06 of a contact are left out.

Medians over R runs (default 15), one thread unless --threads is given; the cores are shared.
"""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path

import numpy as np
from halfmoon import Model, Parameters, _engine
from timing import median_seconds

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from law_cases import LAWS
from oracle import reference_flux, sky_theta

WITH_REMAINDER = {"nonlinear", "exponential", "square_root", "power2", "tabulated"}
P1, P2 = 0.1, 0.12
IMPACT = 0.3
LINE_ANGLE = math.pi / 2 + 0.2
STEP = 4e-3
MARGIN = 0.06


def engine_arguments(law: str, x: np.ndarray) -> tuple:
    y = np.full_like(x, IMPACT)
    return (
        law,
        np.asarray(LAWS[law], dtype=float).reshape(1, 1, -1),
        np.array([[P1]]),
        np.array([[P2]]),
        np.hypot(x, y)[np.newaxis],
        x[np.newaxis],
        y[np.newaxis],
        np.full_like(x, LINE_ANGLE)[np.newaxis],
    )


def contact_distance(x: np.ndarray) -> np.ndarray:
    z = np.hypot(x, IMPACT)
    theta = LINE_ANGLE - np.arctan2(IMPACT, x)
    distances = [np.abs(np.abs(z * np.sin(theta)) - 1.0)]
    for p in (P1, P2):
        distances += [np.abs(z - 1.0 - p), np.abs(z - 1.0 + p)]
        for sign in (1.0, -1.0):
            junction = np.hypot(z + sign * p * np.cos(theta), sign * p * np.sin(theta))
            distances.append(np.abs(junction - 1.0))
    return np.min(distances, axis=0)


def flux_of(law: str, values: list, x: np.ndarray, *, oracle: bool) -> np.ndarray:
    """The flux with the engine's arguments (x, y, line angle, p1, p2, coefficients) changed."""
    dx, dy, dline, p1, p2, *coefficients = values
    xs, ys = x + dx, np.full_like(x, IMPACT) + dy
    lines = np.full_like(x, LINE_ANGLE) + dline
    if oracle:
        return np.array(
            [
                reference_flux(law, coefficients, math.hypot(a, b), p1, p2, sky_theta(a, b, c))
                for a, b, c in zip(xs, ys, lines)
            ]
        )
    c = np.asarray(coefficients, dtype=float).reshape(1, 1, -1)
    return _engine.transit(
        law, c, np.array([[p1]]), np.array([[p2]]), np.hypot(xs, ys)[np.newaxis],
        xs[np.newaxis], ys[np.newaxis], lines[np.newaxis], threads=1,
    )[0, 0]  # fmt: skip


def accuracy(law: str) -> np.ndarray:
    """Largest error of each partial over 40 points, relative to its largest magnitude."""
    x = np.linspace(-1.0, 1.0, 400)
    x = x[contact_distance(x) > MARGIN][::10][:40]
    _, partials = _engine.transit_gradient(*engine_arguments(law, x), threads=1)
    partials = partials[0, 0]
    base = [0.0, 0.0, 0.0, P1, P2, *LAWS[law]]
    indices = list(range(len(base)))
    if law == "tabulated":
        # Its nodes mu_k have no partials.
        del indices[5 : 5 + len(LAWS[law]) // 2]
    errors = []
    for k in indices:

        def evaluate(h: float, k: int = k) -> np.ndarray:
            values = list(base)
            values[k] += h
            return flux_of(law, values, x, oracle=law in WITH_REMAINDER)

        def central(h: float) -> np.ndarray:
            return (evaluate(h) - evaluate(-h)) / (2.0 * h)

        d1, d2, d4 = central(STEP), central(STEP / 2), central(STEP / 4)
        expected = (16.0 * (4.0 * d4 - d2) / 3.0 - (4.0 * d2 - d1) / 3.0) / 15.0
        scale = max(np.max(np.abs(expected)), 1e-3)
        errors.append(np.max(np.abs(partials[k] - expected)) / scale)
    return np.array(errors)


def model_parameters(law: str) -> Parameters:
    return Parameters(
        mid_transit=0.0,
        period=3.5,
        radius_leading=P2,
        radius_trailing=P1,
        semi_major_axis=8.8,
        inclination=math.degrees(math.acos(IMPACT / 8.8)),
        law=law,
        coefficients=LAWS[law],
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--no-accuracy", action="store_true")
    args = parser.parse_args()
    x = np.linspace(-1.0, 1.0, args.points)
    # The model's transit: the planet's centre within 0.95 + 0.12 of the star's.
    params = model_parameters("uniform")
    half = 0.95 * params.period / (2.0 * math.pi * params.semi_major_axis)
    times = np.linspace(-half, half, args.points)
    print(f"{args.points} points, radii {P1} / {P2}, impact {IMPACT}, {args.threads} thread(s)")
    print(
        f"{'law':>12} | {'engine flux':>11} {'flux+grad':>10} {'ratio':>5} | "
        f"{'Model.flux':>10} {'+gradient':>10} {'ratio':>5} | largest error of each partial"
    )
    options = {"threads": args.threads}
    for law in LAWS:
        arguments = engine_arguments(law, x)
        flux = median_seconds(lambda a=arguments: _engine.transit(*a, **options), args.runs)
        both = median_seconds(
            lambda a=arguments: _engine.transit_gradient(*a, **options), args.runs
        )
        model = Model(model_parameters(law), times, threads=args.threads)
        model_flux = median_seconds(model.flux, args.runs)
        model_both = median_seconds(model.flux_and_gradient, args.runs)
        errors = "" if args.no_accuracy else " ".join(f"{e:.0e}" for e in accuracy(law))
        print(
            f"{law:>12} | {1e3 * flux:8.3f} ms {1e3 * both:7.3f} ms {both / flux:5.2f} | "
            f"{1e3 * model_flux:7.3f} ms {1e3 * model_both:7.3f} ms "
            f"{model_both / model_flux:5.2f} | {errors}"
        )
    print("partials: x, y, line angle, first radius, second radius, then the coefficients")
    print("(of the tabulated law its intensities I_k only: its nodes mu_k have no partials)")


if __name__ == "__main__":
    main()
