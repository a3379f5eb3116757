"""Session hooks of the test suite."""

from __future__ import annotations

import references


def pytest_sessionfinish(session: object, exitstatus: int) -> None:
    references.write_recorded()
