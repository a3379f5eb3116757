"""Exact derivatives of the light curve: the engine's partials and the model's Jacobian.

Every derivative is checked against a Richardson-extrapolated central difference (two levels:
error of order h^6 where the flux is smooth), at points well away (at least 15 steps) from the
configurations where the flux is not smooth (a rim tangent to the limb, a junction of rim and
line on the limb, the line tangent to the limb). The differences are those of the exact engine
for the laws it integrates in closed form; for laws with a remainder beyond c0 + c1 mu + c2 mu^2
the engine's quadrature leaves a flux noise of about 1e-13 that varies from point to point,
which differences of step h amplify to 1e-13/h, so there the differences are taken of the
independent reference (tests/oracle.py, good to about 1e-16). Near and at the contacts the
derivative is continuous with an unbounded derivative of its own: the tests there check that it
converges to its value at the contact like the square root of the distance (and, for the
exponential law, whose intensity grows like 1/mu at the limb, that it grows like the logarithm
of the distance next to the second and third contacts).
"""

from __future__ import annotations

import math
import signal
import subprocess
import sys
import time
import zlib
from collections.abc import Callable, Sequence

import numpy as np
import pytest
from halfmoon import Model, Parameters, _engine
from halfmoon.gradient import parameter_names, parameter_values, parameters_from_values
from law_cases import LAWS, TABULATED_MU
from oracle import reference_flux, sky_theta

# Laws whose engine flux has a quadrature part.
WITH_REMAINDER = {"nonlinear", "exponential", "square_root", "power2", "tabulated"}
RTOL = 1e-7
ATOL = 1e-11


def richardson(evaluate: Callable[[float], np.ndarray], h: float) -> np.ndarray:
    """d/dv of evaluate(v) at v = 0: central differences at h, h/2, h/4, extrapolated twice."""

    def central(step: float) -> np.ndarray:
        return (evaluate(step) - evaluate(-step)) / (2.0 * step)

    d1, d2, d4 = central(h), central(h / 2.0), central(h / 4.0)
    r1, r2 = (4.0 * d2 - d1) / 3.0, (4.0 * d4 - d2) / 3.0
    return (16.0 * r2 - r1) / 15.0


def engine_call(entry, law, coefficients, p1, p2, x, y, line):
    x, y, line = (np.atleast_1d(np.asarray(v, dtype=float)) for v in (x, y, line))
    return entry(
        law,
        np.asarray(coefficients, dtype=float).reshape(1, 1, -1),
        np.array([[p1]], dtype=float),
        np.array([[p2]], dtype=float),
        np.hypot(x, y)[np.newaxis],
        x[np.newaxis],
        y[np.newaxis],
        line[np.newaxis],
        threads=1,
    )


def engine_flux(law, coefficients, p1, p2, x, y, line) -> np.ndarray:
    return engine_call(_engine.transit, law, coefficients, p1, p2, x, y, line)[0, 0]


def engine_gradient(law, coefficients, p1, p2, x, y, line) -> tuple[np.ndarray, np.ndarray]:
    flux, partials = engine_call(_engine.transit_gradient, law, coefficients, p1, p2, x, y, line)
    return flux[0, 0], partials[0, 0]


def contact_distance(x, y, line, p1: float, p2: float) -> np.ndarray:
    """Distance (stellar radii) to the nearest configuration where the flux is not smooth: a rim
    tangent to the limb, a junction of rim and line on the limb, the line tangent to it."""
    z = np.hypot(x, y)
    theta = line - np.arctan2(y, x)
    distances = [np.abs(np.abs(np.sin(theta) * z) - 1.0)]
    for p in (p1, p2):
        distances += [np.abs(z - 1.0 - p), np.abs(z - 1.0 + p)]
        for sign in (1.0, -1.0):
            jx = z + sign * p * np.cos(theta)
            jy = sign * p * np.sin(theta)
            distances.append(np.abs(np.hypot(jx, jy) - 1.0))
    return np.min(distances, axis=0)


def oracle_flux(law, coefficients, p1, p2, x, y, line) -> np.ndarray:
    x, y, line = np.broadcast_arrays(*(np.atleast_1d(np.asarray(v, float)) for v in (x, y, line)))
    return np.array(
        [
            reference_flux(law, coefficients, math.hypot(a, b), p1, p2, sky_theta(a, b, c))
            for a, b, c in zip(x, y, line)
        ]
    )


