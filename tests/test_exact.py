"""The exact engine ``halfmoon._engine`` for the uniform, linear and quadratic laws.

References come from the independent oracle (tests/oracle.py), which integrates the arc of
each circle about the star's centre inside the planet: ``mp_reference_flux`` at 30 digits for
the delicate configurations, the float ``reference_flux`` (about 1e-15) for seeded sweeps.
The closed form itself is good to about 1e-15 (worst seen 6e-16 on random points and 4.4e-16
within 1e-16..1e-2 of the topology changes), so the tolerances below leave room only for the
references' own rounding.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

import _velmora
import numpy as np
import pytest
import references
from halfmoon import _engine, _testing
from oracle import reference_flux, sky_theta

QUADRATIC = (0.4, 0.25)
# Largest |flux error| allowed: against the 30-digit reference, and against the double-precision
# one, which is itself off by up to about 1.3e-15 next to the limb.
TOL_30_DIGITS = 2e-15
TOL_DOUBLE_REF = 3e-15


def engine_flux(
    z: Sequence[float],
    x: Sequence[float],
    y: Sequence[float],
    angles: Sequence[float],
    p1: float,
    p2: float,
    u: Sequence[float] = QUADRATIC,
) -> np.ndarray:
    """Fluxes of one parameter set and one channel: the engine's (1, 1, n) result as (n,)."""
    points = [np.atleast_2d(np.asarray(a, dtype=np.float64)) for a in (z, x, y, angles)]
    return _engine.transit("quadratic", [[list(u)]], [[p1]], [[p2]], *points)[0, 0]


def frame_flux(
    z: float | Sequence[float],
    theta: float | Sequence[float],
    p1: float,
    p2: float,
    u: Sequence[float] = QUADRATIC,
) -> np.ndarray:
    """Fluxes in the frame P = (z, 0), where the line angle is the angle from the
    star-to-planet direction."""
    zz, tt = np.broadcast_arrays(np.atleast_1d(np.asarray(z, float)), np.asarray(theta, float))
    return engine_flux(zz, zz, np.zeros_like(zz), tt, p1, p2, u)


def mp_flux(z: float, theta: float, p1: float, p2: float, u: Sequence[float] = QUADRATIC) -> float:
    """The 30-digit reference (stored in tests/data, see tests/references.py)."""
    return references.mp_flux("quadratic", u, z, p1, p2, theta)


def oracle_law(u: Sequence[float]) -> tuple[str, tuple[float, ...]]:
    """The oracle's name and coefficients for the law 1 - u1 (1 - mu) - u2 (1 - mu)^2."""
    if u[0] == 0.0 and u[1] == 0.0:
        return "uniform", ()
    if u[1] == 0.0:
        return "linear", (u[0],)
    return "quadratic", (u[0], u[1])


def blocked_centred(p: float, u: Sequence[float]) -> float:
    """Blocked fraction of a disc of radius p centred on the star, in closed form."""
    c0, c1, c2 = 1.0 - u[0] - u[1], u[0] + 2.0 * u[1], -u[1]
    mu = math.sqrt(1.0 - p * p)
    covered = (
        2.0
        * math.pi
        * (c0 * p * p / 2.0 + c1 * (1.0 - mu**3) / 3.0 + c2 * (p * p / 2.0 - p**4 / 4.0))
    )
    return covered / (math.pi * (1.0 - u[0] / 3.0 - u[1] / 6.0))


def lens_area(z: float, p: float) -> float:
    """Area of the unit disc covered by a disc of radius p < 1 at distance z."""
    if z >= 1.0 + p:
        return 0.0
    if z <= 1.0 - p:
        return math.pi * p * p
    k0 = math.acos((z * z + p * p - 1.0) / (2.0 * z * p))
    k1 = math.acos((z * z + 1.0 - p * p) / (2.0 * z))
    return p * p * k0 + k1 - 0.5 * math.sqrt(4.0 * z * z - (1.0 + z * z - p * p) ** 2)


# ----------------------------------------------------------------------------------------
# Against the references
# ----------------------------------------------------------------------------------------


