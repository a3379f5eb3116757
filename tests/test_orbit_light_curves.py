"""Light curves driven by the orbit module's own sky coordinates, around mid-transit."""

from __future__ import annotations

import math

import _kestrin
import _orvinth
import _tessaly
import _velmora
import numpy as np
import oracle
import pytest

LAWS = {
    "quadratic": (_velmora._velmora, (0.4, 0.25), 1.5e-8),
    "nonlinear": (_tessaly._tessaly, (0.6, -0.3, 0.7, -0.3), 1.5e-7),
    "exponential": (_orvinth._orvinth, (0.4, 0.05), 5e-5),
}
P_FIRST, P_SECOND = 0.1, 0.13


@pytest.mark.parametrize("law", list(LAWS))
@pytest.mark.parametrize(
    ("inclination", "a"), [(89.0, 10.0), (85.0, 3.0), (85.0, 8.7), (85.0, 10.0), (89.0, 22.5)]
)
def test_mid_transit_keeps_the_dividing_line(law: str, inclination: float, a: float) -> None:
    # At mid-transit the separation and y come from different formulas, and |y| can exceed the
    # separation by a few units in the last place; the line must keep its orientation.
    function, c, tolerance = LAWS[law]
    period = 3.0
    times = 1e-4 * period * np.arange(-3.0, 4.0)  # t_c = 0 in the middle
    blocks = _kestrin._kestrin(
        times, 0.0, period, a, math.radians(inclination), 0.0, math.pi / 2, 1, 0
    )
    z, y, path, x = blocks.reshape(4, -1)
    assert np.all(np.diff(x) > 0)  # the planet moves towards +x: x < 0 points come first
    crossing = float(np.sum(x < 0)) - 0.5
    for rotation in (-30.0, 0.0, 30.0, 90.0):
        line = path + math.pi / 2 + math.radians(rotation)
        flux = function(z, P_FIRST, *c, 1e-3, 0, line, y, crossing, P_SECOND, 1)
        for i in range(len(z)):
            theta = oracle.sky_theta(x[i], y[i], line[i])
            exact = oracle.reference_flux(law, c, z[i], P_FIRST, P_SECOND, theta)
            assert flux[i] == pytest.approx(exact, abs=tolerance), (rotation, i)
