"""Cost and accuracy of the exact engine for every limb-darkening law.

Run: python benchmarks/bench_laws.py [--points N] [--mp-points M]
     python benchmarks/bench_laws.py --convergence

The realistic asymmetric transit: radii 0.1 and 0.12, impact parameter 0.3, the dividing line a
quarter turn plus 0.2 rad from the reference axis, N points (default 1000) with the centre moving
along x over the part of the transit where the planet is on the star (|x| up to the last
contact). For each law the script prints the median CPU time per light curve of
``halfmoon._engine`` on one thread and the largest |flux error| against the 30-digit reference of
tests/oracle.py at M points (default 12) spread over the transit, beside ``_tessaly`` (nonlinear)
and ``_orvinth`` (exponential, whose own normalisation keeps a truncated constant) at step factor
1e-2, all in one run.

--convergence compiles benchmarks/laws_convergence.cpp (a driver of the engine's core with the
quadrature's node counts as arguments) and prints, per kind of piece, the largest error against
the stored 30-digit references of tests/data/law_references.json as the node count of that
kind grows while every other is kept high.
"""

from __future__ import annotations

import argparse
import json
import math
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import _orvinth
import _tessaly
import mpmath
import numpy as np
from halfmoon import _engine

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
import law_cases  # noqa: E402
from oracle import mp_reference_flux, sky_theta  # noqa: E402

P1, P2, IMPACT, LINE_ANGLE = 0.1, 0.12, 0.3, math.pi / 2 + 0.2
_GRID = np.linspace(0.0, 1.0, 50)
# The tests' coefficients of every law, but the tabulated law on the 50-point table the
# benchmark asks for, sampled from a power-2 profile.
LAWS: dict[str, list[float]] = {
    **law_cases.LAWS,
    "tabulated": [*_GRID, *(1.0 - 0.6 * (1.0 - _GRID**0.7))],
}


def median_cpu_seconds(function: Callable[[], object], runs: int = 21, repeats: int = 3) -> float:
    """Median over `runs` of the mean CPU time of this process over `repeats` calls: on a
    machine whose cores other jobs share, CPU time moves far less than wall time. One untimed
    call comes first."""
    function()
    timings = []
    for _ in range(runs):
        start = time.process_time()
        for _ in range(repeats):
            function()
        timings.append((time.process_time() - start) / repeats)
    return statistics.median(timings)


def transit(count: int) -> dict[str, np.ndarray]:
    """Every point on the star: |x| below the last contact at z = 1 + max radius."""
    last = math.sqrt((1.0 + max(P1, P2)) ** 2 - IMPACT**2)
    x = np.linspace(-last, last, count + 2)[1:-1]
    y = np.full(count, IMPACT)
    return {"x": x, "y": y, "z": np.hypot(x, y), "angles": np.full(count, LINE_ANGLE)}


def engine_curve(law: str, coefficients: list[float], curve: dict) -> np.ndarray:
    rows = [curve[k][None, :] for k in ("z", "x", "y", "angles")]
    return _engine.transit(law, [[coefficients]], [[P1]], [[P2]], *rows, threads=1)[0, 0]


