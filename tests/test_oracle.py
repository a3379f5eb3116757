"""Validation of the reference oracle against independent constructions.

The oracle integrates over circles about the star's centre. The checks here use other routes:
dense sampling of circles, polygon clipping with inscribed/circumscribed polygons (a rigorous
bracket), integration in polar coordinates about the planet's centre, textbook lens and
centred-planet closed forms, and symmetries of the geometry.
"""

from __future__ import annotations

import math
import random
from collections.abc import Callable

import mpmath
import numpy as np
import oracle
import pytest
from scipy import integrate
from shapely.geometry import Polygon

PI = math.pi


# --------------------------------------------------------------------------------------
# Independent constructions
# --------------------------------------------------------------------------------------


def lens_area(z: float, r: float, p: float) -> float:
    """Textbook area of the intersection of two discs (radii r, p, centres z apart)."""
    if z >= r + p:
        return 0.0
    if z <= abs(r - p):
        return PI * min(r, p) ** 2
    k0 = math.acos((z * z + p * p - r * r) / (2 * z * p))
    k1 = math.acos((z * z + r * r - p * p) / (2 * z * r))
    k2 = math.sqrt((-z + r + p) * (z + r - p) * (z - r + p) * (z + r + p))
    return p * p * k0 + r * r * k1 - 0.5 * k2


def _ray_points(z: float, r: float, p: float) -> list[float]:
    """Directions about P where the chord of the r-circle along a ray changes form."""
    pts = [PI / 2, -PI / 2]
    if z > 0 and p > 0:
        cos_rim = (r * r - z * z - p * p) / (2 * z * p)
        if abs(cos_rim) <= 1:
            pts += [math.acos(cos_rim), -math.acos(cos_rim)]
    if z > r:
        pts += [PI - math.asin(r / z), PI + math.asin(r / z)]
    return pts


def _in_window(points: list[float], start: float) -> list[float]:
    """Points reduced into the open window (start, start + pi)."""
    out = set()
    for x in points:
        y = start + (x - start) % (2 * PI)
        if start < y < start + PI:
            out.add(y)
    return sorted(out)


def _chord(z: float, r: float, c: float, s: float) -> tuple[float, float] | None:
    """Distances from P along direction (c, s) where the ray enters and leaves |X| <= r."""
    disc = (r - z * abs(s)) * (r + z * abs(s))
    if disc < 0:
        return None
    d = math.sqrt(disc)
    return -z * c - d, -z * c + d


def area_about_planet(z: float, r: float, p: float, theta: float, side: int) -> float:
    """Half-disc area inside the r-disc, integrated over directions from the planet's centre.

    Along the ray from P at angle psi the covered distances are [0, p] intersected with the
    chord of the r-circle; the half-disc covers psi in [theta, theta + pi] (side +1) or the
    opposite half-turn.
    """
    start = theta if side == 1 else theta + PI

    def covered(psi: float) -> float:
        chord = _chord(z, r, math.cos(psi), math.sin(psi))
        if chord is None:
            return 0.0
        lo, hi = max(0.0, chord[0]), min(p, chord[1])
        return 0.5 * (hi * hi - lo * lo) if hi > lo else 0.0

    pts = _in_window(_ray_points(z, r, p), start)
    value, err = integrate.quad(
        covered, start, start + PI, points=pts or None, epsabs=1e-15, epsrel=1e-13, limit=400
    )
    assert err < 1e-13
    return value


def blocked_about_planet(
    intensity: Callable[[float], float], z: float, p: float, theta: float, side: int
) -> float:
    """Blocked flux of one half-disc as a double integral in polar coordinates about P.

    Along each ray the covered distances run from lo to hi; s = lo + (hi - lo)(1 - cos t)/2
    removes the 1/mu growth of limb-singular laws at either end, and mu is taken from the
    factorised form 1 - |X|^2 = (s+ - s)(s - s-).
    """
    start = theta if side == 1 else theta + PI

    def along_ray(psi: float) -> float:
        chord = _chord(z, 1.0, math.cos(psi), math.sin(psi))
        if chord is None:
            return 0.0
        s_minus, s_plus = chord
        lo, hi = max(0.0, s_minus), min(p, s_plus)
        if not hi > lo:
            return 0.0
        half = 0.5 * (hi - lo)

        def f(t: float) -> float:
            rise = 2.0 * half * math.sin(0.5 * t) ** 2  # s - lo
            fall = 2.0 * half * math.cos(0.5 * t) ** 2  # hi - s
            mu = math.sqrt(((s_plus - hi) + fall) * ((lo - s_minus) + rise))
            return intensity(mu) * (lo + rise) * half * math.sin(t)

        value, _ = integrate.quad(f, 0.0, PI, epsabs=1e-15, epsrel=1e-13, limit=200)
        return value

    pts = _in_window(_ray_points(z, 1.0, p), start)
    value, err = integrate.quad(
        along_ray, start, start + PI, points=pts or None, epsabs=1e-14, epsrel=1e-12, limit=400
    )
    assert err < 1e-12
    return value


