"""The light-curve model: limb roles, sides, orbits, accuracy control, exposures, pickling."""

from __future__ import annotations

import math
import multiprocessing
import pickle
import warnings
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import oracle
import pytest
from halfmoon import Model, Parameters
from scipy import integrate

COEFFICIENTS = {
    "uniform": (),
    "quadratic": (0.4, 0.25),
    "nonlinear": (0.6, -0.3, 0.7, -0.3),
    "exponential": (0.4, 0.05),
}
laws = pytest.mark.parametrize("law", list(COEFFICIENTS))

PERIOD, SEMI_MAJOR = 3.0, 8.0


def planet(**changes: object) -> Parameters:
    """A circular orbit with impact parameter 0.3 and a larger trailing than leading limb."""
    base = {
        "mid_transit": 0.5,
        "period": PERIOD,
        "radius_leading": 0.1,
        "radius_trailing": 0.12,
        "semi_major_axis": SEMI_MAJOR,
        "inclination": math.degrees(math.acos(0.3 / SEMI_MAJOR)),
        "law": "quadratic",
        "coefficients": COEFFICIENTS["quadratic"],
    }
    base.update(changes)
    return Parameters(**base)


def with_law(params: Parameters, law: str) -> Parameters:
    return params.replace(law=law, coefficients=COEFFICIENTS[law])


def circular_sky(params: Parameters, t: np.ndarray) -> tuple[np.ndarray, ...]:
    """Planet position (x, y) and direction of motion on a circular orbit, written out.

    At orbital phase theta after mid-transit, with a the semi-major axis and i the inclination,
    the planet is at x = a sin(theta), y = -a cos(i) cos(theta) and moves along
    (a cos(theta), a cos(i) sin(theta)).
    """
    theta = 2.0 * math.pi * (np.asarray(t) - params.mid_transit) / params.period
    cos_i = math.cos(math.radians(params.inclination))
    x = params.semi_major_axis * np.sin(theta)
    y = -params.semi_major_axis * cos_i * np.cos(theta)
    motion = np.arctan2(cos_i * np.sin(theta), np.cos(theta))
    return x, y, motion


def contact_time(params: Parameters, separation: float, side: int) -> float:
    """Time at which a circular orbit reaches the given separation: side -1 before, +1 after."""
    cos_i = math.cos(math.radians(params.inclination))
    sin_i = math.sin(math.radians(params.inclination))
    sin_theta = math.sqrt(((separation / params.semi_major_axis) ** 2 - cos_i**2) / sin_i**2)
    return params.mid_transit + side * math.asin(sin_theta) * params.period / (2.0 * math.pi)


def transit_times(params: Parameters, n: int, half_width: float = 0.09) -> np.ndarray:
    return np.linspace(params.mid_transit - half_width, params.mid_transit + half_width, n)


# ---- limb roles and the dividing line ----------------------------------------------------------


@laws
def test_equal_radii_do_not_depend_on_rotation_and_give_the_central_depth(law: str) -> None:
    # A central transit (inclination 90) passes through the star's centre at mid-transit, where
    # the planet blocks the disc of radius p about the centre: depth = int_0^p I 2 pi r dr / N.
    radius = 0.1
    params = with_law(planet(radius_leading=radius, radius_trailing=radius, inclination=90.0), law)
    t = np.concatenate(([params.mid_transit], transit_times(params, 120)))
    model = Model(params, t, step_factor=1e-3)
    fluxes = [model.flux(params.replace(rotation=r)) for r in (0.0, 37.0, -120.0, 180.0)]
    for flux in fluxes[1:]:
        np.testing.assert_allclose(flux, fluxes[0], rtol=0.0, atol=2e-9)

    intensity = oracle.law_intensity(law, COEFFICIENTS[law])

    def ring(r: float) -> float:
        return intensity(math.sqrt(1.0 - r * r)) * 2.0 * math.pi * r

    blocked = integrate.quad(ring, 0.0, radius, epsabs=1e-15, epsrel=1e-13)[0]
    total = integrate.quad(ring, 0.0, 1.0, epsabs=1e-15, epsrel=1e-13, limit=200)[0]
    assert fluxes[0][0] == pytest.approx(1.0 - blocked / total, rel=0.0, abs=1e-8)


