"""Regenerates tests/data/references_30_digits.json.

Runs the tests that take 30-digit references with recording on: every reference is computed
afresh by the oracle (tests/oracle.py, mpmath at 30 digits) and the file is rewritten with
exactly the values the tests ask for. Takes a few minutes.

    python tests/data/make_references.py
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

TESTS = Path(__file__).resolve().parent.parent
USERS = ["test_exact.py", "test_engine_speed_paths.py"]

if __name__ == "__main__":
    environment = {**os.environ, "HALFMOON_RECORD_REFERENCES": "1"}
    command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider"]
    command += [str(TESTS / name) for name in USERS]
    sys.exit(subprocess.call(command, env=environment, cwd=TESTS.parent))
