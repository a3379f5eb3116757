"""The demo's planet and what it shows: a hot Jupiter whose morning limb is smaller than its
evening limb, against circular planets.

Two comparisons, because the first alone overstates what a fit can see:

- against the circular planet of the same area at the same mid-transit time (a signal of a few
  hundred ppm);
- against the best-fitting circular planet with its mid-transit time free. In a single
  transit the limbs' difference is almost fully degenerate with the mid-transit time: a small
  shift of the circular planet absorbs most of it, and only a residual of about a tenth of the
  first signal remains. What breaks the degeneracy is a mid-transit time known independently
  (an ephemeris, the secondary eclipse's timing, many transits) or, in spectroscopy, a limb
  difference that changes with wavelength while the orbit is shared.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

from .model import Model
from .parameters import Parameters

__all__ = [
    "CircularFit",
    "Spectrum",
    "best_circular_fit",
    "demo_planet",
    "demo_spectrum",
]


def demo_planet() -> Parameters:
    """A hot Jupiter with a smaller morning than evening limb, times in days.

    Returns
    -------
    Parameters
        Period 3.525 d, semi-major axis 8.76 stellar radii, inclination 86.71 deg, circular
        orbit, morning (leading) radius 0.118 and evening (trailing) radius 0.124 stellar
        radii, quadratic limb darkening with coefficients (0.33, 0.23).
    """
    return Parameters(
        mid_transit=0.0,
        period=3.52474859,
        radius_leading=0.118,
        radius_trailing=0.124,
        semi_major_axis=8.76,
        inclination=86.71,
        law="quadratic",
        coefficients=(0.33, 0.23),
    )


@dataclass(frozen=True)
class CircularFit:
    """The best-fitting circular planet (equal radii) with the mid-transit time free.

    Attributes
    ----------
    radius : numpy.ndarray
        Its radius per channel (one value without channels), stellar radii.
    shift : float
        Its mid-transit time minus the two-limb planet's, in the unit of the period.
    flux : numpy.ndarray
        Its light curve, shaped like the target.
    """

    radius: np.ndarray
    shift: float
    flux: np.ndarray


def _gauss_newton(
    residual: Callable[[np.ndarray], np.ndarray], start: np.ndarray, scales: np.ndarray
) -> np.ndarray:
    """Least squares by Gauss-Newton with central differences of step ``scales`` * 1e-4."""
    x = start.astype(np.float64)
    for _ in range(12):
        r = residual(x)
        steps = scales * 1e-4
        columns = []
        for k, step in enumerate(steps):
            dx = np.zeros_like(x)
            dx[k] = step
            columns.append((residual(x + dx) - residual(x - dx)) / (2.0 * step))
        jacobian = np.stack(columns, axis=1)
        update = np.linalg.lstsq(jacobian, -r, rcond=None)[0]
        x = x + update
        if np.all(np.abs(update) < 1e-10 * scales):
            break
    return x


def best_circular_fit(model: Model, target: np.ndarray, params: Parameters) -> CircularFit:
    """Fits equal radii (per channel) and one shared mid-transit time to ``target``, the
    model's light curve(s) of ``params``; everything else is kept."""
    channels = params.channels
    start_radius = np.atleast_1d(np.asarray(params.equivalent_radius, dtype=np.float64))
    scales = np.concatenate([np.full(start_radius.size, 0.01), [1e-3 * params.period]])

    def circular(x: np.ndarray) -> Parameters:
        radii = x[:-1] if channels is not None else float(x[0])
        if channels is not None:
            radii = tuple(radii)
        return params.replace(
            radius_leading=radii, radius_trailing=radii, mid_transit=params.mid_transit + x[-1]
        )

    def residual(x: np.ndarray) -> np.ndarray:
        return (model.flux(circular(x)) - target).ravel()

    best = _gauss_newton(residual, np.concatenate([start_radius, [0.0]]), scales)
    return CircularFit(best[:-1], float(best[-1]), model.flux(circular(best)))


@dataclass(frozen=True)
class Spectrum:
    """A short spectroscopic example: per wavelength channel, the two limbs' radii and the
    signals they leave.

    Attributes
    ----------
    wavelength : numpy.ndarray
        Channel centres, micrometres.
    params : Parameters
        The per-channel planet.
    same_time : numpy.ndarray
        Largest ``|two limbs - equal area|`` per channel at the same mid-transit time, flux
        units.
    residual : numpy.ndarray
        Largest ``|two limbs - best circular planet|`` per channel, the circular planets
        sharing one fitted mid-transit time, flux units.
    """

    wavelength: np.ndarray
    params: Parameters
    same_time: np.ndarray
    residual: np.ndarray


def demo_spectrum(times: np.ndarray, channels: int = 6) -> Spectrum:
    """The demo planet over 3 to 5 micrometres, with a feature at 4.3 micrometres that the
    evening limb shows twice as strongly as the morning limb, and limb darkening that weakens
    towards the red."""
    base = demo_planet()
    wavelength = np.linspace(3.0, 5.0, channels)
    feature = np.exp(-0.5 * ((wavelength - 4.3) / 0.2) ** 2)
    morning = 0.118 + 0.0015 * feature
    evening = 0.124 + 0.0030 * feature
    u1 = 0.33 - 0.05 * (wavelength - 3.0)
    u2 = 0.23 - 0.02 * (wavelength - 3.0)
    params = base.replace(
        radius_leading=tuple(morning),
        radius_trailing=tuple(evening),
        coefficients=tuple(zip(u1, u2)),
    )
    model = Model(params, times)
    flux = model.flux()
    equal = model.flux(
        params.replace(
            radius_leading=params.equivalent_radius, radius_trailing=params.equivalent_radius
        )
    )
    fit = best_circular_fit(model, flux, params)
    return Spectrum(
        wavelength,
        params,
        np.max(np.abs(flux - equal), axis=1),
        np.max(np.abs(flux - fit.flux), axis=1),
    )