@pytest.mark.parametrize(
    ("radius_leading", "radius_trailing"), [(0.12, 0.1), (0.1, 0.12), (0.11, 0.11)]
)
@pytest.mark.parametrize("law", ["uniform", "quadratic"])
def test_ingress_starts_at_the_leading_limb_and_egress_ends_at_the_trailing_limb(
    radius_leading: float, radius_trailing: float, law: str
) -> None:
    # With the line perpendicular to the motion, the leading half-disc meets the limb first,
    # at separation 1 + radius_leading before mid-transit, and the trailing half leaves it
    # last, at 1 + radius_trailing after. Just outside those contacts nothing is occulted,
    # just inside the flux has dropped.
    params = with_law(planet(radius_leading=radius_leading, radius_trailing=radius_trailing), law)
    ingress = contact_time(params, 1.0 + radius_leading, -1)
    egress = contact_time(params, 1.0 + radius_trailing, +1)
    speed = 2.0 * math.pi * params.semi_major_axis / params.period  # stellar radii per unit time
    dt = 2e-5 / speed
    t = np.array([ingress - dt, ingress + dt, egress - dt, egress + dt])
    flux = Model(params, t, step_factor=0.01).flux()
    assert flux[0] == pytest.approx(1.0, abs=1e-13)
    assert flux[3] == pytest.approx(1.0, abs=1e-13)
    assert flux[1] < 1.0 - 1e-10
    assert flux[2] < 1.0 - 1e-10


@pytest.mark.parametrize(
    ("rotation", "inclination_side"), [(90.0, 1), (-90.0, 1), (90.0, -1), (-90.0, -1)]
)
def test_rotation_turns_the_dividing_line_counter_clockwise(
    rotation: float, inclination_side: int
) -> None:
    # Grazing orbit with impact parameter 1.03: rotated by +-90 deg the dividing line runs along
    # the path, and only the half on the star's side of the path can occult. Rotating the line
    # counter-clockwise by 90 deg puts the trailing half on the right of the motion (-y). For
    # an inclination below 90 the planet passes below the star's centre (y < 0), so -y faces
    # away from the star; above 90 it passes above and -y faces the star.
    inclination = math.degrees(math.acos(1.03 / SEMI_MAJOR))
    if inclination_side < 0:
        inclination = 180.0 - inclination
    params = planet(
        inclination=inclination, rotation=rotation, radius_leading=0.1, radius_trailing=0.1
    )
    trailing_faces_star = (rotation > 0) == (inclination_side < 0)
    inner, outer = (
        ("radius_trailing", "radius_leading")
        if trailing_faces_star
        else ("radius_leading", "radius_trailing")
    )
    model = Model(params, transit_times(params, 200), step_factor=0.01)
    base = model.flux()
    assert base.min() < 1.0 - 1e-4  # the transit is grazing but real
    np.testing.assert_allclose(model.flux(params.replace(**{outer: 0.15})), base, atol=1e-13)
    assert np.min(model.flux(params.replace(**{inner: 0.15}))) < base.min() - 1e-4


@pytest.mark.parametrize(
    ("law", "method", "tolerance"),
    [
        ("uniform", "annulus", 1e-8),
        ("quadratic", "annulus", 1e-8),
        ("nonlinear", "annulus", 1e-7),
        ("exponential", "annulus", 3e-5),
        ("uniform", "exact", 1e-13),
        ("quadratic", "exact", 1e-13),
    ],
)
@pytest.mark.parametrize("rotation", [0.0, 30.0, -135.0])
def test_flux_matches_independent_geometry(
    law: str, method: str, tolerance: float, rotation: float
) -> None:
    # The whole chain (orbit, line angle from the motion plus a quarter turn plus the rotation,
    # sides, which radius is which) against direct integration over the sky configuration.
    # Annulus tolerances are the integration's own floors (the exponential law's comes from
    # the clamped limb intensity while the planet straddles the limb).
    params = with_law(planet(rotation=rotation), law)
    rng = np.random.default_rng(7)
    t = rng.permutation(transit_times(params, 24, half_width=0.075))
    step = 1e-3 if method == "annulus" else None
    flux = Model(params, t, step_factor=step, method=method).flux()
    x, y, motion = circular_sky(params, t)
    expected = [
        oracle.reference_flux(
            law,
            params.coefficients,
            math.hypot(xk, yk),
            params.radius_trailing,  # left of the line: behind the motion at zero rotation
            params.radius_leading,
            oracle.sky_theta(xk, yk, mk + math.pi / 2 + math.radians(rotation)),
        )
        for xk, yk, mk in zip(x, y, motion)
    ]
    assert np.min(flux) < 0.99
    np.testing.assert_allclose(flux, expected, rtol=0.0, atol=tolerance)