def differentiable(law: str, coefficients: Sequence[float]) -> list[int]:
    """The engine parameters that have partials: all but a tabulated profile's nodes mu_k."""
    indices = list(range(5 + len(coefficients)))
    if law == "tabulated":
        m = len(coefficients) // 2
        del indices[5 : 5 + m]
    return indices


def engine_fd(law, coefficients, p1, p2, x, y, line, h, indices=None, flux=engine_flux):
    """Richardson differences of `flux` in the engine parameters `indices` (default: those with
    partials), shape (len(indices), n)."""
    args = [np.asarray(x, float), np.asarray(y, float), np.asarray(line, float), p1, p2]
    rows = []
    for k in differentiable(law, coefficients) if indices is None else indices:

        def evaluate(step: float, k: int = k) -> np.ndarray:
            a = list(args)
            c = list(coefficients)
            if k < 5:
                a[k] = a[k] + step
            else:
                c[k - 5] += step
            return flux(law, c, a[3], a[4], a[0], a[1], a[2])

        rows.append(richardson(evaluate, h))
    return np.array(rows)


def reference_fd(law, coefficients, p1, p2, x, y, line, h):
    """Differences of the engine for closed-form laws, of the oracle for the others."""
    flux = oracle_flux if law in WITH_REMAINDER else engine_flux
    return engine_fd(law, coefficients, p1, p2, x, y, line, h, flux=flux)


def assert_close(got: np.ndarray, expected: np.ndarray, rtol: float = RTOL, atol: float = ATOL):
    error = np.abs(got - expected)
    bound = rtol * np.abs(expected) + atol
    worst = np.unravel_index(np.argmax(error - bound), error.shape)
    assert np.all(error <= bound), (
        f"worst at {worst}: got {got[worst]!r}, expected {expected[worst]!r}, "
        f"error {error[worst]:.3g} > {bound[worst]:.3g}"
    )


# ---- engine: families of geometries ----------------------------------------------------------

FAMILIES = {
    # (separation range, radius range): planets wholly inside, crossing the limb, grazing (the
    # centre off the star), close to the star's centre (the rims around S), large planets.
    "inside": ((0.0, 0.75), (0.02, 0.25)),
    "crossing": ((0.8, 1.15), (0.02, 0.3)),
    "grazing": ((1.0, 1.3), (0.1, 0.35)),
    "centre": ((0.0, 0.3), (0.05, 0.45)),
    "large": ((0.0, 1.4), (0.5, 0.8)),
}
STEP = 4e-3
MARGIN = 0.06


def smooth_points(family: str, law: str, count: int = 24, seed: int = 0):
    (z_lo, z_hi), (p_lo, p_hi) = FAMILIES[family]
    rng = np.random.default_rng(zlib.crc32(f"{family} {law} {seed}".encode()))
    p1, p2 = rng.uniform(p_lo, p_hi, 2)
    z = rng.uniform(z_lo, z_hi, 500)
    polar = rng.uniform(-math.pi, math.pi, z.size)
    x, y = z * np.cos(polar), z * np.sin(polar)
    line = rng.uniform(-4.0, 4.0, z.size)
    keep = (contact_distance(x, y, line, p1, p2) > MARGIN) & (z < 1.0 + max(p1, p2) - MARGIN)
    index = np.flatnonzero(keep)[:count]
    assert index.size == count
    return p1, p2, x[index], y[index], line[index]


@pytest.mark.parametrize("family", sorted(FAMILIES))
@pytest.mark.parametrize("law", sorted(LAWS))
def test_engine_partials_against_richardson_differences(law: str, family: str) -> None:
    # The oracle takes milliseconds per flux: fewer points for the laws that need it.
    p1, p2, x, y, line = smooth_points(family, law, 2 if law in WITH_REMAINDER else 24)
    c = LAWS[law]
    flux, partials = engine_gradient(law, c, p1, p2, x, y, line)
    assert partials.shape == (5 + len(c), x.size)
    # The remainder's quadrature takes more nodes than the flux's: the same to about 1e-13.
    flux_tolerance = 1e-12 if law in WITH_REMAINDER else 1e-15
    np.testing.assert_allclose(
        flux, engine_flux(law, c, p1, p2, x, y, line), rtol=0, atol=flux_tolerance
    )
    expected = reference_fd(law, c, p1, p2, x, y, line, STEP)
    assert_close(partials[differentiable(law, c)], expected)


