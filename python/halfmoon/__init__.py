"""halfmoon: light curves of transiting planets whose two limbs differ.

The planet is two half-discs of different radii joined along a dividing line through its
centre; with zero rotation the line is perpendicular to the planet's motion on the sky, so one
half leads (the morning terminator of a tidally locked planet) and the other trails (the
evening terminator).

- :class:`Parameters`: orbit, radii, rotation of the dividing line, limb darkening (angles in
  degrees, lengths in stellar radii), per wavelength channel where needed.
- :class:`Model`: built once for an array of times, returns the flux of a transit, a secondary
  eclipse or a whole orbit for any parameters, one set at a time or many in one pass.
- :meth:`Model.flux_and_gradient` and :mod:`halfmoon.gradient`: the flux's exact Jacobian,
  one named column per parameter; :mod:`halfmoon.jax` (with the ``jax`` extra): the light curve
  as a differentiable JAX function, for gradient-based samplers.
- :mod:`halfmoon.laws`: the limb-darkening laws and :func:`coefficient_problems`.
- :mod:`halfmoon.conversions`: impact parameter, stellar density, Kipping's coefficients and
  transit durations.

Examples
--------
>>> import numpy as np
>>> import halfmoon
>>> params = halfmoon.Parameters(mid_transit=0.0, period=3.5, radius_leading=0.118,
...                              radius_trailing=0.124, semi_major_axis=8.8, inclination=86.7,
...                              law="quadratic", coefficients=(0.33, 0.23))
>>> model = halfmoon.Model(params, np.linspace(-0.1, 0.1, 500))
>>> bool(model.flux().min() < 0.99)
True
"""

from . import conversions, gradient, laws
from ._version import __version__
from .laws import LAWS, LIMB_DARKENING_LAWS, coefficient_problems
from .model import Model
from .parameters import Parameters

__all__ = [
    "LAWS",
    "LIMB_DARKENING_LAWS",
    "Model",
    "Parameters",
    "__version__",
    "coefficient_problems",
    "conversions",
    "gradient",
    "laws",
]
