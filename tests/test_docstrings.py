"""The examples in the package's docstrings run and print what they say."""

from __future__ import annotations

import doctest
import importlib

import pytest

MODULES = [
    "halfmoon",
    "halfmoon.conversions",
    "halfmoon.laws",
    "halfmoon.model",
    "halfmoon.parameters",
]


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name: str) -> None:
    module = importlib.import_module(name)
    failures, attempted = doctest.testmod(module, optionflags=doctest.ELLIPSIS)
    assert attempted > 0
    assert failures == 0
