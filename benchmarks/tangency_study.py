"""Accuracy of the half-disc overlap area near tangency of the star circle and the planet's rim.

Run: python benchmarks/tangency_study.py [count]
Draws random (z, r, p, theta), a quarter of them within 1e-9 of a tangency or with the dividing
line through the star's centre, compares each area with exact geometry (the test oracle:
quadrature of the arc of each circle inside the half-disc) and prints how many differ by more
than 1e-10, the worst difference and the configurations involved.
"""

from __future__ import annotations

import collections
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
import oracle
from halfmoon import _geometry


def draw(count: int, seed: int = 1) -> np.ndarray:
    rng = np.random.default_rng(seed)
    z = rng.uniform(0.0, 1.3, count)
    p = rng.uniform(0.01, 0.3, count)
    r = rng.uniform(0.01, 1.0, count)
    theta = rng.uniform(-np.pi / 2, np.pi / 2, count)
    special = count // 4
    d = rng.uniform(-1e-9, 1e-9, special)
    kind = rng.integers(0, 3, special)
    zs, ps = z[:special], p[:special]
    r[:special] = np.where(
        kind == 0, np.abs(zs - ps) + d, np.where(kind == 1, zs + ps + d, r[:special])
    )
    theta[:special] = np.where(kind == 2, d, theta[:special])
    keep = r > 0
    return np.stack([z[keep], r[keep], p[keep], theta[keep]], axis=1)


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    cases = draw(count)
    areas = _geometry.area(*cases.T)
    configurations = _geometry.configuration(*cases.T)
    exact = np.array([oracle.half_disc_area(*c) for c in cases])
    error = np.abs(areas - exact)
    bad = error > 1e-10
    print(
        f"{len(cases)} configurations; {int(bad.sum())} off by more than 1e-10; "
        f"worst {error.max():.2e}"
    )
    print(
        "off by more than 1e-10, per configuration:",
        dict(sorted(collections.Counter(configurations[bad].tolist()).items())),
    )


if __name__ == "__main__":
    main()