# ---- sides: unsorted times and many transits ---------------------------------------------------


@pytest.mark.parametrize("eccentricity", [0.0, 0.3])
def test_unsorted_times_over_several_transits_match_one_sorted_transit_point_by_point(
    eccentricity: float,
) -> None:
    params = planet(
        rotation=25.0,
        eccentricity=eccentricity,
        periastron=70.0,
        law="nonlinear",
        coefficients=COEFFICIENTS["nonlinear"],
    )
    one_transit = transit_times(params, 60, half_width=0.1)
    cycles = np.array([-2, 0, 1, 5])
    t = (one_transit[np.newaxis, :] + params.period * cycles[:, np.newaxis]).ravel()
    shuffle = np.random.default_rng(3).permutation(t.size)
    flux = Model(params, t[shuffle], step_factor=0.01).flux()

    def point_by_point(times: np.ndarray) -> np.ndarray:
        return np.array([Model(params, [tk], step_factor=0.01).flux()[0] for tk in times])

    # Each point's flux depends on its own time only, whatever the order and the company.
    assert np.array_equal(flux, point_by_point(t[shuffle]))
    single = point_by_point(one_transit)
    assert single.min() < 0.99
    assert np.array_equal(Model(params, one_transit, step_factor=0.01).flux(), single)
    # Other transits repeat the first one. Their times differ from it by whole periods up to
    # rounding, to which the annulus sum responds at the level of its discretisation error.
    expected = np.tile(single, cycles.size)[shuffle]
    np.testing.assert_allclose(flux, expected, rtol=0.0, atol=2e-8)


def test_times_outside_the_transit_and_empty_arrays() -> None:
    params = planet()
    # Quadrature and the far half of the orbit, where the orbit module excludes the points.
    t = params.mid_transit + params.period * np.array([0.25, 0.5, 0.75, 1.5])
    assert np.array_equal(Model(params, t).flux(), np.ones(4))
    assert Model(params, []).flux().shape == (0,)


# ---- secondary eclipse -------------------------------------------------------------------------


@pytest.mark.parametrize("eclipse_radius", [None, 0.09])
def test_secondary_eclipse_contacts_follow_the_limbs_or_the_eclipse_radius(
    eclipse_radius: float | None,
) -> None:
    # Behind the star the planet moves towards -x and its leading half still leads: the star
    # starts hiding it at separation 1 + radius_leading and has let it go entirely at
    # 1 + radius_trailing. A disc of the eclipse radius has both contacts at 1 + that radius.
    flux_ratio = 2e-3
    params = planet(flux_ratio=flux_ratio, eclipse_radius=eclipse_radius)
    first_radius = 0.1 if eclipse_radius is None else eclipse_radius
    last_radius = 0.12 if eclipse_radius is None else eclipse_radius
    half = params.period / 2
    first = contact_time(params, 1.0 + first_radius, -1) + half
    last = contact_time(params, 1.0 + last_radius, +1) + half
    dt = 1e-6
    mid = params.mid_transit
    t = np.array([first - dt, first + dt, mid + half, last - dt, last + dt, mid])
    flux = Model(params, t, kind="eclipse").flux()
    assert flux[0] == 1.0 + flux_ratio and flux[4] == 1.0 + flux_ratio
    assert 1.0 < flux[1] < 1.0 + flux_ratio and 1.0 < flux[3] < 1.0 + flux_ratio
    assert flux[2] == pytest.approx(1.0, abs=1e-15)  # total eclipse at mid-eclipse
    assert flux[5] == 1.0 + flux_ratio  # the transit is no eclipse


# ---- accuracy control --------------------------------------------------------------------------


@pytest.mark.parametrize("law", ["quadratic", "nonlinear"])
def test_chosen_step_factor_meets_the_bound_against_the_exact_engine(law: str) -> None:
    params = with_law(planet(rotation=20.0), law)
    t = transit_times(params, 300)
    model = Model(params, t, method="annulus")
    exact = Model(params, t).flux()
    error = np.max(np.abs(model.flux() - exact))
    assert error <= 1e-6
    assert model.step_error is not None and model.step_error <= 0.5e-6
    # A ten times tighter bound needs finer annuli and still holds (above the nonlinear law's
    # floor of 5e-8, this is the quadratic law only).
    if law == "quadratic":
        tight = Model(params, t, max_error_ppm=0.1, method="annulus")
        assert tight.step_factor < model.step_factor
        assert np.max(np.abs(tight.flux() - exact)) <= 1e-7


