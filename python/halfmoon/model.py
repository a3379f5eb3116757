"""Light curves of a planet with two different limbs, built on the compiled modules.

Sky frame
---------
Positions come from the orbit module in its sky frame (x, y), lengths in stellar radii, the
star at the origin. During a transit the planet moves towards +x, and at mid-transit it sits at
y = -semi_major_axis * cos(inclination) (below the star's centre for an inclination below
90 deg). Angles on the sky are measured counter-clockwise from +x.

The direction of motion at each point is the orbit module's path angle (the tangent of the
projected orbit, between -90 and +90 deg since the motion is towards +x). The dividing line
between the two half-discs points along

    line angle = path angle + 90 deg + rotation,

The light-curve modules place their first half-disc to the left of the line taken in that
direction: with the rotation at 0 the line points to the left of the motion, so the first
half-disc is the trailing one and the second half-disc the leading one. The model therefore
passes ``radius_trailing`` as the modules' first radius and ``radius_leading`` as their
second. When 90 deg + rotation falls outside (-90, 90] deg (reduced modulo 360) the model
turns the line by half a turn instead and exchanges the two radii: the same planet, with
every line angle within (-180, 180) deg.

Sides
-----
The light-curve modules do not take the sign of each point's x coordinate; they take the
points with x < 0 to be the ones whose index does not exceed ``crossing_index``. The model
reorders the points so that every point with x < 0 comes first (a stable partition), passes
their count minus one half as ``crossing_index`` and scatters the fluxes back into the
caller's order. Times may therefore come in any order and cover any number of transits.
"""

from __future__ import annotations

import math
import operator
import warnings
from typing import Any, Callable

import _eclipse
import _kestrin
import _orvinth
import _tessaly
import _velmora
import numpy as np

from . import _engine
from .parameters import Parameters

__all__ = ["STEP_FACTOR_CANDIDATES", "Model"]

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

# The reference the candidates are measured against: ten times finer than the finest one.
REFERENCE_STEP_FACTOR = 1e-4

# A candidate is accepted when its largest error is at most this share of the bound, so that
# parameters near the tuning ones stay within the bound too.
_SAFETY = 0.5

# At most this many occulted points of the grid take part in the step-factor measurement
# (evenly spread over them), which bounds the cost of the reference at construction.
_TUNING_POINTS = 2000

# Smallest and largest step factors accepted from the user. Far below the lower bound an
# annulus boundary can stop advancing near the limb (r + dr rounds back to r).
_STEP_FACTOR_RANGE = (1e-6, 1.0)

_TWO_PI = 2.0 * math.pi
_HALF_PI = 0.5 * math.pi

# Selectors of the orbit module: which half of the orbit yields separations.
_PRIMARY_HALF = 1
_SECONDARY_HALF = 2

_LAW_FUNCTIONS: dict[str, Callable[..., np.ndarray]] = {
    "uniform": _velmora._velmora,
    "quadratic": _velmora._velmora,
    "nonlinear": _tessaly._tessaly,
    "exponential": _orvinth._orvinth,
}

# A uniform star is the quadratic law with both coefficients zero: intensity 1, norm pi.
_UNIFORM_COEFFICIENTS = (0.0, 0.0)

_KINDS = ("transit", "eclipse")
_METHODS = ("exact", "annulus")
# Laws with an exact closed form (a uniform star is the quadratic law with zero coefficients).
_EXACT_LAWS = ("uniform", "quadratic")