# Intensity laws written out from their definitions, as functions of mu (1 - e^mu is
# written -expm1(mu) so that it does not cancel at the limb).
LAWS: dict[str, tuple[tuple[float, ...], Callable[..., float]]] = {
    "uniform": ((), lambda mu: 1.0),
    "linear": ((0.6,), lambda mu, c1=0.6: 1 - c1 * (1 - mu)),
    "quadratic": ((0.4, 0.25), lambda mu: 1 - 0.4 * (1 - mu) - 0.25 * (1 - mu) ** 2),
    "nonlinear": (
        (0.6, -0.3, 0.7, -0.3),
        lambda mu: (
            1 - 0.6 * (1 - mu**0.5) - (-0.3) * (1 - mu) - 0.7 * (1 - mu**1.5) - (-0.3) * (1 - mu**2)
        ),
    ),
    "exponential": ((0.4, 0.05), lambda mu: 1 - 0.4 * (1 - mu) - 0.05 / -math.expm1(mu)),
}


def polygon_disc(cx: float, cy: float, radius: float, n: int, outer: bool) -> Polygon:
    """Regular n-gon inscribed in (outer=False) or circumscribed about the circle."""
    rad = radius / math.cos(PI / n) if outer else radius
    ang = np.linspace(0.0, 2 * PI, n, endpoint=False)
    return Polygon(np.column_stack([cx + rad * np.cos(ang), cy + rad * np.sin(ang)]))


def polygon_half_plane(cx: float, cy: float, direction: float, side: int) -> Polygon:
    """Large square covering the side of the line through (cx, cy) along ``direction``."""
    d = np.array([math.cos(direction), math.sin(direction)])
    n = side * np.array([-d[1], d[0]])
    c = np.array([cx, cy])
    big = 10.0
    return Polygon([c + big * d, c + big * d + big * n, c - big * d + big * n, c - big * d])


def clipped_bracket(
    star: tuple[float, float, float],
    planet: tuple[float, float, float],
    direction: float,
    side: int,
    n: int,
) -> tuple[float, float]:
    """Lower and upper bounds of the half-disc/disc overlap from inscribed/circumscribed n-gons."""
    bounds = []
    for outer in (False, True):
        disc = polygon_disc(*star, n, outer)
        half = polygon_disc(*planet, n, outer).intersection(
            polygon_half_plane(planet[0], planet[1], direction, side)
        )
        bounds.append(disc.intersection(half).area)
    return bounds[0], bounds[1]


def inscribed_deficit(radius: float, n: int) -> float:
    """Area a regular inscribed n-gon misses.

    pi R^2 (1 - sin(2pi/n) / (2pi/n)), at most (2 pi^3 / 3) R^2 / n^2.
    """
    x = 2 * PI / n
    return PI * radius**2 * (1 - math.sin(x) / x)


# --------------------------------------------------------------------------------------
# Random configurations by kind
# --------------------------------------------------------------------------------------


def make_config(kind: str, rng: random.Random) -> tuple[float, float, float, float, int]:
    """(z, r, p, theta, side) of the requested kind."""
    side = rng.choice((1, -1))
    theta = rng.uniform(-PI, PI)
    if kind == "circle_in_half":
        p = rng.uniform(0.2, 0.5)
        # S strictly on the chosen side: side * sin(theta) > 0.
        theta = side * rng.uniform(0.4, PI - 0.4)
        z = rng.uniform(0.2, 0.5) * p
        r = 0.9 * min(p - z, abs(z * math.sin(theta)))
        return z, r, p, theta, side
    if kind == "half_in_circle":
        r = rng.uniform(0.5, 1.0)
        p = rng.uniform(0.05, 0.2)
        return rng.uniform(0.0, r - p - 0.01), r, p, theta, side
    if kind == "disjoint":
        r, p = rng.uniform(0.1, 1.0), rng.uniform(0.05, 0.3)
        return r + p + rng.uniform(0.001, 0.3), r, p, theta, side
    if kind == "partial":
        r, p = rng.uniform(0.05, 1.0), rng.uniform(0.02, 0.5)
        return rng.uniform(abs(r - p), r + p), r, p, theta, side
    if kind == "centred":
        return 0.0, rng.uniform(0.05, 1.0), rng.uniform(0.02, 0.5), theta, side
    return rng.uniform(0, 1.3), rng.uniform(0.01, 1.0), rng.uniform(0.0, 0.5), theta, side


