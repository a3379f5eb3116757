"""The exact engine's fast routes for unequal radii, against 30-digit references.

The closed form takes a whole half-rim inside the star by Legendre's addition theorem: one
complete triple and a short end sigma'' (by Gauss-Legendre quadrature in sin psi when few nodes
do, by Carlson's integrals when not), with a sign of the excess Y that depends on which quarter
turn half the line angle lies in. Rim ends on the limb are complete integrals. The quadrature of
a law's remainder takes a whole half-rim inside the star as one panel of fixed nodes, its node
count from the nearest singularity (more than 24 hands it back to the graded pieces). The cases
below sit where each of these choices changes or is most delicate: line angles on both sides of
every quarter turn, the star's centre next to a rim end, planets about to touch the limb from
inside (where the node counts grow and the routes hand over), and rims crossing the limb.
"""

from __future__ import annotations

import math

import mpmath
import numpy as np
import pytest
import references
from halfmoon import _engine, _testing

QUADRATIC = (0.4, 0.25)
P1, P2 = 0.1, 0.12


def reference(law: str, c, z: float, theta: float, p1: float, p2: float) -> float:
    """The 30-digit reference (stored in tests/data, see tests/references.py)."""
    return references.mp_flux(law, list(c), z, p1, p2, theta)


def engine_flux(law: str, c, z: float, theta: float, p1: float, p2: float) -> float:
    rows = [np.array([[v]]) for v in (z, z, 0.0, theta)]
    return float(_engine.transit(law, [[list(c)]], [[p1]], [[p2]], *rows)[0, 0, 0])


# Half the reduced line angle on either side of a quarter turn (theta = pi), of none (theta =
# 0), and in between; a wrong sign of the excess or the wrong half taking the complete integral
# moves the flux by about the excess, 1e-4 here.
@pytest.mark.parametrize(
    "theta",
    [0.0, 1e-9, -1e-9, 0.7, math.pi / 2, 2.5, math.pi - 1e-9, math.pi, -math.pi + 1e-9, -2.0],
)
@pytest.mark.parametrize("z", [0.0, 0.05, 0.45, 0.8])
def test_whole_half_rims_inside_the_star(z: float, theta: float) -> None:
    got = 1.0 - _testing.halves(z, theta, P1, P2, *QUADRATIC)
    assert abs(got - reference("quadratic", QUADRATIC, z, theta, P1, P2)) < 2e-15


# The star's centre within 1e-11 of a junction of rim and line (z = p1, line through S): the
# swept angle and the elliptic part of each piece vary on that scale and must come from the
# same sin psi and cos psi. Closing the swept angle over the whole boundary (2 pi or 0) instead
# left errors of 1e-11 to 5e-10 here.
@pytest.mark.parametrize("offset", [-1e-11, 0.0, 1e-13, 1e-6])
@pytest.mark.parametrize("theta", [math.pi, math.pi + 5.7e-5, 1e-7])
def test_star_centre_next_to_a_junction(offset: float, theta: float) -> None:
    p1, p2 = 0.24, 0.03
    z = p1 * (1.0 + offset)
    got = 1.0 - _testing.halves(z, theta, p1, p2, *QUADRATIC)
    assert abs(got - reference("quadratic", QUADRATIC, z, theta, p1, p2)) < 5e-15


# Planets about to touch the limb from inside: sigma'' grows and the short ends need more nodes
# until Carlson's integrals take over; then a rim crossing the limb by a little (complete
# integrals at its limb ends).
@pytest.mark.parametrize("gap", [1e-2, 1e-4, 1e-13, -1e-13, -1e-4, -1e-2])
@pytest.mark.parametrize("radii", [(0.1, 0.12), (0.3, 0.05), (0.02, 0.29)])
def test_closed_form_next_to_the_limb(gap: float, radii: tuple[float, float]) -> None:
    p1, p2 = radii
    z = 1.0 - max(p1, p2) - gap
    for theta in (0.4, 2.9):
        got = 1.0 - _testing.halves(z, theta, p1, p2, *QUADRATIC)
        assert abs(got - reference("quadratic", QUADRATIC, z, theta, p1, p2)) < 1e-14


# The half-rim panel of the remainder's quadrature: its node count rises towards the limb and
# the graded pieces take over beyond 24 nodes; both laws' primitive kinds (analytic in mu, in
# sqrt(mu)).
@pytest.mark.parametrize(
    "law, c", [("nonlinear", (0.6, -0.3, 0.7, -0.3)), ("exponential", (0.4, 0.05))]
)
@pytest.mark.parametrize("gap", [0.5, 1e-2, 1e-3, 1e-5, 1e-9])
def test_half_rim_panels_of_the_remainder(law: str, c, gap: float) -> None:
    z = 1.0 - P2 - gap
    for theta in (0.3, -2.6):
        got = engine_flux(law, c, z, theta, P1, P2)
        assert abs(got - reference(law, c, z, theta, P1, P2)) < 1e-12


