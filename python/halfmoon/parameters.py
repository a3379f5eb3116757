"""Physical parameters of a planet with two different limbs on a Keplerian orbit.

The planet is drawn as two half-discs joined along a dividing line through its centre. With
the rotation at zero the line stands perpendicular to the planet's direction of motion on the
sky, so one half-disc leads the motion and the other trails it. For a tidally locked planet in
transit the leading limb is the morning terminator (gas flowing from the night side into the
day side) and the trailing limb the evening terminator.

Angles are given in degrees, as the field writes them; lengths in stellar radii; times in any
unit shared by ``mid_transit``, ``period`` and the model's time array.

Spectroscopic light curves share one orbit over many wavelength channels: the radii, the limb
darkening coefficients, the flux ratio and the eclipse radius may each be given per channel
(sequences of one common length), the others are shared.
"""

from __future__ import annotations

import dataclasses
import functools
import math
from dataclasses import dataclass
from typing import Any, Union

import numpy as np

from .laws import LAWS, check_coefficients, physical_problems
from .validation import real

__all__ = ["ChannelValue", "Parameters"]

#: A value shared by all channels (a float) or one per channel (a tuple of floats).
ChannelValue = Union[float, tuple[float, ...]]

_ORBIT_FIELDS = (
    "mid_transit",
    "period",
    "semi_major_axis",
    "inclination",
    "eccentricity",
    "periastron",
    "rotation",
)
_CHANNEL_FIELDS = ("radius_leading", "radius_trailing", "flux_ratio", "eclipse_radius")


def _channel_value(name: str, value: Any, *, allow_none: bool = False) -> ChannelValue | None:
    """A finite real or a one-dimensional sequence of them (one per channel)."""
    if value is None and allow_none:
        return None
    if type(value) in (float, int) or isinstance(value, (str, bytes)) or np.ndim(value) == 0:
        return real(name, value)
    if np.ndim(value) != 1 or len(value) == 0:
        raise ValueError(f"{name} must be a number or a one-dimensional sequence, got {value!r}")
    return tuple(real(f"{name}[{k}]", v) for k, v in enumerate(value))


def _rows_of(coefficients: Any) -> list[Any] | None:
    """The rows of per-channel coefficients (a sequence of sequences), or None for one shared
    sequence."""
    if isinstance(coefficients, (str, bytes)):
        return None
    if isinstance(coefficients, np.ndarray):
        return list(coefficients) if coefficients.ndim == 2 else None
    try:
        items = list(coefficients)
    except TypeError:
        return None
    nested = [isinstance(item, (list, tuple, np.ndarray)) for item in items]
    return items if items and any(nested) else None


def _channel_count(name: str, value: Any) -> int | None:
    return len(value) if isinstance(value, tuple) else None


