"""Half-disc overlap areas and the dividing-line angle, against exact geometry."""

from __future__ import annotations

import math

import numpy as np
import oracle
import pytest
from halfmoon import _geometry

PI = 3.141592653589793


def lens_area(z: float, r: float, p: float) -> float:
    """Overlap of two discs (radii r and p, centres z apart), from the two circular segments."""
    if z >= r + p:
        return 0.0
    if z <= abs(r - p):
        return math.pi * min(r, p) ** 2
    a = (z * z + r * r - p * p) / (2 * z)
    h = math.sqrt(max(r * r - a * a, 0.0))
    return r * r * math.acos(a / r) - a * h + p * p * math.acos((z - a) / p) - (z - a) * h


# Values to twelve significant digits, each the geometric overlap, grouped by the configuration
# the classification picks.
WORKED = [
    # (z, r, p, theta, area, configuration)
    (0.5, 0.5, 0.1, 0.0, 0.00752031389089, 3),
    (0.5, 0.5, 0.1, 0.5, 0.0100203138909, 1),
    (0.5, 0.5, 0.1, 1.0, 0.0125203138909, 1),
    (0.08, 0.1, 0.1, 1.0, 0.0126533495491, 2),
    (0.5, 0.5, 0.1, -0.5, 0.00502031389089, 4),
    (0.5, 0.5, 0.1, -1.0, 0.00252031389089, 4),
    (0.5, 0.5, 0.1, -1.5, 5.90806912407e-05, 5),
    (0.0, 0.05, 0.1, 0.3, 0.00392699081699, 5),
    (0.5, 0.55, 0.1, -1.5, 0.00914312555335, 6),
    (0.5, 0.5, 0.1, 1.5, 0.0149815470905, 7),
    (0.5, 0.3, 0.1, 0.7, 0.0, 8),
    (0.05, 0.03, 0.1, -0.8, 0.0, 8),
    (0.5, 0.45, 0.1, -PI / 2, 0.0, 8),
    (0.5, 0.45, 0.1, PI / 2, 0.00569706649826, 9),
    (0.05, 0.03, 0.1, 0.8, 0.00282743338823, 10),
    (0.4, 0.6, 0.1, -1.2, 0.0157079632679, 11),
    (0.0, 0.6, 0.1, 0.3, 0.0157079632679, 11),
    (0.0, 0.1, 0.1, 1.1, 0.0157079632679, None),  # centred half-disc of the circle's radius
]


@pytest.mark.parametrize(("z", "r", "p", "theta", "expected", "configuration"), WORKED)
def test_worked_values(
    z: float, r: float, p: float, theta: float, expected: float, configuration: int | None
) -> None:
    assert _geometry.area(z, r, p, theta) == pytest.approx(expected, rel=5e-12, abs=1e-17)
    if configuration is not None:
        assert _geometry.configuration(z, r, p, theta) == configuration
    assert _geometry.area(z, r, p, theta) == pytest.approx(
        oracle.half_disc_area(z, r, p, theta), abs=1e-12
    )


@pytest.mark.parametrize("theta", [-1.5, -1.0, -0.5, 0.0, 0.5, 1.0, 1.5])
def test_pairs_of_opposite_angles_sum_to_the_lens(theta: float) -> None:
    lens = 0.0150406277818
    total = _geometry.area(0.5, 0.5, 0.1, theta) + _geometry.area(0.5, 0.5, 0.1, -theta)
    assert total == pytest.approx(lens, rel=1e-11)


@pytest.mark.parametrize("theta", [0.0, -0.0, 0.4, -1.2, 1.5707963277])
def test_planet_centred_on_the_star(theta: float) -> None:
    # No configuration divides by z = 0 here.
    assert _geometry.area(0.0, 0.1, 0.1, theta) == pytest.approx(0.0157079632679, rel=1e-12)
    assert _geometry.area(0.0, 0.05, 0.1, theta) == pytest.approx(math.pi * 0.05**2 / 2)
    assert _geometry.area(0.0, 0.6, 0.1, theta) == pytest.approx(math.pi * 0.01 / 2)


