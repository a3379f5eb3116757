"""The light curve's Jacobian: the flux and its derivative with respect to every free parameter.

:meth:`halfmoon.Model.flux_and_gradient` composes three derivatives, all exact:

- the orbit's: the planet's sky position (x, y) and the dividing line's sky angle as functions
  of mid_transit, period, semi_major_axis, inclination, eccentricity and periastron
  (``halfmoon._sky.sky_gradient``); the rotation adds to the line angle;
- the engine's: the flux of the star behind the planet as a function of x, y, the line angle,
  the radii left and right of the line and the law's coefficients
  (``halfmoon._engine.transit_gradient``, from the normal velocity of each moving piece of the
  boundary of the planet's part of the star);
- for a secondary eclipse or a whole orbit, the planet's visible fraction, from the uniform
  star's blocked area through the same engine, and the flux ratio.

Parameter names. Every continuous field of :class:`halfmoon.Parameters` is a parameter:
``mid_transit``, ``period``, ``semi_major_axis``, ``inclination``, ``eccentricity``,
``periastron``, ``rotation``, ``radius_leading``, ``radius_trailing``, ``coefficients[k]``, and,
for an eclipse or a whole orbit, ``flux_ratio`` and (where it is set) ``eclipse_radius``. A
field given per channel has one parameter per channel, ``radius_leading[3]`` or
``coefficients[3][1]``; a shared field one for all channels. Angles are per degree, as the
fields are given.

Smoothness. The flux is continuously differentiable wherever no rim of the planet touches the
stellar limb. At the contact points (the planet's rims tangent to the limb, first to fourth
contact; a junction of rim and dividing line on the limb; the line tangent to the limb) the
derivative is continuous but its own derivative is unbounded, so the Jacobian there is the
common limit from both sides and finite differences across it converge slowly (like the square
root of the step). At first and last contact exactly the planet does not reach the star and the
Jacobian is zero, the limit from outside. The exponential law is the exception: its intensity
grows like c2/mu towards the limb, so next to the second and third contacts the derivatives grow
like the logarithm of the distance to the contact (they are finite at every other point), and at
first and last contact the flux has a kink (the derivative from inside tends to a non-zero
limit). At eccentricity 0 the derivative with respect to the eccentricity is the one-sided
derivative towards e > 0 (the orbit's elements are not smooth at e = 0 for a fixed periastron).

Limb darkening. For the tabulated law (coefficients mu_1..mu_m, I_1..I_m) only the intensities
are parameters by default: the derivatives with respect to them go through the Hermite basis of
the interpolant and the derivatives of its monotone slopes (exact, except at the data's extrema,
where a slope is held at zero and the one-sided branch is taken); those with respect to the
nodes mu_k are not computed, and a column asked for by name is NaN wherever the planet is on the
star.
"""

from __future__ import annotations

import functools
import math
import re
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from . import _engine, _sky
from .parameters import Parameters
from .sky import PlanetArrays, SkyPoints, line_offset, planet_arrays
from .sky import _elements as sky_elements

__all__ = ["FluxGradient", "parameter_names", "parameter_values", "parameters_from_values"]

# The orbit's fields in the order of halfmoon._sky.sky_gradient, and their scale from its
# radians to the fields' units.
_ORBIT = (
    ("mid_transit", 1.0),
    ("period", 1.0),
    ("semi_major_axis", 1.0),
    ("inclination", math.pi / 180.0),
    ("eccentricity", 1.0),
    ("periastron", math.pi / 180.0),
)
_ORBIT_SCALES = np.array([scale for _, scale in _ORBIT])
_DEGREE = math.pi / 180.0
_INDEXED = re.compile(r"^([a-z_]+)((?:\[\d+\])*)$")

# Partials of halfmoon._engine.transit_gradient, in its order.
_X, _Y, _LINE, _FIRST, _SECOND, _COEFFICIENTS = 0, 1, 2, 3, 4, 5


@dataclass(frozen=True)
class FluxGradient:
    """The flux and its Jacobian, one column per parameter.

    Attributes
    ----------
    flux : numpy.ndarray
        The flux, shape (n,), or (channels, n) for per-channel parameters.
    jacobian : numpy.ndarray
        Its derivatives, shape (n, P), or (channels, n, P): column j is the derivative with
        respect to ``names[j]``.
    names : tuple of str
        The parameters, in the order of the columns.
    """

    flux: np.ndarray
    jacobian: np.ndarray
    names: tuple[str, ...]

    def column(self, name: str) -> np.ndarray:
        """The derivative with respect to one parameter, the shape of :attr:`flux`."""
        try:
            return self.jacobian[..., self.names.index(name)]
        except ValueError:
            raise KeyError(f"no column {name!r}; the columns are {list(self.names)}") from None


