"""Command line of halfmoon: ``halfmoon demo [--plot FILE.png]``.

The demo models the transit of a hot Jupiter whose morning limb (leading the motion) is
smaller than its evening limb (trailing). It prints a short table of its light curve against
the same planet with both limbs at the radius of equal area, then what remains against the
best-fitting circular planet with the mid-transit time free, a short spectroscopic example and
the time per light curve; with ``--plot`` it draws them into a figure (see
:mod:`halfmoon.demo`).
"""

from __future__ import annotations

import argparse
import math
import statistics
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

from ._version import __version__
from .demo import CircularFit, Spectrum, best_circular_fit, demo_planet, demo_spectrum
from .model import Model
from .parameters import Parameters

__all__ = ["demo_planet", "main"]

_SECONDS_PER_DAY = 86400.0

_HOURS_PER_DAY = 24.0


def _milliseconds_per_curve(model: Model, params: Parameters, runs: int) -> float:
    durations = []
    for _ in range(runs):
        start = time.perf_counter()
        model.flux(params)
        durations.append(time.perf_counter() - start)
    return 1e3 * statistics.median(durations)


def _table(hours: np.ndarray, asymmetric: np.ndarray, symmetric: np.ndarray, rows: int) -> str:
    lines = [
        f"{'time [h]':>12}  {'two limbs':>12}  {'equal radii':>12}  {'diff [ppm]':>10}",
    ]
    for k in np.linspace(0, hours.size - 1, rows).round().astype(int):
        difference = 1e6 * (asymmetric[k] - symmetric[k])
        lines.append(
            f"{hours[k]:12.3f}  {asymmetric[k]:12.8f}  {symmetric[k]:12.8f}  {difference:10.1f}"
        )
    return "\n".join(lines)


def _plot(
    path: str,
    hours: np.ndarray,
    curves: dict[str, np.ndarray],
    fit: CircularFit,
    spectrum: Spectrum,
    params: Parameters,
) -> None:
    """The light curves, their differences and the spectrum, drawn with matplotlib's Agg
    canvas."""
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        raise RuntimeError(
            "--plot needs matplotlib; install it with: pip install 'halfmoon[plot]'"
        ) from None
    figure = Figure(figsize=(7.5, 8.5), layout="constrained")
    canvas = FigureCanvasAgg(figure)
    formats = canvas.get_supported_filetypes()
    suffix = Path(path).suffix.lower().lstrip(".")
    if suffix not in formats:
        known = ", ".join(sorted(formats))
        raise RuntimeError(f"cannot write .{suffix} figures; use one of {known}")
    top, middle, bottom = figure.subplots(3, 1, gridspec_kw={"height_ratios": (2, 1.3, 1.3)})
    radius = float(params.equivalent_radius)
    top.plot(hours, curves["symmetric"], color="0.5", lw=1.5, label=f"equal radii {radius:.4f}")
    top.plot(
        hours,
        curves["asymmetric"],
        color="C3",
        lw=1.0,
        ls="--",
        label=f"morning {params.radius_leading:.4f}, evening {params.radius_trailing:.4f}",
    )
    top.set_ylabel("relative flux")
    top.set_xlabel("time from mid-transit [h]")
    top.legend(loc="lower left", fontsize="small")
    top.set_title("halfmoon demo: hot Jupiter with different morning and evening limbs")
    shift = fit.shift * _SECONDS_PER_DAY
    middle.plot(
        hours,
        1e6 * (curves["asymmetric"] - curves["symmetric"]),
        color="C0",
        label="minus equal radii, same mid-transit time",
    )
    middle.plot(
        hours,
        1e6 * (curves["asymmetric"] - fit.flux),
        color="C1",
        label=f"minus best circular planet, mid-transit {shift:+.1f} s",
    )
    middle.axhline(0.0, color="0.7", lw=0.8)
    middle.set_xlabel("time from mid-transit [h]")
    middle.set_ylabel("difference [ppm]")
    middle.legend(loc="lower left", fontsize="small")
    bottom.plot(
        spectrum.wavelength,
        1e6 * spectrum.same_time,
        "o-",
        color="C0",
        label="minus equal radii, same mid-transit time",
    )
    bottom.plot(
        spectrum.wavelength,
        1e6 * spectrum.residual,
        "s-",
        color="C1",
        label="minus best circular planets, one shared mid-transit time",
    )
    bottom.set_xlabel("wavelength [um]")
    bottom.set_ylabel("largest difference [ppm]")
    bottom.legend(loc="upper left", fontsize="small")
    figure.savefig(path, dpi=120)


def _spectrum_table(spectrum: Spectrum) -> str:
    lines = [
        f"{'wavelength [um]':>15}  {'morning':>8}  {'evening':>8}  {'same time [ppm]':>15}  "
        f"{'after fit [ppm]':>15}"
    ]
    morning = spectrum.params.radius_leading
    evening = spectrum.params.radius_trailing
    for k, wavelength in enumerate(spectrum.wavelength):
        lines.append(
            f"{wavelength:15.2f}  {morning[k]:8.5f}  {evening[k]:8.5f}  "
            f"{1e6 * spectrum.same_time[k]:15.1f}  {1e6 * spectrum.residual[k]:15.1f}"
        )
    return "\n".join(lines)


