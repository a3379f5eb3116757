"""Sky geometry: from parameters and times to the planet's sky positions and dividing lines.

Sky frame
---------
The star is at the origin, lengths in stellar radii, angles counter-clockwise from +x. In
transit the planet moves towards +x and passes the star's centre at
y = -semi_major_axis * cos(inclination) (circular orbit; below the star's centre for an
inclination below 90 deg); behind the star it moves towards -x. The direction of motion is that
of the sky velocity, radial motion included.

The dividing line between the two half-discs points along

    line angle = direction of motion + 90 deg + rotation,

and the half-disc left of the line taken in that direction is the trailing one at zero
rotation: the engine's first radius is ``radius_trailing``, its second ``radius_leading``.
When 90 deg + rotation falls outside (-90, 90] deg (reduced modulo 360) the line is turned by
half a turn instead and the two radii trade sides: the same planet, with every line angle of a
transit within (-180, 180) deg, as the annulus light-curve modules need.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from . import _sky
from .parameters import Parameters

__all__ = ["PlanetArrays", "SkyPoints", "line_offset", "planet_arrays", "sky_points"]

_TWO_PI = 2.0 * math.pi
_HALF_PI = 0.5 * math.pi


@dataclass(frozen=True)
class SkyPoints:
    """Sky geometry of S parameter sets at N times, arrays of shape (S, N).

    Attributes
    ----------
    front, back : numpy.ndarray
        The separation where the planet is in front of the star (``front``) or behind it
        (``back``), +inf elsewhere.
    x, y : numpy.ndarray
        Sky coordinates of the planet's centre.
    line_angle : numpy.ndarray
        Sky angle of the dividing line, radians.
    """

    front: np.ndarray
    back: np.ndarray
    x: np.ndarray
    y: np.ndarray
    line_angle: np.ndarray


@dataclass(frozen=True)
class PlanetArrays:
    """The planet of S parameter sets and C channels as the engine takes it.

    Attributes
    ----------
    law : str
        The limb-darkening law.
    coefficients : numpy.ndarray
        Shape (S, C, K).
    first_radius, second_radius : numpy.ndarray
        Radii left and right of the dividing line, shape (S, C).
    """

    law: str
    coefficients: np.ndarray
    first_radius: np.ndarray
    second_radius: np.ndarray


def line_offset(rotation: float) -> tuple[float, bool]:
    """Angle from the direction of motion to the dividing line, and whether it is reversed.

    The line points a quarter turn left of the motion, turned further by ``rotation``
    (degrees, counter-clockwise). Keeping the offset within (-pi/2, pi/2] keeps the line
    angles of a transit within (-pi, pi); an offset outside that range is brought in by half
    a turn, and the radii trade sides.
    """
    offset = math.remainder(_HALF_PI + math.radians(rotation), _TWO_PI)
    if offset > _HALF_PI:
        return offset - math.pi, True
    if offset <= -_HALF_PI:
        return offset + math.pi, True
    return offset, False


def _elements(params: Sequence[Parameters]) -> np.ndarray:
    """The orbital elements and line offsets of the sets, one row each, shape (7, S)."""
    return np.array(
        [
            (
                p.mid_transit,
                p.period,
                p.semi_major_axis,
                math.radians(p.inclination),
                p.eccentricity,
                math.radians(p.periastron),
                line_offset(p.rotation)[0],
            )
            for p in params
        ],
        dtype=np.float64,
    ).T.copy()


def sky_points(params: Sequence[Parameters], times: np.ndarray) -> SkyPoints:
    """Sky geometry of each parameter set at the times, in one compiled call."""
    blocks = _sky.sky(times, *_elements(params))
    return SkyPoints(*blocks)


def planet_arrays(params: Sequence[Parameters], channels: int) -> PlanetArrays:
    """Radii left and right of each set's dividing line and its coefficients, per channel."""
    law = params[0].law
    firsts, seconds, rows = [], [], []
    for p in params:
        trailing = p.channel_array("radius_trailing")
        leading = p.channel_array("radius_leading")
        # Left of the line: behind the motion at zero rotation, unless the line is reversed.
        reversed_line = line_offset(p.rotation)[1]
        firsts.append(leading if reversed_line else trailing)
        seconds.append(trailing if reversed_line else leading)
        rows.append(p.coefficient_array())
    if len(params) == 1:
        return PlanetArrays(law, rows[0][np.newaxis], firsts[0][np.newaxis], seconds[0][np.newaxis])
    return PlanetArrays(law, np.stack(rows), np.stack(firsts), np.stack(seconds))