def _per_channel(params: Parameters, field: str) -> bool:
    if field == "coefficients":
        return params.per_channel_coefficients
    return isinstance(getattr(params, field), tuple)


def _channel_fields(params: Parameters, kind: str) -> list[str]:
    fields = ["radius_leading", "radius_trailing"]
    if kind != "transit":
        fields.append("flux_ratio")
        if params.eclipse_radius is not None:
            fields.append("eclipse_radius")
    return fields


def parameter_names(params: Parameters, kind: str = "transit") -> tuple[str, ...]:
    """Every continuous parameter of ``params`` for a model of ``kind``, in the default order.

    Parameters
    ----------
    params : Parameters
        The parameters (their channels and law decide the names).
    kind : {"transit", "eclipse", "orbit"}, optional
        The model's kind: eclipses and whole orbits add ``flux_ratio`` and, where it is set,
        ``eclipse_radius``.

    Returns
    -------
    tuple of str
        The tabulated law's nodes mu_k are left out (their derivatives are not computed).
    """
    names = _all_names(params, kind)
    if params.law != "tabulated":
        return names
    m = params.coefficient_array().shape[1] // 2

    def is_node(name: str) -> bool:
        field, indices = _parse(name)
        return field == "coefficients" and indices[-1] < m

    return tuple(name for name in names if not is_node(name))


def _all_names(params: Parameters, kind: str) -> tuple[str, ...]:
    names = [name for name, _ in _ORBIT] + ["rotation"]
    channels = params.channels or 1
    for field in _channel_fields(params, kind):
        if _per_channel(params, field):
            names += [f"{field}[{c}]" for c in range(channels)]
        else:
            names.append(field)
    count = params.coefficient_array().shape[1]
    if params.per_channel_coefficients:
        names += [f"coefficients[{c}][{k}]" for c in range(channels) for k in range(count)]
    else:
        names += [f"coefficients[{k}]" for k in range(count)]
    return tuple(names)


def _parse(name: str) -> tuple[str, tuple[int, ...]]:
    if not isinstance(name, str):
        raise ValueError(f"not a parameter name: {name!r}")
    return _parse_name(name)


@functools.lru_cache(maxsize=4096)
def _parse_name(name: str) -> tuple[str, tuple[int, ...]]:
    # The same few names come back at every call of a fit: parsed once each.
    match = _INDEXED.match(name)
    if match is None:
        raise ValueError(f"not a parameter name: {name!r}")
    indices = tuple(int(k) for k in re.findall(r"\d+", match.group(2)))
    return match.group(1), indices


def _check_names(names: Sequence[str], known: tuple[str, ...]) -> tuple[str, ...]:
    chosen = tuple(names)
    for name in chosen:
        if name not in known:
            raise ValueError(f"unknown parameter {name!r}; the parameters are {list(known)}")
    if len(set(chosen)) != len(chosen):
        raise ValueError(f"parameters named twice: {list(chosen)}")
    return chosen


def parameter_values(params: Parameters, names: Sequence[str]) -> np.ndarray:
    """The values of the named parameters of ``params``, in order.

    Parameters
    ----------
    params : Parameters
    names : sequence of str
        Names as :func:`parameter_names` gives them.

    Returns
    -------
    numpy.ndarray of shape (len(names),)
    """
    values = []
    for name in names:
        field, indices = _parse(name)
        value = getattr(params, field)
        for k in indices:
            value = value[k]
        values.append(float(value))
    return np.array(values, dtype=np.float64)


def parameters_from_values(
    params: Parameters, names: Sequence[str], values: Sequence[float]
) -> Parameters:
    """A copy of ``params`` with the named parameters set to ``values``.

    Parameters
    ----------
    params : Parameters
        The parameters that the names do not mention come from here.
    names : sequence of str
        Names as :func:`parameter_names` gives them.
    values : sequence of float
        One value per name.

    Returns
    -------
    Parameters
    """
    if len(names) != len(values):
        raise ValueError(f"expected {len(names)} values, got {len(values)}")
    changes: dict[str, object] = {}
    for name, value in zip(names, values):
        field, indices = _parse(name)
        if not indices:
            changes[field] = float(value)
            continue
        current = changes.get(field, getattr(params, field))
        changes[field] = _set_nested(current, indices, float(value))
    return params.replace(**changes) if changes else params


def _set_nested(current: object, indices: tuple[int, ...], value: float) -> object:
    items = list(current)  # type: ignore[call-overload]
    head, rest = indices[0], indices[1:]
    items[head] = value if not rest else _set_nested(items[head], rest, value)
    return tuple(items)


