"""The conversions module: closed forms, round trips, and durations against the model."""

from __future__ import annotations

import math

import numpy as np
import pytest
from halfmoon import Model, Parameters, conversions
from halfmoon.laws import coefficient_problems


@pytest.mark.parametrize(("e", "w"), [(0.0, 90.0), (0.3, 40.0), (0.6, 250.0)])
def test_impact_parameter_and_inclination_round_trip(e: float, w: float) -> None:
    a = 12.0
    inclinations = np.array([80.0, 85.5, 89.0, 90.0])
    b = conversions.impact_parameter(inclinations, a, e, w)
    # The separation of the orbit itself at mid-transit (true anomaly 90 - w).
    f = math.radians(90.0 - w)
    radius = a * (1.0 - e * e) / (1.0 + e * math.cos(f))
    np.testing.assert_allclose(b, radius * np.cos(np.radians(inclinations)), rtol=1e-14)
    np.testing.assert_allclose(conversions.inclination(b, a, e, w), inclinations, rtol=1e-12)
    with pytest.raises(ValueError, match="impact"):
        conversions.inclination(radius * 1.01, a, e, w)


def test_density_and_semi_major_axis_round_trip() -> None:
    # The Sun and the Earth: a / R = 215.03 for rho = 1.408 g/cm^3 and one sidereal year.
    assert conversions.semi_major_axis_from_density(1.408, 365.25636) == pytest.approx(
        215.0, rel=1e-3
    )
    densities = np.array([0.2, 1.41, 5.0])
    a = conversions.semi_major_axis_from_density(densities, 3.5)
    np.testing.assert_allclose(
        conversions.density_from_semi_major_axis(a, 3.5), densities, rtol=1e-14
    )


def test_kipping_parameters_cover_the_physical_quadratic_laws() -> None:
    q = np.linspace(0.0, 1.0, 21)
    q1, q2 = np.meshgrid(q, q)
    u1, u2 = conversions.quadratic_from_kipping(q1, q2)
    back = conversions.kipping_from_quadratic(u1, u2)
    np.testing.assert_allclose(back[0], q1, atol=1e-15)
    inside = q1 > 0.0
    np.testing.assert_allclose(back[1][inside], q2[inside], atol=1e-14)
    # Every such law has a positive intensity and a positive total flux.
    for a, b in zip(u1.ravel()[::7], u2.ravel()[::7]):
        assert coefficient_problems("quadratic", (a, b)) == []


def contact(separation: float, side: int, a: float = 8.0, inc: float = 87.0) -> float:
    """Time of a circular orbit (period 3, mid-transit 0) at the given sky separation."""
    b = a * math.cos(math.radians(inc))
    phase = math.asin(math.sqrt(separation**2 - b * b) / (a * math.sin(math.radians(inc))))
    return side * phase * 3.0 / (2.0 * math.pi)


@pytest.mark.parametrize(("leading", "trailing"), [(0.1, 0.12), (0.12, 0.1), (0.11, 0.11)])
def test_durations_are_the_contacts_of_the_model(leading: float, trailing: float) -> None:
    params = Parameters(
        mid_transit=0.0,
        period=3.0,
        radius_leading=leading,
        radius_trailing=trailing,
        semi_major_axis=8.0,
        inclination=87.0,
        law="uniform",
    )
    first, fourth = contact(1.0 + leading, -1), contact(1.0 + trailing, +1)
    second, third = contact(1.0 - trailing, -1), contact(1.0 - leading, +1)
    assert conversions.total_duration(3.0, 8.0, 87.0, leading, trailing) == pytest.approx(
        fourth - first, rel=1e-14
    )
    assert conversions.full_duration(3.0, 8.0, 87.0, leading, trailing) == pytest.approx(
        third - second, rel=1e-14
    )
    dt = 1e-6
    times = [
        first - dt,
        first + dt,
        second - dt,
        second + dt,
        third - dt,
        third + dt,
        fourth - dt,
        fourth + dt,
    ]
    blocked = 1.0 - Model(params, times).flux()
    area = (leading**2 + trailing**2) / 2  # a uniform star: blocked fraction = area / pi
    assert blocked[0] == 0.0 and blocked[1] > 0.0 and blocked[6] > 0.0 and blocked[7] == 0.0
    assert blocked[2] < area - 1e-9 and blocked[5] < area - 1e-9
    assert blocked[3] == pytest.approx(area, rel=1e-13)
    assert blocked[4] == pytest.approx(area, rel=1e-13)


def test_grazing_and_missing_transits_give_nan() -> None:
    assert math.isnan(conversions.full_duration(3.0, 8.0, 82.0, 0.1))  # b = 1.11: grazing
    assert math.isnan(conversions.total_duration(3.0, 8.0, 80.0, 0.1))  # b = 1.39: none
