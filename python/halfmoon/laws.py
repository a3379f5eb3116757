"""The stellar limb-darkening laws: one table for the whole package.

Each law gives the intensity I(mu) of the stellar disc, mu being the cosine of the angle between
the line of sight and the stellar surface normal (mu = sqrt(1 - r^2) at projected radius r).
The table records each law's coefficients, its formula, and which integration methods take it:
``"exact"`` for every law the compiled engine knows (its own table, ``_engine.LAWS``, is the
authority), ``"annulus"`` for the three laws of the annulus light-curve modules (and the
uniform star, which any of them integrates with zero coefficients).
"""

from __future__ import annotations

import functools
import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import _engine
from .validation import real

__all__ = [
    "LAWS",
    "LIMB_DARKENING_LAWS",
    "Law",
    "check_coefficients",
    "coefficient_problems",
    "intensity",
]


@dataclass(frozen=True)
class Law:
    """One limb-darkening law.

    Attributes
    ----------
    name : str
        The name used in :class:`halfmoon.Parameters`.
    coefficients : tuple of str or None
        The coefficients' names in order; None for a law with a variable number of them.
    formula : str
        The intensity, as text.
    exact : bool
        Whether the exact engine integrates it.
    annulus : bool
        Whether the annulus light-curve modules integrate it.
    """

    name: str
    coefficients: tuple[str, ...] | None
    formula: str
    exact: bool
    annulus: bool

    @property
    def count(self) -> int | None:
        """Number of coefficients, None where it varies."""
        return None if self.coefficients is None else len(self.coefficients)


# Coefficient names and formulas. Whether a law is exact follows from the engine's table.
_DESCRIPTIONS: dict[str, tuple[tuple[str, ...] | None, str]] = {
    "uniform": ((), "I = 1"),
    "linear": (("u",), "I = 1 - u (1 - mu)"),
    "quadratic": (("u1", "u2"), "I = 1 - u1 (1 - mu) - u2 (1 - mu)^2"),
    "square_root": (("c1", "c2"), "I = 1 - c1 (1 - mu) - c2 (1 - sqrt(mu))"),
    "nonlinear": (("c1", "c2", "c3", "c4"), "I = 1 - sum_k c_k (1 - mu^(k/2)), k = 1..4"),
    "exponential": (("c1", "c2"), "I = 1 - c1 (1 - mu) - c2 / (1 - exp(mu))"),
    "power2": (("c", "alpha"), "I = 1 - c (1 - mu^alpha), alpha > 0"),
    "tabulated": (
        None,
        "I(mu) given on a grid: coefficients (mu_1..mu_m, I_1..I_m), monotone cubic in mu",
    ),
}
# The laws of the annulus light-curve modules (and the uniform star as zero coefficients).
_ANNULUS_LAWS = ("uniform", "quadratic", "nonlinear", "exponential")


def _build_table() -> dict[str, Law]:
    table = {}
    for name, (coefficients, formula) in _DESCRIPTIONS.items():
        exact = name in _engine.LAWS
        annulus = name in _ANNULUS_LAWS
        if exact or annulus:
            table[name] = Law(name, coefficients, formula, exact, annulus)
    return table


#: Every law the package can integrate, by name.
LAWS: dict[str, Law] = _build_table()

#: Number of coefficients of each law (None where it varies).
LIMB_DARKENING_LAWS: dict[str, int | None] = {name: law.count for name, law in LAWS.items()}


def _law(name: Any) -> Law:
    if not isinstance(name, str) or name not in LAWS:
        known = ", ".join(repr(k) for k in LAWS)
        raise ValueError(f"law must be one of {known}, got {name!r}")
    return LAWS[name]


def check_coefficients(
    law: str, coefficients: Any, name: str = "coefficients"
) -> tuple[float, ...]:
    """The law's coefficients as a tuple of floats, or ValueError naming what is wrong.

    Checks the count and that each coefficient is a finite real, and the law's own rules
    (``alpha`` > 0 for ``"power2"``; for ``"tabulated"``, an even count of at least four, the
    mu grid strictly increasing within [0, 1] and the intensities >= 0).
    """
    spec = _law(law)
    if not isinstance(coefficients, tuple) and (
        isinstance(coefficients, (str, bytes)) or np.ndim(coefficients) != 1
    ):
        raise ValueError(f"{name} must be a sequence of numbers, got {coefficients!r}")
    values = tuple(real(f"{name}[{k}]", c) for k, c in enumerate(coefficients))
    expected = spec.count
    if expected is not None and len(values) != expected:
        raise ValueError(
            f"{name} must hold {expected} coefficient(s) for the {law} law, got {len(values)}"
        )
    if law == "power2" and not values[1] > 0.0:
        raise ValueError(f"{name}[1] (alpha of the power2 law) must be > 0, got {values[1]!r}")
    if law == "tabulated":
        _check_profile(values, name)
    return values


