"""Conversions every transit fit needs.

- impact parameter <-> inclination, for circular and eccentric orbits;
- stellar density <-> scaled semi-major axis (Kepler's third law);
- Kipping's (q1, q2) <-> the quadratic law's (u1, u2);
- total and full transit durations of the two-limb planet.

Angles are in degrees, lengths in stellar radii, as in :class:`halfmoon.Parameters`. The
functions take NumPy arrays as well as numbers (element-wise).

References for the formulas: the sky-projected separation at conjunction and the durations
follow Winn (2010), "Transits and Occultations"; the (q1, q2) parametrisation is Kipping (2013,
MNRAS 435, 2152).
"""

from __future__ import annotations

import math
from typing import Union

import numpy as np
import numpy.typing as npt

__all__ = [
    "GRAVITATIONAL_CONSTANT",
    "density_from_semi_major_axis",
    "full_duration",
    "impact_parameter",
    "inclination",
    "kipping_from_quadratic",
    "quadratic_from_kipping",
    "semi_major_axis_from_density",
    "total_duration",
]

#: Newton's constant, m^3 kg^-1 s^-2 (CODATA 2018).
GRAVITATIONAL_CONSTANT = 6.67430e-11
_SECONDS_PER_DAY = 86400.0
_KG_PER_M3_PER_G_PER_CM3 = 1000.0

Number = Union[float, np.ndarray]


def _eccentric_factor(eccentricity: npt.ArrayLike, periastron: npt.ArrayLike) -> np.ndarray:
    """(1 - e^2) / (1 + e sin omega): the orbital radius at transit over a."""
    e = np.asarray(eccentricity, dtype=np.float64)
    omega = np.radians(periastron)
    return (1.0 - e * e) / (1.0 + e * np.sin(omega))


def _result(value: np.ndarray) -> Number:
    return float(value) if np.ndim(value) == 0 else value


def impact_parameter(
    inclination: npt.ArrayLike,
    semi_major_axis: npt.ArrayLike,
    eccentricity: npt.ArrayLike = 0.0,
    periastron: npt.ArrayLike = 90.0,
) -> Number:
    """Sky separation at mid-transit in stellar radii: b = a cos(i) (1 - e^2)/(1 + e sin w).

    Parameters
    ----------
    inclination : float or array_like
        Degrees.
    semi_major_axis : float or array_like
        Stellar radii.
    eccentricity, periastron : float or array_like, optional
        Eccentricity and argument of periastron (degrees); default a circular orbit.

    Examples
    --------
    >>> round(impact_parameter(86.71, 8.76), 6)
    0.502734
    """
    cos_i = np.cos(np.radians(inclination))
    b = np.asarray(semi_major_axis, dtype=np.float64) * cos_i
    return _result(b * _eccentric_factor(eccentricity, periastron))


def inclination(
    impact: npt.ArrayLike,
    semi_major_axis: npt.ArrayLike,
    eccentricity: npt.ArrayLike = 0.0,
    periastron: npt.ArrayLike = 90.0,
) -> Number:
    """The inclination (degrees, within [0, 90]) that gives impact parameter ``impact`` >= 0.

    The inverse of :func:`impact_parameter`; raises ValueError where no orbit does (an impact
    parameter beyond the orbital radius at conjunction).
    """
    b = np.asarray(impact, dtype=np.float64)
    radius = np.asarray(semi_major_axis, dtype=np.float64) * _eccentric_factor(
        eccentricity, periastron
    )
    cos_i = b / radius
    if np.any(~((cos_i >= 0.0) & (cos_i <= 1.0))):
        raise ValueError(
            "impact must lie within [0, a (1 - e^2) / (1 + e sin(periastron))] for an orbit"
        )
    return _result(np.degrees(np.arccos(cos_i)))


def semi_major_axis_from_density(density: npt.ArrayLike, period: npt.ArrayLike) -> Number:
    """Scaled semi-major axis a / R_star from the star's mean density (Kepler's third law,
    planet mass neglected): (a / R)^3 = G rho P^2 / (3 pi).

    Parameters
    ----------
    density : float or array_like
        Mean stellar density in g cm^-3 (the Sun: 1.41).
    period : float or array_like
        Orbital period in days.

    Examples
    --------
    >>> round(semi_major_axis_from_density(1.41, 365.25636), 1)
    215.0
    """
    rho = np.asarray(density, dtype=np.float64) * _KG_PER_M3_PER_G_PER_CM3
    seconds = np.asarray(period, dtype=np.float64) * _SECONDS_PER_DAY
    return _result(np.cbrt(GRAVITATIONAL_CONSTANT * rho * seconds**2 / (3.0 * math.pi)))


def density_from_semi_major_axis(semi_major_axis: npt.ArrayLike, period: npt.ArrayLike) -> Number:
    """Mean stellar density in g cm^-3 from a / R_star and the period in days: the inverse of
    :func:`semi_major_axis_from_density`."""
    a = np.asarray(semi_major_axis, dtype=np.float64)
    seconds = np.asarray(period, dtype=np.float64) * _SECONDS_PER_DAY
    rho = 3.0 * math.pi * a**3 / (GRAVITATIONAL_CONSTANT * seconds**2)
    return _result(rho / _KG_PER_M3_PER_G_PER_CM3)