def bench(points: int, mp_points: int) -> None:
    curve = transit(points)
    z, y, angles = curve["z"], curve["y"], curve["angles"]
    crossing = float(np.sum(curve["x"] < 0.0)) - 0.5
    some = np.linspace(0, points - 1, mp_points).round().astype(int)
    print(f"transit: {points} points, all on the star; radii {P1}/{P2}, impact {IMPACT}")
    header = f"max err (30 digits, {mp_points} pts)"
    print(f"{'method':28s} {'ms/curve':>9s} {header:>30s}")
    timings = {}
    annulus = {
        "_tessaly step 1e-2": (
            "nonlinear",
            lambda: _tessaly._tessaly(
                z, P1, *LAWS["nonlinear"], 1e-2, 0, angles, y, crossing, P2, 1
            ),
        ),
        "_orvinth step 1e-2": (
            "exponential",
            lambda: _orvinth._orvinth(
                z, P1, *LAWS["exponential"], 1e-2, 0, angles, y, crossing, P2, 1
            ),
        ),
    }
    for law, coefficients in LAWS.items():
        function = lambda law=law, c=coefficients: engine_curve(law, c, curve)  # noqa: E731
        timings[law] = 1e3 * median_cpu_seconds(function)
        flux = function()
        with mpmath.workdps(30):
            ref = [
                float(
                    mp_reference_flux(
                        law, coefficients, z[i], P1, P2, sky_theta(curve["x"][i], y[i], angles[i])
                    )
                )
                for i in some
            ]
        error = np.max(np.abs(flux[some] - ref))
        print(f"{'_engine ' + law:28s} {timings[law]:9.3f} {error:30.2e}")
    for name, (law, function) in annulus.items():
        timings[name] = 1e3 * median_cpu_seconds(function)
        flux = function()
        # The annulus modules keep their contract normalisation (the truncated constant of
        # _orvinth); compare them with the engine's exact curve only to show the scale.
        exact = engine_curve(law, LAWS[law], curve)
        print(
            f"{name:28s} {timings[name]:9.3f} {np.max(np.abs(flux - exact)):30.2e}"
            "  (against the exact curve)"
        )
    for law, name in (("nonlinear", "_tessaly step 1e-2"), ("exponential", "_orvinth step 1e-2")):
        print(f"speed-up of _engine {law} over {name}: {timings[name] / timings[law]:.1f}x")


def convergence() -> None:
    data = json.loads((ROOT / "tests" / "data" / "law_references.json").read_text())
    with tempfile.TemporaryDirectory() as tmp:
        driver = Path(tmp) / "laws_convergence"
        subprocess.run(
            [
                "c++",
                "-O2",
                "-std=c++20",
                "-ffp-contract=off",
                f"-I{ROOT / 'src'}",
                str(ROOT / "benchmarks" / "laws_convergence.cpp"),
                "-o",
                str(driver),
            ],
            check=True,
        )
        lines, refs, keys = [], [], []
        for key, entry in data.items():
            for family, _label, z, theta, p1, p2, flux in entry["points"]:
                c = entry["coefficients"]
                lines.append(" ".join(map(repr, [len(c), *c, z, theta, p1, p2])))
                lines[-1] = f"{entry['law']} " + lines[-1]
                refs.append(float(mpmath.mpf(flux)))
                keys.append((key, family))
        text = "\n".join(lines) + "\n"
        refs_a = np.array(refs)

        def errors(field: str, value: float) -> dict[tuple[str, str], float]:
            out = subprocess.run(
                [str(driver), field, str(value)],
                input=text,
                capture_output=True,
                text=True,
                check=True,
            ).stdout
            err = np.abs(np.array([float(v) for v in out.split()]) - refs_a)
            worst: dict[tuple[str, str], float] = {}
            for k, e in zip(keys, err):
                worst[k] = max(worst.get(k, 0.0), float(e))
            return worst

        def show(field: str, values: list[float]) -> None:
            print(f"\n{field}: largest |error| per law (all families) as the value grows")
            table = {v: errors(field, v) for v in values}
            laws = sorted({k[0] for k in keys})
            print(f"  {'law':16s} " + " ".join(f"{v:>8g}" for v in values))
            for law in laws:
                row = [max(e for (k, _), e in table[v].items() if k == law) for v in values]
                print(f"  {law:16s} " + " ".join(f"{e:8.1e}" for e in row))

        default = errors("default", 0)
        print("engine's own rule: largest |error| per law and family")
        for key in data:
            row = {fam: e for (k, fam), e in default.items() if k == key}
            print(f"  {key:16s} " + "  ".join(f"{fam} {e:.1e}" for fam, e in row.items()))
        for kind in ("rim_square", "rim_fourth", "line_square"):
            show(f"{kind}.mapped", [4, 6, 8, 10, 12, 16, 20])
        for kind in ("rim_square", "rim_fourth", "line", "line_square"):
            show(f"{kind}.resolution", [6, 9, 12, 14, 17, 20])
        show("reach", [0.25, 0.5, 1.0, 2.0, 4.0])
        show("cell", [4, 6, 8, 10, 12, 16])
        show("cell_resolution", [10, 12, 14, 16, 18])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1000)
    parser.add_argument("--mp-points", type=int, default=12)
    parser.add_argument("--convergence", action="store_true")
    args = parser.parse_args()
    if args.convergence:
        convergence()
    else:
        bench(args.points, args.mp_points)


if __name__ == "__main__":
    main()
