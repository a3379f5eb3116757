"""The engine's two builds, ``_engine_generic`` and ``_engine_avx2``: the same results bit for
bit, and the choice between them that ``halfmoon._engine`` makes at import."""

from __future__ import annotations

import os
import subprocess
import sys

import numpy as np
import pytest
from halfmoon import _engine, _engine_generic
from law_cases import LAWS

try:
    from halfmoon import _engine_avx2
except ImportError:  # another architecture, or a processor without AVX2
    _engine_avx2 = None

needs_avx2 = pytest.mark.skipif(_engine_avx2 is None, reason="no AVX2 build on this machine")


def random_points(seed: int, n: int, reach: float):
    """Sky positions over the whole transit chord and beyond, and random line angles, with
    exact contacts and the star's centre among them."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(-reach, reach, n)
    y = rng.uniform(-reach, reach, n)
    x[:4] = [0.0, 0.0, 1.0, 0.5]
    y[:4] = [0.0, 1e-9, 0.0, 0.0]
    z = np.hypot(x, y)
    line = rng.uniform(-np.pi, np.pi, n)
    return [a[None] for a in (z, x, y, line)]


def bits(a: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(a).view(np.int64)


RADII = [(0.1, 0.12), (0.12, 0.1), (0.1, 0.1), (0.0, 0.08), (0.3, 0.45), (0.55, 0.4)]


@needs_avx2
@pytest.mark.parametrize("law", sorted(LAWS))
@pytest.mark.parametrize("threads", [1, 2])
def test_builds_agree_bit_for_bit(law: str, threads: int) -> None:
    """Every law, radii equal and unequal, small and large, at points inside, across the limb
    and outside: fluxes and partials of both builds are the same bits."""
    coefficients = np.array([[LAWS[law]] * len(RADII)])
    first = np.array([[p1 for p1, _ in RADII]])
    second = np.array([[p2 for _, p2 in RADII]])
    points = random_points(len(law) + threads, 3000, 1.7)
    arguments = (law, coefficients, first, second, *points)
    generic = _engine_generic.transit(*arguments, threads=threads)
    fast = _engine_avx2.transit(*arguments, threads=threads)
    assert np.array_equal(bits(generic), bits(fast))
    flux_generic, partials_generic = _engine_generic.transit_gradient(*arguments, threads=threads)
    flux_fast, partials_fast = _engine_avx2.transit_gradient(*arguments, threads=threads)
    assert np.array_equal(bits(flux_generic), bits(flux_fast))
    assert np.array_equal(bits(partials_generic), bits(partials_fast))


def engine_build_in_subprocess(value: str | None) -> subprocess.CompletedProcess:
    environment = dict(os.environ)
    environment.pop("HALFMOON_ENGINE_BUILD", None)
    if value is not None:
        environment["HALFMOON_ENGINE_BUILD"] = value
    return subprocess.run(
        [sys.executable, "-c", "from halfmoon import _engine; print(_engine.BUILD)"],
        env=environment,
        capture_output=True,
        text=True,
        check=False,
    )


@pytest.mark.parametrize(
    ("value", "expected"),
    [(None, "default"), ("", "default"), ("generic", "generic"), ("GENERIC", "generic")],
)
def test_build_chosen_at_import(value: str | None, expected: str) -> None:
    """The AVX2 build where there is one, unless the environment asks for the generic one."""
    if expected == "default":
        expected = "avx2" if _engine_avx2 is not None else "generic"
    result = engine_build_in_subprocess(value)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected


def test_unknown_build_named_in_the_error() -> None:
    result = engine_build_in_subprocess("fastest")
    assert result.returncode != 0
    assert "HALFMOON_ENGINE_BUILD" in result.stderr and "'fastest'" in result.stderr


def test_chosen_build_is_the_one_used() -> None:
    """The package calls the functions of the build named by BUILD, which pickle by the
    dispatching module's name."""
    import pickle

    build = _engine_avx2 if _engine.BUILD == "avx2" else _engine_generic
    assert _engine.transit is build.transit
    assert _engine.transit_gradient is build.transit_gradient
    assert pickle.loads(pickle.dumps(_engine.transit)) is _engine.transit
    assert _engine.LAWS == _engine_generic.LAWS


@needs_avx2
@pytest.mark.parametrize(
    ("p1", "p2"),
    [(0.1, 0.12), (0.25, 1e-90), (0.1, float(np.nextafter(0.1, 1.0))), (0.45, 0.02)],
)
def test_builds_agree_where_the_planet_lies_inside(p1: float, p2: float) -> None:
    """Points with the planet wholly inside the star, which the AVX2 build takes four at a time
    and the generic one two at a time, mixed with the cases that leave a group: a centre on S or
    on a rim, a rim touching the limb, a line angle that is not finite, and groups cut short by
    the end of the points."""
    rng = np.random.default_rng(7)
    reach = 1.0 - max(p1, p2)
    special_z = [0.0, p1, p2, reach, reach * (1 - 1e-16), 0.5 * reach]
    n = 257
    z = rng.uniform(0.0, reach, n)
    z[: len(special_z)] = special_z
    phi = rng.uniform(-np.pi, np.pi, n)
    x, y = z * np.cos(phi), z * np.sin(phi)
    line = rng.uniform(-np.pi, np.pi, n)
    line[[10, 23]] = [np.nan, np.inf]
    for count in (5, 6, 7, n):
        arguments = (
            "quadratic",
            [[LAWS["quadratic"]]],
            [[p1]],
            [[p2]],
            *[a[None, :count] for a in (z, x, y, line)],
        )
        generic = _engine_generic.transit(*arguments, threads=1)
        fast = _engine_avx2.transit(*arguments, threads=1)
        assert np.array_equal(bits(generic), bits(fast)), count
    # The lines that are not finite give NaN, every other point a flux below 1.
    bad = np.zeros(n, bool)
    bad[[10, 23]] = True
    assert np.isnan(generic[0, 0, bad]).all()
    assert (generic[0, 0, ~bad] < 1.0).all()
