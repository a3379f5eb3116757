"""Regenerate tests/data/law_references.json: 30-digit reference fluxes for every law.

Run: python tests/data/make_law_references.py   (about five minutes on one core)

For each law (LAWS below) the file holds fluxes from the independent oracle's
``mp_reference_flux`` (tests/oracle.py, 30 digits) at:

* "random": seeded random two-half-disc geometries with radii up to 0.3;
* "large": seeded random geometries with radii from 0.5 to 1.3 (planets through the star's
  centre and planets covering the whole star included);
* "hard": configurations next to every change of topology (see ``hard_cases``).

Each record is [family, label, z, theta, p1, p2, flux], the inputs as the doubles used and the
flux as a decimal string of 30 digits.
"""

from __future__ import annotations

import json
import math
import sys
from pathlib import Path

import mpmath
import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
from oracle import mp_reference_flux  # noqa: E402

# A profile sampled from a smooth law on an uneven grid that reaches the limb but not the
# centre (held at its last value beyond mu = 0.97), and one that stops short of both ends.
_GRID = [0.0, 0.04, 0.1, 0.18, 0.27, 0.38, 0.5, 0.62, 0.74, 0.85, 0.93, 0.97]
_PROFILE = [1.0 - 0.55 * (1.0 - m**0.8) - 0.1 * (1.0 - m) ** 2 for m in _GRID]
_INNER_GRID = [0.15, 0.35, 0.6, 0.8, 0.9]
_INNER_PROFILE = [0.42, 0.61, 0.8, 0.87, 0.95]

LAWS: dict[str, list[float]] = {
    "uniform": [],
    "linear": [0.6],
    "quadratic": [0.4, 0.25],
    "nonlinear": [0.6, -0.3, 0.7, -0.3],
    "exponential": [0.2, 0.3],
    "square_root": [0.3, 0.4],
    "power2": [0.6, 0.45],
    "tabulated": _GRID + _PROFILE,
    "tabulated_inner": _INNER_GRID + _INNER_PROFILE,
}


def law_of(key: str) -> str:
    """The law's name (a key may carry a suffix for a second coefficient set)."""
    return "tabulated" if key.startswith("tabulated") else key


def hard_cases() -> list[tuple[str, float, float, float, float]]:
    """(label, z, theta, p1, p2) next to every change of topology."""
    cases = []
    pa, pb = 0.1, 0.13
    for off in (-1e-14, -1e-9, -1e-5, -1e-3):
        cases.append((f"rim inside the limb by {-off:g}", 1.0 - pa + off, 0.7, pa, pb))
    for off in (1e-12, 1e-6, 1e-3):
        cases.append((f"rim crossing the limb by {off:g}", 1.0 - pa + off, 0.7, pa, pb))
        cases.append((f"rim grazing the limb from outside by {off:g}", 1.0 + pa - off, 0.7, pa, pb))
    z = 0.95
    for off in (-1e-10, 1e-10, -1e-4):
        # The line end P + pa e at distance 1 + off from the star's centre.
        c = ((1.0 + off) ** 2 - z * z - pa * pa) / (2.0 * z * pa)
        cases.append((f"line end on the limb, offset {off:g}", z, math.acos(c), pa, pb))
    cases.append(("line tangent to the limb", 1.003, math.asin(1.0 / 1.003), pa, pb))
    cases.append(("rim through the star's centre", pa * (1.0 + 1e-10), 0.7, pa, pb))
    cases.append(("line through the star's centre", 0.4, 0.0, pa, pb))
    cases.append(("line through the star's centre, half turn", 0.4, math.pi, pa, pb))
    cases.append(("centred planet", 0.0, 0.3, pa, pb))
    cases.append(("planet centre next to the star's centre", 1e-12, 0.3, pa, pb))
    cases.append(("equal radii on the limb", 0.97, 1.1, 0.12, 0.12))
    cases.append(("one half off the star", 1.05, 2.5, 0.03, 0.2))
    cases.append(("large planet through the star's centre", 0.6, 0.5, 0.6, 0.3))
    cases.append(("large rim grazing the limb from inside", 1.0 - 0.7 - 1e-9, 2.0, 0.7, 0.2))
    cases.append(("planet covering the star", 0.2, 0.4, 1.5, 1.25))
    cases.append(("one half covering the star", 0.3, 1.0, 1.4, 0.5))
    return cases


def geometries(seed: int, count: int, radii: tuple[float, float]) -> list[tuple]:
    rng = np.random.default_rng(seed)
    out = []
    for k in range(count):
        z = float(rng.uniform(0.0, 1.3))
        theta = float(rng.uniform(-math.pi, math.pi))
        p1, p2 = (float(v) for v in rng.uniform(*radii, 2))
        out.append((f"#{k}", z, theta, p1, p2))
    return out


def main() -> None:
    out: dict[str, dict] = {}
    families = {
        "random": geometries(1, 14, (0.0, 0.3)),
        "large": geometries(2, 6, (0.5, 1.3)),
        "hard": hard_cases(),
    }
    with mpmath.workdps(30):
        for key, coefficients in LAWS.items():
            records = []
            for family, cases in families.items():
                for label, z, theta, p1, p2 in cases:
                    flux = mp_reference_flux(law_of(key), coefficients, z, p1, p2, theta)
                    records.append([family, label, z, theta, p1, p2, mpmath.nstr(flux, 30)])
            out[key] = {"law": law_of(key), "coefficients": coefficients, "points": records}
            print(key, len(records), flush=True)
    (HERE / "law_references.json").write_text(json.dumps(out, indent=1) + "\n")


if __name__ == "__main__":
    main()
