"""The boundary quadrature's own elementary functions, against 40-digit mpmath.

The rim nodes take sin(gamma/2) from a fitted polynomial (``sine_to_quarter_turn``, gamma/2 in
[0, pi/2]) and a tabulated profile's cells end where a rim meets a kink circle, at
gamma/2 = asin(sqrt(w)) from w = sin^2(gamma/2) (``arcsine_of_root``). Both are reached through
``halfmoon._testing``. Errors are counted in units of 2^-52 times the result; measured over
20000 random arguments: about 1 for the sine, 2.5 for the arcsine (w below 0.99), to which the
arcsine adds what the rounding of sqrt(w) costs where asin's slope is steep (w near 1), as the
library's asin(sqrt(w)) does.
"""

from __future__ import annotations

import math

import mpmath
import numpy as np
import pytest
from halfmoon import _testing

ULP = 2.0**-52


def _grid(lo: float, hi: float, count: int, seed: int) -> np.ndarray:
    """Uniform points, points bunched at both ends and the ends themselves."""
    rng = np.random.default_rng(seed)
    u = rng.uniform(0.0, 1.0, count)
    bunched = np.concatenate([u**8, 1.0 - u**8])
    return np.concatenate([[lo, hi], lo + (hi - lo) * np.concatenate([u, bunched])])


def _exact_sine(x: float) -> mpmath.mpf:
    return mpmath.sin(mpmath.mpf(x))


def _exact_arcsine(w: float) -> mpmath.mpf:
    return mpmath.asin(mpmath.sqrt(mpmath.mpf(w)))


def _arcsine_slack(w: float) -> float:
    """What the rounding of sqrt(w) (half an ulp) moves asin(sqrt(w)) by: y ulp / sqrt(1 - w)."""
    return 0.5 * ULP * math.sqrt(w) / math.sqrt(max(1.0 - w, 1e-300))


@pytest.mark.parametrize(
    ("function", "exact", "lo", "hi", "ulps", "slack"),
    [
        (_testing.sine_to_quarter_turn, _exact_sine, 0.0, math.pi / 2, 3.0, None),
        (_testing.arcsine_of_root, _exact_arcsine, 0.0, 1.0, 8.0, _arcsine_slack),
    ],
    ids=["sine_to_quarter_turn", "arcsine_of_root"],
)
def test_against_40_digits(function, exact, lo, hi, ulps, slack) -> None:
    with mpmath.workdps(40):
        for x in _grid(lo, hi, 3000, seed=17):
            x = float(x)
            value = exact(x)
            got = function(x)
            allowed = ulps * ULP * float(abs(value)) + (slack(x) if slack else 0.0)
            assert abs(mpmath.mpf(got) - value) <= allowed, x


def test_arcsine_of_root_at_the_ends_and_across_its_branch() -> None:
    """Exact at 0, pi/2 at 1 within rounding, and continuous and rising where it changes its
    series (sqrt(w) = 1/2)."""
    assert _testing.arcsine_of_root(0.0) == 0.0
    assert abs(_testing.arcsine_of_root(1.0) - math.pi / 2) <= ULP
    w = np.array([math.nextafter(0.25, 0.0), 0.25, math.nextafter(0.25, 1.0)])
    values = np.array([_testing.arcsine_of_root(float(v)) for v in w])
    assert np.all(np.diff(values) >= 0.0)
    assert values[-1] - values[0] <= 8 * ULP