def test_the_fast_routes_agree_across_a_light_curve() -> None:
    """A whole transit at impact 0.3: every point within 1e-12 of the reference for the laws
    whose quadrature the panels changed, and the curve smooth (no jump where a route hands
    over to another: second differences stay at the size of the curve's own curvature)."""
    x = np.linspace(-1.08, 1.08, 401)
    z = np.hypot(x, 0.3)
    # The frame P = (z, 0): the line angle is the angle from the star-to-planet direction.
    theta = np.full_like(z, math.pi / 2 + 0.2)
    rows = [np.atleast_2d(a) for a in (z, z, np.zeros_like(z), theta)]
    flux = _engine.transit("square_root", [[[0.3, 0.4]]], [[P1]], [[P2]], *rows)[0, 0]
    inside = z < 1.0 - P2 - 0.02
    second = np.abs(np.diff(flux[inside], 2))
    assert np.max(second) < 1e-5
    for i in (0, 60, 130, 200, 290, 370):
        ref = reference("square_root", (0.3, 0.4), z[i], theta[i], P1, P2)
        assert abs(flux[i] - ref) < 1e-12


@pytest.mark.parametrize(
    "resolution, fewest", [(14.0, 4), (12.0, 4), (16.0, 6), (40.0, 32), (8.0, 10)]
)
def test_node_counts_by_thresholds(resolution: float, fewest: int) -> None:
    """A tabulated profile's cells take their node counts from thresholds on distance / width
    instead of the logarithm of the Bernstein ellipse: the same count at every ratio but
    within rounding of a threshold, and the default rule's compile-time table the same as
    one worked out at run time."""
    rng = np.random.default_rng(11)
    ratios = np.concatenate([10.0 ** rng.uniform(-4.0, 6.0, 3000), [0.0, math.inf, math.nan]])
    for ratio in ratios:
        width = float(10.0 ** rng.uniform(-9.0, 0.0))
        from_log, by_thresholds, compiled = _testing.node_counts(
            float(ratio) * width, width, resolution, fewest
        )
        assert by_thresholds == from_log
        if resolution == 14.0 and fewest == 4:
            assert compiled == from_log


def sky_point(z: float, phi: float, line: float) -> list[np.ndarray]:
    return [np.array([[v]]) for v in (z, z * math.cos(phi), z * math.sin(phi), line)]


# theta' = line - phi reduced to [0, 2 pi): on both sides of 0, of a quarter turn, of a half turn
# (where the half-angle formulas swap which root they take) and of three quarters; planets
# inside the star and crossing the limb; large sky angles.
@pytest.mark.parametrize(
    "theta",
    [
        0.0,
        1e-12,
        -1e-12,
        math.pi / 2,
        math.pi / 2 + 1e-9,
        math.pi - 1e-12,
        math.pi,
        math.pi + 1e-12,
        1.5 * math.pi - 1e-9,
        2.0 * math.pi - 1e-12,
        2.0,
    ],
)
@pytest.mark.parametrize("phi, shift", [(0.3, 0.0), (-2.9, 0.0), (2.2, 2e3 * math.pi)])
@pytest.mark.parametrize("z", [0.4, 0.95])
def test_line_direction_from_the_sky(z: float, theta: float, phi: float, shift: float) -> None:
    """The engine takes the line's direction from the sky coordinates by the half-angle
    formulas, without the angle: it agrees with the route by the angle theta = line - phi."""
    line = theta + phi + shift
    got = _engine.transit(
        "quadratic", [[list(QUADRATIC)]], [[P1]], [[P2]], *sky_point(z, phi, line)
    )[0, 0, 0]
    # The angle line - atan2(y, x) to 40 digits and reduced, then rounded once: a large sky
    # angle less phi in doubles would lose digits that the direction keeps.
    with mpmath.workdps(40):
        y, x = z * math.sin(phi), z * math.cos(phi)
        reduced = float(mpmath.fmod(mpmath.mpf(line) - mpmath.atan2(y, x), 2 * mpmath.pi))
    by_angle = 1.0 - _testing.halves(z, reduced, P1, P2, *QUADRATIC)
    assert abs(got - by_angle) < 2e-15
    law, c = "power2", (0.6, 0.7)
    got = _engine.transit(law, [[list(c)]], [[P1]], [[P2]], *sky_point(z, phi, line))[0, 0, 0]
    assert abs(got - reference(law, c, z, theta, P1, P2)) < 1e-12


