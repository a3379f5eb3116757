"""Cost of one half-disc overlap area, per configuration family and for a transit's mix.

Run: python benchmarks/bench_geometry.py

`area` prepares everything from (z, r, p, theta) at every call (a sine, cosine and tangent and
the quantities that do not depend on r); the fast path prepares a planet once per light-curve
point and evaluates only the r-dependent part at each annulus edge. Both are timed over sweeps of
r for random (z, p, theta), grouped by the configuration that the classification picks, and over
the edges that a transit light curve walks through (radius 0.1, impact parameter 0.3, 1000
points, step factor 1e-3). Figures are medians of several runs, in ns per overlap area.
"""

from __future__ import annotations

import math
from collections import defaultdict

import numpy as np
from halfmoon import _geometry
from timing import median_seconds

FAMILIES = {
    "one crossing (1-4)": (1, 2, 3, 4),
    "circle side (5)": (5,),
    "lens-based (6, 7, 9)": (6, 7, 9),
    "constant (8, 10, 11, 12)": (8, 10, 11, 12),
}


def sweeps(
    count: int, per_sweep: int, seed: int = 1
) -> list[tuple[float, float, float, np.ndarray]]:
    """Random (z, p, theta), each with a sweep of star-circle radii through the planet."""
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(count):
        z = rng.uniform(0.0, 1.2)
        p = rng.uniform(0.02, 0.3)
        theta = rng.uniform(-math.pi / 2, math.pi / 2)
        lo, hi = max(z - p, 1e-4), min(z + p, 1.0)
        if hi <= lo:
            continue
        out.append((z, p, theta, np.linspace(lo, hi, per_sweep)))
    return out


def transit_walk(step: float = 1e-3) -> list[tuple[float, float, float, np.ndarray]]:
    """The annulus edges of a transit light curve, one group per in-transit point."""
    p, impact = 0.1, 0.3
    x = np.linspace(-1.15, 1.15, 1000)
    y = np.full_like(x, -impact)
    z = np.hypot(x, y)
    line = np.full_like(x, math.pi / 2 + 0.2)
    crossing = float(np.sum(x < 0)) - 0.5
    walk = []
    for i in range(len(x)):
        r_in, r_out = max(z[i] - p, 0.0), min(z[i] + p, 1.0)
        if r_in >= 1.0:
            continue
        edges, dr = [], step * math.acos(r_in)
        r = r_in + dr
        while r_out > r:
            edges.append(r)
            dr = step * math.acos(r)
            r += dr
        edges.append(r_out)
        theta = float(_geometry.line_theta(i, line[i], z[i], y[i], crossing))
        walk.append((float(z[i]), p, theta, np.array(edges)))
    return walk


def time_both(groups: list[tuple[float, float, float, np.ndarray]]) -> tuple[float, float]:
    """ns per overlap area for area() and for the prepared fast path over these groups."""
    z = np.concatenate([np.full(len(r), g[0]) for g in groups for r in [g[3]]])
    p = np.concatenate([np.full(len(g[3]), g[1]) for g in groups])
    theta = np.concatenate([np.full(len(g[3]), g[2]) for g in groups])
    r = np.concatenate([g[3] for g in groups])
    count = len(r)
    plain = median_seconds(lambda: _geometry.area(z, r, p, theta))
    empty = np.array([], dtype=np.float64)

    def fast() -> None:
        for zi, pi_, th, radii in groups:
            _geometry.planet_area(zi, radii, pi_, 0.0, th, False)

    def overhead() -> None:
        for zi, pi_, th, _ in groups:
            _geometry.planet_area(zi, empty, pi_, 0.0, th, False)

    prepared = median_seconds(fast) - median_seconds(overhead)
    return plain / count * 1e9, prepared / count * 1e9


def split_by_family(groups):
    by_family = defaultdict(list)
    for z, p, theta, radii in groups:
        configurations = _geometry.configuration(z, radii, p, theta)
        for family, members in FAMILIES.items():
            chosen = radii[np.isin(configurations, members)]
            if len(chosen):
                by_family[family].append((z, p, theta, chosen))
    return by_family


def main() -> None:
    print(f"{'sample':34s} {'areas':>9s} {'area() ns':>10s} {'fast ns':>8s} {'speed-up':>9s}")
    for family, groups in split_by_family(sweeps(400, 500)).items():
        plain, fast = time_both(groups)
        count = sum(len(g[3]) for g in groups)
        print(f"{family:34s} {count:9d} {plain:10.1f} {fast:8.1f} {plain / fast:8.2f}x")
    walk = transit_walk()
    plain, fast = time_both(walk)
    count = sum(len(g[3]) for g in walk)
    print(
        f"{'transit walk (all families)':34s} {count:9d} {plain:10.1f} {fast:8.1f} "
        f"{plain / fast:8.2f}x"
    )
    shares = defaultdict(int)
    for z, p, theta, radii in walk:
        for c in _geometry.configuration(z, radii, p, theta):
            shares[int(c)] += 1
    print(
        "configurations met in the transit walk:",
        {c: f"{n / count:.1%}" for c, n in sorted(shares.items())},
    )


if __name__ == "__main__":
    main()
