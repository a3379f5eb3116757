"""Step-factor tuning of the annulus method.

The annulus integration's error shrinks with its step factor, down to floors of its own (about
4e-9 from the overlap area at internal tangency; 5e-8 for the nonlinear law and up to 5e-4 for
the exponential law while the planet straddles the limb). The model chooses the coarsest
candidate step whose largest error on its own time grid stays within a share of the bound. The
error is measured against the exact engine where it knows the law, which sees every floor;
otherwise against the annulus integration at a step ten times finer than the finest candidate,
which cannot see the floors it shares.
"""

from __future__ import annotations

import math
import warnings

import numpy as np

from .methods import AnnulusMethod, ExactMethod
from .sky import PlanetArrays, SkyPoints

__all__ = ["REFERENCE_STEP_FACTOR", "STEP_FACTOR_CANDIDATES", "StepChoice", "choose_step_factor"]

#: Step factors tried, coarse to fine, when the model chooses its own.
STEP_FACTOR_CANDIDATES: tuple[float, ...] = (
    1.0,
    0.5,
    0.2,
    0.1,
    0.05,
    0.03,
    0.02,
    0.015,
    0.01,
    0.007,
    0.005,
    0.003,
    0.002,
    0.001,
)

#: The annulus reference where the exact engine does not know the law.
REFERENCE_STEP_FACTOR = 1e-4

# A candidate is accepted when its largest error is at most this share of the bound, so that
# parameters near the tuning ones stay within the bound too.
SAFETY = 0.5

# At most this many occulted points of the grid take part in the measurement (evenly spread
# over them), which bounds the cost at construction.
TUNING_POINTS = 2000


class StepChoice:
    """The chosen step factor and the largest error measured for it (flux units)."""

    __slots__ = ("error", "step_factor")

    def __init__(self, step_factor: float, error: float) -> None:
        self.step_factor = step_factor
        self.error = error


def choose_step_factor(
    sky: SkyPoints, planet: PlanetArrays, bound: float, reach: float, line_offset: float
) -> StepChoice:
    """Coarsest candidate whose largest error meets ``bound`` on the occulted points of the
    first parameter set.

    ``reach`` is the separation below which the planet can occult the star (1 plus its larger
    radius); if no point of the grid comes that close, a central crossing of the star is used,
    with the dividing line at ``line_offset`` from the motion."""
    sample = _tuning_points(sky, reach, line_offset)
    exact = ExactMethod()
    if exact.supports(planet.law):
        reference = exact.transit(sample, planet)
    else:
        reference = AnnulusMethod(REFERENCE_STEP_FACTOR).transit(sample, planet)
    error = math.inf
    for candidate in STEP_FACTOR_CANDIDATES:
        error = float(np.max(np.abs(AnnulusMethod(candidate).transit(sample, planet) - reference)))
        if error <= SAFETY * bound:
            return StepChoice(candidate, error)
    finest = STEP_FACTOR_CANDIDATES[-1]
    warnings.warn(
        f"no step factor meets the flux error bound of {bound * 1e6:g} ppm; using the "
        f"finest candidate {finest:g}, whose largest error is {error * 1e6:.3g} ppm",
        UserWarning,
        stacklevel=4,
    )
    return StepChoice(finest, error)


def _tuning_points(sky: SkyPoints, reach: float, line_offset: float) -> SkyPoints:
    """The occulted points of the first set (at most TUNING_POINTS), or a central crossing."""
    occulted = np.flatnonzero(sky.front[0] < reach)
    if occulted.size == 0:
        return _central_crossing(reach, line_offset)
    if occulted.size > TUNING_POINTS:
        spread = np.linspace(0, occulted.size - 1, TUNING_POINTS).round().astype(np.intp)
        occulted = occulted[np.unique(spread)]
    return SkyPoints(*(block[:1, occulted] for block in _blocks(sky)))


def _central_crossing(reach: float, line_offset: float) -> SkyPoints:
    """Points along a straight path through the star's centre, moving towards +x."""
    x = np.linspace(-reach, reach, 401)[np.newaxis, :]
    lines = np.full_like(x, line_offset)
    return SkyPoints(np.abs(x), np.full_like(x, np.inf), x, np.zeros_like(x), lines)


def _blocks(sky: SkyPoints) -> tuple[np.ndarray, ...]:
    return (sky.front, sky.back, sky.x, sky.y, sky.line_angle)