KINDS = ("circle_in_half", "half_in_circle", "disjoint", "partial", "centred", "any")


# --------------------------------------------------------------------------------------
# arc_inside
# --------------------------------------------------------------------------------------


def sampled_arc(rho: float, z: float, p: float, theta: float, side: int, m: int) -> float:
    """Arc measure from m equally spaced points of the circle tested against the definition."""
    phi = (np.arange(m) + 0.5) * (2 * PI / m)
    x, y = rho * np.cos(phi) - z, rho * np.sin(phi)
    inside = (x * x + y * y <= p * p) & (side * (-x * math.sin(theta) + y * math.cos(theta)) >= 0)
    return 2 * PI * np.count_nonzero(inside) / m


def test_arc_matches_dense_sampling() -> None:
    # With m samples each of the at most four boundary points can misplace one sample.
    rng = random.Random(11)
    m = 100_000
    for _ in range(150):
        z, _r, p, theta, side = make_config(rng.choice(KINDS), rng)
        rho = rng.uniform(max(0.0, z - p - 0.05), z + p + 0.05)
        got = oracle.arc_inside(rho, z, p, theta, side)
        assert 0.0 <= got <= 2 * PI
        assert got == pytest.approx(sampled_arc(rho, z, p, theta, side, m), abs=4 * 2 * PI / m)


@pytest.mark.parametrize(
    ("rho", "z", "p", "theta", "side", "expected"),
    [
        (0.0, 0.05, 0.1, 0.8, 1, 2 * PI),  # S inside half 1
        (0.0, 0.05, 0.1, 0.8, -1, 0.0),  # S inside the planet but on the other side
        (0.0, 0.2, 0.1, 0.8, 1, 0.0),  # S outside the planet
        (0.0, 0.05, 0.1, 0.0, -1, 2 * PI),  # S on the line belongs to both closed halves
        (0.03, 0.05, 0.1, 0.8, 1, 2 * PI),  # whole circle inside half 1
        (0.03, 0.05, 0.1, 0.8, -1, 0.0),
        (0.07, 0.0, 0.1, 1.3, 1, PI),  # centred planet: half of any inner circle
        (0.07, 0.0, 0.1, 1.3, -1, PI),
        (0.1, 0.0, 0.1, 1.3, 1, PI),  # circle on the rim
        (0.11, 0.0, 0.1, 1.3, 1, 0.0),
        (0.8, 0.5, 0.3, 0.4, 1, 0.0),  # external tangency at the far rim point
        (0.2, 0.5, 0.3, 0.4, 1, 0.0),  # tangency at the near rim point
        (0.3, 0.5, 0.1, 0.0, 1, 0.0),  # disjoint
        (0.5, 0.5, 0.0, 0.3, 1, 0.0),  # zero radius
    ],
)
def test_arc_special_configurations(
    rho: float, z: float, p: float, theta: float, side: int, expected: float
) -> None:
    assert oracle.arc_inside(rho, z, p, theta, side) == pytest.approx(expected, abs=1e-14)


@pytest.mark.parametrize("seed", range(4))
def test_arc_symmetries(seed: int) -> None:
    rng = random.Random(seed)
    for _ in range(50):
        z, _r, p, theta, side = make_config(rng.choice(KINDS), rng)
        rho = rng.uniform(max(0.0, z - p), z + p)
        arc = oracle.arc_inside(rho, z, p, theta, side)
        # Reflection in the line of centres: (theta, side) -> (-theta, -side).
        assert oracle.arc_inside(rho, z, p, -theta, -side) == pytest.approx(arc, abs=1e-13)
        # Turning the line by a half turn swaps the halves.
        assert oracle.arc_inside(rho, z, p, theta + PI, -side) == pytest.approx(arc, abs=1e-13)
        # Both halves together: the rim arc 2 acos((rho^2 + z^2 - p^2) / (2 rho z)).
        both = oracle.arc_inside_planet(rho, z, p, p, theta)
        cos_a = (rho * rho + z * z - p * p) / (2 * rho * z) if rho * z > 0 else -1.0
        assert both == pytest.approx(2 * math.acos(min(1.0, max(-1.0, cos_a))), abs=1e-7)


