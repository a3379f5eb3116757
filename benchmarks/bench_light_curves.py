"""Speed and accuracy of the annulus integration on a realistic transit.

Run: python benchmarks/bench_light_curves.py

A planet of radii 0.1 (first half) and 0.12 (second half) crosses the star at impact parameter
0.3, its dividing line a quarter turn plus 0.2 rad from the direction of motion; 1000 points span
the transit. For each law, for one and for two halves and for step factors 1e-2, 1e-3 and 1e-4
the script prints the median time per light curve, the annuli per in-transit point, the time per
annulus and the largest flux error against an independent high-accuracy integral (quadrature of
the intensity times the arc of each circle inside the planet). It then prints the step factor
needed for a largest error of 1 ppm, the share of the time per annulus spent outside the overlap
areas, and the speed of the prepared per-point planet against fresh area() calls.
"""

from __future__ import annotations

import math
import pathlib
import sys

import _orvinth
import _tessaly
import _velmora
import numpy as np
from timing import median_seconds

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
import oracle
from halfmoon import _geometry, _testing

P1, P2, IMPACT, N_POINTS = 0.1, 0.12, 0.3, 1000
LAWS = {
    "quadratic": (_velmora._velmora, (0.4, 0.25)),
    "nonlinear": (_tessaly._tessaly, (0.6, -0.3, 0.7, -0.3)),
    "exponential": (_orvinth._orvinth, (0.4, 0.05)),
}


def transit() -> dict[str, np.ndarray | float]:
    x = np.linspace(-1.25, 1.25, N_POINTS)
    y = np.full(N_POINTS, -IMPACT)
    return {
        "x": x,
        "y": y,
        "z": np.hypot(x, y),
        "line": np.full(N_POINTS, math.pi / 2 + 0.2),
        "crossing": float(np.sum(x < 0)) - 0.5,
    }


def edges(z: float, step: float) -> list[float]:
    """The annulus edges the integration visits for one point (the last is r_out)."""
    r_in = max(min(z - P2, z - P1), 0.0)
    r_out = min(max(z + P2, z + P1), 1.0)
    if r_in >= 1.0 or r_out - r_in < 1e-9:
        return []
    dr = step * math.acos(r_in)
    r = r_in + dr
    out = []
    while r_out > r:
        out.append(r)
        dr = step * math.acos(r)
        r = r + dr
    out.append(r_out)
    return out


def main() -> None:
    t = transit()
    z, y, line, crossing, x = t["z"], t["y"], t["line"], t["crossing"], t["x"]
    in_transit = z - P2 < 1.0

    def run(law: str, step: float, both: int) -> np.ndarray:
        function, c = LAWS[law]
        return function(z, P1, *c, step, 0, line, y, crossing, P2, both)

    references = {}
    for law, (_, c) in LAWS.items():
        theta = [oracle.sky_theta(x[i], y[i], line[i]) for i in range(N_POINTS)]
        references[law, 1] = np.array(
            [oracle.reference_flux(law, c, z[i], P1, P2, theta[i]) for i in range(N_POINTS)]
        )
        references[law, 0] = np.array(
            [oracle.reference_flux(law, c, z[i], P1, 0.0, theta[i]) for i in range(N_POINTS)]
        )

    print(
        f"transit: radii {P1}/{P2}, impact {IMPACT}, {N_POINTS} points, "
        f"{int(in_transit.sum())} in transit"
    )
    print(
        f"{'law':12s} {'halves':>6s} {'step':>7s} {'ms/curve':>9s} {'annuli/pt':>10s} "
        f"{'ns/annulus':>11s} {'max error':>10s}"
    )
    for law in LAWS:
        for both in (0, 1):
            for step in (1e-2, 1e-3, 1e-4):
                seconds = median_seconds(
                    lambda law=law, step=step, both=both: run(law, step, both),
                    runs=5 if step > 1e-4 else 3,
                )
                annuli = sum(len(edges(zi, step)) for zi in z[in_transit])
                error = np.max(np.abs(run(law, step, both) - references[law, both]))
                print(
                    f"{law:12s} {both + 1:6d} {step:7.0e} {seconds * 1e3:9.3f} "
                    f"{annuli / in_transit.sum():10.1f} {seconds / annuli * 1e9:11.1f} "
                    f"{error:10.2e}"
                )

    print("\nlargest step factor with a largest error below 1 ppm (two halves):")
    candidates = [3e-2, 2e-2, 1.5e-2, 1e-2, 7e-3, 5e-3, 3e-3, 2e-3, 1e-3, 5e-4, 2e-4, 1e-4]
    for law in LAWS:
        found = next(
            (s for s in candidates if np.max(np.abs(run(law, s, 1) - references[law, 1])) < 1e-6),
            None,
        )
        print(f"  {law:12s} {found if found is not None else 'none down to 1e-4'}")

    print("\ncost split per annulus (quadratic, two halves, step 1e-3):")
    step = 1e-3
    total = median_seconds(lambda: run("quadratic", step, 1), runs=7)
    per_point = [(zi, np.array(edges(zi, step))) for zi in z[in_transit]]
    thetas = [
        float(_geometry.line_theta(i, line[i], z[i], y[i], crossing))
        for i in range(N_POINTS)
        if in_transit[i]
    ]
    empty = np.array([], dtype=np.float64)

    def areas_only() -> None:
        for (zi, radii), th in zip(per_point, thetas):
            _geometry.planet_area(zi, radii, P1, P2, th, True)

    def call_overhead() -> None:
        for (zi, _), th in zip(per_point, thetas):
            _geometry.planet_area(zi, empty, P1, P2, th, True)

    area_seconds = median_seconds(areas_only, runs=7) - median_seconds(call_overhead, runs=7)
    annuli = sum(len(r) for _, r in per_point)
    own = total - area_seconds
    print(
        f"  whole annulus {total / annuli * 1e9:.1f} ns, overlap areas "
        f"{area_seconds / annuli * 1e9:.1f} ns, loop's own cost {own / annuli * 1e9:.1f} ns "
        f"({own / total * 100:.0f}% of the annulus)"
    )

    print("\nprepared planet against fresh area() calls (two halves, step 1e-3):")
    for law, (_, c) in LAWS.items():
        args = (law, list(c), z, line, y, P1, P2, step, crossing, True)
        fast = median_seconds(lambda args=args: _testing.light_curve(*args, False), runs=7)
        plain = median_seconds(lambda args=args: _testing.light_curve(*args, True), runs=7)
        print(
            f"  {law:12s} prepared {fast * 1e3:.2f} ms, fresh {plain * 1e3:.2f} ms, "
            f"speed-up {plain / fast:.2f}x"
        )


if __name__ == "__main__":
    main()
