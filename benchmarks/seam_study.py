"""Accuracy at the special geometries: tolerance seams, nearly centred planets, e near 1e-5.

Run: python benchmarks/seam_study.py [scale]
`scale` (default 1) multiplies every sample size. The script prints, for the installed build:

1. overlap areas at constructed seams (the star circle within a few tolerances of touching the
   rim, of passing through an end of the diameter, of touching the dividing line; the line
   within the tolerance of 0 or a quarter turn; nearly centred planets) against exact geometry
   (the test oracle), per kind of seam;
2. light curves of a nearly centred planet (separations from 0 to 1e-2) against the oracle,
   for every law;
3. annulus edges placed on a seam: for random ingress, egress and mid-disc geometries a
   position at which an annulus edge lands on a seam radius is found by bisection, a fine scan
   of 4001 points is run across it, and the windows with a spike (a second difference above
   1e-7), the largest second difference and the error at the worst point against the oracle
   are reported;
4. long fine separation scans: the share of points whose second difference exceeds 1e-7;
5. the eclipse light curve's change as the radius crosses 0.499 and 0.501, and the orbit's
   mid-transit position and light curve for eccentricities just below 1e-5.

Everything runs on public functions, so the same script measures an older build as well.
"""

from __future__ import annotations

import collections
import math
import pathlib
import sys

import _eclipse
import _kestrin
import _orvinth
import _tessaly
import _velmora
import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
import oracle
from halfmoon import _geometry

LAWS = {
    "quadratic": (_velmora._velmora, (0.4, 0.25)),
    "nonlinear": (_tessaly._tessaly, (0.6, -0.3, 0.7, -0.3)),
    "exponential": (_orvinth._orvinth, (0.4, 0.05)),
}
FOLD_LIMIT = 1.5707963277948966
# A second difference above this along a fine scan is a spike. A smooth light curve bends by
# about f'' h^2 ~ 1e-18 over these spacings, but the overlap area at the outermost annulus
# edge carries a rounding error of up to ~2e-8 (the lens formula at internal tangency), which
# varies from point to point and leaves a jitter of a few 1e-9 in the flux.
SPIKE = 1e-7
SEAM_KINDS = (
    "around",
    "inside/outside",
    "diameter end",
    "line tangent",
    "theta 0",
    "theta pi/2",
    "lens band",
    "random",
)


def seam_cases(count: int, seed: int) -> list[tuple[str, float, float, float, float]]:
    """(kind, z, r, p, theta) with r or theta within a few tolerances of a seam.

    Separations are drawn from three ranges (below 1e-6, 1e-6 to 1e-3, 1e-3 to 1.3) and the
    offset from the seam from {0, 1e-16..1e-12, 0..3e-9, 1e-9..1e-6}, with either sign.
    """
    rng = np.random.default_rng(seed)
    cases = []
    for k in range(count):
        kind = SEAM_KINDS[k % len(SEAM_KINDS)]
        z = [10 ** rng.uniform(-12, -6), 10 ** rng.uniform(-6, -3), rng.uniform(1e-3, 1.3)][k % 3]
        p = rng.uniform(0.005, 0.5)
        theta = rng.uniform(-math.pi / 2, math.pi / 2)
        if rng.random() < 0.3:
            special = rng.choice([0.0, math.pi / 2, -math.pi / 2])
            theta = special + rng.choice([-1, 1]) * 10 ** rng.uniform(-12, -8)
        offset = rng.choice([-1, 1]) * rng.choice(
            [0.0, 10 ** rng.uniform(-16, -12), rng.uniform(0, 3e-9), 10 ** rng.uniform(-9, -6)]
        )
        c, s = math.cos(theta), math.sin(theta)
        ends = (math.hypot(z + p * c, p * s), math.hypot(z - p * c, p * s))
        if kind == "around":
            r = z + p + offset
        elif kind == "inside/outside":
            r = abs(z - p) + offset
        elif kind == "diameter end":
            r = ends[k % 2] + offset
        elif kind == "line tangent":
            r = abs(z * s) + offset
        elif kind == "theta 0":
            theta = rng.choice([-1, 1]) * rng.choice([0.0, 10 ** rng.uniform(-14, -8)])
            r = rng.choice([z + p + offset, abs(z - p) + offset, rng.uniform(0.01, 1.0)])
        elif kind == "theta pi/2":
            theta = rng.choice([-1, 1]) * (math.pi / 2 - rng.choice([-1, 1]) * rng.uniform(0, 1e-9))
            r = rng.choice([z + p + offset, abs(z - p) + offset, math.hypot(z, p) + offset])
        elif kind == "lens band":
            r = p + z * rng.uniform(-1.2, 1.2)
        else:
            r = rng.uniform(1e-3, 1.0)
        theta = max(-FOLD_LIMIT, min(FOLD_LIMIT, theta))
        if r > 0:
            cases.append((kind, z, r, p, theta))
    return cases