def test_arc_tangent_to_line() -> None:
    # The line at distance h = z sin(theta) from S touches the circle of radius h: the whole
    # circle lies on S's side, and just beyond, the side arc is pi + 2 asin(h / rho).
    z, theta, p = 0.4, 0.5, 1.0
    h = z * math.sin(theta)
    assert oracle.arc_inside(h, z, p, theta, 1) == pytest.approx(2 * PI, abs=1e-14)
    assert oracle.arc_inside(h, z, p, theta, -1) == pytest.approx(0.0, abs=1e-14)
    rho = h * 1.5
    assert oracle.arc_inside(rho, z, p, theta, 1) == pytest.approx(
        PI + 2 * math.asin(h / rho), abs=1e-14
    )


def test_side_must_be_a_sign() -> None:
    with pytest.raises(ValueError, match="side"):
        oracle.arc_inside(0.1, 0.2, 0.1, 0.0, 0)


# --------------------------------------------------------------------------------------
# Areas
# --------------------------------------------------------------------------------------

L_ON_RIM = 0.0150406277818


@pytest.mark.parametrize(
    ("z", "r", "p", "theta", "expected"),
    [
        (0.5, 0.5, 0.1, 0.0, 0.00752031389089),
        (0.5, 0.5, 0.1, 0.5, 0.0100203138909),
        (0.5, 0.5, 0.1, -0.5, 0.00502031389089),
        (0.5, 0.5, 0.1, 1.0, 0.0125203138909),
        (0.5, 0.5, 0.1, -1.0, 0.00252031389089),
        (0.5, 0.5, 0.1, 1.5, 0.0149815470905),
        (0.5, 0.5, 0.1, -1.5, 5.90806912407e-05),
        (0.5, 0.45, 0.1, 0.0, 0.00284853324913),
        (0.5, 0.45, 0.1, PI / 2, 0.00569706649826),
        (0.5, 0.45, 0.1, -PI / 2, 0.0),
        (0.08, 0.1, 0.1, 1.0, 0.0126533495491),
        (0.5, 0.55, 0.1, -1.5, 0.00914312555335),
        (0.05, 0.03, 0.1, 0.8, PI * 0.03**2),
        (0.05, 0.03, 0.1, -0.8, 0.0),
        (0.4, 0.6, 0.1, 0.0, PI * 0.1**2 / 2),
        (0.4, 0.6, 0.1, 1.2, PI * 0.1**2 / 2),
        (0.4, 0.6, 0.1, -2.9, PI * 0.1**2 / 2),
        (0.0, 0.1, 0.1, 0.7, 0.0157079632679),
        (0.0, 0.05, 0.1, -0.3, 0.00392699081699),
        (0.5, 0.3, 0.1, 0.9, 0.0),
    ],
)
def test_area_reference_values(z: float, r: float, p: float, theta: float, expected: float) -> None:
    got = oracle.half_disc_area(z, r, p, theta)
    assert got == pytest.approx(expected, rel=1e-11, abs=1e-16)


@pytest.mark.parametrize("theta", [0.0, 0.5, 1.0, 1.5])
def test_area_pairs_sum_to_lens_on_rim(theta: float) -> None:
    pair = oracle.half_disc_area(0.5, 0.5, 0.1, theta) + oracle.half_disc_area(
        0.5, 0.5, 0.1, -theta
    )
    assert pair == pytest.approx(L_ON_RIM, rel=1e-11)
    assert lens_area(0.5, 0.5, 0.1) == pytest.approx(L_ON_RIM, rel=1e-11)


