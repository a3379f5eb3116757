"""Limb-darkened transit light curves of the two-half-disc planet."""

from __future__ import annotations

import math
import re
from typing import Callable

import _orvinth
import _tessaly
import _velmora
import numpy as np
import oracle
import pytest
from halfmoon import _geometry, _testing
from scipy import integrate

PI = 3.141592653589793

# Each law: its module function, realistic coefficients, and its intensity and normalisation
# written out the way the integration evaluates them.
LAWS = {
    "quadratic": (_velmora._velmora, (0.4, 0.25)),
    "nonlinear": (_tessaly._tessaly, (0.6, -0.3, 0.7, -0.3)),
    "exponential": (_orvinth._orvinth, (0.4, 0.05)),
}
laws = pytest.mark.parametrize("law", list(LAWS))


def light_curve(
    law: str,
    z: np.ndarray,
    p: float,
    p2: float,
    line_angles: np.ndarray | float,
    offsets: np.ndarray | float,
    crossing: float,
    *,
    coefficients: tuple[float, ...] | None = None,
    step: float = 1e-3,
    both: int = 1,
    ignored: int = 0,
) -> np.ndarray:
    function, default = LAWS[law]
    z = np.asarray(z, dtype=np.float64)
    line = np.broadcast_to(np.asarray(line_angles, dtype=np.float64), z.shape).copy()
    y = np.broadcast_to(np.asarray(offsets, dtype=np.float64), z.shape).copy()
    c = default if coefficients is None else coefficients
    return function(z, p, *c, step, ignored, line, y, crossing, p2, both)


# ---- The integration written out plainly, one overlap area per half and annulus edge --------


def law_terms(law: str, c: tuple[float, ...]) -> tuple[Callable[[float], float], float]:
    if law == "quadratic":

        def intensity(r: float) -> float:
            mu = math.sqrt(1.0 - r * r)
            return 1.0 - (1.0 - mu) * c[0] - ((1.0 - mu) * c[1]) * (1.0 - mu)

        return intensity, ((c[0] / (-3.0) + 1.0) + c[1] / (-6.0)) * PI
    if law == "nonlinear":

        def intensity(r: float) -> float:
            q = math.pow(1.0 - min(r, 0.99995) ** 2, 0.25)
            return (
                1.0
                - (1.0 - q) * c[0]
                - (1.0 - q * q) * c[1]
                - (1.0 - math.pow(q, 3.0)) * c[2]
                - (1.0 - math.pow(q, 4.0)) * c[3]
            )

        s = c[1] / (-6.0) + c[0] / (-10.0)
        s = s + (-3.0 * c[2]) / 14.0
        s = s + (-0.25 * c[3])
        s = s + 0.5
        return intensity, (s + s) * PI

    def intensity(r: float) -> float:
        r = max(min(r, 0.99995), 5e-05)
        mu = math.sqrt(1.0 - r * r)
        return (1.0 - (1.0 - mu) * c[0]) - c[1] / (1.0 - math.exp(mu))

    return intensity, (0.77750463 * c[1] + (-0.1666666667 * c[0] + 0.5)) * 6.283185307179586


def plain_flux(law, c, z, p, p2, step, line, y, index, crossing, both) -> float:
    r_in = max(min(z - p2, z - p), 0.0)
    if r_in >= 1.0:
        return 1.0
    r_out = min(max(z + p2, z + p), 1.0)
    if r_out - r_in < 1e-9:
        return 1.0
    intensity, norm = law_terms(law, c)
    dr = step * math.acos(r_in)
    r = r_in + dr
    theta = float(_geometry.find_theta(index, line, z, y, crossing))
    if theta >= 1.5707963277948966:
        theta = PI - theta
    elif theta <= -1.5707963277948966:
        theta = -(theta + PI)

    def planet(radius: float) -> float:
        a = float(_geometry.area(z, radius, p, theta))
        return a + float(_geometry.area(z, radius, p2, -theta)) if both else a

    total, previous = 0.0, 0.0
    while r_out > r:
        a = planet(r)
        total += (a - previous) * (intensity(dr * (-0.5) + r) / norm)
        dr = step * math.acos(r)
        r = r + dr
        previous = a
    width = (r_out - r) + dr
    a = planet(r_out)
    return 1.0 - (total + (intensity(r_out + width * (-0.5)) / norm) * (a - previous))


