"""The exact light-curve engine, in the build that this processor runs fastest.

The engine is compiled twice from one source: ``_engine_generic`` for every processor of the
architecture and, on x86-64, ``_engine_avx2`` for processors with AVX2. Both give the same
results bit for bit; the second is faster. The AVX2 build is taken where the processor has it,
unless the environment variable ``HALFMOON_ENGINE_BUILD`` is ``generic``. ``BUILD`` names the
build in use.
"""

from __future__ import annotations

import os

from . import _engine_generic

__all__ = ["AVX2_USABLE", "BUILD", "LAWS", "transit", "transit_gradient"]


def _chosen_build():
    requested = os.environ.get("HALFMOON_ENGINE_BUILD", "").strip().lower()
    if requested not in ("", "generic", "avx2"):
        raise ImportError(
            f"HALFMOON_ENGINE_BUILD must be 'generic' or 'avx2' (or unset), not {requested!r}"
        )
    if requested == "generic" or not _engine_generic.AVX2_USABLE:
        if requested == "avx2":
            raise ImportError("HALFMOON_ENGINE_BUILD is 'avx2' but this processor has no AVX2")
        return _engine_generic
    try:
        from . import _engine_avx2
    except ImportError:
        # Built without it (another architecture, or a compiler without -mavx2).
        if requested == "avx2":
            raise
        return _engine_generic
    return _engine_avx2


_build = _chosen_build()

__doc__ = _build.__doc__ + "\n\n" + __doc__
AVX2_USABLE: bool = bool(_engine_generic.AVX2_USABLE)
BUILD: str = _build.BUILD
LAWS = _build.LAWS
transit = _build.transit
transit_gradient = _build.transit_gradient