def test_tuning_sees_the_annulus_floor_of_the_exponential_law() -> None:
    # The annulus integration clamps the exponential law's limb intensity: about 20 ppm for a
    # hot Jupiter at every step factor. Measured against the exact engine the tuning sees it.
    params = with_law(planet(rotation=20.0), "exponential")
    with pytest.warns(UserWarning, match=r"no step factor meets .* 1 ppm"):
        model = Model(params, transit_times(params, 300), method="annulus")
    assert model.step_error > 5e-6


def test_unreachable_bound_warns_and_uses_the_finest_step_factor() -> None:
    params = with_law(planet(), "quadratic")
    with pytest.warns(UserWarning, match="ppm"):
        model = Model(params, transit_times(params, 80), max_error_ppm=1e-6, method="annulus")
    assert model.step_factor == 0.001
    assert model.step_error > 1e-12


def test_step_factor_is_chosen_without_transit_points_and_given_directly() -> None:
    params = with_law(planet(), "quadratic")
    far = params.mid_transit + params.period * np.linspace(0.3, 0.7, 50)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model = Model(params, far, method="annulus")
    assert model.step_factor is not None and model.step_error <= 0.5e-6
    assert Model(params, far, step_factor=0.02).step_factor == 0.02


# ---- exposure time -----------------------------------------------------------------------------


def test_supersampling_converges_to_the_exposure_mean() -> None:
    params = with_law(planet(rotation=15.0), "quadratic")
    exposure = 0.02  # about 29 min for a 3-day orbit, longer than ingress
    t = transit_times(params, 90, half_width=0.1)
    # Independent mean over each exposure: a dense unsupersampled model, averaged here.
    dense = 401
    offsets = exposure * ((np.arange(dense) + 0.5) / dense - 0.5)
    fine = Model(params, (t[:, None] + offsets).ravel(), step_factor=0.005)
    mean = fine.flux().reshape(t.size, dense).mean(axis=1)
    errors = []
    for factor in (1, 3, 9, 27):
        model = Model(params, t, exposure_time=exposure, subsamples=factor, step_factor=0.005)
        flux = model.flux()
        assert flux.shape == t.shape
        errors.append(np.max(np.abs(flux - mean)))
    assert all(later < earlier / 3 for earlier, later in zip(errors, errors[1:]))
    assert errors[-1] < 1e-5
    assert errors[0] > 1e-4  # the exposure matters at all


# ---- validation --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("changes", "name"),
    [
        ({"radius_leading": -0.01}, "radius_leading"),
        ({"radius_trailing": -1e-9}, "radius_trailing"),
        ({"eccentricity": 1.0}, "eccentricity"),
        ({"eccentricity": -0.1}, "eccentricity"),
        ({"period": 0.0}, "period"),
        ({"period": -2.0}, "period"),
        ({"semi_major_axis": 0.0}, "semi_major_axis"),
        ({"inclination": 180.5}, "inclination"),
        ({"inclination": -0.5}, "inclination"),
        ({"mid_transit": math.nan}, "mid_transit"),
        ({"semi_major_axis": math.inf}, "semi_major_axis"),
        ({"periastron": "ninety"}, "periastron"),
        ({"rotation": None}, "rotation"),
        ({"law": "quadratic", "coefficients": (0.4,)}, "coefficients"),
        ({"law": "nonlinear", "coefficients": (0.1, 0.2)}, "coefficients"),
        ({"law": "uniform", "coefficients": (0.1,)}, "coefficients"),
        ({"law": "exponential", "coefficients": 0.4}, "coefficients"),
        ({"law": "quadratic", "coefficients": (0.4, math.nan)}, r"coefficients\[1\]"),
        ({"law": "cubic", "coefficients": (0.4,)}, "law"),
        ({"flux_ratio": -1e-3}, "flux_ratio"),
        ({"flux_ratio": math.inf}, "flux_ratio"),
        ({"eclipse_radius": -0.1}, "eclipse_radius"),
    ],
)
def test_bad_parameters_raise_value_error_naming_them(changes: dict, name: str) -> None:
    with pytest.raises(ValueError, match=rf"^{name} "):
        planet(**changes)


