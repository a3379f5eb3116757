"""The light curve as a JAX function: differentiable, under ``jit``, ``grad`` and ``vmap``.

:func:`flux_function` turns a :class:`halfmoon.Model` and a list of parameter names into a
function of one JAX array of their values. The flux is computed by the compiled engine on the
host (``jax.pure_callback``), and its derivative comes from the model's exact Jacobian
(:meth:`halfmoon.Model.flux_and_gradient`) through a custom JVP rule, whose tangent map is a
product with that Jacobian: JAX transposes it for reverse mode, so ``jax.grad``, ``jax.jvp``,
``jax.vjp`` and the samplers built on them (NumPyro's NUTS, BlackJAX) all work. Under
``jax.vmap`` a batch of parameter vectors reaches the engine as one call
(:meth:`halfmoon.Model.flux_batch`), a single compiled pass.

This module needs ``jax`` (``pip install 'halfmoon[jax]'``, which brings NumPyro too); the rest of
the package does not import it. Enable double precision (``jax.config.update("jax_enable_x64",
True)`` or ``numpyro.enable_x64()``) for fits: the engine computes in float64 and returns the
flux in the dtype of the values it was given.

Values that :class:`halfmoon.Parameters` rejects (a negative radius, an orbit inside the star,
coefficients with a negative intensity) give NaN fluxes and derivatives, which samplers treat as
a rejected proposal.

Examples
--------
>>> import jax
>>> import jax.numpy as jnp
>>> import numpy as np
>>> import halfmoon
>>> import halfmoon.jax
>>> jax.config.update("jax_enable_x64", True)
>>> params = halfmoon.Parameters(mid_transit=0.0, period=3.5, radius_leading=0.118,
...                              radius_trailing=0.124, semi_major_axis=8.8, inclination=86.7,
...                              law="quadratic", coefficients=(0.33, 0.23))
>>> model = halfmoon.Model(params, np.linspace(-0.1, 0.1, 200))
>>> flux = halfmoon.jax.flux_function(model, ["radius_leading", "radius_trailing"])
>>> depth = jax.jit(lambda v: 1.0 - jnp.min(flux(v)))
>>> bool(depth(jnp.array([0.118, 0.124])) > 0.01)
True
>>> slope = jax.grad(lambda v: jnp.sum(flux(v)))(jnp.array([0.118, 0.124]))
>>> bool(slope[0] < 0.0 and slope[1] < 0.0)
True
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Callable

import jax
import jax.numpy as jnp
import numpy as np

from .gradient import parameter_names, parameters_from_values
from .model import Model
from .parameters import Parameters

__all__ = ["flux_function"]


def _sets(
    base: Parameters, names: tuple[str, ...], values: np.ndarray
) -> tuple[list[Parameters], np.ndarray]:
    """One Parameters per row of values (the base where a row is not valid), and which rows
    were valid."""
    sets, valid = [], np.ones(len(values), dtype=bool)
    for k, row in enumerate(values):
        try:
            sets.append(parameters_from_values(base, names, row))
        except ValueError:
            sets.append(base)
            valid[k] = False
    return sets, valid


def flux_function(
    model: Model, names: Sequence[str] | None = None, params: Parameters | None = None
) -> Callable[[jax.Array], jax.Array]:
    """The model's flux as a differentiable JAX function of some parameters' values.

    Parameters
    ----------
    model : Model
        The model (method ``"exact"``, the default); its times, kind and exposures are kept.
    names : sequence of str or None, optional
        The parameters the function takes, in order, named as
        :func:`halfmoon.gradient.parameter_names` gives them (``"radius_leading"``,
        ``"inclination"``, ``"coefficients[0]"``, ``"radius_trailing[2]"``, ...). Default
        None: every continuous parameter.
    params : Parameters or None, optional
        The values of every other parameter; default ``model.params``.

    Returns
    -------
    callable
        ``f(values)``: ``values`` a JAX array of shape (len(names),); the flux of shape (n,),
        or (channels, n) for per-channel parameters, in the dtype of ``values``. It works under
        ``jax.jit``, ``jax.grad`` (and ``jax.jvp``, ``jax.vjp``, first order) and ``jax.vmap``
        (a batch is one call of :meth:`Model.flux_batch`).

    Raises
    ------
    ValueError
        For an unknown or repeated name, or a model of method ``"annulus"``.
    """
    base = model.params if params is None else params
    known = parameter_names(base, model.kind)
    chosen = known if names is None else tuple(names)
    # The names are checked now, and the model's method, by a first evaluation of the Jacobian.
    reference = model.flux_and_gradient(base, chosen)
    shape = reference.flux.shape
    count = len(chosen)

    def host_flux(values: np.ndarray) -> np.ndarray:
        values = np.asarray(values)
        rows = np.asarray(values, dtype=np.float64).reshape(-1, count)
        sets, valid = _sets(base, chosen, rows)
        flux = np.asarray(model.flux_batch(sets)).reshape(len(rows), *shape)
        flux[~valid] = np.nan
        return flux.reshape(*values.shape[:-1], *shape).astype(values.dtype)

    def host_gradient(values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        values = np.asarray(values)
        rows = np.asarray(values, dtype=np.float64).reshape(-1, count)
        sets, valid = _sets(base, chosen, rows)
        result = model.flux_and_gradient_batch(sets, chosen)
        flux = np.asarray(result.flux).reshape(len(rows), *shape)
        jacobian = np.asarray(result.jacobian).reshape(len(rows), *shape, count)
        flux[~valid] = np.nan
        jacobian[~valid] = np.nan
        lead = values.shape[:-1]
        return (
            flux.reshape(*lead, *shape).astype(values.dtype),
            jacobian.reshape(*lead, *shape, count).astype(values.dtype),
        )

    def check(values: jax.Array) -> jax.Array:
        values = jnp.asarray(values)
        if not jnp.issubdtype(values.dtype, jnp.floating):
            values = values.astype(jnp.result_type(float))
        if values.shape != (count,):
            raise ValueError(f"values must have shape ({count},) for {list(chosen)}")
        return values

    @jax.custom_jvp
    def flux(values: jax.Array) -> jax.Array:
        values = check(values)
        out = jax.ShapeDtypeStruct(shape, values.dtype)
        return jax.pure_callback(host_flux, out, values, vmap_method="expand_dims")

    @flux.defjvp
    def flux_jvp(
        primals: tuple[jax.Array], tangents: tuple[jax.Array]
    ) -> tuple[jax.Array, jax.Array]:
        values = check(primals[0])
        tangent = jnp.asarray(tangents[0], dtype=values.dtype)
        out = (
            jax.ShapeDtypeStruct(shape, values.dtype),
            jax.ShapeDtypeStruct((*shape, count), values.dtype),
        )
        value, jacobian = jax.pure_callback(host_gradient, out, values, vmap_method="expand_dims")
        return value, jacobian @ tangent

    return flux