@pytest.mark.parametrize("x, y", [(0.0, 0.0), (-0.0, 0.0), (1e-170, -1e-170), (0.0, -0.0)])
def test_line_direction_at_the_star_centre(x: float, y: float) -> None:
    """A planet centred on the star (or within 1e-150 of it, where the direction's squares
    underflow) takes the line angle as it stands: the flux is that of the angle route."""
    rows = [np.array([[v]]) for v in (math.hypot(x, y), x, y, 0.8)]
    got = _engine.transit("quadratic", [[list(QUADRATIC)]], [[P1]], [[P2]], *rows)[0, 0, 0]
    by_angle = 1.0 - _testing.halves(math.hypot(x, y), 0.8 - math.atan2(y, x), P1, P2, *QUADRATIC)
    assert got == by_angle


def sky_rows(z: np.ndarray, phi: np.ndarray, line: np.ndarray) -> list[np.ndarray]:
    return [np.atleast_2d(a) for a in (z, z * np.cos(phi), z * np.sin(phi), line)]


# Planets wholly inside the star go through the engine several at a time (two, or four where
# the build has AVX2), each in a lane of its own, for the flux and for the gradient's moments:
# the star's centre on a rim (z = p) or at the planet's centre, a planet touching the limb from
# inside, line angles on both sides of quarter turns (where the excess changes sign), radii one
# ulp apart (the line's pieces shrink to rounding length), a radius at the smallest rim.
@pytest.mark.parametrize(
    "radii",
    [(0.1, 0.12), (0.3, 0.05), (0.02, 0.4), (0.2, 0.2 * (1.0 + 2.0**-52)), (0.25, 1e-100)],
)
def test_inside_points_several_at_a_time_as_alone(radii: tuple[float, float]) -> None:
    """Every point's flux from a call of many points, in any order and beside any partner,
    is the flux of the point alone, bit for bit, and agrees with the boundary's pieces."""
    p1, p2 = radii
    rng = np.random.default_rng(5)
    edge = 1.0 - max(p1, p2)
    special = [0.0, p1, p2, p1 * (1 + 1e-15), p2 * (1 - 1e-15), edge, edge - 1e-13, 1e-170]
    z = np.concatenate([special, rng.uniform(0.0, edge, 120), rng.uniform(edge, 1.3, 20)])
    quarter = math.pi / 2
    angles = np.array([0.0, quarter, math.pi, 3 * quarter, 1e-12, quarter - 1e-12, -1e-12])
    theta = np.where(
        np.arange(z.size) % 3 == 0,
        angles[np.arange(z.size) % angles.size],
        rng.uniform(-10.0, 10.0, z.size),
    )
    phi = rng.uniform(-math.pi, math.pi, z.size)
    line = theta + phi
    law = [[list(QUADRATIC)]]
    together = _engine.transit("quadratic", law, [[p1]], [[p2]], *sky_rows(z, phi, line))[0, 0]
    order = rng.permutation(z.size)
    shuffled = _engine.transit(
        "quadratic", law, [[p1]], [[p2]], *sky_rows(z[order], phi[order], line[order])
    )[0, 0]
    alone = np.array(
        [
            _engine.transit(
                "quadratic",
                law,
                [[p1]],
                [[p2]],
                *sky_rows(z[i : i + 1], phi[i : i + 1], line[i : i + 1]),
            )[0, 0, 0]
            for i in range(z.size)
        ]
    )
    # (A planet centred on the star with a rim below 1e-77 once gave NaN: 1/C^2 overflowed.)
    assert np.all(np.isfinite(alone))
    assert np.array_equal(together, alone)
    assert np.array_equal(shuffled, alone[order])
    for i in range(0, z.size, 7):
        by_pieces = 1.0 - _testing.halves(float(z[i]), float(theta[i]), p1, p2, *QUADRATIC)
        assert abs(alone[i] - by_pieces) < 2e-15
    # The gradient's flux and partials likewise.
    flux, partials = _engine.transit_gradient(
        "quadratic", law, [[p1]], [[p2]], *sky_rows(z, phi, line)
    )
    for i in range(z.size):
        flux_alone, partials_alone = _engine.transit_gradient(
            "quadratic",
            law,
            [[p1]],
            [[p2]],
            *sky_rows(z[i : i + 1], phi[i : i + 1], line[i : i + 1]),
        )
        assert flux[0, 0, i] == flux_alone[0, 0, 0] or (
            np.isnan(flux[0, 0, i]) and np.isnan(flux_alone[0, 0, 0])
        )
        assert np.array_equal(partials[0, 0, :, i], partials_alone[0, 0, :, 0], equal_nan=True), i