def study_areas(count: int) -> None:
    cases = seam_cases(count, seed=1)
    kinds = [c[0] for c in cases]
    z, r, p, theta = (np.array([c[i] for c in cases]) for i in range(1, 5))
    areas = _geometry.area(z, r, p, theta)
    configurations = _geometry.configuration(z, r, p, theta)
    exact = np.array([oracle.half_disc_area(*args) for args in zip(z, r, p, theta)])
    error = np.abs(areas - exact)
    print(f"1. overlap areas at constructed seams: {len(cases)} cases")
    print(f"   {'seam':16s} {'cases':>6s} {'>1e-9':>6s} {'>3e-8':>6s} {'worst':>9s}")
    for kind in SEAM_KINDS:
        mask = np.array([k == kind for k in kinds])
        e = error[mask]
        print(
            f"   {kind:16s} {mask.sum():6d} {int((e > 1e-9).sum()):6d} "
            f"{int((e > 3e-8).sum()):6d} {e.max():9.2e}"
        )
    bad = error > 3e-8
    print(
        f"   all: {int((error > 1e-9).sum())} off by more than 1e-9, {int(bad.sum())} by more "
        f"than 3e-8, worst {error.max():.2e}; configurations of those above 3e-8: "
        f"{dict(sorted(collections.Counter(configurations[bad].tolist()).items()))}"
    )


def study_centred(points_per_decade: int) -> None:
    z_values = np.concatenate([[0.0], np.logspace(-12, -2, 10 * points_per_decade + 1)])
    planets = [(0.49, 0.0), (0.2, 0.2), (0.1, 0.12), (0.3, 0.25)]
    lines = [1.702, -1.702, 0.3, math.radians(-97.0), math.pi / 2, 0.0]
    print(
        "\n2. nearly centred planet, step factor 1e-4: largest |flux - exact| over "
        f"{len(z_values)} separations in [0, 1e-2], {len(planets)} planets, {len(lines)} "
        "line angles, offsets 0 and 0.6 z"
    )
    print(f"   {'law':12s} {'z < 1e-9':>10s} {'1e-9..1e-6':>11s} {'1e-6..1e-2':>11s}")
    for law, (function, c) in LAWS.items():
        worst = np.zeros(3)
        for p, p2 in planets:
            for line in lines:
                for share in (0.0, 0.6):
                    y = share * z_values
                    flux = function(
                        z_values, p, *c, 1e-4, 0, np.full(len(z_values), line), y, -0.5, p2, 1
                    )
                    for zi, yi, fi in zip(z_values, y, flux):
                        x = math.sqrt(max(zi * zi - yi * yi, 0.0))
                        exact = oracle.reference_flux(
                            law, c, zi, p, p2, oracle.sky_theta(x, yi, line)
                        )
                        band = 0 if zi < 1e-9 else (1 if zi < 1e-6 else 2)
                        worst[band] = max(worst[band], abs(fi - exact))
        print(f"   {law:12s} {worst[0]:10.2e} {worst[1]:11.2e} {worst[2]:11.2e}")


def annulus_edges(z: float, p: float, p2: float, step: float) -> np.ndarray:
    """The annulus edges the integration visits for one point (without the last, r_out)."""
    r_in = max(min(z - p2, z - p), 0.0)
    r_out = min(max(z + p2, z + p), 1.0)
    dr = step * math.acos(r_in)
    r = r_in + dr
    edges = []
    while r_out > r:
        edges.append(r)
        dr = step * math.acos(r)
        r = r + dr
    return np.array(edges)


