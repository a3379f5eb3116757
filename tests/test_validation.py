"""Input handling of the model layer: bad values are refused with errors that name them, the
times stay read-only, and the guard rails against unphysical parameters."""

from __future__ import annotations

import copy
import math
import pickle
import warnings

import numpy as np
import pytest
from halfmoon import Model, Parameters, coefficient_problems

BASE = {
    "mid_transit": 0.0,
    "period": 3.0,
    "radius_leading": 0.1,
    "radius_trailing": 0.12,
    "semi_major_axis": 8.0,
    "inclination": 88.0,
    "law": "quadratic",
    "coefficients": (0.4, 0.25),
}
T = np.linspace(-0.1, 0.1, 21)


def planet(**changes: object) -> Parameters:
    return Parameters(**{**BASE, **changes})


@pytest.mark.parametrize(
    ("changes", "name"),
    [
        ({"radius_leading": True}, "radius_leading"),
        ({"radius_trailing": np.bool_(False)}, "radius_trailing"),
        ({"radius_leading": 10**400}, "radius_leading"),
        ({"semi_major_axis": 1j}, "semi_major_axis"),
        ({"rotation": "10"}, "rotation"),
        ({"coefficients": (True, 0.2)}, r"coefficients\[0\]"),
        ({"coefficients": ((0.4, 0.2), (0.4,))}, r"coefficients\[1\]"),
        ({"radius_leading": (0.1, 0.11), "radius_trailing": (0.1, 0.11, 0.12)}, "radius_leading"),
        ({"radius_leading": (0.1, -0.11)}, "radius_leading"),
        ({"radius_leading": ()}, "radius_leading"),
        ({"semi_major_axis": 0.5}, "semi_major_axis"),
        ({"semi_major_axis": 2.0, "eccentricity": 0.6}, "semi_major_axis"),
    ],
)
def test_bad_values_raise_value_error_naming_them(changes: dict, name: str) -> None:
    with pytest.raises(ValueError, match=rf"^{name}"):
        planet(**changes)


@pytest.mark.parametrize(
    ("law", "coefficients", "problem"),
    [
        ("quadratic", (1.5, 0.2), "negative"),  # I(mu = 0) = 1 - u1 - u2 < 0
        ("quadratic", (2.6, -1.6), "negative"),  # dips below zero inside the disc only
        ("quadratic", (3.0, 0.0), "negative"),
        ("nonlinear", (0.0, 0.0, 0.0, 3.0), "total flux"),
        ("exponential", (0.4, -0.05), "negative"),  # c2 / (e^mu - 1) -> -inf at the limb
    ],
)
def test_unphysical_coefficients_are_refused_and_reported(
    law: str, coefficients: tuple, problem: str
) -> None:
    problems = coefficient_problems(law, coefficients)
    assert any(problem in text for text in problems), problems
    with pytest.raises(ValueError, match=r"^coefficients"):
        planet(law=law, coefficients=coefficients)


@pytest.mark.parametrize(
    ("law", "coefficients"),
    [
        ("uniform", ()),
        ("quadratic", (0.4, 0.25)),
        ("quadratic", (1.0, 0.0)),  # I = mu: zero at the limb only
        ("quadratic", (0.0, 1.0)),
        ("nonlinear", (0.6, -0.3, 0.7, -0.3)),
        ("exponential", (0.4, 0.05)),
    ],
)
def test_physical_coefficients_have_no_problems(law: str, coefficients: tuple) -> None:
    assert coefficient_problems(law, coefficients) == []


@pytest.mark.parametrize(
    ("t", "message"),
    [
        (np.array([0.0, 0.1 + 1e-3j]), "real numbers"),
        (np.array([1, 2], dtype="timedelta64[h]"), "timedelta64"),
        (np.array(["2026-01-01"], dtype="datetime64[D]"), "datetime64"),
        ([True, False], "real numbers"),
        (["0.1"], "real numbers"),
        ([[0.0, 0.1]], "one-dimensional"),
        ([0.0, math.inf], "finite"),
    ],
)
def test_times_must_be_finite_real_numbers(t: object, message: str) -> None:
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no ComplexWarning on the way
        with pytest.raises(ValueError, match=rf"^t .*{message}"):
            Model(planet(), t)