# ---- the chain rule ------------------------------------------------------------------------------


@dataclass(frozen=True)
class _SkyDerivatives:
    """The sky geometry of S sets at N times and d(x, y, line angle)/d(orbital elements), shape
    (3, 6, S, N), in the fields' units."""

    points: SkyPoints
    elements: np.ndarray


def sky_derivatives(params: Sequence[Parameters], times: np.ndarray) -> _SkyDerivatives:
    """The sky geometry of the sets at the times and its derivatives with respect to the
    orbital elements (per degree for the angles)."""
    # The same elements, in the same units, as the flux's sky geometry.
    elements = sky_elements(params)
    positions, gradient = _sky.sky_gradient(times, *elements)
    gradient *= _ORBIT_SCALES[:, np.newaxis, np.newaxis]
    return _SkyDerivatives(SkyPoints(*positions), gradient)


def _orbit_columns(partials: np.ndarray, sky: _SkyDerivatives) -> np.ndarray:
    """d flux / d(orbital elements, rotation), shape (S, C, 7, N), from the engine's partials
    (S, C, 5 + K, N) with respect to x, y and the line angle."""
    geometry = partials[:, :, _X : _LINE + 1]  # (S, C, 3, N)
    orbit = np.einsum("scqn,qesn->scen", geometry, sky.elements)
    rotation = partials[:, :, _LINE : _LINE + 1] * _DEGREE
    return np.concatenate([orbit, rotation], axis=2)


def _reversed(params: Sequence[Parameters]) -> np.ndarray:
    return np.array([line_offset(p.rotation)[1] for p in params])


def _radius_columns(partials: np.ndarray, params: Sequence[Parameters]) -> np.ndarray:
    """d flux / d(radius_leading, radius_trailing), shape (S, C, 2, N): the trailing half lies
    left of the line (the engine's first radius) unless the line is reversed."""
    reverse = _reversed(params)[:, np.newaxis, np.newaxis]
    first, second = partials[:, :, _FIRST], partials[:, :, _SECOND]
    leading = np.where(reverse, first, second)
    trailing = np.where(reverse, second, first)
    return np.stack([leading, trailing], axis=2)


def transit_derivatives(
    params: Sequence[Parameters], sky: _SkyDerivatives, planet: PlanetArrays, threads: int | None
) -> tuple[np.ndarray, np.ndarray]:
    """The transit's flux (S, C, N) and the engine's partials (S, C, 5 + K, N)."""
    return _engine.transit_gradient(
        planet.law,
        planet.coefficients,
        planet.first_radius,
        planet.second_radius,
        sky.points.front,
        sky.points.x,
        sky.points.y,
        sky.points.line_angle,
        threads=threads,
    )


def hidden_derivatives(
    sky: _SkyDerivatives, planet: PlanetArrays, threads: int | None
) -> tuple[np.ndarray, np.ndarray]:
    """The fraction of the planet hidden behind the star (S, C, N) and its partials with respect
    to x, y, the line angle and both radii (S, C, 5, N).

    The uniform star's blocked fraction 1 - U is the hidden area over pi, and the planet's area
    is pi (p1^2 + p2^2)/2 = pi H: the fraction is (1 - U)/H, whose derivative is
    -dU/H - (1 - U) dH/H^2, dH/dp_i = p_i.
    """
    sets, channels = planet.first_radius.shape
    uniform, partials = _engine.transit_gradient(
        "uniform",
        np.zeros((sets, channels, 0)),
        planet.first_radius,
        planet.second_radius,
        sky.points.back,
        sky.points.x,
        sky.points.y,
        sky.points.line_angle,
        threads=threads,
    )
    half_area = (0.5 * (planet.first_radius**2 + planet.second_radius**2))[:, :, np.newaxis]
    present = half_area > 0.0
    safe = np.where(present, half_area, 1.0)
    fraction = np.where(present, np.clip((1.0 - uniform) / safe, 0.0, 1.0), 0.0)
    d = -partials / safe[:, :, np.newaxis]
    radii = (planet.first_radius, planet.second_radius)
    for k, radius in zip((_FIRST, _SECOND), radii):
        d[:, :, k] -= (1.0 - uniform) * radius[:, :, np.newaxis] / safe**2
    d = np.where(present[:, :, np.newaxis], d, 0.0)
    return fraction, d