def seam_radii(z: float, theta: float, p: float) -> list[float]:
    c, s = math.cos(theta), math.sin(theta)
    return [
        z + p,
        abs(z - p),
        abs(z * s),
        math.hypot(z + p * c, p * s),
        math.hypot(z - p * c, p * s),
        z,
    ]


def seam_gaps(x: float, b: float, line: float, p: float, p2: float, step: float) -> np.ndarray:
    """Signed distances of every annulus edge from every seam radius, for the planet at (x, -b)."""
    z = math.hypot(x, b)
    theta = float(_geometry.line_theta(0, line, z, -b, 1.0))
    edges = annulus_edges(z, p, p2, step)
    radii = np.array(seam_radii(z, theta, p) + seam_radii(z, -theta, p2))
    return edges[:, None] - radii[None, :]


def edge_on_a_seam(
    x_centre: float, b: float, line: float, p: float, p2: float, step: float
) -> tuple[float, float]:
    """A position near x_centre at which an annulus edge lands on a seam radius, and the gap left.

    The gap between a given edge and a given seam radius changes continuously with the
    position; where it changes sign between two points of a coarse grid, bisection finds the
    crossing to rounding.
    """
    grid = x_centre + np.linspace(-2e-3, 2e-3, 401)
    gaps = [seam_gaps(x, b, line, p, p2, step) for x in grid]
    best = (math.inf, x_centre, x_centre, (0, 0))
    for k in range(len(grid) - 1):
        lo, hi = gaps[k], gaps[k + 1]
        if lo.shape != hi.shape:
            continue
        flips = np.argwhere(np.sign(lo) != np.sign(hi))
        for i, j in flips:
            size = min(abs(lo[i, j]), abs(hi[i, j]))
            if size < best[0]:
                best = (size, grid[k], grid[k + 1], (int(i), int(j)))
    _, left, right, (i, j) = best
    if not math.isfinite(best[0]):
        return x_centre, math.inf
    sign_left = np.sign(seam_gaps(left, b, line, p, p2, step)[i, j])
    for _ in range(60):
        middle = 0.5 * (left + right)
        gap = seam_gaps(middle, b, line, p, p2, step)
        if gap.shape[0] <= i:
            break
        if np.sign(gap[i, j]) == sign_left:
            left = middle
        else:
            right = middle
    x = 0.5 * (left + right)
    gap = seam_gaps(x, b, line, p, p2, step)
    return x, float(np.min(np.abs(gap)))


def study_edges_on_seams(windows: int) -> None:
    rng = np.random.default_rng(2)
    step = 3e-3
    print(
        f"\n3. annulus edges on a seam (step factor {step}): {windows} windows of 4001 points "
        "spaced 1e-11 across a position at which an annulus edge lands on a seam radius "
        "('closest': the largest edge-to-seam distance left at those positions)"
    )
    print(f"   {'law':12s} {'closest':>8s} {'spiky':>6s} {'max |d2|':>9s} {'worst error':>12s}")
    for law, (function, c) in LAWS.items():
        spiky, d2_max, closest_max, worst, done = 0, 0.0, 0.0, 0.0, 0
        while done < windows:
            p, p2 = rng.uniform(0.05, 0.3, 2)
            line, b = rng.uniform(-math.pi, math.pi), rng.uniform(0.0, 0.6)
            z_centre = rng.choice([1.0 + p2 * rng.uniform(-0.9, 0.9), rng.uniform(0.3, 0.9)])
            if z_centre <= b:
                continue
            x_centre = -math.sqrt(z_centre**2 - b * b)
            x_seam, gap = edge_on_a_seam(x_centre, b, line, p, p2, step)
            if not gap < 1e-12:
                continue  # no edge crosses a seam radius near this position
            done += 1
            closest_max = max(closest_max, gap)
            n = 4001
            x = x_seam + np.linspace(-2e-8, 2e-8, n)
            y = np.full(n, -b)
            z = np.hypot(x, y)
            flux = function(z, p, *c, step, 0, np.full(n, line), y, n + 0.5, p2, 1)
            d2 = np.abs(np.diff(flux, 2))
            d2_max = max(d2_max, float(d2.max()))
            if d2.max() > SPIKE:
                spiky += 1
            i = int(np.argmax(np.concatenate([[0.0], d2, [0.0]])))
            exact = oracle.reference_flux(law, c, z[i], p, p2, oracle.sky_theta(x[i], y[i], line))
            worst = max(worst, abs(flux[i] - exact))
        print(f"   {law:12s} {closest_max:8.1e} {spiky:6d} {d2_max:9.1e} {worst:12.2e}")