@laws
@pytest.mark.parametrize("both", [1, 0])
def test_bit_identical_to_the_plain_integration(law: str, both: int) -> None:
    rng = np.random.default_rng(len(law) + both)
    n = 12
    z = np.concatenate([rng.uniform(0.0, 1.25, n - 3), [0.0, 0.95, 1.02]])
    line = rng.uniform(-PI, PI, n)
    y = z * rng.uniform(-1.0, 1.0, n)
    p, p2, step, crossing = 0.09, 0.13, 3e-3, 5.5
    flux = light_curve(law, z, p, p2, line, y, crossing, step=step, both=both)
    c = LAWS[law][1]
    plain = [
        plain_flux(law, c, z[i], p, p2, step, line[i], y[i], i, crossing, both) for i in range(n)
    ]
    np.testing.assert_array_equal(flux, plain)


@laws
def test_prepared_planet_reproduces_fresh_overlap_areas_bit_for_bit(law: str) -> None:
    # The same integration with area() evaluated from scratch at every edge.
    rng = np.random.default_rng(17)
    n = 400
    z = rng.uniform(0.0, 1.25, n)
    line = rng.uniform(-4 * PI, 4 * PI, n)
    y = z * rng.uniform(-1.0, 1.0, n)
    c = list(LAWS[law][1])
    for both in (True, False):
        args = (law, c, z, line, y, 0.1, 0.12, 1e-2, 199.5, both)
        fast = _testing.light_curve(*args, False)
        np.testing.assert_array_equal(fast, _testing.light_curve(*args, True))
        np.testing.assert_array_equal(
            fast, light_curve(law, z, 0.1, 0.12, line, y, 199.5, step=1e-2, both=int(both))
        )


# ---- Early exits, empty input and arguments without effect ----------------------------------


@laws
def test_points_the_planet_cannot_reach_are_exactly_one(law: str) -> None:
    p, p2 = 0.1, 0.12
    z = np.array([1.12, 1.5, 100.0, 1.12 - 5e-10, 1.0 + p2 - 1e-12])
    # Early exits read no angle or offset: NaNs there must not matter.
    flux = light_curve(law, z, p, p2, math.nan, math.nan, 2.0)
    assert np.all(flux == 1.0)
    # Both radii zero: the band has no width.
    assert np.all(light_curve(law, np.array([0.0, 0.5]), 0.0, 0.0, 0.3, 0.1, 0.5) == 1.0)


@laws
def test_absent_second_half_blocks_nothing(law: str) -> None:
    # Only the absent larger half reaches the disc: the band is integrated, every area is 0.
    z = np.array([1.11, 1.15])
    flux = light_curve(law, z, 0.1, 0.2, 1.0, 0.3, 0.5, both=0)
    np.testing.assert_array_equal(flux, [1.0, 1.0])


@laws
def test_empty_input_and_ignored_integer(law: str) -> None:
    empty = light_curve(law, np.array([]), 0.1, 0.12, 0.0, 0.0, 0.0)
    assert empty.shape == (0,) and empty.dtype == np.float64
    z = np.linspace(0.0, 1.2, 31)
    reference = light_curve(law, z, 0.1, 0.12, 1.9, 0.2, 15.5)
    for ignored in (-(2**31), 1, 2**31 - 1):
        np.testing.assert_array_equal(
            light_curve(law, z, 0.1, 0.12, 1.9, 0.2, 15.5, ignored=ignored), reference
        )


@laws
@pytest.mark.parametrize("flag", [1, 2, 255])
def test_any_nonzero_flag_adds_the_second_half(law: str, flag: int) -> None:
    z = np.linspace(0.0, 1.2, 13)
    np.testing.assert_array_equal(
        light_curve(law, z, 0.1, 0.12, 1.9, 0.2, 6.5, both=flag),
        light_curve(law, z, 0.1, 0.12, 1.9, 0.2, 6.5, both=1),
    )


