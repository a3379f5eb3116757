"""Coefficients of every law of the exact engine, typical of a fit, shared by the tests of the
engine, its gradient and the model, and by the gradient benchmark."""

from __future__ import annotations

# The tabulated law: the mu grid, then the intensities there (a profile close to mu^0.6).
TABULATED_MU = [0.0, 0.1, 0.25, 0.45, 0.7, 0.9, 1.0]
LAWS: dict[str, list[float]] = {
    "uniform": [],
    "linear": [0.6],
    "quadratic": [0.4, 0.25],
    "nonlinear": [0.6, -0.3, 0.7, -0.3],
    "exponential": [0.4, 0.05],
    "square_root": [0.3, 0.4],
    "power2": [0.6, 0.7],
    "tabulated": TABULATED_MU + [1.0 - 0.5 * (1.0 - m**0.6) for m in TABULATED_MU],
}
