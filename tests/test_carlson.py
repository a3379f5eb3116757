"""Carlson's symmetric elliptic integrals of the closed-form light curve, against mpmath.

The routines are reached through the private helpers of ``halfmoon._testing``. References are
mpmath's ``elliprf``, ``elliprd``, ``elliprj`` and ``elliprc`` at 30 digits.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence

import mpmath
import numpy as np
import pytest
from halfmoon import _testing

# Relative accuracy the duplication routines reach (worst seen about 9e-16).
REL_TOL = 2e-15


def _relative_error(value: float, reference: mpmath.mpf) -> float:
    return abs(float((mpmath.mpf(value) - reference) / reference))


def _mp(*args: float) -> list[mpmath.mpf]:
    return [mpmath.mpf(a) for a in args]


def _magnitude(rng: np.random.Generator) -> float:
    """A positive argument of any size from 1e-12 to 1e3, or of order one."""
    if rng.random() < 0.5:
        return float(10.0 ** rng.uniform(-12.0, 3.0))
    return float(rng.uniform(0.0, 2.0))


def _sweep(seed: int, count: int) -> list[tuple[float, float, float, float]]:
    """Seeded arguments (x, y, z, p): mixed magnitudes, some x = 0, and a third of the p
    between 1e-8 and 1e-6 of max(x, y)."""
    rng = np.random.default_rng(seed)
    rows = []
    for i in range(count):
        x, y, z = _magnitude(rng), _magnitude(rng), _magnitude(rng)
        if i % 5 == 0:
            x = 0.0
        if i % 3 == 0:
            p = float(10.0 ** rng.uniform(-8.0, -6.0)) * max(x, y)
        else:
            p = _magnitude(rng)
        rows.append((x, y, z, p))
    return rows


SWEEP = _sweep(20240611, 160)

CASES: dict[str, tuple[Callable[..., float], Callable[..., mpmath.mpf], int]] = {
    "rf": (_testing.carlson_rf, mpmath.elliprf, 3),
    "rd": (_testing.carlson_rd, mpmath.elliprd, 3),
    "rj": (_testing.carlson_rj, mpmath.elliprj, 4),
    "rc": (_testing.carlson_rc, mpmath.elliprc, 2),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_against_mpmath_over_mixed_magnitudes(name: str) -> None:
    ours, reference, arity = CASES[name]
    worst = 0.0
    with mpmath.workdps(30):
        for row in SWEEP:
            args = row[:arity] if name != "rc" else (row[0], row[1] + row[3])
            worst = max(worst, _relative_error(ours(*args), reference(*_mp(*args))))
    assert worst < REL_TOL


def test_rj_with_p_far_below_the_other_arguments() -> None:
    """p from 1e-8 to 1e-6 of x and y, z = 1: the arguments of the third-kind term next to a
    rim through the star's centre. Forming 1 + e by addition in the first duplication step
    loses about 1e-13 here."""
    rng = np.random.default_rng(7)
    worst = 0.0
    with mpmath.workdps(30):
        for i in range(120):
            x = 0.0 if i % 4 == 0 else float(rng.uniform(0.0, 1.0) * 10.0 ** rng.uniform(-4, 0))
            y = float(rng.uniform(0.0, 1.0))
            p = float(10.0 ** rng.uniform(-8.0, -6.0)) * max(x, y)
            reference = mpmath.elliprj(*_mp(x, y, 1.0, p))
            worst = max(worst, _relative_error(_testing.carlson_rj(x, y, 1.0, p), reference))
    assert worst < REL_TOL


def test_shared_duplication_matches_each_integral() -> None:
    """R_F, R_D and R_J from one duplication sequence, as the closed form uses them."""
    worst = 0.0
    with mpmath.workdps(30):
        for x, y, z, p in SWEEP:
            triple = _testing.carlson_rf_rd_rj(x, y, z, p)
            refs = (
                mpmath.elliprf(*_mp(x, y, z)),
                mpmath.elliprd(*_mp(x, y, z)),
                mpmath.elliprj(*_mp(x, y, z, p)),
            )
            worst = max(worst, *(_relative_error(v, r) for v, r in zip(triple, refs)))
    assert worst < REL_TOL


def test_complete_triples_taken_by_cel_match_mpmath() -> None:
    """x or y zero with z = 1: the complete triples, which the batch hands to Bulirsch's
    iteration instead of duplicating; the other argument and p from 1e-12 to 1e12."""
    rng = np.random.default_rng(11)
    worst = 0.0
    with mpmath.workdps(30):
        for i in range(150):
            other = float(10.0 ** rng.uniform(-12.0, 12.0))
            p = float(10.0 ** rng.uniform(-12.0, 12.0))
            x, y = (0.0, other) if i % 2 else (other, 0.0)
            triple = _testing.carlson_rf_rd_rj(x, y, 1.0, p)
            refs = (
                mpmath.elliprf(*_mp(x, y, 1.0)),
                mpmath.elliprd(*_mp(x, y, 1.0)),
                mpmath.elliprj(*_mp(x, y, 1.0, p)),
            )
            worst = max(worst, *(_relative_error(v, r) for v, r in zip(triple, refs)))
    assert worst < REL_TOL


@pytest.mark.parametrize(
    ("name", "args", "expected"),
    [
        # Equal arguments: R_F = R_C = x^(-1/2), R_D = R_J = x^(-3/2).
        ("rf", (0.36, 0.36, 0.36), 1.0 / 0.6),
        ("rc", (0.36, 0.36), 1.0 / 0.6),
        ("rd", (0.36, 0.36, 0.36), 1.0 / 0.216),
        ("rj", (0.36, 0.36, 0.36, 0.36), 1.0 / 0.216),
        # Complete integrals: R_F(0, 1, 1) = pi/2, R_C(0, 1/4) = pi, R_D(0, 1, 1) = 3 pi/4.
        ("rf", (0.0, 1.0, 1.0), math.pi / 2.0),
        ("rf", (1.0, 1.0, 0.0), math.pi / 2.0),
        ("rc", (0.0, 0.25), math.pi),
        ("rd", (0.0, 1.0, 1.0), 3.0 * math.pi / 4.0),
        # R_C(x, y) for y < x and y > x in elementary form.
        ("rc", (1.0, 0.25), math.log(2.0 + math.sqrt(3.0)) / math.sqrt(0.75)),
        ("rc", (1.0, 2.0), math.atan(1.0)),
    ],
)
def test_closed_values(name: str, args: Sequence[float], expected: float) -> None:
    value = CASES[name][0](*args)
    assert abs(value - expected) <= 2e-15 * abs(expected)


@pytest.mark.parametrize(
    ("name", "args"),
    [
        ("rf", (0.0, 0.0, 1.0)),  # two zero arguments: infinite, and no convergence
        ("rd", (0.0, 0.0, 1.0)),
        ("rj", (0.0, 0.0, 1.0, 1.0)),
        ("rj", (1.0, 2.0, 3.0, 0.0)),
        ("rc", (1.0, 0.0)),
        ("rf", (-1.0, 1.0, 1.0)),
        ("rj", (1.0, 1.0, 1.0, -1.0)),
        ("rf", (math.nan, 1.0, 1.0)),
        ("rd", (1.0, 1.0, math.nan)),
        ("rj", (1.0, 1.0, 1.0, math.nan)),
        ("rc", (math.nan, 1.0)),
    ],
)
def test_invalid_arguments_return_without_a_finite_value(name: str, args: Sequence[float]) -> None:
    """Arguments outside the domain give a non-finite value (or the divergent limit) and
    return: no call loops for ever."""
    value = CASES[name][0](*args)
    assert not math.isfinite(value)