@pytest.mark.parametrize(
    ("arguments", "name"),
    [
        ({"subsamples": True, "exposure_time": 0.01}, "subsamples"),
        ({"step_factor": True}, "step_factor"),
        ({"exposure_time": [0.01, 0.02]}, "exposure_time"),
        ({"exposure_time": np.full(21, -0.01)}, "exposure_time"),
        ({"subsamples": 3, "exposure_time": np.zeros(21)}, "exposure_time"),
        ({"max_error_ppm": 1.0, "method": "exact"}, "max_error_ppm"),
        ({"max_error_ppm": 1.0, "step_factor": 0.01}, "max_error_ppm"),
        ({"kind": "eclipse", "step_factor": 0.01}, "step_factor"),
        ({"kind": "eclipse", "method": "annulus"}, "method"),
        ({"threads": 0}, "threads"),
    ],
)
def test_options_that_do_not_apply_or_are_bad_raise_naming_them(arguments: dict, name: str) -> None:
    params = planet(flux_ratio=1e-3)
    with pytest.raises(ValueError, match=rf"^{name} "):
        Model(params, T, **arguments)


@pytest.mark.parametrize("duplicate", [pickle.loads, copy.deepcopy, copy.copy])
def test_times_stay_read_only_after_pickling_and_copying(duplicate: object) -> None:
    model = Model(planet(), T)
    expected = model.flux()
    if duplicate is pickle.loads:
        other = pickle.loads(pickle.dumps(model))
    else:
        other = duplicate(model)  # type: ignore[operator]
    assert not other.t.flags.writeable
    with pytest.raises(ValueError):
        other.t[0] = 5.0
    # Even a caller who forces the flag cannot change what the model evaluates.
    times = other.t
    if times.flags.owndata or times.base is not None:
        try:
            times.setflags(write=True)
            times[:] = 0.0
        except ValueError:
            pass
    assert np.array_equal(other.flux(), expected)


def test_orbit_that_never_transits_warns_naming_the_inclination_in_degrees() -> None:
    with pytest.warns(UserWarning, match=r"never transits.*degrees.*1\.53 deg"):
        Model(planet(inclination=1.53), T)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        Model(planet(), T)


def test_a_planet_larger_than_the_star_never_gives_a_negative_flux() -> None:
    params = planet(radius_leading=1.5, radius_trailing=1.5, inclination=90.0)
    flux = Model(params, np.linspace(-0.02, 0.02, 41)).flux()
    assert np.all(flux >= 0.0)
    assert np.min(flux) == 0.0


@pytest.mark.parametrize(
    ("law", "coefficients", "name"),
    [
        ("power2", (0.6, 0.0), r"coefficients\[1\]"),
        ("power2", (0.6, -1.0), r"coefficients\[1\]"),
        ("tabulated", (0.0, 1.0, 0.5), "coefficients"),  # odd count
        ("tabulated", (0.0, 1.0), "coefficients"),  # fewer than two grid points
        ("tabulated", (0.5, 0.2, 1.0, 0.3, 0.4, 1.0), "coefficients"),  # mu not increasing
        ("tabulated", (0.0, 0.5, 1.2, 0.3, 0.6, 1.0), "coefficients"),  # mu beyond 1
        ("tabulated", (0.0, 0.5, 1.0, -0.1, 0.6, 1.0), "coefficients"),  # negative intensity
        ("tabulated", (0.0, 0.5, 1.0, 0.3, math.nan, 1.0), r"coefficients\[4\]"),
    ],
)
def test_each_laws_own_coefficient_rules(law: str, coefficients: tuple, name: str) -> None:
    with pytest.raises(ValueError, match=rf"^{name}"):
        planet(law=law, coefficients=coefficients)


@pytest.mark.parametrize(
    ("law", "coefficients"),
    [
        ("linear", (0.6,)),
        ("square_root", (0.3, 0.4)),
        ("power2", (0.6, 0.6)),
        ("tabulated", (0.0, 0.25, 0.5, 1.0, 0.35, 0.6, 0.8, 1.0)),
    ],
)
def test_every_law_runs_through_the_model_and_hides_less_than_its_area(
    law: str, coefficients: tuple
) -> None:
    flux = Model(planet(law=law, coefficients=coefficients), T).flux()
    assert 1.0 - np.min(flux) > 0.9 * (0.1**2 + 0.12**2) / 2  # limb darkening deepens it
    assert np.all(flux <= 1.0)