def _check_profile(values: tuple[float, ...], name: str) -> None:
    if len(values) < 4 or len(values) % 2:
        raise ValueError(
            f"{name} must hold the mu grid then the intensities (2m values, m >= 2), "
            f"got {len(values)}"
        )
    m = len(values) // 2
    mu, profile = np.array(values[:m]), np.array(values[m:])
    if mu[0] < 0.0 or mu[-1] > 1.0 or np.any(np.diff(mu) <= 0.0):
        raise ValueError(f"{name}: the mu grid must increase strictly within [0, 1]")
    if np.any(profile < 0.0):
        raise ValueError(f"{name}: the intensities must be >= 0")


def intensity(law: str, coefficients: Sequence[float], mu: Any) -> np.ndarray:
    """The law's intensity at ``mu`` (array-like within [0, 1]), unnormalised (I(1) = 1 for
    the analytic laws)."""
    c = check_coefficients(law, coefficients)
    m = np.asarray(mu, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        if law == "uniform":
            return np.ones_like(m)
        if law == "linear":
            return 1.0 - c[0] * (1.0 - m)
        if law == "quadratic":
            return 1.0 - c[0] * (1.0 - m) - c[1] * (1.0 - m) ** 2
        if law == "square_root":
            return 1.0 - c[0] * (1.0 - m) - c[1] * (1.0 - np.sqrt(m))
        if law == "nonlinear":
            root = np.sqrt(m)
            return (1.0 - c[0] - c[1] - c[2] - c[3]) + root * (
                c[0] + root * (c[1] + root * (c[2] + root * c[3]))
            )
        if law == "exponential":
            return 1.0 - c[0] * (1.0 - m) - c[1] / (1.0 - np.exp(m))
        if law == "power2":
            return 1.0 - c[0] * (1.0 - m ** c[1])
    grid, profile = np.array(c[: len(c) // 2]), np.array(c[len(c) // 2 :])
    return _monotone_cubic(grid, profile, m)


def _monotone_cubic(grid: np.ndarray, values: np.ndarray, x: np.ndarray) -> np.ndarray:
    """Monotone piecewise-cubic interpolation (Fritsch-Carlson slopes), held constant beyond
    the grid's ends."""
    h = np.diff(grid)
    delta = np.diff(values) / h
    slopes = np.zeros_like(values)
    if grid.size == 2:
        slopes[:] = delta[0]
    else:
        inner = delta[:-1] * delta[1:] > 0.0
        w1 = 2.0 * h[1:] + h[:-1]
        w2 = h[1:] + 2.0 * h[:-1]
        with np.errstate(divide="ignore", invalid="ignore"):
            harmonic = (w1 + w2) / (w1 / delta[:-1] + w2 / delta[1:])
        slopes[1:-1] = np.where(inner, harmonic, 0.0)
        slopes[0] = _end_slope(h[0], h[1], delta[0], delta[1])
        slopes[-1] = _end_slope(h[-1], h[-2], delta[-1], delta[-2])
    xc = np.clip(x, grid[0], grid[-1])
    k = np.clip(np.searchsorted(grid, xc, side="right") - 1, 0, grid.size - 2)
    t = (xc - grid[k]) / h[k]
    h00 = (1.0 + 2.0 * t) * (1.0 - t) ** 2
    h10 = t * (1.0 - t) ** 2
    h01 = t * t * (3.0 - 2.0 * t)
    h11 = t * t * (t - 1.0)
    return (
        h00 * values[k] + h10 * h[k] * slopes[k] + h01 * values[k + 1] + h11 * h[k] * slopes[k + 1]
    )


def _end_slope(h0: float, h1: float, d0: float, d1: float) -> float:
    """One-sided three-point slope at a grid end, kept monotone."""
    slope = ((2.0 * h0 + h1) * d0 - h0 * d1) / (h0 + h1)
    if slope * d0 <= 0.0:
        return 0.0
    if d0 * d1 <= 0.0 and abs(slope) > abs(3.0 * d0):
        return 3.0 * d0
    return slope


def coefficient_problems(law: str, coefficients: Sequence[float]) -> list[str]:
    """What is physically wrong with a set of coefficients, as sentences (empty when nothing).

    The intensity must be >= 0 everywhere on the disc and the star's total flux > 0. Samplers
    that prefer a prior of -inf to an exception can test a draw with this first; it is cheap
    (closed forms for the uniform, linear and quadratic laws, and a cached test on a fixed grid
    of mu for the others).

    Parameters
    ----------
    law : str
        The law's name.
    coefficients : sequence of float
        Its coefficients.

    Returns
    -------
    list of str
        The problems found; also those of :func:`check_coefficients`.

    Examples
    --------
    >>> from halfmoon.laws import coefficient_problems
    >>> coefficient_problems("quadratic", (0.4, 0.25))
    []
    >>> coefficient_problems("quadratic", (1.5, 0.2))[0][:35]
    'the intensity is negative near mu ='
    """
    try:
        c = check_coefficients(law, coefficients)
    except ValueError as error:
        return [str(error)]
    return list(physical_problems(law, c))


@functools.lru_cache(maxsize=4096)
def physical_problems(law: str, c: tuple[float, ...]) -> tuple[str, ...]:
    """The physical problems of coefficients already checked by :func:`check_coefficients`
    (cached)."""
    problems = []
    lowest = _lowest_intensity(law, c)
    if lowest is not None:
        problems.append(
            f"the intensity is negative near mu = {lowest[0]:.4g} (I = {lowest[1]:.4g})"
        )
    total = total_flux(law, c)
    if not total > 0.0:
        problems.append(f"the star's total flux is not positive ({total:.4g})")
    return tuple(problems)


# The mu values at which laws without a closed-form minimum are tested: dense towards the
# limb, where mu^(1/2) and 1 / (1 - e^mu) change fastest.
_TEST_MU = np.linspace(0.0, 1.0, 513) ** 2


def _lowest_intensity(law: str, c: tuple[float, ...]) -> tuple[float, float] | None:
    """(mu, I) where the intensity is negative, or None where it is >= 0 everywhere."""
    if law in ("uniform", "linear", "quadratic"):
        # I = 1 - u1 x - u2 x^2 with x = 1 - mu in [0, 1]: its minimum lies at an end or, for
        # u2 < 0, at the vertex x = -u1 / (2 u2).
        u1 = c[0] if c else 0.0
        u2 = c[1] if len(c) > 1 else 0.0
        candidates = [0.0, 1.0]
        if u2 < 0.0 and 0.0 < -u1 / (2.0 * u2) < 1.0:
            candidates.append(-u1 / (2.0 * u2))
        for x in candidates:
            value = 1.0 - u1 * x - u2 * x * x
            if value < 0.0:
                return 1.0 - x, value
        return None
    mu = _TEST_MU[1:] if law == "exponential" else _TEST_MU  # c2 / (e^mu - 1) diverges at 0
    values = intensity(law, c, mu)
    negative = np.flatnonzero(~(values >= 0.0))
    if negative.size == 0:
        return None
    return float(mu[negative[0]]), float(values[negative[0]])


def total_flux(law: str, coefficients: Sequence[float]) -> float:
    """The integral of the intensity over the unit disc, 2 pi int_0^1 I(mu) mu dmu."""
    c = check_coefficients(law, coefficients)
    closed = {
        "uniform": lambda: 1.0 / 2.0,
        "linear": lambda: 1.0 / 2.0 - c[0] / 6.0,
        "quadratic": lambda: 1.0 / 2.0 - c[0] / 6.0 - c[1] / 12.0,
        "square_root": lambda: 1.0 / 2.0 - c[0] / 6.0 - c[1] / 10.0,
        "nonlinear": lambda: (
            1.0 / 2.0 - sum(ck * (k + 1) / (2.0 * (k + 5)) for k, ck in enumerate(c))
        ),
        "exponential": lambda: 1.0 / 2.0 - c[0] / 6.0 + c[1] * _BOSE_INTEGRAL,
        "power2": lambda: 1.0 / 2.0 - c[0] * (1.0 / 2.0 - 1.0 / (c[1] + 2.0)),
    }
    if law in closed:
        return 2.0 * math.pi * closed[law]()
    # Tabulated: the interpolant integrated by the midpoint rule on a fine grid (a sign check,
    # not the engine's exact value).
    edges = np.linspace(0.0, 1.0, 20001)
    mid = 0.5 * (edges[1:] + edges[:-1])
    return 2.0 * math.pi * float(np.sum(intensity(law, c, mid) * mid) * (edges[1] - edges[0]))


# The integral of mu / (e^mu - 1) over mu from 0 to 1.
_BOSE_INTEGRAL = 0.7775046341122482