@pytest.mark.parametrize(
    "profile",
    [
        [0.05, 0.3, 0.6, 0.95, 0.2, 0.7, 0.65, 1.0],  # an extremum: its slope is held at zero
        [0.0, 1.0, 0.4, 1.0],  # two nodes: one cubic
    ],
)
def test_tabulated_profile_partials(profile: list[float]) -> None:
    # The intensities' partials go through the Hermite basis and the monotone slopes' own
    # derivatives; the nodes' are not given.
    m = len(profile) // 2
    p1, p2, x, y, line = smooth_points("crossing", "tabulated", 3)
    _, partials = engine_gradient("tabulated", profile, p1, p2, x, y, line)
    assert np.all(np.isnan(partials[5 : 5 + m])) and np.all(np.isfinite(partials[5 + m :]))
    indices = list(range(5 + m, 5 + 2 * m))
    expected = engine_fd("tabulated", profile, p1, p2, x, y, line, 1e-3, indices, oracle_flux)
    assert_close(partials[5 + m :], expected)


@pytest.mark.parametrize("law", ["quadratic", "nonlinear", "exponential", "power2"])
@pytest.mark.parametrize(
    "case",
    [
        "centre",  # z = 0 exactly: the sky frame's polar angle is atan2(0, 0)
        "rim_through_centre",  # z = p: the far-form winding and the third-kind term vanish
        "equal_radii",  # the full disc, split into halves for the radius partials
        "line_through_centre",  # h = 0
    ],
)
def test_engine_special_geometries(law: str, case: str) -> None:
    c = LAWS[law]
    p1, p2 = 0.15, 0.11
    if case == "centre":
        # Differences about x = y = 0 straddle the centre, where the flux is smooth.
        x, y, line = np.zeros(3), np.zeros(3), np.array([0.3, 1.9, -2.6])
    elif case == "rim_through_centre":
        x, y, line = np.array([p2, 0.0, -p1]), np.array([0.0, p2, 0.0]), np.array([0.4, 2.0, 1.0])
    elif case == "equal_radii":
        p2 = p1
        x, y, line = np.array([0.3, 0.5, -0.2]), np.array([0.1, -0.4, 0.6]), np.array([1.0, -2, 3])
    else:
        x, y, line = (
            np.array([0.4, -0.3, 0.2]),
            np.array([0.0, 0.0, 0.2]),
            np.array([0.0, 0.0, 0.785398]),
        )
    _, partials = engine_gradient(law, c, p1, p2, x, y, line)
    expected = reference_fd(law, c, p1, p2, x, y, line, STEP)
    assert_close(partials, expected)
    if case == "equal_radii":
        # The line between equal halves moves nothing.
        assert np.all(partials[2] == 0.0)


@pytest.mark.parametrize("law", ["uniform", "quadratic", "nonlinear", "exponential"])
@pytest.mark.parametrize("offset", [1e-2, 3e-3, 1e-3, 3e-4])
def test_engine_partials_near_contacts(law: str, offset: float) -> None:
    # Second and third contact of each half (a rim inside the limb and tangent to it, from
    # either side), a junction and the line next to the limb: differences with steps well
    # below the offset still converge.
    c = LAWS[law]
    p1, p2 = 0.12, 0.08
    z = np.array([1 - p1 - offset, 1 - p1 + offset, 1 + p2 - offset, 1 - p2 + offset])
    polar = np.array([0.3, -1.0, 2.0, 0.1])
    line = polar + np.array([1.0, 1.3, 1.8, -2.2])
    x, y = z * np.cos(polar), z * np.sin(polar)
    _, partials = engine_gradient(law, c, p1, p2, x, y, line)
    expected = engine_fd(law, c, p1, p2, x, y, line, offset / 50.0)
    assert_close(partials, expected, rtol=1e-6, atol=1e-10)


@pytest.mark.parametrize("law", ["uniform", "quadratic", "nonlinear"])
def test_engine_partials_are_continuous_at_contacts(law: str) -> None:
    # At each contact the derivative is the common limit of both sides, reached like the
    # square root of the distance (the flux is not twice differentiable there).
    c = LAWS[law]
    p = 0.1
    offsets = np.array([1e-4, 1e-6, 1e-8])
    for contact in (1.0 - p, 1.0 + p):
        at = engine_gradient(law, c, p, p, contact, 0.0, 1.0)[1][:, 0]
        for side in (-1.0, 1.0):
            z = contact + side * offsets
            near = engine_gradient(law, c, p, p, z, np.zeros(3), np.ones(3))[1]
            jumps = np.max(np.abs(near - at[:, np.newaxis]), axis=0)
            assert np.all(jumps <= 3.0 * np.sqrt(offsets) + 1e-12), (contact, side, jumps)
        if contact > 1.0:
            # First contact: nothing is hidden yet, and nothing moves the flux.
            assert np.all(np.abs(at) < 1e-12)