@pytest.mark.parametrize("kind", KINDS)
def test_area_within_polygon_bracket(kind: str) -> None:
    """Inscribed polygons lie inside the figures and circumscribed ones contain them.

    So clipping inscribed polygons gives a lower bound and circumscribed ones an upper bound.
    The lower bound misses at most the two inscribed deficits,
    pi R^2 (1 - sin(2pi/N)/(2pi/N)) <= (2 pi^3 / 3) R^2 / N^2 each: about 1.9e-8 (r^2 + p^2)
    for N = 2^15 vertices.
    """
    n = 2**15
    rng = random.Random(KINDS.index(kind))
    for _ in range(4):
        z, r, p, theta, side = make_config(kind, rng)
        got = oracle.half_disc_area(z, r, p, theta, side)
        lower, upper = clipped_bracket((0.0, 0.0, r), (z, 0.0, p), theta, side, n)
        assert lower - 1e-14 <= got <= upper + 1e-14
        assert got - lower <= inscribed_deficit(r, n) + inscribed_deficit(p, n) + 1e-14


@pytest.mark.parametrize("kind", KINDS)
def test_area_matches_integration_about_planet(kind: str) -> None:
    rng = random.Random(100 + len(kind))
    for _ in range(12):
        z, r, p, theta, side = make_config(kind, rng)
        expected = area_about_planet(z, r, p, theta, side)
        assert oracle.half_disc_area(z, r, p, theta, side) == pytest.approx(expected, abs=1e-14)


@pytest.mark.parametrize("seed", range(3))
def test_area_symmetries_and_lens(seed: int) -> None:
    rng = random.Random(50 + seed)
    for _ in range(10):
        z, r, p, theta, side = make_config(rng.choice(KINDS), rng)
        area = oracle.half_disc_area(z, r, p, theta, side)
        # Reflection in the line of centres, and the half turn of the line.
        assert oracle.half_disc_area(z, r, p, -theta, -side) == pytest.approx(area, abs=1e-14)
        assert oracle.half_disc_area(z, r, p, theta + PI, -side) == pytest.approx(area, abs=1e-14)
        # Equal radii: the halves make up the textbook lens.
        lens = lens_area(z, r, p)
        assert oracle.planet_area(z, r, p, p, theta) == pytest.approx(lens, abs=2e-14)
        # The core's composition rule: half 2 at theta is half 1 at -theta.
        p2 = rng.uniform(0.0, 0.5)
        assert oracle.planet_area(z, r, p, p2, theta) == pytest.approx(
            oracle.half_disc_area(z, r, p, theta) + oracle.half_disc_area(z, r, p2, -theta),
            abs=1e-14,
        )
        # A line through S (theta = 0) splits the lens evenly.
        assert oracle.half_disc_area(z, r, p, 0.0, side) == pytest.approx(lens / 2, abs=1e-14)


def test_zero_radius_and_empty_band() -> None:
    assert oracle.half_disc_area(0.5, 0.5, 0.0, 0.3) == 0.0
    assert oracle.planet_area(0.5, 0.4, 0.0, 0.0, 0.3) == 0.0
    assert oracle.half_disc_area(1.2, 1.0, 0.1, 0.3) == 0.0


# --------------------------------------------------------------------------------------
# Sky frame
# --------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("x", "y", "line_angle"),
    [(0.3, 0.2, 0.9), (-0.3, 0.2, 0.9), (-0.25, -0.35, -2.2), (0.1, -0.4, 3.0), (0.0, 0.45, 0.2)],
)
def test_sky_theta_matches_clipping_in_sky(x: float, y: float, line_angle: float) -> None:
    # Build the two halves directly in the sky and clip them against the star circle.
    n, r, p1, p2 = 2**14, 0.4, 0.15, 0.08
    theta = oracle.sky_theta(x, y, line_angle)
    got = oracle.planet_area(math.hypot(x, y), r, p1, p2, theta)
    lo1, hi1 = clipped_bracket((0.0, 0.0, r), (x, y, p1), line_angle, 1, n)
    lo2, hi2 = clipped_bracket((0.0, 0.0, r), (x, y, p2), line_angle, -1, n)
    assert lo1 + lo2 - 1e-14 <= got <= hi1 + hi2 + 1e-14
    # The swapped assignment of the radii must be clearly different here.
    assert abs(oracle.planet_area(math.hypot(x, y), r, p2, p1, theta) - got) > 1e-4


# --------------------------------------------------------------------------------------
# Light curves
# --------------------------------------------------------------------------------------