@pytest.mark.parametrize(
    ("arguments", "name"),
    [
        ({"t": np.zeros((2, 3))}, "t"),
        ({"t": [0.0, math.nan]}, "t"),
        ({"kind": "primary"}, "kind"),
        ({"method": "simpson"}, "method"),
        ({"method": "exact", "step_factor": 0.01}, "step_factor"),
        ({"exposure_time": -1.0}, "exposure_time"),
        ({"subsamples": 0, "exposure_time": 0.01}, "subsamples"),
        ({"subsamples": 2.5, "exposure_time": 0.01}, "subsamples"),
        ({"subsamples": 3}, "exposure_time"),
        ({"step_factor": 0.0}, "step_factor"),
        ({"step_factor": math.nan}, "step_factor"),
        ({"max_error_ppm": 0.0}, "max_error_ppm"),
        ({"kind": "eclipse"}, "flux_ratio"),
    ],
)
def test_bad_model_arguments_raise_value_error_naming_them(arguments: dict, name: str) -> None:
    arguments = {"t": [0.5, 0.51], **arguments}
    t = arguments.pop("t")
    with pytest.raises(ValueError, match=rf"^{name} "):
        Model(planet(), t, **arguments)


@pytest.mark.parametrize("law", ["uniform", "quadratic", "nonlinear", "exponential"])
def test_the_exact_engine_is_the_default_and_the_annulus_method_converges_to_it(law: str) -> None:
    params = with_law(planet(), law)
    t = transit_times(params, 40)
    model = Model(params, t)
    assert model.method == "exact" and model.step_factor is None
    annulus = Model(params, t, step_factor=1e-4)
    assert annulus.method == "annulus"
    floor = 3e-5 if law == "exponential" else 1e-7  # the annulus integration's own floors
    np.testing.assert_allclose(model.flux(), annulus.flux(), rtol=0.0, atol=floor)


def test_the_annulus_method_refuses_a_law_it_does_not_integrate() -> None:
    params = planet(law="power2", coefficients=(0.6, 0.6))
    with pytest.raises(ValueError, match="method='exact'"):
        Model(params, transit_times(params, 10), method="annulus")
    model = Model(with_law(params, "quadratic"), transit_times(params, 10), step_factor=0.01)
    with pytest.raises(ValueError, match="method='exact'"):
        model.flux(params)


def test_parameters_are_normalised_and_immutable() -> None:
    params = planet(coefficients=np.array([0.4, 0.25]), inclination=np.float32(88.0))
    assert params.coefficients == (0.4, 0.25) and type(params.inclination) is float
    with pytest.raises(AttributeError):
        params.inclination = 80.0  # type: ignore[misc]
    assert params.replace(rotation=10.0).rotation == 10.0 and params.rotation == 0.0


# ---- pickling and processes --------------------------------------------------------------------


def _evaluate(model: Model, params: Parameters) -> np.ndarray:
    return model.flux(params)


@pytest.mark.parametrize("kind", ["transit", "eclipse"])
def test_models_pickle_and_give_identical_results_in_worker_processes(kind: str) -> None:
    params = with_law(planet(flux_ratio=1e-3), "nonlinear")
    model = Model(
        params,
        transit_times(params, 200),
        kind=kind,
        exposure_time=0.01,
        subsamples=3,
    )
    variants = [
        params.replace(rotation=r, radius_leading=0.09 + 0.01 * k)
        for k, r in enumerate((0.0, 40.0, -75.0))
    ]
    if kind == "eclipse":
        variants = [v.replace(mid_transit=v.mid_transit + v.period / 2) for v in variants]
    local = [model.flux(v) for v in variants]
    assert np.ptp(local[0]) > 5e-4  # the times cover the transit or the eclipse

    assert np.array_equal(model(variants[0]), local[0])  # calling the model evaluates flux

    copy = pickle.loads(pickle.dumps(model))
    assert copy.step_factor == model.step_factor
    for variant, expected in zip(variants, local):
        assert np.array_equal(copy.flux(variant), expected)

    # Fresh interpreters (as on macOS and Windows): forking a process that has started threads
    # (the engine's or an imported JAX's) may deadlock the child.
    spawn = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=2, mp_context=spawn) as pool:
        remote = list(pool.map(_evaluate, [model] * len(variants), variants))
    for got, expected in zip(remote, local):
        assert np.array_equal(got, expected)