@dataclass(frozen=True)
class Parameters:
    """Orbit, shape and stellar limb darkening of a planet with two different limbs.

    The object is immutable and validated on construction; derive changed copies with
    :meth:`replace`. Numbers are stored as Python floats, per-channel values and coefficients
    as tuples.

    Parameters
    ----------
    mid_transit : float
        Time of mid-transit (the time at which the true anomaly is 90 deg minus
        ``periastron``), in the unit of the model's time array.
    period : float
        Orbital period, same unit as ``mid_transit``; > 0.
    radius_leading : float or sequence of float
        Radius of the half-disc that leads the planet's motion on the sky when ``rotation`` is
        0: the morning terminator of a tidally locked planet. Stellar radii, >= 0; one value
        per channel for a spectroscopic model.
    radius_trailing : float or sequence of float
        Radius of the half-disc that trails the motion when ``rotation`` is 0: the evening
        terminator. Stellar radii, >= 0.
    semi_major_axis : float
        Semi-major axis of the orbit in stellar radii; the orbit must stay outside the star
        (periastron distance ``semi_major_axis * (1 - eccentricity)`` > 1).
    inclination : float
        Orbital inclination in degrees, 0 <= inclination <= 180 (90 is edge-on).
    eccentricity : float, optional
        Orbital eccentricity, 0 <= eccentricity < 1. Default 0.
    periastron : float, optional
        Argument of periastron in degrees. Default 90.
    rotation : float, optional
        Rotation of the dividing line away from the perpendicular to the direction of motion,
        in degrees, counter-clockwise on the sky (see :class:`halfmoon.Model`). At +90 the line
        lies along the direction of motion and the trailing-limb half sits on the right of the
        motion; at -90 on the left. Default 0.
    law : str, optional
        Stellar limb-darkening law, one of :data:`halfmoon.LAWS` (``"uniform"``,
        ``"linear"``, ``"quadratic"``, ``"square_root"``, ``"nonlinear"``,
        ``"exponential"``, ``"power2"``, ``"tabulated"``; see :mod:`halfmoon.laws` for the
        formulas). Default ``"uniform"``.
    coefficients : sequence of float, or sequence of sequences, optional
        The law's coefficients, shared by all channels, or one sequence per channel. The
        intensity must be >= 0 over the whole disc and the star's total flux > 0
        (:func:`halfmoon.coefficient_problems` tests a set first). Default ``()``.
    flux_ratio : float, sequence of float or None, optional
        Planet-to-star flux ratio, >= 0, needed for secondary eclipses and whole orbits.
        Default None.
    eclipse_radius : float, sequence of float or None, optional
        Radius of a uniformly bright disc that the star hides in a secondary eclipse, in place
        of the two half-discs, stellar radii, >= 0. Default None: the two-limb planet itself.

    Raises
    ------
    ValueError
        For a value that is not a finite real number, a negative radius, ``eccentricity``
        outside [0, 1), a non-positive ``period``, an orbit that reaches inside the star,
        ``inclination`` outside [0, 180], an unknown law, coefficients of the wrong number or
        with a negative intensity or a non-positive total flux, per-channel sequences of
        different lengths, or a negative ``flux_ratio``. The message names the parameter.

    Examples
    --------
    >>> from halfmoon import Parameters
    >>> params = Parameters(mid_transit=0.0, period=3.5, radius_leading=0.118,
    ...                     radius_trailing=0.124, semi_major_axis=8.8, inclination=86.7,
    ...                     law="quadratic", coefficients=(0.33, 0.23))
    >>> params.replace(rotation=30.0).rotation
    30.0
    >>> spectrum = params.replace(radius_leading=(0.117, 0.118, 0.119))
    >>> spectrum.channels
    3
    """

    mid_transit: float
    period: float
    radius_leading: ChannelValue
    radius_trailing: ChannelValue
    semi_major_axis: float
    inclination: float
    eccentricity: float = 0.0
    periastron: float = 90.0
    rotation: float = 0.0
    law: str = "uniform"
    coefficients: tuple[Any, ...] = ()
    flux_ratio: ChannelValue | None = None
    eclipse_radius: ChannelValue | None = None

    def __post_init__(self) -> None:
        for name in _ORBIT_FIELDS:
            object.__setattr__(self, name, real(name, getattr(self, name)))
        for name in _CHANNEL_FIELDS:
            allow_none = name in ("flux_ratio", "eclipse_radius")
            value = _channel_value(name, getattr(self, name), allow_none=allow_none)
            object.__setattr__(self, name, value)
        self._check_orbit()
        self._check_channel_values()
        self._check_law()
        self._check_channel_counts()

    def _check_orbit(self) -> None:
        if self.period <= 0.0:
            raise ValueError(f"period must be > 0, got {self.period!r}")
        if self.semi_major_axis <= 0.0:
            raise ValueError(f"semi_major_axis must be > 0, got {self.semi_major_axis!r}")
        if not 0.0 <= self.eccentricity < 1.0:
            raise ValueError(f"eccentricity must lie in [0, 1), got {self.eccentricity!r}")
        if not 0.0 <= self.inclination <= 180.0:
            raise ValueError(
                f"inclination (degrees) must lie in [0, 180], got {self.inclination!r}"
            )
        periastron_distance = self.semi_major_axis * (1.0 - self.eccentricity)
        if periastron_distance <= 1.0:
            raise ValueError(
                f"semi_major_axis puts the orbit inside the star: the periastron distance "
                f"semi_major_axis * (1 - eccentricity) = {periastron_distance:.6g} stellar "
                "radii must be > 1"
            )

    def _check_channel_values(self) -> None:
        for name in _CHANNEL_FIELDS:
            value = getattr(self, name)
            values = value if isinstance(value, tuple) else (value,)
            if any(v is not None and v < 0.0 for v in values):
                raise ValueError(f"{name} must be >= 0, got {value!r}")

    def _check_law(self) -> None:
        law = self.law
        if not isinstance(law, str) or law not in LAWS:
            known = ", ".join(repr(name) for name in LAWS)
            raise ValueError(f"law must be one of {known}, got {law!r}")
        raw = self.coefficients
        rows_given = _rows_of(raw)
        if rows_given is not None:
            rows = tuple(
                check_coefficients(law, row, f"coefficients[{k}]")
                for k, row in enumerate(rows_given)
            )
            if not rows:
                raise ValueError("coefficients must hold at least one channel's coefficients")
            object.__setattr__(self, "coefficients", rows)
            for k, row in enumerate(rows):
                self._check_physical(row, f"coefficients[{k}]")
        else:
            row = check_coefficients(law, raw)
            object.__setattr__(self, "coefficients", row)
            self._check_physical(row, "coefficients")

    def _check_physical(self, row: tuple[float, ...], name: str) -> None:
        problems = physical_problems(self.law, row)
        if problems:
            raise ValueError(f"{name} {row!r} of the {self.law} law: " + "; ".join(problems))

    def _check_channel_counts(self) -> None:
        counts = {
            name: _channel_count(name, getattr(self, name))
            for name in _CHANNEL_FIELDS
            if _channel_count(name, getattr(self, name)) is not None
        }
        if self.per_channel_coefficients:
            counts["coefficients"] = len(self.coefficients)
        if len(set(counts.values())) > 1:
            listed = ", ".join(f"{name} {count}" for name, count in counts.items())
            first = next(iter(counts))
            raise ValueError(f"{first} and the other per-channel values differ in length: {listed}")

    # ---- derived values ----------------------------------------------------------------------

    @property
    def per_channel_coefficients(self) -> bool:
        """Whether the coefficients are given per channel (a sequence of sequences)."""
        return len(self.coefficients) > 0 and isinstance(self.coefficients[0], tuple)

    @functools.cached_property
    def channels(self) -> int | None:
        """Number of wavelength channels, or None when every value is a single number."""
        for name in _CHANNEL_FIELDS:
            count = _channel_count(name, getattr(self, name))
            if count is not None:
                return count
        return len(self.coefficients) if self.per_channel_coefficients else None

    def channel_array(self, name: str) -> np.ndarray:
        """A per-channel field as a read-only array of :attr:`channels` values (one value
        without channels)."""
        arrays = self._arrays
        if name not in arrays:
            value = getattr(self, name)
            if value is None:
                raise ValueError(f"{name} is not set")
            array = np.empty(self.channels or 1)
            array[:] = value
            array.setflags(write=False)
            arrays[name] = array
        return arrays[name]

    def coefficient_array(self) -> np.ndarray:
        """The coefficients as a read-only array of shape (channels or 1, K)."""
        arrays = self._arrays
        if "coefficients" not in arrays:
            rows = np.asarray(self.coefficients, dtype=np.float64)
            if rows.ndim == 1:
                rows = rows[np.newaxis, :]
            array = np.ascontiguousarray(np.broadcast_to(rows, (self.channels or 1, rows.shape[1])))
            array.setflags(write=False)
            arrays["coefficients"] = array
        return arrays["coefficients"]

    @functools.cached_property
    def _arrays(self) -> dict[str, np.ndarray]:
        # Arrays built from the (immutable) fields, kept for the next evaluation.
        return {}

    @property
    def equivalent_radius(self) -> ChannelValue:
        """Radius of the full disc with the same area as the two halves, stellar radii."""
        radius = np.sqrt(
            0.5
            * (
                self.channel_array("radius_leading") ** 2
                + self.channel_array("radius_trailing") ** 2
            )
        )
        return float(radius[0]) if self.channels is None else tuple(radius.tolist())

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

    @property
    def inclination_radians(self) -> float:
        """The inclination in radians."""
        return math.radians(self.inclination)