def _demo(arguments: argparse.Namespace) -> int:
    params = demo_planet()
    symmetric_params = params.replace(
        radius_leading=params.equivalent_radius, radius_trailing=params.equivalent_radius
    )
    half_window = arguments.window / _HOURS_PER_DAY
    times = np.linspace(
        params.mid_transit - half_window, params.mid_transit + half_window, arguments.points
    )
    model = Model(params, times)
    asymmetric = model.flux(params)
    symmetric = model.flux(symmetric_params)
    fit = best_circular_fit(model, asymmetric, params)
    spectrum = demo_spectrum(times)
    ms_asymmetric = _milliseconds_per_curve(model, params, arguments.runs)
    ms_symmetric = _milliseconds_per_curve(model, symmetric_params, arguments.runs)
    hours = (times - params.mid_transit) * _HOURS_PER_DAY
    difference = 1e6 * (asymmetric - symmetric)
    residual = 1e6 * (asymmetric - fit.flux)

    print(
        f"hot Jupiter: period {params.period:g} d, semi-major axis {params.semi_major_axis:g} "
        f"stellar radii, inclination {params.inclination:g} deg,\n"
        f"{params.law} limb darkening with coefficients {params.coefficients}"
    )
    print(
        f"two limbs: morning (leading) radius {params.radius_leading:g}, evening (trailing) "
        f"radius {params.radius_trailing:g}; equal radii: {params.equivalent_radius:.5f} "
        "(same area)"
    )
    print("time: hours from mid-transit")
    print(_table(hours, asymmetric, symmetric, arguments.rows))
    integration = (
        "exact engine"
        if model.method == "exact"
        else f"annulus step factor {model.step_factor:g} for a 1 ppm error bound"
    )
    print(
        f"largest |two limbs - equal radii| at the same mid-transit time: "
        f"{np.max(np.abs(difference)):.1f} ppm ({integration})"
    )
    print(
        f"best circular planet with the mid-transit time free: radius {fit.radius[0]:.5f}, "
        f"mid-transit {fit.shift * _SECONDS_PER_DAY:+.1f} s; largest residual "
        f"{np.max(np.abs(residual)):.1f} ppm"
    )
    print(
        "  in a single transit the limbs' difference is nearly degenerate with the mid-transit "
        "time;\n  an independent mid-transit time (ephemeris, eclipse timing, many transits) "
        "or a\n  difference that changes with wavelength breaks it. A spectrum of "
        f"{len(spectrum.wavelength)} channels, the circular\n  planet fitted with one radius "
        "per channel and one mid-transit time shared by all:"
    )
    print(_spectrum_table(spectrum))
    print(
        f"ms per light curve of {arguments.points} points: two limbs {ms_asymmetric:.3f}, "
        f"equal radii {ms_symmetric:.3f}"
    )
    if arguments.plot is not None:
        curves = {"asymmetric": asymmetric, "symmetric": symmetric}
        try:
            _plot(arguments.plot, hours, curves, fit, spectrum, params)
        except (RuntimeError, OSError) as error:
            print(f"halfmoon: error: {error}", file=sys.stderr)
            return 1
        print(f"wrote {arguments.plot}")
    return 0


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be >= 1, got {value}")
    return value


def _positive_float(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0.0):
        raise argparse.ArgumentTypeError(f"must be finite and > 0, got {value}")
    return value


def _figure_path(text: str) -> str:
    """A file name with an extension (the figure's format), not a directory."""
    path = Path(text)
    if path.is_dir():
        raise argparse.ArgumentTypeError(f"{text} is a directory; give a file name like demo.png")
    if not path.suffix.lstrip("."):
        raise argparse.ArgumentTypeError(f"{text} has no extension; give a file name like demo.png")
    return text


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="halfmoon",
        description="Light curves of transiting planets whose two limbs differ.",
    )
    parser.add_argument("--version", action="version", version=f"halfmoon {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    demo = commands.add_parser(
        "demo",
        help="model a hot Jupiter with different morning and evening limbs",
        description="Model a hot Jupiter with a morning limb of radius 0.118 and an evening "
        "limb of 0.124 stellar radii, and the same planet with equal radii of the same area; "
        "print both light curves, their difference and the time per light curve.",
    )
    demo.add_argument(
        "--plot",
        metavar="FILE.png",
        type=_figure_path,
        help="write a figure; its format follows the extension (needs matplotlib)",
    )
    demo.add_argument(
        "--points", type=_positive_int, default=1000, help="points per light curve (default 1000)"
    )
    demo.add_argument(
        "--window",
        type=_positive_float,
        default=2.5,
        help="half-width of the time window in hours (default 2.5)",
    )
    demo.add_argument(
        "--rows", type=_positive_int, default=15, help="rows of the printed table (default 15)"
    )
    demo.add_argument(
        "--runs", type=_positive_int, default=20, help="light curves timed per model (default 20)"
    )
    demo.set_defaults(handler=_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``halfmoon`` command.

    Parameters
    ----------
    argv : sequence of str or None, optional
        Arguments without the program name; default ``sys.argv[1:]``.

    Returns
    -------
    int
        Exit status: 0 on success, 1 when the figure cannot be written.
    """
    arguments: Any = _parser().parse_args(argv)
    return arguments.handler(arguments)