@pytest.mark.parametrize("u", [QUADRATIC, (0.6, 0.0), (0.0, 0.0), (-0.2, 0.9)])
def test_random_points_match_the_reference(u: tuple[float, float]) -> None:
    rng = np.random.default_rng(11)
    count = 80
    z = rng.uniform(0.0, 1.3, count)
    theta = rng.uniform(-math.pi, math.pi, count)
    radii = rng.uniform(0.0, 0.3, (count, 2))
    law, coefficients = oracle_law(u)
    errors = [
        abs(
            frame_flux(z[i], theta[i], *radii[i], u=u)[0]
            - reference_flux(law, coefficients, z[i], *radii[i], theta[i])
        )
        for i in range(count)
    ]
    assert max(errors) < TOL_DOUBLE_REF


def test_random_points_match_the_30_digit_reference() -> None:
    rng = np.random.default_rng(12)
    for _ in range(8):
        z, theta = rng.uniform(0.0, 1.2), rng.uniform(-math.pi, math.pi)
        p1, p2 = rng.uniform(0.01, 0.3, 2)
        assert abs(frame_flux(z, theta, p1, p2)[0] - mp_flux(z, theta, p1, p2)) < TOL_30_DIGITS


def test_large_radii_over_random_points() -> None:
    """Radii from 0.3 up to just below one half, where a rim crossing the limb can pass close
    to the star's centre."""
    rng = np.random.default_rng(13)
    errors = []
    for _ in range(60):
        z, theta = rng.uniform(0.0, 1.5), rng.uniform(-math.pi, math.pi)
        p1, p2 = rng.uniform(0.3, 0.4999, 2)
        expected = reference_flux("quadratic", QUADRATIC, z, p1, p2, theta)
        errors.append(abs(frame_flux(z, theta, p1, p2)[0] - expected))
    assert max(errors) < TOL_DOUBLE_REF


@pytest.mark.parametrize("gap", [1e-15, 1e-9, 1e-3])
@pytest.mark.parametrize("p", [0.45, 0.495, 0.5 - 1e-8, 0.5 - 1e-12])
def test_rim_crossing_the_limb_close_to_the_centre(p: float, gap: float) -> None:
    """z = 1 - p + gap: the rim that crosses the limb passes within 1 - 2p + gap of the star's
    centre. Its third-kind term would lose sqrt(4 z p)/(z - p) to cancellation (5e-9 at
    p = 0.5 - 1e-8) unless rewritten."""
    z = 1.0 - p + gap
    for theta in (0.3, 2.5):
        assert abs(frame_flux(z, theta, p, 0.2)[0] - mp_flux(z, theta, p, 0.2)) < TOL_30_DIGITS


@pytest.mark.parametrize("offset", [-1e-12, 1e-12])
def test_either_side_of_the_rewritten_third_kind_term(offset: float) -> None:
    """The rewriting takes over at 4 z p = 8 (z - p)^2, that is z = 2p."""
    p = 0.45
    z = 2.0 * p + offset
    for theta in (0.3, 2.5):
        assert abs(frame_flux(z, theta, p, 0.2)[0] - mp_flux(z, theta, p, 0.2)) < TOL_30_DIGITS


def topology_cases(offset: float) -> list[tuple[str, float, float, float, float]]:
    """(change, z, theta, p1, p2) at signed distance `offset` from each change of topology."""
    cases = []
    z = 0.95
    for pa, pb in ((0.1, 0.13), (0.13, 0.1)):
        for end in (1.0, -1.0):
            # The line end P + end pa e at distance 1 + offset from the star's centre.
            c = ((1.0 + offset) ** 2 - z * z - pa * pa) / (2.0 * z * pa * end)
            cases.append(("line end on the limb", z, math.acos(c), pa, pb))
        cases.append(("rim inside, touching the limb", 1.0 - pa + offset, 0.7, pa, pb))
        cases.append(("rim outside, touching the limb", 1.0 + pa + offset, 0.7, pa, pb))
        for theta in (0.7, 0.7 - math.pi):
            cases.append(("rim through the star's centre", pa * (1.0 + offset), theta, pa, pb))
    # The line tangent to the limb next to the planet's centre (|z cos theta| < radii).
    tangent = math.asin(min(1.0, (1.0 + offset) / 1.003))
    cases.append(("line tangent to the limb", 1.003, tangent, 0.1, 0.13))
    cases.append(("line tangent to the limb", 1.003, math.pi - tangent, 0.13, 0.1))
    for z in (0.5, 0.95):
        theta_pi = math.pi - abs(offset) if offset > 0 else -math.pi + abs(offset)
        cases.append(("theta passing a half turn", z, theta_pi, 0.1, 0.13))
        cases.append(("theta passing zero", z, offset, 0.1, 0.13))
        cases.append(("second radius passing the first", z, 0.4, 0.1, 0.1 * (1.0 + offset)))
    cases.append(("planet centre at the star's centre", abs(offset), 0.3, 0.1, 0.13))
    return cases


