"""Physical parameters of a planet with two different limbs on a Keplerian orbit.

The planet is drawn as two half-discs joined along a dividing line through its centre. With
the rotation at zero the line stands perpendicular to the planet's direction of motion on the
sky, so one half-disc leads the motion and the other trails it. For a tidally locked planet in
transit the leading limb is the morning terminator (gas flowing from the night side into the
day side) and the trailing limb the evening terminator.

Angles are given in degrees, as the field writes them; lengths in stellar radii; times in any
unit shared by ``mid_transit``, ``period`` and the model's time array.
"""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass
from typing import Any

__all__ = ["LIMB_DARKENING_LAWS", "Parameters"]

#: Number of coefficients of each supported limb-darkening law.
LIMB_DARKENING_LAWS: dict[str, int] = {
    "uniform": 0,
    "quadratic": 2,
    "nonlinear": 4,
    "exponential": 2,
}

_FLOAT_FIELDS = (
    "mid_transit",
    "period",
    "radius_leading",
    "radius_trailing",
    "semi_major_axis",
    "inclination",
    "eccentricity",
    "periastron",
    "rotation",
)


def _real(name: str, value: Any) -> float:
    """``value`` as a finite float, or ValueError naming the parameter."""
    if isinstance(value, (str, bytes)):
        raise ValueError(f"{name} must be a real number, got {value!r}")
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a real number, got {value!r}") from None
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, got {number!r}")
    return number


