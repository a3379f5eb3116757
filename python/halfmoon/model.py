"""Light curves of a planet with two different limbs: the model a fit or a sampler calls.

A :class:`Model` is built once for a set of times and composes the package's rooms: the
exposure grid (here), the sky geometry (:mod:`halfmoon.sky`), an integration method
(:mod:`halfmoon.methods`), and for the annulus method the step tuning
(:mod:`halfmoon.tuning`). The model's kind decides what is computed:

- ``"transit"``: the limb-darkened star behind the planet; 1 when nothing is occulted;
- ``"eclipse"``: the secondary eclipse, 1 + flux_ratio out of eclipse, 1 in total eclipse;
- ``"orbit"``: both over any time span: the star's occulted flux plus the planet's flux, the
  part of its (uniformly bright) disc that the star does not hide times flux_ratio.

Normalisation: the unocculted star gives 1 and the planet's whole disc gives ``flux_ratio``.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Sequence
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from . import gradient
from .gradient import FluxGradient
from .methods import AnnulusMethod, ExactMethod, IntegrationMethod, hidden_fraction
from .parameters import Parameters
from .sky import PlanetArrays, line_offset, planet_arrays, sky_points
from .tuning import STEP_FACTOR_CANDIDATES, choose_step_factor
from .validation import positive_int, real, times

__all__ = ["STEP_FACTOR_CANDIDATES", "Kind", "MethodName", "Model"]

Kind = Literal["transit", "eclipse", "orbit"]
MethodName = Literal["exact", "annulus"]

_KINDS = ("transit", "eclipse", "orbit")
_METHODS = ("exact", "annulus")
# Step factors accepted from the user. Far below the lower bound an annulus boundary can stop
# advancing near the limb (r + dr rounds back to r).
_STEP_FACTOR_RANGE = (1e-6, 1.0)
_DEFAULT_ERROR_PPM = 1.0


class Model:
    """Light curve of a planet with two different limbs, for fixed times.

    The model is built once for a set of times; :meth:`flux` then returns the flux for any
    parameters, as often as a fitter or sampler needs, :meth:`flux_batch` for many parameter
    sets in one compiled pass. Everything that does not depend on the parameters (the exposure
    sub-sample grid, the step factor of the annulus method) is prepared here.

    Parameters
    ----------
    params : Parameters
        Parameters evaluated by default by :meth:`flux`, and used to choose the step factor of
        the annulus method.
    t : array_like
        One-dimensional array of finite times, in the unit of ``params.mid_transit`` and
        ``params.period``. Any order and any number of transits or eclipses.
    kind : {"transit", "eclipse", "orbit"}, optional
        ``"transit"`` (default): the planet in front of the limb-darkened star; the flux of the
        unocculted star is 1. ``"eclipse"``: the secondary eclipse of the uniformly bright
        planet behind the star, 1 + flux_ratio out of eclipse and 1 in total eclipse; the star
        hides the two half-discs (or a disc of ``params.eclipse_radius``). ``"orbit"``: the
        whole orbit, transit and eclipse together: the star's flux as in a transit plus
        flux_ratio times the visible fraction of the planet's disc.
    exposure_time : float or array_like, optional
        Exposure time in the unit of ``t``, one for all points or one per point (for data sets
        that mix cadences); with ``subsamples`` > 1 each returned flux is the mean over
        ``subsamples`` sub-samples spread evenly over its exposure, centred on its time
        (midpoint rule). Default 0.
    subsamples : int, optional
        Number of sub-samples per exposure, >= 1. Default 1 (no averaging).
    method : {"exact", "annulus"} or None, optional
        How transits are integrated. ``"exact"``: the exact engine (Green's theorem along the
        boundary of the planet's part of the star, about 1e-15 for the quadratic law), for
        every law it knows. ``"annulus"``: the annulus light-curve modules at a step factor
        (uniform, quadratic, nonlinear and exponential laws). Default None: ``"annulus"`` when
        ``step_factor`` or ``max_error_ppm`` is given, otherwise ``"exact"`` where the law
        allows it. Secondary eclipses always use the exact geometry.
    step_factor : float or None, optional
        Step factor of the annulus method, within [1e-6, 1]; default None: chosen by the
        model (see Notes).
    max_error_ppm : float or None, optional
        Largest flux error, in parts per million, that the chosen step factor may leave on the
        model's own time grid (annulus method, step factor not given). Default None: 1 ppm.
    threads : int or None, optional
        Threads of the exact engine; None (default) lets it choose (one for small inputs).

    Attributes
    ----------
    params : Parameters
        The parameters given at construction.
    t : numpy.ndarray
        Read-only copy of the times.
    kind : str
        ``"transit"``, ``"eclipse"`` or ``"orbit"``.
    method : str
        The integration method of transits in use, ``"exact"`` or ``"annulus"`` (``"exact"``
        for eclipses).
    exposure_time : float or numpy.ndarray
        Exposure time(s), 0 without averaging.
    subsamples : int
        Sub-samples per exposure.
    step_factor : float or None
        Step factor of the annulus method (None for the exact method).
    step_error : float or None
        Largest flux error of ``step_factor`` on the tuning points, in flux units, when the
        model chose it; None otherwise.

    Raises
    ------
    TypeError
        If ``params`` is not a :class:`Parameters`.
    ValueError
        For times that are not a finite one-dimensional array of real numbers, an unknown
        ``kind`` or ``method``, a law the method does not integrate, an option that does not
        apply to the method (``step_factor`` or ``max_error_ppm`` with ``"exact"``, both at
        once, either for an eclipse), a negative or non-finite ``exposure_time``, ``subsamples``
        < 1 (or > 1 with no exposure), ``step_factor`` outside [1e-6, 1], a non-positive
        ``max_error_ppm``, or an eclipse or whole orbit without ``params.flux_ratio``.

    Warns
    -----
    UserWarning
        When the orbit of ``params`` never brings the planet in front of the star (a transit
        or whole orbit) or behind it (an eclipse); when no candidate step factor meets
        ``max_error_ppm``.

    Notes
    -----
    **Geometry.** See :mod:`halfmoon.sky`: during a transit the planet moves towards +x;
    angles are counter-clockwise from +x; the dividing line points along the direction of
    motion plus 90 deg plus ``params.rotation``; at zero rotation ``radius_leading`` is the
    half ahead of the motion and ``radius_trailing`` the half behind it, in transit and in
    eclipse alike (behind the star the planet moves towards -x, and a tidally locked planet
    keeps its leading hemisphere).

    **Accuracy.** The exact method has no step: its light curve is right to about 1e-15 for
    the quadratic law. For the annulus method, when the step factor is not given, the model
    computes the transit for ``params`` on its own (sub-sampled) time grid with the exact
    engine (where it knows the law; otherwise with the annulus method at step 1e-4), then
    tries the candidates in ``STEP_FACTOR_CANDIDATES`` from coarse to fine and keeps the first
    whose largest deviation is at most half of ``max_error_ppm``. Up to 2000 occulted points
    take part; if the grid has none, a central crossing of the star is used.

    **Fluxes.** Transit fluxes that rounding would leave below 0 (a planet larger than the
    star) come back as 0.

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
        t: npt.ArrayLike,
        *,
        kind: Kind = "transit",
        exposure_time: float | npt.ArrayLike = 0.0,
        subsamples: int = 1,
        method: MethodName | None = None,
        step_factor: float | None = None,
        max_error_ppm: float | None = None,
        threads: int | None = None,
    ) -> None:
        if not isinstance(params, Parameters):
            raise TypeError(f"params must be a Parameters instance, got {type(params).__name__}")
        if kind not in _KINDS:
            raise ValueError(f"kind must be 'transit', 'eclipse' or 'orbit', got {kind!r}")
        self.params = params
        self.kind = kind
        self._t = times(t)
        self.subsamples = positive_int("subsamples", subsamples)
        self.exposure_time = _exposure_time(exposure_time, self._t.size, self.subsamples)
        self._grid = _subsample_grid(self._t, self.exposure_time, self.subsamples)
        self.threads = None if threads is None else positive_int("threads", threads)
        if kind != "transit" and params.flux_ratio is None:
            raise ValueError(
                "flux_ratio (planet-to-star flux ratio) must be given for a secondary eclipse "
                "or a whole orbit"
            )
        self.method = _method_name(method, params, kind, step_factor, max_error_ppm)
        self.step_factor: float | None = None
        self.step_error: float | None = None
        self._method: IntegrationMethod = ExactMethod(self.threads)
        if self.method == "annulus":
            self._method = self._annulus_method(params, step_factor, max_error_ppm)
        self._require_law(params)
        self._checked_laws = {params.law}
        _warn_if_never_occulted(params, kind)

    # ---- evaluation --------------------------------------------------------------------------

    @property
    def t(self) -> np.ndarray:
        """The model's times (read-only)."""
        return self._t

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
            Shape (n,), or (channels, n) for per-channel parameters, in the order of the
            times; averaged over each exposure when ``subsamples`` > 1.
        """
        if params is None:
            params = self.params
        flux = self._evaluate([params])[0]
        return flux if params.channels is not None else flux[0]

    def flux_batch(self, params: Sequence[Parameters]) -> np.ndarray:
        """Relative flux of many parameter sets in one compiled pass.

        The results are the same, bit for bit, as :meth:`flux` of each set.

        Parameters
        ----------
        params : sequence of Parameters
            The sets, all with the same law and the same number of channels.

        Returns
        -------
        numpy.ndarray
            Shape (sets, n), or (sets, channels, n) for per-channel parameters.
        """
        sets = list(params)
        if not sets:
            raise ValueError("params must hold at least one parameter set")
        flux = self._evaluate(sets)
        return flux if sets[0].channels is not None else flux[:, 0]

    def flux_and_gradient(
        self, params: Parameters | None = None, wrt: Sequence[str] | None = None
    ) -> FluxGradient:
        """The flux and its Jacobian with respect to the free parameters.

        Every derivative is exact (no finite differences): the orbit's derivatives chained with
        those of the exact engine's boundary integrals (see :mod:`halfmoon.gradient`, which
        also describes the behaviour at the contact points, where the flux is not smooth, and
        at eccentricity 0).

        Parameters
        ----------
        params : Parameters or None, optional
            Parameters to evaluate; default the ones given at construction.
        wrt : sequence of str or None, optional
            The parameters to differentiate by, in the order of the Jacobian's columns, named
            as :func:`halfmoon.gradient.parameter_names` gives them (``"inclination"``,
            ``"radius_leading[3]"``, ``"coefficients[1]"``, ...). Default None: every
            continuous parameter, in that function's order.

        Returns
        -------
        FluxGradient
            ``flux`` as :meth:`flux` gives it (the same to rounding), shape (n,) or
            (channels, n); ``jacobian`` of shape (n, P) or (channels, n, P), averaged over each
            exposure like the flux; ``names`` of the P columns. Angles are per degree.

        Raises
        ------
        ValueError
            For a model of method ``"annulus"`` (whose step-limited sums have no useful
            derivative), or an unknown or repeated name in ``wrt``.
        """
        if params is None:
            params = self.params
        flux, jacobian, names = self._gradient([params], wrt)
        if params.channels is None:
            return FluxGradient(flux[0, 0], jacobian[0, 0], names)
        return FluxGradient(flux[0], jacobian[0], names)

    def flux_and_gradient_batch(
        self, params: Sequence[Parameters], wrt: Sequence[str] | None = None
    ) -> FluxGradient:
        """:meth:`flux_and_gradient` of many parameter sets in one compiled pass.

        Parameters
        ----------
        params : sequence of Parameters
            The sets, with the same law, channels and per-channel fields.
        wrt : sequence of str or None, optional
            As for :meth:`flux_and_gradient`.

        Returns
        -------
        FluxGradient
            ``flux`` of shape (sets, n) or (sets, channels, n), ``jacobian`` of shape
            (sets, n, P) or (sets, channels, n, P).
        """
        sets = list(params)
        if not sets:
            raise ValueError("params must hold at least one parameter set")
        flux, jacobian, names = self._gradient(sets, wrt)
        if sets[0].channels is None:
            return FluxGradient(flux[:, 0], jacobian[:, 0], names)
        return FluxGradient(flux, jacobian, names)

    def __call__(self, params: Parameters | None = None) -> np.ndarray:
        """Same as :meth:`flux`."""
        return self.flux(params)

    def __repr__(self) -> str:
        size = getattr(getattr(self, "_t", None), "size", "?")
        fields = ", ".join(
            f"{name}={getattr(self, name, None)!r}"
            for name in ("kind", "subsamples", "method", "step_factor")
        )
        return f"Model({size} times, {fields})"

    def __setstate__(self, state: dict[str, Any]) -> None:
        # Arrays come back from a pickle writeable: keep the times read-only.
        self.__dict__.update(state)
        for name in ("_t", "_grid"):
            array = getattr(self, name)
            if array.flags.writeable:
                array.setflags(write=False)

    def _evaluate(self, params: list[Parameters]) -> np.ndarray:
        """Fluxes of the sets, shape (S, C, n)."""
        self._check_sets(params)
        channels = _common_channels(params)
        sky = sky_points(params, self._grid)
        if self.kind == "eclipse":
            flux = 1.0
        else:
            flux = self._method.transit(sky, planet_arrays(params, channels))
            # A planet larger than the star can leave a rounding-level negative flux.
            np.maximum(flux, 0.0, out=flux)
        if self.kind != "transit":
            ratio = np.stack([_require_flux_ratio(p, channels) for p in params])
            hidden = hidden_fraction(sky, _eclipse_planet(params, channels), self.threads)
            flux = flux + ratio[:, :, np.newaxis] * (1.0 - hidden)
        if self.subsamples > 1:
            flux = flux.reshape(len(params), channels, -1, self.subsamples).mean(axis=-1)
        return flux

    def _gradient(
        self, params: list[Parameters], wrt: Sequence[str] | None
    ) -> tuple[np.ndarray, np.ndarray, tuple[str, ...]]:
        """Fluxes (S, C, n), Jacobians (S, C, n, P) and the parameter names."""
        if self.method != "exact":
            raise ValueError(
                f"method {self.method!r} has no gradient: its annulus sums are step-limited; "
                "build the model with method='exact'"
            )
        self._check_sets(params)
        channels = _common_channels(params)
        eclipse_planet = ratio = None
        if self.kind != "transit":
            eclipse_planet = _eclipse_planet(params, channels)
            ratio = np.stack([_require_flux_ratio(p, channels) for p in params])
        return gradient.evaluate(
            params,
            wrt,
            grid=self._grid,
            kind=self.kind,
            subsamples=self.subsamples,
            threads=self.threads,
            channels=channels,
            eclipse_planet=eclipse_planet,
            flux_ratio=ratio,
        )

    def _check_sets(self, params: list[Parameters]) -> None:
        for k, p in enumerate(params):
            if type(p) is not Parameters and not isinstance(p, Parameters):
                raise TypeError(
                    f"params[{k}] must be a Parameters instance, got {type(p).__name__}"
                )
            if p.law not in self._checked_laws:
                self._require_law(p)
                self._checked_laws.add(p.law)

    # ---- construction helpers ----------------------------------------------------------------

    def _require_law(self, params: Parameters) -> None:
        if self.kind != "eclipse" and not self._method.supports(params.law):
            other = "exact" if self.method == "annulus" else "annulus"
            raise ValueError(
                f"method {self.method!r} does not integrate the {params.law!r} law; build the "
                f"model with method={other!r}"
            )

    def _annulus_method(
        self, params: Parameters, step_factor: Any, max_error_ppm: Any
    ) -> AnnulusMethod:
        if step_factor is not None:
            self.step_factor = _user_step_factor(step_factor)
            return AnnulusMethod(self.step_factor)
        bound = _max_error(_DEFAULT_ERROR_PPM if max_error_ppm is None else max_error_ppm)
        if not AnnulusMethod(1.0).supports(params.law):
            return AnnulusMethod(1.0)  # refused by _require_law with a clear message
        if params.law == "uniform":
            # A uniform star needs no fine annuli: its annulus sum adds up to the planet's
            # area inside the star exactly.
            self.step_factor, self.step_error = 1.0, 0.0
            return AnnulusMethod(1.0)
        channels = params.channels or 1
        sky = sky_points([params], self._grid)
        reach = 1.0 + float(
            max(
                np.max(params.channel_array("radius_leading")),
                np.max(params.channel_array("radius_trailing")),
            )
        )
        choice = choose_step_factor(
            sky, planet_arrays([params], channels), bound, reach, line_offset(params.rotation)[0]
        )
        self.step_factor, self.step_error = choice.step_factor, choice.error
        return AnnulusMethod(choice.step_factor)


# ---- argument checks -------------------------------------------------------------------------


def _method_name(
    method: Any, params: Parameters, kind: str, step_factor: Any, max_error_ppm: Any
) -> str:
    """The transit integration method: the one asked for, else the annulus sum when one of its
    options is given, else the exact engine where it knows the law."""
    annulus_options = [
        name
        for name, value in (("step_factor", step_factor), ("max_error_ppm", max_error_ppm))
        if value is not None
    ]
    if method is not None and method not in _METHODS:
        raise ValueError(f"method must be 'exact' or 'annulus', got {method!r}")
    if kind == "eclipse":
        if method == "annulus" or annulus_options:
            name = annulus_options[0] if annulus_options else "method"
            raise ValueError(
                f"{name} applies to the annulus integration of transits, not to an eclipse "
                "(its geometry is exact)"
            )
        return "exact"
    if len(annulus_options) == 2:
        raise ValueError(
            "max_error_ppm applies when the model chooses the step factor, not together with "
            "step_factor"
        )
    if method is None:
        if annulus_options:
            return "annulus"
        return "exact" if ExactMethod().supports(params.law) else "annulus"
    if method == "exact":
        if annulus_options:
            raise ValueError(f"{annulus_options[0]} applies to method 'annulus', not 'exact'")
        if not ExactMethod().supports(params.law):
            raise ValueError(f"method 'exact' does not integrate the {params.law!r} law")
    return method


def _exposure_time(exposure_time: Any, count: int, subsamples: int) -> float | np.ndarray:
    if np.ndim(exposure_time) == 0:
        value = real("exposure_time", exposure_time)
        if value < 0.0:
            raise ValueError(f"exposure_time must be finite and >= 0, got {value!r}")
        if subsamples > 1 and value == 0.0:
            raise ValueError("exposure_time must be > 0 when subsamples > 1")
        return value
    values = times(exposure_time, "exposure_time")
    if values.shape != (count,):
        raise ValueError(
            f"exposure_time must be one number or one per time ({count}), got shape {values.shape}"
        )
    if np.any(values < 0.0):
        raise ValueError("exposure_time must be >= 0 everywhere")
    if subsamples > 1 and not np.any(values > 0.0):
        raise ValueError("exposure_time must be > 0 somewhere when subsamples > 1")
    return values


def _subsample_grid(t: np.ndarray, exposure_time: float | np.ndarray, count: int) -> np.ndarray:
    """Times of the sub-samples, ``count`` consecutive ones per exposure (midpoint rule); a
    private array of its own, never the times the model hands out."""
    if count == 1:
        grid = t.copy()
    else:
        fractions = (np.arange(count) + 0.5) / count - 0.5
        exposure = np.asarray(exposure_time, dtype=np.float64)
        grid = (t[:, np.newaxis] + exposure.reshape(-1, 1) * fractions).ravel()
    grid.setflags(write=False)
    return grid


def _user_step_factor(step_factor: Any) -> float:
    low, high = _STEP_FACTOR_RANGE
    value = real("step_factor", step_factor, finite=False)
    if not low <= value <= high:
        raise ValueError(f"step_factor must lie in [{low:g}, {high:g}], got {value!r}")
    return value


def _max_error(max_error_ppm: Any) -> float:
    value = real("max_error_ppm", max_error_ppm, finite=False)
    if not (math.isfinite(value) and value > 0.0):
        raise ValueError(f"max_error_ppm must be finite and > 0, got {value!r}")
    return value * 1e-6


def _common_channels(params: list[Parameters]) -> int:
    if len(params) == 1:
        return params[0].channels or 1
    counts = {p.channels for p in params}
    laws = {p.law for p in params}
    if len(counts) > 1:
        raise ValueError(f"params must all have the same number of channels, got {counts}")
    if len(laws) > 1:
        raise ValueError(f"params must all have the same law, got {sorted(laws)}")
    return counts.pop() or 1


def _require_flux_ratio(params: Parameters, channels: int) -> np.ndarray:
    if params.flux_ratio is None:
        raise ValueError(
            "flux_ratio (planet-to-star flux ratio) must be given for a secondary eclipse "
            "or a whole orbit"
        )
    return np.broadcast_to(params.channel_array("flux_ratio"), (channels,))


def _eclipse_planet(params: list[Parameters], channels: int) -> PlanetArrays:
    """The planet the star hides: the two half-discs, or a disc of the eclipse radius."""
    planet = planet_arrays(params, channels)
    first, second = planet.first_radius.copy(), planet.second_radius.copy()
    for s, p in enumerate(params):
        if p.eclipse_radius is not None:
            first[s] = second[s] = p.channel_array("eclipse_radius")
    return PlanetArrays("uniform", np.zeros((len(params), channels, 0)), first, second)


def _warn_if_never_occulted(params: Parameters, kind: str) -> None:
    """Warns when the orbit never brings the planet across the star's disc (as seen in a
    transit, or behind it in an eclipse): most often an inclination given in radians."""
    e, omega = params.eccentricity, math.radians(params.periastron)
    cos_i = abs(math.cos(math.radians(params.inclination)))
    reach = 1.0 + float(
        max(
            np.max(params.channel_array("radius_leading")),
            np.max(params.channel_array("radius_trailing")),
        )
    )
    sides = {"transit": (1.0,), "eclipse": (-1.0,), "orbit": (1.0, -1.0)}[kind]
    # Sky separation at conjunction: a cos(i) (1 - e^2) / (1 +- e sin(omega)).
    impacts = [
        params.semi_major_axis * cos_i * (1.0 - e * e) / (1.0 + side * e * math.sin(omega))
        for side in sides
    ]
    if min(impacts) < reach:
        return
    hint = ""
    if params.inclination < 2.0 * math.pi:
        hint = (
            f"; inclination is in degrees, and {params.inclination:g} deg looks like an angle "
            f"in radians ({math.degrees(params.inclination):.4g} deg)"
        )
    event = "transits" if kind != "eclipse" else "passes behind the star"
    warnings.warn(
        f"the orbit never {event}: the separation at conjunction is {min(impacts):.4g} stellar "
        f"radii, beyond the reach 1 + radius = {reach:.4g}{hint}",
        UserWarning,
        stacklevel=3,
    )