OFFSETS = [1e-16, -1e-16, 1e-10, -1e-10, 1e-4, -1e-4]
TOPOLOGY = [case for off in OFFSETS for case in topology_cases(off)]


@pytest.mark.parametrize("change", sorted({case[0] for case in TOPOLOGY}))
def test_near_every_topology_change(change: str) -> None:
    """Offsets 1e-16 (rounding level), 1e-10 and 1e-4 either side of each change, against
    the 30-digit reference."""
    for name, z, theta, p1, p2 in TOPOLOGY:
        if name == change:
            got = frame_flux(z, theta, p1, p2)[0]
            assert abs(got - mp_flux(z, theta, p1, p2)) < TOL_30_DIGITS, (z, theta, p1, p2)


@pytest.mark.parametrize(
    ("z", "theta", "p1", "p2"),
    [
        (0.9, 0.3, 0.1, 0.07),  # fl(z + p1) = 1 exactly: A = 0 without a floor
        (0.93, 2.0, 0.07, 0.12),  # fl(z + p1) = 1 exactly, the other circle crossing
        (1.1, 0.3, 0.1, 0.13),  # z = fl(1 + p1): the rim touches the limb from outside
        (1.0, 1.0, 0.1, 0.12),  # centre on the limb
        (1.05, 2.5, 0.03, 0.2),  # the small half entirely off the star
        (0.1, 0.9, 0.1, 0.2),  # z = p1 exactly: the rim through the star's centre
        (0.2, -2.9, 0.1, 0.2),  # z = p2 exactly, the other half
        (0.0, 1.3, 0.1, 0.25),  # centred planet
        (0.8, 0.0, 0.1, 0.2),  # line along the line of centres
        (0.8, math.pi, 0.1, 0.2),
        (0.8, -math.pi, 0.2, 0.1),
        (0.9, 1.2, 0.2, 0.2),  # equal radii, crossing the limb
    ],
)
def test_hand_picked_hard_cases(z: float, theta: float, p1: float, p2: float) -> None:
    assert abs(frame_flux(z, theta, p1, p2)[0] - mp_flux(z, theta, p1, p2)) < TOL_30_DIGITS


@pytest.mark.parametrize(
    ("z", "theta", "p1", "p2"),
    [
        (0.05, 1.0, 0.2, 0.1),  # the star's centre S inside both circles, left of the line
        (0.05, -1.0, 0.2, 0.1),  # the same right of the line: inside half 2
        (0.15, 1.0, 0.2, 0.1),  # S inside circle 1 only, in half 1
        (0.15, -1.0, 0.2, 0.1),  # S inside circle 1 only but in no half
        (0.15, 1e-3, 0.2, 0.1),  # S just beside the line piece between the radii
        (0.15, -1e-3, 0.2, 0.1),
        (0.21, 0.7, 0.2, 0.1),  # a rim close to S: its own swept angle
        (0.2135, 0.7, 0.2, 0.1),  # a little farther: the boundary's winding
        (0.5, 2.0, 0.3, 0.05),  # S outside the planet
    ],
)
def test_planet_inside_the_star_about_its_centre(
    z: float, theta: float, p1: float, p2: float
) -> None:
    # Wholly inside the star the swept polar angle comes from whether the boundary winds
    # about S; these place S inside either half, in neither, next to a line piece and next
    # to a rim.
    assert abs(frame_flux(z, theta, p1, p2)[0] - mp_flux(z, theta, p1, p2)) < TOL_30_DIGITS