def test_engine_exponential_law_at_contacts() -> None:
    # Its intensity grows like c2/mu at the limb. Next to the second contact (a rim inside
    # the limb, tangent to it) the rim integral of I picks up log(1/distance): the derivative
    # along the line of centres grows by the same amount per decade on both sides. At first
    # contact the flux has a kink: the derivative from inside tends to a non-zero limit, the
    # outside's is zero.
    c = LAWS["exponential"]
    p = 0.1
    offsets = 10.0 ** -np.arange(5.0, 10.0)
    zeros, ones = np.zeros(offsets.size), np.ones(offsets.size)
    for side in (-1.0, 1.0):
        along = engine_gradient("exponential", c, p, p, 1.0 - p + side * offsets, zeros, ones)[1][0]
        per_decade = np.diff(along)
        assert np.all(per_decade < 0.0)
        np.testing.assert_allclose(per_decade, np.mean(per_decade), rtol=0.1)
    inside = engine_gradient("exponential", c, p, p, 1.0 + p - offsets, zeros, ones)[1][0]
    # The inside values converge (like the square root of the distance) to a limit far from 0.
    assert np.all(np.abs(np.diff(inside)) < 3.0 * np.sqrt(offsets[:-1])) and inside[-1] > 1e-3
    assert np.all(engine_gradient("exponential", c, p, p, 1.0 + p, 0.0, 1.0)[1] == 0.0)


def test_engine_out_of_reach_and_invalid_points() -> None:
    flux, partials = engine_gradient(
        "quadratic", LAWS["quadratic"], 0.1, 0.12, [2.0, np.inf, np.nan], [0.0] * 3, [0.0] * 3
    )
    assert flux[0] == 1.0 and np.all(partials[:, 0] == 0.0)
    assert flux[1] == 1.0 and np.all(partials[:, 1] == 0.0)
    assert np.isnan(flux[2]) and np.all(np.isnan(partials[:, 2]))


def test_engine_sets_channels_and_threads() -> None:
    # Several sets and channels in one call give what each gives alone, for any thread count.
    rng = np.random.default_rng(5)
    sets, channels, n = 2, 3, 400
    coefficients = rng.uniform(0.1, 0.3, (sets, channels, 2))
    first = rng.uniform(0.08, 0.12, (sets, channels))
    second = rng.uniform(0.08, 0.12, (sets, channels))
    x = rng.uniform(-1.1, 1.1, (sets, n))
    y = rng.uniform(-0.5, 0.5, (sets, n))
    line = rng.uniform(-3, 3, (sets, n))
    args = ("quadratic", coefficients, first, second, np.hypot(x, y), x, y, line)
    flux, partials = _engine.transit_gradient(*args, threads=1)
    flux2, partials2 = _engine.transit_gradient(*args, threads=2)
    assert partials.shape == (sets, channels, 7, n)
    assert np.array_equal(flux, flux2) and np.array_equal(partials, partials2)
    s, ch = 1, 2
    alone = engine_gradient(
        "quadratic", coefficients[s, ch], first[s, ch], second[s, ch], x[s], y[s], line[s]
    )
    assert np.array_equal(flux[s, ch], alone[0]) and np.array_equal(partials[s, ch], alone[1])
    np.testing.assert_allclose(flux, _engine.transit(*args), rtol=0, atol=1e-15)
    with pytest.raises(ValueError, match="coefficients"):
        _engine.transit_gradient("quadratic", coefficients[:, :, :1], *args[2:])
    with pytest.raises(ValueError, match="threads"):
        _engine.transit_gradient(*args, threads=0)
    with pytest.raises(ValueError, match="unknown limb-darkening law"):
        _engine.transit_gradient("cubic", *args[1:])


# The gradient's run is the flux's: threads, released lock, Ctrl-C within 0.1 s.
INTERRUPTED = r"""
import sys, time
import numpy as np
from halfmoon import _engine
z = np.linspace(0.0, 1.0, 1_000_000)[None]
# A law whose gradient takes quadrature along the boundary: seconds of work on two threads.
args = ("power2", [[[0.6, 0.7]]], [[0.1]], [[0.12]], z, z, 0.0 * z, z)
print("ready", flush=True)
try:
    _engine.transit_gradient(*args, threads=2)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.perf_counter(), flush=True)
"""