def test_negative_zero_angle_is_zero() -> None:
    z, r = np.meshgrid(np.linspace(0.0, 1.2, 25), np.linspace(0.01, 1.0, 25))
    np.testing.assert_array_equal(_geometry.area(z, r, 0.15, -0.0), _geometry.area(z, r, 0.15, 0.0))


def test_tiny_negative_angle() -> None:
    # Where the line cuts the star circle a tiny negative angle counts as non-negative...
    assert _geometry.configuration(0.5, 0.5, 0.1, -5e-10) == 3
    assert _geometry.area(0.5, 0.5, 0.1, -5e-10) == pytest.approx(
        oracle.half_disc_area(0.5, 0.5, 0.1, -5e-10), abs=1e-12
    )
    # ...where it misses the circle, any negative angle leaves the circle on the other side.
    assert _geometry.area(1.0, 1e-10, 1.1, -5e-10) == 0.0
    assert _geometry.area(1.0, 1e-10, 1.1, 5e-10) == pytest.approx(math.pi * 1e-20)


def test_zero_radius_gives_zero_even_on_the_star_circle() -> None:
    z = np.array([0.0, 0.3, 0.5, 0.5 + 1e-10, 1.0])
    r = np.array([0.2, 0.3, 0.5, 0.5, 1.0])
    for theta in (-1.0, 0.0, 1.0):
        result = _geometry.area(z, r, 0.0, theta)
        assert np.all(result == 0.0), result


@pytest.mark.parametrize("position", range(4))
def test_nan_arguments_give_no_area(position: int) -> None:
    # A NaN fails every test of the classification: the result is NaN or the empty overlap.
    for theta in (-0.7, 0.0, 0.7):
        args = [0.5, 0.45, 0.1, theta]
        args[position] = math.nan
        result = _geometry.area(*args)
        assert math.isnan(result) or result == 0.0


def random_configurations(count: int, seed: int) -> tuple[np.ndarray, ...]:
    rng = np.random.default_rng(seed)
    z = rng.uniform(0.0, 1.3, count)
    r = rng.uniform(1e-3, 1.0, count)
    p1 = rng.uniform(1e-3, 0.3, count)
    p2 = rng.uniform(1e-3, 0.3, count)
    theta = rng.uniform(-PI / 2, PI / 2, count)
    return z, r, p1, p2, theta


