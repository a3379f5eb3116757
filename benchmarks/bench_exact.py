"""Cost and accuracy of the closed-form light curve against the annulus integration.

Run: python benchmarks/bench_exact.py [--points N] [--mp-points M]

The realistic transit: 1000 points, radii 0.1 and 0.12 (and 0.1 and 0.1 for the equal-radius
path), quadratic law (0.4, 0.25), impact parameter 0.3, the dividing line a quarter turn plus
0.2 rad from the reference axis, the centre moving along x from -1.3 to 1.3. Prints the median
time per light curve of the exact engine ``halfmoon._engine`` and of ``_velmora`` at step
factors 1e-2 and 1e-3, all in one run, and the largest |flux error| of each against the
independent reference (tests/oracle.py): the double-precision ``reference_flux`` at every
point (itself good to about 1e-15) and the 30-digit ``mp_reference_flux`` at M points spread
over the part of the transit where the planet is on the star.
"""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path

import _velmora
import numpy as np
from halfmoon import _engine
from timing import median_seconds

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from oracle import mp_reference_flux, reference_flux, sky_theta

LAW = (0.4, 0.25)
IMPACT = 0.3
LINE_ANGLE = math.pi / 2 + 0.2


def transit(count: int) -> dict[str, np.ndarray | float]:
    x = np.linspace(-1.3, 1.3, count)
    y = np.full(count, IMPACT)
    return {
        "x": x,
        "y": y,
        "z": np.hypot(x, y),
        "angles": np.full(count, LINE_ANGLE),
        "crossing": float(np.searchsorted(x, 0.0)) - 0.5,
    }


def reference(curve: dict, p1: float, p2: float, indices: np.ndarray, digits30: bool) -> np.ndarray:
    out = np.empty(len(indices))
    for k, i in enumerate(indices):
        theta = sky_theta(curve["x"][i], curve["y"][i], curve["angles"][i])
        if digits30:
            out[k] = float(mp_reference_flux("quadratic", LAW, curve["z"][i], p1, p2, theta))
        else:
            out[k] = reference_flux("quadratic", LAW, curve["z"][i], p1, p2, theta)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1000)
    parser.add_argument("--mp-points", type=int, default=12)
    args = parser.parse_args()

    curve = transit(args.points)
    z, y, angles, crossing = curve["z"], curve["y"], curve["angles"], curve["crossing"]
    in_transit = int(np.count_nonzero(z < 1.12))
    print(
        f"transit: {args.points} points ({in_transit} with z < 1.12), impact {IMPACT}, "
        f"quadratic law {LAW}"
    )
    print("(the double-precision reference is itself off by up to about 1.3e-15 near the limb)")

    for p1, p2 in ((0.1, 0.12), (0.1, 0.1)):
        methods = {
            "engine": lambda p1=p1, p2=p2: _engine.transit(
                "quadratic",
                [[list(LAW)]],
                [[p1]],
                [[p2]],
                z[None],
                curve["x"][None],
                y[None],
                angles[None],
            )[0, 0],
            "_velmora step 1e-2": lambda p1=p1, p2=p2: _velmora._velmora(
                z, p1, *LAW, 1e-2, 0, angles, y, crossing, p2, 1
            ),
            "_velmora step 1e-3": lambda p1=p1, p2=p2: _velmora._velmora(
                z, p1, *LAW, 1e-3, 0, angles, y, crossing, p2, 1
            ),
        }
        every = np.arange(args.points)
        # The 30-digit points are spread evenly over the points where the planet is on the star.
        on_star = np.flatnonzero(z < 1.12)
        some = on_star[np.linspace(0, len(on_star) - 1, args.mp_points).round().astype(int)]
        ref_float = reference(curve, p1, p2, every, digits30=False)
        ref_mp = reference(curve, p1, p2, some, digits30=True)

        print(f"\nradii {p1} and {p2}")
        print(
            f"  {'method':20s} {'ms/curve':>9s} {'max err (double ref)':>21s} "
            f"{'max err (30-digit ref, ' + str(len(some)) + ' pts)':>32s}"
        )
        timings = {}
        for name, function in methods.items():
            timings[name] = 1e3 * median_seconds(function, runs=15 if "1e-3" not in name else 5)
            flux = function()
            err_float = np.max(np.abs(flux - ref_float))
            err_mp = np.max(np.abs(flux[some] - ref_mp))
            print(f"  {name:20s} {timings[name]:9.3f} {err_float:21.2e} {err_mp:32.2e}")
        for name in ("_velmora step 1e-2", "_velmora step 1e-3"):
            print(f"  speed-up of the engine over {name}: {timings[name] / timings['engine']:.1f}x")


if __name__ == "__main__":
    main()