@dataclass(frozen=True)
class Parameters:
    """Orbit, shape and stellar limb darkening of a planet with two different limbs.

    The object is immutable and validated on construction; derive changed copies with
    :meth:`replace`. All numbers are stored as Python floats and the coefficients as a tuple.

    Parameters
    ----------
    mid_transit : float
        Time of mid-transit (the time at which the true anomaly is 90 deg minus
        ``periastron``), in the unit of the model's time array.
    period : float
        Orbital period, same unit as ``mid_transit``; > 0.
    radius_leading : float
        Radius of the half-disc that leads the planet's motion on the sky when ``rotation`` is
        0: the morning terminator of a tidally locked planet. Stellar radii, >= 0.
    radius_trailing : float
        Radius of the half-disc that trails the motion when ``rotation`` is 0: the evening
        terminator. Stellar radii, >= 0.
    semi_major_axis : float
        Semi-major axis of the orbit in stellar radii; > 0.
    inclination : float
        Orbital inclination in degrees, 0 <= inclination <= 180 (90 is edge-on).
    eccentricity : float, optional
        Orbital eccentricity, 0 <= eccentricity < 1. Default 0.
    periastron : float, optional
        Argument of periastron in degrees. Default 90.
    rotation : float, optional
        Rotation of the dividing line away from the perpendicular to the direction of motion,
        in degrees, counter-clockwise in the sky frame of the model (see
        :class:`halfmoon.Model`). At +90 the line lies along the direction of motion and the
        trailing-limb half sits on the right of the motion (the side away from the star's
        centre for ``inclination`` < 90); at -90 it sits on the left. Default 0.
    law : {"uniform", "quadratic", "nonlinear", "exponential"}, optional
        Stellar limb-darkening law, with mu the cosine of the angle between the line of sight
        and the stellar surface normal and c1, c2, ... the ``coefficients``:

        - ``"uniform"``: I = 1, no coefficients;
        - ``"quadratic"``: I = 1 - c1 (1 - mu) - c2 (1 - mu)^2;
        - ``"nonlinear"``: I = 1 - sum_k c_k (1 - mu^(k/2)), k = 1..4;
        - ``"exponential"``: I = 1 - c1 (1 - mu) - c2 / (1 - exp(mu)).

        Default ``"uniform"``.
    coefficients : sequence of float, optional
        The law's coefficients: 0, 2, 4 and 2 of them respectively. Default ``()``.
    flux_ratio : float or None, optional
        Planet-to-star flux ratio, >= 0, needed for secondary eclipses only. Default None.
    eclipse_radius : float or None, optional
        Radius of the uniformly bright disc that the star hides in a secondary eclipse,
        stellar radii, >= 0. Default None: the area-equivalent radius of the two halves,
        sqrt((radius_leading**2 + radius_trailing**2) / 2) (:attr:`equivalent_radius`).

    Raises
    ------
    ValueError
        For a value that is not a finite real number, a negative radius, ``eccentricity``
        outside [0, 1), a non-positive ``period`` or ``semi_major_axis``, ``inclination``
        outside [0, 180], an unknown law or the wrong number of coefficients for it, or a
        negative ``flux_ratio``. The message names the parameter.

    Examples
    --------
    >>> from halfmoon import Parameters
    >>> params = Parameters(mid_transit=0.0, period=3.5, radius_leading=0.118,
    ...                     radius_trailing=0.124, semi_major_axis=8.8, inclination=86.7,
    ...                     law="quadratic", coefficients=(0.33, 0.23))
    >>> params.replace(rotation=30.0).rotation
    30.0
    """

    mid_transit: float
    period: float
    radius_leading: float
    radius_trailing: float
    semi_major_axis: float
    inclination: float
    eccentricity: float = 0.0
    periastron: float = 90.0
    rotation: float = 0.0
    law: str = "uniform"
    coefficients: tuple[float, ...] = ()
    flux_ratio: float | None = None
    eclipse_radius: float | None = None

    def __post_init__(self) -> None:
        for name in _FLOAT_FIELDS:
            object.__setattr__(self, name, _real(name, getattr(self, name)))
        self._check_ranges()
        self._check_law()
        for name in ("flux_ratio", "eclipse_radius"):
            value = getattr(self, name)
            if value is not None:
                value = _real(name, value)
                if value < 0.0:
                    raise ValueError(f"{name} must be >= 0, got {value!r}")
                object.__setattr__(self, name, value)

    def _check_ranges(self) -> None:
        if self.period <= 0.0:
            raise ValueError(f"period must be > 0, got {self.period!r}")
        if self.semi_major_axis <= 0.0:
            raise ValueError(f"semi_major_axis must be > 0, got {self.semi_major_axis!r}")
        for name in ("radius_leading", "radius_trailing"):
            if getattr(self, name) < 0.0:
                raise ValueError(f"{name} must be >= 0, got {getattr(self, name)!r}")
        if not 0.0 <= self.eccentricity < 1.0:
            raise ValueError(f"eccentricity must lie in [0, 1), got {self.eccentricity!r}")
        if not 0.0 <= self.inclination <= 180.0:
            raise ValueError(
                f"inclination (degrees) must lie in [0, 180], got {self.inclination!r}"
            )

    def _check_law(self) -> None:
        law = self.law
        if not isinstance(law, str) or law not in LIMB_DARKENING_LAWS:
            known = ", ".join(repr(name) for name in LIMB_DARKENING_LAWS)
            raise ValueError(f"law must be one of {known}, got {law!r}")
        if isinstance(self.coefficients, (str, bytes)):
            raise ValueError(
                f"coefficients must be a sequence of numbers, got {self.coefficients!r}"
            )
        try:
            coefficients = tuple(self.coefficients)
        except TypeError:
            raise ValueError(
                f"coefficients must be a sequence of numbers, got {self.coefficients!r}"
            ) from None
        expected = LIMB_DARKENING_LAWS[law]
        if len(coefficients) != expected:
            raise ValueError(
                f"coefficients must hold {expected} coefficient(s) for the {law} law, "
                f"got {len(coefficients)}"
            )
        coefficients = tuple(_real(f"coefficients[{k}]", c) for k, c in enumerate(coefficients))
        object.__setattr__(self, "coefficients", coefficients)

    @property
    def equivalent_radius(self) -> float:
        """Radius of the full disc with the same area as the two halves, stellar radii."""
        return math.sqrt(0.5 * (self.radius_leading**2 + self.radius_trailing**2))

    @property
    def radius_for_eclipse(self) -> float:
        """Radius used for secondary eclipses: ``eclipse_radius`` or the area-equivalent one."""
        return self.equivalent_radius if self.eclipse_radius is None else self.eclipse_radius

    def replace(self, **changes: Any) -> Parameters:
        """A validated copy with some fields changed.

        Parameters
        ----------
        **changes
            New values by field name, e.g. ``radius_leading=0.12``.

        Returns
        -------
        Parameters
            The new parameters; this object is left unchanged.
        """
        return dataclasses.replace(self, **changes)
