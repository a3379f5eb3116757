"""Secondary eclipse of a uniform planet disc behind the star."""

from __future__ import annotations

import math

import _eclipse
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st


def visible_fraction(z: float, p: float) -> float:
    """Fraction of the planet's disc (radius p, centre at distance z) outside the unit disc.

    The hidden part is the lens of two circles, built here from the two circular segments on
    either side of their common chord (at distance `a` from the star's centre).
    """
    if z >= 1.0 + p:
        return 1.0
    if z <= abs(1.0 - p):
        hidden = math.pi * min(p, 1.0) ** 2
    else:
        a = (z * z + 1.0 - p * p) / (2.0 * z)
        h = math.sqrt(max(1.0 - a * a, 0.0))
        star_segment = math.acos(max(-1.0, min(1.0, a))) - a * h
        b = z - a
        planet_segment = p * p * math.acos(max(-1.0, min(1.0, b / p))) - b * h
        hidden = star_segment + planet_segment
    return 1.0 - hidden / (math.pi * p * p)


def eclipse(z: float | list[float], p: float, fp: float, ignored: int = 0) -> np.ndarray:
    return _eclipse._eclipse(np.atleast_1d(np.asarray(z, dtype=np.float64)), p, fp, ignored)


@settings(max_examples=300, deadline=None)
@given(
    z=st.floats(0.0, 3.0),
    p=st.floats(0.01, 2.5),
    fp=st.floats(1e-6, 0.1),
)
def test_matches_lens_geometry(z: float, p: float, fp: float) -> None:
    expected = 1.0 + fp * visible_fraction(z, p)
    # Digits lost next to internal tangency for small planets scale with 1/p^2. The arccosine
    # arguments are quotients by z: for a planet nearly centred on a star of about its own size
    # (internal tangency at a small z) the rounding of their numerators grows like 1/z (about
    # 4e-13 / z in the visible fraction, measured at 40 digits).
    tolerance = fp * (1e-9 / min(p, 1.0) ** 2 + 1e-12 / max(z, 1e-300))
    assert eclipse(z, p, fp)[0] == pytest.approx(expected, abs=tolerance)


@pytest.mark.parametrize("p", [0.0, 0.05, 0.1, 0.3, 0.9])
def test_out_of_eclipse_and_total_eclipse_are_exact(p: float) -> None:
    fp = 0.0123
    outside = [1.0 + p, 1.0 + p + 1e-12, 2.0, 100.0]
    inside = [0.0, (1.0 - p) / 2, np.nextafter(1.0 - p, 0.0)]
    assert np.all(eclipse(outside, p, fp) == fp + 1.0)
    assert np.all(eclipse(inside, p, fp) == 1.0)


def test_partial_eclipse_is_continuous_and_monotonic() -> None:
    p, fp = 0.1, 0.01
    z = np.linspace(1.0 - p, 1.0 + p, 2001)
    flux = eclipse(list(z), p, fp)
    # The formula keeps about half the digits right at internal tangency.
    assert flux[0] == pytest.approx(1.0, abs=fp * 1e-8)
    assert flux[-1] == fp + 1.0
    assert np.all(np.diff(flux) >= -1e-15)
    # At z = 1 a little over half of the planet's disc is visible.
    assert 1.0 + fp / 2 < eclipse(1.0, p, fp)[0] < 1.0 + 0.55 * fp


@pytest.mark.parametrize("p", [0.4985, 0.499, 0.49901, 0.4995, 0.5, 0.5005, 0.50099, 0.501, 0.5015])
def test_radii_near_one_half_take_their_own_lens_geometry(p: float) -> None:
    fp = 0.01
    z = np.concatenate([np.linspace(1.0 - p, 1.0 + p, 41)[1:-1], [0.45, 0.5, 0.55]])
    expected = [1.0 + fp * visible_fraction(x, p) for x in z]
    np.testing.assert_allclose(eclipse(list(z), p, fp), expected, rtol=0, atol=fp * 1e-9)
    # At the tangencies the lens formula keeps about half its digits (sqrt(eps) ~ 1.5e-8).
    assert eclipse(1.0 - p, p, fp)[0] == pytest.approx(1.0, abs=fp * 1e-7)
    assert eclipse(np.nextafter(1.0 + p, 0.0), p, fp)[0] == pytest.approx(1.0 + fp, abs=fp * 1e-7)
    # No jump where a radius leaves the neighbourhood of one half: one unit in the last place
    # of the radius moves the light curve by rounding only.
    for neighbour in (np.nextafter(p, 0.0), np.nextafter(p, 1.0)):
        np.testing.assert_allclose(
            eclipse(list(z), neighbour, fp), eclipse(list(z), p, fp), rtol=0, atol=fp * 1e-9
        )


def test_zero_radius() -> None:
    flux = eclipse([0.0, 0.5, np.nextafter(1.0, 0.0), 1.0, 1.5], 0.0, 0.02)
    np.testing.assert_array_equal(flux, [1.0, 1.0, 1.0, 1.02, 1.02])


def test_nan_separation_gives_out_of_eclipse_level() -> None:
    assert eclipse(np.nan, 0.1, 0.02)[0] == 1.02


@pytest.mark.parametrize(("p", "z"), [(0.3, 0.7), (0.3, 0.7 + 1e-16), (0.1, 0.9), (0.05, 0.95)])
def test_internal_tangency_gives_total_eclipse_not_nan(p: float, z: float) -> None:
    # Rounding can carry an arccosine argument just below -1 here; the lens formula keeps
    # about half the digits at this tangency.
    fp = 0.5
    assert eclipse(z, p, fp)[0] == pytest.approx(1.0, abs=fp * 1e-9 / p**2)


@pytest.mark.parametrize(
    ("z", "p"), [(0.0, 1.0), (0.0, 2.0), (0.5, 2.0), (0.999, 2.0), (1.5, 2.0), (2.5, 2.0)]
)
def test_planet_larger_than_the_star(z: float, p: float) -> None:
    fp = 0.3
    assert eclipse(z, p, fp)[0] == pytest.approx(1.0 + fp * visible_fraction(z, p), abs=1e-12)


def test_ignored_integer_changes_nothing() -> None:
    z = list(np.linspace(0.0, 1.3, 40))
    reference = eclipse(z, 0.12, 0.01, 0)
    for value in (-(2**31), 7, 2**31 - 1):
        np.testing.assert_array_equal(eclipse(z, 0.12, 0.01, value), reference)