# ---- Uniform star: the annuli telescope to the overlap at the outer edge ---------------------


@laws
@pytest.mark.parametrize("step", [0.3, 1e-2, 1e-3])
def test_zero_coefficients_give_the_uniform_disc(law: str, step: float) -> None:
    rng = np.random.default_rng(int(step * 1e4))
    n = 40
    z = rng.uniform(0.0, 1.2, n)
    line = rng.uniform(-PI, PI, n)
    y = z * rng.uniform(-1.0, 1.0, n)
    p, p2, crossing = 0.1, 0.14, 19.5
    zeros = (0.0,) * len(LAWS[law][1])
    flux = light_curve(law, z, p, p2, line, y, crossing, coefficients=zeros, step=step)
    for i in range(n):
        r_out = min(z[i] + p2, 1.0)
        theta = float(_geometry.line_theta(i, line[i], z[i], y[i], crossing))
        covered = float(_geometry.planet_area(z[i], np.array([r_out]), p, p2, theta, True)[0])
        assert flux[i] == pytest.approx(1.0 - covered / PI, abs=4e-16)
        x = math.copysign(
            math.sqrt(max(z[i] ** 2 - y[i] ** 2, 0.0)), -1.0 if i <= crossing else 1.0
        )
        exact = oracle.planet_area(z[i], r_out, p, p2, oracle.sky_theta(x, y[i], line[i]))
        # r_out = z + p2 touches the larger half from outside: the lens formula's arccosines
        # meet arguments within rounding of 1 there and keep about half their digits.
        assert flux[i] == pytest.approx(1.0 - exact / PI, abs=1e-8)


# ---- Centred planet: closed-form depth of each law --------------------------------------------


def intensity_of_mu(law: str, c: tuple[float, ...]) -> Callable[[float], float]:
    def intensity(mu: float) -> float:
        if law == "quadratic":
            return 1.0 - c[0] * (1.0 - mu) - c[1] * (1.0 - mu) ** 2
        if law == "nonlinear":
            return 1.0 - sum(ck * (1.0 - mu ** (k / 2)) for k, ck in enumerate(c, start=1))
        return 1.0 - c[0] * (1.0 - mu) - c[1] / (1.0 - math.exp(mu))

    return intensity


def disc_flux(law: str, c: tuple[float, ...], radius: float) -> float:
    """Flux of the disc of the given radius about the star's centre, as a share of the star's.

    Integrated over mu = sqrt(1 - r^2) (r dr = -mu dmu), which keeps the exponential law's
    limb divergence out of the integrand.
    """
    intensity = intensity_of_mu(law, c)

    def ring(mu: float) -> float:
        return 2.0 * math.pi * mu * intensity(mu)

    mu_edge = math.sqrt(1.0 - radius * radius)
    part = integrate.quad(ring, mu_edge, 1.0, epsabs=1e-15, epsrel=1e-13)[0]
    whole = integrate.quad(ring, 0.0, 1.0, epsabs=1e-15, epsrel=1e-13)[0]
    return part / whole


@laws
def test_centred_planet_matches_the_closed_form_depth(law: str) -> None:
    p = 0.1
    c = LAWS[law][1]
    expected = 1.0 - disc_flux(law, c, p)
    errors = [
        abs(light_curve(law, np.array([0.0]), p, p, 0.7, 0.0, 0.0, step=step)[0] - expected)
        for step in (1e-3, 1e-4)
    ]
    # Midpoint rule on the annuli: second order in the step...
    assert 50 < errors[0] / errors[1] < 200
    # ...down to a few 1e-11 (the quadratic law is required below 1e-9 at this step).
    assert errors[1] < 3e-11


# ---- Symmetric planets do not depend on the dividing line -------------------------------------


