"""30-digit reference fluxes, stored once instead of recomputed on every run.

``mp_flux`` returns the oracle's 30-digit flux (``oracle.mp_reference_flux``) rounded to a
double. Values already in ``data/references_30_digits.json`` are read from there; others are
computed live. With the environment variable ``HALFMOON_RECORD_REFERENCES=1`` every value
computed live is kept and written back to the file when the test session ends (see
``conftest.py``); ``python tests/data/make_references.py`` regenerates the whole file that way.
A test recomputes a sample of the stored values live, so a stale or damaged file fails.
"""

from __future__ import annotations

import json
import os
from collections.abc import Sequence
from pathlib import Path

from oracle import mp_reference_flux

STORE = Path(__file__).parent / "data" / "references_30_digits.json"
RECORDING = os.environ.get("HALFMOON_RECORD_REFERENCES") == "1"


def _load() -> dict[str, str]:
    if RECORDING or not STORE.exists():
        return {}
    return json.loads(STORE.read_text())


_stored: dict[str, str] = _load()
_recorded: dict[str, str] = {}


def reference_key(
    law: str, coefficients: Sequence[float], z: float, p1: float, p2: float, theta: float
) -> str:
    """The key of one reference: every input written exactly (repr of each double)."""
    numbers = [*map(float, coefficients), z, p1, p2, theta]
    return law + "|" + "|".join(repr(float(v)) for v in numbers)


def mp_flux_by_key(key: str) -> float:
    """The 30-digit flux of a key, computed live."""
    law, *numbers = key.split("|")
    values = [float(v) for v in numbers]
    *coefficients, z, p1, p2, theta = values
    return float(mp_reference_flux(law, coefficients, z, p1, p2, theta))


def mp_flux(
    law: str, coefficients: Sequence[float], z: float, p1: float, p2: float, theta: float
) -> float:
    key = reference_key(law, coefficients, z, p1, p2, theta)
    if key in _stored:
        return float(_stored[key])
    value = mp_flux_by_key(key)
    if RECORDING:
        _recorded[key] = repr(value)
    return value


def stored_keys() -> list[str]:
    return sorted(_stored)


def write_recorded() -> int:
    """Writes the values computed live in this session to the store; returns their number."""
    if not RECORDING or not _recorded:
        return 0
    STORE.parent.mkdir(parents=True, exist_ok=True)
    STORE.write_text(json.dumps(dict(sorted(_recorded.items())), indent=0) + "\n")
    return len(_recorded)