def test_line_clipped_at_the_limb() -> None:
    """Both line pieces cut by the limb: the chord end must see mu = 0 exactly."""
    z, p1, p2 = 0.98, 0.05, 0.2
    thetas = [0.0, 0.05, 0.3, 1.0, math.pi - 0.2]
    errors = [abs(frame_flux(z, t, p1, p2)[0] - mp_flux(z, t, p1, p2)) for t in thetas]
    assert max(errors) < TOL_30_DIGITS


# ----------------------------------------------------------------------------------------
# Properties
# ----------------------------------------------------------------------------------------


@pytest.mark.parametrize("u", [QUADRATIC, (0.6, 0.0), (0.0, 0.0)])
@pytest.mark.parametrize(("p1", "p2"), [(0.1, 0.1), (0.1, 0.25), (0.3, 0.02), (0.0, 0.2)])
def test_centred_planet_has_its_closed_value(u: tuple[float, float], p1: float, p2: float) -> None:
    expected = 1.0 - (blocked_centred(p1, u) + blocked_centred(p2, u)) / 2.0
    got = frame_flux([0.0] * 4, [0.0, 1.0, -2.0, math.pi], p1, p2, u)
    assert np.max(np.abs(got - expected)) < 1e-15


@pytest.mark.parametrize("z", [0.0, 0.3, 0.85, 0.97, 1.05, 1.2])
def test_uniform_star_matches_lens_areas(z: float) -> None:
    """With the line along the line of centres each half covers half its circle's lens."""
    p1, p2 = 0.12, 0.2
    expected = 1.0 - (lens_area(z, p1) + lens_area(z, p2)) / (2.0 * math.pi)
    got = frame_flux([z, z], [0.0, math.pi], p1, p2, (0.0, 0.0))
    assert np.max(np.abs(got - expected)) < 1e-15