class _SkyPoints:
    """Points in the order the light-curve modules need: every x < 0 point first.

    ``reversed_line`` tells that the line angles point opposite to the convention of the
    model (motion plus a quarter turn plus the rotation), so that the trailing limb lies on
    the modules' second side instead of their first.
    """

    __slots__ = (
        "crossing_index",
        "line_angles",
        "normal_offsets",
        "order",
        "reversed_line",
        "separations",
        "x",
    )

    def __init__(
        self,
        separations: np.ndarray,
        normal_offsets: np.ndarray,
        line_angles: np.ndarray,
        crossing_index: float,
        order: np.ndarray,
        reversed_line: bool,
        x: np.ndarray,
    ) -> None:
        self.x = x
        self.separations = separations
        self.normal_offsets = normal_offsets
        self.line_angles = line_angles
        self.crossing_index = crossing_index
        self.order = order
        self.reversed_line = reversed_line

    def subset(self, keep: np.ndarray) -> _SkyPoints:
        """The points at the increasing indices ``keep``, still partitioned by side."""
        before = np.count_nonzero(keep <= self.crossing_index)
        return _SkyPoints(
            self.separations[keep],
            self.normal_offsets[keep],
            self.line_angles[keep],
            before - 0.5,
            self.order[keep],
            self.reversed_line,
            self.x[keep],
        )


def _line_offset(rotation: float) -> tuple[float, bool]:
    """Angle from the direction of motion to the dividing line, and whether it is reversed.

    The line points a quarter turn left of the motion, turned further by ``rotation``
    (degrees, counter-clockwise). The path angle of the motion lies within (-pi/2, pi/2);
    keeping the offset within (-pi/2, pi/2] keeps every line angle within (-pi, pi) without
    reducing each point. A line reversed by half a turn describes the same planet with its
    two sides exchanged, so an offset outside that range is brought in by half a turn and
    the radii trade sides.
    """
    offset = math.remainder(_HALF_PI + math.radians(rotation), _TWO_PI)
    if offset > _HALF_PI:
        return offset - math.pi, True
    if offset <= -_HALF_PI:
        return offset + math.pi, True
    return offset, False


def _law(params: Parameters) -> tuple[Callable[..., np.ndarray], tuple[float, ...]]:
    """The light-curve function of the law and the coefficients to pass to it."""
    coefficients = params.coefficients if params.law != "uniform" else _UNIFORM_COEFFICIENTS
    return _LAW_FUNCTIONS[params.law], coefficients


def _occult(points: _SkyPoints, params: Parameters, step_factor: float | None) -> np.ndarray:
    """Fluxes of the partitioned points (in their order) for the two-limb planet.

    With ``step_factor`` None the exact closed form is used (uniform and quadratic laws),
    otherwise the annulus integration of the law's module.
    """
    function, coefficients = _law(params)
    # The modules' first half-disc lies left of the line: with the line a quarter turn left
    # of the motion, that is the half behind the motion, the trailing limb.
    first, second = params.radius_trailing, params.radius_leading
    if points.reversed_line:
        first, second = second, first
    if step_factor is None:
        law = "uniform" if params.law == "uniform" else params.law
        rows = [np.atleast_2d(a) for a in
                (points.separations, points.x, points.normal_offsets, points.line_angles)]
        engine_coefficients = [[list(params.coefficients)]]
        return _engine.transit(law, engine_coefficients, [[first]], [[second]], *rows)[0, 0]
    return function(
        points.separations,
        first,
        *coefficients,
        step_factor,
        0,
        points.line_angles,
        points.normal_offsets,
        points.crossing_index,
        second,
        1,
    )