def test_every_configuration_agrees_with_exact_geometry() -> None:
    z, r, p, _, theta = random_configurations(3000, seed=11)
    # Bias a third of the draws towards the planet straddling the star circle, where the
    # one-crossing configurations live.
    r[:1000] = np.clip(
        z[:1000] + np.random.default_rng(3).uniform(-0.3, 0.3, 1000) * p[:1000], 1e-3, 1.0
    )
    areas = _geometry.area(z, r, p, theta)
    configurations = _geometry.configuration(z, r, p, theta)
    exact = np.array([oracle.half_disc_area(*args) for args in zip(z, r, p, theta)])
    error = np.abs(areas - exact)
    seen = set(configurations.tolist())
    assert seen >= {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, seen
    worst = {int(c): float(error[configurations == c].max()) for c in seen}
    assert max(worst.values()) < 1e-9, worst


def test_composition_with_two_radii_matches_the_two_radius_planet() -> None:
    z, r, p1, p2, theta = random_configurations(800, seed=5)
    composed = _geometry.area(z, r, p1, theta) + _geometry.area(z, r, p2, -theta)
    exact = np.array([oracle.planet_area(*args) for args in zip(z, r, p1, p2, theta)])
    assert np.max(np.abs(composed - exact)) < 1e-13


def test_equal_radii_compose_to_the_lens() -> None:
    z, r, p, _, theta = random_configurations(4000, seed=8)
    composed = _geometry.area(z, r, p, theta) + _geometry.area(z, r, p, -theta)
    lens = np.array([lens_area(*args) for args in zip(z, r, p)])
    assert np.max(np.abs(composed - lens)) < 1e-13


def test_fast_path_is_bit_identical_to_area() -> None:
    rng = np.random.default_rng(21)
    for _ in range(200):
        z = rng.uniform(0.0, 1.3)
        p1, p2 = rng.uniform(0.0, 0.3, 2)
        theta = rng.uniform(-PI / 2 - 1e-9, PI / 2 + 1e-9)
        radii = np.concatenate(
            [rng.uniform(1e-4, 1.0, 200), [abs(z - p1), z + p1, abs(z - p2), z + p2, 1.0]]
        )
        radii = radii[radii > 0]
        for both in (True, False):
            fast = _geometry.planet_area(z, radii, p1, p2, theta, both)
            plain = _geometry.area(z, radii, p1, theta)
            if both:
                plain = plain + _geometry.area(z, radii, p2, -theta)
            np.testing.assert_array_equal(fast, plain)


def tangent_configurations(kind: str, sign: float, tiny: bool, seed: int) -> list[tuple]:
    """(z, r, p, theta) with the star circle within d of tangency with the planet's rim."""
    rng = np.random.default_rng(seed)
    cases = []
    for _ in range(150):
        p = rng.uniform(0.01, 0.3)
        d = sign * (10 ** rng.uniform(-16, -13) if tiny else rng.uniform(0.0, 1e-9))
        theta = rng.choice([-1.0, 1.0]) * rng.uniform(0.0, PI / 2)
        if kind == "external":  # r = z - p: the circle passes outside the planet
            z = rng.uniform(p + 0.05, 1.2)
            r = z - p + d
        elif kind == "internal-around":  # r = z + p: the circle encloses the planet
            z = rng.uniform(0.0, 1.0 - p)
            r = z + p + d
        else:  # r = p - z: the circle lies inside the planet
            z = rng.uniform(0.0, p - 0.005)
            r = p - z + d
        cases.append((z, r, p, theta))
    return cases


TANGENCIES = pytest.mark.parametrize(
    ("kind", "sign"),
    [(k, s) for k in ("external", "internal-around", "internal-inside") for s in (-1.0, 1.0)],
)


# Within 1e-9 of tangency the lens formulas meet a quadrilateral whose Heron radicand is of
# rounding size and, where the circles do not meet, negative: it must count as empty.
@TANGENCIES
def test_areas_within_a_nanometre_of_tangency(kind: str, sign: float) -> None:
    cases = tangent_configurations(kind, sign, tiny=False, seed=len(kind) + int(sign))
    errors = [abs(_geometry.area(*c) - oracle.half_disc_area(*c)) for c in cases]
    assert max(errors) < 1e-9


# Closer still, the arccosine arguments of the lens lie within rounding of +-1 and keep about
# half their digits: the area is then right to about sqrt(2 eps) times the squared radius.
@TANGENCIES
def test_areas_at_rounding_level_tangency(kind: str, sign: float) -> None:
    cases = tangent_configurations(kind, sign, tiny=True, seed=len(kind) + int(sign))
    for z, r, p, theta in cases:
        error = abs(_geometry.area(z, r, p, theta) - oracle.half_disc_area(z, r, p, theta))
        assert error < 3e-8 * max(r, p) ** 2, (z, r, p, theta)


def test_lens_is_bit_for_bit_the_closed_formula_where_the_circles_meet() -> None:
    # Away from tangency, the lens is p^2 acos(gp) + r^2 acos(gr) - K with the plain root.
    rng = np.random.default_rng(2)
    checked = 0
    for _ in range(3000):
        z, r, p = rng.uniform(0.05, 1.0), rng.uniform(0.05, 1.0), rng.uniform(0.01, 0.3)
        theta = rng.uniform(0.0, PI / 2)
        if _geometry.configuration(z, r, p, theta) != 9:
            continue
        gr = ((z * z + r * r) - p * p) / ((z + z) * r)
        gp = ((z * z + p * p) - r * r) / ((z + z) * p)
        radicand = ((z + r) + p) * (((z - r) + p) * (((z + r) - p) * ((r - z) + p)))
        if radicand <= 0 or abs(gr) > 1 or abs(gp) > 1:
            continue
        plain = (p * p * math.acos(gp) + r * r * math.acos(gr)) - 0.5 * math.sqrt(abs(radicand))
        assert _geometry.area(z, r, p, theta) == plain
        checked += 1
    assert checked > 100


def test_area_is_never_negative() -> None:
    rng = np.random.default_rng(4)
    p = rng.uniform(0.01, 0.3, 20000)
    z = rng.uniform(p, 1.2)
    d = rng.uniform(-2e-9, 2e-9, 20000)
    theta = rng.uniform(-PI / 2, PI / 2, 20000)
    for r in (z - p + d, z + p + d, np.abs(p - z) + d):
        areas = _geometry.area(z, np.maximum(r, 1e-6), p, theta)
        assert np.all(areas >= 0.0)


# ---- Dividing-line angle -------------------------------------------------------------------

# Separation 0.5 and crossing index 2: index 1 lies before the crossing, index 5 after it.
THETA_TABLE = [
    (5, 0.3, 0.2, -0.111517),
    (1, 0.3, 0.2, -0.711517),
    (5, 0.3, -0.2, 0.711517),
    (1, 0.3, -0.2, 0.111517),
    (1, -2.0, 0.2, 1.588483),
    (5, 2.5, -0.2, 0.230076),
]


@pytest.mark.parametrize(("index", "line_angle", "offset", "expected"), THETA_TABLE)
def test_find_theta_worked_values(
    index: int, line_angle: float, offset: float, expected: float
) -> None:
    assert _geometry.find_theta(index, line_angle, 0.5, offset, 2.0) == pytest.approx(
        expected, abs=5e-7
    )


def test_fold_of_an_angle_beyond_a_quarter_turn() -> None:
    assert _geometry.line_theta(1, -2.0, 0.5, 0.2, 2.0) == pytest.approx(1.553109, abs=5e-7)


@pytest.mark.parametrize("line_angle", [-3.0, -1.5707963257948966, -1.0, 0.0, 1.2, 2.9])
def test_find_theta_on_the_reference_axis(line_angle: float) -> None:
    after = _geometry.find_theta(5, line_angle, 0.5, 0.0, 2.0)
    before = _geometry.find_theta(1, line_angle, 0.5, 0.0, 2.0)
    assert after == (line_angle if line_angle > 1e-9 - PI / 2 else -(line_angle + PI))
    assert before == (line_angle - PI if line_angle >= PI / 2 - 1e-9 else -line_angle)


def test_find_theta_straight_below_the_star() -> None:
    # Offset equal to minus the separation: lower case with s = 1.
    for line_angle in (-2.0, -1e-8, 0.0, 1.0):
        expected = line_angle + PI / 2 if line_angle < -1e-9 else PI / 2 - line_angle
        assert _geometry.find_theta(5, line_angle, 0.5, -0.5, 2.0) == pytest.approx(expected)


def test_find_theta_tiny_negative_offset_keeps_its_sign() -> None:
    # Upper case, s slightly negative: asin(s) < 0 enters the result.
    value = _geometry.find_theta(5, 0.3, 0.5, -5e-10, 2.0)
    assert value == -(math.asin(-5e-10 / 0.5) - 0.3)


@pytest.mark.parametrize(
    ("crossing", "befores"), [(-1.0, 0), (2.0, 3), (2.5, 3), (10.0, 10), (math.nan, 0)]
)
def test_side_of_the_crossing(crossing: float, befores: int) -> None:
    index = np.arange(10)
    theta = _geometry.find_theta(index, 0.3, 0.5, 0.2, crossing)
    before_value = _geometry.find_theta(0, 0.3, 0.5, 0.2, 100.0)
    assert int(np.sum(theta == before_value)) == befores


@pytest.mark.parametrize(
    ("line_angle", "separation", "offset"),
    [
        (0.3, 0.0, 0.0),
        (0.3, 0.0, 0.1),
        (0.3, 0.5, 0.6),
        (0.3, 0.5, -0.5 - 2e-9),
        (math.nan, 0.5, 0.1),
    ],
)
def test_undefined_angle_gives_zero(line_angle: float, separation: float, offset: float) -> None:
    for index in (1, 5):
        assert _geometry.find_theta(index, line_angle, separation, offset, 2.0) == 0.0


def find_theta_table(index: int, line: float, z: float, y: float, crossing: float) -> float:
    """The selection table of the dividing-line angle, for |y| <= z."""
    before = crossing >= index
    upper = y >= 0 or abs(y) < 1e-9
    s = y / z if upper else abs(y) / z
    a, big_s = math.acos(s), math.asin(s)
    if upper and before:
        return -((PI - big_s) - line) if line >= a + (-1e-9) else (-line) - big_s
    if upper:
        return -(big_s - line) if line > 1e-9 - a else -((line + PI) - big_s)
    if before:
        return -(line - big_s) if line > 1e-9 - a else (PI - big_s) + line
    return -((-line) - big_s) if line < a + (-1e-9) else (PI - big_s) - line


def test_offsets_within_the_separation_follow_the_table_exactly() -> None:
    rng = np.random.default_rng(9)
    z = rng.uniform(1e-3, 1.3, 3000)
    y = z * rng.uniform(-1.0, 1.0, 3000)
    y[:100] = -z[:100]
    y[100:200] = z[100:200]
    y[200:300] = rng.uniform(-1e-9, 1e-9, 100)
    line = rng.uniform(-PI, PI, 3000)
    index = rng.integers(0, 10, 3000)
    result = _geometry.find_theta(index, line, z, y, 4.5)
    expected = [find_theta_table(*args, 4.5) for args in zip(index, line, z, y)]
    np.testing.assert_array_equal(result, expected)


@pytest.mark.parametrize("excess", [1e-16, 1e-13, 5e-10, 1e-9])
@pytest.mark.parametrize("sign", [-1.0, 1.0])
def test_offset_beyond_the_separation_by_rounding_is_on_the_normal_axis(
    excess: float, sign: float
) -> None:
    z = 0.17452406437281462
    y = sign * (z + excess)
    for index, line in ((1, 2.2), (5, 2.2), (1, -0.4), (5, -0.4)):
        got = _geometry.find_theta(index, line, z, y, 2.0)
        assert got == find_theta_table(index, line, z, sign * z, 2.0)


def test_sky_geometry_of_the_folded_angle() -> None:
    # The folded angle describes the half-disc whose line makes the angle
    # line_angle - atan2(Y, X) with the line of centres, X taking its sign from the side.
    rng = np.random.default_rng(13)
    worst = 0.0
    for _ in range(400):
        z = rng.uniform(0.02, 1.2)
        y = z * rng.uniform(-1.0, 1.0)
        index = int(rng.integers(0, 10))
        line = rng.uniform(-PI, PI)
        r = rng.uniform(0.01, 1.0)
        p = rng.uniform(0.01, 0.3)
        x = math.copysign(math.sqrt(max(z * z - y * y, 0.0)), -1.0 if index <= 4.5 else 1.0)
        theta = _geometry.line_theta(index, line, z, y, 4.5)
        assert abs(theta) <= PI / 2 + 1e-9
        exact = oracle.half_disc_area(z, r, p, oracle.sky_theta(x, y, line))
        worst = max(worst, abs(_geometry.area(z, r, p, theta) - exact))
    assert worst < 1e-9


def test_index_outside_the_32_bit_range_is_refused() -> None:
    with pytest.raises(ValueError, match="32-bit"):
        _geometry.find_theta(np.array([2**31]), 0.3, 0.5, 0.2, 2.0)
    with pytest.raises(TypeError):
        _geometry.find_theta(1.5, 0.3, 0.5, 0.2, 2.0)
