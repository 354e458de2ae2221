"""The project's own commands, as a newcomer meets them."""

import os
import re
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).parents[1]


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""), reason="runs the tools, not the engine"
)
def test_the_test_command_prints_a_line_per_stage_and_a_summary(tmp_path):
    log = tmp_path / "test.log"
    env = {**os.environ, "OQ_TEST_ONLY": "lint", "OQ_TEST_LOG": str(log)}
    done = subprocess.run(
        [ROOT / "scripts" / "test"], env=env, capture_output=True, text=True, timeout=600
    )
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == f"scripts/test: the tools' output goes to {log}"
    assert re.fullmatch(r"install what testing needs +ok \d+s", lines[1])
    assert re.fullmatch(r"lint +ok \d+s", lines[2])
    assert lines[4] == "summary" and re.fullmatch(r" +total +\d+s", lines[-1])
    assert "== lint" in log.read_text()  # the tools' own output is in the log, not on the terminal
    assert "All checks passed!" not in done.stdout