def test_engine_gradient_is_interrupted_by_ctrl_c() -> None:
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout is not None
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.4)  # inside the call, which runs for seconds
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        words = child.stdout.readline().split()
        assert child.wait(timeout=30) == 0
    finally:
        child.kill()
    assert words[0] == "interrupted" and float(words[1]) - sent < 0.1


# ---- the model's Jacobian --------------------------------------------------------------------

BASE = Parameters(
    mid_transit=0.002,
    period=3.5,
    radius_leading=0.11,
    radius_trailing=0.13,
    semi_major_axis=8.8,
    inclination=87.2,
    eccentricity=0.15,
    periastron=40.0,
    rotation=25.0,
    law="quadratic",
    coefficients=(0.4, 0.2),
    flux_ratio=1e-3,
)
# Steps per parameter, about 1e-4 stellar radii of motion on the sky.
_STEPS = {
    "mid_transit": 1e-5,
    "period": 1e-4,
    "semi_major_axis": 1e-3,
    "inclination": 1e-3,
    "eccentricity": 1e-4,
    "periastron": 1e-2,
    "rotation": 1e-2,
}


def model_fd(model: Model, params: Parameters, name: str) -> np.ndarray:
    field = name.split("[")[0]
    h = _STEPS.get(field, 1e-4)
    value = parameter_values(params, [name])[0]
    return richardson(
        lambda step: model.flux(parameters_from_values(params, [name], [value + step])), h
    )


def smooth_times(model: Model, params: Parameters) -> np.ndarray:
    """Which of the model's times stay 1e-2 stellar radii away from every contact (all
    sub-samples of the exposure, either radius and the eclipse radius)."""
    from halfmoon.sky import sky_points

    sky = sky_points([params], np.asarray(model._grid))
    radii = [*params.channel_array("radius_leading"), *params.channel_array("radius_trailing")]
    if params.eclipse_radius is not None:
        radii += list(params.channel_array("eclipse_radius"))
    margin = np.full(sky.x.shape[1], np.inf)
    for p1 in radii:
        for p2 in radii:
            margin = np.minimum(
                margin, contact_distance(sky.x[0], sky.y[0], sky.line_angle[0], p1, p2)
            )
    return np.min(margin.reshape(model.t.size, -1), axis=1) > 1e-2


def check_model(
    model: Model, params: Parameters, wrt: Sequence[str] | None = None, rtol: float = RTOL
) -> None:
    result = model.flux_and_gradient(params, wrt)
    flux_tolerance = 1e-12 if params.law in WITH_REMAINDER else 1e-14
    np.testing.assert_allclose(result.flux, model.flux(params), rtol=0, atol=flux_tolerance)
    keep = smooth_times(model, params)
    assert keep.sum() > model.t.size // 3
    for j, name in enumerate(result.names):
        expected = model_fd(model, params, name)
        got = result.jacobian[..., j]
        assert_close(got[..., keep], expected[..., keep], rtol=rtol, atol=1e-10)
        assert np.array_equal(result.column(name), got)


def test_model_every_column_of_an_eccentric_transit() -> None:
    model = Model(BASE, np.linspace(-0.11, 0.11, 150))
    result = model.flux_and_gradient()
    assert result.names == parameter_names(BASE)
    assert result.names[:7] == (
        "mid_transit",
        "period",
        "semi_major_axis",
        "inclination",
        "eccentricity",
        "periastron",
        "rotation",
    )
    assert result.jacobian.shape == (150, len(result.names))
    check_model(model, BASE)


@pytest.mark.parametrize("law", ["nonlinear", "exponential", "power2", "square_root"])
def test_model_laws_with_a_remainder(law: str) -> None:
    # The engine's partials of these laws are checked against the oracle above; here the
    # differences are those of the engine's flux, whose quadrature noise of about 1e-13, over
    # a step of 1e-5 days, bounds their agreement to about 1e-6.
    params = BASE.replace(law=law, coefficients=LAWS[law])
    model = Model(params, np.linspace(-0.11, 0.11, 80))
    check_model(model, params, ["mid_transit", "radius_trailing", "coefficients[1]"], rtol=1e-6)


@pytest.mark.parametrize("rotation", [120.0, -100.0, 180.0])
def test_model_reversed_line_swaps_the_radii(rotation: float) -> None:
    params = BASE.replace(rotation=rotation)
    model = Model(params, np.linspace(-0.11, 0.11, 80))
    check_model(model, params, ["radius_leading", "radius_trailing", "rotation", "inclination"])