def study_long_scans(points: int) -> None:
    rng = np.random.default_rng(3)
    step = 3e-3
    print(
        f"\n4. long separation scans (step factor {step}, spacing 1e-9): {points} points per "
        f"law in runs of 200001; points whose second difference exceeds {SPIKE:.0e}, and the "
        "largest second difference"
    )
    for law, (function, c) in LAWS.items():
        hits, total, largest = 0, 0, 0.0
        while total < points:
            p, p2 = rng.uniform(0.05, 0.3, 2)
            line, b = rng.uniform(-math.pi, math.pi), rng.uniform(0.0, 0.5)
            x0 = -math.sqrt(max(rng.uniform(0.3, 1.2) ** 2 - b * b, 0.0))
            n = 200001
            x = x0 + 1e-9 * np.arange(n)
            y = np.full(n, -b)
            flux = function(np.hypot(x, y), p, *c, step, 0, np.full(n, line), y, n + 0.5, p2, 1)
            d2 = np.abs(np.diff(flux, 2))
            hits += int((d2 > SPIKE).sum())
            largest = max(largest, float(d2.max()))
            total += n
        print(f"   {law:12s} {hits} of {total} ({hits / total:.1e}), largest {largest:.1e}")


def study_eclipse_and_orbit() -> None:
    fp = 0.01
    z = np.linspace(0.45, 1.55, 2201)
    print(
        "\n5. eclipse: largest change of the light curve (flux ratio 0.01) as the radius "
        "moves by one unit in the last place"
    )
    for edge in (0.499, 0.501):
        below = _eclipse._eclipse(z, np.nextafter(edge, 0.0), fp, 0)
        above = _eclipse._eclipse(z, np.nextafter(edge, 1.0), fp, 0)
        print(f"   across {edge}: {np.abs(below - above).max():.2e}")
    a, inc, w, per, tc = 40.0, math.pi / 2, math.radians(10.0), 3.0, 0.5
    print("   orbit (a = 40, inclination 90 deg, omega = 10 deg): sky x at t_c")
    for e in (0.0, 5e-6, 9.999e-6, 1e-5):
        x = _kestrin._kestrin(np.array([tc]), tc, per, a, inc, e, w, 1, 0)[3]
        print(f"     e = {e:<9g} x = {x:+.2e}")
    t = tc + np.linspace(-0.05, 0.05, 2001)

    def transit(e: float) -> np.ndarray:
        out = _kestrin._kestrin(t, tc, per, a, inc, e, w, 1, 0).reshape(4, -1)
        crossing = float(np.sum(out[3] < 0)) - 0.5
        return _velmora._velmora(
            out[0], 0.1, 0.4, 0.25, 1e-3, 0, np.full(len(t), math.pi / 2), out[1], crossing, 0.1, 1
        )

    jump = np.abs(transit(9.999e-6) - transit(1e-5)).max()
    print(
        f"   light curve (radius 0.1, quadratic): largest change from e = 9.999e-6 to 1e-5: "
        f"{jump:.2e}"
    )


def main() -> None:
    scale = float(sys.argv[1]) if len(sys.argv) > 1 else 1.0
    study_areas(int(8000 * scale))
    study_centred(max(1, int(2 * scale)))
    study_edges_on_seams(max(1, int(40 * scale)))
    study_long_scans(int(400003 * scale))
    study_eclipse_and_orbit()


if __name__ == "__main__":
    main()