@laws
def test_equal_radii_do_not_depend_on_the_dividing_line(law: str) -> None:
    rng = np.random.default_rng(3)
    n = 60
    z = np.linspace(0.0, 1.15, n)
    reference = light_curve(law, z, 0.11, 0.11, 0.0, 0.0, -1.0)
    for _ in range(4):
        line = rng.uniform(-PI, PI, n)
        y = z * rng.uniform(-1.0, 1.0, n)
        crossing = float(rng.integers(-1, n))
        flux = light_curve(law, z, 0.11, 0.11, line, y, crossing)
        # Not only rounding: at the outermost edge r = z + p the lens formula meets internal
        # tangency and keeps about half its digits (weighted most by the exponential law,
        # whose intensity is largest at the limb).
        np.testing.assert_allclose(flux, reference, rtol=0, atol=1e-8)


# ---- Asymmetric planets against an independent integral ----------------------------------------


def transit(n: int = 41) -> tuple[np.ndarray, np.ndarray, np.ndarray, float, np.ndarray]:
    """A transit at impact parameter 0.3 along the X axis, with the dividing line turned 0.2 rad
    from the perpendicular to the motion. Returns z, Y, line angles, crossing index and X."""
    x = np.linspace(-1.2, 1.2, n)
    y = np.full(n, -0.3)
    z = np.hypot(x, y)
    line = np.full(n, PI / 2 + 0.2)
    crossing = float(np.sum(x < 0)) - 0.5
    return z, y, line, crossing, x


# Largest error at step 1e-2 and 1e-3 for radii 0.1 / 0.12; measured figures are 4.0e-7, 5.3e-9
# (quadratic), 4.5e-7, 5.4e-8 (nonlinear, limb clamp), 2.6e-5, 2.0e-5 (exponential, whose
# intensity diverges at the limb where the clamped midpoint is used).
BOUNDS = {"quadratic": (1e-6, 1.5e-8), "nonlinear": (1e-6, 1.5e-7), "exponential": (6e-5, 5e-5)}


@laws
def test_asymmetric_transit_matches_the_exact_integral(law: str) -> None:
    z, y, line, crossing, x = transit()
    p, p2 = 0.1, 0.12
    c = LAWS[law][1]
    exact = np.array(
        [
            oracle.reference_flux(law, c, z[i], p, p2, oracle.sky_theta(x[i], y[i], line[i]))
            for i in range(len(z))
        ]
    )
    coarse = np.abs(light_curve(law, z, p, p2, line, y, crossing, step=1e-2) - exact)
    fine = np.abs(light_curve(law, z, p, p2, line, y, crossing, step=1e-3) - exact)
    assert coarse.max() < BOUNDS[law][0]
    assert fine.max() < BOUNDS[law][1]
    # Away from the limb the error shrinks with the step for every law (second order).
    inside = z + p2 < 0.98
    assert fine[inside].max() < coarse[inside].max() / 20


@laws
def test_swapping_the_halves_and_turning_the_line_by_pi(law: str) -> None:
    z, y, line, crossing, _ = transit(61)
    forward = light_curve(law, z, 0.1, 0.13, line, y, crossing)
    turned = light_curve(law, z, 0.13, 0.1, line + PI, y, crossing)
    np.testing.assert_allclose(turned, forward, rtol=0, atol=1e-12)


# ---- Line angles of any size --------------------------------------------------------------


@laws
def test_line_angles_differing_by_whole_turns_give_the_same_light_curve(law: str) -> None:
    rng = np.random.default_rng(len(law))
    n = 30
    z = rng.uniform(0.0, 1.15, n)
    y = z * rng.uniform(-1.0, 1.0, n)
    psi = rng.uniform(-PI, PI, n)
    crossing = 14.5
    reference = light_curve(law, z, 0.1, 0.12, psi, y, crossing)
    for k in (-3, -2, -1, 1, 2, 3):
        turned = light_curve(law, z, 0.1, 0.12, psi + 2 * PI * k, y, crossing)
        np.testing.assert_allclose(turned, reference, rtol=0, atol=1e-12)
    # A line angle of 7 rad is the line at 7 - 2 pi = 0.7168 rad, not a different planet.
    z3 = np.array([0.3, 0.5, 0.8])
    large = light_curve("quadratic", z3, 0.1, 0.12, 7.0, 0.25, 0.5)
    small = light_curve("quadratic", z3, 0.1, 0.12, 7.0 - 2 * PI, 0.25, 0.5)
    assert large[1] == pytest.approx(0.986114351, abs=1e-9)
    np.testing.assert_allclose(large, small, rtol=0, atol=1e-12)


