"""The package's sky geometry (halfmoon._sky): positions, direction of motion, sides, and the
derivatives with respect to the orbital elements."""

from __future__ import annotations

import math

import _kestrin
import mpmath
import numpy as np
import pytest
from halfmoon import _sky

ELEMENTS = ("tc", "period", "a", "inc", "e", "omega")


def sky(t, tc=0.0, period=3.0, a=9.0, inc=87.0, e=0.0, omega=90.0, offset=0.0):
    """The five blocks of one parameter set (angles in degrees here)."""
    columns = [tc, period, a, math.radians(inc), e, math.radians(omega), offset]
    return _sky.sky(np.asarray(t, dtype=np.float64), *([c] for c in columns))[:, 0]


def test_circular_orbit_positions_and_motion_in_closed_form() -> None:
    t = np.linspace(-1.0, 2.0, 301)
    a, inc = 9.0, 87.0
    front, back, x, y, line = sky(t, a=a, inc=inc)
    phase = 2.0 * math.pi * t / 3.0
    cos_i = math.cos(math.radians(inc))
    np.testing.assert_allclose(x, a * np.sin(phase), atol=1e-13)
    np.testing.assert_allclose(y, -a * cos_i * np.cos(phase), atol=1e-13)
    motion = np.arctan2(cos_i * np.sin(phase), np.cos(phase))
    np.testing.assert_allclose(np.angle(np.exp(1j * (line - motion))), 0.0, atol=1e-13)
    # Away from quadrature (where the side is decided by rounding), in front or behind.
    in_front = np.cos(phase) > 1e-9
    behind = np.cos(phase) < -1e-9
    np.testing.assert_allclose(front[in_front], np.hypot(x, y)[in_front], rtol=1e-15)
    np.testing.assert_allclose(back[behind], np.hypot(x, y)[behind], rtol=1e-15)
    assert np.all(np.isinf(front[behind])) and np.all(np.isinf(back[in_front]))
    # In front the planet moves towards +x, behind the star towards -x.
    assert np.all(np.cos(line[in_front]) > 0.0) and np.all(np.cos(line[behind]) < 0.0)


@pytest.mark.parametrize(("e", "omega"), [(0.0, 90.0), (0.3, 40.0), (0.9, 200.0), (0.999, 10.0)])
def test_mid_transit_is_at_tc_and_kepler_is_solved_to_rounding(e: float, omega: float) -> None:
    tc = 1.234
    _, _, x, y, _ = sky([tc], tc=tc, e=e, omega=omega)
    assert abs(x[0]) < 1e-13 * 9.0
    # Against a 40-digit Kepler solve at a time far from periastron.
    t = tc + 0.777
    _, _, x, y, _ = sky([t], tc=tc, e=e, omega=omega)
    with mpmath.workdps(40):
        w = mpmath.radians(omega)
        fc = mpmath.pi / 2 - w
        ec = 2 * mpmath.atan(mpmath.sqrt((1 - e) / (1 + e)) * mpmath.tan(fc / 2))
        m = 2 * mpmath.pi * (mpmath.mpf(t) - tc) / 3 + ec - e * mpmath.sin(ec)
        ecc = mpmath.findroot(lambda v: v - e * mpmath.sin(v) - m, m)
        f = 2 * mpmath.atan(mpmath.sqrt((1 + e) / (1 - e)) * mpmath.tan(ecc / 2))
        rho = 9 * (1 - e * mpmath.cos(ecc))
        exact_x = float(-rho * mpmath.cos(w + f))
        exact_y = float(-rho * mpmath.sin(w + f) * mpmath.cos(mpmath.radians(87)))
    assert x[0] == pytest.approx(exact_x, abs=1e-13)
    assert y[0] == pytest.approx(exact_y, abs=1e-13)


@pytest.mark.parametrize("e", [1e-4, 0.2, 0.6])
def test_positions_agree_with_the_orbit_module_within_its_kepler_tolerance(e: float) -> None:
    t = np.linspace(-0.3, 0.3, 61)
    _, _, x, y, _ = sky(t, e=e, omega=130.0)
    blocks = _kestrin._kestrin(t, 0.0, 3.0, 9.0, math.radians(87.0), e, math.radians(130.0), 0, 0)
    np.testing.assert_allclose(x, blocks[3 * t.size :], atol=1e-5)
    np.testing.assert_allclose(y, blocks[t.size : 2 * t.size], atol=1e-5)


def richardson(function, value: float, step: float) -> np.ndarray:
    """Central differences at steps h and h/2, extrapolated (error of order h^4)."""
    wide = (function(value + step) - function(value - step)) / (2.0 * step)
    narrow = (function(value + step / 2) - function(value - step / 2)) / step
    return (4.0 * narrow - wide) / 3.0


@pytest.mark.parametrize("seed", range(6))
def test_derivatives_match_extrapolated_differences(seed: int) -> None:
    rng = np.random.default_rng(seed)
    values = [
        rng.uniform(-0.5, 0.5),
        rng.uniform(1.0, 10.0),
        rng.uniform(3.0, 30.0),
        rng.uniform(1.4, 1.7),
        rng.choice([0.0, rng.uniform(0.0, 0.8)]),
        rng.uniform(-math.pi, math.pi),
    ]
    t = np.concatenate([rng.uniform(-2.0, 12.0, 20), [values[0]]])
    arguments = [[v] for v in values] + [[0.3]]
    positions, gradient = _sky.sky_gradient(t, *arguments)
    assert np.array_equal(positions, _sky.sky(t, *arguments))
    for k, name in enumerate(ELEMENTS):
        if name == "e" and values[k] == 0.0:
            continue  # one-sided at a circular orbit

        def blocks(v: float, k: int = k) -> np.ndarray:
            changed = [list(c) for c in arguments]
            changed[k][0] = v
            return _sky.sky(t, *changed)[2:, 0]

        expected = richardson(blocks, values[k], 1e-4 * max(1.0, abs(values[k])))
        # Relative to each quantity's largest derivative, or where that vanishes (e = 0 and
        # omega) to the scale of its rounding: positions of size a, angles of size 1.
        floor = np.array([[1e-2 * values[2]], [1e-2 * values[2]], [1e-2]])
        scale = np.maximum(np.max(np.abs(expected), axis=1, keepdims=True), floor)
        assert np.max(np.abs(gradient[:, k, 0] - expected) / scale) < 1e-7, name


def test_bad_elements_raise_naming_them() -> None:
    good = [[0.0], [3.0], [9.0], [1.5], [0.1], [1.0], [0.0]]
    for k, (name, bad) in enumerate(
        [("tc", math.nan), ("period", 0.0), ("a", -1.0), ("inc", math.inf), ("e", 1.0)]
    ):
        arguments = [list(c) for c in good]
        arguments[k][0] = bad
        with pytest.raises(ValueError, match=rf"^{name} "):
            _sky.sky(np.zeros(3), *arguments)
    with pytest.raises(ValueError, match="as many"):
        _sky.sky(np.zeros(3), [0.0, 1.0], *good[1:])
