"""Wavelength channels, batches of parameter sets, per-point exposures and whole orbits: each
is the same computation as the one-at-a-time model, so results must agree bit for bit."""

from __future__ import annotations

import math

import numpy as np
import pytest
from halfmoon import Model, Parameters

BASE = {
    "mid_transit": 0.0,
    "period": 3.0,
    "radius_leading": 0.1,
    "radius_trailing": 0.12,
    "semi_major_axis": 8.0,
    "inclination": 88.0,
    "law": "quadratic",
    "coefficients": (0.4, 0.25),
    "flux_ratio": 1e-3,
}
T = np.linspace(-0.09, 0.09, 61)
LEADING = (0.098, 0.1, 0.103, 0.11)
COEFFICIENTS = ((0.45, 0.2), (0.4, 0.25), (0.35, 0.28), (0.3, 0.3))


def planet(**changes: object) -> Parameters:
    return Parameters(**{**BASE, **changes})


def channel(params: Parameters, k: int) -> Parameters:
    """The scalar parameters of channel k."""
    changes = {}
    for name in ("radius_leading", "radius_trailing", "flux_ratio", "eclipse_radius"):
        value = getattr(params, name)
        if isinstance(value, tuple):
            changes[name] = value[k]
    if params.per_channel_coefficients:
        changes["coefficients"] = params.coefficients[k]
    return params.replace(**changes)


SPECTRA = {
    "radii": {"radius_leading": LEADING},
    "radii and coefficients": {"radius_leading": LEADING, "coefficients": COEFFICIENTS},
    "coefficients only": {"coefficients": COEFFICIENTS},
    "flux ratios": {"flux_ratio": (1e-3, 2e-3, 3e-3, 4e-3), "radius_trailing": LEADING},
}


@pytest.mark.parametrize("kind", ["transit", "eclipse", "orbit"])
@pytest.mark.parametrize("spectrum", list(SPECTRA))
def test_channels_match_one_model_per_channel(kind: str, spectrum: str) -> None:
    params = planet(**SPECTRA[spectrum])
    t = T if kind == "transit" else np.concatenate([T, T + 1.5])
    model = Model(params, t, kind=kind)
    flux = model.flux()
    assert flux.shape == (params.channels, t.size)
    for k in range(params.channels):
        assert np.array_equal(flux[k], model.flux(channel(params, k)))
    assert np.ptp(flux) > 1e-4


def test_annulus_channels_match_one_model_per_channel() -> None:
    params = planet(radius_leading=LEADING, coefficients=COEFFICIENTS)
    model = Model(params, T, step_factor=0.01)
    flux = model.flux()
    for k in range(params.channels):
        assert np.array_equal(flux[k], model.flux(channel(params, k)))


@pytest.mark.parametrize("spectrum", [None, "radii and coefficients"])
@pytest.mark.parametrize("kind", ["transit", "orbit"])
def test_a_batch_is_the_sets_one_at_a_time_bit_for_bit(spectrum: str | None, kind: str) -> None:
    base = planet(**(SPECTRA[spectrum] if spectrum else {}))
    rng = np.random.default_rng(5)
    sets = [
        base.replace(
            mid_transit=rng.normal(0.0, 0.002),
            rotation=rng.uniform(-60.0, 60.0),
            inclination=rng.uniform(87.0, 90.0),
            eccentricity=rng.uniform(0.0, 0.2),
            periastron=rng.uniform(0.0, 360.0),
        )
        for _ in range(7)
    ]
    model = Model(base, T, kind=kind, exposure_time=0.01, subsamples=3)
    batch = model.flux_batch(sets)
    expected_shape = (7, T.size) if spectrum is None else (7, base.channels, T.size)
    assert batch.shape == expected_shape
    for got, params in zip(batch, sets):
        assert np.array_equal(got, model.flux(params))


def test_a_batch_needs_one_law_and_one_channel_count() -> None:
    model = Model(planet(), T)
    with pytest.raises(ValueError, match="channels"):
        model.flux_batch([planet(), planet(radius_leading=LEADING)])
    with pytest.raises(ValueError, match="law"):
        model.flux_batch([planet(), planet(law="uniform", coefficients=())])
    with pytest.raises(ValueError, match="at least one"):
        model.flux_batch([])


def test_per_point_exposures_match_one_model_per_cadence() -> None:
    params = planet(rotation=20.0)
    exposures = np.where(np.arange(T.size) % 3 == 0, 0.02, 0.002)
    mixed = Model(params, T, exposure_time=exposures, subsamples=5).flux()
    for exposure in (0.02, 0.002):
        chosen = exposures == exposure
        alone = Model(params, T[chosen], exposure_time=exposure, subsamples=5).flux()
        assert np.array_equal(mixed[chosen], alone)


def test_a_whole_orbit_is_the_transit_plus_the_planet_seen_in_eclipse() -> None:
    params = planet(flux_ratio=2e-3)
    t = np.linspace(-0.2, 3.2, 3401)
    whole = Model(params, t, kind="orbit").flux()
    transit = Model(params, t).flux()
    eclipse = Model(params, t, kind="eclipse").flux()
    # Flux = star (transit, 1 unocculted) + flux_ratio * visible fraction of the planet's disc
    # (eclipse - 1 = flux_ratio * that fraction).
    np.testing.assert_allclose(whole, transit + (eclipse - 1.0), rtol=0.0, atol=1e-15)
    assert math.isclose(np.max(whole), 1.002, abs_tol=1e-15)
    assert np.min(whole) < 0.99  # the transit
    in_eclipse = np.abs(t - 1.5) < 0.01
    assert np.allclose(whole[in_eclipse], 1.0, atol=1e-15)