def _field_derivatives(
    params: Sequence[Parameters],
    grid: np.ndarray,
    kind: str,
    threads: int | None,
    channels: int,
    eclipse_planet: PlanetArrays | None,
    flux_ratio: np.ndarray | None,
) -> tuple[np.ndarray, dict[str, np.ndarray], np.ndarray]:
    """The fluxes (S, C, N), the derivative of each channel's flux with respect to that
    channel's value of every field ({field: (S, C, N)}) and with respect to its coefficients
    (S, C, K, N), at the sub-sample times."""
    sky = sky_derivatives(params, grid)
    planet = planet_arrays(params, channels)
    shape = (len(params), channels, grid.size)
    fields = {name: np.zeros(shape) for name, _ in _ORBIT}
    fields.update({name: np.zeros(shape) for name in ("rotation", *_CHANNEL_FIELDS)})
    coefficients = np.zeros((*shape[:2], planet.coefficients.shape[2], grid.size))
    flux = np.zeros(shape)
    orbit_names = [name for name, _ in _ORBIT] + ["rotation"]

    def add_geometry(partials: np.ndarray, *, radii: bool) -> None:
        columns = _orbit_columns(partials, sky)
        for k, name in enumerate(orbit_names):
            fields[name] += columns[:, :, k]
        if radii:
            both = _radius_columns(partials, params)
            fields["radius_leading"] += both[:, :, 0]
            fields["radius_trailing"] += both[:, :, 1]

    if kind != "eclipse":
        transit, partials = transit_derivatives(params, sky, planet, threads)
        # As the flux: a planet larger than the star can leave a rounding-level negative flux.
        flux += np.maximum(transit, 0.0)
        add_geometry(partials, radii=True)
        coefficients += partials[:, :, _COEFFICIENTS:]
    else:
        flux += 1.0
    if kind != "transit" and eclipse_planet is not None and flux_ratio is not None:
        fraction, hidden = hidden_derivatives(sky, eclipse_planet, threads)
        ratio = flux_ratio[:, :, np.newaxis]
        flux += ratio * (1.0 - fraction)
        scaled = -ratio[:, :, np.newaxis] * hidden
        add_geometry(scaled, radii=False)
        # The hidden planet is the two halves, or a disc of the eclipse radius on both sides.
        disc = np.array([p.eclipse_radius is not None for p in params])[:, np.newaxis, np.newaxis]
        both = _radius_columns(scaled, params)
        fields["radius_leading"] += np.where(disc, 0.0, both[:, :, 0])
        fields["radius_trailing"] += np.where(disc, 0.0, both[:, :, 1])
        fields["eclipse_radius"] += np.where(
            disc, scaled[:, :, _FIRST] + scaled[:, :, _SECOND], 0.0
        )
        fields["flux_ratio"] += 1.0 - fraction
    return flux, fields, coefficients


_CHANNEL_FIELDS = ("radius_leading", "radius_trailing", "flux_ratio", "eclipse_radius")


def evaluate(
    params: Sequence[Parameters],
    names: Sequence[str] | None,
    *,
    grid: np.ndarray,
    kind: str,
    subsamples: int,
    threads: int | None,
    channels: int,
    eclipse_planet: PlanetArrays | None = None,
    flux_ratio: np.ndarray | None = None,
) -> tuple[np.ndarray, np.ndarray, tuple[str, ...]]:
    """Fluxes (S, C, n) and Jacobians (S, C, n, P) of the sets at the model's times, averaged
    over each exposure like the flux, and the parameter names."""
    known = _all_names(params[0], kind)
    chosen = parameter_names(params[0], kind) if names is None else _check_names(names, known)
    for k, p in enumerate(params[1:], start=1):
        if _all_names(p, kind) != known:
            raise ValueError(
                f"params[{k}] has other parameters than params[0] (channels, per-channel fields "
                "or coefficient count differ)"
            )
    flux, fields, coefficients = _field_derivatives(
        params, grid, kind, threads, channels, eclipse_planet, flux_ratio
    )
    sets, channels, points = flux.shape
    jacobian = np.zeros((sets, channels, points, len(chosen)))
    for j, name in enumerate(chosen):
        field, indices = _parse(name)
        if field == "coefficients":
            if len(indices) == 2:
                c, k = indices
                jacobian[:, c, :, j] = coefficients[:, c, k]
            else:
                jacobian[:, :, :, j] = coefficients[:, :, indices[0]]
        elif indices:
            jacobian[:, indices[0], :, j] = fields[field][:, indices[0]]
        else:
            jacobian[:, :, :, j] = fields[field]
    if subsamples > 1:
        flux = flux.reshape(sets, channels, -1, subsamples).mean(axis=-1)
        jacobian = jacobian.reshape(sets, channels, -1, subsamples, len(chosen)).mean(axis=-2)
    return flux, jacobian, chosen