def quadratic_from_kipping(q1: npt.ArrayLike, q2: npt.ArrayLike) -> tuple[Number, Number]:
    """The quadratic law's (u1, u2) from Kipping's (q1, q2) in [0, 1]^2:
    u1 = 2 sqrt(q1) q2, u2 = sqrt(q1) (1 - 2 q2).

    Every (q1, q2) in the unit square gives an intensity that is positive and decreases
    towards the limb; sampling them uniformly samples that region of (u1, u2) uniformly.
    """
    root = np.sqrt(np.asarray(q1, dtype=np.float64))
    q2 = np.asarray(q2, dtype=np.float64)
    return _result(2.0 * root * q2), _result(root * (1.0 - 2.0 * q2))


def kipping_from_quadratic(u1: npt.ArrayLike, u2: npt.ArrayLike) -> tuple[Number, Number]:
    """Kipping's (q1, q2) from the quadratic law's (u1, u2): q1 = (u1 + u2)^2,
    q2 = u1 / (2 (u1 + u2)); the inverse of :func:`quadratic_from_kipping` (q2 is taken as 0
    where u1 + u2 = 0)."""
    u1 = np.asarray(u1, dtype=np.float64)
    total = u1 + np.asarray(u2, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        q2 = np.where(total != 0.0, u1 / (2.0 * total), 0.0)
    return _result(total**2), _result(q2)


def _half_duration(
    separation: np.ndarray, impact: np.ndarray, a: np.ndarray, sin_i: np.ndarray
) -> np.ndarray:
    """Orbital phase (radians) from conjunction to the sky separation ``separation`` on a
    circular orbit: sin(phase) = sqrt(s^2 - b^2) / (a sin i); NaN where it is never reached."""
    with np.errstate(invalid="ignore"):
        return np.arcsin(np.sqrt(separation**2 - impact**2) / (a * sin_i))


def _durations(
    period: npt.ArrayLike,
    a: npt.ArrayLike,
    inc: npt.ArrayLike,
    ingress_radius: npt.ArrayLike,
    egress_radius: npt.ArrayLike,
    sign: float,
    eccentricity: npt.ArrayLike,
    periastron: npt.ArrayLike,
) -> Number:
    a = np.asarray(a, dtype=np.float64)
    sin_i = np.sin(np.radians(inc))
    b = np.abs(np.asarray(impact_parameter(inc, a, eccentricity, periastron)))
    phase = _half_duration(1.0 + sign * np.asarray(ingress_radius), b, a, sin_i)
    phase = phase + _half_duration(1.0 + sign * np.asarray(egress_radius), b, a, sin_i)
    e = np.asarray(eccentricity, dtype=np.float64)
    # Eccentric orbits: the sky speed at conjunction relative to the circular one.
    factor = np.sqrt(1.0 - e * e) / (1.0 + e * np.sin(np.radians(periastron)))
    return _result(np.asarray(period) * phase / (2.0 * math.pi) * factor)


def total_duration(
    period: npt.ArrayLike,
    semi_major_axis: npt.ArrayLike,
    inclination: npt.ArrayLike,
    radius_leading: npt.ArrayLike,
    radius_trailing: npt.ArrayLike | None = None,
    eccentricity: npt.ArrayLike = 0.0,
    periastron: npt.ArrayLike = 90.0,
) -> Number:
    """Time from first to last contact, T14, in the unit of ``period``.

    With the dividing line perpendicular to the motion (``rotation`` 0), the leading half
    touches the limb first, at separation 1 + radius_leading, and the trailing half leaves it
    last, at 1 + radius_trailing. Exact for circular orbits; for eccentric ones the sky speed at
    conjunction scales the circular value by sqrt(1 - e^2) / (1 + e sin w) (Winn 2010), good
    when the transit is short against the period. NaN where the planet never reaches that
    separation (no transit).

    Examples
    --------
    >>> round(total_duration(3.52474859, 8.76, 86.71, 0.118, 0.124) * 24, 4)
    3.0917
    """
    trailing = radius_leading if radius_trailing is None else radius_trailing
    return _durations(
        period,
        semi_major_axis,
        inclination,
        radius_leading,
        trailing,
        1.0,
        eccentricity,
        periastron,
    )


def full_duration(
    period: npt.ArrayLike,
    semi_major_axis: npt.ArrayLike,
    inclination: npt.ArrayLike,
    radius_leading: npt.ArrayLike,
    radius_trailing: npt.ArrayLike | None = None,
    eccentricity: npt.ArrayLike = 0.0,
    periastron: npt.ArrayLike = 90.0,
) -> Number:
    """Time from second to third contact, T23 (the planet wholly inside the disc), in the
    unit of ``period``.

    At ingress the trailing half faces away from the star, so the planet is wholly inside once
    the separation is 1 - radius_trailing; at egress the leading half faces away, and the planet
    starts to leave at 1 - radius_leading. NaN for a grazing transit. Same orbit treatment as
    :func:`total_duration`.
    """
    trailing = radius_leading if radius_trailing is None else radius_trailing
    return _durations(
        period,
        semi_major_axis,
        inclination,
        trailing,
        radius_leading,
        -1.0,
        eccentricity,
        periastron,
    )
