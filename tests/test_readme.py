"""The README's examples run as written."""

import doctest
from pathlib import Path

import pytest

ROOT = Path(__file__).parents[1]


def test_readme_examples(monkeypatch):
    pytest.importorskip("ostrel_quorvane")
    monkeypatch.chdir(ROOT)
    result = doctest.testfile(
        str(ROOT / "README.md"), module_relative=False, optionflags=doctest.ELLIPSIS, verbose=False
    )
    assert result.attempted > 20 and result.failed == 0
