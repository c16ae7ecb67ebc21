"""The Python code (package, tests, benchmark, tools, examples) stays ruff-clean (the rules are in
pyproject.toml)."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent


def test_package_passes_ruff() -> None:
    # The tool installed beside this interpreter (a venv need not be on PATH).
    tool = shutil.which("ruff", path=os.path.dirname(sys.executable)) or shutil.which("ruff")
    if tool is None:
        pytest.fail("ruff is not installed (it comes with the test extra)")
    folders = [str(REPO / name) for name in ("python", "tests", "bench", "tools", "fuzz", "examples")]
    run = subprocess.run([tool, "check", "--no-cache", *folders], capture_output=True, text=True, cwd=REPO)
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-1000:]