class Model:
    """Light curve of a planet with two different limbs, for fixed times.

    The model is built once for a set of times; :meth:`flux` then returns the flux for any
    parameters, as often as a fitter or sampler needs. Everything that does not depend on
    the parameters (the exposure sub-sample grid, the step factor of the annulus integration)
    is prepared here.

    Parameters
    ----------
    params : Parameters
        Parameters used to choose the step factor and evaluated by default by :meth:`flux`.
    t : array_like
        One-dimensional array of finite times, in the unit of ``params.mid_transit`` and
        ``params.period``. Any order and any number of transits or eclipses.
    kind : {"transit", "eclipse"}, optional
        ``"transit"`` (default): the planet in front of the limb-darkened star; the flux of the
        unocculted star is 1. ``"eclipse"``: the secondary eclipse of the planet behind the
        star, a uniformly bright disc of radius ``params.radius_for_eclipse`` and flux ratio
        ``params.flux_ratio``; the flux is 1 + flux_ratio out of eclipse and 1 in total
        eclipse.
    exposure_time : float, optional
        Exposure time in the unit of ``t``; with ``subsamples`` > 1 each returned flux is the
        mean over ``subsamples`` sub-samples spread evenly over the exposure centred on its
        time (midpoint rule). Default 0.
    subsamples : int, optional
        Number of sub-samples per exposure, >= 1. Default 1 (no averaging).
    step_factor : float or None, optional
        Annulus width factor of the transit integration, between 1e-6 and 1: the annuli are
        ``step_factor * arccos(r)`` wide, so the cost grows as 1 / step_factor. Default None:
        chosen here to meet ``max_error_ppm`` (see Notes). Not used for secondary eclipses.
    max_error_ppm : float, optional
        Bound on the largest flux error on the model's own time grid, in parts per million,
        when the model chooses the step factor. Default 1.
    method : {"exact", "annulus"} or None, optional
        Integration of the transit. ``"exact"``: the closed form of the blocked flux (Green's
        theorem with Carlson's elliptic integrals), exact to about 1e-15, for the uniform and
        quadratic laws; planets with a radius of 0.5 or more fall back to annuli of step
        factor 1e-4. ``"annulus"``: the annulus sum of the law's module, for every law.
        Default None: ``"annulus"`` when ``step_factor`` is given, otherwise ``"exact"`` for
        the uniform and quadratic laws and ``"annulus"`` for the others.

    Attributes
    ----------
    params : Parameters
        The parameters given at construction.
    t : numpy.ndarray
        Read-only copy of the times.
    kind : str
        ``"transit"`` or ``"eclipse"``.
    method : str
        The integration method in use, ``"exact"`` or ``"annulus"``.
    exposure_time : float
        Exposure time, 0 without averaging.
    subsamples : int
        Sub-samples per exposure.
    step_factor : float or None
        Step factor of the annulus integration (None for the exact method and for secondary
        eclipses).
    step_error : float or None
        Largest flux error of ``step_factor`` against the reference on the tuning points, in
        flux units, when the model chose it; None otherwise.

    Raises
    ------
    TypeError
        If ``params`` is not a :class:`Parameters`.
    ValueError
        For times that are not a finite one-dimensional array, an unknown ``kind`` or
        ``method``, a negative or non-finite ``exposure_time``, ``subsamples`` < 1 (or > 1
        with ``exposure_time`` 0), ``step_factor`` outside [1e-6, 1], a non-positive
        ``max_error_ppm``, or an eclipse without ``params.flux_ratio``.

    Warns
    -----
    UserWarning
        When no candidate step factor meets ``max_error_ppm``; the finest is used and the
        warning names the error it achieves.

    Notes
    -----
    **Geometry.** The sky frame is the orbit module's: during a transit the planet moves
    towards +x; angles are counter-clockwise from +x. The dividing line points along the path
    angle plus 90 deg plus ``params.rotation``; at zero rotation ``radius_leading`` is the
    half ahead of the motion and ``radius_trailing`` the half behind it. For eccentric orbits
    the direction of motion is taken as the tangent of the projected orbit at fixed orbital
    distance, which neglects the radial part of the motion.

    **Accuracy.** The exact method (the default for the uniform and quadratic laws) has no
    step: its light curve is right to about 1e-15. For the annulus method, when the step
    factor is not given, the model computes the transit for
    ``params`` on its own (sub-sampled) time grid at the step factor 1e-4, then tries the
    candidates in ``STEP_FACTOR_CANDIDATES`` (1, 0.5, 0.2, 0.1, 0.05, 0.03, ..., 0.001) from
    coarse to fine and keeps the first whose largest deviation from that reference is at most
    half of ``max_error_ppm``. Up to 2000 occulted points, evenly spread over the occulted part
    of the grid, take part; if the grid has none, a central crossing of the star with the
    same radii is used instead. A uniform star needs no fine annuli (its annulus sum adds up
    to the planet's area inside the star exactly), so it gets the step factor 1. The bound
    covers the annulus discretisation for parameters like ``params``; it does not cover the
    floors of the integration itself (about 4e-9 from the overlap areas at internal
    tangency, 5e-8 for the nonlinear law and 2e-5 for the exponential law with a nonzero
    second coefficient while the planet straddles the limb, where the intensity at the limb
    is clamped). Bounds below about 0.01 ppm (0.1 ppm for the exponential law) cannot be
    met; the model then warns. If much smaller or larger planets are used later, build the
    model with representative parameters or give ``step_factor``.

    **Cost.** One call of the orbit module and one of the law's module per evaluation, plus
    a few NumPy operations on the points (sorting them by side and scattering the result).

    Examples
    --------
    >>> import numpy as np
    >>> from halfmoon import Model, Parameters
    >>> params = Parameters(mid_transit=0.0, period=3.5, radius_leading=0.118,
    ...                     radius_trailing=0.124, semi_major_axis=8.8, inclination=86.7,
    ...                     law="quadratic", coefficients=(0.33, 0.23))
    >>> model = Model(params, np.linspace(-0.1, 0.1, 500))
    >>> flux = model.flux()
    >>> flux_rotated = model.flux(params.replace(rotation=45.0))
    >>> bool(flux.min() < 0.99 and flux_rotated.shape == flux.shape)
    True
    """

    def __init__(
        self,
        params: Parameters,
        t: Any,
        *,
        kind: str = "transit",
        exposure_time: float = 0.0,
        subsamples: int = 1,
        step_factor: float | None = None,
        max_error_ppm: float = 1.0,
        method: str | None = None,
    ) -> None:
        if not isinstance(params, Parameters):
            raise TypeError(f"params must be a Parameters instance, got {type(params).__name__}")
        if kind not in _KINDS:
            raise ValueError(f"kind must be 'transit' or 'eclipse', got {kind!r}")
        self.params = params
        self.kind = kind
        self.method = _method(method, params, step_factor)
        self.t = _times(t)
        self.exposure_time, self.subsamples = _exposure(exposure_time, subsamples)
        self._grid = _subsample_grid(self.t, self.exposure_time, self.subsamples)
        self._selector = _PRIMARY_HALF if kind == "transit" else _SECONDARY_HALF
        self.step_error: float | None = None
        self.step_factor: float | None = None

        if kind == "eclipse":
            _require_flux_ratio(params)
            return
        bound = _max_error(max_error_ppm) * 1e-6
        if self.method == "exact":
            if step_factor is not None:
                raise ValueError("step_factor applies to method 'annulus', not 'exact'")
            return
        if step_factor is not None:
            self.step_factor = _user_step_factor(step_factor)
            return
        self.step_factor, self.step_error = self._choose_step_factor(params, bound)

    # ---- evaluation --------------------------------------------------------------------------

    def flux(self, params: Parameters | None = None) -> np.ndarray:
        """Relative flux at the model's times.

        Parameters
        ----------
        params : Parameters or None, optional
            Parameters to evaluate; default the ones given at construction. The step factor
            stays the one chosen at construction.

        Returns
        -------
        numpy.ndarray
            One flux per time, in the caller's order: 1 for the unocculted star in a transit,
            1 + flux_ratio out of a secondary eclipse; averaged over each exposure when
            ``subsamples`` > 1.
        """
        if params is None:
            params = self.params
        if self._selector == _SECONDARY_HALF:
            flux = self._eclipse_flux(params)
        else:
            if self.method == "exact" and params.law not in _EXACT_LAWS:
                raise ValueError(
                    f"method 'exact' covers the uniform and quadratic laws, not {params.law!r}; "
                    "build the model with method='annulus'"
                )
            points = self._sky_points(params)
            flux = np.empty(len(points.order))
            flux[points.order] = _occult(points, params, self.step_factor)
        if self.subsamples > 1:
            return flux.reshape(-1, self.subsamples).mean(axis=1)
        return flux

    def __call__(self, params: Parameters | None = None) -> np.ndarray:
        """Same as :meth:`flux`."""
        return self.flux(params)

    def __repr__(self) -> str:
        return (
            f"Model({len(self.t)} times, kind={self.kind!r}, "
            f"subsamples={self.subsamples}, method={self.method!r}, "
            f"step_factor={self.step_factor!r})"
        )

    def _orbit(self, params: Parameters, selector: int) -> np.ndarray:
        """The orbit module's four blocks (separation, y, path angle, x) as rows."""
        orbit = _kestrin._kestrin(
            self._grid,
            params.mid_transit,
            params.period,
            params.semi_major_axis,
            math.radians(params.inclination),
            params.eccentricity,
            math.radians(params.periastron),
            selector,
            0,
        )
        return orbit.reshape(4, -1)

    def _sky_points(self, params: Parameters) -> _SkyPoints:
        """Separations, normal offsets and line angles of the grid, x < 0 points first."""
        orbit = self._orbit(params, _PRIMARY_HALF)
        after = orbit[3] >= 0.0
        # Stable partition: x < 0 points first, each side in time order.
        order = after.argsort(kind="stable")
        separations, normal_offsets, line_angles, x = orbit.take(order, axis=1)
        # Line angle: the direction of motion (the path angle, since the motion is towards
        # +x), a quarter turn to its left, then the rotation.
        offset, reversed_line = _line_offset(params.rotation)
        line_angles += offset
        crossing_index = (order.size - np.count_nonzero(after)) - 0.5
        return _SkyPoints(
            separations, normal_offsets, line_angles, crossing_index, order, reversed_line, x
        )

    def _eclipse_flux(self, params: Parameters) -> np.ndarray:
        """Secondary eclipse of a uniform disc of the eclipse radius behind the star."""
        if params.flux_ratio is None:
            _require_flux_ratio(params)
        separations = self._orbit(params, _SECONDARY_HALF)[0]
        return _eclipse._eclipse(separations, params.radius_for_eclipse, params.flux_ratio, 0)

    # ---- step factor -------------------------------------------------------------------------

    def _choose_step_factor(self, params: Parameters, bound: float) -> tuple[float, float]:
        """Coarsest candidate whose largest error against the fine reference meets the bound."""
        points = _tuning_points(self._sky_points(params), params)
        reference = _occult(points, params, REFERENCE_STEP_FACTOR)
        error = math.inf
        for candidate in STEP_FACTOR_CANDIDATES:
            error = float(np.max(np.abs(_occult(points, params, candidate) - reference)))
            if error <= _SAFETY * bound:
                return candidate, error
        warnings.warn(
            f"no step factor meets the flux error bound of {bound * 1e6:g} ppm; using the "
            f"finest candidate {STEP_FACTOR_CANDIDATES[-1]:g}, whose largest error is "
            f"{error * 1e6:.3g} ppm",
            UserWarning,
            stacklevel=3,
        )
        return STEP_FACTOR_CANDIDATES[-1], error