def test_large_line_angles_match_exact_geometry() -> None:
    z, y, line, crossing, x = transit(21)
    c = LAWS["quadratic"][1]
    for k in (-2, 3):
        flux = light_curve("quadratic", z, 0.1, 0.12, line + 2 * PI * k, y, crossing, step=1e-3)
        exact = [
            oracle.reference_flux(
                "quadratic", c, z[i], 0.1, 0.12, oracle.sky_theta(x[i], y[i], line[i])
            )
            for i in range(len(z))
        ]
        np.testing.assert_allclose(flux, exact, rtol=0, atol=1.5e-8)


def test_nan_line_angle_gives_a_finite_flux_for_the_line_of_centres() -> None:
    # An undefined angle falls back to a line along the line of centres.
    z = np.array([0.5])
    nan_flux = light_curve("quadratic", z, 0.1, 0.12, math.nan, 0.2, 0.5)
    assert np.isfinite(nan_flux).all()


# ---- Bad input -------------------------------------------------------------------------------


@laws
@pytest.mark.parametrize("step", [0.0, -1e-3, math.nan, math.inf, -math.inf])
def test_step_factor_must_be_finite_and_positive(law: str, step: float) -> None:
    with pytest.raises(ValueError, match="step_factor"):
        light_curve(law, np.array([0.5]), 0.1, 0.12, 0.0, 0.0, 0.0, step=step)


@laws
@pytest.mark.parametrize("which", ["planet_radius", "second_radius"])
@pytest.mark.parametrize("radius", [-0.1, -5e-324, math.nan, math.inf, -math.inf])
def test_radii_must_be_finite_and_non_negative(law: str, which: str, radius: float) -> None:
    p, p2 = (radius, 0.12) if which == "planet_radius" else (0.1, radius)
    expected = f"{which} must be finite and >= 0, got {radius!r}"
    function, c = LAWS[law]
    with pytest.raises(ValueError, match=re.escape(expected)):
        function(np.array([0.5]), p, *c, 1e-3, 0, np.zeros(1), np.zeros(1), 0.0, p2, 1)
    # Refused before any array is looked at: even with arguments that are no arrays.
    with pytest.raises(ValueError, match=re.escape(expected)):
        function("no array", p, *c, 1e-3, 0, None, None, 0.0, p2, 1)
    # Zero, of either sign, is a radius: that half covers nothing.
    for zero in (0.0, -0.0):
        radii = (zero, 0.12) if which == "planet_radius" else (0.1, zero)
        flux = light_curve(law, np.array([0.5]), *radii, 0.3, 0.1, 0.0, both=1)
        assert np.isfinite(flux[0]) and flux[0] < 1.0


@laws
@pytest.mark.parametrize("short", ["line_angles", "normal_offsets"])
def test_per_point_arrays_must_cover_every_point(law: str, short: str) -> None:
    function, c = LAWS[law]
    z = np.linspace(0.0, 1.0, 5)
    line, y = np.zeros(5), np.zeros(5)
    if short == "line_angles":
        line = line[:4]
    else:
        y = y[:4]
    with pytest.raises(ValueError, match=short):
        function(z, 0.1, *c, 1e-3, 0, line, y, 0.0, 0.12, 1)
    # Longer arrays are fine: only the first n values are read.
    longer = function(z, 0.1, *c, 1e-3, 0, np.zeros(9), np.zeros(9), 0.0, 0.12, 1)
    np.testing.assert_array_equal(
        longer, function(z, 0.1, *c, 1e-3, 0, np.zeros(5), np.zeros(5), 0.0, 0.12, 1)
    )


@laws
@pytest.mark.parametrize("flag", [-1, 256])
def test_flag_outside_a_byte_overflows(law: str, flag: int) -> None:
    with pytest.raises(OverflowError):
        light_curve(law, np.array([0.5]), 0.1, 0.12, 0.0, 0.0, 0.0, both=flag)
