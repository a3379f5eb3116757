"""The light curve as a JAX function (halfmoon.jax): derivatives, jit, vmap and a NUTS run.

Skipped where jax is not installed (it is the optional extra ``halfmoon[jax]``).
"""

from __future__ import annotations

import numpy as np
import pytest

jax = pytest.importorskip("jax")
import jax.numpy as jnp  # noqa: E402
from halfmoon import Model, Parameters  # noqa: E402
from halfmoon.gradient import parameters_from_values  # noqa: E402
from halfmoon.jax import flux_function  # noqa: E402
from jax.test_util import check_grads  # noqa: E402

jax.config.update("jax_enable_x64", True)

PARAMS = Parameters(
    mid_transit=0.0,
    period=3.5,
    radius_leading=0.115,
    radius_trailing=0.125,
    semi_major_axis=8.8,
    inclination=86.9,
    eccentricity=0.1,
    periastron=60.0,
    rotation=10.0,
    law="quadratic",
    coefficients=(0.35, 0.2),
)
NAMES = ["radius_leading", "radius_trailing", "inclination", "mid_transit", "coefficients[1]"]
VALUES = np.array([0.115, 0.125, 86.9, 0.0, 0.2])
TIMES = np.linspace(-0.1, 0.1, 120)


@pytest.fixture(scope="module")
def model() -> Model:
    return Model(PARAMS, TIMES, threads=1)


@pytest.fixture(scope="module")
def flux(model: Model):
    return flux_function(model, NAMES)


def test_value_jit_and_gradient_agree_with_the_model(model: Model, flux) -> None:
    expected = model.flux()
    assert np.array_equal(np.asarray(flux(jnp.asarray(VALUES))), expected)
    assert np.array_equal(np.asarray(jax.jit(flux)(jnp.asarray(VALUES))), expected)
    # The gradient of a scalar is the Jacobian's transpose applied to its cotangent.
    weights = np.linspace(-1.0, 1.0, TIMES.size)
    gradient = jax.jit(jax.grad(lambda v: jnp.dot(flux(v), weights)))(jnp.asarray(VALUES))
    jacobian = model.flux_and_gradient(wrt=NAMES).jacobian
    np.testing.assert_allclose(np.asarray(gradient), weights @ jacobian, rtol=1e-13, atol=1e-15)
    forward = jax.jacfwd(flux)(jnp.asarray(VALUES))
    assert np.array_equal(np.asarray(forward), jacobian)


def test_check_grads_forward_and_reverse(flux) -> None:
    # Against JAX's own finite differences of the function, first order.
    check_grads(flux, (jnp.asarray(VALUES),), order=1, modes=["fwd", "rev"], eps=1e-6, atol=1e-6)


def test_vmap_is_one_batch_and_matches_each_set() -> None:
    model = Model(PARAMS, TIMES, threads=1)
    flux = flux_function(model, NAMES)
    batch_sizes = []
    flux_batch = model.flux_batch

    def counted(sets):
        batch_sizes.append(len(sets))
        return flux_batch(sets)

    model.flux_batch = counted  # type: ignore[method-assign]
    rows = np.stack([VALUES, VALUES + np.array([0.01, -0.01, 0.1, 0.002, 0.05]), VALUES * 1.001])
    batched = np.asarray(jax.jit(jax.vmap(flux))(jnp.asarray(rows)))
    assert batch_sizes == [3]
    sets = [parameters_from_values(PARAMS, NAMES, row) for row in rows]
    assert np.array_equal(batched, flux_batch(sets))
    jacobians = np.asarray(jax.vmap(jax.jacrev(flux))(jnp.asarray(rows)))
    expected = model.flux_and_gradient_batch(sets, NAMES).jacobian
    np.testing.assert_allclose(jacobians, expected, rtol=1e-14, atol=1e-16)


def test_channels_and_invalid_values() -> None:
    params = PARAMS.replace(radius_leading=(0.11, 0.12))
    model = Model(params, TIMES[::4])
    flux = flux_function(model, ["radius_leading[1]", "period"])
    out = np.asarray(flux(jnp.array([0.12, 3.5])))
    assert out.shape == (2, TIMES[::4].size)
    assert np.array_equal(out, model.flux())
    # A radius Parameters rejects gives NaN, which samplers take as a rejected proposal.
    assert np.all(np.isnan(np.asarray(flux(jnp.array([-0.1, 3.5])))))
    with pytest.raises(ValueError, match="unknown parameter"):
        flux_function(model, ["radius"])
    with pytest.raises(ValueError, match="shape"):
        flux(jnp.array([0.12]))


def test_nuts_posterior_contains_the_injected_radii() -> None:
    numpyro = pytest.importorskip("numpyro")
    import numpyro.distributions as dist
    from numpyro.infer import MCMC, NUTS, init_to_value

    truth = PARAMS.replace(eccentricity=0.0, rotation=0.0)
    times = np.linspace(-0.09, 0.09, 80)
    model = Model(truth, times, threads=1)
    noise = 1e-4
    data = model.flux() + np.random.default_rng(3).normal(0.0, noise, times.size)
    flux = flux_function(model, ["radius_leading", "radius_trailing"])

    def transit(data):
        leading = numpyro.sample("radius_leading", dist.Uniform(0.05, 0.2))
        trailing = numpyro.sample("radius_trailing", dist.Uniform(0.05, 0.2))
        numpyro.sample("data", dist.Normal(flux(jnp.stack([leading, trailing])), noise), obs=data)

    start = init_to_value(values={"radius_leading": 0.12, "radius_trailing": 0.12})
    sampler = MCMC(
        NUTS(transit, dense_mass=True, init_strategy=start),
        num_warmup=120,
        num_samples=120,
        progress_bar=False,
    )
    sampler.run(jax.random.PRNGKey(0), data)
    samples = sampler.get_samples()
    for name in ("radius_leading", "radius_trailing"):
        drawn = np.asarray(samples[name])
        low, high = np.percentile(drawn, [0.5, 99.5])
        assert low < getattr(truth, name) < high, (name, low, high)
        # The posterior is far narrower than the prior.
        assert high - low < 0.02