def _sweep(seed: int, count: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    return (
        rng.uniform(0.0, 1.3, count),
        rng.uniform(-math.pi, math.pi, count),
        rng.uniform(0.0, 0.3, (count, 2)),
    )


def test_turning_the_line_by_a_half_turn_swaps_the_halves() -> None:
    z, theta, radii = _sweep(21, 300)
    for i in range(len(z)):
        a = frame_flux(z[i], theta[i], radii[i, 0], radii[i, 1])[0]
        b = frame_flux(z[i], theta[i] + math.pi, radii[i, 1], radii[i, 0])[0]
        assert abs(a - b) < 1e-15


def test_mirror_image_swaps_the_halves() -> None:
    """Reflection in the line of centres maps theta to -theta and left to right."""
    z, theta, radii = _sweep(22, 300)
    for i in range(len(z)):
        a = frame_flux(z[i], theta[i], radii[i, 0], radii[i, 1])[0]
        b = frame_flux(z[i], -theta[i], radii[i, 1], radii[i, 0])[0]
        assert abs(a - b) < 1e-15


@pytest.mark.parametrize("p", [0.05, 0.2, 0.45])
def test_equal_radii_make_the_full_disc(p: float) -> None:
    """The cheap full-disc route equals the two halves taken separately, for every line
    angle, and does not depend on the line angle."""
    rng = np.random.default_rng(23)
    for z in [0.0, p, 0.5 * p, 0.6, 1.0 - p, 0.99, 1.0, 1.0 + 0.5 * p]:
        thetas = rng.uniform(-math.pi, math.pi, 6)
        full = frame_flux([z] * 6, thetas, p, p)
        assert np.ptp(full) == 0.0
        halves = [1.0 - _testing.halves(z, t, p, p, *QUADRATIC) for t in thetas]
        assert np.max(np.abs(np.array(halves) - full)) < 1e-15


def test_continuous_across_every_topology_change() -> None:
    """At offsets of 1e-13 either side of each change the flux moves by less than its slope
    allows; a piece lost or doubled at a change would show as a jump of 1e-9 or more."""
    plus = topology_cases(1e-13)
    minus = topology_cases(-1e-13)
    assert [c[0] for c in plus] == [c[0] for c in minus]
    for a, b in zip(plus, minus):
        fa = frame_flux(*a[1:])[0]
        fb = frame_flux(*b[1:])[0]
        assert abs(fa - fb) < 2e-12, a[0]


# ----------------------------------------------------------------------------------------
# Sky frame and agreement with the annulus integration
# ----------------------------------------------------------------------------------------


def transit(count: int, impact: float = 0.3, line_angle: float = math.pi / 2 + 0.2):
    """A straight transit: centre at (x, impact), x from -1.3 to 1.3, and for the annulus
    module the crossing between the middle points."""
    x = np.linspace(-1.3, 1.3, count)
    y = np.full(count, impact)
    z = np.hypot(x, y)
    angles = np.full(count, line_angle)
    crossing = float(np.searchsorted(x, 0.0)) - 0.5
    return x, y, z, angles, crossing


def test_sky_frame_positions_and_sides() -> None:
    """Centres on both sides of the star, above and below the reference axis, with any line
    angle: the result is the reference at the angle measured from the star-to-planet
    direction."""
    rng = np.random.default_rng(31)
    count = 40
    x = rng.uniform(-1.1, 1.1, count)
    y = rng.uniform(-0.8, 0.8, count)
    z = np.hypot(x, y)
    angles = rng.uniform(-4.0, 4.0, count)
    p1, p2 = 0.08, 0.15
    got = engine_flux(z, x, y, angles, p1, p2)
    for i in range(count):
        expected = reference_flux(
            "quadratic", QUADRATIC, z[i], p1, p2, sky_theta(x[i], y[i], angles[i])
        )
        assert abs(got[i] - expected) < TOL_DOUBLE_REF


def test_centre_next_to_the_normal_axis_keeps_every_digit() -> None:
    """A centre at x = -5e-16 next to mid-transit: the engine takes x itself, so the angle and
    the flux keep their digits (rebuilding |x| from z and y would give 3e-8)."""
    y, p1, p2 = -0.227, 0.277, 0.196
    x = np.array([-5e-16, 5e-16, 0.0])
    z = np.hypot(x, y)
    angles = np.full(3, math.pi / 2)
    got = engine_flux(z, x, y * np.ones(3), angles, p1, p2)
    for i in range(3):
        expected = mp_flux(z[i], sky_theta(x[i], y, angles[i]), p1, p2)
        assert abs(got[i] - expected) < TOL_30_DIGITS


@pytest.mark.parametrize(("p1", "p2"), [(0.1, 0.12), (0.1, 0.1)])
def test_annulus_integration_converges_to_the_closed_form(p1: float, p2: float) -> None:
    """The annulus module's difference from the closed form shrinks with the step down to its
    own floor of a few 1e-9."""
    x, y, z, angles, crossing = transit(120)
    exact = engine_flux(z, x, y, angles, p1, p2)
    diffs = [
        np.max(
            np.abs(
                _velmora._velmora(z, p1, *QUADRATIC, step, 0, angles, y, crossing, p2, 1) - exact
            )
        )
        for step in (1e-2, 1e-3, 1e-4)
    ]
    assert diffs[0] < 1e-6
    assert diffs[1] < diffs[0] / 10.0
    assert diffs[2] < 1e-8


# ----------------------------------------------------------------------------------------
# Module interface
# ----------------------------------------------------------------------------------------


def test_planet_off_the_star_gives_exactly_one_without_reading_its_line() -> None:
    z = np.array([1.2 + 1e-12, 1.2, 5.0, 100.0, math.inf])
    nan = np.full(5, math.nan)
    got = engine_flux(z, nan, nan, nan, 0.15, 0.2)
    assert np.array_equal(got, np.ones(5))


def test_zero_radii_give_exactly_one() -> None:
    x, y, z, angles, _ = transit(30)
    assert np.array_equal(engine_flux(z, x, y, angles, 0.0, 0.0), np.ones(30))


def test_empty_and_converted_inputs() -> None:
    empty = _engine.transit(
        "quadratic", np.zeros((1, 1, 2)), [[0.1]], [[0.1]], *(np.zeros((1, 0)),) * 4
    )
    assert empty.shape == (1, 1, 0)
    from_lists = _engine.transit(
        "quadratic",
        [[[0.4, 0.25]]],
        [[0.1]],
        [[0.12]],
        [[0.3, 0.5]],
        [[0.3, 0.5]],
        [[0.0, 0.1]],
        [[0.2, 0.2]],
    )
    from_arrays = engine_flux(
        np.array([0.3, 0.5]),
        np.array([0.3, 0.5]),
        np.array([0.0, 0.1]),
        np.array([0.2, 0.2]),
        0.1,
        0.12,
    )
    assert from_lists.dtype == np.float64
    assert np.array_equal(from_lists[0, 0], from_arrays)


@pytest.mark.parametrize(
    ("p1", "u1", "u2", "p2"),
    [
        (-0.1, 0.4, 0.25, 0.1),
        (0.1, 0.4, 0.25, -1e-300),
        (math.nan, 0.4, 0.25, 0.1),
        (0.1, 0.4, 0.25, math.inf),
        (0.1, math.nan, 0.25, 0.1),
        (0.1, 0.4, -math.inf, 0.1),
    ],
)
def test_invalid_radii_and_coefficients_raise(p1: float, u1: float, u2: float, p2: float) -> None:
    z = np.array([0.5])
    with pytest.raises(ValueError, match=r"radius|coefficients"):
        engine_flux(z, z, z, z, p1, p2, (u1, u2))


def test_mismatched_or_malformed_arrays_raise() -> None:
    z = np.array([[0.2, 0.4, 0.6]])
    planet = ([[[0.4, 0.25]]], [[0.1]], [[0.1]])
    with pytest.raises(ValueError, match="line_angle"):
        _engine.transit("quadratic", *planet, z, z, z, z[:, :2])
    with pytest.raises(ValueError, match="dimension"):
        _engine.transit("quadratic", *planet, z[0], z, z, z)
    with pytest.raises(ValueError, match="coefficient"):
        _engine.transit("quadratic", [[[0.4]]], [[0.1]], [[0.1]], z, z, z, z)
    with pytest.raises(ValueError, match="second_radius"):
        _engine.transit("quadratic", [[[0.4, 0.25]]], [[0.1]], [[0.1, 0.2]], z, z, z, z)
    with pytest.raises(ValueError, match="law"):
        _engine.transit("cubic", *planet, z, z, z, z)
    with pytest.raises(TypeError):
        _engine.transit("quadratic", *planet, z, z, z)


def test_non_finite_points_neither_crash_nor_hang() -> None:
    z = np.array([math.nan, -0.3, 0.5, 0.5, 0.5, 0.5])
    angles = np.array([0.1, 0.1, math.nan, math.inf, 1e300, 0.1])
    y = np.array([0.0, 0.0, 0.0, 0.0, 0.0, math.nan])
    got = engine_flux(z, z, y, angles, 0.1, 0.12)
    assert np.isnan(got[[0, 1, 2, 3, 5]]).all()
    assert 0.0 < got[4] < 1.0


@pytest.mark.parametrize(("p1", "p2"), [(0.5, 0.1), (0.2, 0.6)])
def test_large_radii_are_integrated_along_the_boundary(p1: float, p2: float) -> None:
    """Radii of one half and more leave the closed form's range: those points take the
    quadrature of the whole law along the boundary pieces, which agrees with the reference far
    below the annulus integration's floor, and with the annulus integration to that floor."""
    x, y, z, angles, crossing = transit(25)
    got = engine_flux(z, x, y, angles, p1, p2)
    annulus = _velmora._velmora(z, p1, *QUADRATIC, 1e-4, 0, angles, y, crossing, p2, 1)
    assert np.max(np.abs(got - annulus)) < 1e-8
    for i in (3, 12, 20):
        expected = reference_flux(
            "quadratic", QUADRATIC, z[i], p1, p2, sky_theta(x[i], y[i], angles[i])
        )
        assert abs(got[i] - expected) < 1e-12


@pytest.mark.skipif(references.RECORDING, reason="the store is being rewritten")
def test_stored_references_are_the_30_digit_values() -> None:
    """A sample of the stored references recomputed live: a stale or damaged store fails."""
    keys = references.stored_keys()
    assert len(keys) > 100
    rng = np.random.default_rng(2)
    for key in rng.choice(keys, size=4, replace=False):
        assert references.mp_flux(*_parse(key)) == references.mp_flux_by_key(key)


def _parse(key: str) -> tuple:
    law, *numbers = key.split("|")
    *coefficients, z, p1, p2, theta = (float(v) for v in numbers)
    return law, coefficients, z, p1, p2, theta