def test_model_channels() -> None:
    params = BASE.replace(
        radius_leading=(0.1, 0.11, 0.12),
        coefficients=((0.4, 0.2), (0.3, 0.25), (0.2, 0.3)),
    )
    model = Model(params, np.linspace(-0.11, 0.11, 60))
    result = model.flux_and_gradient(params)
    assert result.jacobian.shape == (3, 60, len(result.names))
    assert "radius_leading[2]" in result.names and "radius_trailing" in result.names
    assert "coefficients[1][0]" in result.names
    # A per-channel value moves its own channel only.
    column = result.column("radius_leading[1]")
    assert np.all(column[0] == 0.0) and np.all(column[2] == 0.0) and np.any(column[1] != 0.0)
    check_model(
        model,
        params,
        ["radius_leading[1]", "radius_trailing", "coefficients[2][1]", "period", "rotation"],
    )


def test_model_exposures_average_the_gradient() -> None:
    model = Model(BASE, np.linspace(-0.11, 0.11, 60), exposure_time=0.004, subsamples=3)
    check_model(model, BASE, ["mid_transit", "radius_leading", "eccentricity", "coefficients[0]"])


@pytest.mark.parametrize("eclipse_radius", [None, 0.125])
def test_model_secondary_eclipse(eclipse_radius: float | None) -> None:
    params = BASE.replace(eclipse_radius=eclipse_radius, eccentricity=0.0)
    model = Model(params, np.linspace(1.65, 1.85, 80), kind="eclipse")
    names = parameter_names(params, "eclipse")
    assert "flux_ratio" in names and ("eclipse_radius" in names) == (eclipse_radius is not None)
    check_model(model, params, [n for n in names if n not in ("eccentricity",)])


def test_model_whole_orbit() -> None:
    params = BASE.replace(eclipse_radius=0.12)
    times = np.concatenate([np.linspace(-0.11, 0.11, 60), np.linspace(1.55, 1.95, 60)])
    model = Model(params, times, kind="orbit")
    check_model(model, params)


def test_model_circular_orbit_eccentricity_is_one_sided() -> None:
    # At e = 0 the elements are not smooth: the derivative given is the one towards e > 0.
    params = BASE.replace(eccentricity=0.0)
    model = Model(params, np.linspace(-0.11, 0.11, 60))
    got = model.flux_and_gradient(params, ["eccentricity"]).jacobian[:, 0]

    def forward(h: float) -> np.ndarray:
        return (model.flux(params.replace(eccentricity=h)) - model.flux(params)) / h

    expected = (8.0 * forward(1e-6) - 6.0 * forward(2e-6) + forward(4e-6)) / 3.0
    keep = smooth_times(model, params)
    assert_close(got[keep], expected[keep], rtol=1e-5, atol=1e-9)


def test_model_names_and_methods() -> None:
    model = Model(BASE, np.linspace(-0.1, 0.1, 20))
    with pytest.raises(ValueError, match="unknown parameter"):
        model.flux_and_gradient(wrt=["radius"])
    with pytest.raises(ValueError, match="twice"):
        model.flux_and_gradient(wrt=["period", "period"])
    annulus = Model(BASE, np.linspace(-0.1, 0.1, 20), method="annulus", step_factor=0.01)
    with pytest.raises(ValueError, match="no gradient"):
        annulus.flux_and_gradient()
    batch = model.flux_and_gradient_batch([BASE, BASE.replace(radius_leading=0.1)], ["period"])
    assert batch.jacobian.shape == (2, 20, 1)
    single = model.flux_and_gradient(BASE.replace(radius_leading=0.1), ["period"])
    assert np.array_equal(batch.jacobian[1], single.jacobian)
    assert np.array_equal(batch.flux[1], single.flux)


def test_model_tabulated_profile_columns() -> None:
    m = len(TABULATED_MU)
    params = BASE.replace(law="tabulated", coefficients=LAWS["tabulated"])
    names = parameter_names(params)
    # The nodes mu_k are left out of the defaults; the intensities are parameters.
    assert "coefficients[0]" not in names and f"coefficients[{m}]" in names
    model = Model(params, np.linspace(-0.11, 0.11, 60))
    check_model(model, params, [f"coefficients[{m + 2}]", "radius_leading"], rtol=1e-6)
    nodes = model.flux_and_gradient(params, ["coefficients[2]"]).jacobian[:, 0]
    assert np.all(np.isnan(nodes[model.flux(params) < 1.0]))
