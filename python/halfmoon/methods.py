"""Integration methods: interchangeable strategies that turn sky geometry into fluxes.

Every method takes the sky geometry of S parameter sets at N times (:class:`SkyPoints`) and the
planet per set and channel (:class:`PlanetArrays`) and returns the star's relative flux, shape
(S, C, N):

- :class:`ExactMethod` (``"exact"``): the compiled exact engine, every law of its table, no
  step; the points go to it as they are.
- :class:`AnnulusMethod` (``"annulus"``): the annulus light-curve modules (uniform, quadratic,
  nonlinear and exponential laws) at a step factor. Those modules take the sign of each point's
  sky x from its position in the array, so this method orders the points (those with x < 0
  first), passes the crossing index and puts the fluxes back in order.

The secondary eclipse (:func:`hidden_fraction`) always uses the exact engine: the star hides
the part of the uniformly bright planet that lies inside the stellar disc.
"""

from __future__ import annotations

from abc import ABC, abstractmethod
from typing import Callable

import _orvinth
import _tessaly
import _velmora
import numpy as np

from . import _engine
from .sky import PlanetArrays, SkyPoints

__all__ = ["AnnulusMethod", "ExactMethod", "IntegrationMethod", "hidden_fraction"]

_ANNULUS_FUNCTIONS: dict[str, Callable[..., np.ndarray]] = {
    "uniform": _velmora._velmora,
    "quadratic": _velmora._velmora,
    "nonlinear": _tessaly._tessaly,
    "exponential": _orvinth._orvinth,
}
# A uniform star is the quadratic law with both coefficients zero: intensity 1, norm pi.
_UNIFORM_COEFFICIENTS = (0.0, 0.0)


class IntegrationMethod(ABC):
    """How a transit's flux is integrated."""

    #: The method's name, as ``Model.method`` reports it.
    name: str

    @abstractmethod
    def transit(self, sky: SkyPoints, planet: PlanetArrays) -> np.ndarray:
        """Relative flux of the star, shape (S, C, N)."""

    def supports(self, law: str) -> bool:
        """Whether the method integrates the law."""
        raise NotImplementedError


class ExactMethod(IntegrationMethod):
    """The exact engine: Green's theorem along the boundary of the planet's part of the star."""

    name = "exact"

    def __init__(self, threads: int | None = None) -> None:
        self.threads = threads

    def supports(self, law: str) -> bool:
        return law in _engine.LAWS

    def transit(self, sky: SkyPoints, planet: PlanetArrays) -> np.ndarray:
        return _engine.transit(
            planet.law,
            planet.coefficients,
            planet.first_radius,
            planet.second_radius,
            sky.front,
            sky.x,
            sky.y,
            sky.line_angle,
            threads=self.threads,
        )

    def __repr__(self) -> str:
        return f"ExactMethod(threads={self.threads!r})"


class AnnulusMethod(IntegrationMethod):
    """The annulus integration of the light-curve modules at a fixed step factor."""

    name = "annulus"

    def __init__(self, step_factor: float) -> None:
        self.step_factor = step_factor

    def supports(self, law: str) -> bool:
        return law in _ANNULUS_FUNCTIONS

    def transit(self, sky: SkyPoints, planet: PlanetArrays) -> np.ndarray:
        function = _ANNULUS_FUNCTIONS[planet.law]
        sets, channels = planet.first_radius.shape
        flux = np.empty((sets, channels, sky.x.shape[1]))
        for s in range(sets):
            # Points with x < 0 first, each side in time order; the modules place the points
            # up to the crossing index at x < 0.
            order = np.argsort(sky.x[s] >= 0.0, kind="stable")
            crossing = float(np.count_nonzero(sky.x[s] < 0.0)) - 0.5
            separations = sky.front[s, order]
            lines = sky.line_angle[s, order]
            offsets = sky.y[s, order]
            for c in range(channels):
                coefficients = planet.coefficients[s, c]
                if planet.law == "uniform":
                    coefficients = _UNIFORM_COEFFICIENTS
                flux[s, c, order] = function(
                    separations,
                    float(planet.first_radius[s, c]),
                    *map(float, coefficients),
                    self.step_factor,
                    0,
                    lines,
                    offsets,
                    crossing,
                    float(planet.second_radius[s, c]),
                    1,
                )
        return flux

    def __repr__(self) -> str:
        return f"AnnulusMethod(step_factor={self.step_factor!r})"


def hidden_fraction(sky: SkyPoints, planet: PlanetArrays, threads: int | None = None) -> np.ndarray:
    """Fraction of the planet's disc hidden behind the star, shape (S, C, N).

    The exact engine's uniform star gives the area of the planet inside the stellar disc as
    pi times its blocked fraction; the planet's own area is pi (p1^2 + p2^2) / 2.
    """
    sets, channels = planet.first_radius.shape
    uniform = _engine.transit(
        "uniform",
        np.zeros((sets, channels, 0)),
        planet.first_radius,
        planet.second_radius,
        sky.back,
        sky.x,
        sky.y,
        sky.line_angle,
        threads=threads,
    )
    half_area = 0.5 * (planet.first_radius**2 + planet.second_radius**2)
    with np.errstate(divide="ignore", invalid="ignore"):
        fraction = (1.0 - uniform) / half_area[:, :, np.newaxis]
    # A planet of zero size hides nothing.
    return np.where(half_area[:, :, np.newaxis] > 0.0, np.clip(fraction, 0.0, 1.0), 0.0)