@pytest.mark.parametrize("law", list(LAWS))
def test_norm_is_total_flux(law: str) -> None:
    coeffs, intensity = LAWS[law]
    # N = 2 pi * integral of mu I(mu) d mu, taken in q = sqrt(mu) where every law is smooth.
    total, _ = integrate.quad(lambda q: 4 * PI * q**3 * intensity(q * q), 0, 1, epsrel=1e-14)
    assert oracle.law_norm(law, coeffs) == pytest.approx(total, rel=1e-13)
    # A planet larger than the star and centred on it hides everything.
    assert oracle.reference_flux(law, coeffs, 0.0, 1.3, 1.1, 0.4) == pytest.approx(0.0, abs=1e-14)


def centred_quadratic_flux(c1: float, c2: float, p: float) -> float:
    """Flux with a disc of radius p <= 1 centred on the star, quadratic law.

    Blocked = 2 pi * integral over mu in [mu0, 1] of mu I(mu), mu0 = sqrt(1 - p^2):
    mu-part p^2/2, (1 - mu)-part 1/6 - mu0^2/2 + mu0^3/3,
    (1 - mu)^2-part 1/12 - mu0^2/2 + 2 mu0^3/3 - mu0^4/4.
    """
    m = math.sqrt(1 - p * p)
    lin = 1 / 6 - m**2 / 2 + m**3 / 3
    quad = 1 / 12 - m**2 / 2 + 2 * m**3 / 3 - m**4 / 4
    blocked = 2 * PI * (p * p / 2 - c1 * lin - c2 * quad)
    return 1 - blocked / (PI * (1 - c1 / 3 - c2 / 6))


@pytest.mark.parametrize("p", [0.05, 0.1, 0.3, 0.999, 1.0])
@pytest.mark.parametrize("theta", [0.0, 1.1])
def test_centred_planet_quadratic(p: float, theta: float) -> None:
    got = oracle.reference_flux("quadratic", (0.4, 0.25), 0.0, p, p, theta)
    assert got == pytest.approx(centred_quadratic_flux(0.4, 0.25, p), abs=1e-14)


@pytest.mark.parametrize("seed", range(3))
def test_uniform_flux_is_covered_area(seed: int) -> None:
    rng = random.Random(seed)
    for _ in range(5):
        z, theta = rng.uniform(0, 1.3), rng.uniform(-3, 3)
        p1, p2 = rng.uniform(0, 0.4), rng.uniform(0, 0.4)
        expected = 1 - oracle.planet_area(z, 1.0, p1, p2, theta) / PI
        assert oracle.reference_flux("uniform", (), z, p1, p2, theta) == pytest.approx(
            expected, abs=2e-15
        )


FLUX_CASES = [
    (0.3, 0.1, 0.12, 1.77),
    (0.95, 0.1, 0.12, -0.6),
    (1.05, 0.14, 0.08, 2.5),
    (0.0, 0.2, 0.1, 0.3),
]


@pytest.mark.parametrize("law", list(LAWS))
@pytest.mark.parametrize(("z", "p1", "p2", "theta"), FLUX_CASES)
def test_flux_matches_integration_about_planet(
    law: str, z: float, p1: float, p2: float, theta: float
) -> None:
    coeffs, intensity = LAWS[law]
    blocked = blocked_about_planet(intensity, z, p1, theta, 1) + blocked_about_planet(
        intensity, z, p2, theta, -1
    )
    expected = 1 - blocked / oracle.law_norm(law, coeffs)
    got = oracle.reference_flux(law, coeffs, z, p1, p2, theta)
    assert got == pytest.approx(expected, abs=1e-14)


@pytest.mark.parametrize("law", ["quadratic", "nonlinear", "exponential"])
def test_equal_halves_do_not_depend_on_the_line(law: str) -> None:
    coeffs, _ = LAWS[law]
    fluxes = [oracle.reference_flux(law, coeffs, 0.93, 0.1, 0.1, t) for t in (0.0, 0.7, -2.0, 3.1)]
    assert max(fluxes) - min(fluxes) < 1e-13
    assert fluxes[0] < 1 - 1e-3


def test_intensity_of_rho_or_mu_agree() -> None:
    _, of_mu = LAWS["quadratic"]
    args = (0.97, 0.1, 0.13, 0.4)
    by_mu = oracle.blocked_flux(of_mu, *args, of_mu=True)
    by_rho = oracle.blocked_flux(lambda rho: of_mu(math.sqrt(1 - rho * rho)), *args)
    assert by_rho == pytest.approx(by_mu, abs=1e-14)