def _tuning_points(points: _SkyPoints, params: Parameters) -> _SkyPoints:
    """The grid's occulted points (at most ``_TUNING_POINTS``), or a central crossing."""
    reach = 1.0 + max(params.radius_leading, params.radius_trailing)
    occulted = np.flatnonzero(points.separations < reach)
    if occulted.size == 0:
        return _central_crossing(params, reach)
    if occulted.size > _TUNING_POINTS:
        spread = np.linspace(0, occulted.size - 1, _TUNING_POINTS).round().astype(np.intp)
        occulted = occulted[np.unique(spread)]
    return points.subset(occulted)


def _central_crossing(params: Parameters, reach: float) -> _SkyPoints:
    """Points along a straight path through the star's centre, line at the given rotation."""
    x = np.linspace(-reach, reach, 401)
    offset, reversed_line = _line_offset(params.rotation)
    return _SkyPoints(
        np.abs(x),
        np.zeros_like(x),
        np.full_like(x, offset),
        np.count_nonzero(x < 0.0) - 0.5,
        np.arange(x.size),
        reversed_line,
        x,
    )


# ---- argument checks -------------------------------------------------------------------------


def _times(t: Any) -> np.ndarray:
    try:
        times = np.array(t, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError("t must be a one-dimensional array of real numbers") from None
    if times.ndim != 1:
        raise ValueError(f"t must be one-dimensional, got {times.ndim} dimension(s)")
    if not np.all(np.isfinite(times)):
        raise ValueError("t must hold finite times only")
    times.setflags(write=False)
    return times


def _exposure(exposure_time: Any, subsamples: Any) -> tuple[float, int]:
    try:
        exposure_time = float(exposure_time)
    except (TypeError, ValueError):
        raise ValueError(f"exposure_time must be a real number, got {exposure_time!r}") from None
    if not (math.isfinite(exposure_time) and exposure_time >= 0.0):
        raise ValueError(f"exposure_time must be finite and >= 0, got {exposure_time!r}")
    try:
        count = operator.index(subsamples)
    except TypeError:
        raise ValueError(f"subsamples must be an integer, got {subsamples!r}") from None
    if count < 1:
        raise ValueError(f"subsamples must be >= 1, got {count}")
    if count > 1 and exposure_time == 0.0:
        raise ValueError("exposure_time must be > 0 when subsamples > 1")
    return exposure_time, count


def _subsample_grid(t: np.ndarray, exposure_time: float, count: int) -> np.ndarray:
    """Times of the sub-samples, ``count`` consecutive ones per exposure (midpoint rule)."""
    if count == 1:
        return t
    offsets = exposure_time * ((np.arange(count) + 0.5) / count - 0.5)
    return (t[:, np.newaxis] + offsets).ravel()


def _method(method: str | None, params: Parameters, step_factor: Any) -> str:
    """The integration method: the one asked for, else the annulus sum when a step factor is
    given, else the exact closed form where the law allows it."""
    if method is None:
        exact = params.law in _EXACT_LAWS and step_factor is None
        return "exact" if exact else "annulus"
    if method not in _METHODS:
        raise ValueError(f"method must be 'exact' or 'annulus', got {method!r}")
    if method == "exact" and params.law not in _EXACT_LAWS:
        raise ValueError(
            f"method 'exact' covers the uniform and quadratic laws, not {params.law!r}"
        )
    return method


def _user_step_factor(step_factor: Any) -> float:
    low, high = _STEP_FACTOR_RANGE
    try:
        value = float(step_factor)
    except (TypeError, ValueError):
        raise ValueError(f"step_factor must be a real number, got {step_factor!r}") from None
    if not low <= value <= high:
        raise ValueError(f"step_factor must lie in [{low:g}, {high:g}], got {value!r}")
    return value


def _max_error(max_error_ppm: Any) -> float:
    try:
        value = float(max_error_ppm)
    except (TypeError, ValueError):
        raise ValueError(f"max_error_ppm must be a real number, got {max_error_ppm!r}") from None
    if not (math.isfinite(value) and value > 0.0):
        raise ValueError(f"max_error_ppm must be finite and > 0, got {value!r}")
    return value


def _require_flux_ratio(params: Parameters) -> None:
    if params.flux_ratio is None:
        raise ValueError(
            "flux_ratio (planet-to-star flux ratio) must be given for a secondary eclipse"
        )
