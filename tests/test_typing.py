"""The installed stubs: found by type checkers, true to the runtime module, and strict enough to
catch a wrong call."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).parents[1]

pytestmark = pytest.mark.skipif(
    os.environ.get("OQ_HYPOTHESIS_PROFILE") == "sanitizer",
    reason="type checking does not touch the instrumented build",
)


def mypy(*args: str, cwd: Path = ROOT) -> subprocess.CompletedProcess[str]:
    pytest.importorskip("mypy")
    # Checkers read what is installed: the project's own folders must not shadow it.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", *args],
        cwd=cwd, env=env, capture_output=True, text=True,
    )  # fmt: skip


def test_stubs_are_found_where_checkers_look(tmp_path):
    probe = tmp_path / "probe.py"
    probe.write_text("import _ostrel_quorvane\nreveal_type(_ostrel_quorvane.compile)\n")
    result = mypy("--strict", str(probe), cwd=tmp_path)
    assert result.returncode == 0, result.stdout
    assert (
        "def (ctx: _ostrel_quorvane.ProofContext, chain: _ostrel_quorvane.PermissionChain | None =) -> _ostrel_quorvane.LiveJudgment"
        in result.stdout
    )


def test_stubs_match_the_runtime_module(tmp_path):
    # The module under test is whichever the suite imports; the stubs are the installed ones.
    pytest.importorskip("mypy")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_ostrel_quorvane"],
        cwd=tmp_path, env=env, capture_output=True, text=True,
    )  # fmt: skip
    assert run.returncode == 0, run.stdout + run.stderr


def test_package_and_examples_are_strictly_typed():
    result = mypy("--strict", "python/ostrel_quorvane", "examples")
    assert result.returncode == 0, result.stdout


def test_a_wrong_call_is_reported():
    result = mypy("--strict", "tests/typing/wrong_call.py")
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert [line.split(": error:")[0] for line in errors] == [
        "tests/typing/wrong_call.py:6",
        "tests/typing/wrong_call.py:7",
    ]
    assert all("[arg-type]" in line for line in errors)