def test_light_curve_convenience_and_law_checks() -> None:
    z = np.array([0.2, 0.6, 1.5])
    curve = oracle.reference_light_curve("linear", (0.6,), z, 0.1, 0.12, 0.5)
    assert curve.shape == (3,)
    assert curve[2] == 1.0
    assert curve[0] == oracle.reference_flux("linear", (0.6,), 0.2, 0.1, 0.12, 0.5)
    with pytest.raises(ValueError, match="coefficients"):
        oracle.reference_flux("quadratic", (0.4,), 0.2, 0.1, 0.1, 0.0)
    with pytest.raises(ValueError, match="unknown law"):
        oracle.law_norm("square-root", (0.1, 0.2))


# --------------------------------------------------------------------------------------
# 30-digit variants
# --------------------------------------------------------------------------------------

MP_CASES = [
    (0.5, 0.5, 0.1, 0.12, 1.0),
    (0.08, 0.1, 0.1, 0.1, 1.0),
    (0.93, 1.0, 0.1, 0.14, -2.2),
    (0.3, 0.7, 0.25, 0.05, 0.4),
]


@pytest.mark.parametrize(("z", "r", "p1", "p2", "theta"), MP_CASES)
def test_mp_area_agrees_with_double(z: float, r: float, p1: float, p2: float, theta: float) -> None:
    with mpmath.workdps(30):
        got = oracle.mp_planet_area(z, r, p1, p2, theta)
    assert float(got) == pytest.approx(oracle.planet_area(z, r, p1, p2, theta), abs=1e-15)
    assert float(oracle.mp_arc_inside_planet(0.5 * r, z, p1, p2, theta)) == pytest.approx(
        oracle.arc_inside_planet(0.5 * r, z, p1, p2, theta), abs=1e-14
    )


@pytest.mark.parametrize(("z", "r", "p"), [(0.5, 0.5, 0.1), (0.3, 0.25, 0.2), (0.1, 0.6, 0.3)])
def test_mp_area_exact_lens_halves(z: float, r: float, p: float) -> None:
    # With the line through S (theta = 0) each half holds exactly half of the lens.
    with mpmath.workdps(30):
        m = mpmath.mpf
        z, r, p = m(z), m(r), m(p)
        if z <= abs(r - p):
            lens = mpmath.pi * min(r, p) ** 2
        else:
            k0 = mpmath.acos((z * z + p * p - r * r) / (2 * z * p))
            k1 = mpmath.acos((z * z + r * r - p * p) / (2 * z * r))
            k2 = mpmath.sqrt((-z + r + p) * (z + r - p) * (z - r + p) * (z + r + p))
            lens = p * p * k0 + r * r * k1 - k2 / 2
        got = oracle.mp_half_disc_area(z, r, p, 0, -1)
        assert abs(got - lens / 2) < m(10) ** -26


@pytest.mark.parametrize("law", ["uniform", "linear", "quadratic"])
@pytest.mark.parametrize(("z", "p1", "p2", "theta"), FLUX_CASES[:2])
def test_mp_flux_agrees_with_double(law: str, z: float, p1: float, p2: float, theta: float) -> None:
    coeffs, _ = LAWS[law]
    with mpmath.workdps(30):
        got = oracle.mp_reference_flux(law, coeffs, z, p1, p2, theta)
    expected = oracle.reference_flux(law, coeffs, z, p1, p2, theta)
    assert float(got) == pytest.approx(expected, abs=1e-14)


def test_mp_flux_centred_closed_form() -> None:
    with mpmath.workdps(30):
        c1, c2, p = mpmath.mpf("0.4"), mpmath.mpf("0.25"), mpmath.mpf("0.1")
        m = mpmath.sqrt(1 - p * p)
        lin = mpmath.mpf(1) / 6 - m**2 / 2 + m**3 / 3
        quad = mpmath.mpf(1) / 12 - m**2 / 2 + 2 * m**3 / 3 - m**4 / 4
        expected = 1 - 2 * (p * p / 2 - c1 * lin - c2 * quad) / (1 - c1 / 3 - c2 / 6)
        got = oracle.mp_reference_flux("quadratic", (c1, c2), 0, p, p, mpmath.mpf("0.3"))
        assert abs(got - expected) < mpmath.mpf(10) ** -26
